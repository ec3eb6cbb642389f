#include "TextFormat.h"

#include <QLocale>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

QString Pad(int value, int width)
{
    return QString::number(value).rightJustified(width, u'0');
}

} // namespace

QDateTime CalendarDateTime(const QDate& date, const QTime& time)
{
    return QDateTime(date, time, Qt::UTC);
}

QDateTime ZeroDateTime()
{
    return CalendarDateTime(QDate(1899, 12, 30), QTime(0, 0));
}

QChar DecimalMark()
{
    const QString mark = QLocale().decimalPoint();
    return mark.isEmpty() ? QChar(u'.') : mark.at(0);
}

QChar TimeSeparator()
{
    // Qt has no direct call for it: take the first character after the hours in the
    // locale's short time format.
    const QString format = QLocale().timeFormat(QLocale::ShortFormat);
    bool inHours = false;
    for (const QChar c : format) {
        const bool hour = c == u'h' || c == u'H';
        if (inHours && !hour)
            return c.isLetter() || c.isSpace() ? QChar(u':') : c;
        inHours = hour;
    }
    return u':';
}

QString FormatDate(const QDate& date)
{
    return Pad(date.day(), 2) + u'.' + Pad(date.month(), 2) + u'.' + Pad(date.year(), 4);
}

QString FormatDateTimeMinutes(const QDateTime& value)
{
    const QTime time = value.time();
    return FormatDate(value.date()) + u' ' + Pad(time.hour(), 2) + TimeSeparator() +
           Pad(time.minute(), 2);
}

QString FormatDateTimeSeconds(const QDateTime& value)
{
    return FormatDateTimeMinutes(value) + TimeSeparator() + Pad(value.time().second(), 2);
}

QString FormatIsoDate(const QDate& date)
{
    return Pad(date.year(), 4) + u'-' + Pad(date.month(), 2) + u'-' + Pad(date.day(), 2);
}

QString FormatMonthDay(const QDate& date)
{
    return Pad(date.month(), 2) + Pad(date.day(), 2);
}

QString FormatStampTime(const QTime& time)
{
    const QChar sep = TimeSeparator();
    return Pad(time.hour(), 2) + sep + Pad(time.minute(), 2) + sep + Pad(time.second(), 2) + u'.' +
           Pad(time.msec(), 3);
}

QString FormatNumberCell(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NAN");
    if (std::isinf(value))
        return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
    if (value == 0)
        return QStringLiteral("0");

    // Round to 15 significant digits first; the form is chosen on the rounded value,
    // so 999999999999999.9 becomes 1E15 and not a 16-digit integer. A cell is written
    // for every value of every record: this stays on the stack until the text is built.
    char text[40];
    const auto written = std::to_chars(text, text + sizeof text, std::fabs(value),
                                       std::chars_format::scientific, 14);
    const char* const ePos = std::find(text, written.ptr, 'e');
    int exponent = 0;
    std::from_chars(ePos + (ePos[1] == '+' ? 2 : 1), written.ptr, exponent);
    // d.ddddddddddddddd: the leading digit and the fraction, without trailing zeros.
    char digits[20];
    int count = 0;
    digits[count++] = text[0];
    for (const char* c = text + 2; c < ePos; ++c)
        digits[count++] = *c;
    while (count > 1 && digits[count - 1] == '0')
        --count;

    const QChar mark = DecimalMark();
    QString out;
    out.reserve(32);
    if (value < 0)
        out += u'-';
    const auto append = [&out](const char* from, int n) {
        for (int k = 0; k < n; ++k)
            out += QLatin1Char(from[k]);
    };
    if (exponent < -5 || exponent >= 15) {
        out += QLatin1Char(digits[0]);
        if (count > 1) {
            out += mark;
            append(digits + 1, count - 1);
        }
        out += u'E';
        out += QString::number(exponent);
    } else if (exponent < 0) {
        out += u'0';
        out += mark;
        out += QString(-exponent - 1, u'0');
        append(digits, count);
    } else {
        const int intDigits = exponent + 1;
        if (count <= intDigits) {
            append(digits, count);
            out += QString(intDigits - count, u'0');
        } else {
            append(digits, intDigits);
            out += mark;
            append(digits + intDigits, count - intDigits);
        }
    }
    return out;
}

qint64 RoundHalfEven(double value)
{
    // nearbyint follows the default rounding mode, which is to nearest, ties to even.
    const double rounded = std::nearbyint(value);
    if (std::isnan(rounded))
        return 0;
    if (rounded >= 9223372036854775807.0)
        return std::numeric_limits<qint64>::max();
    if (rounded <= -9223372036854775808.0)
        return std::numeric_limits<qint64>::min();
    return static_cast<qint64>(rounded);
}

QString FormatFlagsHex(qint64 value)
{
    return QString::number(static_cast<quint64>(value), 16).toUpper().rightJustified(8, u'0');
}

QString CleanMeterText(QStringView text)
{
    const qsizetype zero = text.indexOf(QChar(0));
    if (zero >= 0)
        text = text.first(zero);
    QString clean;
    clean.reserve(text.size());
    for (const QChar c : text) {
        if (c == u';')
            clean += u',';
        else if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            clean += u' ';
        else
            clean += c;
    }
    return clean;
}
