#include "IniFile.h"

#include "AnsiCodec.h"

#include <QFile>
#include <QHash>
#include <QSaveFile>
#include <QtEndian>

namespace {

enum class Encoding { Ansi, Utf16Le };

constexpr char kUtf16LeMark[] = "\xFF\xFE";

struct Line
{
    QString text;
    QString end; // "\r\n", "\n", "\r" as found; empty only on a last line without one
};

} // namespace
Q_DECLARE_TYPEINFO(Line, Q_RELOCATABLE_TYPE);
namespace {

struct Document
{
    Encoding encoding = Encoding::Ansi;
    QList<Line> lines;
    QByteArray tail;  // an odd last byte of a UTF-16 file, kept as it was
    QByteArray bytes; // the file as read, to leave it alone when nothing changed
};

const QString kNewLineEnd = QStringLiteral("\r\n");

bool IsBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

QStringView Trimmed(QStringView text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && IsBlank(text[first]))
        ++first;
    while (last > first && IsBlank(text[last - 1]))
        --last;
    return text.sliced(first, last - first);
}

bool IsBlankLine(const Line& line)
{
    return Trimmed(line.text).isEmpty();
}

bool SameName(QStringView a, QStringView b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QString Unquoted(QStringView value)
{
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front())
        return value.sliced(1, value.size() - 2).toString();
    return value.toString();
}

bool ParseWholeNumber(QStringView text, int& value)
{
    qsizetype digitsFrom = (!text.isEmpty() && (text[0] == u'+' || text[0] == u'-')) ? 1 : 0;
    if (digitsFrom == text.size())
        return false;
    for (qsizetype i = digitsFrom; i < text.size(); ++i) {
        if (text[i] < u'0' || text[i] > u'9')
            return false;
    }
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    if (ok)
        value = number;
    return ok;
}

// The name of a section header, or a null view when the line is no header. A header
// without its closing bracket still opens a section, so that the keys below it never
// count as keys of the section above.
QStringView SectionNameOf(const Line& line)
{
    const QStringView text = Trimmed(line.text);
    if (!text.startsWith(u'['))
        return {};
    const qsizetype close = text.lastIndexOf(u']');
    const QStringView name = close > 0 ? text.sliced(1, close - 1) : text.sliced(1);
    return name.isNull() ? QStringView(u"") : Trimmed(name);
}

bool IsHeader(const Line& line)
{
    return !SectionNameOf(line).isNull();
}

// Key and raw value of a key line; false for headers, comments and lines without '='.
bool SplitKeyLine(const Line& line, QStringView& key, QStringView& value)
{
    const QStringView text = Trimmed(line.text);
    if (text.isEmpty() || text[0] == u'[' || text[0] == u';')
        return false;
    const qsizetype equals = text.indexOf(u'=');
    if (equals < 0)
        return false;
    key = Trimmed(text.first(equals));
    value = Trimmed(text.sliced(equals + 1));
    return !key.isEmpty();
}

void SplitLines(const QString& text, QList<Line>& lines)
{
    // One growth of the list, not one per doubling: a large file has a million lines.
    lines.reserve(text.count(u'\n') + 1);
    qsizetype from = 0;
    while (from < text.size()) {
        qsizetype at = from;
        while (at < text.size() && text[at] != u'\r' && text[at] != u'\n')
            ++at;
        qsizetype endSize = 0;
        if (at < text.size())
            endSize = (text[at] == u'\r' && at + 1 < text.size() && text[at + 1] == u'\n') ? 2 : 1;
        // The three line ends are shared, not one copy per line.
        static const QString ends[] = {QString(), QStringLiteral("\n"), QStringLiteral("\r"),
                                       QStringLiteral("\r\n")};
        const QString& end = endSize == 2        ? ends[3]
                             : endSize == 0      ? ends[0]
                             : text[at] == u'\n' ? ends[1]
                                                 : ends[2];
        lines.emplaceBack(Line{text.sliced(from, at - from), end});
        from = at + endSize;
    }
}

enum class LoadResult { Loaded, Missing, Failed };

