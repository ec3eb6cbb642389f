#include "AnsiCodec.h"
#include "Channel.h"
#include "ExchangeLog.h"
#include "LineFixture.h"
#include "ModbusMaster.h"
#include "SimServer.h"

#include <QJsonDocument>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <cstring>

namespace {

// Names that fill whole fields, a six-letter name that runs on into the next field, a
// four-letter one that ends exactly where the next (empty) field starts, and a name in
// a volume column that starts with none of V, G, E.
const char* const kMeterFile = R"({
    "family": 1, "address": 5, "model": 4,
    "serial": [12, 0, 7, 19, 0, 0, 1, 5],
    "clock": "2019-07-19T10:30:05", "secondsBit7": true, "key": 7,
    "depth": {"hourly": 9000, "daily": 10, "monthly": 3},
    "fields": ["F1", "h1", "Q1", "Q2", "V1", "G1", "t1", "t2", "P1", "P2",
               {"slot": 14, "name": "V2"}, {"slot": 15, "name": "E1"},
               {"slot": 24, "name": "Q"}, {"slot": 26, "name": "Подача"},
               {"slot": 34, "name": "Vгвс"}]
})";

// What the program makes of the names page: slot -> name.
const QMap<int, QString> kNames = {
    {0, "F1"}, {1, "h1"},      {2, "Q1"},  {3, "Q2"},    {4, "V1"},  {5, "G1"},
    {6, "t1"}, {7, "t2"},      {8, "P1"},  {9, "P2"},    {14, "V2"}, {15, "E1"},
    {24, "Q"}, {26, "Подача"}, {27, "ча"}, {34, "Vгвс"},
};

const QDateTime kClock(QDate(2019, 7, 19), QTime(10, 30, 5));

// Meter time has no summer time: wall-clock times in a zone without shifts.
QDateTime Wall(const QDate& date, const QTime& time)
{
    return QDateTime(date, time, QTimeZone::utc());
}

constexpr quint8 kHourly = 26;
constexpr quint8 kDaily = 27;
constexpr quint8 kMonthly = 28;
constexpr int kPageBytes = 244;

QJsonObject MeterObject(const QByteArray& json = kMeterFile)
{
    return QJsonDocument::fromJson(json).object();
}

std::unique_ptr<Meter> MakeMeter(const QJsonObject& object = MeterObject())
{
    QString error;
    auto meter = Meter::FromJson(object, error);
    if (!meter)
        qWarning("%s", qPrintable(error));
    return meter;
}

MeterAnswer ReadInput(Meter& meter, int first, int count)
{
    return meter.Handle({4, quint16(first), quint16(count), {}});
}

MeterAnswer Write(Meter& meter, int first, const QByteArray& data)
{
    return meter.Handle({16, quint16(first), quint16(data.size() / 2), data});
}

QByteArray RequestBlock(const QDateTime& start, quint8 selector)
{
    QByteArray block(14, '\0');
    block[0] = char(start.date().year() - 2000);
    block[1] = char(start.date().month());
    block[2] = char(start.date().day());
    block[3] = char(start.time().hour());
    block[7] = char(selector);
    block[13] = char(98);
    return block;
}

const QByteArray kNamesSwitch = QByteArray::fromHex("0010");

// The program's reading of the page, written here on its own.
quint8 Byte(const QByteArray& page, int i)
{
    return i < page.size() ? quint8(page.at(i)) : 0;
}

quint32 Field32(const QByteArray& page, int slot)
{
    const int at = 4 + 4 * slot;
    return quint32(Byte(page, at + 2)) << 24 | quint32(Byte(page, at + 3)) << 16 |
           quint32(Byte(page, at)) << 8 | Byte(page, at + 1);
}

