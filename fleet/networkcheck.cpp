#include "fleet/networkcheck.h"

#include "protocol/datagram.h"
#include "fleet/devicefields.h"
#include "operations/devicesession.h"
#include "platform/platform.h"
#include "protocol/datagramengine.h"
#include "protocol/wire.h"
#include "protocol/ipv4text.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QJsonArray>
#include <QSet>
#include <QScopeGuard>
#include <QThread>
#include <QUdpSocket>

#include <map>

namespace {
constexpr int SuggestedPrefix = 24; // the subnet named for a device that reports no usable mask
constexpr int ListenSliceMs = 50;

using Finding = TNetworkFinding;
using Kind = TNetworkFinding::Kind;
using Severity = TNetworkFinding::Severity;

Finding make(Kind kind, Severity severity, const QString &text)
{
    Finding finding;
    finding.kind = kind;
    finding.severity = severity;
    finding.text = text;
    return finding;
}

QString macOf(const TDeviceRecord &device)
{
    if (device.Mac != 0)
        return CanonicalMacText(device.Mac);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(device.Address.data()),
                                          qsizetype(device.Address.size())).toHex());
}

// "device "Chiller-3" (00:50:c2:01:02:03)"
QString deviceText(const TDeviceRecord &device)
{
    const QString name = device.Params.text(Wire::Param::Name);
    return name.isEmpty() ? QStringLiteral("the device %1").arg(macOf(device))
                          : QStringLiteral("the device \"%1\" (%2)").arg(name, macOf(device));
}

QString capitalized(QString text)
{
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return text;
}

QString recordKey(const TDeviceRecord &device)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(device.Address.data()),
                                          qsizetype(device.Address.size())).toHex());
}

// The mask the device reports for itself, when it is one a subnet can be named by.
quint32 deviceMask(const TDeviceRecord &device)
{
    const quint32 mask = quint32(device.Params.number(Wire::Param::SubnetMask, 0));
    const int prefix = PrefixLength(mask);
    return prefix >= 8 && prefix <= 30 ? mask : ~quint32(0) << (32 - SuggestedPrefix);
}

} // namespace

// ---- Findings ----------------------------------------------------------------------------------

QString FindingKindKey(TNetworkFinding::Kind kind)
{
    switch (kind) {
    case Kind::Adapter: return QStringLiteral("adapter");
    case Kind::Port: return QStringLiteral("port");
    case Kind::Scan: return QStringLiteral("scan");
    case Kind::Subnet: return QStringLiteral("subnet");
    case Kind::DuplicateAddress: return QStringLiteral("duplicate-address");
    case Kind::OddAddress: return QStringLiteral("odd-address");
    case Kind::Firewall: return QStringLiteral("firewall");
    case Kind::ArpFlush: return QStringLiteral("arp-flush");
    case Kind::HardwareAddress: return QStringLiteral("hardware-address");
    case Kind::RoutedNetwork: return QStringLiteral("routed-network");
    }
    return {};
}

QString FindingSeverityKey(TNetworkFinding::Severity severity)
{
    switch (severity) {
    case Severity::Info: return QStringLiteral("ok");
    case Severity::Warning: return QStringLiteral("warning");
    case Severity::Problem: return QStringLiteral("problem");
    }
    return {};
}

QJsonObject TNetworkFinding::toJson() const
{
    QJsonObject object{{QStringLiteral("kind"), FindingKindKey(kind)},
                       {QStringLiteral("severity"), FindingSeverityKey(severity)},
                       {QStringLiteral("text"), text}};
    if (!adapter.isEmpty())
        object.insert(QStringLiteral("adapter"), adapter);
    if (!ip.isEmpty())
        object.insert(QStringLiteral("ip"), ip);
    if (!macs.isEmpty())
        object.insert(QStringLiteral("macs"), QJsonArray::fromStringList(macs));
    return object;
}

QString TNetworkFinding::line() const
{
    return QStringLiteral("%1: %2").arg(FindingSeverityKey(severity), text);
}

