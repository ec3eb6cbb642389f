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
    const QByteArray csv = ReportCsv(report, ClockDriftLimit);
    const QString path = ClaimReportPath(m_programDir, report.started);
    if (!path.isEmpty() && SystemFile::WriteAll(path, csv) == 0)
        ReportPath = path;
    else
        ReportLost = true;
    return reportCopy.isEmpty() ? 0 : SystemFile::WriteAll(reportCopy, csv);
}

const DeviceDriver& ReadoutJob::DriverFor(int family) const
{
    return drivers.For(DeviceFamily(family));
}
