#include "Crc16.h"
#include "LineFixture.h"
#include "TestFiles.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

namespace {

enum Scenario {
    GoodReply,
    Silence,
    Fragment,
    BadCrc,
    OtherAddress,
    OtherFunction,
    ExceptionReply,
    OtherAddressException,
    ForeignThenGood,
    NoiseBeforeReply,
    NoiseThenLateReply,
    ShortReply,
    ForeignFunction,
};

const QByteArray kData = QByteArray::fromHex("AABBCCDD");

QByteArray ReadReply(quint8 address, quint8 function, const QByteArray& data)
{
    QByteArray frame;
    frame.append(static_cast<char>(address));
    frame.append(static_cast<char>(function));
    frame.append(static_cast<char>(data.size()));
    return WithCrc(frame + data);
}

// A read of two registers from address 5 at 0x0102, on the engine's own thread.
ResultCode ReadTwo(LineFixture& line, quint16& count, std::span<quint8> buffer,
                   ModbusMaster::Attempts attempts = ModbusMaster::Attempts::Repeat)
{
    return OffThread(
        [&] { return line.master.ReadHoldingRegisters(5, 0x0102, count, buffer, attempts); });
}

} // namespace

class TestModbusMaster : public QObject
{
    Q_OBJECT

private slots:
    void crc();
    void readRegisters_data();
    void readRegisters();
    void requestFrames();
    void writeRegisters_data();
    void writeRegisters();
    void echoSkip_data();
    void echoSkip();
    void hexDumps();
    void serialReadFailure();
    void serialWriteFailure();
    void channelNotOpened_data();
    void channelNotOpened();
    void fewerThanOneTry();
    void readsSentOnce_data();
    void readsSentOnce();
    void oversizedReplies();
    void abortEndsTheWait_data();
    void abortEndsTheWait();
};

void TestModbusMaster::crc()
{
    const QByteArray check("123456789");
    const auto* bytes = reinterpret_cast<const quint8*>(check.constData());
    QCOMPARE(Crc16(bytes, 9), quint16(0x4B37));    // CRC-16/MODBUS
    QCOMPARE(Crc16(bytes, 9, 0), quint16(0xBB3D)); // CRC-16/ARC
    QCOMPARE(WithCrc(Hex("010300000001")), Hex("01030000000184 0A"));
}

void TestModbusMaster::readRegisters_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<int>("scenario");
    QTest::addColumn<int>("detail");
    QTest::addColumn<ResultCode>("result");
    QTest::addColumn<int>("attempts");

    for (const char* t : {"pty", "tcp"}) {
        auto row = [t](const char* name) -> QTestData& {
            return QTest::addRow("%s: %s", t, name) << QString::fromLatin1(t);
        };
        row("good reply") << int(GoodReply) << 0 << Rc::Ok << 1;
        row("silence") << int(Silence) << 0 << Rc::NoReply << 3;
        row("fragment") << int(Fragment) << 0 << Rc::NoReply << 3;
        row("bad crc") << int(BadCrc) << 0 << Rc::CrcError << 3;
        // A whole reply that answers another request is dropped and the wait goes on;
        // with nothing else to come the request fails and is asked again.
        row("other address") << int(OtherAddress) << 0 << Rc::UnknownReply << 3;
        row("other function") << int(OtherFunction) << 0 << Rc::UnknownReply << 3;
        row("exception from another address")
            << int(OtherAddressException) << 2 << Rc::UnknownReply << 3;
        row("a late answer, then the reply") << int(ForeignThenGood) << 0 << Rc::Ok << 1;
        row("exception 1") << int(ExceptionReply) << 1 << ResultCode::Exception(1) << 1;
        row("exception 2") << int(ExceptionReply) << 2 << ResultCode::Exception(2) << 1;
        row("exception 9") << int(ExceptionReply) << 9 << ResultCode::Exception(9) << 1;
        row("exception 0 retried") << int(ExceptionReply) << 0 << ResultCode::Exception(0) << 3;
        row("exception 11 retried") << int(ExceptionReply) << 11 << ResultCode::Exception(11) << 3;
        row("0xFF noise before reply") << int(NoiseBeforeReply) << 0 << Rc::Ok << 1;
        row("reply too late after noise") << int(NoiseThenLateReply) << 0 << Rc::NoReply << 3;
        row("fewer registers than asked") << int(ShortReply) << 0 << Rc::Ok << 1;
        row("foreign function collected to silence")
            << int(ForeignFunction) << 0 << Rc::UnknownReply << 3;
    }
}

