#pragma once
// Texts for the byte-exact configuration tests.

#include <QByteArray>

// Every byte value once, 0x00 first.
inline QByteArray allByteValues()
{
    QByteArray bytes(256, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
        bytes[i] = static_cast<char>(i);
    return bytes;
}
