#include "IlmDriver.h"

#include "AnsiCodec.h"
#include "ModbusMaster.h"
#include "TextFormat.h"

#include <bit>

namespace {

// Input registers.
constexpr quint16 kClockRegister = 0;
constexpr quint16 kClockRegisters = 3;
constexpr quint16 kPageRegister = 256;
constexpr quint16 kPageRegisters = 122; // 4 header bytes and 60 fields of 4 bytes
constexpr quint16 kSerialRegister = 834;
constexpr quint16 kSerialRegisters = 4;
constexpr quint16 kModelRegister = 842;

// Written registers, a space of their own.
constexpr quint16 kRequestRegister = 0;
constexpr quint16 kPageSwitchRegister = 6;
constexpr std::array<quint8, 2> kNamesPage = {0x00, 0x10};

constexpr int kColumns = 10;
constexpr int kHeaderBytes = 4;

int FieldAt(int slot)
{
    return kHeaderBytes + 4 * slot;
}

// Bytes b0 b1 b2 b3 as received stand for b2 b3 b0 b1, most significant first.
quint32 Field32(const ReplyBlock& page, int at)
{
    return quint32(page.Byte(at + 2)) << 24 | quint32(page.Byte(at + 3)) << 16 |
           quint32(page.Byte(at)) << 8 | quint32(page.Byte(at + 1));
}

ParameterKind KindOf(int column, quint8 firstByte)
{
    switch (column) {
    case 0:
        return Kind::Flags;
    case 1:
        return Kind::Time;
    case 2:
    case 3:
        return Kind::Heat;
    case 4:
    case 5:
        switch (firstByte) {
        case 'V':
            return Kind::Volume;
        case 'G':
            return Kind::Mass;
        case 'E':
            return Kind::Electricity;
        default:
            return Kind::None;
        }
    case 6:
    case 7:
        return Kind::Temperature;
    default:
        return Kind::Pressure;
    }
}

quint8 Selector(PeriodCode period)
{
    switch (period) {
    case Period::Hourly:
        return 26;
    case Period::Daily:
        return 27;
    case Period::Monthly:
        return 28;
    default:
        return 0;
    }
}

// The meter's clock knows no summer time: its times are kept in a zone without shifts,
// so every calendar hour it reports stays the hour it is.
QDateTime MeterTime(const QDate& date, const QTime& time)
{
    return CalendarDateTime(date, time);
}

} // namespace

std::unique_ptr<DeviceDriver> MakeIlmDriver(DriverContext& context)
{
    return std::make_unique<IlmDriver>(context);
}

ResultCode IlmDriver::ReadInput(quint16 firstRegister, quint16 registers, ReplyBlock& block,
                                ModbusMaster::Attempts attempts)
{
    quint16 count = registers;
    const ResultCode r =
        Master().ReadInputRegisters(Address(), firstRegister, count, m_reply, attempts);
    if (r == Rc::Ok)
        block = ReplyBlock(m_reply.data(), count);
    return r;
}

ResultCode IlmDriver::Write(quint16 firstRegister, std::span<const quint8> data)
{
    return Master().WriteMultipleRegisters(Address(), firstRegister, quint16(data.size() / 2),
                                           data);
}

Identity IlmDriver::Identify()
{
    ReplyBlock reply;
    const ResultCode r = ReadInput(kModelRegister, 1, reply);
    if (r != Rc::Ok)
        return {Identity::Outcome::Failed, QStringLiteral("ИЛЬМ-x"), r};
    return {Identity::Outcome::Known, QStringLiteral("ИЛЬМ-") + QString::number(reply.Byte(1)),
            Rc::Ok};
}

ResultCode IlmDriver::ReadDeviceClock(QDateTime& clock)
{
    clock = ZeroDateTime();
    ReplyBlock reply;
    const ResultCode r = ReadInput(kClockRegister, kClockRegisters, reply);
    if (r != Rc::Ok)
        return r;
    // Some meters set bit 7 of the seconds.
    const QDate date(2000 + reply.Byte(0), reply.Byte(1), reply.Byte(2));
    const QTime time(reply.Byte(3), reply.Byte(4), reply.Byte(5) & 0x7F);
    // A clock that forms no date or time still lets the device be read: it keeps the
    // date-time 0, which the log shows as an obviously wrong clock.
    if (date.isValid() && time.isValid())
        clock = MeterTime(date, time);
    return Rc::Ok;
}

