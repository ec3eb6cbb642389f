#include "ReadCommand.h"

#include "AddressList.h"
#include "ExchangeLog.h"
#include "IniFile.h"
#include "Interrupts.h"
#include "ProgramEnv.h"
#include "ProgramSettings.h"
#include "ReadPlan.h"
#include "ReadoutPlan.h"
#include "ReadoutSession.h"
#include "ReadoutSteps.h"
#include "SessionEvents.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QHostAddress>

#include <algorithm>

const char ReadUsage[] =
    "  orvekdata read [--home DIR] [--config NAME]\n"
    "                 [--tcp HOST:PORT | --port NAME --speed BAUD]\n"
    "                 [--family 0|1|2] [--addresses TEXT] [--from YYYY-MM-DD]\n"
    "                 [--archives hour,day,month,integral,emergency]\n"
    "                 [--logs event,protected] [--modem DIALSTRING] [--mbus] [--show-log]\n"
    "                 [--send-pause MS] [--reply-pause MS] [--report FILE]\n"
    "                 [--plan FILE] [--result FILE]\n"
    "                            read the meters without the window\n"
    "\n"
    "Read options:\n"
    "  --config NAME       start from the saved configuration NAME of OrvekData.ini;\n"
    "                      the options below override it\n"
    "  --tcp HOST:PORT     through a serial-to-Ethernet gateway (dotted IPv4 address,\n"
    "                      port 1 to 65535)\n"
    "  --port NAME         through a serial port (COM3, ttyUSB0, /dev/ttyUSB0)\n"
    "  --speed BAUD        serial port speed (default from [General] ComSpeed, 19200)\n"
    "  --family N          0 ОРВЕК-306/307/308 (default), 1 ИЛЬМ, 2 ОРВЕК-213/223\n"
    "  --addresses TEXT    bus addresses: \"1 3 6-11 18\" (default 1)\n"
    "  --from YYYY-MM-DD   first day of the archives and logs (default today), in the\n"
    "                      years 2000 to 2254 the meters hold\n"
    "  --archives LIST     archives to read, comma-separated: hour, day, month,\n"
    "                      integral, emergency; \"none\" reads none\n"
    "  --logs LIST         logs to read: event, protected; \"none\" reads none\n"
    "                      (what a family lacks is left out, as in the window)\n"
    "  --modem DIAL        dial the modem on the port first, e.g. ATD5551234\n"
    "  --mbus              the line echoes the program's own requests (M-Bus)\n"
    "  --show-log          dump every frame in hex into the exchange log\n"
    "  --send-pause MS     quiet time before every request (default from [General]\n"
    "                      SendPause, 100)\n"
    "  --reply-pause MS    quiet time after every good reply (default from [General]\n"
    "                      ReplyPause; 50, or 250 with --mbus)\n"
    "  --report FILE       also write the read-out report to FILE\n"
    "  --plan FILE         take --config, --from, the pauses and --report from the JSON\n"
    "                      read-out plan FILE; the options given come over it\n"
    "  --result FILE       write how the read-out ended to FILE as JSON\n"
    "\n"
    "The exchange log goes to standard output and to Protocols/yyyy-mm-dd.log, errors\n"
    "to standard error; the files go to Data/yyyy-mm-dd/device/serial number in the\n"
    "program folder, the read-out report (one row per device: result, clock drift,\n"
    "records and missing periods of every archive, files) to\n"
    "Reports/yyyy-mm-dd/hhmmss.csv. Ctrl+C aborts the read-out as the Abort button does (press it\n"
    "twice to stop at once). Time-outs and retries come from [General] of\n"
    "OrvekData.ini (GlobalTimeOut, LocalTimeOut, GlobalTry).\n"
    "Exit code: 0 all read, 1 a failure was reported or the read-out was aborted,\n"
    "2 bad usage.\n";

QCommandLineOption ValueOption(const QString& name, const QString& needs)
{
    return QCommandLineOption(name, QString(), needs);
}

QCommandLineOption HelpOption()
{
    return QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")});
}