float FieldFloat(const QByteArray& page, int slot)
{
    const quint32 bits = Field32(page, slot);
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

QMap<int, QString> PageNames(const QByteArray& page)
{
    QMap<int, QString> names;
    for (int f = 0; f < 60; ++f) {
        const int at = 4 + 4 * f;
        if (Byte(page, at) == 0)
            continue;
        qsizetype end = page.indexOf('\0', at);
        if (end < 0)
            end = page.size();
        names.insert(f, DecodeAnsi(page.mid(at, end - at)));
    }
    return names;
}

bool IsEnd(const QByteArray& page)
{
    return Byte(page, 0) == 0xFF && Byte(page, 1) == 0xFF;
}

QDateTime RecordTime(const QByteArray& page, quint8 selector)
{
    const int year = 2000 + Byte(page, 0);
    if (selector == kMonthly)
        return Wall(QDate(year, Byte(page, 1), 1), QTime(0, 0));
    return Wall(QDate(year, Byte(page, 1), Byte(page, 2)), QTime(Byte(page, 3), 0));
}

QDateTime Step(const QDateTime& time, quint8 selector)
{
    switch (selector) {
    case kHourly:
        return time.addSecs(3600);
    case kDaily:
        return time.addDays(1);
    default:
        return time.addMonths(1);
    }
}

// Counters of the fixture's layout: heat, volume, mass, electric energy and the plain
// counter "Q" in a volume column.
const QList<int> kCounterSlots = {2, 3, 4, 5, 14, 15, 24, 34};

} // namespace

class TestSimIlm : public QObject
{
    Q_OBJECT

private slots:
    void identityRegisters_data();
    void identityRegisters();
    void serialAsPrinted_data();
    void serialAsPrinted();
    void refusedRequests_data();
    void refusedRequests();
    void badMeterFiles_data();
    void badMeterFiles();
    void namesPage();
    void archivePositions_data();
    void archivePositions();
    void recordValues();
    void archivesAgree();
    void pageSwitching();
    void badRecordDates_data();
    void badRecordDates();
    void lineIdentity();
    void lineArchive_data();
    void lineArchive();
};

void TestSimIlm::identityRegisters_data()
{
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("model") << 4 << 842 << 1 << QByteArray::fromHex("0004");
    // Bit 7 of the seconds byte is set as the file asks.
    QTest::newRow("clock") << 4 << 0 << 3 << QByteArray::fromHex("1307130A1E85");
    QTest::newRow("clock: day onwards") << 4 << 1 << 2 << QByteArray::fromHex("130A1E85");
    // Printed order 12 0 7 19 0 0 1 5: every register carries its low byte second.
    QTest::newRow("serial") << 4 << 834 << 4 << QByteArray::fromHex("000C130700000501");
    QTest::newRow("serial: last register") << 4 << 837 << 1 << QByteArray::fromHex("0501");
    QTest::newRow("request block before any write") << 3 << 0 << 7 << QByteArray(14, '\0');
}

void TestSimIlm::identityRegisters()
{
    QFETCH(int, function);
    QFETCH(int, first);
    QFETCH(int, count);
    QFETCH(QByteArray, expected);

    auto meter = MakeMeter();
    QVERIFY(meter);
    const MeterAnswer answer =
        meter->Handle({quint8(function), quint16(first), quint16(count), {}});
    QCOMPARE(answer.exception, 0);
    QCOMPARE(answer.data.toHex(), expected.toHex());
}

void TestSimIlm::serialAsPrinted_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("printed");

    auto row = [](const char* name, const char* serial, const char* printed) {
        QTest::newRow(name) << QString::fromUtf8(serial) << QString::fromUtf8(printed);
    };
    row("digit text", R"("20190719")", "20190719");
    row("digit text with zeros", R"("00000001")", "00000001");
    row("numbers", "[12, 0, 7, 19, 0, 0, 1, 5]", "1207190015");
    row("largest numbers", "[255, 1, 2, 3, 4, 5, 6, 200]", "255123456200");
}

void TestSimIlm::serialAsPrinted()
{
    QFETCH(QString, serial);
    QFETCH(QString, printed);

    auto meter =
        MakeMeter(MeterObject(R"({"family": 1, "address": 1, "serial": )" + serial.toUtf8() + "}"));
    QVERIFY(meter);
    const QByteArray data = ReadInput(*meter, 834, 4).data;
    QCOMPARE(data.size(), 8);
    QString text;
    for (int i : {1, 0, 3, 2, 5, 4, 7, 6})
        text += QString::number(quint8(data.at(i)));
    QCOMPARE(text, printed);
}

