#include "Crc16.h"

quint16 Crc16Update(quint16 crc, quint8 value)
{
    crc ^= value;
    for (int bit = 0; bit < 8; ++bit)
        crc =
            (crc & 1) ? static_cast<quint16>((crc >> 1) ^ 0xA001) : static_cast<quint16>(crc >> 1);
    return crc;
}

quint16 Crc16(const quint8* bytes, int length, quint16 initial)
{
    quint16 crc = initial;
    for (int i = 0; i < length; ++i)
        crc = Crc16Update(crc, bytes[i]);
    return crc;
}
