// The batch read-out's own parts: its lines, its plan and result files, read-outs that
// cannot start or will not stop, and names from a damaged settings file. Read-outs that
// cannot be had from the program itself are played by small shell scripts.

#include "AnsiCodec.h"
#include "BatchCommand.h"
#include "ReadPlan.h"
#include "TestFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {

const QString Program = QStringLiteral(ORVEKDATA_PROGRAM);

// A configuration on a gateway: 127.0.0.1 refuses every port the tests name.
QByteArray Gateway(const QByteArray& name, int port, const QByteArray& addresses = "1")
{
    return "[" + name + "]\r\ncbTCP=1\r\nedADDR=127.0.0.1\r\nsePort=" + QByteArray::number(port) +
           "\r\nedAddress=" + addresses + "\r\n";
}

QByteArray Serial(const QByteArray& name, const QString& port)
{
    return "[" + name + "]\r\ncbCOM=" + port.toUtf8() + "\r\n";
}

// A stand-in for the program as batch runs it (read --home DIR --plan FILE --result
// FILE): the script's body finds the plan in $plan, the result's path in $result and
// its own folder in $here.
bool WriteScript(const QString& path, const QByteArray& body)
{
    const QByteArray text = "#!/bin/sh\n"
                            "here=$(dirname \"$0\")\n"
                            "while [ $# -gt 0 ]; do\n"
                            "  case $1 in --plan) plan=$2; shift ;; --result) result=$2; shift ;; "
                            "esac\n"
                            "  shift\n"
                            "done\n" +
                            body + "\n";
    return WriteFile(path, text) &&
           QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

struct BatchRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

QString ReadBack(FILE* file)
{
    std::rewind(file);
    QByteArray bytes;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, qsizetype(got));
    std::fclose(file);
    return QString::fromLocal8Bit(bytes);
}

// The batch in this process, its output caught. interrupts() is asked as Ctrl+C would
// be; a batch still running a minute on ends the test, as a hang.
BatchRun RunBatch(const BatchOptions& options, const QString& program,
                  const std::function<int()>& interrupts = {})
{
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    if (!out || !err)
        qFatal("no temporary file");
    QElapsedTimer guard;
    guard.start();
    BatchRun run;
    run.exitCode = RunBatchCommand(options, program, out, err, [&] {
        if (guard.hasExpired(60000))
            qFatal("the batch did not end within a minute");
        return interrupts ? interrupts() : 0;
    });
    run.out = ReadBack(out);
    run.err = ReadBack(err);
    return run;
}

BatchOptions AllOf(const QString& home)
{
    BatchOptions options;
    options.home = home;
    options.all = true;
    options.from = QDate(2026, 12, 1);
    return options;
}

// The summary's row of a configuration: "NAME  line  result  read/asked  files".
bool HasRow(const QString& out, const QString& name, const QString& result,
            const QString& devices = QStringLiteral("\\d+/\\d+"))
{
    return out.contains(QRegularExpression(u'\n' + QRegularExpression::escape(name) +
                                           QStringLiteral(" +(tcp|port) \\S* +") + result +
                                           QStringLiteral(" +") + devices + u' '));
}

struct RunResult
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

RunResult Run(const QStringList& args)
{
    QProcess process;
    process.start(Program, args);
    RunResult result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        result.err = "<did not finish>";
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

bool HasControlBytes(const QByteArray& text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\n') || byte == 0x7F;
    });
}

} // namespace

class TestCliBatch : public QObject
{
    Q_OBJECT

private slots:
    void serialLines_data();
    void serialLines();
    void gatewayLines_data();
    void gatewayLines();
    void oneDeviceOneQueue();
    void readOutThatCannotStart_data();
    void readOutThatCannotStart();
    void secondInterruptEndsAHangingBatch();
    void planTravelsInAFile();
    void resultMakesTheRow_data();
    void resultMakesTheRow();
    void badPlans_data();
    void badPlans();
    void resultRoundTrip();
    void readWithPlanAndResult();
    void namesThatCannotBeReal();
    void garbageSettingsFile();
};

