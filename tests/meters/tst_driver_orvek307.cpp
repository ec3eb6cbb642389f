#include "AnsiCodec.h"
#include "DeviceDriver.h"
#include "ExchangeLog.h"
#include "MemoryFixture.h"
#include "MeterBus.h"
#include "ModbusMaster.h"
#include "Orvek307Driver.h"
#include "SimServer.h"
#include "TextFormat.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QTest>

#include <cmath>
#include <cstring>
#include <functional>

namespace {

constexpr quint8 Address = 7;

using Blocks = QMap<int, QByteArray>;

// A meter at the far end of the line: registers answered with fixed blocks, the
// start date taken, anything else refused with exception 2.
struct ScriptedMeter
{
    Blocks blocks;
    QMap<int, int> exceptions; // register -> exception code
    bool silent = false;
    std::function<void(int reg)> onRead;

    void Serve(MemoryFixture& line)
    {
        line.Serve([this](const QByteArray& request) -> QByteArray {
            if (silent || request.size() < 6)
                return {};
            const auto function = quint8(request.at(1));
            const int reg = quint8(request.at(2)) << 8 | quint8(request.at(3));
            if (function == 16)
                return WithCrc(request.left(6));
            if (onRead)
                onRead(reg);
            QByteArray reply;
            reply.append(char(Address));
            if (exceptions.contains(reg) || !blocks.contains(reg)) {
                reply.append(char(function | 0x80));
                reply.append(char(exceptions.value(reg, 2)));
                return WithCrc(reply);
            }
            const QByteArray& data = blocks.value(reg);
            reply.append(char(function));
            reply.append(char(data.size()));
            return WithCrc(reply + data);
        });
    }
};

// A request on the wire as "function:register:count"; any other address is flagged.
QStringList WireRequests(const MemoryFixture& line)
{
    QStringList requests;
    for (const QByteArray& frame : line.Requests()) {
        const int reg = quint8(frame.at(2)) << 8 | quint8(frame.at(3));
        const int count = quint8(frame.at(4)) << 8 | quint8(frame.at(5));
        QString text = QStringLiteral("%1:%2:%3").arg(quint8(frame.at(1))).arg(reg).arg(count);
        if (quint8(frame.at(0)) != Address)
            text += QStringLiteral(" to ") + QString::number(quint8(frame.at(0)));
        requests.append(text);
    }
    return requests;
}

QString Read1(int reg)
{
    return QStringLiteral("3:%1:1").arg(reg);
}

QString Stamp(const QDateTime& time)
{
    return time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

// The layout block: byte 0 is not read, the codes follow.
QByteArray LayoutBlock(const QByteArray& codes)
{
    return QByteArray(1, char(0x5A)) + codes;
}

// A 40-byte descriptor with the name field at offset, guarded by non-zero bytes on
// both sides so that a name taken one byte off shows.
QByteArray Descriptor(int offset, const QByteArray& field)
{
    QByteArray block(40, 'X');
    block.replace(offset, field.size(), field);
    return block;
}

QByteArray Ansi(const char* text)
{
    return EncodeAnsi(QString::fromUtf8(text));
}

// An empty descriptor of every channel, as a meter without stored names has them.
Blocks UnnamedDescriptors()
{
    Blocks blocks;
    for (int first : {0x201, 0x221, 0x301, 0x401, 0x501})
        for (int n = 0; n < 16; ++n)
            blocks.insert(first + n, QByteArray(40, '\0'));
    return blocks;
}

// A record block: index, hour, day, month, year - 2000, then the body from byte 18.
QByteArray RecordBlock(int index, int hour, int day, int month, int year, const QByteArray& body)
{
    QByteArray block(18, char(0xEE));
    block[2] = char(index & 0xFF);
    block[3] = char((index >> 8) & 0xFF);
    block[14] = char(hour);
    block[15] = char(day);
    block[16] = char(month);
    block[17] = char(year);
    block += body;
    block += QByteArray(240 - qMin<qsizetype>(240, block.size()), char(0xEE));
    return block.left(240);
}

constexpr double Untouched = -12345.5;

Orvek307Driver& Family0(DeviceDriver& driver)
{
    return dynamic_cast<Orvek307Driver&>(driver);
}

} // namespace

class TestDriverOrvek307 : public QObject
{
    Q_OBJECT

private slots:
    void singleReads_data();
    void singleReads();
    void layoutAndNames_data();
    void layoutAndNames();
    void abortWhileNaming_data();
    void abortWhileNaming();
    void startDate_data();
    void startDate();
    void recordRegisters_data();
    void recordRegisters();
    void archiveRecords_data();
    void archiveRecords();
    void logRecords_data();
    void logRecords();
    void flagsText_data();
    void flagsText();
    void simulatorPass();
};

void TestDriverOrvek307::singleReads_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("reg");
    QTest::addColumn<QByteArray>("reply"); // data of the reply; empty: see exception
    QTest::addColumn<int>("exception");    // 0 with an empty reply: no answer at all
    QTest::addColumn<QString>("text");
    QTest::addColumn<ResultCode>("rc");

    const QString zero = QStringLiteral("1899-12-30 00:00:00");

    QTest::newRow("model 307") << "identify" << 1800 << QByteArray::fromHex("3301") << 0
                               << "ОРВЕК-307" << Rc::Ok;
    QTest::newRow("model 306") << "identify" << 1800 << QByteArray::fromHex("3201") << 0
                               << "ОРВЕК-306" << Rc::Ok;
    QTest::newRow("model 308 in a longer block")
        << "identify" << 1800 << QByteArray::fromHex("3401ffff") << 0 << "ОРВЕК-308" << Rc::Ok;
    QTest::newRow("model 305") << "identify" << 1800 << QByteArray::fromHex("3101") << 0
                               << "ID = 305" << Rc::UnknownDevice;
    QTest::newRow("model cut to one byte")
        << "identify" << 1800 << QByteArray::fromHex("33") << 0 << "ID = 51" << Rc::UnknownDevice;
    QTest::newRow("register unknown to the meter")
        << "identify" << 1800 << QByteArray() << 2 << "ОРВЕК-30x" << Rc::Ok;
    QTest::newRow("other exception")
        << "identify" << 1800 << QByteArray() << 3 << "ОРВЕК-30x" << ResultCode::Exception(3);
    QTest::newRow("no answer") << "identify" << 1800 << QByteArray() << 0 << "ОРВЕК-30x"
                               << Rc::NoReply;

