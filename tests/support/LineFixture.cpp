#include "LineFixture.h"

#include <QRegularExpression>

QStringList RecordingMemo::Texts() const
{
    static const QRegularExpression stamp(QStringLiteral("^---\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d: "));
    QStringList texts;
    for (const QString& line : m_lines)
        texts.append(QString(line).remove(stamp));
    return texts;
}

LineFixture::LineFixture(const QString& transport)
    : log(home.path() + u'/'), channel(log), master(channel, log)
{
    log.SetMemo(&memo);
    if (transport == QLatin1String("tcp")) {
        auto gateway = std::make_unique<TcpPeer>();
        tcp = gateway.get();
        channel.TcpHost = QStringLiteral("127.0.0.1");
        channel.TcpPort = gateway->Port();
        peer = std::move(gateway);
    } else {
        auto line = std::make_unique<PtyPeer>();
        pty = line.get();
        channel.ComPortName = line->SlavePath();
        channel.BaudRate = 19200;
        peer = std::move(line);
    }
    master.GlobalTimeOut = 300;
    master.LocalTimeOut = 30;
    master.GlobalTry = 3;
    master.ReplyDelay = 10;
}