namespace NetworkCheck {

QList<TNetworkFinding> adapterFindings(const QList<TNetworkAdapter> &adapters)
{
    if (adapters.isEmpty())
        return {make(Kind::Adapter, Severity::Problem,
                     QStringLiteral("No network adapter is up with an IPv4 address: plug in the cable (or switch on "
                                    "Wi-Fi) and give the adapter an address; nothing was sent."))};
    QList<Finding> findings;
    for (const TNetworkAdapter &adapter : adapters) {
        QString text = QStringLiteral("Adapter %1: address %2, mask %3")
                           .arg(adapter.name, IpToText(adapter.address), IpToText(adapter.netmask));
        if (const quint32 broadcast = DirectedBroadcast(adapter.address, adapter.netmask); broadcast != 0)
            text += QStringLiteral(", subnet %1").arg(SubnetText(adapter.address, adapter.netmask));
        Finding finding = make(Kind::Adapter, Severity::Info, text + QLatin1Char('.'));
        if (!adapter.hasLink) {
            finding.severity = Severity::Warning;
            finding.text = text + QStringLiteral(": up but without a link (no cable, the switch port off, or the link "
                                                 "still coming up), so nothing sent through it reaches a device.");
        } else if (adapter.pointToPoint || !adapter.canBroadcast) {
            finding.severity = Severity::Warning;
            finding.text = text + QStringLiteral(": a point-to-point link (a VPN?) that carries no broadcast, so no "
                                                 "device is found through it; search a device there by its IP address.");
        }
        finding.adapter = adapter.name;
        findings << finding;
    }
    return findings;
}

TNetworkFinding portFinding(quint16 port, bool free, const QString &holder, const QList<TNetworkAdapter> &boundBy)
{
    const QString use = port == Wire::DevicePort ? QStringLiteral("scans and the board's commands")
                                                 : QStringLiteral("the controller bus");
    if (!boundBy.isEmpty()) {
        QStringList names;
        for (const TNetworkAdapter &adapter : boundBy)
            names << (adapter.address ? AdapterText(adapter) : QStringLiteral("every address"));
        return make(Kind::Port, Severity::Info,
                    QStringLiteral("UDP %1 (%2) is this program's on %3.").arg(port).arg(use, names.join(QStringLiteral(", "))));
    }
    if (free)
        return make(Kind::Port, Severity::Info, QStringLiteral("UDP %1 (%2) is free.").arg(port).arg(use));
    return make(Kind::Port, Severity::Problem,
                QStringLiteral("UDP %1 (%2) is held by %3: close it (another copy of this program, a simulator or a "
                               "tool listening on %1) and start this program again.")
                    .arg(port)
                    .arg(use, holder.isEmpty() ? QStringLiteral("another program (its owner is hidden from this user; "
                                                                "`sudo ss -ulpn` names it)")
                                               : holder));
}

QList<TNetworkFinding> scanFindings(const QList<TNetworkAdapter> &sentThrough, const QStringList &failures,
                                    const QList<THeardDevice> &heard)
{
    QList<Finding> findings;
    for (const TNetworkAdapter &adapter : sentThrough) {
        QSet<QString> devices;
        for (const THeardDevice &h : heard)
            if (h.adapter.address == adapter.address)
                devices.insert(recordKey(h.device));
        Finding finding = make(Kind::Scan, Severity::Info,
                               devices.isEmpty() ? QStringLiteral("%1: no device answered.").arg(AdapterText(adapter))
                               : devices.size() == 1 ? QStringLiteral("%1: 1 device answered.").arg(AdapterText(adapter))
                                                     : QStringLiteral("%1: %2 devices answered.").arg(AdapterText(adapter)).arg(devices.size()));
        finding.adapter = adapter.name;
        findings << finding;
    }
    for (const QString &failure : failures)
        findings << make(Kind::Scan, Severity::Problem,
                         QStringLiteral("The scan could not be sent through %1: the adapter is down or lost its "
                                        "address; check its cable or connection and run the check again.").arg(failure));
    if (heard.isEmpty() && !sentThrough.isEmpty())
        findings << make(Kind::Scan, Severity::Problem,
                         QStringLiteral("No device answered through any adapter: check that the devices are powered "
                                        "and connected to the network of one of the adapters above, and the firewall "
                                        "lines below."));
    return findings;
}

QList<TNetworkFinding> routedNetworkFindings(const QList<THeardDevice> &heard, const QList<TNetworkAdapter> &adapters,
                                             const QList<Platform::Route> &routes)
{
    QList<Finding> findings;
    if (!heard.isEmpty())
        return findings;
    QSet<QString> told;
    for (const Platform::Route &route : routes) {
        // The default route leads everywhere, a host route to one address: neither names a site network.
        if (route.prefix < 1 || route.prefix > 30)
            continue;
        if (std::any_of(adapters.cbegin(), adapters.cend(), [&](const TNetworkAdapter &a) {
                return PrefixLength(a.netmask) <= route.prefix && InSubnet(route.network, a.address, a.netmask);
            }))
            continue; // the adapter's own segment, which the broadcast reached
        const QString network = QStringLiteral("%1/%2").arg(IpToText(route.network)).arg(route.prefix);
        if (told.contains(network))
            continue;
        told.insert(network);
        // A range holds at most a /16: a larger network is swept a /16 at a time.
        const QString range = route.prefix >= 16 ? network : QStringLiteral("%1/16").arg(IpToText(route.network));
        const QString via = route.gateway ? QStringLiteral("through %1 on %2").arg(IpToText(route.gateway), route.interface)
                                          : QStringLiteral("on %1").arg(route.interface);
        Finding finding = make(Kind::RoutedNetwork, Severity::Warning,
                               QStringLiteral("This PC has a route to %1 (%2), beyond its own segments: a broadcast does "
                                              "not cross a router, so devices there are not found by a scan. Sweep the "
                                              "network address by address: tarvino-cli scan --range %3 (in the window: "
                                              "File, Scan address range...)%4.")
                                   .arg(network, via, range,
                                        route.prefix >= 16 ? QString()
                                                           : QStringLiteral("; a range holds at most a /16, sweep the rest of %1 in parts").arg(network)));
        finding.adapter = route.interface;
        findings << finding;
    }
    return findings;
}

QList<TNetworkFinding> vanishedAdapterFindings(const QList<TNetworkAdapter> &before, const QList<TNetworkAdapter> &after)
{
    QList<Finding> findings;
    for (const TNetworkAdapter &adapter : before) {
        const bool still = std::any_of(after.cbegin(), after.cend(), [&](const TNetworkAdapter &a) {
            return a.name == adapter.name && a.address == adapter.address;
        });
        if (still)
            continue;
        Finding finding = make(Kind::Adapter, Severity::Problem,
                               QStringLiteral("%1 went down (or lost its address) during the scan: its devices may be "
                                              "missing above; check its cable or connection and run the check again.")
                                   .arg(AdapterText(adapter)));
        finding.adapter = adapter.name;
        findings << finding;
    }
    return findings;
}

QList<TNetworkFinding> subnetFindings(const QList<THeardDevice> &heard, const QList<TNetworkAdapter> &adapters)
{
    QList<Finding> findings;
    QSet<QString> told;
    QSet<quint32> taken;
    for (const THeardDevice &h : heard)
        taken.insert(TextToIp(h.device.IpText));
    for (const THeardDevice &h : heard) {
        const quint32 ip = TextToIp(h.device.IpText);
        if (!IsUsableDeviceAddress(ip) || AdapterForAddress(adapters, ip) || told.contains(recordKey(h.device)))
            continue;
        told.insert(recordKey(h.device));
        quint32 mask = deviceMask(h.device);
        // A mask that would take in an adapter's own address says nothing of the device's network.
        if (std::any_of(adapters.cbegin(), adapters.cend(), [&](const TNetworkAdapter &a) { return InSubnet(a.address, ip, mask); }))
            mask = ~quint32(0) << (32 - SuggestedPrefix);
        // An unused address of the device's subnet for the PC: from the top of the subnet down.
        quint32 suggestion = DirectedBroadcast(ip, mask) - 1;
        while (taken.contains(suggestion) && suggestion > NetworkOf(ip, mask) + 1)
            --suggestion;
        const QString heardThrough = h.adapter.address
            ? QStringLiteral(" through %1").arg(AdapterText(h.adapter)) : QString();
        const QString adapterSubnet = h.adapter.address
            ? QStringLiteral("an address in %1").arg(SubnetText(h.adapter.address, h.adapter.netmask))
            : QStringLiteral("an address in the subnet of the adapter it is connected to");
        Finding finding = make(
            Kind::Subnet, Severity::Problem,
            QStringLiteral("%1 answers from %2%3, outside the subnet of every adapter of this PC: commands to it will "
                           "fail (no route to it). Give the device %4 (its Properties), or add an address of %5 to "
                           "that adapter (e.g. sudo ip addr add %6/%7 dev %8).")
                .arg(capitalized(deviceText(h.device)), h.device.IpText, heardThrough, adapterSubnet,
                     SubnetText(ip, mask), IpToText(suggestion))
                .arg(PrefixLength(mask))
                .arg(h.adapter.name.isEmpty() ? QStringLiteral("ADAPTER") : h.adapter.name));
        finding.adapter = h.adapter.name;
        finding.ip = h.device.IpText;
        finding.macs = {macOf(h.device)};
        findings << finding;
    }
    return findings;
}

QList<TNetworkFinding> duplicateFindings(const QList<THeardDevice> &heard)
{
    QList<Finding> findings;
    std::map<quint32, QList<const THeardDevice *>> byAddress;
    for (const THeardDevice &h : heard) {
        auto &devices = byAddress[TextToIp(h.device.IpText)];
        const bool known = std::any_of(devices.cbegin(), devices.cend(), [&](const THeardDevice *d) {
            return d->device.Address == h.device.Address;
        });
        if (!known)
            devices << &h;
    }
    for (const auto &[ip, devices] : byAddress) {
        if (devices.size() < 2 || !IsUsableDeviceAddress(ip))
            continue;
        QStringList names;
        QStringList macs;
        for (const THeardDevice *d : devices) {
            names << deviceText(d->device);
            macs << macOf(d->device);
        }
        Finding finding = make(Kind::DuplicateAddress, Severity::Problem,
                               QStringLiteral("%1 devices answer from one address, %2: %3. A command to %2 reaches "
                                              "either of them; give each its own address (Properties).")
                                   .arg(devices.size())
                                   .arg(IpToText(ip), names.join(QStringLiteral(" and "))));
        finding.ip = IpToText(ip);
        finding.macs = macs;
        finding.adapter = devices.first()->adapter.name;
        findings << finding;
    }
    return findings;
}

QList<TNetworkFinding> hardwareAddressFindings(const QList<THeardDevice> &heard)
{
    QList<Finding> findings;
    // A device heard through two adapters is one device: by MAC, its distinct addresses.
    std::map<quint64, QList<const THeardDevice *>> byMac;
    QSet<QString> zeroTold;
    for (const THeardDevice &h : heard) {
        if (h.device.Mac == 0) {
            if (zeroTold.contains(h.device.IpText))
                continue;
            zeroTold.insert(h.device.IpText);
            Finding finding = make(Kind::HardwareAddress, Severity::Warning,
                                   QStringLiteral("%1 at %2 reports the MAC address 00:00:00:00:00:00: it cannot be "
                                                  "named by its MAC address; name it by its IP address.")
                                       .arg(capitalized(h.device.Params.text(Wire::Param::Name).isEmpty()
                                                            ? QStringLiteral("the device")
                                                            : QStringLiteral("the device \"%1\"")
                                                                  .arg(h.device.Params.text(Wire::Param::Name))),
                                            h.device.IpText));
            finding.ip = h.device.IpText;
            finding.adapter = h.adapter.name;
            findings << finding;
            continue;
        }
        auto &devices = byMac[h.device.Mac];
        if (std::none_of(devices.cbegin(), devices.cend(), [&](const THeardDevice *d) { return d->device.IpText == h.device.IpText; }))
            devices << &h;
    }
    for (const auto &[mac, devices] : byMac) {
        if (devices.size() < 2)
            continue;
        QStringList addresses;
        for (const THeardDevice *d : devices)
            addresses << d->device.IpText;
        Finding finding = make(Kind::HardwareAddress, Severity::Problem,
                               QStringLiteral("%1 devices answer with one MAC address, %2: %3. Naming it by its MAC "
                                              "address reaches neither; name each by its IP address, and check "
                                              "whether one board was cloned from the other.")
                                   .arg(devices.size())
                                   .arg(CanonicalMacText(mac), addresses.join(QStringLiteral(" and "))));
        finding.ip = addresses.first();
        finding.macs = {CanonicalMacText(mac)};
        finding.adapter = devices.first()->adapter.name;
        findings << finding;
    }
    return findings;
}

QList<TNetworkFinding> oddAddressFindings(const QList<THeardDevice> &heard)
{
    QList<Finding> findings;
    QSet<QString> told;
    for (const THeardDevice &h : heard) {
        const quint32 ip = TextToIp(h.device.IpText);
        if ((ip != 0 && !IsLinkLocal(ip)) || told.contains(recordKey(h.device)))
            continue;
        told.insert(recordKey(h.device));
        const QString fix = h.adapter.address
            ? QStringLiteral("give it a fixed address in %1 (Properties), or put a DHCP server on the network of %2")
                  .arg(SubnetText(h.adapter.address, h.adapter.netmask), h.adapter.name)
            : QStringLiteral("give it a fixed address (Properties), or put a DHCP server on its network");
        const QString text = ip == 0
            ? QStringLiteral("%1 answers from 0.0.0.0: it has no IP address (DHCP found no server?) and no command "
                             "can reach it; %2.").arg(capitalized(deviceText(h.device)), fix)
            : QStringLiteral("%1 answers from %2, a link-local address it took itself because no DHCP server "
                             "answered; commands reach it only from a PC with an address in 169.254.0.0/16: %3.")
                  .arg(capitalized(deviceText(h.device)), h.device.IpText, fix);
        Finding finding = make(Kind::OddAddress, Severity::Problem, text);
        finding.ip = h.device.IpText;
        finding.macs = {macOf(h.device)};
        finding.adapter = h.adapter.name;
        findings << finding;
    }
    return findings;
}

TNetworkFinding noticeFinding(TNetworkFinding::Kind kind, const Platform::Notice &notice)
{
    switch (notice.level) {
    case Platform::Notice::Level::Info: return make(kind, Severity::Info, notice.text);
    case Platform::Notice::Level::Warning: return make(kind, Severity::Warning, notice.text);
    case Platform::Notice::Level::Problem: return make(kind, Severity::Problem, notice.text);
    }
    return make(kind, Severity::Warning, notice.text);
}

QList<TNetworkFinding> noticeFindings(TNetworkFinding::Kind kind, const QList<Platform::Notice> &notices)
{
    QList<Finding> findings;
    for (const Platform::Notice &notice : notices)
        findings << noticeFinding(kind, notice);
    return findings;
}

} // namespace NetworkCheck