void TestCliBatch::serialLines_data()
{
    QTest::addColumn<QString>("first"); // below the temporary folder after "@/"
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("same");

    // @/dev holds the devices ttyA and ttyB (plain files stand in), @/by-id the stable
    // names adapter (a link to ttyA) and other (to ttyB), @/link another link to ttyA.
    QTest::newRow("device and a link to it") << "@/dev/ttyA"
                                             << "@/link" << true;
    QTest::newRow("stable name and its link") << "adapter"
                                              << "@/by-id/adapter" << true;
    QTest::newRow("stable name and the device") << "adapter"
                                                << "@/dev/ttyA" << true;
    QTest::newRow("two links") << "@/link"
                               << "@/by-id/adapter" << true;
    QTest::newRow("dot segments and blanks") << " @/dev/../dev/./ttyA "
                                             << "@/dev/ttyA" << true;
    QTest::newRow("two devices") << "@/dev/ttyA"
                                 << "@/dev/ttyB" << false;
    QTest::newRow("two stable names") << "adapter"
                                      << "other" << false;
    QTest::newRow("link and another device") << "@/link"
                                             << "@/by-id/other" << false;
    QTest::newRow("bare name and its /dev path") << "tty"
                                                 << "/dev/tty" << true;
    QTest::newRow("bare name of no device") << "ttyNoSuch9"
                                            << "/dev/ttyNoSuch9" << true;
    QTest::newRow("two names of no device") << "ttyNoSuch9"
                                            << "ttyNoSuch8" << false;
}

void TestCliBatch::serialLines()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(bool, same);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString root = tmp.path();
    QVERIFY(QDir(root).mkpath(QStringLiteral("dev")) && QDir(root).mkpath(QStringLiteral("by-id")));
    QVERIFY(WriteFile(root + QStringLiteral("/dev/ttyA"), "") &&
            WriteFile(root + QStringLiteral("/dev/ttyB"), ""));
    QVERIFY(QFile::link(QStringLiteral("../dev/ttyA"), root + QStringLiteral("/by-id/adapter")));
    QVERIFY(QFile::link(QStringLiteral("../dev/ttyB"), root + QStringLiteral("/by-id/other")));
    QVERIFY(QFile::link(root + QStringLiteral("/by-id/adapter"), root + QStringLiteral("/link")));
    const QString stable = root + QStringLiteral("/by-id");
    first.replace(u'@', root);
    second.replace(u'@', root);

    const QString a = SerialLineKey(first, stable);
    const QString b = SerialLineKey(second, stable);
    QVERIFY2((a == b) == same, qPrintable(a + QStringLiteral(" / ") + b));
}

void TestCliBatch::gatewayLines_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<int>("firstPort");
    QTest::addColumn<QString>("second");
    QTest::addColumn<int>("secondPort");
    QTest::addColumn<bool>("same");

    QTest::newRow("as written") << "10.0.4.21" << 4001 << "10.0.4.21" << 4001 << true;
    QTest::newRow("blanks") << " 10.0.4.21 " << 4001 << "10.0.4.21" << 4001 << true;
    QTest::newRow("leading zeros of 127")
        << "127.000.000.001" << 4001 << "127.0.0.1" << 4001 << true;
    // The line reads a leading zero as an octal number, and so does the key.
    QTest::newRow("octal reading") << "010.0.0.1" << 4001 << "8.0.0.1" << 4001 << true;
    QTest::newRow("other port") << "10.0.4.21" << 4001 << "10.0.4.21" << 4002 << false;
    QTest::newRow("other address") << "10.0.4.21" << 4001 << "10.0.4.22" << 4001 << false;
}

void TestCliBatch::gatewayLines()
{
    QFETCH(QString, first);
    QFETCH(int, firstPort);
    QFETCH(QString, second);
    QFETCH(int, secondPort);
    QFETCH(bool, same);
    const QString a = GatewayLineKey(first, firstPort);
    const QString b = GatewayLineKey(second, secondPort);
    QVERIFY2((a == b) == same, qPrintable(a + QStringLiteral(" / ") + b));
}

