#include "clitargets.h"

#include "devicefields.h"

#include <QSet>

namespace {
TCliDevice fromRecord(const TEPS &device)
{
    return {{device.IpText, device.Transport}, device};
}
} // namespace

QString TCliDevice::label() const
{
    const QString name = record ? record->Params.text(Wire::Param::Name) : QString();
    return name.isEmpty() ? target.ip : QStringLiteral("%1 (%2)").arg(target.ip, name);
}

QString TCliDevice::fileStem() const
{
    return record && record->Mac ? MacText(record->Mac, QStringLiteral("-")) : target.ip;
}

std::variant<QList<TCliDevice>, QString> ResolveTargets(const TCliRequest &request, const QList<TEPS> &scanned)
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
            for (const TEPS &record : scanned)
                if (record.IpText == given.text)
                    device.record = record;
            add(device);
            break;
        }
        case TNamedTarget::Kind::Mac: {
            const auto found = std::find_if(scanned.begin(), scanned.end(), [&](const TEPS &d) { return d.Mac == given.mac; });
            if (found == scanned.end())
                return QStringLiteral("No device with MAC address %1 answered the scan.").arg(given.text);
            add(fromRecord(*found));
            break;
        }
        case TNamedTarget::Kind::Name: {
            QList<TEPS> named;
            for (const TEPS &record : scanned)
                if (record.Params.text(Wire::Param::Name) == given.text)
                    named << record;
            if (named.isEmpty())
                return QStringLiteral("No device named '%1' answered the scan.").arg(given.text);
            if (named.size() > 1) {
                QStringList addresses;
                for (const TEPS &record : named)
                    addresses << record.IpText;
                return QStringLiteral("%1 devices are named '%2' (%3): name one by its address.")
                    .arg(named.size())
                    .arg(given.text, addresses.join(u", "));
            }
            add(fromRecord(named.first()));
            break;
        }
        }
    }
    if (request.selection.any()) {
        qsizetype matched = 0;
        for (const TEPS &record : scanned)
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
