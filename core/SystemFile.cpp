#include "SystemFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

namespace {

int CreateForWriting(const QString& path, DWORD disposition, Handle& handle)
{
    const QString native = QDir::toNativeSeparators(path);
    const HANDLE file = CreateFileW(WidePath(native), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return LastError();
    handle = reinterpret_cast<Handle>(file);
    return 0;
}

} // namespace

int Create(const QString& path, Handle& handle)
{
    return CreateForWriting(path, CREATE_ALWAYS, handle);
}

int CreateNew(const QString& path, Handle& handle)
{
    return CreateForWriting(path, CREATE_NEW, handle);
}

bool FileExists(int error)
{
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
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

int ReadAll(const QString& path, QByteArray& bytes, qint64 sizeLimit)
{
    bytes.clear();
    // Sharing deletion lets another read-out rename its own file over this one meanwhile.
    const QString native = QDir::toNativeSeparators(path);
    const HANDLE file =
        CreateFileW(WidePath(native), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return LastError();
    int error = 0;
    LARGE_INTEGER size{};
    if (GetFileType(file) != FILE_TYPE_DISK)
        error = ERROR_INVALID_PARAMETER; // a pipe, a console, a device
    else if (!GetFileSizeEx(file, &size))
        error = LastError();
    else if (size.QuadPart > sizeLimit)
        error = ERROR_FILE_TOO_LARGE;
    else
        bytes.reserve(static_cast<qsizetype>(size.QuadPart));
    char buffer[65536];
    while (error == 0) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
            error = LastError();
            break;
        }
        if (got == 0)
            break;
        if (bytes.size() + qint64(got) > sizeLimit)
            error = ERROR_FILE_TOO_LARGE; // grown since it was measured
        else
            bytes.append(buffer, got);
    }
    CloseHandle(file);
    if (error != 0)
        bytes.clear();
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

namespace {

int CreateForWriting(const QString& path, int flags, Handle& handle)
{
    const int fd =
        ::open(LocalPath(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666);
    if (fd < 0)
        return errno;
    handle = fd;
    return 0;
}

} // namespace

int Create(const QString& path, Handle& handle)
{
    return CreateForWriting(path, O_TRUNC, handle);
}

int CreateNew(const QString& path, Handle& handle)
{
    return CreateForWriting(path, O_EXCL, handle);
}

bool FileExists(int error)
{
    return error == EEXIST;
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

int ReadAll(const QString& path, QByteArray& bytes, qint64 sizeLimit)
{
    bytes.clear();
    // Without O_NONBLOCK opening a pipe waits for a writer; a regular file ignores it.
    const int fd =
        ::open(LocalPath(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return errno;
    int error = 0;
    struct stat status;
    if (::fstat(fd, &status) != 0)
        error = errno;
    else if (S_ISDIR(status.st_mode))
        error = EISDIR; // what reading it would have said
    else if (!S_ISREG(status.st_mode))
        error = EINVAL;
    else if (status.st_size > sizeLimit)
        error = EFBIG;
    else
        bytes.reserve(static_cast<qsizetype>(status.st_size));
    char buffer[65536];
    while (error == 0) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        if (got == 0)
            break;
        if (bytes.size() + got > sizeLimit)
            error = EFBIG; // grown since it was measured
        else
            bytes.append(buffer, got);
    }
    ::close(fd);
    if (error != 0)
        bytes.clear();
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

int CreateFolders(const QString& path)
{
    const QFileInfo info(path);
    if (info.isDir())
        return 0;
    const QString parent = info.path();
    if (parent != path) {
        if (const int error = CreateFolders(parent))
            return error;
    }
    const int error = CreateFolder(path);
    // Made by another program meanwhile, it is what was wanted.
    return error != 0 && !QFileInfo(path).isDir() ? error : 0;
}

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
