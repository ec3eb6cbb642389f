#include "ModbusMaster.h"

#include "Crc16.h"
#include "Line.h"
#include "LineWait.h"
#include "LogSink.h"

#include <cstring>

ModbusMaster::ModbusMaster(Line& channel, LogSink& log) : m_channel(channel), m_log(log) {}

QString ModbusMaster::HexDump(const char* prefix, const quint8* bytes, int length)
{
    static const char digits[] = "0123456789ABCDEF";
    QString text = QString::fromLatin1(prefix);
    text.reserve(text.size() + 3 * length);
    for (int i = 0; i < length; ++i) {
        text += u' ';
        text += QLatin1Char(digits[bytes[i] >> 4]);
        text += QLatin1Char(digits[bytes[i] & 0x0F]);
    }
    return text;
}

ResultCode ModbusMaster::ModbusTransaction(Attempts attempts)
{
    ResultCode r = m_channel.OpenChannel();
    if (r != Rc::Ok)
        return r;

    const quint16 crc = Crc16(RequestFrame.data(), RequestLength);
    RequestFrame[RequestLength] = static_cast<quint8>(crc & 0xFF);
    RequestFrame[RequestLength + 1] = static_cast<quint8>(crc >> 8);
    RequestLength += 2;

    // At least one attempt: without one no reply would be checked and the previous
    // exchange's frame could pass for this one's.
    const int sends = attempts == Attempts::Once ? 1 : qMax(GlobalTry, 1);
    for (int attempt = 1; attempt <= sends; ++attempt) {
        m_channel.PurgeInput();
        // Purging has just let the event loop run: a pause of 0 need not run it again.
        if (SendPauseMs > 0)
            m_channel.Pause(SendPauseMs);
        if (ShowLog > 0)
            m_log.AddLogLine(HexDump(">> ", RequestFrame.data(), RequestLength));
        const ResultCode sent = m_channel.SendBytes(RequestFrame.data(), RequestLength);
        if (sent != Rc::Ok)
            return sent;
        r = ReceiveReply();
        // A meter that answers with an exception has understood the request: asking
        // again would get the same answer.
        if (r == Rc::Ok || (r.IsException() && r.number() >= 1 && r.number() <= 9))
            return r;
        m_channel.Pause(RetryPauseMs);
    }
    return r;
}

ResultCode ModbusMaster::ReceiveReply()
{
    ReplyLength = 0;
    int expected = ReplyLimit;
    int skip = EchoSkip ? RequestLength : 0;
    QDeadlineTimer deadline = DeadlineIn(GlobalTimeOut);
    // The wait that follows the last byte taken; the deadline is set from it only when
    // the buffer runs dry, since reading the clock at every byte costs more than the
    // byte's whole handling.
    int silence = -1;
    bool lastLook = false;

    for (;;) {
        quint8 byte = 0;
        // Only the event loop moves what the system holds into the line's buffer; the
        // wait below runs it when the buffer is dry.
        const LineRead got = m_channel.ReadByte(byte);
        if (got == LineRead::Failed)
            return Rc::PortReadError;
        if (got == LineRead::Nothing) {
            if (silence >= 0) {
                deadline = DeadlineIn(silence);
                silence = -1;
            }
            if (deadline.hasExpired()) {
                // A last look at what the system holds: a reply that came as time ran
                // out still counts.
                if (lastLook)
                    break;
                lastLook = true;
                PumpEvents();
                continue;
            }
            m_channel.WaitForInput(deadline);
            continue;
        }
        lastLook = false;
        if (skip > 0) {
            --skip; // echo bytes are dropped, not compared
            silence = skip > 0 ? LocalTimeOut : GlobalTimeOut;
            continue;
        }
        if (ReplyLength == 0 && byte == 0xFF) {
            silence = LocalTimeOut; // line noise before a reply
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
        silence = LocalTimeOut;
    }

    if (ShowLog > 0) {
        m_log.AddLogLine(ReplyLength > 0 ? HexDump("<< ", ReplyFrame.data(), ReplyLength)
                                         : QStringLiteral("<< нет ответа"));
    }
    if (ReplyLength < 5)
        return Rc::NoReply;
    const quint16 crc = Crc16(ReplyFrame.data(), ReplyLength - 2);
    if (ReplyFrame[ReplyLength - 2] != (crc & 0xFF) || ReplyFrame[ReplyLength - 1] != (crc >> 8))
        return Rc::CrcError;
    if (ReplyLength == 5 && (ReplyFrame[1] & 0x80))
        return ResultCode::Exception(ReplyFrame[2]);
    // The reply's last byte has just let the event loop run.
    if (ReplyDelay > 0)
        m_channel.Pause(ReplyDelay);
    return Rc::Ok;
}

ResultCode ModbusMaster::ReadRegisters(quint8 function, quint16 address, quint16 firstRegister,
                                       quint16& count, std::span<quint8> buffer, Attempts attempts)
{
    // The reply's byte count could not announce more.
    if (count > MaxReadRegisters)
        return Rc::InvalidParameter;
    if (m_busy)
        return Rc::PortWriteError;
    BusyScope busy(*this);
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
    if (m_busy)
        return Rc::PortWriteError;
    BusyScope busy(*this);
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
