#pragma once

#include "ResultCode.h"

#include <QString>

class ModbusMaster;

// Text exchange with a dial-up modem on the serial line (AT commands), sharing the
// master's frames and line settings. No CRC, no retries.
class Modem
{
public:
    explicit Modem(ModbusMaster& master) : m_master(master) {}

    static constexpr int MaxCommandBytes = 255;
    static constexpr int FirstByteWindowMs = 1500;
    static constexpr int ReplyLimit = 3000;
    static constexpr int DumpLimit = 255; // characters of a ">> " dump line

    // Sends the command's Windows-1251 bytes (cut to 255) unchanged; the answer is
    // left in ModemReply.
    ResultCode ModemCommand(const QString& command);
    // Whatever arrives from the first byte (within 1500 ms) until LocalTimeOut of silence.
    ResultCode ReceiveModemReply();

    QString ModemReply;

private:
    ModbusMaster& m_master;
};

// The text without its leading and trailing CR and LF characters.
QString TrimLineBreaks(const QString& text);
