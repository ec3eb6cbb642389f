#pragma once

#include "Line.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <functional>
#include <optional>

// A line held in memory, for driving the master from a script: each request sent is
// kept and answered with the next scripted reply, or with what the responder makes of
// the request. Once neither has anything left, a request fails as on a line that is
// gone (Rc::PortWriteError, or what SetGoneResult names). A reply is there the moment its
// request is sent. The line keeps time of its own: pauses and waits with nothing to read
// pass at once, each moving its clock on, so a transaction costs no real time whatever
// its time-outs.
class MemoryLine : public Line
{
public:
    // Answers one request; an empty answer leaves the line silent, none at all means
    // the responder has nothing left.
    using Responder = std::function<std::optional<QByteArray>(QByteArrayView request)>;

    void QueueReply(QByteArray reply) { m_replies.append(std::move(reply)); }
    // Takes over once the queued replies are used up.
    void SetResponder(Responder responder) { m_responder = std::move(responder); }

    // What a request gets once nothing is left: a line gone in some other way, say a
    // gateway whose socket broke (a system error).
    void SetGoneResult(ResultCode result) { m_gone = result; }

    const QList<QByteArray>& Sent() const { return m_sent; }
    // The line's time, ms: the pauses and the waits so far.
    qint64 Now() const { return m_now; }
    // The line's time as each request of Sent() went out, its reply with it.
    const QList<qint64>& SentAt() const { return m_sentAt; }
    // How often the line was opened and closed.
    int Opened() const { return m_opened; }
    int Closed() const { return m_closed; }

    ResultCode OpenChannel() override;
    void CloseChannel() override { ++m_closed; }
    void PurgeInput() override;
    ResultCode SendBytes(const quint8* bytes, int length) override;
    LineRead ReadByte(quint8& byte) override;
    LineWait WaitForInput(qint64 deadlineMs) override;
    bool Pause(int ms) override;
    qint64 NowMs() const override { return m_now; }

private:
    QList<QByteArray> m_replies;
    Responder m_responder;
    ResultCode m_gone = Rc::PortWriteError;
    QList<QByteArray> m_sent;
    QList<qint64> m_sentAt;
    qint64 m_now = 0;
    QByteArray m_input;
    qsizetype m_read = 0;
    int m_opened = 0;
    int m_closed = 0;
};