    QTest::newRow("serial") << "serial" << 257 << QByteArray::fromHex("5a414231323334353600") << 0
                            << "AB123456" << Rc::Ok;
    QTest::newRow("serial letters in Windows-1251, ninth byte left")
        << "serial" << 257 << QByteArray::fromHex("00c6e5eb3132333435ff") << 0
        << QStringLiteral("Жел12345") << Rc::Ok;
    QTest::newRow("serial cut short")
        << "serial" << 257 << QByteArray::fromHex("004142") << 0 << QStringLiteral("AB") << Rc::Ok;
    QTest::newRow("serial with ';' and control characters")
        << "serial" << 257 << QByteArray::fromHex("00413b420d0a0743") << 0
        << QStringLiteral("A,B   C") << Rc::Ok;
    QTest::newRow("serial refused")
        << "serial" << 257 << QByteArray() << 2 << "" << ResultCode::Exception(2);

    QTest::newRow("clock") << "clock" << 98 << QByteArray::fromHex("2a0f0a0a040cea07") << 0
                           << "2026-12-10 10:15:42" << Rc::Ok;
    QTest::newRow("clock, day of week not read")
        << "clock" << 98 << QByteArray::fromHex("0000011fff01d007") << 0 << "2000-01-31 01:00:00"
        << Rc::Ok;
    QTest::newRow("clock on 31 February")
        << "clock" << 98 << QByteArray::fromHex("2a0f0a1f0402ea07") << 0 << zero << Rc::Ok;
    QTest::newRow("clock at minute 60")
        << "clock" << 98 << QByteArray::fromHex("2a3c0a0a040cea07") << 0 << zero << Rc::Ok;
    QTest::newRow("clock cut before the year")
        << "clock" << 98 << QByteArray::fromHex("2a0f0a0a040c") << 0 << zero << Rc::Ok;
    QTest::newRow("clock refused")
        << "clock" << 98 << QByteArray() << 4 << zero << ResultCode::Exception(4);
}

void TestDriverOrvek307::singleReads()
{
    QFETCH(QString, operation);
    QFETCH(int, reg);
    QFETCH(QByteArray, reply);
    QFETCH(int, exception);
    QFETCH(QString, text);
    QFETCH(ResultCode, rc);

    MemoryFixture line;
    line.config.globalTry = 1;
    line.Apply();
    ScriptedMeter meter;
    if (!reply.isEmpty())
        meter.blocks.insert(reg, reply);
    else if (exception != 0)
        meter.exceptions.insert(reg, exception);
    else
        meter.silent = true;
    meter.Serve(line);

    DriverContext context(line.master, line.log);
    context.DeviceAddress = Address;
    const auto driver = MakeOrvek307Driver(context);

    QString got = QStringLiteral("left over");
    ResultCode result;
    if (operation == QLatin1String("identify")) {
        result = driver->IdentifyDevice(got);
    } else if (operation == QLatin1String("serial")) {
        result = driver->ReadSerialNumber(got);
    } else {
        QDateTime clock = QDateTime::currentDateTime();
        result = driver->ReadDeviceClock(clock);
        got = Stamp(clock);
    }
    QCOMPARE(result, rc);
    QCOMPARE(got, text);
    QCOMPARE(WireRequests(line), QStringList{Read1(reg)});
}

