#include "LineFixture.h"
#include "TestFiles.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QByteArray Reply()
{
    return WithCrc(Hex("050302ABCD"));
}

} // namespace

class TestChannel : public QObject
{
    Q_OBJECT

private slots:
    void serialOpenAndClose();
    void serialPortHeldElsewhere();
    void serialSpeedRefused();
    void tcpOpenAndClose();
    void tcpAddresses_data();
    void tcpAddresses();
    void droppedGatewayReconnects();
    void dropDuringRequestReconnects();
    void connectBoundedAndAbortable_data();
    void connectBoundedAndAbortable();
    void closeAfterDropThenSerial();
    void purgeDropsStaleInput();
};

void TestChannel::serialOpenAndClose()
{
    LineFixture line(QStringLiteral("pty"));
    Channel& channel = line.channel;
    const QString name = channel.ComPortName();

    QCOMPARE(channel.Kind(), ChannelKind::Closed);
    channel.CloseChannel(); // closing a closed port logs nothing
    QCOMPARE(line.memo.Lines(), QStringList());

    QCOMPARE(channel.OpenChannel(), Rc::Ok);
    QVERIFY(channel.Kind() == ChannelKind::Serial);
    line.config.baudRate = 9600; // not applied while open, and not logged
    line.config.comPort = QStringLiteral("/dev/ttyNOSUCH1");
    line.Apply();
    QCOMPARE(channel.OpenChannel(), Rc::Ok);
    channel.CloseChannel();
    channel.CloseChannel();
    QCOMPARE(channel.Kind(), ChannelKind::Closed);

    QCOMPARE(line.memo.Texts(),
             (QStringList{QStringLiteral("открытие порта ") + name + QStringLiteral(" --> успешно"),
                          QStringLiteral("закрытие порта")}));
    QVERIFY(line.memo.Lines().first().startsWith(QStringLiteral("---")));
}

void TestChannel::serialPortHeldElsewhere()
{
    LineFixture line(QStringLiteral("pty"));
    ExchangeLog otherLog(line.home.path() + QStringLiteral("/other/"));
    Channel holder(otherLog);
    holder.Configure(line.config);
    QCOMPARE(holder.OpenChannel(), Rc::Ok);

    QCOMPARE(line.channel.OpenChannel(), Rc::PortNotOpen);
    QCOMPARE(line.channel.Kind(), ChannelKind::Closed);
    QCOMPARE(line.memo.Texts(),
             QStringList{QStringLiteral("открытие порта ") + line.channel.ComPortName() +
                         QStringLiteral(" --> ошибка открытия")});
    QCOMPARE(ResultCodeText(Rc::PortNotOpen), QStringLiteral("Порт не открыт"));
}

void TestChannel::serialSpeedRefused()
{
    LineFixture line(QStringLiteral("pty"));
    line.config.baudRate = -1;
    line.Apply();
    QCOMPARE(line.channel.OpenChannel(), Rc::PortNotOpen);
    QCOMPARE(line.channel.Kind(), ChannelKind::Closed);
    QCOMPARE(line.memo.Texts(),
             QStringList{QStringLiteral("открытие порта ") + line.channel.ComPortName() +
                         QStringLiteral(" --> ошибка настройки")});
    // The port was let go: a good speed opens it.
    line.config.baudRate = 19200;
    line.Apply();
    QCOMPARE(line.channel.OpenChannel(), Rc::Ok);
}

void TestChannel::tcpOpenAndClose()
{
    LineFixture line(QStringLiteral("tcp"));
    Channel& channel = line.channel;
    QCOMPARE(channel.OpenChannel(), Rc::Ok);
    QCOMPARE(channel.Kind(), ChannelKind::Tcp);
    QVERIFY(channel.TcpConnected());
    QCOMPARE(channel.OpenChannel(), Rc::Ok);
    QTRY_COMPARE(line.tcp->ConnectionCount(), 1);
    channel.CloseChannel();
    QCOMPARE(channel.Kind(), ChannelKind::Closed);
    QVERIFY(!channel.TcpConnected());
    QCOMPARE(line.memo.Lines(), QStringList()); // the TCP channel logs nothing
}

void TestChannel::tcpAddresses_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("refusedPort");
    QTest::addColumn<ResultCode>("result");
    QTest::newRow("refused") << "127.0.0.1" << true << Rc::IpConnectionError;
    QTest::newRow("a name, never looked up") << "localhost" << false << Rc::SocketStartFailed;
    QTest::newRow("not an address") << "127.0.0.x" << false << Rc::SocketStartFailed;
    QTest::newRow("IPv6") << "::1" << false << Rc::SocketStartFailed;
}

void TestChannel::tcpAddresses()
{
    QFETCH(QString, host);
    QFETCH(bool, refusedPort);
    QFETCH(ResultCode, result);

    LineFixture line(QStringLiteral("tcp"));
    line.config.tcpHost = host;
    if (refusedPort) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        line.config.tcpPort = closed.serverPort();
        closed.close();
    }
    line.Apply();
    QCOMPARE(line.channel.OpenChannel(), result);
    QCOMPARE(line.channel.Kind(), ChannelKind::Closed);
    QCOMPARE(line.tcp->ConnectionCount(), 0);
}

