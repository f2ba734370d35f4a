#include "cli/clitargets.h"

#include "cli/clireport.h"
#include "fleet/devicefields.h"
#include "protocol/ipv4text.h"

#include <QSet>

#include <algorithm>

namespace {
TCliDevice fromRecord(const TDeviceRecord &device)
{
    return {{device.IpText, device.Transport}, device};
}

// The edit distance of two names, case ignored (a technician types them from a label or memory).
qsizetype editDistance(const QString &a, const QString &b)
{
    const QString x = a.toCaseFolded(), y = b.toCaseFolded();
    QList<qsizetype> row(y.size() + 1);
    for (qsizetype j = 0; j <= y.size(); ++j)
        row[j] = j;
    for (qsizetype i = 1; i <= x.size(); ++i) {
        qsizetype diagonal = row[0];
        row[0] = i;
        for (qsizetype j = 1; j <= y.size(); ++j) {
            const qsizetype above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x.at(i - 1) == y.at(j - 1) ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[y.size()];
}

// What the scan sent and heard, for a target it did not find.
QString scanSummary(const QList<TDeviceRecord> &scanned)
{
    return QStringLiteral("only the discovery broadcast was sent; %1 device%2 answered")
        .arg(scanned.size())
        .arg(scanned.size() == 1 ? QString() : QStringLiteral("s"));
}

QString addressesOf(const QList<TDeviceRecord> &devices)
{
    QStringList addresses;
    for (const TDeviceRecord &record : devices)
        addresses << record.IpText;
    return addresses.join(u", ");
}
} // namespace

QStringList ClosestNames(const QString &given, const QList<TDeviceRecord> &scanned, int most)
{
    // Close enough to be a slip: a third of the name's length, at least two edits.
    const qsizetype limit = std::max<qsizetype>(2, given.size() / 3);
    QList<std::pair<qsizetype, QString>> near;
    for (const TDeviceRecord &record : scanned) {
        const QString name = record.Params.text(Wire::Param::Name);
        if (name.isEmpty() || std::any_of(near.begin(), near.end(), [&](const auto &n) { return n.second == name; }))
            continue;
        const qsizetype distance = editDistance(given, name);
        // A name that holds the given text whole is close too ("pump" for "Pump-7").
        if (distance <= limit || name.contains(given, Qt::CaseInsensitive))
            near.append({name.contains(given, Qt::CaseInsensitive) ? std::min(distance, limit) : distance, name});
    }
    std::stable_sort(near.begin(), near.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    QStringList names;
    for (qsizetype i = 0; i < std::min<qsizetype>(most, near.size()); ++i)
        names << near.at(i).second;
    return names;
}

QString TCliDevice::label() const
{
    const QString name = record ? record->Params.text(Wire::Param::Name) : QString();
    return name.isEmpty() ? target.ip : QStringLiteral("%1 (%2)").arg(target.ip, EscapeControls(name));
}

QString TCliDevice::fileStem(bool macShared) const
{
    if (!record || !record->Mac)
        return target.ip;
    const QString mac = MacText(record->Mac, QStringLiteral("-"));
    return macShared ? QStringLiteral("%1_%2").arg(mac, target.ip) : mac;
}

QSet<quint64> SharedMacs(const QList<TCliDevice> &devices)
{
    QSet<quint64> seen, shared;
    for (const TCliDevice &device : devices)
        if (device.record && device.record->Mac)
            (seen.contains(device.record->Mac) ? shared : seen).insert(device.record->Mac);
    return shared;
}

QString OneDeviceTargetProblem(const TCliRequest &request, const TSweepContext &context)
{
    if (!request.verb || !request.verb->changesDevice)
        return {};
    for (const TNamedTarget &given : request.targets)
        if (given.kind == TNamedTarget::Kind::Ip)
            if (const QString problem = OneDeviceAddressProblem(TextToIp(given.text), context); !problem.isEmpty())
                return problem + QLatin1Char('.');
    return {};
}

std::variant<QList<TCliDevice>, QString> ResolveTargets(const TCliRequest &request, const QList<TDeviceRecord> &scanned)
{
    QList<TCliDevice> devices;
    QSet<QString> taken;
    auto add = [&](const TCliDevice &device) {
        if (!taken.contains(device.target.ip)) {
            taken.insert(device.target.ip);
            devices << device;
        }
    };
    for (const TNamedTarget &given : request.targets) {
        switch (given.kind) {
        case TNamedTarget::Kind::Ip: {
            const quint8 transport = given.transport.value_or(request.tcp ? TransportTcp : TransportUdp);
            TCliDevice device{{given.text, transport}, std::nullopt};
            for (const TDeviceRecord &record : scanned)
                if (record.IpText == given.text)
                    device.record = record;
            add(device);
            break;
        }
        case TNamedTarget::Kind::Mac: {
            QList<TDeviceRecord> found;
            for (const TDeviceRecord &record : scanned)
                if (record.Mac == given.mac)
                    found << record;
            if (found.isEmpty())
                return QStringLiteral("No device with MAC address %1 answered the scan (%2).")
                    .arg(given.text, scanSummary(scanned));
            // Two devices with one hardware address: a cloned board, or a reply relayed twice.
            if (found.size() > 1)
                return QStringLiteral("%1 devices answered with MAC address %2 (%3): name one by its address.")
                    .arg(found.size())
                    .arg(given.text, addressesOf(found));
            add(fromRecord(found.first()));
            break;
        }
        case TNamedTarget::Kind::Name: {
            QList<TDeviceRecord> named;
            for (const TDeviceRecord &record : scanned)
                if (record.Params.text(Wire::Param::Name).compare(given.text, Qt::CaseInsensitive) == 0)
                    named << record;
            if (named.isEmpty()) {
                const QStringList near = ClosestNames(given.text, scanned);
                return QStringLiteral("No device named '%1' answered the scan (%2).%3")
                    .arg(given.text, scanSummary(scanned),
                         near.isEmpty() ? QString()
                                        : QStringLiteral(" Did you mean '%1'?").arg(near.join(QStringLiteral("' or '"))));
            }
            if (named.size() > 1)
                return QStringLiteral("%1 devices are named '%2' (%3): name one by its address.")
                    .arg(named.size())
                    .arg(given.text, addressesOf(named));
            add(fromRecord(named.first()));
            break;
        }
        }
    }
    if (request.selection.any()) {
        qsizetype matched = 0;
        for (const TDeviceRecord &record : scanned)
            if (request.selection.matches(record)) {
                add(fromRecord(record));
                ++matched;
            }
        if (matched == 0)
            return scanned.isEmpty() ? QStringLiteral("No device answered the scan.")
                                     : QStringLiteral("None of the %1 devices that answered matches the selection.")
                                           .arg(scanned.size());
    }
    return devices;
}
