#include "Channel.h"
#include "ExchangeLog.h"
#include "LineFixture.h"
#include "Meter.h"
#include "ModbusMaster.h"
#include "SimServer.h"
#include "TestFiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstring>

namespace {

// Slots of the base layout: V1 V2 G1 T1 T2 P1 Q1 E1 тариф1, then the errors, Tmin and
// Тэп of system 1 and its operating time, which closes the system.
const char* const kBase = R"({"family": 2, "address": 5, "model": 223, "serial": "22300417",
    "clock": "2019-05-03T14:25:07", "clockRuns": false, "key": 7,
    "layout": [16, 17, 32, 48, 49, 64, 80, 96, 192, 209, 213, 176],
    "depth": {"hourly": 48, "daily": 40, "monthly": 6, "integralDaily": 40,
              "integralMonthly": 6}})";

enum Slot { V1, V2, G1, T1, T2, P1, Q1, E1, Errors, Tmin, Tep, Hours };

// Meter times are calendar fields without summer time; UTC keeps them so here too.
QDateTime T(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::UTC);
}

const QDateTime kClock = T(2019, 5, 3, 14, 25, 7);

enum class Step { Hour, Day, Month, Event };

struct Kind
{
    const char* name;
    quint16 first;
    Step step;
    bool integral;
};

const Kind kKinds[] = {
    {"hourly", 0x2000, Step::Hour, false},          {"daily", 0x2010, Step::Day, false},
    {"monthly", 0x2020, Step::Month, false},        {"integralDaily", 0x2090, Step::Day, true},
    {"integralMonthly", 0x2030, Step::Month, true}, {"events", 0x2050, Step::Event, false},
};

QJsonObject Object(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}

