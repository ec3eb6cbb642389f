#include "ExportFiles.h"

#include "AnsiCodec.h"
#include "DatFile.h"
#include "ExchangeLog.h"
#include "TextFormat.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <utility>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace SystemFile {

#ifdef Q_OS_WIN

namespace {

const wchar_t* WidePath(const QString& nativePath)
{
    return reinterpret_cast<const wchar_t*>(nativePath.utf16());
}

int LastError()
{
    return static_cast<int>(GetLastError());
}

} // namespace

int CreateFolder(const QString& path)
{
    const QString native = QDir::toNativeSeparators(path);
    return CreateDirectoryW(WidePath(native), nullptr) ? 0 : LastError();
}

int Create(const QString& path, Handle& handle)
{
    const QString native = QDir::toNativeSeparators(path);
    const HANDLE file = CreateFileW(WidePath(native), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return LastError();
    handle = reinterpret_cast<Handle>(file);
    return 0;
}

int Write(Handle handle, QByteArrayView bytes)
{
    const char* data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(qMin<qsizetype>(left, 1 << 30));
        if (!WriteFile(reinterpret_cast<HANDLE>(handle), data, chunk, &written, nullptr))
            return LastError();
        data += written;
        left -= written;
    }
    return 0;
}

int Close(Handle& handle)
{
    if (handle == ClosedHandle)
        return 0;
    const BOOL closed = CloseHandle(reinterpret_cast<HANDLE>(handle));
    handle = ClosedHandle;
    return closed ? 0 : LastError();
}

int Flush(Handle handle)
{
    return FlushFileBuffers(reinterpret_cast<HANDLE>(handle)) ? 0 : LastError();
}

int ReadAll(const QString& path, QByteArray& bytes)
{
    // Sharing deletion lets another read-out rename its own file over this one meanwhile.
    const QString native = QDir::toNativeSeparators(path);
    const HANDLE file =
        CreateFileW(WidePath(native), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return LastError();
    bytes.clear();
    char buffer[65536];
    int error = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
            error = LastError();
            break;
        }
        if (got == 0)
            break;
        bytes.append(buffer, got);
    }
    CloseHandle(file);
    return error;
}

int CheckReplaceable(const QString& path)
{
    const QString native = QDir::toNativeSeparators(path);
    const DWORD attributes = GetFileAttributesW(WidePath(native));
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const int error = LastError();
        return error == ERROR_FILE_NOT_FOUND ? 0 : error;
    }
    // What creating the file over a folder or a read-only file would have met.
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))
        return ERROR_ACCESS_DENIED;
    // A program that holds the file open without sharing its deletion (a spreadsheet
    // showing it) would make the rename fail at the end of the export: say so now.
    const HANDLE file = CreateFileW(WidePath(native), DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const int error = LastError();
        return error == ERROR_FILE_NOT_FOUND ? 0 : error;
    }
    CloseHandle(file);
    return 0;
}