// Configurations naming one device by different names land in one queue, which the
// summary still shows as each names it.
void TestCliBatch::oneDeviceOneQueue()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString device = tmp.filePath(QStringLiteral("ttyA"));
    const QString other = tmp.filePath(QStringLiteral("ttyB"));
    QVERIFY(WriteFile(device, "") && WriteFile(other, ""));
    QVERIFY(QFile::link(device, tmp.filePath(QStringLiteral("first"))));
    QVERIFY(QFile::link(tmp.filePath(QStringLiteral("first")), tmp.filePath("second")));
    const QString ini = tmp.filePath(QStringLiteral("OrvekData.ini"));
    QVERIFY(WriteFile(ini, Serial("A", device) + Serial("B", tmp.filePath("first")) +
                               Serial("C", tmp.filePath("second")) + Serial("D", other) +
                               Gateway("E", 4001) +
                               Gateway("F", 4001).replace("127.0.0.1", " 127.000.0.1")));

    QList<BatchEntry> plan;
    QString error;
    QVERIFY2(PlanBatch(AllOf(tmp.path()), ini, plan, error), qPrintable(error));
    QCOMPARE(plan.size(), 6);
    QCOMPARE(plan[1].line, QStringLiteral("port ") + tmp.filePath("first"));
    QCOMPARE(plan[0].lineKey, plan[1].lineKey);
    QCOMPARE(plan[0].lineKey, plan[2].lineKey);
    QVERIFY(plan[3].lineKey != plan[0].lineKey);
    QCOMPARE(plan[4].lineKey, plan[5].lineKey);
    QVERIFY(plan[4].lineKey != plan[0].lineKey && plan[4].lineKey != plan[3].lineKey);
    for (const BatchEntry& entry : plan)
        QCOMPARE(entry.refused, QString());
}

void TestCliBatch::readOutThatCannotStart_data()
{
    QTest::addColumn<QString>("program"); // below the temporary folder
    QTest::newRow("no such file") << "nosuch/orvekdata";
    QTest::newRow("not executable") << "plain";
    QTest::newRow("a folder") << "folder";
}

// Every read-out fails to start: each counts as failed, with the system's reason, and
// the batch ends.
void TestCliBatch::readOutThatCannotStart()
{
    QFETCH(QString, program);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(WriteFile(tmp.filePath(QStringLiteral("plain")), "#!/bin/sh\nexit 0\n"));
    QVERIFY(QDir(tmp.path()).mkdir(QStringLiteral("folder")));
    const QString home = tmp.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(home));
    QVERIFY(WriteFile(home + QStringLiteral("/OrvekData.ini"),
                      Gateway("A", 4001) + Gateway("B", 4001) + Gateway("C", 4002)));

    const BatchRun run = RunBatch(AllOf(home), tmp.filePath(program));
    QCOMPARE(run.exitCode, 1);
    for (const QString name : {"A", "B", "C"}) {
        QVERIFY2(run.err.contains(QRegularExpression(QStringLiteral("(^|\n)\\[") + name +
                                                     QStringLiteral("\\] cannot start: \\S"))),
                 qPrintable(run.err));
        QVERIFY2(HasRow(run.out, name, QStringLiteral("failed"), QStringLiteral("0/0")),
                 qPrintable(run.out));
        QVERIFY2(run.out.contains(u'\n' + name + QStringLiteral(": cannot start: ")),
                 qPrintable(run.out));
    }
    QVERIFY(!QFileInfo::exists(home + QStringLiteral("/Protocols")));
}

// A read-out that will not abort (it ignores Ctrl+C): the first Ctrl+C starts no more,
// the second ends the batch with the read-out killed.
void TestCliBatch::secondInterruptEndsAHangingBatch()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString script = tmp.filePath(QStringLiteral("hang.sh"));
    QVERIFY(WriteScript(script, "echo $$ > \"$here/started-$$\"\ntrap '' INT\nexec sleep 600"));
    const QString home = tmp.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(home));
    QVERIFY(WriteFile(home + QStringLiteral("/OrvekData.ini"),
                      Gateway("A", 4001) + Gateway("B", 4001) + Gateway("C", 4002)));
    BatchOptions options = AllOf(home);
    options.jobs = 1;

    qint64 pid = 0;
    int pressed = 0;
    int pollsSinceFirst = 0;
    bool aliveAfterFirst = false;
    const BatchRun run = RunBatch(options, script, [&] {
        if (pressed == 0) {
            const QStringList started =
                QDir(tmp.path()).entryList({QStringLiteral("started-*")}, QDir::Files);
            if (!started.isEmpty()) {
                pid = ReadBytes(tmp.filePath(started.first())).trimmed().toLongLong();
                pressed = 1;
            }
        } else if (pressed == 1 && ++pollsSinceFirst == 20) {
            aliveAfterFirst = ::kill(pid_t(pid), 0) == 0;
            pressed = 2;
        }
        return pressed;
    });
    QCOMPARE(run.exitCode, 1);
    QVERIFY(pid > 0);
    QVERIFY2(aliveAfterFirst, "the stand-in read-out did not outlive the first Ctrl+C");
    QVERIFY(::kill(pid_t(pid), 0) != 0 && errno == ESRCH);
    QCOMPARE(QDir(tmp.path()).entryList({QStringLiteral("started-*")}, QDir::Files).size(), 1);
    for (const QString name : {"A", "B", "C"})
        QVERIFY2(HasRow(run.out, name, QStringLiteral("aborted")), qPrintable(run.out));
}

