#pragma once
// CRC-16/MODBUS of the controller bus, the device's own implementation.
//
// Width 16, polynomial 0x8005 reflected as 0xA001, initial value 0xFFFF, input and
// output reflected, no final XOR. On the wire the low byte goes first. A frame is
// intact when the CRC over all of it, its two CRC bytes included, is 0.

#include <QByteArray>
#include <QByteArrayView>

namespace DevSim {

quint16 crc16Modbus(QByteArrayView bytes);

// The frame followed by its CRC, low byte first.
QByteArray withCrc(QByteArray frame);

// True when the frame is at least 3 bytes long and its CRC residue is 0.
bool crcIntact(QByteArrayView frame);

} // namespace DevSim