int Replace(const QString& from, const QString& to)
{
    const QString nativeFrom = QDir::toNativeSeparators(from);
    const QString nativeTo = QDir::toNativeSeparators(to);
    return MoveFileExW(WidePath(nativeFrom), WidePath(nativeTo),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : LastError();
}

int Remove(const QString& path)
{
    const QString native = QDir::toNativeSeparators(path);
    return DeleteFileW(WidePath(native)) ? 0 : LastError();
}

#else

namespace {

QByteArray LocalPath(const QString& path)
{
    return QFile::encodeName(path);
}

} // namespace

int CreateFolder(const QString& path)
{
    return ::mkdir(LocalPath(path).constData(), 0777) == 0 ? 0 : errno;
}

int Create(const QString& path, Handle& handle)
{
    const int fd =
        ::open(LocalPath(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    handle = fd;
    return 0;
}

int Write(Handle handle, QByteArrayView bytes)
{
    const char* data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(static_cast<int>(handle), data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (written == 0)
            return EIO; // no progress and no reason given
        data += written;
        left -= written;
    }
    return 0;
}

int Close(Handle& handle)
{
    if (handle == ClosedHandle)
        return 0;
    const int result = ::close(static_cast<int>(handle));
    handle = ClosedHandle;
    // After EINTR the descriptor is gone all the same and the data went to the system.
    return result == 0 || errno == EINTR ? 0 : errno;
}

int Flush(Handle handle)
{
    if (::fsync(static_cast<int>(handle)) == 0)
        return 0;
    // A device or pipe in place of the file has nothing to hand to a disk.
    return errno == EINVAL ? 0 : errno;
}

int ReadAll(const QString& path, QByteArray& bytes)
{
    const int fd = ::open(LocalPath(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    bytes.clear();
    char buffer[65536];
    int error = 0;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        if (got == 0)
            break;
        bytes.append(buffer, got);
    }
    ::close(fd);
    return error;
}

int CheckReplaceable(const QString& path)
{
    const QByteArray local = LocalPath(path);
    struct stat status;
    if (::stat(local.constData(), &status) != 0)
        return errno == ENOENT ? 0 : errno;
    // What creating the file over a folder or a write-protected file would have met.
    if (S_ISDIR(status.st_mode))
        return EISDIR;
    return ::faccessat(AT_FDCWD, local.constData(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
}

int Replace(const QString& from, const QString& to)
{
    return ::rename(LocalPath(from).constData(), LocalPath(to).constData()) == 0 ? 0 : errno;
}

int Remove(const QString& path)
{
    return ::unlink(LocalPath(path).constData()) == 0 ? 0 : errno;
}

#endif

int WriteAll(const QString& path, QByteArrayView bytes)
{
    Handle handle = ClosedHandle;
    if (const int error = Create(path, handle))
        return error;
    const int error = Write(handle, bytes);
    const int closeError = Close(handle);
    return error ? error : closeError;
}

int WriteAllVia(const QString& temporary, const QString& path, QByteArrayView bytes)
{
    Handle handle = ClosedHandle;
    if (const int error = Create(temporary, handle))
        return error;
    int error = Write(handle, bytes);
    if (error == 0)
        error = Flush(handle);
    const int closeError = Close(handle);
    if (error == 0)
        error = closeError;
    if (error == 0)
        error = Replace(temporary, path);
    if (error != 0)
        Remove(temporary);
    return error;
}

} // namespace SystemFile

ExportFiles::ExportFiles(ExchangeLog& log, QString programDir, Clock clock, TickSource tick)
    : m_log(log), m_programDir(std::move(programDir)), m_clock(std::move(clock)),
      m_tick(std::move(tick))
{}

ExportFiles::~ExportFiles()
{
    CloseExportFile(); // as the end of a read-out would: what was written is kept
}

QString ExportFiles::TemporaryName(const QString& name)
{
    return name + u'.' + QString::number(QCoreApplication::applicationPid()) +
           QStringLiteral(".tmp");
}

quint16 ExportFiles::MillisecondTick()
{
    return static_cast<quint16>(QDeadlineTimer::current().deadline() & 0xFFFF);
}

void ExportFiles::Fail(const QString& message)
{
    m_log.AddLogLine(message);
    LastFailure = message;
    if (OnFailure)
        OnFailure(message);
}

bool ExportFiles::MakeExportFolder()
{
    return MakeExportFolderFor(m_clock().date());
}

namespace {

// Device texts come from the meter. One that would leave its own level of the tree, or
// that Windows would refuse, is refused alike on every system, so that no meter can
// make the program write outside Data/yyyy-mm-dd.
bool UnsafeFolderName(const QString& name)
{
    // "." and an empty name are no folder of their own: the files would land one level up.
    if (name.isEmpty() || name == u'.' || name.contains(QStringLiteral("..")))
        return true;
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || QStringView(u"/\\<>:\"|?*").contains(c))
            return true;
    }
    return false;
}

int InvalidNameCode()
{
#ifdef Q_OS_WIN
    return ERROR_INVALID_NAME;
#else
    return EINVAL;
#endif
}

} // namespace

bool ExportFiles::MakeExportFolderFor(const QDate& date)
{
    const QString levels[] = {QStringLiteral("Data"), FormatIsoDate(date), DeviceName,
                              SerialNumber};
    QString path = m_programDir;
    bool first = true;
    int index = 0;
    for (const QString& level : levels) {
        if (!first)
            path += u'/';
        path += level;
        const bool deviceLevel = index++ >= 2;
        if (deviceLevel && UnsafeFolderName(level)) {
            Fail(QStringLiteral("Ошибка \"") + QString::number(InvalidNameCode()) +
                 QStringLiteral("\"создания папки \"") + QDir::toNativeSeparators(path) + u'"');
            return false;
        }
        if (!QFileInfo(path).isDir()) {
            const int error = SystemFile::CreateFolder(path);
            // Another read-out into the same home may create the folder between the check and
            // the call; a folder that exists now is what was wanted.
            if (error && !QFileInfo(path).isDir()) {
                // The two wordings differ by one blank: a kept quirk (docs/QUIRKS.md).
                const QString gap = first ? QStringLiteral("\" ") : QStringLiteral("\"");
                Fail(QStringLiteral("Ошибка \"") + QString::number(error) + gap +
                     QStringLiteral("создания папки \"") + QDir::toNativeSeparators(path) + u'"');
                return false;
            }
        }
        first = false;
    }
    m_folder = path;
    return true;
}

bool ExportFiles::CreateExportFile(const QString& suffix)
{
    // One reading of the clock, so that folder and name never fall on different days.
    return CreateExportFileFor(m_clock().date(), suffix);
}

bool ExportFiles::CreateExportFileFor(const QDate& date, const QString& suffix)
{
    CloseExportFile();
    if (!MakeExportFolderFor(date))
        return false;
    m_fileName = m_folder + u'/' + FormatMonthDay(date) + suffix + QStringLiteral(".csv");
    m_temporaryName = TemporaryName(m_fileName);
    // A name that cannot be replaced is refused now, as creating the file under it was,
    // not after the whole export at the rename.
    int error = SystemFile::CheckReplaceable(m_fileName);
    if (error == 0)
        error = SystemFile::Create(m_temporaryName, m_handle);
    if (error != 0) {
        Fail(QStringLiteral("Ошибка \"") + QString::number(error) +
             QStringLiteral("\"создания файла \"") + QDir::toNativeSeparators(m_fileName) + u'"');
        return false;
    }
    WriteLine(QString(QStringLiteral("Прибор: ") + DeviceName));
    WriteLine(QString(QStringLiteral("Серийный номер: ") + SerialNumber));
    return true;
}

bool ExportFiles::CreateArchiveFile(const QString& title, const QString& suffix)
{
    m_log.AddMemoMark(QStringLiteral("---"));
    m_log.AddLogLine(title + QStringLiteral(" создание файла"));
    if (!CreateExportFile(suffix))
        return false;
    WriteLine(title);
    WriteLine(ArchiveHeaderLine);
    return true;
}

int ExportFiles::WriteLine(QStringView text)
{
    if (m_handle == SystemFile::ClosedHandle) {
#ifdef Q_OS_WIN
        return ERROR_INVALID_HANDLE;
#else
        return EBADF;
#endif
    }
    if (m_writeError == 0)
        m_writeError = SystemFile::Write(m_handle, AnsiLine(text));
    return m_writeError;
}

int ExportFiles::CloseExportFile()
{
    if (m_handle == SystemFile::ClosedHandle)
        return 0;
    int error = m_writeError;
    if (error == 0)
        error = SystemFile::Flush(m_handle);
    const int closeError = SystemFile::Close(m_handle);
    if (error == 0)
        error = closeError;
    if (error == 0)
        error = SystemFile::Replace(m_temporaryName, m_fileName);
    if (error != 0)
        SystemFile::Remove(m_temporaryName);
    else
        NoteWritten(m_fileName);
    m_writeError = 0;
    return error;
}

int ExportFiles::WriteDatCopy(const QString& name)
{
    QByteArray text;
    if (const int error = SystemFile::ReadAll(name, text))
        return error;
    const QString copyName = DatCopyName(name);
    if (const int error = SystemFile::CheckReplaceable(copyName))
        return error;
    const int error =
        SystemFile::WriteAllVia(TemporaryName(copyName), copyName, MakeDatCopy(text, m_tick()));
    if (error == 0)
        NoteWritten(copyName);
    return error;
}

void ExportFiles::NoteWritten(const QString& path)
{
    const QString relative =
        path.startsWith(m_programDir) ? path.mid(m_programDir.size()) : QString(path);
    m_written.append({relative, QFileInfo(path).size()});
}

QList<std::pair<QString, qint64>> ExportFiles::TakeWritten()
{
    return std::exchange(m_written, {});
}
