// The one loop that reads an archive or a log into its file, every record exactly once,
// over a line held in memory to a stand-in ОРВЕК-307 whose replies are lost, refused or
// interrupted at chosen points.
#include "Crc16.h"
#include "DeviceDriver.h"
#include "ExchangeLog.h"
#include "MemoryLine.h"
#include "Meter.h"
#include "MeterBus.h"
#include "ModbusMaster.h"
#include "Orvek307Driver.h"
#include "RecordLoop.h"
#include "SimServer.h"
#include "TextFormat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>

namespace {

// What happens to the exchanges of one reading, counted from 1 in their own kind.
struct Faults
{
    QSet<int> lostNext;      // next-record reads whose reply is lost, the meter moved on
    QSet<int> refusedStarts; // start-date writes the meter refuses (exception 4)
    int abortAtRequest = 0;  // the Abort button pressed while this request is answered
    // Every Nth reply comes from another address (a neighbour, a late answer), with a
    // good CRC.
    int otherAddressEvery = 0;
};

const QDate StartDay(2026, 12, 9);

// Hourly records every hour from 9 December 00:00 on, and events three of which share a
// time; the meter also holds records before the start day.
QJsonObject MeterJson(int otherAddressEvery)
{
    QJsonArray events;
    const auto event = [&events](const char* time, const char* text) {
        events.append(QJsonObject{{"time", time}, {"text", text}});
    };
    event("2026-12-08T23:00:00", "До начала");
    event("2026-12-09T08:00:00", "Вкл");
    event("2026-12-09T08:00:00", "Откл");
    event("2026-12-09T08:00:00", "Вкл");
    event("2026-12-09T09:30:00", "Дверь");
    event("2026-12-10T07:00:00", "Откл");
    return QJsonObject{{"family", 0},
                       {"address", 1},
                       {"model", 307},
                       {"serial", "11111111"},
                       {"clock", "2026-12-10T10:15:42"},
                       {"layout", QJsonArray{16, 17}},
                       {"key", 7},
                       {"depth", QJsonObject{{"hourly", 40}}},
                       {"events", events},
                       {"faults", QJsonObject{{"otherAddressEvery", otherAddressEvery}}}};
}

struct Rig
{
    explicit Rig(const Faults& chosen) : faults(chosen)
    {
        QString error;
        ready = server.LoadMeterFile(
                    QJsonDocument(
                        QJsonObject{{"meters", QJsonArray{MeterJson(chosen.otherAddressEvery)}}})
                        .toJson(),
                    error) &&
                home.isValid();
        meter = server.FindMeter(1);
        line.SetResponder([this](QByteArrayView frame) { return Answer(frame); });
        LineConfig config;
        config.globalTry = 3;
        master.Configure(config);
        context.DeviceAddress = 1;
    }

    std::optional<QByteArray> Answer(QByteArrayView frame)
    {
        ++requests;
        if (faults.abortAtRequest == requests)
            abort = true;
        const quint8 function = quint8(frame.at(1));
        const quint16 count = quint16(quint8(frame.at(4)) << 8 | quint8(frame.at(5)));
        if (function == 16) {
            MeterRequest request;
            request.function = 16;
            request.firstRegister = quint16(quint8(frame.at(2)) << 8 | quint8(frame.at(3)));
            request.count = count;
            request.data = frame.sliced(7, qMin<qsizetype>(quint8(frame.at(6)), frame.size() - 7))
                               .toByteArray();
            if (meter->IsStartDateWrite(request) && faults.refusedStarts.contains(++startWrites)) {
                QByteArray refused("\x01\x90\x04", 3);
                const quint16 crc = Crc16(reinterpret_cast<const quint8*>(refused.constData()), 3);
                return refused.append(char(crc & 0xFF)).append(char(crc >> 8));
            }
        }
        const BusExchange exchange = bus.Answer(frame);
        // A next-record read names a whole block of registers.
        if (function != 16 && count > 1 && faults.lostNext.contains(++nextReads))
            return QByteArray();
        return exchange.reply;
    }

    // The driver's reading of the hourly archive or the event log, as the read-out
    // builds it.
    RecordSource Source(bool eventLog)
    {
        RecordSource source;
        source.startDate = CalendarDateTime(StartDay, QTime(0, 0));
        if (eventLog) {
            source.setStart = [this](const QDateTime& start) {
                return driver->SetReadStartDate(start, Period::None);
            };
            source.read = [this](bool first) {
                return first ? driver->ReadFirstEventRecord(logRecord)
                             : driver->ReadNextEventRecord(logRecord);
            };
            source.none = [this] {
                return logRecord.recordIndex == NoMoreRecords;
            };
            source.time = [this] {
                return logRecord.recordTime;
            };
            source.text = [this] {
                return logRecord.text;
            };
        } else {
            source.setStart = [this](const QDateTime& start) {
                return driver->SetReadStartDate(start, Period::Hourly);
            };
            source.read = [this](bool first) {
                return first ? driver->ReadFirstArchiveRecord(ArchiveKind::Hourly, archiveRecord)
                             : driver->ReadNextArchiveRecord(ArchiveKind::Hourly, archiveRecord);
            };
            source.none = [this] {
                return archiveRecord.recordIndex == NoMoreRecords;
            };
            source.time = [this] {
                return archiveRecord.recordTime;
            };
            source.hourly = true;
        }
        return source;
    }