// The base meter entry with the keys of extra put over it.
QJsonObject Entry(const QByteArray& extra = "{}")
{
    QJsonObject object = Object(kBase);
    const QJsonObject over = Object(extra);
    for (auto it = over.begin(); it != over.end(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

std::unique_ptr<Meter> MakeMeter(const QByteArray& extra = "{}")
{
    QString error;
    std::unique_ptr<Meter> meter = Meter::FromJson(Entry(extra), error);
    if (!meter)
        qWarning("%s", qPrintable(error));
    return meter;
}

MeterAnswer Read(Meter& meter, quint16 reg, quint16 count = 1)
{
    return meter.Handle(MeterRequest{3, reg, count, {}});
}

QByteArray StartBlock(const QDateTime& start)
{
    QByteArray block;
    block.append(char(start.time().hour()));
    block.append(char(start.date().day()));
    block.append(char(start.date().month()));
    block.append(char(start.date().year() - 2000));
    return block;
}

int SetStart(Meter& meter, const QDateTime& start)
{
    return meter.Handle(MeterRequest{16, 8288, 2, StartBlock(start)}).exception;
}

quint32 U32(const QByteArray& bytes, int at)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | quint8(bytes.at(at + i));
    return value;
}

// One record reply taken apart by the table of the register map, not by the meter's
// code.
struct Record
{
    bool sized = false;
    bool present = false;
    int index = -1;
    int hour = 0, day = 0, month = 0, year = 0;
    QByteArray body;

    QDateTime Time() const
    {
        const QDate date(year, month, day);
        return date.isValid() && hour < 24 ? QDateTime(date, QTime(hour, 0), Qt::UTC) : QDateTime();
    }
    quint32 Word(int slot) const { return U32(body, 5 + 4 * slot); }
    double Value(int slot) const
    {
        const quint32 bits = Word(slot);
        float value = 0;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
};

Record Parse(const QByteArray& reply, int model)
{
    const int header = model == 213 ? 5 : 8;
    Record record;
    record.sized = reply.size() == header + 87;
    if (!record.sized)
        return record;
    if (model == 213) {
        record.index = quint8(reply.at(0));
        record.present = record.index != 0xFF;
    } else {
        record.index = qint16(quint8(reply.at(0)) | (quint8(reply.at(1)) << 8));
        record.present = record.index != -1;
    }
    record.body = reply.mid(header);
    record.hour = quint8(record.body.at(1));
    record.day = quint8(record.body.at(2));
    record.month = quint8(record.body.at(3));
    record.year = 2000 + quint8(record.body.at(4));
    return record;
}

// Every record of an archive from a first-record read on, until the no-record marker.
QList<Record> ReadBytes(Meter& meter, quint16 first, int model)
{
    QList<Record> records;
    Record record = Parse(Read(meter, first).data, model);
    while (record.sized && record.present) {
        records.append(record);
        record = Parse(Read(meter, first + 1, 120).data, model);
    }
    return records;
}

QDateTime After(const QDateTime& time, Step step)
{
    switch (step) {
    case Step::Hour:
        return time.addSecs(3600);
    case Step::Day:
        return time.addDays(1);
    case Step::Month:
        return time.addMonths(1);
    case Step::Event:
        break;
    }
    return time;
}

QDateTime Before(const QDateTime& time, Step step)
{
    if (step == Step::Month)
        return time.addMonths(-1);
    return time.addSecs(-(After(time, step).toSecsSinceEpoch() - time.toSecsSinceEpoch()));
}

} // namespace

class TestSimOrvek213 : public QObject
{
    Q_OBJECT

private slots:
    void identityBlocks_data();
    void identityBlocks();
    void clockRuns_data();
    void clockRuns();
    void refusals_data();
    void refusals();
    void badMeterFiles_data();
    void badMeterFiles();
    void recordHeaders_data();
    void recordHeaders();
    void wholeArchives_data();
    void wholeArchives();
    void firstRecordAtOrAfterStart_data();
    void firstRecordAtOrAfterStart();
    void archivesKeepTheirOwnPosition();
    void plausibleValues();
    void archivesAgree();
    void slotsWithoutValue();
    void explicitEvents();
    void generatedEvents();
    void badRecordDates();
    void sameKeySameArchives();
    void readOutOverPseudoTerminal_data();
    void readOutOverPseudoTerminal();
};

void TestSimOrvek213::identityBlocks_data()
{
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<int>("reg");
    QTest::addColumn<QByteArray>("block");

    QByteArray fiftyFive = "[";
    for (int i = 0; i < 55; ++i)
        fiftyFive += i ? ",16" : "16";
    fiftyFive += ']';

    QTest::newRow("serial") << QByteArray("{}") << 0 << QByteArray("22300417");
    QTest::newRow("short serial padded with zero bytes")
        << QByteArray(R"({"serial": "12"})") << 0 << Hex("3132000000000000");
    QTest::newRow("default serial from model and key")
        << QByteArray(R"({"serial": null})") << 0 << QByteArray("22300007");
    QTest::newRow("model 213") << QByteArray(R"({"model": 213})") << 1800 << Hex("D500");
    QTest::newRow("model 223") << QByteArray("{}") << 1800 << Hex("DF00");
    QTest::newRow("model 54528") << QByteArray(R"({"model": 54528})") << 1800 << Hex("00D5");
    // 2019-05-03 is a Friday; the byte between day and month carries the weekday.
    QTest::newRow("clock") << QByteArray("{}") << 8290 << Hex("07190E030505E307");
    QTest::newRow("layout, numbers and hex texts")
        << QByteArray(R"({"layout": [16, "0x31", "b0", 240]})") << 5378
        << Hex("001031B0F0") + QByteArray(51, char(0xFF));
    QTest::newRow("empty layout") << QByteArray(R"({"layout": []})") << 5378
                                  << Hex("00") + QByteArray(55, char(0xFF));
    QTest::newRow("55 codes, no end code") << QByteArray(R"({"layout": )") + fiftyFive + '}' << 5378
                                           << Hex("00") + QByteArray(55, char(0x10));
}

void TestSimOrvek213::identityBlocks()
{
    QFETCH(QByteArray, extra);
    QFETCH(int, reg);
    QFETCH(QByteArray, block);

    // "serial": null stands for a file without the key.
    QJsonObject entry = Entry(extra);
    if (entry.value(QLatin1String("serial")).isNull())
        entry.remove(QStringLiteral("serial"));
    QString error;
    const std::unique_ptr<Meter> meter = Meter::FromJson(entry, error);
    QVERIFY2(meter, qPrintable(error));
    QCOMPARE(meter->Family(), 2);
    QCOMPARE(meter->Address(), quint8(5));
    const MeterAnswer answer = Read(*meter, quint16(reg));
    QCOMPARE(answer.exception, 0);
    QCOMPARE(answer.data.toHex(' '), block.toHex(' '));
    // The whole block, whatever count is named.
    QCOMPARE(Read(*meter, quint16(reg), 120).data, block);
}

void TestSimOrvek213::clockRuns_data()
{
    QTest::addColumn<bool>("runs");
    QTest::addColumn<int>("elapsedMs");
    QTest::addColumn<QByteArray>("block");

    QTest::newRow("a second on") << true << 1000 << Hex("08190E030505E307");
    QTest::newRow("less than a second shows nothing") << true << 999 << Hex("07190E030505E307");
    // 14:25:07 and 9:34:53 make midnight of Saturday, 4 May.
    QTest::newRow("on into the next day") << true << 34'493'000 << Hex("000000040605E307");
    QTest::newRow("stopped") << false << 3'600'000 << Hex("07190E030505E307");
}

// The clock goes on from the file's time by the time the meter has run, told by a clock
// of the test's own.
void TestSimOrvek213::clockRuns()
{
    QFETCH(bool, runs);
    QFETCH(int, elapsedMs);
    QFETCH(QByteArray, block);

    const std::unique_ptr<Meter> meter =
        MakeMeter(runs ? R"({"clockRuns": true})" : R"({"clockRuns": false})");
    QVERIFY(meter);
    qint64 now = 123'456; // the origin is the meter's own business
    meter->SetTicks([&now] { return now; });
    QCOMPARE(Read(*meter, 8290).data.toHex(' '), Hex("07190E030505E307").toHex(' '));
    now += elapsedMs;
    QCOMPARE(Read(*meter, 8290).data.toHex(' '), block.toHex(' '));
}

void TestSimOrvek213::refusals_data()
{
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("reg");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("exception");

    QTest::newRow("register 1") << 3 << 1 << 1 << QByteArray() << 2;
    QTest::newRow("layout minus one") << 3 << 5377 << 1 << QByteArray() << 2;
    QTest::newRow("start date is not read") << 3 << 8288 << 1 << QByteArray() << 2;
    QTest::newRow("no archive at 0x2040") << 3 << 0x2040 << 1 << QByteArray() << 2;
    QTest::newRow("past a next register") << 3 << 0x2002 << 1 << QByteArray() << 2;
    QTest::newRow("past integral daily") << 3 << 0x2092 << 1 << QByteArray() << 2;
    QTest::newRow("count 0") << 3 << 0 << 0 << QByteArray() << 3;
    QTest::newRow("count 126") << 3 << 0 << 126 << QByteArray() << 3;
    QTest::newRow("input registers") << 4 << 0 << 1 << QByteArray() << 1;
    QTest::newRow("clock is not written") << 16 << 8290 << 2 << Hex("0E030513") << 2;
    QTest::newRow("start date of one register") << 16 << 8288 << 1 << Hex("0E03") << 3;
    QTest::newRow("31 February") << 16 << 8288 << 2 << Hex("051F0213") << 3;
    QTest::newRow("month 13") << 16 << 8288 << 2 << Hex("05010D13") << 3;
    QTest::newRow("hour 24") << 16 << 8288 << 2 << Hex("18030513") << 3;
    // What the program sends is served.
    QTest::newRow("start date") << 16 << 8288 << 2 << Hex("0E030513") << 0;
    QTest::newRow("next hourly, count 120") << 3 << 0x2001 << 120 << QByteArray() << 0;
    QTest::newRow("next integral daily, count 1") << 3 << 0x2091 << 1 << QByteArray() << 0;
}

void TestSimOrvek213::refusals()
{
    QFETCH(int, function);
    QFETCH(int, reg);
    QFETCH(int, count);
    QFETCH(QByteArray, data);
    QFETCH(int, exception);

    const std::unique_ptr<Meter> meter = MakeMeter();
    QVERIFY(meter);
    const MeterAnswer answer =
        meter->Handle(MeterRequest{quint8(function), quint16(reg), quint16(count), data});
    QCOMPARE(answer.exception, exception);
    if (exception != 0 || function == 16)
        QVERIFY(answer.data.isEmpty());
    else
        QCOMPARE(answer.data.size(), 95);
}

void TestSimOrvek213::badMeterFiles_data()
{
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<QString>("named");

    QByteArray tooMany = R"({"layout": [16)";
    for (int i = 1; i < 56; ++i)
        tooMany += ",16";
    tooMany += "]}";

    QTest::newRow("unknown key") << QByteArray(R"({"colour": "red"})") << "colour";
    QTest::newRow("model too big") << QByteArray(R"({"model": 70000})") << "model";
    QTest::newRow("model as text") << QByteArray(R"({"model": "223"})") << "model";
    QTest::newRow("serial of 9") << QByteArray(R"({"serial": "123456789"})") << "serial";
    QTest::newRow("serial as number") << QByteArray(R"({"serial": 12345678})") << "serial";
    QTest::newRow("clock text") << QByteArray(R"({"clock": "yesterday"})") << "clock";
    QTest::newRow("clock before 2000")
        << QByteArray(R"({"clock": "1999-12-31T23:00:00"})") << "clock";
    QTest::newRow("clockRuns as text") << QByteArray(R"({"clockRuns": "yes"})") << "clockRuns";
    QTest::newRow("layout code 256") << QByteArray(R"({"layout": [256]})") << "layout";
    QTest::newRow("layout code text") << QByteArray(R"({"layout": ["zz"]})") << "layout";
    QTest::newRow("56 layout codes") << tooMany << "layout";
    QTest::newRow("layout as object") << QByteArray(R"({"layout": {}})") << "layout";
    QTest::newRow("negative key") << QByteArray(R"({"key": -1})") << "key";
    QTest::newRow("fractional key") << QByteArray(R"({"key": 1.5})") << "key";
    QTest::newRow("unknown depth") << QByteArray(R"({"depth": {"hour": 5}})") << "hour";
    QTest::newRow("negative depth") << QByteArray(R"({"depth": {"hourly": -1}})") << "hourly";
    QTest::newRow("depth as list") << QByteArray(R"({"depth": []})") << "depth";
    QTest::newRow("monthly before 2000")
        << QByteArray(R"({"depth": {"monthly": 250}})") << "monthly";
    QTest::newRow("events twice") << QByteArray(R"({"depth": {"events": 3}, "events": []})")
                                  << "events";
    QTest::newRow("event without time") << QByteArray(R"({"events": [{"codes": [5]}]})") << "time";
    QTest::newRow("event code 300")
        << QByteArray(R"({"events": [{"time": "2019-05-01T00:00:00", "codes": [300]}]})")
        << "codes";
    QTest::newRow("event with text")
        << QByteArray(R"({"events": [{"time": "2019-05-01T00:00:00", "text": "x"}]})") << "text";
}

void TestSimOrvek213::badMeterFiles()
{
    QFETCH(QByteArray, extra);
    QFETCH(QString, named);

    QString error;
    QVERIFY(!Meter::FromJson(Entry(extra), error));
    QVERIFY2(error.contains(named), qPrintable(error));
}

void TestSimOrvek213::recordHeaders_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("none");

    QTest::newRow("213") << 213 << Hex("0700000000") << Hex("FF") + QByteArray(91, '\0');
    QTest::newRow("223") << 223 << Hex("0700000000000000") << Hex("FFFF") + QByteArray(93, '\0');
    QTest::newRow("another model: as 223")
        << 307 << Hex("0700000000000000") << Hex("FFFF") + QByteArray(93, '\0');
}

void TestSimOrvek213::recordHeaders()
{
    QFETCH(int, model);
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, none);

    const std::unique_ptr<Meter> meter =
        MakeMeter(QByteArray(R"({"model": )") + QByteArray::number(model) + '}');
    QVERIFY(meter);
    // The oldest hourly record is 2019-05-01 15:00; 22:00 is the eighth.
    QCOMPARE(SetStart(*meter, T(2019, 5, 1, 22)), 0);
    const QByteArray reply = Read(*meter, 0x2000).data;
    QCOMPARE(reply.size(), header.size() + 87);
    QCOMPARE(reply.left(header.size()).toHex(' '), header.toHex(' '));
    QCOMPARE(reply.mid(header.size(), 5).toHex(' '), Hex("0016010513").toHex(' '));

    QCOMPARE(SetStart(*meter, T(2019, 5, 3, 15)), 0);
    QCOMPARE(Read(*meter, 0x2000).data.toHex(' '), none.toHex(' '));
}

