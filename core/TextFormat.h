#pragma once

#include <QChar>
#include <QDateTime>
#include <QString>

// Dates, times and numbers as the program writes them into names, files and logs.
// The decimal and time separators come from the regional settings (QLocale()),
// read at each call so that the whole program follows one locale.

// A meter's date and time: calendar fields as the device gives them. Held as UTC so
// that no summer-time rule of this machine shifts or drops an hour; use date() and
// time(), never a conversion.
QDateTime CalendarDateTime(const QDate& date, const QTime& time);

// The date-time value 0 of the meters' world: 30 December 1899, 00:00.
QDateTime ZeroDateTime();

QChar DecimalMark();
QChar TimeSeparator();

QString FormatDate(const QDate& date);                 // dd.mm.yyyy
QString FormatDateTimeMinutes(const QDateTime& value); // dd.mm.yyyy hh:nn
QString FormatDateTimeSeconds(const QDateTime& value); // dd.mm.yyyy hh:nn:ss
QString FormatIsoDate(const QDate& date);              // yyyy-mm-dd
QString FormatMonthDay(const QDate& date);             // mmdd
QString FormatStampTime(const QTime& time);            // hh:nn:ss.zzz

// A number in an export cell: at most 15 significant digits, no trailing zeros,
// the regional decimal separator, exponent form ("1E-6", "1,5E20") below 0.00001
// in magnitude or with more than 15 digits before the separator.
QString FormatNumberCell(double value);

// A text as a meter sends it, made safe for a CSV cell, a folder name and a log line: a
// zero byte ends it (as the system calls would take it), ";" becomes "," (it would add a
// column) and CR, LF and every other control character become a blank.
QString CleanMeterText(QStringView text);

// Round to the nearest integer, halves to the even neighbour.
qint64 RoundHalfEven(double value);

// A flags word in upper-case hexadecimal with at least 8 digits (19 gives 00000013).
QString FormatFlagsHex(qint64 value);
