#pragma once

#include "LineConfig.h"
#include "ResultCode.h"

#include <QtGlobal>

#include <array>
#include <span>

class LogSink;
class Line;

inline constexpr int FrameSize = 3001;

// The line's one ModBus RTU master: one request at a time to one device, replies
// validated by length, CRC, address, function and exception bit.
class ModbusMaster
{
public:
    ModbusMaster(Line& line, LogSink& log);

    // The time-outs, attempts, pauses, echo and dump switch of the line; they take
    // effect at the next transaction.
    void Configure(const LineConfig& config);
    const LineConfig& Config() const { return m_config; }

    // A reply never grows past this many bytes.
    static constexpr int ReplyLimit = 1000;
    // The byte-count field is 8 bits wide: a read reply carries at most 125 registers
    // within the ModBus frame, a write request 127.
    static constexpr int MaxReadRegisters = 125;
    static constexpr int MaxWriteRegisters = 127;

    std::array<quint8, FrameSize> RequestFrame{};
    int RequestLength = 0;
    std::array<quint8, FrameSize> ReplyFrame{};
    int ReplyLength = 0;

    // A read that moves the device on (a next-record read) must not be repeated: a
    // repeat after a lost reply would return the record after the lost one. Such reads
    // are sent once, and their caller repositions the device when one fails.
    enum class Attempts { Repeat, Once };

    // On success count is the reply's byte count N and buffer[0..N-1] its data bytes
    // as received; on failure both are left alone. A reply announcing more bytes than
    // buffer holds is not ours: Rc::UnknownReply. More than MaxReadRegisters are refused
    // with Rc::InvalidParameter before anything is sent.
    ResultCode ReadHoldingRegisters(quint16 address, quint16 firstRegister, quint16& count,
                                    std::span<quint8> buffer, Attempts attempts = Attempts::Repeat);
    ResultCode ReadInputRegisters(quint16 address, quint16 firstRegister, quint16& count,
                                  std::span<quint8> buffer, Attempts attempts = Attempts::Repeat);
    // data holds 2·count bytes, each register high byte first.
    ResultCode WriteMultipleRegisters(quint16 address, quint16 firstRegister, quint16 count,
                                      std::span<const quint8> data);

    // Sends RequestFrame[0..RequestLength-1] with its CRC appended; the reply, CRC
    // included, is left in ReplyFrame / ReplyLength. Once: a single send, whatever
    // the attempts of the line say. Rc::Aborted as soon as an abort ends a wait.
    ResultCode ModbusTransaction(Attempts attempts = Attempts::Repeat);
    ResultCode ReceiveReply();

private:
    ResultCode ReadRegisters(quint8 function, quint16 address, quint16 firstRegister,
                             quint16& count, std::span<quint8> buffer, Attempts attempts);
    // Whether the frame in ReplyFrame is an answer to the request in RequestFrame: from
    // its address, to its function (or its exception), a write's echo of the registers.
    bool AnswersRequest() const;
    void DumpReply() const;

    Line& m_line;
    LogSink& m_log;
    LineConfig m_config;
};
