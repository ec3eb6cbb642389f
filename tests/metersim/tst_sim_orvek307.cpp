#include "Channel.h"
#include "ExchangeLog.h"
#include "LineFixture.h"
#include "ModbusMaster.h"
#include "SimServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <cstring>

namespace {

// A small meter: every archive short enough to list its records by hand.
QByteArray FixtureJson()
{
    QByteArray json = R"({
        "family": 0, "address": 5, "model": 307, "serial": "AB123456",
        "clock": "2026-12-10T10:15:42",
        "layout": [16, 48, 49, 58, 65, 80, 176, 192, 209, 34, 160],
        "names": {"0x201": "Подача", "0x222": "Обратка ТС", "779": "Улица",
                  "0x402": "P1", "0x501": "Q ТС1"},
        "systems": ["ТС1", "ТС2"],
        "key": 42,
        "depth": {"hourly": 5, "daily": 3, "monthly": 3, "integral": 2, "emergency": 4},
        "events": [
            {"time": "2026-12-09T08:30:00", "text": "Вкл;Сеть"},
            {"time": "2026-12-10T09:05:00", "text": "@LONG@"},
            {"time": "2026-12-01T23:59:00", "text": "Откл. питания"}
        ],
        "protected": [{"time": "2026-11-30T12:00:00", "text": "Смена пароля"}]
    })";
    return json.replace("@LONG@", QString(220, QChar(u'Ж')).toUtf8());
}

QJsonObject FixtureObject()
{
    return QJsonDocument::fromJson(FixtureJson()).object();
}

std::unique_ptr<Meter> MakeMeter(const QJsonObject& object)
{
    QString error;
    std::unique_ptr<Meter> meter = Meter::FromJson(object, error);
    if (!meter)
        qWarning("%s", qPrintable(error));
    return meter;
}

MeterAnswer Read(Meter& meter, int reg, int count = 1)
{
    MeterRequest request;
    request.function = 3;
    request.firstRegister = quint16(reg);
    request.count = quint16(count);
    return meter.Handle(request);
}

MeterAnswer WriteStart(Meter& meter, const QDateTime& start)
{
    MeterRequest request;
    request.function = 16;
    request.firstRegister = 96;
    request.count = 2;
    request.data.append(char(start.time().hour()));
    request.data.append(char(start.date().day()));
    request.data.append(char(start.date().month()));
    request.data.append(char(start.date().year() - 2000));
    return meter.Handle(request);
}

QDateTime At(const QString& text)
{
    // The meter's times are calendar fields held as UTC (no summer time).
    const QDateTime parsed = QDateTime::fromString(text, Qt::ISODate);
    return QDateTime(parsed.date(), parsed.time(), Qt::UTC);
}

int Byte(const QByteArray& block, int at)
{
    return quint8(block.at(at));
}

int RecordIndex(const QByteArray& block)
{
    return qint16(quint16(Byte(block, 2) | Byte(block, 3) << 8));
}

// The record's date and hour as a reader takes them from bytes 14-17.
QString Stamp(const QByteArray& block)
{
    return QString::asprintf("%04d-%02d-%02d %02d", 2000 + Byte(block, 17), Byte(block, 16),
                             Byte(block, 15), Byte(block, 14));
}

QDateTime StampTime(const QByteArray& block)
{
    return QDateTime(QDate(2000 + Byte(block, 17), Byte(block, 16), Byte(block, 15)),
                     QTime(Byte(block, 14), 0), Qt::UTC);
}

quint32 U32(const QByteArray& block, int at)
{
    return quint32(Byte(block, at)) | quint32(Byte(block, at + 1)) << 8 |
           quint32(Byte(block, at + 2)) << 16 | quint32(Byte(block, at + 3)) << 24;
}

