#pragma once

#include "DeviceDriver.h"
#include "LineConfig.h"
#include "ReadoutPlan.h"
#include "ReadoutReport.h"
#include "RecordLoop.h"
#include "ResultCode.h"

#include <QDateTime>
#include <QString>

#include <functional>

class CancelToken;
class ExchangeLog;
class ExportFiles;
class Line;
class Modem;
class ModbusMaster;
class SessionEvents;

// One press of the Read button: opens the line, dials when asked to, then reads every
// device of the address list and writes its configuration, archives and logs. Owns only
// the per-device tables; everything else belongs to its ReadoutSession.
class Readout
{
public:
    using Clock = std::function<QDateTime()>;

    struct Parts
    {
        ExchangeLog& log;
        Line& line;
        ModbusMaster& master;
        Modem& modem;
        DriverContext& context;
        DriverSet& drivers;
        ExportFiles& files;
        SessionEvents& events;
        CancelToken& cancel;
    };

    // The clock is the computer's, as the report compares the meters' clocks with it.
    Readout(const Parts& parts, const LineConfig& line, const PlanSource& plan,
            Clock clock = &QDateTime::currentDateTime);

    // Runs the whole read-out and returns when it has ended; the export file and the
    // line are closed however it ends.
    void DoDevice();

    // What the last read-out brought home: one row per device of its address list
    // (none when the list could not be read).
    const ReadoutReport& LastReport() const { return m_report; }

    // What a step of the read-out tells the device loop to do next: go on with this
    // device, go to the next one (a failure already shown and logged), or end the
    // read-out (a file not made or written, or an abort seen).
    enum class Outcome { GoOn, NextDevice, End };

    // The current device, as the last read-out left it.
    QString DeviceName;
    QString SerialNumber;
    QDateTime DeviceClock;
    ArchiveLayout Layout{};
    ParameterNames Names;
    QString ArchiveHeaderLine;

    // DeviceClock as the log shows it: the regional short date and long time, the
    // time left out when it is midnight exactly.
    static QString ClockText(const QDateTime& clock);
    // The word of the configuration file for a slot's kind.
    static QString TypeWord(ParameterKind kind);

private:
    void ReadDevices();
    bool Dial(const QString& dialString);
    // The report's part: the first failure shown for the current device (or the read-out
    // when no device is current), an abort seen, a clock read, an archive or log begun.
    void NoteFailure(const QString& text);
    void NoteAborted();
    void NoteClock(const QDateTime& meterClock);
    SourceReport& BeginSource(const QString& title, SourceReport::Period period);
    Outcome ReadOneDevice(quint8 address);
    Outcome ExportConfiguration();
    Outcome ExportArchive(ArchiveKind kind);
    Outcome ExportLog(bool protectedLog);
    // How an archive and a log differ once their records are read.
    struct SourceRules
    {
        // An archive: an abort goes on to the next device, a later failure ends the
        // device, the file gets its copy.
        bool archive;
        // The code whose message carries the decoding detail (Ok: none).
        ResultCode decodeError;
        bool detailOnLaterFailure;
    };
    Outcome Conclude(const RecordLoopEnd& end, const SourceRules& rules);
    void EndReadout();
    void Report(ResultCode code);
    void ShowAndLog(const QString& text);
    // A file could not be written or closed, or its copy made.
    void IoFailure(int systemCode);
    // False after an export file could not be closed (told already).
    bool CloseFile();
    DeviceDriver& Driver() const;
    QDateTime StartDate() const;
    RecordLoop Loop();

    ExchangeLog& m_log;
    Line& m_line;
    ModbusMaster& m_master;
    Modem& m_modem;
    DriverContext& m_context;
    DriverSet& m_drivers;
    ExportFiles& m_files;
    SessionEvents& m_events;
    CancelToken& m_cancel;
    LineConfig m_lineConfig;
    const PlanSource& m_planSource;
    Clock m_clock;
    // The plan as the current device reads it.
    ReadoutPlan m_plan;
    ArchiveRecord m_archiveRecord;
    LogRecord m_logRecord;
    ReadoutReport m_report;
    DeviceReport* m_device = nullptr; // in m_report, while a device is read
    QString m_readoutFailure;
};