LoadResult Load(const QString& path, Document& doc)
{
    QFile file(path);
    if (!file.exists())
        return LoadResult::Missing;
    if (!file.open(QIODevice::ReadOnly))
        return LoadResult::Failed;
    doc.bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return LoadResult::Failed;

    if (doc.bytes.startsWith(kUtf16LeMark)) {
        doc.encoding = Encoding::Utf16Le;
        const qsizetype units = (doc.bytes.size() - 2) / 2;
        QString text(units, Qt::Uninitialized);
        qFromLittleEndian<char16_t>(doc.bytes.constData() + 2, units, text.data());
        doc.tail = doc.bytes.sliced(2 + units * 2);
        SplitLines(text, doc.lines);
    } else {
        SplitLines(DecodeAnsi(doc.bytes), doc.lines);
    }
    return LoadResult::Loaded;
}

// A missing or unreadable file reads as an empty one.
Document LoadForReading(const QString& path)
{
    Document doc;
    if (Load(path, doc) == LoadResult::Failed)
        doc = {};
    return doc;
}

QByteArray Serialize(const Document& doc)
{
    if (doc.encoding == Encoding::Ansi) {
        QByteArray out;
        for (const Line& line : doc.lines)
            out += EncodeAnsi(line.text) + EncodeAnsi(line.end);
        return out;
    }
    QString text;
    for (const Line& line : doc.lines)
        text += line.text + line.end;
    QByteArray out(2 + text.size() * 2, Qt::Uninitialized);
    out[0] = kUtf16LeMark[0];
    out[1] = kUtf16LeMark[1];
    qToLittleEndian<char16_t>(text.constData(), text.size(), out.data() + 2);
    return out + doc.tail;
}

bool Save(const QString& path, const Document& doc)
{
    const QByteArray bytes = Serialize(doc);
    if (bytes == doc.bytes && QFile::exists(path))
        return true;
    QSaveFile file(path);
    // A writable file in a folder that takes no new file (where the replacement would
    // be made) is written in place rather than not at all.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // commit() does not see a failure of the last flush of its buffer (a full disk) and
    // would put the cut copy in place, so the flush is checked here.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

qsizetype FindSection(const Document& doc, QStringView name, qsizetype from = 0)
{
    for (qsizetype i = from; i < doc.lines.size(); ++i) {
        const QStringView found = SectionNameOf(doc.lines[i]);
        if (!found.isNull() && SameName(found, name))
            return i;
    }
    return -1;
}

qsizetype SectionEnd(const Document& doc, qsizetype header)
{
    qsizetype i = header + 1;
    while (i < doc.lines.size() && !IsHeader(doc.lines[i]))
        ++i;
    return i;
}

void EnsureLineEnd(Line& line)
{
    if (line.end.isEmpty())
        line.end = kNewLineEnd;
}

qsizetype AppendSection(Document& doc, const QString& name)
{
    if (!doc.lines.isEmpty()) {
        EnsureLineEnd(doc.lines.last());
        if (!IsBlankLine(doc.lines.last()))
            doc.lines.append({QString(), kNewLineEnd});
    }
    doc.lines.append({u'[' + name + u']', kNewLineEnd});
    return doc.lines.size() - 1;
}

void SetKey(Document& doc, qsizetype header, const QString& key, const QString& value)
{
    const qsizetype end = SectionEnd(doc, header);
    for (qsizetype i = header + 1; i < end; ++i) {
        QStringView found;
        QStringView oldValue;
        if (SplitKeyLine(doc.lines[i], found, oldValue) && SameName(found, key)) {
            // The key keeps the spelling it has in the file.
            doc.lines[i].text = found.toString() + u'=' + value;
            return;
        }
    }
    qsizetype at = end;
    while (at > header + 1 && IsBlankLine(doc.lines[at - 1]))
        --at;
    EnsureLineEnd(doc.lines[at - 1]);
    doc.lines.insert(at, {key + u'=' + value, kNewLineEnd});
}

bool HasLineBreak(QStringView text)
{
    return text.contains(u'\r') || text.contains(u'\n');
}

bool CanBeSectionName(QStringView name)
{
    return !name.isEmpty() && !HasLineBreak(name);
}

bool CanBeKey(QStringView key)
{
    return !key.isEmpty() && !HasLineBreak(key) && !key.contains(u'=') && key[0] != u'[' &&
           key[0] != u';';
}

IniValues SectionEntries(const Document& doc, qsizetype header)
{
    IniValues entries;
    const qsizetype end = SectionEnd(doc, header);
    for (qsizetype i = header + 1; i < end; ++i) {
        QStringView key;
        QStringView value;
        if (SplitKeyLine(doc.lines[i], key, value))
            entries.append({key.toString(), value.toString()});
    }
    return entries;
}

QString FirstLine(const QString& value)
{
    qsizetype at = 0;
    while (at < value.size() && value[at] != u'\r' && value[at] != u'\n')
        ++at;
    return value.first(at);
}

} // namespace

