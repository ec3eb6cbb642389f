#include "AnsiCodec.h"
#include "DeviceDriver.h"
#include "ExchangeLog.h"
#include "IlmDriver.h"
#include "MemoryFixture.h"
#include "Meter.h"
#include "MeterBus.h"
#include "ModbusMaster.h"
#include "SimServer.h"
#include "TestFiles.h"
#include "TextFormat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QTest>

#include <bit>
#include <functional>
#include <numbers>

namespace {

constexpr quint8 kAddress = 0x11;

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int value : values)
        bytes.append(char(value));
    return bytes;
}

QByteArray Ansi(const char16_t* text)
{
    return EncodeAnsi(QStringView(text));
}

// The frames a device must receive.
QByteArray ReadRequest(quint16 first, quint16 count)
{
    return WithCrc(Bytes({int(kAddress), 4, int(first >> 8), int(first & 0xFF), 0, int(count)}));
}

QByteArray WriteRequest(quint16 first, const QByteArray& data)
{
    const int count = int(data.size() / 2);
    return WithCrc(Bytes({int(kAddress), 16, int(first >> 8), int(first & 0xFF), 0, int(count),
                          int(2 * count)}) +
                   data);
}

// A register-256 page of 244 bytes: the header and the given fields by slot; longer
// fields run on into the following ones.
QByteArray Page(const QByteArray& header, const QMap<int, QByteArray>& fields)
{
    QByteArray page(244, '\0');
    page.replace(0, header.size(), header);
    for (auto it = fields.cbegin(); it != fields.cend(); ++it)
        page.replace(4 + 4 * it.key(), it.value().size(), it.value());
    return page.left(244);
}

// A date-time as the meter means it, whatever zone it is kept in.
QString Calendar(const QDateTime& time)
{
    return time.date().toString(Qt::ISODate) + u' ' + time.time().toString(Qt::ISODate);
}

// Slots that have a kind or a name, as "slot kind name".
QStringList Describe(const ArchiveLayout& layout, const ParameterNames& names)
{
    QStringList described;
    for (int f = 0; f < ArchiveSlots; ++f) {
        if (layout[size_t(f)] != Kind::None || !names[size_t(f)].isEmpty())
            described
                << QStringLiteral("%1 %2 %3").arg(f).arg(layout[size_t(f)]).arg(names[size_t(f)]);
    }
    return described;
}

// How a scripted request is answered: 0 as asked, n > 0 exception n, -1 not at all.
enum Failure { Answer = 0, Silent = -1 };

// A scripted ИЛЬМ: every read gets the next of `reads` (the last one again
// when they run out), every write is taken.
struct ScriptedIlm
{
    ScriptedIlm() : context(line.master, line.log)
    {
        context.DeviceAddress = kAddress;
        driver = MakeIlmDriver(context);
        line.Serve([this](const QByteArray& request) { return Reply(request); });
    }

    QByteArray Reply(const QByteArray& request)
    {
        const char function = request.at(1);
        const int failure = function == 16 ? writeFailure : readFailure;
        if (failure == Silent)
            return {};
        if (failure > 0)
            return WithCrc(Bytes({int(kAddress), int(function | 0x80), int(failure)}));
        if (function == 16)
            return WithCrc(request.left(6));
        const QByteArray data =
            reads.isEmpty() ? QByteArray() : reads.at(qMin(next++, reads.size() - 1));
        return WithCrc(Bytes({int(kAddress), 4, int(data.size())}) + data);
    }

    // Failures make one attempt only, so that silence costs a single time-out.
    void Fail(int read, int write)
    {
        readFailure = read;
        writeFailure = write;
        line.config.globalTry = 1;
        line.Apply();
    }

    const QList<QByteArray>& Requests() { return line.Requests(); }

    MemoryFixture line;
    DriverContext context;
    std::unique_ptr<DeviceDriver> driver;
    QList<QByteArray> reads;
    qsizetype next = 0;
    int readFailure = Answer;
    int writeFailure = Answer;
};