void TestChannel::droppedGatewayReconnects()
{
    LineFixture line(QStringLiteral("tcp"));
    line.Peer().SetScript([](const QByteArray&) { return Reply(); });
    std::array<quint8, 8> buffer{};
    quint16 count = 1;
    const auto read = [&] {
        count = 1;
        return OffThread([&] { return line.master.ReadHoldingRegisters(5, 0, count, buffer); });
    };
    QCOMPARE(read(), Rc::Ok);

    line.tcp->Drop();
    QCOMPARE(line.channel.Kind(), ChannelKind::Tcp); // until the reconnect

    QCOMPARE(read(), Rc::Ok);
    QCOMPARE(line.tcp->ConnectionCount(), 2);
    QCOMPARE(line.Peer().RequestCount(), 2);
}

void TestChannel::dropDuringRequestReconnects()
{
    // The gateway drops the connection on the first request: the request's next attempt
    // goes out on a new connection, not the next request's.
    LineFixture line(QStringLiteral("tcp"));
    int requests = 0;
    line.Peer().SetScript([&](const QByteArray&) {
        if (++requests == 1) {
            QTimer::singleShot(0, line.tcp, [&line] { line.tcp->Drop(); });
            return QByteArray();
        }
        return Reply();
    });
    std::array<quint8, 8> buffer{};
    quint16 count = 1;
    QCOMPARE(OffThread([&] { return line.master.ReadHoldingRegisters(5, 0, count, buffer); }),
             Rc::Ok);
    QCOMPARE(line.Peer().RequestCount(), 2);
    QCOMPARE(line.tcp->ConnectionCount(), 2);
}

void TestChannel::connectBoundedAndAbortable_data()
{
    QTest::addColumn<bool>("abort");
    QTest::newRow("time-out") << false;
    QTest::newRow("abort") << true;
}

void TestChannel::connectBoundedAndAbortable()
{
    QFETCH(bool, abort);

    // A listener whose queue is full never completes a further connection: the system
    // drops the handshake, as a gateway that lost its network does.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(listener >= 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    QCOMPARE(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    QCOMPARE(::listen(listener, 0), 0);
    QCOMPARE(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::vector<std::unique_ptr<QTcpSocket>> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(std::make_unique<QTcpSocket>());
        fillers.back()->connectToHost(QHostAddress::LocalHost, ntohs(address.sin_port));
    }
    QTest::qWait(0);

    LineFixture line(QStringLiteral("tcp"));
    line.config.tcpPort = ntohs(address.sin_port);
    // Without the abort the connect ends at the line's limit, as long as all attempts
    // of a request would take; with it at once.
    line.config.globalTimeOut = abort ? 60000 : 300;
    line.config.globalTry = 2;
    line.Apply();
    CancelToken cancel;
    line.channel.SetCancelToken(&cancel);
    if (abort)
        QTimer::singleShot(200, [&cancel] { cancel.Cancel(); });
    QElapsedTimer clock;
    clock.start();
    const ResultCode r = OffThread([&] { return line.channel.OpenChannel(); });
    QCOMPARE(r, abort ? Rc::Aborted : Rc::IpConnectionError);
    QVERIFY(clock.elapsed() < line.config.ConnectTimeoutMs() + 30000);
    QCOMPARE(line.channel.Kind(), ChannelKind::Closed);
    ::close(listener);
}

void TestChannel::closeAfterDropThenSerial()
{
    LineFixture line(QStringLiteral("tcp"));
    QCOMPARE(line.channel.OpenChannel(), Rc::Ok);
    QTRY_COMPARE(line.tcp->ConnectionCount(), 1);
    line.tcp->Drop();
    line.channel.CloseChannel();
    QCOMPARE(line.channel.Kind(), ChannelKind::Closed);

    PtyPeer serial;
    line.config.tcp = false;
    line.config.comPort = serial.SlavePath();
    line.Apply();
    QCOMPARE(line.channel.OpenChannel(), Rc::Ok);
    QVERIFY(line.channel.Kind() != ChannelKind::Tcp);
    QCOMPARE(line.memo.Texts(), QStringList{QStringLiteral("открытие порта ") + serial.SlavePath() +
                                            QStringLiteral(" --> успешно")});
}

void TestChannel::purgeDropsStaleInput()
{
    for (const char* transport : {"pty", "tcp"}) {
        LineFixture line(QString::fromLatin1(transport));
        QCOMPARE(line.channel.OpenChannel(), Rc::Ok);
        QTRY_VERIFY(!line.IsTcp() || line.tcp->ConnectionCount() == 1);
        line.Peer().Send(Hex("0102030405"));
        // What the system holds is dropped too, not only what was taken in already.
        QCOMPARE(line.channel.WaitForInput(MonotonicMs() + 5000), LineWait::Input);
        line.channel.PurgeInput();
        quint8 byte = 0;
        QCOMPARE(line.channel.ReadByte(byte), LineRead::Nothing);
    }
}

QTEST_GUILESS_MAIN(TestChannel)
#include "tst_channel.moc"
