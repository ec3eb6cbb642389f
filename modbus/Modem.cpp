#include "Modem.h"

#include "AnsiCodec.h"
#include "Line.h"
#include "LineWait.h"
#include "LogSink.h"
#include "ModbusMaster.h"

#include <cstring>

ResultCode Modem::ModemCommand(const QString& command)
{
    if (m_master.Busy())
        return Rc::PortWriteError;
    ModbusMaster::BusyScope busy(m_master);
    Line& channel = m_master.LineChannel();
    const ResultCode r = channel.OpenChannel();
    if (r != Rc::Ok)
        return r;

    const QByteArray bytes = EncodeAnsi(command).left(MaxCommandBytes);
    std::memcpy(m_master.RequestFrame.data(), bytes.constData(), static_cast<size_t>(bytes.size()));
    m_master.RequestLength = static_cast<int>(bytes.size());
    if (m_master.ShowLog > 0) {
        m_master.Log().AddLogLine(
            ModbusMaster::HexDump(">> ", m_master.RequestFrame.data(), m_master.RequestLength)
                .left(DumpLimit));
    }
    channel.PurgeInput();
    const ResultCode sent = channel.SendBytes(m_master.RequestFrame.data(), m_master.RequestLength);
    if (sent != Rc::Ok)
        return sent;
    return ReceiveModemReply();
}

ResultCode Modem::ReceiveModemReply()
{
    Line& channel = m_master.LineChannel();
    ModemReply.clear();
    m_master.ReplyLength = 0;
    QDeadlineTimer deadline = DeadlineIn(FirstByteWindowMs);

    while (!deadline.hasExpired()) {
        PumpEvents();
        quint8 byte = 0;
        const LineRead got = channel.ReadByte(byte);
        if (got == LineRead::Failed)
            return Rc::PortReadError;
        if (got == LineRead::Nothing) {
            channel.WaitForInput(deadline);
            continue;
        }
        m_master.ReplyFrame[m_master.ReplyLength] = byte;
        ModemReply += DecodeAnsiByte(byte);
        ++m_master.ReplyLength;
        if (m_master.ReplyLength > ReplyLimit)
            return Rc::ReceiveOverflow;
        PumpEvents();
        deadline = DeadlineIn(m_master.LocalTimeOut);
    }

    const ResultCode result = m_master.ReplyLength > 0 ? Rc::Ok : Rc::NoReply;
    if (m_master.ShowLog > 0) {
        m_master.Log().AddLogLine(
            m_master.ReplyLength > 0
                ? ModbusMaster::HexDump("<< ", m_master.ReplyFrame.data(), m_master.ReplyLength)
                : QStringLiteral("<< нет ответа"));
    }
    return result;
}

QString TrimLineBreaks(const QString& text)
{
    auto isBreak = [](QChar c) {
        return c == u'\r' || c == u'\n';
    };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBreak(text.at(begin)))
        ++begin;
    while (end > begin && isBreak(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}
