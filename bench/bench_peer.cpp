// The read-out against the fastest peer: what our whole read-out of a 200-record hourly
// archive costs with both pauses at 0, next to libmodbus sending the very same requests
// to the same stand-in meter.
//
//   bench_peer [--metersim PATH] [--runs N]
//
// PATH defaults to orvek-metersim beside this program. The stand-in's gateway carries
// raw RTU bytes over TCP, which libmodbus cannot speak (its TCP transport frames with
// MBAP), so the comparison runs where both can: the stand-in's pseudo-terminal, unpaced,
// our Channel on one side and modbus_new_rtu on the other. Our read-out over the gateway
// is measured as well, for our CPU per transaction there. The requests libmodbus sends
// are taken from the stand-in's trace of our read-out over the pseudo-terminal, in order,
// reads and writes alike. Each figure is the median of N runs (default 7), each run
// against a freshly started stand-in, ours and libmodbus's one after the other; the
// ratio is the median of the runs' own ratios, so that a machine that slows down for a
// while weighs on both sides of it alike. CPU time is this process's own (user +
// system), the stand-in's is its own. "exchange" is the time from the first request the
// stand-in received to the last reply it sent, from its trace (to the millisecond): the
// rest of "wall" is opening the line and, for our read-out, its files put on the disk.

#include "BenchSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTime>

#include <modbus/modbus.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

constexpr int Records = 200;
constexpr double RatioGoal = 1.2;
constexpr double CpuPerTransactionGoalUs = 40.0;

// One request as the stand-in received it, and what it answered.
struct Request
{
    int address = 0;
    int function = 0;
    int firstRegister = 0;
    int count = 0;
    std::vector<uint16_t> values; // function 16
    QByteArray reply;             // as sent, CRC included; empty when none was
};

struct Trace
{
    std::vector<Request> requests;
    // From the first request received to the last reply sent, to the millisecond the
    // trace has: the part of a run spent on the line.
    int spanMs = 0;
};

Trace ReadTrace(const QString& path)
{
    Trace trace;
    std::vector<Request>& requests = trace.requests;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return trace;
    QTime first, last;
    while (!file.atEnd()) {
        const QJsonObject entry = QJsonDocument::fromJson(file.readLine()).object();
        const QString direction = entry.value(QLatin1String("dir")).toString();
        const QTime time = QTime::fromString(entry.value(QLatin1String("time")).toString(),
                                             QStringLiteral("hh:mm:ss.zzz"));
        if (!first.isValid())
            first = time;
        last = time;
        if (direction == QLatin1String("in") && entry.contains(QLatin1String("function"))) {
            Request request;
            request.address = entry.value(QLatin1String("address")).toInt();
            request.function = entry.value(QLatin1String("function")).toInt();
            request.firstRegister = entry.value(QLatin1String("register")).toInt();
            request.count = entry.value(QLatin1String("count")).toInt();
            const QByteArray data =
                QByteArray::fromHex(entry.value(QLatin1String("data")).toString().toLatin1());
            for (qsizetype i = 0; i + 1 < data.size(); i += 2)
                request.values.push_back(
                    uint16_t((quint8(data.at(i)) << 8) | quint8(data.at(i + 1))));
            requests.push_back(request);
        } else if (direction == QLatin1String("out") && !requests.empty()) {
            requests.back().reply =
                QByteArray::fromHex(entry.value(QLatin1String("bytes")).toString().toLatin1());
        }
    }
    trace.spanMs = first.isValid() && last.isValid() ? first.msecsTo(last) : 0;
    return trace;
}

struct Figures
{
    double wall = 0;
    double cpu = 0;
    int transactions = 0;
    double exchange = 0; // s, from the stand-in's trace
    bool ok = false;
};