ResultCode IlmDriver::ReadSerialNumber(QString& serial)
{
    serial.clear();
    ReplyBlock reply;
    const ResultCode r = ReadInput(kSerialRegister, kSerialRegisters, reply);
    if (r != Rc::Ok)
        return r;
    // Every register low byte first.
    for (int i = 0; i < 2 * kSerialRegisters; i += 2)
        serial += QString::number(reply.Byte(i + 1)) + QString::number(reply.Byte(i));
    return Rc::Ok;
}

ResultCode IlmDriver::ReadArchiveLayout(ArchiveLayout& layout)
{
    ResultCode r = Write(kPageSwitchRegister, kNamesPage);
    if (r != Rc::Ok)
        return r;
    ReplyBlock page;
    r = ReadInput(kPageRegister, kPageRegisters, page);
    if (r != Rc::Ok)
        return r;

    layout.fill(Kind::None);
    for (int f = 0; f < ArchiveSlots; ++f) {
        QString& name = m_names[size_t(f)];
        name.clear();
        const int at = FieldAt(f);
        if (page.Byte(at) == 0)
            continue;
        layout[size_t(f)] = KindOf(f % kColumns, page.Byte(at));
        // A long name runs on into the following fields; the page's end stops it too.
        for (int i = at; page.Byte(i) != 0; ++i)
            name += DecodeAnsiByte(page.Byte(i));
        name = CleanMeterText(name);
    }
    return Rc::Ok;
}

ResultCode IlmDriver::ReadParameterNames(ParameterNames& names)
{
    names = m_names;
    return Rc::Ok;
}

ResultCode IlmDriver::SetReadStartDate(const QDateTime& start, PeriodCode period)
{
    std::array<quint8, 14> block{};
    block[0] = quint8(start.date().year() - 2000);
    block[1] = quint8(start.date().month());
    block[2] = quint8(start.date().day());
    block[3] = quint8(start.time().hour());
    block[7] = Selector(period);
    block[13] = 98;
    m_period = period;
    return Write(kRequestRegister, block);
}

ResultCode IlmDriver::ReadFirstArchiveRecord(ArchiveKind kind, ArchiveRecord& record)
{
    return ReadRecord(kind, true, record);
}

ResultCode IlmDriver::ReadNextArchiveRecord(ArchiveKind kind, ArchiveRecord& record)
{
    return ReadRecord(kind, false, record);
}

// The archive is the one the last start date selected; every read of the page moves the
// meter on to the next record.
ResultCode IlmDriver::ReadRecord(ArchiveKind kind, bool first, ArchiveRecord& record)
{
    if (!HasArchive(kind))
        return Rc::UnknownDevice;
    ReplyBlock page;
    const ResultCode r = ReadInput(kPageRegister, kPageRegisters, page, RecordAttempts(first));
    if (r != Rc::Ok)
        return r;
    record.recordIndex = RecordIndex(page.U16LE(0));
    if (record.recordIndex == NoMoreRecords)
        return Rc::Ok;

    // A named slot is decoded even when its kind is 0: the name alone puts it in the file.
    for (int f = 0; f < ArchiveSlots; ++f) {
        if (m_names[size_t(f)].isEmpty())
            continue;
        const quint32 bits = Field32(page, FieldAt(f));
        record.values[size_t(f)] =
            f % kColumns == 0 ? double(bits) : double(std::bit_cast<float>(bits));
    }

    const int year = 2000 + page.Byte(0);
    const int month = page.Byte(1);
    const bool monthly = m_period == Period::Monthly;
    const int day = monthly ? 1 : page.Byte(2);
    const int hour = monthly ? 0 : page.Byte(3);
    const QDate date(year, month, day);
    if (!date.isValid() || hour > 23) {
        // A record without a valid date ends the archive with -91, its time written the
        // way the ОРВЕК-213/223 driver writes it ("5:00 31.2.19"); the values are
        // already written by now, and the read-out stops at this record anyway.
        Context().DecodeErrorText =
            QStringLiteral("%1:00 %2.%3.%4").arg(hour).arg(day).arg(month).arg(year - 2000);
        return Rc::ArchiveDecodeError;
    }
    record.recordTime = MeterTime(date, QTime(hour, 0));
    return Rc::Ok;
}

bool IlmDriver::HasArchive(ArchiveKind kind) const
{
    return kind == ArchiveKind::Hourly || kind == ArchiveKind::Daily ||
           kind == ArchiveKind::Monthly;
}
