#include "ReadoutJob.h"

#include "ExchangeLog.h"

ReadoutJob::ReadoutJob(const QString& programDir, ExchangeLog& log, ReadoutFrontEnd& frontEnd,
                       ReadoutSettings& settings, ExportFiles::Clock clock,
                       ExportFiles::TickSource tick)
    : channel(log), master(channel, log), modem(master), context(master, log), drivers(context),
      files(log, programDir, clock, std::move(tick)),
      readout(log, channel, master, modem, context, drivers, files, frontEnd, settings, clock),
      m_programDir(programDir)
{}

int ReadoutJob::Run(const QString& reportCopy)
{
    ReportPath.clear();
    ReportLost = false;
    files.BeginReadout();
    readout.DoDevice();
    const ReadoutReport& report = readout.LastReport();
    if (report.devices.isEmpty())
        return 0;
    ReportLost = WriteReport(m_programDir, report, ClockDriftLimit, ReportPath) != 0;
    return reportCopy.isEmpty()
               ? 0
               : SystemFile::WriteAll(reportCopy, ReportCsv(report, ClockDriftLimit));
}

const DeviceDriver& ReadoutJob::DriverFor(int family) const
{
    return drivers.For(DeviceFamily(family));
}
