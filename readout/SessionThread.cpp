#include "SessionThread.h"

#include "ReadoutReport.h"

#include <QMetaObject>

SessionThread::SessionThread(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<DeviceReport>("DeviceReport");
}

SessionThread::~SessionThread()
{
    Join();
}

bool SessionThread::Start(std::function<void()> work)
{
    if (m_running)
        return false;
    if (m_thread.joinable())
        m_thread.join();
    {
        std::lock_guard lock(m_mutex);
        m_pending = false;
        m_releaseAll = false;
    }
    m_running = true;
    m_thread = std::thread([this, work = std::move(work)] {
        work();
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_thread.joinable())
                    m_thread.join();
                m_running = false;
                emit finished();
            },
            Qt::QueuedConnection);
    });
    return true;
}

void SessionThread::Join()
{
    {
        std::lock_guard lock(m_mutex);
        m_releaseAll = true;
    }
    m_acknowledged.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    m_running = false;
}

void SessionThread::Acknowledge()
{
    {
        std::lock_guard lock(m_mutex);
        m_pending = false;
    }
    m_acknowledged.notify_all();
}

void SessionThread::WaitForAcknowledge()
{
    std::unique_lock lock(m_mutex);
    m_acknowledged.wait(lock, [this] { return !m_pending || m_releaseAll; });
}

void SessionThread::ShowError(const QString& text)
{
    {
        std::lock_guard lock(m_mutex);
        m_pending = true;
    }
    emit errorRaised(text);
    WaitForAcknowledge();
}

void SessionThread::ShowIoError(const QString& text)
{
    {
        std::lock_guard lock(m_mutex);
        m_pending = true;
    }
    emit ioErrorRaised(text);
    WaitForAcknowledge();
}

void SessionThread::DeviceDone(const DeviceReport& device)
{
    emit deviceDone(device);
}