// The names page of the record tests: slot 1 has none, slot 4 a name but no kind.
const QByteArray kRecordNames = Page({}, {{0, "F"}, {3, "Q2"}, {4, "Q"}, {6, "t1"}, {59, "P2"}});

// The record fields of the record tests, with the values they stand for.
const QMap<int, QByteArray> kRecordFields = {
    {0, Hex("12345678")}, // flag word 0x56781234
    {1, Hex("00003F80")}, // no name: never decoded
    {3, Hex("00003F80")}, {4, Hex("0FDB4049")}, {6, Hex("0000C28C")}, {59, Hex("CCCD3F8C")},
};
// Values by slot; a slot not listed keeps what it held.
using SlotValues = QMap<int, double>;
const SlotValues kRecordValues = {
    {0, 1450709556.0}, {3, 1.0},           {4, double(std::numbers::pi_v<float>)},
    {6, -70.0},        {59, double(1.1f)},
};

constexpr double kUntouched = -7.5;
const QDateTime kUntouchedTime(QDate(2001, 2, 3), QTime(4, 5));

ArchiveKind KindFor(PeriodCode period)
{
    switch (period) {
    case Period::Daily:
        return ArchiveKind::Daily;
    case Period::Monthly:
        return ArchiveKind::Monthly;
    default:
        return ArchiveKind::Hourly;
    }
}

// ---- The meter simulator ----------------------------------------------------------

// Names that fill whole fields, one that runs on into the next field (which the program
// then sees as a slot of its own), a counter in a volume column, Cyrillic letters after
// a Latin first one, and a name that fills the page's last field without a zero after it.
const char* const kMeterFile = R"({
    "family": 1, "address": 23, "model": 7,
    "serial": [12, 0, 7, 19, 0, 0, 1, 5],
    "clock": "2019-07-19T10:30:05", "secondsBit7": true, "key": 11,
    "depth": {"hourly": 12, "daily": 8, "monthly": 4},
    "fields": ["F1", "h1", "Q1", "Q2", "V1", "G1", "t1", "t2", "P1", "P2",
               {"slot": 14, "name": "V2"}, {"slot": 15, "name": "E1"},
               {"slot": 24, "name": "Q"}, {"slot": 26, "name": "Подача"},
               {"slot": 34, "name": "Vгвс"}, {"slot": 45, "name": "Gпод"},
               {"slot": 59, "name": "Pвых"}]
})";
constexpr quint8 kMeterAddress = 23;

// What the meter file means, written out by hand.
const QStringList kMeterSlots = {
    "0 102 F1", "1 104 h1",      "2 113 Q1",  "3 113 Q2",    "4 118 V1",    "5 109 G1",
    "6 116 t1", "7 116 t2",      "8 112 P1",  "9 112 P2",    "14 118 V2",   "15 101 E1",
    "24 0 Q",   "26 116 Подача", "27 116 ча", "34 118 Vгвс", "45 109 Gпод", "59 112 Pвых",
};

QJsonObject MeterObject(const QJsonObject& faults = {})
{
    QJsonObject object = QJsonDocument::fromJson(kMeterFile).object();
    if (!faults.isEmpty())
        object.insert(QStringLiteral("faults"), faults);
    return object;
}

// The simulator's meter read through the program's own master.
struct SimulatedIlm
{
    explicit SimulatedIlm(const QJsonObject& meter = MeterObject()) : context(line.master, line.log)
    {
        QString error;
        const QJsonObject file{{QStringLiteral("meters"), QJsonArray{meter}}};
        ok = server.LoadMeterFile(QJsonDocument(file).toJson(), error);
        if (!ok)
            qWarning("%s", qPrintable(error));
        line.line.SetResponder(MemoryResponder(server));
        context.DeviceAddress = kMeterAddress;
        driver = MakeIlmDriver(context);
    }

    SimServer server;
    MemoryFixture line;
    DriverContext context;
    std::unique_ptr<DeviceDriver> driver;
    bool ok = false;
};

// The same meter built on its own and asked directly: what it holds, byte for byte.
struct TwinMeter
{
    TwinMeter()
    {
        QString error;
        meter = Meter::FromJson(MeterObject(), error);
        if (!meter)
            qWarning("%s", qPrintable(error));
    }

