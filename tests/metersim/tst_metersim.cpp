#include "LineFixture.h"
#include "MemoryLine.h"
#include "MeterBus.h"
#include "Modem.h"
#include "SimLine.h"
#include "SimServer.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

namespace {

// A meter of no family: every holding register r holds the value r; register 999 is
// not there. Enough to watch what the line does to replies.
class PlainMeter : public Meter
{
public:
    PlainMeter(quint8 address, FaultSettings faults = {}) : Meter(-1, address, faults) {}

    MeterAnswer Handle(const MeterRequest& request) override
    {
        if (request.firstRegister == 999)
            return MeterAnswer::Exception(2);
        if (request.function == 16)
            return {};
        QByteArray data;
        for (int i = 0; i < request.count; ++i) {
            data.append(char((request.firstRegister + i) >> 8));
            data.append(char((request.firstRegister + i) & 0xFF));
        }
        return {data, 0};
    }
};

enum FaultRow {
    NoFault,
    Silent,
    Delay,
    Gap,
    CorruptEveryReply,
    CorruptEverySecond,
    ExceptionOnRegister,
    OtherAddress,
    OtherAddressEvery,
    Truncate,
    Noise,
    CountTooHigh,
    CountTooLow,
};

// The simulator and the program's master in one process, on a real line. The simulator
// answers on this thread's event loop; the master waits on a thread of its own.
struct SimFixture
{
    explicit SimFixture(const QString& transport, FaultSettings faults = {},
                        ModemOptions modem = {})
        : log(home.path() + u'/'), channel(log), master(channel, log)
    {
        server.AddMeter(std::make_unique<PlainMeter>(7, faults));
        server.SetModem(modem); // a line starts in the mode it finds when it opens
        QString error;
        if (transport == QLatin1String("tcp")) {
            ok = server.ListenTcp(0, error);
            config.tcp = true;
            config.tcpHost = QStringLiteral("127.0.0.1");
            config.tcpPort = server.TcpPort();
        } else {
            ok = server.OpenPty(QString(), error);
            config.comPort = server.PtyPath();
        }
        config.globalTimeOut = 300;
        config.localTimeOut = 30;
        config.globalTry = 1;
        // The meters take requests back to back: only the time-outs cost time.
        config.sendPause = 0;
        config.replyPause = 0;
        config.retryPause = 0;
        Apply();
    }

    void Apply()
    {
        channel.Configure(config);
        master.Configure(config);
    }

    ResultCode Read(quint16 first, quint16 registers, QByteArray* data = nullptr)
    {
        std::array<quint8, 255> buffer{};
        quint16 count = registers;
        const ResultCode r =
            OffThread([&] { return master.ReadHoldingRegisters(7, first, count, buffer); });
        if (r == Rc::Ok && data)
            *data = QByteArray(reinterpret_cast<const char*>(buffer.data()), count);
        return r;
    }

    ResultCode Write(quint16 first, std::span<const quint8> data)
    {
        return OffThread([&] {
            return master.WriteMultipleRegisters(7, first, quint16(data.size() / 2), data);
        });
    }

    QTemporaryDir home;
    SimServer server;
    ExchangeLog log;
    LineConfig config;
    Channel channel;
    ModbusMaster master;
    bool ok = false;
};

QByteArray Registers(int first, int count)
{
    QByteArray data;
    for (int i = 0; i < count; ++i) {
        data.append(char((first + i) >> 8));
        data.append(char((first + i) & 0xFF));
    }
    return data;
}

} // namespace

class TestMeterSim : public QObject
{
    Q_OBJECT

private slots:
    void faults_data();
    void faults();
    void corruptEverySecondIsRetried();
    void otherAddressEvery();
    void lineFaultsReachTheMeters();
    void echoingLine();
    void droppedConnectionComesBack();
    void unknownAddressIsQuiet();
    void pacedPty_data();
    void pacedPty();
    void modem_data();
    void modem();
    void usageNamesEveryOption();
    void servesTheSameMetersOnBothLines();
    void foreignMasterReadsIlm();
    void traceRecordsRequestsAndReplies();
};

