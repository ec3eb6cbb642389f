#include "LogFile.h"

#include "AnsiCodec.h"

#include <QFile>
#include <QRegularExpression>

QStringList UnstampedLogLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("<no log file %1>").arg(path)};
    const QByteArray bytes = file.readAll();
    if (!bytes.endsWith("\r\n"))
        return {QStringLiteral("<log file without CR LF at its end>")};
    QStringList lines = DecodeAnsi(bytes.chopped(2)).split(QStringLiteral("\r\n"));
    static const QRegularExpression stamp(QStringLiteral("^---\\d\\d:\\d\\d:\\d\\d\\.\\d{3}: "));
    for (QString& line : lines)
        line.remove(stamp);
    return lines;
}

bool InOrder(const QStringList& haystack, const QStringList& needles, QString& missing)
{
    qsizetype at = 0;
    for (const QString& needle : needles) {
        at = haystack.indexOf(needle, at);
        if (at < 0) {
            missing = needle;
            return false;
        }
        ++at;
    }
    return true;
}
