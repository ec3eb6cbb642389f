#include "Channel.h"

#include "LineWait.h"
#include "LogSink.h"
#include "ProgramEnv.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QSerialPort>
#include <QTcpSocket>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <poll.h>
#include <unistd.h>
#endif

namespace {

// A disconnect whose last bytes never leave (a gateway that stopped reading) is cut
// off after this long instead of holding the program forever.
constexpr int DisconnectLimitMs = 5000;

// Reported for a failed serial write where the platform call gives no code of its own
// (ERROR_WRITE_FAULT).
constexpr ResultCode GenericWriteFault = ResultCode::System(29);

// Reported for a write to a device that has already failed a read and was let go:
// what the system itself answers such a write (EIO; ERROR_GEN_FAILURE on Windows).
#ifdef Q_OS_UNIX
constexpr ResultCode DeviceLost = ResultCode::System(EIO);
#else
constexpr ResultCode DeviceLost = ResultCode::System(31);
#endif

int WriteTimeoutMs(int length)
{
    return 250 * length + 100;
}

class WaiterScope
{
public:
    WaiterScope(QEventLoop*& slot, QEventLoop* loop) : m_slot(slot), m_previous(slot)
    {
        m_slot = loop;
    }
    ~WaiterScope() { m_slot = m_previous; }

private:
    QEventLoop*& m_slot;
    QEventLoop* m_previous;
};

} // namespace

Channel::Channel(LogSink& log, QObject* parent)
    : QObject(parent), m_log(log), m_serial(new QSerialPort(this)), m_socket(new QTcpSocket(this))
{
    connect(m_serial, &QSerialPort::readyRead, this, &Channel::WakeWaiter);
    connect(m_serial, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
        if (e != QSerialPort::ReadError && e != QSerialPort::ResourceError)
            return;
        if (!m_readFailed) {
            m_readFailed = true;
            // A device that failed a read (unplugged, hung up) keeps signalling input
            // and would spin the event loop: let it go. The channel still counts as
            // open until CloseChannel, and its reads and writes fail from now on.
            QMetaObject::invokeMethod(
                this,
                [this, session = m_serialSession] {
                    if (session == m_serialSession && m_serial->isOpen())
                        m_serial->close();
                },
                Qt::QueuedConnection);
        }
        WakeWaiter();
    });
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        m_socketStatus = SocketState::Connected;
        WakeWaiter();
    });
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        m_socketStatus = SocketState::Disconnected;
        WakeWaiter();
    });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        m_socketStatus = SocketState::Failed;
        WakeWaiter();
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &Channel::WakeWaiter);
}

Channel::~Channel()
{
    if (m_serial->isOpen())
        m_serial->close();
    m_socket->abort();
}

void Channel::WakeWaiter()
{
    if (m_waiter)
        m_waiter->quit();
}

ResultCode Channel::OpenChannel()
{
    if (TcpHost.isEmpty())
        return OpenComPort();
    return OpenTcp();
}

ResultCode Channel::OpenComPort()
{
    if (m_kind != ChannelKind::Closed)
        return Rc::Ok;
    const QString text = QStringLiteral("открытие порта ") + ComPortName + QStringLiteral(" --> ");

    // Open with settings every port takes, so that a refused speed shows as a
    // configuration failure and not as a failure to open.
    const QString device = SerialPortPath(ComPortName);
    m_serial->setPortName(device);
    m_serial->setBaudRate(QSerialPort::Baud9600);
    m_serial->setDataBits(QSerialPort::Data8);
    m_serial->setParity(QSerialPort::NoParity);
    m_serial->setStopBits(QSerialPort::OneStop);
    m_serial->setFlowControl(QSerialPort::NoFlowControl);
    m_readFailed = false;
    ++m_serialSession;
    if (!m_serial->open(QIODevice::ReadWrite)) {
        m_log.AddLogLine(text + QStringLiteral("ошибка открытия"));
        // A Linux user who is not in the device's group meets this at the first
        // read-out; the log says what to do. A port busy elsewhere is refused alike, but
        // its device can be opened by the user.
        const QString path = device.contains(u'/') ? device : QStringLiteral("/dev/") + device;
        if (m_serial->error() == QSerialPort::PermissionError && !DeviceAccessible(path)) {
            const QString advice = PortPermissionAdvice(path);
            if (!advice.isEmpty())
                m_log.AddLogLine(advice);
        }
        return Rc::PortNotOpen;
    }
    if (SetupComPort(BaudRate) != 0) {
        m_serial->close();
        m_log.AddLogLine(text + QStringLiteral("ошибка настройки"));
        return Rc::PortNotOpen;
    }
    m_kind = ChannelKind::Serial;
    m_log.AddLogLine(text + QStringLiteral("успешно"));
    return Rc::Ok;
}

int Channel::SetupComPort(qint32 speed)
{
    const bool ok = m_serial->setBaudRate(speed) && m_serial->setDataBits(QSerialPort::Data8) &&
                    m_serial->setParity(QSerialPort::NoParity) &&
                    m_serial->setStopBits(QSerialPort::OneStop) &&
                    m_serial->setFlowControl(QSerialPort::NoFlowControl);
    if (!ok)
        return -1;
    // Always done; a port without modem lines (a pseudo-terminal) refuses and that is fine.
    m_serial->setDataTerminalReady(true);
    m_serial->setRequestToSend(false);
    m_serial->clearError();
    return 0;
}

void Channel::CloseComPort()
{
    if (m_kind != ChannelKind::Serial)
        return;
    m_log.AddLogLine(QStringLiteral("закрытие порта"));
    if (m_serial->isOpen())
        m_serial->close();
    m_kind = ChannelKind::Closed;
}