void TestMeterSim::faults_data()
{
    QTest::addColumn<QString>("transport");
    QTest::addColumn<int>("row");
    QTest::addColumn<ResultCode>("result");

    for (const char* t : {"pty", "tcp"}) {
        auto row = [t](const char* name) -> QTestData& {
            return QTest::addRow("%s: %s", t, name) << QString::fromLatin1(t);
        };
        row("no fault") << int(NoFault) << Rc::Ok;
        row("silent") << int(Silent) << Rc::NoReply;
        row("delay within the time-out") << int(Delay) << Rc::Ok;
        row("gap inside the reply") << int(Gap) << Rc::CrcError; // the first half is taken for all
        row("corrupt crc") << int(CorruptEveryReply) << Rc::CrcError;
        row("exception on a register") << int(ExceptionOnRegister) << ResultCode::Exception(3);
        row("other address") << int(OtherAddress) << Rc::UnknownReply;
        row("other address every reply") << int(OtherAddressEvery) << Rc::UnknownReply;
        row("truncated") << int(Truncate) << Rc::NoReply;
        row("0xFF noise ahead") << int(Noise) << Rc::Ok;
        row("byte count too high")
            << int(CountTooHigh) << Rc::UnknownReply; // more than the reply holds
        row("byte count too low") << int(CountTooLow) << Rc::CrcError;
    }
}

void TestMeterSim::faults()
{
    QFETCH(QString, transport);
    QFETCH(int, row);
    QFETCH(ResultCode, result);

    FaultSettings f;
    switch (row) {
    case Silent:
        f.silent = true;
        break;
    case Delay:
        f.delayMs = 60;
        break;
    case Gap:
        f.gapMs = 150;
        break;
    case CorruptEveryReply:
        f.corruptCrcEvery = 1;
        break;
    case ExceptionOnRegister:
        f.exceptionRegister = 40;
        f.exceptionCode = 3;
        break;
    case OtherAddress:
        f.otherAddress = true;
        break;
    case OtherAddressEvery:
        f.otherAddressEvery = 1;
        break;
    case Truncate:
        f.truncateTo = 4;
        break;
    case Noise:
        f.noiseBytes = 3;
        break;
    case CountTooHigh:
        f.byteCountLie = 2;
        break;
    case CountTooLow:
        f.byteCountLie = -2;
        break;
    default:
        break;
    }
    // Line faults reach every meter, as the command-line options do.
    SimFixture sim(transport);
    QVERIFY(sim.ok);
    sim.server.SetLineFaults(f);
    QByteArray data;
    QCOMPARE(sim.Read(40, 3, &data), result);
    if (result == Rc::Ok)
        QCOMPARE(data, Registers(40, 3));
}

void TestMeterSim::corruptEverySecondIsRetried()
{
    FaultSettings f;
    f.corruptCrcEvery = 2; // set on the meter itself
    SimFixture sim(QStringLiteral("pty"), f);
    QVERIFY(sim.ok);
    sim.config.globalTry = 2;
    sim.config.showLog = 1;
    sim.Apply();
    RecordingMemo memo;
    sim.log.SetMemo(&memo);
    QCOMPARE(sim.Read(1, 1), Rc::Ok);
    QCOMPARE(sim.Read(1, 1), Rc::Ok); // the second reply is bad, the third good
    QCOMPARE(memo.Texts().filter(QStringLiteral(">> ")).size(), 3);
}

// A neighbour's reply now and then: whole, with a good CRC, but from the next address.
void TestMeterSim::otherAddressEvery()
{
    FaultSettings faults;
    QString error;
    QVERIFY2(FaultSettings::FromJson({{"otherAddressEvery", 3}}, faults, error), qPrintable(error));
    SimServer server;
    server.AddMeter(std::make_unique<PlainMeter>(7, faults));

    MeterBus bus(server);
    QList<int> addresses;
    for (int i = 0; i < 6; ++i) {
        const QByteArray reply = bus.Answer(WithCrc(QByteArray::fromHex("070300280001"))).reply;
        QCOMPARE(reply, WithCrc(reply.chopped(2)));
        QCOMPARE(reply.mid(1, 4), QByteArray::fromHex("03020028"));
        addresses.append(quint8(reply.at(0)));
    }
    QCOMPARE(addresses, (QList<int>{7, 7, 8, 7, 7, 8}));

    // The master lets the stray reply go and asks again; with one attempt the request
    // fails as answered by another.
    QTemporaryDir home;
    ExchangeLog log(home.path() + u'/');
    MemoryLine line;
    line.SetResponder(MemoryResponder(server));
    ModbusMaster master(line, log);
    LineConfig config;
    config.globalTry = 2;
    master.Configure(config);
    const auto read = [&] {
        std::array<quint8, 8> buffer{};
        quint16 count = 1;
        return master.ReadHoldingRegisters(7, 40, count, buffer);
    };
    for (int i = 0; i < 3; ++i)
        QCOMPARE(read(), Rc::Ok);
    QCOMPARE(line.Sent().size(), 4);
    config.globalTry = 1;
    master.Configure(config);
    QCOMPARE(read(), Rc::Ok);
    QCOMPARE(read(), Rc::UnknownReply);
    QCOMPARE(line.Sent().size(), 6);
}

