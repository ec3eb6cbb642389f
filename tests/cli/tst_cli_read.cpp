// The headless read-out as a user runs it: `orvekdata read` against the meter simulator
// over a loopback socket and a pseudo-terminal, its files compared with the ones the
// simulator builds from its own data.

#include "AnsiCodec.h"
#include "LogFile.h"
#include "ProcessRig.h"
#include "TestFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QString Program = QStringLiteral(ORVEKDATA_PROGRAM);
const QString SimulatorPath = QStringLiteral(METERSIM_PATH);

QJsonObject Orvek307Meter()
{
    return QJsonObject{
        {"family", 0},
        {"address", 7},
        {"model", 307},
        {"serial", "AB123456"},
        {"clock", "2026-12-08T10:15:00"},
        {"layout", QJsonArray{16, 17, 48, 49, 64, 80, 176, 192, 209}},
        {"names", QJsonObject{{"0x201", "V подачи"},
                              {"0x202", "V обратки"},
                              {"0x301", "Подача"},
                              {"0x302", "Обратка"},
                              {"0x501", "Q ТС1"}}},
        {"systems", QJsonArray{"ТС1"}},
        {"key", 11},
        {"depth", QJsonObject{{"hourly", 6},
                              {"daily", 3},
                              {"monthly", 2},
                              {"integral", 2},
                              {"emergency", 2},
                              {"events", 3},
                              {"protected", 2}}},
    };
}

QJsonObject IlmMeter()
{
    return QJsonObject{
        {"family", 1},
        {"address", 2},
        {"model", 4},
        {"serial", "20190719"},
        {"clock", "2026-12-08T10:00:00"},
        {"key", 5},
        {"depth", QJsonObject{{"hourly", 5}, {"daily", 3}, {"monthly", 2}}},
    };
}

QJsonObject Orvek213Meter(int model)
{
    return QJsonObject{
        {"family", 2},
        {"address", 3},
        {"model", model},
        {"serial", QString::number(model) + QStringLiteral("04518")},
        {"clock", "2026-12-08T10:30:00"},
        {"clockRuns", false},
        {"key", 9},
        {"depth", QJsonObject{{"hourly", 5},
                              {"daily", 3},
                              {"monthly", 2},
                              {"integralDaily", 3},
                              {"integralMonthly", 2},
                              {"events", 4}}},
    };
}

// The report of a read-out of one meter against the files the meter must give: the
// meter read, and for every archive and log as many records, from and to the dates its
// file holds, no hole; every file listed with its size.
void CheckReport(const QString& report, const QString& expectedRoot, const QStringList& expectedCsv,
                 const QStringList& expectedFiles)
{
    const QStringList rows =
        DecodeAnsi(ReadBytes(report)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    QCOMPARE(rows.size(), 2);
    const QStringList header = rows[0].split(u';');
    const QStringList cells = rows[1].split(u';');
    QCOMPARE(cells.size(), header.size());
    const auto cell = [&](const QString& heading) {
        const qsizetype at = header.indexOf(heading);
        return at < 0 ? QStringLiteral("<no column %1>").arg(heading) : cells.at(at);
    };
    QCOMPARE(cell(QStringLiteral("Результат")), QStringLiteral("прочитан"));
    const QList<std::pair<QString, QString>> headings = {{"IA0.csv", "Суточный интегр."},
                                                         {"EA0.csv", "Аварийный"},
                                                         {"H0.csv", "Часовой"},
                                                         {"A0.csv", "Суточный"},
                                                         {"I0.csv", "Месячный интегр."},
                                                         {"O0.csv", "Месячный"},
                                                         {"LOGZ.csv", "Защищенный журнал"},
                                                         {"LOG.csv", "Журнал событий"}};
    for (const QString& csv : expectedCsv) {
        QString heading;
        for (const auto& [suffix, name] : headings) {
            if (heading.isEmpty() && csv.endsWith(suffix))
                heading = name;
        }
        if (heading.isEmpty())
            continue; // the configuration
        const QStringList lines = DecodeAnsi(ReadBytes(expectedRoot + u'/' + csv))
                                      .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)
                                      .mid(4);
        QCOMPARE(cell(heading + QStringLiteral(": записей")), QString::number(lines.size()));
        QCOMPARE(cell(heading + QStringLiteral(": первая")),
                 lines.isEmpty() ? QString() : lines.first().section(u';', 0, 0));
        QCOMPARE(cell(heading + QStringLiteral(": последняя")),
                 lines.isEmpty() ? QString() : lines.last().section(u';', 0, 0));
        if (header.contains(heading + QStringLiteral(": пропусков")))
            QCOMPARE(cell(heading + QStringLiteral(": пропусков")), QStringLiteral("0"));
    }
    const QString files = cell(QStringLiteral("Файлы"));
    for (const QString& file : expectedFiles)
        QVERIFY2(files.contains(file + QStringLiteral(" (")), qPrintable(file));
}

