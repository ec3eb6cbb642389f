// How soon an abort ends a read-out that is waiting on its line: the time from
// RequestAbort(), as the Abort button and Ctrl+C call it, to the end of the session's
// Run(), for a read-out waiting
//   - on a TCP connect to a gateway that never accepts (a listener on 127.0.0.1 whose
//     queue is full, so that further handshakes are dropped),
//   - on a modem dial that never connects (the stand-in meter tool's modem),
//   - on the reply of a silent meter, behind the stand-in's gateway and on its
//     pseudo-terminal.
// GlobalTimeOut is 60 s, so no time-out can be what ends the wait. The session runs on a
// thread of its own; this thread watches its memo lines and aborts 300 ms after the
// wait began. Beside the time to the end, the time to the read-out's log line of the
// abort ("Операция прервана") shows how much of it the wait took to end; the rest is the
// read-out closing its line and writing its report.
//
//   bench_abort [--metersim PATH] [--runs N]
//
// PATH defaults to orvek-metersim beside this program; every figure is the median of N
// runs (default 7), each against a fresh stand-in.

#include "BenchSupport.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int LongTimeOutMs = 60000;
constexpr auto WaitBeforeAbort = std::chrono::milliseconds(300);
// How long the read-out may take to reach the wait it is to be aborted in.
constexpr auto ReachTheWait = std::chrono::seconds(10);
constexpr double LatencyGoalMs = 100.0; // well under a second

const QString AbortedLine = QStringLiteral("Операция прервана");

// The memo of a running read-out: notes when the line that begins the awaited wait
// comes and when the abort is logged, and keeps the last line for a run that goes
// wrong. Written on the session's thread, read on this one.
class WatchMemo : public LogMemo
{
public:
    explicit WatchMemo(QString trigger) : m_trigger(std::move(trigger)) {}

    void AddMemoLine(const QString& line) override
    {
        const SteadyClock::time_point now = SteadyClock::now();
        std::lock_guard lock(m_mutex);
        m_last = line;
        if (!m_seen && line.contains(m_trigger)) {
            m_seen = now;
            m_changed.notify_all();
        }
        if (!m_aborted && line.contains(AbortedLine))
            m_aborted = now;
    }
    void AppendToLastLine(const QString& text) override
    {
        std::lock_guard lock(m_mutex);
        m_last += text;
    }

    // When the trigger line came; empty when it did not within the time.
    std::optional<SteadyClock::time_point> WaitForTrigger(SteadyClock::duration timeout)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, timeout, [this] { return m_seen.has_value(); });
        return m_seen;
    }
    QString LastLine()
    {
        std::lock_guard lock(m_mutex);
        return m_last;
    }
    std::optional<SteadyClock::time_point> AbortLogged()
    {
        std::lock_guard lock(m_mutex);
        return m_aborted;
    }

private:
    const QString m_trigger;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<SteadyClock::time_point> m_seen;
    std::optional<SteadyClock::time_point> m_aborted;
    QString m_last;
};

// A gateway that never accepts: a loopback listener with a backlog of 0 and its queue
// filled by connections of our own, so that the system drops every further handshake
// and a connect waits until its caller gives up.
class FullListener
{
public:
    FullListener()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_listener < 0 ||
            ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 0) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            std::perror("bench_abort: listener");
            return;
        }
        port = ntohs(address.sin_port);
        // Until a connect of our own is left hanging: then the queue is full.
        for (int i = 0; i < 8 && !full; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0)
                break;
            m_fillers.push_back(fd);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                continue;
            if (errno != EINPROGRESS)
                break;
            pollfd waiting{fd, POLLOUT, 0};
            full = ::poll(&waiting, 1, 300) == 0;
        }
        if (!full)
            std::fprintf(stderr, "bench_abort: the listener's queue did not fill\n");
    }
    ~FullListener()
    {
        for (const int fd : m_fillers)
            ::close(fd);
        if (m_listener >= 0)
            ::close(m_listener);
    }
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;

    quint16 port = 0;
    bool full = false;

private:
    int m_listener = -1;
    std::vector<int> m_fillers;
};

// One hourly read-out of the meter at address 1 from 2020-01-01, on whatever line the
// case gives it.
ReadoutSettings BaseSettings()
{
    ReadoutSettings settings;
    settings.addressText = QStringLiteral("1");
    settings.family = 0;
    settings.startDate = QDate(2020, 1, 1);
    settings.archiveHourly = true;
    return settings;
}

struct Case
{
    const char* name;
    // The memo line after which the read-out waits.
    QString trigger;
    // Makes what the read-out is to wait on (a stand-in in dir) and the settings that
    // reach it; false when it could not be made. The stand-in lives in tool.
    std::function<bool(const QString& dir, MeterTool& tool, ReadoutSettings& settings)> prepare;
};

struct Measured
{
    bool ok = false;
    double latencyMs = 0; // to the end of Run()
    double loggedMs = 0;  // to the abort's log line
};

