#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QtGlobal>

#include <memory>

class CancelToken;

// The system's side of a line: a serial device or a TCP socket, read and written
// without waiting, and waited on with a deadline and a cancel token together. Channel
// builds the line's behaviour on these; nothing here logs or knows of ModBus.

// How a wait for the system ended.
enum class IoWait { Ready, Timeout, Cancelled, Failed };

class SerialIo
{
public:
    SerialIo();
    ~SerialIo();
    SerialIo(const SerialIo&) = delete;
    SerialIo& operator=(const SerialIo&) = delete;

    enum class Opened { Ok, OpenFailed, SetupFailed };
    // Opens the device for this program alone: 8 data bits, no parity, one stop bit, no
    // flow control, DTR raised, RTS low. error: the system's code when it did not open.
    Opened Open(const QString& device, qint32 speed, int& error);
    void Close();
    bool IsOpen() const;

    // Bytes taken, 0 when none is waiting, -1 when the device failed (error set).
    qint64 Read(char* into, qint64 size, int& error);
    // The whole block within timeoutMs: 0, or the system's code of a failed write.
    int Write(const char* bytes, qint64 size, int timeoutMs);
    // Until input may be there, the deadline (monotonic ms), or a cancel.
    IoWait Wait(qint64 deadlineMs, const CancelToken* cancel);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

class TcpIo
{
public:
    TcpIo();
    ~TcpIo();
    TcpIo(const TcpIo&) = delete;
    TcpIo& operator=(const TcpIo&) = delete;

    enum class Connected { Ok, NotStarted, Failed, TimedOut, Cancelled };
    Connected Connect(const QHostAddress& host, quint16 port, int timeoutMs,
                      const CancelToken* cancel);
    void Close();
    bool IsConnected() const;

    // Bytes taken, 0 when none is waiting, -1 when the connection is gone (it is then
    // closed).
    qint64 Read(char* into, qint64 size);
    // Hands the block to the system; false when the connection is gone (then closed).
    bool Write(const char* bytes, qint64 size, int timeoutMs);
    IoWait Wait(qint64 deadlineMs, const CancelToken* cancel);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