void TestSimIlm::refusedRequests_data()
{
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("exception");

    const QByteArray block = RequestBlock(kClock, kHourly);
    auto changed = [&](int at, int value) {
        QByteArray b = block;
        b[at] = char(value);
        return b;
    };
    QTest::newRow("read after the clock") << 4 << 3 << 1 << QByteArray() << 2;
    QTest::newRow("read into the page from below") << 4 << 255 << 2 << QByteArray() << 2;
    QTest::newRow("read past the page") << 4 << 256 << 123 << QByteArray() << 2;
    QTest::newRow("read from serial to model") << 4 << 834 << 9 << QByteArray() << 2;
    QTest::newRow("read after the model") << 4 << 843 << 1 << QByteArray() << 2;
    QTest::newRow("read of no register") << 4 << 842 << 0 << QByteArray() << 3;
    QTest::newRow("read of 126 registers") << 4 << 256 << 126 << QByteArray() << 3;
    QTest::newRow("holding register 7") << 3 << 6 << 2 << QByteArray() << 2;
    QTest::newRow("write to register 1") << 16 << 1 << 1 << kNamesSwitch << 2;
    QTest::newRow("write to an input register") << 16 << 842 << 1 << kNamesSwitch << 2;
    QTest::newRow("page switch with 15") << 16 << 6 << 1 << QByteArray::fromHex("000F") << 3;
    QTest::newRow("block without 98") << 16 << 0 << 7 << changed(13, 0) << 3;
    QTest::newRow("block without a selector") << 16 << 0 << 7 << changed(7, 0) << 3;
    QTest::newRow("block with selector 29") << 16 << 0 << 7 << changed(7, 29) << 3;
    QTest::newRow("block with a stray byte") << 16 << 0 << 7 << changed(10, 1) << 3;
    QTest::newRow("block for month 13") << 16 << 0 << 7 << changed(1, 13) << 3;
    QByteArray february31 = changed(1, 2);
    february31[2] = char(31);
    QTest::newRow("block for 31 February") << 16 << 0 << 7 << february31 << 3;
    QTest::newRow("block for hour 24") << 16 << 0 << 7 << changed(3, 24) << 3;
    QTest::newRow("short block") << 16 << 0 << 6 << block.left(12) << 2;
}

void TestSimIlm::refusedRequests()
{
    QFETCH(int, function);
    QFETCH(int, first);
    QFETCH(int, count);
    QFETCH(QByteArray, data);
    QFETCH(int, exception);

    auto meter = MakeMeter();
    QVERIFY(meter);
    QCOMPARE(Write(*meter, 0, RequestBlock(kClock, kHourly)).exception, 0);
    const MeterAnswer answer =
        meter->Handle({quint8(function), quint16(first), quint16(count), data});
    QCOMPARE(answer.exception, exception);
    QVERIFY(answer.data.isEmpty());
    // A refused request leaves the reader where it was: on the newest hourly record.
    const QByteArray page = ReadInput(*meter, 256, 122).data;
    QCOMPARE(RecordTime(page, kHourly), Wall(QDate(2019, 7, 19), QTime(10, 0)));
}