// The options of the command line are line faults: the meters' own handling (record
// dates, next-record replies, start dates) must see them too, under the meter's own.
void TestMeterSim::lineFaultsReachTheMeters()
{
    FaultSettings own;
    own.corruptNextEvery = 3;
    SimServer server;
    server.AddMeter(std::make_unique<PlainMeter>(7, own));
    FaultSettings line;
    line.badRecordDates = true;
    line.corruptNextEvery = 2;
    line.startDateLimit = 1;
    line.otherAddressEvery = 5;
    server.SetLineFaults(line);
    const FaultSettings seen = server.FindMeter(7)->Faults();
    QVERIFY(seen.badRecordDates);
    QCOMPARE(seen.otherAddressEvery, 5);
    QCOMPARE(seen.corruptNextEvery, 3);
    QCOMPARE(seen.startDateLimit, 1);
}

void TestMeterSim::echoingLine()
{
    for (const char* transport : {"pty", "tcp"}) {
        SimFixture sim(QString::fromLatin1(transport));
        QVERIFY(sim.ok);
        sim.server.SetEcho(true);
        sim.config.echo = true;
        sim.Apply();
        QByteArray data;
        QCOMPARE(sim.Read(5, 2, &data), Rc::Ok);
        QCOMPARE(data, Registers(5, 2));
        const std::array<quint8, 2> value{0x12, 0x34};
        QCOMPARE(sim.Write(5, value), Rc::Ok);
    }
}

void TestMeterSim::droppedConnectionComesBack()
{
    FaultSettings f;
    f.dropAfter = 1;
    SimFixture sim(QStringLiteral("tcp"), f);
    QVERIFY(sim.ok);

    // The channel sees the connection gone when it next looks at its input.
    const auto dropped = [&sim] {
        sim.channel.PurgeInput();
        return !sim.channel.TcpConnected();
    };
    QCOMPARE(sim.Read(1, 1), Rc::Ok);
    QTRY_VERIFY(dropped());
    QCOMPARE(sim.Read(2, 1), Rc::Ok); // the next transaction connects again
    QTRY_VERIFY(dropped());
}

void TestMeterSim::unknownAddressIsQuiet()
{
    SimFixture sim(QStringLiteral("pty"));
    QVERIFY(sim.ok);
    std::array<quint8, 8> buffer{};
    quint16 count = 1;
    QCOMPARE(OffThread([&] { return sim.master.ReadHoldingRegisters(8, 0, count, buffer); }),
             Rc::NoReply);
    QCOMPARE(sim.Read(999, 1), ResultCode::Exception(2));
}

void TestMeterSim::pacedPty_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("registers");
    QTest::addColumn<bool>("echo");
    QTest::newRow("19200, longest reply") << 19200 << 125 << false;
    QTest::newRow("1200, a byte every 8 ms") << 1200 << 4 << false;
    QTest::newRow("19200, echoing line") << 19200 << 60 << true;
}

