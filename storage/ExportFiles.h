#pragma once

#include "SystemFile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringView>

#include <functional>

class ExchangeLog;

// The export tree Data/yyyy-mm-dd/{device}/{serial number} in the program folder and
// the one export file that all exports write through. One instance serves the whole
// read-out; at most one file is open at any time.
//
// Another read-out (the window and a command line, two command lines) may write the
// same files at the same time. Each file is therefore written under a temporary name
// of this process beside it and renamed over its own name when it is closed: a file
// under an export name is always the whole output of one read-out, and a program that
// dies midway leaves only its temporary file. Such leftovers of processes that no
// longer run are removed when a later read-out uses their folder.
class ExportFiles
{
public:
    using Clock = std::function<QDateTime()>;
    using TickSource = std::function<quint16()>;

    // programDir ends with a separator. The clock gives the date of folder and file
    // name at the moment a file is made; the tick source gives the scrambling key of a
    // ".dat" copy. Both are replaceable so that a test can pin them.
    ExportFiles(ExchangeLog& log, QString programDir, Clock clock = &QDateTime::currentDateTime,
                TickSource tick = &MillisecondTick);
    ~ExportFiles();
    ExportFiles(const ExportFiles&) = delete;
    ExportFiles& operator=(const ExportFiles&) = delete;

    // Set by the read-out for the current device; used as they are.
    QString DeviceName;
    QString SerialNumber;
    QString ArchiveHeaderLine;
    // Told of every creation failure after it is logged: the window shows such a failure
    // only in the log, a headless run must also know the read-out failed.
    std::function<void(const QString& message)> OnFailure;
    // The message of the last creation failure.
    QString LastFailure;

    // The files put in place since the last call, export files and copies alike, each
    // relative to the program folder with its size.
    QList<std::pair<QString, qint64>> TakeWritten();

    // A read-out begins: the first use of each folder removes again the temporary files
    // that processes no longer running left there.
    void BeginReadout() { m_sweptFolders.clear(); }

    // The three creation steps return false after logging the failure; the caller then
    // ends the read-out.
    bool MakeExportFolder();
    // Creates {folder}/mmdd{suffix}.csv (under its temporary name until it is closed)
    // and writes the device and serial-number lines. A file still open is closed first,
    // without its error: the exports close their files themselves.
    bool CreateExportFile(const QString& suffix);
    // Memo mark, log line, then the file with all four header lines.
    bool CreateArchiveFile(const QString& title, const QString& suffix);

    // Writing and closing return 0 or the system's error code, which the read-out
    // shows as "I/O error %d". A failed write is remembered: every later WriteLine and
    // the CloseExportFile of the same file return that code, so a header line lost
    // inside a creation step still ends the export at its next write or its close.
    int WriteLine(QStringView text);
    // Puts the file in place under its name, with every line written so far; after a
    // failed write, flush, close or rename the temporary file is removed instead and
    // whatever had that name stays. A ".dat" copy of an earlier file of the name is
    // removed first, so that a copy beside a file is always that file's own. 0 when no
    // file is open.
    int CloseExportFile();
    bool IsExportFileOpen() const { return m_handle != SystemFile::ClosedHandle; }

    // Writes the scrambled, checksummed copy of the export file last put in place next
    // to it, the last three characters of its name replaced by "dat", through a
    // temporary name as well. The copy is made of the bytes this process wrote, held
    // until the next file is made, not of whatever has the name by now. 0, or the
    // system's error code of writing the copy (ENOENT when no file was put in place
    // since the last creation).
    int WriteDatCopy();

    // The file (export file or copy) that the last failed write, close or copy
    // concerned; empty when no file was open.
    const QString& FailedFile() const { return m_failedFile; }
    // "I/O error {code}: {file} ({the system's reason})", the file with the system's
    // separators; without the file or the reason when there is none.
    static QString IoErrorText(int systemCode, const QString& file);

    // Both with '/' separators; empty until the first folder or file is made.
    const QString& ExportFolder() const { return m_folder; }
    // The name of the file last created (or attempted); it stays known after closing,
    // until the next creation.
    const QString& ExportFile() const { return m_fileName; }

    // Where this process writes a file until it puts it in place: the name followed by
    // "." + process id + ".tmp", which no "*.csv" or "*.dat" matches.
    static QString TemporaryName(const QString& name);

    static QString DatCopyName(const QString& name)
    {
        return name.chopped(3) + QStringLiteral("dat");
    }
    // The low 16 bits of the system's monotonic millisecond counter.
    static quint16 MillisecondTick();

private:
    bool MakeExportFolderFor(const QDate& date);
    bool CreateExportFileFor(const QDate& date, const QString& suffix);
    void Fail(const QString& message);
    void NoteWritten(const QString& path, qint64 size);
    void SweepLeftovers(const QString& folder);

    ExchangeLog& m_log;
    QString m_programDir;
    Clock m_clock;
    TickSource m_tick;
    QString m_folder;
    QString m_fileName;
    QString m_temporaryName;
    SystemFile::Handle m_handle = SystemFile::ClosedHandle;
    int m_writeError = 0;
    // What the file holds; its copy is made of these.
    QByteArray m_bytes;
    bool m_placed = false;
    QString m_failedFile;
    QSet<QString> m_sweptFolders;
    QList<std::pair<QString, qint64>> m_written;
};
