#pragma once

// What the benchmarks share: CPU time, the verdict words, a memo and session events that
// count, and the stand-in meter tool as a child process.

#include "ExchangeLog.h"
#include "ProgramSettings.h"
#include "ReadoutPlan.h"
#include "ReadoutSession.h"
#include "SessionEvents.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

// This process's own CPU time, user and system, s.
inline double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

inline const char* Verdict(bool met)
{
    return met ? "met" : "MISSED";
}

inline double MedianOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// The options of a benchmark that runs the stand-in meter tool several times:
// [--metersim PATH] [--runs N]; the tool beside this program and 7 runs by default. False
// after the usage, named after program, went to standard error.
inline bool TakeToolAndRuns(const char* program, QString& meterTool, int& runs)
{
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    meterTool = QCoreApplication::applicationDirPath() + QStringLiteral("/orvek-metersim");
    runs = 7;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--metersim") && i + 1 < args.size()) {
            meterTool = args.at(++i);
        } else if (args.at(i) == QLatin1String("--runs") && i + 1 < args.size() &&
                   args.at(i + 1).toInt() > 0) {
            runs = args.at(++i).toInt();
        } else {
            std::fprintf(stderr, "usage: %s [--metersim PATH] [--runs N]\n", program);
            return false;
        }
    }
    return true;
}

// A memo as plain text, the way the window's keeps it.
class TextMemo : public LogMemo
{
public:
    void AddMemoLine(const QString& line) override
    {
        if (!m_text.isEmpty())
            m_text += u'\n';
        m_text += line;
    }
    void AppendToLastLine(const QString& text) override { m_text += text; }
    const QString& Text() const { return m_text; }

private:
    QString m_text;
};

class CountingEvents : public SessionEvents
{
public:
    void ShowError(const QString& text) override
    {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
        ++failures;
    }
    void ShowIoError(const QString& text) override
    {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        ++failures;
    }

    int failures = 0;
};

enum class Transport { Tcp, Pty };

// The stand-in meter tool as a child process, on one line, serving one ОРВЕК-307 at
// address 1 with an hourly archive of the records asked for, tracing what it receives
// and sends into dir/trace.jsonl; lineOptions go to the tool as they are (--modem,
// --silent, ...). Its CPU time is its own, not ours.
class MeterTool
{
public:
    bool Start(const QString& program, Transport transport, const QString& dir, int records,
               const QStringList& lineOptions = {})
    {
        const QJsonObject meter{
            {"family", 0},
            {"address", 1},
            {"model", 307},
            {"serial", "BENCH001"},
            {"clock", "2026-12-10T10:15:42"},
            {"layout", QJsonArray{0x11, 0x12, 0x31, 0x32, 0x41, 0x51, 0xB0, 0xC0}},
            {"names", QJsonObject{{"0x201", "V1"},
                                  {"0x202", "V2"},
                                  {"0x301", "T1"},
                                  {"0x302", "T2"},
                                  {"0x401", "P1"},
                                  {"0x501", "Q1"}}},
            {"depth", QJsonObject{{"hourly", records}}},
        };
        const QString meters = dir + QStringLiteral("/meters.json");
        QFile file(meters);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(QJsonDocument(QJsonObject{{"meters", QJsonArray{meter}}}).toJson()) < 0)
            return false;
        file.close();
        trace = dir + QStringLiteral("/trace.jsonl");
        QStringList args{QStringLiteral("--meters"), meters, QStringLiteral("--trace"), trace};
        if (transport == Transport::Tcp)
            args << QStringLiteral("--tcp") << QStringLiteral("127.0.0.1:0");
        else
            args << QStringLiteral("--pty") << dir + QStringLiteral("/line");
        args << lineOptions;
        m_process.setReadChannel(QProcess::StandardOutput);
        m_process.start(program, args);
        if (!m_process.waitForStarted(5000)) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(program),
                         qPrintable(m_process.errorString()));
            return false;
        }
        static const QRegularExpression tcpLine(QStringLiteral("^tcp (\\S+):(\\d+)$"));
        static const QRegularExpression ptyLine(QStringLiteral("^pty (\\S+)$"));
        while (m_process.waitForReadyRead(5000) || m_process.canReadLine()) {
            while (m_process.canReadLine()) {
                const QString line = QString::fromLocal8Bit(m_process.readLine()).trimmed();
                if (const auto match = tcpLine.match(line); match.hasMatch())
                    port = match.captured(2).toUShort();
                if (const auto match = ptyLine.match(line); match.hasMatch())
                    ptyPath = match.captured(1);
                if (line == QLatin1String("ready"))
                    return port != 0 || !ptyPath.isEmpty();
            }
        }
        std::fprintf(stderr, "the meter tool did not get ready: %s\n",
                     m_process.readAllStandardError().constData());
        return false;
    }
    ~MeterTool()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    quint16 port = 0;
    QString ptyPath;
    QString trace;

private:
    QProcess m_process;
};

// The read-out's line: the tool's gateway, or its pseudo-terminal at 115200 baud.
inline void AimAt(const MeterTool& tool, Transport transport, ReadoutSettings& settings)
{
    if (transport == Transport::Tcp) {
        settings.useTcp = true;
        settings.tcpHost = QStringLiteral("127.0.0.1");
        settings.tcpPort = tool.port;
    } else {
        settings.comPort = tool.ptyPath;
        settings.comSpeed = QStringLiteral("115200");
    }
}

// One read-out of the meter tool's hourly archive from 2020-01-01, over the tool's line,
// with [General]'s defaults and the pauses given (-1: the line's own reply pause), as the
// program builds it.
struct HourlyReadout
{
    HourlyReadout(const QString& programDir, const MeterTool& tool, Transport transport,
                  int sendPause = 100, int replyPause = -1)
        : log(programDir), settings(Settings(tool, transport, sendPause, replyPause)),
          plan(PlanFrom(settings)),
          session(programDir, log, events, LineConfigFrom(settings, GeneralSettings{}), plan)
    {
        log.SetMemo(&memo);
    }

    // The records of the hourly file, which is the last one the read-out made; -1 when
    // it made none.
    int HourlyRows()
    {
        QFile csv(session.files.ExportFile());
        if (!csv.fileName().endsWith(QLatin1String("H0.csv")) || !csv.open(QIODevice::ReadOnly))
            return -1;
        return int(csv.readAll().count("\r\n")) - 4;
    }

    TextMemo memo;
    ExchangeLog log;
    CountingEvents events;
    ReadoutSettings settings;
    PlanSource plan;
    ReadoutSession session;

private:
    static ReadoutSettings Settings(const MeterTool& tool, Transport transport, int sendPause,
                                    int replyPause)
    {
        ReadoutSettings settings;
        settings.addressText = QStringLiteral("1");
        AimAt(tool, transport, settings);
        settings.family = 0;
        settings.startDate = QDate(2020, 1, 1);
        settings.archiveHourly = true;
        settings.sendPause = sendPause;
        settings.replyPause = replyPause;
        return settings;
    }
};