// Replies that leave byte by byte at the line's pace still reach the master whole and
// in order, one after another, and requests are still taken in.
void TestMeterSim::pacedPty()
{
    QFETCH(int, baud);
    QFETCH(int, registers);
    QFETCH(bool, echo);

    SimServer server;
    server.AddMeter(std::make_unique<PlainMeter>(7));
    server.SetBaud(baud);
    server.SetEcho(echo);
    QString error;
    QVERIFY2(server.OpenPty(QString(), error), qPrintable(error));
    QTemporaryDir home;
    ExchangeLog log(home.path() + u'/');
    Channel channel(log);
    ModbusMaster master(channel, log);
    LineConfig config;
    config.comPort = server.PtyPath();
    config.globalTimeOut = 1000;
    config.localTimeOut = 50;
    config.globalTry = 1;
    config.replyPause = 0;
    config.sendPause = 0;
    config.echo = echo;
    channel.Configure(config);
    master.Configure(config);

    for (const int first : {40, 1000}) {
        std::array<quint8, 255> buffer{};
        quint16 count = quint16(registers);
        QCOMPARE(OffThread(
                     [&] { return master.ReadHoldingRegisters(7, quint16(first), count, buffer); }),
                 Rc::Ok);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer.data()), count),
                 Registers(first, registers));
    }
    const std::array<quint8, 4> value{0x12, 0x34, 0x56, 0x78};
    QCOMPARE(OffThread([&] { return master.WriteMultipleRegisters(7, 5, 2, value); }), Rc::Ok);
}

void TestMeterSim::modem_data()
{
    QTest::addColumn<bool>("answersOk");
    QTest::addColumn<bool>("connects");
    QTest::newRow("connects") << true << true;
    QTest::newRow("no OK") << false << true;
    QTest::newRow("never connects") << true << false;
}

void TestMeterSim::modem()
{
    QFETCH(bool, answersOk);
    QFETCH(bool, connects);

    ModemOptions options;
    options.enabled = true;
    options.connectDelayMs = 100;
    options.answersOk = answersOk;
    options.connects = connects;
    SimFixture sim(QStringLiteral("pty"), {}, options);
    QVERIFY(sim.ok);

    Modem modem(sim.channel, sim.log);
    modem.Configure(sim.config.localTimeOut, sim.config.showLog);
    const auto command = [&](const char* text) {
        return OffThread([&] { return modem.ModemCommand(QString::fromLatin1(text)); });
    };
    QCOMPARE(sim.Read(1, 1), Rc::NoReply); // command mode: ModBus gets nowhere
    QCOMPARE(command("AT\r\n"), Rc::Ok);
    QCOMPARE(modem.ModemReply,
             answersOk ? QStringLiteral("\r\nOK\r\n") : QStringLiteral("\r\nERROR\r\n"));
    QCOMPARE(command("ATD5551234\r\n"), connects ? Rc::Ok : Rc::NoReply);
    if (!connects)
        return;
    QCOMPARE(modem.ModemReply, QStringLiteral("\r\nCONNECT 9600\r\n"));
    QByteArray data;
    QCOMPARE(sim.Read(3, 2, &data), Rc::Ok);
    QCOMPARE(data, Registers(3, 2));
}

void TestMeterSim::usageNamesEveryOption()
{
    QProcess sim;
    sim.start(QStringLiteral(METERSIM_PATH), {QStringLiteral("--help")});
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitCode(), 0);
    const QString usage = QString::fromUtf8(sim.readAllStandardOutput());
    for (const char* option : {"--pty",
                               "--tcp",
                               "--baud",
                               "--meters",
                               "--print-demo",
                               "--echo",
                               "--modem",
                               "--modem-delay",
                               "--modem-no-ok",
                               "--modem-never-connect",
                               "--trace",
                               "--silent",
                               "--delay",
                               "--gap",
                               "--corrupt-crc-every",
                               "--exception",
                               "--other-address",
                               "--other-address-every",
                               "--truncate",
                               "--noise",
                               "--lie-count",
                               "--drop-after",
                               "--bad-dates",
                               "--corrupt-next-every",
                               "--start-date-limit"})
        QVERIFY2(usage.contains(QLatin1String(option)), option);

    const QTemporaryDir dir;
    const QString link = dir.path() + QStringLiteral("/line");
    for (const QStringList& bad :
         {QStringList{QStringLiteral("--no-such-option")},
          // pacing only the gateway would pace nothing
          QStringList{QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:0"),
                      QStringLiteral("--baud"), QStringLiteral("9600")},
          QStringList{QStringLiteral("--pty"), link, QStringLiteral("--baud"),
                      QStringLiteral("300")}}) {
        sim.start(QStringLiteral(METERSIM_PATH), bad);
        QVERIFY(sim.waitForFinished(10000));
        QVERIFY2(sim.exitCode() == 2, qPrintable(bad.join(u' ')));
    }
}

