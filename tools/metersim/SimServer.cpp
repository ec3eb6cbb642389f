#include "SimServer.h"

#include "SimLine.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int DropDelayMs = 50;

} // namespace

// One direction of a line at a baud rate: a byte takes 10 bit times (start, 8 data,
// stop) after the one before it and is handed on only once it is through, so a frame
// arrives whole no sooner than its length allows. Bytes given while others are still
// on the wire queue behind them.
class LinePacer : public QObject
{
public:
    using Deliver = std::function<void(const QByteArray&)>;

    LinePacer(int baud, Deliver deliver, QObject* parent)
        : QObject(parent), m_nsPerByte(10'000'000'000LL / baud), m_deliver(std::move(deliver))
    {
        m_clock.start();
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &LinePacer::HandOn);
    }

    void Push(const QByteArray& bytes)
    {
        qint64 through = qMax(m_clock.nsecsElapsed(), m_lineFreeAt);
        for (const char byte : bytes) {
            through += m_nsPerByte;
            m_queue.push_back({through, byte});
        }
        m_lineFreeAt = through;
        if (!m_timer.isActive())
            HandOn();
    }

private:
    struct Pending
    {
        qint64 through; // on m_clock, in ns
        char byte;
    };

    void HandOn()
    {
        const qint64 now = m_clock.nsecsElapsed();
        QByteArray chunk;
        while (!m_queue.empty() && m_queue.front().through <= now) {
            chunk.append(m_queue.front().byte);
            m_queue.pop_front();
        }
        // Timers count whole milliseconds: rounded up, no byte is ever early. Armed
        // before handing on, since what is handed on may queue more.
        if (!m_queue.empty())
            m_timer.start(int((m_queue.front().through - now + 999'999) / 1'000'000));
        if (!chunk.isEmpty())
            m_deliver(chunk);
    }

    const qint64 m_nsPerByte;
    Deliver m_deliver;
    QElapsedTimer m_clock;
    QTimer m_timer;
    qint64 m_lineFreeAt = 0;
    std::deque<Pending> m_queue;
};

SimServer::SimServer(QObject* parent) : QObject(parent) {}

SimServer::~SimServer()
{
    if (m_ptyMaster >= 0)
        ::close(m_ptyMaster);
    if (m_ptySlave >= 0)
        ::close(m_ptySlave);
    if (!m_ptyLink.isEmpty())
        QFile::remove(m_ptyLink);
}

bool SimServer::LoadMeterFile(const QByteArray& json, QString& error)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (!document.isObject()) {
        error = QStringLiteral("not a meter file: ") + parseError.errorString();
        return false;
    }
    const QJsonObject root = document.object();
    if (!FaultSettings::FromJson(root.value(QStringLiteral("faults")).toObject(), m_lineFaults,
                                 error))
        return false;
    const QJsonArray meters = root.value(QStringLiteral("meters")).toArray();
    for (qsizetype i = 0; i < meters.size(); ++i) {
        std::unique_ptr<Meter> meter = Meter::FromJson(meters.at(i).toObject(), error);
        if (!meter) {
            error = QStringLiteral("meter %1: %2").arg(i + 1).arg(error);
            return false;
        }
        if (FindMeter(meter->Address())) {
            error =
                QStringLiteral("meter %1: address %2 is taken").arg(i + 1).arg(meter->Address());
            return false;
        }
        AddMeter(std::move(meter));
    }
    return true;
}

void SimServer::AddMeter(std::unique_ptr<Meter> meter)
{
    meter->SetLine(&m_lineFaults);
    m_meters.push_back(std::move(meter));
}

Meter* SimServer::FindMeter(quint8 address) const
{
    for (const auto& meter : m_meters) {
        if (meter->Address() == address)
            return meter.get();
    }
    return nullptr;
}

bool SimServer::SetTraceFile(const QString& path, QString& error)
{
    m_trace.setFileName(path);
    if (!m_trace.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        error = m_trace.errorString();
        return false;
    }
    return true;
}

void SimServer::Trace(const QJsonObject& entry)
{
    if (!m_trace.isOpen())
        return;
    QJsonObject line = entry;
    line.insert(QStringLiteral("time"),
                QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz")));
    m_trace.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
}

bool SimServer::OpenPty(const QString& link, QString& error)
{
    char name[256] = {};
    if (openpty(&m_ptyMaster, &m_ptySlave, name, nullptr, nullptr) != 0) {
        error = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    termios raw{};
    tcgetattr(m_ptySlave, &raw);
    cfmakeraw(&raw);
    tcsetattr(m_ptySlave, TCSANOW, &raw);
    fcntl(m_ptyMaster, F_SETFL, fcntl(m_ptyMaster, F_GETFL) | O_NONBLOCK);
    m_ptyPath = QString::fromLocal8Bit(name);
    if (!link.isEmpty()) {
        QFile::remove(link);
        if (!QFile::link(m_ptyPath, link)) {
            error = QStringLiteral("cannot make the link ") + link;
            return false;
        }
        m_ptyLink = link;
    }
    const int master = m_ptyMaster;
    SimLine::Sender send = [master](const QByteArray& bytes) {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                ::write(master, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0) {
                done += n;
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p{master, POLLOUT, 0};
                ::poll(&p, 1, 100);
            } else if (n < 0 && errno != EINTR) {
                return; // nobody on the other end
            }
        }
    };
    if (m_baud > 0) {
        m_ptyOut = new LinePacer(m_baud, std::move(send), this);
        send = [out = m_ptyOut](const QByteArray& bytes) {
            out->Push(bytes);
        };
    }
    m_ptyLine = new SimLine(*this, std::move(send), {}, this);
    if (m_baud > 0) {
        m_ptyIn = new LinePacer(
            m_baud, [line = m_ptyLine](const QByteArray& bytes) { line->Receive(bytes); }, this);
    }
    m_ptyNotifier = new QSocketNotifier(m_ptyMaster, QSocketNotifier::Read, this);
    connect(m_ptyNotifier, &QSocketNotifier::activated, this, &SimServer::ReadPty);
    return true;
}

void SimServer::ReadPty()
{
    char buffer[4096];
    const ssize_t n = ::read(m_ptyMaster, buffer, sizeof buffer);
    if (n <= 0)
        return;
    if (m_ptyIn)
        m_ptyIn->Push(QByteArray(buffer, n));
    else
        m_ptyLine->Receive(QByteArray(buffer, n));
}

bool SimServer::ListenTcp(quint16 port, QString& error)
{
    return ListenTcp(QHostAddress(QHostAddress::LocalHost), port, error);
}

bool SimServer::ListenTcp(const QHostAddress& host, quint16 port, QString& error)
{
    m_tcp = new QTcpServer(this);
    if (!m_tcp->listen(host, port)) {
        error = m_tcp->errorString();
        return false;
    }
    connect(m_tcp, &QTcpServer::newConnection, this, &SimServer::AcceptTcp);
    return true;
}

quint16 SimServer::TcpPort() const
{
    return m_tcp ? m_tcp->serverPort() : 0;
}

void SimServer::AcceptTcp()
{
    while (QTcpSocket* socket = m_tcp->nextPendingConnection()) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto* line = new SimLine(
            *this,
            [socket](const QByteArray& bytes) {
                socket->write(bytes);
                socket->flush();
            },
            [socket] {
                // Let the reply reach the master first: a client drops bytes that
                // arrive together with the end of the connection.
                QTimer::singleShot(DropDelayMs, socket, [socket] { socket->abort(); });
            },
            socket);
        connect(socket, &QTcpSocket::readyRead, line,
                [socket, line] { line->Receive(socket->readAll()); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}
