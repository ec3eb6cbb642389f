#pragma once

#include "Channel.h"
#include "ExchangeLog.h"
#include "LinePeer.h"
#include "ModbusMaster.h"

#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// The log memo of a test: the entries as the window would show them.
class RecordingMemo : public LogMemo
{
public:
    QString MemoText() const override { return m_lines.join(u'\n'); }
    void SetMemoText(const QString& text) override { m_lines = text.split(u'\n'); }
    void AddMemoLine(const QString& line) override { m_lines.append(line); }
    const QStringList& Lines() const { return m_lines; }
    // The entries with their time stamps taken off.
    QStringList Texts() const;
    void Clear() { m_lines.clear(); }

private:
    QStringList m_lines;
};

// The serial line to a stand-in meter's terminal with the tests' short time-outs: a
// silent meter costs little and the master adds no pause after good replies.
inline void UseTestPort(Channel& channel, ModbusMaster& master, const QString& port)
{
    channel.ComPortName = port;
    channel.BaudRate = 19200;
    master.GlobalTimeOut = 500;
    master.LocalTimeOut = 30;
    master.GlobalTry = 2;
    master.ReplyDelay = 0;
}

// A master on a real line (a pseudo-terminal or a loopback gateway) with a scripted
// device at the far end, short time-outs and a log in a temporary program folder.
struct LineFixture
{
    explicit LineFixture(const QString& transport);

    bool IsTcp() const { return tcp != nullptr; }
    LinePeer& Peer() { return *peer; }

    QTemporaryDir home;
    ExchangeLog log;
    RecordingMemo memo;
    Channel channel;
    ModbusMaster master;
    std::unique_ptr<LinePeer> peer;
    PtyPeer* pty = nullptr;
    TcpPeer* tcp = nullptr;
};
