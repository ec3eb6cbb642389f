#include "Channel.h"

#include "LogSink.h"
#include "ProgramEnv.h"

#include <QHostAddress>

#include <chrono>
#include <thread>

#ifdef Q_OS_UNIX
#include <cerrno>
#endif

namespace {

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

constexpr qsizetype ReadChunk = 4096;

} // namespace

Channel::Channel(LogSink& log) : m_log(log) {}

Channel::~Channel()
{
    m_serial.Close();
    m_tcp.Close();
}

void Channel::Configure(const LineConfig& config)
{
    if (config.tcp) {
        m_tcpHost = config.tcpHost;
        m_tcpPort = quint16(config.tcpPort);
    } else {
        m_tcpHost.clear();
        m_comPortName = config.comPort;
        m_baudRate = config.baudRate;
    }
    m_connectTimeoutMs = config.ConnectTimeoutMs();
}

ResultCode Channel::OpenChannel()
{
    if (m_tcpHost.isEmpty())
        return OpenComPort();
    return OpenTcp();
}

ResultCode Channel::OpenComPort()
{
    if (m_kind != ChannelKind::Closed)
        return Rc::Ok;
    const QString text =
        QStringLiteral("открытие порта ") + m_comPortName + QStringLiteral(" --> ");
    const QString device = SerialPortPath(m_comPortName);
    int error = 0;
    switch (m_serial.Open(device, m_baudRate, error)) {
    case SerialIo::Opened::OpenFailed: {
        m_log.AddLogLine(text + QStringLiteral("ошибка открытия"));
#ifdef Q_OS_UNIX
        // A Linux user who is not in the device's group meets this at the first
        // read-out; the log says what to do. A port busy elsewhere is refused alike, but
        // its device can be opened by the user.
        const QString path = device.contains(u'/') ? device : QStringLiteral("/dev/") + device;
        if ((error == EACCES || error == EPERM) && !DeviceAccessible(path)) {
            const QString advice = PortPermissionAdvice(path);
            if (!advice.isEmpty())
                m_log.AddLogLine(advice);
        }
#endif
        return Rc::PortNotOpen;
    }
    case SerialIo::Opened::SetupFailed:
        m_log.AddLogLine(text + QStringLiteral("ошибка настройки"));
        return Rc::PortNotOpen;
    case SerialIo::Opened::Ok:
        break;
    }
    m_kind = ChannelKind::Serial;
    m_readFailed = false;
    DropBuffer();
    m_log.AddLogLine(text + QStringLiteral("успешно"));
    return Rc::Ok;
}

void Channel::CloseComPort()
{
    if (m_kind != ChannelKind::Serial)
        return;
    m_log.AddLogLine(QStringLiteral("закрытие порта"));
    m_serial.Close();
    m_kind = ChannelKind::Closed;
    DropBuffer();
}

ResultCode Channel::OpenTcp()
{
    QHostAddress address;
    if (!address.setAddress(m_tcpHost) || address.protocol() != QAbstractSocket::IPv4Protocol)
        return Rc::SocketStartFailed; // dotted IPv4 only, never a name lookup
    if (m_kind == ChannelKind::Tcp && m_tcp.IsConnected())
        return Rc::Ok;
    DropBuffer(); // what a dropped connection left unread is stale
    switch (m_tcp.Connect(address, m_tcpPort, m_connectTimeoutMs, Cancel())) {
    case TcpIo::Connected::Ok:
        m_kind = ChannelKind::Tcp;
        return Rc::Ok;
    case TcpIo::Connected::NotStarted:
        return Rc::SocketStartFailed;
    case TcpIo::Connected::Cancelled:
        return Rc::Aborted;
    case TcpIo::Connected::Failed:
    case TcpIo::Connected::TimedOut:
        break;
    }
    return Rc::IpConnectionError;
}

