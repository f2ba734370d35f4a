#pragma once
// A scan compared with the site file: each expected device found (matched by its MAC address when
// the file names one, else by its IP address), moved (found by MAC address at another IP address),
// with different firmware (a version the file names differs), or missing; each device found that
// the file does not list is unexpected.

#include "fleet/site/sitefile.h"
#include "protocol/devicerecord.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

enum class TSiteState { Found, Missing, Unexpected, Moved, DifferentFirmware };

// "found", "missing", "unexpected", "moved", "differentFirmware": JSON values, never changed.
QString SiteStateKey(TSiteState state);
// "found", "missing", "unexpected", "moved", "different firmware": what the list's Site column says.
QString SiteStateText(TSiteState state);

struct TSiteVersionDifference
{
    QString field;    // "firmwareVersion", "bootstrap", "kernelVersion" (the device fields' keys)
    QString expected;
    QString found;
    bool operator==(const TSiteVersionDifference &) const = default;
};

struct TSiteEntry
{
    TSiteState state = TSiteState::Found;
    int expectedIndex = -1; // into the site's devices; -1 for an unexpected device
    int foundIndex = -1;    // into the scan's devices; -1 for a missing one
    bool moved = false;
    QList<TSiteVersionDifference> differences;

    // "moved, different firmware": every state that applies, for the Site column.
    QString text() const;
};

class TSiteComparison
{
public:
    TSiteComparison() = default;
    TSiteComparison(const QList<TSiteDevice> &expected, const QList<TDeviceRecord> &found);

    const QList<TSiteDevice> &expected() const { return m_expected; }
    const QList<TDeviceRecord> &found() const { return m_found; }
    // The site's devices in the file's order, then the unexpected ones in the scan's order.
    const QList<TSiteEntry> &entries() const { return m_entries; }
    // The entry of a device of the scan, by its index there; null when out of range.
    const TSiteEntry *entryForFound(int foundIndex) const;

    int expectedCount() const { return int(m_expected.size()); }
    int foundCount() const { return m_foundExpected; } // expected devices found (moved or not)
    int count(TSiteState state) const;
    bool anyMissing() const { return count(TSiteState::Missing) > 0; }
    // "38 of 40 expected devices found, 2 missing, 1 unexpected" (then moved and different
    // firmware when there are any).
    QString summary() const;

    // One object per entry: state, name, ip, expectedIp, mac, type, moved, differences.
    QJsonObject entryJson(const TSiteEntry &entry) const;
    QJsonObject summaryJson() const;

private:
    QList<TSiteDevice> m_expected;
    QList<TDeviceRecord> m_found;
    QList<TSiteEntry> m_entries;
    QList<int> m_entryOfFound; // by found index: index into m_entries
    int m_foundExpected = 0;
};
