// Texts and numbers as the program writes them. The input is taken as Windows-1251
// bytes, as UTF-16 text and as a run of 8-byte numbers:
//  - bytes decode and encode back to themselves;
//  - a text encodes every character the code page holds to its byte and every other
//    character (a surrogate pair counting as one) to "?";
//  - a number cell, in the C and in the Russian regional settings, holds no field
//    separator or line break and at most 15 significant digits, and reads back as the
//    number rounded to 15 significant digits;
//  - a flags word reads back from its hexadecimal text, and rounding goes to the
//    nearest integer, halves to the even one.
#include "AnsiCodec.h"
#include "FuzzCheck.h"
#include "ProgramEnv.h"
#include "TextFormat.h"

#include <QHash>
#include <QLocale>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const QHash<char16_t, char>& CodePage()
{
    static const QHash<char16_t, char> bytes = [] {
        QHash<char16_t, char> map;
        for (int b = 0; b < 256; ++b)
            map.insert(DecodeAnsiByte(quint8(b)).unicode(), char(b));
        return map;
    }();
    return bytes;
}

void CheckBytes(const QByteArray& bytes)
{
    const QString text = DecodeAnsi(bytes);
    FUZZ_CHECK(text.size() == bytes.size(), QString());
    FUZZ_CHECK(EncodeAnsi(text) == bytes, Visible(text));
}

void CheckText(const QString& text)
{
    const QByteArray bytes = EncodeAnsi(text);
    qsizetype at = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        FUZZ_CHECK(at < bytes.size(), Visible(text));
        const QChar c = text[i];
        char expected = '?';
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (const auto found = CodePage().constFind(c.unicode()); found != CodePage().cend())
            expected = *found;
        FUZZ_CHECK(bytes[at] == expected, Visible(text) + QStringLiteral(" at %1").arg(i));
        ++at;
    }
    FUZZ_CHECK(at == bytes.size(), Visible(text));
    FUZZ_CHECK(AnsiLine(text) == bytes + "\r\n", QString());
}

int SignificantDigits(const QString& cell)
{
    QString mantissa = cell.section(u'E', 0, 0);
    mantissa.remove(u'-');
    mantissa.remove(DecimalMark());
    while (mantissa.startsWith(u'0'))
        mantissa.remove(0, 1);
    return int(mantissa.size());
}

void CheckNumber(double value)
{
    const QString cell = FormatNumberCell(value);
    FUZZ_CHECK(!cell.contains(u';') && !cell.contains(u'\r') && !cell.contains(u'\n'), cell);
    if (!std::isfinite(value)) {
        FUZZ_CHECK(cell == u"NAN" || cell == u"INF" || cell == u"-INF", cell);
        return;
    }
    FUZZ_CHECK(SignificantDigits(cell) <= 15, cell);
    const QString mantissa = cell.section(u'E', 0, 0);
    if (mantissa.contains(DecimalMark()))
        FUZZ_CHECK(!mantissa.endsWith(u'0') && !mantissa.endsWith(DecimalMark()), cell);

    char rounded[40];
    std::snprintf(rounded, sizeof rounded, "%.14e", value);
    QString plain = cell;
    plain.replace(DecimalMark(), u'.');
    const double back = std::strtod(plain.toLatin1().constData(), nullptr);
    FUZZ_CHECK(back == std::strtod(rounded, nullptr),
               cell + QStringLiteral(" for ") + QString::fromLatin1(rounded));
    // The program's own reading of a number takes the cell as it stands, where the
    // result is a normal number (next to the largest double the rounding runs over).
    double read = 0;
    if (std::fpclassify(back) == FP_NORMAL || back == 0)
        FUZZ_CHECK(TextToFloat(cell, read) && read == back, cell);
}

void CheckFlagsAndRounding(qint64 bits, double value)
{
    const QString hex = FormatFlagsHex(bits);
    bool ok = false;
    FUZZ_CHECK(hex.size() >= 8 && hex == hex.toUpper() &&
                   hex.toULongLong(&ok, 16) == quint64(bits) && ok,
               hex);

    if (!std::isfinite(value) || std::fabs(value) >= 9e18)
        return;
    const qint64 rounded = RoundHalfEven(value);
    const double distance = std::fabs(double(rounded) - value);
    FUZZ_CHECK(distance <= 0.5, QString::number(value, 'g', 17));
    if (distance == 0.5)
        FUZZ_CHECK(rounded % 2 == 0, QString::number(value, 'g', 17));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    CheckBytes(bytes);
    CheckText(QString(reinterpret_cast<const QChar*>(bytes.constData()), bytes.size() / 2));

    for (size_t at = 0; at + 8 <= size; at += 8) {
        double value = 0;
        qint64 bits = 0;
        std::memcpy(&value, data + at, 8);
        std::memcpy(&bits, data + at, 8);
        for (const QLocale::Language language : {QLocale::C, QLocale::Russian}) {
            QLocale::setDefault(QLocale(language));
            CheckNumber(value);
        }
        CheckFlagsAndRounding(bits, value);
    }
    return 0;
}
