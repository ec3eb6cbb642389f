#pragma once

#include <QDate>
#include <QString>

#include <optional>

struct ReadoutReport;

// What one read-out is asked to do, as `orvekdata read --plan FILE` takes it: a JSON
// object in a UTF-8 file. Names and paths travel in a file, where a name of any length
// and any characters fits, never on a command line. Keys (null or missing: not given):
//   "version": 1
//   "configuration": the saved configuration to read (a text; required)
//   "from": the first day, "YYYY-MM-DD"
//   "sendPause", "replyPause": the line's pauses, whole milliseconds 0 to 60000
//   "logPrefix": put before every line the read-out adds to the day's log file
//   "report": where to write a copy of the read-out report
// Any other key is refused, so that a misspelt one is not silently left out.
struct ReadPlan
{
    QString configuration;
    std::optional<QDate> from;
    std::optional<int> sendPause;
    std::optional<int> replyPause;
    QString logPrefix;
    std::optional<QString> report;
};

// False with a message naming the file and what is wrong with it.
bool ReadReadPlan(const QString& path, ReadPlan& plan, QString& error);
bool WriteReadPlan(const QString& path, const ReadPlan& plan, QString& error);

// How a read-out ended, as `orvekdata read --result FILE` leaves it at its end, in a
// JSON object in a UTF-8 file:
//   "version": 1
//   "result": "read" (every device read), "failed" or "aborted"
//   "configuration": the saved configuration read, or null
//   "devicesRead", "devicesAsked", "filesWritten": whole numbers
//   "report": the read-out report in the program folder, or null when none was written
//   "firstFailure": the first failure a device met, or null
struct ReadResult
{
    enum class Outcome { Read, Failed, Aborted };

    Outcome outcome = Outcome::Failed;
    QString configuration;
    int devicesRead = 0;
    int devicesAsked = 0;
    int filesWritten = 0;
    QString report;
    QString firstFailure;
};

// "read", "failed", "aborted".
QString OutcomeText(ReadResult::Outcome outcome);

// What a read-out that has ended leaves: its report, whether a failure was shown and
// whether it was interrupted, and where its report went (empty: none).
ReadResult ResultOf(const ReadoutReport& report, bool failed, bool aborted,
                    const QString& reportPath);

bool ReadReadResult(const QString& path, ReadResult& result, QString& error);
// Written whole or not at all: a reader never meets half a result.
bool WriteReadResult(const QString& path, const ReadResult& result, QString& error);
