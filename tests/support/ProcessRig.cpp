#include "ProcessRig.h"

#include "LogFile.h"

#include <QDir>
#include <QRegularExpression>

RunResult RunProgram(const QString& program, const QStringList& args, int timeoutMs)
{
    QProcess process;
    process.start(program, args);
    RunResult result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.err = QStringLiteral("<did not finish>");
        return result;
    }
    result.exitCode =
        process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

QStringList DayLogLines(const QString& home)
{
    const QStringList logs = QDir(home + QStringLiteral("/Protocols")).entryList(QDir::Files);
    if (logs.size() != 1)
        return {QStringLiteral("<%1 log files>").arg(logs.size())};
    return UnstampedLogLines(home + QStringLiteral("/Protocols/") + logs.first());
}

bool SimulatorProcess::Start(const QStringList& args)
{
    m_process.setProgram(m_program);
    m_process.setArguments(args);
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.start();
    if (!m_process.waitForStarted(5000))
        return false;
    QByteArray seen;
    while (!seen.contains("ready\n")) {
        if (!m_process.waitForReadyRead(10000))
            return false;
        seen += m_process.readAllStandardOutput();
    }
    static const QRegularExpression pty(QStringLiteral("^pty (.+)$"),
                                        QRegularExpression::MultilineOption);
    static const QRegularExpression tcp(QStringLiteral("^tcp [0-9.]+:([0-9]+)$"),
                                        QRegularExpression::MultilineOption);
    const QString text = QString::fromLocal8Bit(seen);
    ptyPath = pty.match(text).captured(1);
    tcpPort = tcp.match(text).captured(1).toInt();
    return true;
}

void SimulatorProcess::Stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
}