// ---- The operation -----------------------------------------------------------------------------

TNetworkCheck::TNetworkCheck(TDatagramEngine *engine, Options options, QObject *parent)
    : TDeviceOperation(engine, {}, {}, parent), m_options(std::move(options))
{
    qRegisterMetaType<TNetworkFinding>();
}

QList<TNetworkFinding> TNetworkCheck::findings() const
{
    std::lock_guard lock(m_mutex);
    return m_findings;
}

bool TNetworkCheck::problemFound() const
{
    const QList<TNetworkFinding> all = findings();
    return std::any_of(all.cbegin(), all.cend(), [](const TNetworkFinding &f) { return f.isProblem(); });
}

void TNetworkCheck::report(const TNetworkFinding &finding)
{
    {
        std::lock_guard lock(m_mutex);
        m_findings << finding;
    }
    emit findingReported(finding);
}

void TNetworkCheck::report(const QList<TNetworkFinding> &findings)
{
    for (const TNetworkFinding &finding : findings)
        report(finding);
}

void THeardReplies::merge(const QString &sender, QByteArrayView reply, const TNetworkAdapter &adapter)
{
    Segment &segment = m_byAdapter[adapter.address];
    segment.adapter = adapter;
    MergeDiscoveryReply(segment.devices, segment.index, sender, reply, true);
}

