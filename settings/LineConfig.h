#pragma once

#include <QString>

// Everything about the line a read-out (or a scan, or the manual register request)
// talks on, as one value: built once from [General], the saved configuration and the
// options, checked, and handed to the channel, the master and the modem in one place.
struct LineConfig
{
    // The gateway, or the serial port and its speed.
    bool tcp = false;
    QString tcpHost; // dotted IPv4 text
    int tcpPort = 0;
    QString comPort; // COM3, ttyUSB0, a device path
    int baudRate = 19200;

    int globalTimeOut = 1200; // ms until the first byte of a reply
    int localTimeOut = 50;    // ms of silence that ends a reply
    int globalTry = 5;        // send attempts per request
    int sendPause = 100;      // ms of quiet before every request
    int replyPause = -1;      // ms after every good reply; -1: the line's own (ReplyPause)
    int retryPause = 200;     // ms after a failed attempt
    bool echo = false;        // the line returns our own requests first (M-Bus)
    int showLog = 0;          // > 0: every frame dumped in hex into the exchange log

    // How the exchange log names the line ("Порт COM3 скорость 9600", the speed as typed)
    // and how the read-out report does ("COM3 9600", "10.0.0.7:4001").
    QString logText;
    QString reportText;

    // 50 ms after a good reply, 250 ms on an echoing M-Bus line, unless one was asked for.
    int ReplyPause() const { return replyPause >= 0 ? replyPause : (echo ? 250 : 50); }

    // How long a gateway may take to accept the connection: as long as a request may
    // take for all its attempts, and never less than a second.
    int ConnectTimeoutMs() const
    {
        const long long limit =
            (long long)(globalTimeOut > 0 ? globalTimeOut : 0) * (globalTry > 1 ? globalTry : 1);
        return limit < 1000 ? 1000 : limit > 600000 ? 600000 : int(limit);
    }

    bool operator==(const LineConfig&) const = default;
};
