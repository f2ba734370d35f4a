// Address texts: TextToIp (what a typed or received address turns into), IsDottedIPv4 (the strict
// form) and IpToText (the form the program shows).
//
// The input is taken as text three ways (Latin-1, UTF-8, UTF-16), so that any character can reach
// the routines; its first four bytes are also taken as an address.

#include "fuzzcheck.h"
#include "protocol/ipv4text.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

namespace {

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// The strict form: four pieces of one to three digits 0..255; the value, most significant first.
std::optional<quint32> modelDotted(const QString &text)
{
    const QStringList pieces = text.split(u'.');
    if (pieces.size() != 4)
        return std::nullopt;
    quint32 ip = 0;
    for (const QString &piece : pieces) {
        if (piece.isEmpty() || piece.size() > 3 || !std::all_of(piece.begin(), piece.end(), isAsciiDigit))
            return std::nullopt;
        int value = 0;
        for (QChar c : piece)
            value = value * 10 + (c.unicode() - u'0');
        if (value > 255)
            return std::nullopt;
        ip = (ip << 8) | static_cast<quint32>(value);
    }
    return ip;
}

// The pieces without their leading zeros: how the program writes the same address.
QString canonical(const QString &dotted)
{
    QStringList pieces = dotted.split(u'.');
    for (QString &piece : pieces) {
        while (piece.size() > 1 && piece.front() == u'0')
            piece.remove(0, 1);
    }
    return pieces.join(u'.');
}

// TextToIp on a text of ASCII characters only. Each of the first three pieces ends at a dot (no dot:
// 0); a piece is an optional sign then digits, a value of the int range (otherwise: 0); a value
// outside 0..255 ends the reading, keeping the octets read so far.
quint32 modelTextToIp(const QString &text)
{
    if (text.isEmpty())
        return 0;
    QStringView rest(text);
    quint32 result = 0;
    for (int octet = 0; octet < 4; ++octet) {
        QStringView piece = rest;
        if (octet < 3) {
            const qsizetype dot = rest.indexOf(u'.');
            if (dot < 0)
                return 0;
            piece = rest.left(dot);
            rest = rest.mid(dot + 1);
        }
        bool negative = false;
        qsizetype i = 0;
        if (!piece.isEmpty() && (piece[0] == u'+' || piece[0] == u'-')) {
            negative = piece[0] == u'-';
            i = 1;
        }
        if (i >= piece.size())
            return 0;
        qint64 magnitude = 0;
        for (; i < piece.size(); ++i) {
            if (!isAsciiDigit(piece[i]))
                return 0;
            magnitude = std::min<qint64>(magnitude * 10 + (piece[i].unicode() - u'0'), qint64(1) << 40);
        }
        const qint64 value = negative ? -magnitude : magnitude;
        if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
            return 0;
        if (value < 0 || value > 255)
            return result;
        result |= static_cast<quint32>(value) << (24 - 8 * octet);
    }
    return result;
}

void checkAddress(quint32 ip)
{
    const QString text = IpToText(ip);
    FUZZ_CHECK(IsDottedIPv4(text));
    FUZZ_CHECK(TextToIp(text) == ip);
    FUZZ_CHECK(modelDotted(text) == ip);
    FUZZ_CHECK(canonical(text) == text);
}

// Returns what the text read as, for the round trip of that address.
quint32 checkText(const QString &text)
{
    const quint32 ip = TextToIp(text);
    const std::optional<quint32> dotted = modelDotted(text);
    FUZZ_CHECK(IsDottedIPv4(text) == dotted.has_value());
    if (dotted) {
        // An accepted dotted text is read as written and maps back to its canonical form.
        FUZZ_CHECK(ip == *dotted);
        FUZZ_CHECK(IpToText(ip) == canonical(text));
    }
    // The first octet ends at a dot: without one there is no address. (An octet out of range ends
    // the reading early, so fewer than three dots may still give the octets before it.)
    if (ip != 0)
        FUZZ_CHECK(text.contains(u'.'));
    const bool ascii = std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
    if (ascii)
        FUZZ_CHECK(ip == modelTextToIp(text));
    return ip;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 256)
        return 0; // an address text is short; longer inputs only slow the search
    const char *bytes = reinterpret_cast<const char *>(data);
    const auto length = static_cast<qsizetype>(size);
    // Each address read, once: most texts read as 0.
    QList<quint32> read{checkText(QString::fromLatin1(bytes, length))};
    if (std::any_of(data, data + size, [](uint8_t b) { return b >= 0x80; }))
        read << checkText(QString::fromUtf8(bytes, length)); // the same text as Latin-1 when all ASCII
    QString utf16(length / 2, Qt::Uninitialized); // the input may not be aligned for 16-bit units
    std::memcpy(utf16.data(), data, static_cast<std::size_t>(utf16.size()) * 2);
    read << checkText(utf16);
    if (size >= 4)
        read << ((quint32(data[0]) << 24) | (quint32(data[1]) << 16) | (quint32(data[2]) << 8) | data[3]);
    std::sort(read.begin(), read.end());
    read.erase(std::unique(read.begin(), read.end()), read.end());
    for (quint32 ip : read)
        checkAddress(ip);
    return 0;
}
