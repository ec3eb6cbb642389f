#pragma once

#include "ReadoutFrontEnd.h"

#include <QDate>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <optional>

class IniFile;
struct GeneralSettings;

// `orvekdata read`: the Read button without the window. Options are kept as given so
// that a saved configuration can be loaded first and then overridden by them.
struct ReadOptions
{
    QString home;
    std::optional<QString> config;
    std::optional<QString> tcpHost;
    int tcpPort = 0;
    std::optional<QString> port;
    std::optional<QString> speed;
    std::optional<int> family;
    std::optional<QString> addresses;
    std::optional<QDate> from;
    std::optional<QStringList> archives; // hour, day, month, integral, emergency
    std::optional<QStringList> logs;     // event, protected
    std::optional<QString> dialString;
    bool mbus = false;
    bool showLog = false;
    bool help = false;
    std::optional<QString> report; // a copy of the read-out report
    std::optional<int> sendPause;  // ms
    std::optional<int> replyPause; // ms
    // For orvekdata batch: put before every line of the log file, and where the child
    // leaves what the summary needs.
    QString logPrefix;
    std::optional<QString> status;
};

// Options of the headless commands: "--name value" or "--name=value".
bool IsOption(const QString& arg, const QString& name);
// The value of the option at args[i], the next argument unless given after "=";
// i moves past it. False with a message when none follows.
bool TakeValue(const QStringList& args, qsizetype& i, const QString& name, QString& value,
               QString& error);

// --from's value: a date YYYY-MM-DD in the years the meters hold.
bool TakeFromDate(const QStringList& args, qsizetype& i, std::optional<QDate>& from,
                  QString& error);

// A pause option's value: a whole number of milliseconds, 0 to 60000.
bool TakePause(const QStringList& args, qsizetype& i, const QString& name,
               std::optional<int>& pause, QString& error);

// The arguments after "read". False with a message for the user on bad usage.
bool ParseReadOptions(const QStringList& args, ReadOptions& options, QString& error);

// The settings a read-out starts from: [General] (port and speed), then the saved
// configuration, then the options. False with a message when the configuration is
// not in the file. The boxes the family lacks are cleared when the job is made, as the
// window clears them.
bool BuildReadSettings(const ReadOptions& options, const IniFile& ini,
                       const GeneralSettings& general, const QDate& today,
                       ReadoutSettings& settings, QString& error);

extern const char ReadUsage[];

// Runs one read-out in the program folder and returns the exit code: 0 when nothing
// failed, 1 when a failure was reported or the read-out was interrupted, 2 on bad
// usage. Memo lines go to out, error messages to err. interrupted is polled while the
// read-out waits for the line; once it gives true the read-out is aborted as the
// Abort button would.
int RunReadCommand(const ReadOptions& options, FILE* out, FILE* err,
                   const std::function<bool()>& interrupted);
