#include "platform/linux/firewallrules.h"

#include "platform/linux/systemtools.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

namespace {
constexpr int FirewallToolTimeoutMs = 3000;

using Notice = Platform::Notice;
using Level = Platform::Notice::Level;

// Whether a list of ports ("52389", "{ 52389, 52390 }", "52000-53000", "52389,52390", "52000:53000")
// holds the port.
bool listHoldsPort(const QString &list, quint16 port, QChar rangeSign)
{
    static const QRegularExpression separators(QStringLiteral("[\\s,{}]+"));
    for (const QString &item : list.split(separators, Qt::SkipEmptyParts)) {
        const QStringList ends = item.split(rangeSign);
        bool okLow = false;
        bool okHigh = false;
        const uint low = ends.first().toUInt(&okLow);
        const uint high = ends.size() == 2 ? ends.last().toUInt(&okHigh) : low;
        if (okLow && (ends.size() == 1 || okHigh) && port >= low && port <= high)
            return true;
    }
    return false;
}

bool nftRuleHoldsPort(const QString &rule, quint16 port)
{
    static const QRegularExpression dport(QStringLiteral("\\bdport\\s+(\\{[^}]*\\}|\\S+)"));
    if (rule.contains(QLatin1String("tcp dport")) && !rule.contains(QLatin1String("udp")))
        return false;
    for (auto it = dport.globalMatch(rule); it.hasNext();)
        if (listHoldsPort(it.next().captured(1), port, QLatin1Char('-')))
            return true;
    return false;
}

bool iptablesRuleHoldsPort(const QString &rule, quint16 port)
{
    static const QRegularExpression dport(QStringLiteral("--dports?\\s+(\\S+)"));
    if (rule.contains(QLatin1String("-p tcp")))
        return false;
    for (auto it = dport.globalMatch(rule); it.hasNext();)
        if (listHoldsPort(it.next().captured(1), port, QLatin1Char(':')))
            return true;
    return false;
}

bool hasWord(const QString &line, const char *word)
{
    return QRegularExpression(QStringLiteral("\\b%1\\b").arg(QLatin1String(word))).match(line).hasMatch();
}

QString portsText(const QList<quint16> &ports)
{
    QStringList texts;
    for (quint16 port : ports)
        texts << QString::number(port);
    return texts.join(QStringLiteral(" and "));
}

QList<Notice> nftNotices(const QString &ruleset, const QList<quint16> &ports)
{
    QList<Notice> notices;
    QString table;
    QString chain;
    bool inputDropsByDefault = false;
    QString dropChain;
    QList<quint16> accepted;
    static const QRegularExpression tableLine(QStringLiteral("^table\\s+(.+?)\\s*\\{$"));
    static const QRegularExpression chainLine(QStringLiteral("^chain\\s+(\\S+)\\s*\\{$"));
    for (const QString &raw : ruleset.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (const auto m = tableLine.match(line); m.hasMatch()) {
            table = m.captured(1);
            continue;
        }
        if (const auto m = chainLine.match(line); m.hasMatch()) {
            chain = m.captured(1);
            continue;
        }
        if (line.contains(QLatin1String("hook input")) && line.contains(QLatin1String("policy drop"))) {
            inputDropsByDefault = true;
            dropChain = QStringLiteral("chain %1 of table %2").arg(chain, table);
            continue;
        }
        for (quint16 port : ports) {
            if (!nftRuleHoldsPort(line, port))
                continue;
            if (hasWord(line, "accept"))
                accepted << port;
            else if (hasWord(line, "drop") || hasWord(line, "reject"))
                notices << Notice{Level::Problem,
                                  QStringLiteral("The firewall drops UDP %1: rule \"%2\" in chain %3 of table %4. Remove "
                                                 "the rule or accept UDP %1 before it (an administrator's change).")
                                      .arg(port).arg(line, chain, table)};
        }
    }
    if (inputDropsByDefault) {
        for (quint16 port : ports)
            if (!accepted.contains(port))
                notices << Notice{Level::Problem,
                                  QStringLiteral("The firewall's %1 drops what no rule accepts, and no rule accepts UDP "
                                                 "%2: the devices' answers to a broadcast are dropped. Add a rule "
                                                 "\"udp dport %2 accept\" to that chain (an administrator's change).")
                                      .arg(dropChain).arg(port)};
    }
    return notices;
}

QList<Notice> iptablesNotices(const QString &saved, const QList<quint16> &ports)
{
    QList<Notice> notices;
    bool inputDropsByDefault = false;
    QList<quint16> accepted;
    for (const QString &raw : saved.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1String(":INPUT DROP"))) {
            inputDropsByDefault = true;
            continue;
        }
        if (!line.startsWith(QLatin1String("-A ")))
            continue;
        const QString chain = line.section(QLatin1Char(' '), 1, 1);
        for (quint16 port : ports) {
            if (!iptablesRuleHoldsPort(line, port))
                continue;
            if (line.contains(QLatin1String("-j ACCEPT")))
                accepted << port;
            else if (line.contains(QLatin1String("-j DROP")) || line.contains(QLatin1String("-j REJECT")))
                notices << Notice{Level::Problem,
                                  QStringLiteral("The firewall drops UDP %1: rule \"%2\" of chain %3. Remove the rule "
                                                 "or accept UDP %1 before it (an administrator's change).")
                                      .arg(port).arg(line, chain)};
        }
    }
    if (inputDropsByDefault)
        for (quint16 port : ports)
            if (!accepted.contains(port))
                notices << Notice{Level::Problem,
                                  QStringLiteral("The firewall's INPUT chain drops what no rule accepts, and no rule "
                                                 "accepts UDP %1: the devices' answers to a broadcast are dropped. Add "
                                                 "\"-A INPUT -p udp --dport %1 -j ACCEPT\" (an administrator's change).")
                                      .arg(port)};
    return notices;
}

