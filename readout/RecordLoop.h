#pragma once

#include "ResultCode.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

class LogSink;

// One archive or log as the device serves it: how to set its start date and read its
// first or next record into the record in hand, and what that record holds.
struct RecordSource
{
    std::function<ResultCode(const QDateTime& start)> setStart;
    std::function<ResultCode(bool first)> read;
    std::function<bool()> none; // the record in hand is the end mark
    std::function<QDateTime()> time;
    std::function<QString()> text; // logs only; archives are told apart by time
    QDateTime startDate;
    bool hourly = false;
};

// How reading a source ended.
struct RecordLoopEnd
{
    enum class How {
        Read,        // to the end mark
        NoRecords,   // the first record was the end mark
        StartFailed, // the start date was refused (code)
        FirstFailed, // the first record failed (code)
        NextFailed,  // a later record failed (code); the records before it are written
        Aborted,     // the abort was seen before a record, or ended a wait
        WriteFailed, // the file took no more (writeError)
    };
    How how = How::Read;
    ResultCode code;
    int written = 0;
    int writeError = 0;
};

// The one loop that reads the records of an archive or a log into its file, every
// record exactly once. A read that moves the device on is sent once; when it fails on
// the line the device is positioned again after the last record written: an archive
// from the hour (hourly) or the day after it, so that the first-record read, which is
// safe to repeat, returns the next record; a log from that record's time, skipping what
// was written already by time and text, since events share times. As many rounds as a
// request has attempts; then the source ends with the failure after "Позиция чтения не
// восстановлена".
class RecordLoop
{
public:
    using MovesDevice = std::function<bool(bool first)>;
    // Writes the record in hand as the n-th (from 1); 0 or the system's error.
    using Writer = std::function<int(int n)>;

    RecordLoop(LogSink& log, const std::atomic<bool>& abortRequested, MovesDevice movesDevice,
               int rounds);

    RecordLoopEnd Run(const RecordSource& source, const Writer& write);

private:
    struct Position;

    ResultCode ReadRecord(const RecordSource& source, Position& at, bool first);
    ResultCode Reposition(const RecordSource& source, Position& at, ResultCode lost);
    // Reads past what was written already; lost is set when a read that moved the
    // device failed in a way that leaves the position unknown.
    ResultCode SkipWritten(const RecordSource& source, Position& at, bool& lost);
    bool PositionLost(ResultCode code, bool first) const;

    LogSink& m_log;
    const std::atomic<bool>& m_abort;
    MovesDevice m_movesDevice;
    int m_rounds;
};
