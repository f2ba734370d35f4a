#include "protocol/addressrange.h"

#include "protocol/netadapters.h"
#include "platform/platform.h"
#include "protocol/tools.h"

#include <QLocale>
#include <QRegularExpression>

#include <algorithm>
#include <optional>

namespace {
constexpr quint32 MulticastFirst = 0xE0000000u; // 224.0.0.0
constexpr quint32 MulticastLast = 0xEFFFFFFFu;  // 239.255.255.255
constexpr quint32 ReservedFirst = 0xF0000000u;  // 240.0.0.0, up to the limited broadcast
constexpr quint32 LimitedBroadcast = 0xFFFFFFFFu;
constexpr quint32 ThisNetworkLast = 0x00FFFFFFu; // 0.0.0.0/8
constexpr quint32 LoopbackFirst = 0x7F000000u;
constexpr quint32 LoopbackLast = 0x7FFFFFFFu;
constexpr int SmallestRangePrefix = 16;

QString number(quint64 value)
{
    return QLocale(QLocale::English).toString(qulonglong(value));
}

std::optional<quint32> address(QStringView text)
{
    const QString piece = text.trimmed().toString();
    if (!IsDottedIPv4(piece))
        return std::nullopt;
    return TextToIp(piece);
}

std::optional<int> smallNumber(QStringView text, int max)
{
    if (text.isEmpty() || text.size() > 3 || !std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit() && c.unicode() < 0x80; }))
        return std::nullopt;
    const int value = text.toInt();
    if (value > max)
        return std::nullopt;
    return value;
}

bool holds(quint32 first, quint32 last, quint32 ip)
{
    return ip >= first && ip <= last;
}

bool overlaps(quint32 first, quint32 last, quint32 from, quint32 to)
{
    return first <= to && from <= last;
}

QString malformed(const QString &text)
{
    return QStringLiteral("'%1' is not an address range: write a network (198.19.0.0/24), two addresses "
                          "(198.19.4.10-198.19.4.250) or one address")
        .arg(text);
}

// Why the addresses first..last must not be asked one by one; empty when they may.
QString refusal(const QString &text, quint32 first, quint32 last, const TSweepContext &context)
{
    if (last - first + 1ull > MaxRangeAddresses)
        return QStringLiteral("%1 holds %2 addresses: a range may hold at most %3 (a /16); split it into smaller ones")
            .arg(text, number(quint64(last) - first + 1), number(MaxRangeAddresses));
    // "198.19.0.0/24 holds 198.19.0.9, ..." for a range, "198.19.0.9 is ..." for one address.
    const bool one = first == last;
    auto holding = [&](quint32 ip) { return one ? QStringLiteral("%1 is").arg(text) : QStringLiteral("%1 holds %2,").arg(text, IpToText(ip)); };
    auto holdingKind = [&](const QString &single, const QString &plural) {
        return one ? QStringLiteral("%1 is %2").arg(text, single) : QStringLiteral("%1 holds %2").arg(text, plural);
    };
    if (holds(first, last, LimitedBroadcast))
        return QStringLiteral("%1 the broadcast address of every segment").arg(holding(LimitedBroadcast));
    if (first <= ThisNetworkLast)
        return holdingKind(QStringLiteral("an address of 0.0.0.0/8, which names no device"),
                           QStringLiteral("addresses of 0.0.0.0/8, which name no device"));
    if (overlaps(first, last, LoopbackFirst, LoopbackLast))
        return holdingKind(QStringLiteral("a loopback address (127.0.0.0/8), which reaches this PC itself"),
                           QStringLiteral("loopback addresses (127.0.0.0/8), which reach this PC itself"));
    if (overlaps(first, last, MulticastFirst, MulticastLast))
        return holdingKind(QStringLiteral("a multicast address (224.0.0.0 to 239.255.255.255), which reaches a group "
                                          "of hosts, not one device"),
                           QStringLiteral("multicast addresses (224.0.0.0 to 239.255.255.255), which reach groups of "
                                          "hosts, not one device"));
    if (last >= ReservedFirst)
        return holdingKind(QStringLiteral("a reserved address (240.0.0.0 and above), which names no device"),
                           QStringLiteral("reserved addresses (240.0.0.0 and above), which name no device"));
    for (const quint32 own : context.ownAddresses)
        if (holds(first, last, own))
            return QStringLiteral("%1 an address of this PC").arg(holding(own));
    for (const TKnownSubnet &subnet : context.knownSubnets) {
        // A /31 or /32 has no broadcast address, and a default route no network to speak of.
        if (subnet.prefix < 1 || subnet.prefix > 30)
            continue;
        const QString subnetText = QStringLiteral("%1/%2").arg(IpToText(SubnetNetwork(subnet.network, subnet.prefix))).arg(subnet.prefix);
        if (const quint32 broadcast = SubnetBroadcast(subnet.network, subnet.prefix); holds(first, last, broadcast))
            return QStringLiteral("%1 the broadcast address of %2, which reaches every device there at once; "
                                  "leave it out")
                .arg(holding(broadcast), subnetText);
        if (const quint32 network = SubnetNetwork(subnet.network, subnet.prefix); holds(first, last, network))
            return QStringLiteral("%1 the network address of %2, which names no device; leave it out")
                .arg(holding(network), subnetText);
    }
    return {};
}
} // namespace