void TestSimIlm::badMeterFiles_data()
{
    QTest::addColumn<QByteArray>("keys");
    QTest::addColumn<QString>("complaint");

    auto row = [](const char* name, const QByteArray& keys, const char* complaint) {
        QTest::newRow(name) << keys << QString::fromUtf8(complaint);
    };
    row("unknown key", R"("colour": "red")", "colour");
    row("model 256", R"("model": 256)", "model");
    row("model as text", R"("model": "4")", "model");
    row("seven digits", R"("serial": "1234567")", "serial");
    row("letters", R"("serial": "1234567A")", "serial");
    row("three numbers", R"("serial": [1, 2, 3])", "serial");
    row("number 256", R"("serial": [1, 2, 3, 4, 5, 6, 7, 256])", "serial");
    row("clock", R"("clock": "yesterday")", "clock");
    row("clock before 2000", R"("clock": "1999-12-31T23:00:00")", "clock");
    row("bit 7", R"("secondsBit7": 1)", "secondsBit7");
    row("negative key", R"("key": -1)", "key");
    row("fractional key", R"("key": 1.5)", "key");
    row("weekly archive", R"("depth": {"weekly": 3})", "weekly");
    row("negative depth", R"("depth": {"hourly": -1})", "hourly");
    row("archive before 2000", R"("clock": "2019-07-19T10:00:00", "depth": {"monthly": 300})",
        "monthly");
    row("fields not an array", R"("fields": "V1")", "fields");
    row("61 fields", R"("fields": [)" + QByteArray("\"\",").repeated(60) + "\"\"]", "fields");
    row("slot 60", R"("fields": [{"slot": 60, "name": "V1"}])", "slot");
    row("slot named twice", R"("fields": [{"slot": 3, "name": "a"}, {"slot": 3, "name": "b"}])",
        "slot 3");
    row("unknown key in a field", R"("fields": [{"slot": 3, "name": "a", "kind": "v"}])", "kind");
    row("long name over a named field", R"("fields": ["Подача", "x"])", "slot 1");
    row("four letters before a named field", R"("fields": ["Vгвс", "x"])", "slot 1");
    row("name past the page", R"("fields": [{"slot": 59, "name": "Vсумм"}])", "slot 59");
}

void TestSimIlm::badMeterFiles()
{
    QFETCH(QByteArray, keys);
    QFETCH(QString, complaint);

    QString error;
    const auto meter =
        Meter::FromJson(MeterObject(R"({"family": 1, "address": 1, )" + keys + "}"), error);
    QVERIFY(!meter);
    QVERIFY2(error.contains(complaint), qPrintable(error));
}

void TestSimIlm::namesPage()
{
    auto meter = MakeMeter();
    QVERIFY(meter);
    const QByteArray atStart = ReadInput(*meter, 256, 122).data;
    QCOMPARE(atStart.size(), kPageBytes);
    QCOMPARE(PageNames(atStart), kNames);

    QCOMPARE(Write(*meter, 6, kNamesSwitch).exception, 0);
    const QByteArray page = ReadInput(*meter, 256, 122).data;
    QCOMPARE(page, atStart);
    QCOMPARE(ReadInput(*meter, 256, 122).data, page); // names do not advance
    // Field 14, row 1 column 4, and the end of "Подача" in field 27 with its zero.
    QCOMPARE(page.mid(4 + 4 * 14, 4).toHex(), QByteArray("56320000"));
    QCOMPARE(page.mid(4 + 4 * 26, 8), EncodeAnsi(u"Подача") + QByteArray(2, '\0'));
    // A part of the page is read the same way, without moving anything.
    QCOMPARE(ReadInput(*meter, 256 + 2 + 2 * 14, 2).data, page.mid(4 + 4 * 14, 4));

    // Without "fields" the meter shows a layout of its own, letters and all.
    auto plain = MakeMeter(MeterObject(R"({"family": 1, "address": 1})"));
    QVERIFY(plain);
    const QMap<int, QString> names = PageNames(ReadInput(*plain, 256, 122).data);
    QVERIFY(names.size() >= 10);
    for (int f : names.keys()) {
        if (f % 10 == 4 || f % 10 == 5)
            QVERIFY2(QStringLiteral("VGE").contains(names.value(f).at(0)),
                     qPrintable(names.value(f)));
    }
}