void TestSimOrvek213::wholeArchives_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("depth");

    for (const int model : {213, 223}) {
        for (int kind = 0; kind < int(std::size(kKinds)); ++kind)
            QTest::addRow("%d %s", model, kKinds[kind].name)
                << model << kind << (kKinds[kind].step == Step::Month ? 200 : 300);
    }
    // More records than the status byte and a year of hours.
    QTest::newRow("213 hourly, a year") << 213 << 0 << 9000;
    QTest::newRow("223 daily, ten years") << 223 << 1 << 3650;
}

void TestSimOrvek213::wholeArchives()
{
    QFETCH(int, model);
    QFETCH(int, kind);
    QFETCH(int, depth);

    const Kind& k = kKinds[kind];
    const QByteArray extra = QStringLiteral(R"({"model": %1, "depth": {"%2": %3}})")
                                 .arg(model)
                                 .arg(QLatin1String(k.name))
                                 .arg(depth)
                                 .toUtf8();
    const std::unique_ptr<Meter> meter = MakeMeter(extra);
    QVERIFY(meter);

    // No start date written yet: the oldest record comes first.
    const QList<Record> records = ReadBytes(*meter, k.first, model);
    QCOMPARE(records.size(), depth);
    QVERIFY(records.first().Time().isValid());
    for (qsizetype i = 1; i < records.size(); ++i) {
        const QDateTime previous = records.at(i - 1).Time();
        const QDateTime time = records.at(i).Time();
        if (k.step == Step::Event)
            QVERIFY2(time > previous, qPrintable(time.toString()));
        else
            QCOMPARE(time, After(previous, k.step));
        if (k.integral) {
            QVERIFY(records.at(i).Value(V1) >= records.at(i - 1).Value(V1));
            QVERIFY(records.at(i).Word(Hours) > records.at(i - 1).Word(Hours));
        }
    }
    // The newest is the last one due at the clock.
    const QDateTime newest = records.last().Time();
    QVERIFY(newest <= kClock);
    if (k.step != Step::Event)
        QVERIFY(After(newest, k.step) > kClock);

    // Past the end the marker stays.
    QVERIFY(!Parse(Read(*meter, k.first + 1, 120).data, model).present);
    QVERIFY(Parse(Read(*meter, k.first + 1, 120).data, model).sized);
}

