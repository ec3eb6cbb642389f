#include "SimLine.h"

#include "Crc16.h"
#include "SimServer.h"

#include <QJsonObject>
#include <QTimer>

namespace {

// Bytes that do not make a request are dropped after this much silence, as a real
// meter resynchronises on the pause between frames.
constexpr int FrameGapMs = 20;

QByteArray WithCrc(QByteArray frame)
{
    const quint16 crc =
        Crc16(reinterpret_cast<const quint8*>(frame.constData()), int(frame.size()));
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
    return frame;
}

bool CrcMatches(const QByteArray& frame)
{
    if (frame.size() < 4)
        return false;
    const quint16 crc =
        Crc16(reinterpret_cast<const quint8*>(frame.constData()), int(frame.size() - 2));
    return quint8(frame.at(frame.size() - 2)) == (crc & 0xFF) &&
           quint8(frame.at(frame.size() - 1)) == (crc >> 8);
}

} // namespace

SimLine::SimLine(SimServer& server, Sender send, Dropper drop, QObject* parent)
    : QObject(parent), m_server(server), m_send(std::move(send)), m_drop(std::move(drop))
{
    m_commandMode = m_server.Modem().enabled;
    m_lastByte.start();
}

void SimLine::Receive(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    if (m_server.Echo())
        Transmit(bytes);
    if (m_commandMode) {
        ModemText(bytes);
        return;
    }
    if (m_lastByte.elapsed() > FrameGapMs)
        m_pending.clear(); // a new frame starts after a pause
    m_lastByte.restart();
    m_pending += bytes;
    TakeFrames();
}

void SimLine::TakeFrames()
{
    while (m_pending.size() >= 2) {
        const quint8 function = quint8(m_pending.at(1));
        qsizetype need = 0;
        if (function == 3 || function == 4)
            need = 8;
        else if (function == 16)
            need = m_pending.size() >= 7 ? 9 + quint8(m_pending.at(6)) : 0;
        else
            return; // not a request we know: wait for the pause to drop it
        if (need == 0 || m_pending.size() < need)
            return;
        const QByteArray frame = m_pending.left(need);
        m_pending.remove(0, need);
        if (CrcMatches(frame))
            Answer(frame);
        else
            TraceBytes("in", frame, {{QStringLiteral("error"), QStringLiteral("crc")}});
    }
}

void SimLine::ModemText(const QByteArray& bytes)
{
    m_command += bytes;
    for (;;) {
        const qsizetype end = m_command.indexOf('\r');
        if (end < 0)
            return;
        QByteArray line = m_command.left(end).trimmed().toUpper();
        m_command.remove(0, end + 1);
        // Whatever came before the command (line noise, a stray frame) is ignored.
        if (const qsizetype at = line.indexOf("AT"); at > 0)
            line.remove(0, at);
        TraceBytes("in", line, {{QStringLiteral("modem"), QString::fromLatin1(line)}});
        if (line.isEmpty())
            continue;
        const ModemOptions& modem = m_server.Modem();
        if (line.startsWith("ATD")) {
            if (!modem.connects)
                continue;
            QTimer::singleShot(modem.connectDelayMs, this, [this] {
                Transmit(QByteArrayLiteral("\r\nCONNECT 9600\r\n"));
                m_commandMode = false;
                m_command.clear();
            });
        } else if (line.startsWith("AT")) {
            Transmit(modem.answersOk ? QByteArrayLiteral("\r\nOK\r\n")
                                     : QByteArrayLiteral("\r\nERROR\r\n"));
        }
    }
}

void SimLine::Answer(const QByteArray& frame)
{
    MeterRequest request;
    const quint8 address = quint8(frame.at(0));
    request.function = quint8(frame.at(1));
    request.firstRegister = quint16((quint8(frame.at(2)) << 8) | quint8(frame.at(3)));
    request.count = quint16((quint8(frame.at(4)) << 8) | quint8(frame.at(5)));
    if (request.function == 16)
        request.data = frame.mid(7, quint8(frame.at(6)));

    TraceBytes("in", frame,
               {{QStringLiteral("address"), address},
                {QStringLiteral("function"), request.function},
                {QStringLiteral("register"), request.firstRegister},
                {QStringLiteral("count"), request.count},
                {QStringLiteral("data"), QString::fromLatin1(request.data.toHex())}});

    Meter* meter = m_server.FindMeter(address);
    if (!meter)
        return; // nobody at that address: the line stays quiet
    const FaultSettings faults = meter->Faults();
    ++m_requests;
    if (faults.silent)
        return;

    MeterAnswer answer;
    const bool startDate = meter->IsStartDateWrite(request);
    if (faults.exceptionRegister >= 0 && faults.exceptionRegister == request.firstRegister)
        answer = MeterAnswer::Exception(faults.exceptionCode);
    else if (startDate && faults.startDateLimit > 0 &&
             ++m_startDates[address] > faults.startDateLimit)
        answer = MeterAnswer::Exception(4);
    else
        answer = meter->Handle(request);

    QByteArray reply;
    reply.append(char(faults.otherAddress ? quint8(address + 1) : address));
    if (answer.exception != 0) {
        reply.append(char(request.function | 0x80));
        reply.append(char(answer.exception));
    } else if (request.function == 16) {
        reply.append(frame.mid(1, 5));
    } else {
        reply.append(char(request.function));
        reply.append(char(quint8(answer.data.size() + faults.byteCountLie)));
        reply.append(answer.data.left(255));
    }
    reply = WithCrc(reply);
    const int serial = ++m_replies[address];
    const bool corruptNext = answer.nextRecord && faults.corruptNextEvery > 0 &&
                             ++m_nextReplies[address] % faults.corruptNextEvery == 0;
    if ((faults.corruptCrcEvery > 0 && serial % faults.corruptCrcEvery == 0) || corruptNext)
        reply[reply.size() - 1] = char(reply.back() ^ 0x5A);
    if (faults.truncateTo > 0)
        reply.truncate(faults.truncateTo);
    if (faults.noiseBytes > 0)
        reply.prepend(QByteArray(faults.noiseBytes, char(0xFF)));
    SendReply(reply, faults, faults.dropAfter > 0 && m_requests >= faults.dropAfter);
}

void SimLine::SendReply(QByteArray reply, const FaultSettings& faults, bool dropAfterwards)
{
    auto send = [this, reply, gap = faults.gapMs, dropAfterwards] {
        if (gap > 0) {
            const QByteArray head = reply.left(reply.size() / 2);
            const QByteArray tail = reply.mid(reply.size() / 2);
            Transmit(head);
            QTimer::singleShot(gap, Qt::PreciseTimer, this, [this, tail, dropAfterwards] {
                Transmit(tail);
                if (dropAfterwards && m_drop)
                    m_drop();
            });
            return;
        }
        Transmit(reply);
        if (dropAfterwards && m_drop)
            m_drop();
    };
    if (faults.delayMs > 0)
        QTimer::singleShot(faults.delayMs, Qt::PreciseTimer, this, send);
    else
        send();
}

void SimLine::Transmit(const QByteArray& bytes)
{
    TraceBytes("out", bytes);
    m_send(bytes);
}

void SimLine::TraceBytes(const char* direction, const QByteArray& bytes, QJsonObject entry)
{
    entry.insert(QStringLiteral("dir"), QLatin1String(direction));
    entry.insert(QStringLiteral("bytes"), QString::fromLatin1(bytes.toHex(' ').toUpper()));
    m_server.Trace(entry);
}
