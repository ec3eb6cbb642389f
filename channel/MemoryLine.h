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
// gone (Rc::PortWriteError, or what SetGoneResult names). No time passes on it but in WaitForInput,
// which sleeps until the deadline when nothing is waiting; with short time-outs and pauses at 0 a
// transaction takes no longer than its time-outs.
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

    ResultCode OpenChannel() override { return Rc::Ok; }
    void PurgeInput() override;
    ResultCode SendBytes(const quint8* bytes, int length) override;
    LineRead ReadByte(quint8& byte) override;
    void WaitForInput(const QDeadlineTimer& deadline) override;

private:
    QList<QByteArray> m_replies;
    Responder m_responder;
    ResultCode m_gone = Rc::PortWriteError;
    QList<QByteArray> m_sent;
    QByteArray m_input;
    qsizetype m_read = 0;
};
