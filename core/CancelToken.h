#pragma once

#include <QtGlobal>

#include <atomic>

// Ends a read-out's waits on the line at once when it is aborted: every wait (connect,
// reply, dial, pause) sleeps on the line and on this token together. A token serves one
// abort: Cancel() may come from any thread and from a signal handler (one atomic step and
// one write() on POSIX); Spend(), on the thread that waits, ends its effect once the
// abort has been seen, and a Cancel() that comes later changes nothing.
class CancelToken
{
public:
    CancelToken();
    ~CancelToken();
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    void Cancel();
    void Spend();
    bool IsCancelled() const { return m_state.load(std::memory_order_acquire) == Cancelled; }

    // Sleeps for ms milliseconds or until a cancel; false when cancelled.
    bool Sleep(int ms) const;

#ifdef Q_OS_UNIX
    // Readable while the token is cancelled (it may be readable a moment longer after
    // Spend): waits poll it beside their own descriptor and look at IsCancelled().
    int WakeDescriptor() const
    {
        return m_pipe[0];
    }
    // Drops the wake-up bytes of a cancel already undone.
    void DrainWake() const;
#endif

    // The longest slice a wait may sleep in where it cannot wake on the token itself.
    static constexpr int PollSliceMs = 20;

private:
    // Sleeps up to ms, or less when the token may have been cancelled.
    void WaitForWake(qint64 ms) const;

    enum State { Armed, Cancelled, Spent };
    std::atomic<int> m_state{Armed};
#ifdef Q_OS_UNIX
    int m_pipe[2] = {-1, -1};
#endif
};

// Milliseconds on the monotonic clock, as the line's deadlines count them.
qint64 MonotonicMs();
