#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <array>

// Small pieces the stand-in meters share: a repeatable number stream, archive time
// lines, byte packing and meter-file field reading.

// A repeatable stream of pseudo-random numbers (splitmix64), so that the same meter
// file always gives the same archives.
class NumberStream
{
public:
    explicit NumberStream(quint64 key) : m_state(key) {}
    quint64 Next();
    // Uniform in [low, high).
    double Uniform(double low, double high);
    int Below(int bound);

private:
    quint64 m_state;
};

// A meter keeps standard time all year: its times are calendar fields, held as UTC so
// that no summer-time change skips or repeats an hour.
QDateTime CalendarTime(const QDate& date, const QTime& time);

enum class TimeStep { Hour, Day, Month };

// depth records of an archive, oldest first, the newest at or before newest (cut down
// to the step: whole hours, midnights, the first day of a month).
QList<QDateTime> ArchiveTimes(TimeStep step, const QDateTime& newest, int depth);

// Index of the first time at or after start; times.size() when there is none.
qsizetype FirstAtOrAfter(const QList<QDateTime>& times, const QDateTime& start);

// The read position a meter keeps: set by the start date, advanced by next-record reads.
struct RecordCursor
{
    qsizetype next = 0; // the record a next-record read returns
    bool started = false;
};

void PutU16LE(QByteArray& out, quint16 value);
void PutU32LE(QByteArray& out, quint32 value);
void PutFloatLE(QByteArray& out, float value);
void PutU16BE(QByteArray& out, quint16 value);
// ИЛЬМ word order: low 16 bits in the first register, each register high byte first.
void PutU32Words(QByteArray& out, quint32 value);
void PutFloatWords(QByteArray& out, float value);
quint32 FloatBits(float value);

quint32 U32LE(const QByteArray& bytes, qsizetype at);
float FloatFromBits(quint32 bits);

// Fixed-width Windows-1251 text, cut or padded with fill.
QByteArray AnsiField(const QString& text, int width, char fill = '\0');

// A whole number from low to high; an absent key keeps value.
bool ReadWholeNumber(const QJsonObject& object, const QString& key, qint64 low, qint64 high,
                     qint64& value, QString& error);

// Meter-file fields: "2026-12-10T10:00:00", taken as a CalendarTime.
bool ReadDateTime(const QJsonObject& object, const QString& key, QDateTime& value, QString& error);

// ---- what the program makes of the meter's texts and layout ----

// Windows-1251 text of at most width bytes from offset, ending before a zero byte.
QString AnsiFieldText(const QByteArray& bytes, qsizetype offset, qsizetype width);

// A meter's text as it reaches the program's files and log: up to its first zero, each
// ';' written as ',', each control character as a blank.
QString ProgramText(const QString& text);

// Slot kinds and default names of the ОРВЕК layout codes (both ОРВЕК families). codes
// holds one code per slot; the layout ends at the first code 0xF0..0xFF. Returns the
// number of slots in use.
int OrvekSlots(const QByteArray& codes, std::array<qint16, 60>& kinds,
               std::array<QString, 60>& names);
