// How close a whole read-out comes to the protocol's own pace, what it costs in CPU and
// whether its memory stays flat as the archive grows: one ОРВЕК-307 meter of the
// stand-in meter tool behind its TCP gateway on 127.0.0.1, only the hourly archive
// ticked, every record from the start date on.
//
//   bench_readout [--metersim PATH]               runs itself for 100 and 200 records
//   bench_readout [--metersim PATH] --records N   one read-out of N records
//
// PATH defaults to orvek-metersim beside this program. The floor is what the master's
// fixed pauses cost: the send pause (100 ms) before every request the meter received,
// plus the reply pause (50 ms) after every good reply. The requests are counted from the
// meter tool's trace.

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

#include <sys/resource.h>

#include <cstdio>

namespace {

constexpr int SmallArchive = 100;
constexpr int LargeArchive = 200;

constexpr double RatioGoal = 1.02;
constexpr double CpuGoal = 5.0;         // percent of wall time
constexpr long FlatMemoryGoalKib = 512; // growth of the peak from the small to the large run

long PeakKib()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').value(0).toLong();
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct Traffic
{
    int requests = 0;
    int goodReplies = 0;
    int exceptions = 0;
};

// Every request the meter received and every reply it sent, from its trace.
Traffic CountTraffic(const QString& trace)
{
    Traffic traffic;
    QFile file(trace);
    if (!file.open(QIODevice::ReadOnly))
        return traffic;
    while (!file.atEnd()) {
        const QJsonObject entry = QJsonDocument::fromJson(file.readLine()).object();
        const QString direction = entry.value(QLatin1String("dir")).toString();
        if (direction == QLatin1String("in") && entry.contains(QLatin1String("function"))) {
            ++traffic.requests;
        } else if (direction == QLatin1String("out")) {
            const QByteArray bytes =
                QByteArray::fromHex(entry.value(QLatin1String("bytes")).toString().toLatin1());
            if (bytes.size() >= 2 && (quint8(bytes.at(1)) & 0x80))
                ++traffic.exceptions;
            else
                ++traffic.goodReplies;
        }
    }
    return traffic;
}

int OneReadout(const QString& meterTool, int records)
{
    QTemporaryDir home;
    MeterTool tool;
    if (!tool.Start(meterTool, Transport::Tcp, home.path(), records))
        return 2;
    const QString trace = tool.trace;

    HourlyReadout run(home.path() + u'/', tool, Transport::Tcp);

    const double cpuStart = CpuSeconds();
    QElapsedTimer wall;
    wall.start();
    run.session.readout.DoDevice();
    const double wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    const double cpuSeconds = CpuSeconds() - cpuStart;
    const long peak = PeakKib();

    // The trace is read only now, so that it adds nothing to the peak above.
    const Traffic traffic = CountTraffic(trace);
    const LineConfig& line = run.session.master.Config();
    const double floorSeconds =
        (traffic.requests * line.sendPause + traffic.goodReplies * line.ReplyPause()) / 1000.0;
    const double ratio = wallSeconds / floorSeconds;
    const double share = 100.0 * cpuSeconds / wallSeconds;

    // The read-out must have read the whole archive, or the figures mean nothing.
    const int rows = run.HourlyRows();

    std::printf("%7d %9d %8.3f %8.3f %7.4f %-6s %7.3f %6.2f %% %-6s %8ld KiB\n", records,
                traffic.requests, wallSeconds, floorSeconds, ratio, Verdict(ratio <= RatioGoal),
                cpuSeconds, share, Verdict(share <= CpuGoal), peak);
    std::fflush(stdout);

    bool ok = true;
    if (run.events.failures > 0) {
        std::printf("        the read-out reported %d failure(s)\n", run.events.failures);
        ok = false;
    }
    if (rows != records) {
        std::printf("        the hourly file holds %d rows instead of %d\n", rows, records);
        ok = false;
    }
    if (traffic.goodReplies + traffic.exceptions != traffic.requests) {
        std::printf("        %d requests but %d replies\n", traffic.requests,
                    traffic.goodReplies + traffic.exceptions);
        ok = false;
    }
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    const QString self = args.takeFirst();
    QString meterTool = QCoreApplication::applicationDirPath() + QStringLiteral("/orvek-metersim");
    int records = 0;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--metersim") && i + 1 < args.size()) {
            meterTool = args.at(++i);
        } else if (args.at(i) == QLatin1String("--records") && i + 1 < args.size()) {
            records = args.at(++i).toInt();
        } else {
            std::fprintf(stderr, "usage: bench_readout [--metersim PATH] [--records N]\n");
            return 2;
        }
    }
    if (records > 0)
        return OneReadout(meterTool, records);

    std::printf("one read-out over TCP on 127.0.0.1: ОРВЕК-307, hourly archive only\n");
    std::printf("goals: wall/floor <= %.2f, CPU/wall <= %.0f %%, peak memory flat (the %d-record "
                "run at most %ld KiB above the %d-record run)\n\n",
                RatioGoal, CpuGoal, LargeArchive, FlatMemoryGoalKib, SmallArchive);
    std::printf("%7s %9s %8s %8s %7s %-6s %7s %8s %-6s %12s\n", "records", "requests", "wall s",
                "floor s", "ratio", "", "CPU s", "CPU/wall", "", "peak");
    std::fflush(stdout);

    // Each size in a process of its own, so that each peak is that run's own.
    static const QRegularExpression peakField(QStringLiteral("(\\d+) KiB"));
    long peaks[2] = {0, 0};
    bool ok = true;
    const int sizes[2] = {SmallArchive, LargeArchive};
    for (int i = 0; i < 2; ++i) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(self, {QStringLiteral("--metersim"), meterTool, QStringLiteral("--records"),
                           QString::number(sizes[i])});
        if (!child.waitForFinished(-1) || child.exitStatus() != QProcess::NormalExit) {
            std::printf("the %d-record run did not finish\n", sizes[i]);
            return 1;
        }
        const QString output = QString::fromLocal8Bit(child.readAllStandardOutput());
        std::fputs(qPrintable(output), stdout);
        std::fflush(stdout);
        const QRegularExpressionMatch match = peakField.match(output);
        peaks[i] = match.hasMatch() ? match.captured(1).toLong() : 0;
        ok = ok && child.exitCode() == 0 && match.hasMatch();
    }
    const long growth = peaks[1] - peaks[0];
    std::printf("\npeak memory: %ld KiB with %d records, %ld KiB with %d: %+ld KiB %s\n", peaks[0],
                SmallArchive, peaks[1], LargeArchive, growth, Verdict(growth <= FlatMemoryGoalKib));
    return ok ? 0 : 1;
}