    RecordLoopEnd Read(bool eventLog)
    {
        ArchiveLayout layout{};
        driver->ReadArchiveLayout(layout);
        requests = 0; // counted from the reading's own start date on
        RecordLoop loop(
            log, abort, [this](bool first) { return driver->ReadMovesDevice(first); }, 3);
        return loop.Run(Source(eventLog), [this, eventLog](int n) {
            written.append(eventLog
                               ? FormatDateTimeSeconds(logRecord.recordTime) + u' ' + logRecord.text
                               : FormatDateTimeMinutes(archiveRecord.recordTime));
            return n == written.size() ? 0 : -1;
        });
    }

    // What the meter holds from the start day on, in reading order.
    QStringList Expected(bool eventLog) const
    {
        const MeterExport all = meter->Expected(StartDay);
        QStringList expected;
        if (eventLog) {
            for (const ExpectedLogRecord& record : *all.eventLog)
                expected.append(FormatDateTimeSeconds(record.time) + u' ' + record.text);
        } else {
            for (const ExpectedRecord& record : all.archives.first().second)
                expected.append(FormatDateTimeMinutes(record.time));
        }
        return expected;
    }

    QTemporaryDir home;
    ExchangeLog log{home.path() + u'/'};
    SimServer server;
    Meter* meter = nullptr;
    MeterBus bus{server};
    MemoryLine line;
    ModbusMaster master{line, log};
    DriverContext context{master, log};
    std::unique_ptr<DeviceDriver> driver = MakeOrvek307Driver(context);
    std::atomic<bool> abort{false};
    ArchiveRecord archiveRecord;
    LogRecord logRecord;
    Faults faults;
    int requests = 0;
    int nextReads = 0;
    int startWrites = 0;
    QStringList written;
    bool ready = false;
};

} // namespace

Q_DECLARE_METATYPE(Faults)
Q_DECLARE_METATYPE(RecordLoopEnd::How)

class TestRecordLoop : public QObject
{
    Q_OBJECT

private slots:
    void faults_data();
    void faults();
};

void TestRecordLoop::faults_data()
{
    QTest::addColumn<bool>("eventLog");
    QTest::addColumn<Faults>("faults");
    QTest::addColumn<RecordLoopEnd::How>("how");
    QTest::addColumn<int>("written"); // -1: every record the meter holds

    using How = RecordLoopEnd::How;
    for (const bool eventLog : {false, true}) {
        const char* source = eventLog ? "event log" : "hourly archive";
        QTest::addRow("%s: no fault", source) << eventLog << Faults{} << How::Read << -1;
        // A lost reply at every position, the last one (the end mark) included: each
        // record still once, in order.
        for (const int lost : {1, 2, 3, 4, 5}) {
            Faults f;
            f.lostNext = {lost};
            QTest::addRow("%s: reply %d lost", source, lost) << eventLog << f << How::Read << -1;
        }
        Faults twice;
        twice.lostNext = {2, 4};
        QTest::addRow("%s: two replies lost apart", source) << eventLog << twice << How::Read << -1;
        // A reply from another address is no answer: dropped, the wait goes on, and the
        // request is asked again as after a lost reply; a repositioning is no exception.
        for (const int every : {3, 5}) {
            Faults f;
            f.otherAddressEvery = every;
            QTest::addRow("%s: one reply in %d from another address", source, every)
                << eventLog << f << How::Read << -1;
        }
        // The first start date refused: nothing is read.
        Faults noStart;
        noStart.refusedStarts = {1};
        QTest::addRow("%s: start date refused", source)
            << eventLog << noStart << How::StartFailed << 0;
        // The repositioning after a lost reply refused: the source ends with the records
        // written before.
        Faults noReposition;
        noReposition.lostNext = {2};
        noReposition.refusedStarts = {2};
        QTest::addRow("%s: repositioning refused", source)
            << eventLog << noReposition << How::NextFailed << 2;
        // The button pressed while a request is answered: the loop stops before the next
        // record it would write. Requests: the start date, the first record, then the
        // next ones.
        for (const int at : {2, 3, 5}) {
            Faults f;
            f.abortAtRequest = at;
            QTest::addRow("%s: abort during request %d", source, at)
                << eventLog << f << How::Aborted << at - 2;
        }
    }
}

void TestRecordLoop::faults()
{
    QFETCH(bool, eventLog);
    QFETCH(Faults, faults);
    QFETCH(RecordLoopEnd::How, how);
    QFETCH(int, written);

    Rig rig(faults);
    QVERIFY(rig.ready);
    const QStringList expected = rig.Expected(eventLog);
    QVERIFY(expected.size() >= 5);
    const RecordLoopEnd end = rig.Read(eventLog);
    QCOMPARE(end.how, how);
    QCOMPARE(end.written, rig.written.size());
    // Never a record twice, never one left out before the end.
    QCOMPARE(rig.written, written < 0 ? expected : expected.mid(0, written));
    if (how == RecordLoopEnd::How::NextFailed)
        QCOMPARE(end.code, ResultCode::Exception(4));
}

QTEST_GUILESS_MAIN(TestRecordLoop)
#include "tst_recordloop.moc"