    bool Select(const QDateTime& start, quint8 selector)
    {
        QByteArray block(14, '\0');
        block[0] = char(start.date().year() - 2000);
        block[1] = char(start.date().month());
        block[2] = char(start.date().day());
        block[3] = char(start.time().hour());
        block[7] = char(selector);
        block[13] = char(98);
        return meter->Handle({16, 0, 7, block}).exception == 0;
    }

    QByteArray NextPage() { return meter->Handle({4, 256, 122, {}}).data; }

    std::unique_ptr<Meter> meter;
};

// The four bytes that carry a 32-bit value: the low register first, high byte first.
QByteArray FieldBytes(quint32 bits)
{
    return Bytes({int(bits >> 8), int(bits), int(bits >> 24), int(bits >> 16)});
}

} // namespace

class TestDriverIlm : public QObject
{
    Q_OBJECT

private slots:
    void identify_data();
    void identify();
    void clock_data();
    void clock();
    void serial_data();
    void serial();
    void layout_data();
    void layout();
    void layoutFailure_data();
    void layoutFailure();
    void startDate_data();
    void startDate();
    void records_data();
    void records();
    void onlyWhatTheFamilyHas();
    void simulatorPass();
    void simulatorBadDates_data();
    void simulatorBadDates();
};

void TestDriverIlm::identify_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("failure");
    QTest::addColumn<QString>("name");
    QTest::addColumn<ResultCode>("result");

    QTest::newRow("model 4") << Hex("0004") << 0 << QStringLiteral("ИЛЬМ-4") << Rc::Ok;
    QTest::newRow("high byte ignored") << Hex("07FF") << 0 << QStringLiteral("ИЛЬМ-255") << Rc::Ok;
    QTest::newRow("model byte missing") << Hex("04") << 0 << QStringLiteral("ИЛЬМ-0") << Rc::Ok;
    QTest::newRow("exception 2") << QByteArray() << 2 << QStringLiteral("ИЛЬМ-x")
                                 << ResultCode::Exception(2);
    QTest::newRow("no reply") << QByteArray() << int(Silent) << QStringLiteral("ИЛЬМ-x")
                              << Rc::NoReply;
}

void TestDriverIlm::identify()
{
    QFETCH(QByteArray, data);
    QFETCH(int, failure);
    QFETCH(QString, name);
    QFETCH(ResultCode, result);

    ScriptedIlm device;
    device.reads = {data};
    if (failure != Answer)
        device.Fail(failure, Answer);
    QString text = QStringLiteral("ИЛЬМ-9");
    QCOMPARE(device.driver->IdentifyDevice(text), result);
    QCOMPARE(text, name);
    QCOMPARE(device.Requests().first(), ReadRequest(842, 1));
}

void TestDriverIlm::clock_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("failure");
    QTest::addColumn<QString>("clock");
    QTest::addColumn<ResultCode>("result");

    const QString zero = QStringLiteral("1899-12-30 00:00:00");
    QTest::newRow("seconds bit 7 set")
        << Hex("1307130A1E85") << 0 << QStringLiteral("2019-07-19 10:30:05") << Rc::Ok;
    QTest::newRow("last second of 2255")
        << Hex("FF0C1F173BBB") << 0 << QStringLiteral("2255-12-31 23:59:59") << Rc::Ok;
    QTest::newRow("minute and seconds missing")
        << Hex("1307130A") << 0 << QStringLiteral("2019-07-19 10:00:00") << Rc::Ok;
    // The device is still read; the log shows an obviously wrong clock.
    QTest::newRow("31 February") << Hex("13021F0A1E05") << 0 << zero << Rc::Ok;
    QTest::newRow("hour 24") << Hex("130713181E05") << 0 << zero << Rc::Ok;
    QTest::newRow("seconds 60") << Hex("1307130A1EBC") << 0 << zero << Rc::Ok;
    QTest::newRow("exception 4") << QByteArray() << 4 << zero << ResultCode::Exception(4);
}