void Channel::CloseTcp()
{
    m_tcp.Close();
    DropBuffer();
    if (m_kind == ChannelKind::Tcp)
        m_kind = ChannelKind::Closed;
}

void Channel::CloseChannel()
{
    // Close what is really open, even if the settings were switched since it opened.
    CloseComPort();
    CloseTcp();
}

void Channel::DropBuffer()
{
    m_input.resize(0); // the room stays for the next reply
    m_read = 0;
}

bool Channel::TakeInput()
{
    if (m_read >= m_input.size())
        DropBuffer();
    for (;;) {
        const qsizetype used = m_input.size();
        m_input.resize(used + ReadChunk);
        qint64 n = 0;
        if (m_kind == ChannelKind::Tcp) {
            n = m_tcp.IsConnected() ? m_tcp.Read(m_input.data() + used, ReadChunk) : -1;
        } else if (m_kind == ChannelKind::Serial && !m_readFailed) {
            int error = 0; // a failed read is told as such; its number goes no further
            n = m_serial.Read(m_input.data() + used, ReadChunk, error);
            if (n < 0) {
                // A device that failed a read (unplugged, hung up) would keep waking the
                // waits: let it go. The channel still counts as open until CloseChannel,
                // and its reads and writes fail from now on.
                m_readFailed = true;
                m_serial.Close();
            }
        } else {
            n = -1;
        }
        m_input.resize(used + qMax<qint64>(n, 0));
        if (n < ReadChunk)
            return n >= 0;
    }
}

void Channel::PurgeInput()
{
    TakeInput();
    DropBuffer();
}

ResultCode Channel::SendBytes(const quint8* bytes, int length)
{
    const char* data = reinterpret_cast<const char*>(bytes);
    if (m_kind == ChannelKind::Tcp) {
        // The outcome is not examined: a lost connection shows as a missing reply.
        if (m_tcp.IsConnected())
            m_tcp.Write(data, length, WriteTimeoutMs(length));
        return Rc::Ok;
    }
    if (m_readFailed || !m_serial.IsOpen())
        return DeviceLost;
    const int error = m_serial.Write(data, length, WriteTimeoutMs(length));
    return error == 0 ? Rc::Ok : ResultCode::System(error);
}

LineRead Channel::ReadByte(quint8& byte)
{
    if (m_read < m_input.size()) {
        // Bytes that arrived before a failure are still handed out.
        byte = static_cast<quint8>(m_input.at(m_read++));
        return LineRead::Byte;
    }
    if (m_kind == ChannelKind::Serial && m_readFailed)
        return LineRead::Failed;
    return LineRead::Nothing;
}

LineWait Channel::WaitForInput(qint64 deadlineMs)
{
    if (m_read < m_input.size())
        return LineWait::Input;
    const bool serial = m_kind == ChannelKind::Serial && !m_readFailed && m_serial.IsOpen();
    const bool tcp = m_kind == ChannelKind::Tcp && m_tcp.IsConnected();
    if (!serial && !tcp) {
        if (Cancelled())
            return LineWait::Cancelled;
        return LineWait::Closed;
    }
    for (;;) {
        const IoWait waited =
            serial ? m_serial.Wait(deadlineMs, Cancel()) : m_tcp.Wait(deadlineMs, Cancel());
        switch (waited) {
        case IoWait::Cancelled:
            return LineWait::Cancelled;
        case IoWait::Timeout:
            return LineWait::Timeout;
        case IoWait::Failed:
            return LineWait::Closed;
        case IoWait::Ready:
            break;
        }
        if (!TakeInput())
            return m_read < m_input.size() ? LineWait::Input : LineWait::Closed;
        if (m_read < m_input.size())
            return LineWait::Input;
        if (MonotonicMs() >= deadlineMs)
            return LineWait::Timeout;
    }
}

bool Channel::Pause(int ms)
{
    if (const CancelToken* token = Cancel())
        return token->Sleep(ms);
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return true;
}
