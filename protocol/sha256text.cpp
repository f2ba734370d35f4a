#include "protocol/sha256text.h"

#include <QCryptographicHash>

QString Sha256Text(QByteArrayView bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}
