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

    QCOMPARE(channel.ChannelHandle(), Channel::ClosedHandle);
    channel.CloseChannel(); // closing a closed port logs nothing
    QCOMPARE(line.memo.Lines(), QStringList());

    QCOMPARE(channel.OpenChannel(), 0);
    QVERIFY(channel.ChannelHandle() >= 0 && channel.ChannelHandle() != Channel::TcpHandle);
    channel.BaudRate = 9600; // not applied while open, and not logged
    channel.ComPortName = QStringLiteral("/dev/ttyNOSUCH1");
    QCOMPARE(channel.OpenChannel(), 0);
    channel.CloseChannel();
    channel.CloseChannel();
    QCOMPARE(channel.ChannelHandle(), Channel::ClosedHandle);

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
    QCOMPARE(holder.OpenChannel(), 0);

    QCOMPARE(line.channel.OpenChannel(), Rc::PortNotOpen);
    QCOMPARE(line.channel.ChannelHandle(), Channel::ClosedHandle);
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
    QCOMPARE(line.channel.ChannelHandle(), Channel::ClosedHandle);
    QCOMPARE(line.memo.Texts(),
             QStringList{QStringLiteral("открытие порта ") + line.channel.ComPortName +
                         QStringLiteral(" --> ошибка настройки")});
    // The port was let go: a good speed opens it.
    line.channel.BaudRate = 19200;
    QCOMPARE(line.channel.OpenChannel(), 0);
}

void TestChannel::tcpOpenAndClose()
{
    LineFixture line(QStringLiteral("tcp"));
    Channel& channel = line.channel;
    QCOMPARE(channel.OpenChannel(), 0);
    QCOMPARE(channel.ChannelHandle(), Channel::TcpHandle);
    QCOMPARE(channel.SocketStatus(), Channel::SocketConnected);
    QCOMPARE(channel.OpenChannel(), 0);
    QCOMPARE(line.tcp->ConnectionCount(), 1);
    channel.CloseChannel();
    QCOMPARE(channel.ChannelHandle(), Channel::ClosedHandle);
    QCOMPARE(channel.SocketStatus(), Channel::SocketDisconnected);
    QCOMPARE(line.memo.Lines(), QStringList()); // the TCP channel logs nothing
}

void TestChannel::tcpAddresses_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("refusedPort");
    QTest::addColumn<int>("result");
    QTest::newRow("refused") << "127.0.0.1" << true << -88;
    QTest::newRow("a name, never looked up") << "localhost" << false << -28;
    QTest::newRow("not an address") << "127.0.0.x" << false << -28;
    QTest::newRow("IPv6") << "::1" << false << -28;
}

void TestChannel::tcpAddresses()
{
    QFETCH(QString, host);
    QFETCH(bool, refusedPort);
    QFETCH(int, result);

    LineFixture line(QStringLiteral("tcp"));
    line.channel.TcpHost = host;
    if (refusedPort) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        line.channel.TcpPort = closed.serverPort();
        closed.close();
    }
    QCOMPARE(line.channel.OpenChannel(), result);
    QCOMPARE(line.channel.ChannelHandle(), Channel::ClosedHandle);
    QCOMPARE(line.tcp->ConnectionCount(), 0);
}

void TestChannel::droppedGatewayReconnects()
{
    LineFixture line(QStringLiteral("tcp"));
    line.Peer().SetScript([](const QByteArray&) { return Reply(); });
    std::array<quint8, 8> buffer{};
    quint16 count = 1;
    QCOMPARE(line.master.ReadHoldingRegisters(5, 0, count, buffer), 0);

    line.tcp->Drop();
    QTRY_COMPARE(line.channel.SocketStatus(), Channel::SocketDisconnected);
    QCOMPARE(line.channel.ChannelHandle(), Channel::TcpHandle); // until the reconnect

    count = 1;
    QCOMPARE(line.master.ReadHoldingRegisters(5, 0, count, buffer), 0);
    QCOMPARE(line.tcp->ConnectionCount(), 2);
    QCOMPARE(line.Peer().RequestCount(), 2);
}

void TestChannel::closeAfterDropThenSerial()
{
    LineFixture line(QStringLiteral("tcp"));
    QCOMPARE(line.channel.OpenChannel(), 0);
    line.tcp->Drop();
    QTRY_COMPARE(line.channel.SocketStatus(), Channel::SocketDisconnected);
    line.channel.CloseChannel();
    QCOMPARE(line.channel.ChannelHandle(), Channel::ClosedHandle);

    PtyPeer serial;
    line.channel.TcpHost.clear();
    line.channel.ComPortName = serial.SlavePath();
    QCOMPARE(line.channel.OpenChannel(), 0);
    QVERIFY(line.channel.ChannelHandle() != Channel::TcpHandle);
    QCOMPARE(line.memo.Texts(), QStringList{QStringLiteral("открытие порта ") + serial.SlavePath() +
                                            QStringLiteral(" --> успешно")});
}

void TestChannel::purgeDropsStaleInput()
{
    for (const char* transport : {"pty", "tcp"}) {
        LineFixture line(QString::fromLatin1(transport));
        QCOMPARE(line.channel.OpenChannel(), 0);
        QTRY_VERIFY(!line.IsTcp() || line.tcp->ConnectionCount() == 1);
        line.Peer().Send(Hex("0102030405"));
        QTest::qWait(50);
        line.channel.PurgeInput();
        quint8 byte = 0;
        QCOMPARE(line.channel.ReadByte(byte), 0);
    }
}

QTEST_GUILESS_MAIN(TestChannel)
#include "tst_channel.moc"