void TestSimIlm::archivePositions_data()
{
    QTest::addColumn<int>("selector");
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<QDateTime>("first");
    QTest::addColumn<int>("records");

    const QDateTime newestHour = Wall(QDate(2019, 7, 19), QTime(10, 0));
    const QDateTime oldestHour = newestHour.addSecs(-3600ll * 8999);
    QTest::newRow("hourly: at a record")
        << int(kHourly) << newestHour.addSecs(-7200) << newestHour.addSecs(-7200) << 3;
    QTest::newRow("hourly: at the newest") << int(kHourly) << newestHour << newestHour << 1;
    QTest::newRow("hourly: after the newest")
        << int(kHourly) << newestHour.addSecs(3600) << QDateTime() << 0;
    QTest::newRow("hourly: before the oldest")
        << int(kHourly) << Wall(QDate(2010, 1, 1), QTime(0, 0)) << oldestHour << 9000;
    QTest::newRow("hourly: at the oldest") << int(kHourly) << oldestHour << oldestHour << 9000;
    QTest::newRow("hourly: after the oldest")
        << int(kHourly) << oldestHour.addSecs(3600) << oldestHour.addSecs(3600) << 8999;
    QTest::newRow("daily: within a day") << int(kDaily) << Wall(QDate(2019, 7, 15), QTime(5, 0))
                                         << Wall(QDate(2019, 7, 16), QTime(0, 0)) << 4;
    QTest::newRow("daily: the clock's day") << int(kDaily) << Wall(QDate(2019, 7, 19), QTime(0, 0))
                                            << Wall(QDate(2019, 7, 19), QTime(0, 0)) << 1;
    QTest::newRow("daily: before the oldest") << int(kDaily) << Wall(QDate(2019, 1, 1), QTime(0, 0))
                                              << Wall(QDate(2019, 7, 10), QTime(0, 0)) << 10;
    QTest::newRow("monthly: first day") << int(kMonthly) << Wall(QDate(2019, 6, 1), QTime(0, 0))
                                        << Wall(QDate(2019, 6, 1), QTime(0, 0)) << 2;
    QTest::newRow("monthly: second day") << int(kMonthly) << Wall(QDate(2019, 6, 2), QTime(0, 0))
                                         << Wall(QDate(2019, 7, 1), QTime(0, 0)) << 1;
    QTest::newRow("monthly: all") << int(kMonthly) << Wall(QDate(2000, 1, 1), QTime(0, 0))
                                  << Wall(QDate(2019, 5, 1), QTime(0, 0)) << 3;
}

void TestSimIlm::archivePositions()
{
    QFETCH(int, selector);
    QFETCH(QDateTime, start);
    QFETCH(QDateTime, first);
    QFETCH(int, records);

    auto meter = MakeMeter();
    QVERIFY(meter);
    QCOMPARE(Write(*meter, 0, RequestBlock(start, quint8(selector))).exception, 0);
    QDateTime expected = first;
    for (int i = 0; i < records; ++i) {
        const QByteArray page = ReadInput(*meter, 256, 122).data;
        QCOMPARE(page.size(), kPageBytes);
        QVERIFY2(!IsEnd(page), qPrintable(QString::number(i)));
        const QDateTime time = RecordTime(page, quint8(selector));
        if (time != expected)
            QFAIL(qPrintable(QStringLiteral("record %1 at %2, not %3")
                                 .arg(i)
                                 .arg(time.toString(Qt::ISODate), expected.toString(Qt::ISODate))));
        if (selector == kMonthly)
            QCOMPARE(Byte(page, 2), quint8(1));
        expected = Step(expected, quint8(selector));
    }
    for (int i = 0; i < 2; ++i) {
        const QByteArray end = ReadInput(*meter, 256, 122).data;
        QCOMPARE(end.size(), kPageBytes);
        QVERIFY(IsEnd(end));
    }
}