// Two gateways: a ОРВЕК-307 (address 7) and an ИЛЬМ (address 2) behind the first, a
// ОРВЕК-223 (address 3) behind the second; saved configurations for each meter in a
// program folder, and a second folder with the same settings file.
struct BatchRig
{
    BatchRig()
    {
        QJsonObject orvek = Orvek307Meter();
        orvek.insert("depth", QJsonObject{{"hourly", 40}});
        // A clock ten minutes ahead of the computer's, and two hours missing in the
        // hourly archive that ends at it.
        const QDateTime ahead = QDateTime::currentDateTime().addSecs(600);
        orvek.insert("clock", ahead.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
        const QDateTime hour(ahead.date(), QTime(ahead.time().hour(), 0));
        for (const int back : {6, 5}) {
            holes.append(hour.addSecs(-3600 * back));
            holeTimes.append(holes.last().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
        }
        orvek.insert("hourlyHoles", QJsonArray::fromStringList(holeTimes));
        QJsonObject ilm = IlmMeter();
        ilm.insert("depth", QJsonObject{{"daily", 20}});
        QJsonObject orvek223 = Orvek213Meter(223);
        orvek223.insert("depth", QJsonObject{{"hourly", 40}});
        const QString first = work.filePath(QStringLiteral("first.json"));
        const QString second = work.filePath(QStringLiteral("second.json"));
        ok = work.isValid() &&
             WriteFile(first,
                       QJsonDocument(QJsonObject{{"meters", QJsonArray{orvek, ilm}}}).toJson()) &&
             WriteFile(second,
                       QJsonDocument(QJsonObject{{"meters", QJsonArray{orvek223}}}).toJson()) &&
             gateways[0].Start({"--meters", first, "--tcp", "127.0.0.1:0"}) &&
             gateways[1].Start({"--meters", second, "--tcp", "127.0.0.1:0"});
        const auto section = [](const char* name, int gateway, int family, const char* address,
                                const char* box) {
            return QStringLiteral("[%1]\r\ncbTCP=1\r\nedADDR=127.0.0.1\r\nsePort=%2\r\n"
                                  "cbDevice=%3\r\nedAddress=%4\r\n%5=1\r\n")
                .arg(QString::fromUtf8(name))
                .arg(gateway)
                .arg(family)
                .arg(QString::fromLatin1(address), QString::fromLatin1(box));
        };
        ini = "[General]\r\nGlobalTimeOut=500\r\nGlobalTry=1\r\n" +
              EncodeAnsi(section("Котельная", gateways[0].tcpPort, 0, "7", "cbArcHour") +
                         section("Подстанция", gateways[0].tcpPort, 1, "2", "cbArcDay") +
                         section("Школа", gateways[1].tcpPort, 2, "3", "cbArcHour") +
                         section("Пустой адрес", gateways[1].tcpPort, 2, "9", "cbArcHour"));
        for (const QString& home : {Home(), Twin()}) {
            ok = ok && QDir().mkpath(home) &&
                 WriteFile(home + QStringLiteral("/OrvekData.ini"), ini);
        }
    }

    QString Home() const { return work.filePath(QStringLiteral("home")); }
    QString Twin() const { return work.filePath(QStringLiteral("twin")); }

    QTemporaryDir work;
    SimulatorProcess gateways[2] = {SimulatorProcess(SimulatorPath),
                                    SimulatorProcess(SimulatorPath)};
    QByteArray ini;
    QList<QDateTime> holes;
    QStringList holeTimes;
    bool ok = false;
};

// The log lines of one configuration in a batch's day log, without its name, and the
// times of its first and last stamped line.
struct BatchLog
{
    QStringList lines;
    QTime first;
    QTime last;
};

} // namespace

class TestCliRead : public QObject
{
    Q_OBJECT

private slots:
    void readsLikeTheMeters_data();
    void readsLikeTheMeters();
    void savedConfiguration();
    void failuresExitOne_data();
    void failuresExitOne();
    void savedPortOutOfRange_data();
    void savedPortOutOfRange();
    void badUsage_data();
    void badUsage();
    void usage_data();
    void usage();
    void interruptAborts();
    void twoReadoutsOneFolder();
    void batchReadsLinesSideBySide();
    void batchFailures();
    void batchInterrupted();
    void scanFindsTheMeters();
    void unusableProgramFolder_data();
    void unusableProgramFolder();
};

void TestCliRead::readsLikeTheMeters_data()
{
    QTest::addColumn<QJsonObject>("meter");
    QTest::addColumn<bool>("overTcp");
    QTest::addColumn<QStringList>("logSteps");

    const QStringList steps307 = {
        "Создание файла конфигурации",     "Почасовой архив создание файла",
        "Чтение почасового архива",        "Выполнено 6",
        "Посуточный архив создание файла", "Аварийный посуточнный архив создание файла",
        "Создание файла журнала событий",  "Создание файла защищенного журнала",
    };
    QTest::newRow("ОРВЕК-307 over TCP") << Orvek307Meter() << true << steps307;
    QTest::newRow("ОРВЕК-307 over a serial line") << Orvek307Meter() << false << steps307;
    QTest::newRow("ИЛЬМ over a serial line")
        << IlmMeter() << false
        << QStringList{"Создание файла конфигурации", "Чтение почасового архива", "Выполнено 5",
                       "Чтение помесячного архива"};
    QTest::newRow("ОРВЕК-223 over TCP")
        << Orvek213Meter(223) << true
        << QStringList{"Создание файла конфигурации", "Чтение посуточного архива",
                       "Чтение интегрального посуточного архива", "Создание файла журнала событий"};
    QTest::newRow("ОРВЕК-213 over a serial line")
        << Orvek213Meter(213) << false
        << QStringList{"Создание файла конфигурации", "Чтение почасового архива", "Выполнено 5"};
}

void TestCliRead::readsLikeTheMeters()
{
    QFETCH(QJsonObject, meter);
    QFETCH(bool, overTcp);
    QFETCH(QStringList, logSteps);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString meters = work.filePath(QStringLiteral("meters.json"));
    QVERIFY(WriteFile(meters, QJsonDocument(QJsonObject{{"meters", QJsonArray{meter}}}).toJson()));
    const QString home = work.filePath(QStringLiteral("home"));
    const QString address = QString::number(meter.value("address").toInt());
    const QString family = QString::number(meter.value("family").toInt());

    SimulatorProcess simulator(SimulatorPath);
    QVERIFY(simulator.Start({"--meters", meters, overTcp ? "--tcp" : "--pty",
                             overTcp ? "127.0.0.1:0" : work.filePath(QStringLiteral("ttyMeter"))}));
    QStringList args = {"read",
                        "--home",
                        home,
                        "--family",
                        family,
                        "--addresses",
                        address,
                        "--from",
                        "2026-12-01",
                        "--archives",
                        "hour,day,month,integral,emergency",
                        "--logs",
                        "event,protected"};
    if (overTcp)
        args << "--tcp" << QStringLiteral("127.0.0.1:%1").arg(simulator.tcpPort);
    else
        args << "--port" << work.filePath(QStringLiteral("ttyMeter"));
    const RunResult run = RunProgram(Program, args);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);