namespace {

// The tool as a process, on a pseudo-terminal and a TCP port at once.
struct SimProcess
{
    bool Start(const QStringList& extra = {})
    {
        link = dir.path() + QStringLiteral("/line");
        process.start(QStringLiteral(METERSIM_PATH),
                      QStringList{QStringLiteral("--pty"), link, QStringLiteral("--tcp"),
                                  QStringLiteral("127.0.0.1:0")} +
                          extra);
        QByteArray out;
        while (!out.contains("ready\n")) {
            if (!process.waitForReadyRead(10000))
                return false;
            out += process.readAllStandardOutput();
        }
        for (const QByteArray& line : out.split('\n')) {
            if (line.startsWith("tcp "))
                port = quint16(line.mid(line.lastIndexOf(':') + 1).toUInt());
        }
        return port != 0 && QFile::exists(link);
    }
    ~SimProcess()
    {
        process.terminate();
        process.waitForFinished(5000);
    }

    QTemporaryDir dir;
    QProcess process;
    QString link;
    quint16 port = 0;
};

QByteArray ReadInput(ModbusMaster& master, quint16 address, quint16 first, quint16 registers,
                     ResultCode& r)
{
    std::array<quint8, 255> buffer{};
    quint16 count = registers;
    r = master.ReadInputRegisters(address, first, count, buffer);
    return r == Rc::Ok ? QByteArray(reinterpret_cast<const char*>(buffer.data()), count)
                       : QByteArray();
}

} // namespace

void TestMeterSim::servesTheSameMetersOnBothLines()
{
    SimProcess sim;
    QVERIFY(sim.Start());

    QTemporaryDir home;
    ExchangeLog log(home.path() + u'/');
    LineConfig config;
    config.globalTimeOut = 1000;
    config.localTimeOut = 50;
    config.globalTry = 2;
    config.sendPause = 0;
    config.replyPause = 0;
    // The tool answers from its own process: the master may wait on this thread.
    Channel serial(log);
    ModbusMaster overSerial(serial, log);
    config.comPort = sim.link;
    serial.Configure(config);
    overSerial.Configure(config);
    Channel tcp(log);
    ModbusMaster overTcp(tcp, log);
    config.tcp = true;
    config.tcpHost = QStringLiteral("127.0.0.1");
    config.tcpPort = sim.port;
    tcp.Configure(config);
    overTcp.Configure(config);
    // The demo ИЛЬМ meter at address 2: model, clock, serial number.
    for (const auto& [first, registers] : {std::pair{842, 1}, {0, 3}, {834, 4}}) {
        ResultCode r1 = Rc::NoReply, r2 = Rc::NoReply;
        const QByteArray a = ReadInput(overSerial, 2, quint16(first), quint16(registers), r1);
        const QByteArray b = ReadInput(overTcp, 2, quint16(first), quint16(registers), r2);
        QCOMPARE(r1, Rc::Ok);
        QCOMPARE(r2, Rc::Ok);
        QCOMPARE(a.size(), 2 * registers);
        QCOMPARE(a, b);
    }
}