float Float(const QByteArray& block, int at)
{
    const quint32 bits = U32(block, at);
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Value of archive slot i.
constexpr int Slot(int i)
{
    return 18 + 4 * i;
}

// The records from the first-record read on, up to the no-record marker (not included).
QList<QByteArray> ReadAll(Meter& meter, int first, int next)
{
    QList<QByteArray> blocks;
    QByteArray block = Read(meter, first).data;
    while (block.size() == 240 && RecordIndex(block) != -1 && blocks.size() <= 40000) {
        blocks.append(block);
        block = Read(meter, next, 120).data;
    }
    return blocks;
}

// Hex of block's first bytes with "??" where pattern has it: bytes the program skips.
QString Masked(const QByteArray& block, const QString& pattern)
{
    QString masked;
    for (qsizetype i = 0; i + 1 < pattern.size(); i += 2) {
        if (pattern.mid(i, 2) == QLatin1String("??"))
            masked += QLatin1String("??");
        else if (i / 2 < block.size())
            masked += QString::asprintf("%02x", Byte(block, int(i / 2)));
    }
    return masked;
}

QString Repeat(const char* hex, int times)
{
    return QString::fromLatin1(hex).repeated(times);
}

const QList<int> NamedFlagBits = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                  12, 13, 14, 15, 16, 17, 18, 20, 21, 22, 26, 30};

} // namespace

class TestSimOrvek307 : public QObject
{
    Q_OBJECT

private slots:
    void meterFile_data();
    void meterFile();
    void blocks_data();
    void blocks();
    void refusedRequests_data();
    void refusedRequests();
    void records_data();
    void records();
    void readPosition();
    void eventTexts();
    void generatedArchives_data();
    void generatedArchives();
    void generatedLogs();
    void sameKeySameArchives();
    void badRecordDates_data();
    void badRecordDates();
    void deepHourlyArchive();
    void endToEnd();
};

void TestSimOrvek307::meterFile_data()
{
    QTest::addColumn<QByteArray>("members");
    QTest::addColumn<QString>("complaint"); // empty: the meter is built

    const QByteArray longText = QString(221, QChar(u'ж')).toUtf8();
    QTest::newRow("defaults") << QByteArray() << QString();
    QTest::newRow("unknown model, no slots, empty system list")
        << QByteArray(R"("model": 305, "layout": [], "systems": [])") << QString();
    QTest::newRow("unknown key") << QByteArray(R"("colour": 1)") << "colour";
    QTest::newRow("model as text") << QByteArray(R"("model": "307")") << "model";
    QTest::newRow("model too big") << QByteArray(R"("model": 70000)") << "model";
    QTest::newRow("serial of 7") << QByteArray(R"("serial": "1234567")") << "serial";
    QTest::newRow("clock unreadable") << QByteArray(R"("clock": "yesterday")") << "clock";
    QTest::newRow("layout code 256") << QByteArray(R"("layout": [16, 256])") << "layout";
    QTest::newRow("layout of 56 codes")
        << QByteArray(R"("layout": [)" + QByteArray("16,").repeated(55) + "16]") << "layout";
    QTest::newRow("name for no descriptor") << QByteArray(R"("names": {"0x311": "X"})") << "0x311";
    QTest::newRow("name of 11") << QByteArray(R"("names": {"0x301": "Температура"})") << "0x301";
    QTest::newRow("name not text") << QByteArray(R"("names": {"0x301": 5})") << "0x301";
    QTest::newRow("systems not an array") << QByteArray(R"("systems": "ТС1")") << "systems";
    QTest::newRow("unknown archive depth") << QByteArray(R"("depth": {"weekly": 5})") << "weekly";
    QTest::newRow("negative depth") << QByteArray(R"("depth": {"hourly": -1})") << "hourly";
    QTest::newRow("depth past the index range")
        << QByteArray(R"("depth": {"daily": 32768})") << "daily";
    QTest::newRow("fractional key") << QByteArray(R"("key": 1.5)") << "key";
    QTest::newRow("event without time") << QByteArray(R"("events": [{"text": "x"}])") << "time";
    QTest::newRow("event text of 221")
        << QByteArray(R"("events": [{"time": "2026-12-01T00:00:00", "text": ")" + longText + "\"}]")
        << "text";
    QTest::newRow("unknown key in a log entry")
        << QByteArray(R"("protected": [{"time": "2026-12-01T00:00:00", "when": 1}])") << "when";
}

