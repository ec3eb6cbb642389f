#pragma once

#include "Meter.h"

#include <QFile>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class LinePacer;
class QTcpServer;
class QSocketNotifier;
class SimLine;

struct ModemOptions
{
    bool enabled = false;      // the line starts in command mode
    int connectDelayMs = 1000; // from a dial command to CONNECT
    bool answersOk = true;     // false: AT is answered with ERROR
    bool connects = true;      // false: a dial command is never answered
};

// The stand-in meters and the lines they are reached on: a pseudo-terminal (a serial
// port for the program) and/or a TCP listener acting as a serial-to-Ethernet gateway.
// Every line serves the same meters.
class SimServer : public QObject
{
    Q_OBJECT

public:
    explicit SimServer(QObject* parent = nullptr);
    ~SimServer() override;

    // A meter file: {"meters": [ {...}, ... ], "faults": {...}} (faults of the line).
    bool LoadMeterFile(const QByteArray& json, QString& error);
    void AddMeter(std::unique_ptr<Meter> meter);

    void SetLineFaults(const FaultSettings& faults) { m_lineFaults = faults; }
    void SetEcho(bool echo) { m_echo = echo; }
    void SetModem(const ModemOptions& modem) { m_modem = modem; }
    // One JSON object per line for every request received and every reply sent.
    bool SetTraceFile(const QString& path, QString& error);

    // The pseudo-terminal as a line at this many baud (0: as fast as the system goes);
    // set before OpenPty.
    void SetBaud(int baud) { m_baud = baud; }
    // link: when not empty, a symbolic link to the terminal's device is made there.
    bool OpenPty(const QString& link, QString& error);
    QString PtyPath() const { return m_ptyPath; }
    // The gateway: a new connection may come after one was dropped.
    bool ListenTcp(quint16 port, QString& error);
    bool ListenTcp(const QHostAddress& host, quint16 port, QString& error);
    quint16 TcpPort() const;

    Meter* FindMeter(quint8 address) const;
    const std::vector<std::unique_ptr<Meter>>& Meters() const { return m_meters; }
    const FaultSettings& LineFaults() const { return m_lineFaults; }
    bool Echo() const { return m_echo; }
    const ModemOptions& Modem() const { return m_modem; }
    void Trace(const QJsonObject& entry);

private:
    void ReadPty();
    void AcceptTcp();

    std::vector<std::unique_ptr<Meter>> m_meters;
    FaultSettings m_lineFaults;
    bool m_echo = false;
    ModemOptions m_modem;
    QFile m_trace;

    int m_baud = 0;
    int m_ptyMaster = -1;
    int m_ptySlave = -1;
    QString m_ptyPath;
    QString m_ptyLink;
    QSocketNotifier* m_ptyNotifier = nullptr;
    SimLine* m_ptyLine = nullptr;
    LinePacer* m_ptyIn = nullptr;  // with a baud rate: requests on their way in
    LinePacer* m_ptyOut = nullptr; // and replies on their way out

    QTcpServer* m_tcp = nullptr;
};
