#include "protocol/netadapters.h"

#include "protocol/ipv4text.h"

#include <QNetworkInterface>

#include <bit>

namespace {
constexpr quint32 LimitedBroadcast = 0xFFFFFFFFu;
constexpr quint32 LinkLocalNetwork = 0xA9FE0000u; // 169.254.0.0/16
constexpr quint32 LinkLocalMask = 0xFFFF0000u;
} // namespace

QList<TNetworkAdapter> NetworkAdapters()
{
    QList<TNetworkAdapter> adapters;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &nic : interfaces) {
        const auto flags = nic.flags();
        if (!(flags & QNetworkInterface::IsUp) || (flags & QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : nic.addressEntries()) {
            bool ok = false;
            const quint32 ip = entry.ip().toIPv4Address(&ok);
            if (!ok)
                continue;
            TNetworkAdapter adapter;
            adapter.name = nic.name();
            adapter.index = nic.index();
            adapter.address = ip;
            adapter.netmask = entry.netmask().toIPv4Address();
            adapter.canBroadcast = flags & QNetworkInterface::CanBroadcast;
            adapter.pointToPoint = flags & QNetworkInterface::IsPointToPoint;
            adapter.hasLink = flags & QNetworkInterface::IsRunning;
            adapters.append(adapter);
        }
    }
    return adapters;
}

int PrefixLength(quint32 netmask)
{
    const int ones = std::popcount(netmask);
    const quint32 contiguous = ones == 0 ? 0 : ~quint32(0) << (32 - ones);
    return contiguous == netmask ? ones : -1;
}

quint32 NetworkOf(quint32 address, quint32 netmask)
{
    return address & netmask;
}

quint32 DirectedBroadcast(quint32 address, quint32 netmask)
{
    const int prefix = PrefixLength(netmask);
    if (prefix <= 0 || prefix >= 31)
        return 0;
    return address | ~netmask;
}

bool InSubnet(quint32 ip, quint32 address, quint32 netmask)
{
    return netmask != 0 && (ip & netmask) == (address & netmask);
}

QString SubnetText(quint32 address, quint32 netmask)
{
    const int prefix = PrefixLength(netmask);
    return prefix < 0 ? QStringLiteral("%1 mask %2").arg(IpToText(NetworkOf(address, netmask)), IpToText(netmask))
                      : QStringLiteral("%1/%2").arg(IpToText(NetworkOf(address, netmask))).arg(prefix);
}

QString AdapterText(const TNetworkAdapter &adapter)
{
    const int prefix = PrefixLength(adapter.netmask);
    const QString address = prefix < 0 ? QStringLiteral("%1 mask %2").arg(IpToText(adapter.address), IpToText(adapter.netmask))
                                       : QStringLiteral("%1/%2").arg(IpToText(adapter.address)).arg(prefix);
    return QStringLiteral("%1 (%2)").arg(adapter.name, address);
}

const TNetworkAdapter *AdapterForAddress(const QList<TNetworkAdapter> &adapters, quint32 ip)
{
    const TNetworkAdapter *best = nullptr;
    for (const TNetworkAdapter &adapter : adapters) {
        if (!InSubnet(ip, adapter.address, adapter.netmask))
            continue;
        if (!best || std::popcount(adapter.netmask) > std::popcount(best->netmask))
            best = &adapter;
    }
    return best;
}

const TNetworkAdapter *AdapterWithAddress(const QList<TNetworkAdapter> &adapters, quint32 address)
{
    for (const TNetworkAdapter &adapter : adapters)
        if (adapter.address == address)
            return &adapter;
    return nullptr;
}

bool IsLinkLocal(quint32 ip)
{
    return (ip & LinkLocalMask) == LinkLocalNetwork;
}

bool IsUsableDeviceAddress(quint32 ip)
{
    const quint32 first = ip >> 24;
    return ip != 0 && ip != LimitedBroadcast && !IsLinkLocal(ip) && first != 0 && first != 127 && first < 224;
}

bool PreferAdapter(const TNetworkAdapter &current, const TNetworkAdapter &candidate, quint32 deviceIp)
{
    if (current.address == 0)
        return candidate.address != 0;
    return InSubnet(deviceIp, candidate.address, candidate.netmask);
}

QList<quint32> BroadcastDestinations(const TNetworkAdapter &adapter, bool limitedLeavesHere)
{
    QList<quint32> destinations{LimitedBroadcast};
    const quint32 directed = DirectedBroadcast(adapter.address, adapter.netmask);
    if (!limitedLeavesHere && directed != 0 && adapter.canBroadcast && !adapter.pointToPoint)
        destinations.append(directed);
    return destinations;
}

QList<quint32> LocalIPv4Addresses()
{
    QList<quint32> result;
    for (const TNetworkAdapter &adapter : NetworkAdapters())
        if (!result.contains(adapter.address))
            result.append(adapter.address);
    return result;
}

quint32 LocalHostAddress()
{
    // The host's own name resolves to its interface addresses on the PCs this tool
    // runs on; the interfaces are asked directly so that no name lookup can leave the PC.
    const QList<quint32> addresses = LocalIPv4Addresses();
    return addresses.isEmpty() ? 0x07000001u : addresses.first();
}
