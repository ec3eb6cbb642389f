#include "HexDump.h"

QString HexDump(const char* prefix, const quint8* bytes, int length)
{
    static const char digits[] = "0123456789ABCDEF";
    QString text = QString::fromLatin1(prefix);
    text.reserve(text.size() + 3 * length);
    for (int i = 0; i < length; ++i) {
        text += u' ';
        text += QLatin1Char(digits[bytes[i] >> 4]);
        text += QLatin1Char(digits[bytes[i] & 0x0F]);
    }
    return text;
}
