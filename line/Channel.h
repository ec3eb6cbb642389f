#pragma once

#include "Line.h"
#include "ResultCode.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QString>

class LogSink;
class QEventLoop;
class QSerialPort;
class QTcpSocket;

// What the channel has open.
enum class ChannelKind { Closed, Serial, Tcp };

// The TCP connection as the socket's notifications leave it.
enum class SocketState { Pending, Connected, Disconnected, Failed };

// The one line the program talks on: a local serial port, or a TCP connection to a
// serial-to-Ethernet gateway that passes the line's bytes through unchanged.
class Channel : public QObject, public Line
{
    Q_OBJECT

public:
    explicit Channel(LogSink& log, QObject* parent = nullptr);
    ~Channel() override;

    // Settings, filled by the callers just before opening. An empty TcpHost selects
    // the serial port. ComPortName is what the port list gives (COM3, ttyUSB0) or a
    // full device path.
    QString TcpHost;
    quint16 TcpPort = 0;
    QString ComPortName;
    qint32 BaudRate = 19200;

    ChannelKind Kind() const { return m_kind; }
    SocketState SocketStatus() const { return m_socketStatus; }

    // Ok when already open. The TCP channel reconnects here when the gateway dropped
    // the connection since the last call.
    ResultCode OpenChannel() override;
    void CloseChannel();
    void PurgeInput() override;
    // Ok, or the system's error of a failed serial write.
    ResultCode SendBytes(const quint8* bytes, int length) override;
    // Failed once a serial read has failed. Never waits.
    LineRead ReadByte(quint8& byte) override;

    // Sleeps in the event loop until input may be there, the line failed or closed, or
    // the deadline passed. Returns at once when a byte is already waiting.
    void WaitForInput(const QDeadlineTimer& deadline) override;

private:
    ResultCode OpenComPort();
    int SetupComPort(qint32 speed);
    void CloseComPort();
    ResultCode OpenTcp();
    void CloseTcp();
    bool InputWaiting() const;
    void DropUnread();
    void WakeWaiter();
    SocketState WaitForSocketStatus();

    LogSink& m_log;
    QSerialPort* m_serial;
    QTcpSocket* m_socket;
    ChannelKind m_kind = ChannelKind::Closed;
    SocketState m_socketStatus = SocketState::Disconnected;
    bool m_readFailed = false;
    int m_serialSession = 0;
    QEventLoop* m_waiter = nullptr;
};
