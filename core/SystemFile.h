#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Files as the system sees them. Every int result is 0 on success or the system's
// own error code (errno on Unix, GetLastError on Windows), so that the user is shown
// the number the system gave.
namespace SystemFile {

using Handle = qintptr;
inline constexpr Handle ClosedHandle = -1;

int CreateFolder(const QString& path);
// Creates every missing level of the path; 0 when it is a folder in the end.
int CreateFolders(const QString& path);
// Creates the file for writing, replacing any file of that name.
int Create(const QString& path, Handle& handle);
// Creates the file for writing only when no file of that name exists; FileExists()
// tells the code the system gives otherwise.
int CreateNew(const QString& path, Handle& handle);
bool FileExists(int error);
int Write(Handle handle, QByteArrayView bytes);
// The handle is closed (and set to ClosedHandle) even when the system reports an error.
int Close(Handle& handle);
// Hands what was written to the disk before the file is put in place.
int Flush(Handle handle);
// Reads a regular file whole. Anything else (a pipe, a device, a folder) and a file
// of more than sizeLimit bytes are refused without a read: a pipe would block and a
// device may never end.
int ReadAll(const QString& path, QByteArray& bytes, qint64 sizeLimit);
// Creates or replaces the file with exactly these bytes.
int WriteAll(const QString& path, QByteArrayView bytes);
// 0 when there is no file of that name or the program may replace it; otherwise the
// code the system gave when such a file could not be created over it.
int CheckReplaceable(const QString& path);
// Renames from over to in one step, replacing a file of that name.
int Replace(const QString& from, const QString& to);
int Remove(const QString& path);
// Writes the bytes under the temporary name, then renames it over path. On failure the
// temporary file is removed and path is left as it was.
int WriteAllVia(const QString& temporary, const QString& path, QByteArrayView bytes);

} // namespace SystemFile