    // The files are dated by the day they were made: the expected ones get that day.
    const QStringList days =
        QDir(home + QStringLiteral("/Data")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(days.size(), 1);
    const QString expectedRoot = work.filePath(QStringLiteral("expected"));
    const RunResult expect =
        RunProgram(SimulatorPath, {"--meters", meters, "--expect", expectedRoot, "--from",
                                   "2026-12-01", "--today", days.first()});
    QVERIFY2(expect.exitCode == 0, qPrintable(expect.err));

    const QStringList expectedCsv = FilesBelow(expectedRoot);
    QVERIFY(!expectedCsv.isEmpty());
    QStringList expectedFiles = expectedCsv;
    for (const QString& csv : expectedCsv) {
        if (!csv.endsWith(QLatin1String("CFG.csv")) && !csv.endsWith(QLatin1String("LOG.csv")) &&
            !csv.endsWith(QLatin1String("LOGZ.csv")))
            expectedFiles.append(csv.chopped(3) + QStringLiteral("dat"));
    }
    expectedFiles.sort();
    QStringList written = FilesBelow(home);
    written.removeAll(QStringLiteral("Protocols/") +
                      QDir(home + QStringLiteral("/Protocols")).entryList(QDir::Files).value(0));
    const QStringList reports = written.filter(
        QRegularExpression(QStringLiteral("^Reports/\\d{4}-\\d\\d-\\d\\d/\\d{6}\\.csv$")));
    QCOMPARE(reports.size(), 1);
    written.removeAll(reports.first());
    QCOMPARE(written, expectedFiles);
    CheckReport(home + u'/' + reports.first(), expectedRoot, expectedCsv, expectedFiles);
    if (QTest::currentTestFailed())
        return;
    for (const QString& csv : expectedCsv) {
        const QByteArray expected = ReadBytes(expectedRoot + u'/' + csv);
        const QByteArray actual = ReadBytes(home + u'/' + csv);
        if (actual != expected) {
            QCOMPARE(DecodeAnsi(actual).split(QStringLiteral("\r\n")),
                     DecodeAnsi(expected).split(QStringLiteral("\r\n")));
            QFAIL(qPrintable(csv + QStringLiteral(" differs in its bytes")));
        }
    }

    // Every copy is n + 4 bytes and gives its file back through the program's converter,
    // which writes all n + 4 bytes: the text, then four blanks where the key was.
    for (const QString& file : expectedFiles) {
        if (!file.endsWith(QLatin1String(".dat")))
            continue;
        const QByteArray csv = ReadBytes(home + u'/' + file.chopped(3) + QStringLiteral("csv"));
        const QString copy = work.filePath(QStringLiteral("copy.dat"));
        QFile::remove(copy);
        QVERIFY(QFile::copy(home + u'/' + file, copy));
        QCOMPARE(QFileInfo(copy).size(), csv.size() + 4);
        const RunResult back = RunProgram(Program, {"dat2csv", copy});
        QVERIFY2(back.exitCode == 0, qPrintable(back.err));
        QCOMPARE(ReadBytes(work.filePath(QStringLiteral("copy_1.csv"))), csv + "    ");
    }

    // The exchange log holds the read-out's steps in order; the memo-only marks reach
    // standard output but not the file, and standard output carries the file's lines.
    const QStringList log = DayLogLines(home);
    QStringList expectedLog = {
        QString(39, u'='),
        QStringLiteral("Адреса приборов: \"") + address + u'"',
        overTcp ? QStringLiteral("Порт %1 по IP адресу 127.0.0.1").arg(simulator.tcpPort)
                : QStringLiteral("Порт ") + work.filePath(QStringLiteral("ttyMeter")) +
                      QStringLiteral(" скорость 19200"),
        QStringLiteral("******* прибор по адресу ") + address,
        QStringLiteral("Определение типа прибора"),
        QStringLiteral("Чтение даты и времени"),
        QStringLiteral("Чтение заводского номера"),
        QStringLiteral("Зав. № = ") + meter.value("serial").toString(),
        QStringLiteral("Чтение конфигурации архивов"),
        QStringLiteral("Выполнено"),
        QStringLiteral("Чтение имен параметров"),
    };
    expectedLog += logSteps;
    // Only a serial port logs its closing.
    if (!overTcp)
        expectedLog += QStringLiteral("закрытие порта");
    QString missing;
    QVERIFY2(InOrder(log, expectedLog, missing), qPrintable(missing));
    QCOMPARE(log.first(), QString());
    QVERIFY(!log.contains(QStringLiteral("---")));
    QCOMPARE(log.count(QStringLiteral("закрытие порта")), overTcp ? 0 : 1);

    const QStringList out = run.out.split(u'\n');
    QVERIFY(out.contains(QStringLiteral("---")));
    QStringList stamped =
        DecodeAnsi(
            ReadBytes(home + QStringLiteral("/Protocols/") +
                      QDir(home + QStringLiteral("/Protocols")).entryList(QDir::Files).value(0)))
            .split(QStringLiteral("\r\n"));
    stamped.removeAll(QString());
    QVERIFY2(InOrder(out, stamped, missing), qPrintable(missing));
}

void TestCliRead::savedConfiguration()
{
    // [General] shortens the waits; the saved configuration names a silent address and
    // the TCP line; the options override its addresses and boxes.
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString meters = work.filePath(QStringLiteral("meters.json"));
    QVERIFY(WriteFile(
        meters, QJsonDocument(QJsonObject{{"meters", QJsonArray{Orvek307Meter()}}}).toJson()));
    SimulatorProcess simulator(SimulatorPath);
    QVERIFY(simulator.Start({"--meters", meters, "--tcp", "127.0.0.1:0"}));
    const QString home = work.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(home));
    const QString ini = QStringLiteral("[General]\r\nGlobalTimeOut=300\r\nGlobalTry=1\r\n"
                                       "\r\n[Котельная №2]\r\ncbTCP=1\r\ncbDevice=0\r\n"
                                       "edADDR=127.0.0.1\r\nsePort=%1\r\nedAddress=9\r\n"
                                       "cbArcHour=1\r\ncbArcDay=1\r\ncbLog=1\r\n")
                            .arg(simulator.tcpPort);
    QVERIFY(WriteFile(home + QStringLiteral("/OrvekData.ini"), EncodeAnsi(ini)));

    // A speed alone leaves the configuration on its gateway. Values after "=" too; the
    // last of a repeated option counts.
    const RunResult run = RunProgram(
        Program, {"read", "--home", home, "--config=котельная №2", "--addresses=9", "--addresses",
                  "7", "--archives=hour", "--from", "2026-12-08", "--speed=9600"});
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    const QStringList files = FilesBelow(home + QStringLiteral("/Data"));
    QCOMPARE(files.size(), 4); // CFG, H0 and its copy, LOG; no daily archive
    QVERIFY(files.filter(QRegularExpression(QStringLiteral("/\\d{4}H0\\.dat$"))).size() == 1);
    QVERIFY(files.filter(QRegularExpression(QStringLiteral("/\\d{4}LOG\\.csv$"))).size() == 1);
    QVERIFY(files.filter(QRegularExpression(QStringLiteral("A0\\."))).isEmpty());
    // The program leaves its settings file alone.
    QCOMPARE(DecodeAnsi(ReadBytes(home + QStringLiteral("/OrvekData.ini"))), ini);

    // A report that cannot be put in its folder is told of; the meters were read all
    // the same.
    QVERIFY(QDir(home + QStringLiteral("/Reports")).removeRecursively());
    QVERIFY(WriteFile(home + QStringLiteral("/Reports"), "in the way"));
    const RunResult lost =
        RunProgram(Program, {"--home=" + home, "read", "--config", "котельная №2", "--addresses",
                             "7", "--archives", "none", "--logs", "none", "--from", "2026-12-08"});
    QCOMPARE(lost.exitCode, 0);
    QVERIFY2(lost.err.contains(QStringLiteral("report could not be written")),
             qPrintable(lost.err));
}

