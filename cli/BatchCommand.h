#pragma once

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

// One saved configuration of a batch and the line it reads on: its gateway
// ("tcp 10.0.0.5:4001") or its serial port ("port COM3").
struct BatchEntry
{
    QString name;
    QString line;
};

// The configurations a batch reads, in the order given (or the list box's order for
// --all), each with its line. False with a message when a name is not in the file or
// no configuration is named.
bool PlanBatch(const BatchOptions& options, const QString& iniPath, QList<BatchEntry>& plan,
               QString& error);

// `orvekdata batch`: every configuration read as `orvekdata read --config NAME` would,
// each in a process of its own, the configurations of one line one after another and
// different lines at the same time, at most options.jobs at once. program is the
// orvekdata executable; interrupts() counts the Ctrl+C presses so far. Returns the
// exit code: 0 all read, 1 any failed or aborted, 2 bad usage.
int RunBatchCommand(const BatchOptions& options, const QString& program, FILE* out, FILE* err,
                    const std::function<int()>& interrupts);
