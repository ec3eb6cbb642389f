#include "ReadoutReport.h"

#include "AnsiCodec.h"
#include "ExportFiles.h"
#include "SystemFile.h"
#include "TextFormat.h"

namespace {

// The columns of every archive and log, in the order the read-out reads them.
// Holes are counted in the archives that hold a record for every period; the emergency
// archive keeps only days with trouble, and the integral ones are not looked at.
struct SourceColumn
{
    const char16_t* title;
    const char16_t* heading;
    SourceReport::Period period;
    bool holes;
};

constexpr SourceColumn SourceColumns[] = {
    {u"Почасовой архив", u"Часовой", SourceReport::Period::Hour, true},
    {u"Посуточный архив", u"Суточный", SourceReport::Period::Day, true},
    {u"Посуточный интегральный архив", u"Суточный интегр.", SourceReport::Period::Day, false},
    {u"Помесячный архив", u"Месячный", SourceReport::Period::Month, true},
    {u"Помесячный интегральный архив", u"Месячный интегр.", SourceReport::Period::Month, false},
    {u"Аварийный посуточнный архив", u"Аварийный", SourceReport::Period::Day, false},
    {u"Журнал событий", u"Журнал событий", SourceReport::Period::None, false},
    // Dated by the day, as its file is.
    {u"Защищенный журнал", u"Защищенный журнал", SourceReport::Period::Day, false},
};

QDateTime PeriodStart(const QDateTime& time, SourceReport::Period period)
{
    switch (period) {
    case SourceReport::Period::Hour:
        return CalendarDateTime(time.date(), QTime(time.time().hour(), 0));
    case SourceReport::Period::Day:
        return CalendarDateTime(time.date(), QTime(0, 0));
    case SourceReport::Period::Month:
        return CalendarDateTime(QDate(time.date().year(), time.date().month(), 1), QTime(0, 0));
    case SourceReport::Period::None:
        break;
    }
    return time;
}

QDateTime NextPeriod(const QDateTime& start, SourceReport::Period period)
{
    switch (period) {
    case SourceReport::Period::Hour:
        return start.addSecs(3600);
    case SourceReport::Period::Day:
        return CalendarDateTime(start.date().addDays(1), QTime(0, 0));
    case SourceReport::Period::Month:
        return CalendarDateTime(start.date().addMonths(1), QTime(0, 0));
    case SourceReport::Period::None:
        break;
    }
    return start;
}

QString RecordTimeText(const QDateTime& time, SourceReport::Period period)
{
    if (!time.isValid())
        return QString();
    switch (period) {
    case SourceReport::Period::Hour:
        return FormatDateTimeMinutes(time);
    case SourceReport::Period::Day:
    case SourceReport::Period::Month:
        return FormatDate(time.date());
    case SourceReport::Period::None:
        break;
    }
    return FormatDateTimeSeconds(time);
}

QString ResultWord(DeviceReport::Result result)
{
    switch (result) {
    case DeviceReport::Result::Read:
        return QStringLiteral("прочитан");
    case DeviceReport::Result::Failed:
        return QStringLiteral("ошибка");
    case DeviceReport::Result::Aborted:
        break;
    }
    return QStringLiteral("прервано");
}

// A cell may not carry the separator or a line break of its own.
QString Cell(QString text)
{
    text.replace(u';', u',');
    text.replace(u'\r', u' ');
    text.replace(u'\n', u' ');
    return text;
}

} // namespace

// Whole periods from one period start to another.
static qint64 PeriodsBetween(const QDateTime& from, const QDateTime& to,
                             SourceReport::Period period)
{
    switch (period) {
    case SourceReport::Period::Hour:
        return from.secsTo(to) / 3600;
    case SourceReport::Period::Day:
        return from.date().daysTo(to.date());
    case SourceReport::Period::Month:
        return (to.date().year() - from.date().year()) * 12LL + to.date().month() -
               from.date().month();
    case SourceReport::Period::None:
        break;
    }
    return 0;
}

void SourceReport::Add(const QDateTime& time)
{
    if (records == 0)
        first = time;
    last = time;
    ++records;
    if (period == Period::None)
        return;
    const QDateTime start = PeriodStart(time, period);
    if (m_lastPeriod.isValid() && start > m_lastPeriod) {
        const qint64 gap = PeriodsBetween(m_lastPeriod, start, period) - 1;
        QDateTime at = NextPeriod(m_lastPeriod, period);
        for (qint64 i = 0; i < gap && missingFirst.size() < MissingListed; ++i) {
            missingFirst.append(at);
            at = NextPeriod(at, period);
        }
        missing += qMax<qint64>(gap, 0);
    }
    if (!m_lastPeriod.isValid() || start > m_lastPeriod)
        m_lastPeriod = start;
}

int ReadoutReport::DevicesRead() const
{
    int n = 0;
    for (const DeviceReport& device : devices)
        n += device.result == DeviceReport::Result::Read ? 1 : 0;
    return n;
}

