#include "Crc16.h"

#include <array>

namespace {

// The eight steps of a byte at once, one entry per value the low byte can take.
constexpr std::array<quint16, 256> StepTable()
{
    std::array<quint16, 256> table{};
    for (int value = 0; value < 256; ++value) {
        quint16 crc = quint16(value);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
        table[size_t(value)] = crc;
    }
    return table;
}

constexpr std::array<quint16, 256> Steps = StepTable();

} // namespace

quint16 Crc16Update(quint16 crc, quint8 value)
{
    return quint16((crc >> 8) ^ Steps[(crc ^ value) & 0xFF]);
}

quint16 Crc16(const quint8* bytes, int length, quint16 initial)
{
    quint16 crc = initial;
    for (int i = 0; i < length; ++i)
        crc = quint16((crc >> 8) ^ Steps[(crc ^ bytes[i]) & 0xFF]);
    return crc;
}
