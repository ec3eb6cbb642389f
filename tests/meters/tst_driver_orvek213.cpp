#include "Orvek213Driver.h"
#include "TestFiles.h"

#include "ExchangeLog.h"
#include "MemoryFixture.h"
#include "Meter.h"
#include "MeterBus.h"
#include "ModbusMaster.h"
#include "SimServer.h"
#include "TextFormat.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <cmath>
#include <cstring>

namespace {

constexpr quint8 kAddress = 0x11;
constexpr double kUntouched = -7;

QDateTime At(int year, int month, int day, int hour, int minute = 0, int second = 0)
{
    return CalendarDateTime(QDate(year, month, day), QTime(hour, minute, second));
}

// 16 bits, low byte first, as the model register and the 223 record index.
QByteArray Le16(int value)
{
    return QByteArray(1, char(value & 0xFF)) + char(value >> 8);
}

// Record headers: the 213 status byte or the 223 16-bit index, then ignored bytes.
QByteArray Header213(quint8 status)
{
    return QByteArray(1, char(status)) + Hex("CCCCCCCC");
}

QByteArray Header223(quint16 index)
{
    return Le16(index) + Hex("CCCCCCCCCCCC");
}

// A record body: an ignored byte, hour, day, month, year - 2000, the 80 bytes of slot
// values or event codes, two ignored bytes.
QByteArray Body(int hour, int day, int month, int year, const QByteArray& payload)
{
    QByteArray body = Hex("AA");
    body += char(hour);
    body += char(day);
    body += char(month);
    body += char(year);
    body += payload.leftJustified(80, '\0', true);
    return body + Hex("BBBB");
}

QByteArray Float(float value)
{
    QByteArray bytes(4, '\0');
    std::memcpy(bytes.data(), &value, 4); // the test hosts are little-endian, as the meters
    return bytes;
}

// Kinds as the letters of their codes, '-' for a slot without one.
QString KindLetters(const ArchiveLayout& layout)
{
    QString letters;
    for (const ParameterKind kind : layout)
        letters += kind == Kind::None ? QChar(u'-') : QChar(char16_t(kind));
    return letters;
}

QStringList NameList(const ParameterNames& names)
{
    return QStringList(names.begin(), names.end());
}

// A meter answering from a table of register blocks; a register without an entry gets
// no answer.
struct ScriptedMeter
{
    ScriptedMeter()
    {
        context.DeviceAddress = kAddress;
        driver = MakeOrvek213Driver(context);
        line.Serve([this](const QByteArray& request) { return Answer(request); });
    }

    QByteArray Answer(const QByteArray& request) const
    {
        const char function = request.at(1);
        const int reg = (quint8(request.at(2)) << 8) | quint8(request.at(3));
        if (exceptions.contains(reg))
            return WithCrc(request.left(1) + char(function | 0x80) + char(exceptions.value(reg)));
        if (function == 16)
            return WithCrc(request.left(6));
        if (!blocks.contains(reg))
            return {};
        const QByteArray block = blocks.value(reg);
        return WithCrc(request.left(2) + char(block.size()) + block);
    }

    Orvek213Driver& Driver() { return dynamic_cast<Orvek213Driver&>(*driver); }
    QByteArray LastRequest() { return line.Requests().value(line.RequestCount() - 1); }

    // Identifies the model and reads the layout codes, as the read-out does first.
    void Prepare(int model, const QByteArray& codes)
    {
        blocks[1800] = Le16(model);
        blocks[5378] = Hex("00") + codes + Hex("F0");
        QString name;
        driver->IdentifyDevice(name);
        ArchiveLayout layout;
        QCOMPARE(driver->ReadArchiveLayout(layout), Rc::Ok);
    }

    // One attempt per request: a register left silent is asked once.
    void OneAttempt()
    {
        line.config.globalTry = 1;
        line.Apply();
    }

    MemoryFixture line;
    DriverContext context{line.master, line.log};
    std::unique_ptr<DeviceDriver> driver;
    QHash<int, QByteArray> blocks;
    QHash<int, int> exceptions;
};

// A request frame as it must appear on the wire.
QByteArray Frame(const char* hex)
{
    return WithCrc(Hex(hex));
}

} // namespace

class TestDriverOrvek213 : public QObject
{
    Q_OBJECT

private slots:
    void identify_data();
    void identify();
    void modelKeptAcrossDevices();
    void clock_data();
    void clock();
    void serialNumber_data();
    void serialNumber();
    void layout_data();
    void layout();
    void layoutOfAnotherDevice();
    void archiveRecords_data();
    void archiveRecords();
    void eventRecords_data();
    void eventRecords();
    void flagsText_data();
    void flagsText();
    void recordRequests_data();
    void recordRequests();
    void startDate_data();
    void startDate();
    void whatTheFamilyHas();
    void readOutOverSimulator();
};

void TestDriverOrvek213::identify_data()
{
    QTest::addColumn<QByteArray>("reply"); // empty: exception
    QTest::addColumn<int>("exception");
    QTest::addColumn<QString>("name");
    QTest::addColumn<ResultCode>("result");
    QTest::addColumn<int>("model");

    // Each row follows an identification of an ОРВЕК-213.
    QTest::newRow("213") << Hex("D500") << 0 << "ОРВЕК-213" << Rc::Ok << 213;
    QTest::newRow("223") << Hex("DF00") << 0 << "ОРВЕК-223" << Rc::Ok << 223;
    QTest::newRow("bytes swapped")
        << Hex("00D5") << 0 << "ID = 54528" << Rc::UnknownDevice << 54528;
    QTest::newRow("307") << Hex("3301") << 0 << "ID = 307" << Rc::UnknownDevice << 307;
    QTest::newRow("longer reply") << Hex("DF00D5000000") << 0 << "ОРВЕК-223" << Rc::Ok << 223;
    QTest::newRow("one byte reads as 00 high") << Hex("DF") << 0 << "ОРВЕК-223" << Rc::Ok << 223;
    QTest::newRow("exception 2: no model register")
        << QByteArray() << 2 << "ОРВЕК-30x" << Rc::Ok << 213;
    QTest::newRow("exception 3") << QByteArray() << 3 << "ОРВЕК-30x" << ResultCode::Exception(3)
                                 << 213;
    QTest::newRow("exception 4") << QByteArray() << 4 << "ОРВЕК-30x" << ResultCode::Exception(4)
                                 << 213;
}

