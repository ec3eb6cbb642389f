#include "LineIo.h"

#include "CancelToken.h"

#include <QSerialPort>

#include <winsock2.h>
#include <ws2tcpip.h>

// Windows cannot wait on a socket or a port and an event flag in one call here, so the
// waits sleep in slices of CancelToken::PollSliceMs and look at the token between them.

namespace {

int SliceUntil(qint64 deadlineMs)
{
    return int(qBound<qint64>(0, deadlineMs - MonotonicMs(), CancelToken::PollSliceMs));
}

bool WinsockReady()
{
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

} // namespace

// Serial device

struct SerialIo::Private
{
    std::unique_ptr<QSerialPort> port;
};

SerialIo::SerialIo() : d(std::make_unique<Private>()) {}

SerialIo::~SerialIo()
{
    Close();
}

SerialIo::Opened SerialIo::Open(const QString& device, qint32 speed, int& error)
{
    Close();
    // Made on the thread that reads and writes it, with no event loop to serve it: the
    // waits below drive it.
    d->port = std::make_unique<QSerialPort>();
    QSerialPort& port = *d->port;
    port.setPortName(device);
    if (!port.open(QIODevice::ReadWrite)) {
        error = int(GetLastError());
        d->port.reset();
        return Opened::OpenFailed;
    }
    const bool ok = port.setBaudRate(speed) && port.setDataBits(QSerialPort::Data8) &&
                    port.setParity(QSerialPort::NoParity) &&
                    port.setStopBits(QSerialPort::OneStop) &&
                    port.setFlowControl(QSerialPort::NoFlowControl);
    if (!ok) {
        error = int(GetLastError());
        d->port.reset();
        return Opened::SetupFailed;
    }
    port.setDataTerminalReady(true);
    port.setRequestToSend(false);
    port.clearError();
    return Opened::Ok;
}

void SerialIo::Close()
{
    if (d->port && d->port->isOpen())
        d->port->close();
    d->port.reset();
}

bool SerialIo::IsOpen() const
{
    return d->port != nullptr;
}

qint64 SerialIo::Read(char* into, qint64 size, int& error)
{
    QSerialPort& port = *d->port;
    const qint64 n = port.read(into, size);
    if (n > 0)
        return n;
    const QSerialPort::SerialPortError e = port.error();
    if (n < 0 || e == QSerialPort::ReadError || e == QSerialPort::ResourceError) {
        error = ERROR_GEN_FAILURE;
        return -1;
    }
    return 0;
}

int SerialIo::Write(const char* bytes, qint64 size, int timeoutMs)
{
    QSerialPort& port = *d->port;
    if (port.write(bytes, size) != size)
        return ERROR_WRITE_FAULT;
    if (!port.waitForBytesWritten(timeoutMs) && port.error() != QSerialPort::TimeoutError)
        return ERROR_WRITE_FAULT;
    port.clearError();
    return 0;
}

IoWait SerialIo::Wait(qint64 deadlineMs, const CancelToken* cancel)
{
    QSerialPort& port = *d->port;
    for (;;) {
        if (cancel && cancel->IsCancelled())
            return IoWait::Cancelled;
        if (port.bytesAvailable() > 0)
            return IoWait::Ready;
        const int slice = SliceUntil(deadlineMs);
        if (port.waitForReadyRead(slice))
            return IoWait::Ready;
        const QSerialPort::SerialPortError e = port.error();
        if (e == QSerialPort::ReadError || e == QSerialPort::ResourceError)
            return IoWait::Ready; // the read that follows reports the failure
        port.clearError();
        if (slice == 0 || MonotonicMs() >= deadlineMs)
            return IoWait::Timeout;
    }
}

// TCP socket

struct TcpIo::Private
{
    SOCKET socket = INVALID_SOCKET;
};

TcpIo::TcpIo() : d(std::make_unique<Private>()) {}

TcpIo::~TcpIo()
{
    Close();
}

namespace {

// Waits for the socket to become readable (or writable) in slices, looking at the
// token between them.
IoWait SelectWithCancel(SOCKET s, bool write, qint64 deadlineMs, const CancelToken* cancel)
{
    for (;;) {
        if (cancel && cancel->IsCancelled())
            return IoWait::Cancelled;
        const int slice = SliceUntil(deadlineMs);
        fd_set ready;
        fd_set failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(s, &ready);
        FD_SET(s, &failed);
        timeval timeout{0, slice * 1000};
        const int n =
            select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &timeout);
        if (n == SOCKET_ERROR)
            return IoWait::Failed;
        if (n > 0)
            return IoWait::Ready;
        if (slice == 0 || MonotonicMs() >= deadlineMs)
            return IoWait::Timeout;
    }
}

} // namespace

TcpIo::Connected TcpIo::Connect(const QHostAddress& host, quint16 port, int timeoutMs,
                                const CancelToken* cancel)
{
    Close();
    if (!WinsockReady())
        return Connected::NotStarted;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return Connected::NotStarted;
    d->socket = s;
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    const BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(host.toIPv4Address());
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return Connected::Ok;
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
        Close();
        return Connected::Failed;
    }
    switch (SelectWithCancel(s, true, MonotonicMs() + timeoutMs, cancel)) {
    case IoWait::Cancelled:
        Close();
        return Connected::Cancelled;
    case IoWait::Timeout:
        Close();
        return Connected::TimedOut;
    case IoWait::Failed:
        Close();
        return Connected::Failed;
    case IoWait::Ready:
        break;
    }
    int error = 0;
    int length = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
        error != 0) {
        Close();
        return Connected::Failed;
    }
    return Connected::Ok;
}

void TcpIo::Close()
{
    if (d->socket != INVALID_SOCKET)
        closesocket(d->socket);
    d->socket = INVALID_SOCKET;
}

bool TcpIo::IsConnected() const
{
    return d->socket != INVALID_SOCKET;
}

qint64 TcpIo::Read(char* into, qint64 size)
{
    const int n = recv(d->socket, into, int(qMin<qint64>(size, INT_MAX)), 0);
    if (n > 0)
        return n;
    if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK)
        return 0;
    Close();
    return -1;
}

bool TcpIo::Write(const char* bytes, qint64 size, int timeoutMs)
{
    const qint64 deadline = MonotonicMs() + timeoutMs;
    qint64 done = 0;
    while (done < size) {
        const int n = send(d->socket, bytes + done, int(size - done), 0);
        if (n >= 0) {
            done += n;
            continue;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            Close();
            return false;
        }
        if (SelectWithCancel(d->socket, true, deadline, nullptr) != IoWait::Ready)
            break;
    }
    return true;
}

IoWait TcpIo::Wait(qint64 deadlineMs, const CancelToken* cancel)
{
    return SelectWithCancel(d->socket, false, deadlineMs, cancel);
}
