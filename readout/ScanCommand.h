#pragma once

#include "ReadCommand.h"

#include <QDateTime>
#include <QString>

#include <cstdio>
#include <functional>

class DriverSet;
class ModbusMaster;
struct DriverContext;

extern const char ScanUsage[];

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

// `orvekdata scan`: the options are those of read that set the line (--config, --tcp,
// --port, --speed, --mbus, --send-pause) and --addresses (default 1-247), --wait MS (how
// long a silent address is waited for, default 100). Prints the meters found; 0 when one
// was, 1 when none, 2 on bad usage.
int RunScanCommand(const QStringList& args, const QString& home, FILE* out, FILE* err,
                   const std::function<bool()>& interrupted);
