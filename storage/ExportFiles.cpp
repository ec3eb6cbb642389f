#include "ExportFiles.h"

#include "AnsiCodec.h"
#include "DatFile.h"
#include "ExchangeLog.h"
#include "ResultCode.h"
#include "TextFormat.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstring>
#include <limits>
#include <utility>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

int NoFileCode()
{
#ifdef Q_OS_WIN
    return ERROR_INVALID_HANDLE;
#else
    return EBADF;
#endif
}

int NotFoundCode()
{
#ifdef Q_OS_WIN
    return ERROR_FILE_NOT_FOUND;
#else
    return ENOENT;
#endif
}

// True only when the system says that no process of that id runs; any doubt (another
// user's process, an id that cannot be one) counts as running.
bool ProcessGone(qint64 pid)
{
#ifdef Q_OS_WIN
    if (pid <= 0 || pid > std::numeric_limits<DWORD>::max())
        return false;
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
#else
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
#endif
}

// An earlier file's copy must not stay beside a new file of the name. A folder there is
// no copy: writing the copy meets it and says so.
int RemoveStaleCopy(const QString& copy)
{
    const int error = SystemFile::Remove(copy);
    if (error == 0)
        return 0;
    const QFileInfo info(copy);
    return !info.exists() || info.isDir() ? 0 : error;
}

// The copy is scrambled piece by piece, so that it never takes the file's size twice.
constexpr qsizetype CopyPiece = 64 * 1024;

} // namespace

QString ExportFiles::IoErrorText(int systemCode, const QString& file)
{
    QString text = QStringLiteral("I/O error ") + QString::number(systemCode);
    if (!file.isEmpty())
        text += QStringLiteral(": ") + QDir::toNativeSeparators(file);
    const QString reason = SystemErrorText(systemCode);
    if (!reason.isEmpty())
        text += QStringLiteral(" (") + reason + u')';
    return text;
}

void ExportFiles::SweepLeftovers(const QString& folder)
{
    if (m_sweptFolders.contains(folder))
        return;
    m_sweptFolders.insert(folder);
    // TemporaryName of an export file or of a copy, and nothing else the user may keep.
    static const QRegularExpression leftover(
        QStringLiteral("^.+\\.(?:csv|dat)\\.(\\d{1,10})\\.tmp$"));
    const QStringList names = QDir(folder).entryList({QStringLiteral("*.tmp")},
                                                     QDir::Files | QDir::System | QDir::Hidden);
    for (const QString& name : names) {
        const QRegularExpressionMatch match = leftover.match(name);
        if (match.hasMatch() && ProcessGone(match.captured(1).toLongLong()))
            SystemFile::Remove(folder + u'/' + name);
    }
}

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
    SweepLeftovers(path);
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
    m_bytes.clear();
    m_placed = false;
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
        m_failedFile.clear();
        return NoFileCode();
    }
    if (m_writeError == 0) {
        const QByteArray line = AnsiLine(text);
        m_writeError = SystemFile::Write(m_handle, line);
        if (m_writeError == 0)
            m_bytes += line;
        else
            m_failedFile = m_fileName;
    }
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
    m_writeError = 0;
    QString failed = m_fileName;
    if (error == 0) {
        const QString copy = DatCopyName(m_fileName);
        error = RemoveStaleCopy(copy);
        if (error != 0)
            failed = copy;
    }
    if (error == 0)
        error = SystemFile::Replace(m_temporaryName, m_fileName);
    if (error != 0) {
        SystemFile::Remove(m_temporaryName);
        m_failedFile = failed;
        m_bytes.clear();
        return error;
    }
    m_placed = true;
    NoteWritten(m_fileName, m_bytes.size());
    return 0;
}

int ExportFiles::WriteDatCopy()
{
    if (!m_placed) {
        m_failedFile = m_fileName;
        return NotFoundCode();
    }
    const QString copyName = DatCopyName(m_fileName);
    const QString temporary = TemporaryName(copyName);
    SystemFile::Handle handle = SystemFile::ClosedHandle;
    int error = SystemFile::CheckReplaceable(copyName);
    if (error == 0)
        error = SystemFile::Create(temporary, handle);
    if (error != 0) {
        m_failedFile = copyName;
        return error;
    }
    const quint16 key = m_tick();
    quint16 state = key;
    quint16 check = 0;
    QByteArray piece;
    for (qsizetype at = 0; at < m_bytes.size() && error == 0; at += CopyPiece) {
        const qsizetype size = qMin(CopyPiece, m_bytes.size() - at);
        piece.resize(size);
        std::memcpy(piece.data(), m_bytes.constData() + at, size_t(size));
        state = ScrambleBytes(piece.data(), size, state);
        check = DatCheckValue(piece, check);
        error = SystemFile::Write(handle, piece);
    }
    if (error == 0)
        error = SystemFile::Write(handle, DatTrailer(check, key));
    if (error == 0)
        error = SystemFile::Flush(handle);
    const int closeError = SystemFile::Close(handle);
    if (error == 0)
        error = closeError;
    if (error == 0)
        error = SystemFile::Replace(temporary, copyName);
    if (error != 0) {
        SystemFile::Remove(temporary);
        m_failedFile = copyName;
        return error;
    }
    NoteWritten(copyName, m_bytes.size() + DatTrailerSize);
    return 0;
}

void ExportFiles::NoteWritten(const QString& path, qint64 size)
{
    const QString relative =
        path.startsWith(m_programDir) ? path.mid(m_programDir.size()) : QString(path);
    m_written.append({relative, size});
}

QList<std::pair<QString, qint64>> ExportFiles::TakeWritten()
{
    return std::exchange(m_written, {});
}