void TestModbusMaster::readRegisters()
{
    QFETCH(QString, transport);
    QFETCH(int, scenario);
    QFETCH(int, detail);
    QFETCH(ResultCode, result);
    QFETCH(int, attempts);

    LineFixture line(transport);
    LinePeer& peer = line.Peer();
    peer.SetScript([&](const QByteArray&) -> QByteArray {
        const QByteArray good = ReadReply(5, 3, kData);
        switch (scenario) {
        case GoodReply:
            return good;
        case Fragment:
            return good.left(4);
        case BadCrc:
            return good.left(good.size() - 1) + char(good.back() ^ 0x01);
        case OtherAddress:
            return ReadReply(6, 3, kData);
        case OtherFunction:
            return ReadReply(5, 4, kData);
        case ExceptionReply:
            return WithCrc(QByteArray("\x05\x83", 2) + char(detail));
        case OtherAddressException:
            return WithCrc(QByteArray("\x06\x83", 2) + char(detail));
        case ForeignThenGood:
            // A neighbour's answer, or one to an earlier request, comes first.
            peer.SendLater(good, 20);
            return ReadReply(6, 3, kData);
        case NoiseBeforeReply:
            return Hex("FFFFFF") + good;
        case NoiseThenLateReply:
            // Late for this attempt, and purged before the next one.
            peer.SendLater(good, 3 * line.config.localTimeOut);
            return Hex("FF");
        case ShortReply:
            return ReadReply(5, 3, kData.left(2));
        case ForeignFunction:
            return WithCrc(Hex("052B0E0102030405"));
        default:
            return {};
        }
    });

    std::array<quint8, 16> buffer{};
    buffer.fill(0xEE);
    quint16 count = 2;
    const ResultCode r = ReadTwo(line, count, buffer);
    QCOMPARE(r, result);
    QCOMPARE(peer.RequestCount(), attempts);
    for (const QByteArray& request : peer.Requests())
        QCOMPARE(request, WithCrc(Hex("050301020002")));

    if (result == Rc::Ok) {
        const QByteArray expected = scenario == ShortReply ? kData.left(2) : kData;
        QCOMPARE(int(count), int(expected.size()));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer.data()), count), expected);
        QCOMPARE(buffer[count], quint8(0xEE));
    } else {
        QCOMPARE(int(count), 2); // left alone on failure
        QCOMPARE(buffer[0], quint8(0xEE));
    }
}

void TestModbusMaster::requestFrames()
{
    LineFixture line(QStringLiteral("pty"));
    line.Peer().SetScript([](const QByteArray& request) {
        return ReadReply(quint8(request.at(0)), quint8(request.at(1)), kData);
    });
    std::array<quint8, 256> buffer{};

    // Above 255 only the low 8 bits go out, and the reply can never match.
    quint16 count = 2;
    QCOMPARE(
        OffThread([&] { return line.master.ReadInputRegisters(0x0101, 0xABCD, count, buffer); }),
        Rc::UnknownReply);
    QCOMPARE(line.Peer().Requests().last(), WithCrc(Hex("0104ABCD0002")));
    QCOMPARE(line.Peer().RequestCount(), 1);

    // A count a reply cannot carry is refused before anything is sent; 125 goes out whole.
    for (const quint16 asked : {quint16(126), quint16(0x0102)}) {
        count = asked;
        QCOMPARE(line.master.ReadHoldingRegisters(7, 0, count, buffer), Rc::InvalidParameter);
        QCOMPARE(line.master.ReadInputRegisters(7, 0, count, buffer), Rc::InvalidParameter);
        QCOMPARE(count, asked);
    }
    QCOMPARE(line.Peer().RequestCount(), 1);
    count = 125;
    QCOMPARE(OffThread([&] { return line.master.ReadHoldingRegisters(7, 0, count, buffer); }),
             Rc::Ok);
    QCOMPARE(line.Peer().Requests().last(), WithCrc(Hex("07030000007D")));
    QCOMPARE(int(count), 4);
}

