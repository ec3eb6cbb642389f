#pragma once

#include <QString>

struct DeviceReport;

// What a read-out (or a scan) needs from whoever shows it: the window, the command line
// or a test. The session calls it on its own thread and never touches a widget; the log
// lines and memo marks travel through the exchange log's memo.
class SessionEvents
{
public:
    virtual ~SessionEvents() = default;

    // Shows an error and returns when the user has acknowledged it.
    virtual void ShowError(const QString& text) = 0;
    // An export file could not be written: "I/O error %d", the file and the system's
    // reason, in a plain box (the read-out has logged it).
    virtual void ShowIoError(const QString& text) = 0;
    // A device of the address list is done with, read or not.
    virtual void DeviceDone(const DeviceReport& device) { Q_UNUSED(device); }
};