void TestDriverOrvek213::identify()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, exception);
    QFETCH(QString, name);
    QFETCH(ResultCode, result);
    QFETCH(int, model);

    ScriptedMeter meter;
    QString text;
    meter.blocks[1800] = Le16(213);
    QCOMPARE(meter.driver->IdentifyDevice(text), Rc::Ok);
    QCOMPARE(meter.Driver().ModelNumber(), quint16(213));

    if (exception != 0)
        meter.exceptions[1800] = exception;
    meter.blocks[1800] = reply;
    text = QStringLiteral("previous");
    QCOMPARE(meter.driver->IdentifyDevice(text), result);
    QCOMPARE(text, name);
    QCOMPARE(int(meter.Driver().ModelNumber()), model);
    QCOMPARE(meter.LastRequest(), Frame("110307080001"));
}

void TestDriverOrvek213::modelKeptAcrossDevices()
{
    ScriptedMeter meter;
    meter.OneAttempt();
    meter.blocks[5378] = Hex("00B0F0");
    meter.blocks[0x2000] = Header213(7) + Body(14, 3, 5, 19, Hex("70170000"));
    meter.blocks[0x2001] = meter.blocks[0x2000];
    meter.blocks[0x2050] = Header213(7) + Body(14, 3, 5, 19, Hex("0500"));
    meter.blocks[0x2051] = meter.blocks[0x2050];
    meter.exceptions[1800] = 2;
    QString name;
    ArchiveLayout layout;
    ArchiveRecord record;
    record.values.fill(kUntouched);
    record.recordIndex = 99;
    LogRecord event;
    event.recordIndex = 99;

    // No device has named its model yet: records are not decoded.
    QCOMPARE(meter.driver->IdentifyDevice(name), Rc::Ok);
    QCOMPARE(name, QStringLiteral("ОРВЕК-30x"));
    QCOMPARE(meter.driver->ReadArchiveLayout(layout), Rc::Ok);
    QCOMPARE(meter.driver->ReadFirstArchiveRecord(ArchiveKind::Hourly, record), Rc::UnknownDevice);
    QCOMPARE(meter.driver->ReadFirstEventRecord(event), Rc::UnknownDevice);
    QCOMPARE(record.recordIndex, RecordIndex(99));
    QCOMPARE(record.values[0], kUntouched);

    // A 213 names itself; the next device does not, and is read as a 213.
    meter.exceptions.clear();
    meter.blocks[1800] = Le16(213);
    QCOMPARE(meter.driver->IdentifyDevice(name), Rc::Ok);
    meter.context.DeviceAddress = 0x12;
    meter.exceptions[1800] = 2;
    QCOMPARE(meter.driver->IdentifyDevice(name), Rc::Ok);
    QCOMPARE(name, QStringLiteral("ОРВЕК-30x"));
    QCOMPARE(meter.LastRequest(), Frame("120307080001"));
    QCOMPARE(meter.driver->ReadFirstArchiveRecord(ArchiveKind::Hourly, record), Rc::Ok);
    QCOMPARE(record.recordIndex, RecordIndex(7));
    QCOMPARE(record.values[0], 10.0);
    QCOMPARE(record.recordTime, At(2019, 5, 3, 14));

    // A model of another family: every record operation refuses, the record stays.
    meter.exceptions.clear();
    meter.blocks[1800] = Le16(307);
    QCOMPARE(meter.driver->IdentifyDevice(name), Rc::UnknownDevice);
    record.values.fill(kUntouched);
    record.recordIndex = 99;
    QCOMPARE(meter.driver->ReadFirstArchiveRecord(ArchiveKind::Hourly, record), Rc::UnknownDevice);
    QCOMPARE(meter.driver->ReadNextArchiveRecord(ArchiveKind::Hourly, record), Rc::UnknownDevice);
    QCOMPARE(meter.driver->ReadFirstEventRecord(event), Rc::UnknownDevice);
    QCOMPARE(meter.driver->ReadNextEventRecord(event), Rc::UnknownDevice);
    QCOMPARE(record.recordIndex, RecordIndex(99));
    QCOMPARE(record.values[0], kUntouched);
    QCOMPARE(event.recordIndex, RecordIndex(99));
    QVERIFY(event.text.isEmpty());
}

void TestDriverOrvek213::clock_data()
{
    QTest::addColumn<QByteArray>("reply"); // empty: no answer
    QTest::addColumn<QDateTime>("clock");
    QTest::addColumn<ResultCode>("result");

    const QDateTime zero = ZeroDateTime();
    QTest::newRow("2019-05-03 14:25:07")
        << Hex("07190E030505E307") << At(2019, 5, 3, 14, 25, 7) << Rc::Ok;
    QTest::newRow("byte 4 ignored, year 2100")
        << Hex("3B3B171F9C0C3408") << At(2100, 12, 31, 23, 59, 59) << Rc::Ok;
    QTest::newRow("29 February 2020") << Hex("0000001D0002E407") << At(2020, 2, 29, 0) << Rc::Ok;
    QTest::newRow("longer reply") << Hex("07190E030505E307FFFFFFFF") << At(2019, 5, 3, 14, 25, 7)
                                  << Rc::Ok;
    // Fields that form no date or time: the device is still read, with the date-time 0.
    QTest::newRow("month 0") << Hex("07190E030500E307") << zero << Rc::Ok;
    QTest::newRow("31 April") << Hex("07190E1F0504E307") << zero << Rc::Ok;
    QTest::newRow("29 February 2019") << Hex("07190E1D0502E307") << zero << Rc::Ok;
    QTest::newRow("hour 24") << Hex("071918030505E307") << zero << Rc::Ok;
    QTest::newRow("minute 60") << Hex("073C0E030505E307") << zero << Rc::Ok;
    QTest::newRow("second 60") << Hex("3C190E030505E307") << zero << Rc::Ok;
    QTest::newRow("short reply: no year") << Hex("07190E030505") << zero << Rc::Ok;
    QTest::newRow("no answer") << QByteArray() << zero << Rc::NoReply;
}

