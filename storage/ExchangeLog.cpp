#include "ExchangeLog.h"

#include "AnsiCodec.h"
#include "TextFormat.h"

#include <QDir>
#include <QFile>

#include <atomic>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

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
    if (LogMemo* memo = m_memo.load())
        memo->AddMemoLine(entry);
    AppendToFile(now.date(), FileLinePrefix.isEmpty() ? entry : FileLinePrefix + entry);
}

void ExchangeLog::AddMemoMark(const QString& mark)
{
    if (LogMemo* memo = m_memo.load())
        memo->AddMemoLine(mark);
}

void ExchangeLog::AppendToLastMemoLine(const QString& text)
{
    if (LogMemo* memo = m_memo.load())
        memo->AppendToLastLine(text);
}

QString ExchangeLog::LogFolder() const
{
    return m_programDir + QStringLiteral("Protocols");
}

QString ExchangeLog::LogFilePath(const QDate& date) const
{
    return LogFolder() + u'/' + FormatIsoDate(date) + QStringLiteral(".log");
}

namespace {

// Each entry goes to the system in one write on a file opened for appending, which the
// system puts at the end as a whole: entries of several programs logging into the same
// day's file at once never mix or overwrite each other.
#ifdef Q_OS_WIN

HANDLE OpenForAppending(const QString& path, DWORD disposition)
{
    const QString native = QDir::toNativeSeparators(path);
    return CreateFileW(reinterpret_cast<const wchar_t*>(native.utf16()), FILE_APPEND_DATA,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A new day's file takes its name with its empty first line already in it, so that an
// entry another program appends at that moment never lands ahead of that line.
void StartDayFile(const QString& path)
{
    const QString native = QDir::toNativeSeparators(path);
    const QString temporary = native + u'.' + QString::number(GetCurrentProcessId()) + u'.' +
                              QString::number(GetCurrentThreadId()) + QStringLiteral(".new");
    const auto* wideTemporary = reinterpret_cast<const wchar_t*>(temporary.utf16());
    HANDLE file = CreateFileW(wideTemporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, "\r\n", 2, &written, nullptr);
    CloseHandle(file);
    // Without replacing: a file made meanwhile by another program stays.
    if (!MoveFileExW(wideTemporary, reinterpret_cast<const wchar_t*>(native.utf16()), 0))
        DeleteFileW(wideTemporary);
}

void AppendEntry(const QString& path, const QByteArray& line)
{
    HANDLE file = OpenForAppending(path, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
        StartDayFile(path);
        file = OpenForAppending(path, OPEN_EXISTING);
    }
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, line.constData(), DWORD(line.size()), &written, nullptr);
    CloseHandle(file);
}

#else

int OpenForAppending(const QByteArray& path, int flags)
{
    int fd;
    do
        fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CLOEXEC | flags, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// A new day's file takes its name with its empty first line already in it, so that an
// entry another program appends at that moment never lands ahead of that line. Where
// the file system has no hard links the file is made in place, as before.
void StartDayFile(const QByteArray& local)
{
    static std::atomic<int> serial{0};
    const QByteArray temporary =
        local + '.' + QByteArray::number(::getpid()) + '.' + QByteArray::number(serial++) + ".new";
    int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
        const bool written = ::write(fd, "\r\n", 2) == 2;
        ::close(fd);
        const bool linked =
            written && (::link(temporary.constData(), local.constData()) == 0 || errno == EEXIST);
        ::unlink(temporary.constData());
        if (linked)
            return;
    }
    fd = OpenForAppending(local, O_CREAT | O_EXCL);
    if (fd < 0)
        return;
    while (::write(fd, "\r\n", 2) < 0 && errno == EINTR) {
    }
    ::close(fd);
}

void AppendEntry(const QString& path, const QByteArray& line)
{
    const QByteArray local = QFile::encodeName(path);
    int fd = OpenForAppending(local, 0);
    if (fd < 0 && errno == ENOENT) {
        StartDayFile(local);
        fd = OpenForAppending(local, 0);
    }
    if (fd < 0)
        return;
    while (::write(fd, line.constData(), size_t(line.size())) < 0 && errno == EINTR) {
    }
    ::close(fd);
}

#endif

} // namespace

void ExchangeLog::AppendToFile(const QDate& date, const QString& entry) const
{
    const QString folder = LogFolder();
    if (!QDir(folder).exists())
        QDir().mkdir(folder);
    AppendEntry(LogFilePath(date), AnsiLine(entry));
}
