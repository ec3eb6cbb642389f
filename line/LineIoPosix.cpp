#include "LineIo.h"

#include "CancelToken.h"

#include <QFile>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

void CloseDescriptor(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool SpeedConstant(qint32 speed, speed_t& constant)
{
    static const struct
    {
        qint32 speed;
        speed_t constant;
    } speeds[] = {
        {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
        {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
        {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    for (const auto& entry : speeds) {
        if (entry.speed == speed) {
            constant = entry.constant;
            return true;
        }
    }
    return false;
}

// Waits for events on fd and on the token's wake descriptor. A wake-up of a cancel that
// was undone meanwhile is drained and the wait goes on.
IoWait PollWithCancel(int fd, short events, qint64 deadlineMs, const CancelToken* cancel,
                      short& revents)
{
    for (;;) {
        if (cancel && cancel->IsCancelled())
            return IoWait::Cancelled;
        const qint64 left = qMax<qint64>(0, deadlineMs - MonotonicMs());
        pollfd fds[2] = {{fd, events, 0}, {cancel ? cancel->WakeDescriptor() : -1, POLLIN, 0}};
        const int n = ::poll(fds, cancel ? 2 : 1, int(qMin<qint64>(left, INT_MAX)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return IoWait::Failed;
        }
        if (cancel && (fds[1].revents & POLLIN)) {
            if (cancel->IsCancelled())
                return IoWait::Cancelled;
            cancel->DrainWake();
        }
        if (fds[0].revents) {
            revents = fds[0].revents;
            return IoWait::Ready;
        }
        if (n == 0 || left == 0)
            return IoWait::Timeout;
    }
}

} // namespace

// Serial device

struct SerialIo::Private
{
    int fd = -1;
    // The device reported a hang-up or an error: a read that finds nothing then means
    // the device is gone, not that it is quiet.
    bool hungUp = false;
};

SerialIo::SerialIo() : d(std::make_unique<Private>()) {}

SerialIo::~SerialIo()
{
    Close();
}

SerialIo::Opened SerialIo::Open(const QString& device, qint32 speed, int& error)
{
    Close();
    // A bare name (ttyUSB0) is a device of /dev, as the port list shows it.
    const QString path = device.contains(u'/') ? device : QStringLiteral("/dev/") + device;
    int fd =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return Opened::OpenFailed;
    }
    // Not shared: another program of ours holding the device keeps its lock, and the
    // terminal refuses further opens by anyone but the super-user.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? EBUSY : errno;
        CloseDescriptor(fd);
        return Opened::OpenFailed;
    }
    ::ioctl(fd, TIOCEXCL);

    termios settings{};
    speed_t constant = B0;
    bool ok = ::tcgetattr(fd, &settings) == 0 && SpeedConstant(speed, constant);
    if (ok) {
        ::cfmakeraw(&settings);
        settings.c_cflag &= ~tcflag_t(CSIZE | CSTOPB | PARENB | CRTSCTS);
        settings.c_cflag |= CS8 | CLOCAL | CREAD;
        settings.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY | INPCK);
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 0;
        ok = ::cfsetispeed(&settings, constant) == 0 && ::cfsetospeed(&settings, constant) == 0 &&
             ::tcsetattr(fd, TCSANOW, &settings) == 0;
    }
    if (!ok) {
        error = errno;
        CloseDescriptor(fd);
        return Opened::SetupFailed;
    }
    // Always asked for; a port without modem lines (a pseudo-terminal) refuses, and
    // that is fine.
    int dtr = TIOCM_DTR;
    ::ioctl(fd, TIOCMBIS, &dtr);
    int rts = TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &rts);
    ::tcflush(fd, TCIOFLUSH);
    d->fd = fd;
    d->hungUp = false;
    return Opened::Ok;
}

void SerialIo::Close()
{
    CloseDescriptor(d->fd);
}

bool SerialIo::IsOpen() const
{
    return d->fd >= 0;
}

qint64 SerialIo::Read(char* into, qint64 size, int& error)
{
    for (;;) {
        const ssize_t n = ::read(d->fd, into, size_t(size));
        if (n > 0)
            return n;
        if (n == 0) {
            // With no minimum and no time a terminal answers an empty read with 0; only
            // after a hang-up does that mean the device is gone.
            if (!d->hungUp)
                return 0;
            error = EIO;
            return -1;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        error = errno;
        return -1;
    }
}

int SerialIo::Write(const char* bytes, qint64 size, int timeoutMs)
{
    const qint64 deadline = MonotonicMs() + timeoutMs;
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::write(d->fd, bytes + done, size_t(size - done));
        if (n >= 0) {
            done += n;
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return errno;
        const qint64 left = deadline - MonotonicMs();
        if (left <= 0)
            break; // the bytes written are not examined
        pollfd p{d->fd, POLLOUT, 0};
        ::poll(&p, 1, int(left));
    }
    return 0;
}

IoWait SerialIo::Wait(qint64 deadlineMs, const CancelToken* cancel)
{
    short revents = 0;
    const IoWait waited = PollWithCancel(d->fd, POLLIN, deadlineMs, cancel, revents);
    if (revents & (POLLHUP | POLLERR | POLLNVAL))
        d->hungUp = true;
    return waited;
}

// TCP socket

struct TcpIo::Private
{
    int fd = -1;
};

TcpIo::TcpIo() : d(std::make_unique<Private>()) {}

TcpIo::~TcpIo()
{
    Close();
}

TcpIo::Connected TcpIo::Connect(const QHostAddress& host, quint16 port, int timeoutMs,
                                const CancelToken* cancel)
{
    Close();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Connected::NotStarted;
    d->fd = fd;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(host.toIPv4Address());
    int result;
    do
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    while (result < 0 && errno == EINTR);
    if (result == 0)
        return Connected::Ok;
    if (errno != EINPROGRESS) {
        const int error = errno;
        Close();
        // What the system refuses before trying at all: no socket, no route of this kind.
        return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM ||
                       error == EAFNOSUPPORT
                   ? Connected::NotStarted
                   : Connected::Failed;
    }
    short revents = 0;
    switch (PollWithCancel(fd, POLLOUT, MonotonicMs() + timeoutMs, cancel, revents)) {
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
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        Close();
        return Connected::Failed;
    }
    return Connected::Ok;
}

void TcpIo::Close()
{
    CloseDescriptor(d->fd);
}

bool TcpIo::IsConnected() const
{
    return d->fd >= 0;
}

qint64 TcpIo::Read(char* into, qint64 size)
{
    for (;;) {
        const ssize_t n = ::recv(d->fd, into, size_t(size), 0);
        if (n > 0)
            return n;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        Close(); // the gateway closed or reset the connection
        return -1;
    }
}

bool TcpIo::Write(const char* bytes, qint64 size, int timeoutMs)
{
    const qint64 deadline = MonotonicMs() + timeoutMs;
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::send(d->fd, bytes + done, size_t(size - done), MSG_NOSIGNAL);
        if (n >= 0) {
            done += n;
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Close();
            return false;
        }
        const qint64 left = deadline - MonotonicMs();
        if (left <= 0)
            break;
        pollfd p{d->fd, POLLOUT, 0};
        ::poll(&p, 1, int(left));
    }
    return true;
}

IoWait TcpIo::Wait(qint64 deadlineMs, const CancelToken* cancel)
{
    short revents = 0;
    return PollWithCancel(d->fd, POLLIN, deadlineMs, cancel, revents);
}
