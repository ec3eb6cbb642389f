// The settings file. The input is "section\nkey\nvalue\n" followed by the bytes of the
// file (without three line feeds there is no file). The file is read whatever it holds;
// then the key is written: a name the file cannot hold is refused and the file left
// alone, otherwise every line of the file but the key's own stays byte for byte, new
// lines end in CR LF, and the value reads back as it was written.
#include "AnsiCodec.h"
#include "FuzzCheck.h"
#include "IniFile.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

struct FileLine
{
    QString text;
    QString end;
};

struct FileLines
{
    bool utf16 = false;
    QList<FileLine> lines;
    QByteArray tail;
};

// Windows-1251 decodes byte by byte and back, so lines of decoded text compare as their
// bytes do.
FileLines Split(const QByteArray& bytes)
{
    FileLines file;
    QString text;
    if (bytes.startsWith("\xFF\xFE")) {
        file.utf16 = true;
        const qsizetype units = (bytes.size() - 2) / 2;
        for (qsizetype i = 0; i < units; ++i)
            text += QChar(char16_t(quint8(bytes[2 + 2 * i]) | quint8(bytes[3 + 2 * i]) << 8));
        file.tail = bytes.mid(2 + 2 * units);
    } else {
        text = DecodeAnsi(bytes);
    }
    qsizetype from = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\r' && text[i] != u'\n')
            continue;
        const qsizetype endSize =
            text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n' ? 2 : 1;
        file.lines.append({text.mid(from, i - from), text.mid(i, endSize)});
        i += endSize - 1;
        from = i + 1;
    }
    if (from < text.size())
        file.lines.append({text.mid(from), QString()});
    return file;
}

bool Kept(const FileLine& before, const FileLine& after)
{
    // A last line without a line end gets one when a line goes after it.
    return before.text == after.text &&
           (before.end == after.end || (before.end.isEmpty() && after.end == u"\r\n"));
}

QString Blanked(QString text)
{
    const auto blank = [](QChar c) {
        return c == u' ' || c == u'\t';
    };
    while (!text.isEmpty() && blank(text.front()))
        text.remove(0, 1);
    while (!text.isEmpty() && blank(text.back()))
        text.chop(1);
    return text;
}

// What a written value reads back as: its first line, without the blanks around it
// and without a pair of quotes enclosing it.
QString ReadsBackAs(const QString& value)
{
    qsizetype end = 0;
    while (end < value.size() && value[end] != u'\r' && value[end] != u'\n')
        ++end;
    QString text = Blanked(value.first(end));
    if (text.size() >= 2 && (text.front() == u'"' || text.front() == u'\'') &&
        text.back() == text.front())
        text = text.mid(1, text.size() - 2);
    return text;
}

bool CanBeSection(const QString& name)
{
    const QString trimmed = Blanked(name);
    return !trimmed.isEmpty() && !trimmed.contains(u'\r') && !trimmed.contains(u'\n');
}

bool CanBeKey(const QString& name)
{
    const QString trimmed = Blanked(name);
    return CanBeSection(trimmed) && !trimmed.contains(u'=') && !trimmed.startsWith(u'[') &&
           !trimmed.startsWith(u';');
}

QByteArray FileBytes(const QString& path, bool& exists)
{
    QFile file(path);
    exists = file.exists();
    if (exists && !file.open(QIODevice::ReadOnly))
        std::abort();
    return exists ? file.readAll() : QByteArray();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("OrvekData.ini"));
    QFile::remove(path);

    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QList<QByteArray> fields = input.split('\n');
    const bool hasFile = fields.size() >= 4;
    while (fields.size() < 3)
        fields.append(QByteArray());
    const QByteArray before =
        hasFile ? input.mid(fields[0].size() + fields[1].size() + fields[2].size() + 3)
                : QByteArray();
    // Names and value are taken in what the file can hold: Windows-1251, or anything for
    // a UTF-16 file.
    const bool utf16 = before.startsWith("\xFF\xFE");
    const auto decode = [utf16](const QByteArray& bytes) {
        return utf16 ? QString::fromUtf8(bytes) : DecodeAnsi(bytes);
    };
    const QString section = decode(fields[0]);
    const QString key = decode(fields[1]);
    const QString value = decode(fields[2]);

    if (hasFile) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(before) != before.size())
            std::abort();
    }

    IniFile ini(path);
    const QStringList sectionsBefore = ini.SectionNames();
    ini.ReadSection(section).ReadInteger(key, 0);

    const bool written = ini.WriteString(section, key, value);
    bool exists = false;
    const QByteArray after = FileBytes(path, exists);
    if (!CanBeSection(section) || !CanBeKey(key)) {
        FUZZ_CHECK(!written, Visible(section) + u'/' + Visible(key));
        FUZZ_CHECK(exists == hasFile && after == before, QString());
        return 0;
    }
    FUZZ_CHECK(written, Visible(section) + u'/' + Visible(key));

    const QString expected = ReadsBackAs(value);
    FUZZ_CHECK(ini.ReadString(section, key, expected + u'x') == expected,
               Visible(ini.ReadString(section, key)) + QStringLiteral(" for ") + Visible(expected));
    const QStringList sectionsAfter = ini.SectionNames();
    FUZZ_CHECK(sectionsAfter.contains(Blanked(section), Qt::CaseInsensitive), QString());
    FUZZ_CHECK(sectionsAfter.size() - sectionsBefore.size() <= 1, QString());
    if (after == before)
        return 0;

    const FileLines was = Split(before);
    const FileLines now = Split(after);
    FUZZ_CHECK(now.utf16 == was.utf16 && now.tail == was.tail, QString());
    const qsizetype oldCount = was.lines.size();
    const qsizetype newCount = now.lines.size();
    qsizetype prefix = 0;
    while (prefix < oldCount && prefix < newCount && Kept(was.lines[prefix], now.lines[prefix]))
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < oldCount - prefix && suffix < newCount - prefix &&
           Kept(was.lines[oldCount - 1 - suffix], now.lines[newCount - 1 - suffix]))
        ++suffix;
    const qsizetype oldMiddle = oldCount - prefix - suffix;
    const qsizetype newMiddle = newCount - prefix - suffix;
    const QString where = QStringLiteral("lines %1..%2 of %3 became %4 of %5")
                              .arg(prefix)
                              .arg(prefix + oldMiddle)
                              .arg(oldCount)
                              .arg(newMiddle)
                              .arg(newCount);
    // The key's line changed in place, or the key's line, or a new section with its
    // header, an empty line before it and the key, went in.
    if (oldMiddle == 1) {
        FUZZ_CHECK(newMiddle == 1, where);
        FUZZ_CHECK(now.lines[prefix].end == was.lines[prefix].end, where);
    } else {
        FUZZ_CHECK(oldMiddle == 0 && newMiddle >= 1 && newMiddle <= 3, where);
        for (qsizetype i = prefix; i < prefix + newMiddle; ++i)
            FUZZ_CHECK(now.lines[i].end == u"\r\n", where);
    }
    return 0;
}