void TestSimOrvek307::meterFile()
{
    QFETCH(QByteArray, members);
    QFETCH(QString, complaint);

    QByteArray json = R"({"family": 0, "address": 1)";
    if (!members.isEmpty())
        json += ", " + members;
    json += "}";
    QJsonParseError parseError{};
    const QJsonObject object = QJsonDocument::fromJson(json, &parseError).object();
    QCOMPARE(parseError.error, QJsonParseError::NoError);

    QString error;
    const std::unique_ptr<Meter> meter = Meter::FromJson(object, error);
    if (complaint.isEmpty()) {
        QVERIFY2(meter, qPrintable(error));
        QCOMPARE(meter->Family(), 0);
        QCOMPARE(Read(*meter, 1800).exception, 0);
    } else {
        QVERIFY(!meter);
        QVERIFY2(error.contains(complaint), qPrintable(error));
    }
}

void TestSimOrvek307::blocks_data()
{
    QTest::addColumn<int>("reg");
    QTest::addColumn<QString>("pattern"); // hex from byte 0; ?? is a byte nobody reads

    QTest::newRow("model 307 little-endian") << 1800 << "3301";
    QTest::newRow("serial in bytes 1-8") << 257 << "??4142313233343536";
    QTest::newRow("clock") << 98 << "2a0f0a0a??0cea07";
    QTest::newRow("layout, then end codes up to slot 54")
        << 262 << "??1030313a4150b0c0d122a0" + Repeat("f0", 44);
    QTest::newRow("system names, 10 bytes each")
        << 1538 << "d2d131" + Repeat("00", 7) + "d2d132" + Repeat("00", 7);
    QTest::newRow("volume name at 19-28, padded with blanks")
        << 0x201 << Repeat("??", 19) + "cfeee4e0f7e0" + Repeat("20", 4);
    QTest::newRow("mass name at 11-20, all 10 used")
        << 0x222 << Repeat("??", 11) + "cee1f0e0f2eae020d2d1";
    QTest::newRow("temperature channel 11 at 15-24")
        << 0x30B << Repeat("??", 15) + "d3ebe8f6e0" + Repeat("20", 5);
    QTest::newRow("temperature without a name") << 0x301 << Repeat("??", 15) + Repeat("00", 10);
    QTest::newRow("pressure name at 23-32") << 0x402 << Repeat("??", 23) + "5031" + Repeat("20", 8);
    QTest::newRow("heat energy name at 2-11")
        << 0x501 << "????" + QStringLiteral("5120d2d131") + Repeat("20", 5);
    QTest::newRow("last volume descriptor") << 0x210 << Repeat("??", 19) + Repeat("00", 10);
}

void TestSimOrvek307::blocks()
{
    QFETCH(int, reg);
    QFETCH(QString, pattern);

    const auto meter = MakeMeter(FixtureObject());
    QVERIFY(meter);
    const MeterAnswer answer = Read(*meter, reg);
    QCOMPARE(answer.exception, 0);
    QVERIFY(answer.data.size() >= pattern.size() / 2);
    QVERIFY(answer.data.size() <= 255);
    QCOMPARE(Masked(answer.data, pattern), pattern);
    // The whole block comes back whatever count was named.
    QCOMPARE(Read(*meter, reg, 120).data, answer.data);
}

void TestSimOrvek307::refusedRequests_data()
{
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("reg");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("withSystems");
    QTest::addColumn<int>("exception"); // 0: a write that is taken

    for (int reg : {1,     6,     0x56,  0x60,  0x71,  95,    96,    97,    99,
                    256,   258,   261,   263,   0x200, 0x211, 0x220, 0x231, 0x300,
                    0x311, 0x400, 0x411, 0x500, 0x511, 1537,  1539,  1799,  1801})
        QTest::addRow("read %d", reg) << 3 << reg << 1 << QByteArray() << true << 2;
    QTest::newRow("no system names") << 3 << 1538 << 1 << QByteArray() << false << 2;
    QTest::newRow("input registers") << 4 << 1800 << 1 << QByteArray() << true << 1;
    QTest::newRow("write beside the start date")
        << 16 << 97 << 2 << QByteArray::fromHex("000a0c1a") << true << 2;
    QTest::newRow("start date") << 16 << 96 << 2 << QByteArray::fromHex("000a0c1a") << true << 0;
    QTest::newRow("start date 31 February")
        << 16 << 96 << 2 << QByteArray::fromHex("001f021a") << true << 3;
    QTest::newRow("start hour 24") << 16 << 96 << 2 << QByteArray::fromHex("180a0c1a") << true << 3;
    QTest::newRow("start date cut short")
        << 16 << 96 << 1 << QByteArray::fromHex("000a") << true << 3;
}

