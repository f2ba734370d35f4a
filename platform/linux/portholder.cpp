#include "platform/linux/portholder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace {

// The inodes of the UDP sockets bound to the port, from /proc/net/udp: each line holds
// "sl local_address rem_address st ... inode", the local address as hex "ADDRESS:PORT".
QSet<QString> socketInodes(const QString &table, quint16 port)
{
    QSet<QString> inodes;
    QFile file(table);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return inodes;
    file.readLine(); // the column names
    const QString suffix = QStringLiteral(":%1").arg(port, 4, 16, QLatin1Char('0')).toUpper();
    while (!file.atEnd()) {
        const QStringList fields = QString::fromLatin1(file.readLine()).simplified().split(u' ');
        if (fields.size() > 9 && fields.at(1).toUpper().endsWith(suffix))
            inodes.insert(fields.at(9));
    }
    return inodes;
}

} // namespace

QString UdpPortHolder(quint16 port)
{
    QSet<QString> inodes = socketInodes(QStringLiteral("/proc/net/udp"), port);
    inodes.unite(socketInodes(QStringLiteral("/proc/net/udp6"), port));
    inodes.remove(QStringLiteral("0"));
    if (inodes.isEmpty())
        return {};
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        pid.toInt(&numeric);
        if (!numeric)
            continue;
        const QDir fds(proc.filePath(pid + QStringLiteral("/fd")));
        for (const QFileInfo &fd : fds.entryInfoList(QDir::Files | QDir::System)) {
            const QString target = fd.symLinkTarget().section(u'/', -1);
            // "socket:[12345]"
            if (!target.startsWith(QLatin1String("socket:[")) || !inodes.contains(target.mid(8).chopped(1)))
                continue;
            QFile comm(proc.filePath(pid + QStringLiteral("/comm")));
            const QString name = comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll()).trimmed()
                                                                 : QStringLiteral("a program");
            return QStringLiteral("%1 (process %2)").arg(name, pid);
        }
    }
    return {};
}
