// `orvekdata read` as a process, where the line or the system fails it: waits that an
// interrupt must end at once, a modem line gone while dialing, a file-size limit, a
// serial number in the meters' code page.

#include "AnsiCodec.h"
#include "LogFile.h"
#include "ProcessRig.h"
#include "TestFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString Program = QStringLiteral(ORVEKDATA_PROGRAM);
const QString SimulatorPath = QStringLiteral(METERSIM_PATH);

// Waits far longer than a test may run: whatever ends a read-out sooner is not them.
const QByteArray SlowLine = "[General]\r\nGlobalTimeOut=60000\r\nGlobalTry=5\r\n";

QJsonObject Meter(const QString& serial, const QJsonObject& faults = {})
{
    return QJsonObject{{"family", 0},
                       {"address", 7},
                       {"model", 307},
                       {"serial", serial},
                       {"clock", "2026-12-08T10:15:00"},
                       {"layout", QJsonArray{16, 17}},
                       {"key", 11},
                       {"depth", QJsonObject{{"hourly", 400}}},
                       {"faults", faults}};
}

// A loopback listener whose queue is full: a further connection's handshake is dropped,
// as by a gateway whose network is gone.
class FullListener
{
public:
    FullListener()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(m_fd, 0) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
        for (int& filler : m_fillers) {
            filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
    }
    ~FullListener()
    {
        for (const int fd : m_fillers)
            ::close(fd);
        ::close(m_fd);
    }

    int port = 0;

private:
    int m_fd = -1;
    int m_fillers[4] = {-1, -1, -1, -1};
};

// The read-out as a process, with what it printed so far.
struct Readout
{
    bool Start(const QString& home, const QStringList& args)
    {
        process.start(Program, QStringList{"read", "--home", home} + args);
        return process.waitForStarted(5000);
    }
    // Until the output holds text, or the read-out ended.
    bool WaitFor(const QByteArray& text)
    {
        while (!out.contains(text)) {
            if (!process.waitForReadyRead(30000))
                return false;
            out += process.readAllStandardOutput();
        }
        return true;
    }

    QProcess process;
    QByteArray out;
};

} // namespace

class TestCliFaults : public QObject
{
    Q_OBJECT

private slots:
    void interruptEndsWaits_data();
    void interruptEndsWaits();
    void lineGoneWhileDialing();
    void fileSizeLimit();
    void serialNumberInTheMetersCodePage();
};

void TestCliFaults::interruptEndsWaits_data()
{
    QTest::addColumn<QString>("wait");
    QTest::addColumn<int>("signal");

    for (const char* wait : {"connect", "dial", "reply", "records"})
        QTest::addRow("Ctrl+C during the %s", wait) << QString::fromLatin1(wait) << SIGINT;
    // A service manager's stop and a closed terminal are an interrupt too.
    QTest::newRow("SIGTERM during the reply") << QStringLiteral("reply") << SIGTERM;
    QTest::newRow("SIGHUP during the records") << QStringLiteral("records") << SIGHUP;
}

// Whatever the read-out waits for, an interrupt ends it at once, with the abort's log
// lines, an exit code of 1 and no file left under a temporary name.
void TestCliFaults::interruptEndsWaits()
{
    QFETCH(QString, wait);
    QFETCH(int, signal);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString home = work.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(home));
    QVERIFY(WriteFile(home + QStringLiteral("/OrvekData.ini"), SlowLine));
    const QString meters = work.filePath(QStringLiteral("meters.json"));
    const QJsonObject faults =
        wait == QLatin1String("reply") ? QJsonObject{{"silent", true}} : QJsonObject{};
    QVERIFY(WriteFile(
        meters,
        QJsonDocument(QJsonObject{{"meters", QJsonArray{Meter("11111111", faults)}}}).toJson()));

    SimulatorProcess simulator(SimulatorPath);
    FullListener listener;
    QStringList args = {"--addresses", "7", "--archives", "hour", "--from", "2026-01-01"};
    QByteArray waiting; // what the read-out prints once it waits
    if (wait == QLatin1String("connect")) {
        QVERIFY(listener.port > 0);
        args << "--tcp" << QStringLiteral("127.0.0.1:%1").arg(listener.port);
        waiting = "Порт " + QByteArray::number(listener.port);
    } else if (wait == QLatin1String("dial")) {
        QVERIFY(simulator.Start({"--meters", meters, "--pty", work.filePath("pty"), "--modem",
                                 "--modem-never-connect"}));
        args << "--port" << simulator.ptyPath << "--modem"
             << "ATD5551234";
        waiting = " *";
    } else {
        QVERIFY(simulator.Start({"--meters", meters, "--tcp", "127.0.0.1:0"}));
        args << "--tcp" << QStringLiteral("127.0.0.1:%1").arg(simulator.tcpPort);
        waiting = wait == QLatin1String("reply") ? QByteArray("Определение типа прибора")
                                                 : QByteArray(" --> 3");
    }

    Readout readout;
    QVERIFY(readout.Start(home, args));
    QVERIFY2(readout.WaitFor(waiting), readout.out.constData());
    QCOMPARE(::kill(pid_t(readout.process.processId()), signal), 0);
    // Well before any of the line's waits could have ended on its own.
    QVERIFY(readout.process.waitForFinished(20000));
    QCOMPARE(readout.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(readout.process.exitCode(), 1);

    const QStringList log = DayLogLines(home);
    QVERIFY2(log.contains(QStringLiteral("Операция прервана")), qPrintable(log.join(u'\n')));
    // The files so far are in place under their names; nothing half-written is left.
    for (const QString& file : FilesBelow(home))
        QVERIFY2(!file.endsWith(QLatin1String(".tmp")), qPrintable(file));
    if (wait == QLatin1String("records"))
        QCOMPARE(FilesBelow(home + QStringLiteral("/Data")).filter(QStringLiteral("H0.")).size(),
                 1);
}