void TestDriverOrvek307::layoutAndNames_data()
{
    QTest::addColumn<QByteArray>("codes");   // bytes 1 on of register 262
    QTest::addColumn<QByteArray>("systems"); // register 1538; empty: refused
    QTest::addColumn<Blocks>("descriptors"); // named descriptors over unnamed ones
    QTest::addColumn<int>("slotCount");
    QTest::addColumn<QList<int>>("kinds");     // from slot 0; the rest must be 0
    QTest::addColumn<QStringList>("names");    // from slot 0; the rest must be empty
    QTest::addColumn<QStringList>("progress"); // the memo lines of the descriptor reads
    QTest::addColumn<ResultCode>("rc");        // of ReadParameterNames

    const QByteArray none;
    const QList<int> noKinds;

    QTest::newRow("end of the layout at once")
        << QByteArray::fromHex("f01030") << none << Blocks() << 0 << noKinds << QStringList()
        << QStringList() << Rc::Ok;

    QByteArray full(54, char(0xA0));
    full += char(0x30);
    full += char(0x10); // a 56th code is not part of the layout
    QList<int> fullKinds(54, 0);
    fullKinds.append(116);
    QStringList fullNames(54, QString());
    fullNames.append(QStringLiteral("T1"));
    QTest::newRow("no end code: 55 slots")
        << full << none << Blocks() << 55 << fullKinds << fullNames
        << QStringList{"------> 55 из 55 = 0x0301"} << Rc::Ok;

    QTest::newRow("system numbers")
        << QByteArray::fromHex("c0d1b0c0b0f0") << none << Blocks() << 5
        << QList<int>{102, 104, 104, 102, 104}
        << QStringList{"Ошибки 1", "Tmin 1", "Наработка 1", "Ошибки 2", "Наработка 2"}
        << QStringList() << Rc::Ok;

    QTest::newRow("every default name")
        << QByteArray::fromHex("102f304f50607182939fa0b0c0d1d2d3d4d5d6d7e5000fb1c1ff")
        << QByteArray::fromHex("00") << Blocks() << 25
        << QList<int>{118, 109, 116, 112, 113, 101, 101, 101, 101, 101, 0, 104, 102,
                      104, 104, 104, 104, 104, 104, 0,   0,   0,   0,   0, 0}
        << QStringList{"V1",        "G16",       "T1",        "P16",        "Q1",   "E1 тариф1",
                       "E2 тариф2", "E3 тариф3", "E4 тариф4", "E16 тариф4", "",     "Наработка 1",
                       "Ошибки 2",  "Tmin 2",    "Tmax 2",    "Тdt 2",      "Тф 2", "Тэп 2",
                       "Тнс 2",     "",          "",          "",           "",     "",
                       ""}
        << QStringList{"------> 1 из 25 = 0x0201", "------> 2 из 25 = 0x0230",
                       "------> 3 из 25 = 0x0301", "------> 4 из 25 = 0x0410",
                       "------> 5 из 25 = 0x0501"}
        << Rc::Ok;

    QTest::newRow("temperature channel 11")
        << QByteArray::fromHex("3af0") << none
        << Blocks{{0x30B, Descriptor(15, Ansi("Улица     "))}} << 1 << QList<int>{116}
        << QStringList{"Улица"} << QStringList{"------> 1 из 1 = 0x030B"} << Rc::Ok;

    QTest::newRow("name fields of the five groups")
        << QByteArray::fromHex("1f2131425ef0") << none
        << Blocks{{0x210, Descriptor(19, Ansi("V подачи  "))},
                  {0x222, Descriptor(11, Ansi("Обратка ТС"))},
                  {0x302, Descriptor(15, Ansi("Подача    "))},
                  {0x403, Descriptor(23, QByteArray("P1 \0 xxxxx", 10))},
                  {0x50F, Descriptor(2, QByteArray("Q\0", 2))}}
        << 5 << QList<int>{118, 109, 116, 112, 113}
        << QStringList{"V подачи", "Обратка ТС", "Подача", "P1", "Q"}
        << QStringList{"------> 1 из 5 = 0x0210", "------> 2 из 5 = 0x0222",
                       "------> 3 из 5 = 0x0302", "------> 4 из 5 = 0x0403",
                       "------> 5 из 5 = 0x050F"}
        << Rc::Ok;

    QTest::newRow("name field starting with a zero keeps the default")
        << QByteArray::fromHex("3031f0") << none
        << Blocks{{0x301, Descriptor(15, QByteArray("\0Name     ", 10))},
                  {0x302, Descriptor(15, Ansi("          "))}}
        << 2 << QList<int>{116, 116} << QStringList{"T1", "T2"}
        << QStringList{"------> 1 из 2 = 0x0301", "------> 2 из 2 = 0x0302"} << Rc::Ok;

    // Entry 2 lies past the 20 bytes the meter sends: it reads as empty.
    QTest::newRow("heat-system names")
        << QByteArray::fromHex("c0b010b0c0f0")
        << Ansi("ТС1") + QByteArray(7, '\0') + Ansi("ТС 2      ") << Blocks() << 5
        << QList<int>{102, 104, 118, 104, 102}
        << QStringList{"Ошибки ТС1", "Наработка ТС1", "V1", "Наработка ТС 2", "Ошибки 3"}
        << QStringList{"------> 3 из 5 = 0x0201"} << Rc::Ok;

    QTest::newRow("heat-system names refused")
        << QByteArray::fromHex("c0b0f0") << none << Blocks() << 2 << QList<int>{102, 104}
        << QStringList{"Ошибки 1", "Наработка 1"} << QStringList() << Rc::Ok;

    Blocks refused;
    refused.insert(0x302, QByteArray()); // an empty block stands for a refusal here
    QTest::newRow("descriptor refused")
        << QByteArray::fromHex("303132f0") << none << refused << 3 << QList<int>{116, 116, 116}
        << QStringList() << QStringList{"------> 1 из 3 = 0x0301", "------> 2 из 3 = 0x0302"}
        << ResultCode::Exception(2);
}

