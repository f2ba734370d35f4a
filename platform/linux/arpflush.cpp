#include "platform/linux/arpflush.h"

#include "platform/linux/systemtools.h"

#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>

Q_LOGGING_CATEGORY(lcArp, "tarvino.protocol.arp", QtInfoMsg)

namespace {
constexpr int CapNetAdmin = 12;

// The PATH first, then the system's folders.
QString findTool(const QString &name)
{
    const QString inPath = QStandardPaths::findExecutable(name);
    return inPath.isEmpty() ? FindSystemTool(name) : inPath;
}

// Four decimal numbers of 0..255 and nothing else. (The layers above have their own routine for
// this; the platform lies below them and keeps the check beside the command it guards.)
bool isDottedIPv4(const QString &text)
{
    const QStringList pieces = text.split(u'.');
    if (pieces.size() != 4)
        return false;
    for (const QString &piece : pieces) {
        if (piece.isEmpty() || piece.size() > 3)
            return false;
        for (QChar c : piece)
            if (c < u'0' || c > u'9')
                return false;
        if (piece.toInt() > 255)
            return false;
    }
    return true;
}
} // namespace

TArpCommand ArpFlushCommand(const QString &ipText)
{
    if (!isDottedIPv4(ipText))
        return {};
    const QString ip = findTool(QStringLiteral("ip"));
    if (!ip.isEmpty())
        return {ip, {QStringLiteral("-4"), QStringLiteral("neigh"), QStringLiteral("flush"), QStringLiteral("to"), ipText}};
    const QString arp = findTool(QStringLiteral("arp"));
    if (!arp.isEmpty())
        return {arp, {QStringLiteral("-d"), ipText}};
    return {};
}

bool ArpFlushRefused(int exitCode, QByteArrayView output)
{
    // Both tools print the system's EPERM text; ip ends with 1, arp with 255.
    return exitCode != 0 && output.toByteArray().contains("Operation not permitted");
}

QString ArpFlushRefusedMessage(const QString &ipText)
{
    return QStringLiteral("The cached hardware address of %1 was not flushed: this needs the capability "
                          "CAP_NET_ADMIN, which the program does not have. Going on without it; should the "
                          "device not answer after its hardware changed, the system finds it again within "
                          "a minute.")
        .arg(ipText);
}

Platform::NeighbourFlush RunArpFlush(const QString &ipText, int timeoutMs)
{
    Platform::NeighbourFlush result;
    const TArpCommand command = ArpFlushCommand(ipText);
    if (command.program.isEmpty())
        return result;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(command.program, command.arguments);
    if (!process.waitForStarted(timeoutMs))
        return result;
    result.ran = true;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(1000);
        return result;
    }
    if (process.exitStatus() == QProcess::NormalExit && ArpFlushRefused(process.exitCode(), process.readAll())) {
        result.refused = true;
        result.message = ArpFlushRefusedMessage(ipText);
        qCWarning(lcArp).noquote() << result.message;
    }
    return result;
}

bool HasCapability(const QByteArray &procStatus, int capability)
{
    for (const QByteArray &line : procStatus.split('\n')) {
        if (!line.startsWith("CapEff:"))
            continue;
        bool ok = false;
        const quint64 mask = line.mid(7).trimmed().toULongLong(&ok, 16);
        return ok && (mask >> capability) & 1u;
    }
    return false;
}

Platform::Notice ArpFlushNotice(bool toolFound, bool permitted)
{
    using Level = Platform::Notice::Level;
    if (!toolFound)
        return {Level::Warning,
                QStringLiteral("The ARP flush before an upgrade cannot run: the tool \"%1\" is not installed "
                               "(package iproute2). Upgrades go on without it.")
                    .arg(ArpFlushCommand(QStringLiteral("192.0.2.1")).program)};
    if (!permitted)
        return {Level::Warning,
                QStringLiteral("The ARP flush before an upgrade will be refused: this program runs without "
                               "CAP_NET_ADMIN. Upgrades go on; after replacing a device's board wait a minute, or "
                               "run sudo ip neigh flush to ADDRESS.")};
    return {Level::Info, QStringLiteral("The ARP flush before an upgrade is permitted.")};
}

Platform::Notice ArpFlushNotice()
{
    const TArpCommand arp = ArpFlushCommand(QStringLiteral("192.0.2.1"));
    const bool toolFound = !FindSystemTool(arp.program).isEmpty() || QFile::exists(arp.program);
    QFile status(QStringLiteral("/proc/self/status"));
    const bool permitted = status.open(QIODevice::ReadOnly) && HasCapability(status.readAll(), CapNetAdmin);
    return ArpFlushNotice(toolFound, permitted);
}
