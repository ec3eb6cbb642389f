#include "LineFixture.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <array>
#include <memory>

namespace {

// What modbus_rtu_slave serves: RegisterCount holding and input registers, holding
// register i = 0x1000 + i and input register i = 0x2000 + i at start.
constexpr int SlaveId = 17;
constexpr int RegisterCount = 200;
// libmodbus refuses reads of more registers than this and writes of more than 123.
constexpr int MaxReadRegisters = 125;

QByteArray RegisterBytes(const quint16* values, int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i) {
        bytes.append(static_cast<char>(values[i] >> 8));
        bytes.append(static_cast<char>(values[i] & 0xFF));
    }
    return bytes;
}

} // namespace

class TestInterop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void readRegisters_data();
    void readRegisters();
    void writeReadBack_data();
    void writeReadBack();
    void exceptionReply_data();
    void exceptionReply();

private:
    // Reads through the master and compares with what the slave is known to hold.
    void CheckRead(int function, int first, int count);

    QTemporaryDir m_dir;
    QProcess m_socat;
    QProcess m_slave;
    RecordingMemo m_memo;
    std::unique_ptr<ExchangeLog> m_log;
    std::unique_ptr<Channel> m_channel;
    std::unique_ptr<ModbusMaster> m_master;
    std::array<quint16, RegisterCount> m_holding{};
    std::array<quint16, RegisterCount> m_input{};
};

void TestInterop::initTestCase()
{
    QVERIFY(m_dir.isValid());
    for (int i = 0; i < RegisterCount; ++i) {
        m_holding[i] = static_cast<quint16>(0x1000 + i);
        m_input[i] = static_cast<quint16>(0x2000 + i);
    }

    // The lock file QSerialPort takes is named after the path: keep it unique per run.
    const QString slaveEnd = m_dir.filePath(QStringLiteral("slave"));
    const QString masterEnd = m_dir.filePath(QStringLiteral("master"));
    m_socat.start(QStringLiteral("socat"), {QStringLiteral("-d"), QStringLiteral("-d"),
                                            QStringLiteral("pty,raw,echo=0,link=") + slaveEnd,
                                            QStringLiteral("pty,raw,echo=0,link=") + masterEnd});
    QVERIFY2(m_socat.waitForStarted(5000), qPrintable(m_socat.errorString()));
    const bool linked = QTest::qWaitFor(
        [&] {
            return (QFileInfo::exists(slaveEnd) && QFileInfo::exists(masterEnd)) ||
                   m_socat.state() == QProcess::NotRunning;
        },
        10000);
    QVERIFY2(linked && m_socat.state() == QProcess::Running,
             m_socat.readAllStandardError().constData());

    m_slave.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_slave.start(QStringLiteral(MODBUS_SLAVE_PATH), {slaveEnd, QString::number(SlaveId)});
    QVERIFY2(m_slave.waitForStarted(5000), qPrintable(m_slave.errorString()));
    while (!m_slave.canReadLine())
        QVERIFY2(m_slave.waitForReadyRead(10000), "the slave never became ready");
    QCOMPARE(m_slave.readLine(), QByteArray("ready\n"));

    m_log = std::make_unique<ExchangeLog>(m_dir.path() + u'/');
    m_log->SetMemo(&m_memo);
    LineConfig line;
    line.comPort = masterEnd;
    line.baudRate = 19200;
    line.globalTimeOut = 1000;
    line.localTimeOut = 50;
    line.globalTry = 3;
    line.showLog = 1;
    m_channel = std::make_unique<Channel>(*m_log);
    m_channel->Configure(line);
    QCOMPARE(m_channel->OpenChannel(), Rc::Ok);
    m_master = std::make_unique<ModbusMaster>(*m_channel, *m_log);
    m_master->Configure(line);
}

void TestInterop::cleanupTestCase()
{
    if (m_channel)
        m_channel->CloseChannel();
    m_master.reset();
    m_channel.reset();
    for (QProcess* p : {&m_slave, &m_socat}) {
        if (p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(5000);
        }
    }
}

void TestInterop::init()
{
    m_memo.Clear();
    // A slave that died mid-run would show as a row's time-out; say what happened.
    QCOMPARE(m_slave.state(), QProcess::Running);
    QCOMPARE(m_socat.state(), QProcess::Running);
}

void TestInterop::CheckRead(int function, int first, int count)
{
    std::array<quint8, 256> buffer;
    buffer.fill(0xEE);
    quint16 n = static_cast<quint16>(count);
    const ResultCode r = function == 3 ? m_master->ReadHoldingRegisters(SlaveId, first, n, buffer)
                                       : m_master->ReadInputRegisters(SlaveId, first, n, buffer);
    QCOMPARE(r, Rc::Ok);
    QCOMPARE(int(n), 2 * count);
    const auto& table = function == 3 ? m_holding : m_input;
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer.data()), n),
             RegisterBytes(table.data() + first, count));
    QCOMPARE(buffer[n], quint8(0xEE));
}

