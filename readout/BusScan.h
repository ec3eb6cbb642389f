#pragma once

#include "ResultCode.h"

#include <QDateTime>
#include <QString>

#include <functional>

class Channel;
class DriverSet;
class ModbusMaster;
class ReadoutJob;
struct DriverContext;
struct ReadoutSettings;

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

// The log's line naming the line: "Порт 5020 по IP адресу 10.0.0.7", "Порт COM3 скорость
// 9600".
QString LineLogText(const ReadoutSettings& settings);

// Sets the line of a job from the settings: the gateway or the serial port and its
// speed, the pauses and whether the line echoes. InvalidParameter, with nothing changed, for a TCP
// port beyond 1..65535 or a speed that is no whole number above 0.
ResultCode ApplyLineSettings(const ReadoutSettings& settings, Channel& channel,
                             ModbusMaster& master);

// A scan of a bus over a job's line: short waits and one try per address, so that a
// silent address costs one wait. The master's own waits come back when the scan ends,
// as the window's job goes on to read-outs.
class BusScan
{
public:
    static constexpr int DefaultWaitMs = 100;
    static constexpr int DefaultSendPauseMs = 10;

    BusScan(ReadoutJob& job, const ReadoutSettings& settings, int waitMs = DefaultWaitMs,
            int sendPauseMs = DefaultSendPauseMs);
    ~BusScan();
    BusScan(const BusScan&) = delete;
    BusScan& operator=(const BusScan&) = delete;

    // Applies the line settings and opens the line.
    ResultCode Open();
    // An echoing line hands back every request ahead of any answer, whether or not a
    // meter is there, and its echo could pass for an answer later; one request at the
    // first address tells. True when the line echoes: the scan then goes on as on an
    // M-Bus line.
    bool DetectEcho(int firstAddress);
    bool Identify(int address, FoundMeter& found,
                  const std::function<QDateTime()>& now = &QDateTime::currentDateTime);

private:
    ReadoutJob& m_job;
    const ReadoutSettings& m_settings;
    int m_waitMs;
    int m_sendPauseMs;
    struct Saved
    {
        int globalTimeOut, globalTry, sendPause, retryPause, replyDelay;
        bool echoSkip;
    } m_saved;
};

// "5 17 200", runs of three or more as "6-11": a text the address field reads back.
QString AddressListText(const QList<int>& addresses);
