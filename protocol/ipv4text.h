#pragma once
// IPv4 addresses as text: the dotted form the program shows and reads.

#include <QString>

QString IpToText(quint32 ip);
quint32 TextToIp(const QString &text);
// True when the text is exactly four decimal octets 0..255 joined by dots.
bool IsDottedIPv4(const QString &text);