bool ParseArguments(QCommandLineParser& parser, const QList<QCommandLineOption>& options,
                    const QStringList& args, const QString& unknownText, QString& error)
{
    // "-colour" is one unknown option, not five short ones.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions(options);
    if (parser.parse(QStringList{QStringLiteral("orvekdata")} + args))
        return true;
    // The parser's own texts name an option without its dashes, and a translation of
    // Qt would put them in Russian: the message quotes the first argument refused.
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--"))
            break;
        if (arg.size() < 2 || !arg.startsWith(u'-'))
            continue;
        const QString name =
            arg.mid(arg.startsWith(QLatin1String("--")) ? 2 : 1).section(u'=', 0, 0);
        const auto option =
            std::find_if(options.cbegin(), options.cend(), [&](const QCommandLineOption& known) {
                return known.names().contains(name);
            });
        if (option == options.cend()) {
            error = unknownText + arg;
            return false;
        }
        const bool takesValue = !option->valueName().isEmpty();
        if (arg.contains(u'=')) {
            if (!takesValue) {
                error = unknownText + arg;
                return false;
            }
        } else if (takesValue) {
            if (i + 1 == args.size()) {
                error = QStringLiteral("--%1 needs a %2").arg(name, option->valueName());
                return false;
            }
            ++i;
        }
    }
    error = parser.errorText();
    return false;
}

bool TakeFromOption(const QCommandLineParser& parser, std::optional<QDate>& from, QString& error)
{
    for (const QString& value : parser.values(QStringLiteral("from"))) {
        const QDate date = QDate::fromString(value, Qt::ISODate);
        if (!date.isValid() || value.size() != 10) {
            error = QStringLiteral("--from needs a date YYYY-MM-DD");
            return false;
        }
        // The meters hold the year as year - 2000 in one byte.
        if (date.year() < MeterYearFirst || date.year() > MeterYearLast) {
            error = QStringLiteral("--from needs a year from %1 to %2, as the meters hold it")
                        .arg(MeterYearFirst)
                        .arg(MeterYearLast);
            return false;
        }
        from = date;
    }
    return true;
}

bool TakePauseOption(const QCommandLineParser& parser, const QString& name,
                     std::optional<int>& pause, QString& error)
{
    for (const QString& value : parser.values(name)) {
        bool ok = false;
        const int ms = value.toInt(&ok);
        if (!ok || ms < 0 || ms > 60000) {
            error = QStringLiteral("--") + name +
                    QStringLiteral(" is a whole number of milliseconds, 0 to 60000");
            return false;
        }
        pause = ms;
    }
    return true;
}

namespace {

// A comma-separated list of known words; "none" (or nothing) is the empty list.
bool TakeList(const QString& name, const QString& text, const QStringList& known, QStringList& list,
              QString& error)
{
    list.clear();
    if (text.trimmed().compare(QLatin1String("none"), Qt::CaseInsensitive) == 0)
        return true;
    for (const QString& part : text.split(u',', Qt::SkipEmptyParts)) {
        const QString word = part.trimmed().toLower();
        if (word.isEmpty())
            continue;
        if (!known.contains(word)) {
            error = name + QStringLiteral(": unknown entry \"") + part.trimmed() +
                    QStringLiteral("\" (") + known.join(QStringLiteral(", ")) + u')';
            return false;
        }
        list.append(word);
    }
    return true;
}

// The Read button's view of a front end, on a console: the memo streams to out, each
// line left open so that the dialing asterisks can still join it; errors go to err
// and count as acknowledged at once.
class ConsoleFrontEnd : public SessionEvents, public LogMemo
{
public:
    ConsoleFrontEnd(FILE* out, FILE* err) : m_out(out), m_err(err) {}
    ~ConsoleFrontEnd() override { EndLine(); }

    void AddMemoLine(const QString& line) override
    {
        if (m_lineOpen)
            std::fputc('\n', m_out);
        Write(m_out, line);
        m_lineOpen = true;
    }
    void AppendToLastLine(const QString& text) override
    {
        Write(m_out, text);
        m_lineOpen = true;
    }