void TestSimOrvek307::refusedRequests()
{
    QFETCH(int, function);
    QFETCH(int, reg);
    QFETCH(int, count);
    QFETCH(QByteArray, data);
    QFETCH(bool, withSystems);
    QFETCH(int, exception);

    QJsonObject object = FixtureObject();
    if (!withSystems)
        object.remove(QStringLiteral("systems"));
    const auto meter = MakeMeter(object);
    QVERIFY(meter);
    MeterRequest request;
    request.function = quint8(function);
    request.firstRegister = quint16(reg);
    request.count = quint16(count);
    request.data = data;
    const MeterAnswer answer = meter->Handle(request);
    QCOMPARE(answer.exception, exception);
    QVERIFY(answer.data.isEmpty());
}

void TestSimOrvek307::records_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<QString>("start"); // empty: no start date written
    QTest::addColumn<QStringList>("stamps");
    QTest::addColumn<int>("firstIndex");

    // Clock 2026-12-10 10:15: hourly 06..10, daily 8th..10th, monthly October..December.
    QTest::newRow("hourly from the middle")
        << 0 << "2026-12-10T08:00" << QStringList{"2026-12-10 08", "2026-12-10 09", "2026-12-10 10"}
        << 2;
    QTest::newRow("hourly, start before the oldest")
        << 0 << "2026-11-01T00:00"
        << QStringList{"2026-12-10 06", "2026-12-10 07", "2026-12-10 08", "2026-12-10 09",
                       "2026-12-10 10"}
        << 0;
    QTest::newRow("hourly, no start date written")
        << 0 << ""
        << QStringList{"2026-12-10 06", "2026-12-10 07", "2026-12-10 08", "2026-12-10 09",
                       "2026-12-10 10"}
        << 0;
    QTest::newRow("hourly, start after the newest")
        << 0 << "2026-12-10T11:00" << QStringList() << -1;
    QTest::newRow("daily, start within a day")
        << 16 << "2026-12-09T05:00" << QStringList{"2026-12-10 00"} << 2;
    QTest::newRow("daily, start at midnight")
        << 16 << "2026-12-09T00:00" << QStringList{"2026-12-09 00", "2026-12-10 00"} << 1;
    QTest::newRow("monthly") << 32 << "2026-11-01T00:00"
                             << QStringList{"2026-11-01 00", "2026-12-01 00"} << 1;
    QTest::newRow("monthly, start on the 2nd")
        << 32 << "2026-10-02T00:00" << QStringList{"2026-11-01 00", "2026-12-01 00"} << 1;
    QTest::newRow("integral") << 48 << "2026-10-01T00:00"
                              << QStringList{"2026-11-01 00", "2026-12-01 00"} << 0;
    QTest::newRow("event log in time order")
        << 80 << "2026-12-01T00:00"
        << QStringList{"2026-12-01 23", "2026-12-09 08", "2026-12-10 09"} << 0;
    QTest::newRow("event log from a later hour")
        << 80 << "2026-12-09T09:00" << QStringList{"2026-12-10 09"} << 2;
    QTest::newRow("protected log, start at the record")
        << 112 << "2026-11-30T12:00" << QStringList{"2026-11-30 12"} << 0;
    QTest::newRow("protected log, start an hour later")
        << 112 << "2026-11-30T13:00" << QStringList() << -1;
}

