#pragma once

#include "ResultCode.h"

#include <QtGlobal>

#include <array>
#include <span>

class LogSink;
class Line;

inline constexpr int FrameSize = 3001;

// The line's one ModBus RTU master: one request at a time to one device, replies
// validated by length, CRC, exception bit and function.
class ModbusMaster
{
public:
    ModbusMaster(Line& channel, LogSink& log);

    // Line settings; they take effect at the next transaction.
    int GlobalTimeOut = 1200; // ms until the first byte of a reply
    int LocalTimeOut = 50;    // ms of silence that ends a reply
    int GlobalTry = 5;        // send attempts; below 1 counts as 1
    int ShowLog = 0;          // > 0: every frame dumped in hex into the exchange log
    bool EchoSkip = false;    // the line returns our own transmission ahead of the reply
    int ReplyDelay = 50;      // ms paused after every good reply

    // The pauses of every attempt: before the request, and after a failed one.
    int SendPauseMs = 100;
    int RetryPauseMs = 200;
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
    // GlobalTry says.
    ResultCode ModbusTransaction(Attempts attempts = Attempts::Repeat);
    ResultCode ReceiveReply();

    Line& LineChannel() { return m_channel; }
    LogSink& Log() { return m_log; }

    // True while a transaction or modem exchange runs; a handler nested in one of its
    // waits gets Rc::PortWriteError instead of a second exchange that would overwrite
    // the frames in use.
    bool Busy() const { return m_busy; }
    class BusyScope
    {
    public:
        explicit BusyScope(ModbusMaster& master) : m_master(master) { m_master.m_busy = true; }
        ~BusyScope() { m_master.m_busy = false; }

    private:
        ModbusMaster& m_master;
    };

    // ">> " or "<< " followed by " XX" per byte.
    static QString HexDump(const char* prefix, const quint8* bytes, int length);

private:
    ResultCode ReadRegisters(quint8 function, quint16 address, quint16 firstRegister,
                             quint16& count, std::span<quint8> buffer, Attempts attempts);

    Line& m_channel;
    LogSink& m_log;
    bool m_busy = false;
};
