#include "AnsiCodec.h"
#include "ExportFiles.h"
#include "ReadoutReport.h"
#include "TextFormat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

namespace {

QDateTime At(const char* iso)
{
    const QDateTime t = QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate);
    return CalendarDateTime(t.date(), t.time());
}

QList<QDateTime> Times(const QStringList& isos)
{
    QList<QDateTime> times;
    for (const QString& iso : isos)
        times.append(At(iso.toLatin1().constData()));
    return times;
}

} // namespace

class TestReadoutReport : public QObject
{
    Q_OBJECT

private slots:
    void holes_data();
    void holes();
    void csv();
    void reportNamesOfTheSameSecond();
    void reportWholeOrNotAtAll_data();
    void reportWholeOrNotAtAll();
};

void TestReadoutReport::holes_data()
{
    QTest::addColumn<int>("period");
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<int>("missing");
    QTest::addColumn<QStringList>("listed");

    const int hour = int(SourceReport::Period::Hour);
    const int day = int(SourceReport::Period::Day);
    const int month = int(SourceReport::Period::Month);
    QTest::newRow("hours without a gap")
        << hour << QStringList{"2026-12-09T22:00", "2026-12-09T23:00", "2026-12-10T00:00"} << 0
        << QStringList{};
    QTest::newRow("two hours missing across midnight")
        << hour << QStringList{"2026-12-09T22:00", "2026-12-10T01:00", "2026-12-10T02:00"} << 2
        << QStringList{"2026-12-09T23:00", "2026-12-10T00:00"};
    QTest::newRow("a long gap lists the first five")
        << hour << QStringList{"2026-12-01T00:00", "2026-12-02T00:00"} << 23
        << QStringList{"2026-12-01T01:00", "2026-12-01T02:00", "2026-12-01T03:00",
                       "2026-12-01T04:00", "2026-12-01T05:00"};
    QTest::newRow("days, the record time within its day")
        << day << QStringList{"2026-02-27T00:00", "2026-03-02T00:00"} << 2
        << QStringList{"2026-02-28T00:00", "2026-03-01T00:00"};
    QTest::newRow("months across a year")
        << month << QStringList{"2025-11-01T00:00", "2026-02-01T00:00"} << 2
        << QStringList{"2025-12-01T00:00", "2026-01-01T00:00"};
    QTest::newRow("a repeated time is no gap")
        << hour << QStringList{"2026-12-09T10:00", "2026-12-09T10:00", "2026-12-09T11:00"} << 0
        << QStringList{};
}

void TestReadoutReport::holes()
{
    QFETCH(int, period);
    QFETCH(QStringList, records);
    QFETCH(int, missing);
    QFETCH(QStringList, listed);

    SourceReport source;
    source.period = SourceReport::Period(period);
    for (const QDateTime& t : Times(records))
        source.Add(t);
    QCOMPARE(source.records, records.size());
    QCOMPARE(source.first, Times(records).first());
    QCOMPARE(source.last, Times(records).last());
    QCOMPARE(source.missing, qint64(missing));
    QCOMPARE(source.missingFirst, Times(listed));
}

void TestReadoutReport::csv()
{
    ReadoutReport report;
    report.configuration = QStringLiteral("Котельная");
    report.line = QStringLiteral("10.0.0.5:4001");

    DeviceReport read;
    read.address = 7;
    read.deviceName = QStringLiteral("ОРВЕК-307");
    read.serialNumber = QStringLiteral("30712345");
    read.clockRead = true;
    read.meterClock = At("2026-12-10T10:25:00");
    read.computerClock = At("2026-12-10T10:15:00");
    read.driftSeconds = 600;
    SourceReport hourly;
    hourly.title = QStringLiteral("Почасовой архив");
    hourly.period = SourceReport::Period::Hour;
    for (const char* t : {"2026-12-10T08:00", "2026-12-10T10:00"})
        hourly.Add(At(t));
    read.sources.append(hourly);
    read.files = {{QStringLiteral("Data/2026-12-10/ОРВЕК-307/30712345/1210H0.csv"), 321}};

    DeviceReport silent;
    silent.address = 8;
    silent.result = DeviceReport::Result::Failed;
    silent.failure = QStringLiteral("Нет ответа; повтор");
    report.devices = {read, silent};
    QCOMPARE(report.DevicesRead(), 1);
    QCOMPARE(report.FilesWritten(), 1);
    QVERIFY(!report.AllRead());

    const QByteArray bytes = ReportCsv(report, 300);
    QVERIFY(bytes.endsWith("\r\n"));
    QCOMPARE(EncodeAnsi(DecodeAnsi(bytes)), bytes); // Windows-1251 throughout
    const QStringList rows = DecodeAnsi(bytes).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    QCOMPARE(rows.size(), 3);
    const QStringList header = rows[0].split(u';');
    const auto cell = [&](int row, const char* heading) {
        return rows[row].split(u';').value(header.indexOf(QString::fromUtf8(heading)));
    };
    QCOMPARE(rows[1].split(u';').size(), header.size());
    QCOMPARE(rows[2].split(u';').size(), header.size());

    QCOMPARE(cell(1, "Конфигурация"), QStringLiteral("Котельная"));
    QCOMPARE(cell(1, "Линия"), QStringLiteral("10.0.0.5:4001"));
    QCOMPARE(cell(1, "Результат"), QStringLiteral("прочитан"));
    QCOMPARE(cell(1, "Часы прибора"), QStringLiteral("10.12.2026 10:25:00"));
    QCOMPARE(cell(1, "Уход часов, с"), QStringLiteral("600"));
    QCOMPARE(cell(1, "Часы сбиты"), QStringLiteral("да"));
    QCOMPARE(cell(1, "Часовой: записей"), QStringLiteral("2"));
    QCOMPARE(cell(1, "Часовой: первая"), QStringLiteral("10.12.2026 08:00"));
    QCOMPARE(cell(1, "Часовой: пропусков"), QStringLiteral("1"));
    QCOMPARE(cell(1, "Часовой: пропущены"), QStringLiteral("10.12.2026 09:00"));
    QCOMPARE(cell(1, "Файлы"),
             QStringLiteral("Data/2026-12-10/ОРВЕК-307/30712345/1210H0.csv (321)"));

    // A device that did not answer: its failure (the separator made harmless), no clock.
    QCOMPARE(cell(2, "Адрес"), QStringLiteral("8"));
    QCOMPARE(cell(2, "Результат"), QStringLiteral("ошибка"));
    QCOMPARE(cell(2, "Ошибка"), QStringLiteral("Нет ответа, повтор"));
    QCOMPARE(cell(2, "Часы прибора"), QString());
    QCOMPARE(cell(2, "Часы сбиты"), QString());

    // Within the limit a clock is not marked.
    QCOMPARE(DecodeAnsi(ReportCsv(report, 600))
                 .split(QStringLiteral("\r\n"))[1]
                 .split(u';')
                 .value(header.indexOf(QStringLiteral("Часы сбиты"))),
             QString());
}

