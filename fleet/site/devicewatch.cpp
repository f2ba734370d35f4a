#include "fleet/site/devicewatch.h"

#include "fleet/devicefields.h"
#include "protocol/wire.h"
#include "protocol/ipv4text.h"

#include <QJsonArray>
#include <QSet>

namespace {
struct WatchedField
{
    const char *key;
    quint16 param; // 0: the address
};
const WatchedField WatchedFields[] = {
    {"ip", 0},
    {"name", Wire::Param::Name},
    {"version", Wire::Param::HardwareVersion},
    {"firmwareVersion", Wire::Param::FirmwareVersion},
    {"bootstrap", Wire::Param::BootstrapVersion},
    {"kernelVersion", Wire::Param::KernelVersion},
};

QString valueOf(const TDeviceRecord &device, const WatchedField &field)
{
    return field.param == 0 ? device.IpText : device.Params.text(field.param);
}
} // namespace

QList<TWatchChange> WatchChanges(const TDeviceRecord &before, const TDeviceRecord &after)
{
    QList<TWatchChange> changes;
    for (const WatchedField &field : WatchedFields) {
        // The values are compared as received; only a change is made into texts.
        if (field.param == 0 ? before.IpText == after.IpText : before.Params[field.param] == after.Params[field.param])
            continue;
        const QString old = valueOf(before, field);
        const QString now = valueOf(after, field);
        if (old != now)
            changes << TWatchChange{QLatin1String(field.key), old, now};
    }
    return changes;
}

QString TWatchEvent::kindKey(Kind kind)
{
    switch (kind) {
    case Kind::Appeared: return QStringLiteral("appeared");
    case Kind::Changed: return QStringLiteral("changed");
    case Kind::Gone: return QStringLiteral("gone");
    }
    return {};
}

QJsonObject TWatchEvent::toJson() const
{
    QJsonObject object;
    object.insert(QLatin1String("event"), kindKey(kind));
    object.insert(QLatin1String("ip"), device.IpText);
    object.insert(QLatin1String("mac"), device.Mac ? QJsonValue(CanonicalMacText(device.Mac)) : QJsonValue());
    object.insert(QLatin1String("name"), device.Params.text(Wire::Param::Name));
    object.insert(QLatin1String("type"), device.Params.text(Wire::Param::TypeText));
    object.insert(QLatin1String("firmwareVersion"), device.Params.text(Wire::Param::FirmwareVersion));
    object.insert(QLatin1String("again"), again);
    QJsonArray list;
    for (const TWatchChange &change : changes)
        list.append(QJsonObject{{QLatin1String("field"), change.field},
                                {QLatin1String("old"), change.before},
                                {QLatin1String("new"), change.after}});
    object.insert(QLatin1String("changes"), list);
    object.insert(QLatin1String("lastSeen"), lastSeen.toUTC().toString(Qt::ISODateWithMs));
    object.insert(QLatin1String("scan"), scan);
    return object;
}

QString TWatchEvent::line() const
{
    QString text = QStringLiteral("%1 %2 %3 %4")
                       .arg(lastSeen.toLocalTime().toString(QStringLiteral("HH:mm:ss")),
                            kind == Kind::Appeared && again ? QStringLiteral("back") : kindKey(kind), device.IpText,
                            device.Params.text(Wire::Param::Name));
    QStringList parts;
    for (const TWatchChange &change : changes)
        parts << QStringLiteral("%1 %2 -> %3").arg(change.field, change.before, change.after);
    if (!parts.isEmpty())
        text += QStringLiteral(": ") + parts.join(QStringLiteral(", "));
    return text;
}

TDeviceWatch::TDeviceWatch(int missedScansForGone) : m_missedForGone(std::max(1, missedScansForGone)) {}

quint64 TDeviceWatch::keyOf(const TDeviceRecord &device)
{
    // A number, not a text: the window asks for it as each row is painted.
    return device.Mac != 0 ? device.Mac : (quint64(1) << 63) | TextToIp(device.IpText);
}

const TDeviceWatch::Entry *TDeviceWatch::entryFor(const TDeviceRecord &device) const
{
    const auto found = m_entries.constFind(keyOf(device));
    return found == m_entries.cend() ? nullptr : &*found;
}

QList<TDeviceWatch::Entry> TDeviceWatch::entries() const
{
    QList<Entry> list;
    for (const quint64 key : m_order)
        list << m_entries.value(key);
    return list;
}

QList<TWatchEvent> TDeviceWatch::addScan(const QList<TDeviceRecord> &devices, const QDateTime &at, const QSet<quint64> *answered)
{
    ++m_scans;
    static const TDeviceRecord none;
    auto recordOf = [this](const TDeviceRecord &device) -> const TDeviceRecord & { return m_eventRecords ? device : none; };
    QList<TWatchEvent> events;
    QSet<quint64> seen;
    seen.reserve(devices.size());
    for (const TDeviceRecord &device : devices) {
        const quint64 key = keyOf(device);
        if (answered && !answered->contains(key))
            continue;
        if (seen.contains(key))
            continue; // a twin: the first of a scan stands for the MAC address
        seen.insert(key);
        auto found = m_entries.find(key);
        if (found == m_entries.end()) {
            m_entries.insert(key, Entry{device, at, at, 0, false, at});
            m_order << key;
            events << TWatchEvent{TWatchEvent::Kind::Appeared, recordOf(device), false, {}, at, m_scans};
            continue;
        }
        Entry &entry = *found;
        const QList<TWatchChange> changes = WatchChanges(entry.device, device);
        if (entry.gone)
            events << TWatchEvent{TWatchEvent::Kind::Appeared, recordOf(device), true, changes, at, m_scans};
        else if (!changes.isEmpty())
            events << TWatchEvent{TWatchEvent::Kind::Changed, recordOf(device), false, changes, at, m_scans};
        if (entry.gone || !changes.isEmpty()) {
            entry.changedAt = at;
            entry.device = device; // a record copied only when what the watch compares changed
        }
        entry.lastSeen = at;
        entry.missed = 0;
        entry.gone = false;
    }
    for (const quint64 key : std::as_const(m_order)) {
        Entry &entry = m_entries[key];
        if (seen.contains(key) || entry.gone)
            continue;
        if (++entry.missed >= m_missedForGone) {
            entry.gone = true;
            events << TWatchEvent{TWatchEvent::Kind::Gone, recordOf(entry.device), false, {}, entry.lastSeen, m_scans};
        }
    }
    return events;
}