void TestDriverOrvek213::clock()
{
    QFETCH(QByteArray, reply);
    QFETCH(QDateTime, clock);
    QFETCH(ResultCode, result);

    ScriptedMeter meter;
    meter.OneAttempt();
    if (!reply.isEmpty())
        meter.blocks[8290] = reply;
    QDateTime value = At(2001, 1, 1, 1);
    QCOMPARE(meter.driver->ReadDeviceClock(value), result);
    QCOMPARE(value, clock);
    QCOMPARE(meter.LastRequest(), Frame("110320620001"));
}

void TestDriverOrvek213::serialNumber_data()
{
    QTest::addColumn<QByteArray>("reply"); // empty: exception 2
    QTest::addColumn<QString>("serial");
    QTest::addColumn<ResultCode>("result");

    QTest::newRow("digits") << QByteArray("22300417") << "22300417" << Rc::Ok;
    // What reaches the files and folder names: a zero byte ends the number.
    QTest::newRow("zero bytes end the number") << Hex("3132000000330000") << "12" << Rc::Ok;
    QTest::newRow("bytes above 127 as Windows-1251, control characters to blanks")
        << Hex("C0FF80413132337F") << QStringLiteral("АяЂA123 ") << Rc::Ok;
    QTest::newRow("';' and line breaks") << Hex("31323B0D0A090033") << "12,   " << Rc::Ok;
    QTest::newRow("longer reply: 8 characters") << QByteArray("2230041799") << "22300417" << Rc::Ok;
    QTest::newRow("short reply: the zeros after it end it")
        << QByteArray("2230") << "2230" << Rc::Ok;
    QTest::newRow("exception 2: empty") << QByteArray() << QString() << ResultCode::Exception(2);
}

void TestDriverOrvek213::serialNumber()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, serial);
    QFETCH(ResultCode, result);

    ScriptedMeter meter;
    if (reply.isEmpty())
        meter.exceptions[0] = 2;
    meter.blocks[0] = reply;
    QString text = QStringLiteral("previous");
    QCOMPARE(meter.driver->ReadSerialNumber(text), result);
    QCOMPARE(text.size(), serial.size());
    QCOMPARE(text, serial);
    QCOMPARE(meter.LastRequest(), Frame("110300000001"));
}

void TestDriverOrvek213::layout_data()
{
    QTest::addColumn<QByteArray>("codes"); // after the ignored first byte
    QTest::addColumn<int>("slotCount");
    QTest::addColumn<QString>("kinds");
    QTest::addColumn<QStringList>("names");

    const auto kinds = [](const char* head) {
        return QString::fromLatin1(head).leftJustified(ArchiveSlots, u'-');
    };
    const auto names = [](QStringList head) {
        while (head.size() < ArchiveSlots)
            head.append(QString());
        return head;
    };

    QTest::newRow("k grows right after 0xB0")
        << Hex("1011303160B0C0D1F0") << 8 << kinds("vvttehfh")
        << names({"V1", "V2", "T1", "T2", "E1 тариф1", "Наработка 1", "Ошибки 2", "Tmin 2"});
    QTest::newRow("every group and channel 16")
        << Hex("202F3F4F505F6F707F808F909FB0B0C0D2D3D4D5D6FF") << 21
        << kinds("mmtpqqeeeeeeehhfhhhhh")
        << names({"G1",         "G16",        "T16",        "P16",         "Q1",
                  "Q16",        "E16 тариф1", "E1 тариф2",  "E16 тариф2",  "E1 тариф3",
                  "E16 тариф3", "E1 тариф4",  "E16 тариф4", "Наработка 1", "Наработка 2",
                  "Ошибки 3",   "Tmax 3",     "Тdt 3",      "Тф 3",        "Тэп 3",
                  "Тнс 3"});
    QTest::newRow("codes without a quantity still count")
        << Hex("10B1E5000FA0AFBFC1D0D0D711F5") << 13 << kinds("v-----------v")
        << names({"V1", "", "", "", "", "", "", "", "", "", "", "", "V2"});
    QTest::newRow("first code ends the layout") << Hex("F0103031") << 0 << kinds("") << names({});
    QTest::newRow("0xFF ends it too") << Hex("10FF31") << 1 << kinds("v") << names({"V1"});

    QStringList fiftyFive;
    for (int i = 0; i < 55; ++i)
        fiftyFive.append(QStringLiteral("V16"));
    QTest::newRow("no end code: 55 slots") << QByteArray(55, char(0x1F)) + Hex("F0F0") << 55
                                           << kinds(QByteArray(55, 'v')) << names(fiftyFive);
    // Short reply: the missing codes read as 0, slots without a quantity.
    QStringList shortNames{"V1", "T2"};
    for (int i = 2; i < 55; ++i)
        shortNames.append(QString());
    QTest::newRow("short reply") << Hex("1031") << 55 << kinds("vt") << names(shortNames);
}

void TestDriverOrvek213::layout()
{
    QFETCH(QByteArray, codes);
    QFETCH(int, slotCount);
    QFETCH(QString, kinds);
    QFETCH(QStringList, names);

    ScriptedMeter meter;
    meter.blocks[5378] = Hex("F0") + codes; // the first byte is not a code
    ArchiveLayout layout;
    layout.fill(Kind::Volume);
    QCOMPARE(meter.driver->ReadArchiveLayout(layout), Rc::Ok);
    QCOMPARE(meter.LastRequest(), Frame("110315020001"));
    QCOMPARE(meter.Driver().SlotCount(), slotCount);
    QCOMPARE(KindLetters(layout), kinds);

    ParameterNames out;
    out.fill(QStringLiteral("stale"));
    QCOMPARE(meter.driver->ReadParameterNames(out), Rc::Ok);
    QCOMPARE(NameList(out), names);
    QCOMPARE(meter.line.RequestCount(), 1); // the names cost no request
}

