#include "LayoutCodes.h"

#include "TextFormat.h"

QDateTime OrvekClockTime(const ReplyBlock& block)
{
    const QDate date(block.U16LE(6), block.Byte(5), block.Byte(3));
    const QTime time(block.Byte(2), block.Byte(1), block.Byte(0));
    return date.isValid() && time.isValid() ? CalendarDateTime(date, time) : ZeroDateTime();
}

ParameterKind LayoutCodeKind(quint8 code)
{
    switch (code >> 4) {
    case 0x1:
        return Kind::Volume;
    case 0x2:
        return Kind::Mass;
    case 0x3:
        return Kind::Temperature;
    case 0x4:
        return Kind::Pressure;
    case 0x5:
        return Kind::Heat;
    case 0x6:
    case 0x7:
    case 0x8:
    case 0x9:
        return Kind::Electricity;
    default:
        break;
    }
    if (code == 0xB0 || (code >= 0xD1 && code <= 0xD6))
        return Kind::Time;
    if (code == 0xC0)
        return Kind::Flags;
    return Kind::None;
}

QString LayoutCodeName(quint8 code, int system)
{
    const QString n = QString::number((code & 0x0F) + 1);
    const QString k = QString::number(system);
    switch (code >> 4) {
    case 0x1:
        return u'V' + n;
    case 0x2:
        return u'G' + n;
    case 0x3:
        return u'T' + n;
    case 0x4:
        return u'P' + n;
    case 0x5:
        return u'Q' + n;
    case 0x6:
    case 0x7:
    case 0x8:
    case 0x9:
        return u'E' + n + QStringLiteral(" тариф") + QString::number((code >> 4) - 5);
    default:
        break;
    }
    switch (code) {
    case 0xB0:
        return QStringLiteral("Наработка ") + k;
    case 0xC0:
        return QStringLiteral("Ошибки ") + k;
    case 0xD1:
        return QStringLiteral("Tmin ") + k; // Latin T
    case 0xD2:
        return QStringLiteral("Tmax ") + k; // Latin T
    case 0xD3:
        return QStringLiteral("Тdt ") + k; // Cyrillic Т from here on
    case 0xD4:
        return QStringLiteral("Тф ") + k;
    case 0xD5:
        return QStringLiteral("Тэп ") + k;
    case 0xD6:
        return QStringLiteral("Тнс ") + k;
    default:
        return QString();
    }
}