int ReadoutReport::FilesWritten() const
{
    int n = 0;
    for (const DeviceReport& device : devices)
        n += int(device.files.size());
    return n;
}

bool ReadoutReport::AllRead() const
{
    return !devices.isEmpty() && DevicesRead() == devices.size();
}

bool ReadoutReport::Aborted() const
{
    for (const DeviceReport& device : devices) {
        if (device.result == DeviceReport::Result::Aborted)
            return true;
    }
    return false;
}

QByteArray ReportCsv(const ReadoutReport& report, int driftLimit)
{
    QStringList header = {QStringLiteral("Конфигурация"),    QStringLiteral("Линия"),
                          QStringLiteral("Адрес"),           QStringLiteral("Результат"),
                          QStringLiteral("Ошибка"),          QStringLiteral("Прибор"),
                          QStringLiteral("Зав. №"),          QStringLiteral("Часы прибора"),
                          QStringLiteral("Часы компьютера"), QStringLiteral("Уход часов, с"),
                          QStringLiteral("Часы сбиты")};
    for (const SourceColumn& column : SourceColumns) {
        const QString h = QString::fromUtf16(column.heading);
        header << h + QStringLiteral(": записей") << h + QStringLiteral(": первая")
               << h + QStringLiteral(": последняя");
        if (column.holes)
            header << h + QStringLiteral(": пропусков") << h + QStringLiteral(": пропущены");
    }
    header << QStringLiteral("Файлы");

    QByteArray out = AnsiLine(header.join(u';') + u';');
    for (const DeviceReport& device : report.devices) {
        QStringList row = {
            Cell(report.configuration), Cell(report.line),    QString::number(device.address),
            ResultWord(device.result),  Cell(device.failure), Cell(device.deviceName),
            Cell(device.serialNumber)};
        if (device.clockRead) {
            const bool off = qAbs(device.driftSeconds) > driftLimit;
            row << FormatDateTimeSeconds(device.meterClock)
                << FormatDateTimeSeconds(device.computerClock)
                << QString::number(device.driftSeconds) << (off ? QStringLiteral("да") : QString());
        } else {
            row << QString() << QString() << QString() << QString();
        }
        for (const SourceColumn& column : SourceColumns) {
            const SourceReport* source = nullptr;
            for (const SourceReport& s : device.sources) {
                if (s.title == QStringView(column.title))
                    source = &s;
            }
            const bool periods = column.holes;
            if (!source) {
                row << QString() << QString() << QString();
                if (periods)
                    row << QString() << QString();
                continue;
            }
            row << QString::number(source->records) << RecordTimeText(source->first, column.period)
                << RecordTimeText(source->last, column.period);
            if (periods) {
                QStringList dates;
                for (const QDateTime& t : source->missingFirst)
                    dates << RecordTimeText(t, column.period);
                if (source->missing > source->missingFirst.size())
                    dates << QStringLiteral("…");
                row << QString::number(source->missing) << dates.join(QStringLiteral(", "));
            }
        }
        QStringList files;
        for (const auto& [path, size] : device.files)
            files << Cell(path) + QStringLiteral(" (") + QString::number(size) + u')';
        row << files.join(QStringLiteral(", "));
        out += AnsiLine(row.join(u';') + u';');
    }
    return out;
}

QString ReportFolder(const QString& programDir)
{
    return programDir + QStringLiteral("Reports");
}

namespace {

int ClaimName(const QString& programDir, const QDateTime& started, QString& path)
{
    path.clear();
    const QString folder =
        ReportFolder(programDir) + u'/' + started.date().toString(QStringLiteral("yyyy-MM-dd"));
    if (const int error = SystemFile::CreateFolders(folder))
        return error;
    const QString stem = folder + u'/' + started.time().toString(QStringLiteral("HHmmss"));
    int error = 0;
    for (int n = 1; n < 1000; ++n) {
        const QString name =
            stem + (n == 1 ? QString() : u'-' + QString::number(n)) + QStringLiteral(".csv");
        // Created only when new: two read-outs that start in the same second never share
        // a report.
        SystemFile::Handle handle = SystemFile::ClosedHandle;
        error = SystemFile::CreateNew(name, handle);
        if (error == 0) {
            SystemFile::Close(handle);
            path = name;
            return 0;
        }
        if (!SystemFile::FileExists(error))
            return error;
    }
    return error;
}

} // namespace

QString ClaimReportPath(const QString& programDir, const QDateTime& started)
{
    QString path;
    ClaimName(programDir, started, path);
    return path;
}

int WriteReport(const QString& programDir, const ReadoutReport& report, int clockDriftLimit,
                QString& path)
{
    if (const int error = ClaimName(programDir, report.started, path))
        return error;
    const int error = SystemFile::WriteAllVia(ExportFiles::TemporaryName(path), path,
                                              ReportCsv(report, clockDriftLimit));
    if (error != 0) {
        SystemFile::Remove(path);
        path.clear();
    }
    return error;
}
