#include "LineFixture.h"

#include <QTcpServer>
#include <QTest>

namespace {

QByteArray Hex(const char* text)
{
    return QByteArray::fromHex(text);
}

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
    void closeAfterDropThenSerial();
    void purgeDropsStaleInput();
};

void TestChannel::serialOpenAndClose()
{
    LineFixture line(QStringLiteral("pty"));
    Channel& channel = line.channel;
    const QString name = channel.ComPortName;

    QCOMPARE(channel.Kind(), ChannelKind::Closed);
    channel.CloseChannel(); // closing a closed port logs nothing
    QCOMPARE(line.memo.Lines(), QStringList());

    QCOMPARE(channel.OpenChannel(), Rc::Ok);
    QVERIFY(channel.Kind() == ChannelKind::Serial);
    channel.BaudRate = 9600; // not applied while open, and not logged
    channel.ComPortName = QStringLiteral("/dev/ttyNOSUCH1");
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
    holder.ComPortName = line.channel.ComPortName;
    QCOMPARE(holder.OpenChannel(), Rc::Ok);

    QCOMPARE(line.channel.OpenChannel(), Rc::PortNotOpen);
    QCOMPARE(line.channel.Kind(), ChannelKind::Closed);
    QCOMPARE(line.memo.Texts(),
             QStringList{QStringLiteral("открытие порта ") + line.channel.ComPortName +
                         QStringLiteral(" --> ошибка открытия")});
    QCOMPARE(ResultCodeText(Rc::PortNotOpen), QStringLiteral("Порт не открыт"));
}

void TestChannel::serialSpeedRefused()
{
    LineFixture line(QStringLiteral("pty"));
    line.channel.BaudRate = -1;
    QCOMPARE(line.channel.OpenChannel(), Rc::PortNotOpen);
    QCOMPARE(line.channel.Kind(), ChannelKind::Closed);
    QCOMPARE(line.memo.Texts(),
             QStringList{QStringLiteral("открытие порта ") + line.channel.ComPortName +
                         QStringLiteral(" --> ошибка настройки")});
    // The port was let go: a good speed opens it.
    line.channel.BaudRate = 19200;
    QCOMPARE(line.channel.OpenChannel(), Rc::Ok);
}

void TestChannel::tcpOpenAndClose()
{
    LineFixture line(QStringLiteral("tcp"));
    Channel& channel = line.channel;
    QCOMPARE(channel.OpenChannel(), Rc::Ok);
    QCOMPARE(channel.Kind(), ChannelKind::Tcp);
    QCOMPARE(channel.SocketStatus(), SocketState::Connected);
    QCOMPARE(channel.OpenChannel(), Rc::Ok);
    QCOMPARE(line.tcp->ConnectionCount(), 1);
    channel.CloseChannel();
    QCOMPARE(channel.Kind(), ChannelKind::Closed);
    QCOMPARE(channel.SocketStatus(), SocketState::Disconnected);
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
    line.channel.TcpHost = host;
    if (refusedPort) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        line.channel.TcpPort = closed.serverPort();
        closed.close();
    }
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
    QCOMPARE(line.master.ReadHoldingRegisters(5, 0, count, buffer), Rc::Ok);

    line.tcp->Drop();
    QTRY_COMPARE(line.channel.SocketStatus(), SocketState::Disconnected);
    QCOMPARE(line.channel.Kind(), ChannelKind::Tcp); // until the reconnect

    count = 1;
    QCOMPARE(line.master.ReadHoldingRegisters(5, 0, count, buffer), Rc::Ok);
    QCOMPARE(line.tcp->ConnectionCount(), 2);
    QCOMPARE(line.Peer().RequestCount(), 2);
}

void TestChannel::closeAfterDropThenSerial()
{
    LineFixture line(QStringLiteral("tcp"));
    QCOMPARE(line.channel.OpenChannel(), Rc::Ok);
    line.tcp->Drop();
    QTRY_COMPARE(line.channel.SocketStatus(), SocketState::Disconnected);
    line.channel.CloseChannel();
    QCOMPARE(line.channel.Kind(), ChannelKind::Closed);

    PtyPeer serial;
    line.channel.TcpHost.clear();
    line.channel.ComPortName = serial.SlavePath();
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
        QTest::qWait(50);
        line.channel.PurgeInput();
        quint8 byte = 0;
        QCOMPARE(line.channel.ReadByte(byte), LineRead::Nothing);
    }
}

QTEST_GUILESS_MAIN(TestChannel)
#include "tst_channel.moc"
