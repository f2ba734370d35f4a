#include "protocol/ipv4text.h"

#include <QStringList>
#include <QStringView>

#include <optional>

QString IpToText(quint32 ip)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(ip >> 24)
        .arg((ip >> 16) & 0xFF)
        .arg((ip >> 8) & 0xFF)
        .arg(ip & 0xFF);
}

namespace {
// A decimal integer as the octets are read: an optional sign, then digits only.
std::optional<qint64> parseInteger(QStringView text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || text.isEmpty() || !(text.front().isDigit() || text.front() == u'+' || text.front() == u'-'))
        return std::nullopt;
    for (qsizetype i = 1; i < text.size(); ++i)
        if (!text[i].isDigit())
            return std::nullopt;
    return value;
}
} // namespace

quint32 TextToIp(const QString &text)
{
    if (text.isEmpty())
        return 0;
    QStringView rest(text);
    quint32 result = 0;
    for (int octet = 0; octet < 4; ++octet) {
        QStringView piece;
        if (octet < 3) {
            const qsizetype dot = rest.indexOf(u'.');
            if (dot < 0)
                return 0; // a missing dot: the piece before it is not a number
            piece = rest.left(dot);
            rest = rest.mid(dot + 1);
        } else {
            piece = rest;
        }
        const std::optional<qint64> value = parseInteger(piece);
        if (!value)
            return 0;
        if (*value < 0 || *value > 255)
            return result; // the octets read so far, the rest zero
        result |= static_cast<quint32>(*value) << (24 - 8 * octet);
    }
    return result;
}

bool IsDottedIPv4(const QString &text)
{
    const QStringList pieces = text.split(u'.');
    if (pieces.size() != 4)
        return false;
    for (const QString &piece : pieces) {
        if (piece.isEmpty() || piece.size() > 3)
            return false;
        for (QChar c : piece)
            if (c < u'0' || c > u'9')
                return false;
        if (piece.toInt() > 255)
            return false;
    }
    return true;
}
