#pragma once

#include "LogSink.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <functional>

// The window's log memo as the exchange log sees it. A read-out calls it from its own
// thread: an implementation that shows a widget hands the lines to the widget's thread.
// The memo keeps its newest lines itself.
class LogMemo
{
public:
    virtual ~LogMemo() = default;
    virtual void AddMemoLine(const QString& line) = 0;
    // The dialing's " *" of every empty wait: joins the last line.
    virtual void AppendToLastLine(const QString& text) = 0;
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

    void SetMemo(LogMemo* memo) { m_memo.store(memo); }
    // Put before every line of the file, not the memo: a batch names each
    // configuration's lines so in the day's common file.
    QString FileLinePrefix;
    LogMemo* Memo() const { return m_memo.load(); }

    // Safe from any thread: each entry is one append to the file and one memo line.
    void AddLogLine(const QString& text) override;
    // A progress mark or separator straight into the memo: never in the file.
    void AddMemoMark(const QString& mark) override;
    // Joins the memo's last line; never in the file.
    void AppendToLastMemoLine(const QString& text);

    QString LogFolder() const;
    QString LogFilePath(const QDate& date) const;

    // True when the text gets a time stamp: what follows its first ": " (or, without
    // one, everything but its first character) is non-empty and does not start "===".
    static bool NeedsStamp(const QString& text);

    // The memo keeps this many lines before the newest one.
    static constexpr int MemoLineLimit = 300;

private:
    void AppendToFile(const QDate& date, const QString& entry) const;

    QString m_programDir;
    Clock m_clock;
    std::atomic<LogMemo*> m_memo{nullptr};
};
