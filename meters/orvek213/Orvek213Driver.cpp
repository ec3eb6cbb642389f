#include "Orvek213Driver.h"

#include "AnsiCodec.h"
#include "LayoutCodes.h"
#include "ModbusMaster.h"
#include "TextFormat.h"

#include <QDate>
#include <QTime>

#include <algorithm>
#include <cstring>

namespace {

constexpr quint16 SerialRegister = 0;
constexpr quint16 ModelRegister = 1800;
constexpr quint16 LayoutRegister = 5378;
constexpr quint16 StartDateRegister = 8288;
constexpr quint16 ClockRegister = 8290;

constexpr int ModelBlock = 2;
constexpr int SerialBlock = 8;
constexpr int ClockBlock = 8;
constexpr int LayoutBlock = Orvek213Driver::LayoutSlots + 1;

constexpr quint16 Model213 = 213;
constexpr quint16 Model223 = 223;

const QString kUnnamedModel = QStringLiteral("ОРВЕК-30x");

// The register pair of a record kind; the next-record read names its own count.
struct RecordRegisters
{
    quint16 first;
    quint16 next;
    quint16 nextCount;
};

constexpr RecordRegisters kEventRegisters{0x2050, 0x2051, 120};

bool ArchiveRegisters(ArchiveKind kind, RecordRegisters& registers)
{
    switch (kind) {
    case ArchiveKind::Hourly:
        registers = {0x2000, 0x2001, 120};
        return true;
    case ArchiveKind::Daily:
        registers = {0x2010, 0x2011, 120};
        return true;
    case ArchiveKind::Monthly:
        registers = {0x2020, 0x2021, 120};
        return true;
    case ArchiveKind::IntegralDaily:
        registers = {0x2090, 0x2091, 1};
        return true;
    case ArchiveKind::IntegralMonthly:
        registers = {0x2030, 0x2031, 120};
        return true;
    case ArchiveKind::EmergencyDaily:
        break;
    }
    return false;
}

const char16_t* const kEventNames[20] = {
    u"",          u"",
    u"",          u"",
    u"",          u"Vmin",
    u"Vmax",      u"Verr",
    u"T1min",     u"T1max",
    u"T2min",     u"T2max",
    u"T1err",     u"T2err",
    u"Tdtmax",    u"Tdtmin",
    u"Tdt<3",     u"Очистка архивов",
    u"Включение", u"Уст. времени",
};

// Т in "Тdt" is the Cyrillic Те, the other T are Latin; U is Latin in "Uбат".
const char16_t* const kFlagNames[32] = {
    u"",
    u"",
    u"Авария Gvtp",
    u"Авария V",
    u"НС Vmin",
    u"НС Vmax",
    u"",
    u"",
    u"Авария Tmin",
    u"Авария Tmax",
    u"Авария T",
    u"Авария Тdt",
    u"НС Tmin",
    u"НС Tmax",
    u"",
    u"НС Тdt",
    u"Авария Qgtp",
    u"Авария Uбат",
    u"Авария теплосчетчика",
    u"",
    u"",
    u"НС Uбат",
    u"",
    u"",
    u"",
    u"",
    u"",
    u"",
    u"Установка времени",
    u"",
    u"Очистка архивов",
    u"Включение прибора",
};

// The value of a slot by the high nibble of its code; false: the slot carries none.
// The nibble decides, not the kind: 0xB1 or 0xD7 have no kind but still a count.
bool SlotValue(quint8 code, const ReplyBlock& body, int at, double& value)
{
    switch (code >> 4) {
    case 0x1:
    case 0x2:
    case 0x3:
    case 0x4:
    case 0x5:
    case 0x6:
    case 0x7:
    case 0x8:
    case 0x9:
        value = double(body.FloatLE(at));
        return true;
    case 0xB:
    case 0xD:
        // Times count tenths of a minute; the files show hours.
        value = double(body.U32LE(at)) / 600.0;
        return true;
    case 0xC:
        value = double(body.U32LE(at));
        return true;
    default:
        return false;
    }
}

} // namespace

Orvek213Driver::Orvek213Driver(DriverContext& context) : DeviceDriver(context) {}

ResultCode Orvek213Driver::ReadBlock(quint16 firstRegister, quint16 registers, int blockSize,
                                     ReplyBlock& block)
{
    quint16 count = registers;
    const ResultCode r = Master().ReadHoldingRegisters(Address(), firstRegister, count, m_reply);
    if (r != Rc::Ok)
        return r;
    // Bytes past the block are used by nothing; those missing from a short reply read
    // as zeros.
    block = ReplyBlock(m_reply.data(), std::min(int(count), blockSize));
    return Rc::Ok;
}