// The tool's output, or a null text when it is missing, fails or is not permitted.
QString readTool(const QString &program, const QStringList &arguments)
{
    const QString path = FindSystemTool(program);
    if (path.isEmpty())
        return {};
    QProcess process;
    process.start(path, arguments, QIODevice::ReadOnly);
    if (!process.waitForFinished(FirewallToolTimeoutMs)) {
        process.kill();
        process.waitForFinished(FirewallToolTimeoutMs);
        return {};
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return {};
    QString text = QString::fromLocal8Bit(process.readAllStandardOutput());
    return text.isNull() ? QString(QLatin1String("")) : text;
}
} // namespace

QList<Platform::Notice> FirewallNotices(const QString &nftRuleset, const QString &iptablesSave,
                                        const QList<quint16> &ports, bool toolInstalled)
{
    QList<Notice> notices;
    if (!nftRuleset.isNull())
        notices = nftNotices(nftRuleset, ports);
    else if (!iptablesSave.isNull())
        notices = iptablesNotices(iptablesSave, ports);
    else if (!toolInstalled)
        return {Notice{Level::Warning,
                       QStringLiteral("nft and iptables are not installed: the firewall rules could not be read, and "
                                      "whether UDP %1 are dropped is not known.")
                           .arg(portsText(ports))}};
    else
        return {Notice{Level::Warning,
                       QStringLiteral("The firewall rules could not be read: nft list ruleset and iptables-save need "
                                      "root. Run the check as root to see whether UDP %1 are dropped.")
                           .arg(portsText(ports))}};
    if (notices.isEmpty())
        notices << Notice{Level::Info, QStringLiteral("No firewall rule drops UDP %1.").arg(portsText(ports))};
    return notices;
}

QList<Platform::Notice> FirewallNotices(const QList<quint16> &ports)
{
    const QString nft = readTool(QStringLiteral("nft"), {QStringLiteral("list"), QStringLiteral("ruleset")});
    const QString iptables = nft.isNull() ? readTool(QStringLiteral("iptables-save"), {}) : QString();
    const bool installed = !FindSystemTool(QStringLiteral("nft")).isEmpty() || !FindSystemTool(QStringLiteral("iptables-save")).isEmpty();
    return FirewallNotices(nft, iptables, ports, installed);
}
