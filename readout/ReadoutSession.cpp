#include "ReadoutSession.h"

#include "Channel.h"
#include "ExchangeLog.h"

std::unique_ptr<Line> MakeChannel(LogSink& log)
{
    return std::make_unique<Channel>(log);
}

ReadoutSession::ReadoutSession(const QString& programDir, ExchangeLog& log, SessionEvents& events,
                               const LineConfig& lineConfig, const PlanSource& plan,
                               ExportFiles::Clock clock, ExportFiles::TickSource tick,
                               std::unique_ptr<Line> ownLine)
    : lineOwned(ownLine ? std::move(ownLine) : MakeChannel(log)), line(*lineOwned),
      master(line, log), modem(line, log), context(master, log), drivers(context),
      files(log, programDir, clock, std::move(tick)),
      readout(Readout::Parts{log, line, master, modem, context, drivers, files, events, cancel},
              lineConfig, plan, clock),
      m_programDir(programDir)
{
    line.SetCancelToken(&cancel);
}

int ReadoutSession::Run(const QString& reportCopy)
{
    ReportPath.clear();
    ReportError = 0;
    files.BeginReadout();
    readout.DoDevice();
    const ReadoutReport& report = readout.LastReport();
    if (report.devices.isEmpty())
        return 0;
    ReportError = WriteReport(m_programDir, report, ClockDriftLimit, ReportPath);
    if (reportCopy.isEmpty())
        return 0;
    // The copy too is whole or absent.
    return SystemFile::WriteAllVia(ExportFiles::TemporaryName(reportCopy), reportCopy,
                                   ReportCsv(report, ClockDriftLimit));
}
