#pragma once

#include "DeviceDriver.h"

#include <QDateTime>
#include <QString>

// What both ОРВЕК families share: the clock block and the layout codes.

// The clock block: second, minute, hour, day, (unused), month, year (16-bit, low byte
// first). A clock that forms no date or time gives the date-time 0 and is no failure:
// the read-out logs an obviously wrong clock and still reads the meter.
QDateTime OrvekClockTime(const ReplyBlock& block);

// Layout codes, one byte per archive slot: the high nibble is the quantity group, the
// low nibble the channel number minus one.

// 0xF0..0xFF end a layout.
inline bool IsLayoutEnd(quint8 code)
{
    return code >= 0xF0;
}

ParameterKind LayoutCodeKind(quint8 code);

// The name a slot has by its code; system numbers the heat systems (k), which the
// caller moves on after each 0xB0. Codes without a name give an empty text.
QString LayoutCodeName(quint8 code, int system);
