#include "fleet/site/sitecomparison.h"

#include "fleet/devicefields.h"
#include "protocol/wire.h"

#include <QHash>
#include <QJsonArray>

namespace {
struct VersionField
{
    const char *key;
    quint16 param;
    QString TSiteDevice::*expected;
};
const VersionField VersionFields[] = {
    {"firmwareVersion", Wire::Param::FirmwareVersion, &TSiteDevice::firmwareVersion},
    {"bootstrap", Wire::Param::BootstrapVersion, &TSiteDevice::bootstrapVersion},
    {"kernelVersion", Wire::Param::KernelVersion, &TSiteDevice::kernelVersion},
};

QList<TSiteVersionDifference> versionDifferences(const TSiteDevice &expected, const TDeviceRecord &found)
{
    QList<TSiteVersionDifference> differences;
    for (const VersionField &field : VersionFields) {
        const QString &wanted = expected.*field.expected;
        if (wanted.isEmpty())
            continue; // not compared: no text made of the device's value
        const QString reported = found.Params.text(field.param).trimmed();
        if (wanted != reported)
            differences << TSiteVersionDifference{QLatin1String(field.key), wanted, reported};
    }
    return differences;
}

QString plural(int count, const QString &one, const QString &many)
{
    return QStringLiteral("%1 %2").arg(count).arg(count == 1 ? one : many);
}
} // namespace

QString SiteStateKey(TSiteState state)
{
    switch (state) {
    case TSiteState::Found: return QStringLiteral("found");
    case TSiteState::Missing: return QStringLiteral("missing");
    case TSiteState::Unexpected: return QStringLiteral("unexpected");
    case TSiteState::Moved: return QStringLiteral("moved");
    case TSiteState::DifferentFirmware: return QStringLiteral("differentFirmware");
    }
    return {};
}

QString SiteStateText(TSiteState state)
{
    return state == TSiteState::DifferentFirmware ? QStringLiteral("different firmware") : SiteStateKey(state);
}

QString TSiteEntry::text() const
{
    if (moved && !differences.isEmpty())
        return QStringLiteral("moved, different firmware");
    return SiteStateText(state);
}

TSiteComparison::TSiteComparison(const QList<TSiteDevice> &expected, const QList<TDeviceRecord> &found)
    : m_expected(expected), m_found(found), m_entryOfFound(found.size(), -1)
{
    // The first device of the scan with a MAC address, or at an address, takes it; a twin that
    // answers with the same MAC address is then unexpected.
    // Only the index the file's devices need: a site of MAC addresses never looks up addresses.
    const bool anyMac = std::any_of(expected.begin(), expected.end(), [](const TSiteDevice &d) { return d.mac != 0; });
    const bool anyAddressOnly = std::any_of(expected.begin(), expected.end(), [](const TSiteDevice &d) { return d.mac == 0; });
    QHash<quint64, int> byMac;
    QHash<QString, int> byIp;
    byMac.reserve(anyMac ? found.size() : 0);
    byIp.reserve(anyAddressOnly ? found.size() : 0);
    for (int i = 0; i < found.size(); ++i) {
        if (anyMac && found.at(i).Mac != 0 && !byMac.contains(found.at(i).Mac))
            byMac.insert(found.at(i).Mac, i);
        if (anyAddressOnly && !byIp.contains(found.at(i).IpText))
            byIp.insert(found.at(i).IpText, i);
    }
    QList<bool> taken(found.size(), false);
    auto match = [&](int expectedIndex) {
        const TSiteDevice &device = expected.at(expectedIndex);
        // A file that names the MAC address wants that board: another one at its address is a
        // replacement (this one missing, that one unexpected), not the device.
        const int index = device.mac != 0 ? byMac.value(device.mac, -1) : byIp.value(device.ip, -1);
        return index >= 0 && !taken.at(index) ? index : -1;
    };
    // MAC addresses first, so that an address-only entry never takes a board another entry names.
    QList<int> foundOf(expected.size(), -1);
    for (int pass = 0; pass < 2; ++pass)
        for (int e = 0; e < expected.size(); ++e)
            if ((expected.at(e).mac != 0) == (pass == 0))
                if (const int index = match(e); index >= 0) {
                    foundOf[e] = index;
                    taken[index] = true;
                }
    m_entries.reserve(expected.size() + found.size());
    for (int e = 0; e < expected.size(); ++e) {
        TSiteEntry entry;
        entry.expectedIndex = e;
        entry.foundIndex = foundOf.at(e);
        if (entry.foundIndex < 0) {
            entry.state = TSiteState::Missing;
        } else {
            ++m_foundExpected;
            const TDeviceRecord &device = found.at(entry.foundIndex);
            entry.moved = !expected.at(e).ip.isEmpty() && device.IpText != expected.at(e).ip;
            entry.differences = versionDifferences(expected.at(e), device);
            entry.state = entry.moved                     ? TSiteState::Moved
                          : !entry.differences.isEmpty() ? TSiteState::DifferentFirmware
                                                         : TSiteState::Found;
            m_entryOfFound[entry.foundIndex] = int(m_entries.size());
        }
        m_entries << entry;
    }
    for (int i = 0; i < found.size(); ++i)
        if (!taken.at(i)) {
            m_entryOfFound[i] = int(m_entries.size());
            m_entries << TSiteEntry{TSiteState::Unexpected, -1, i, false, {}};
        }
}