void TestModbusMaster::writeRegisters_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<ResultCode>("result");

    const QByteArray echo = WithCrc(Hex("1110002A0002"));
    for (const char* t : {"pty", "tcp"}) {
        QTest::addRow("%s: echo", t) << QString::fromLatin1(t) << echo << Rc::Ok;
        // An echo of another write answers another request: asked again, as for a lost
        // reply.
        QTest::addRow("%s: other count", t)
            << QString::fromLatin1(t) << WithCrc(Hex("1110002A0003")) << Rc::UnknownReply;
        QTest::addRow("%s: other register", t)
            << QString::fromLatin1(t) << WithCrc(Hex("1110002B0002")) << Rc::UnknownReply;
    }
}

void TestModbusMaster::writeRegisters()
{
    QFETCH(QString, transport);
    QFETCH(QByteArray, answer);
    QFETCH(ResultCode, result);

    LineFixture line(transport);
    line.Peer().SetScript([&](const QByteArray&) { return answer; });
    const std::array<quint8, 4> data{0x12, 0x34, 0xAB, 0xCD};
    QCOMPARE(OffThread([&] { return line.master.WriteMultipleRegisters(0x11, 0x002A, 2, data); }),
             result);
    QCOMPARE(line.Peer().RequestCount(), result == Rc::Ok ? 1 : line.config.globalTry);
    for (const QByteArray& request : line.Peer().Requests())
        QCOMPARE(request, WithCrc(Hex("1110002A0002041234ABCD")));
}

void TestModbusMaster::echoSkip_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<bool>("lineEchoes");
    for (const char* t : {"pty", "tcp"}) {
        QTest::addRow("%s: echoing line", t) << QString::fromLatin1(t) << true;
        QTest::addRow("%s: line without echo", t) << QString::fromLatin1(t) << false;
    }
}

void TestModbusMaster::echoSkip()
{
    QFETCH(QString, transport);
    QFETCH(bool, lineEchoes);

    LineFixture line(transport);
    line.config.echo = true;
    line.Apply();
    line.Peer().SetEcho(lineEchoes);
    line.Peer().SetScript([](const QByteArray&) { return ReadReply(5, 3, kData); });
    std::array<quint8, 16> buffer{};
    quint16 count = 2;
    const ResultCode r = ReadTwo(line, count, buffer);
    if (lineEchoes) {
        QCOMPARE(r, Rc::Ok);
        QCOMPARE(line.Peer().RequestCount(), 1);
    } else {
        // The reply's first eight bytes are taken for the echo.
        QVERIFY2(r == Rc::NoReply || r == Rc::CrcError, qPrintable(ResultCodeText(r)));
        QCOMPARE(line.Peer().RequestCount(), 3);
    }
}

