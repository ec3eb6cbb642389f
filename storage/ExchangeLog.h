#pragma once

#include "LogSink.h"

#include <QDateTime>
#include <QString>

#include <functional>

// The window's log memo as the exchange log sees it: lines joined by '\n',
// the last one without a line break.
class LogMemo
{
public:
    virtual ~LogMemo() = default;
    virtual QString MemoText() const = 0;
    virtual void SetMemoText(const QString& text) = 0;
    virtual void AddMemoLine(const QString& line) = 0;
};

// Every step of the program's work on the line, shown in the memo (the newest lines)
// and appended to a daily file Protocols/yyyy-mm-dd.log in the program folder.
// A log write never fails its caller: whatever goes wrong with the file is dropped.
class ExchangeLog : public LogSink
{
public:
    using Clock = std::function<QDateTime()>;

    // programDir ends with a separator; the clock is replaceable so that a test can
    // pin the time stamps and cross midnight.
    explicit ExchangeLog(QString programDir, Clock clock = &QDateTime::currentDateTime);

    void SetMemo(LogMemo* memo) { m_memo = memo; }
    // Put before every line of the file, not the memo: a batch names each
    // configuration's lines so in the day's common file.
    QString FileLinePrefix;
    LogMemo* Memo() const { return m_memo; }

    void AddLogLine(const QString& text) override;
    // The memo half of AddLogLine: keeps the memo to its newest lines, then adds entry.
    void AppendMemoLine(const QString& entry);
    // A progress mark or separator straight into the memo: never in the file, and
    // trimming is left to the next AddLogLine.
    void AddMemoMark(const QString& mark) override;

    QString LogFolder() const;
    QString LogFilePath(const QDate& date) const;

    // True when the text gets a time stamp: what follows its first ": " (or, without
    // one, everything but its first character) is non-empty and does not start "===".
    static bool NeedsStamp(const QString& text);

    static constexpr int MemoLineLimit = 300;

private:
    void AppendToFile(const QDate& date, const QString& entry) const;

    QString m_programDir;
    Clock m_clock;
    LogMemo* m_memo = nullptr;
};
