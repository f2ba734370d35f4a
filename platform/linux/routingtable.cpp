#include "platform/linux/routingtable.h"

#include <QFile>

#include <bit>

namespace {
constexpr qint64 MaxTableBytes = 4 * 1024 * 1024;
constexpr unsigned RouteUp = 0x0001; // RTF_UP

// The table writes addresses as the kernel holds them: network byte order, printed as one
// hexadecimal number of the machine's own order.
quint32 hostOrder(const QByteArray &hex, bool *ok)
{
    const quint32 raw = hex.toUInt(ok, 16);
    if constexpr (std::endian::native == std::endian::little)
        return (raw >> 24) | ((raw >> 8) & 0xFF00u) | ((raw << 8) & 0xFF0000u) | (raw << 24);
    else
        return raw;
}
} // namespace

QList<Platform::Route> ParseRouteTable(const QByteArray &text)
{
    QList<Platform::Route> routes;
    const QList<QByteArray> lines = text.split('\n');
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
        if (fields.size() < 8)
            continue;
        bool ok[4] = {};
        Platform::Route route;
        route.interface = QString::fromLocal8Bit(fields.at(0));
        route.network = hostOrder(fields.at(1), &ok[0]);
        route.gateway = hostOrder(fields.at(2), &ok[1]);
        const unsigned flags = fields.at(3).toUInt(&ok[2], 16);
        const quint32 mask = hostOrder(fields.at(7), &ok[3]);
        if (!ok[0] || !ok[1] || !ok[2] || !ok[3] || !(flags & RouteUp))
            continue;
        // A mask whose ones are not contiguous routes nothing a range could name.
        const int prefix = std::popcount(mask);
        if (prefix < 32 && (mask << prefix) != 0)
            continue;
        route.prefix = prefix;
        route.network &= mask;
        routes << route;
    }
    return routes;
}

QList<Platform::Route> ReadRoutes()
{
    QFile file(QStringLiteral("/proc/net/route"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return ParseRouteTable(file.read(MaxTableBytes));
}
