#include "Modem.h"

#include "AnsiCodec.h"
#include "HexDump.h"
#include "Line.h"
#include "LogSink.h"

ResultCode Modem::ModemCommand(const QString& command)
{
    const ResultCode r = m_line.OpenChannel();
    if (r != Rc::Ok)
        return r;
    const QByteArray bytes = EncodeAnsi(command).left(MaxCommandBytes);
    const auto* data = reinterpret_cast<const quint8*>(bytes.constData());
    if (m_showLog > 0)
        m_log.AddLogLine(HexDump(">> ", data, int(bytes.size())).left(DumpLimit));
    m_line.PurgeInput();
    const ResultCode sent = m_line.SendBytes(data, int(bytes.size()));
    if (sent != Rc::Ok)
        return sent;
    return ReceiveModemReply();
}

ResultCode Modem::ReceiveModemReply()
{
    ModemReply.clear();
    ReplyBytes.clear();
    qint64 deadline = m_line.NowMs() + FirstByteWindowMs;
    for (;;) {
        quint8 byte = 0;
        const LineRead got = m_line.ReadByte(byte);
        if (got == LineRead::Failed)
            return Rc::PortReadError;
        if (got == LineRead::Byte) {
            ReplyBytes.append(char(byte));
            ModemReply += DecodeAnsiByte(byte);
            if (ReplyBytes.size() > ReplyLimit)
                return Rc::ReceiveOverflow;
            deadline = m_line.NowMs() + m_localTimeOut;
            continue;
        }
        const LineWait waited = m_line.WaitForInput(deadline);
        if (waited == LineWait::Cancelled)
            return Rc::Aborted;
        if (waited == LineWait::Input)
            continue;
        if (waited == LineWait::Closed) {
            // A failed serial read says so at the next read; a gateway gone is silence.
            if (m_line.ReadByte(byte) == LineRead::Failed)
                return Rc::PortReadError;
        }
        break;
    }

    const ResultCode result = ReplyBytes.isEmpty() ? Rc::NoReply : Rc::Ok;
    if (m_showLog > 0) {
        m_log.AddLogLine(ReplyBytes.isEmpty()
                             ? QStringLiteral("<< нет ответа")
                             : HexDump("<< ",
                                       reinterpret_cast<const quint8*>(ReplyBytes.constData()),
                                       int(ReplyBytes.size())));
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