void TestSimOrvek307::records()
{
    QFETCH(int, first);
    QFETCH(QString, start);
    QFETCH(QStringList, stamps);
    QFETCH(int, firstIndex);

    const auto meter = MakeMeter(FixtureObject());
    QVERIFY(meter);
    if (!start.isEmpty())
        QCOMPARE(WriteStart(*meter, At(start)).exception, 0);

    const QByteArray head = Read(*meter, first).data;
    QCOMPARE(head.size(), 240);
    QCOMPARE(RecordIndex(head), firstIndex);

    QList<QByteArray> blocks = {head};
    for (int i = 0; i < stamps.size(); ++i) {
        const QByteArray block = Read(*meter, first + 5, 120).data;
        QCOMPARE(block.size(), 240);
        blocks.append(block);
    }
    QStringList got;
    for (int i = 0; i < stamps.size(); ++i) {
        QCOMPARE(RecordIndex(blocks.at(i)), firstIndex + i);
        got.append(Stamp(blocks.at(i)));
    }
    QCOMPARE(got, stamps);
    QCOMPARE(RecordIndex(blocks.last()), -1);
}

void TestSimOrvek307::readPosition()
{
    const auto meter = MakeMeter(FixtureObject());
    QVERIFY(meter);

    // Nothing to follow before a first-record read.
    QCOMPARE(RecordIndex(Read(*meter, 5, 120).data), -1);

    QCOMPARE(WriteStart(*meter, At("2026-12-10T09:00")).exception, 0);
    QCOMPARE(Stamp(Read(*meter, 0).data), QStringLiteral("2026-12-10 09"));
    QCOMPARE(Stamp(Read(*meter, 5, 120).data), QStringLiteral("2026-12-10 10"));
    // The end stays the end.
    QCOMPARE(RecordIndex(Read(*meter, 5, 120).data), -1);
    QCOMPARE(RecordIndex(Read(*meter, 5, 120).data), -1);

    // A new start date takes the next first-record read back.
    QCOMPARE(WriteStart(*meter, At("2026-12-10T07:00")).exception, 0);
    QCOMPARE(Stamp(Read(*meter, 0).data), QStringLiteral("2026-12-10 07"));
    QCOMPARE(Stamp(Read(*meter, 5, 120).data), QStringLiteral("2026-12-10 08"));

    // A first-record read again starts over from the same date.
    QCOMPARE(Stamp(Read(*meter, 0).data), QStringLiteral("2026-12-10 07"));
}

void TestSimOrvek307::eventTexts()
{
    const auto meter = MakeMeter(FixtureObject());
    QVERIFY(meter);
    const QList<QByteArray> events = ReadAll(*meter, 80, 85);
    QCOMPARE(events.size(), 3);

    // Windows-1251, the semicolon as it stands, a zero after the text.
    QCOMPARE(events.at(1).mid(18, 9).toHex(), QByteArray("c2eaeb3bd1e5f2fc00"));
    // A text of the full 220 bytes has no room for a zero.
    QCOMPARE(events.at(2).mid(18, 220), QByteArray(220, char(0xC6)));
    QCOMPARE(events.at(0).mid(18, 14), QByteArray::fromHex("cef2eaeb2e20efe8f2e0ede8ff00"));

    const QList<QByteArray> protectedLog = ReadAll(*meter, 112, 117);
    QCOMPARE(protectedLog.size(), 1);
    QCOMPARE(protectedLog.at(0).mid(18, 13), QByteArray::fromHex("d1ece5ede020efe0f0eeebff00"));
}

void TestSimOrvek307::generatedArchives_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("depth");
    QTest::addColumn<QString>("newest");
    QTest::addColumn<int>("stepSeconds"); // 0: months; -1: scattered days
    QTest::addColumn<bool>("integral");
    QTest::addColumn<bool>("emergency");

    QTest::newRow("hourly") << 0 << 300 << "2026-12-10 10" << 3600 << false << false;
    QTest::newRow("daily") << 16 << 60 << "2026-12-10 00" << 86400 << false << false;
    QTest::newRow("monthly") << 32 << 24 << "2026-12-01 00" << 0 << false << false;
    QTest::newRow("integral") << 48 << 24 << "2026-12-01 00" << 0 << true << false;
    QTest::newRow("emergency") << 64 << 30 << "2026-12-10 00" << -1 << false << true;
}