QString IniSection::ReadString(const QString& key, const QString& defaultValue) const
{
    const QStringView name = Trimmed(key);
    for (const auto& [found, value] : m_entries) {
        if (SameName(found, name))
            return Unquoted(value);
    }
    return defaultValue;
}

int IniSection::ReadInteger(const QString& key, int defaultValue) const
{
    const QString text = ReadString(key, QString());
    int value = defaultValue;
    return ParseWholeNumber(text, value) ? value : defaultValue;
}

QString IniFile::ReadString(const QString& section, const QString& key,
                            const QString& defaultValue) const
{
    return ReadSection(section).ReadString(key, defaultValue);
}

int IniFile::ReadInteger(const QString& section, const QString& key, int defaultValue) const
{
    return ReadSection(section).ReadInteger(key, defaultValue);
}

IniSection IniFile::ReadSection(const QString& section) const
{
    const Document doc = LoadForReading(m_path);
    const qsizetype header = FindSection(doc, Trimmed(section));
    if (header < 0)
        return {};
    return IniSection(SectionEntries(doc, header));
}

QStringList IniFile::SectionNames() const
{
    return Snapshot().SectionNames();
}

struct IniSnapshot::Data
{
    QString path;
    Document doc;
    QStringList names;
    // Folded name, the line of its first header.
    QHash<QString, qsizetype> headers;
};

IniSnapshot IniFile::Snapshot() const
{
    auto data = std::make_shared<IniSnapshot::Data>();
    data->path = m_path;
    data->doc = LoadForReading(m_path);
    data->doc.bytes.clear(); // never written back
    const QList<Line>& lines = data->doc.lines;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QStringView name = SectionNameOf(lines[i]);
        if (name.isNull())
            continue;
        const QString text = name.toString();
        const QString folded = text.toCaseFolded();
        if (!data->headers.contains(folded)) {
            data->headers.insert(folded, i);
            data->names.append(text);
        }
    }
    IniSnapshot snapshot;
    snapshot.m_data = std::move(data);
    return snapshot;
}

IniSnapshot::IniSnapshot() : m_data(std::make_shared<Data>()) {}
IniSnapshot::~IniSnapshot() = default;
IniSnapshot::IniSnapshot(const IniSnapshot&) = default;
IniSnapshot& IniSnapshot::operator=(const IniSnapshot&) = default;

const QString& IniSnapshot::Path() const
{
    return m_data->path;
}

QStringList IniSnapshot::SectionNames() const
{
    return m_data->names;
}

IniSection IniSnapshot::Section(const QString& name) const
{
    const qsizetype header =
        m_data->headers.value(Trimmed(name).toString().toCaseFolded(), qsizetype(-1));
    if (header < 0)
        return {};
    return IniSection(SectionEntries(m_data->doc, header));
}

bool IniFile::WriteString(const QString& section, const QString& key, const QString& value)
{
    return WriteStrings(section, {{key, value}});
}

bool IniFile::WriteInteger(const QString& section, const QString& key, int value)
{
    return WriteString(section, key, QString::number(value));
}

bool IniFile::WriteStrings(const QString& section, const IniValues& values)
{
    const QString name = Trimmed(section).toString();
    if (!CanBeSectionName(name))
        return false;
    IniValues lines;
    for (const auto& [key, value] : values) {
        const QString trimmedKey = Trimmed(key).toString();
        if (!CanBeKey(trimmedKey))
            return false;
        lines.append({trimmedKey, FirstLine(value)});
    }
    if (lines.isEmpty())
        return true;

    Document doc;
    if (Load(m_path, doc) == LoadResult::Failed)
        return false;
    qsizetype header = FindSection(doc, name);
    if (header < 0)
        header = AppendSection(doc, name);
    for (const auto& [key, value] : lines)
        SetKey(doc, header, key, value);
    return Save(m_path, doc);
}

bool IniFile::EraseSection(const QString& section)
{
    const QStringView name = Trimmed(section);
    Document doc;
    const LoadResult loaded = Load(m_path, doc);
    if (loaded != LoadResult::Loaded)
        return loaded == LoadResult::Missing;
    qsizetype header = FindSection(doc, name);
    if (header < 0)
        return true;
    while (header >= 0) {
        doc.lines.remove(header, SectionEnd(doc, header) - header);
        header = FindSection(doc, name, header);
    }
    return Save(m_path, doc);
}