QString OneDeviceAddressProblem(quint32 ip, const TSweepContext &context)
{
    // The sweep's own refusals, less the ones that are about the sweep (the PC itself, loopback):
    // a command may well go to a device simulated on this PC.
    TSweepContext subnetsOnly;
    subnetsOnly.knownSubnets = context.knownSubnets;
    if (ip >= LoopbackFirst && ip <= LoopbackLast)
        return {};
    const QString why = refusal(IpToText(ip), ip, ip, subnetsOnly);
    return why.isEmpty() ? QString() : why + QStringLiteral(": a command meant for one device is not sent there");
}

quint32 SubnetNetwork(quint32 address, int prefix)
{
    if (prefix <= 0)
        return 0;
    return address & ~quint32((1ull << (32 - std::min(prefix, 32))) - 1);
}

quint32 SubnetBroadcast(quint32 address, int prefix)
{
    if (prefix <= 0)
        return LimitedBroadcast;
    return address | quint32((1ull << (32 - std::min(prefix, 32))) - 1);
}

std::variant<TAddressRange, QString> ParseAddressRange(const QString &given, const TSweepContext &context)
{
    const QString text = given.trimmed();
    if (text.isEmpty())
        return QStringLiteral("An empty address range");
    TAddressRange range{text, 0, 0};
    if (const qsizetype slash = text.indexOf(QLatin1Char('/')); slash >= 0) {
        const std::optional<quint32> base = address(QStringView(text).first(slash));
        const std::optional<int> prefix = smallNumber(QStringView(text).mid(slash + 1), 32);
        if (!base || !prefix)
            return malformed(text);
        if (*prefix < SmallestRangePrefix)
            return QStringLiteral("%1 holds %2 addresses: a range may hold at most %3 (a /16); split it into smaller ones")
                .arg(text, number(1ull << (32 - *prefix)), number(MaxRangeAddresses));
        const quint32 network = SubnetNetwork(*base, *prefix);
        if (network != *base)
            return QStringLiteral("%1 does not start its network: write %2/%3").arg(text, IpToText(network)).arg(*prefix);
        range.first = network;
        range.last = SubnetBroadcast(network, *prefix);
        // The network's own network and broadcast addresses are no devices.
        if (*prefix <= 30) {
            ++range.first;
            --range.last;
        }
    } else if (const qsizetype dash = text.indexOf(QLatin1Char('-')); dash >= 0) {
        const std::optional<quint32> first = address(QStringView(text).first(dash));
        const QStringView end = QStringView(text).mid(dash + 1).trimmed();
        std::optional<quint32> last = address(end);
        if (first && !last) {
            // "198.19.4.10-250": the last octet of the end.
            if (const std::optional<int> octet = smallNumber(end, 255))
                last = (*first & 0xFFFFFF00u) | quint32(*octet);
        }
        if (!first || !last)
            return malformed(text);
        if (*last < *first)
            return QStringLiteral("%1 ends before it starts: write the lower address first").arg(text);
        range.first = *first;
        range.last = *last;
    } else if (const std::optional<quint32> one = address(text)) {
        range.first = range.last = *one;
    } else {
        return malformed(text);
    }
    if (QString why = refusal(text, range.first, range.last, context); !why.isEmpty())
        return why;
    return range;
}