void TestSimIlm::recordValues()
{
    auto meter = MakeMeter();
    QVERIFY(meter);
    const QDateTime start = Wall(QDate(2019, 1, 10), QTime(0, 0));
    QCOMPARE(Write(*meter, 0, RequestBlock(start, kHourly)).exception, 0);

    QByteArray previous;
    int flagsSet = 0;
    for (int i = 0; i < 400; ++i) {
        const QByteArray page = ReadInput(*meter, 256, 122).data;
        QCOMPARE(page.size(), kPageBytes);
        for (int f = 0; f < 60; ++f) {
            if (!kNames.contains(f))
                QCOMPARE(Field32(page, f), 0u);
        }
        // A flag word is a plain number with at most one flag, never a float's bits.
        const quint32 flags = Field32(page, 0);
        QVERIFY2(flags < 4096 && (flags & (flags - 1)) == 0, qPrintable(QString::number(flags)));
        flagsSet += flags != 0;
        for (auto [supply, back] : {std::pair{6, 7}, {26, 27}}) {
            const float t1 = FieldFloat(page, supply);
            const float t2 = FieldFloat(page, back);
            QVERIFY2(t1 >= 40 && t1 <= 90, qPrintable(QString::number(t1)));
            QVERIFY2(t2 >= 20 && t2 < t1, qPrintable(QString::number(t2)));
        }
        const float p1 = FieldFloat(page, 8);
        const float p2 = FieldFloat(page, 9);
        QVERIFY2(p2 > 0.1f && p2 < p1 && p1 < 1.6f, qPrintable(QString::number(p1)));
        for (int f : kCounterSlots)
            QVERIFY2(FieldFloat(page, f) > 0, qPrintable(QString::number(f)));
        if (!previous.isEmpty()) {
            QCOMPARE(FieldFloat(page, 1), FieldFloat(previous, 1) + 1); // operating hours
            for (int f : kCounterSlots) {
                if (!(FieldFloat(page, f) > FieldFloat(previous, f)))
                    QFAIL(qPrintable(QStringLiteral("slot %1 falls from %2 to %3 at record %4")
                                         .arg(f)
                                         .arg(FieldFloat(previous, f))
                                         .arg(FieldFloat(page, f))
                                         .arg(i)));
            }
        }
        previous = page;
    }
    QVERIFY(flagsSet > 0);
    // Winter water is hotter than summer water.
    QCOMPARE(
        Write(*meter, 0, RequestBlock(Wall(QDate(2019, 7, 1), QTime(12, 0)), kHourly)).exception,
        0);
    QVERIFY(FieldFloat(previous, 6) > FieldFloat(ReadInput(*meter, 256, 122).data, 6));
}

void TestSimIlm::archivesAgree()
{
    auto meter = MakeMeter();
    auto twin = MakeMeter();
    QJsonObject otherKey = MeterObject();
    otherKey.insert(QStringLiteral("key"), 8);
    auto other = MakeMeter(otherKey);
    QVERIFY(meter && twin && other);

    auto recordAt = [](Meter& m, const QDateTime& time, quint8 selector) {
        if (Write(m, 0, RequestBlock(time, selector)).exception != 0)
            return QByteArray();
        return ReadInput(m, 256, 122).data;
    };
    const QDateTime midnight = Wall(QDate(2019, 7, 18), QTime(0, 0));
    const QDateTime firstOfJuly = Wall(QDate(2019, 7, 1), QTime(0, 0));
    const QByteArray hourly = recordAt(*meter, midnight, kHourly);
    const QByteArray daily = recordAt(*meter, midnight, kDaily);
    QCOMPARE(RecordTime(hourly, kHourly), midnight);
    QCOMPARE(RecordTime(daily, kDaily), midnight);
    // The archives are read out of one meter: at the same moment its counters agree.
    QCOMPARE(hourly, daily);
    QCOMPARE(recordAt(*meter, firstOfJuly, kMonthly), recordAt(*meter, firstOfJuly, kHourly));

    QCOMPARE(recordAt(*twin, midnight, kHourly), hourly);
    const QByteArray otherPage = recordAt(*other, midnight, kHourly);
    QCOMPARE(otherPage.left(4), hourly.left(4));
    QVERIFY(otherPage != hourly);
}

