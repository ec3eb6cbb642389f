#pragma once

#include <QtGlobal>

// One CRC-16 step (reflected polynomial A001h). From FFFFh it is CRC-16/MODBUS,
// from 0 CRC-16/ARC.
quint16 Crc16Update(quint16 crc, quint8 value);
quint16 Crc16(const quint8* bytes, int length, quint16 initial = 0xFFFF);