void TestDriverIlm::clock()
{
    QFETCH(QByteArray, data);
    QFETCH(int, failure);
    QFETCH(QString, clock);
    QFETCH(ResultCode, result);

    ScriptedIlm device;
    device.reads = {data};
    if (failure != Answer)
        device.Fail(failure, Answer);
    QDateTime time = kUntouchedTime;
    QCOMPARE(device.driver->ReadDeviceClock(time), result);
    QCOMPARE(Calendar(time), clock);
    if (clock.startsWith(QLatin1String("1899")))
        QCOMPARE(time, ZeroDateTime());
    QCOMPARE(device.Requests().first(), ReadRequest(0, 3));
}

void TestDriverIlm::serial_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("failure");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<ResultCode>("result");

    QTest::newRow("low byte of each register first")
        << Hex("0102030405060708") << 0 << QStringLiteral("21436587") << Rc::Ok;
    QTest::newRow("no leading zeros")
        << Hex("000C130700000501") << 0 << QStringLiteral("1207190015") << Rc::Ok;
    QTest::newRow("last register missing")
        << Hex("000C1307FF00") << 0 << QStringLiteral("120719025500") << Rc::Ok;
    QTest::newRow("no reply") << QByteArray() << int(Silent) << QString() << Rc::NoReply;
}

void TestDriverIlm::serial()
{
    QFETCH(QByteArray, data);
    QFETCH(int, failure);
    QFETCH(QString, serial);
    QFETCH(ResultCode, result);

    ScriptedIlm device;
    device.reads = {data};
    if (failure != Answer)
        device.Fail(failure, Answer);
    QString text = QStringLiteral("99");
    QCOMPARE(device.driver->ReadSerialNumber(text), result);
    QCOMPARE(text, serial);
    QCOMPARE(device.Requests().first(), ReadRequest(834, 4));
}

void TestDriverIlm::layout_data()
{
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QStringList>("described");

    // Row 0 names every column; a capital В (Cyrillic) and a small v are no volume.
    const QByteArray full = Page({}, {{0, "F"},
                                      {1, "h1"},
                                      {2, "Q1"},
                                      {3, "Q2"},
                                      {4, "Q"},
                                      {5, "G1"},
                                      {6, "t1"},
                                      {7, "t2"},
                                      {8, "P1"},
                                      {9, "P2"},
                                      {14, "V2"},
                                      {15, "E1"},
                                      {24, Ansi(u"Вода")},
                                      {36, Ansi(u"Подача")},
                                      {44, "vol"},
                                      {59, Ansi(u"Длинное")}});
    QTest::newRow("every column") << full << QStringList{"0 102 F",   "1 104 h1",      "2 113 Q1",
                                                         "3 113 Q2",  "4 0 Q",         "5 109 G1",
                                                         "6 116 t1",  "7 116 t2",      "8 112 P1",
                                                         "9 112 P2",  "14 118 V2",     "15 101 E1",
                                                         "24 0 Вода", "36 116 Подача", "37 116 ча",
                                                         "44 0 vol",  "59 112 Длин"};
    QTest::newRow("names with ';' and line breaks")
        << Page({}, {{0, "F;1"}, {1, "h\r\n"}, {6, "t\x01x"}})
        << QStringList{"0 102 F,1", "1 104 h  ", "6 116 t x"};
    QTest::newRow("block ends in field 1")
        << Hex("00000000") + "F" + Hex("000000") + "h1" << QStringList{"0 102 F", "1 104 h1"};
    QTest::newRow("no names") << QByteArray(244, '\0') << QStringList{};
}