void TestCliRead::failuresExitOne_data()
{
    QTest::addColumn<QJsonObject>("meter");
    QTest::addColumn<QString>("addresses");
    QTest::addColumn<QString>("expectedErr");

    QTest::newRow("silent address")
        << Orvek307Meter() << "9" << QStringLiteral("Нет ответа\nНет ответа\n");
    QJsonObject unknown = Orvek307Meter();
    unknown.insert("model", 305);
    QTest::newRow("unknown model")
        << unknown << "7" << QStringLiteral("Неизвестный тип прибора: ID = 305\n");
    QJsonObject escaping = Orvek307Meter();
    escaping.insert("serial", "../../xx");
    QTest::newRow("serial number with a path")
        << escaping << "7" << QStringLiteral("<folder refused>");
    // A reply lost on the way, and the meter refuses the start date that would find the
    // place again: the archive ends with that failure instead of a silent gap.
    QJsonObject refusesStart = Orvek307Meter();
    refusesStart.insert("faults", QJsonObject{{"corruptNextEvery", 2}, {"startDateLimit", 1}});
    QTest::newRow("position not recovered")
        << refusesStart << "7" << QStringLiteral("Ответ - ошибка 4\n");
}

void TestCliRead::failuresExitOne()
{
    QFETCH(QJsonObject, meter);
    QFETCH(QString, addresses);
    QFETCH(QString, expectedErr);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString meters = work.filePath(QStringLiteral("meters.json"));
    QVERIFY(WriteFile(meters, QJsonDocument(QJsonObject{{"meters", QJsonArray{meter}}}).toJson()));
    SimulatorProcess simulator(SimulatorPath);
    QVERIFY(simulator.Start({"--meters", meters, "--tcp", "127.0.0.1:0"}));
    // Inside a folder of its own, so that anything written beside it would be seen.
    const QString home = work.filePath(QStringLiteral("outer/inner/home"));
    QVERIFY(QDir().mkpath(home));
    QVERIFY(WriteFile(home + QStringLiteral("/OrvekData.ini"),
                      "[General]\r\nGlobalTimeOut=200\r\nGlobalTry=1\r\n"));

    const RunResult run =
        RunProgram(Program, {"read", "--home", home, "--tcp",
                             QStringLiteral("127.0.0.1:%1").arg(simulator.tcpPort), "--addresses",
                             addresses, "--archives", "hour", "--from", "2026-12-08"});
    QCOMPARE(run.exitCode, 1);
    if (expectedErr == QLatin1String("<folder refused>")) {
        QVERIFY2(run.err.contains(QStringLiteral("создания папки")), qPrintable(run.err));
        QStringList outside = FilesBelow(work.path());
        outside.removeAll(QStringLiteral("meters.json"));
        outside.removeAll(QStringLiteral("outer/inner/home/OrvekData.ini"));
        QCOMPARE(outside.filter(QRegularExpression(QStringLiteral("^outer/inner/home/Protocols/")))
                     .size(),
                 1);
        // Nothing but the exchange log and the report of the read-out.
        QCOMPARE(
            outside.filter(QRegularExpression(QStringLiteral("^outer/inner/home/Reports/"))).size(),
            1);
        QCOMPARE(outside.size(), 2);
    } else {
        QCOMPARE(run.err, expectedErr);
    }
}

void TestCliRead::savedPortOutOfRange_data()
{
    // Up to 0 as it stands; above, added to the port of a listener on 127.0.0.1.
    QTest::addColumn<int>("port");
    // The first and the last day a meter can be asked for: both are no bad usage.
    QTest::addColumn<QString>("from");

    QTest::newRow("port 0") << 0 << "2000-01-01";
    QTest::newRow("the listener's port + 65536") << 65536 << "2254-12-31";
}

// A saved configuration's port the gateway cannot have ends the read-out with the code
// of a bad parameter before anything is opened: it never wraps onto another port.
void TestCliRead::savedPortOutOfRange()
{
    QFETCH(int, port);
    QFETCH(QString, from);
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    if (port > 0)
        port += listener.serverPort();

    QTemporaryDir home;
    QVERIFY(home.isValid());
    QVERIFY(WriteFile(home.filePath(QStringLiteral("OrvekData.ini")),
                      EncodeAnsi(QStringLiteral("[Узел]\r\ncbTCP=1\r\nedADDR=127.0.0.1\r\n"
                                                "sePort=%1\r\nedAddress=7\r\ncbArcHour=1\r\n")
                                     .arg(port))));
    const RunResult run =
        RunProgram(Program, {"read", "--home", home.path(), "--config", "Узел", "--from", from});
    QCOMPARE(run.err, QStringLiteral("Неверный параметр\n"));
    QCOMPARE(run.exitCode, 1);
    QString missing;
    QVERIFY2(InOrder(DayLogLines(home.path()),
                     {QStringLiteral("Порт %1 по IP адресу 127.0.0.1").arg(port),
                      QStringLiteral("Неверный параметр")},
                     missing),
             qPrintable(missing));
    QVERIFY(!listener.waitForNewConnection(0));
    QVERIFY(!QFileInfo::exists(home.filePath(QStringLiteral("Data"))));
}

void TestCliRead::badUsage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");

    QTest::newRow("unknown option") << QStringList{"--colour"} << "unknown argument: --colour";
    QTest::newRow("one dash, one word") << QStringList{"-colour"} << "unknown argument: -colour";
    QTest::newRow("switch with a value") << QStringList{"--mbus=1"} << "unknown argument: --mbus=1";
    QTest::newRow("stray word") << QStringList{"7"} << "unknown argument: 7";
    QTest::newRow("value after =") << QStringList{"--family=3"} << "--family is 0, 1 or 2";
    QTest::newRow("repeated, the first bad")
        << QStringList{"--send-pause", "-1", "--send-pause", "5"} << "--send-pause";
    QTest::newRow("family out of range") << QStringList{"--family", "3"} << "--family";
    QTest::newRow("negative pause") << QStringList{"--send-pause", "-1"} << "--send-pause";
    QTest::newRow("pause not a number") << QStringList{"--reply-pause", "fast"} << "--reply-pause";
    QTest::newRow("date") << QStringList{"--from", "2026-13-01"} << "--from";
    QTest::newRow("year before the meters'") << QStringList{"--from", "1999-12-31"} << "2000";
    QTest::newRow("year after the meters'") << QStringList{"--from", "2255-01-01"} << "2254";
    QTest::newRow("tcp without port") << QStringList{"--tcp", "127.0.0.1"} << "--tcp";
    QTest::newRow("tcp host by name") << QStringList{"--tcp", "localhost:4001"} << "IPv4";
    QTest::newRow("tcp port 0") << QStringList{"--tcp", "127.0.0.1:0"} << "port from 1 to 65535";
    QTest::newRow("tcp port beyond 16 bits")
        << QStringList{"--tcp", "127.0.0.1:70000"} << "port from 1 to 65535";
    QTest::newRow("speed") << QStringList{"--speed", "fast"} << "--speed";
    QTest::newRow("address list") << QStringList{"--addresses", "7 300"}
                                  << "--addresses: Адрес не может быть больше 250";
    QTest::newRow("tcp and serial")
        << QStringList{"--tcp", "127.0.0.1:4001", "--port", "ttyS0"} << "exclude";
    QTest::newRow("archive name") << QStringList{"--archives", "hour,weekly"} << "weekly";
    QTest::newRow("log name") << QStringList{"--logs", "all"} << "all";
    QTest::newRow("missing value") << QStringList{"--addresses"} << "needs a value";
    QTest::newRow("unknown configuration") << QStringList{"--config", "Нет такой"} << "Нет такой";
    QTest::newRow("General is no configuration") << QStringList{"--config", "general"} << "general";
}