void TestSimIlm::pageSwitching()
{
    auto meter = MakeMeter();
    QVERIFY(meter);
    const QByteArray names = ReadInput(*meter, 256, 122).data;
    const QDateTime start = Wall(QDate(2019, 7, 19), QTime(8, 0));
    const QByteArray block = RequestBlock(start, kHourly);

    QCOMPARE(Write(*meter, 0, block).exception, 0);
    QCOMPARE(meter->Handle({3, 0, 7, {}}).data, block);
    QCOMPARE(RecordTime(ReadInput(*meter, 256, 122).data, kHourly), start);
    QCOMPARE(Write(*meter, 6, kNamesSwitch).exception, 0);
    QCOMPARE(ReadInput(*meter, 256, 122).data, names);
    QCOMPARE(ReadInput(*meter, 256, 122).data, names);
    // The same block again starts over at the start date.
    QCOMPARE(Write(*meter, 0, block).exception, 0);
    QCOMPARE(RecordTime(ReadInput(*meter, 256, 122).data, kHourly), start);
    QCOMPARE(RecordTime(ReadInput(*meter, 256, 122).data, kHourly), start.addSecs(3600));
    // Identity reads in between leave the reader where it is.
    QCOMPARE(ReadInput(*meter, 842, 1).exception, 0);
    QCOMPARE(RecordTime(ReadInput(*meter, 256, 122).data, kHourly), start.addSecs(7200));
    QVERIFY(IsEnd(ReadInput(*meter, 256, 122).data));
}

void TestSimIlm::badRecordDates_data()
{
    QTest::addColumn<int>("selector");
    QTest::addColumn<QDateTime>("start");

    QTest::newRow("hourly") << int(kHourly) << Wall(QDate(2019, 7, 18), QTime(0, 0));
    QTest::newRow("daily") << int(kDaily) << Wall(QDate(2019, 7, 10), QTime(0, 0));
    QTest::newRow("monthly") << int(kMonthly) << Wall(QDate(2019, 5, 1), QTime(0, 0));
}

void TestSimIlm::badRecordDates()
{
    QFETCH(int, selector);
    QFETCH(QDateTime, start);

    QJsonObject object = MeterObject();
    object.insert(QStringLiteral("faults"), QJsonObject{{QStringLiteral("badRecordDates"), true}});
    auto meter = MakeMeter(object);
    auto sound = MakeMeter();
    QVERIFY(meter && sound);
    QCOMPARE(Write(*meter, 0, RequestBlock(start, quint8(selector))).exception, 0);
    QCOMPARE(Write(*sound, 0, RequestBlock(start, quint8(selector))).exception, 0);
    int records = 0;
    for (;;) {
        const QByteArray page = ReadInput(*meter, 256, 122).data;
        const QByteArray soundPage = ReadInput(*sound, 256, 122).data;
        QCOMPARE(IsEnd(page), IsEnd(soundPage));
        if (IsEnd(page))
            break;
        ++records;
        // Only the date is wrong: the year, the hour and the values are the record's.
        QVERIFY2(!RecordTime(page, quint8(selector)).isValid(), page.left(4).toHex().constData());
        QCOMPARE(page.at(0), soundPage.at(0));
        QCOMPARE(page.at(3), soundPage.at(3));
        QCOMPARE(page.mid(4), soundPage.mid(4));
    }
    QVERIFY(records > 0);
}

namespace {

// The meter file on a pseudo-terminal, read by the program's own master.
struct OnTheLine
{
    OnTheLine() : log(home.path() + u'/'), channel(log), master(channel, log)
    {
        QString error;
        ok = server.LoadMeterFile(R"({"meters": [)" + QByteArray(kMeterFile) + "]}", error) &&
             server.OpenPty(QString(), error);
        if (!ok)
            qWarning("%s", qPrintable(error));
        LineConfig config = TestPortLine(server.PtyPath());
        config.sendPause = 0; // the stand-in meter takes requests back to back
        channel.Configure(config);
        master.Configure(config);
    }
    ~OnTheLine() { channel.CloseChannel(); }

    // The simulator answers on this thread's event loop, the master waits on its own.
    QByteArray Read(quint16 first, quint16 registers, ResultCode& r)
    {
        std::array<quint8, 255> buffer{};
        quint16 count = registers;
        r = OffThread([&] { return master.ReadInputRegisters(5, first, count, buffer); });
        return r == Rc::Ok ? QByteArray(reinterpret_cast<const char*>(buffer.data()), count)
                           : QByteArray();
    }