// The read-out gets its name, day, pauses and log prefix in a file, none of them on its
// command line.
void TestCliBatch::planTravelsInAFile()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString script = tmp.filePath(QStringLiteral("keep.sh"));
    QVERIFY(WriteScript(script,
                        "cp \"$plan\" \"$here/plan.json\"\n"
                        "printf '%s\\n' \"$@\" > \"$here/args\"\n"
                        "echo '{\"result\": \"read\", \"devicesRead\": 1, \"devicesAsked\": "
                        "1, \"filesWritten\": 2}' > \"$result\""));
    const QString home = tmp.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(home));
    const QString name = QStringLiteral("Школа \"№5\" --all");
    QVERIFY(WriteFile(home + QStringLiteral("/OrvekData.ini"), Gateway(EncodeAnsi(name), 4001)));
    BatchOptions options = AllOf(home);
    options.sendPause = 20;

    const BatchRun run = RunBatch(options, script);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(HasRow(run.out, name, QStringLiteral("read"), QStringLiteral("1/1")),
             qPrintable(run.out));
    QVERIFY(!ReadBytes(tmp.filePath(QStringLiteral("args"))).contains("Школа"));

    ReadPlan plan;
    QString error;
    QVERIFY2(ReadReadPlan(tmp.filePath(QStringLiteral("plan.json")), plan, error),
             qPrintable(error));
    QCOMPARE(plan.configuration, name);
    QCOMPARE(plan.from, std::optional<QDate>(QDate(2026, 12, 1)));
    QCOMPARE(plan.sendPause, std::optional<int>(20));
    QCOMPARE(plan.replyPause, std::optional<int>());
    QCOMPARE(plan.logPrefix, u'[' + name + QStringLiteral("] "));
    QVERIFY(plan.report && !plan.report->isEmpty());
}

void TestCliBatch::resultMakesTheRow_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("row");  // result and devices
    QTest::addColumn<QString>("told"); // below the summary and, but for a result's own
                                       // failure, on standard error

    const QByteArray read = "echo '{\"version\": 1, \"result\": \"read\", \"devicesRead\": 2, "
                            "\"devicesAsked\": 2, \"filesWritten\": 7}' > \"$result\"\n";
    QTest::newRow("read") << read + "exit 0" << 0 << "read +2/2 +7"
                          << "";
    QTest::newRow("failed, with its first failure")
        << QByteArray("echo '{\"result\": \"failed\", \"devicesRead\": 1, \"devicesAsked\": 2, "
                      "\"firstFailure\": \"Нет ответа\\r\\nот прибора\"}' > \"$result\"\nexit 1")
        << 1 << "failed +1/2"
        << "A: Нет ответа от прибора";
    QTest::newRow("no result") << QByteArray("exit 0") << 1 << "failed +0/0"
                               << "ended without a result (exit code 0)";
    QTest::newRow("a status text of old")
        << QByteArray("echo 'read 1 1 1' > \"$result\"") << 1 << "failed +0/0"
        << "ended without a readable result: ";
    QTest::newRow("an unknown result")
        << QByteArray("echo '{\"result\": \"fine\"}' > \"$result\"") << 1 << "failed +0/0"
        << "\"result\" needs \"read\", \"failed\" or \"aborted\"";
    QTest::newRow("read, but the process failed") << read + "exit 1" << 1 << "failed +2/2"
                                                  << "ended with exit code 1";
    QTest::newRow("killed") << QByteArray("kill -9 $$") << 1 << "failed +0/0"
                            << "ended without a result: ";
}