QList<THeardDevice> THeardReplies::heard() const
{
    QList<THeardDevice> heard;
    for (const Segment &segment : m_byAdapter)
        for (const TDeviceRecord &device : segment.devices)
            heard << THeardDevice{device, segment.adapter};
    return heard;
}

QList<THeardDevice> TNetworkCheck::scan(TDeviceSession &session, const QList<TNetworkAdapter> &adapters)
{
    TDatagramEngine &engine = session.engine();
    std::mutex heardMutex;
    THeardReplies replies;
    const int listener = engine.addDiscoveryListener([&](const TDeviceDatagram &datagram) {
        std::lock_guard lock(heardMutex);
        replies.merge(datagram.sender, datagram.data, datagram.adapter);
    });
    const auto stopListening = qScopeGuard([&] { engine.removeDiscoveryListener(listener); });

    session.phase(QStringLiteral("Discover"));
    const TBroadcastReport sent = engine.BroadcastOnAdapters();
    const QDeadlineTimer end(std::max(m_options.listenMs, 0));
    while (!end.hasExpired() && !session.cancelled())
        QThread::msleep(ulong(std::clamp<qint64>(end.remainingTime(), 1, ListenSliceMs)));

    QList<THeardDevice> heard;
    {
        std::lock_guard lock(heardMutex);
        heard = replies.heard();
    }
    report(NetworkCheck::scanFindings(sent.sentThrough, sent.failures, heard));
    report(NetworkCheck::vanishedAdapterFindings(adapters, NetworkAdapters()));
    return heard;
}

