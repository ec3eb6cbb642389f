#pragma once

#include "Meter.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>

#include <functional>
#include <optional>

class SimServer;

// The length of the request that begins pending: 0 while its length is not known yet,
// -1 when pending does not begin with a request the meters know (functions 3, 4, 16).
qsizetype RequestFrameLength(QByteArrayView pending);

// One request frame and what the meters make of it, before a line plays its timing
// tricks on the reply.
struct BusExchange
{
    bool crcOk = false; // a frame with a wrong CRC is ignored
    quint8 address = 0;
    MeterRequest request;
    // The reply as it goes on the line, every fault but the timing ones applied; empty:
    // nobody answers.
    QByteArray reply;
    FaultSettings faults;        // of the meter addressed
    bool dropAfterwards = false; // TCP: the connection goes once the reply is out
};

// The server's meters as one line reaches them: the addressed meter answers a whole
// request frame, and its reply is framed with the faults that need no clock (exception,
// start-date limit, other address, CRC, truncation, noise, byte-count lie). The counts
// behind the every-Nth faults belong to the line. SimLine sends the reply with the line's
// timing; a line held in memory takes it at once.
class MeterBus
{
public:
    explicit MeterBus(const SimServer& server) : m_server(server) {}

    // frame: one whole request, its CRC included.
    BusExchange Answer(QByteArrayView frame);

private:
    const SimServer& m_server;
    int m_requests = 0;
    QHash<quint8, int> m_replies;
    QHash<quint8, int> m_nextReplies;
    QHash<quint8, int> m_startDates;
};

// The server's meters on a line held in memory (MemoryLine's responder): the reply to a
// request the moment it is sent, empty for silence. Echo, modem, delays and gaps belong
// to a real line and are not played here.
std::function<std::optional<QByteArray>(QByteArrayView request)>
MemoryResponder(const SimServer& server);