// Our read-out: the session as the program builds it, both pauses 0.
Figures OurReadout(const QString& meterTool, Transport transport,
                   std::vector<Request>* sequence = nullptr)
{
    Figures figures;
    QTemporaryDir home;
    MeterTool tool;
    if (!tool.Start(meterTool, transport, home.path(), Records))
        return figures;

    HourlyReadout run(home.path() + u'/', tool, transport, 0, 0);

    const double cpuStart = CpuSeconds();
    QElapsedTimer wall;
    wall.start();
    run.session.readout.DoDevice();
    figures.wall = double(wall.nsecsElapsed()) / 1e9;
    figures.cpu = CpuSeconds() - cpuStart;

    const int rows = run.HourlyRows();
    const Trace trace = ReadTrace(tool.trace);
    const std::vector<Request>& requests = trace.requests;
    figures.transactions = int(requests.size());
    figures.exchange = trace.spanMs / 1000.0;
    const bool answered = std::all_of(requests.begin(), requests.end(),
                                      [](const Request& r) { return !r.reply.isEmpty(); });
    figures.ok = run.events.failures == 0 && rows == Records && answered;
    if (!figures.ok)
        std::fprintf(stderr, "our read-out: %d failure(s), %d of %d rows, %s\n",
                     run.events.failures, rows, Records,
                     answered ? "every request answered" : "a request unanswered");
    if (sequence)
        *sequence = requests;
    return figures;
}

// Whether libmodbus's answer to a request is the reply the stand-in gave our read-out:
// the same exception, or the same registers. A meter of this family answers some reads
// with a whole block, longer than the count asked; libmodbus takes such a reply in whole
// and checks it, then refuses it for its length (EMBBADDATA).
bool SameAnswer(const Request& request, int rc, const std::vector<uint16_t>& registers)
{
    const QByteArray& reply = request.reply;
    if (reply.size() >= 3 && (quint8(reply.at(1)) & 0x80))
        return rc < 0 && errno == int(MODBUS_ENOBASE) + quint8(reply.at(2));
    if (request.function == 16)
        return rc == int(request.values.size());
    const int bytes = reply.size() >= 3 ? quint8(reply.at(2)) : -1;
    if (bytes != 2 * request.count)
        return rc < 0 && errno == EMBBADDATA;
    if (rc != request.count)
        return false;
    for (int i = 0; i < request.count; ++i) {
        const uint16_t value =
            uint16_t((quint8(reply.at(3 + 2 * i)) << 8) | quint8(reply.at(4 + 2 * i)));
        if (registers[size_t(i)] != value)
            return false;
    }
    return true;
}

// libmodbus sends the sequence to a fresh stand-in on its pseudo-terminal, the
// response time-out generous and no delay of its own between requests. Every reply must
// be the one the stand-in gave our read-out: the same length, and an exception where it
// answered one.
Figures LibmodbusReplay(const QString& meterTool, const std::vector<Request>& sequence)
{
    Figures figures;
    QTemporaryDir dir;
    MeterTool tool;
    if (!tool.Start(meterTool, Transport::Pty, dir.path(), Records))
        return figures;

    int mismatches = 0;
    const double cpuStart = CpuSeconds();
    QElapsedTimer wall;
    wall.start();
    modbus_t* ctx = modbus_new_rtu(qPrintable(tool.ptyPath), 115200, 'N', 8, 1);
    if (ctx == nullptr || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "libmodbus on %s: %s\n", qPrintable(tool.ptyPath),
                     modbus_strerror(errno));
        if (ctx)
            modbus_free(ctx);
        return figures;
    }
    modbus_set_response_timeout(ctx, 2, 0);
    std::vector<uint16_t> registers(MODBUS_MAX_READ_REGISTERS);
    for (const Request& request : sequence) {
        modbus_set_slave(ctx, request.address);
        int rc = -1;
        switch (request.function) {
        case 3:
            rc = modbus_read_registers(ctx, request.firstRegister, request.count, registers.data());
            break;
        case 4:
            rc = modbus_read_input_registers(ctx, request.firstRegister, request.count,
                                             registers.data());
            break;
        case 16:
            rc = modbus_write_registers(ctx, request.firstRegister, int(request.values.size()),
                                        request.values.data());
            break;
        default:
            break;
        }
        if (!SameAnswer(request, rc, registers))
            ++mismatches;
    }
    modbus_close(ctx);
    modbus_free(ctx);
    figures.wall = double(wall.nsecsElapsed()) / 1e9;
    figures.cpu = CpuSeconds() - cpuStart;
    const Trace trace = ReadTrace(tool.trace);
    figures.transactions = int(trace.requests.size());
    figures.exchange = trace.spanMs / 1000.0;
    figures.ok = mismatches == 0 && figures.transactions == int(sequence.size());
    if (!figures.ok)
        std::fprintf(stderr,
                     "libmodbus: %d of %zu replies not as our read-out had them, %d "
                     "requests reached the meter\n",
                     mismatches, sequence.size(), figures.transactions);
    return figures;
}

