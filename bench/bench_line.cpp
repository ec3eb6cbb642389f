// How close the master comes to the protocol's own pace, and what it costs in CPU,
// on a device that answers at once (over TCP and over a pseudo-terminal) and on one
// that never answers.
//
//   bench_line [LINE_PEER]     LINE_PEER defaults to line_peer beside this program

#include "BenchSupport.h"
#include "Channel.h"
#include "ExchangeLog.h"
#include "ModbusMaster.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <sys/resource.h>

#include <array>
#include <cstdio>
#include <functional>

namespace {

constexpr int Transactions = 200;
constexpr int RegistersPerRead = 10;
constexpr int SilentTransactions = 3;
constexpr int SilentTimeOutMs = 2000;

constexpr double RatioGoal = 1.03;
constexpr double ExchangeCpuGoal = 5.0; // percent of wall time
constexpr double WaitCpuGoal = 2.0;

// One line_peer process; its CPU time is its own, not ours.
class Peer
{
public:
    Peer(const QString& program, const QString& mode) : m_mode(mode)
    {
        m_file = m_dir.filePath(QStringLiteral("published"));
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.start(program, {mode, m_file});
    }
    ~Peer()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    // The port or device path the peer published, empty when it failed.
    QString Published()
    {
        if (!m_process.waitForStarted(5000)) {
            std::fprintf(stderr, "line_peer %s: %s\n", qPrintable(m_mode),
                         qPrintable(m_process.errorString()));
            return {};
        }
        for (int i = 0; i < 500 && m_process.state() == QProcess::Running; ++i) {
            QFile file(m_file);
            if (file.open(QIODevice::ReadOnly))
                return QString::fromUtf8(file.readAll()).trimmed();
            QThread::msleep(10);
        }
        std::fprintf(stderr, "line_peer %s published nothing\n", qPrintable(m_mode));
        return {};
    }

private:
    QString m_mode;
    QTemporaryDir m_dir;
    QString m_file;
    QProcess m_process;
};

struct Figures
{
    double wall = 0; // s
    double cpu = 0;  // s
    int failed = 0;
    ResultCode lastFailure;
};

Figures Run(ModbusMaster& master, int transactions, const std::function<bool(ResultCode)>& good)
{
    std::array<quint8, 256> buffer{};
    Figures f;
    const double cpuStart = CpuSeconds();
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < transactions; ++i) {
        quint16 count = RegistersPerRead;
        const ResultCode r = master.ReadHoldingRegisters(1, quint16(i % 100), count, buffer);
        if (!good(r)) {
            ++f.failed;
            f.lastFailure = r;
        }
    }
    f.wall = double(wall.nsecsElapsed()) / 1e9;
    f.cpu = CpuSeconds() - cpuStart;
    return f;
}

bool ExchangeBench(const char* label, const LineConfig& config, ExchangeLog& log)
{
    Channel channel(log);
    channel.Configure(config);
    const ResultCode opened = channel.OpenChannel();
    if (opened != Rc::Ok) {
        std::printf("%-6s the line did not open: %s\n", label, qPrintable(ResultCodeText(opened)));
        return false;
    }
    ModbusMaster master(channel, log);
    master.Configure(config);
    const Figures f = Run(master, Transactions, [](ResultCode r) { return r == Rc::Ok; });
    channel.CloseChannel();

    const double floor = Transactions * (config.sendPause + config.ReplyPause()) / 1000.0;
    const double ratio = f.wall / floor;
    const double share = 100.0 * f.cpu / f.wall;
    std::printf("%-6s %8.3f %8.3f %7.4f %-6s %7.3f %6.2f %% %-6s", label, f.wall, floor, ratio,
                Verdict(ratio <= RatioGoal), f.cpu, share, Verdict(share <= ExchangeCpuGoal));
    if (f.failed > 0)
        std::printf("  %d of %d failed (last %s)", f.failed, Transactions,
                    qPrintable(ResultCodeText(f.lastFailure)));
    std::printf("\n");
    std::fflush(stdout);
    return f.failed == 0;
}

// The gateway on 127.0.0.1, with the pauses and time-outs of a line left at its defaults.
LineConfig TcpLine(const QString& port)
{
    LineConfig config;
    config.tcp = true;
    config.tcpHost = QStringLiteral("127.0.0.1");
    config.tcpPort = port.toInt();
    return config;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString peerProgram =
        argc > 1 ? QString::fromLocal8Bit(argv[1])
                 : QCoreApplication::applicationDirPath() + QStringLiteral("/line_peer");
    QTemporaryDir home;
    ExchangeLog log(home.path() + u'/');
    bool ok = true;

    std::printf("%d x ReadHoldingRegisters of %d registers, device answering at once\n",
                Transactions, RegistersPerRead);
    std::printf("goals: wall/floor <= %.2f, CPU/wall <= %.0f %% while exchanging, <= %.0f %% "
                "while waiting\n\n",
                RatioGoal, ExchangeCpuGoal, WaitCpuGoal);
    std::printf("%-6s %8s %8s %7s %-6s %7s %8s\n", "line", "wall s", "floor s", "ratio", "",
                "CPU s", "CPU/wall");
    std::fflush(stdout);

    {
        Peer peer(peerProgram, QStringLiteral("tcp"));
        const QString port = peer.Published();
        ok = !port.isEmpty() && ExchangeBench("tcp", TcpLine(port), log) && ok;
    }
    {
        Peer peer(peerProgram, QStringLiteral("pty"));
        const QString device = peer.Published();
        LineConfig config;
        config.comPort = device;
        config.baudRate = 19200;
        ok = !device.isEmpty() && ExchangeBench("pty", config, log) && ok;
    }
    {
        Peer peer(peerProgram, QStringLiteral("silent-tcp"));
        const QString port = peer.Published();
        LineConfig config = TcpLine(port);
        config.globalTimeOut = SilentTimeOutMs;
        config.globalTry = 1;
        Channel channel(log);
        channel.Configure(config);
        if (port.isEmpty() || channel.OpenChannel() != Rc::Ok) {
            std::printf("silent device: the line did not open\n");
            ok = false;
        } else {
            ModbusMaster master(channel, log);
            master.Configure(config);
            const Figures f =
                Run(master, SilentTransactions, [](ResultCode r) { return r == Rc::NoReply; });
            channel.CloseChannel();
            const double share = 100.0 * f.cpu / f.wall;
            std::printf("\nsilent device over tcp, %d x (GlobalTimeOut %d ms, GlobalTry 1):\n",
                        SilentTransactions, SilentTimeOutMs);
            std::printf("       wall %.3f s, CPU %.4f s, CPU/wall %.3f %% %s\n", f.wall, f.cpu,
                        share, Verdict(share <= WaitCpuGoal));
            if (f.failed > 0) {
                std::printf("       %d of %d did not end in no reply (last %s)\n", f.failed,
                            SilentTransactions, qPrintable(ResultCodeText(f.lastFailure)));
                ok = false;
            }
        }
    }
    return ok ? 0 : 1;
}