const TSiteEntry *TSiteComparison::entryForFound(int foundIndex) const
{
    if (foundIndex < 0 || foundIndex >= m_entryOfFound.size() || m_entryOfFound.at(foundIndex) < 0)
        return nullptr;
    return &m_entries.at(m_entryOfFound.at(foundIndex));
}

int TSiteComparison::count(TSiteState state) const
{
    int count = 0;
    for (const TSiteEntry &entry : m_entries) {
        // A moved device whose firmware differs too is counted under both.
        const bool differs = state == TSiteState::DifferentFirmware && !entry.differences.isEmpty();
        if (entry.state == state || differs)
            ++count;
    }
    return count;
}

QString TSiteComparison::summary() const
{
    QString text = QStringLiteral("%1 of %2 found, %3 missing, %4 unexpected")
                       .arg(m_foundExpected)
                       .arg(plural(expectedCount(), QStringLiteral("expected device"), QStringLiteral("expected devices")))
                       .arg(count(TSiteState::Missing))
                       .arg(count(TSiteState::Unexpected));
    if (const int moved = count(TSiteState::Moved))
        text += QStringLiteral(", %1 moved").arg(moved);
    if (const int differs = count(TSiteState::DifferentFirmware))
        text += QStringLiteral(", %1 with different firmware").arg(differs);
    return text;
}

QJsonObject TSiteComparison::entryJson(const TSiteEntry &entry) const
{
    const TSiteDevice *expected = entry.expectedIndex >= 0 ? &m_expected.at(entry.expectedIndex) : nullptr;
    const TDeviceRecord *found = entry.foundIndex >= 0 ? &m_found.at(entry.foundIndex) : nullptr;
    auto textOrNull = [](const QString &text) { return text.isEmpty() ? QJsonValue() : QJsonValue(text); };
    QJsonObject object;
    object.insert(QLatin1String("state"), SiteStateKey(entry.state));
    object.insert(QLatin1String("name"), found ? found->Params.text(Wire::Param::Name) : expected->name);
    object.insert(QLatin1String("ip"), found ? QJsonValue(found->IpText) : QJsonValue());
    object.insert(QLatin1String("expectedIp"), expected ? textOrNull(expected->ip) : QJsonValue());
    const quint64 mac = found ? found->Mac : expected->mac;
    object.insert(QLatin1String("mac"), mac ? QJsonValue(CanonicalMacText(mac)) : QJsonValue());
    object.insert(QLatin1String("type"), found ? found->Params.text(Wire::Param::TypeText) : expected->type);
    object.insert(QLatin1String("moved"), entry.moved);
    QJsonArray differences;
    for (const TSiteVersionDifference &difference : entry.differences)
        differences.append(QJsonObject{{QLatin1String("field"), difference.field},
                                       {QLatin1String("expected"), difference.expected},
                                       {QLatin1String("found"), difference.found}});
    object.insert(QLatin1String("differences"), differences);
    object.insert(QLatin1String("line"), expected && expected->line > 0 ? QJsonValue(expected->line) : QJsonValue());
    return object;
}

QJsonObject TSiteComparison::summaryJson() const
{
    return {{QLatin1String("summary"), summary()},
            {QLatin1String("expected"), expectedCount()},
            {QLatin1String("found"), m_foundExpected},
            {QLatin1String("missing"), count(TSiteState::Missing)},
            {QLatin1String("unexpected"), count(TSiteState::Unexpected)},
            {QLatin1String("moved"), count(TSiteState::Moved)},
            {QLatin1String("differentFirmware"), count(TSiteState::DifferentFirmware)}};
}
