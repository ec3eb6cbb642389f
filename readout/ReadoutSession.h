#pragma once

#include "CancelToken.h"
#include "DeviceDriver.h"
#include "ExportFiles.h"
#include "Line.h"
#include "LineConfig.h"
#include "ModbusMaster.h"
#include "Modem.h"
#include "Readout.h"
#include "ReadoutPlan.h"

#include <memory>

class ExchangeLog;
class SessionEvents;

// One read-out's objects, made and wired in one place: the line, the master on it, the
// modem, the drivers of every family, the export files under the program folder and the
// read-out over them all. Run() does its work on the calling thread with blocking I/O
// whose every wait ends at a deadline or at RequestAbort(): the window runs a session on
// a thread of its own (SessionThread), the command line on its main thread, a test where
// it likes. A session shares nothing with another (no globals, no statics): several may
// run side by side, each on its own line. The log, the events and the plan belong to the
// caller and outlive the session.
class ReadoutSession
{
public:
    ReadoutSession(const QString& programDir, ExchangeLog& log, SessionEvents& events,
                   const LineConfig& line, const PlanSource& plan,
                   ExportFiles::Clock clock = &QDateTime::currentDateTime,
                   ExportFiles::TickSource tick = &ExportFiles::MillisecondTick,
                   std::unique_ptr<Line> ownLine = nullptr);
    ReadoutSession(const ReadoutSession&) = delete;
    ReadoutSession& operator=(const ReadoutSession&) = delete;

    // Runs the read-out and leaves its report beside its files (Reports/yyyy-mm-dd/
    // hhmmss.csv in the program folder), with a copy at reportCopy when one is asked
    // for. ReportPath names the report, or is empty when none could be written (the
    // address list was refused, or the folder could not be made). Returns 0, or the
    // system's error code when the copy could not be written.
    int Run(const QString& reportCopy = QString());
    QString ReportPath;
    // Devices were asked, but their report could not be put in the report folder: the
    // system's error code of that, 0 when it was.
    int ReportError = 0;
    bool ReportLost() const { return ReportError != 0; }
    // A meter clock further off than this many seconds is marked in the report.
    int ClockDriftLimit = 300;

    // The Abort button, Ctrl+C: the read-out stops at its next safe point, and a wait on
    // the line in progress ends at once. Safe from any thread and from a signal handler.
    void RequestAbort()
    {
        // The flag first: whoever sees a wait ended by the token sees the abort too.
        context.AbortRequested.store(true);
        cancel.Cancel();
    }
    bool AbortRequested() const { return context.AbortRequested.load(); }

    const ReadoutReport& LastReport() const { return readout.LastReport(); }

    // In the order they are built; each stands on the ones before it.
    CancelToken cancel;
    std::unique_ptr<Line> lineOwned;
    Line& line;
    ModbusMaster master;
    Modem modem;
    DriverContext context;
    DriverSet drivers;
    ExportFiles files;
    Readout readout;

private:
    QString m_programDir;
};

// A channel (serial port or gateway) with the session's log, for ReadoutSession.
std::unique_ptr<Line> MakeChannel(LogSink& log);
