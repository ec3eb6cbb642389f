#include "BatchCommand.h"

#include "IniFile.h"
#include "ProgramEnv.h"
#include "ProgramSettings.h"
#include "ReadCommand.h"
#include "ReadoutSettings.h"

#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

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
    "to standard error, each line after \"[NAME] \". A summary ends the run. Ctrl+C\n"
    "aborts every read-out and starts no more (twice: stop at once).\n"
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
};

struct Outcome
{
    bool started = false;
    QString result = QStringLiteral("failed");
    int read = 0;
    int asked = 0;
    int files = 0;
    double seconds = 0;
};

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

bool PlanBatch(const BatchOptions& options, const QString& iniPath, QList<BatchEntry>& plan,
               QString& error)
{
    const IniFile ini(iniPath);
    const QStringList saved = ConfigurationNames(ini);
    QStringList names;
    if (options.all) {
        names = saved;
    }
    for (const QString& asked : options.names) {
        QString found;
        for (const QString& name : saved) {
            if (name.compare(asked, Qt::CaseInsensitive) == 0)
                found = name;
        }
        if (found.isEmpty()) {
            error = QStringLiteral("no saved configuration \"") + asked + QStringLiteral("\" in ") +
                    ini.Path();
            return false;
        }
        if (!options.all)
            names.append(found);
    }
    if (names.isEmpty()) {
        error = QStringLiteral("no saved configuration in ") + ini.Path();
        return false;
    }
    plan.clear();
    for (const QString& name : names) {
        ReadoutSettings settings;
        ReadConfiguration(ini, name, settings);
        BatchEntry entry;
        entry.name = name;
        entry.line =
            settings.useTcp
                ? QStringLiteral("tcp %1:%2").arg(settings.tcpHost.trimmed()).arg(settings.tcpPort)
                : QStringLiteral("port ") + settings.comPort.trimmed();
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
    if (!PlanBatch(options, programDir + QStringLiteral("OrvekData.ini"), plan, error)) {
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

    // The lines in the order their first configuration comes, each with its queue.
    QStringList lines;
    QHash<QString, QList<int>> queues;
    for (int i = 0; i < plan.size(); ++i) {
        if (!queues.contains(plan[i].line))
            lines.append(plan[i].line);
        queues[plan[i].line].append(i);
    }

    QList<Outcome> outcomes(plan.size());
    std::vector<std::unique_ptr<Child>> running;
    QEventLoop loop;
    bool stopping = false;
    qsizetype nextLine = 0;

    const auto passOn = [&](Child& child, QByteArray& buffer, FILE* stream, bool all) {
        const QByteArray prefix =
            (u'[' + plan[child.index].name + QStringLiteral("] ")).toLocal8Bit();
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

    std::function<void(const QString&)> startNext;
    const auto start = [&](int index) {
        auto child = std::make_unique<Child>();
        child->index = index;
        Child* c = child.get();
        QStringList args = {QStringLiteral("read")};
        if (!options.home.isEmpty())
            args << QStringLiteral("--home") << options.home;
        args << QStringLiteral("--config") << plan[index].name << QStringLiteral("--from")
             << from.toString(Qt::ISODate) << QStringLiteral("--log-prefix")
             << u'[' + plan[index].name + QStringLiteral("] ") << QStringLiteral("--status")
             << work.filePath(QStringLiteral("%1.status").arg(index)) << QStringLiteral("--report")
             << work.filePath(QStringLiteral("%1.csv").arg(index));
        if (options.sendPause)
            args << QStringLiteral("--send-pause") << QString::number(*options.sendPause);
        if (options.replyPause)
            args << QStringLiteral("--reply-pause") << QString::number(*options.replyPause);
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
        QObject::connect(&c->process, &QProcess::finished, [&, c](int, QProcess::ExitStatus) {
            c->out += c->process.readAllStandardOutput();
            c->err += c->process.readAllStandardError();
            passOn(*c, c->out, out, true);
            passOn(*c, c->err, err, true);
            Outcome& outcome = outcomes[c->index];
            outcome.seconds = double(c->clock.elapsed()) / 1000.0;
            QFile status(work.filePath(QStringLiteral("%1.status").arg(c->index)));
            if (status.open(QIODevice::ReadOnly)) {
                const QList<QByteArray> words = status.readAll().trimmed().split(' ');
                if (words.size() == 4) {
                    outcome.result = QString::fromLatin1(words[0]);
                    outcome.read = words[1].toInt();
                    outcome.asked = words[2].toInt();
                    outcome.files = words[3].toInt();
                }
            }
            const QString line = plan[c->index].line;
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
        });
        outcomes[index].started = true;
        c->clock.start();
        c->process.start();
        running.push_back(std::move(child));
    };

    // Goes on with the line that has just become free, or with a line not yet begun.
    startNext = [&](const QString& freed) {
        if (!stopping && !freed.isEmpty() && !queues[freed].isEmpty()) {
            start(queues[freed].takeFirst());
            return;
        }
        while (!stopping && qsizetype(running.size()) < options.jobs && nextLine < lines.size()) {
            const QString& line = lines[nextLine++];
            start(queues[line].takeFirst());
        }
        if (running.empty())
            loop.quit();
    };

    int seen = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const int count = interrupts ? interrupts() : 0;
        if (count == seen)
            return;
        seen = count;
        stopping = true;
        for (const auto& child : running) {
#ifdef Q_OS_UNIX
            if (count >= 2)
                child->process.kill();
            else if (child->process.processId() > 0)
                ::kill(pid_t(child->process.processId()), SIGINT);
#else
            if (count >= 2)
                child->process.kill();
            else
                child->process.terminate();
#endif
        }
    });
    poll.start(50);
    QMetaObject::invokeMethod(
        &loop, [&] { startNext(QString()); }, Qt::QueuedConnection);
    loop.exec();
    poll.stop();

    // Configurations never started count as aborted; so does one stopped at once.
    bool allRead = true;
    for (int i = 0; i < plan.size(); ++i) {
        if (stopping && (!outcomes[i].started || seen >= 2))
            outcomes[i].result = QStringLiteral("aborted");
        allRead = allRead && outcomes[i].result == QLatin1String("read");
    }

    // The summary, one row per configuration.
    int nameWidth = int(QStringLiteral("configuration").size());
    int lineWidth = int(QStringLiteral("line").size());
    for (const BatchEntry& entry : plan) {
        nameWidth = qMax(nameWidth, int(entry.name.size()));
        lineWidth = qMax(lineWidth, int(entry.line.size()));
    }
    QString summary = QStringLiteral("\n%1  %2  %3  %4  %5  %6\n")
                          .arg(QStringLiteral("configuration"), -nameWidth)
                          .arg(QStringLiteral("line"), -lineWidth)
                          .arg(QStringLiteral("result"), -7)
                          .arg(QStringLiteral("devices"), 7)
                          .arg(QStringLiteral("files"), 5)
                          .arg(QStringLiteral("seconds"), 7);
    for (int i = 0; i < plan.size(); ++i) {
        const Outcome& o = outcomes[i];
        summary += QStringLiteral("%1  %2  %3  %4  %5  %6\n")
                       .arg(plan[i].name, -nameWidth)
                       .arg(plan[i].line, -lineWidth)
                       .arg(o.result, -7)
                       .arg(QStringLiteral("%1/%2").arg(o.read).arg(o.asked), 7)
                       .arg(o.files, 5)
                       .arg(o.seconds, 7, 'f', 1);
    }
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