Identity Orvek213Driver::Identify()
{
    ReplyBlock block;
    const ResultCode r = ReadBlock(ModelRegister, 1, ModelBlock, block);
    // A meter without the model register answers exception 2: no failure, and the
    // model of the previous device stays in force.
    if (r == Rc::IllegalDataAddress)
        return {Identity::Outcome::Unnamed, kUnnamedModel, Rc::Ok};
    if (r != Rc::Ok)
        return {Identity::Outcome::Failed, kUnnamedModel, r};
    m_modelNumber = block.U16LE(0);
    if (m_modelNumber == Model213 || m_modelNumber == Model223)
        return {Identity::Outcome::Known, QStringLiteral("ОРВЕК-") + QString::number(m_modelNumber),
                Rc::Ok};
    return {Identity::Outcome::UnknownModel,
            QStringLiteral("ID = ") + QString::number(m_modelNumber), Rc::UnknownDevice};
}

ResultCode Orvek213Driver::ReadDeviceClock(QDateTime& clock)
{
    clock = ZeroDateTime();
    ReplyBlock block;
    const ResultCode r = ReadBlock(ClockRegister, 1, ClockBlock, block);
    if (r != Rc::Ok)
        return r;
    clock = OrvekClockTime(block);
    return Rc::Ok;
}

ResultCode Orvek213Driver::ReadSerialNumber(QString& serial)
{
    ReplyBlock block;
    const ResultCode r = ReadBlock(SerialRegister, 1, SerialBlock, block);
    serial.clear();
    if (r != Rc::Ok)
        return r;
    // Every byte is a Windows-1251 character, as in every meter text; a zero byte ends
    // the number.
    for (int i = 0; i < SerialBlock; ++i)
        serial.append(DecodeAnsiByte(block.Byte(i)));
    serial = CleanMeterText(serial);
    return Rc::Ok;
}

ResultCode Orvek213Driver::ReadArchiveLayout(ArchiveLayout& layout)
{
    layout.fill(Kind::None);
    ReplyBlock block;
    const ResultCode r = ReadBlock(LayoutRegister, 1, LayoutBlock, block);
    if (r != Rc::Ok)
        return r;
    for (int i = 0; i < LayoutBlock; ++i)
        m_layoutCodes[size_t(i)] = block.Byte(i);

    m_slotCount = LayoutSlots;
    int k = 1;
    for (int i = 0; i < LayoutSlots; ++i) {
        const quint8 code = m_layoutCodes[size_t(i + 1)];
        if (IsLayoutEnd(code)) {
            m_slotCount = i;
            break;
        }
        layout[size_t(i)] = LayoutCodeKind(code);
        m_names[size_t(i)] = LayoutCodeName(code, k);
        if (code == 0xB0)
            ++k;
    }
    return Rc::Ok;
}

ResultCode Orvek213Driver::ReadParameterNames(ParameterNames& names)
{
    for (int i = 0; i < ArchiveSlots; ++i)
        names[size_t(i)] = i < m_slotCount ? m_names[size_t(i)] : QString();
    return Rc::Ok;
}

ResultCode Orvek213Driver::SetReadStartDate(const QDateTime& start, PeriodCode)
{
    const QDate date = start.date();
    const std::array<quint8, 4> block{quint8(start.time().hour()), quint8(date.day()),
                                      quint8(date.month()), quint8(date.year() - 2000)};
    return Master().WriteMultipleRegisters(Address(), StartDateRegister, 2, block);
}

ResultCode Orvek213Driver::ReadRecord(quint16 firstRegister, quint16 registers, bool first,
                                      RecordReply& reply)
{
    quint16 count = registers;
    const ResultCode r = Master().ReadHoldingRegisters(Address(), firstRegister, count, m_reply,
                                                       RecordAttempts(first));
    if (r != Rc::Ok)
        return r;
    const int length = std::min(int(count), RecordBufferSize);
    m_record.fill(0);
    std::memcpy(m_record.data(), m_reply.data(), size_t(length));
    const ReplyBlock block(m_record.data(), length);

    int header = 0;
    if (m_modelNumber == Model213) {
        header = 5;
        reply.present = block.Byte(0) != 0xFF;
        reply.index = RecordIndex(block.Byte(0));
    } else if (m_modelNumber == Model223) {
        header = 8;
        reply.index = RecordIndex(block.U16LE(0));
        reply.present = reply.index != NoMoreRecords;
    } else {
        return Rc::UnknownDevice;
    }
    if (!reply.present)
        reply.index = NoMoreRecords;
    reply.body =
        ReplyBlock(m_record.data() + header, std::clamp(length - header, 0, RecordBodySize));
    return Rc::Ok;
}