    void ShowError(const QString& text) override { Error(text); }
    void ShowIoError(const QString& text) override { Error(text); }

    void Error(const QString& text)
    {
        failed = true;
        EndLine();
        QString shown = text;
        shown.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(u'\r', u'\n');
        Write(m_err, shown + u'\n');
    }

    void EndLine()
    {
        if (m_lineOpen) {
            std::fputc('\n', m_out);
            std::fflush(m_out);
            m_lineOpen = false;
        }
    }

    bool failed = false;

private:
    static void Write(FILE* stream, const QString& text)
    {
        std::fputs(text.toLocal8Bit().constData(), stream);
        std::fflush(stream);
    }

    FILE* m_out;
    FILE* m_err;
    bool m_lineOpen = false;
};

} // namespace

QList<QCommandLineOption> ReadCommandOptions()
{
    QList<QCommandLineOption> options = {
        HelpOption(),
        QCommandLineOption(QStringLiteral("mbus")),
        QCommandLineOption(QStringLiteral("show-log")),
        ValueOption(QStringLiteral("home")),
        ValueOption(QStringLiteral("config")),
        ValueOption(QStringLiteral("tcp")),
        ValueOption(QStringLiteral("port")),
        ValueOption(QStringLiteral("speed")),
        ValueOption(QStringLiteral("family")),
        ValueOption(QStringLiteral("addresses")),
        ValueOption(QStringLiteral("from")),
        ValueOption(QStringLiteral("archives")),
        ValueOption(QStringLiteral("logs")),
        ValueOption(QStringLiteral("modem")),
        ValueOption(QStringLiteral("send-pause")),
        ValueOption(QStringLiteral("reply-pause")),
        ValueOption(QStringLiteral("report")),
    };
    return options;
}

bool TakeReadOptions(const QCommandLineParser& parser, ReadOptions& options, QString& error)
{
    options.help = parser.isSet(QStringLiteral("help"));
    options.mbus = parser.isSet(QStringLiteral("mbus"));
    options.showLog = parser.isSet(QStringLiteral("show-log"));
    // Options without a check of their own: the last value given counts.
    const auto takeLast = [&parser](const char* name, auto& target) {
        if (parser.isSet(QLatin1String(name)))
            target = parser.value(QLatin1String(name));
    };
    takeLast("home", options.home);
    takeLast("report", options.report);
    takeLast("config", options.config);
    takeLast("modem", options.dialString);
    takeLast("port", options.port);
    if (!TakePauseOption(parser, QStringLiteral("send-pause"), options.sendPause, error) ||
        !TakePauseOption(parser, QStringLiteral("reply-pause"), options.replyPause, error))
        return false;
    for (const QString& value : parser.values(QStringLiteral("tcp"))) {
        const qsizetype colon = value.lastIndexOf(u':');
        bool ok = false;
        const int port = colon > 0 ? value.mid(colon + 1).toInt(&ok) : 0;
        // The gateway is reached by its dotted IPv4 address only, never by a name.
        QHostAddress host;
        if (!ok || !host.setAddress(value.left(colon)) ||
            host.protocol() != QAbstractSocket::IPv4Protocol) {
            error = QStringLiteral("--tcp needs a dotted IPv4 address and a port, "
                                   "e.g. 192.168.1.20:4001");
            return false;
        }
        // A port beyond 16 bits would reach another port than the one named.
        if (port < 1 || port > 65535) {
            error = QStringLiteral("--tcp needs a port from 1 to 65535");
            return false;
        }
        options.tcpHost = value.left(colon);
        options.tcpPort = port;
    }
    for (const QString& value : parser.values(QStringLiteral("speed"))) {
        bool ok = false;
        if (value.trimmed().toInt(&ok) <= 0 || !ok) {
            error = QStringLiteral("--speed needs a whole number of baud, e.g. 19200");
            return false;
        }
        options.speed = value;
    }
    for (const QString& value : parser.values(QStringLiteral("family"))) {
        bool ok = false;
        const int family = value.toInt(&ok);
        if (!ok || family < 0 || family > 2) {
            error = QStringLiteral("--family is 0, 1 or 2");
            return false;
        }
        options.family = family;
    }
    for (const QString& value : parser.values(QStringLiteral("addresses"))) {
        const AddressParseResult parsed = ParseAddressList(value);
        if (!parsed.Ok()) {
            error = QStringLiteral("--addresses: ") + parsed.error;
            return false;
        }
        options.addresses = value;
    }
    if (!TakeFromOption(parser, options.from, error))
        return false;
    for (const QString& value : parser.values(QStringLiteral("archives"))) {
        QStringList list;
        if (!TakeList(QStringLiteral("--archives"), value,
                      {QStringLiteral("hour"), QStringLiteral("day"), QStringLiteral("month"),
                       QStringLiteral("integral"), QStringLiteral("emergency")},
                      list, error))
            return false;
        options.archives = list;
    }
    for (const QString& value : parser.values(QStringLiteral("logs"))) {
        QStringList list;
        if (!TakeList(QStringLiteral("--logs"), value,
                      {QStringLiteral("event"), QStringLiteral("protected")}, list, error))
            return false;
        options.logs = list;
    }
    if (options.tcpHost && (options.port || options.speed)) {
        error = QStringLiteral("--tcp and --port/--speed exclude each other");
        return false;
    }
    return true;
}

