#pragma once
// The SHA-256 of bytes as the program shows and stores it: lower-case hexadecimal.

#include <QByteArrayView>
#include <QString>

QString Sha256Text(QByteArrayView bytes);
