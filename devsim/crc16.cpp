#include "devsim/crc16.h"

#include <array>

namespace DevSim {

namespace {

// The table-driven form: one 16-bit entry per byte value, built at compile time.
constexpr std::array<quint16, 256> makeTable()
{
    std::array<quint16, 256> table{};
    for (unsigned value = 0; value < 256; ++value) {
        quint16 crc = static_cast<quint16>(value);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<quint16>((crc >> 1) ^ 0xA001u) : static_cast<quint16>(crc >> 1);
        table[value] = crc;
    }
    return table;
}

constexpr std::array<quint16, 256> Table = makeTable();

} // namespace

quint16 crc16Modbus(QByteArrayView bytes)
{
    quint16 crc = 0xFFFF;
    for (char c : bytes)
        crc = static_cast<quint16>((crc >> 8) ^ Table[(crc ^ static_cast<quint8>(c)) & 0xFFu]);
    return crc;
}

QByteArray withCrc(QByteArray frame)
{
    const quint16 crc = crc16Modbus(frame);
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
    return frame;
}

bool crcIntact(QByteArrayView frame)
{
    return frame.size() >= 3 && crc16Modbus(frame) == 0;
}

} // namespace DevSim
