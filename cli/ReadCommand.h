#pragma once

#include "ReadoutSettings.h"

#include <QCommandLineOption>
#include <QDate>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <optional>

class IniFile;
class QCommandLineParser;
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
    // From a plan (--plan): put before every line of the day's log file.
    QString logPrefix;
    std::optional<QString> result; // where the result goes at the end (--result)
};

// The commands parse with Qt's parser, one per command. An option that takes a value
// is given as "--name value" or "--name=value"; its value name is what the message of
// a missing value says it needs ("--home needs a folder").
QCommandLineOption ValueOption(const QString& name, const QString& needs = QStringLiteral("value"));
// -h and --help.
QCommandLineOption HelpOption();

// Declares options to parser and parses args, the arguments after the command's name
// ("-name" is "--name"). False with a message for the user: the first argument the
// parser refused, as given, after unknownText ("unknown argument: --colour"), or
// "--NAME needs a value".
bool ParseArguments(QCommandLineParser& parser, const QList<QCommandLineOption>& options,
                    const QStringList& args, const QString& unknownText, QString& error);

// ParseArguments for a command that takes options only: any other argument is unknown.
bool ParseOptionsOnly(QCommandLineParser& parser, const QList<QCommandLineOption>& options,
                      const QStringList& args, QString& error);

// --from's values: dates YYYY-MM-DD in the years the meters hold; the last one counts.
bool TakeFromOption(const QCommandLineParser& parser, std::optional<QDate>& from, QString& error);

// A pause option's values: whole numbers of milliseconds, 0 to 60000; the last counts.
bool TakePauseOption(const QCommandLineParser& parser, const QString& name,
                     std::optional<int>& pause, QString& error);

// The options of read but --plan and --result; scan parses with them too and refuses
// those that do not set the line.
QList<QCommandLineOption> ReadCommandOptions();

// read's options from a parse, into options; every value of a repeated option is
// checked and the last one counts. False with a message for the user on a bad value.
bool TakeReadOptions(const QCommandLineParser& parser, ReadOptions& options, QString& error);

// The arguments after "read", a plan's options among them (the command line's own come
// over the plan's). False with a message for the user on bad usage, a plan that cannot
// be read among it.
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
// usage. Memo lines go to out, error messages to err. An interrupt (Interrupts.h) aborts
// the read-out as the Abort button would.
int RunReadCommand(const ReadOptions& options, FILE* out, FILE* err);
