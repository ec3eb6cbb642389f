#include "ScanCommand.h"

#include "AddressList.h"
#include "ExchangeLog.h"
#include "IniFile.h"
#include "ProgramEnv.h"
#include "ProgramSettings.h"
#include "ReadoutFrontEnd.h"
#include "ReadoutJob.h"
#include "TextFormat.h"

#include <QCoreApplication>
#include <QDir>

#include <array>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

const char ScanUsage[] =
    "  orvekdata scan [--home DIR] [--config NAME] [--tcp HOST:PORT | --port NAME --speed BAUD]\n"
    "                 [--addresses TEXT] [--mbus] [--send-pause MS] [--wait MS]\n"
    "                            find the meters on a line: address;family;device;serial;\n"
    "                            clock;drift (s, meter minus computer)\n"
    "\n"
    "Scan options: the line as for read; --addresses default 1-247; --send-pause default\n"
    "10; --wait MS how long a silent address is waited for (default 100). Exit code: 0 a\n"
    "meter was found, 1 none, 2 bad usage.\n";

namespace {

constexpr int DefaultWaitMs = 100;
constexpr int DefaultScanSendPause = 10;

void Write(FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

bool IsTerminal(FILE* stream)
{
#ifdef Q_OS_UNIX
    return isatty(fileno(stream)) != 0;
#else
    Q_UNUSED(stream);
    return false;
#endif
}

// The ОРВЕК families' name when the model register answers exception 2.
const QString UnnamedModel = QStringLiteral("ОРВЕК-30x");

} // namespace

bool ReplyEchoesRequest(const ModbusMaster& master)
{
    const int length = master.RequestLength;
    return length > 0 && master.ReplyLength >= length &&
           std::equal(master.RequestFrame.begin(), master.RequestFrame.begin() + length,
                      master.ReplyFrame.begin());
}

bool IdentifyAddress(DriverSet& drivers, DriverContext& context, int address,
                     const std::function<QDateTime()>& now, FoundMeter& found)
{
    found = FoundMeter();
    found.address = address;
    context.DeviceAddress = BusAddress(address);
    DeviceDriver& orvek = drivers.For(FamilyOrvek307);
    DeviceDriver& orvek213 = drivers.For(FamilyOrvek213);
    DeviceDriver& ilm = drivers.For(FamilyIlm);

    QString name;
    const ResultCode first = orvek.IdentifyDevice(name);
    if (first == Rc::NoReply)
        return false; // one short wait for a silent address
    const QString firstName = name;
    if (first == Rc::Ok && name != UnnamedModel) {
        found.family = FamilyOrvek307;
    } else if (first == Rc::UnknownDevice) {
        // Another model number: an ОРВЕК-213/223 names itself through its own driver.
        if (orvek213.IdentifyDevice(name) == Rc::Ok && name != UnnamedModel)
            found.family = FamilyOrvek213;
    }
    if (found.family < 0 && ilm.IdentifyDevice(name) == Rc::Ok) {
        found.family = FamilyIlm;
    } else if (found.family < 0 && first == Rc::Ok) {
        // The model register is unknown to the meter: an early meter of either ОРВЕК
        // family. Their serial numbers sit in different registers.
        QString serial;
        if (orvek.ReadSerialNumber(serial) == Rc::Ok) {
            found.family = FamilyOrvek307;
        } else if (orvek213.IdentifyDevice(name) == Rc::Ok &&
                   orvek213.ReadSerialNumber(serial) == Rc::Ok) {
            found.family = FamilyOrvek213;
        }
        name = UnnamedModel;
    }
    if (found.family < 0) {
        found.device = ResultCodeText(first);
        if (first == Rc::UnknownDevice)
            found.device += QStringLiteral(": ") + firstName;
        return true;
    }
    DeviceDriver& driver = drivers.For(DeviceFamily(found.family));
    found.device = name;
    driver.ReadSerialNumber(found.serial);
    QDateTime clock;
    if (driver.ReadDeviceClock(clock) == Rc::Ok) {
        const QDateTime computer = now();
        found.clockRead = true;
        found.clock = clock;
        found.drift = QDateTime(computer.date(), computer.time(), Qt::UTC)
                          .secsTo(QDateTime(clock.date(), clock.time(), Qt::UTC));
    }
    return true;
}

int RunScanCommand(const QStringList& argsIn, const QString& home, FILE* out, FILE* err,
                   const std::function<bool()>& interrupted)
{
    // --wait is the scan's own; the rest are read's line options.
    QStringList args;
    int waitMs = DefaultWaitMs;
    QString error;
    for (qsizetype i = 0; i < argsIn.size(); ++i) {
        if (!IsOption(argsIn[i], QStringLiteral("--wait"))) {
            args.append(argsIn[i]);
            continue;
        }
        std::optional<int> wait;
        if (!TakePause(argsIn, i, QStringLiteral("--wait"), wait, error) || *wait < 1) {
            Write(err, QStringLiteral("orvekdata: --wait is a whole number of milliseconds, "
                                      "1 to 60000\n"));
            return 2;
        }
        waitMs = *wait;
    }
    ReadOptions options;
    options.home = home;
    if (!ParseReadOptions(args, options, error)) {
        Write(err, QStringLiteral("orvekdata: ") + error + u'\n');
        return 2;
    }
    if (options.family || options.from || options.archives || options.logs || options.dialString ||
        options.report || options.replyPause) {
        Write(err, QStringLiteral("orvekdata: scan takes the line's options, --addresses, "
                                  "--send-pause and --wait only\n"));
        return 2;
    }
    const QString programDir = ProgramDir(options.home);
    QDir().mkpath(programDir);
    const IniFile ini(programDir + QStringLiteral("OrvekData.ini"));
    const GeneralSettings general = ReadGeneralSettings(ini);
    ReadoutSettings settings;
    if (!BuildReadSettings(options, ini, general, QDate::currentDate(), settings, error)) {
        Write(err, QStringLiteral("orvekdata: ") + error + u'\n');
        return 2;
    }
    const QString addressText = options.addresses ? *options.addresses : QStringLiteral("1-247");
    const AddressParseResult parsed = ParseAddressList(addressText);
    if (!parsed.Ok()) {
        Write(err, QStringLiteral("orvekdata: --addresses: ") + parsed.error + u'\n');
        return 2;
    }
    bool speedOk = false;
    const int speed = settings.comSpeed.trimmed().toInt(&speedOk);
    if (settings.useTcp ? settings.tcpPort < 1 || settings.tcpPort > 65535
                        : !speedOk || speed <= 0) {
        Write(err, QStringLiteral("orvekdata: ") + ResultCodeText(Rc::InvalidParameter) + u'\n');
        return 2;
    }

    ExchangeLog log(programDir);
    struct Silent : ReadoutFrontEnd
    {
        void ShowError(const QString&) override {}
        void AppendToLastMemoLine(const QString&) override {}
        void ShowIoError(int) override {}
    } silent;
    ReadoutJob job(programDir, log, silent, settings);
    Channel& channel = job.channel;
    if (settings.useTcp) {
        channel.TcpHost = settings.tcpHost;
        channel.TcpPort = quint16(settings.tcpPort);
    } else {
        channel.ComPortName = settings.comPort;
        channel.BaudRate = speed;
    }
    ModbusMaster& master = job.master;
    master.GlobalTimeOut = waitMs;
    master.LocalTimeOut = general.localTimeOut;
    master.GlobalTry = 1;
    master.ShowLog = settings.showLog ? 1 : 0;
    master.SendPauseMs = options.sendPause.value_or(DefaultScanSendPause);
    master.RetryPauseMs = 0;
    master.EchoSkip = settings.echo;
    master.ReplyDelay = settings.ReplyPause();

    const ResultCode opened = channel.OpenChannel();
    if (opened != Rc::Ok) {
        Write(err, QStringLiteral("orvekdata: ") + ResultCodeText(opened) + u'\n');
        channel.CloseChannel();
        return 1;
    }
    const bool progress = IsTerminal(err);
    if (!master.EchoSkip && !parsed.addresses.isEmpty()) {
        // An echoing line hands back every request ahead of any answer, whether or not a
        // meter is there; one request tells. Its echo could pass for an answer later.
        std::array<quint8, 8> probe{};
        quint16 count = 1;
        master.ReadHoldingRegisters(parsed.addresses.first(), 1800, count, probe);
        if (ReplyEchoesRequest(master)) {
            Write(err, QStringLiteral("orvekdata: the line returns the program's own requests "
                                      "(an M-Bus line): tick \"M-Bus\" or give --mbus; "
                                      "scanning on as with --mbus\n"));
            master.EchoSkip = true;
            master.ReplyDelay = settings.replyPause >= 0 ? settings.replyPause : 250;
        }
    }
    Write(out, QStringLiteral("address;family;device;serial;clock;drift\n"));
    int found = 0;
    const auto now = [] {
        return QDateTime::currentDateTime();
    };
    for (qsizetype i = 0; i < parsed.addresses.size(); ++i) {
        if (interrupted && interrupted())
            break;
        const int address = parsed.addresses[i];
        if (progress)
            Write(err,
                  QStringLiteral("\raddress %1 of %2").arg(i + 1).arg(parsed.addresses.size()));
        FoundMeter meter;
        if (!IdentifyAddress(job.drivers, job.context, address, now, meter))
            continue;
        ++found;
        const QString line =
            QStringLiteral("%1;%2;%3;%4;%5;%6\n")
                .arg(address)
                .arg(meter.family >= 0 ? QString::number(meter.family) : QString())
                .arg(meter.device, meter.serial,
                     meter.clockRead ? FormatDateTimeSeconds(meter.clock) : QString(),
                     meter.clockRead ? QString::number(meter.drift) : QString());
        if (progress)
            Write(err, QStringLiteral("\r"));
        Write(out, line);
    }
    if (progress)
        Write(err, QStringLiteral("\n"));
    channel.CloseChannel();
    return found > 0 ? 0 : 1;
}
