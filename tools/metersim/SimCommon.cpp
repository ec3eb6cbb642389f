#include "SimCommon.h"

#include "AnsiCodec.h"

#include <QJsonValue>

#include <cmath>
#include <cstring>

quint64 NumberStream::Next()
{
    quint64 z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double NumberStream::Uniform(double low, double high)
{
    return low + (high - low) * double(Next() >> 11) / double(1ull << 53);
}

int NumberStream::Below(int bound)
{
    return bound <= 0 ? 0 : int(Next() % quint64(bound));
}

QDateTime CalendarTime(const QDate& date, const QTime& time)
{
    return QDateTime(date, time, Qt::UTC);
}

QList<QDateTime> ArchiveTimes(TimeStep step, const QDateTime& newest, int depth)
{
    QDateTime last;
    switch (step) {
    case TimeStep::Hour:
        last = CalendarTime(newest.date(), QTime(newest.time().hour(), 0));
        break;
    case TimeStep::Day:
        last = CalendarTime(newest.date(), QTime(0, 0));
        break;
    case TimeStep::Month:
        last = CalendarTime(QDate(newest.date().year(), newest.date().month(), 1), QTime(0, 0));
        break;
    }
    QList<QDateTime> times;
    times.reserve(qMax(depth, 0));
    for (int i = depth - 1; i >= 0; --i) {
        switch (step) {
        case TimeStep::Hour:
            times.append(last.addSecs(-3600ll * i));
            break;
        case TimeStep::Day:
            times.append(last.addDays(-i));
            break;
        case TimeStep::Month:
            times.append(last.addMonths(-i));
            break;
        }
    }
    return times;
}

qsizetype FirstAtOrAfter(const QList<QDateTime>& times, const QDateTime& start)
{
    for (qsizetype i = 0; i < times.size(); ++i) {
        if (times.at(i) >= start)
            return i;
    }
    return times.size();
}

void PutU16LE(QByteArray& out, quint16 value)
{
    out.append(char(value & 0xFF));
    out.append(char(value >> 8));
}

void PutU32LE(QByteArray& out, quint32 value)
{
    PutU16LE(out, quint16(value & 0xFFFF));
    PutU16LE(out, quint16(value >> 16));
}

quint32 FloatBits(float value)
{
    quint32 bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

quint32 U32LE(const QByteArray& bytes, qsizetype at)
{
    quint32 value = 0;
    for (qsizetype i = 3; i >= 0; --i)
        value = (value << 8) | quint8(bytes.at(at + i));
    return value;
}

float FloatFromBits(quint32 bits)
{
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void PutFloatLE(QByteArray& out, float value)
{
    PutU32LE(out, FloatBits(value));
}

void PutU16BE(QByteArray& out, quint16 value)
{
    out.append(char(value >> 8));
    out.append(char(value & 0xFF));
}

void PutU32Words(QByteArray& out, quint32 value)
{
    PutU16BE(out, quint16(value & 0xFFFF));
    PutU16BE(out, quint16(value >> 16));
}

void PutFloatWords(QByteArray& out, float value)
{
    PutU32Words(out, FloatBits(value));
}

QByteArray AnsiField(const QString& text, int width, char fill)
{
    QByteArray bytes = EncodeAnsi(text).left(width);
    bytes.append(QByteArray(width - bytes.size(), fill));
    return bytes;
}

bool ReadWholeNumber(const QJsonObject& object, const QString& key, qint64 low, qint64 high,
                     qint64& value, QString& error)
{
    const QJsonValue field = object.value(key);
    if (field.isUndefined())
        return true;
    const double number = field.toDouble(std::nan(""));
    if (!field.isDouble() || number != std::floor(number) || number < double(low) ||
        number > double(high)) {
        error = QStringLiteral("\"%1\" must be a whole number from %2 to %3")
                    .arg(key)
                    .arg(low)
                    .arg(high);
        return false;
    }
    value = qint64(number);
    return true;
}

bool ReadDateTime(const QJsonObject& object, const QString& key, QDateTime& value, QString& error)
{
    const QJsonValue field = object.value(key);
    if (field.isUndefined())
        return true; // keep the default
    const QDateTime parsed = QDateTime::fromString(field.toString(), Qt::ISODate);
    if (!parsed.isValid()) {
        error = QStringLiteral("\"%1\" is not a date-time like 2026-12-10T10:00:00").arg(key);
        return false;
    }
    value = CalendarTime(parsed.date(), parsed.time());
    return true;
}

QString AnsiFieldText(const QByteArray& bytes, qsizetype offset, qsizetype width)
{
    QByteArray field = bytes.mid(offset, width);
    const qsizetype zero = field.indexOf('\0');
    if (zero >= 0)
        field.truncate(zero);
    return DecodeAnsi(field);
}

QString ProgramText(const QString& text)
{
    QString out =
        text.left(text.indexOf(QChar(u'\0')) >= 0 ? text.indexOf(QChar(u'\0')) : text.size());
    for (QChar& c : out) {
        if (c == u';')
            c = u',';
        else if (c < QChar(0x20) || c == QChar(0x7F))
            c = u' ';
    }
    return out;
}

int OrvekSlots(const QByteArray& codes, std::array<qint16, 60>& kinds,
               std::array<QString, 60>& names)
{
    kinds.fill(0);
    names.fill(QString());
    static const char* const tariffs[] = {" тариф1", " тариф2", " тариф3", " тариф4"};
    static const char* const times[] = {"Tmin ", "Tmax ", "Тdt ", "Тф ", "Тэп ", "Тнс "};
    int system = 1;
    const int count = int(qMin<qsizetype>(codes.size(), 55));
    for (int slot = 0; slot < count; ++slot) {
        const int code = quint8(codes.at(slot));
        const int channel = (code & 0x0F) + 1;
        const QString number = QString::number(channel);
        switch (code >> 4) {
        case 0x1:
            kinds[slot] = 118;
            names[slot] = u'V' + number;
            continue;
        case 0x2:
            kinds[slot] = 109;
            names[slot] = u'G' + number;
            continue;
        case 0x3:
            kinds[slot] = 116;
            names[slot] = u'T' + number;
            continue;
        case 0x4:
            kinds[slot] = 112;
            names[slot] = u'P' + number;
            continue;
        case 0x5:
            kinds[slot] = 113;
            names[slot] = u'Q' + number;
            continue;
        case 0x6:
        case 0x7:
        case 0x8:
        case 0x9:
            kinds[slot] = 101;
            names[slot] = u'E' + number + QString::fromUtf8(tariffs[(code >> 4) - 6]);
            continue;
        case 0xF:
            return slot;
        default:
            break;
        }
        if (code == 0xB0) {
            kinds[slot] = 104;
            names[slot] = QStringLiteral("Наработка ") + QString::number(system++);
        } else if (code == 0xC0) {
            kinds[slot] = 102;
            names[slot] = QStringLiteral("Ошибки ") + QString::number(system);
        } else if (code >= 0xD1 && code <= 0xD6) {
            kinds[slot] = 104;
            names[slot] = QString::fromUtf8(times[code - 0xD1]) + QString::number(system);
        }
    }
    return count;
}