ResultCode Channel::OpenTcp()
{
    QHostAddress address;
    if (!address.setAddress(TcpHost) || address.protocol() != QAbstractSocket::IPv4Protocol)
        return Rc::SocketStartFailed; // dotted IPv4 only, never a name lookup
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        return Rc::Ok;
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    DropUnread(); // what a dropped connection left unread is stale

    m_socketStatus = SocketState::Pending;
    m_socket->connectToHost(address, TcpPort);
    if (m_socketStatus != SocketState::Pending) {
        const QAbstractSocket::SocketError error = m_socket->error();
        if (error == QAbstractSocket::SocketResourceError ||
            error == QAbstractSocket::UnsupportedSocketOperationError)
            return Rc::SocketStartFailed;
    }
    switch (WaitForSocketStatus()) {
    case SocketState::Connected:
        m_kind = ChannelKind::Tcp;
        return Rc::Ok;
    case SocketState::Failed:
        return Rc::IpConnectionError;
    case SocketState::Pending:
    case SocketState::Disconnected:
        break;
    }
    return Rc::NoReply;
}

SocketState Channel::WaitForSocketStatus()
{
    while (m_socketStatus == SocketState::Pending) {
        QEventLoop loop;
        WaiterScope scope(m_waiter, &loop);
        loop.exec();
    }
    return m_socketStatus;
}

void Channel::CloseTcp()
{
    m_socketStatus = SocketState::Disconnected;
    if (m_socket->state() == QAbstractSocket::ConnectedState) {
        m_socketStatus = SocketState::Pending;
        m_socket->disconnectFromHost();
        if (m_socketStatus == SocketState::Pending) {
            QEventLoop loop;
            QTimer limit;
            limit.setSingleShot(true);
            connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
            limit.start(DisconnectLimitMs);
            while (m_socketStatus == SocketState::Pending && limit.isActive()) {
                WaiterScope scope(m_waiter, &loop);
                loop.exec();
            }
        }
    }
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    m_socketStatus = SocketState::Disconnected;
    DropUnread();
    if (m_kind == ChannelKind::Tcp)
        m_kind = ChannelKind::Closed;
}

void Channel::CloseChannel()
{
    // Close what is really open, even if the settings were switched since it opened.
    CloseComPort();
    if (!TcpHost.isEmpty() || m_kind == ChannelKind::Tcp ||
        m_socket->state() != QAbstractSocket::UnconnectedState)
        CloseTcp();
}

void Channel::PurgeInput()
{
    PumpEvents(); // take in what the system holds before dropping it
    quint8 byte = 0;
    while (ReadByte(byte) == LineRead::Byte) {
    }
}

ResultCode Channel::SendBytes(const quint8* bytes, int length)
{
    if (m_kind == ChannelKind::Tcp) {
        m_socket->write(reinterpret_cast<const char*>(bytes), length);
        m_socket->flush();
        return Rc::Ok;
    }
    if (!m_serial->isOpen())
        return m_readFailed ? DeviceLost : GenericWriteFault;
#ifdef Q_OS_UNIX
    // One synchronous write with the line's write time-out, straight to the device so
    // that a failure carries the system's own error code.
    const int fd = static_cast<int>(m_serial->handle());
    const QDeadlineTimer deadline = DeadlineIn(WriteTimeoutMs(length));
    int done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, bytes + done, static_cast<size_t>(length - done));
        if (n >= 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return ResultCode::System(errno);
        if (deadline.hasExpired())
            break; // the bytes written are not examined
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    }
    return Rc::Ok;
#else
    if (m_serial->write(reinterpret_cast<const char*>(bytes), length) != length)
        return GenericWriteFault;
    if (!m_serial->waitForBytesWritten(WriteTimeoutMs(length)) &&
        m_serial->error() != QSerialPort::TimeoutError)
        return GenericWriteFault;
    m_serial->clearError();
    return Rc::Ok;
#endif
}

LineRead Channel::ReadByte(quint8& byte)
{
    char c = 0;
    if (m_kind == ChannelKind::Tcp) {
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            return LineRead::Nothing;
        if (m_socket->read(&c, 1) != 1)
            return LineRead::Nothing;
        byte = static_cast<quint8>(c);
        return LineRead::Byte;
    }
    if (!m_serial->isOpen())
        return LineRead::Failed;
    // Bytes that arrived before the failure are still handed out.
    if (m_serial->read(&c, 1) == 1) {
        byte = static_cast<quint8>(c);
        return LineRead::Byte;
    }
    return m_readFailed ? LineRead::Failed : LineRead::Nothing;
}

void Channel::DropUnread()
{
    if (m_socket->isOpen() && m_socket->bytesAvailable() > 0)
        m_socket->readAll();
}

bool Channel::InputWaiting() const
{
    // A TCP client that is not connected gets nothing: sleep until the deadline.
    if (m_kind == ChannelKind::Tcp)
        return m_socket->state() == QAbstractSocket::ConnectedState &&
               m_socket->bytesAvailable() > 0;
    return !m_serial->isOpen() || m_readFailed || m_serial->bytesAvailable() > 0;
}

void Channel::WaitForInput(const QDeadlineTimer& deadline)
{
    if (InputWaiting() || deadline.hasExpired())
        return;
    QEventLoop loop;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    // Round up: a wake-up before the deadline would only come back here.
    const qint64 ms = (deadline.remainingTimeNSecs() + 999999) / 1000000;
    timer.start(static_cast<int>(qMin<qint64>(ms, INT_MAX)));
    WaiterScope scope(m_waiter, &loop);
    loop.exec();
}
