#include "fleet/history/sshtoggles.h"

#include "fleet/devicefields.h"

namespace {
QString macKey(quint64 mac)
{
    return QStringLiteral("mac:") + CanonicalMacText(mac);
}

QString ipKey(const QString &ip)
{
    return QStringLiteral("ip:") + ip;
}
} // namespace

TSshToggleHistory TSshToggleHistory::fromEntries(const QList<TJournalEntry> &entries)
{
    TSshToggleHistory history;
    for (const TJournalEntry &entry : entries) {
        if (entry.operation != SshToggleOperation || entry.outcome != QLatin1String("succeeded"))
            continue;
        // The history keeps the MAC address as it was shown then: any of its spellings.
        const std::optional<quint64> mac = entry.mac.isEmpty() ? std::nullopt : ParseMacText(entry.mac);
        Count &count = history.m_byKey[mac && *mac ? macKey(*mac) : ipKey(entry.ip)];
        ++count.toggles;
        if (!count.since.isValid() || entry.when < count.since)
            count.since = entry.when;
    }
    return history;
}

TSshToggleHistory::Count TSshToggleHistory::of(quint64 mac, const QString &ip) const
{
    return m_byKey.value(mac ? macKey(mac) : ipKey(ip));
}

QString TSshToggleHistory::text(const Count &count)
{
    if (count.toggles == 0)
        return {};
    return QStringLiteral("SSH toggled %1 time%2 since %3 by this PC")
        .arg(count.toggles)
        .arg(count.toggles == 1 ? QString() : QStringLiteral("s"))
        .arg(count.since.toLocalTime().toString(QStringLiteral("yyyy-MM-dd")));
}
