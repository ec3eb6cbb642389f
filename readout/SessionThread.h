#pragma once

#include "SessionEvents.h"

#include <QObject>
#include <QString>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

struct DeviceReport;

// Runs a session's work (a read-out, a scan, a register request) on a thread of its own,
// and hands what it has to show to the thread that owns this object as queued signals,
// so that the window never runs inside the engine and a dialog of the window never
// holds the engine up. An error box is the one wait across: ShowError returns once the
// window calls Acknowledge(), as the read-out waits for the user to close the box.
class SessionThread : public QObject, public SessionEvents
{
    Q_OBJECT

public:
    explicit SessionThread(QObject* parent = nullptr);
    // Waits for the work to end; whoever owns the session has aborted it first.
    ~SessionThread() override;

    // False when work is still running.
    bool Start(std::function<void()> work);
    bool Running() const { return m_running; }
    // Ends an error box's wait as if acknowledged (the window is going away), then waits
    // for the work to end.
    void Join();

    // The window closed the error box that errorRaised or ioErrorRaised asked for.
    void Acknowledge();

    // SessionEvents, on the session's thread.
    void ShowError(const QString& text) override;
    void ShowIoError(const QString& text) override;
    void DeviceDone(const DeviceReport& device) override;

signals:
    void errorRaised(const QString& text);
    void ioErrorRaised(const QString& text);
    void deviceDone(const DeviceReport& device);
    // The work has ended; every signal it raised came before.
    void finished();

private:
    void WaitForAcknowledge();

    std::thread m_thread;
    bool m_running = false;
    std::mutex m_mutex;
    std::condition_variable m_acknowledged;
    bool m_pending = false;
    bool m_releaseAll = false;
};