void TestDriverOrvek307::layoutAndNames()
{
    QFETCH(QByteArray, codes);
    QFETCH(QByteArray, systems);
    QFETCH(Blocks, descriptors);
    QFETCH(int, slotCount);
    QFETCH(QList<int>, kinds);
    QFETCH(QStringList, names);
    QFETCH(QStringList, progress);
    QFETCH(ResultCode, rc);

    MemoryFixture line;
    ScriptedMeter meter;
    meter.blocks = UnnamedDescriptors();
    meter.blocks.insert(262, LayoutBlock(codes));
    if (!systems.isEmpty())
        meter.blocks.insert(1538, systems);
    for (auto it = descriptors.cbegin(); it != descriptors.cend(); ++it) {
        if (it.value().isEmpty())
            meter.exceptions.insert(it.key(), 2);
        else
            meter.blocks.insert(it.key(), it.value());
    }
    meter.Serve(line);

    DriverContext context(line.master, line.log);
    context.DeviceAddress = Address;
    const auto driver = MakeOrvek307Driver(context);

    ArchiveLayout layout;
    layout.fill(99);
    QCOMPARE(driver->ReadArchiveLayout(layout), Rc::Ok);
    QCOMPARE(Family0(*driver).SlotCount(), slotCount);
    for (int i = 0; i < ArchiveSlots; ++i)
        QCOMPARE(int(layout[size_t(i)]), i < kinds.size() ? kinds.at(i) : 0);

    // A line in the log file beforehand, so that the file is there to be searched.
    line.log.AddLogLine(QStringLiteral("Имена параметров"));
    line.memo.Clear();
    ParameterNames got;
    got.fill(QStringLiteral("stale"));
    QCOMPARE(driver->ReadParameterNames(got), rc);
    if (rc == Rc::Ok) {
        for (int i = 0; i < ArchiveSlots; ++i)
            QCOMPARE(got[size_t(i)], i < names.size() ? names.at(i) : QString());
    } else {
        for (const QString& name : got)
            QCOMPARE(name, QStringLiteral("stale"));
    }

    // The progress lines go to the memo as they stand, never to the log file.
    QCOMPARE(line.memo.Lines(), progress);
    QFile file(line.log.LogFilePath(QDate::currentDate()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray logged = file.readAll();
    QVERIFY(logged.contains(EncodeAnsi(u"Имена параметров")));
    QVERIFY(!logged.contains("------>"));

    QStringList expected = {Read1(262), Read1(1538)};
    for (const QString& mark : progress)
        expected.append(Read1(mark.right(4).toInt(nullptr, 16)));
    QCOMPARE(WireRequests(line), expected);
}

void TestDriverOrvek307::abortWhileNaming_data()
{
    QTest::addColumn<int>("abortAt"); // the register whose read raises the abort; 0: before
    QTest::addColumn<QStringList>("requests");

    QTest::newRow("before the call") << 0 << QStringList{Read1(262), Read1(1538)};
    QTest::newRow("during the first descriptor")
        << 0x301 << QStringList{Read1(262), Read1(1538), Read1(0x301)};
}

void TestDriverOrvek307::abortWhileNaming()
{
    QFETCH(int, abortAt);
    QFETCH(QStringList, requests);

    MemoryFixture line;
    DriverContext context(line.master, line.log);
    context.DeviceAddress = Address;
    ScriptedMeter meter;
    meter.blocks = UnnamedDescriptors();
    meter.blocks.insert(262, LayoutBlock(QByteArray::fromHex("3031b0f0")));
    meter.blocks.insert(0x302, Descriptor(15, Ansi("Подача    ")));
    meter.onRead = [&](int reg) {
        if (reg == abortAt)
            context.AbortRequested = true;
    };
    meter.Serve(line);
    const auto driver = MakeOrvek307Driver(context);

    ArchiveLayout layout;
    QCOMPARE(driver->ReadArchiveLayout(layout), Rc::Ok);
    context.AbortRequested = abortAt == 0;
    ParameterNames names;
    names.fill(QStringLiteral("stale"));
    QCOMPARE(driver->ReadParameterNames(names), Rc::Ok);
    QCOMPARE(WireRequests(line), requests);
    QCOMPARE(names[0], QStringLiteral("stale"));
}

void TestDriverOrvek307::startDate_data()
{
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<QByteArray>("frame"); // without the CRC

    QTest::newRow("2019-07-19 00:00") << CalendarDateTime(QDate(2019, 7, 19), QTime(0, 0))
                                      << QByteArray::fromHex("0710006000020400130713");
    QTest::newRow("hour kept, minutes dropped")
        << CalendarDateTime(QDate(2026, 12, 1), QTime(23, 59))
        << QByteArray::fromHex("0710006000020417010c1a");
    QTest::newRow("year before 2000 modulo 256") << CalendarDateTime(QDate(1999, 2, 3), QTime(4, 0))
                                                 << QByteArray::fromHex("07100060000204040302ff");
}

void TestDriverOrvek307::startDate()
{
    QFETCH(QDateTime, start);
    QFETCH(QByteArray, frame);

    MemoryFixture line;
    ScriptedMeter meter;
    meter.Serve(line);
    DriverContext context(line.master, line.log);
    context.DeviceAddress = Address;
    const auto driver = MakeOrvek307Driver(context);

    QCOMPARE(driver->SetReadStartDate(start, Period::Hourly), Rc::Ok);
    QCOMPARE(line.Requests(), QList<QByteArray>{WithCrc(frame)});
}

void TestDriverOrvek307::recordRegisters_data()
{
    QTest::addColumn<int>("archive"); // an ArchiveKind; 100 event log, 101 protected log
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("next");

    QTest::newRow("hourly") << int(ArchiveKind::Hourly) << 0x00 << 0x05;
    QTest::newRow("daily") << int(ArchiveKind::Daily) << 0x10 << 0x15;
    QTest::newRow("monthly") << int(ArchiveKind::Monthly) << 0x20 << 0x25;
    QTest::newRow("integral monthly") << int(ArchiveKind::IntegralMonthly) << 0x30 << 0x35;
    QTest::newRow("emergency daily") << int(ArchiveKind::EmergencyDaily) << 0x40 << 0x45;
    QTest::newRow("event log") << 100 << 0x50 << 0x55;
    QTest::newRow("protected log") << 101 << 0x70 << 0x75;
    QTest::newRow("integral daily, not in this family")
        << int(ArchiveKind::IntegralDaily) << -1 << -1;
}

void TestDriverOrvek307::recordRegisters()
{
    QFETCH(int, archive);
    QFETCH(int, first);
    QFETCH(int, next);

    MemoryFixture line;
    ScriptedMeter meter;
    // Every register answers with one record, so each read is seen on the wire.
    for (int reg = 0; reg <= 0x75; ++reg)
        meter.blocks.insert(reg, RecordBlock(reg, 1, 2, 3, 26, QByteArray()));
    meter.Serve(line);
    DriverContext context(line.master, line.log);
    context.DeviceAddress = Address;
    const auto driver = MakeOrvek307Driver(context);

    ArchiveRecord record;
    LogRecord log;
    ResultCode firstRc;
    ResultCode nextRc;
    if (archive == 100) {
        firstRc = driver->ReadFirstEventRecord(log);
        nextRc = driver->ReadNextEventRecord(log);
        QVERIFY(driver->HasEventLog());
    } else if (archive == 101) {
        firstRc = driver->ReadFirstProtectedRecord(log);
        nextRc = driver->ReadNextProtectedRecord(log);
        QVERIFY(driver->HasProtectedLog());
    } else {
        const auto kind = ArchiveKind(archive);
        firstRc = driver->ReadFirstArchiveRecord(kind, record);
        nextRc = driver->ReadNextArchiveRecord(kind, record);
        QCOMPARE(driver->HasArchive(kind), first >= 0);
    }
    if (first < 0) {
        QCOMPARE(firstRc, Rc::UnknownDevice);
        QCOMPARE(nextRc, Rc::UnknownDevice);
        QCOMPARE(line.RequestCount(), 0);
        return;
    }
    QCOMPARE(firstRc, Rc::Ok);
    QCOMPARE(nextRc, Rc::Ok);
    QCOMPARE(WireRequests(line), (QStringList{Read1(first), QStringLiteral("3:%1:120").arg(next)}));
    QCOMPARE(archive >= 100 ? log.recordIndex : record.recordIndex, RecordIndex(next));
}

void TestDriverOrvek307::archiveRecords_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<ResultCode>("rc");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("time");         // "" : left as it was
    QTest::addColumn<QList<double>>("values"); // slots 0-6; the rest stay untouched
    QTest::addColumn<QString>("errorText");    // DecodeErrorText afterwards

    // Layout B0 11 C0 D1 A0 31 D6: operating time, volume, flags, fault time, a slot
    // without a value, temperature, fault time.
    const QByteArray body = QByteArray::fromHex("100e0000"    // 3600 s
                                                "0000803f"    // 1.0
                                                "05000000"    // flags 5
                                                "90000000"    // 144 s
                                                "ffffffff"    // no value
                                                "cdcc4441"    // 12.3f
                                                "ffffffff") + // 4294967295 s
                            QByteArray(48 * 4, char(0x77));   // past the layout
    const QList<double> decoded = {60, 1.0, 5, 2.4, Untouched, double(12.3f), 4294967295.0 / 60};
    const QList<double> untouched(7, Untouched);
    const int hourly = int(ArchiveKind::Hourly);
    const int daily = int(ArchiveKind::Daily);
    const QString before = QStringLiteral("earlier");

    QTest::newRow("hourly record") << hourly << RecordBlock(0x1234, 23, 31, 12, 19, body) << Rc::Ok
                                   << 0x1234 << "2019-12-31 23:00:00" << decoded << before;
    QTest::newRow("daily record, hour not read")
        << daily << RecordBlock(0, 23, 31, 12, 19, body) << Rc::Ok << 0 << "2019-12-31 00:00:00"
        << decoded << before;
    QTest::newRow("monthly record")
        << int(ArchiveKind::Monthly) << RecordBlock(7, 5, 1, 2, 24, body) << Rc::Ok << 7
        << "2024-02-01 00:00:00" << decoded << before;
    QTest::newRow("no more records") << hourly << RecordBlock(-1, 23, 31, 12, 19, body) << Rc::Ok
                                     << -1 << "" << untouched << before;
    QTest::newRow("short reply reads as zeros")
        << hourly << RecordBlock(5, 1, 2, 3, 26, body).left(24) << Rc::Ok << 5
        << "2026-03-02 01:00:00" << QList<double>{60, 0, 0, 0, Untouched, 0, 0} << before;
    QTest::newRow("reply ending before the date")
        << daily << RecordBlock(5, 1, 2, 3, 26, body).left(16) << Rc::ArchiveDecodeError << 5 << ""
        << QList<double>{0, 0, 0, 0, Untouched, 0, 0} << "1:00 2.0.0";
    QTest::newRow("hourly on 31 February")
        << hourly << RecordBlock(3, 5, 31, 2, 19, body) << Rc::ArchiveDecodeError << 3 << ""
        << decoded << "5:00 31.2.19";
    QTest::newRow("daily in month 13")
        << daily << RecordBlock(3, 0, 1, 13, 26, body) << Rc::ArchiveDecodeError << 3 << ""
        << decoded << "0:00 1.13.26";
    QTest::newRow("hourly at hour 24")
        << hourly << RecordBlock(3, 24, 31, 12, 19, body) << Rc::ArchiveDecodeError << 3 << ""
        << decoded << "24:00 31.12.19";
    QTest::newRow("daily with hour 24, hour not read")
        << daily << RecordBlock(3, 24, 31, 12, 19, body) << Rc::Ok << 3 << "2019-12-31 00:00:00"
        << decoded << before;
    QTest::newRow("refused") << hourly << QByteArray() << ResultCode::Exception(2) << 77 << ""
                             << untouched << before;
}

void TestDriverOrvek307::archiveRecords()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, reply);
    QFETCH(ResultCode, rc);
    QFETCH(int, index);
    QFETCH(QString, time);
    QFETCH(QList<double>, values);
    QFETCH(QString, errorText);

    const auto archive = ArchiveKind(kind);
    MemoryFixture line;
    ScriptedMeter meter;
    meter.blocks.insert(262, LayoutBlock(QByteArray::fromHex("b011c0d1a031d6f0")));
    const int next = archive == ArchiveKind::Hourly ? 5 : archive == ArchiveKind::Daily ? 21 : 37;
    if (!reply.isEmpty())
        meter.blocks.insert(next, reply);
    meter.Serve(line);
    DriverContext context(line.master, line.log);
    context.DeviceAddress = Address;
    context.DecodeErrorText = QStringLiteral("earlier");
    const auto driver = MakeOrvek307Driver(context);
    ArchiveLayout layout;
    QCOMPARE(driver->ReadArchiveLayout(layout), Rc::Ok);

    ArchiveRecord record;
    record.values.fill(Untouched);
    const QDateTime earlier(QDate(2001, 1, 1), QTime(1, 0));
    record.recordTime = earlier;
    record.recordIndex = 77;
    QCOMPARE(driver->ReadNextArchiveRecord(archive, record), rc);
    QCOMPARE(int(record.recordIndex), index);
    QCOMPARE(Stamp(record.recordTime), time.isEmpty() ? Stamp(earlier) : time);
    for (int i = 0; i < ArchiveSlots; ++i)
        QCOMPARE(record.values[size_t(i)], i < values.size() ? values.at(i) : Untouched);
    QCOMPARE(context.DecodeErrorText, errorText);
}