void TestSimOrvek307::generatedArchives()
{
    QFETCH(int, first);
    QFETCH(int, depth);
    QFETCH(QString, newest);
    QFETCH(int, stepSeconds);
    QFETCH(bool, integral);
    QFETCH(bool, emergency);

    QJsonObject object = FixtureObject();
    object.insert(
        QStringLiteral("depth"),
        QJsonObject{
            {"hourly", 300}, {"daily", 60}, {"monthly", 24}, {"integral", 24}, {"emergency", 30}});
    const auto meter = MakeMeter(object);
    QVERIFY(meter);
    const QList<QByteArray> records = ReadAll(*meter, first, first + 5);
    QCOMPARE(records.size(), depth);
    QCOMPARE(Stamp(records.last()), newest);

    // Layout 0x10 0x30 0x31 0x3A 0x41 0x50 0xB0 0xC0 0xD1 0x22 0xA0.
    QByteArray previous;
    for (int r = 0; r < records.size(); ++r) {
        const QByteArray& b = records.at(r);
        const QDateTime time = StampTime(b);
        QVERIFY2(time.isValid(), qPrintable(Stamp(b)));
        QCOMPARE(RecordIndex(b), r);
        const qint64 interval = stepSeconds > 0    ? stepSeconds
                                : stepSeconds == 0 ? 86400ll * time.date().daysInMonth()
                                                   : 86400;
        if (!previous.isEmpty()) {
            const QDateTime before = StampTime(previous);
            if (stepSeconds > 0)
                QCOMPARE(before.secsTo(time), qint64(stepSeconds));
            else if (stepSeconds == 0)
                QCOMPARE(before.addMonths(1), time);
            else
                QVERIFY(before < time);
        }

        const float supply = Float(b, Slot(1));
        const float back = Float(b, Slot(2));
        QVERIFY2(supply >= 40 && supply <= 90, qPrintable(QString::number(supply)));
        QVERIFY(back > 0 && back < supply);
        QVERIFY(Float(b, Slot(3)) >= 40 && Float(b, Slot(3)) <= 90); // T11 is a supply line
        QVERIFY(Float(b, Slot(4)) > 0 && Float(b, Slot(4)) < 2);     // pressure, MPa

        const quint32 flags = U32(b, Slot(7));
        for (int bit = 0; bit < 32; ++bit)
            QVERIFY(!(flags & (1u << bit)) || NamedFlagBits.contains(bit));
        if (emergency)
            QVERIFY(flags != 0);

        QCOMPARE(U32(b, Slot(10)), 0u);                             // 0xA0 holds no value
        QCOMPARE(b.mid(Slot(11), 220 - 44), QByteArray(176, '\0')); // past the layout

        const float volume = Float(b, Slot(0));
        const float mass = Float(b, Slot(9));
        const float heat = Float(b, Slot(5));
        QVERIFY(volume > 0 && mass > 0 && heat > 0);
        if (integral) {
            if (!previous.isEmpty()) {
                QVERIFY(volume > Float(previous, Slot(0)));
                QVERIFY(mass > Float(previous, Slot(9)));
                QVERIFY(heat > Float(previous, Slot(5)));
                QVERIFY(U32(b, Slot(6)) > U32(previous, Slot(6)));
                QVERIFY(U32(b, Slot(8)) >= U32(previous, Slot(8)));
            }
        } else {
            // Amounts of one interval: at most the interval's operating seconds, and a
            // flow below 10 m³/h.
            QVERIFY(U32(b, Slot(6)) <= interval);
            QVERIFY(U32(b, Slot(8)) <= interval);
            QVERIFY(volume < 10.0 * double(interval) / 3600);
        }
        previous = b;
    }
}

