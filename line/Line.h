#pragma once

#include "LineWait.h"
#include "ResultCode.h"

#include <QDeadlineTimer>
#include <QtGlobal>

// What one non-waiting read from a line gave.
enum class LineRead { Byte, Nothing, Failed };

// What the master and the modem need of a line: bytes out, bytes in one at a time, and
// a wait for input. Channel is the real one.
class Line
{
public:
    virtual ~Line() = default;

    // Ok when the line is open or has just been opened.
    virtual ResultCode OpenChannel() = 0;
    // Drops whatever has arrived and not been read.
    virtual void PurgeInput() = 0;
    // Ok, or what made the write fail.
    virtual ResultCode SendBytes(const quint8* bytes, int length) = 0;
    // Never waits.
    virtual LineRead ReadByte(quint8& byte) = 0;
    // Returns when input may be there, the line failed, or the deadline passed; at once
    // when a byte is already waiting.
    virtual void WaitForInput(const QDeadlineTimer& deadline) = 0;
    // Keeps the line quiet for ms: the pauses the meters need around a request.
    virtual void Pause(int ms) { ::Pause(ms); }
};
