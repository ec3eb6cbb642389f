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

// A value out of the range a line can work with (a negative time-out, a pause of days)
// reads as its default, and warnings, when given, gets a message naming the key, the
// value and the file. A value that is no number reads as the default without one.
GeneralSettings ReadGeneralSettings(const IniFile& ini, QStringList* warnings = nullptr);
GeneralSettings ReadGeneralSettings(const IniSnapshot& ini, QStringList* warnings = nullptr);
// ShowLog, GlobalTimeOut, LocalTimeOut, GlobalTry, ComPort, ComSpeed, in this order.
bool WriteGeneralSettings(IniFile& ini, const GeneralSettings& settings);

// Every section but General, in the order of a sorted list box.
QStringList ConfigurationNames(const IniFile& ini);
QStringList ConfigurationNames(const IniSnapshot& ini);

// The longest configuration name taken for a real one.
inline constexpr int MaxConfigurationName = 255;
// Why a name cannot be a real configuration's (a damaged or foreign file): it holds
// control characters, or is longer than MaxConfigurationName. Empty when it can be.
QString ConfigurationNameFault(const QString& name);
// A name from the file as it may be printed: control characters as \xNN, never raw to
// a terminal, and a name longer than MaxConfigurationName cut short.
QString PrintableName(const QString& name);

// The seventeen keys named after the window's controls (cbCOM … cbLogZ). A missing key
// reads as an empty text, an unticked box, family 0 or port 0; showLog and startDate
// are not part of a configuration and stay as they are.
void ReadConfiguration(const IniFile& ini, const QString& section, ReadoutSettings& settings);
void ReadConfiguration(const IniSnapshot& ini, const QString& section, ReadoutSettings& settings);
// Boxes as "1" or "0", numbers in decimal, texts as they stand; other keys of the
// section stay.
bool WriteConfiguration(IniFile& ini, const QString& section, const ReadoutSettings& settings);