void TestCliRead::badUsage()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QTemporaryDir home;
    QVERIFY(home.isValid());
    QVERIFY(WriteFile(home.filePath(QStringLiteral("OrvekData.ini")),
                      "[General]\r\nShowLog=1\r\n[Tst]\r\ncbTCP=1\r\n"));
    const RunResult run = RunProgram(Program, QStringList{"read", "--home", home.path()} + args);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QCOMPARE(run.out, QString());
    QVERIFY(!QDir(home.filePath(QStringLiteral("Protocols"))).exists());
}

void TestCliRead::usage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    // What the run prints: the same as another's, its start, a part of its errors.
    QTest::addColumn<QStringList>("sameAs");
    QTest::addColumn<QString>("outStart");
    QTest::addColumn<QString>("errPart");

    QTest::newRow("help read") << QStringList{"help", "read"} << 0 << QStringList{"read", "--help"}
                               << "Usage:\n  orvekdata read ["
                               << "";
    QTest::newRow("help batch") << QStringList{"help", "batch"} << 0 << QStringList{"batch", "-h"}
                                << "Usage:\n  orvekdata batch ["
                                << "";
    QTest::newRow("help scan") << QStringList{"help", "scan"} << 0 << QStringList{"scan", "--help"}
                               << "Usage:\n  orvekdata scan ["
                               << "";
    // No window: the help is all it does.
    QTest::newRow("help view") << QStringList{"help", "view"} << 0 << QStringList{"view", "--help"}
                               << "Usage:\n  orvekdata view FILE.dat"
                               << "";
    QTest::newRow("help alone") << QStringList{"help"} << 0 << QStringList{"--help"}
                                << "Usage:\n  orvekdata [--home DIR]"
                                << "";
    QTest::newRow("help on no command") << QStringList{"help", "nosuch"} << 2 << QStringList() << ""
                                        << "unknown command: nosuch";
    QTest::newRow("unknown batch option")
        << QStringList{"batch", "--colour", "--all"} << 2 << QStringList() << ""
        << "unknown batch option: --colour";
    QTest::newRow("unknown scan option")
        << QStringList{"scan", "--colour"} << 2 << QStringList() << ""
        << "unknown argument: --colour";
    QTest::newRow("unknown view option")
        << QStringList{"view", "--colour", "a.dat"} << 2 << QStringList() << ""
        << "unknown argument: --colour";
    QTest::newRow("dat2csv, two files")
        << QStringList{"dat2csv", "a.dat", "b.dat"} << 2 << QStringList() << ""
        << "unknown argument: b.dat";
}

void TestCliRead::usage()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QStringList, sameAs);
    QFETCH(QString, outStart);
    QFETCH(QString, errPart);
    // A window would need a display; a run that tried to open one fails here.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    const auto run = [&](const QStringList& arguments) {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(Program, arguments);
        RunResult result;
        if (process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit)
            result.exitCode = process.exitCode();
        result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
        result.err = QString::fromLocal8Bit(process.readAllStandardError());
        return result;
    };
    const RunResult result = run(args);
    QCOMPARE(result.exitCode, exitCode);
    if (errPart.isEmpty()) {
        QVERIFY2(result.out.startsWith(outStart), qPrintable(result.out));
        QCOMPARE(result.err, QString());
    } else {
        // The message, then the usage.
        QVERIFY2(result.err.startsWith(QStringLiteral("orvekdata: ") + errPart + u'\n'),
                 qPrintable(result.err));
        QVERIFY(result.err.contains(QStringLiteral("Usage:")));
        QCOMPARE(result.out, QString());
    }
    if (!sameAs.isEmpty()) {
        const RunResult same = run(sameAs);
        QCOMPARE(same.exitCode, exitCode);
        QCOMPARE(same.out, result.out);
        QCOMPARE(same.err, result.err);
    }
}

void TestCliRead::interruptAborts()
{
    // Ctrl+C during the hourly archive: the rows so far stay, no copy is made, the log
    // says the read-out was aborted and the exit code tells of it.
    QTemporaryDir work;
    QVERIFY(work.isValid());
    QJsonObject meter = Orvek307Meter();
    meter.insert("depth", QJsonObject{{"hourly", 500}});
    const QString meters = work.filePath(QStringLiteral("meters.json"));
    QVERIFY(WriteFile(meters, QJsonDocument(QJsonObject{{"meters", QJsonArray{meter}}}).toJson()));
    SimulatorProcess simulator(SimulatorPath);
    QVERIFY(simulator.Start({"--meters", meters, "--tcp", "127.0.0.1:0"}));
    const QString home = work.filePath(QStringLiteral("home"));

    QProcess process;
    process.start(Program, {"read", "--home", home, "--tcp",
                            QStringLiteral("127.0.0.1:%1").arg(simulator.tcpPort), "--addresses",
                            "7", "--archives", "hour", "--from", "2026-01-01"});
    QVERIFY(process.waitForStarted());
    QByteArray out;
    // The progress line of the third record shows the archive is being read.
    while (out.count(" --> ") < 3) {
        QVERIFY2(process.waitForReadyRead(20000), out.constData());
        out += process.readAllStandardOutput();
    }
    QCOMPARE(::kill(pid_t(process.processId()), SIGINT), 0);
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);

    const QStringList log = DayLogLines(home);
    QVERIFY(log.contains(QStringLiteral("Операция прервана")));
    const QStringList files = FilesBelow(home + QStringLiteral("/Data"));
    const QStringList hourly = files.filter(QRegularExpression(QStringLiteral("H0\\.")));
    QCOMPARE(hourly.size(), 1);
    QVERIFY(hourly.first().endsWith(QLatin1String(".csv")));
    const QStringList rows = DecodeAnsi(ReadBytes(home + QStringLiteral("/Data/") + hourly.first()))
                                 .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    QVERIFY2(rows.size() > 4 + 2 && rows.size() < 4 + 500,
             qPrintable(QString::number(rows.size())));
}

