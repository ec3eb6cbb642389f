#pragma once

#include "ResultCode.h"

#include <QByteArray>
#include <QString>

class Line;
class LogSink;

// Text exchange with a dial-up modem on the line (AT commands). No CRC, no retries.
class Modem
{
public:
    Modem(Line& line, LogSink& log) : m_line(line), m_log(log) {}

    static constexpr int MaxCommandBytes = 255;
    static constexpr int FirstByteWindowMs = 1500;
    static constexpr int ReplyLimit = 3000;
    static constexpr int DumpLimit = 255; // characters of a ">> " dump line

    // The line's silence that ends an answer, and the hex dumps.
    void Configure(int localTimeOut, int showLog)
    {
        m_localTimeOut = localTimeOut;
        m_showLog = showLog;
    }

    // Sends the command's Windows-1251 bytes (cut to 255) unchanged; the answer is
    // left in ModemReply.
    ResultCode ModemCommand(const QString& command);
    // Whatever arrives from the first byte (within 1500 ms) until the local time-out of
    // silence. Rc::Aborted when the line's token ended the wait.
    ResultCode ReceiveModemReply();

    QString ModemReply;
    // The answer's bytes as received.
    QByteArray ReplyBytes;

private:
    Line& m_line;
    LogSink& m_log;
    int m_localTimeOut = 50;
    int m_showLog = 0;
};

// The text without its leading and trailing CR and LF characters.
QString TrimLineBreaks(const QString& text);
