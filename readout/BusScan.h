#pragma once

#include "ResultCode.h"

#include <QDateTime>
#include <QString>

#include <functional>

#include "LineConfig.h"

class DriverSet;
class ModbusMaster;
class ReadoutSession;
struct DriverContext;

// What answers at one address.
struct FoundMeter
{
    int address = 0;
    int family = -1; // -1: something answers, but no family's identity fits
    QString device;  // the read-out's device name, or what the meter answered
    QString serial;
    QDateTime clock;
    qint64 drift = 0; // meter minus computer, s
    bool clockRead = false;
};

// Asks one address which family it is, through the drivers' own identity reads; false
// when nothing answers. A meter of one family is never taken for another: the ОРВЕК
// families answer their model register with their model number, an ИЛЬМ its own input
// register; a meter that answers the model register with an exception is asked what
// tells the families apart (the ИЛЬМ model, then each ОРВЕК family's serial number).
bool IdentifyAddress(DriverSet& drivers, DriverContext& context, int address,
                     const std::function<QDateTime()>& now, FoundMeter& found);

// True when the master's last reply began with its own request: a line that echoes.
bool ReplyEchoesRequest(const ModbusMaster& master);

// A scan of a bus over a session's line: short waits and one try per address, so that a
// silent address costs one wait. The session serves the scan alone and closes its line
// when the scan ends.
class BusScan
{
public:
    static constexpr int DefaultWaitMs = 100;
    static constexpr int DefaultSendPauseMs = 10;

    BusScan(ReadoutSession& session, const LineConfig& line, int waitMs = DefaultWaitMs,
            int sendPauseMs = DefaultSendPauseMs);
    ~BusScan();
    BusScan(const BusScan&) = delete;
    BusScan& operator=(const BusScan&) = delete;

    // The line's own settings with the scan's waits.
    static LineConfig ScanLine(const LineConfig& line, int waitMs, int sendPauseMs);

    // Sets the line up and opens it: InvalidParameter for a port or speed that cannot be,
    // Rc::Aborted when the abort ended the connect.
    ResultCode Open();
    // An echoing line hands back every request ahead of any answer, whether or not a
    // meter is there, and its echo could pass for an answer later; one request at the
    // first address tells. True when the line echoes: the scan then goes on as on an
    // M-Bus line.
    bool DetectEcho(int firstAddress);
    bool Identify(int address, FoundMeter& found,
                  const std::function<QDateTime()>& now = &QDateTime::currentDateTime);

private:
    ReadoutSession& m_session;
    LineConfig m_line;
};

// "5 17 200", runs of three or more as "6-11": a text the address field reads back.
QString AddressListText(const QList<int>& addresses);
