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

bool CancelToken::Sleep(int ms) const
{
    const qint64 deadline = MonotonicMs() + qMax(ms, 0);
    for (;;) {
        if (IsCancelled())
            return false;
        const qint64 left = deadline - MonotonicMs();
        if (left <= 0)
            return true;
        WaitForWake(left);
    }
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
    int armed = Armed;
    if (!m_state.compare_exchange_strong(armed, Cancelled, std::memory_order_acq_rel))
        return;
    const char wake = 1;
    while (::write(m_pipe[1], &wake, 1) < 0 && errno == EINTR) {
    }
}

void CancelToken::Spend()
{
    if (m_state.exchange(Spent, std::memory_order_acq_rel) == Cancelled)
        DrainWake();
}

void CancelToken::DrainWake() const
{
    char bytes[16];
    while (::read(m_pipe[0], bytes, sizeof bytes) > 0) {
    }
}

void CancelToken::WaitForWake(qint64 ms) const
{
    pollfd wake{m_pipe[0], POLLIN, 0};
    if (::poll(&wake, 1, int(ms)) > 0 && !IsCancelled())
        DrainWake(); // a cancel undone meanwhile
}

#else

CancelToken::CancelToken() = default;
CancelToken::~CancelToken() = default;

void CancelToken::Cancel()
{
    int armed = Armed;
    m_state.compare_exchange_strong(armed, Cancelled, std::memory_order_acq_rel);
}

void CancelToken::Spend()
{
    m_state.store(Spent, std::memory_order_release);
}

void CancelToken::WaitForWake(qint64 ms) const
{
    std::this_thread::sleep_for(std::chrono::milliseconds(qMin<qint64>(ms, PollSliceMs)));
}

#endif