void TestSimOrvek307::generatedLogs()
{
    QJsonObject object = FixtureObject();
    object.remove(QStringLiteral("events"));
    object.remove(QStringLiteral("protected"));
    object.insert(QStringLiteral("depth"), QJsonObject{{"events", 25}, {"protected", 7}});
    const auto meter = MakeMeter(object);
    QVERIFY(meter);

    const QDateTime clock = At("2026-12-10T10:15:42");
    for (auto [first, depth] : {std::pair{80, 25}, std::pair{112, 7}}) {
        const QList<QByteArray> records = ReadAll(*meter, first, first + 5);
        QCOMPARE(records.size(), depth);
        QDateTime before;
        for (const QByteArray& b : records) {
            const QDateTime time = StampTime(b);
            QVERIFY(time.isValid() && time <= clock);
            QVERIFY(!before.isValid() || before <= time);
            before = time;
            const QByteArray text = b.mid(18, 220);
            QVERIFY(text.at(0) != '\0');
            QVERIFY(text.contains('\0'));
        }
    }
}

void TestSimOrvek307::sameKeySameArchives()
{
    QJsonObject object = FixtureObject();
    object.remove(QStringLiteral("events"));
    const auto one = MakeMeter(object);
    const auto two = MakeMeter(object);
    object.insert(QStringLiteral("key"), 43);
    const auto other = MakeMeter(object);
    QVERIFY(one && two && other);

    for (int first : {0, 16, 32, 48, 64, 80}) {
        const QList<QByteArray> records = ReadAll(*one, first, first + 5);
        QVERIFY(!records.isEmpty());
        QCOMPARE(ReadAll(*two, first, first + 5), records);
        QVERIFY(ReadAll(*other, first, first + 5) != records);
    }
}

void TestSimOrvek307::badRecordDates_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("count");

    QTest::newRow("hourly") << 0 << 5;
    QTest::newRow("daily") << 16 << 3;
    QTest::newRow("monthly") << 32 << 3;
    QTest::newRow("integral") << 48 << 2;
    QTest::newRow("emergency") << 64 << 4;
    QTest::newRow("event log") << 80 << 3;
    QTest::newRow("protected log") << 112 << 1;
}

void TestSimOrvek307::badRecordDates()
{
    QFETCH(int, first);
    QFETCH(int, count);

    QJsonObject object = FixtureObject();
    object.insert(QStringLiteral("faults"), QJsonObject{{"badRecordDates", true}});
    const auto meter = MakeMeter(object);
    QVERIFY(meter);
    QCOMPARE(meter->Faults().badRecordDates, true);

    const QList<QByteArray> records = ReadAll(*meter, first, first + 5);
    QCOMPARE(records.size(), count);
    for (const QByteArray& b : records) {
        QVERIFY2(!QDate(2000 + Byte(b, 17), Byte(b, 16), Byte(b, 15)).isValid(),
                 qPrintable(Stamp(b)));
        QVERIFY(Byte(b, 14) < 24);
    }
    // The clock is not a record.
    const QByteArray clock = Read(*meter, 98).data;
    QVERIFY(QDate(Byte(clock, 6) | Byte(clock, 7) << 8, Byte(clock, 5), Byte(clock, 3)).isValid());
}

void TestSimOrvek307::deepHourlyArchive()
{
    QJsonObject object = FixtureObject();
    object.insert(QStringLiteral("depth"), QJsonObject{{"hourly", 9000}});
    const auto meter = MakeMeter(object);
    QVERIFY(meter);

    const QDateTime newest = At("2026-12-10T10:00");
    QCOMPARE(WriteStart(*meter, newest.addSecs(-3600ll * 4500)).exception, 0);
    const QList<QByteArray> tail = ReadAll(*meter, 0, 5);
    QCOMPARE(tail.size(), 4501);
    QCOMPARE(RecordIndex(tail.first()), 8999 - 4500);
    QCOMPARE(StampTime(tail.first()), newest.addSecs(-3600ll * 4500));
    QCOMPARE(RecordIndex(tail.last()), 8999);
    QCOMPARE(StampTime(tail.last()), newest);

    QCOMPARE(WriteStart(*meter, newest.addSecs(-3600ll * 8999)).exception, 0);
    QCOMPARE(RecordIndex(Read(*meter, 0).data), 0);
}