void TestDriverIlm::layout()
{
    QFETCH(QByteArray, page);
    QFETCH(QStringList, described);

    ScriptedIlm device;
    // A long reply first leaves bytes past every page in the driver's buffer, and an
    // earlier device a name in every slot.
    device.reads = {QByteArray(255, 'x'), QByteArray(244, 'Z'), page};
    QString serial;
    QCOMPARE(device.driver->ReadSerialNumber(serial), Rc::Ok);
    ArchiveLayout layout;
    layout.fill(55);
    QCOMPARE(device.driver->ReadArchiveLayout(layout), Rc::Ok);
    QCOMPARE(device.driver->ReadArchiveLayout(layout), Rc::Ok);
    ParameterNames names;
    names.fill(QStringLiteral("old"));
    QCOMPARE(device.driver->ReadParameterNames(names), Rc::Ok);
    QCOMPARE(Describe(layout, names), described);

    // The page switch goes right before the page is read.
    const QList<QByteArray>& requests = device.Requests();
    QCOMPARE(requests.size(), 5);
    QCOMPARE(requests.at(3), WriteRequest(6, Hex("0010")));
    QCOMPARE(requests.at(4), ReadRequest(256, 122));
}

void TestDriverIlm::layoutFailure_data()
{
    QTest::addColumn<int>("readFailure");
    QTest::addColumn<int>("writeFailure");
    QTest::addColumn<int>("requests");
    QTest::addColumn<ResultCode>("result");

    QTest::newRow("switch refused") << 0 << 3 << 1 << ResultCode::Exception(3);
    QTest::newRow("switch unanswered") << 0 << int(Silent) << 1 << Rc::NoReply;
    QTest::newRow("page refused") << 4 << 0 << 2 << ResultCode::Exception(4);
}

void TestDriverIlm::layoutFailure()
{
    QFETCH(int, readFailure);
    QFETCH(int, writeFailure);
    QFETCH(int, requests);
    QFETCH(ResultCode, result);

    ScriptedIlm device;
    device.reads = {kRecordNames};
    ArchiveLayout layout;
    QCOMPARE(device.driver->ReadArchiveLayout(layout), Rc::Ok);
    ParameterNames before;
    QCOMPARE(device.driver->ReadParameterNames(before), Rc::Ok);

    device.reads = {Page({}, {{1, "h9"}})};
    device.next = 0;
    device.Fail(readFailure, writeFailure);
    QCOMPARE(device.driver->ReadArchiveLayout(layout), result);
    QCOMPARE(device.Requests().size(), 2 + requests);
    // The names of the last layout read stay.
    ParameterNames after;
    QCOMPARE(device.driver->ReadParameterNames(after), Rc::Ok);
    QCOMPARE(after, before);
}

void TestDriverIlm::startDate_data()
{
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<int>("period");
    QTest::addColumn<int>("failure");
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<ResultCode>("result");

    auto at = [](int y, int mo, int d, int h, int mi = 0) {
        return CalendarDateTime(QDate(y, mo, d), QTime(h, mi));
    };
    QTest::newRow("daily") << at(2019, 7, 19, 0) << 100 << 0
                           << Hex("13 07 13 00 000000 1B 0000000000 62") << Rc::Ok;
    QTest::newRow("hourly: minutes dropped")
        << at(2019, 7, 19, 10, 45) << 104 << 0 << Hex("13 07 13 0A 000000 1A 0000000000 62")
        << Rc::Ok;
    QTest::newRow("monthly") << at(2019, 7, 1, 0) << 109 << 0
                             << Hex("13 07 01 00 000000 1C 0000000000 62") << Rc::Ok;
    QTest::newRow("logs: no archive")
        << at(2019, 7, 19, 0) << 0 << 0 << Hex("13 07 13 00 000000 00 0000000000 62") << Rc::Ok;
    QTest::newRow("other code: no archive")
        << at(2019, 7, 19, 0) << 102 << 0 << Hex("13 07 13 00 000000 00 0000000000 62") << Rc::Ok;
    QTest::newRow("year 2256 wraps")
        << at(2256, 1, 2, 3) << 104 << 0 << Hex("00 01 02 03 000000 1A 0000000000 62") << Rc::Ok;
    QTest::newRow("refused") << at(2019, 7, 19, 0) << 100 << 3
                             << Hex("13 07 13 00 000000 1B 0000000000 62")
                             << ResultCode::Exception(3);
}

