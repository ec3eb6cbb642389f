#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>

#include <functional>

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;

// The far end of a line in a test: collects what the master sends, splits it into
// requests, counts them and answers from a script.
class LinePeer : public QObject
{
    Q_OBJECT

public:
    enum class Framing {
        Modbus, // read and write requests by their length, anything else as it comes
        Lines,  // up to and including each LF (modem commands)
    };
    using Script = std::function<QByteArray(const QByteArray& request)>;

    void SetScript(Script script) { m_script = std::move(script); }
    void SetFraming(Framing framing) { m_framing = framing; }
    // The line returns every request ahead of the answer.
    void SetEcho(bool echo) { m_echo = echo; }

    int RequestCount() const { return static_cast<int>(m_requests.size()); }
    const QList<QByteArray>& Requests() const { return m_requests; }
    QByteArray Received() const { return m_received; }

    virtual void Send(const QByteArray& bytes) = 0;
    void SendLater(const QByteArray& bytes, int ms);

protected:
    void Feed(const QByteArray& bytes);

private:
    Script m_script;
    Framing m_framing = Framing::Modbus;
    bool m_echo = false;
    QByteArray m_pending;
    QByteArray m_received;
    QList<QByteArray> m_requests;
};

// A pseudo-terminal: the master opens SlavePath() as its serial port.
class PtyPeer : public LinePeer
{
    Q_OBJECT

public:
    PtyPeer();
    ~PtyPeer() override;

    bool IsValid() const { return m_master >= 0; }
    QString SlavePath() const { return m_slavePath; }
    void Send(const QByteArray& bytes) override;
    // Hangs up our end: the port's reads fail and its writes get an error.
    void CloseMaster();

private:
    void ReadMaster();

    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    QSocketNotifier* m_notifier = nullptr;
};

// A serial-to-Ethernet gateway on the loopback: one connection at a time.
class TcpPeer : public LinePeer
{
    Q_OBJECT

public:
    TcpPeer();

    quint16 Port() const;
    int ConnectionCount() const { return m_connections; }
    void Send(const QByteArray& bytes) override;
    // Drops the current connection, as a gateway that restarts does.
    void Drop();

private:
    QTcpServer* m_server;
    QTcpSocket* m_client = nullptr;
    int m_connections = 0;
};

// A ModBus RTU frame: the bytes followed by their CRC, low byte first.
QByteArray WithCrc(const QByteArray& bytes);