bool Orvek213Driver::RecordTime(const ReplyBlock& body, QDateTime& time)
{
    const int hour = body.Byte(1);
    const int day = body.Byte(2);
    const int month = body.Byte(3);
    const int year = body.Byte(4);
    const QDate date(2000 + year, month, day);
    if (!date.isValid() || hour > 23) {
        Context().DecodeErrorText = QString::number(hour) + QStringLiteral(":00 ") +
                                    QString::number(day) + u'.' + QString::number(month) + u'.' +
                                    QString::number(year);
        return false;
    }
    time = CalendarDateTime(date, QTime(hour, 0));
    return true;
}

ResultCode Orvek213Driver::ReadArchiveRecord(ArchiveKind kind, bool first, ArchiveRecord& record)
{
    RecordRegisters registers{};
    if (!ArchiveRegisters(kind, registers))
        return Rc::UnknownDevice;
    RecordReply reply;
    const ResultCode r = first ? ReadRecord(registers.first, 1, true, reply)
                               : ReadRecord(registers.next, registers.nextCount, false, reply);
    if (r != Rc::Ok)
        return r;
    record.recordIndex = reply.index;
    if (!reply.present)
        return Rc::Ok;

    for (int i = 0; i < m_slotCount; ++i) {
        // The body holds 20 values; the slots past them get 0 so that nothing of an
        // earlier record or device reaches the files.
        if (i >= BodyValueSlots) {
            record.values[size_t(i)] = 0;
            continue;
        }
        double value = 0;
        if (SlotValue(m_layoutCodes[size_t(i + 1)], reply.body, 5 + 4 * i, value))
            record.values[size_t(i)] = value;
    }
    return RecordTime(reply.body, record.recordTime) ? Rc::Ok : Rc::ArchiveDecodeError;
}

ResultCode Orvek213Driver::ReadEventRecord(bool first, LogRecord& record)
{
    RecordReply reply;
    const ResultCode r =
        first ? ReadRecord(kEventRegisters.first, 1, true, reply)
              : ReadRecord(kEventRegisters.next, kEventRegisters.nextCount, false, reply);
    if (r != Rc::Ok)
        return r;
    record.recordIndex = reply.index;
    if (!reply.present)
        return Rc::Ok;

    record.text.clear();
    for (int j = 0; j < 20; ++j) {
        const quint8 code = reply.body.Byte(5 + j);
        if (code == 0)
            break;
        if (!record.text.isEmpty())
            record.text += u',';
        // Codes past the table show their number rather than vanish from the log.
        record.text += code < std::size(kEventNames)
                           ? QString::fromUtf16(kEventNames[code])
                           : QStringLiteral("Событие ") + QString::number(code);
    }
    return RecordTime(reply.body, record.recordTime) ? Rc::Ok : Rc::LogDecodeError;
}

ResultCode Orvek213Driver::ReadFirstArchiveRecord(ArchiveKind kind, ArchiveRecord& record)
{
    return ReadArchiveRecord(kind, true, record);
}

ResultCode Orvek213Driver::ReadNextArchiveRecord(ArchiveKind kind, ArchiveRecord& record)
{
    return ReadArchiveRecord(kind, false, record);
}

ResultCode Orvek213Driver::ReadFirstEventRecord(LogRecord& record)
{
    return ReadEventRecord(true, record);
}

ResultCode Orvek213Driver::ReadNextEventRecord(LogRecord& record)
{
    return ReadEventRecord(false, record);
}

bool Orvek213Driver::HasArchive(ArchiveKind kind) const
{
    RecordRegisters registers{};
    return ArchiveRegisters(kind, registers);
}

QString Orvek213Driver::FlagsText(quint32 flags) const
{
    QString text;
    for (int bit = 0; bit < 32; ++bit) {
        if ((flags & (1u << bit)) == 0)
            continue;
        if (!text.isEmpty())
            text += QStringLiteral(", ");
        text += QString::fromUtf16(kFlagNames[bit]);
    }
    return text.isEmpty() ? QStringLiteral("Ok") : text;
}

std::unique_ptr<DeviceDriver> MakeOrvek213Driver(DriverContext& context)
{
    return std::make_unique<Orvek213Driver>(context);
}
