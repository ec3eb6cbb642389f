#include "MeterBus.h"

#include "Crc16.h"
#include "SimServer.h"

#include <memory>

namespace {

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

qsizetype RequestFrameLength(QByteArrayView pending)
{
    if (pending.size() < 2)
        return 0;
    const quint8 function = quint8(pending.at(1));
    if (function == 3 || function == 4)
        return 8;
    if (function == 16)
        return pending.size() >= 7 ? 9 + quint8(pending.at(6)) : 0;
    return -1;
}

BusExchange MeterBus::Answer(QByteArrayView view)
{
    const QByteArray frame = view.toByteArray();
    BusExchange exchange;
    exchange.crcOk = CrcMatches(frame);
    if (!exchange.crcOk)
        return exchange;
    const quint8 address = quint8(frame.at(0));
    MeterRequest& request = exchange.request;
    exchange.address = address;
    request.function = quint8(frame.at(1));
    request.firstRegister = quint16((quint8(frame.at(2)) << 8) | quint8(frame.at(3)));
    request.count = quint16((quint8(frame.at(4)) << 8) | quint8(frame.at(5)));
    if (request.function == 16)
        request.data = frame.mid(7, quint8(frame.at(6)));

    Meter* meter = m_server.FindMeter(address);
    if (!meter)
        return exchange; // nobody at that address: the line stays quiet
    const FaultSettings faults = meter->Faults();
    exchange.faults = faults;
    ++m_requests;
    if (faults.silent)
        return exchange;

    MeterAnswer answer;
    const bool startDate = meter->IsStartDateWrite(request);
    if (faults.exceptionRegister >= 0 && faults.exceptionRegister == request.firstRegister)
        answer = MeterAnswer::Exception(faults.exceptionCode);
    else if (startDate && faults.startDateLimit > 0 &&
             ++m_startDates[address] > faults.startDateLimit)
        answer = MeterAnswer::Exception(4);
    else
        answer = meter->Handle(request);

    const int serial = ++m_replies[address];
    const bool otherAddress = faults.otherAddress || (faults.otherAddressEvery > 0 &&
                                                      serial % faults.otherAddressEvery == 0);
    QByteArray reply;
    reply.append(char(otherAddress ? quint8(address + 1) : address));
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
    const bool corruptNext = answer.nextRecord && faults.corruptNextEvery > 0 &&
                             ++m_nextReplies[address] % faults.corruptNextEvery == 0;
    if ((faults.corruptCrcEvery > 0 && serial % faults.corruptCrcEvery == 0) || corruptNext)
        reply[reply.size() - 1] = char(reply.back() ^ 0x5A);
    if (faults.truncateTo > 0)
        reply.truncate(faults.truncateTo);
    if (faults.noiseBytes > 0)
        reply.prepend(QByteArray(faults.noiseBytes, char(0xFF)));
    exchange.reply = reply;
    exchange.dropAfterwards = faults.dropAfter > 0 && m_requests >= faults.dropAfter;
    return exchange;
}

std::function<std::optional<QByteArray>(QByteArrayView request)>
MemoryResponder(const SimServer& server)
{
    auto bus = std::make_shared<MeterBus>(server);
    return [bus](QByteArrayView request) -> std::optional<QByteArray> {
        if (RequestFrameLength(request) != request.size())
            return QByteArray(); // not one whole request: no meter answers it
        return bus->Answer(request).reply;
    };
}
