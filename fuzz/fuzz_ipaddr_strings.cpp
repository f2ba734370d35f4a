// The address-string routines of the address control: field extraction, normalising, checking and
// octet picking over any text.
//
// Input: byte 0 holds a field number (signed, bits 2..7) and how the text reads (bits 0..1: Latin-1,
// UTF-8, UTF-16, Latin-1), byte 1 is a separator (Latin-1), the rest is the text. A bad address leaves these routines as EAssertionFailed
// (wrong length or number of dots) or EIPAddressError (pieces that are not octets), by design;
// anything else leaving them is a finding.

#include "fuzzcheck.h"
#include "protocol/ipaddrutils.h"
#include "protocol/ipv4text.h"

#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>

namespace {

enum class Outcome { Returned, Assertion, AddressError };

// Runs one call; an exception other than the two declared ones stops the run.
Outcome outcomeOf(const QString &input, const std::function<void()> &call)
{
    try {
        call();
        return Outcome::Returned;
    } catch (const EAssertionFailed &error) {
        FUZZ_CHECK(error.message().contains(input));
        return Outcome::Assertion;
    } catch (const EIPAddressError &error) {
        FUZZ_CHECK(error.message().contains(input));
        return Outcome::AddressError;
    } catch (...) {
        FUZZ_CHECK(!"an undeclared exception left an address-string routine");
    }
    return Outcome::Returned;
}

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Field n (from 1) of the text split at sep, empty fields kept; empty past the last field.
QString modelField(const QString &s, int n, QChar sep)
{
    const QStringList fields = s.split(sep);
    return (n >= 1 && n <= fields.size()) ? fields[n - 1] : QString();
}

void checkHelpers(const QString &s, int n, QChar sep)
{
    FUZZ_CHECK(ExtractField(s, n, sep) == modelField(s, n, sep));
    for (int field = 0; field <= 5; ++field)
        FUZZ_CHECK(ExtractField(s, field, u'.') == modelField(s, field, u'.'));
    FUZZ_CHECK(CountChar(s, sep) == s.count(sep));
    FUZZ_CHECK(CountChar(s, u'.') == s.count(u'.'));
    const QChar set[] = {sep, u'.'};
    QString kept = s;
    kept.remove(sep);
    kept.remove(u'.');
    FUZZ_CHECK(RemoveChars(s, QStringView(set, 2)) == kept);
    FUZZ_CHECK(RemoveChars(s, QStringView()) == s);
    FUZZ_CHECK(IsDigitString(s) == std::all_of(s.begin(), s.end(), isAsciiDigit));
}

void checkAddressText(const QString &s, int n)
{
    // Valid exactly for four pieces of one to three digits, 0..255, written without leading zeros:
    // the strict dotted form that reads back as itself.
    const bool strict = IsDottedIPv4(s) && IpToText(TextToIp(s)) == s;

    QString norm;
    const Outcome normalized = outcomeOf(s, [&] { norm = NormalizeIPString(s); });
    const bool rightForm = s.size() <= 15 && s.count(u'.') == 3;
    FUZZ_CHECK((normalized == Outcome::Assertion) == !rightForm);
    if (normalized == Outcome::Returned) {
        FUZZ_CHECK(norm.size() == 12);
        FUZZ_CHECK(!norm.contains(u'.'));
        QString padded;
        for (const QString &piece : s.split(u'.')) {
            FUZZ_CHECK(piece.size() >= 1 && piece.size() <= 3);
            FUZZ_CHECK(piece.size() == 1 || piece.front() != u'0');
            padded += piece.rightJustified(3, u'0');
        }
        FUZZ_CHECK(norm == padded);
    }

    const Outcome validated = outcomeOf(s, [&] { ValidateIPString(s); });
    FUZZ_CHECK((validated == Outcome::Returned) == strict);
    if (normalized != Outcome::Returned)
        FUZZ_CHECK(validated == normalized);

    // An octet of a valid address (0 for a number outside 1..4); for any other text the same
    // failure as the check, whatever the number.
    const quint32 ip = strict ? TextToIp(s) : 0;
    for (int octet : {n, 0, 1, 2, 3, 4, 5}) {
        int value = -1;
        const Outcome picked = outcomeOf(s, [&] { value = GetIPOctet(s, octet); });
        FUZZ_CHECK(picked == validated);
        if (picked == Outcome::Returned) {
            const int expected = (octet >= 1 && octet <= 4) ? static_cast<int>((ip >> (32 - 8 * octet)) & 0xFF) : 0;
            FUZZ_CHECK(value == expected);
        } else {
            break; // one refused call is enough: every throw costs an unwinding
        }
    }

    // The check of a normalised text on its own, given any text: twelve digits in four triplets of
    // 0..255, a wrong length as an assertion, anything else as an address error.
    const Outcome checked = outcomeOf(s, [&] { CheckNormalizedIP(s, s); });
    bool triplets = s.size() == 12 && std::all_of(s.begin(), s.end(), isAsciiDigit);
    for (int i = 0; triplets && i < 4; ++i)
        triplets = QStringView(s).mid(3 * i, 3).toInt() <= 255;
    FUZZ_CHECK((checked == Outcome::Returned) == triplets);
    FUZZ_CHECK((checked == Outcome::Assertion) == (s.size() != 12));
}

void checkText(const QString &s, int n, QChar sep)
{
    checkHelpers(s, n, sep);
    checkAddressText(s, n);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > 258)
        return 0; // the control holds at most 15 characters; longer inputs only slow the search
    // Byte 0: bits 0..1 choose how the rest reads as text, bits 2..7 are the field number (signed).
    const int decoding = data[0] & 0x03;
    const int n = static_cast<int8_t>(data[0]) >> 2;
    const QChar sep = QChar::fromLatin1(static_cast<char>(data[1]));
    const char *bytes = reinterpret_cast<const char *>(data + 2);
    const auto length = static_cast<qsizetype>(size - 2);
    QString text;
    switch (decoding) {
    case 1:
        text = QString::fromUtf8(bytes, length);
        break;
    case 2:
        text = QString(length / 2, Qt::Uninitialized); // the input may not be aligned for 16-bit units
        std::memcpy(text.data(), bytes, static_cast<std::size_t>(text.size()) * 2);
        break;
    default:
        text = QString::fromLatin1(bytes, length);
        break;
    }
    checkText(text, n, sep);
    return 0;
}