void TestSimOrvek213::firstRecordAtOrAfterStart_data()
{
    QTest::addColumn<int>("reg");
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<QDateTime>("first");

    const auto at = [](int month, int day, int hour) {
        return T(2019, month, day, hour);
    };
    QTest::newRow("hourly, on a record") << 0x2000 << at(5, 2, 10) << at(5, 2, 10);
    QTest::newRow("hourly, the newest") << 0x2000 << at(5, 3, 14) << at(5, 3, 14);
    QTest::newRow("hourly, before the oldest") << 0x2000 << at(4, 1, 0) << at(5, 1, 15);
    QTest::newRow("hourly, after the newest") << 0x2000 << at(5, 3, 15) << QDateTime();
    QTest::newRow("daily, within a day") << 0x2010 << at(4, 28, 13) << at(4, 29, 0);
    QTest::newRow("daily, the newest") << 0x2010 << at(5, 3, 0) << at(5, 3, 0);
    QTest::newRow("monthly, mid-month") << 0x2020 << at(2, 15, 0) << at(3, 1, 0);
    QTest::newRow("integral monthly, after the newest") << 0x2030 << at(5, 2, 0) << QDateTime();
    QTest::newRow("integral daily, the oldest") << 0x2090 << at(3, 25, 0) << at(3, 25, 0);
    QTest::newRow("events, between two") << 0x2050 << at(5, 1, 9) << at(5, 2, 9);
    QTest::newRow("events, on one") << 0x2050 << at(5, 1, 8) << at(5, 1, 8);
}

