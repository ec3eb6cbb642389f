#include "AnsiCodec.h"
#include "DeviceDriver.h"
#include "ExchangeLog.h"
#include "ExpectedFiles.h"
#include "ExportFiles.h"
#include "LogFile.h"
#include "MemoryLine.h"
#include "MeterBus.h"
#include "OffThread.h"
#include "ReadoutSession.h"
#include "ReadoutSteps.h"
#include "SessionEvents.h"
#include "SimServer.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// The simulator's expected files against what the program's read-out writes from the
// same meters: byte for byte, every file of a read-out with everything ticked.

namespace {

const QDate Today(2026, 12, 2);
const QDate StartDay(2026, 12, 1);

class SilentEvents : public SessionEvents
{
public:
    void ShowError(const QString& text) override { errors.append(text); }
    void ShowIoError(const QString& text) override { errors.append(text); }

    QStringList errors;
};

// The line a read-out runs on: the simulator's meters answering in memory, or the
// simulator's own pseudo-terminal.
enum class Transport { Memory, Pty };

// The program's read-out of the simulator's meters, its clock pinned to Today.
struct Rig
{
    explicit Rig(const QByteArray& meterFile, Transport transport = Transport::Memory,
                 int tries = 1)
        : log(home.path() + u'/', [] { return Now(); }), transport(transport)
    {
        ready = home.isValid() && server.LoadMeterFile(meterFile, error);
        LineConfig line;
        line.baudRate = 19200;
        line.globalTimeOut = 300;
        line.localTimeOut = 30;
        line.globalTry = tries;
        // The stand-in meters take requests back to back.
        line.sendPause = 0;
        line.replyPause = 0;
        std::unique_ptr<Line> own;
        if (transport == Transport::Pty) {
            ready = ready && server.OpenPty(QString(), error);
            line.comPort = server.PtyPath();
        } else {
            auto memory = std::make_unique<MemoryLine>();
            memory->SetResponder(MemoryResponder(server));
            own = std::move(memory);
            line.comPort = QStringLiteral("memory");
        }
        session = std::make_unique<ReadoutSession>(
            home.path() + u'/', log, events, line, planSource, [] { return Now(); },
            &ExportFiles::MillisecondTick, std::move(own));
        plan.startDate = StartDay;
        plan.archiveHourly = plan.archiveDaily = plan.archiveMonthly = true;
        plan.archiveIntegral = plan.archiveEmergency = true;
        plan.eventLog = plan.protectedLog = true;
    }

    static QDateTime Now() { return QDateTime(Today, QTime(12, 0)); }

    void Read(const Meter& meter)
    {
        plan.family = meter.Family();
        plan.addressText = QString::number(meter.Address());
        // Every log and the integral and emergency archives the family offers.
        const DeviceDriver& driver = *session->drivers.Find(meter.Family());
        for (const ReadoutBox box : {ReadoutBox::Integral, ReadoutBox::Emergency,
                                     ReadoutBox::EventLog, ReadoutBox::ProtectedLog})
            BoxIn(plan, box) = BoxOffered(driver, box);
        Run();
    }

    // The read-out of the plan as it stands. The simulator's pseudo-terminal is served by
    // this thread's event loop, so the session runs on a thread of its own there.
    void Run()
    {
        planSource.Update(plan);
        if (transport == Transport::Pty)
            OffThread([this] { session->Run(); });
        else
            session->Run();
    }

    // The CSV files below Data, by path.
    QMap<QString, QByteArray> CsvFiles() const
    {
        QMap<QString, QByteArray> found;
        QDirIterator it(home.path() + QStringLiteral("/Data"), {QStringLiteral("*.csv")},
                        QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (file.open(QIODevice::ReadOnly))
                found.insert(QDir(home.path()).relativeFilePath(file.fileName()), file.readAll());
        }
        return found;
    }

