#include "DatFile.h"

#include "AnsiCodec.h"
#include "Crc16.h"
#include "SystemFile.h"

quint16 ScrambleBytes(char* bytes, qsizetype count, quint16 scrambleKey)
{
    quint16 state = scrambleKey;
    for (qsizetype i = 0; i < count; ++i) {
        state = static_cast<quint16>(state * 9 + 7);
        bytes[i] = static_cast<char>(static_cast<quint8>(bytes[i]) ^ (state & 0xFF));
    }
    return state;
}

quint16 DatCheckValue(QByteArrayView scrambled, quint16 start)
{
    quint16 crc = start;
    for (const char byte : scrambled)
        crc = Crc16Update(crc, static_cast<quint8>(byte));
    return crc;
}

QByteArray DatTrailer(quint16 checkValue, quint16 scrambleKey)
{
    const char trailer[DatTrailerSize] = {
        static_cast<char>(checkValue >> 8), static_cast<char>(checkValue & 0xFF),
        static_cast<char>(scrambleKey >> 8), static_cast<char>(scrambleKey & 0xFF)};
    return QByteArray(trailer, DatTrailerSize);
}

QByteArray MakeDatCopy(QByteArrayView csv, quint16 scrambleKey)
{
    QByteArray bytes = csv.toByteArray();
    ScrambleBytes(bytes.data(), bytes.size(), scrambleKey);
    bytes += DatTrailer(DatCheckValue(bytes), scrambleKey);
    return bytes;
}

bool RestoreDatBytes(QByteArray& bytes)
{
    if (bytes.size() <= DatTrailerSize)
        return false;
    const qsizetype n = bytes.size() - DatTrailerSize;
    const auto at = [&bytes](qsizetype i) {
        return static_cast<quint8>(bytes.at(i));
    };
    const quint16 check = DatCheckValue(QByteArrayView(bytes).first(n));
    if (at(n) != (check >> 8) || at(n + 1) != (check & 0xFF))
        return false;
    const auto key = static_cast<quint16>(at(n + 2) << 8 | at(n + 3));
    ScrambleBytes(bytes.data(), n, key);
    for (qsizetype i = n; i < bytes.size(); ++i)
        bytes[i] = ' ';
    return true;
}

DatContent ReadDatFile(const QString& path)
{
    DatContent content;
    content.systemError = SystemFile::ReadAll(path, content.bytes, DatFileSizeLimit);
    if (content.systemError) {
        content.status = DatStatus::ReadFailed;
        return content;
    }
    if (!RestoreDatBytes(content.bytes))
        return content;
    QString text = DecodeAnsi(content.bytes);
    qsizetype end = text.size();
    while (end > 0 && text.at(end - 1) == u' ')
        --end;
    text.truncate(end);
    if (SplitTextLines(text).size() < 4)
        return content;
    content.text = text;
    content.status = DatStatus::Ok;
    return content;
}

QString ConvertedCsvName(const QString& datPath)
{
    // Only a real ".dat" ending is cut: cutting four characters off any other name would
    // write into another name, or another folder ("sub/ab" gave "su_1.csv").
    const bool datEnding = datPath.endsWith(QLatin1String(".dat"), Qt::CaseInsensitive) &&
                           datPath.size() > 4 && datPath.at(datPath.size() - 5) != u'/';
    return (datEnding ? datPath.chopped(4) : datPath) + QStringLiteral("_1.csv");
}

DatContent ConvertDatFile(const QString& datPath)
{
    DatContent content = ReadDatFile(datPath);
    if (content.status != DatStatus::Ok)
        return content;
    content.systemError = SystemFile::WriteAll(ConvertedCsvName(datPath), content.bytes);
    if (content.systemError)
        content.status = DatStatus::WriteFailed;
    return content;
}

QStringList SplitTextLines(const QString& text)
{
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != u'\r' && c != u'\n')
            continue;
        lines.append(text.mid(start, i - start));
        if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.append(text.mid(start));
    return lines;
}

QStringList SplitTableLine(const QString& line)
{
    QStringList cells = line.split(u';');
    // The piece after the last ";" is the rest; it is a cell only when it holds text.
    if (cells.last().isEmpty())
        cells.removeLast();
    return cells;
}

DatTable SplitDatText(const QString& text)
{
    const QStringList lines = SplitTextLines(text);
    DatTable table;
    table.titleLines = lines.mid(0, 3);
    if (lines.size() < 4)
        return table;
    table.columnCount = static_cast<int>(lines.at(3).count(u';'));
    for (qsizetype k = 3; k < lines.size(); ++k)
        table.rows.append(SplitTableLine(lines.at(k)));
    table.fixedRows = lines.size() > 4 ? 1 : 0;
    return table;
}
