#include "Orvek307Driver.h"

#include "AnsiCodec.h"
#include "LayoutCodes.h"
#include "LogSink.h"
#include "ModbusMaster.h"
#include "TextFormat.h"

namespace {

constexpr quint16 ModelRegister = 1800;
constexpr quint16 SerialRegister = 257;
constexpr quint16 ClockRegister = 98;
constexpr quint16 LayoutRegister = 262;
constexpr quint16 SystemsRegister = 1538;
constexpr quint16 StartDateRegister = 96;

// Every read names one register; a next record names 120 (one whole record block).
constexpr quint16 SingleCount = 1;
constexpr quint16 NextCount = 120;

constexpr int NameWidth = 10;
constexpr int SystemEntryWidth = 10;

// Record block.
constexpr int IndexOffset = 2;
constexpr int HourOffset = 14;
constexpr int DayOffset = 15;
constexpr int MonthOffset = 16;
constexpr int YearOffset = 17;
constexpr int BodyOffset = 18;
constexpr int TextLimit = 220;

struct RecordRegisters
{
    quint16 first;
    quint16 next;
};

constexpr RecordRegisters EventLog{0x50, 0x55};
constexpr RecordRegisters ProtectedLog{0x70, 0x75};

bool ArchiveRegisters(ArchiveKind kind, RecordRegisters& registers)
{
    switch (kind) {
    case ArchiveKind::Hourly:
        registers = {0x00, 0x05};
        return true;
    case ArchiveKind::Daily:
        registers = {0x10, 0x15};
        return true;
    case ArchiveKind::Monthly:
        registers = {0x20, 0x25};
        return true;
    case ArchiveKind::IntegralMonthly:
        registers = {0x30, 0x35};
        return true;
    case ArchiveKind::EmergencyDaily:
        registers = {0x40, 0x45};
        return true;
    case ArchiveKind::IntegralDaily:
        break;
    }
    return false;
}

// The channel descriptors: first register of the group and where its name lies.
struct Descriptor
{
    quint16 firstRegister;
    int nameOffset;
};

bool DescriptorOf(quint8 group, Descriptor& descriptor)
{
    switch (group) {
    case 0x10:
        descriptor = {0x201, 19}; // volume
        return true;
    case 0x20:
        descriptor = {0x221, 11}; // mass
        return true;
    case 0x30:
        descriptor = {0x301, 15}; // temperature
        return true;
    case 0x40:
        descriptor = {0x401, 23}; // pressure
        return true;
    case 0x50:
        descriptor = {0x501, 2}; // heat energy
        return true;
    default:
        return false;
    }
}

// Up to 10 bytes, ending before the first zero; the meter pads names with blanks.
QString NameField(const ReplyBlock& block, int at)
{
    QString name;
    for (int i = 0; i < NameWidth; ++i) {
        const quint8 byte = block.Byte(at + i);
        if (byte == 0)
            break;
        name += DecodeAnsiByte(byte);
    }
    name = CleanMeterText(name);
    qsizetype length = name.size();
    while (length > 0 && name.at(length - 1) == u' ')
        --length;
    name.truncate(length);
    return name;
}

RecordIndex IndexOf(const ReplyBlock& block)
{
    return RecordIndex(block.U16LE(IndexOffset));
}

QDate RecordDate(const ReplyBlock& block)
{
    return QDate(2000 + block.Byte(YearOffset), block.Byte(MonthOffset), block.Byte(DayOffset));
}

QString RecordStamp(const ReplyBlock& block)
{
    return QStringLiteral("%1:00 %2.%3.%4")
        .arg(block.Byte(HourOffset))
        .arg(block.Byte(DayOffset))
        .arg(block.Byte(MonthOffset))
        .arg(block.Byte(YearOffset));
}

// Bit 0 first; unnamed bits are empty.
const std::array<const char*, 32> FlagNames = {
    "Авария Vmin",
    "Авария Vmax",
    "Авария V",
    "Авария Gvtp",
    "НС Vmin",
    "НС Vmax",
    "НС V",
    "НС G",
    "Авария Tmin",
    "Авария Tmax",
    "Авария T",
    "Авария Тdt",
    "НС Tmin",
    "НС Tmax",
    "НС T",
    "НС Тdt",
    "Авария Pmin",
    "Авария Pmax",
    "Авария P",
    "",
    "НС Pmin",
    "НС Pmax",
    "НС P",
    "",
    "",
    "",
    "Авария Qgtp",
    "",
    "",
    "",
    "НС Q",
    "",
};

} // namespace

std::unique_ptr<DeviceDriver> MakeOrvek307Driver(DriverContext& context)
{
    return std::make_unique<Orvek307Driver>(context);
}

ResultCode Orvek307Driver::Read(quint16 firstRegister, quint16 count, Buffer& buffer,
                                ReplyBlock& block, ModbusMaster::Attempts attempts)
{
    const ResultCode r =
        Master().ReadHoldingRegisters(Address(), firstRegister, count, std::span(buffer), attempts);
    if (r == Rc::Ok)
        block = ReplyBlock(buffer.data(), count);
    return r;
}

