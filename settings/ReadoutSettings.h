#pragma once

#include <QDate>
#include <QString>

// The settings a read-out works with, as the window's controls give them. The read-out
// takes the connection settings, the address text, ShowLog and ReplyDelay once at its
// start; the family and the archive and log boxes each time their step is reached, so
// a front end may change those while a read-out runs.
struct ReadoutSettings
{
    QString configuration;                      // the saved configuration loaded, if any
    QString addressText;                        // edAddress
    bool useTcp = false;                        // cbTCP
    QString tcpHost;                            // edADDR
    int tcpPort = 4001;                         // sePort
    QString comPort;                            // cbCOM
    QString comSpeed = QStringLiteral("19200"); // cbSpeed
    bool echo = false;                          // cbEcho ("M-Bus")
    bool showLog = false;                       // cbShowLog
    bool modem = false;                         // cbModem
    QString dialString;                         // edModem
    int family = 0;                             // cbDevice: DeviceFamily
    QDate startDate;                            // dtBegin
    bool archiveHourly = false;                 // cbArcHour
    bool archiveDaily = false;                  // cbArcDay
    bool archiveMonthly = false;                // cbArcMonth
    bool archiveIntegral = false;               // cbArcInt
    bool archiveEmergency = false;              // cbArcEDay
    bool eventLog = false;                      // cbLog
    bool protectedLog = false;                  // cbLogZ
    // The line's pace ([General] SendPause and ReplyPause, or the options): the quiet
    // time before every request, and after every good reply; -1 is the line's own, 50 ms
    // or 250 ms on an echoing M-Bus line.
    int sendPause = 100;
    int replyPause = -1;

    int ReplyPause() const { return replyPause >= 0 ? replyPause : (echo ? 250 : 50); }
};

// The years a meter can be asked to read from: it holds year - 2000 in one byte.
inline constexpr int MeterYearFirst = 2000;
inline constexpr int MeterYearLast = 2254;