    QTemporaryDir home;
    SimServer server;
    ExchangeLog log;
    SilentEvents events;
    ReadoutPlan plan;
    PlanSource planSource;
    Transport transport;
    std::unique_ptr<ReadoutSession> session;
    bool ready = false;
    QString error;
};

QByteArray MeterFile(const QJsonArray& meters)
{
    return QJsonDocument(QJsonObject{{"meters", meters}}).toJson();
}

// The demo meters, each with its clock pinned.
QByteArray DemoMeters()
{
    QFile file(QStringLiteral(METERSIM_DEMO));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QJsonArray meters = QJsonDocument::fromJson(file.readAll()).object().value("meters").toArray();
    for (QJsonValueRef meter : meters) {
        QJsonObject object = meter.toObject();
        object.insert("clock", "2026-12-01T12:15:00");
        if (object.value("family").toInt() == 2)
            object.insert("clockRuns", false);
        meter = object;
    }
    return MeterFile(meters);
}

// Where two sets of files part: the first path or line that differs.
QString FirstDifference(const QMap<QString, QByteArray>& actual,
                        const QMap<QString, QByteArray>& expected)
{
    if (actual.keys() != expected.keys())
        return QStringLiteral("files\n  program:   %1\n  simulator: %2")
            .arg(actual.keys().join(u' '), expected.keys().join(u' '));
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QByteArray& bytes = actual.value(it.key());
        if (bytes == it.value())
            continue;
        const QList<QByteArray> got = bytes.split('\n');
        const QList<QByteArray> want = it.value().split('\n');
        for (qsizetype i = 0; i < qMax(got.size(), want.size()); ++i) {
            if (got.value(i) != want.value(i))
                return QStringLiteral("%1 line %2\n  program:   %3\n  simulator: %4")
                    .arg(it.key())
                    .arg(i + 1)
                    .arg(DecodeAnsi(got.value(i)), DecodeAnsi(want.value(i)));
        }
    }
    return QString();
}

} // namespace

class TestSimExpect : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void matchesReadout_data();
    void matchesReadout();
    void noisyLine_data();
    void noisyLine();
    void positionNotRecovered();
    void expectCommand();
};

void TestSimExpect::initTestCase()
{
    // A decimal comma, as on the systems the program is made for.
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
}