void TestDriverOrvek213::layoutOfAnotherDevice()
{
    ScriptedMeter meter;
    meter.OneAttempt();
    meter.blocks[5378] = Hex("0010113031B0C0F0");
    ArchiveLayout layout;
    ParameterNames names;
    QCOMPARE(meter.driver->ReadArchiveLayout(layout), Rc::Ok);

    // A failed read clears the layout and keeps what the last good one learnt.
    meter.exceptions[5378] = 4;
    layout.fill(Kind::Volume);
    QCOMPARE(meter.driver->ReadArchiveLayout(layout), ResultCode::Exception(4));
    QCOMPARE(KindLetters(layout), QString(ArchiveSlots, u'-'));
    QCOMPARE(meter.Driver().SlotCount(), 6);
    QCOMPARE(meter.driver->ReadParameterNames(names), Rc::Ok);
    QCOMPARE(NameList(names).mid(0, 7),
             QStringList({"V1", "V2", "T1", "T2", "Наработка 1", "Ошибки 2", ""}));

    // A device with fewer slots: none of the earlier names remain.
    meter.exceptions.clear();
    meter.blocks[5378] = Hex("0050FF");
    QCOMPARE(meter.driver->ReadArchiveLayout(layout), Rc::Ok);
    QCOMPARE(meter.driver->ReadParameterNames(names), Rc::Ok);
    QStringList expected(ArchiveSlots, QString());
    expected[0] = QStringLiteral("Q1");
    QCOMPARE(NameList(names), expected);
}

void TestDriverOrvek213::archiveRecords_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<QByteArray>("codes");
    QTest::addColumn<QByteArray>("reply"); // empty: no answer
    QTest::addColumn<ResultCode>("result");
    QTest::addColumn<int>("index");
    QTest::addColumn<QDateTime>("time"); // invalid: left as it was
    QTest::addColumn<QList<double>>("values");
    QTest::addColumn<QString>("errorText");

    const QDateTime same;
    const QString none = QStringLiteral("previous");
    const QByteArray three = Hex("70170000 70170000 0000803F");
    const QByteArray body = Body(14, 3, 5, 19, three);

    QTest::newRow("213: record 7") << 213 << Hex("B0C010") << Header213(7) + body << Rc::Ok << 7
                                   << At(2019, 5, 3, 14) << QList<double>{10, 6000, 1} << none;
    QTest::newRow("213: FF, no record")
        << 213 << Hex("B0C010") << Header213(0xFF) + body << Rc::Ok << -1 << same
        << QList<double>{kUntouched, kUntouched, kUntouched} << none;
    QTest::newRow("213: FE is a record")
        << 213 << Hex("B0C010") << Header213(0xFE) + body << Rc::Ok << 254 << At(2019, 5, 3, 14)
        << QList<double>{10, 6000, 1} << none;
    QTest::newRow("223: FF 00 is record 255")
        << 223 << Hex("B0C010") << Header223(0x00FF) + body << Rc::Ok << 255 << At(2019, 5, 3, 14)
        << QList<double>{10, 6000, 1} << none;
    QTest::newRow("223: FF FF, no record")
        << 223 << Hex("B0C010") << Header223(0xFFFF) + body << Rc::Ok << -1 << same
        << QList<double>{kUntouched, kUntouched, kUntouched} << none;
    QTest::newRow("223: index is signed")
        << 223 << Hex("C0") << Header223(0x8000) + body << Rc::Ok << -32768 << At(2019, 5, 3, 14)
        << QList<double>{6000} << none;
    QTest::newRow("every value encoding")
        << 223 << Hex("1F2F3F4F5F6F7F8F9FB0C0D1D2D3D4D5D6")
        << Header223(3) +
               Body(0, 1, 1, 0,
                    Float(-1.5f) + Float(2.5e-7f) + Float(96.25f) + Float(1.6f) + Float(1e20f) +
                        Float(0) + Float(-0.125f) + Float(3) + Float(4) + Hex("FFFFFFFF") +
                        Hex("FFFFFFFF") + Hex("01000000") + Hex("58020000") + Hex("2C010000") +
                        Hex("00000100") + Hex("00000080") + Hex("C0270900"))
        << Rc::Ok << 3 << At(2000, 1, 1, 0)
        << QList<double>{-1.5,
                         double(2.5e-7f),
                         96.25,
                         double(1.6f),
                         double(1e20f),
                         0,
                         -0.125,
                         3,
                         4,
                         4294967295.0 / 600,
                         4294967295.0,
                         1.0 / 600,
                         1,
                         0.5,
                         65536.0 / 600,
                         2147483648.0 / 600,
                         1000}
        << none;
    // The high nibble decides the value, the kind does not: 0xB1 and 0xD7 have none
    // and still carry a count, 0xA0, 0xE5 and 0x05 carry nothing.
    QTest::newRow("codes without a quantity")
        << 213 << Hex("A0E505B1D710")
        << Header213(1) + Body(23, 31, 12, 99,
                               Hex("01000000 02000000 03000000 58020000"
                                   "B0040000 0000803F"))
        << Rc::Ok << 1 << At(2099, 12, 31, 23)
        << QList<double>{kUntouched, kUntouched, kUntouched, 1, 2, 1} << none;
    QTest::newRow("31 February") << 213 << Hex("B0C010") << Header213(7) + Body(5, 31, 2, 19, three)
                                 << Rc::ArchiveDecodeError << 7 << same
                                 << QList<double>{10, 6000, 1} << "5:00 31.2.19";
    QTest::newRow("hour 24") << 223 << Hex("B0") << Header223(9) + Body(24, 3, 5, 19, three)
                             << Rc::ArchiveDecodeError << 9 << same << QList<double>{10}
                             << "24:00 3.5.19";
    QTest::newRow("month 13") << 223 << Hex("B0") << Header223(9) + Body(0, 1, 13, 7, three)
                              << Rc::ArchiveDecodeError << 9 << same << QList<double>{10}
                              << "0:00 1.13.7";
    QTest::newRow("29 February 2001")
        << 223 << Hex("B0") << Header223(9) + Body(10, 29, 2, 1, three) << Rc::ArchiveDecodeError
        << 9 << same << QList<double>{10} << "10:00 29.2.1";
    QTest::newRow("short reply reads zeros")
        << 213 << Hex("1010") << Header213(2) + Body(1, 2, 3, 4, Float(5)).left(9) << Rc::Ok << 2
        << At(2004, 3, 2, 1) << QList<double>{5, 0} << none;
    QTest::newRow("reply cut in the date")
        << 223 << Hex("10") << Header223(2) + Body(1, 2, 3, 4, {}).left(3) << Rc::ArchiveDecodeError
        << 2 << same << QList<double>{0} << "1:00 2.0.0";
    // The body holds 20 values; whatever follows it in a long reply is no value.
    QByteArray twenty;
    QList<double> twentyThenZeros;
    for (int i = 0; i < 20; ++i) {
        twenty += Float(float(i + 1));
        twentyThenZeros.append(i + 1);
    }
    twentyThenZeros << 0 << 0;
    QTest::newRow("slots from 20 on get 0")
        << 223 << QByteArray(22, char(0x10))
        << Header223(5) + Body(6, 7, 8, 9, twenty) + Float(21) + Float(22) + Float(23) << Rc::Ok
        << 5 << At(2009, 8, 7, 6) << twentyThenZeros << none;
    QTest::newRow("no answer") << 213 << Hex("10") << QByteArray() << Rc::NoReply << 99 << same
                               << QList<double>{kUntouched} << none;
}

