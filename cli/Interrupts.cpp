#include "Interrupts.h"

#include "ReadoutSession.h"

#include <atomic>
#include <csignal>

namespace {

std::atomic<ReadoutSession*> target{nullptr};
volatile std::sig_atomic_t count = 0;

const int Signals[] = {
    SIGINT,
#ifdef SIGTERM
    SIGTERM,
#endif
#ifdef SIGHUP
    SIGHUP,
#endif
};

extern "C" void OnInterrupt(int signal)
{
    count = count + 1;
    if (count > 1) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    // Lock-free stores and one write(): what a signal handler may do.
    if (ReadoutSession* session = target.load())
        session->RequestAbort();
}

extern "C" void OnCountedInterrupt(int)
{
    count = count + 1;
}

void IgnoreFileSizeLimit()
{
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

} // namespace

void InstallInterrupts()
{
    for (const int signal : Signals)
        std::signal(signal, OnInterrupt);
    IgnoreFileSizeLimit();
}

void InstallCountingInterrupts()
{
    for (const int signal : Signals)
        std::signal(signal, OnCountedInterrupt);
    IgnoreFileSizeLimit();
}

void SetInterruptTarget(ReadoutSession* session)
{
    target.store(session);
    // An interrupt that came before the session existed still counts.
    if (session && count > 0)
        session->RequestAbort();
}

bool InterruptRequested()
{
    return count > 0;
}

int InterruptCount()
{
    return count;
}