void TestSimExpect::matchesReadout_data()
{
    QTest::addColumn<QByteArray>("meterFile");
    QTest::addColumn<QStringList>("emptyFiles"); // files with no record
    QTest::addColumn<int>("transport");          // Memory unless told

    // The archives are kept short; each also holds records from before the start day.
    QTest::newRow("demo meters") << DemoMeters() << QStringList() << int(Transport::Memory);
    // The same over the simulator's pseudo-terminal, the session on a thread of its own.
    QTest::newRow("demo meters over the pseudo-terminal")
        << DemoMeters() << QStringList() << int(Transport::Pty);

    // Unknown model, every code group with tariffs, channel 16, codes without a kind,
    // system names (one with trailing blanks) that also name 0xB1 and 0xC3, which have no
    // kind (so the header has more names than the lines cells), descriptor names with
    // blanks and ';', log texts with ';', of full length and empty, a protected log with
    // nothing new.
    const QJsonObject orvek307{
        {"family", 0},
        {"address", 7},
        {"model", 305},
        {"serial", "A 7-0001"},
        {"clock", "2026-12-02T03:15:42"},
        {"layout",
         QJsonArray{0x10, 0x1F, 0x2F, 0x3A, 0x4F, 0x5F, 0x60, 0x71, 0x82, 0x93, 0xC0, 0xB0, 0xD1,
                    0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xE5, 0xA0, 0xD0, 0xC0, 0xB0, 0xC0, 0xB1, 0xC3}},
        {"names", QJsonObject{{"0x201", "Подача    "}, {"0x210", "V;16"}, {"0x30B", " T11"}}},
        {"systems", QJsonArray{"ТС1  ", "Котельная", "Цех", "Насосная"}},
        {"key", 31},
        {"depth",
         QJsonObject{
             {"hourly", 6}, {"daily", 5}, {"monthly", 3}, {"integral", 3}, {"emergency", 6}}},
        {"events",
         QJsonArray{QJsonObject{{"time", "2026-11-30T23:59:59"}, {"text", "до начала"}},
                    QJsonObject{{"time", "2026-12-01T00:00:00"}, {"text", "Вкл;Сеть;"}},
                    QJsonObject{{"time", "2026-12-01T13:45:12"}, {"text", QString(220, u'Ж')}},
                    QJsonObject{{"time", "2026-12-02T01:00:00"}, {"text", ""}}}},
        {"protected",
         QJsonArray{QJsonObject{{"time", "2026-11-30T12:00:00"}, {"text", "Смена пароля"}}}},
    };
    QTest::newRow("ОРВЕК-307") << MeterFile({orvek307}) << QStringList{"1202LOGZ.csv"}
                               << int(Transport::Memory);
    // The serial number's letters are Windows-1251, as every text the meter holds.
    QJsonObject cyrillicSerial = orvek307;
    cyrillicSerial.insert("serial", "Зав№1234");
    cyrillicSerial.insert("depth", QJsonObject{{"hourly", 1}});
    QTest::newRow("ОРВЕК-307 serial beyond ASCII")
        << MeterFile({cyrillicSerial}) << QStringList{"1202LOGZ.csv"} << int(Transport::Memory);
    // A meter's texts with what would break a file: a serial number padded with zero
    // bytes (the text before them names its folder), ';', line breaks and other control
    // characters in names and events.
    QJsonObject unsafeTexts = orvek307;
    unsafeTexts.insert("serial", QString::fromUtf16(u"AB12\0\0\0\0", 8));
    unsafeTexts.insert("names", QJsonObject{{"0x201", "V;1\r\n"}, {"0x210", "T\t\x01"}});
    unsafeTexts.insert("events", QJsonArray{QJsonObject{{"time", "2026-12-01T05:00:00"},
                                                        {"text", "Вкл\r\nСеть;\x7f"}}});
    unsafeTexts.insert("depth", QJsonObject{{"hourly", 2}});
    QTest::newRow("ОРВЕК-307 texts that would break a file")
        << MeterFile({unsafeTexts}) << QStringList{"1202LOGZ.csv"} << int(Transport::Memory);

    // Names that run on into the next field (5 bytes and more), a column-4 name whose
    // letter gives no kind, hex flag words, serial numbers printed from numbers.
    QTest::newRow("ИЛЬМ")
        << MeterFile({QJsonObject{
               {"family", 1},
               {"address", 9},
               {"model", 0},
               {"serial", QJsonArray{12, 0, 7, 19, 0, 0, 1, 255}},
               {"clock", "2026-12-01T03:30:00"},
               {"key", 107},
               {"depth", QJsonObject{{"hourly", 10}, {"daily", 5}, {"monthly", 3}}},
               {"fields", QJsonArray{"НС1", "Tр1", "Q отопления", "", "", "V2", "t1", "t2", "P1",
                                     "P2", QJsonObject{{"slot", 14}, {"name", "Qx"}},
                                     QJsonObject{{"slot", 15}, {"name", "G2"}},
                                     QJsonObject{{"slot", 24}, {"name", "Eнас"}},
                                     QJsonObject{{"slot", 59}, {"name", "P9"}}}},
           }})
        << QStringList() << int(Transport::Memory);

    // Model 213 (one-byte status), a serial number beyond ASCII, more than 20 slots,
    // codes without a kind, event codes with gaps, unnamed and unknown codes, and a full
    // list of 20.
    QTest::newRow("ОРВЕК-213")
        << MeterFile({QJsonObject{
               {"family", 2},
               {"address", 11},
               {"model", 213},
               {"serial", "Зав№1234"},
               {"clock", "2026-12-02T02:00:00"},
               {"clockRuns", false},
               {"key", 2},
               {"layout", QJsonArray{"0x10", "0x11", "0x20", "0x31", "0x42", "0x50", "0x60", "0x7F",
                                     "0x80", "0x91", "0xA3", "0xC0", "0xD1", "0xD6", "0xB0", "0xC0",
                                     "0xD2", "0xD3", "0xD4", "0xD5", "0xB0", "0x12", "0xC0"}},
               {"depth", QJsonObject{{"hourly", 8},
                                     {"daily", 4},
                                     {"monthly", 2},
                                     {"integralDaily", 4},
                                     {"integralMonthly", 2}}},
               {"events",
                QJsonArray{
                    QJsonObject{{"time", "2026-11-30T22:00:00"}, {"codes", QJsonArray{5}}},
                    QJsonObject{{"time", "2026-12-01T00:00:00"}, {"codes", QJsonArray{1, 5, 6}}},
                    QJsonObject{{"time", "2026-12-01T05:00:00"}, {"codes", QJsonArray{5, 1, 6}}},
                    QJsonObject{{"time", "2026-12-01T07:00:00"}, {"codes", QJsonArray{0, 5}}},
                    QJsonObject{{"time", "2026-12-01T08:00:00"}, {"codes", QJsonArray{20, 255}}},
                    QJsonObject{{"time", "2026-12-02T01:00:00"},
                                {"codes", QJsonArray{19, 18, 17, 16, 15, 14, 13, 12, 11, 10,
                                                     9,  8,  7,  6,  5,  4,  3,  2,  1,  19}}}}},
           }})
        << QStringList() << int(Transport::Memory);

    // A model the program does not know: its records are refused from the first one on.
    QTest::newRow("ОРВЕК-213/223 unknown model")
        << MeterFile({QJsonObject{
               {"family", 2},
               {"address", 12},
               {"model", 307},
               {"clock", "2026-12-02T02:00:00"},
               {"clockRuns", false},
               {"depth", QJsonObject{{"hourly", 5}}},
           }})
        << QStringList{"1202H0.csv"} << int(Transport::Memory);
}

