#include "ExpectedFiles.h"

#include "AnsiCodec.h"
#include "TextFormat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cmath>

namespace {

constexpr qint16 FlagsKind = 102;

struct ArchiveFile
{
    ExportArchive archive;
    const char* title;
    const char* suffix;
};

const ArchiveFile ArchiveFiles[] = {
    {ExportArchive::Hourly, "Почасовой архив", "H0"},
    {ExportArchive::Daily, "Посуточный архив", "A0"},
    {ExportArchive::IntegralDaily, "Посуточный интегральный архив", "IA0"},
    {ExportArchive::Monthly, "Помесячный архив", "O0"},
    {ExportArchive::IntegralMonthly, "Помесячный интегральный архив", "I0"},
    // The program's title carries the doubled н.
    {ExportArchive::Emergency, "Аварийный посуточнный архив", "EA0"},
};

const ArchiveFile& FileOf(ExportArchive archive)
{
    for (const ArchiveFile& file : ArchiveFiles) {
        if (file.archive == archive)
            return file;
    }
    return ArchiveFiles[0];
}

QString TypeWord(qint16 kind)
{
    switch (kind) {
    case 101:
        return QStringLiteral("Электроэнергия");
    case 102:
        return QStringLiteral("Флаги");
    case 104:
        return QStringLiteral("Время");
    case 109:
        return QStringLiteral("Масса");
    case 112:
        return QStringLiteral("Давление");
    case 113:
        return QStringLiteral("Тепловая энергия");
    case 116:
        return QStringLiteral("Температура");
    case 118:
        return QStringLiteral("Объем");
    default:
        return QString();
    }
}

// Builds one file: the two identity lines first, as every export file has them.
class FileText
{
public:
    explicit FileText(const MeterExport& meter)
    {
        Line(QStringLiteral("Прибор: ") + meter.deviceName);
        Line(QStringLiteral("Серийный номер: ") + meter.serialNumber);
    }
    void Line(const QString& text) { m_bytes += AnsiLine(text); }
    QByteArray Bytes() const { return m_bytes; }

private:
    QByteArray m_bytes;
};

QString FlagsText(const QStringList& names, quint32 word)
{
    QString text;
    for (int bit = 0; bit < 32; ++bit) {
        if (!(word & (1u << bit)))
            continue;
        if (!text.isEmpty())
            text += QStringLiteral(", ");
        text += names.value(bit);
    }
    return text.isEmpty() ? QStringLiteral("Ok") : text;
}

// The export tree refuses device texts that would leave their level or that Windows
// does not take in a name.
bool UsableFolderName(const QString& name)
{
    if (name.isEmpty() || name.contains(QStringLiteral("..")))
        return false;
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || QStringView(u"/\\<>:\"|?*").contains(c))
            return false;
    }
    return true;
}

QString Folder(const MeterExport& meter, const QDate& today)
{
    return QStringLiteral("Data/") + FormatIsoDate(today) + u'/' + meter.deviceName + u'/' +
           meter.serialNumber + u'/';
}

} // namespace

QString ExpectedCell(const MeterExport& meter, int slot, double value)
{
    if (meter.kinds[size_t(slot)] != FlagsKind)
        return FormatNumberCell(value);
    // Halves go to the even neighbour: the default rounding mode of nearbyint.
    const auto word = quint32(qint64(std::nearbyint(value)));
    if (meter.flagNames.isEmpty())
        return QString::number(word, 16).toUpper().rightJustified(8, u'0');
    return FlagsText(meter.flagNames, word);
}

