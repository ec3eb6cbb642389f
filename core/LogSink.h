#pragma once

#include <QString>

// Where the line, the master and the drivers put what they have to say: the exchange
// log, a test's recorder.
class LogSink
{
public:
    virtual ~LogSink() = default;

    // One entry of the exchange log, stamped as the log stamps it.
    virtual void AddLogLine(const QString& text) = 0;
    // A progress mark or separator for the window's memo only; the log file never
    // gets it.
    virtual void AddMemoMark(const QString& mark) = 0;
};