void TestDriverOrvek307::logRecords_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<ResultCode>("rc");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("time"); // "": left as it was
    QTest::addColumn<QString>("text"); // "left": left as it was

    QTest::newRow("semicolons become commas")
        << RecordBlock(2, 8, 9, 12, 26, Ansi("Вкл;Сеть") + QByteArray(1, '\0') + "xyz") << Rc::Ok
        << 2 << "2026-12-09 08:00:00"
        << "Вкл,Сеть";
    QTest::newRow("line breaks and control characters become blanks")
        << RecordBlock(2, 8, 9, 12, 26, Ansi("Вкл\r\nСеть\t\x7f!") + QByteArray(1, '\0')) << Rc::Ok
        << 2 << "2026-12-09 08:00:00"
        << "Вкл  Сеть  !";
    const QByteArray full(220, char(0xC6));
    QTest::newRow("220 bytes without a zero")
        << RecordBlock(300, 23, 28, 2, 24, full + "AB") << Rc::Ok << 300 << "2024-02-28 23:00:00"
        << QString(220, QChar(u'Ж'));
    QTest::newRow("text cut by a short reply")
        << RecordBlock(1, 0, 1, 1, 0, Ansi("Откл. питания")).left(18 + 5) << Rc::Ok << 1
        << "2000-01-01 00:00:00"
        << "Откл.";
    QTest::newRow("empty text") << RecordBlock(1, 0, 1, 1, 27, QByteArray(1, '\0')) << Rc::Ok << 1
                                << "2027-01-01 00:00:00"
                                << "";
    QTest::newRow("no more records")
        << RecordBlock(-1, 8, 9, 12, 26, Ansi("Вкл")) << Rc::Ok << -1 << ""
        << "left";
    QTest::newRow("29 February of a common year")
        << RecordBlock(4, 8, 29, 2, 26, Ansi("Вкл")) << Rc::LogDecodeError << 4 << ""
        << "left";
    QTest::newRow("hour 24") << RecordBlock(4, 24, 9, 12, 26, Ansi("Вкл")) << Rc::LogDecodeError
                             << 4 << ""
                             << "left";
    QTest::newRow("refused") << QByteArray() << ResultCode::Exception(2) << 77 << ""
                             << "left";
}