void TestDriverOrvek213::archiveRecords()
{
    QFETCH(int, model);
    QFETCH(QByteArray, codes);
    QFETCH(QByteArray, reply);
    QFETCH(ResultCode, result);
    QFETCH(int, index);
    QFETCH(QDateTime, time);
    QFETCH(QList<double>, values);
    QFETCH(QString, errorText);

    ScriptedMeter meter;
    meter.OneAttempt();
    meter.Prepare(model, codes);
    if (!reply.isEmpty())
        meter.blocks[0x2010] = reply;
    meter.context.DecodeErrorText = QStringLiteral("previous");
    const QDateTime before = At(2001, 2, 3, 4);
    ArchiveRecord record;
    record.values.fill(kUntouched);
    record.recordTime = before;
    record.recordIndex = 99;

    QCOMPARE(meter.driver->ReadFirstArchiveRecord(ArchiveKind::Daily, record), result);
    QCOMPARE(int(record.recordIndex), index);
    QCOMPARE(record.recordTime, time.isValid() ? time : before);
    for (int i = 0; i < ArchiveSlots; ++i) {
        const double expected = i < values.size() ? values.at(i) : kUntouched;
        QVERIFY2(record.values[size_t(i)] == expected,
                 qPrintable(QStringLiteral("slot %1: %2, expected %3")
                                .arg(i)
                                .arg(record.values[size_t(i)], 0, 'g', 17)
                                .arg(expected, 0, 'g', 17)));
    }
    QCOMPARE(meter.context.DecodeErrorText, errorText);
}

void TestDriverOrvek213::eventRecords_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<ResultCode>("result");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QDateTime>("time"); // invalid: left as it was
    QTest::addColumn<QString>("errorText");

    const QDateTime same;
    const QString none = QStringLiteral("previous");
    const QString untouched = QStringLiteral("previous text");
    const auto event = [](const char* codes) {
        return Body(8, 1, 5, 19, Hex(codes));
    };
    const QDateTime eight = At(2019, 5, 1, 8);

    QTest::newRow("one comma, no blank")
        << 213 << Header213(4) + event("050600") << Rc::Ok << 4 << "Vmin,Vmax" << eight << none;
    QTest::newRow("an empty name keeps its comma")
        << 213 << Header213(4) + event("05010600") << Rc::Ok << 4 << "Vmin,,Vmax" << eight << none;
    QTest::newRow("an empty first name adds no comma")
        << 223 << Header223(4) + event("010500") << Rc::Ok << 4 << "Vmin" << eight << none;
    QTest::newRow("only empty names")
        << 223 << Header223(4) + event("0102030400") << Rc::Ok << 4 << "" << eight << none;
    QTest::newRow("no codes") << 223 << Header223(4) + event("0005") << Rc::Ok << 4 << "" << eight
                              << none;
    QTest::newRow("every name")
        << 223 << Header223(300) + event("05060708090A0B0C0D0E0F10111213") << Rc::Ok << 300
        << "Vmin,Vmax,Verr,T1min,T1max,T2min,T2max,T1err,T2err,Tdtmax,Tdtmin,Tdt<3,"
           "Очистка архивов,Включение,Уст. времени"
        << eight << none;
    QTest::newRow("20 codes and nothing more")
        << 213 << Header213(4) + Body(8, 1, 5, 19, QByteArray(20, 0x12) + QByteArray(60, 0x05))
        << Rc::Ok << 4 << QStringList(20, QStringLiteral("Включение")).join(u',') << eight << none;
    QTest::newRow("codes past the table")
        << 213 << Header213(4) + event("141914FF00") << Rc::Ok << 4
        << "Событие 20,Событие 25,Событие 20,Событие 255" << eight << none;
    QTest::newRow("213: FF, no record")
        << 213 << Header213(0xFF) + event("0500") << Rc::Ok << -1 << untouched << same << none;
    QTest::newRow("223: FF FF, no record")
        << 223 << Header223(0xFFFF) + event("0500") << Rc::Ok << -1 << untouched << same << none;
    QTest::newRow("31 February") << 213 << Header213(4) + Body(5, 31, 2, 19, Hex("0506"))
                                 << Rc::LogDecodeError << 4 << "Vmin,Vmax" << same
                                 << "5:00 31.2.19";
    QTest::newRow("hour 25") << 223 << Header223(4) + Body(25, 1, 1, 20, Hex("07"))
                             << Rc::LogDecodeError << 4 << "Verr" << same << "25:00 1.1.20";
}

void TestDriverOrvek213::eventRecords()
{
    QFETCH(int, model);
    QFETCH(QByteArray, reply);
    QFETCH(ResultCode, result);
    QFETCH(int, index);
    QFETCH(QString, text);
    QFETCH(QDateTime, time);
    QFETCH(QString, errorText);

    ScriptedMeter meter;
    meter.Prepare(model, Hex("10"));
    meter.blocks[0x2051] = reply;
    meter.context.DecodeErrorText = QStringLiteral("previous");
    const QDateTime before = At(2001, 2, 3, 4);
    LogRecord record{QStringLiteral("previous text"), before, 99};

    QCOMPARE(meter.driver->ReadNextEventRecord(record), result);
    QCOMPARE(int(record.recordIndex), index);
    QCOMPARE(record.text, text);
    QCOMPARE(record.recordTime, time.isValid() ? time : before);
    QCOMPARE(meter.context.DecodeErrorText, errorText);
}