// The summary's row comes from the result file; a missing or unreadable one fails.
void TestCliBatch::resultMakesTheRow()
{
    QFETCH(QByteArray, body);
    QFETCH(int, exitCode);
    QFETCH(QString, row);
    QFETCH(QString, told);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString script = tmp.filePath(QStringLiteral("readout.sh"));
    QVERIFY(WriteScript(script, body));
    const QString home = tmp.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(home));
    QVERIFY(WriteFile(home + QStringLiteral("/OrvekData.ini"), Gateway("A", 4001)));

    const BatchRun run = RunBatch(AllOf(home), script);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.out.contains(QRegularExpression(QStringLiteral("\nA +tcp 127\\.0\\.0\\.1:4001 +") +
                                                 row + u' ')),
             qPrintable(run.out));
    if (told.isEmpty()) {
        QCOMPARE(run.err, QString());
        QVERIFY2(run.out.endsWith(QStringLiteral("\n")) &&
                     !run.out.contains(QStringLiteral("\nA: ")),
                 qPrintable(run.out));
    } else {
        QVERIFY2(run.out.contains(QStringLiteral("\n\nA: ")) && run.out.contains(told),
                 qPrintable(run.out));
        if (!told.startsWith(QLatin1String("A: ")))
            QVERIFY2(run.err.startsWith(QStringLiteral("[A] ")) && run.err.contains(told),
                     qPrintable(run.err));
    }
}

void TestCliBatch::badPlans_data()
{
    QTest::addColumn<QByteArray>("plan"); // null: no such file
    QTest::addColumn<QString>("message");

    QTest::newRow("no file") << QByteArray() << "plan.json: ";
    QTest::newRow("no JSON") << QByteArray("configuration=A") << "no JSON";
    QTest::newRow("an array") << QByteArray("[\"A\"]") << "not a JSON object";
    QTest::newRow("a later version")
        << QByteArray("{\"version\": 2, \"configuration\": \"A\"}") << "version 2 is not known";
    QTest::newRow("no configuration")
        << QByteArray("{\"from\": \"2026-12-01\"}") << "\"configuration\" is missing";
    QTest::newRow("misspelt key") << QByteArray("{\"configuration\": \"A\", \"form\": \"2026\"}")
                                  << "unknown key \"form\"";
    QTest::newRow("configuration no text")
        << QByteArray("{\"configuration\": 7}") << "\"configuration\" needs a text";
    QTest::newRow("configuration with control characters")
        << QByteArray("{\"configuration\": \"A\\u001b[2J\"}") << "control characters";
    QTest::newRow("configuration too long")
        << "{\"configuration\": \"" + QByteArray(256, 'x') + "\"}"
        << "longer than 255";
    QTest::newRow("day of no calendar")
        << QByteArray("{\"configuration\": \"A\", \"from\": \"2026-02-30\"}") << "\"from\" needs";
    QTest::newRow("year the meters cannot hold")
        << QByteArray("{\"configuration\": \"A\", \"from\": \"1999-12-31\"}") << "2000 to 2254";
    QTest::newRow("negative pause") << QByteArray("{\"configuration\": \"A\", \"sendPause\": -1}")
                                    << "\"sendPause\" needs a whole number from 0 to 60000";
    QTest::newRow("fraction of a pause")
        << QByteArray("{\"configuration\": \"A\", \"replyPause\": 0.5}") << "\"replyPause\" needs";
    QTest::newRow("pause as a text")
        << QByteArray("{\"configuration\": \"A\", \"replyPause\": \"50\"}")
        << "\"replyPause\" needs";
    QTest::newRow("prefix of two lines")
        << QByteArray("{\"configuration\": \"A\", \"logPrefix\": \"[A]\\n\"}")
        << "\"logPrefix\" needs";
}