void TestSimOrvek213::firstRecordAtOrAfterStart()
{
    QFETCH(int, reg);
    QFETCH(QDateTime, start);
    QFETCH(QDateTime, first);

    const std::unique_ptr<Meter> meter = MakeMeter(R"({"events": [
        {"time": "2019-05-02T09:00:00", "codes": [18, 19]},
        {"time": "2019-05-01T08:30:00", "codes": [5]}]})");
    QVERIFY(meter);
    QCOMPARE(SetStart(*meter, start), 0);
    const Record record = Parse(Read(*meter, quint16(reg)).data, 223);
    QVERIFY(record.sized);
    QCOMPARE(record.present, first.isValid());
    if (first.isValid())
        QCOMPARE(record.Time(), first);
    // A second first-record read starts over.
    QCOMPARE(Parse(Read(*meter, quint16(reg)).data, 223).body, record.body);
}

void TestSimOrvek213::archivesKeepTheirOwnPosition()
{
    const std::unique_ptr<Meter> meter = MakeMeter();
    QVERIFY(meter);
    // A next-record read with no first one before it finds nothing.
    QVERIFY(!Parse(Read(*meter, 0x2001, 120).data, 223).present);

    QCOMPARE(SetStart(*meter, T(2019, 5, 2, 23)), 0);
    QCOMPARE(Parse(Read(*meter, 0x2000).data, 223).Time(), T(2019, 5, 2, 23));
    QCOMPARE(Parse(Read(*meter, 0x2010).data, 223).Time(), T(2019, 5, 3, 0));
    QCOMPARE(Parse(Read(*meter, 0x2001, 120).data, 223).Time(), T(2019, 5, 3, 0));
    QVERIFY(!Parse(Read(*meter, 0x2011, 120).data, 223).present);
    QCOMPARE(Parse(Read(*meter, 0x2001, 120).data, 223).Time(), T(2019, 5, 3, 1));
    // Another start date does not move an archive until its first record is read.
    QCOMPARE(SetStart(*meter, T(2019, 5, 1, 20)), 0);
    QCOMPARE(Parse(Read(*meter, 0x2001, 120).data, 223).Time(), T(2019, 5, 3, 2));
    QCOMPARE(Parse(Read(*meter, 0x2000).data, 223).Time(), T(2019, 5, 1, 20));
}

