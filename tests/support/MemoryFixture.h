#pragma once

#include "ExchangeLog.h"
#include "LineFixture.h"
#include "MemoryLine.h"
#include "ModbusMaster.h"

#include <QByteArray>
#include <QList>
#include <QTemporaryDir>

#include <functional>

// A master on a line held in memory, with LineFixture's settings and a log in a temporary
// program folder. The device at the far end answers from a script on the test's own
// thread, and waits pass on the line's own clock: a silent device costs no time.
struct MemoryFixture
{
    // Answers one request frame; an empty answer leaves the line silent.
    using Script = std::function<QByteArray(const QByteArray& request)>;

    MemoryFixture();

    // Without a script the device is silent.
    void Serve(Script script);
    // Hands config to the master, as a read-out does at its start.
    void Apply() { master.Configure(config); }

    // Every request sent, one frame each.
    const QList<QByteArray>& Requests() const { return line.Sent(); }
    int RequestCount() const { return int(line.Sent().size()); }

    QTemporaryDir home;
    ExchangeLog log;
    RecordingMemo memo;
    LineConfig config;
    MemoryLine line;
    ModbusMaster master;
};