void TestDriverOrvek307::logRecords()
{
    QFETCH(QByteArray, reply);
    QFETCH(ResultCode, rc);
    QFETCH(int, index);
    QFETCH(QString, time);
    QFETCH(QString, text);

    // The protected log decodes as the event log does; both are run on every row.
    for (const int first : {0x50, 0x70}) {
        MemoryFixture line;
        ScriptedMeter meter;
        if (!reply.isEmpty())
            meter.blocks.insert(first, reply);
        meter.Serve(line);
        DriverContext context(line.master, line.log);
        context.DeviceAddress = Address;
        context.DecodeErrorText = QStringLiteral("earlier");
        const auto driver = MakeOrvek307Driver(context);

        LogRecord record;
        const QDateTime earlier(QDate(2001, 1, 1), QTime(1, 0));
        record.recordTime = earlier;
        record.recordIndex = 77;
        record.text = QStringLiteral("left");
        const ResultCode result = first == 0x50 ? driver->ReadFirstEventRecord(record)
                                                : driver->ReadFirstProtectedRecord(record);
        QCOMPARE(result, rc);
        QCOMPARE(int(record.recordIndex), index);
        QCOMPARE(Stamp(record.recordTime), time.isEmpty() ? Stamp(earlier) : time);
        QCOMPARE(record.text, text);
        QCOMPARE(context.DecodeErrorText, QStringLiteral("earlier"));
        QCOMPARE(WireRequests(line), QStringList{Read1(first)});
    }
}

void TestDriverOrvek307::flagsText_data()
{
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<QString>("text");

    QTest::newRow("none") << 0u << "Ok";
    QTest::newRow("bits 0 and 2") << 5u << "Авария Vmin, Авария V";
    QTest::newRow("bits 0 and 19") << ((1u << 0) | (1u << 19)) << "Авария Vmin, ";
    QTest::newRow("only unnamed bits") << ((1u << 19) | (1u << 31)) << "Ok";
    // Т of Тdt is Cyrillic (U+0422); every other T is Latin.
    QTest::newRow("all bits")
        << 0xFFFFFFFFu
        << QStringLiteral("Авария Vmin, Авария Vmax, Авария V, Авария Gvtp, НС Vmin, НС Vmax, "
                          "НС V, НС G, Авария Tmin, Авария Tmax, Авария T, Авария \u0422dt, "
                          "НС Tmin, НС Tmax, НС T, НС \u0422dt, Авария Pmin, Авария Pmax, "
                          "Авария P, , НС Pmin, НС Pmax, НС P, , , , Авария Qgtp, , , , НС Q, ");
}

void TestDriverOrvek307::flagsText()
{
    QFETCH(quint32, flags);
    QFETCH(QString, text);

    MemoryFixture line;
    DriverContext context(line.master, line.log);
    const auto driver = MakeOrvek307Driver(context);
    QVERIFY(driver->HasFlagsText());
    QCOMPARE(driver->FlagsText(flags), text);
    QCOMPARE(line.RequestCount(), 0);
}