void TestReadoutReport::reportNamesOfTheSameSecond()
{
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString dir = home.path() + u'/';
    const QDateTime started(QDate(2026, 12, 10), QTime(9, 5, 7));
    const QString first = ClaimReportPath(dir, started);
    const QString second = ClaimReportPath(dir, started);
    QCOMPARE(first, dir + QStringLiteral("Reports/2026-12-10/090507.csv"));
    QCOMPARE(second, dir + QStringLiteral("Reports/2026-12-10/090507-2.csv"));
    QVERIFY(QFileInfo::exists(first) && QFileInfo::exists(second));
}

void TestReadoutReport::reportWholeOrNotAtAll_data()
{
    QTest::addColumn<QString>("blocker");
    QTest::addColumn<int>("error");
    QTest::addColumn<QStringList>("left");

    // {temporary} stands for the temporary name of the report 090507.csv.
    QTest::newRow("written") << QString() << 0 << QStringList{QStringLiteral("090507.csv")};
    QTest::newRow("same second as another")
        << QStringLiteral("Reports/2026-12-10/090507.csv") << 0
        << QStringList{QStringLiteral("090507-2.csv"), QStringLiteral("090507.csv")};
    QTest::newRow("disk full") << QStringLiteral("{temporary}") << int(ENOSPC) << QStringList();
    QTest::newRow("report folder is a file")
        << QStringLiteral("Reports") << int(EEXIST) << QStringList();
    QTest::newRow("day folder is a file")
        << QStringLiteral("Reports/2026-12-10") << int(EEXIST) << QStringList();
}

// A report that cannot be written whole leaves neither an empty nor a cut file, and the
// caller gets the system's reason.
void TestReadoutReport::reportWholeOrNotAtAll()
{
    QFETCH(QString, blocker);
    QFETCH(int, error);
    QFETCH(QStringList, left);

    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString dir = home.path() + u'/';
    const QString dayFolder = dir + QStringLiteral("Reports/2026-12-10");
    ReadoutReport report;
    report.line = QStringLiteral("COM3 19200");
    report.started = QDateTime(QDate(2026, 12, 10), QTime(9, 5, 7));
    DeviceReport device;
    device.address = 5;
    device.failure = QStringLiteral("Нет ответа");
    device.result = DeviceReport::Result::Failed;
    report.devices = {device};

    if (blocker == QLatin1String("{temporary}")) {
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QSKIP("needs /dev/full for a device that is always full");
        QVERIFY(QDir().mkpath(dayFolder));
        QVERIFY(QFile::link(QStringLiteral("/dev/full"),
                            ExportFiles::TemporaryName(dayFolder + QStringLiteral("/090507.csv"))));
    } else if (!blocker.isEmpty()) {
        QVERIFY(QDir().mkpath(QFileInfo(dir + blocker).path()));
        QFile file(dir + blocker);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    QString path = QStringLiteral("not cleared");
    QCOMPARE(WriteReport(dir, report, 300, path), error);
    QStringList files =
        QDir(dayFolder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    QCOMPARE(files, left);
    if (error != 0) {
        QCOMPARE(path, QString());
        return;
    }
    QCOMPARE(path, dayFolder + u'/' + left.first());
    QFile written(path);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), ReportCsv(report, 300));
}

QTEST_APPLESS_MAIN(TestReadoutReport)
#include "tst_readoutreport.moc"
