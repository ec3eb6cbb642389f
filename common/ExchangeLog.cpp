#include "ExchangeLog.h"

#include "AnsiCodec.h"
#include "TextFormat.h"

#include <QDir>
#include <QFile>

ExchangeLog::ExchangeLog(QString programDir, Clock clock)
    : m_programDir(std::move(programDir)), m_clock(std::move(clock))
{}

bool ExchangeLog::NeedsStamp(const QString& text)
{
    const qsizetype colon = text.indexOf(QStringLiteral(": "));
    const QStringView rest =
        colon >= 0 ? QStringView(text).mid(colon + 2) : QStringView(text).mid(1);
    return !rest.isEmpty() && !rest.startsWith(QStringLiteral("==="));
}

void ExchangeLog::AddLogLine(const QString& text)
{
    const QDateTime now = m_clock();
    const QString entry = NeedsStamp(text) ? QStringLiteral("---") + FormatStampTime(now.time()) +
                                                 QStringLiteral(": ") + text
                                           : text;
    if (m_memo)
        AppendMemoLine(entry);
    AppendToFile(now.date(), entry);
}

void ExchangeLog::AppendMemoLine(const QString& entry)
{
    if (!m_memo)
        return;
    const QString text = m_memo->MemoText();
    int breaks = 0;
    for (qsizetype i = text.size() - 1; i >= 0; --i) {
        if (text.at(i) == u'\n' && ++breaks == MemoLineLimit) {
            m_memo->SetMemoText(text.mid(i + 1));
            break;
        }
    }
    m_memo->AddMemoLine(entry);
}

void ExchangeLog::AddMemoMark(const QString& mark)
{
    if (m_memo)
        m_memo->AddMemoLine(mark);
}

QString ExchangeLog::LogFolder() const
{
    return m_programDir + QStringLiteral("Protocols");
}

QString ExchangeLog::LogFilePath(const QDate& date) const
{
    return LogFolder() + u'/' + FormatIsoDate(date) + QStringLiteral(".log");
}

void ExchangeLog::AppendToFile(const QDate& date, const QString& entry) const
{
    const QString folder = LogFolder();
    if (!QDir(folder).exists())
        QDir().mkdir(folder);

    QFile file(LogFilePath(date));
    QByteArray bytes;
    if (file.exists()) {
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
            return;
    } else {
        // NewOnly: a file that appeared meanwhile is never truncated.
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return;
        bytes = QByteArrayLiteral("\r\n");
    }
    bytes += AnsiLine(entry);
    file.write(bytes);
    file.close();
}