Measured AbortOnce(const Case& c)
{
    Measured run;
    QTemporaryDir home;
    MeterTool tool;
    ReadoutSettings settings = BaseSettings();
    if (!home.isValid() || !c.prepare(home.path(), tool, settings)) {
        std::fprintf(stderr, "%s: what the read-out is to wait on could not be made\n", c.name);
        return run;
    }

    GeneralSettings general;
    general.globalTimeOut = LongTimeOutMs;
    WatchMemo memo(c.trigger);
    ExchangeLog log(home.path() + u'/');
    log.SetMemo(&memo);
    CountingEvents events;
    const PlanSource plan(PlanFrom(settings));
    ReadoutSession session(home.path() + u'/', log, events, LineConfigFrom(settings, general),
                           plan);

    std::atomic<bool> ended{false};
    SteadyClock::time_point endedAt;
    std::thread thread([&] {
        session.Run();
        endedAt = SteadyClock::now();
        ended.store(true);
    });
    const auto triggered = memo.WaitForTrigger(ReachTheWait);
    if (triggered)
        std::this_thread::sleep_until(*triggered + WaitBeforeAbort);
    // A read-out that is over, or has logged past the line that began its wait, is not
    // in the wait this case is about.
    const QString lineAtAbort = memo.LastLine();
    const bool stillWaiting = !ended.load() && lineAtAbort.contains(c.trigger);
    const SteadyClock::time_point abortAt = SteadyClock::now();
    session.RequestAbort();
    thread.join();

    const ReadoutReport& report = session.LastReport();
    const bool allAborted =
        !report.devices.isEmpty() &&
        std::all_of(report.devices.begin(), report.devices.end(), [](const DeviceReport& d) {
            return d.result == DeviceReport::Result::Aborted;
        });
    const auto sinceAbort = [abortAt](SteadyClock::time_point t) {
        return std::chrono::duration<double, std::milli>(t - abortAt).count();
    };
    const auto logged = memo.AbortLogged();
    run.latencyMs = sinceAbort(endedAt);
    run.loggedMs = logged ? sinceAbort(*logged) : 0.0;
    run.ok = triggered && stillWaiting && allAborted && logged && events.failures == 0;
    if (!run.ok)
        std::fprintf(stderr, "%s: %s; the memo's last line at the abort: %s\n", c.name,
                     !triggered      ? "the read-out never reached its wait"
                     : !stillWaiting ? "the read-out was no longer in the wait when aborted"
                     : !allAborted || !logged ? "the read-out did not end as aborted"
                                              : "the read-out showed an error",
                     qPrintable(lineAtAbort));
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QString meterTool;
    int runs = 0;
    if (!TakeToolAndRuns("bench_abort", meterTool, runs))
        return 2;

    FullListener listener;
    const auto standIn = [&meterTool](Transport transport, const QStringList& options) {
        return [&meterTool, transport, options](const QString& dir, MeterTool& tool,
                                                ReadoutSettings& settings) {
            if (!tool.Start(meterTool, transport, dir, 10, options))
                return false;
            AimAt(tool, transport, settings);
            return true;
        };
    };
    const auto withModem = [](auto prepare) {
        return [prepare](const QString& dir, MeterTool& tool, ReadoutSettings& settings) {
            settings.modem = true;
            settings.dialString = QStringLiteral("ATD5551234");
            return prepare(dir, tool, settings);
        };
    };
    const std::vector<Case> cases{
        {"gateway connect, queue full", QStringLiteral(" по IP адресу "),
         [&listener](const QString&, MeterTool&, ReadoutSettings& settings) {
             settings.useTcp = true;
             settings.tcpHost = QStringLiteral("127.0.0.1");
             settings.tcpPort = listener.port;
             return listener.full;
         }},
        {"modem dial, never connects", QStringLiteral(">> ATD"),
         withModem(standIn(Transport::Pty,
                           {QStringLiteral("--modem"), QStringLiteral("--modem-never-connect")}))},
        {"silent meter, gateway", QStringLiteral("Определение типа прибора"),
         standIn(Transport::Tcp, {QStringLiteral("--silent")})},
        {"silent meter, pseudo-terminal", QStringLiteral("Определение типа прибора"),
         standIn(Transport::Pty, {QStringLiteral("--silent")})},
    };

    std::printf("abort latency: RequestAbort() to the end of the read-out, %lld ms into the "
                "wait, GlobalTimeOut %d ms\n",
                (long long)WaitBeforeAbort.count(), LongTimeOutMs);
    std::printf("goal: the read-out ended at most %.0f ms after the abort (well under a second), "
                "median of %d runs\n",
                LatencyGoalMs, runs);
    std::printf("ms after RequestAbort(): the abort's log line and the end (medians), the "
                "slowest end\n\n");
    std::printf("%-32s %8s %8s %8s\n", "waiting on", "logged", "ended", "slowest");
    std::fflush(stdout);

    bool ok = true;
    for (const Case& c : cases) {
        std::vector<double> latencies, logged;
        bool caseOk = true;
        for (int i = 0; i < runs; ++i) {
            const Measured run = AbortOnce(c);
            caseOk = caseOk && run.ok;
            latencies.push_back(run.latencyMs);
            logged.push_back(run.loggedMs);
        }
        const double median = MedianOf(latencies);
        const double slowest = *std::max_element(latencies.begin(), latencies.end());
        std::printf("%-32s %8.2f %8.2f %8.2f %s%s\n", c.name, MedianOf(logged), median, slowest,
                    Verdict(median <= LatencyGoalMs),
                    caseOk ? "" : "  (a run went wrong: the figures mean nothing)");
        std::fflush(stdout);
        ok = ok && caseOk && median <= LatencyGoalMs;
    }
    return ok ? 0 : 1;
}