QMap<QString, QByteArray> ExpectedFiles(const MeterExport& meter, const QDate& today)
{
    QMap<QString, QByteArray> files;
    const QString prefix = Folder(meter, today) + FormatMonthDay(today);

    FileText config(meter);
    config.Line(QStringLiteral("Конфигурация"));
    config.Line(QStringLiteral("Индекс;Тип;Наименование"));
    QString header = QStringLiteral("Дата;");
    for (int slot = 0; slot < ExportSlots; ++slot) {
        const qint16 kind = meter.kinds[size_t(slot)];
        if (kind != 0)
            config.Line(QString::number(slot) + u';' + TypeWord(kind) + u';' +
                        meter.names[size_t(slot)]);
        // The header takes every name, the data lines every slot in use: they line up
        // only when exactly the slots in use are named.
        if (!meter.names[size_t(slot)].isEmpty())
            header += meter.names[size_t(slot)] + u';';
    }
    files.insert(prefix + QStringLiteral("CFG.csv"), config.Bytes());

    for (const auto& [archive, records] : meter.archives) {
        const ArchiveFile& info = FileOf(archive);
        FileText file(meter);
        file.Line(QString::fromUtf8(info.title));
        file.Line(header);
        if (!meter.recordsRefused) {
            for (const ExpectedRecord& record : records) {
                QString line =
                    (archive == ExportArchive::Hourly ? FormatDateTimeMinutes(record.time)
                                                      : FormatDate(record.time.date())) +
                    u';';
                for (int slot = 0; slot < ExportSlots; ++slot) {
                    if (meter.kinds[size_t(slot)] != 0 ||
                        (meter.namedSlotsHaveCells && !meter.names[size_t(slot)].isEmpty()))
                        line += ExpectedCell(meter, slot, record.values[size_t(slot)]) + u';';
                }
                file.Line(line);
            }
        }
        files.insert(prefix + QString::fromLatin1(info.suffix) + QStringLiteral(".csv"),
                     file.Bytes());
        // A refused record ends the work on the meter: no further archive or log.
        if (meter.recordsRefused)
            return files;
    }

    if (meter.eventLog) {
        FileText file(meter);
        file.Line(QStringLiteral("Журнал событий"));
        file.Line(QStringLiteral("Дата;События;"));
        for (const ExpectedLogRecord& record : *meter.eventLog)
            file.Line(FormatDateTimeSeconds(record.time) + u';' + record.text + u';');
        files.insert(prefix + QStringLiteral("LOG.csv"), file.Bytes());
    }
    if (meter.protectedLog) {
        FileText file(meter);
        file.Line(QStringLiteral("Защищенный журнал"));
        file.Line(QStringLiteral("Дата;События;"));
        for (const ExpectedLogRecord& record : *meter.protectedLog)
            file.Line(FormatDate(record.time.date()) + u';' + record.text + u';');
        files.insert(prefix + QStringLiteral("LOGZ.csv"), file.Bytes());
    }
    return files;
}

bool WriteExpectedFiles(const std::vector<std::unique_ptr<Meter>>& meters, const QString& root,
                        const QDate& startDate, const QDate& today, QString& error)
{
    QMap<QString, QByteArray> all;
    QSet<QString> folders;
    for (const auto& meter : meters) {
        const MeterExport expected = meter->Expected(startDate);
        for (const QString& text : {expected.deviceName, expected.serialNumber}) {
            if (!UsableFolderName(text)) {
                error = QStringLiteral("meter at address %1: \"%2\" cannot be a folder of the "
                                       "export tree")
                            .arg(meter->Address())
                            .arg(text);
                return false;
            }
        }
        const QString folder = Folder(expected, today);
        if (folders.contains(folder)) {
            error = QStringLiteral("meter at address %1: another meter has the same name and "
                                   "serial number, so which files stay depends on the order "
                                   "of reading")
                        .arg(meter->Address());
            return false;
        }
        folders.insert(folder);
        all.insert(ExpectedFiles(expected, today));
    }

    for (auto it = all.cbegin(); it != all.cend(); ++it) {
        const QString path = root + u'/' + it.key();
        if (!QDir().mkpath(QFileInfo(path).path())) {
            error = QStringLiteral("cannot make the folder of %1").arg(path);
            return false;
        }
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(it.value()) != it.value().size() || !file.flush()) {
            error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
            return false;
        }
    }
    return true;
}
