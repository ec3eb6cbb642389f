#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// Every text the program writes (exports, exchange log, settings) and every text a
// device sends is single-byte Windows-1251. A character the code page lacks is
// written as '?', the way the system's own converter does it.
QByteArray EncodeAnsi(QStringView text);
// Whether every character of the text has a byte of its own in the code page.
bool IsAnsiText(QStringView text);
QString DecodeAnsi(QByteArrayView bytes);
QChar DecodeAnsiByte(quint8 byte);

// One line of a text file: the encoded text followed by CR LF.
QByteArray AnsiLine(QStringView text);