void TestSimOrvek213::plausibleValues()
{
    const std::unique_ptr<Meter> meter = MakeMeter();
    QVERIFY(meter);
    // The error flags set only bits that have a name.
    quint32 named = 0;
    for (const int bit : {2, 3, 4, 5, 8, 9, 10, 11, 12, 13, 15, 16, 17, 18, 21, 28, 30, 31})
        named |= 1u << bit;
    for (const Kind& k : kKinds) {
        if (k.step == Step::Event)
            continue;
        const QList<Record> records = ReadBytes(*meter, k.first, 223);
        QVERIFY(!records.isEmpty());
        for (const Record& r : records) {
            const QString at = QLatin1String(k.name) + u' ' + r.Time().toString(Qt::ISODate);
            QVERIFY2(r.Value(T1) >= 40 && r.Value(T1) <= 90, qPrintable(at));
            QVERIFY2(r.Value(T2) >= 20 && r.Value(T2) < r.Value(T1), qPrintable(at));
            QVERIFY2(r.Value(P1) > 0.1 && r.Value(P1) < 1.6, qPrintable(at));
            QVERIFY2(r.Value(V1) > 0 && r.Value(V2) < r.Value(V1), qPrintable(at));
            QVERIFY2(r.Value(G1) > 0.9 * r.Value(V1) && r.Value(G1) < r.Value(V1), qPrintable(at));
            QVERIFY2(r.Value(Q1) > 0 && r.Value(E1) > 0, qPrintable(at));
            QVERIFY2((r.Word(Errors) & ~named) == 0, qPrintable(at));
            if (k.integral)
                continue;
            // Operating time and time without power share the period: 600 units an hour.
            // A record holds the period that ends at its time.
            const quint32 period = 600u * quint32(Before(r.Time(), k.step).secsTo(r.Time()) / 3600);
            QVERIFY2(r.Word(Hours) + r.Word(Tep) == period, qPrintable(at));
            QVERIFY2(r.Word(Tmin) <= period, qPrintable(at));
            QVERIFY2(r.Value(V1) < 8 * double(period) / 600, qPrintable(at));
            if (r.Word(Tep) > 0)
                QVERIFY2(r.Word(Errors) != 0, qPrintable(at));
        }
    }
}

void TestSimOrvek213::archivesAgree()
{
    const std::unique_ptr<Meter> meter = MakeMeter();
    QVERIFY(meter);
    const QList<Record> daily = ReadBytes(*meter, 0x2010, 223);
    const QList<Record> integral = ReadBytes(*meter, 0x2090, 223);
    const QList<Record> monthly = ReadBytes(*meter, 0x2020, 223);
    const QList<Record> integralMonthly = ReadBytes(*meter, 0x2030, 223);
    QCOMPARE(daily.size(), 40);
    QCOMPARE(integral.size(), 40);

    // A day's amount is the growth of the counters over it.
    for (qsizetype i = 1; i < daily.size(); ++i) {
        QCOMPARE(integral.at(i).Time(), daily.at(i).Time());
        QVERIFY(qAbs(daily.at(i).Value(V1) -
                     (integral.at(i).Value(V1) - integral.at(i - 1).Value(V1))) < 0.2);
        QCOMPARE(daily.at(i).Word(Hours),
                 integral.at(i).Word(Hours) - integral.at(i - 1).Word(Hours));
    }
    // April: the monthly record of 1 May and the daily ones of 2 April to 1 May.
    double april = 0;
    for (const Record& r : daily) {
        if (r.Time() > T(2019, 4, 1, 0) && r.Time() <= T(2019, 5, 1, 0))
            april += r.Value(V1);
    }
    QCOMPARE(monthly.last().Time(), T(2019, 5, 1, 0));
    QVERIFY(qAbs(monthly.last().Value(V1) - april) < 0.05);
    // The monthly counters are the daily counters of the same midnight.
    const auto sameMidnight = std::find_if(integral.begin(), integral.end(), [&](const Record& r) {
        return r.Time() == integralMonthly.last().Time();
    });
    QVERIFY(sameMidnight != integral.end());
    QCOMPARE(integralMonthly.last().Word(V1), sameMidnight->Word(V1));
    QCOMPARE(integralMonthly.last().Word(Hours), sameMidnight->Word(Hours));
}

void TestSimOrvek213::slotsWithoutValue()
{
    // Codes without a quantity, one V1 after the end code, and 25 codes of which the
    // body holds 20.
    const std::unique_ptr<Meter> meter =
        MakeMeter(R"({"layout": ["A0", "B1", "05", "E5", "D0", "D7", "C1", "F0", "10"]})");
    QVERIFY(meter);
    const Record record = Parse(Read(*meter, 0x2000).data, 223);
    QVERIFY(record.present);
    QCOMPARE(record.body.mid(5).toHex(), QByteArray(82 * 2, '0'));

    QByteArray extra = R"({"layout": [16)";
    for (int i = 1; i < 25; ++i)
        extra += ",16";
    extra += "]}";
    const std::unique_ptr<Meter> wide = MakeMeter(extra);
    QVERIFY(wide);
    const Record full = Parse(Read(*wide, 0x2010).data, 223);
    for (int slot = 0; slot < 20; ++slot)
        QVERIFY(full.Value(slot) > 0);
    QCOMPARE(full.body.mid(85), Hex("0000"));
}