bool ParseOptionsOnly(QCommandLineParser& parser, const QList<QCommandLineOption>& options,
                      const QStringList& args, QString& error)
{
    const QString unknown = QStringLiteral("unknown argument: ");
    if (!ParseArguments(parser, options, args, unknown, error))
        return false;
    if (!parser.positionalArguments().isEmpty()) {
        error = unknown + parser.positionalArguments().first();
        return false;
    }
    return true;
}

bool ParseReadOptions(const QStringList& args, ReadOptions& options, QString& error)
{
    QCommandLineParser parser;
    const QString plan = QStringLiteral("plan");
    const QString result = QStringLiteral("result");
    if (!ParseOptionsOnly(parser,
                          ReadCommandOptions() << ValueOption(plan, QStringLiteral("file"))
                                               << ValueOption(result, QStringLiteral("file")),
                          args, error) ||
        !TakeReadOptions(parser, options, error))
        return false;
    if (parser.isSet(result))
        options.result = parser.value(result);
    if (!parser.isSet(plan))
        return true;
    ReadPlan given;
    if (!ReadReadPlan(parser.value(plan), given, error)) {
        error = QStringLiteral("--plan ") + error;
        return false;
    }
    if (!options.config)
        options.config = given.configuration;
    if (!options.from)
        options.from = given.from;
    if (!options.sendPause)
        options.sendPause = given.sendPause;
    if (!options.replyPause)
        options.replyPause = given.replyPause;
    if (!options.report)
        options.report = given.report;
    options.logPrefix = given.logPrefix;
    return true;
}