void TNetworkCheck::run(TDeviceSession &session)
{
    TDatagramEngine &engine = session.engine();
    session.phase(QStringLiteral("Adapters"));
    const QList<TNetworkAdapter> adapters = NetworkAdapters();
    report(NetworkCheck::adapterFindings(adapters));

    session.phase(QStringLiteral("Ports"));
    for (quint16 port : m_options.ports) {
        if (port == Wire::DevicePort) {
            const bool taken = !engine.portInUse().isEmpty();
            const QList<TNetworkAdapter> bound = engine.boundAdapters();
            report(NetworkCheck::portFinding(port, !taken && bound.isEmpty(), taken ? Platform::udpPortHolder(port) : QString(),
                                             taken ? QList<TNetworkAdapter>() : bound));
            continue;
        }
        QUdpSocket probe;
        const bool free = probe.bind(QHostAddress(QHostAddress::AnyIPv4), port, QAbstractSocket::DontShareAddress);
        const bool taken = !free && probe.error() == QAbstractSocket::AddressInUseError;
        probe.close();
        report(NetworkCheck::portFinding(port, !taken, taken ? Platform::udpPortHolder(port) : QString(), {}));
    }

    QList<THeardDevice> heard;
    if (!adapters.isEmpty() && engine.boundAdapters().isEmpty()) {
        report(TNetworkFinding{Kind::Scan, Severity::Problem,
                               QStringLiteral("No scan was sent: this program could not have UDP %1 on any adapter "
                                              "(see above).").arg(Wire::DevicePort), {}, {}, {}});
    } else if (!adapters.isEmpty() && !session.cancelled()) {
        heard = scan(session, adapters);
        const QList<TNetworkAdapter> now = NetworkAdapters();
        report(NetworkCheck::subnetFindings(heard, now.isEmpty() ? adapters : now));
        report(NetworkCheck::duplicateFindings(heard));
        report(NetworkCheck::oddAddressFindings(heard));
        report(NetworkCheck::hardwareAddressFindings(heard));
        report(NetworkCheck::routedNetworkFindings(heard, now.isEmpty() ? adapters : now, Platform::routes()));
    }

    if (m_options.readFirewall && !session.cancelled()) {
        session.phase(QStringLiteral("Firewall"));
        report(NetworkCheck::noticeFindings(Kind::Firewall, Platform::firewallNotices(m_options.ports)));
    }

    report(NetworkCheck::noticeFinding(Kind::ArpFlush, Platform::neighbourFlushNotice()));

    if (session.cancelled()) {
        session.fail();
        return;
    }
    const QList<TNetworkFinding> all = findings();
    const qsizetype problems = std::count_if(all.cbegin(), all.cend(), [](const TNetworkFinding &f) { return f.isProblem(); });
    session.log(QStringLiteral("%1 findings, %2 problems").arg(all.size()).arg(problems));
    session.succeed();
}