void TestSimExpect::matchesReadout()
{
    QFETCH(QByteArray, meterFile);
    QFETCH(QStringList, emptyFiles);
    QFETCH(int, transport);
    Rig rig(meterFile, Transport(transport));
    QVERIFY2(rig.ready, qPrintable(rig.error));

    QMap<QString, QByteArray> expected;
    for (const auto& meter : rig.server.Meters()) {
        expected.insert(ExpectedFiles(meter->Expected(StartDay), Today));
        rig.Read(*meter);
    }
    const QMap<QString, QByteArray> actual = rig.CsvFiles();
    const QString difference = FirstDifference(actual, expected);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    // The files hold records, but for those that should not.
    QStringList empty;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (it.value().count('\n') == 4)
            empty.append(it.key().section(u'/', -1));
    }
    QCOMPARE(empty, emptyFiles);

    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        const QList<QByteArray> lines = it.value().split('\n');
        for (const QByteArray& line : lines) {
            // No line of a file is broken or cut short by a meter's text.
            QVERIFY2(line.isEmpty() || line.endsWith('\r'), qPrintable(it.key()));
            QVERIFY2(!line.chopped(line.isEmpty() ? 0 : 1).contains('\r'), qPrintable(it.key()));
            QVERIFY2(!line.contains('\0'), qPrintable(it.key()));
        }
        // An ИЛЬМ archive: the header and every record have the same columns.
        if (it.key().contains(QStringLiteral("ИЛЬМ")) && !it.key().endsWith("CFG.csv")) {
            for (qsizetype i = 4; i < lines.size() - 1; ++i)
                QVERIFY2(lines.at(i).count(';') == lines.at(3).count(';'),
                         qPrintable(it.key() + QStringLiteral(" line %1").arg(i + 1)));
        }
    }
}

void TestSimExpect::noisyLine_data()
{
    QTest::addColumn<QJsonObject>("faults");

    for (const int every : {2, 3}) {
        QTest::addRow("every %d. next-record reply damaged", every)
            << QJsonObject{{"corruptNextEvery", every}};
    }
    QTest::newRow("every 3. reply damaged") << QJsonObject{{"corruptCrcEvery", 3}};
}

