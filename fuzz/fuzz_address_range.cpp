// The address ranges of a sweep (scan --range, the window's Scan address range...): any text is
// read without a crash, and whatever is accepted is safe to send to: at most a /16 a range, no
// broadcast, network, multicast, loopback or own address, the merged ranges in order and apart.
//
// The input is taken as Latin-1 and as UTF-8 text, as one range and as a list of ranges.

#include "protocol/addressrange.h"
#include "fuzzcheck.h"
#include "protocol/ipv4text.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>

namespace {
// A PC on 198.18.0.1/16 with a route to 198.19.0.0/16, and a second adapter on 10.0.0.0/8.
const TSweepContext &context()
{
    static const TSweepContext pc{{0xC6120001u, 0x0A000005u}, {{0xC6120000u, 16}, {0xC6130000u, 16}, {0x0A000000u, 8}}};
    return pc;
}

bool holds(const TAddressRange &range, quint32 ip)
{
    return ip >= range.first && ip <= range.last;
}

void checkSafe(const TAddressRange &range)
{
    FUZZ_CHECK(range.first <= range.last);
    FUZZ_CHECK(range.count() <= MaxRangeAddresses);
    FUZZ_CHECK((range.first >> 24) != 0 && (range.first >> 24) != 127 && (range.last >> 24) != 127);
    FUZZ_CHECK(range.last < 0xE0000000u);
    FUZZ_CHECK(!(range.first < 0x80000000u && range.last >= 0x7F000000u)); // no loopback inside
    for (const quint32 own : context().ownAddresses)
        FUZZ_CHECK(!holds(range, own));
    for (const TKnownSubnet &subnet : context().knownSubnets) {
        FUZZ_CHECK(!holds(range, SubnetNetwork(subnet.network, subnet.prefix)));
        FUZZ_CHECK(!holds(range, SubnetBroadcast(subnet.network, subnet.prefix)));
    }
}

void checkText(const QString &text)
{
    const auto one = ParseAddressRange(text, context());
    if (const auto *range = std::get_if<TAddressRange>(&one)) {
        checkSafe(*range);
        // The same addresses written as two addresses read the same.
        const QString plain = range->first == range->last ? IpToText(range->first)
                                                           : IpToText(range->first) + u'-' + IpToText(range->last);
        const auto again = ParseAddressRange(plain, context());
        FUZZ_CHECK(std::holds_alternative<TAddressRange>(again));
        FUZZ_CHECK(std::get<TAddressRange>(again).first == range->first);
        FUZZ_CHECK(std::get<TAddressRange>(again).last == range->last);
    } else {
        FUZZ_CHECK(!std::get<QString>(one).isEmpty());
    }

    const auto several = ParseAddressRanges({text}, context());
    if (const auto *ranges = std::get_if<QList<TAddressRange>>(&several)) {
        FUZZ_CHECK(!ranges->isEmpty() && ranges->size() <= MaxRanges);
        for (const TAddressRange &range : *ranges)
            checkSafe(range);
        const QList<TAddressRange> merged = MergedRanges(*ranges);
        FUZZ_CHECK(AddressCount(merged) <= MaxSweepAddresses);
        for (qsizetype i = 1; i < merged.size(); ++i)
            FUZZ_CHECK(quint64(merged[i - 1].last) + 1 < merged[i].first); // in order, neither touching nor overlapping
    } else {
        FUZZ_CHECK(!std::get<QString>(several).isEmpty());
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 512)
        return 0; // a few ranges; longer inputs only slow the search
    const char *bytes = reinterpret_cast<const char *>(data);
    const auto length = static_cast<qsizetype>(size);
    checkText(QString::fromLatin1(bytes, length));
    checkText(QString::fromUtf8(bytes, length));
    return 0;
}