void TestModbusMaster::hexDumps()
{
    LineFixture line(QStringLiteral("pty"));
    line.config.showLog = 1;
    line.config.globalTry = 2;
    line.Apply();
    std::array<quint8, 16> buffer{};
    quint16 count = 2;
    QCOMPARE(ReadTwo(line, count, buffer), Rc::NoReply);

    line.Peer().SetScript([](const QByteArray&) { return Hex("FF") + ReadReply(5, 3, kData); });
    QCOMPARE(ReadTwo(line, count, buffer), Rc::Ok);

    const QString request =
        QStringLiteral(">>  05 03 01 02 00 02 ") +
        QString::fromLatin1(WithCrc(Hex("050301020002")).right(2).toHex(' ').toUpper());
    QCOMPARE(line.memo.Texts(),
             (QStringList{
                 QStringLiteral("открытие порта ") + line.channel.ComPortName() +
                     QStringLiteral(" --> успешно"),
                 request,
                 QStringLiteral("<< нет ответа"),
                 request,
                 QStringLiteral("<< нет ответа"),
                 request,
                 QStringLiteral("<<  05 03 04 AA BB CC DD ") +
                     QString::fromLatin1(ReadReply(5, 3, kData).right(2).toHex(' ').toUpper()),
             }));
    for (const QString& entry : line.memo.Lines().mid(1))
        QVERIFY2(entry.startsWith(QStringLiteral("---")), qPrintable(entry)); // stamped
}

void TestModbusMaster::serialReadFailure()
{
    LineFixture line(QStringLiteral("pty"));
    QCOMPARE(line.channel.OpenChannel(), Rc::Ok);
    line.pty->CloseMaster();
    // At once, not after the reply's time-out, and again for every later reception.
    line.config.globalTimeOut = 60000;
    line.Apply();
    QCOMPARE(line.master.ReceiveReply(), Rc::PortReadError);
    QCOMPARE(line.master.ReceiveReply(), Rc::PortReadError);
}

void TestModbusMaster::serialWriteFailure()
{
    LineFixture line(QStringLiteral("pty"));
    line.config.showLog = 1;
    line.Apply();
    QCOMPARE(line.channel.OpenChannel(), Rc::Ok);
    line.pty->CloseMaster();
    std::array<quint8, 16> buffer{};
    quint16 count = 2;
    const ResultCode r = ReadTwo(line, count, buffer);
    QCOMPARE(r, ResultCode::System(EIO)); // the system's own code, passed on
    QCOMPARE(ResultCodeText(r), QStringLiteral("ошибка 5 (") + SystemErrorText(5) + u')');
    // One attempt only: one request dump, and no reception.
    QCOMPARE(line.memo.Texts().filter(QStringLiteral(">> ")).size(), 1);
    QCOMPARE(line.memo.Texts().filter(QStringLiteral("<< ")).size(), 0);
}

void TestModbusMaster::channelNotOpened_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<ResultCode>("result");
    QTest::newRow("serial port missing") << QStringLiteral("pty") << Rc::PortNotOpen;
    QTest::newRow("gateway refuses") << QStringLiteral("tcp") << Rc::IpConnectionError;
}

void TestModbusMaster::channelNotOpened()
{
    QFETCH(QString, transport);
    QFETCH(ResultCode, result);

    LineFixture line(transport);
    if (line.IsTcp()) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        line.config.tcpPort = closed.serverPort();
        closed.close();
    } else {
        line.config.comPort = QStringLiteral("/dev/ttyNOSUCH7");
    }
    line.Apply();
    std::array<quint8, 16> buffer{};
    quint16 count = 2;
    QCOMPARE(ReadTwo(line, count, buffer), result);
    QCOMPARE(line.Peer().RequestCount(), 0);
}

void TestModbusMaster::fewerThanOneTry()
{
    // A transaction never reports success without a reply of its own.
    LineFixture line(QStringLiteral("tcp"));
    line.Peer().SetScript([](const QByteArray&) { return ReadReply(5, 3, kData); });
    std::array<quint8, 16> buffer{};
    quint16 count = 2;
    QCOMPARE(ReadTwo(line, count, buffer), Rc::Ok);
    line.Peer().SetScript({});
    line.config.globalTry = 0;
    line.Apply();
    QCOMPARE(ReadTwo(line, count, buffer), Rc::NoReply);
    QCOMPARE(line.Peer().RequestCount(), 2);
}

void TestModbusMaster::readsSentOnce_data()
{
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("scenario");
    QTest::addColumn<ResultCode>("result");

    for (const int function : {3, 4}) {
        QTest::addRow("function %d: good reply", function) << function << int(GoodReply) << Rc::Ok;
        QTest::addRow("function %d: silence", function) << function << int(Silence) << Rc::NoReply;
        QTest::addRow("function %d: bad crc", function) << function << int(BadCrc) << Rc::CrcError;
    }
}

