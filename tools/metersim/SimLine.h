#pragma once

#include "Meter.h"
#include "MeterBus.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

#include <functional>

class SimServer;

// One line as the meters see it: splits what the master sends into RTU requests,
// answers them from the meters, and plays the line's tricks (echo, modem, faults).
class SimLine : public QObject
{
    Q_OBJECT

public:
    using Sender = std::function<void(const QByteArray&)>;
    using Dropper = std::function<void()>;

    SimLine(SimServer& server, Sender send, Dropper drop, QObject* parent = nullptr);

    void Receive(const QByteArray& bytes);

private:
    void TakeFrames();
    void ModemText(const QByteArray& bytes);
    void Answer(const QByteArray& frame);
    void SendReply(QByteArray reply, const FaultSettings& faults, bool dropAfterwards);
    void Transmit(const QByteArray& bytes);
    void TraceBytes(const char* direction, const QByteArray& bytes, QJsonObject entry = {});

    SimServer& m_server;
    MeterBus m_bus;
    Sender m_send;
    Dropper m_drop;
    QByteArray m_pending;
    QElapsedTimer m_lastByte;
    bool m_commandMode = false;
    QByteArray m_command;
};