namespace {

QByteArray SimMeterJson()
{
    return R"({
        "family": 0, "address": 9, "model": 308, "serial": "ЖZ-0042a",
        "clock": "2026-12-10T10:15:42",
        "layout": [16, 33, 48, 58, 65, 80, 96, 145, 176, 192, 209, 210, 211, 212, 213, 214,
                   160, 49, 176, 192, 209],
        "names": {"0x201": "V подачи", "0x222": "G обр", "0x30B": "Улица", "0x402": "P1",
                  "0x501": "Q ТС1"},
        "systems": ["ТС1", "ТС2"],
        "key": 17,
        "depth": {"hourly": 720, "daily": 60, "monthly": 24, "integral": 3, "emergency": 6,
                  "events": 9},
        "protected": [{"time": "2026-11-30T12:40:00", "text": "Смена;пароля"},
                      {"time": "2026-12-10T09:00:00", "text": "Сброс архива"}]
    })";
}

int U8(const QByteArray& block, int at)
{
    return at < block.size() ? quint8(block.at(at)) : 0;
}

quint32 U32(const QByteArray& block, int at)
{
    return quint32(U8(block, at)) | quint32(U8(block, at + 1)) << 8 |
           quint32(U8(block, at + 2)) << 16 | quint32(U8(block, at + 3)) << 24;
}

// The reference meter answers the same requests as the one on the line.
QByteArray RefRead(Meter& meter, int reg, int count)
{
    MeterRequest request;
    request.function = 3;
    request.firstRegister = quint16(reg);
    request.count = quint16(count);
    return meter.Handle(request).data;
}

void RefStart(Meter& meter, const QDateTime& start)
{
    MeterRequest request;
    request.function = 16;
    request.firstRegister = 96;
    request.count = 2;
    request.data.append(char(start.time().hour()));
    request.data.append(char(start.date().day()));
    request.data.append(char(start.date().month()));
    request.data.append(char(start.date().year() - 2000));
    meter.Handle(request);
}

QString RefTime(const QByteArray& block, bool withHour)
{
    return Stamp(QDateTime(QDate(2000 + U8(block, 17), U8(block, 16), U8(block, 15)),
                           QTime(withHour ? U8(block, 14) : 0, 0)));
}

// A decoded value turned back into the four bytes the slot's code says the meter
// sends; a slot without a value must still hold what it held.
bool SameValue(quint8 code, double value, const QByteArray& block, int slot, QString& why)
{
    const quint32 sent = U32(block, 18 + 4 * slot);
    const int group = code & 0xF0;
    quint32 back = 0;
    if (group >= 0x10 && group <= 0x90) {
        const float single = float(value);
        std::memcpy(&back, &single, sizeof back);
        if (double(single) != value)
            back = ~sent; // not a single-precision number at all
    } else if (group == 0xB0 || group == 0xD0) {
        back = quint32(std::llround(value * 60));
    } else if (group == 0xC0) {
        back = quint32(value);
    } else {
        if (value == Untouched)
            return true;
        why = QStringLiteral("slot %1 without a value holds %2").arg(slot).arg(value);
        return false;
    }
    if (back == sent)
        return true;
    why = QStringLiteral("slot %1 (code 0x%2): %3 gives %4, the meter sent %5")
              .arg(slot)
              .arg(code, 2, 16, QChar(u'0'))
              .arg(value, 0, 'g', 17)
              .arg(back, 8, 16, QChar(u'0'))
              .arg(sent, 8, 16, QChar(u'0'));
    return false;
}

} // namespace

