#include "ExchangeLog.h"

#include "AnsiCodec.h"
#include "TextFormat.h"

#include <QDir>
#include <QFile>

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

void AppendEntry(const QString& path, const QByteArray& line)
{
    bool created = false;
    HANDLE file = OpenForAppending(path, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
        file = OpenForAppending(path, CREATE_NEW);
        created = file != INVALID_HANDLE_VALUE;
        // Another program made the file meanwhile: its empty first line is there.
        if (!created && GetLastError() == ERROR_FILE_EXISTS)
            file = OpenForAppending(path, OPEN_EXISTING);
    }
    if (file == INVALID_HANDLE_VALUE)
        return;
    const QByteArray bytes = created ? QByteArrayLiteral("\r\n") + line : line;
    DWORD written = 0;
    WriteFile(file, bytes.constData(), DWORD(bytes.size()), &written, nullptr);
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

void AppendEntry(const QString& path, const QByteArray& line)
{
    const QByteArray local = QFile::encodeName(path);
    bool created = false;
    int fd = OpenForAppending(local, 0);
    if (fd < 0) {
        fd = OpenForAppending(local, O_CREAT | O_EXCL);
        created = fd >= 0;
        // Another program made the file meanwhile: its empty first line is there.
        if (!created && errno == EEXIST)
            fd = OpenForAppending(local, 0);
    }
    if (fd < 0)
        return;
    const QByteArray bytes = created ? QByteArrayLiteral("\r\n") + line : line;
    while (::write(fd, bytes.constData(), size_t(bytes.size())) < 0 && errno == EINTR) {
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
