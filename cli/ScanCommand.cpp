#include "ScanCommand.h"

#include "AddressList.h"
#include "BusScan.h"
#include "ExchangeLog.h"
#include "IniFile.h"
#include "Interrupts.h"
#include "ProgramEnv.h"
#include "ProgramSettings.h"
#include "ReadoutPlan.h"
#include "ReadoutSession.h"
#include "SessionEvents.h"
#include "TextFormat.h"

#include <QCommandLineParser>
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

} // namespace

QList<QCommandLineOption> ScanCommandOptions()
{
    return ReadCommandOptions() << ValueOption(QStringLiteral("wait"));
}

bool ParseScanOptions(const QStringList& args, ScanOptions& options, QString& error)
{
    QCommandLineParser parser;
    if (!ParseOptionsOnly(parser, ScanCommandOptions(), args, error))
        return false;
    if (!TakePauseOption(parser, QStringLiteral("wait"), options.waitMs, error) ||
        (options.waitMs && *options.waitMs < 1)) {
        error = QStringLiteral("--wait is a whole number of milliseconds, 1 to 60000");
        return false;
    }
    ReadOptions& line = options.line;
    if (!TakeReadOptions(parser, line, error))
        return false;
    if (line.family || line.from || line.archives || line.logs || line.dialString || line.report ||
        line.replyPause) {
        error = QStringLiteral("scan takes the line's options, --addresses, --send-pause and "
                               "--wait only");
        return false;
    }
    return true;
}

int RunScanCommand(const ScanOptions& scanOptions, FILE* out, FILE* err)
{
    const ReadOptions& options = scanOptions.line;
    const int waitMs = scanOptions.waitMs.value_or(BusScan::DefaultWaitMs);
    QString error;
    const QString programDir = ProgramDir(options.home);
    QString unusable;
    if (!PrepareProgramDir(programDir, unusable)) {
        Write(err, QStringLiteral("orvekdata: ") + unusable + u'\n');
        return 1;
    }
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
    ExchangeLog log(programDir);
    struct Silent : SessionEvents
    {
        void ShowError(const QString&) override {}
        void ShowIoError(const QString&) override {}
    } silent;
    const PlanSource plan;
    const LineConfig line = LineConfigFrom(settings, general);
    ReadoutSession session(programDir, log, silent, line, plan);
    SetInterruptTarget(&session);
    const struct Untarget
    {
        ~Untarget() { SetInterruptTarget(nullptr); }
    } untarget;
    BusScan scan(session, line, waitMs, options.sendPause.value_or(BusScan::DefaultSendPauseMs));
    const ResultCode opened = scan.Open();
    if (opened == Rc::Aborted)
        return 1;
    if (opened != Rc::Ok) {
        Write(err, QStringLiteral("orvekdata: ") + ResultCodeText(opened) + u'\n');
        // A port or speed the line cannot have is bad usage; a line that fails, not.
        return opened == Rc::InvalidParameter ? 2 : 1;
    }
    const bool progress = IsTerminal(err);
    if (!parsed.addresses.isEmpty() && scan.DetectEcho(parsed.addresses.first())) {
        Write(err, QStringLiteral("orvekdata: the line returns the program's own requests "
                                  "(an M-Bus line): tick \"M-Bus\" or give --mbus; "
                                  "scanning on as with --mbus\n"));
    }
    Write(out, QStringLiteral("address;family;device;serial;clock;drift\n"));
    int found = 0;
    const auto now = [] {
        return QDateTime::currentDateTime();
    };
    for (qsizetype i = 0; i < parsed.addresses.size(); ++i) {
        if (InterruptRequested())
            break;
        const int address = parsed.addresses[i];
        if (progress)
            Write(err,
                  QStringLiteral("\raddress %1 of %2").arg(i + 1).arg(parsed.addresses.size()));
        FoundMeter meter;
        if (!scan.Identify(address, meter, now))
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
    return found > 0 ? 0 : 1;
}
