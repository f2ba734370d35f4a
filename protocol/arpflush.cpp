#include "arpflush.h"

#include "tools.h"

#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>

Q_LOGGING_CATEGORY(lcArp, "tarvino.protocol.arp", QtInfoMsg)

TArpCommand ArpFlushCommand(const QString &ipText)
{
    if (!IsDottedIPv4(ipText))
        return {};
#ifdef Q_OS_WIN
    return {QStringLiteral("arp.exe"), {QStringLiteral("-d"), ipText}};
#else
    const QStringList extraPaths{QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"), QStringLiteral("/usr/bin"),
                                 QStringLiteral("/bin")};
    QString ip = QStandardPaths::findExecutable(QStringLiteral("ip"));
    if (ip.isEmpty())
        ip = QStandardPaths::findExecutable(QStringLiteral("ip"), extraPaths);
    if (!ip.isEmpty())
        return {ip, {QStringLiteral("-4"), QStringLiteral("neigh"), QStringLiteral("flush"), QStringLiteral("to"), ipText}};
    QString arp = QStandardPaths::findExecutable(QStringLiteral("arp"));
    if (arp.isEmpty())
        arp = QStandardPaths::findExecutable(QStringLiteral("arp"), extraPaths);
    if (!arp.isEmpty())
        return {arp, {QStringLiteral("-d"), ipText}};
    return {};
#endif
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

TArpFlushResult RunArpFlush(const QString &ipText, int timeoutMs)
{
    TArpFlushResult result;
    const TArpCommand command = ArpFlushCommand(ipText);
    if (command.program.isEmpty())
        return result;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
#ifdef Q_OS_WIN
    process.setCreateProcessArgumentsModifier(
        [](QProcess::CreateProcessArguments *args) { args->flags |= 0x08000000; /* CREATE_NO_WINDOW */ });
#endif
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

bool FlushArpEntry(const QString &ipText, int timeoutMs)
{
    return RunArpFlush(ipText, timeoutMs).ran;
}
