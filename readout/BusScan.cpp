#include "BusScan.h"

#include "DeviceDriver.h"
#include "ModbusMaster.h"
#include "ReadoutPlan.h"
#include "ReadoutSession.h"

#include <algorithm>
#include <array>

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
    using Outcome = Identity::Outcome;

    const Identity first = orvek.Identify();
    if (first.code == Rc::NoReply || first.code == Rc::Aborted)
        return false; // one short wait for a silent address
    Identity named = first;
    if (first.outcome == Outcome::Known) {
        found.family = FamilyOrvek307;
    } else if (first.outcome == Outcome::UnknownModel) {
        // Another model number: an ОРВЕК-213/223 names itself through its own driver.
        const Identity other = orvek213.Identify();
        if (other.outcome == Outcome::Known) {
            found.family = FamilyOrvek213;
            named = other;
        }
    }
    if (found.family < 0) {
        const Identity own = ilm.Identify();
        if (own.outcome == Outcome::Known) {
            found.family = FamilyIlm;
            named = own;
        }
    }
    if (found.family < 0 && first.outcome == Outcome::Unnamed) {
        // The model register is unknown to the meter: an early meter of either ОРВЕК
        // family. Their serial numbers sit in different registers.
        QString serial;
        if (orvek.ReadSerialNumber(serial) == Rc::Ok) {
            found.family = FamilyOrvek307;
        } else if (orvek213.Identify().code == Rc::Ok &&
                   orvek213.ReadSerialNumber(serial) == Rc::Ok) {
            found.family = FamilyOrvek213;
        }
        named = first;
    }
    if (found.family < 0) {
        found.device = ResultCodeText(first.code);
        if (first.code == Rc::UnknownDevice)
            found.device += QStringLiteral(": ") + first.name;
        return true;
    }
    DeviceDriver& driver = drivers.For(DeviceFamily(found.family));
    found.device = named.name;
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

BusScan::BusScan(ReadoutSession& session, const LineConfig& line, int waitMs, int sendPauseMs)
    : m_session(session), m_line(ScanLine(line, waitMs, sendPauseMs))
{}

BusScan::~BusScan()
{
    m_session.line.CloseChannel();
}

LineConfig BusScan::ScanLine(const LineConfig& line, int waitMs, int sendPauseMs)
{
    LineConfig scan = line;
    scan.globalTimeOut = waitMs;
    scan.globalTry = 1;
    scan.sendPause = sendPauseMs;
    scan.retryPause = 0;
    return scan;
}

ResultCode BusScan::Open()
{
    if (!LineConfigUsable(m_line))
        return Rc::InvalidParameter;
    m_session.line.Configure(m_line);
    m_session.master.Configure(m_line);
    return m_session.line.OpenChannel();
}

bool BusScan::DetectEcho(int firstAddress)
{
    ModbusMaster& master = m_session.master;
    if (m_line.echo)
        return false;
    std::array<quint8, 8> probe{};
    quint16 count = 1;
    master.ReadHoldingRegisters(quint8(firstAddress), 1800, count, probe);
    if (!ReplyEchoesRequest(master))
        return false;
    m_line.echo = true;
    master.Configure(m_line);
    return true;
}

bool BusScan::Identify(int address, FoundMeter& found, const std::function<QDateTime()>& now)
{
    return IdentifyAddress(m_session.drivers, m_session.context, address, now, found);
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
