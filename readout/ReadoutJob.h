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

    // In the order they are built; each stands on the ones before it.
    Channel channel;
    ModbusMaster master;
    Modem modem;
    DriverContext context;
    DriverSet drivers;
    ExportFiles files;
    Readout readout;
};