Identity Orvek307Driver::Identify()
{
    Buffer buffer{};
    ReplyBlock block;
    const ResultCode r = Read(ModelRegister, SingleCount, buffer, block);
    Identity identity{Identity::Outcome::Failed, QStringLiteral("ОРВЕК-30x"), r};
    // Early meters do not know the register: they are taken as a model of the family.
    if (r == Rc::IllegalDataAddress)
        return {Identity::Outcome::Unnamed, identity.name, Rc::Ok};
    if (r != Rc::Ok)
        return identity;
    const quint16 model = block.U16LE(0);
    if (model >= 306 && model <= 308)
        return {Identity::Outcome::Known, QStringLiteral("ОРВЕК-") + QString::number(model),
                Rc::Ok};
    return {Identity::Outcome::UnknownModel, QStringLiteral("ID = ") + QString::number(model),
            Rc::UnknownDevice};
}

ResultCode Orvek307Driver::ReadSerialNumber(QString& serial)
{
    Buffer buffer{};
    ReplyBlock block;
    const ResultCode r = Read(SerialRegister, SingleCount, buffer, block);
    serial.clear();
    if (r != Rc::Ok)
        return r;
    // Every text a meter holds is Windows-1251, the serial number's letters too.
    for (int i = 1; i <= 8; ++i)
        serial += DecodeAnsiByte(block.Byte(i));
    serial = CleanMeterText(serial);
    return Rc::Ok;
}

ResultCode Orvek307Driver::ReadDeviceClock(QDateTime& clock)
{
    Buffer buffer{};
    ReplyBlock block;
    const ResultCode r = Read(ClockRegister, SingleCount, buffer, block);
    clock = ZeroDateTime();
    if (r != Rc::Ok)
        return r;
    clock = OrvekClockTime(block);
    return Rc::Ok;
}

ResultCode Orvek307Driver::ReadArchiveLayout(ArchiveLayout& layout)
{
    Buffer buffer{};
    ReplyBlock block;
    const ResultCode r = Read(LayoutRegister, SingleCount, buffer, block);
    if (r != Rc::Ok)
        return r;

    layout.fill(Kind::None);
    m_layoutCodes.fill(0);
    m_slotCount = MaxSlots;
    for (QString& name : m_names)
        name.clear();
    int system = 1;
    for (int i = 0; i < MaxSlots; ++i) {
        const quint8 code = block.Byte(1 + i);
        if (IsLayoutEnd(code)) {
            m_slotCount = i;
            break;
        }
        m_layoutCodes[size_t(i)] = code;
        layout[size_t(i)] = LayoutCodeKind(code);
        m_names[size_t(i)] = LayoutCodeName(code, system);
        if (code == 0xB0)
            ++system; // every operating-time slot opens the next heat system
    }
    return Rc::Ok;
}

ResultCode Orvek307Driver::ReadParameterNames(ParameterNames& names)
{
    // A meter without heat-system names refuses the register; the defaults then stay.
    Buffer systems{};
    ReplyBlock systemBlock;
    Read(SystemsRegister, SingleCount, systems, systemBlock);

    int entry = 0;
    for (int i = 0; i < m_slotCount; ++i) {
        if (Context().AbortRequested)
            return Rc::Ok;
        const quint8 code = m_layoutCodes[size_t(i)];
        const quint8 group = code & 0xF0;
        QString candidate;
        Descriptor descriptor{};
        if (DescriptorOf(group, descriptor)) {
            const quint16 reg = quint16(descriptor.firstRegister + (code & 0x0F));
            Context().Log.AddMemoMark(
                QStringLiteral("------> %1 из %2 = 0x%3")
                    .arg(i + 1)
                    .arg(m_slotCount)
                    .arg(QString::number(reg, 16).toUpper().rightJustified(4, u'0')));
            Buffer buffer{};
            ReplyBlock block;
            const ResultCode r = Read(reg, SingleCount, buffer, block);
            if (r != Rc::Ok)
                return r;
            candidate = NameField(block, descriptor.nameOffset);
        } else if (group == 0xB0) {
            // Operating time opens a heat system; its error flags that come before it
            // share the same entry.
            candidate = NameField(systemBlock, SystemEntryWidth * entry);
            ++entry;
        } else if (group == 0xC0) {
            candidate = NameField(systemBlock, SystemEntryWidth * entry);
        } else {
            continue;
        }
        if (candidate.isEmpty())
            continue;
        if (group == 0xB0)
            m_names[size_t(i)] = QStringLiteral("Наработка ") + candidate;
        else if (group == 0xC0)
            m_names[size_t(i)] = QStringLiteral("Ошибки ") + candidate;
        else
            m_names[size_t(i)] = candidate;
    }

    for (int i = 0; i < ArchiveSlots; ++i)
        names[size_t(i)] = i < m_slotCount ? m_names[size_t(i)] : QString();
    return Rc::Ok;
}

