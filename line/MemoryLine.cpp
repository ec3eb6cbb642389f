#include "MemoryLine.h"

ResultCode MemoryLine::OpenChannel()
{
    if (Cancelled())
        return Rc::Aborted;
    ++m_opened;
    return Rc::Ok;
}

void MemoryLine::PurgeInput()
{
    m_input.clear();
    m_read = 0;
}

ResultCode MemoryLine::SendBytes(const quint8* bytes, int length)
{
    const QByteArray request(reinterpret_cast<const char*>(bytes), length);
    m_sent.append(request);
    m_sentAt.append(m_now);
    if (!m_replies.isEmpty()) {
        m_input += m_replies.takeFirst();
        return Rc::Ok;
    }
    const std::optional<QByteArray> reply = m_responder ? m_responder(request) : std::nullopt;
    if (!reply)
        return m_gone;
    m_input += *reply;
    return Rc::Ok;
}

LineRead MemoryLine::ReadByte(quint8& byte)
{
    if (m_read >= m_input.size())
        return LineRead::Nothing;
    byte = static_cast<quint8>(m_input.at(m_read++));
    return LineRead::Byte;
}

LineWait MemoryLine::WaitForInput(qint64 deadlineMs)
{
    if (m_read < m_input.size())
        return LineWait::Input;
    if (Cancelled())
        return LineWait::Cancelled;
    m_now = qMax(m_now, deadlineMs);
    return LineWait::Timeout;
}

bool MemoryLine::Pause(int ms)
{
    if (Cancelled())
        return false;
    m_now += qMax(ms, 0);
    return true;
}
