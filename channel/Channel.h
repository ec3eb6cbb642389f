#pragma once

#include "Line.h"
#include "ResultCode.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QString>

class ExchangeLog;
class QEventLoop;
class QSerialPort;
class QTcpSocket;

// The one line the program talks on: a local serial port, or a TCP connection to a
// serial-to-Ethernet gateway that passes the line's bytes through unchanged.
class Channel : public QObject, public Line
{
    Q_OBJECT

public:
    static constexpr qintptr ClosedHandle = -1;
    static constexpr qintptr TcpHandle = 8888;

    // SocketStatus values, as the socket notifications leave them.
    static constexpr int SocketPending = -2;
    static constexpr int SocketConnected = 0;
    static constexpr int SocketDisconnected = -1;
    static constexpr int SocketError = -88;

    explicit Channel(ExchangeLog& log, QObject* parent = nullptr);
    ~Channel() override;

    // Settings, filled by the callers just before opening. An empty TcpHost selects
    // the serial port. ComPortName is what the port list gives (COM3, ttyUSB0) or a
    // full device path.
    QString TcpHost;
    quint16 TcpPort = 0;
    QString ComPortName;
    qint32 BaudRate = 19200;

    qintptr ChannelHandle() const { return m_handle; }
    int SocketStatus() const { return m_socketStatus; }

    // 0 when already open. The TCP channel reconnects here when the gateway dropped
    // the connection since the last call.
    ResultCode OpenChannel() override;
    void CloseChannel();
    void PurgeInput() override;
    // 0, or the system's error code of a failed serial write.
    ResultCode SendBytes(const quint8* bytes, int length) override;
    // 1 a byte was read, 0 none was waiting, Rc::PortReadError a serial read failed.
    // Never waits.
    int ReadByte(quint8& byte) override;

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
    ResultCode WaitForSocketStatus();

    ExchangeLog& m_log;
    QSerialPort* m_serial;
    QTcpSocket* m_socket;
    qintptr m_handle = ClosedHandle;
    int m_socketStatus = SocketDisconnected;
    bool m_readFailed = false;
    int m_serialSession = 0;
    QEventLoop* m_waiter = nullptr;
};
