#include "SimLine.h"

#include "SimServer.h"

#include <QJsonObject>
#include <QTimer>

namespace {

// Bytes that do not make a request are dropped after this much silence, as a real
// meter resynchronises on the pause between frames.
constexpr int FrameGapMs = 20;

} // namespace

SimLine::SimLine(SimServer& server, Sender send, Dropper drop, QObject* parent)
    : QObject(parent), m_server(server), m_bus(server), m_send(std::move(send)),
      m_drop(std::move(drop))
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
    for (;;) {
        // Bytes of no request we know wait for the pause to drop them.
        const qsizetype need = RequestFrameLength(m_pending);
        if (need <= 0 || m_pending.size() < need)
            return;
        const QByteArray frame = m_pending.left(need);
        m_pending.remove(0, need);
        Answer(frame);
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
    const BusExchange exchange = m_bus.Answer(frame);
    if (!exchange.crcOk) {
        TraceBytes("in", frame, {{QStringLiteral("error"), QStringLiteral("crc")}});
        return;
    }
    const MeterRequest& request = exchange.request;
    TraceBytes("in", frame,
               {{QStringLiteral("address"), exchange.address},
                {QStringLiteral("function"), request.function},
                {QStringLiteral("register"), request.firstRegister},
                {QStringLiteral("count"), request.count},
                {QStringLiteral("data"), QString::fromLatin1(request.data.toHex())}});
    if (!exchange.reply.isEmpty())
        SendReply(exchange.reply, exchange.faults, exchange.dropAfterwards);
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
