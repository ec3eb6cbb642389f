#pragma once

#include "CancelToken.h"
#include "LineConfig.h"
#include "ResultCode.h"

#include <QtGlobal>

// What one non-waiting read from a line gave.
enum class LineRead { Byte, Nothing, Failed };

// How a wait for input ended: something to read, the deadline, an abort, or a line that
// failed or lost its connection.
enum class LineWait { Input, Timeout, Cancelled, Closed };

// What the master and the modem need of a line: bytes out, bytes in one at a time, and
// waits that end at a deadline on the line's clock or at once when the line's cancel
// token is cancelled. Channel is the real one, MemoryLine one held in memory.
class Line
{
public:
    virtual ~Line() = default;

    // The port or gateway to open, and how long a connection may take; taken at the
    // next opening. A line in memory has nothing to take.
    virtual void Configure(const LineConfig& config) { Q_UNUSED(config); }
    // Ok when the line is open or has just been opened.
    virtual ResultCode OpenChannel() = 0;
    virtual void CloseChannel() = 0;
    // Drops whatever has arrived and not been read, also what the system holds.
    virtual void PurgeInput() = 0;
    // Ok, or what made the write fail.
    virtual ResultCode SendBytes(const quint8* bytes, int length) = 0;
    // Never waits.
    virtual LineRead ReadByte(quint8& byte) = 0;
    // Returns Input at once when a byte is waiting; otherwise sleeps until input comes,
    // the line fails, the token is cancelled or the clock reaches deadlineMs. A deadline
    // already passed still takes one look at what the system holds.
    virtual LineWait WaitForInput(qint64 deadlineMs) = 0;
    // Keeps the line quiet for ms (the pauses the meters need around a request); false
    // when the token was cancelled meanwhile.
    virtual bool Pause(int ms) = 0;
    // The clock the deadlines count on, ms.
    virtual qint64 NowMs() const { return MonotonicMs(); }

    // Every wait of the line ends at once when this token is cancelled.
    void SetCancelToken(const CancelToken* token) { m_cancel = token; }
    const CancelToken* Cancel() const { return m_cancel; }
    bool Cancelled() const { return m_cancel && m_cancel->IsCancelled(); }

private:
    const CancelToken* m_cancel = nullptr;
};
