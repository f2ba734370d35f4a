#pragma once
// The address ranges of a sweep: the devices behind a router, which a broadcast does not reach,
// asked one address at a time. The text a technician types ("198.19.0.0/24",
// "198.19.4.10-198.19.4.250", several of them) is read and checked here, before anything is sent:
// a range must not reach a whole segment at once (a broadcast, network or multicast address), nor
// the PC itself, nor be larger than a site network tolerates. Pure functions: the caller gives
// what it knows of the PC (its adapters, the networks it has a route to).

#include "protocol/netadapters.h"
#include "platform/platform.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <variant>

// One range as given, and the addresses it asks (both ends included).
struct TAddressRange
{
    QString text;     // as written, trimmed
    quint32 first = 0;
    quint32 last = 0;

    quint64 count() const { return quint64(last) - first + 1; }
    bool operator==(const TAddressRange &) const = default;
};

// A network whose network and broadcast addresses a sweep must not ask (an adapter's subnet, a
// network the routing table reaches).
struct TKnownSubnet
{
    quint32 network = 0;
    int prefix = 0; // 0..32

    bool operator==(const TKnownSubnet &) const = default;
};

// What the sweep checks a range against.
struct TSweepContext
{
    QList<quint32> ownAddresses;      // every address of the PC's adapters
    QList<TKnownSubnet> knownSubnets; // the adapters' subnets and the routed networks
};

// The most addresses one range may hold: a /16.
constexpr quint64 MaxRangeAddresses = 65536;
// The most addresses of all the ranges of one sweep together.
constexpr quint64 MaxSweepAddresses = 4 * MaxRangeAddresses;
constexpr int MaxRanges = 256;

// One range: "A.B.C.D/P" (its host addresses: the network and broadcast addresses are left out
// unless P is 31 or 32), "A.B.C.D-E.F.G.H", "A.B.C.D-H" (the last octet) or one address. An error
// sentence when it cannot be swept.
std::variant<TAddressRange, QString> ParseAddressRange(const QString &text, const TSweepContext &context);

// Several ranges (each text may hold several, separated by commas or blanks); overlapping ones are
// asked once. The first error stops the reading.
std::variant<QList<TAddressRange>, QString> ParseAddressRanges(const QStringList &texts, const TSweepContext &context);

// Why a command meant for one device must not go to this address, which reaches many or none:
// 255.255.255.255, the network or broadcast address of one of the PC's subnets or routed networks,
// a multicast address, 0.0.0.0/8 or a reserved address. Empty when the address may name one device.
QString OneDeviceAddressProblem(quint32 ip, const TSweepContext &context);

// The ranges joined where they overlap or touch, in address order: every address once.
QList<TAddressRange> MergedRanges(QList<TAddressRange> ranges);
quint64 AddressCount(const QList<TAddressRange> &ranges);

// The subnet of an address and its prefix length: its network address.
quint32 SubnetNetwork(quint32 address, int prefix);
quint32 SubnetBroadcast(quint32 address, int prefix);

// The address of the PC's adapter that a datagram to ip leaves through, so that the reply comes
// back through the adapter the route uses: the adapter whose subnet holds ip, else the adapter of
// the most specific route to ip (by its interface's name); 0 when neither names one.
quint32 RouteSourceAddress(quint32 ip, const QList<TNetworkAdapter> &adapters, const QList<Platform::Route> &routes);

// What this PC knows now: its adapters' addresses and subnets, and the networks its routing table
// reaches (read through the platform layer; may block briefly).
TSweepContext CurrentSweepContext();
