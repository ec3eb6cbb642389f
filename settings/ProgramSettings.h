#pragma once

#include "IniFile.h"
#include "ReadoutSettings.h"

#include <QString>
#include <QStringList>

// programDir as ProgramDir gives it, with its trailing separator.
QString IniPath(const QString& programDir);

// The program-wide section. Its name is no saved configuration.
inline const QString GeneralSection = QStringLiteral("General");

// [General]: the line settings, which only the file changes, and what the window last
// showed. The defaults are those of a first start without a settings file.
struct GeneralSettings
{
    int showLog = 0;                            // ShowLog: frames dumped in hex when > 0
    int globalTimeOut = 1200;                   // GlobalTimeOut, ms
    int localTimeOut = 50;                      // LocalTimeOut, ms
    int globalTry = 5;                          // GlobalTry
    QString comPort;                            // ComPort
    QString comSpeed = QStringLiteral("19200"); // ComSpeed
    // Read only, never written: a meter clock further off than this many seconds is
    // marked in the read-out report.
    int clockDriftLimit = 300; // ClockDriftLimit
    // Read only as well: the line's pauses in ms; a missing key keeps the line's own.
    int sendPause = 100; // SendPause
    int replyPause = -1; // ReplyPause: -1 for 50 ms, 250 ms on an M-Bus line

    bool operator==(const GeneralSettings&) const = default;
};

GeneralSettings ReadGeneralSettings(const IniFile& ini);
// ShowLog, GlobalTimeOut, LocalTimeOut, GlobalTry, ComPort, ComSpeed, in this order.
bool WriteGeneralSettings(IniFile& ini, const GeneralSettings& settings);

// Every section but General, in the order of a sorted list box.
QStringList ConfigurationNames(const IniFile& ini);

// The seventeen keys named after the window's controls (cbCOM … cbLogZ). A missing key
// reads as an empty text, an unticked box, family 0 or port 0; showLog and startDate
// are not part of a configuration and stay as they are.
void ReadConfiguration(const IniFile& ini, const QString& section, ReadoutSettings& settings);
// Boxes as "1" or "0", numbers in decimal, texts as they stand; other keys of the
// section stay.
bool WriteConfiguration(IniFile& ini, const QString& section, const ReadoutSettings& settings);