void TestDriverIlm::startDate()
{
    QFETCH(QDateTime, start);
    QFETCH(int, period);
    QFETCH(int, failure);
    QFETCH(QByteArray, block);
    QFETCH(ResultCode, result);

    ScriptedIlm device;
    if (failure != Answer)
        device.Fail(Answer, failure);
    QCOMPARE(device.driver->SetReadStartDate(start, PeriodCode(period)), result);
    QCOMPARE(device.Requests().size(), 1);
    QCOMPARE(device.Requests().first(), WriteRequest(0, block));
}

void TestDriverIlm::records_data()
{
    QTest::addColumn<int>("period");
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<ResultCode>("result");
    QTest::addColumn<QString>("time");
    QTest::addColumn<int>("index");
    QTest::addColumn<SlotValues>("values");
    QTest::addColumn<QString>("errorText");

    const QString untouched = Calendar(kUntouchedTime);
    auto row = [](const char* name, PeriodCode period, const char* header) -> QTestData& {
        return QTest::newRow(name) << int(period) << Page(Hex(header), kRecordFields);
    };
    row("hourly", 104, "1307130A")
        << Rc::Ok << "2019-07-19 10:00:00" << 0x0713 << kRecordValues << "";
    row("daily", 100, "1307130A") << Rc::Ok << "2019-07-19 10:00:00" << 0x0713 << kRecordValues
                                  << "";
    row("monthly: the first of the month", 109, "1307130A")
        << Rc::Ok << "2019-07-01 00:00:00" << 0x0713 << kRecordValues << "";
    row("monthly: day and hour not looked at", 109, "13070063")
        << Rc::Ok << "2019-07-01 00:00:00" << 0x0713 << kRecordValues << "";
    row("no archive selected: date and hour", 0, "1307130A")
        << Rc::Ok << "2019-07-19 10:00:00" << 0x0713 << kRecordValues << "";
    row("end mark", 104, "FFFF130A") << Rc::Ok << untouched << -1 << SlotValues() << "";
    row("year byte FF alone is a record", 100, "FF0C1F17")
        << Rc::Ok << "2255-12-31 23:00:00" << 0x0CFF << kRecordValues << "";
    row("31 February", 104, "13021F05")
        << Rc::ArchiveDecodeError << untouched << 0x0213 << kRecordValues << "5:00 31.2.19";
    row("hour 24", 100, "13071318")
        << Rc::ArchiveDecodeError << untouched << 0x0713 << kRecordValues << "24:00 19.7.19";
    row("month 0 of 2000", 104, "00000100")
        << Rc::ArchiveDecodeError << untouched << 0 << kRecordValues << "0:00 1.0.0";
    row("monthly: month 13", 109, "130D1F05")
        << Rc::ArchiveDecodeError << untouched << 0x0D13 << kRecordValues << "0:00 1.13.19";
    // Bytes beyond the block read as zero: the flag word gets only its low register.
    QTest::newRow("block ends in field 0")
        << 104 << Hex("1307130A1234") << Rc::Ok << "2019-07-19 10:00:00" << 0x0713
        << SlotValues{{0, 4660.0}, {3, 0.0}, {4, 0.0}, {6, 0.0}, {59, 0.0}} << "";
}

void TestDriverIlm::records()
{
    QFETCH(int, period);
    QFETCH(QByteArray, page);
    QFETCH(ResultCode, result);
    QFETCH(QString, time);
    QFETCH(int, index);
    QFETCH(SlotValues, values);
    QFETCH(QString, errorText);

    ScriptedIlm device;
    device.reads = {kRecordNames, page};
    ArchiveLayout layout;
    QCOMPARE(device.driver->ReadArchiveLayout(layout), Rc::Ok);
    QCOMPARE(device.driver->SetReadStartDate(CalendarDateTime(QDate(2019, 1, 1), QTime(0, 0)),
                                             PeriodCode(period)),
             Rc::Ok);

    ArchiveRecord record;
    record.values.fill(kUntouched);
    record.recordTime = kUntouchedTime;
    record.recordIndex = 99;
    QCOMPARE(device.driver->ReadFirstArchiveRecord(KindFor(PeriodCode(period)), record), result);
    QCOMPARE(device.Requests().last(), ReadRequest(256, 122));
    QCOMPARE(int(record.recordIndex), index);
    QCOMPARE(Calendar(record.recordTime), time);
    for (int f = 0; f < ArchiveSlots; ++f) {
        const double expected = values.value(f, kUntouched);
        if (record.values[size_t(f)] != expected)
            QFAIL(qPrintable(QStringLiteral("slot %1: %2, not %3")
                                 .arg(f)
                                 .arg(record.values[size_t(f)], 0, 'g', 17)
                                 .arg(expected, 0, 'g', 17)));
    }
    QCOMPARE(device.context.DecodeErrorText, errorText);
}

