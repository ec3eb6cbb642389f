#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>

// The ".dat" copy of an archive file: the file's bytes scrambled with a key stream,
// then four bytes: the check value (high, low) and the scrambling key (high, low).
//
//   offset 0      N - 4 bytes  the CSV bytes, scrambled
//   offset N - 4  1            check value, high byte
//   offset N - 3  1            check value, low byte
//   offset N - 2  1            key, high byte
//   offset N - 1  1            key, low byte
//
// The check value is CRC-16/ARC (Crc16Update from 0, no final XOR) over the scrambled
// bytes, stored high byte first, the other way round from a ModBus frame.

inline constexpr qsizetype DatTrailerSize = 4;

// The largest copy read: a year of hourly records makes a few megabytes.
inline constexpr qint64 DatFileSizeLimit = 256 * 1024 * 1024;

// XORs every byte with the low byte of the state s := s * 9 + 7 (mod 65536), s starting
// at the key. Its own inverse. Returns the last state: passed as the key of the next
// piece, it goes on with the same stream.
quint16 ScrambleBytes(char* bytes, qsizetype count, quint16 scrambleKey);
// Started from 0; a piece after the first starts from the value of the ones before it.
quint16 DatCheckValue(QByteArrayView scrambled, quint16 start = 0);
// The four bytes that end a copy.
QByteArray DatTrailer(quint16 checkValue, quint16 scrambleKey);

// The whole copy of csv: csv.size() + 4 bytes.
QByteArray MakeDatCopy(QByteArrayView csv, quint16 scrambleKey);

// Checks the copy and restores it in place: the text comes back and the four trailing
// bytes become blanks. False (bytes unchanged) when the copy is shorter than 5 bytes or
// its check value does not match. A changed key byte is not caught here; it garbles
// the text instead.
bool RestoreDatBytes(QByteArray& bytes);

enum class DatStatus {
    Ok,
    Damaged,     // shown to the user as "Файл поврежден"
    ReadFailed,  // systemError holds the system's code
    WriteFailed, // the same, for the converted file
};

struct DatContent
{
    DatStatus status = DatStatus::Damaged;
    int systemError = 0;
    QByteArray bytes; // all N bytes: the restored text followed by four blanks
    QString text;     // decoded from Windows-1251, blanks at its end removed
};

// Reads, checks and restores a copy. Besides a failed check, a text of fewer than four
// lines counts as damaged: the title lines and the column header are what make a copy.
// Only a regular file of at most DatFileSizeLimit bytes is read; anything else is a
// failed read.
DatContent ReadDatFile(const QString& path);

// 0719H0.dat gives 0719H0_1.csv: a ".dat" ending (any case) is replaced by "_1.csv";
// any other name gets "_1.csv" appended.
QString ConvertedCsvName(const QString& datPath);
// Writes all N restored bytes to ConvertedCsvName, replacing a file of that name.
// Nothing is written unless the copy reads back intact.
DatContent ConvertDatFile(const QString& datPath);

// Lines as a text list sees them: CR LF, CR or LF ends a line, and a break at the very
// end does not start another one.
QStringList SplitTextLines(const QString& text);

// What the file viewer shows: three title lines above a grid. Every row keeps all its
// cells; only the first columnCount of them are shown.
struct DatTable
{
    QStringList titleLines;  // lines 1 to 3
    int columnCount = 0;     // fields of line 4 that ended with ";"
    QList<QStringList> rows; // row 0 is line 4, row k is line k + 4
    int fixedRows = 0;       // 1 when there is a record row under the header
};

// Cells of one line: each field up to and without its ";", then a rest without ";"
// as one more cell when the line does not end with ";".
QStringList SplitTableLine(const QString& line);
// The text must hold at least four lines (ReadDatFile makes sure of it).
DatTable SplitDatText(const QString& text);