void TestDriverOrvek213::flagsText_data()
{
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<QString>("text");

    QTest::newRow("none") << 0u << "Ok";
    QTest::newRow("bit 0") << 0x1u << "Ok";
    QTest::newRow("bit 1") << 0x2u << "Ok";
    QTest::newRow("bits without names only") << 0x200000C3u << "Ok";
    QTest::newRow("bits 2 and 3") << 0xCu << "Авария Gvtp, Авария V";
    QTest::newRow("bits 2 and 6: a trailing separator") << 0x44u << "Авария Gvtp, ";
    QTest::newRow("bit 0 before a name") << 0x801u << u"Авария \u0422dt"_qs;
    // The letters that look alike: Latin T and U, Cyrillic Т in Тdt.
    const QStringList all{
        "Авария Gvtp",
        "Авария V",
        "НС Vmin",
        "НС Vmax",
        "",
        "",
        "Авария Tmin",
        "Авария Tmax",
        "Авария T",
        u"Авария \u0422dt"_qs,
        "НС Tmin",
        "НС Tmax",
        "",
        u"НС \u0422dt"_qs,
        "Авария Qgtp",
        "Авария Uбат",
        "Авария теплосчетчика",
        "",
        "",
        "НС Uбат",
        "",
        "",
        "",
        "",
        "",
        "",
        "Установка времени",
        "",
        "Очистка архивов",
        "Включение прибора",
    };
    QTest::newRow("all bits") << 0xFFFFFFFFu << all.join(QStringLiteral(", "));
    QTest::newRow("bit 31") << 0x80000000u << "Включение прибора";
}

void TestDriverOrvek213::flagsText()
{
    QFETCH(quint32, flags);
    QFETCH(QString, text);

    ScriptedMeter meter;
    QCOMPARE(meter.driver->FlagsText(flags), text);
    QCOMPARE(meter.line.RequestCount(), 0);
}

void TestDriverOrvek213::recordRequests_data()
{
    QTest::addColumn<int>("kind"); // 0: the event log
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("next");

    QTest::newRow("hourly") << int(ArchiveKind::Hourly) << Frame("110320000001")
                            << Frame("110320010078");
    QTest::newRow("daily") << int(ArchiveKind::Daily) << Frame("110320100001")
                           << Frame("110320110078");
    QTest::newRow("monthly") << int(ArchiveKind::Monthly) << Frame("110320200001")
                             << Frame("110320210078");
    QTest::newRow("integral daily")
        << int(ArchiveKind::IntegralDaily) << Frame("110320900001") << Frame("110320910001");
    QTest::newRow("integral monthly")
        << int(ArchiveKind::IntegralMonthly) << Frame("110320300001") << Frame("110320310078");
    QTest::newRow("event log") << 0 << Frame("110320500001") << Frame("110320510078");
}

void TestDriverOrvek213::recordRequests()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, next);

    ScriptedMeter meter;
    meter.Prepare(223, Hex("10"));
    const int reg = (quint8(first.at(2)) << 8) | quint8(first.at(3));
    meter.blocks[reg] = Header223(1) + Body(1, 2, 3, 4, Hex("0500"));
    meter.blocks[reg + 1] = Header223(2) + Body(2, 2, 3, 4, Hex("0600"));

    ArchiveRecord record;
    LogRecord event;
    if (kind == 0) {
        QCOMPARE(meter.driver->ReadFirstEventRecord(event), Rc::Ok);
        QCOMPARE(meter.LastRequest(), first);
        QCOMPARE(event.text, QStringLiteral("Vmin"));
        QCOMPARE(meter.driver->ReadNextEventRecord(event), Rc::Ok);
        QCOMPARE(event.text, QStringLiteral("Vmax"));
        QCOMPARE(event.recordTime, At(2004, 3, 2, 2));
    } else {
        QCOMPARE(meter.driver->ReadFirstArchiveRecord(ArchiveKind(kind), record), Rc::Ok);
        QCOMPARE(meter.LastRequest(), first);
        QCOMPARE(record.recordIndex, RecordIndex(1));
        QCOMPARE(meter.driver->ReadNextArchiveRecord(ArchiveKind(kind), record), Rc::Ok);
        QCOMPARE(record.recordIndex, RecordIndex(2));
        QCOMPARE(record.recordTime, At(2004, 3, 2, 2));
    }
    QCOMPARE(meter.LastRequest(), next);
    QCOMPARE(meter.line.RequestCount(), 4);
}

void TestDriverOrvek213::startDate_data()
{
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<QByteArray>("block");

    QTest::newRow("2019-05-03 14:25") << At(2019, 5, 3, 14, 25) << Hex("0E030513");
    QTest::newRow("2000-01-01 00:00") << At(2000, 1, 1, 0) << Hex("00010100");
    QTest::newRow("2255-12-31 23:59:59") << At(2255, 12, 31, 23, 59, 59) << Hex("171F0CFF");
    QTest::newRow("2256: year modulo 256") << At(2256, 2, 29, 1) << Hex("011D0200");
    QTest::newRow("1999: year modulo 256") << At(1999, 12, 31, 23) << Hex("171F0CFF");
}

void TestDriverOrvek213::startDate()
{
    QFETCH(QDateTime, start);
    QFETCH(QByteArray, block);

    ScriptedMeter meter;
    const QByteArray frame = WithCrc(Hex("111020600002 04") + block);
    // The period plays no part in this family.
    for (const PeriodCode period : {Period::Hourly, Period::None, Period::Monthly}) {
        QCOMPARE(meter.driver->SetReadStartDate(start, period), Rc::Ok);
        QCOMPARE(meter.LastRequest(), frame);
    }
    meter.exceptions[8288] = 3;
    QCOMPARE(meter.driver->SetReadStartDate(start, Period::None), ResultCode::Exception(3));
}