ResultCode Orvek307Driver::SetReadStartDate(const QDateTime& start, PeriodCode)
{
    const QDate date = start.date();
    const std::array<quint8, 4> data = {
        quint8(start.time().hour()),
        quint8(date.day()),
        quint8(date.month()),
        quint8((date.year() - 2000) & 0xFF),
    };
    return Master().WriteMultipleRegisters(Address(), StartDateRegister, 2, data);
}

bool Orvek307Driver::HasArchive(ArchiveKind kind) const
{
    RecordRegisters registers{};
    return ArchiveRegisters(kind, registers);
}

ResultCode Orvek307Driver::ReadFirstArchiveRecord(ArchiveKind kind, ArchiveRecord& record)
{
    return ReadArchiveRecord(kind, true, record);
}

ResultCode Orvek307Driver::ReadNextArchiveRecord(ArchiveKind kind, ArchiveRecord& record)
{
    return ReadArchiveRecord(kind, false, record);
}

ResultCode Orvek307Driver::ReadArchiveRecord(ArchiveKind kind, bool first, ArchiveRecord& record)
{
    RecordRegisters registers{};
    if (!ArchiveRegisters(kind, registers))
        return Rc::UnknownDevice;
    Buffer buffer{};
    ReplyBlock block;
    const ResultCode r =
        first ? Read(registers.first, SingleCount, buffer, block, RecordAttempts(true))
              : Read(registers.next, NextCount, buffer, block, RecordAttempts(false));
    if (r != Rc::Ok)
        return r;

    record.recordIndex = IndexOf(block);
    if (record.recordIndex == NoMoreRecords)
        return Rc::Ok;

    for (int i = 0; i < m_slotCount; ++i) {
        const int at = BodyOffset + 4 * i;
        const quint8 group = m_layoutCodes[size_t(i)] & 0xF0;
        if (group >= 0x10 && group <= 0x90)
            record.values[size_t(i)] = double(block.FloatLE(at));
        else if (group == 0xB0 || group == 0xD0)
            record.values[size_t(i)] = double(block.U32LE(at)) / 60; // seconds to minutes
        else if (group == 0xC0)
            record.values[size_t(i)] = double(block.U32LE(at));
    }

    const bool hourly = kind == ArchiveKind::Hourly;
    const QDate date = RecordDate(block);
    const int hour = hourly ? block.Byte(HourOffset) : 0;
    // A record that forms no valid date fails with its raw time in the message, in the
    // same form as the ОРВЕК-213/223 driver gives it (5:00 31.2.19).
    if (!date.isValid() || hour > 23) {
        Context().DecodeErrorText = RecordStamp(block);
        return Rc::ArchiveDecodeError;
    }
    record.recordTime = CalendarDateTime(date, QTime(hour, 0));
    return Rc::Ok;
}

ResultCode Orvek307Driver::ReadLogRecord(quint16 firstRegister, quint16 count, bool first,
                                         LogRecord& record)
{
    Buffer buffer{};
    ReplyBlock block;
    const ResultCode r = Read(firstRegister, count, buffer, block, RecordAttempts(first));
    if (r != Rc::Ok)
        return r;

    record.recordIndex = IndexOf(block);
    if (record.recordIndex == NoMoreRecords)
        return Rc::Ok;

    const QDate date = RecordDate(block);
    const int hour = block.Byte(HourOffset);
    if (!date.isValid() || hour > 23)
        return Rc::LogDecodeError;
    record.recordTime = CalendarDateTime(date, QTime(hour, 0));

    QString text;
    for (int i = 0; i < TextLimit; ++i) {
        const quint8 byte = block.Byte(BodyOffset + i);
        if (byte == 0)
            break;
        text += DecodeAnsiByte(byte);
    }
    record.text = CleanMeterText(text);
    return Rc::Ok;
}

ResultCode Orvek307Driver::ReadFirstEventRecord(LogRecord& record)
{
    return ReadLogRecord(EventLog.first, SingleCount, true, record);
}

ResultCode Orvek307Driver::ReadNextEventRecord(LogRecord& record)
{
    return ReadLogRecord(EventLog.next, NextCount, false, record);
}

ResultCode Orvek307Driver::ReadFirstProtectedRecord(LogRecord& record)
{
    return ReadLogRecord(ProtectedLog.first, SingleCount, true, record);
}

ResultCode Orvek307Driver::ReadNextProtectedRecord(LogRecord& record)
{
    return ReadLogRecord(ProtectedLog.next, NextCount, false, record);
}

QString Orvek307Driver::FlagsText(quint32 flags) const
{
    QString text;
    for (int bit = 0; bit < 32; ++bit) {
        if (!(flags & (quint32(1) << bit)))
            continue;
        // An unnamed bit adds its separator and no name: bits 0 and 19 end in ", ".
        if (!text.isEmpty())
            text += QStringLiteral(", ");
        text += QString::fromUtf8(FlagNames[size_t(bit)]);
    }
    return text.isEmpty() ? QStringLiteral("Ok") : text;
}