void TestSimOrvek213::explicitEvents()
{
    // Out of order, minutes to be dropped, 20 codes, a 0 code in the middle.
    const std::unique_ptr<Meter> meter = MakeMeter(R"({"model": 213, "events": [
        {"time": "2019-05-02T10:45:00", "codes": [5, 1, 6]},
        {"time": "2019-04-30T23:00:00", "codes": [1, 2, 3, 4, 5, 6, 7, 8, 9, 10,
                                                  11, 12, 13, 14, 15, 16, 17, 18, 19, 20]},
        {"time": "2019-05-01T07:00:00", "codes": [18, 0, 19]},
        {"time": "2019-05-01T07:00:00", "codes": []}]})");
    QVERIFY(meter);
    const QList<Record> events = ReadBytes(*meter, 0x2050, 213);
    QCOMPARE(events.size(), 4);

    QCOMPARE(events.at(0).Time(), T(2019, 4, 30, 23));
    QCOMPARE(events.at(0).body.mid(5, 20).toHex(),
             Hex("0102030405060708090A0B0C0D0E0F1011121314").toHex());
    QCOMPARE(events.at(1).Time(), T(2019, 5, 1, 7));
    QCOMPARE(events.at(1).body.mid(5, 4).toHex(), Hex("12001300").toHex());
    QCOMPARE(events.at(2).Time(), events.at(1).Time()); // same hour, file order kept
    QCOMPARE(events.at(2).body.at(5), '\0');
    QCOMPARE(events.at(3).Time(), T(2019, 5, 2, 10));
    QCOMPARE(events.at(3).body.mid(5, 4).toHex(), Hex("05010600").toHex());
    for (const Record& event : events)
        QCOMPARE(event.body.mid(25).toHex(), QByteArray(62 * 2, '0'));
}

void TestSimOrvek213::generatedEvents()
{
    const std::unique_ptr<Meter> meter = MakeMeter(R"({"depth": {"events": 500}})");
    QVERIFY(meter);
    const QList<Record> events = ReadBytes(*meter, 0x2050, 223);
    QCOMPARE(events.size(), 500);
    QSet<int> seen;
    for (const Record& event : events) {
        const QByteArray codes = event.body.mid(5, 20);
        const qsizetype count = codes.indexOf('\0');
        QVERIFY(count >= 1);
        for (const char code : codes.left(count)) {
            QVERIFY(code >= 5 && code <= 19);
            seen.insert(code);
        }
    }
    // Power-on, limit crossings and clearing all turn up in 500 records.
    QVERIFY(seen.contains(18) && seen.contains(5) && seen.contains(17));
}

void TestSimOrvek213::badRecordDates()
{
    const std::unique_ptr<Meter> meter = MakeMeter(R"({"faults": {"badRecordDates": true},
        "depth": {"hourly": 6, "daily": 6, "monthly": 6, "integralDaily": 6,
                  "integralMonthly": 6, "events": 6}})");
    QVERIFY(meter);
    for (const Kind& k : kKinds) {
        const QList<Record> records = ReadBytes(*meter, k.first, 223);
        QCOMPARE(records.size(), 6);
        bool february31 = false, month13 = false, hour24 = false;
        for (const Record& r : records) {
            QVERIFY2(!r.Time().isValid(), k.name);
            february31 |= r.day == 31 && r.month == 2;
            month13 |= r.month == 13;
            hour24 |= r.hour == 24;
        }
        QVERIFY2(february31 && month13 && hour24, k.name);
    }
}

void TestSimOrvek213::sameKeySameArchives()
{
    const QByteArray extra = R"({"depth": {"hourly": 30}})";
    const std::unique_ptr<Meter> one = MakeMeter(extra);
    const std::unique_ptr<Meter> two = MakeMeter(extra);
    const std::unique_ptr<Meter> other = MakeMeter(R"({"depth": {"hourly": 30}, "key": 8})");
    QVERIFY(one && two && other);
    const QList<Record> a = ReadBytes(*one, 0x2000, 223);
    const QList<Record> b = ReadBytes(*two, 0x2000, 223);
    const QList<Record> c = ReadBytes(*other, 0x2000, 223);
    QCOMPARE(a.size(), 30);
    QCOMPARE(c.size(), 30);
    int differ = 0;
    for (qsizetype i = 0; i < a.size(); ++i) {
        QCOMPARE(a.at(i).body, b.at(i).body);
        QCOMPARE(c.at(i).Time(), a.at(i).Time());
        differ += c.at(i).body != a.at(i).body;
    }
    QCOMPARE(differ, 30);
}

void TestSimOrvek213::readOutOverPseudoTerminal_data()
{
    QTest::addColumn<int>("model");
    QTest::newRow("213") << 213;
    QTest::newRow("223") << 223;
}

