#include "AnsiCodec.h"

#include <array>

namespace {

// Windows-1251, bytes 80h..BFh; C0h..FFh are U+0410..U+044F in order. 98h is
// unassigned and maps to U+0098, as the system converter does, so it round-trips.
constexpr char16_t kHighHalf[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

constexpr char kReplacement = '?';

const std::array<char, 0x500>& CyrillicBlockToByte()
{
    // Reverse map for U+0000..U+04FF; 0 marks "not in the code page" (U+0000 is
    // handled before the table is consulted).
    static const std::array<char, 0x500> table = [] {
        std::array<char, 0x500> t{};
        for (int b = 0; b < 0x80; ++b)
            t[static_cast<size_t>(b)] = static_cast<char>(b);
        for (int i = 0; i < 64; ++i) {
            if (kHighHalf[i] < 0x500)
                t[kHighHalf[i]] = static_cast<char>(0x80 + i);
        }
        for (int i = 0; i < 64; ++i)
            t[0x410 + static_cast<size_t>(i)] = static_cast<char>(0xC0 + i);
        return t;
    }();
    return table;
}

char EncodeChar(char32_t c)
{
    if (c == 0)
        return 0;
    if (c < 0x500) {
        const char b = CyrillicBlockToByte()[c];
        return b != 0 ? b : kReplacement;
    }
    for (int i = 0; i < 64; ++i) {
        if (kHighHalf[i] == c)
            return static_cast<char>(0x80 + i);
    }
    return kReplacement;
}

} // namespace

QByteArray EncodeAnsi(QStringView text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            ++i; // one replacement per character, not per UTF-16 half
            out.append(kReplacement);
            continue;
        }
        out.append(EncodeChar(c.unicode()));
    }
    return out;
}

bool IsAnsiText(QStringView text)
{
    for (const QChar c : text) {
        if (c.isSurrogate() || (EncodeChar(c.unicode()) == kReplacement && c != u'?'))
            return false;
    }
    return true;
}

QString DecodeAnsi(QByteArrayView bytes)
{
    QString out(bytes.size(), Qt::Uninitialized);
    QChar* to = out.data();
    for (const char ch : bytes)
        *to++ = DecodeAnsiByte(static_cast<quint8>(ch));
    return out;
}

QChar DecodeAnsiByte(quint8 byte)
{
    if (byte < 0x80)
        return QChar(byte);
    if (byte >= 0xC0)
        return QChar(static_cast<char16_t>(0x410 + (byte - 0xC0)));
    return QChar(kHighHalf[byte - 0x80]);
}

QByteArray AnsiLine(QStringView text)
{
    QByteArray out = EncodeAnsi(text);
    out.append("\r\n", 2);
    return out;
}