void TestCliRead::twoReadoutsOneFolder()
{
    // Two read-outs at once into one program folder, of one device (same name and serial
    // number) that two simulators serve with different archives: every file left is
    // wholly the one or the other read-out's, and the log lines of both stay whole.
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString home = work.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(home));
    QVERIFY(WriteFile(home + QStringLiteral("/OrvekData.ini"),
                      "[General]\r\nShowLog=1\r\nGlobalTimeOut=2000\r\nGlobalTry=1\r\n"));
    const QStringList readArgs = {"--addresses", "7",
                                  "--from",      "2026-12-01",
                                  "--archives",  "hour,day,month,integral,emergency",
                                  "--logs",      "event,protected"};

    SimulatorProcess simulators[2] = {SimulatorProcess(SimulatorPath),
                                      SimulatorProcess(SimulatorPath)};
    QProcess readouts[2];
    QString meterFiles[2];
    for (int i = 0; i < 2; ++i) {
        QJsonObject meter = Orvek307Meter();
        meter.insert("key", 11 + i);
        meter.insert("depth", QJsonObject{{"hourly", 12},
                                          {"daily", 4},
                                          {"monthly", 2},
                                          {"integral", 2},
                                          {"emergency", 2},
                                          {"events", 4},
                                          {"protected", 2}});
        meterFiles[i] = work.filePath(QStringLiteral("meters%1.json").arg(i));
        QVERIFY(WriteFile(meterFiles[i],
                          QJsonDocument(QJsonObject{{"meters", QJsonArray{meter}}}).toJson()));
        QVERIFY(simulators[i].Start({"--meters", meterFiles[i], "--tcp", "127.0.0.1:0"}));
    }
    for (int i = 0; i < 2; ++i) {
        readouts[i].setProgram(Program);
        readouts[i].setArguments(
            QStringList{"read", "--home", home, "--tcp",
                        QStringLiteral("127.0.0.1:%1").arg(simulators[i].tcpPort)} +
            readArgs);
        readouts[i].start();
    }
    for (QProcess& readout : readouts) {
        QVERIFY(readout.waitForFinished(120000));
        QCOMPARE(readout.exitStatus(), QProcess::NormalExit);
        QVERIFY2(readout.exitCode() == 0, readout.readAllStandardError().constData());
    }

    const QStringList days =
        QDir(home + QStringLiteral("/Data")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(days.size(), 1);
    QString expectedRoots[2];
    for (int i = 0; i < 2; ++i) {
        expectedRoots[i] = work.filePath(QStringLiteral("expected%1").arg(i));
        const RunResult expect =
            RunProgram(SimulatorPath, {"--meters", meterFiles[i], "--expect", expectedRoots[i],
                                       "--from", "2026-12-01", "--today", days.first()});
        QVERIFY2(expect.exitCode == 0, qPrintable(expect.err));
    }
    const QStringList expectedCsv = FilesBelow(expectedRoots[0]);
    QCOMPARE(FilesBelow(expectedRoots[1]), expectedCsv);

    // The same names as one read-out leaves, and nothing else: no temporary file.
    QStringList expectedFiles = expectedCsv;
    for (const QString& csv : expectedCsv) {
        if (!QRegularExpression(QStringLiteral("(CFG|LOGZ?)\\.csv$")).match(csv).hasMatch())
            expectedFiles.append(csv.chopped(3) + QStringLiteral("dat"));
    }
    expectedFiles.sort();
    const QStringList logs = QDir(home + QStringLiteral("/Protocols")).entryList(QDir::Files);
    QCOMPARE(logs.size(), 1);
    QStringList written = FilesBelow(home);
    written.removeAll(QStringLiteral("OrvekData.ini"));
    written.removeAll(QStringLiteral("Protocols/") + logs.first());
    // A report each, under names of their own even when both began in the same second.
    const QStringList reports = written.filter(QRegularExpression(QStringLiteral("^Reports/")));
    QCOMPARE(reports.size(), 2);
    for (const QString& report : reports)
        written.removeAll(report);
    QCOMPARE(written, expectedFiles);

    // The archives differ between the meters, so a mixed file matches neither read-out.
    int differing = 0;
    for (const QString& file : expectedFiles) {
        const bool copy = file.endsWith(QLatin1String(".dat"));
        const QString csv = copy ? file.chopped(3) + QStringLiteral("csv") : file;
        const QByteArray first = ReadBytes(expectedRoots[0] + u'/' + csv);
        const QByteArray second = ReadBytes(expectedRoots[1] + u'/' + csv);
        differing += first != second ? 1 : 0;
        QByteArray actual = ReadBytes(home + u'/' + file);
        if (copy) {
            const QString copyPath = work.filePath(QStringLiteral("copy.dat"));
            QFile::remove(copyPath);
            QVERIFY(QFile::copy(home + u'/' + file, copyPath));
            const RunResult back = RunProgram(Program, {"dat2csv", copyPath});
            QVERIFY2(back.exitCode == 0, qPrintable(file + u' ' + back.err));
            actual = ReadBytes(work.filePath(QStringLiteral("copy_1.csv")));
            QVERIFY2(actual.endsWith("    "), qPrintable(file));
            actual.chop(4);
        }
        QVERIFY2(
            actual == first || actual == second,
            qPrintable(file + QStringLiteral(" is neither read-out's:\n") + DecodeAnsi(actual)));
    }
    QVERIFY(differing >= 5);

    // Both wrote their log lines into the one file at once, each line whole: the empty
    // line that starts the file once, then the two separators, stamped lines and frames.
    const QStringList lines =
        DecodeAnsi(ReadBytes(home + QStringLiteral("/Protocols/") + logs.first()))
            .split(QStringLiteral("\r\n"));
    QCOMPARE(lines.first(), QString());
    QCOMPARE(lines.last(), QString()); // the file ends with a line break
    static const QRegularExpression stamped(QStringLiteral(
        "^---\\d\\d:\\d\\d:\\d\\d\\.\\d{3}: (?:(?:>>|<<) (?: [0-9A-F]{2})+|[^>< ].*)$"));
    int separators = 0;
    for (const QString& line : lines.mid(1, lines.size() - 2)) {
        if (line == QString(39, u'='))
            ++separators;
        else
            QVERIFY2(stamped.match(line).hasMatch(), qPrintable(line));
    }
    QCOMPARE(separators, 2);
    // They did run at once: the second read-out started before the first had its hourly
    // archive, which every file above was exposed to.
    const QStringList unstamped =
        UnstampedLogLines(home + QStringLiteral("/Protocols/") + logs.first());
    const qsizetype secondStart = unstamped.lastIndexOf(QString(39, u'='));
    const qsizetype firstHourly = unstamped.indexOf(QStringLiteral("Выполнено 12"));
    QVERIFY2(firstHourly > secondStart, "the two read-outs did not overlap");
}

