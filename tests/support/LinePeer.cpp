#include "LinePeer.h"

#include "Crc16.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

QByteArray WithCrc(const QByteArray& bytes)
{
    const quint16 crc =
        Crc16(reinterpret_cast<const quint8*>(bytes.constData()), static_cast<int>(bytes.size()));
    QByteArray frame = bytes;
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
    return frame;
}

void LinePeer::SendLater(const QByteArray& bytes, int ms)
{
    QTimer::singleShot(ms, Qt::PreciseTimer, this, [this, bytes] { Send(bytes); });
}

void LinePeer::Feed(const QByteArray& bytes)
{
    m_received += bytes;
    m_pending += bytes;
    for (;;) {
        qsizetype need = -1;
        if (m_framing == Framing::Lines) {
            const qsizetype lf = m_pending.indexOf('\n');
            need = lf >= 0 ? lf + 1 : -1;
        } else if (m_pending.size() >= 2) {
            const quint8 function = static_cast<quint8>(m_pending.at(1));
            if (function == 3 || function == 4)
                need = 8;
            else if (function == 16)
                need = m_pending.size() >= 7 ? 9 + static_cast<quint8>(m_pending.at(6)) : -1;
            else
                need = m_pending.size();
        }
        if (need < 0 || m_pending.size() < need)
            return;
        const QByteArray request = m_pending.left(need);
        m_pending.remove(0, need);
        m_requests.append(request);
        if (m_echo)
            Send(request);
        const QByteArray answer = m_script ? m_script(request) : QByteArray();
        if (!answer.isEmpty())
            Send(answer);
    }
}

PtyPeer::PtyPeer()
{
    char name[256] = {};
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    termios raw{};
    tcgetattr(m_slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(m_slave, TCSANOW, &raw);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_slavePath = QString::fromLocal8Bit(name);
    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PtyPeer::ReadMaster);
}

PtyPeer::~PtyPeer()
{
    CloseMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

void PtyPeer::CloseMaster()
{
    if (m_notifier)
        m_notifier->setEnabled(false);
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

void PtyPeer::ReadMaster()
{
    char buffer[4096];
    const ssize_t n = ::read(m_master, buffer, sizeof buffer);
    if (n > 0)
        Feed(QByteArray(buffer, n));
}

void PtyPeer::Send(const QByteArray& bytes)
{
    if (m_master < 0)
        return;
    [[maybe_unused]] const ssize_t n = ::write(m_master, bytes.constData(), bytes.size());
}

TcpPeer::TcpPeer() : m_server(new QTcpServer(this))
{
    m_server->listen(QHostAddress::LocalHost);
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* next = m_server->nextPendingConnection()) {
            if (m_client)
                m_client->abort();
            m_client = next;
            ++m_connections;
            connect(next, &QTcpSocket::readyRead, this, [this, next] {
                if (next == m_client)
                    Feed(next->readAll());
            });
        }
    });
}

quint16 TcpPeer::Port() const
{
    return m_server->serverPort();
}

void TcpPeer::Send(const QByteArray& bytes)
{
    if (m_client) {
        m_client->write(bytes);
        m_client->flush();
    }
}

void TcpPeer::Drop()
{
    if (m_client)
        m_client->abort();
    m_client = nullptr;
}
