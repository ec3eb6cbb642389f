#include "BatchCommand.h"

#include "IniFile.h"
#include "ProgramEnv.h"
#include "ProgramSettings.h"
#include "ReadCommand.h"
#include "ReadPlan.h"
#include "ReadoutSettings.h"

#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>
#include <vector>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

const char BatchUsage[] =
    "  orvekdata batch [--home DIR] [--from YYYY-MM-DD] [--jobs N] [--report FILE]\n"
    "                  [--send-pause MS] [--reply-pause MS] (--all | NAME...)\n"
    "                            read saved configurations, lines in parallel\n"
    "\n"
    "Batch options:\n"
    "  NAME...             saved configurations of OrvekData.ini, in this order\n"
    "  --all               every saved configuration, in the order of the list box\n"
    "  --from YYYY-MM-DD   first day of the archives and logs (default today)\n"
    "  --jobs N            lines read at the same time (default 4); the\n"
    "                      configurations of one line are read one after another\n"
    "  --report FILE       also write the reports of all read-outs to FILE\n"
    "  --send-pause MS, --reply-pause MS\n"
    "                      the line's pauses, as for read\n"
    "\n"
    "Each configuration is read as \"orvekdata read --config NAME\" would read it. Its\n"
    "exchange-log lines go to standard output and Protocols/yyyy-mm-dd.log, its errors\n"
    "to standard error, each line after \"[NAME] \". A read-out that cannot start, and a\n"
    "name with control characters or of more than 255 characters, fail. A summary ends\n"
    "the run, then the first failure of each configuration that failed. Ctrl+C aborts\n"
    "every read-out and starts no more (twice: stop at once, the read-outs killed).\n"
    "Exit code: 0 all read, 1 a configuration failed or was aborted, 2 bad usage.\n";

namespace {

void Write(FILE* stream, const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void Write(FILE* stream, const QString& text)
{
    Write(stream, text.toLocal8Bit());
}

// One configuration's read-out in its own process, and what it has printed of a line
// so far: lines are passed on whole, so those of parallel read-outs never mix.
struct Child
{
    int index = 0;
    QProcess process;
    QElapsedTimer clock;
    QByteArray out;
    QByteArray err;
    bool interrupted = false; // asked to abort
    bool done = false;        // its outcome is known
};

struct Outcome
{
    bool started = false;
    QString result = QStringLiteral("failed");
    int read = 0;
    int asked = 0;
    int files = 0;
    double seconds = 0;
    QString failure; // the first, for the lines below the summary
};

// Whatever a text holds stays on one line of the terminal.
QString OneLine(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String(" "));
    return PrintableName(text.replace(u'\r', u' ').replace(u'\n', u' '));
}

} // namespace

QList<QCommandLineOption> BatchCommandOptions()
{
    return {HelpOption(),
            QCommandLineOption(QStringLiteral("all")),
            ValueOption(QStringLiteral("home")),
            ValueOption(QStringLiteral("from")),
            ValueOption(QStringLiteral("jobs")),
            ValueOption(QStringLiteral("send-pause")),
            ValueOption(QStringLiteral("reply-pause")),
            ValueOption(QStringLiteral("report"))};
}

bool ParseBatchOptions(const QStringList& args, BatchOptions& options, QString& error)
{
    QCommandLineParser parser;
    if (!ParseArguments(parser, BatchCommandOptions(), args,
                        QStringLiteral("unknown batch option: "), error))
        return false;
    options.help = parser.isSet(QStringLiteral("help"));
    options.all = parser.isSet(QStringLiteral("all"));
    options.names = parser.positionalArguments();
    for (const QString& value : parser.values(QStringLiteral("home")))
        options.home = value;
    for (const QString& value : parser.values(QStringLiteral("report")))
        options.report = value;
    if (!TakeFromOption(parser, options.from, error))
        return false;
    for (const QString& value : parser.values(QStringLiteral("jobs"))) {
        bool ok = false;
        const int jobs = value.toInt(&ok);
        if (!ok || jobs < 1) {
            error = QStringLiteral("--jobs is a whole number of at least 1");
            return false;
        }
        options.jobs = jobs;
    }
    if (!TakePauseOption(parser, QStringLiteral("send-pause"), options.sendPause, error) ||
        !TakePauseOption(parser, QStringLiteral("reply-pause"), options.replyPause, error))
        return false;
    if (!options.help && !options.all && options.names.isEmpty()) {
        error = QStringLiteral("batch needs configuration names or --all");
        return false;
    }
    return true;
}