void TestCliRead::batchReadsLinesSideBySide()
{
    BatchRig rig;
    QVERIFY(rig.ok);
    const QString report = rig.work.filePath(QStringLiteral("all.csv"));
    const RunResult run = RunProgram(Program,
                                     {"batch", "--home", rig.Home(), "--from", "2026-12-01",
                                      "--report=" + report, "котельная", "Подстанция", "Школа"},
                                     120000);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);

    // Every line of the day's log whole and named; each configuration's own lines are
    // those a read-out of it alone writes.
    const QStringList logs = QDir(rig.Home() + QStringLiteral("/Protocols")).entryList(QDir::Files);
    QCOMPARE(logs.size(), 1);
    const QStringList raw =
        DecodeAnsi(ReadBytes(rig.Home() + QStringLiteral("/Protocols/") + logs.first()))
            .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    static const QRegularExpression whole(
        QStringLiteral("^\\[(Котельная|Подстанция|Школа)\\] (={39}|---(\\d\\d:\\d\\d:"
                       "\\d\\d\\.\\d{3}): .+)$"));
    QMap<QString, BatchLog> byName;
    for (const QString& line : raw) {
        const QRegularExpressionMatch m = whole.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        BatchLog& log = byName[m.captured(1)];
        log.lines.append(line.mid(m.capturedStart(2)));
        if (!m.captured(3).isEmpty()) {
            const QTime t = QTime::fromString(m.captured(3), QStringLiteral("HH:mm:ss.zzz"));
            if (!log.first.isValid())
                log.first = t;
            log.last = t;
        }
    }
    QCOMPARE(byName.size(), 3);
    // One gateway serves one read-out at a time; the other gateway's runs alongside.
    const BatchLog& boiler = byName[QStringLiteral("Котельная")];
    const BatchLog& substation = byName[QStringLiteral("Подстанция")];
    const BatchLog& school = byName[QStringLiteral("Школа")];
    QVERIFY(boiler.last <= substation.first);
    QVERIFY(school.first < boiler.last && boiler.first < school.last);

    // Standard output: the same lines under the same names, and the summary.
    for (const QString name : {"Котельная", "Подстанция", "Школа"}) {
        QVERIFY(run.out.contains(u'[' + name + QStringLiteral("] ") + byName[name].lines.first()));
        QVERIFY2(run.out.contains(QRegularExpression(
                     u'\n' + name + QStringLiteral(" +tcp 127\\.0\\.0\\.1:\\d+ +read +1/1 "))),
                 qPrintable(run.out));
    }

    // The files are those each configuration gives when read alone.
    for (const char* name : {"Котельная", "Подстанция", "Школа"}) {
        const RunResult alone =
            RunProgram(Program, {"read", "--home", rig.Twin(), "--config", QString::fromUtf8(name),
                                 "--from", "2026-12-01"});
        QCOMPARE(alone.exitCode, 0);
    }
    const QStringList files = FilesBelow(rig.Home() + QStringLiteral("/Data"));
    QCOMPARE(files, FilesBelow(rig.Twin() + QStringLiteral("/Data")));
    QCOMPARE(files.filter(QStringLiteral(".csv")).size(), 6);
    for (const QString& file : files.filter(QStringLiteral(".csv")))
        QCOMPARE(ReadBytes(rig.Home() + QStringLiteral("/Data/") + file),
                 ReadBytes(rig.Twin() + QStringLiteral("/Data/") + file));

    // The report: a row per meter, the holes and the clock ahead where they are.
    const QStringList rows =
        DecodeAnsi(ReadBytes(report)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    QCOMPARE(rows.size(), 4);
    const QStringList header = rows[0].split(u';');
    const auto cell = [&](int row, const QString& heading) {
        return rows[row].split(u';').value(header.indexOf(heading));
    };
    QCOMPARE(cell(1, QStringLiteral("Конфигурация")), QStringLiteral("Котельная"));
    QCOMPARE(cell(1, QStringLiteral("Часовой: пропусков")), QStringLiteral("2"));
    QCOMPARE(cell(1, QStringLiteral("Часовой: пропущены")),
             rig.holes[0].toString(QStringLiteral("dd.MM.yyyy HH:mm, ")) +
                 rig.holes[1].toString(QStringLiteral("dd.MM.yyyy HH:mm")));
    QCOMPARE(cell(1, QStringLiteral("Часовой: записей")), QStringLiteral("38"));
    const int drift = cell(1, QStringLiteral("Уход часов, с")).toInt();
    QVERIFY2(drift > 540 && drift <= 601, qPrintable(QString::number(drift)));
    QCOMPARE(cell(1, QStringLiteral("Часы сбиты")), QStringLiteral("да"));
    QCOMPARE(cell(2, QStringLiteral("Конфигурация")), QStringLiteral("Подстанция"));
    QCOMPARE(cell(2, QStringLiteral("Суточный: пропусков")), QStringLiteral("0"));
    QCOMPARE(cell(3, QStringLiteral("Конфигурация")), QStringLiteral("Школа"));
    QCOMPARE(cell(3, QStringLiteral("Часовой: пропусков")), QStringLiteral("0"));
    QCOMPARE(cell(3, QStringLiteral("Часы сбиты")), QStringLiteral("да")); // its clock stands
}

void TestCliRead::batchFailures()
{
    BatchRig rig;
    QVERIFY(rig.ok);
    // A name the file does not have is bad usage, found before any line is opened.
    RunResult run = RunProgram(Program, {"batch", "--home", rig.Home(), "Котельная", "Баня"});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(QStringLiteral("\"Баня\"")), qPrintable(run.err));
    QVERIFY(!QFileInfo::exists(rig.Home() + QStringLiteral("/Protocols")));
    for (const QStringList& args :
         {QStringList{"batch", "--home", rig.Home()}, QStringList{"batch", "--jobs", "0", "--all"},
          QStringList{"batch", "--from", "2026-13-01", "--all"}}) {
        run = RunProgram(Program, args);
        QCOMPARE(run.exitCode, 2);
    }

    // A silent address fails its configuration alone.
    run = RunProgram(
        Program, {"batch", "--home=" + rig.Home(), "--from=2026-12-07", "Пустой адрес", "Школа"},
        120000);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(QStringLiteral("[Пустой адрес] Нет ответа")), qPrintable(run.err));
    QVERIFY2(run.out.contains(QRegularExpression(QStringLiteral("\nПустой адрес +tcp \\S+ +failed "
                                                                "+0/1 "))),
             qPrintable(run.out));
    QVERIFY2(run.out.contains(QRegularExpression(QStringLiteral("\nШкола +tcp \\S+ +read +1/1 "))),
             qPrintable(run.out));
}

