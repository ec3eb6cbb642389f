#include "BusScan.h"

#include "Channel.h"
#include "DeviceDriver.h"
#include "ModbusMaster.h"
#include "ProgramSettings.h"
#include "ReadoutJob.h"

#include <algorithm>
#include <array>

namespace {

// The ОРВЕК families' name when the model register answers exception 2.
const QString UnnamedModel = QStringLiteral("ОРВЕК-30x");

} // namespace

bool ReplyEchoesRequest(const ModbusMaster& master)
{
    const int length = master.RequestLength;
    return length > 0 && master.ReplyLength >= length &&
           std::equal(master.RequestFrame.begin(), master.RequestFrame.begin() + length,
                      master.ReplyFrame.begin());
}

bool IdentifyAddress(DriverSet& drivers, DriverContext& context, int address,
                     const std::function<QDateTime()>& now, FoundMeter& found)
{
    found = FoundMeter();
    found.address = address;
    context.DeviceAddress = BusAddress(address);
    DeviceDriver& orvek = drivers.For(FamilyOrvek307);
    DeviceDriver& orvek213 = drivers.For(FamilyOrvek213);
    DeviceDriver& ilm = drivers.For(FamilyIlm);

    QString name;
    const ResultCode first = orvek.IdentifyDevice(name);
    if (first == Rc::NoReply)
        return false; // one short wait for a silent address
    const QString firstName = name;
    if (first == Rc::Ok && name != UnnamedModel) {
        found.family = FamilyOrvek307;
    } else if (first == Rc::UnknownDevice) {
        // Another model number: an ОРВЕК-213/223 names itself through its own driver.
        if (orvek213.IdentifyDevice(name) == Rc::Ok && name != UnnamedModel)
            found.family = FamilyOrvek213;
    }
    if (found.family < 0 && ilm.IdentifyDevice(name) == Rc::Ok) {
        found.family = FamilyIlm;
    } else if (found.family < 0 && first == Rc::Ok) {
        // The model register is unknown to the meter: an early meter of either ОРВЕК
        // family. Their serial numbers sit in different registers.
        QString serial;
        if (orvek.ReadSerialNumber(serial) == Rc::Ok) {
            found.family = FamilyOrvek307;
        } else if (orvek213.IdentifyDevice(name) == Rc::Ok &&
                   orvek213.ReadSerialNumber(serial) == Rc::Ok) {
            found.family = FamilyOrvek213;
        }
        name = UnnamedModel;
    }
    if (found.family < 0) {
        found.device = ResultCodeText(first);
        if (first == Rc::UnknownDevice)
            found.device += QStringLiteral(": ") + firstName;
        return true;
    }
    DeviceDriver& driver = drivers.For(DeviceFamily(found.family));
    found.device = name;
    driver.ReadSerialNumber(found.serial);
    QDateTime clock;
    if (driver.ReadDeviceClock(clock) == Rc::Ok) {
        const QDateTime computer = now();
        found.clockRead = true;
        found.clock = clock;
        found.drift = QDateTime(computer.date(), computer.time(), Qt::UTC)
                          .secsTo(QDateTime(clock.date(), clock.time(), Qt::UTC));
    }
    return true;
}

QString LineLogText(const ReadoutSettings& settings)
{
    if (settings.useTcp)
        return QStringLiteral("Порт ") + QString::number(settings.tcpPort) +
               QStringLiteral(" по IP адресу ") + settings.tcpHost;
    return QStringLiteral("Порт ") + settings.comPort + QStringLiteral(" скорость ") +
           settings.comSpeed;
}

ResultCode ApplyLineSettings(const ReadoutSettings& settings, Channel& channel,
                             ModbusMaster& master)
{
    if (settings.useTcp) {
        // A port beyond 16 bits would reach another port than the log names.
        if (settings.tcpPort < 1 || settings.tcpPort > 65535)
            return Rc::InvalidParameter;
        channel.TcpHost = settings.tcpHost;
        channel.TcpPort = quint16(settings.tcpPort);
    } else {
        // A speed that is no whole number would open the port at some arbitrary rate.
        bool ok = false;
        const int speed = settings.comSpeed.trimmed().toInt(&ok);
        if (!ok || speed <= 0)
            return Rc::InvalidParameter;
        channel.TcpHost.clear();
        channel.ComPortName = settings.comPort;
        channel.BaudRate = speed;
    }
    master.SendPauseMs = settings.sendPause;
    master.ReplyDelay = settings.ReplyPause();
    master.EchoSkip = settings.echo;
    return Rc::Ok;
}

BusScan::BusScan(ReadoutJob& job, const ReadoutSettings& settings, int waitMs, int sendPauseMs)
    : m_job(job), m_settings(settings), m_waitMs(waitMs), m_sendPauseMs(sendPauseMs)
{
    const ModbusMaster& master = job.master;
    m_saved = {master.GlobalTimeOut, master.GlobalTry,  master.SendPauseMs,
               master.RetryPauseMs,  master.ReplyDelay, master.EchoSkip};
}

BusScan::~BusScan()
{
    m_job.channel.CloseChannel();
    ModbusMaster& master = m_job.master;
    master.GlobalTimeOut = m_saved.globalTimeOut;
    master.GlobalTry = m_saved.globalTry;
    master.SendPauseMs = m_saved.sendPause;
    master.RetryPauseMs = m_saved.retryPause;
    master.ReplyDelay = m_saved.replyDelay;
    master.EchoSkip = m_saved.echoSkip;
}

ResultCode BusScan::Open()
{
    ModbusMaster& master = m_job.master;
    const ResultCode applied = ApplyLineSettings(m_settings, m_job.channel, master);
    if (applied != Rc::Ok)
        return applied;
    master.GlobalTimeOut = m_waitMs;
    master.GlobalTry = 1;
    master.SendPauseMs = m_sendPauseMs;
    master.RetryPauseMs = 0;
    return m_job.channel.OpenChannel();
}

bool BusScan::DetectEcho(int firstAddress)
{
    ModbusMaster& master = m_job.master;
    if (master.EchoSkip)
        return false;
    std::array<quint8, 8> probe{};
    quint16 count = 1;
    master.ReadHoldingRegisters(quint8(firstAddress), 1800, count, probe);
    if (!ReplyEchoesRequest(master))
        return false;
    ReadoutSettings echoing = m_settings;
    echoing.echo = true;
    master.EchoSkip = true;
    master.ReplyDelay = echoing.ReplyPause();
    return true;
}

bool BusScan::Identify(int address, FoundMeter& found, const std::function<QDateTime()>& now)
{
    return IdentifyAddress(m_job.drivers, m_job.context, address, now, found);
}

QString AddressListText(const QList<int>& addresses)
{
    QStringList parts;
    for (qsizetype i = 0; i < addresses.size();) {
        qsizetype j = i;
        while (j + 1 < addresses.size() && addresses[j + 1] == addresses[j] + 1)
            ++j;
        if (j - i >= 2) {
            parts.append(QStringLiteral("%1-%2").arg(addresses[i]).arg(addresses[j]));
        } else {
            for (qsizetype k = i; k <= j; ++k)
                parts.append(QString::number(addresses[k]));
        }
        i = j + 1;
    }
    return parts.join(u' ');
}
