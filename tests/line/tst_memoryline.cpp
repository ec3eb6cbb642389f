// The line in memory that the reply fuzzer drives the master over: it has to give the
// master what a real line gives it, with the pauses at 0.
#include "Crc16.h"
#include "ExchangeLog.h"
#include "MemoryLine.h"
#include "ModbusMaster.h"

#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <cerrno>

namespace {

// Reading one register at 0 from device 1, the textbook frame and its CRC.
const QByteArray kRequest = QByteArray::fromHex("010300000001840A");
const QByteArray kReply = QByteArray::fromHex("0103021234B533");

// No pauses; the line's own clock makes every time-out free.
void Quick(ModbusMaster& master, int tries, bool echo = false)
{
    LineConfig line;
    line.sendPause = 0;
    line.retryPause = 0;
    line.replyPause = 0;
    line.globalTimeOut = 1200;
    line.localTimeOut = 50;
    line.globalTry = tries;
    line.echo = echo;
    master.Configure(line);
}

} // namespace

class TestMemoryLine : public QObject
{
    Q_OBJECT

private slots:
    void transaction_data();
    void transaction();
    void resultKinds_data();
    void resultKinds();
    void leftoverBytesArePurged();
    void responderAnswersEachRequest();
    void timeOnTheLineClock();
    void tokenServesOneAbort();
};

void TestMemoryLine::transaction_data()
{
    QTest::addColumn<QList<QByteArray>>("replies");
    QTest::addColumn<bool>("echoSkip");
    QTest::addColumn<ResultCode>("result");
    QTest::addColumn<int>("requests");

    const QByteArray damaged = QByteArray::fromHex("0103021234B534");
    QTest::newRow("good") << QList<QByteArray>{kReply} << false << Rc::Ok << 1;
    QTest::newRow("damaged, then good")
        << QList<QByteArray>{damaged, kReply} << false << Rc::Ok << 2;
    QTest::newRow("silent three times")
        << QList<QByteArray>{{}, {}, {}} << false << Rc::NoReply << 3;
    QTest::newRow("cut short, then nothing left")
        << QList<QByteArray>{kReply.first(4)} << false << Rc::PortWriteError << 2;
    QTest::newRow("exception 2") << QList<QByteArray>{QByteArray::fromHex("018302C0F1")} << false
                                 << ResultCode::Exception(2) << 1;
    QTest::newRow("echo and noise before the reply")
        << QList<QByteArray>{kRequest + '\xFF' + kReply} << true << Rc::Ok << 1;
}

void TestMemoryLine::transaction()
{
    QFETCH(QList<QByteArray>, replies);
    QFETCH(bool, echoSkip);
    QFETCH(ResultCode, result);
    QFETCH(int, requests);

    QTemporaryDir dir;
    ExchangeLog log(dir.path() + u'/');
    MemoryLine line;
    for (const QByteArray& reply : replies)
        line.QueueReply(reply);
    ModbusMaster master(line, log);
    Quick(master, 3, echoSkip);

    std::array<quint8, 250> data{};
    quint16 count = 1;
    QCOMPARE(master.ReadHoldingRegisters(1, 0, count, data), result);
    QCOMPARE(line.Sent().size(), requests);
    for (const QByteArray& sent : line.Sent())
        QCOMPARE(sent.toHex(), kRequest.toHex());
    if (result == Rc::Ok) {
        QCOMPARE(count, quint16(2));
        QCOMPARE(data[0], quint8(0x12));
        QCOMPARE(data[1], quint8(0x34));
    }
}

void TestMemoryLine::resultKinds_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<ResultCode>("gone");
    QTest::addColumn<ResultCode>("result");
    QTest::addColumn<QString>("text");

    // A broken pipe's number lies among the exception codes of a single number; as a
    // system error it is shown with the system's text.
    const ResultCode brokenPipe = ResultCode::System(EPIPE);
    QTest::newRow("system error 32 on the line")
        << QByteArray() << brokenPipe << brokenPipe
        << QStringLiteral("ошибка 32 (%1)").arg(SystemErrorText(EPIPE));
    QTest::newRow("exception 2 from the device")
        << QByteArray::fromHex("018302C0F1") << Rc::PortWriteError << ResultCode::Exception(2)
        << QStringLiteral("Ответ - ошибка 2");
    QTest::newRow("the program's own: no reply")
        << QByteArray("") << Rc::PortWriteError << Rc::NoReply << QStringLiteral("Нет ответа");
}

