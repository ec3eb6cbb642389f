#include "ModbusMaster.h"

#include "Crc16.h"
#include "HexDump.h"
#include "Line.h"
#include "LogSink.h"

#include <cstring>

ModbusMaster::ModbusMaster(Line& line, LogSink& log) : m_line(line), m_log(log) {}

void ModbusMaster::Configure(const LineConfig& config)
{
    m_config = config;
}

ResultCode ModbusMaster::ModbusTransaction(Attempts attempts)
{
    ResultCode r = m_line.OpenChannel();
    if (r != Rc::Ok)
        return r;

    const quint16 crc = Crc16(RequestFrame.data(), RequestLength);
    RequestFrame[RequestLength] = static_cast<quint8>(crc & 0xFF);
    RequestFrame[RequestLength + 1] = static_cast<quint8>(crc >> 8);
    RequestLength += 2;

    // At least one attempt: without one no reply would be checked and the previous
    // exchange's frame could pass for this one's.
    const int sends = attempts == Attempts::Once ? 1 : qMax(m_config.globalTry, 1);
    for (int attempt = 1; attempt <= sends; ++attempt) {
        // A gateway that dropped the connection during the last attempt is connected
        // again for this one.
        if (attempt > 1) {
            r = m_line.OpenChannel();
            if (r != Rc::Ok)
                return r;
        }
        m_line.PurgeInput();
        if (!m_line.Pause(m_config.sendPause))
            return Rc::Aborted;
        if (m_config.showLog > 0)
            m_log.AddLogLine(HexDump(">> ", RequestFrame.data(), RequestLength));
        const ResultCode sent = m_line.SendBytes(RequestFrame.data(), RequestLength);
        if (sent != Rc::Ok)
            return sent;
        r = ReceiveReply();
        // A meter that answers with an exception has understood the request: asking
        // again would get the same answer.
        if (r == Rc::Ok || r == Rc::Aborted ||
            (r.IsException() && r.number() >= 1 && r.number() <= 9))
            return r;
        if (!m_line.Pause(m_config.retryPause))
            return Rc::Aborted;
    }
    return r;
}

bool ModbusMaster::AnswersRequest() const
{
    if (ReplyFrame[0] != RequestFrame[0] || (ReplyFrame[1] & 0x7F) != RequestFrame[1])
        return false;
    if (ReplyFrame[1] & 0x80)
        return ReplyLength == 5;
    // A write is answered by the echo of its first six bytes.
    if (RequestFrame[1] == 16)
        return ReplyLength == 8 && std::memcmp(ReplyFrame.data(), RequestFrame.data(), 6) == 0;
    return true;
}

void ModbusMaster::DumpReply() const
{
    if (m_config.showLog > 0)
        m_log.AddLogLine(ReplyLength > 0 ? HexDump("<< ", ReplyFrame.data(), ReplyLength)
                                         : QStringLiteral("<< нет ответа"));
}

ResultCode ModbusMaster::ReceiveReply()
{
    const int skipEcho = m_config.echo ? RequestLength : 0;
    // A whole frame with a good CRC that answers another request (another address, a
    // late answer to an earlier request) is dropped, and the wait goes on to the reply's
    // own deadline.
    const qint64 replyDeadline = m_line.NowMs() + m_config.globalTimeOut;
    bool foreign = false;

    for (int skip = skipEcho;; skip = 0) {
        ReplyLength = 0;
        int expected = ReplyLimit;
        qint64 deadline = replyDeadline;
        // The wait that follows the last byte taken; the deadline is set from it only when
        // the buffer runs dry, since reading the clock at every byte costs more than the
        // byte's whole handling.
        int silence = -1;
        for (;;) {
            quint8 byte = 0;
            const LineRead got = m_line.ReadByte(byte);
            if (got == LineRead::Failed)
                return Rc::PortReadError;
            if (got == LineRead::Nothing) {
                if (silence >= 0) {
                    deadline = m_line.NowMs() + silence;
                    silence = -1;
                }
                const LineWait waited = m_line.WaitForInput(deadline);
                if (waited == LineWait::Input)
                    continue;
                if (waited == LineWait::Cancelled)
                    return Rc::Aborted;
                if (waited == LineWait::Closed && m_line.ReadByte(byte) == LineRead::Failed)
                    return Rc::PortReadError;
                break; // the deadline, or a gateway that went away
            }
            if (skip > 0) {
                --skip; // echo bytes are dropped, not compared
                silence = skip > 0 ? m_config.localTimeOut : m_config.globalTimeOut;
                continue;
            }
            if (ReplyLength == 0 && byte == 0xFF) {
                silence = m_config.localTimeOut; // line noise before a reply
                continue;
            }
            ReplyFrame[ReplyLength] = byte;
            --expected;
            if (ReplyLength == 2) {
                const quint8 function = ReplyFrame[1];
                if (function == 3 || function == 4)
                    expected = byte + 2;
                else if (function == 16)
                    expected = 5;
                else if (function >= 0x83 && function <= 0x90)
                    expected = 2;
            }
            ++ReplyLength;
            if (expected == 0)
                break;
            silence = m_config.localTimeOut;
        }

        DumpReply();
        if (ReplyLength < 5)
            return foreign ? Rc::UnknownReply : Rc::NoReply;
        const quint16 crc = Crc16(ReplyFrame.data(), ReplyLength - 2);
        if (ReplyFrame[ReplyLength - 2] != (crc & 0xFF) ||
            ReplyFrame[ReplyLength - 1] != (crc >> 8))
            return Rc::CrcError;
        if (!AnswersRequest()) {
            foreign = true;
            if (m_line.NowMs() < replyDeadline)
                continue;
            return Rc::UnknownReply;
        }
        if (ReplyLength == 5 && (ReplyFrame[1] & 0x80))
            return ResultCode::Exception(ReplyFrame[2]);
        break;
    }
    if (!m_line.Pause(m_config.ReplyPause()))
        return Rc::Aborted;
    return Rc::Ok;
}

