#include "CancelToken.h"

#include <chrono>
#include <thread>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

qint64 MonotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

#ifdef Q_OS_UNIX

CancelToken::CancelToken()
{
    if (::pipe(m_pipe) == 0) {
        for (const int fd : m_pipe) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
}

CancelToken::~CancelToken()
{
    for (const int fd : m_pipe) {
        if (fd >= 0)
            ::close(fd);
    }
}

void CancelToken::Cancel()
{
    if (m_cancelled.exchange(true, std::memory_order_acq_rel))
        return;
    const char wake = 1;
    while (::write(m_pipe[1], &wake, 1) < 0 && errno == EINTR) {
    }
}

void CancelToken::Reset()
{
    if (m_cancelled.exchange(false, std::memory_order_acq_rel))
        DrainWake();
}

void CancelToken::DrainWake() const
{
    char bytes[16];
    while (::read(m_pipe[0], bytes, sizeof bytes) > 0) {
    }
}

bool CancelToken::Sleep(int ms) const
{
    const qint64 deadline = MonotonicMs() + qMax(ms, 0);
    for (;;) {
        if (IsCancelled())
            return false;
        const qint64 left = deadline - MonotonicMs();
        if (left <= 0)
            return true;
        pollfd wake{m_pipe[0], POLLIN, 0};
        if (::poll(&wake, 1, int(left)) > 0 && !IsCancelled())
            DrainWake(); // a cancel undone meanwhile
    }
}

#else

CancelToken::CancelToken() = default;
CancelToken::~CancelToken() = default;

void CancelToken::Cancel()
{
    m_cancelled.store(true, std::memory_order_release);
}

void CancelToken::Reset()
{
    m_cancelled.store(false, std::memory_order_release);
}

bool CancelToken::Sleep(int ms) const
{
    const qint64 deadline = MonotonicMs() + qMax(ms, 0);
    for (;;) {
        if (IsCancelled())
            return false;
        const qint64 left = deadline - MonotonicMs();
        if (left <= 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(qMin<qint64>(left, PollSliceMs)));
    }
}

#endif
