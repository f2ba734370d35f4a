#include "fleet/firmware/controllerhistory.h"

#include "fleet/devicefields.h"
#include "fleet/firmware/firmwarelibrary.h"
#include "fleet/history/operationjournal.h"
#include "protocol/devicerecord.h"

namespace {
const QString ControllerUpgradeTitle = QStringLiteral("Controller upgrade");

QString deviceKey(const QString &mac, const QString &ip)
{
    if (const auto parsed = ParseMacText(mac); parsed && *parsed != 0)
        return CanonicalMacText(*parsed);
    return QStringLiteral("ip ") + ip;
}
} // namespace

TControllerHistory::TControllerHistory(const QList<TJournalEntry> &entries, const TFirmwareLibrary *library)
{
    for (const TJournalEntry &entry : entries) {
        if (entry.operation != ControllerUpgradeTitle || entry.outcome != QLatin1String("succeeded"))
            continue;
        Written written{entry.imageVersion, entry.fileSha256.toLower(), entry.when};
        if (written.version.isEmpty() && library)
            if (const TLibraryImage *image = library->findSha256(entry.fileSha256))
                written.version = image->version;
        const QString key = deviceKey(entry.mac, entry.ip);
        // Entries are oldest first; a later line of the same device replaces the earlier.
        if (const auto it = m_byKey.constFind(key); it == m_byKey.cend() || it->when <= written.when)
            m_byKey.insert(key, written);
    }
}

std::optional<TControllerHistory::Written> TControllerHistory::lastWritten(const TDeviceRecord &device) const
{
    const auto it = m_byKey.constFind(deviceKey(device.Mac ? CanonicalMacText(device.Mac) : QString(), device.IpText));
    if (it == m_byKey.cend())
        return std::nullopt;
    return *it;
}