void TestDriverOrvek307::simulatorPass()
{
    const QJsonObject meterObject = QJsonDocument::fromJson(SimMeterJson()).object();
    QVERIFY(!meterObject.isEmpty());
    SimServer server;
    QString error;
    QVERIFY2(server.LoadMeterFile(
                 QJsonDocument(QJsonObject{{"meters", QJsonArray{meterObject}}}).toJson(), error),
             qPrintable(error));
    const std::unique_ptr<Meter> reference = Meter::FromJson(meterObject, error);
    QVERIFY2(reference, qPrintable(error));

    MemoryFixture line;
    line.line.SetResponder(MemoryResponder(server));
    DriverContext context(line.master, line.log);
    context.DeviceAddress = 9;
    const auto driver = MakeOrvek307Driver(context);

    QString name;
    QCOMPARE(driver->IdentifyDevice(name), Rc::Ok);
    QCOMPARE(name, QStringLiteral("ОРВЕК-308"));
    QDateTime clock;
    QCOMPARE(driver->ReadDeviceClock(clock), Rc::Ok);
    QCOMPARE(Stamp(clock), QStringLiteral("2026-12-10 10:15:42"));
    QString serial;
    QCOMPARE(driver->ReadSerialNumber(serial), Rc::Ok);
    QCOMPARE(serial, QStringLiteral("ЖZ-0042a"));

    ArchiveLayout layout;
    QCOMPARE(driver->ReadArchiveLayout(layout), Rc::Ok);
    const QList<int> kinds = {118, 109, 116, 116, 112, 113, 101, 101, 104, 102, 104,
                              104, 104, 104, 104, 104, 0,   116, 104, 102, 104};
    for (int i = 0; i < ArchiveSlots; ++i)
        QCOMPARE(int(layout[size_t(i)]), i < kinds.size() ? kinds.at(i) : 0);
    ParameterNames names;
    QCOMPARE(driver->ReadParameterNames(names), Rc::Ok);
    const QStringList expectedNames = {
        "V подачи", "G обр",     "T1",        "Улица",         "P1",
        "Q ТС1",    "E1 тариф1", "E2 тариф4", "Наработка ТС1", "Ошибки ТС2",
        "Tmin 2",   "Tmax 2",    "Тdt 2",     "Тф 2",          "Тэп 2",
        "Тнс 2",    "",          "T2",        "Наработка ТС2", "Ошибки 3",
        "Tmin 3"};
    for (int i = 0; i < ArchiveSlots; ++i)
        QCOMPARE(names[size_t(i)], i < expectedNames.size() ? expectedNames.at(i) : QString());

    QByteArray codes;
    for (const QJsonValue code : meterObject.value(QStringLiteral("layout")).toArray())
        codes.append(char(code.toInt()));
    for (int kind = 1; kind <= 7; ++kind) {
        const bool offered = kind != 4 && kind != int(ArchiveKind::IntegralDaily);
        QCOMPARE(driver->HasArchive(ArchiveKind(kind)), offered);
    }

    struct Pass
    {
        const char* title;
        int archive; // an ArchiveKind; 100 event log, 101 protected log
        int first;
        QDateTime start;
        int count;           // records before the no-record marker
        QDateTime firstTime; // expected first record time; invalid: not known beforehand
        int stepMonths;
        int stepHours;
    };
    const QDateTime noTime;
    const QList<Pass> passes = {
        {"hourly", 1, 0x00, CalendarDateTime(QDate(2026, 12, 9), QTime(23, 0)), 12,
         CalendarDateTime(QDate(2026, 12, 9), QTime(23, 0)), 0, 1},
        {"daily", 2, 0x10, CalendarDateTime(QDate(2026, 11, 29), QTime(6, 0)), 11,
         CalendarDateTime(QDate(2026, 11, 30), QTime(0, 0)), 0, 24},
        {"monthly", 3, 0x20, CalendarDateTime(QDate(2026, 7, 15), QTime(0, 0)), 5,
         CalendarDateTime(QDate(2026, 8, 1), QTime(0, 0)), 1, 0},
        {"integral monthly, start before the oldest", 6, 0x30,
         CalendarDateTime(QDate(2020, 1, 1), QTime(0, 0)), 3,
         CalendarDateTime(QDate(2026, 10, 1), QTime(0, 0)), 1, 0},
        {"emergency daily", 7, 0x40, CalendarDateTime(QDate(2020, 1, 1), QTime(0, 0)), 6, noTime, 0,
         0},
        {"event log", 100, 0x50, CalendarDateTime(QDate(2020, 1, 1), QTime(0, 0)), 9, noTime, 0, 0},
        {"protected log", 101, 0x70, CalendarDateTime(QDate(2026, 11, 30), QTime(12, 0)), 2,
         CalendarDateTime(QDate(2026, 11, 30), QTime(12, 0)), 0, 0},
    };

    for (const Pass& pass : passes) {
        const bool isLog = pass.archive >= 100;
        const auto kind = ArchiveKind(pass.archive);
        QVERIFY2(isLog || driver->HasArchive(kind), pass.title);
        QCOMPARE(driver->SetReadStartDate(pass.start, isLog ? Period::None : Period::Hourly),
                 Rc::Ok);
        RefStart(*reference, pass.start);

        ArchiveRecord record;
        LogRecord event;
        QStringList times;
        QStringList texts;
        QDateTime expectedTime = pass.firstTime;
        for (int n = 0;; ++n) {
            QVERIFY2(n <= 100, pass.title);
            record.values.fill(Untouched);
            ResultCode r;
            if (pass.archive == 100)
                r = n == 0 ? driver->ReadFirstEventRecord(event)
                           : driver->ReadNextEventRecord(event);
            else if (pass.archive == 101)
                r = n == 0 ? driver->ReadFirstProtectedRecord(event)
                           : driver->ReadNextProtectedRecord(event);
            else
                r = n == 0 ? driver->ReadFirstArchiveRecord(kind, record)
                           : driver->ReadNextArchiveRecord(kind, record);
            QCOMPARE(r, Rc::Ok);
            const QByteArray ref =
                RefRead(*reference, pass.first + (n == 0 ? 0 : 5), n == 0 ? 1 : 120);
            const RecordIndex index = isLog ? event.recordIndex : record.recordIndex;
            QCOMPARE(index, RecordIndex(U8(ref, 2) | U8(ref, 3) << 8));
            if (index == NoMoreRecords) {
                QCOMPARE(n, pass.count);
                break;
            }

            const QDateTime time = isLog ? event.recordTime : record.recordTime;
            const QString at = QStringLiteral("%1, record %2").arg(pass.title).arg(n);
            QVERIFY2(time >= pass.start, qPrintable(at));
            QCOMPARE(Stamp(time), RefTime(ref, isLog || kind == ArchiveKind::Hourly));
            if (expectedTime.isValid()) {
                QCOMPARE(Stamp(time), Stamp(expectedTime));
                // Without a step only the first time is known beforehand.
                expectedTime = pass.stepMonths  ? expectedTime.addMonths(pass.stepMonths)
                               : pass.stepHours ? expectedTime.addSecs(3600 * pass.stepHours)
                                                : QDateTime();
            }
            // Two events may fall into one hour; archive records never share a time.
            if (!times.isEmpty())
                QVERIFY2(isLog ? times.last() <= Stamp(time) : times.last() < Stamp(time),
                         qPrintable(at));
            times.append(Stamp(time));

            if (isLog) {
                QByteArray sent = ref.mid(18, 220);
                sent.truncate(sent.indexOf('\0') < 0 ? sent.size() : sent.indexOf('\0'));
                QVERIFY2(!sent.isEmpty(), qPrintable(at));
                QCOMPARE(EncodeAnsi(event.text), sent.replace(';', ','));
                texts.append(event.text);
            } else {
                for (int i = 0; i < ArchiveSlots; ++i) {
                    QString why;
                    if (i < codes.size()) {
                        QVERIFY2(
                            SameValue(quint8(codes.at(i)), record.values[size_t(i)], ref, i, why),
                            qPrintable(at + QStringLiteral(": ") + why));
                    } else {
                        QCOMPARE(record.values[size_t(i)], Untouched);
                    }
                }
            }
        }
        if (pass.archive == 101) {
            QCOMPARE(times, (QStringList{"2026-11-30 12:00:00", "2026-12-10 09:00:00"}));
            QCOMPARE(texts, (QStringList{"Смена,пароля", "Сброс архива"}));
        }
    }
}

QTEST_GUILESS_MAIN(TestDriverOrvek307)
#include "tst_driver_orvek307.moc"