void TestMeterSim::foreignMasterReadsIlm()
{
    const QString mbpoll = QStandardPaths::findExecutable(QStringLiteral("mbpoll"));
    if (mbpoll.isEmpty())
        QSKIP("mbpoll is not installed (scripts/setup.sh installs it)");
    SimProcess sim;
    QVERIFY(sim.Start());

    // The demo file's ИЛЬМ meter, as the tool itself prints it.
    QProcess print;
    print.start(QStringLiteral(METERSIM_PATH), {QStringLiteral("--print-demo")});
    QVERIFY(print.waitForFinished(10000));
    QJsonObject ilm;
    for (const QJsonValue meter :
         QJsonDocument::fromJson(print.readAllStandardOutput()).object()["meters"].toArray()) {
        if (meter.toObject()["address"].toInt() == 2)
            ilm = meter.toObject();
    }
    QCOMPARE(ilm["family"].toInt(), 1);

    // The program's own master reads the same registers over TCP, for the clock.
    QTemporaryDir home;
    ExchangeLog log(home.path() + u'/');
    Channel tcp(log);
    ModbusMaster master(tcp, log);
    LineConfig config;
    config.tcp = true;
    config.tcpHost = QStringLiteral("127.0.0.1");
    config.tcpPort = sim.port;
    config.replyPause = 0;
    tcp.Configure(config);
    master.Configure(config);

    QMap<int, quint16> registers;
    for (const auto& [first, count] : {std::pair{842, 1}, {0, 3}, {834, 4}}) {
        QProcess poll;
        poll.start(mbpoll, {QStringLiteral("-m"), QStringLiteral("rtu"), QStringLiteral("-b"),
                            QStringLiteral("19200"), QStringLiteral("-P"), QStringLiteral("none"),
                            QStringLiteral("-a"), QStringLiteral("2"), QStringLiteral("-t"),
                            QStringLiteral("3:hex"), QStringLiteral("-0"), QStringLiteral("-r"),
                            QString::number(first), QStringLiteral("-c"), QString::number(count),
                            QStringLiteral("-1"), sim.link});
        QVERIFY(poll.waitForFinished(20000));
        const QString out = QString::fromLocal8Bit(poll.readAllStandardOutput());
        QVERIFY2(poll.exitCode() == 0, qPrintable(out + poll.readAllStandardError()));
        static const QRegularExpression value(
            QStringLiteral("\\[(\\d+)\\]:\\s+0x([0-9A-Fa-f]{4})"));
        for (auto m = value.globalMatch(out); m.hasNext();) {
            const auto match = m.next();
            registers[match.captured(1).toInt()] = quint16(match.captured(2).toUInt(nullptr, 16));
        }
        ResultCode r = Rc::NoReply;
        const QByteArray ours = ReadInput(master, 2, quint16(first), quint16(count), r);
        QCOMPARE(r, Rc::Ok);
        for (int i = 0; i < count; ++i) {
            QVERIFY2(registers.contains(first + i), qPrintable(out));
            QCOMPARE(registers[first + i],
                     quint16((quint8(ours.at(2 * i)) << 8) | quint8(ours.at(2 * i + 1))));
        }
    }
    // The model is the low byte of register 842; the serial number prints the low,
    // then the high byte of each register.
    QCOMPARE(registers[842] & 0xFF, ilm["model"].toInt());
    QString serial;
    for (int r = 834; r < 838; ++r)
        serial += QString::number(registers[r] & 0xFF) + QString::number(registers[r] >> 8);
    QCOMPARE(serial, ilm["serial"].toString());
    QVERIFY(QDate(2000 + (registers[0] >> 8), registers[0] & 0xFF, registers[1] >> 8).isValid());
}

void TestMeterSim::traceRecordsRequestsAndReplies()
{
    SimFixture sim(QStringLiteral("pty"));
    QVERIFY(sim.ok);
    const QString path = sim.home.path() + QStringLiteral("/trace.jsonl");
    QString error;
    QVERIFY(sim.server.SetTraceFile(path, error));
    QCOMPARE(sim.Read(0x1234, 2), Rc::Ok);
    const std::array<quint8, 2> value{0xAB, 0xCD};
    QCOMPARE(sim.Write(0x60, value), Rc::Ok);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QList<QJsonObject> entries;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            entries.append(QJsonDocument::fromJson(line).object());
    }
    QCOMPARE(entries.size(), 4);
    QCOMPARE(entries[0]["dir"].toString(), QStringLiteral("in"));
    QCOMPARE(entries[0]["register"].toInt(), 0x1234);
    QCOMPARE(entries[0]["count"].toInt(), 2);
    QCOMPARE(entries[0]["function"].toInt(), 3);
    QCOMPARE(entries[1]["dir"].toString(), QStringLiteral("out"));
    QCOMPARE(entries[1]["bytes"].toString().left(8), QStringLiteral("07 03 04"));
    QCOMPARE(entries[2]["function"].toInt(), 16);
    QCOMPARE(entries[2]["data"].toString(), QStringLiteral("abcd"));
}

QTEST_GUILESS_MAIN(TestMeterSim)
#include "tst_metersim.moc"