// The modem's line goes while it dials: the dial ends with the line's failure, told and
// logged, instead of waiting on a line that answers every wait at once.
void TestCliFaults::lineGoneWhileDialing()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString home = work.filePath(QStringLiteral("home"));
    SimulatorProcess simulator(SimulatorPath);
    QVERIFY(simulator.Start({"--pty", work.filePath("pty"), "--modem", "--modem-never-connect"}));
    Readout readout;
    QVERIFY(readout.Start(home, {"--port", simulator.ptyPath, "--modem", "ATD5551234"}));
    QVERIFY2(readout.WaitFor(" *"), readout.out.constData());
    simulator.Stop();
    QVERIFY(readout.process.waitForFinished(20000));
    readout.out += readout.process.readAllStandardOutput();
    const QString err = QString::fromLocal8Bit(readout.process.readAllStandardError());

    QCOMPARE(readout.process.exitCode(), 1);
    QVERIFY2(err.contains(QStringLiteral("Ошибка чтения порта")), qPrintable(err));
    // A few asterisks, not a flood of them.
    QVERIFY2(readout.out.size() < 4096, qPrintable(QString::number(readout.out.size())));
    const QStringList log = DayLogLines(home);
    QCOMPARE(log.mid(log.size() - 2), QStringList({QStringLiteral("Ошибка чтения порта"),
                                                   QStringLiteral("закрытие порта")}));
}

// A file-size limit of the process is a write error the read-out tells, with the file
// and the reason, not a signal that kills it without a word.
void TestCliFaults::fileSizeLimit()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString home = work.filePath(QStringLiteral("home"));
    const QString meters = work.filePath(QStringLiteral("meters.json"));
    QVERIFY(WriteFile(
        meters, QJsonDocument(QJsonObject{{"meters", QJsonArray{Meter("11111111")}}}).toJson()));
    SimulatorProcess simulator(SimulatorPath);
    QVERIFY(simulator.Start({"--meters", meters, "--tcp", "127.0.0.1:0"}));

    QProcess process;
    // Room for the configuration file and the log, not for 400 hourly records.
    process.setChildProcessModifier([] {
        const rlimit limit{8192, 8192};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    process.start(Program, {"read", "--home", home, "--tcp",
                            QStringLiteral("127.0.0.1:%1").arg(simulator.tcpPort), "--addresses",
                            "7", "--archives", "hour", "--from", "2026-01-01", "--send-pause", "0",
                            "--reply-pause", "0"});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral("I/O error %1: ").arg(EFBIG)) &&
                 err.contains(QStringLiteral("H0.csv")),
             qPrintable(err));
    for (const QString& file : FilesBelow(home))
        QVERIFY2(!file.endsWith(QLatin1String("H0.csv")) && !file.endsWith(QLatin1String(".tmp")),
                 qPrintable(file));
}

// Every text a meter holds is in its code page, the serial number's letters too: on the
// console, in the log and in the folder name alike.
void TestCliFaults::serialNumberInTheMetersCodePage()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString home = work.filePath(QStringLiteral("home"));
    const QString serial = QStringLiteral("3071234А"); // the last letter is byte C0h
    QCOMPARE(EncodeAnsi(serial).back(), '\xC0');
    const QString meters = work.filePath(QStringLiteral("meters.json"));
    QVERIFY(WriteFile(meters,
                      QJsonDocument(QJsonObject{{"meters", QJsonArray{Meter(serial)}}}).toJson()));
    SimulatorProcess simulator(SimulatorPath);
    QVERIFY(simulator.Start({"--meters", meters, "--tcp", "127.0.0.1:0"}));
    QProcess process;
    process.start(Program, {"read", "--home", home, "--tcp",
                            QStringLiteral("127.0.0.1:%1").arg(simulator.tcpPort), "--addresses",
                            "7", "--archives", "none", "--logs", "none"});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    QVERIFY2(out.contains(QStringLiteral("Зав. № = ") + serial), qPrintable(out));
    QVERIFY(DayLogLines(home).contains(QStringLiteral("Зав. № = ") + serial));
    const QStringList files = FilesBelow(home + QStringLiteral("/Data"));
    QCOMPARE(files.size(), 1);
    QVERIFY2(files.first().contains(QStringLiteral("/ОРВЕК-307/") + serial + u'/'),
             qPrintable(files.first()));
}

QTEST_GUILESS_MAIN(TestCliFaults)
#include "tst_cli_faults.moc"
