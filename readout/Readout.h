#pragma once

#include "DeviceDriver.h"
#include "ReadoutReport.h"
#include "ResultCode.h"

#include <QDateTime>
#include <QString>

#include <functional>

class Channel;
class ExchangeLog;
class ExportFiles;
class Modem;
class ModbusMaster;
class ReadoutFrontEnd;
struct ReadoutSettings;

// One press of the Read button: opens the line, dials when asked to, then reads every
// device of the address list and writes its configuration, archives and logs. Owns
// only the per-device tables; everything else belongs to its ReadoutJob.
class Readout
{
public:
    using Clock = std::function<QDateTime()>;

    // The clock is the computer's, as the report compares the meters' clocks with it.
    Readout(ExchangeLog& log, Channel& channel, ModbusMaster& master, Modem& modem,
            DriverContext& context, DriverSet& drivers, ExportFiles& files,
            ReadoutFrontEnd& frontEnd, ReadoutSettings& settings,
            Clock clock = &QDateTime::currentDateTime);

    // Runs the whole read-out and returns when it has ended; the export file and the
    // channel are closed however it ends. Clears the abort flag as it starts.
    void DoDevice();
    // The Abort button: seen in the dialing wait, after the parameter names and before
    // each archive or log record.
    void RequestAbort();

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
    struct RecordSource;

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
    void EndReadout();
    void Report(ResultCode code);
    void ShowAndLog(const QString& text);
    // A line of an export file could not be written or the file not closed.
    void IoFailure(int systemCode);
    DeviceDriver& Driver() const;
    QDateTime StartDate() const;
    // The first or the next record of an archive or log, exactly once: a lost read that
    // moved the device is followed by positioning it again after the last record written.
    ResultCode ReadRecord(RecordSource& source, bool first);
    ResultCode Reposition(RecordSource& source, ResultCode lost);
    // Reads past what was written already; lost is set when a read that moved the device
    // failed in a way that leaves the position unknown.
    ResultCode SkipWritten(RecordSource& source, bool& lost);
    bool PositionLost(ResultCode code, bool first) const;

    ExchangeLog& m_log;
    Channel& m_channel;
    ModbusMaster& m_master;
    Modem& m_modem;
    DriverContext& m_context;
    DriverSet& m_drivers;
    ExportFiles& m_files;
    ReadoutFrontEnd& m_frontEnd;
    ReadoutSettings& m_settings;
    Clock m_clock;
    ArchiveRecord m_archiveRecord;
    LogRecord m_logRecord;
    ReadoutReport m_report;
    DeviceReport* m_device = nullptr; // in m_report, while a device is read
    QString m_readoutFailure;
};
