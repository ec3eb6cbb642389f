#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// What a read-out brought home, device by device: the questions billing and
// inspections ask afterwards (was every meter read, do the archives have holes, whose
// clock is off), answered from what the read-out wrote.

// One archive or log of a device.
struct SourceReport
{
    // Periods of an archive, for counting the missing ones; logs have none.
    enum class Period { None, Hour, Day, Month };

    QString title; // as the file's third line names it: "Почасовой архив", "Журнал событий"
    Period period = Period::None;
    int records = 0;
    QDateTime first;
    QDateTime last;
    // Periods between the first and the last record without a record, and the first
    // MissingListed of them.
    qint64 missing = 0;
    QList<QDateTime> missingFirst;

    static constexpr int MissingListed = 5;

    // Counts a record written; records come in time order, as the device hands them out.
    void Add(const QDateTime& time);

private:
    QDateTime m_lastPeriod;
};

struct DeviceReport
{
    enum class Result { Read, Failed, Aborted };

    int address = 0;
    Result result = Result::Read;
    QString failure; // the first failure shown for the device
    QString deviceName;
    QString serialNumber;
    bool clockRead = false;
    QDateTime meterClock;    // as the meter gave it
    QDateTime computerClock; // the moment it was read
    // Meter minus computer, both taken as local wall-clock times.
    qint64 driftSeconds = 0;
    QList<SourceReport> sources;
    // Relative to the program folder, '/' separators.
    QList<std::pair<QString, qint64>> files;
};

struct ReadoutReport
{
    QString configuration; // empty when none was loaded
    QString line;          // "COM3 19200", "10.0.0.5:4001"
    QDateTime started;
    QList<DeviceReport> devices;

    int DevicesRead() const;
    int FilesWritten() const;
    bool AllRead() const;
    bool Aborted() const;
};

// The report as a Windows-1251 CSV text with ";" and CR LF, a header line first.
// Rows whose drift exceeds driftLimit seconds either way are marked.
QByteArray ReportCsv(const ReadoutReport& report, int driftLimit);

// Where the read-outs of a program folder leave their reports: {programDir}Reports.
QString ReportFolder(const QString& programDir);

// Where a read-out that started at `started` puts its report:
// {programDir}Reports/yyyy-mm-dd/hhmmss.csv, or hhmmss-2.csv and on when that name is
// taken (read-outs that start in the same second). Creates the folders and claims the
// name by creating the file empty. Empty when that fails.
QString ClaimReportPath(const QString& programDir, const QDateTime& started);

// Writes the report (ReportCsv) under the name ClaimReportPath gives, whole or not at
// all: through a temporary name, and on failure neither the claimed name nor the
// temporary file is left. 0 with path naming the report, or the system's error code
// with path empty.
int WriteReport(const QString& programDir, const ReadoutReport& report, int clockDriftLimit,
                QString& path);
