#include "LineFixture.h"

#include "DeviceDriver.h"

#include <QTest>

// What each family offers decides which archives and logs the read-out may ask for;
// anything else must be refused without a request.
class TestDriverSet : public QObject
{
    Q_OBJECT

private slots:
    void offers_data();
    void offers();
};

void TestDriverSet::offers_data()
{
    QTest::addColumn<int>("family");
    QTest::addColumn<QList<int>>("archives");
    QTest::addColumn<bool>("eventLog");
    QTest::addColumn<bool>("protectedLog");
    QTest::addColumn<bool>("flagsText");

    QTest::newRow("ОРВЕК-306/307/308")
        << int(FamilyOrvek307) << QList<int>{1, 2, 3, 6, 7} << true << true << true;
    QTest::newRow("ИЛЬМ") << int(FamilyIlm) << QList<int>{1, 2, 3} << false << false << false;
    QTest::newRow("ОРВЕК-213/223")
        << int(FamilyOrvek213) << QList<int>{1, 2, 3, 5, 6} << true << false << true;
}

void TestDriverSet::offers()
{
    QFETCH(int, family);
    QFETCH(QList<int>, archives);
    QFETCH(bool, eventLog);
    QFETCH(bool, protectedLog);
    QFETCH(bool, flagsText);

    LineFixture line(QStringLiteral("pty"));
    DriverContext context(line.master, line.log);
    DriverSet drivers(context);
    DeviceDriver& driver = drivers.For(DeviceFamily(family));

    for (const int kind : {1, 2, 3, 5, 6, 7}) {
        const bool offered = archives.contains(kind);
        QCOMPARE(driver.HasArchive(ArchiveKind(kind)), offered);
        if (!offered) {
            ArchiveRecord record;
            QCOMPARE(driver.ReadFirstArchiveRecord(ArchiveKind(kind), record), Rc::UnknownDevice);
            QCOMPARE(driver.ReadNextArchiveRecord(ArchiveKind(kind), record), Rc::UnknownDevice);
        }
    }
    QCOMPARE(driver.HasEventLog(), eventLog);
    QCOMPARE(driver.HasProtectedLog(), protectedLog);
    QCOMPARE(driver.HasFlagsText(), flagsText);
    LogRecord log;
    if (!eventLog)
        QCOMPARE(driver.ReadFirstEventRecord(log), Rc::UnknownDevice);
    if (!protectedLog)
        QCOMPARE(driver.ReadNextProtectedRecord(log), Rc::UnknownDevice);
    QCOMPARE(driver.FlagsText(0), QStringLiteral("Ok"));
    QCOMPARE(line.Peer().RequestCount(), 0); // refusals never reach the line
}

QTEST_GUILESS_MAIN(TestDriverSet)
#include "tst_driverset.moc"