void TestInterop::readRegisters_data()
{
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("count");

    QTest::newRow("holding, one") << 3 << 0 << 1;
    QTest::newRow("holding, ten from 37") << 3 << 37 << 10;
    QTest::newRow("holding, last of the map") << 3 << RegisterCount - 1 << 1;
    QTest::newRow("holding, the most a read may ask") << 3 << 75 << MaxReadRegisters;
    QTest::newRow("input, one") << 4 << 0 << 1;
    QTest::newRow("input, five from 130") << 4 << 130 << 5;
    QTest::newRow("input, the most a read may ask") << 4 << 0 << MaxReadRegisters;
}

void TestInterop::readRegisters()
{
    QFETCH(int, function);
    QFETCH(int, first);
    QFETCH(int, count);
    CheckRead(function, first, count);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(m_memo.Texts().filter(QRegularExpression(QStringLiteral("^>> "))).size(), 1);
}

void TestInterop::writeReadBack_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<QList<quint16>>("values");

    QTest::newRow("one at 0") << 0 << QList<quint16>{0xBEEF};
    QTest::newRow("edge values") << 20 << QList<quint16>{0x0000, 0xFFFF, 0x8000, 0x00FF, 0x0100};
    QTest::newRow("end of the map") << RegisterCount - 3 << QList<quint16>{0x0A0B, 0x0C0D, 0x0E0F};
    QList<quint16> many;
    for (int i = 0; i < 123; ++i)
        many.append(static_cast<quint16>(0xA5A5 ^ (i * 0x0101)));
    QTest::newRow("123 registers") << 40 << many;
}

void TestInterop::writeReadBack()
{
    QFETCH(int, first);
    QFETCH(QList<quint16>, values);

    const int count = int(values.size());
    const QByteArray data = RegisterBytes(values.constData(), count);
    QCOMPARE(m_master->WriteMultipleRegisters(
                 SlaveId, first, count,
                 {reinterpret_cast<const quint8*>(data.constData()), size_t(data.size())}),
             Rc::Ok);
    std::copy(values.cbegin(), values.cend(), m_holding.begin() + first);

    // Read back with a neighbour on each side, which must have kept its value.
    const int from = std::max(first - 1, 0);
    const int to = std::min(first + count + 1, RegisterCount);
    for (int at = from; at < to; at += MaxReadRegisters) {
        CheckRead(3, at, std::min(MaxReadRegisters, to - at));
        if (QTest::currentTestFailed())
            return;
    }
}

void TestInterop::exceptionReply_data()
{
    QTest::addColumn<int>("function");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("count");
    QTest::addColumn<ResultCode>("result");

    QTest::newRow("holding past the map")
        << 3 << RegisterCount - 5 << 10 << ResultCode::Exception(2);
    QTest::newRow("input past the map") << 4 << RegisterCount << 1 << ResultCode::Exception(2);
    QTest::newRow("write past the map") << 16 << RegisterCount - 1 << 2 << ResultCode::Exception(2);
    // The slave would answer exception 3; the master does not even ask.
    QTest::newRow("read of too many registers")
        << 3 << 0 << MaxReadRegisters + 1 << Rc::InvalidParameter;
}

void TestInterop::exceptionReply()
{
    QFETCH(int, function);
    QFETCH(int, first);
    QFETCH(int, count);
    QFETCH(ResultCode, result);

    std::array<quint8, 256> buffer;
    buffer.fill(0xEE);
    quint16 n = static_cast<quint16>(count);
    ResultCode r = Rc::Ok;
    if (function == 3)
        r = m_master->ReadHoldingRegisters(SlaveId, first, n, buffer);
    else if (function == 4)
        r = m_master->ReadInputRegisters(SlaveId, first, n, buffer);
    else
        r = m_master->WriteMultipleRegisters(SlaveId, first, n, buffer);
    QCOMPARE(r, result);
    // An exception is a definite answer: it is not asked again.
    const int sends = result == Rc::InvalidParameter ? 0 : 1;
    QCOMPARE(m_memo.Texts().filter(QRegularExpression(QStringLiteral("^>> "))).size(), sends);
    QCOMPARE(int(n), count);
    QVERIFY(std::all_of(buffer.cbegin(), buffer.cend(), [](quint8 b) { return b == 0xEE; }));
}

QTEST_GUILESS_MAIN(TestInterop)
#include "tst_interop.moc"