std::variant<QList<TAddressRange>, QString> ParseAddressRanges(const QStringList &texts, const TSweepContext &context)
{
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    QList<TAddressRange> ranges;
    for (const QString &text : texts) {
        for (const QString &piece : text.split(separators, Qt::SkipEmptyParts)) {
            auto parsed = ParseAddressRange(piece, context);
            if (QString *why = std::get_if<QString>(&parsed))
                return *why;
            ranges << std::get<TAddressRange>(parsed);
            if (ranges.size() > MaxRanges)
                return QStringLiteral("More than %1 ranges: sweep them in parts, or join neighbouring ones").arg(MaxRanges);
            // Checked as they come, so that a long list stops at the range that goes over.
            if (AddressCount(MergedRanges(ranges)) > MaxSweepAddresses)
                return QStringLiteral("The ranges hold more than %1 addresses together: sweep them in parts")
                    .arg(number(MaxSweepAddresses));
        }
    }
    if (ranges.isEmpty())
        return QStringLiteral("No address range given");
    return ranges;
}

QList<TAddressRange> MergedRanges(QList<TAddressRange> ranges)
{
    std::sort(ranges.begin(), ranges.end(), [](const TAddressRange &a, const TAddressRange &b) { return a.first < b.first; });
    QList<TAddressRange> merged;
    for (const TAddressRange &range : std::as_const(ranges)) {
        if (!merged.isEmpty() && quint64(range.first) <= quint64(merged.last().last) + 1) {
            TAddressRange &joined = merged.last();
            joined.last = std::max(joined.last, range.last);
            joined.text += QStringLiteral(", ") + range.text;
        } else {
            merged << range;
        }
    }
    return merged;
}

quint64 AddressCount(const QList<TAddressRange> &ranges)
{
    quint64 count = 0;
    for (const TAddressRange &range : ranges)
        count += range.count();
    return count;
}

quint32 RouteSourceAddress(quint32 ip, const QList<TNetworkAdapter> &adapters, const QList<Platform::Route> &routes)
{
    if (const TNetworkAdapter *holder = AdapterForAddress(adapters, ip))
        return holder->address;
    const Platform::Route *best = nullptr;
    for (const Platform::Route &route : routes)
        if (SubnetNetwork(ip, route.prefix) == SubnetNetwork(route.network, route.prefix) && (!best || route.prefix > best->prefix))
            best = &route;
    if (best)
        for (const TNetworkAdapter &adapter : adapters)
            if (adapter.name == best->interface)
                return adapter.address;
    return 0;
}

TSweepContext CurrentSweepContext()
{
    TSweepContext context;
    for (const TNetworkAdapter &adapter : NetworkAdapters()) {
        context.ownAddresses << adapter.address;
        if (const int prefix = PrefixLength(adapter.netmask); prefix > 0)
            context.knownSubnets << TKnownSubnet{SubnetNetwork(adapter.address, prefix), prefix};
    }
    for (const Platform::Route &route : Platform::routes())
        if (route.prefix > 0)
            context.knownSubnets << TKnownSubnet{route.network, route.prefix};
    return context;
}