void TestDriverOrvek213::whatTheFamilyHas()
{
    ScriptedMeter meter;
    meter.Prepare(223, Hex("10"));
    DeviceDriver& driver = *meter.driver;
    for (const ArchiveKind kind : {ArchiveKind::Hourly, ArchiveKind::Daily, ArchiveKind::Monthly,
                                   ArchiveKind::IntegralDaily, ArchiveKind::IntegralMonthly})
        QVERIFY(driver.HasArchive(kind));
    QVERIFY(!driver.HasArchive(ArchiveKind::EmergencyDaily));
    QVERIFY(!driver.HasArchive(ArchiveKind(4)));
    QVERIFY(driver.HasEventLog());
    QVERIFY(!driver.HasProtectedLog());
    QVERIFY(driver.HasFlagsText());

    const int sent = meter.line.RequestCount();
    ArchiveRecord record;
    LogRecord event;
    QCOMPARE(driver.ReadFirstArchiveRecord(ArchiveKind::EmergencyDaily, record), Rc::UnknownDevice);
    QCOMPARE(driver.ReadNextArchiveRecord(ArchiveKind::EmergencyDaily, record), Rc::UnknownDevice);
    QCOMPARE(driver.ReadFirstProtectedRecord(event), Rc::UnknownDevice);
    QCOMPARE(driver.ReadNextProtectedRecord(event), Rc::UnknownDevice);
    QCOMPARE(meter.line.RequestCount(), sent);
}

namespace {

// One meter of the simulator pass: its entry and what the read-out must find.
struct PassMeter
{
    int model;
    quint8 address;
    QJsonObject entry;
    QString serial;
    QByteArray codes;
    QStringList names;
    QStringList eventTexts;
    QList<QDateTime> eventTimes;
};

QJsonObject PassEntry(int model, quint8 address, const char* serial, const QByteArray& codes,
                      const char* events)
{
    QJsonArray layout;
    for (const char code : codes)
        layout.append(quint8(code));
    QJsonObject entry = QJsonDocument::fromJson(R"({"family": 2,
        "clock": "2019-05-03T14:25:07", "clockRuns": false,
        "depth": {"hourly": 6, "daily": 4, "monthly": 3, "integralDaily": 4,
                  "integralMonthly": 3}})")
                            .object();
    entry.insert(QStringLiteral("model"), model);
    entry.insert(QStringLiteral("address"), address);
    entry.insert(QStringLiteral("key"), model);
    entry.insert(QStringLiteral("serial"), QString::fromLatin1(serial));
    entry.insert(QStringLiteral("layout"), layout);
    entry.insert(QStringLiteral("events"), QJsonDocument::fromJson(events).array());
    return entry;
}

quint32 Word(const QByteArray& bytes, int at)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | quint8(bytes.at(at + i));
    return value;
}

// Each decoded value put back into its slot's encoding must give the meter's own bytes.
void CompareValues(const ArchiveRecord& record, const QByteArray& codes, const QByteArray& body,
                   const QString& where)
{
    for (int i = 0; i < codes.size(); ++i) {
        const double value = record.values[size_t(i)];
        const QString at = where + QStringLiteral(", slot %1").arg(i);
        if (i >= Orvek213Driver::BodyValueSlots) {
            QVERIFY2(value == 0, qPrintable(at));
            continue;
        }
        const quint32 word = Word(body, 5 + 4 * i);
        switch (quint8(codes.at(i)) >> 4) {
        case 0x1:
        case 0x2:
        case 0x3:
        case 0x4:
        case 0x5:
        case 0x6:
        case 0x7:
        case 0x8:
        case 0x9: {
            const float single = float(value);
            quint32 bits = 0;
            std::memcpy(&bits, &single, 4);
            QVERIFY2(double(single) == value && bits == word, qPrintable(at));
            break;
        }
        case 0xB:
        case 0xD:
            QVERIFY2(std::llround(value * 600) == qint64(word), qPrintable(at));
            break;
        case 0xC:
            QVERIFY2(value == double(word), qPrintable(at));
            break;
        default:
            break;
        }
    }
}

} // namespace