void TestSimOrvek213::readOutOverPseudoTerminal()
{
    QFETCH(int, model);
    const QByteArray extra = QByteArray(R"({"model": )") + QByteArray::number(model) +
                             R"(, "events": [{"time": "2019-05-02T06:00:00", "codes": [18, 19]}]})";
    const QJsonObject entry = Entry(extra);
    const QByteArray file =
        QJsonDocument(QJsonObject{{QStringLiteral("meters"), QJsonArray{entry}}}).toJson();
    QString error;
    const std::unique_ptr<Meter> twin = Meter::FromJson(entry, error); // the same meter, held here
    QVERIFY2(twin, qPrintable(error));

    QTemporaryDir home;
    QVERIFY(home.isValid());
    SimServer server;
    QVERIFY2(server.LoadMeterFile(file, error), qPrintable(error));
    QVERIFY2(server.OpenPty(QString(), error), qPrintable(error));
    ExchangeLog log(home.path() + u'/');
    Channel channel(log);
    ModbusMaster master(channel, log);
    LineConfig config = TestPortLine(server.PtyPath());
    config.sendPause = 0; // the stand-in meter takes requests back to back
    channel.Configure(config);
    master.Configure(config);

    // The simulator answers on this thread's event loop, the master waits on its own.
    std::array<quint8, 255> buffer{};
    const auto read = [&](quint16 reg, quint16 registers, QByteArray& data) {
        quint16 count = registers;
        const ResultCode r =
            OffThread([&] { return master.ReadHoldingRegisters(5, reg, count, buffer); });
        data = r == Rc::Ok ? QByteArray(reinterpret_cast<const char*>(buffer.data()), count)
                           : QByteArray();
        return r;
    };
    const auto setStart = [&](const QDateTime& start) {
        const QByteArray block = StartBlock(start);
        return OffThread([&] {
            return master.WriteMultipleRegisters(
                5, 8288, 2, std::span(reinterpret_cast<const quint8*>(block.constData()), 4));
        });
    };

    QByteArray data;
    QCOMPARE(read(1800, 1, data), Rc::Ok);
    QCOMPARE(quint8(data[0]) | (quint8(data[1]) << 8), model);
    QCOMPARE(read(8290, 1, data), Rc::Ok);
    QCOMPARE(data.toHex(' '), Hex("07190E030505E307").toHex(' '));
    QCOMPARE(read(0, 1, data), Rc::Ok);
    QCOMPARE(data, QByteArray("22300417"));
    QCOMPARE(read(5378, 1, data), Rc::Ok);
    QCOMPARE(data.size(), 56);
    QCOMPARE(data.mid(1, 13).toHex(' '), Hex("1011203031405060C0D1D5B0FF").toHex(' '));

    // Hourly from 12:00: 12, 13 and 14 o'clock, then the marker.
    QCOMPARE(setStart(T(2019, 5, 3, 12)), Rc::Ok);
    QCOMPARE(SetStart(*twin, T(2019, 5, 3, 12)), 0);
    QCOMPARE(read(0x2000, 1, data), Rc::Ok);
    QCOMPARE(data, Read(*twin, 0x2000).data);
    QCOMPARE(Parse(data, model).Time(), T(2019, 5, 3, 12));
    for (const int hour : {13, 14}) {
        QCOMPARE(read(0x2001, 120, data), Rc::Ok);
        QCOMPARE(data, Read(*twin, 0x2001, 120).data);
        QCOMPARE(Parse(data, model).Time(), T(2019, 5, 3, hour));
    }
    QCOMPARE(read(0x2001, 120, data), Rc::Ok);
    QVERIFY(Parse(data, model).sized);
    QVERIFY(!Parse(data, model).present);

    // Integral daily: its next-record register is read with count 1.
    QCOMPARE(setStart(T(2019, 5, 2, 0)), Rc::Ok);
    QCOMPARE(read(0x2090, 1, data), Rc::Ok);
    QCOMPARE(Parse(data, model).Time(), T(2019, 5, 2, 0));
    QCOMPARE(read(0x2091, 1, data), Rc::Ok);
    QCOMPARE(Parse(data, model).Time(), T(2019, 5, 3, 0));
    QCOMPARE(read(0x2091, 1, data), Rc::Ok);
    QVERIFY(!Parse(data, model).present);

    // The event log of the file.
    QCOMPARE(read(0x2050, 1, data), Rc::Ok);
    QCOMPARE(Parse(data, model).Time(), T(2019, 5, 2, 6));
    QCOMPARE(Parse(data, model).body.mid(5, 3).toHex(), Hex("121300").toHex());
    QCOMPARE(read(0x2051, 120, data), Rc::Ok);
    QVERIFY(!Parse(data, model).present);

    // A register the meter does not have: exception 2.
    QCOMPARE(read(0x2040, 1, data), ResultCode::Exception(2));
}

QTEST_GUILESS_MAIN(TestSimOrvek213)
#include "tst_sim_orvek213.moc"