void TestMemoryLine::resultKinds()
{
    QFETCH(QByteArray, reply);
    QFETCH(ResultCode, gone);
    QFETCH(ResultCode, result);
    QFETCH(QString, text);

    QTemporaryDir dir;
    ExchangeLog log(dir.path() + u'/');
    MemoryLine line;
    if (!reply.isNull())
        line.QueueReply(reply);
    line.SetGoneResult(gone);
    ModbusMaster master(line, log);
    Quick(master, 1);

    std::array<quint8, 250> data{};
    quint16 count = 1;
    const ResultCode r = master.ReadHoldingRegisters(1, 0, count, data);
    QCOMPARE(r, result);
    QCOMPARE(ResultCodeText(r), text);
    QVERIFY(!SystemErrorText(EPIPE).isEmpty());
}

void TestMemoryLine::leftoverBytesArePurged()
{
    // Bytes after a whole reply are not read with it; the next request drops them, as a
    // real line's input is purged before every attempt.
    QTemporaryDir dir;
    ExchangeLog log(dir.path() + u'/');
    MemoryLine line;
    line.QueueReply(kReply + kReply.first(3));
    line.QueueReply(QByteArray::fromHex("010302567887C6"));
    ModbusMaster master(line, log);
    Quick(master, 1);

    std::array<quint8, 250> data{};
    quint16 count = 1;
    QCOMPARE(master.ReadHoldingRegisters(1, 0, count, data), Rc::Ok);
    QCOMPARE(data[0], quint8(0x12));
    QCOMPARE(master.ReadHoldingRegisters(1, 0, count, data), Rc::Ok);
    QCOMPARE(data[0], quint8(0x56));
    QCOMPARE(data[1], quint8(0x78));
}

void TestMemoryLine::responderAnswersEachRequest()
{
    QTemporaryDir dir;
    ExchangeLog log(dir.path() + u'/');
    MemoryLine line;
    line.QueueReply(kReply);
    int asked = 0;
    line.SetResponder([&asked](QByteArrayView request) -> std::optional<QByteArray> {
        if (++asked > 1)
            return std::nullopt;
        // A write is answered with the head of its own request.
        QByteArray reply = request.first(6).toByteArray();
        const quint16 crc = Crc16(reinterpret_cast<const quint8*>(reply.constData()), 6);
        return reply.append(char(crc & 0xFF)).append(char(crc >> 8));
    });
    ModbusMaster master(line, log);
    Quick(master, 1);

    std::array<quint8, 250> data{};
    quint16 count = 1;
    QCOMPARE(master.ReadHoldingRegisters(1, 0, count, data), Rc::Ok); // the queued reply
    const std::array<quint8, 2> value{0x00, 0x07};
    QCOMPARE(master.WriteMultipleRegisters(1, 96, 1, value), Rc::Ok);
    QCOMPARE(master.WriteMultipleRegisters(1, 96, 1, value), Rc::PortWriteError);
    QCOMPARE(line.Sent().size(), 3);
    QCOMPARE(line.Sent().at(1).toHex(), QByteArray("011000600001020007ee32"));
}

void TestMemoryLine::timeOnTheLineClock()
{
    // A silent device costs the line's time-outs on its own clock, not the test's: the
    // waits pass at once and are counted.
    QTemporaryDir dir;
    ExchangeLog log(dir.path() + u'/');
    MemoryLine line;
    line.SetResponder([](QByteArrayView) { return QByteArray(); });
    ModbusMaster master(line, log);
    LineConfig config;
    config.globalTimeOut = 60000;
    config.globalTry = 3;
    master.Configure(config);
    std::array<quint8, 250> data{};
    quint16 count = 1;
    QCOMPARE(master.ReadHoldingRegisters(1, 0, count, data), Rc::NoReply);
    // Three pauses of 100 ms before a request, three waits and three pauses of 200 ms.
    QCOMPARE(line.Now(), 3 * (100 + 60000 + 200));
    QCOMPARE(line.SentAt(), (QList<qint64>{100, 60400, 120700}));
}

void TestMemoryLine::tokenServesOneAbort()
{
    // A cancel ends every wait until the abort has been seen and the token spent; a
    // cancel that comes after that (a late second press) ends none.
    MemoryLine line;
    CancelToken cancel;
    line.SetCancelToken(&cancel);
    QCOMPARE(line.WaitForInput(10), LineWait::Timeout);
    cancel.Cancel();
    QCOMPARE(line.WaitForInput(20), LineWait::Cancelled);
    QVERIFY(!line.Pause(5));
    QVERIFY(!cancel.Sleep(60000));
    cancel.Spend();
    QCOMPARE(line.WaitForInput(30), LineWait::Timeout);
    cancel.Cancel();
    QVERIFY(!cancel.IsCancelled());
    QVERIFY(line.Pause(5));
    QCOMPARE(line.WaitForInput(40), LineWait::Timeout);
}

QTEST_GUILESS_MAIN(TestMemoryLine)
#include "tst_memoryline.moc"