void TestDriverOrvek213::readOutOverSimulator()
{
    // The 223 comes first: the 213 after it has fewer slots and must not inherit names.
    const QByteArray codes223 = Hex("10112030314050607080 90C0D1D2D3D4D5D6B0A0 1F3FB1C0B0");
    const QByteArray codes213 = Hex("103031C0D1B011D5B0E5");
    const QList<PassMeter> meters{
        {223,
         6,
         PassEntry(223, 6, "22300417", codes223, R"([
             {"time": "2019-05-01T08:00:00", "codes": [5, 6]},
             {"time": "2019-05-02T09:30:00", "codes": [18, 1, 19]},
             {"time": "2019-05-03T10:00:00", "codes": [25, 17]}])"),
         QStringLiteral("22300417"),
         codes223,
         {"V1",        "V2",       "G1",        "T1",          "T2",
          "P1",        "Q1",       "E1 тариф1", "E1 тариф2",   "E1 тариф3",
          "E1 тариф4", "Ошибки 1", "Tmin 1",    "Tmax 1",      u"\u0422dt 1"_qs,
          "Тф 1",      "Тэп 1",    "Тнс 1",     "Наработка 1", "",
          "V16",       "T16",      "",          "Ошибки 2",    "Наработка 2"},
         {"Vmin,Vmax", "Включение,,Уст. времени", "Событие 25,Очистка архивов"},
         {At(2019, 5, 1, 8), At(2019, 5, 2, 9), At(2019, 5, 3, 10)}},
        {213,
         5,
         PassEntry(213, 5, "2130042", codes213, R"([
             {"time": "2019-04-30T23:00:00", "codes": [7, 12, 13]},
             {"time": "2019-05-03T14:00:00", "codes": []}])"),
         QStringLiteral("2130042"), // the zero that pads it ends the number
         codes213,
         {"V1", "T1", "T2", "Ошибки 1", "Tmin 1", "Наработка 1", "V2", "Тэп 2", "Наработка 2", ""},
         {"Verr,T1err,T2err", ""},
         {At(2019, 4, 30, 23), At(2019, 5, 3, 14)}},
    };

    struct Pass
    {
        int kind; // 0: the event log
        QDateTime start;
        QList<QDateTime> times; // empty: the meter's event times
    };
    const QList<Pass> passes{
        {int(ArchiveKind::Hourly),
         At(2019, 5, 3, 11, 30), // the minutes do not reach the meter
         {At(2019, 5, 3, 11), At(2019, 5, 3, 12), At(2019, 5, 3, 13), At(2019, 5, 3, 14)}},
        {int(ArchiveKind::Daily),
         At(2019, 4, 1, 0),
         {At(2019, 4, 30, 0), At(2019, 5, 1, 0), At(2019, 5, 2, 0), At(2019, 5, 3, 0)}},
        {int(ArchiveKind::IntegralDaily),
         At(2019, 5, 1, 0),
         {At(2019, 5, 1, 0), At(2019, 5, 2, 0), At(2019, 5, 3, 0)}},
        {int(ArchiveKind::Monthly), At(2019, 3, 15, 10), {At(2019, 4, 1, 0), At(2019, 5, 1, 0)}},
        {int(ArchiveKind::IntegralMonthly),
         At(2000, 1, 1, 0),
         {At(2019, 3, 1, 0), At(2019, 4, 1, 0), At(2019, 5, 1, 0)}},
        {0, At(2019, 4, 1, 0), {}},
    };
    const QHash<int, quint16> firstRegister{
        {int(ArchiveKind::Hourly), 0x2000},          {int(ArchiveKind::Daily), 0x2010},
        {int(ArchiveKind::Monthly), 0x2020},         {int(ArchiveKind::IntegralDaily), 0x2090},
        {int(ArchiveKind::IntegralMonthly), 0x2030}, {0, 0x2050},
    };

    QJsonArray entries;
    for (const PassMeter& m : meters)
        entries.append(m.entry);
    const QByteArray file =
        QJsonDocument(QJsonObject{{QStringLiteral("meters"), entries}}).toJson();
    QString error;
    SimServer server;
    QVERIFY2(server.LoadMeterFile(file, error), qPrintable(error));

    MemoryFixture line;
    line.line.SetResponder(MemoryResponder(server));
    DriverContext context(line.master, line.log);
    const std::unique_ptr<DeviceDriver> driver = MakeOrvek213Driver(context);

    // What the read-out holds for the current device, reused for every one.
    ArchiveLayout layout;
    ParameterNames names;
    ArchiveRecord record;
    LogRecord event;

    for (const PassMeter& m : meters) {
        const QString device = QStringLiteral("ОРВЕК-%1").arg(m.model);
        // The same meter, driven here directly to tell what each reply held.
        const std::unique_ptr<Meter> twin = Meter::FromJson(m.entry, error);
        QVERIFY2(twin, qPrintable(error));
        const int header = m.model == 213 ? 5 : 8;

        context.DeviceAddress = m.address;
        QString text;
        QCOMPARE(driver->IdentifyDevice(text), Rc::Ok);
        QCOMPARE(text, device);
        QDateTime clock;
        QCOMPARE(driver->ReadDeviceClock(clock), Rc::Ok);
        QCOMPARE(clock, At(2019, 5, 3, 14, 25, 7));
        QCOMPARE(driver->ReadSerialNumber(text), Rc::Ok);
        QCOMPARE(text, m.serial);
        QCOMPARE(driver->ReadArchiveLayout(layout), Rc::Ok);
        QCOMPARE(driver->ReadParameterNames(names), Rc::Ok);
        QStringList expectedNames = m.names;
        while (expectedNames.size() < ArchiveSlots)
            expectedNames.append(QString());
        QCOMPARE(NameList(names), expectedNames);

        for (const Pass& pass : passes) {
            const QList<QDateTime> times = pass.kind == 0 ? m.eventTimes : pass.times;
            const quint16 first = firstRegister.value(pass.kind);
            const quint16 nextCount = pass.kind == int(ArchiveKind::IntegralDaily) ? 1 : 120;
            const QDate day = pass.start.date();
            QByteArray block;
            for (const int field :
                 {pass.start.time().hour(), day.day(), day.month(), day.year() - 2000})
                block.append(char(field));
            QCOMPARE(driver->SetReadStartDate(pass.start, Period::None), Rc::Ok);
            QCOMPARE(twin->Handle(MeterRequest{16, 8288, 2, block}).exception, 0);

            for (int n = 0;; ++n) {
                const QString where =
                    device + QStringLiteral(", kind %1, record %2").arg(pass.kind).arg(n);
                const QByteArray reply =
                    n == 0 ? twin->Handle(MeterRequest{3, first, 1, {}}).data
                           : twin->Handle(MeterRequest{3, quint16(first + 1), nextCount, {}}).data;
                QCOMPARE(reply.size(), header + 87);
                const RecordIndex index = m.model == 213 && quint8(reply.at(0)) == 0xFF
                                              ? NoMoreRecords
                                          : m.model == 213 ? RecordIndex(quint8(reply.at(0)))
                                                           : RecordIndex(Word(reply, 0));
                ResultCode r;
                if (pass.kind == 0) {
                    r = n == 0 ? driver->ReadFirstEventRecord(event)
                               : driver->ReadNextEventRecord(event);
                } else {
                    r = n == 0 ? driver->ReadFirstArchiveRecord(ArchiveKind(pass.kind), record)
                               : driver->ReadNextArchiveRecord(ArchiveKind(pass.kind), record);
                }
                QVERIFY2(r == Rc::Ok,
                         qPrintable(where + QStringLiteral(": %1").arg(ResultCodeText(r))));
                const RecordIndex got = pass.kind == 0 ? event.recordIndex : record.recordIndex;
                QVERIFY2(got == index, qPrintable(where));
                if (n == times.size()) {
                    QVERIFY2(got == NoMoreRecords, qPrintable(where));
                    break;
                }
                QVERIFY2(got != NoMoreRecords, qPrintable(where));
                const QByteArray body = reply.mid(header);
                if (pass.kind == 0) {
                    QCOMPARE(event.recordTime, times.at(n));
                    QCOMPARE(event.text, m.eventTexts.at(n));
                } else {
                    QCOMPARE(record.recordTime, times.at(n));
                    QVERIFY2(Word(body, 5) != 0, qPrintable(where)); // the meter's V1 runs
                    CompareValues(record, m.codes, body, where);
                    if (QTest::currentTestFailed())
                        return;
                }
            }
        }
    }
}

QTEST_GUILESS_MAIN(TestDriverOrvek213)
#include "tst_driver_orvek213.moc"
