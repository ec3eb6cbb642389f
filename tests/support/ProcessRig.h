#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// The program and the stand-in meters as the processes a user runs.

struct RunResult
{
    int exitCode = -1; // negative: the process crashed
    QString out;
    QString err;
};

// Runs program to its end; a run that outlasts timeoutMs is killed and says so in err.
RunResult RunProgram(const QString& program, const QStringList& args, int timeoutMs = 60000);

// The exchange log of a program folder that holds one day's file, each line without its
// time stamp.
QStringList DayLogLines(const QString& home);

// orvek-metersim as a process; it prints its lines, then "ready".
class SimulatorProcess
{
public:
    explicit SimulatorProcess(QString program) : m_program(std::move(program)) {}
    ~SimulatorProcess() { Stop(); }
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    bool Start(const QStringList& args);
    // Ends it at once, as a line that is unplugged.
    void Stop();

    QString ptyPath;
    int tcpPort = 0;

private:
    QString m_program;
    QProcess m_process;
};
