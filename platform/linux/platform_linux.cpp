// platform.h on Linux.
#include "platform/platform.h"

#include "platform/linux/arpflush.h"
#include "platform/linux/firewallrules.h"
#include "platform/linux/portholder.h"
#include "platform/linux/routingtable.h"
#include "platform/linux/systemtools.h"

#include <sys/resource.h>
#include <unistd.h>

namespace Platform {

QString name()
{
    return QStringLiteral("linux");
}

QString systemTool(const QString &name)
{
    return FindSystemTool(name);
}

NeighbourFlush flushNeighbour(const QString &ipText, int timeoutMs)
{
    return RunArpFlush(ipText, timeoutMs);
}

Notice neighbourFlushNotice()
{
    return ArpFlushNotice();
}

QString udpPortHolder(quint16 port)
{
    return UdpPortHolder(port);
}

QList<Notice> firewallNotices(const QList<quint16> &ports)
{
    return FirewallNotices(ports);
}

QList<Route> routes()
{
    return ReadRoutes();
}

bool giveWayToOtherThreads()
{
    // Linux keeps a nice value for each thread. Not SCHED_IDLE: a thread that may wait for the
    // processor indefinitely could hold the allocator's lock the window's thread needs.
    return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19) == 0;
}

} // namespace Platform
