#include "ReadoutPlan.h"

#include "ProgramSettings.h"

ReadoutPlan PlanFrom(const ReadoutSettings& s)
{
    ReadoutPlan plan;
    plan.configuration = s.configuration;
    plan.addressText = s.addressText;
    plan.family = s.family;
    plan.startDate = s.startDate;
    plan.archiveHourly = s.archiveHourly;
    plan.archiveDaily = s.archiveDaily;
    plan.archiveMonthly = s.archiveMonthly;
    plan.archiveIntegral = s.archiveIntegral;
    plan.archiveEmergency = s.archiveEmergency;
    plan.eventLog = s.eventLog;
    plan.protectedLog = s.protectedLog;
    plan.modem = s.modem;
    plan.dialString = s.dialString;
    return plan;
}

LineConfig LineConfigFrom(const ReadoutSettings& s, const GeneralSettings& general)
{
    LineConfig config;
    config.tcp = s.useTcp;
    config.tcpHost = s.tcpHost;
    config.tcpPort = s.tcpPort;
    config.comPort = s.comPort;
    bool ok = false;
    const int speed = s.comSpeed.trimmed().toInt(&ok);
    config.baudRate = ok ? speed : 0;
    config.globalTimeOut = general.globalTimeOut;
    config.localTimeOut = general.localTimeOut;
    config.globalTry = general.globalTry;
    config.sendPause = s.sendPause;
    config.replyPause = s.replyPause;
    config.echo = s.echo;
    config.showLog = s.showLog ? 1 : 0;
    config.logText = LineLogText(s);
    config.reportText =
        s.useTcp ? s.tcpHost + u':' + QString::number(s.tcpPort) : s.comPort + u' ' + s.comSpeed;
    return config;
}

bool LineConfigUsable(const LineConfig& config)
{
    if (config.tcp)
        return config.tcpPort >= 1 && config.tcpPort <= 65535;
    return config.baudRate > 0;
}

QString LineLogText(const ReadoutSettings& settings)
{
    if (settings.useTcp)
        return QStringLiteral("Порт ") + QString::number(settings.tcpPort) +
               QStringLiteral(" по IP адресу ") + settings.tcpHost;
    return QStringLiteral("Порт ") + settings.comPort + QStringLiteral(" скорость ") +
           settings.comSpeed;
}