void TestSimOrvek307::endToEnd()
{
    QTemporaryDir home;
    QVERIFY(home.isValid());
    QJsonObject meterObject = FixtureObject();
    const QByteArray meterFile =
        QJsonDocument(QJsonObject{{"meters", QJsonArray{meterObject}}}).toJson();

    SimServer server;
    QString error;
    QVERIFY2(server.LoadMeterFile(meterFile, error), qPrintable(error));
    QVERIFY2(server.OpenPty(QString(), error), qPrintable(error));

    ExchangeLog log(home.path() + u'/');
    Channel channel(log);
    ModbusMaster master(channel, log);
    LineConfig config = TestPortLine(server.PtyPath());
    config.sendPause = 0; // the stand-in meter takes requests back to back
    channel.Configure(config);
    master.Configure(config);
    QCOMPARE(channel.OpenChannel(), Rc::Ok);

    // The simulator answers on this thread's event loop, the master waits on its own.
    std::array<quint8, 256> buffer{};
    auto read = [&](int reg, quint16 wanted) -> QByteArray {
        quint16 count = wanted;
        buffer.fill(0);
        const ResultCode rc =
            OffThread([&] { return master.ReadHoldingRegisters(5, quint16(reg), count, buffer); });
        if (rc != Rc::Ok)
            return QByteArray("rc ") + ResultCodeText(rc).toUtf8();
        return QByteArray(reinterpret_cast<const char*>(buffer.data()), count);
    };

    QCOMPARE(read(1800, 1).toHex(), QByteArray("3301"));
    const QByteArray clock = read(98, 1);
    QCOMPARE(clock.size(), 8);
    QCOMPARE(QDateTime(QDate(Byte(clock, 6) | Byte(clock, 7) << 8, Byte(clock, 5), Byte(clock, 3)),
                       QTime(Byte(clock, 2), Byte(clock, 1), Byte(clock, 0)), Qt::UTC),
             At("2026-12-10T10:15:42"));
    QCOMPARE(read(257, 1).mid(1, 8), QByteArray("AB123456"));
    const QByteArray layout = read(262, 1);
    QCOMPARE(layout.mid(1, 12).toHex(), QByteArray("1030313a4150b0c0d122a0f0"));
    QCOMPARE(read(0x30B, 1).mid(15, 10).toHex(), QByteArray("d3ebe8f6e02020202020"));
    QCOMPARE(read(1538, 1).left(3).toHex(), QByteArray("d2d131"));
    QCOMPARE(read(263, 1), "rc " + ResultCodeText(ResultCode::Exception(2)).toUtf8());

    quint16 count = 1;
    QCOMPARE(OffThread([&] { return master.ReadInputRegisters(5, 1800, count, buffer); }),
             ResultCode::Exception(1));

    const auto writeStart = [&](const std::array<quint8, 4>& start) {
        return OffThread([&] { return master.WriteMultipleRegisters(5, 96, 2, start); });
    };
    QCOMPARE(writeStart({8, 10, 12, 26}), Rc::Ok);
    const QByteArray head = read(0, 1);
    QCOMPARE(head.size(), 240);
    QCOMPARE(RecordIndex(head), 2);
    QCOMPARE(Stamp(head), QStringLiteral("2026-12-10 08"));
    QStringList stamps;
    for (;;) {
        const QByteArray next = read(5, 120);
        QCOMPARE(next.size(), 240);
        if (RecordIndex(next) == -1)
            break;
        stamps.append(Stamp(next));
        QVERIFY(stamps.size() < 10);
    }
    QCOMPARE(stamps, (QStringList{"2026-12-10 09", "2026-12-10 10"}));

    // The event log over the same line: the text as the meter holds it.
    QCOMPARE(writeStart({0, 9, 12, 26}), Rc::Ok);
    const QByteArray event = read(80, 1);
    QCOMPARE(Stamp(event), QStringLiteral("2026-12-09 08"));
    QCOMPARE(event.mid(18, 9).toHex(), QByteArray("c2eaeb3bd1e5f2fc00"));
    channel.CloseChannel();
}

QTEST_GUILESS_MAIN(TestSimOrvek307)
#include "tst_sim_orvek307.moc"