void TestCliRead::batchInterrupted()
{
    BatchRig rig;
    QVERIFY(rig.ok);
    QProcess batch;
    batch.start(Program, {"batch", "--home", rig.Home(), "--from", "2026-01-01", "--all"});
    QVERIFY(batch.waitForStarted());
    QByteArray out;
    // Once records are being read, Ctrl+C: every read-out aborts, nothing more starts.
    while (out.count(" --> ") < 2) {
        QVERIFY2(batch.waitForReadyRead(20000), out.constData());
        out += batch.readAllStandardOutput();
    }
    QCOMPARE(::kill(pid_t(batch.processId()), SIGINT), 0);
    QVERIFY(batch.waitForFinished(30000));
    QCOMPARE(batch.exitStatus(), QProcess::NormalExit);
    QCOMPARE(batch.exitCode(), 1);
    out += batch.readAllStandardOutput();
    const QString text = QString::fromLocal8Bit(out);
    QVERIFY2(text.contains(QStringLiteral("Операция прервана")), qPrintable(text));
    // The configurations that waited for their line never started.
    QVERIFY2(text.contains(QRegularExpression(QStringLiteral("\nПодстанция +tcp \\S+ +aborted "))),
             qPrintable(text));
    QVERIFY(!text.contains(QStringLiteral("[Подстанция]")));
}

void TestCliRead::scanFindsTheMeters()
{
    // One meter of each family at scattered addresses, one that answers its model
    // register with an exception; the ОРВЕК-307's clock two minutes ahead.
    QTemporaryDir work;
    QVERIFY(work.isValid());
    QJsonObject orvek = Orvek307Meter();
    orvek.insert("address", 5);
    orvek.insert("clock", QDateTime::currentDateTime().addSecs(120).toString(
                              QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
    QJsonObject ilm = IlmMeter();
    ilm.insert("address", 17);
    QJsonObject orvek223 = Orvek213Meter(223);
    orvek223.insert("address", 200);
    QJsonObject refusing = Orvek307Meter();
    refusing.insert("address", 9);
    refusing.insert("faults", QJsonObject{{"exceptionRegister", 1800}, {"exceptionCode", 4}});
    const QString meters = work.filePath(QStringLiteral("meters.json"));
    QVERIFY(WriteFile(
        meters, QJsonDocument(QJsonObject{{"meters", QJsonArray{orvek, ilm, orvek223, refusing}}})
                    .toJson()));
    SimulatorProcess plain(SimulatorPath);
    QVERIFY(plain.Start({"--meters", meters, "--tcp", "127.0.0.1:0"}));
    SimulatorProcess echoing(SimulatorPath);
    QVERIFY(echoing.Start({"--meters", meters, "--tcp", "127.0.0.1:0", "--echo"}));
    const QString home = work.filePath(QStringLiteral("home"));
    const QString addresses = QStringLiteral("3-6 9 16-18 199-201");

    for (SimulatorProcess* line : {&plain, &echoing}) {
        const RunResult run = RunProgram(
            Program, {"scan", "--home", home, "--tcp",
                      QStringLiteral("127.0.0.1:%1").arg(line->tcpPort), "--addresses", addresses});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.err.contains(QStringLiteral("--mbus")), line == &echoing);
        const QStringList rows = run.out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 5);
        QCOMPARE(rows[0], QStringLiteral("address;family;device;serial;clock;drift"));
        QVERIFY2(rows[1].startsWith(QStringLiteral("5;0;ОРВЕК-307;AB123456;")),
                 qPrintable(rows[1]));
        const qint64 drift = rows[1].section(u';', 5).toLongLong();
        QVERIFY2(drift > 60 && drift <= 121, qPrintable(rows[1]));
        QCOMPARE(rows[2], QStringLiteral("9;;Ответ - ошибка 4;;;"));
        QVERIFY2(rows[3].startsWith(QStringLiteral("17;1;ИЛЬМ-4;20190719;08.12.2026 10:00:")),
                 qPrintable(rows[3]));
        QVERIFY2(
            rows[4].startsWith(QStringLiteral("200;2;ОРВЕК-223;22304518;08.12.2026 10:30:00;")),
            qPrintable(rows[4]));
    }

    // No meter in the range (the values after "="); bad usage.
    RunResult run = RunProgram(Program, {"scan", "--home=" + home,
                                         QStringLiteral("--tcp=127.0.0.1:%1").arg(plain.tcpPort),
                                         "--addresses=50-52"});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QStringLiteral("address;family;device;serial;clock;drift\n"));
    for (const QStringList& args :
         {QStringList{"scan", "--family", "1"}, QStringList{"scan", "--addresses", "300"},
          QStringList{"scan", "--wait", "0"}, QStringList{"scan", "--colour"}}) {
        run = RunProgram(Program, args);
        QCOMPARE(run.exitCode, 2);
    }
}

void TestCliRead::unusableProgramFolder_data()
{
    QTest::addColumn<QStringList>("args"); // after the command, before --home
    QTest::newRow("read") << QStringList{"read", "--tcp", "127.0.0.1:1"};
    QTest::newRow("scan") << QStringList{"scan", "--tcp", "127.0.0.1:1"};
    QTest::newRow("batch") << QStringList{"batch", "--all"};
}

// A program folder that cannot be made (here below a file) is named before anything is
// begun, and nothing is written anywhere.
void TestCliRead::unusableProgramFolder()
{
    QFETCH(QStringList, args);
    QTemporaryDir work;
    QVERIFY(work.isValid());
    QVERIFY(WriteFile(work.filePath(QStringLiteral("file")), "x"));
    const QString home = work.filePath(QStringLiteral("file/OrvekData"));
    const RunResult run = RunProgram(Program, args + QStringList{"--home", home});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.err, QStringLiteral("orvekdata: Нет доступа на запись в папку данных программы ") +
                          QDir::toNativeSeparators(home + u'/') +
                          QStringLiteral(": проверьте права на папку и место на диске\n"));
    QCOMPARE(run.out, QString());
    QCOMPARE(FilesBelow(work.path()), QStringList{"file"});
}

QTEST_MAIN(TestCliRead)
#include "tst_cli_read.moc"