// A line that loses replies brings home the same files as a clean one: every record
// exactly once, in order.
void TestSimExpect::noisyLine()
{
    QFETCH(QJsonObject, faults);
    // One meter of each family. Events share hours (one text at two of them), so that only
    // their texts tell them apart when reading goes on after a lost reply.
    const QJsonObject orvek307{
        {"family", 0},
        {"address", 4},
        {"model", 307},
        {"serial", "N0000151"},
        {"clock", "2026-12-02T03:15:42"},
        {"layout", QJsonArray{0x10, 0x11, 0x30}},
        {"key", 3},
        {"depth",
         QJsonObject{
             {"hourly", 6}, {"daily", 2}, {"monthly", 1}, {"integral", 1}, {"emergency", 1}}},
        {"events", QJsonArray{QJsonObject{{"time", "2026-12-01T05:00:00"}, {"text", "Вкл"}},
                              QJsonObject{{"time", "2026-12-01T05:00:00"}, {"text", "Сеть"}},
                              QJsonObject{{"time", "2026-12-01T05:00:00"}, {"text", "Откл"}},
                              QJsonObject{{"time", "2026-12-01T07:00:00"}, {"text", "Вкл"}},
                              QJsonObject{{"time", "2026-12-01T09:00:00"}, {"text", "Сеть"}},
                              QJsonObject{{"time", "2026-12-01T09:00:00"}, {"text", "Вкл"}},
                              QJsonObject{{"time", "2026-12-02T01:00:00"}, {"text", "Откл"}}}},
        {"protected", QJsonArray{QJsonObject{{"time", "2026-12-01T10:00:00"}, {"text", "П1"}},
                                 QJsonObject{{"time", "2026-12-01T10:00:00"}, {"text", "П2"}}}},
    };
    const QJsonObject ilm{
        {"family", 1},
        {"address", 2},
        {"model", 4},
        {"serial", "20190719"},
        {"clock", "2026-12-02T03:00:00"},
        {"key", 5},
        {"depth", QJsonObject{{"hourly", 6}, {"daily", 2}, {"monthly", 2}}},
    };
    const QJsonObject orvek223{
        {"family", 2},
        {"address", 3},
        {"model", 223},
        {"serial", "22304518"},
        {"clock", "2026-12-02T03:30:00"},
        {"clockRuns", false},
        {"key", 9},
        {"depth", QJsonObject{{"hourly", 5},
                              {"daily", 2},
                              {"monthly", 1},
                              {"integralDaily", 2},
                              {"integralMonthly", 1}}},
        {"events",
         QJsonArray{QJsonObject{{"time", "2026-12-01T04:00:00"}, {"codes", QJsonArray{1}}},
                    QJsonObject{{"time", "2026-12-01T04:00:00"}, {"codes", QJsonArray{5, 6}}},
                    QJsonObject{{"time", "2026-12-01T06:00:00"}, {"codes", QJsonArray{1}}},
                    QJsonObject{{"time", "2026-12-02T02:00:00"}, {"codes", QJsonArray{2}}}}},
    };
    Rig rig(MeterFile({orvek307, ilm, orvek223}), Transport::Memory, 5);
    QVERIFY2(rig.ready, qPrintable(rig.error));
    FaultSettings lineFaults;
    QVERIFY(FaultSettings::FromJson(faults, lineFaults, rig.error));
    rig.server.SetLineFaults(lineFaults);

    QMap<QString, QByteArray> expected;
    for (const auto& meter : rig.server.Meters()) {
        expected.insert(ExpectedFiles(meter->Expected(StartDay), Today));
        rig.Read(*meter);
    }
    QCOMPARE(rig.events.errors, QStringList());
    const QString difference = FirstDifference(rig.CsvFiles(), expected);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

// A meter that refuses the start date it needs to be positioned again: the archive ends
// with that failure, shown and logged, and its file holds the records read before.
void TestSimExpect::positionNotRecovered()
{
    QJsonObject meter{
        {"family", 0},
        {"address", 5},
        {"model", 307},
        {"serial", "P0000001"},
        {"clock", "2026-12-02T03:15:42"},
        {"layout", QJsonArray{0x10, 0x11}},
        {"key", 8},
        {"depth", QJsonObject{{"hourly", 12}}},
        {"faults", QJsonObject{{"corruptNextEvery", 4}, {"startDateLimit", 1}}},
    };
    Rig rig(MeterFile({meter}));
    QVERIFY2(rig.ready, qPrintable(rig.error));
    rig.plan.archiveDaily = rig.plan.archiveMonthly = false;
    rig.plan.archiveIntegral = rig.plan.archiveEmergency = false;
    rig.plan.eventLog = rig.plan.protectedLog = false;
    rig.plan.family = 0;
    rig.plan.addressText = QStringLiteral("5");
    rig.Run();

    QCOMPARE(rig.events.errors, QStringList{QStringLiteral("Ответ - ошибка 4")});
    // The first record and three read next (16:00 to 19:00 of the first day); the fourth
    // next-record read is lost.
    const QString h0 = QStringLiteral("Data/2026-12-02/ОРВЕК-307/P0000001/1202H0.csv");
    const QByteArray written = rig.CsvFiles().value(h0);
    const QByteArray whole =
        ExpectedFiles(rig.server.Meters().front()->Expected(StartDay), Today).value(h0);
    QCOMPARE(written.count('\n'), 4 + 4);
    QVERIFY(whole.startsWith(written));
    QVERIFY(whole.size() > written.size());

    QString missing;
    QVERIFY2(InOrder(UnstampedLogLines(rig.log.LogFilePath(Today)),
                     {QStringLiteral("Чтение почасового архива"),
                      QStringLiteral("Восстановление позиции чтения с 01.12.2026 20:00"),
                      QStringLiteral("Позиция чтения не восстановлена"),
                      QStringLiteral("Ответ - ошибка 4"), QStringLiteral("Выполнено 4")},
                     missing),
             qPrintable(missing));
}

void TestSimExpect::expectCommand()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString meters = dir.filePath(QStringLiteral("meters.json"));
    QFile file(meters);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(DemoMeters());
    file.close();

    QProcess sim;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("ru_RU.UTF-8"));
    sim.setProcessEnvironment(env);
    const QString out = dir.filePath(QStringLiteral("out"));
    sim.start(QStringLiteral(METERSIM_PATH),
              {"--meters", meters, "--expect", out, "--from", StartDay.toString(Qt::ISODate),
               "--today", Today.toString(Qt::ISODate)});
    QVERIFY(sim.waitForFinished(30000));
    QCOMPARE(sim.exitCode(), 0);

    SimServer server;
    QString error;
    QVERIFY2(server.LoadMeterFile(DemoMeters(), error), qPrintable(error));
    QMap<QString, QByteArray> expected;
    for (const auto& meter : server.Meters())
        expected.insert(ExpectedFiles(meter->Expected(StartDay), Today));
    QMap<QString, QByteArray> written;
    QDirIterator it(out, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile found(it.next());
        QVERIFY(found.open(QIODevice::ReadOnly));
        written.insert(QDir(out).relativeFilePath(found.fileName()), found.readAll());
    }
    QCOMPARE(written.size(), 8 + 4 + 7);
    QVERIFY(written == expected);

    // Without the day of the read-out nothing is written.
    const QString none = dir.filePath(QStringLiteral("none"));
    sim.start(QStringLiteral(METERSIM_PATH),
              {"--meters", meters, "--expect", none, "--from", "2026-12-08"});
    QVERIFY(sim.waitForFinished(30000));
    QVERIFY(sim.exitCode() != 0);
    QVERIFY(sim.readAllStandardError().contains("--today"));
    QVERIFY(!QFileInfo::exists(none));
}

QTEST_GUILESS_MAIN(TestSimExpect)
#include "tst_sim_expect.moc"