Figures Median(const std::vector<Figures>& runs)
{
    Figures median;
    median.ok = std::all_of(runs.begin(), runs.end(), [](const Figures& f) { return f.ok; });
    const auto middle = [&runs](auto field) {
        std::vector<double> values;
        for (const Figures& f : runs)
            values.push_back(f.*field);
        return MedianOf(values);
    };
    median.wall = middle(&Figures::wall);
    median.cpu = middle(&Figures::cpu);
    median.exchange = middle(&Figures::exchange);
    median.transactions = runs.empty() ? 0 : runs.front().transactions;
    return median;
}

void PrintRow(const char* line, const char* who, const Figures& f)
{
    std::printf("%-28s %-10s %8d %8.3f %8.3f %8.3f %9.1f\n", line, who, f.transactions, f.wall,
                f.exchange, f.cpu, f.transactions > 0 ? 1e6 * f.cpu / f.transactions : 0.0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QString meterTool;
    int runs = 0;
    if (!TakeToolAndRuns("bench_peer", meterTool, runs))
        return 2;

    std::printf("a %d-record hourly archive of the stand-in ОРВЕК-307, SendPause and ReplyPause "
                "0;\nlibmodbus %s sends the same requests, taken from the stand-in's trace\n",
                Records, LIBMODBUS_VERSION_STRING);
    std::printf("goals: wall ours/libmodbus <= %.1f on the same pseudo-terminal, our CPU per "
                "transaction <= %.0f us; median of %d runs\n\n",
                RatioGoal, CpuPerTransactionGoalUs, runs);
    std::printf("%-28s %-10s %8s %8s %8s %8s %9s\n", "line", "who", "requests", "wall s", "exch. s",
                "CPU s", "CPU/tr us");
    std::fflush(stdout);

    std::vector<Figures> tcpRuns, ptyRuns, peerRuns;
    std::vector<Request> sequence;
    for (int run = 0; run < runs; ++run) {
        tcpRuns.push_back(OurReadout(meterTool, Transport::Tcp));
        ptyRuns.push_back(OurReadout(meterTool, Transport::Pty, &sequence));
        peerRuns.push_back(LibmodbusReplay(meterTool, sequence));
    }
    const Figures tcp = Median(tcpRuns);
    const Figures pty = Median(ptyRuns);
    const Figures peer = Median(peerRuns);
    PrintRow("tcp 127.0.0.1 (gateway)", "ours", tcp);
    PrintRow("pseudo-terminal (unpaced)", "ours", pty);
    PrintRow("pseudo-terminal (unpaced)", "libmodbus", peer);

    std::vector<double> ratios, exchangeRatios;
    for (int run = 0; run < runs; ++run) {
        if (peerRuns[size_t(run)].wall > 0)
            ratios.push_back(ptyRuns[size_t(run)].wall / peerRuns[size_t(run)].wall);
        if (peerRuns[size_t(run)].exchange > 0)
            exchangeRatios.push_back(ptyRuns[size_t(run)].exchange /
                                     peerRuns[size_t(run)].exchange);
    }
    const double ratio = MedianOf(ratios);
    const double cpuPty = pty.transactions > 0 ? 1e6 * pty.cpu / pty.transactions : 0.0;
    const double cpuTcp = tcp.transactions > 0 ? 1e6 * tcp.cpu / tcp.transactions : 0.0;
    std::printf("\nwall ours/libmodbus on the pseudo-terminal: %.2f (goal at most %.1f: %s)\n",
                ratio, RatioGoal, Verdict(ratio <= RatioGoal));
    std::printf("  the exchange alone, first request to last reply: %.2f\n",
                MedianOf(exchangeRatios));
    std::printf("our CPU per transaction: %.1f us on the pseudo-terminal (goal at most %.0f us: "
                "%s), %.1f us over TCP (%s)\n",
                cpuPty, CpuPerTransactionGoalUs, Verdict(cpuPty <= CpuPerTransactionGoalUs), cpuTcp,
                Verdict(cpuTcp <= CpuPerTransactionGoalUs));
    if (!tcp.ok || !pty.ok || !peer.ok) {
        std::printf("a run did not read the whole archive or replay it as read: the figures "
                    "mean nothing\n");
        return 1;
    }
    return 0;
}
