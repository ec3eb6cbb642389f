#pragma once

#include "Channel.h"
#include "ExchangeLog.h"
#include "LinePeer.h"
#include "ModbusMaster.h"

#include "OffThread.h"

#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <mutex>

// The log memo of a test: the entries as the window would show them. The engine writes
// to it from its own thread.
class RecordingMemo : public LogMemo
{
public:
    void AddMemoLine(const QString& line) override
    {
        std::lock_guard lock(m_mutex);
        m_lines.append(line);
    }
    void AppendToLastLine(const QString& text) override
    {
        std::lock_guard lock(m_mutex);
        if (m_lines.isEmpty())
            m_lines.append(QString());
        m_lines.last() += text;
    }
    QStringList Lines() const
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    // The entries with their time stamps taken off.
    QStringList Texts() const;
    void Clear()
    {
        std::lock_guard lock(m_mutex);
        m_lines.clear();
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_lines;
};

// The serial line to a stand-in meter's terminal with the tests' short time-outs: a
// silent meter costs little and the master adds no pause after good replies.
inline LineConfig TestPortLine(const QString& port)
{
    LineConfig line;
    line.comPort = port;
    line.baudRate = 19200;
    line.globalTimeOut = 500;
    line.localTimeOut = 30;
    line.globalTry = 2;
    line.replyPause = 0;
    return line;
}

// A master on a real line (a pseudo-terminal or a loopback gateway) with a scripted
// device at the far end, short time-outs and a log in a temporary program folder.
struct LineFixture
{
    explicit LineFixture(const QString& transport);

    bool IsTcp() const { return tcp != nullptr; }
    LinePeer& Peer() { return *peer; }
    // Hands config to the channel and the master, as a read-out does at its start.
    void Apply()
    {
        channel.Configure(config);
        master.Configure(config);
    }

    QTemporaryDir home;
    ExchangeLog log;
    RecordingMemo memo;
    LineConfig config;
    Channel channel;
    ModbusMaster master;
    std::unique_ptr<LinePeer> peer;
    PtyPeer* pty = nullptr;
    TcpPeer* tcp = nullptr;
};
