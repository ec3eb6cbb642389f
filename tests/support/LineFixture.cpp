#include "LineFixture.h"

#include <QRegularExpression>

QStringList RecordingMemo::Texts() const
{
    static const QRegularExpression stamp(QStringLiteral("^---\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d: "));
    QStringList texts;
    for (const QString& line : Lines())
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
        config.tcp = true;
        config.tcpHost = QStringLiteral("127.0.0.1");
        config.tcpPort = gateway->Port();
        peer = std::move(gateway);
    } else {
        auto line = std::make_unique<PtyPeer>();
        pty = line.get();
        config.comPort = line->SlavePath();
        config.baudRate = 19200;
        peer = std::move(line);
    }
    config.globalTimeOut = 300;
    config.localTimeOut = 30;
    config.globalTry = 3;
    config.replyPause = 10;
    Apply();
}