void TestDriverIlm::onlyWhatTheFamilyHas()
{
    ScriptedIlm device;
    DeviceDriver& driver = *device.driver;
    ArchiveRecord record;
    for (ArchiveKind kind :
         {ArchiveKind::IntegralDaily, ArchiveKind::IntegralMonthly, ArchiveKind::EmergencyDaily}) {
        QVERIFY(!driver.HasArchive(kind));
        QCOMPARE(driver.ReadFirstArchiveRecord(kind, record), Rc::UnknownDevice);
        QCOMPARE(driver.ReadNextArchiveRecord(kind, record), Rc::UnknownDevice);
    }
    for (ArchiveKind kind : {ArchiveKind::Hourly, ArchiveKind::Daily, ArchiveKind::Monthly})
        QVERIFY(driver.HasArchive(kind));
    LogRecord log;
    QCOMPARE(driver.ReadFirstEventRecord(log), Rc::UnknownDevice);
    QCOMPARE(driver.ReadFirstProtectedRecord(log), Rc::UnknownDevice);
    QVERIFY(!driver.HasEventLog());
    QVERIFY(!driver.HasProtectedLog());
    QVERIFY(!driver.HasFlagsText());
    QCOMPARE(device.Requests().size(), 0);
}

void TestDriverIlm::simulatorPass()
{
    SimulatedIlm sim;
    QVERIFY(sim.ok);
    DeviceDriver& driver = *sim.driver;

    QString name;
    QCOMPARE(driver.IdentifyDevice(name), Rc::Ok);
    QCOMPARE(name, QStringLiteral("ИЛЬМ-7"));
    QDateTime clock;
    QCOMPARE(driver.ReadDeviceClock(clock), Rc::Ok);
    QCOMPARE(Calendar(clock), QStringLiteral("2019-07-19 10:30:05"));
    QString serial;
    QCOMPARE(driver.ReadSerialNumber(serial), Rc::Ok);
    QCOMPARE(serial, QStringLiteral("1207190015"));
    ArchiveLayout layout;
    QCOMPARE(driver.ReadArchiveLayout(layout), Rc::Ok);
    ParameterNames names;
    QCOMPARE(driver.ReadParameterNames(names), Rc::Ok);
    QCOMPARE(Describe(layout, names), kMeterSlots);

    struct Archive
    {
        ArchiveKind kind;
        PeriodCode period;
        quint8 selector;
        QDateTime start;
        QDateTime newest; // by the clock
        int depth;        // by the meter file
        std::function<QDateTime(const QDateTime&, int)> step;
    };
    const QDateTime clockHour(QDate(2019, 7, 19), QTime(10, 0));
    const QDateTime today(QDate(2019, 7, 19), QTime(0, 0));
    const QDateTime thisMonth(QDate(2019, 7, 1), QTime(0, 0));
    const std::array<Archive, 3> archives = {{
        // From before the oldest record, over a midnight.
        {ArchiveKind::Hourly, Period::Hourly, 26, CalendarDateTime(QDate(2019, 7, 18), QTime(0, 0)),
         clockHour, 12,
         [](const QDateTime& t, int n) {
             return t.addSecs(3600ll * n);
         }},
        // From within a day: the next midnight is the first.
        {ArchiveKind::Daily, Period::Daily, 27, CalendarDateTime(QDate(2019, 7, 14), QTime(5, 0)),
         today, 8,
         [](const QDateTime& t, int n) {
             return t.addDays(n);
         }},
        {ArchiveKind::Monthly, Period::Monthly, 28,
         CalendarDateTime(QDate(2019, 1, 1), QTime(0, 0)), thisMonth, 4,
         [](const QDateTime& t, int n) {
             return t.addMonths(n);
         }},
    }};

    for (const Archive& archive : archives) {
        QList<QString> expected;
        for (int i = archive.depth - 1; i >= 0; --i) {
            const QDateTime time = archive.step(archive.newest, -i);
            if (time >= archive.start)
                expected << Calendar(time);
        }
        QVERIFY(!expected.isEmpty());

        TwinMeter twin;
        QVERIFY(twin.meter);
        QVERIFY(twin.Select(archive.start, archive.selector));
        QCOMPARE(driver.SetReadStartDate(archive.start, archive.period), Rc::Ok);

        ArchiveRecord record;
        record.values.fill(kUntouched);
        QCOMPARE(driver.ReadFirstArchiveRecord(archive.kind, record), Rc::Ok);
        for (const QString& time : expected) {
            QVERIFY2(record.recordIndex != NoMoreRecords, qPrintable(time));
            QCOMPARE(Calendar(record.recordTime), time);
            const QByteArray page = twin.NextPage();
            for (int f = 0; f < ArchiveSlots; ++f) {
                const double value = record.values[size_t(f)];
                if (names[size_t(f)].isEmpty()) {
                    QCOMPARE(value, kUntouched);
                    continue;
                }
                // Every value goes back into the bytes it came from.
                quint32 bits = 0;
                if (f % 10 == 0) {
                    bits = quint32(value);
                    QCOMPARE(double(bits), value);
                } else {
                    const float single = float(value);
                    QCOMPARE(double(single), value);
                    bits = std::bit_cast<quint32>(single);
                }
                if (FieldBytes(bits) != page.mid(4 + 4 * f, 4))
                    QFAIL(
                        qPrintable(QStringLiteral("%1 slot %2: %3 from %4")
                                       .arg(time)
                                       .arg(f)
                                       .arg(value, 0, 'g', 9)
                                       .arg(QString::fromLatin1(page.mid(4 + 4 * f, 4).toHex()))));
            }
            QCOMPARE(driver.ReadNextArchiveRecord(archive.kind, record), Rc::Ok);
        }
        QCOMPARE(record.recordIndex, NoMoreRecords);
    }
}

