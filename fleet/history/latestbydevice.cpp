#include "fleet/history/latestbydevice.h"

#include "fleet/devicefields.h"

#include <QHash>

#include <algorithm>

namespace {
QString deviceKey(const TJournalEntry &entry)
{
    if (const std::optional<quint64> mac = ParseMacText(entry.mac); mac && *mac != 0)
        return CanonicalMacText(*mac);
    return QStringLiteral("ip ") + entry.ip;
}
} // namespace

QList<TJournalEntry> LastSucceededByDevice(const TOperationJournal &journal, const QString &operation, int *skippedLines)
{
    QHash<QString, TJournalEntry> byDevice;
    journal.forEach(
        [&](const TJournalEntry &entry) {
            if (entry.operation != operation || entry.outcome != u"succeeded")
                return true;
            const QString key = deviceKey(entry);
            if (const auto it = byDevice.constFind(key); it == byDevice.cend() || it->when <= entry.when)
                byDevice.insert(key, entry);
            return true;
        },
        TOperationJournal::lineMarker("operation", operation), skippedLines);
    QList<TJournalEntry> entries = byDevice.values();
    std::stable_sort(entries.begin(), entries.end(), [](const TJournalEntry &a, const TJournalEntry &b) { return a.when < b.when; });
    return entries;
}
