#include "ReadoutJob.h"

ReadoutJob::ReadoutJob(const QString& programDir, ExchangeLog& log, ReadoutFrontEnd& frontEnd,
                       ReadoutSettings& settings, ExportFiles::Clock clock,
                       ExportFiles::TickSource tick)
    : channel(log), master(channel, log), modem(master), context(master, log), drivers(context),
      files(log, programDir, std::move(clock), std::move(tick)),
      readout(log, channel, master, modem, context, drivers, files, frontEnd, settings)
{}

const DeviceDriver& ReadoutJob::DriverFor(int family) const
{
    return drivers.For(DeviceFamily(family));
}
