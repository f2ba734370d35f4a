// platform.h for a system without a folder of its own: every call says that it is not available
// on this system, in a line the caller shows, and does nothing; the rest of the program works.
#include "platform/platform.h"

namespace Platform {

QString name()
{
    return QStringLiteral("none");
}

QString systemTool(const QString &name)
{
    Q_UNUSED(name);
    return {};
}

NeighbourFlush flushNeighbour(const QString &ipText, int timeoutMs)
{
    Q_UNUSED(timeoutMs);
    NeighbourFlush result;
    result.message = QStringLiteral("The cached hardware address of %1 was not flushed: flushing it is %2. Going on "
                                    "without it; should the device not answer after its hardware changed, the system "
                                    "finds it again within a few minutes.")
                         .arg(ipText, notAvailable());
    return result;
}

Notice neighbourFlushNotice()
{
    return {Notice::Level::Warning,
            QStringLiteral("The ARP flush before an upgrade cannot run: it is %1. Upgrades go on without it.")
                .arg(notAvailable())};
}

QString udpPortHolder(quint16 port)
{
    Q_UNUSED(port);
    return QStringLiteral("another program (naming it is %1)").arg(notAvailable());
}

QList<Notice> firewallNotices(const QList<quint16> &ports)
{
    Q_UNUSED(ports);
    return {Notice{Notice::Level::Warning,
                   QStringLiteral("The firewall rules could not be read: reading them is %1.").arg(notAvailable())}};
}

QList<Route> routes()
{
    return {};
}

bool giveWayToOtherThreads()
{
    return false;
}

} // namespace Platform
