#pragma once

#include "Channel.h"
#include "DeviceDriver.h"
#include "ExportFiles.h"
#include "ModbusMaster.h"
#include "Modem.h"
#include "Readout.h"

class ExchangeLog;
class ReadoutFrontEnd;
struct ReadoutSettings;

// One read-out's objects, made and wired in one place: the line, the master on it, the
// modem, the drivers of the three families, the export files under the program folder
// and the read-out over them all. Everything a job holds is its own, so several jobs
// may run side by side, each on its own line. The log, the front end and the settings
// belong to the caller and outlive the job.
class ReadoutJob
{
public:
    ReadoutJob(const QString& programDir, ExchangeLog& log, ReadoutFrontEnd& frontEnd,
               ReadoutSettings& settings, ExportFiles::Clock clock = &QDateTime::currentDateTime,
               ExportFiles::TickSource tick = &ExportFiles::MillisecondTick);
    ReadoutJob(const ReadoutJob&) = delete;
    ReadoutJob& operator=(const ReadoutJob&) = delete;

    // The driver of a family, as the read-out would pick it.
    const DeviceDriver& DriverFor(int family) const;

    // Runs the read-out and leaves its report beside its files (Reports/yyyy-mm-dd/
    // hhmmss.csv in the program folder), with a copy at reportCopy when one is asked
    // for. ReportPath names the report, or is empty when none could be written (the
    // address list was refused, or the folder could not be made). Returns 0, or the
    // system's error code when the copy could not be written.
    int Run(const QString& reportCopy = QString());
    QString ReportPath;
    // Devices were asked, but their report could not be put in the report folder.
    bool ReportLost = false;
    // A meter clock further off than this many seconds is marked in the report.
    int ClockDriftLimit = 300;

    // In the order they are built; each stands on the ones before it.
    Channel channel;
    ModbusMaster master;
    Modem modem;
    DriverContext context;
    DriverSet drivers;
    ExportFiles files;
    Readout readout;

private:
    QString m_programDir;
};
