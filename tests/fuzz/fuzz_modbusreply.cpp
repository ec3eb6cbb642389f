// The master's reply reception and the drivers' decoders, fed any reply bytes over a
// line in memory. One input is one read-out of a device: identity, clock, serial
// number, layout and names, then every archive and log the family has, record after
// record. Whatever the meter answers, nothing the read-out writes from it breaks a line
// of an export file or of the log: the device name, the serial number, the parameter
// names and the event texts hold no ";" and no control character, and no cell of a
// decoded record holds ";" or a line break.
//
// Input: one byte of line settings, then the answers to the requests in turn, each a
// mode byte, a length byte and that many data bytes. Mode bits 0-1: 0 the data bytes as
// they stand, 1 a reply to the request carrying the data, 2 an exception reply with the
// first data byte as its code, 3 a reply carrying the data cut or padded to the count
// of registers asked for. Bit 2 damages the CRC, bit 3 puts the echo of the request in
// front, bit 4 a byte of line noise (FFh) before the reply. When the input is used up,
// the line takes no more requests.
#include "Crc16.h"
#include "DeviceDriver.h"
#include "ExchangeLog.h"
#include "FuzzCheck.h"
#include "MemoryLine.h"
#include "ModbusMaster.h"
#include "TextFormat.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

class Script
{
public:
    Script(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    quint8 Take() { return m_at < m_size ? m_data[m_at++] : 0; }
    bool AtEnd() const { return m_at >= m_size; }

    std::optional<QByteArray> Answer(QByteArrayView request)
    {
        if (AtEnd())
            return std::nullopt;
        const quint8 mode = Take();
        const int length = Take();
        QByteArray payload;
        while (payload.size() < length && !AtEnd())
            payload.append(char(Take()));

        const quint8 address = request.size() > 0 ? quint8(request[0]) : 0;
        const quint8 function = request.size() > 1 ? quint8(request[1]) : 0;
        QByteArray reply;
        switch (mode & 3) {
        case 0:
            reply = payload;
            break;
        case 1:
        case 3:
            if (function == 16) {
                reply = request.first(qMin<qsizetype>(6, request.size())).toByteArray();
            } else {
                if ((mode & 3) == 3)
                    payload.resize(qMin(2 * (request.size() > 5 ? quint8(request[5]) : 0), 255),
                                   '\0');
                reply.append(char(address)).append(char(function)).append(char(payload.size()));
                reply.append(payload);
            }
            break;
        case 2:
            reply.append(char(address)).append(char(function | 0x80));
            reply.append(payload.isEmpty() ? char(1) : payload[0]);
            break;
        }
        if ((mode & 3) != 0) {
            quint16 crc =
                Crc16(reinterpret_cast<const quint8*>(reply.constData()), int(reply.size()));
            if (mode & 4)
                crc ^= 0x0100;
            reply.append(char(crc & 0xFF)).append(char(crc >> 8));
        }
        if (mode & 16)
            reply.prepend('\xFF');
        if (mode & 8)
            reply.prepend(request.toByteArray());
        return reply;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

// No ";" (it would add a field) and no control character (a line break would split the
// line, a zero byte cut it).
void CheckText(const QString& text, const char* what)
{
    for (const QChar c : text)
        FUZZ_CHECK(c != u';' && c.unicode() >= 0x20,
                   QString::fromLatin1(what) + QStringLiteral(": ") + Visible(text));
}

void CheckCell(const QString& cell)
{
    FUZZ_CHECK(!cell.contains(u';') && !cell.contains(u'\r') && !cell.contains(u'\n'),
               Visible(cell));
}

void CheckArchiveRecord(const DeviceDriver& driver, const ArchiveLayout& layout,
                        const ArchiveRecord& record)
{
    FUZZ_CHECK(record.recordTime.isValid(), QString());
    for (int i = 0; i < ArchiveSlots; ++i) {
        const double value = record.values[size_t(i)];
        switch (layout[size_t(i)]) {
        case Kind::None:
            break;
        case Kind::Flags: {
            const qint64 flags = RoundHalfEven(value);
            CheckCell(driver.HasFlagsText() ? driver.FlagsText(quint32(flags))
                                            : FormatFlagsHex(flags));
            break;
        }
        default:
            CheckCell(FormatNumberCell(value));
        }
    }
}

struct ArchiveStep
{
    ArchiveKind kind;
    PeriodCode period;
};

constexpr ArchiveStep Archives[] = {
    {ArchiveKind::Hourly, Period::Hourly},        {ArchiveKind::Daily, Period::Daily},
    {ArchiveKind::IntegralDaily, Period::None},   {ArchiveKind::Monthly, Period::Monthly},
    {ArchiveKind::IntegralMonthly, Period::None}, {ArchiveKind::EmergencyDaily, Period::None},
};

// Enough to pass through every path of a record loop without running for long.
constexpr int RecordLimit = 40;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static int argc = 1;
    static char name[] = "fuzz_modbusreply";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir dir;
    const QDateTime now = CalendarDateTime(QDate(2019, 7, 19), QTime(12, 0));
    ExchangeLog log(dir.path() + u'/', [now] { return now; });
    QFile::remove(log.LogFilePath(now.date()));

    Script script(data, size);
    const quint8 settings = script.Take();
    MemoryLine line;
    line.SetResponder([&script](QByteArrayView request) { return script.Answer(request); });

    ModbusMaster master(line, log);
    // The line in memory keeps its own time: the time-outs cost nothing real.
    LineConfig config;
    config.sendPause = 0;
    config.retryPause = 0;
    config.replyPause = 0;
    config.globalTimeOut = 1200;
    config.localTimeOut = 50;
    config.globalTry = 1 + (settings >> 2 & 3) % 3;
    config.echo = settings & 0x10;
    config.showLog = settings & 0x20 ? 1 : 0;
    master.Configure(config);

    DriverContext context(master, log);
    context.DeviceAddress = 1;
    DriverSet drivers(context);
    const auto family = DeviceFamily((settings & 3) % 3);
    DeviceDriver& driver = drivers.For(family);

    const auto checkDecodeError = [&context](ResultCode r) {
        if (r == Rc::ArchiveDecodeError || r == Rc::LogDecodeError)
            CheckText(context.DecodeErrorText, "time of a record that failed");
    };

    QString name;
    driver.IdentifyDevice(name);
    CheckText(name, "device name");
    QDateTime clock;
    driver.ReadDeviceClock(clock);
    QString serial;
    if (driver.ReadSerialNumber(serial) == Rc::Ok)
        CheckText(serial, "serial number");
    ArchiveLayout layout{};
    driver.ReadArchiveLayout(layout);
    ParameterNames names;
    if (driver.ReadParameterNames(names) == Rc::Ok) {
        for (const QString& parameter : names)
            CheckText(parameter, "parameter name");
    }
    FUZZ_CHECK(master.ReplyLength <= ModbusMaster::ReplyLimit, QString());

    const QDateTime start = CalendarDateTime(QDate(2019, 7, 18), QTime(0, 0));
    for (const ArchiveStep& step : Archives) {
        if (!driver.HasArchive(step.kind) || script.AtEnd())
            continue;
        if (driver.SetReadStartDate(start, step.period) != Rc::Ok)
            continue;
        ArchiveRecord record;
        ResultCode r = driver.ReadFirstArchiveRecord(step.kind, record);
        for (int n = 0; r == Rc::Ok && record.recordIndex != NoMoreRecords && n < RecordLimit;
             ++n) {
            CheckArchiveRecord(driver, layout, record);
            r = driver.ReadNextArchiveRecord(step.kind, record);
        }
        checkDecodeError(r);
    }

    for (const bool protectedLog : {false, true}) {
        if (!(protectedLog ? driver.HasProtectedLog() : driver.HasEventLog()) || script.AtEnd())
            continue;
        if (driver.SetReadStartDate(start, Period::None) != Rc::Ok)
            continue;
        LogRecord record;
        ResultCode r = protectedLog ? driver.ReadFirstProtectedRecord(record)
                                    : driver.ReadFirstEventRecord(record);
        for (int n = 0; r == Rc::Ok && record.recordIndex != NoMoreRecords && n < RecordLimit;
             ++n) {
            FUZZ_CHECK(record.recordTime.isValid(), QString());
            CheckText(record.text, "event text");
            r = protectedLog ? driver.ReadNextProtectedRecord(record)
                             : driver.ReadNextEventRecord(record);
        }
        checkDecodeError(r);
    }
    FUZZ_CHECK(master.ReplyLength <= ModbusMaster::ReplyLimit, QString());
    return 0;
}
