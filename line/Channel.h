#pragma once

#include "Line.h"
#include "LineConfig.h"
#include "LineIo.h"
#include "ResultCode.h"

#include <QByteArray>
#include <QString>

class LogSink;

// What the channel has open.
enum class ChannelKind { Closed, Serial, Tcp };

// The one line the program talks on: a local serial port, or a TCP connection to a
// serial-to-Ethernet gateway that passes the line's bytes through unchanged. Its I/O
// blocks the calling thread, each wait bounded by a deadline and the cancel token.
class Channel : public Line
{
public:
    explicit Channel(LogSink& log);
    ~Channel() override;
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // The port or gateway of the configuration; taken at the next opening, never while
    // the line is open.
    void Configure(const LineConfig& config) override;

    // The settings of the line, as the configuration gave them. An empty TcpHost
    // selects the serial port.
    const QString& TcpHost() const { return m_tcpHost; }
    quint16 TcpPort() const { return m_tcpPort; }
    const QString& ComPortName() const { return m_comPortName; }
    qint32 BaudRate() const { return m_baudRate; }

    ChannelKind Kind() const { return m_kind; }
    // The gateway's connection is there (it may have dropped since the last request).
    bool TcpConnected() const { return m_tcp.IsConnected(); }

    // Ok when already open. The TCP channel reconnects here when the gateway dropped
    // the connection since the last call; a connection not made within the line's
    // connect time-out fails as refused, an abort ends the wait with Rc::Aborted.
    ResultCode OpenChannel() override;
    void CloseChannel() override;
    void PurgeInput() override;
    // Ok, or the system's error of a failed serial write.
    ResultCode SendBytes(const quint8* bytes, int length) override;
    // Failed once a serial read has failed. Never waits.
    LineRead ReadByte(quint8& byte) override;
    LineWait WaitForInput(qint64 deadlineMs) override;
    bool Pause(int ms) override;

private:
    ResultCode OpenComPort();
    void CloseComPort();
    ResultCode OpenTcp();
    void CloseTcp();
    // Takes what the system holds into the buffer; false when the line failed.
    bool TakeInput();
    void DropBuffer();

    LogSink& m_log;
    QString m_tcpHost;
    quint16 m_tcpPort = 0;
    QString m_comPortName;
    qint32 m_baudRate = 19200;
    int m_connectTimeoutMs = 1000;

    SerialIo m_serial;
    TcpIo m_tcp;
    ChannelKind m_kind = ChannelKind::Closed;
    bool m_readFailed = false;
    QByteArray m_input;
    qsizetype m_read = 0;
};
