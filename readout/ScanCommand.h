#pragma once

#include "ReadCommand.h"

#include <QString>

#include <cstdio>
#include <functional>

extern const char ScanUsage[];

// `orvekdata scan`: the options are those of read that set the line (--config, --tcp,
// --port, --speed, --mbus, --send-pause) and --addresses (default 1-247), --wait MS (how
// long a silent address is waited for, default 100). Prints the meters found; 0 when one
// was, 1 when none, 2 on bad usage.
int RunScanCommand(const QStringList& args, const QString& home, FILE* out, FILE* err,
                   const std::function<bool()>& interrupted);