    ResultCode Write(quint16 first, const QByteArray& data)
    {
        return OffThread([&] {
            return master.WriteMultipleRegisters(
                5, first, quint16(data.size() / 2),
                std::span(reinterpret_cast<const quint8*>(data.constData()), size_t(data.size())));
        });
    }

    QTemporaryDir home;
    SimServer server;
    ExchangeLog log;
    Channel channel;
    ModbusMaster master;
    bool ok = false;
};

} // namespace

void TestSimIlm::lineIdentity()
{
    OnTheLine line;
    QVERIFY(line.ok);
    ResultCode r = Rc::NoReply;

    const QByteArray model = line.Read(842, 1, r);
    QCOMPARE(r, Rc::Ok);
    QCOMPARE(model.size(), 2);
    QCOMPARE(quint8(model.at(1)), quint8(4));

    const QByteArray clock = line.Read(0, 3, r);
    QCOMPARE(r, Rc::Ok);
    QCOMPARE(clock.size(), 6);
    const QDateTime time(QDate(2000 + quint8(clock.at(0)), clock.at(1), clock.at(2)),
                         QTime(clock.at(3), clock.at(4), clock.at(5) & 0x7F));
    QCOMPARE(time, kClock);

    const QByteArray serial = line.Read(834, 4, r);
    QCOMPARE(r, Rc::Ok);
    QCOMPARE(serial.size(), 8);
    QString printed;
    for (int i : {1, 0, 3, 2, 5, 4, 7, 6})
        printed += QString::number(quint8(serial.at(i)));
    QCOMPARE(printed, QStringLiteral("1207190015"));

    QCOMPARE(line.Write(6, kNamesSwitch), Rc::Ok);
    const QByteArray names = line.Read(256, 122, r);
    QCOMPARE(r, Rc::Ok);
    QCOMPARE(names.size(), kPageBytes);
    QCOMPARE(PageNames(names), kNames);

    line.Read(3, 1, r);
    QCOMPARE(r, ResultCode::Exception(2));
}

void TestSimIlm::lineArchive_data()
{
    QTest::addColumn<int>("selector");
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<QDateTime>("first");
    QTest::addColumn<int>("records");

    QTest::newRow("hourly") << int(kHourly) << Wall(QDate(2019, 7, 19), QTime(8, 0))
                            << Wall(QDate(2019, 7, 19), QTime(8, 0)) << 3;
    QTest::newRow("daily") << int(kDaily) << Wall(QDate(2019, 7, 17), QTime(1, 0))
                           << Wall(QDate(2019, 7, 18), QTime(0, 0)) << 2;
    QTest::newRow("monthly") << int(kMonthly) << Wall(QDate(2019, 5, 1), QTime(0, 0))
                             << Wall(QDate(2019, 5, 1), QTime(0, 0)) << 3;
}

void TestSimIlm::lineArchive()
{
    QFETCH(int, selector);
    QFETCH(QDateTime, start);
    QFETCH(QDateTime, first);
    QFETCH(int, records);

    OnTheLine line;
    QVERIFY(line.ok);
    // What the meter itself hands the line, record for record.
    auto twin = MakeMeter();
    QVERIFY(twin);
    const QByteArray block = RequestBlock(start, quint8(selector));
    QCOMPARE(Write(*twin, 0, block).exception, 0);

    QCOMPARE(line.Write(0, block), Rc::Ok);
    QDateTime expected = first;
    ResultCode r = Rc::NoReply;
    for (int i = 0; i < records; ++i) {
        const QByteArray page = line.Read(256, 122, r);
        QCOMPARE(r, Rc::Ok);
        QCOMPARE(RecordTime(page, quint8(selector)), expected);
        QCOMPARE(page, ReadInput(*twin, 256, 122).data);
        expected = Step(expected, quint8(selector));
    }
    const QByteArray end = line.Read(256, 122, r);
    QCOMPARE(r, Rc::Ok);
    QCOMPARE(end.size(), kPageBytes);
    QVERIFY(IsEnd(end));
}

QTEST_GUILESS_MAIN(TestSimIlm)
#include "tst_sim_ilm.moc"
