#pragma once

#include "ReadCommand.h"

#include <QString>

#include <cstdio>
#include <functional>

extern const char ScanUsage[];

// `orvekdata scan`: the options are those of read that set the line (--config, --tcp,
// --port, --speed, --mbus, --send-pause) and --addresses (default 1-247), --wait MS (how
// long a silent address is waited for, default 100).
struct ScanOptions
{
    ReadOptions line;
    std::optional<int> waitMs;
};

// scan's options, declared once for its parser: read's, of which those that do not set
// the line are refused after the parse, and --wait.
QList<QCommandLineOption> ScanCommandOptions();

// The arguments after "scan". False with a message for the user on bad usage.
bool ParseScanOptions(const QStringList& args, ScanOptions& options, QString& error);

// Prints the meters found; 0 when one was, 1 when none, 2 on bad usage.
// An interrupt (Interrupts.h) ends the scan at once.
int RunScanCommand(const ScanOptions& options, FILE* out, FILE* err);