void TestDriverIlm::simulatorBadDates_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("period");
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<QString>("errorText");

    QTest::newRow("hourly: 31 February")
        << int(ArchiveKind::Hourly) << 104 << CalendarDateTime(QDate(2019, 7, 19), QTime(8, 0))
        << QStringLiteral("8:00 31.2.19");
    QTest::newRow("monthly: month 13")
        << int(ArchiveKind::Monthly) << 109 << CalendarDateTime(QDate(2019, 6, 1), QTime(0, 0))
        << QStringLiteral("0:00 1.13.19");
}

void TestDriverIlm::simulatorBadDates()
{
    QFETCH(int, kind);
    QFETCH(int, period);
    QFETCH(QDateTime, start);
    QFETCH(QString, errorText);

    SimulatedIlm sim(MeterObject({{QStringLiteral("badRecordDates"), true}}));
    QVERIFY(sim.ok);
    ArchiveLayout layout;
    QCOMPARE(sim.driver->ReadArchiveLayout(layout), Rc::Ok);
    QCOMPARE(sim.driver->SetReadStartDate(start, PeriodCode(period)), Rc::Ok);
    ArchiveRecord record;
    record.recordTime = kUntouchedTime;
    QCOMPARE(sim.driver->ReadFirstArchiveRecord(ArchiveKind(kind), record), Rc::ArchiveDecodeError);
    QCOMPARE(sim.context.DecodeErrorText, errorText);
    QCOMPARE(record.recordTime, kUntouchedTime);
}

QTEST_GUILESS_MAIN(TestDriverIlm)
#include "tst_driver_ilm.moc"