void TestCliBatch::badPlans()
{
    QFETCH(QByteArray, plan);
    QFETCH(QString, message);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString path = tmp.filePath(QStringLiteral("plan.json"));
    if (!plan.isNull())
        QVERIFY(WriteFile(path, plan));
    ReadPlan read;
    read.configuration = QStringLiteral("kept");
    QString error;
    QVERIFY(!ReadReadPlan(path, read, error));
    QVERIFY2(error.startsWith(QDir::toNativeSeparators(path) + QStringLiteral(": ")),
             qPrintable(error));
    QVERIFY2(error.contains(message), qPrintable(error));
    QCOMPARE(read.configuration, QStringLiteral("kept"));

    // The command line names the plan's fault and reads nothing.
    const QString home = tmp.filePath(QStringLiteral("home"));
    const RunResult run = Run({"read", "--home", home, "--plan", path});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(QString::fromLocal8Bit(run.err).startsWith(QStringLiteral("orvekdata: --plan ") +
                                                        QDir::toNativeSeparators(path)),
             run.err.constData());
    QVERIFY(!QFileInfo::exists(home + QStringLiteral("/Protocols")));
}

void TestCliBatch::resultRoundTrip()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString path = tmp.filePath(QStringLiteral("result.json"));
    ReadResult written;
    written.outcome = ReadResult::Outcome::Aborted;
    written.configuration = QStringLiteral("Котельная");
    written.devicesRead = 3;
    written.devicesAsked = 5;
    written.filesWritten = 11;
    written.report = QStringLiteral("/x/Reports/2026-12-01/101500.csv");
    written.firstFailure = QStringLiteral("Нет ответа");
    QString error;
    QVERIFY2(WriteReadResult(path, written, error), qPrintable(error));
    ReadResult read;
    QVERIFY2(ReadReadResult(path, read, error), qPrintable(error));
    QCOMPARE(read.outcome, written.outcome);
    QCOMPARE(read.configuration, written.configuration);
    QCOMPARE(read.devicesRead, 3);
    QCOMPARE(read.devicesAsked, 5);
    QCOMPARE(read.filesWritten, 11);
    QCOMPARE(read.report, written.report);
    QCOMPARE(read.firstFailure, written.firstFailure);

    // What is not known is null, and a reader of this program takes keys it does not know.
    QVERIFY2(WriteReadResult(path, ReadResult(), error), qPrintable(error));
    const QJsonObject object = QJsonDocument::fromJson(ReadBytes(path)).object();
    QCOMPARE(object.value(QStringLiteral("result")).toString(), QStringLiteral("failed"));
    QVERIFY(object.value(QStringLiteral("report")).isNull());
    QVERIFY(object.value(QStringLiteral("firstFailure")).isNull());
    QVERIFY(object.value(QStringLiteral("configuration")).isNull());
    QVERIFY(WriteFile(path, "{\"result\": \"read\", \"devicesRead\": 1, \"meters\": []}"));
    QVERIFY2(ReadReadResult(path, read, error), qPrintable(error));
    QCOMPARE(read.outcome, ReadResult::Outcome::Read);
    QCOMPARE(read.devicesRead, 1);
    QCOMPARE(read.report, QString());
}