bool BuildReadSettings(const ReadOptions& options, const IniFile& ini,
                       const GeneralSettings& general, const QDate& today,
                       ReadoutSettings& settings, QString& error)
{
    settings = ReadoutSettings();
    settings.addressText = QStringLiteral("1");
    settings.comPort = general.comPort;
    settings.comSpeed = general.comSpeed;
    settings.showLog = general.showLog > 0;
    settings.startDate = today;
    settings.sendPause = general.sendPause;
    settings.replyPause = general.replyPause;

    if (options.config) {
        QString section;
        for (const QString& name : ConfigurationNames(ini)) {
            if (name.compare(*options.config, Qt::CaseInsensitive) == 0)
                section = name;
        }
        if (section.isEmpty()) {
            error = QStringLiteral("no saved configuration \"") + *options.config +
                    QStringLiteral("\" in ") + ini.Path();
            return false;
        }
        ReadConfiguration(ini, section, settings);
    }

    if (options.tcpHost) {
        settings.useTcp = true;
        settings.tcpHost = *options.tcpHost;
        settings.tcpPort = options.tcpPort;
    }
    if (options.port) {
        settings.useTcp = false;
        settings.comPort = *options.port;
    }
    // Only a port switches a gateway configuration to the serial line.
    if (options.speed)
        settings.comSpeed = *options.speed;
    if (options.family)
        settings.family = *options.family;
    if (options.addresses)
        settings.addressText = *options.addresses;
    if (options.from)
        settings.startDate = *options.from;
    if (options.archives) {
        const QStringList& list = *options.archives;
        settings.archiveHourly = list.contains(QLatin1String("hour"));
        settings.archiveDaily = list.contains(QLatin1String("day"));
        settings.archiveMonthly = list.contains(QLatin1String("month"));
        settings.archiveIntegral = list.contains(QLatin1String("integral"));
        settings.archiveEmergency = list.contains(QLatin1String("emergency"));
    }
    if (options.logs) {
        settings.eventLog = options.logs->contains(QLatin1String("event"));
        settings.protectedLog = options.logs->contains(QLatin1String("protected"));
    }
    if (options.dialString) {
        settings.modem = true;
        settings.dialString = *options.dialString;
    }
    if (options.mbus)
        settings.echo = true;
    if (options.showLog)
        settings.showLog = true;
    if (options.sendPause)
        settings.sendPause = *options.sendPause;
    if (options.replyPause)
        settings.replyPause = *options.replyPause;
    return true;
}

int RunReadCommand(const ReadOptions& options, FILE* out, FILE* err)
{
    const QString programDir = ProgramDir(options.home);
    QString unusable;
    if (!PrepareProgramDir(programDir, unusable)) {
        std::fputs(("orvekdata: " + unusable + u'\n').toLocal8Bit().constData(), err);
        return 1;
    }
    const IniFile ini(programDir + QStringLiteral("OrvekData.ini"));

    QStringList warnings;
    const GeneralSettings general = ReadGeneralSettings(ini, &warnings);
    for (const QString& warning : std::as_const(warnings))
        std::fputs(("orvekdata: " + warning + u'\n').toLocal8Bit().constData(), err);
    ReadoutSettings settings;
    QString error;
    if (!BuildReadSettings(options, ini, general, QDate::currentDate(), settings, error)) {
        std::fputs(("orvekdata: " + error + u'\n').toLocal8Bit().constData(), err);
        return 2;
    }

    ConsoleFrontEnd console(out, err);
    ExchangeLog log(programDir);
    log.SetMemo(&console);
    log.FileLinePrefix = options.logPrefix;
    // What the family lacks is left out, as the window leaves it unticked.
    const FamilyCatalogue families;
    if (const DeviceDriver* driver = families.Find(settings.family))
        DropUnoffered(settings, *driver);
    const PlanSource plan(PlanFrom(settings));
    ReadoutSession session(programDir, log, console, LineConfigFrom(settings, general), plan);
    session.ClockDriftLimit = general.clockDriftLimit;
    session.files.OnFailure = [&console](const QString& message) {
        console.Error(message);
    };

    SetInterruptTarget(&session);
    const int copyError = session.Run(options.report.value_or(QString()));
    SetInterruptTarget(nullptr);
    const bool aborted = InterruptRequested() || session.AbortRequested();
    console.EndLine();
    // The meters were read all the same: a lost report is told, not counted as a failure.
    if (session.ReportLost())
        std::fputs(("orvekdata: the read-out report could not be written in " +
                    QDir::toNativeSeparators(ReportFolder(programDir)) + QStringLiteral(": ") +
                    SystemErrorText(session.ReportError) + u'\n')
                       .toLocal8Bit()
                       .constData(),
                   err);
    if (copyError != 0)
        console.Error(QStringLiteral("orvekdata: ") + *options.report +
                      QStringLiteral(": I/O error ") + QString::number(copyError));
    if (options.result &&
        !WriteReadResult(
            *options.result,
            ResultOf(session.LastReport(), console.failed, aborted, session.ReportPath), error))
        console.Error(QStringLiteral("orvekdata: ") + error);
    return console.failed || aborted ? 1 : 0;
}