QString SerialLineKey(const QString& port, const QString& stableFolder)
{
    const QString name = port.trimmed();
#if defined(Q_OS_WIN)
    Q_UNUSED(stableFolder);
    QString device = name;
    if (device.startsWith(QLatin1String("\\\\.\\")))
        device.remove(0, 4);
    return QStringLiteral("port ") + device.toUpper();
#else
    QString device = SerialPortPath(name, stableFolder);
    // The serial port opens a name without a folder as a device of /dev.
    if (!device.isEmpty() && !device.contains(u'/'))
        device = QStringLiteral("/dev/") + device;
    const QString canonical = QFileInfo(device).canonicalFilePath();
    return QStringLiteral("port ") + (canonical.isEmpty()
                                          ? (device.isEmpty() ? device : QDir::cleanPath(device))
                                          : canonical);
#endif
}

QString GatewayLineKey(const QString& host, int port)
{
    // As the line parses it: "010.0.0.1" is 8.0.0.1 there.
    QHostAddress address;
    const QString text =
        address.setAddress(host.trimmed()) ? address.toString() : host.trimmed().toLower();
    return QStringLiteral("tcp %1:%2").arg(text).arg(port);
}

bool PlanBatch(const BatchOptions& options, const QString& iniPath, QList<BatchEntry>& plan,
               QString& error)
{
    const IniSnapshot ini = IniFile(iniPath).Snapshot();
    const QStringList saved = ConfigurationNames(ini);
    QHash<QString, QString> byFolded;
    byFolded.reserve(saved.size());
    for (const QString& name : saved)
        byFolded.insert(name.toCaseFolded(), name);
    QStringList names;
    if (options.all)
        names = saved;
    for (const QString& asked : options.names) {
        const QString found = byFolded.value(asked.toCaseFolded());
        if (found.isEmpty()) {
            error = QStringLiteral("no saved configuration \"") + PrintableName(asked) +
                    QStringLiteral("\" in ") + QDir::toNativeSeparators(iniPath);
            return false;
        }
        if (!options.all)
            names.append(found);
    }
    if (names.isEmpty()) {
        error = QStringLiteral("no saved configuration in ") + QDir::toNativeSeparators(iniPath);
        return false;
    }
    plan.clear();
    plan.reserve(names.size());
    for (const QString& name : std::as_const(names)) {
        ReadoutSettings settings;
        ReadConfiguration(ini, name, settings);
        BatchEntry entry;
        entry.name = name;
        if (settings.useTcp) {
            entry.line =
                QStringLiteral("tcp %1:%2").arg(settings.tcpHost.trimmed()).arg(settings.tcpPort);
            entry.lineKey = GatewayLineKey(settings.tcpHost, settings.tcpPort);
        } else {
            entry.line = QStringLiteral("port ") + settings.comPort.trimmed();
            entry.lineKey = SerialLineKey(settings.comPort);
        }
        entry.refused = ConfigurationNameFault(name);
        plan.append(entry);
    }
    return true;
}