// read with a plan and a result, over a gateway that refuses: the plan's configuration,
// its log prefix, the result's figures and failure; an option given comes over the plan.
void TestCliBatch::readWithPlanAndResult()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString home = tmp.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(home));
    QVERIFY(WriteFile(home + QStringLiteral("/OrvekData.ini"),
                      "[General]\r\nGlobalTry=1\r\nGlobalTimeOut=-5\r\n" + Gateway("A", 1, "1 2") +
                          Gateway("B", 1, "3")));
    const QString planPath = tmp.filePath(QStringLiteral("plan.json"));
    ReadPlan plan;
    plan.configuration = QStringLiteral("A");
    plan.from = QDate(2026, 12, 1);
    plan.logPrefix = QStringLiteral("[A] ");
    plan.report = tmp.filePath(QStringLiteral("copy.csv"));
    QString error;
    QVERIFY2(WriteReadPlan(planPath, plan, error), qPrintable(error));
    const QString resultPath = tmp.filePath(QStringLiteral("result.json"));

    RunResult run = Run({"read", "--home", home, "--plan", planPath, "--result", resultPath});
    QCOMPARE(run.exitCode, 1);
    // [General]'s value that no line works with is named, with its file.
    QVERIFY2(run.err.contains("GlobalTimeOut=-5") &&
                 run.err.contains(QDir::toNativeSeparators(home).toUtf8()),
             run.err.constData());
    ReadResult result;
    QVERIFY2(ReadReadResult(resultPath, result, error), qPrintable(error));
    QCOMPARE(result.outcome, ReadResult::Outcome::Failed);
    QCOMPARE(result.configuration, QStringLiteral("A"));
    QCOMPARE(result.devicesRead, 0);
    QCOMPARE(result.devicesAsked, 2);
    QCOMPARE(result.filesWritten, 0);
    QCOMPARE(result.firstFailure, QStringLiteral("Ошибка IP соединения"));
    QVERIFY2(result.report.startsWith(home + QStringLiteral("/Reports/")),
             qPrintable(result.report));
    QCOMPARE(ReadBytes(result.report), ReadBytes(*plan.report));
    const QStringList logs = QDir(home + QStringLiteral("/Protocols")).entryList(QDir::Files);
    QCOMPARE(logs.size(), 1);
    const QList<QByteArray> lines =
        ReadBytes(home + QStringLiteral("/Protocols/") + logs.first()).split('\n');
    for (const QByteArray& line : lines)
        QVERIFY2(line.trimmed().isEmpty() || line.startsWith("[A] "), line.constData());

    run =
        Run({"read", "--home", home, "--plan", planPath, "--config", "b", "--result", resultPath});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(ReadReadResult(resultPath, result, error), qPrintable(error));
    QCOMPARE(result.configuration, QStringLiteral("B"));
    QCOMPARE(result.devicesAsked, 1);
}

// A settings file with a name of 140 000 characters and one of terminal control
// sequences: both refused and named escaped; the others are read.
void TestCliBatch::namesThatCannotBeReal()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(WriteFile(tmp.filePath(QStringLiteral("OrvekData.ini")),
                      "[General]\r\nGlobalTry=1\r\n" + Gateway(QByteArray(140000, 'x'), 1) +
                          Gateway("B\x01\x1b[2J", 1) + Gateway("C", 1)));
    const RunResult run = Run({"batch", "--home", tmp.path(), "--all"});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(!HasControlBytes(run.out) && !HasControlBytes(run.err), run.err.constData());
    const QString out = QString::fromLocal8Bit(run.out);
    const QString err = QString::fromLocal8Bit(run.err);
    const QString longName = QString(60, u'x') + QStringLiteral("...");
    QVERIFY2(err.contains(u'[' + longName +
                          QStringLiteral("] refused: the name is longer than 255 characters\n")),
             qPrintable(err));
    QVERIFY2(err.contains(QStringLiteral("[B\\x01\\x1B[2J] refused: the name holds control "
                                         "characters\n")),
             qPrintable(err));
    QVERIFY2(HasRow(out, longName, QStringLiteral("failed"), QStringLiteral("0/0")),
             qPrintable(out));
    QVERIFY2(HasRow(out, QStringLiteral("B\\x01\\x1B[2J"), QStringLiteral("failed"),
                    QStringLiteral("0/0")),
             qPrintable(out));
    QVERIFY2(HasRow(out, QStringLiteral("C"), QStringLiteral("failed"), QStringLiteral("0/1")),
             qPrintable(out));
    QVERIFY(out.contains(QStringLiteral("[C] ")));
    QVERIFY(!out.contains(QStringLiteral("[x")) && !out.contains(QStringLiteral("[B")));
    QVERIFY(out.size() < 10000);
}

// Random bytes for a settings file: the batch ends, and nothing of the file reaches
// the terminal raw.
void TestCliBatch::garbageSettingsFile()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QByteArray bytes(1 << 20, Qt::Uninitialized);
    QRandomGenerator random(20261201);
    for (char& byte : bytes)
        byte = char(random.bounded(256));
    QVERIFY(WriteFile(tmp.filePath(QStringLiteral("OrvekData.ini")), bytes));
    const RunResult run = Run({"batch", "--home", tmp.path(), "--all"});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(!HasControlBytes(run.out), run.out.constData());
    QVERIFY2(!HasControlBytes(run.err), run.err.constData());
    QVERIFY2(run.err.contains("] refused: the name holds control characters\n"),
             run.err.constData());
}

QTEST_GUILESS_MAIN(TestCliBatch)
#include "tst_cli_batch.moc"
