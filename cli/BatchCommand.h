#pragma once

#include "ProgramEnv.h"

#include <QCommandLineOption>
#include <QDate>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <optional>

extern const char BatchUsage[];

struct BatchOptions
{
    QString home;
    std::optional<QDate> from;
    int jobs = 4;
    std::optional<QString> report;
    std::optional<int> sendPause;
    std::optional<int> replyPause;
    bool all = false;
    QStringList names;
    bool help = false;
};

// batch's options, declared once for its parser.
QList<QCommandLineOption> BatchCommandOptions();

// The arguments after "batch". False with a message for the user on bad usage.
bool ParseBatchOptions(const QStringList& args, BatchOptions& options, QString& error);

// One saved configuration of a batch and the line it reads on.
struct BatchEntry
{
    QString name;
    // As the summary shows it: its gateway ("tcp 10.0.0.5:4001") or its serial port
    // ("port COM3"), as the configuration gives it.
    QString line;
    // The line itself: the configurations of one key are never read at the same time.
    QString lineKey;
    // Why it is not read at all (its name cannot be a real one); empty when it is.
    QString refused;
};

// The line key of a serial port: the device it opens, so that every name of one
// adapter gives one key. A bare name is a device of /dev on Linux (and a stable name
// one of stableFolder), links are followed where the device is there; on Windows COM
// names compare without regard to case, with or without "\\.\".
QString SerialLineKey(const QString& port, const QString& stableFolder = StableSerialFolder());
// The line key of a gateway: its address as the line connects to it (leading zeros and
// blanks of an IPv4 address read as the line reads them) and its port.
QString GatewayLineKey(const QString& host, int port);

// The configurations a batch reads, in the order given (or the list box's order for
// --all), each with its line, the settings file read once. False with a message when a
// name is not in the file or no configuration is named. A configuration whose name
// cannot be a real one (a damaged file) is in the plan, refused.
bool PlanBatch(const BatchOptions& options, const QString& iniPath, QList<BatchEntry>& plan,
               QString& error);

// `orvekdata batch`: every configuration read as `orvekdata read --config NAME` would,
// each in a process of its own (program read --plan FILE --result FILE), the
// configurations of one line one after another and different lines at the same time,
// at most options.jobs at once. program is the orvekdata executable; interrupts()
// counts the Ctrl+C presses so far: the first stops starting read-outs and asks the
// running ones to abort, the second ends the batch at once, its read-outs killed.
// Returns the exit code: 0 all read, 1 any failed, could not start or was aborted,
// 2 bad usage.
int RunBatchCommand(const BatchOptions& options, const QString& program, FILE* out, FILE* err,
                    const std::function<int()>& interrupts);
