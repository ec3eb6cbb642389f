#include "MemoryFixture.h"

#include "DeviceDriver.h"

#include <QTest>

namespace {

// How the scripted device answers the identification: with data, an exception, or not
// at all.
enum class Answer { Data, Exception, Silent };

} // namespace

Q_DECLARE_METATYPE(Identity::Outcome)

// What each family offers decides which archives and logs the read-out may ask for;
// anything else must be refused without a request.
class TestDriverSet : public QObject
{
    Q_OBJECT

private slots:
    void registry();
    void offers_data();
    void offers();
    void identify_data();
    void identify();
};

void TestDriverSet::registry()
{
    QStringList names;
    for (const FamilyEntry& family : Families()) {
        QCOMPARE(FindFamily(family.number), &family);
        names.append(QString::fromUtf16(family.name));
    }
    // In the order of the family box, which is the order of the numbers.
    QCOMPARE(names, (QStringList{"ОРВЕК-306/307/308", "ИЛЬМ", "ОРВЕК-213/223"}));
    QCOMPARE(Families()[0].number, FamilyOrvek307);
    QCOMPARE(Families()[1].number, FamilyIlm);
    QCOMPARE(Families()[2].number, FamilyOrvek213);

    MemoryFixture line;
    DriverContext context(line.master, line.log);
    DriverSet drivers(context);
    for (const int unknown : {-1, 3, 255}) {
        QCOMPARE(FindFamily(unknown), nullptr);
        QCOMPARE(drivers.Find(unknown), nullptr);
    }
    for (const FamilyEntry& family : Families())
        QCOMPARE(drivers.Find(family.number), &drivers.For(family.number));
}

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

    MemoryFixture line;
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
    QCOMPARE(line.RequestCount(), 0); // refusals never reach the line
}

void TestDriverSet::identify_data()
{
    QTest::addColumn<int>("family");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QByteArray>("data"); // the reply's data, or one byte: the exception
    QTest::addColumn<Identity::Outcome>("outcome");
    QTest::addColumn<QString>("name");
    QTest::addColumn<ResultCode>("code");

    using O = Identity::Outcome;
    const auto data = int(Answer::Data);
    const auto exception = int(Answer::Exception);
    const auto silent = int(Answer::Silent);
    const QByteArray two(1, char(2));
    const QByteArray three(1, char(3));

    const int orvek307 = FamilyOrvek307;
    QTest::newRow("307: known model")
        << orvek307 << data << QByteArray::fromHex("3301") << O::Known << "ОРВЕК-307" << Rc::Ok;
    QTest::newRow("307: exception 2, an early model")
        << orvek307 << exception << two << O::Unnamed << "ОРВЕК-30x" << Rc::Ok;
    QTest::newRow("307: unknown model") << orvek307 << data << QByteArray::fromHex("3101")
                                        << O::UnknownModel << "ID = 305" << Rc::UnknownDevice;
    QTest::newRow("307: other exception")
        << orvek307 << exception << three << O::Failed << "ОРВЕК-30x" << ResultCode::Exception(3);
    QTest::newRow("307: no answer")
        << orvek307 << silent << QByteArray() << O::Failed << "ОРВЕК-30x" << Rc::NoReply;

    // Every model number names an ИЛЬМ; a refused model register is a failure.
    const int ilm = FamilyIlm;
    QTest::newRow("ИЛЬМ: known model")
        << ilm << data << QByteArray::fromHex("0004") << O::Known << "ИЛЬМ-4" << Rc::Ok;
    QTest::newRow("ИЛЬМ: exception 2")
        << ilm << exception << two << O::Failed << "ИЛЬМ-x" << ResultCode::Exception(2);
    QTest::newRow("ИЛЬМ: no answer")
        << ilm << silent << QByteArray() << O::Failed << "ИЛЬМ-x" << Rc::NoReply;

    const int orvek213 = FamilyOrvek213;
    QTest::newRow("213: known model")
        << orvek213 << data << QByteArray::fromHex("DF00") << O::Known << "ОРВЕК-223" << Rc::Ok;
    QTest::newRow("213: exception 2, no model register")
        << orvek213 << exception << two << O::Unnamed << "ОРВЕК-30x" << Rc::Ok;
    QTest::newRow("213: unknown model") << orvek213 << data << QByteArray::fromHex("3301")
                                        << O::UnknownModel << "ID = 307" << Rc::UnknownDevice;
    QTest::newRow("213: no answer")
        << orvek213 << silent << QByteArray() << O::Failed << "ОРВЕК-30x" << Rc::NoReply;
}

// The typed identification of every family through the registry, and the contract's form
// built on it.
void TestDriverSet::identify()
{
    QFETCH(int, family);
    QFETCH(int, answer);
    QFETCH(QByteArray, data);
    QFETCH(Identity::Outcome, outcome);
    QFETCH(QString, name);
    QFETCH(ResultCode, code);

    MemoryFixture line;
    line.config.globalTry = 1;
    line.Apply();
    line.Serve([&](const QByteArray& request) -> QByteArray {
        const char function = request.at(1);
        switch (Answer(answer)) {
        case Answer::Data:
            return WithCrc(request.left(2) + char(data.size()) + data);
        case Answer::Exception:
            return WithCrc(request.left(1) + char(function | 0x80) + data);
        case Answer::Silent:
            break;
        }
        return {};
    });
    DriverContext context(line.master, line.log);
    context.DeviceAddress = 9;
    const std::unique_ptr<DeviceDriver> driver = FindFamily(family)->make(context);

    const Identity identity = driver->Identify();
    QCOMPARE(identity.outcome, outcome);
    QCOMPARE(identity.name, name);
    QCOMPARE(identity.code, code);
    QString text = QStringLiteral("previous");
    QCOMPARE(driver->IdentifyDevice(text), code);
    QCOMPARE(text, name);
    QCOMPARE(line.RequestCount(), 2); // one request each, to the device asked
    for (const QByteArray& request : line.Requests())
        QCOMPARE(quint8(request.at(0)), quint8(9));
}

QTEST_GUILESS_MAIN(TestDriverSet)
#include "tst_driverset.moc"