ResultCode ModbusMaster::ReadRegisters(quint8 function, quint16 address, quint16 firstRegister,
                                       quint16& count, std::span<quint8> buffer, Attempts attempts)
{
    // The reply's byte count could not announce more.
    if (count > MaxReadRegisters)
        return Rc::InvalidParameter;
    RequestFrame[0] = static_cast<quint8>(address & 0xFF);
    RequestFrame[1] = function;
    RequestFrame[2] = static_cast<quint8>(firstRegister >> 8);
    RequestFrame[3] = static_cast<quint8>(firstRegister & 0xFF);
    RequestFrame[4] = 0;
    RequestFrame[5] = static_cast<quint8>(count & 0xFF);
    RequestLength = 6;
    const ResultCode r = ModbusTransaction(attempts);
    if (r != Rc::Ok)
        return r;
    // An address beyond 8 bits went out as its low byte, and no reply can carry it.
    if (ReplyFrame[0] != address || ReplyFrame[1] != function)
        return Rc::UnknownReply;
    const int bytes = ReplyFrame[2];
    // The announced data must be in the reply and fit the caller's buffer.
    if (3 + bytes + 2 > ReplyLength || static_cast<size_t>(bytes) > buffer.size())
        return Rc::UnknownReply;
    std::memcpy(buffer.data(), ReplyFrame.data() + 3, static_cast<size_t>(bytes));
    count = static_cast<quint16>(bytes);
    return Rc::Ok;
}

ResultCode ModbusMaster::ReadHoldingRegisters(quint16 address, quint16 firstRegister,
                                              quint16& count, std::span<quint8> buffer,
                                              Attempts attempts)
{
    return ReadRegisters(3, address, firstRegister, count, buffer, attempts);
}

ResultCode ModbusMaster::ReadInputRegisters(quint16 address, quint16 firstRegister, quint16& count,
                                            std::span<quint8> buffer, Attempts attempts)
{
    return ReadRegisters(4, address, firstRegister, count, buffer, attempts);
}

ResultCode ModbusMaster::WriteMultipleRegisters(quint16 address, quint16 firstRegister,
                                                quint16 count, std::span<const quint8> data)
{
    // More registers than the byte-count field can announce, or fewer data bytes than
    // announced, would put a malformed frame on the line.
    if (count > MaxWriteRegisters || data.size() < 2u * count)
        return Rc::InvalidParameter;
    RequestFrame[0] = static_cast<quint8>(address & 0xFF);
    RequestFrame[1] = 16;
    RequestFrame[2] = static_cast<quint8>(firstRegister >> 8);
    RequestFrame[3] = static_cast<quint8>(firstRegister & 0xFF);
    RequestFrame[4] = 0;
    RequestFrame[5] = static_cast<quint8>(count & 0xFF);
    RequestFrame[6] = static_cast<quint8>((2 * count) & 0xFF);
    std::memcpy(RequestFrame.data() + 7, data.data(), 2u * count);
    RequestLength = 2 * count + 7;
    const ResultCode r = ModbusTransaction();
    if (r != Rc::Ok)
        return r;
    if (ReplyLength != 8 || std::memcmp(ReplyFrame.data(), RequestFrame.data(), 6) != 0)
        return Rc::UnknownReply;
    return Rc::Ok;
}
