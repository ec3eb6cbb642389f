#pragma once

#include "ReadoutSettings.h"

#include <QString>

// What the read-out needs from whoever shows it: the main window, the command line or
// a test. The read-out never touches a widget.
class ReadoutFrontEnd
{
public:
    virtual ~ReadoutFrontEnd() = default;

    // Shows an error and returns when the user has acknowledged it.
    virtual void ShowError(const QString& text) = 0;
    // Appends to the last line of the log memo (the " *" of each empty wait while
    // dialing); memo only, the log file gets nothing.
    virtual void AppendToLastMemoLine(const QString& text) = 0;
    // An export file could not be written or closed: "I/O error %d" in a plain box.
    virtual void ShowIoError(int systemCode) = 0;
};
