#include "arpflush.h"

#include "tools.h"

#include <QProcess>
#include <QStandardPaths>

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

bool FlushArpEntry(const QString &ipText, int timeoutMs)
{
    const TArpCommand command = ArpFlushCommand(ipText);
    if (command.program.isEmpty())
        return false;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
#ifdef Q_OS_WIN
    process.setCreateProcessArgumentsModifier(
        [](QProcess::CreateProcessArguments *args) { args->flags |= 0x08000000; /* CREATE_NO_WINDOW */ });
#endif
    process.start(command.program, command.arguments);
    if (!process.waitForStarted(timeoutMs))
        return false;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(1000);
    }
    return true;
}