int RunBatchCommand(const BatchOptions& options, const QString& program, FILE* out, FILE* err,
                    const std::function<int()>& interrupts)
{
    const QString programDir = ProgramDir(options.home);
    QString unusable;
    if (!PrepareProgramDir(programDir, unusable)) {
        Write(err, QStringLiteral("orvekdata: ") + unusable + u'\n');
        return 1;
    }
    QList<BatchEntry> plan;
    QString error;
    if (!PlanBatch(options, IniPath(programDir), plan, error)) {
        Write(err, QStringLiteral("orvekdata: ") + error + u'\n');
        return 2;
    }
    QTemporaryDir work;
    if (!work.isValid()) {
        Write(err, QStringLiteral("orvekdata: no temporary folder: ") + work.errorString() + u'\n');
        return 1;
    }
    // One day for every configuration, also across midnight.
    const QDate from = options.from.value_or(QDate::currentDate());
    QList<Outcome> outcomes(plan.size());
    // The names and lines as printed.
    QStringList shown;
    QStringList shownLines;
    for (const BatchEntry& entry : std::as_const(plan)) {
        shown.append(PrintableName(entry.name));
        shownLines.append(OneLine(entry.line));
    }

    // The lines in the order their first configuration comes, each with its queue.
    QStringList lines;
    QHash<QString, QList<int>> queues;
    for (int i = 0; i < plan.size(); ++i) {
        if (!plan[i].refused.isEmpty()) {
            outcomes[i].failure = QStringLiteral("refused: ") + plan[i].refused;
            Write(err, u'[' + shown[i] + QStringLiteral("] ") + outcomes[i].failure + u'\n');
            continue;
        }
        if (!queues.contains(plan[i].lineKey))
            lines.append(plan[i].lineKey);
        queues[plan[i].lineKey].append(i);
    }

    std::vector<std::unique_ptr<Child>> running;
    QEventLoop loop;
    int seen = 0; // interrupts so far
    qsizetype nextLine = 0;

    const auto passOn = [&](Child& child, QByteArray& buffer, FILE* stream, bool all) {
        const QByteArray prefix = (u'[' + shown[child.index] + QStringLiteral("] ")).toLocal8Bit();
        qsizetype end;
        while ((end = buffer.indexOf('\n')) >= 0) {
            Write(stream, prefix + buffer.left(end + 1));
            buffer.remove(0, end + 1);
        }
        if (all && !buffer.isEmpty()) {
            Write(stream, prefix + buffer + '\n');
            buffer.clear();
        }
    };
    const auto interrupt = [](Child& child) {
        child.interrupted = true;
#ifdef Q_OS_UNIX
        // Never pid 0, which would be the batch's own process group.
        if (child.process.processId() > 0)
            ::kill(pid_t(child.process.processId()), SIGINT);
#else
        child.process.terminate();
#endif
    };

    std::function<void(const QString&)> startNext;
    // The child's outcome is known: the line is free for the next.
    const auto finish = [&](Child* c) {
        c->done = true;
        outcomes[c->index].seconds = double(c->clock.elapsed()) / 1000.0;
        const QString line = plan[c->index].lineKey;
        // Not from within the process's own signal, which is still running.
        QMetaObject::invokeMethod(
            &loop,
            [&, c, line] {
                for (auto it = running.begin(); it != running.end(); ++it) {
                    if (it->get() == c) {
                        running.erase(it);
                        break;
                    }
                }
                startNext(line);
            },
            Qt::QueuedConnection);
    };

    const auto start = [&](int index) {
        auto child = std::make_unique<Child>();
        child->index = index;
        Child* c = child.get();
        Outcome& outcome = outcomes[index];
        outcome.started = true;
        const QString planPath = work.filePath(QStringLiteral("%1.plan.json").arg(index));
        const QString resultPath = work.filePath(QStringLiteral("%1.result.json").arg(index));
        ReadPlan readPlan;
        readPlan.configuration = plan[index].name;
        readPlan.from = from;
        readPlan.sendPause = options.sendPause;
        readPlan.replyPause = options.replyPause;
        readPlan.logPrefix = u'[' + shown[index] + QStringLiteral("] ");
        readPlan.report = work.filePath(QStringLiteral("%1.csv").arg(index));
        QString planError;
        if (!WriteReadPlan(planPath, readPlan, planError)) {
            outcome.failure = QStringLiteral("cannot start: ") + planError;
            Write(err, u'[' + shown[index] + QStringLiteral("] ") + outcome.failure + u'\n');
            running.push_back(std::move(child));
            finish(c);
            return;
        }
        QStringList args = {QStringLiteral("read")};
        if (!options.home.isEmpty())
            args << QStringLiteral("--home") << options.home;
        args << QStringLiteral("--plan") << planPath << QStringLiteral("--result") << resultPath;
        c->process.setProgram(program);
        c->process.setArguments(args);
        c->process.setStandardInputFile(QProcess::nullDevice());
        QObject::connect(&c->process, &QProcess::readyReadStandardOutput, [&, c] {
            c->out += c->process.readAllStandardOutput();
            passOn(*c, c->out, out, false);
        });
        QObject::connect(&c->process, &QProcess::readyReadStandardError, [&, c] {
            c->err += c->process.readAllStandardError();
            passOn(*c, c->err, err, false);
        });
        // A read-out that came up after the first Ctrl+C is asked to abort as it starts.
        QObject::connect(&c->process, &QProcess::started, [&, c] {
            if (seen > 0 && !c->interrupted)
                interrupt(*c);
        });
        QObject::connect(
            &c->process, &QProcess::errorOccurred, [&, c](QProcess::ProcessError problem) {
                if (problem != QProcess::FailedToStart || c->done)
                    return;
                Outcome& failed = outcomes[c->index];
                failed.failure = QStringLiteral("cannot start: ") + c->process.errorString();
                Write(err, u'[' + shown[c->index] + QStringLiteral("] ") + failed.failure + u'\n');
                finish(c);
            });
        QObject::connect(
            &c->process, &QProcess::finished,
            [&, c, resultPath](int code, QProcess::ExitStatus how) {
                if (c->done)
                    return;
                c->out += c->process.readAllStandardOutput();
                c->err += c->process.readAllStandardError();
                passOn(*c, c->out, out, true);
                passOn(*c, c->err, err, true);
                Outcome& ended = outcomes[c->index];
                ReadResult result;
                QString resultError;
                if (ReadReadResult(resultPath, result, resultError)) {
                    ended.result = OutcomeText(result.outcome);
                    ended.read = result.devicesRead;
                    ended.asked = result.devicesAsked;
                    ended.files = result.filesWritten;
                    ended.failure = result.firstFailure;
                    // What a process that did not end well says is not taken for read.
                    if (result.outcome == ReadResult::Outcome::Read &&
                        (how != QProcess::NormalExit || code != 0)) {
                        ended.result = QStringLiteral("failed");
                        ended.failure = how != QProcess::NormalExit
                                            ? QStringLiteral("ended: ") + c->process.errorString()
                                            : QStringLiteral("ended with exit code %1").arg(code);
                        Write(err, u'[' + shown[c->index] + QStringLiteral("] ") + ended.failure +
                                       u'\n');
                    }
                } else if (c->interrupted) {
                    ended.result = QStringLiteral("aborted");
                } else {
                    ended.failure =
                        how != QProcess::NormalExit
                            ? QStringLiteral("ended without a result: ") + c->process.errorString()
                        : QFileInfo::exists(resultPath)
                            ? QStringLiteral("ended without a readable result: ") + resultError
                            : QStringLiteral("ended without a result (exit code %1)").arg(code);
                    Write(err,
                          u'[' + shown[c->index] + QStringLiteral("] ") + ended.failure + u'\n');
                }
                finish(c);
            });
        c->clock.start();
        running.push_back(std::move(child));
        c->process.start();
    };

    // Goes on with the line that has just become free, or with a line not yet begun.
    startNext = [&](const QString& freed) {
        if (seen == 0 && !freed.isEmpty() && !queues[freed].isEmpty()) {
            start(queues[freed].takeFirst());
            return;
        }
        while (seen == 0 && qsizetype(running.size()) < options.jobs && nextLine < lines.size()) {
            const QString& line = lines[nextLine++];
            start(queues[line].takeFirst());
        }
        if (running.empty())
            loop.quit();
    };

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const int count = interrupts ? interrupts() : 0;
        if (count <= seen)
            return;
        seen = count;
        if (count == 1) {
            for (const auto& child : running) {
                if (!child->done && !child->interrupted &&
                    child->process.state() == QProcess::Running)
                    interrupt(*child);
            }
            return;
        }
        // At once: whatever the read-outs still do is not waited for.
        for (const auto& child : running) {
            if (child->done)
                continue;
            child->done = true;
            outcomes[child->index].result = QStringLiteral("aborted");
            outcomes[child->index].seconds = double(child->clock.elapsed()) / 1000.0;
        }
        loop.quit();
    });
    poll.start(50);
    QMetaObject::invokeMethod(
        &loop, [&] { startNext(QString()); }, Qt::QueuedConnection);
    loop.exec();
    poll.stop();
    for (const auto& child : running) {
        QObject::disconnect(&child->process, nullptr, nullptr, nullptr);
        child->process.kill();
        child->process.waitForFinished(5000);
        child->out += child->process.readAllStandardOutput();
        child->err += child->process.readAllStandardError();
        passOn(*child, child->out, out, true);
        passOn(*child, child->err, err, true);
    }
    running.clear();

    // Configurations never started count as aborted.
    bool allRead = true;
    for (int i = 0; i < plan.size(); ++i) {
        if (seen > 0 && !outcomes[i].started && plan[i].refused.isEmpty())
            outcomes[i].result = QStringLiteral("aborted");
        allRead = allRead && outcomes[i].result == QLatin1String("read");
    }

    // The summary, one row per configuration, then what failed them.
    int nameWidth = int(QStringLiteral("configuration").size());
    int lineWidth = int(QStringLiteral("line").size());
    for (int i = 0; i < plan.size(); ++i) {
        nameWidth = qMax(nameWidth, int(shown[i].size()));
        lineWidth = qMax(lineWidth, int(shownLines[i].size()));
    }
    QString summary = QStringLiteral("\n%1  %2  %3  %4  %5  %6\n")
                          .arg(QStringLiteral("configuration"), -nameWidth)
                          .arg(QStringLiteral("line"), -lineWidth)
                          .arg(QStringLiteral("result"), -7)
                          .arg(QStringLiteral("devices"), 7)
                          .arg(QStringLiteral("files"), 5)
                          .arg(QStringLiteral("seconds"), 7);
    QString failures;
    for (int i = 0; i < plan.size(); ++i) {
        const Outcome& o = outcomes[i];
        summary += QStringLiteral("%1  %2  %3  %4  %5  %6\n")
                       .arg(shown[i], -nameWidth)
                       .arg(shownLines[i], -lineWidth)
                       .arg(o.result, -7)
                       .arg(QStringLiteral("%1/%2").arg(o.read).arg(o.asked), 7)
                       .arg(o.files, 5)
                       .arg(o.seconds, 7, 'f', 1);
        if (o.result == QLatin1String("failed") && !o.failure.isEmpty())
            failures += shown[i] + QStringLiteral(": ") + OneLine(o.failure) + u'\n';
    }
    if (!failures.isEmpty())
        summary += u'\n' + failures;
    Write(out, summary);

    if (options.report) {
        QByteArray all;
        for (int i = 0; i < plan.size(); ++i) {
            QFile part(work.filePath(QStringLiteral("%1.csv").arg(i)));
            if (!part.open(QIODevice::ReadOnly))
                continue;
            QByteArray bytes = part.readAll();
            // One header for all.
            if (!all.isEmpty())
                bytes.remove(0, bytes.indexOf('\n') + 1);
            all += bytes;
        }
        QFile copy(*options.report);
        if (!copy.open(QIODevice::WriteOnly) || copy.write(all) != all.size()) {
            Write(err, QStringLiteral("orvekdata: ") + *options.report + QStringLiteral(": ") +
                           copy.errorString() + u'\n');
            allRead = false;
        }
    }
    return allRead ? 0 : 1;
}