// A read that moves the device on is never repeated, whatever GlobalTry says: a repeat
// after a lost reply would be answered with the following record.
void TestModbusMaster::readsSentOnce()
{
    QFETCH(int, function);
    QFETCH(int, scenario);
    QFETCH(ResultCode, result);

    LineFixture line(QStringLiteral("tcp"));
    line.config.globalTry = 5;
    line.Apply();
    line.Peer().SetScript([&](const QByteArray&) -> QByteArray {
        const QByteArray good = ReadReply(5, quint8(function), kData);
        if (scenario == GoodReply)
            return good;
        if (scenario == BadCrc)
            return good.left(good.size() - 1) + char(good.back() ^ 0x01);
        return {};
    });
    std::array<quint8, 16> buffer{};
    quint16 count = 2;
    const auto once = ModbusMaster::Attempts::Once;
    const ResultCode r = OffThread([&] {
        return function == 3 ? line.master.ReadHoldingRegisters(5, 0x0102, count, buffer, once)
                             : line.master.ReadInputRegisters(5, 0x0102, count, buffer, once);
    });
    QCOMPARE(r, result);
    QCOMPARE(line.Peer().RequestCount(), 1);
}

void TestModbusMaster::oversizedReplies()
{
    LineFixture line(QStringLiteral("pty"));
    // A device announcing more data than the caller's buffer holds is refused, and the
    // buffer is left alone.
    line.Peer().SetScript([](const QByteArray&) { return ReadReply(5, 3, QByteArray(200, 'x')); });
    std::array<quint8, 8> small{};
    quint16 count = 2;
    QCOMPARE(OffThread([&] { return line.master.ReadHoldingRegisters(5, 0, count, small); }),
             Rc::UnknownReply);
    QCOMPARE(small[0], quint8(0));
    QCOMPARE(int(count), 2);

    // Writes beyond what the byte-count field can announce never reach the line.
    const std::vector<quint8> data(2 * 128, 0);
    QCOMPARE(line.master.WriteMultipleRegisters(5, 0, 128, data), Rc::InvalidParameter);
    QCOMPARE(line.master.WriteMultipleRegisters(5, 0, 3, std::span(data).first(4)),
             Rc::InvalidParameter);
    QCOMPARE(line.Peer().RequestCount(), 1);
}

void TestModbusMaster::abortEndsTheWait_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<int>("sendPause");
    // The abort comes while the reply is awaited, or while the line is kept quiet.
    QTest::newRow("pty: reply") << QStringLiteral("pty") << 0;
    QTest::newRow("tcp: reply") << QStringLiteral("tcp") << 0;
    QTest::newRow("tcp: pause before the request") << QStringLiteral("tcp") << 60000;
}

void TestModbusMaster::abortEndsTheWait()
{
    QFETCH(QString, transport);
    QFETCH(int, sendPause);

    // A silent device and waits far longer than the test may take.
    constexpr int Limit = 60000;
    LineFixture line(transport);
    line.config.globalTimeOut = Limit;
    line.config.globalTry = 5;
    line.config.sendPause = sendPause;
    line.Apply();
    CancelToken cancel;
    line.channel.SetCancelToken(&cancel);
    QTimer::singleShot(100, [&cancel] { cancel.Cancel(); });
    QElapsedTimer clock;
    clock.start();
    std::array<quint8, 16> buffer{};
    quint16 count = 2;
    QCOMPARE(ReadTwo(line, count, buffer), Rc::Aborted);
    QVERIFY(clock.elapsed() < Limit);
    // Not asked again after the abort.
    QCOMPARE(line.Peer().RequestCount(), sendPause > 0 ? 0 : 1);
}

QTEST_GUILESS_MAIN(TestModbusMaster)
#include "tst_modbusmaster.moc"
