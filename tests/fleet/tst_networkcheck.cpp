// The rules of discovery through several adapters and of the network check, without a network:
// subnets, the choice of adapter, where broadcasts go, and the findings' texts.
#include "protocol/datagram.h"
#include "fleet/devicefields.h"
#include "protocol/netadapters.h"
#include "fleet/networkcheck.h"
#include "protocol/resource.h"
#include "../protocol/replybuilder.h"
#include "protocol/ipv4text.h"

#include <QTest>

using namespace Qt::StringLiterals;
using Kind = TNetworkFinding::Kind;

namespace {
TNetworkAdapter adapter(const QString &name, const QString &address, int prefix, bool pointToPoint = false)
{
    TNetworkAdapter a;
    a.name = name;
    a.address = TextToIp(address);
    a.netmask = prefix == 0 ? 0 : ~quint32(0) << (32 - prefix);
    a.pointToPoint = pointToPoint;
    a.canBroadcast = !pointToPoint;
    return a;
}

const TNetworkAdapter Office = adapter(u"eth0"_s, u"10.1.2.30"_s, 24);
const TNetworkAdapter Devices = adapter(u"eth1"_s, u"192.168.5.10"_s, 24);
const QList<TNetworkAdapter> TwoAdapters{Office, Devices};

THeardDevice heard(const QString &ip, quint64 mac, const TNetworkAdapter &through, const QString &name = {})
{
    THeardDevice h;
    h.device.IpText = ip;
    h.device.Mac = mac;
    h.device.Address = {0, 1, quint8(mac >> 40), quint8(mac >> 32), quint8(mac >> 24), quint8(mac >> 16),
                        quint8(mac >> 8), quint8(mac)};
    if (!name.isEmpty())
        h.device.Params.set(Wire::Param::Name, name.toUtf8());
    h.adapter = through;
    return h;
}

QList<Kind> kindsOf(const QList<TNetworkFinding> &findings)
{
    QList<Kind> kinds;
    for (const TNetworkFinding &f : findings)
        kinds << f.kind;
    return kinds;
}
} // namespace

class TestNetworkCheck : public QObject
{
    Q_OBJECT
private slots:
    void subnets_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("mask");
        QTest::addColumn<int>("prefix");
        QTest::addColumn<QString>("broadcast");
        QTest::addColumn<QString>("subnet");
        QTest::newRow("/24") << u"192.168.5.10"_s << u"255.255.255.0"_s << 24 << u"192.168.5.255"_s << u"192.168.5.0/24"_s;
        QTest::newRow("/15") << u"198.18.0.1"_s << u"255.254.0.0"_s << 15 << u"198.19.255.255"_s << u"198.18.0.0/15"_s;
        QTest::newRow("/30") << u"10.0.0.5"_s << u"255.255.255.252"_s << 30 << u"10.0.0.7"_s << u"10.0.0.4/30"_s;
        QTest::newRow("/31 has none") << u"10.0.0.4"_s << u"255.255.255.254"_s << 31 << u"0.0.0.0"_s << u"10.0.0.4/31"_s;
        QTest::newRow("/32 has none") << u"10.8.0.2"_s << u"255.255.255.255"_s << 32 << u"0.0.0.0"_s << u"10.8.0.2/32"_s;
        QTest::newRow("holes in the mask") << u"10.0.0.1"_s << u"255.0.255.0"_s << -1 << u"0.0.0.0"_s << u"10.0.0.0 mask 255.0.255.0"_s;
    }

    void subnets()
    {
        QFETCH(QString, address);
        QFETCH(QString, mask);
        QFETCH(int, prefix);
        QFETCH(QString, broadcast);
        QFETCH(QString, subnet);
        QCOMPARE(PrefixLength(TextToIp(mask)), prefix);
        QCOMPARE(IpToText(DirectedBroadcast(TextToIp(address), TextToIp(mask))), broadcast);
        QCOMPARE(SubnetText(TextToIp(address), TextToIp(mask)), subnet);
    }

    void adapterForAddress_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("expected"); // the adapter's name; empty: none
        QTest::newRow("office") << u"10.1.2.99"_s << u"eth0"_s;
        QTest::newRow("device network") << u"192.168.5.200"_s << u"eth1"_s;
        QTest::newRow("next subnet") << u"192.168.6.1"_s << QString();
        QTest::newRow("nowhere") << u"172.16.0.1"_s << QString();
        QTest::newRow("narrowest of two") << u"10.1.2.1"_s << u"eth0"_s;
    }

    void adapterForAddress()
    {
        QFETCH(QString, ip);
        QFETCH(QString, expected);
        const QList<TNetworkAdapter> adapters{adapter(u"wide"_s, u"10.0.0.1"_s, 8), Office, Devices};
        const TNetworkAdapter *found = AdapterForAddress(adapters, TextToIp(ip));
        QCOMPARE(found ? found->name : QString(), expected);
        QCOMPARE(InSubnet(TextToIp(ip), Devices.address, Devices.netmask), expected == Devices.name);
    }

    void preferAdapter_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("candidate");
        QTest::addColumn<QString>("deviceIp");
        QTest::addColumn<QString>("kept");
        QTest::newRow("first one heard") << QString() << u"eth1"_s << u"192.168.5.20"_s << u"eth1"_s;
        QTest::newRow("the subnet's adapter wins") << u"eth0"_s << u"eth1"_s << u"192.168.5.20"_s << u"eth1"_s;
        QTest::newRow("another subnet's adapter does not") << u"eth1"_s << u"eth0"_s << u"192.168.5.20"_s << u"eth1"_s;
        QTest::newRow("neither: the first stays") << u"eth0"_s << u"eth1"_s << u"172.16.0.9"_s << u"eth0"_s;
    }

    void preferAdapter()
    {
        QFETCH(QString, current);
        QFETCH(QString, candidate);
        QFETCH(QString, deviceIp);
        QFETCH(QString, kept);
        const auto byName = [](const QString &name) { return name == Office.name ? Office : name == Devices.name ? Devices : TNetworkAdapter(); };
        TDeviceRecord device;
        device.IpText = deviceIp;
        device.AdapterName = byName(current).name;
        device.AdapterAddress = byName(current).address;
        NoteReplyAdapter(device, byName(candidate));
        QCOMPARE(device.AdapterName, kept);
        QCOMPARE(device.AdapterAddress, byName(kept).address);
        QCOMPARE(DeviceJson(device).value(u"adapter"_s).toObject().value(u"name"_s).toString(), kept);
    }

    void broadcastDestinations_data()
    {
        QTest::addColumn<TNetworkAdapter>("through");
        QTest::addColumn<bool>("limitedLeavesHere");
        QTest::addColumn<QStringList>("destinations");
        QTest::newRow("bound to its address") << Devices << true << QStringList{u"255.255.255.255"_s};
        QTest::newRow("limited goes elsewhere")
            << Devices << false << QStringList{u"255.255.255.255"_s, u"192.168.5.255"_s};
        QTest::newRow("point-to-point: no subnet broadcast")
            << adapter(u"tun0"_s, u"10.8.0.2"_s, 24, true) << false << QStringList{u"255.255.255.255"_s};
        QTest::newRow("/32: no subnet broadcast")
            << adapter(u"wg0"_s, u"10.9.0.2"_s, 32) << false << QStringList{u"255.255.255.255"_s};
    }

    void broadcastDestinations()
    {
        QFETCH(TNetworkAdapter, through);
        QFETCH(bool, limitedLeavesHere);
        QFETCH(QStringList, destinations);
        QStringList texts;
        for (quint32 ip : BroadcastDestinations(through, limitedLeavesHere))
            texts << IpToText(ip);
        QCOMPARE(texts, destinations);
    }

    void heardDevices_data()
    {
        QTest::addColumn<QList<THeardDevice>>("heard");
        QTest::addColumn<QList<Kind>>("kinds");
        QTest::addColumn<QStringList>("words"); // each in the findings' texts
        QTest::newRow("all well") << QList<THeardDevice>{heard(u"192.168.5.20"_s, 0x0050C2000001, Devices),
                                                         heard(u"10.1.2.40"_s, 0x0050C2000002, Office)}
                                  << QList<Kind>{} << QStringList{};
        QTest::newRow("outside every subnet")
            << QList<THeardDevice>{heard(u"192.168.1.20"_s, 0x0050C2000003, Devices, u"Pump-3"_s)}
            << QList<Kind>{Kind::Subnet}
            << QStringList{u"\"Pump-3\" (00:50:c2:00:00:03)"_s, u"192.168.1.20"_s, u"eth1 (192.168.5.10/24)"_s,
                           u"192.168.5.0/24"_s, u"sudo ip addr add 192.168.1.254/24 dev eth1"_s};
        THeardDevice wideMask = heard(u"192.168.1.20"_s, 0x0050C2000009, Devices);
        wideMask.device.Params.set(Wire::Param::SubnetMask, qint64(TextToIp(u"255.255.0.0"_s))); // would take in eth1
        QTest::newRow("outside, with a mask that takes in the adapter")
            << QList<THeardDevice>{wideMask} << QList<Kind>{Kind::Subnet} << QStringList{u"192.168.1.0/24"_s};
        QTest::newRow("two devices on one address")
            << QList<THeardDevice>{heard(u"192.168.5.20"_s, 0x0050C2000004, Devices), heard(u"192.168.5.20"_s, 0x0050C2000005, Devices)}
            << QList<Kind>{Kind::DuplicateAddress} << QStringList{u"2 devices"_s, u"00:50:c2:00:00:04"_s, u"00:50:c2:00:00:05"_s};
        QTest::newRow("one device through two adapters is no duplicate")
            << QList<THeardDevice>{heard(u"192.168.5.20"_s, 0x0050C2000006, Devices), heard(u"192.168.5.20"_s, 0x0050C2000006, Office)}
            << QList<Kind>{} << QStringList{};
        QTest::newRow("no address") << QList<THeardDevice>{heard(u"0.0.0.0"_s, 0x0050C2000007, Devices)}
                                    << QList<Kind>{Kind::OddAddress} << QStringList{u"0.0.0.0"_s, u"192.168.5.0/24"_s};
        QTest::newRow("link-local") << QList<THeardDevice>{heard(u"169.254.7.9"_s, 0x0050C2000008, Office)}
                                    << QList<Kind>{Kind::OddAddress} << QStringList{u"169.254.7.9"_s, u"no DHCP server"_s};
    }

    void heardDevices()
    {
        QFETCH(QList<THeardDevice>, heard);
        QFETCH(QList<Kind>, kinds);
        QFETCH(QStringList, words);
        QList<TNetworkFinding> findings = NetworkCheck::subnetFindings(heard, TwoAdapters);
        findings << NetworkCheck::duplicateFindings(heard) << NetworkCheck::oddAddressFindings(heard);
        QCOMPARE(kindsOf(findings), kinds);
        for (const TNetworkFinding &f : findings)
            QVERIFY(f.isProblem());
        for (const QString &word : words)
            QVERIFY2(findings.first().text.contains(word), qPrintable(findings.first().text + u" lacks "_s + word));
    }

    // One MAC address at two addresses is a problem; one device heard through two adapters is
    // not; the all-zero MAC address is told.
    void hardwareAddresses_data()
    {
        QTest::addColumn<QList<THeardDevice>>("heard");
        QTest::addColumn<QStringList>("problems"); // a part of each problem's text, in order
        QTest::addColumn<QStringList>("warnings");
        QTest::newRow("one MAC at two addresses")
            << QList<THeardDevice>{heard(u"192.168.5.20"_s, 0x0050C2000009, Devices), heard(u"192.168.5.21"_s, 0x0050C2000010, Devices),
                                   heard(u"192.168.5.22"_s, 0x0050C2000009, Devices)}
            << QStringList{u"00:50:c2:00:00:09: 192.168.5.20 and 192.168.5.22"_s} << QStringList{};
        QTest::newRow("one device through two adapters")
            << QList<THeardDevice>{heard(u"192.168.5.20"_s, 0x0050C2000009, Devices), heard(u"192.168.5.20"_s, 0x0050C2000009, Office)}
            << QStringList{} << QStringList{};
        QTest::newRow("all-zero MAC, heard twice")
            << QList<THeardDevice>{heard(u"192.168.5.30"_s, 0, Devices, u"Boiler"_s), heard(u"192.168.5.30"_s, 0, Office, u"Boiler"_s)}
            << QStringList{} << QStringList{u"The device \"Boiler\" at 192.168.5.30 reports the MAC address 00:00:00:00:00:00"_s};
    }

    void hardwareAddresses()
    {
        QFETCH(QList<THeardDevice>, heard);
        QFETCH(QStringList, problems);
        QFETCH(QStringList, warnings);
        QStringList problemTexts, warningTexts;
        for (const TNetworkFinding &f : NetworkCheck::hardwareAddressFindings(heard)) {
            QCOMPARE(f.kind, Kind::HardwareAddress);
            (f.isProblem() ? problemTexts : warningTexts) << f.text;
        }
        QCOMPARE(problemTexts.size(), problems.size());
        QCOMPARE(warningTexts.size(), warnings.size());
        for (qsizetype i = 0; i < problems.size(); ++i)
            QVERIFY2(problemTexts.at(i).contains(problems.at(i)), qPrintable(problemTexts.at(i)));
        for (qsizetype i = 0; i < warnings.size(); ++i)
            QVERIFY2(warningTexts.at(i).contains(warnings.at(i)), qPrintable(warningTexts.at(i)));
    }

    // The check's scan merges each reply through the index by address record: the devices it hears
    // are those the plain merge (a walk of the list per reply) gives, per adapter, in the same order.
    void heardRepliesAsThePlainMerge_data()
    {
        QTest::addColumn<QList<int>>("devices");  // per reply: the device (its MAC's last byte), -1 an invalid reply
        QTest::addColumn<QList<int>>("adapters"); // per reply: 0 Office, 1 Devices
        QTest::addColumn<int>("heard");
        QTest::newRow("one adapter, each once") << QList<int>{1, 2, 3} << QList<int>{1, 1, 1} << 3;
        QTest::newRow("answers again, some twice") << QList<int>{1, 2, 1, 3, 2, 2} << QList<int>{1, 1, 1, 1, 1, 1} << 3;
        QTest::newRow("one device through two adapters") << QList<int>{5, 5, 6} << QList<int>{0, 1, 1} << 3;
        QTest::newRow("invalid replies ignored") << QList<int>{-1, 4, -1, 4} << QList<int>{1, 1, 0, 1} << 1;
        QList<int> many, through;
        for (int i = 0; i < 600; ++i) {
            many << (i * 7) % 250 + 1;
            through << (i / 250) % 2; // every device through one adapter, then the other
        }
        QTest::newRow("a large segment, out of order") << many << through << 500;
    }
    void heardRepliesAsThePlainMerge()
    {
        QFETCH(QList<int>, devices);
        QFETCH(QList<int>, adapters);
        QFETCH(int, heard);
        StartupInit(); // the protocol code replies are checked against
        const TNetworkAdapter byNumber[] = {Office, Devices};
        THeardReplies replies;
        QHash<quint32, QList<TDeviceRecord>> plain;
        QList<quint32> order; // the adapters in the order of their first reply
        for (int i = 0; i < devices.size(); ++i) {
            const int device = devices.at(i);
            const QByteArray reply = device < 0 ? QByteArray("\x00\x01 short")
                                                : ReplyBuilder(1, QByteArray::fromHex("00010050c20000") + char(device))
                                                      .text(Wire::Param::Name, QByteArray::number(i).constData())
                                                      .terminate()
                                                      .bytes();
            const TNetworkAdapter &through = byNumber[adapters.at(i)];
            const QString sender = QStringLiteral("192.168.5.%1").arg(qMax(device, 0));
            replies.merge(sender, reply, through);
            if (!order.contains(through.address))
                order << through.address;
            MergeDiscoveryReply(plain[through.address], sender, reply, true);
        }
        const QList<THeardDevice> indexed = replies.heard();
        QCOMPARE(indexed.size(), qsizetype(heard));
        // The same devices per adapter, in the same order, with the same fields (the latest name).
        QHash<quint32, QList<TDeviceRecord>> byAdapter;
        for (const THeardDevice &h : indexed) {
            byAdapter[h.adapter.address] << h.device;
            QCOMPARE(h.adapter.name, h.adapter.address == Office.address ? Office.name : Devices.name);
        }
        for (quint32 address : std::as_const(order))
            QCOMPARE(byAdapter.value(address), plain.value(address));
    }

    void scanCounts()
    {
        const TNetworkAdapter vpn = adapter(u"tun0"_s, u"10.8.0.2"_s, 24, true);
        const QList<THeardDevice> heardDevices{heard(u"192.168.5.20"_s, 1, Devices), heard(u"192.168.5.21"_s, 2, Devices),
                                               heard(u"192.168.5.21"_s, 2, Devices)};
        const QList<TNetworkFinding> findings =
            NetworkCheck::scanFindings({Office, Devices}, {u"tun0 (10.8.0.2/24): Network is down"_s}, heardDevices);
        QCOMPARE(findings.size(), 3);
        QCOMPARE(findings.at(0).text, u"eth0 (10.1.2.30/24): no device answered."_s);
        QCOMPARE(findings.at(1).text, u"eth1 (192.168.5.10/24): 2 devices answered."_s);
        QVERIFY(findings.at(2).isProblem() && findings.at(2).text.contains(u"Network is down"_s));
        const QList<TNetworkFinding> none = NetworkCheck::scanFindings({Office}, {}, {});
        QVERIFY(none.last().isProblem());
        QVERIFY(NetworkCheck::adapterFindings({}).first().isProblem());
        QCOMPARE(NetworkCheck::adapterFindings({Office, vpn}).last().severity, TNetworkFinding::Severity::Warning);
        const QList<TNetworkFinding> gone = NetworkCheck::vanishedAdapterFindings(TwoAdapters, {Office});
        QCOMPARE(gone.size(), 1);
        QCOMPARE(gone.first().adapter, Devices.name);
    }

    void adapterStates_data()
    {
        QTest::addColumn<bool>("pointToPoint");
        QTest::addColumn<bool>("hasLink");
        QTest::addColumn<int>("severity");
        QTest::addColumn<QString>("tells");

        const int info = int(TNetworkFinding::Severity::Info), warning = int(TNetworkFinding::Severity::Warning);
        QTest::newRow("linked segment") << false << true << info << u"subnet 10.1.2.0/24."_s;
        QTest::newRow("VPN") << true << true << warning << u"carries no broadcast"_s;
        QTest::newRow("no cable") << false << false << warning << u"without a link"_s;
        QTest::newRow("VPN not connected") << true << false << warning << u"without a link"_s;
    }

    void adapterStates()
    {
        QFETCH(bool, pointToPoint);
        QFETCH(bool, hasLink);
        QFETCH(int, severity);
        QFETCH(QString, tells);

        TNetworkAdapter nic = adapter(u"eth0"_s, u"10.1.2.30"_s, 24, pointToPoint);
        nic.hasLink = hasLink;
        const QList<TNetworkFinding> findings = NetworkCheck::adapterFindings({nic});
        QCOMPARE(findings.size(), 1);
        QCOMPARE(int(findings.first().severity), severity);
        QVERIFY2(findings.first().text.contains(tells), qPrintable(findings.first().text));
        QCOMPARE(findings.first().adapter, nic.name);
    }

    void routedNetworks_data()
    {
        QTest::addColumn<QList<Platform::Route>>("routes");
        QTest::addColumn<bool>("heardSome");
        QTest::addColumn<QStringList>("ranges"); // the --range each finding suggests
        const Platform::Route defaultRoute{u"eth0"_s, 0, 0, TextToIp(u"10.1.2.1"_s)};
        const Platform::Route ownSegment{u"eth1"_s, TextToIp(u"192.168.5.0"_s), 24, 0};
        const Platform::Route plant{u"eth1"_s, TextToIp(u"192.168.7.0"_s), 24, TextToIp(u"192.168.5.1"_s)};
        const Platform::Route vpn{u"tun0"_s, TextToIp(u"10.20.0.0"_s), 14, 0};
        const Platform::Route host{u"eth1"_s, TextToIp(u"192.168.9.9"_s), 32, TextToIp(u"192.168.5.1"_s)};
        QTest::newRow("only the default and the own segment") << QList<Platform::Route>{defaultRoute, ownSegment} << false
                                                              << QStringList();
        QTest::newRow("a plant network behind a router") << QList<Platform::Route>{defaultRoute, ownSegment, plant} << false
                                                         << QStringList{u"--range 192.168.7.0/24"_s};
        QTest::newRow("a VPN's network, a /16 at a time") << QList<Platform::Route>{vpn} << false
                                                          << QStringList{u"--range 10.20.0.0/16"_s};
        QTest::newRow("a host route is no site") << QList<Platform::Route>{host} << false << QStringList();
        QTest::newRow("told once") << QList<Platform::Route>{plant, plant} << false << QStringList{u"--range 192.168.7.0/24"_s};
        QTest::newRow("devices answered") << QList<Platform::Route>{plant} << true << QStringList();
    }
    void routedNetworks()
    {
        QFETCH(QList<Platform::Route>, routes);
        QFETCH(bool, heardSome);
        QFETCH(QStringList, ranges);
        const QList<THeardDevice> heardDevices =
            heardSome ? QList<THeardDevice>{heard(u"192.168.5.20"_s, 1, Devices)} : QList<THeardDevice>();
        const QList<TNetworkFinding> findings = NetworkCheck::routedNetworkFindings(heardDevices, TwoAdapters, routes);
        QCOMPARE(findings.size(), ranges.size());
        for (int i = 0; i < findings.size(); ++i) {
            QVERIFY2(findings.at(i).text.contains(ranges.at(i)), qPrintable(findings.at(i).text));
            QCOMPARE(findings.at(i).severity, TNetworkFinding::Severity::Warning);
            QCOMPARE(findings.at(i).toJson().value(u"kind"_s).toString(), u"routed-network"_s);
        }
    }

    void ports()
    {
        const TNetworkFinding held = NetworkCheck::portFinding(52389, false, u"tarvino (process 4242)"_s, {});
        QVERIFY(held.isProblem() && held.text.contains(u"tarvino (process 4242)"_s));
        QVERIFY(NetworkCheck::portFinding(52390, false, {}, {}).text.contains(u"ss -ulpn"_s));
        QVERIFY(!NetworkCheck::portFinding(52389, true, {}, TwoAdapters).isProblem());
        const QJsonObject json = held.toJson();
        QCOMPARE(json.value(u"kind"_s).toString(), u"port"_s);
        QCOMPARE(json.value(u"severity"_s).toString(), u"problem"_s);
        QVERIFY(held.line().startsWith(u"problem: "_s));
    }
    void platformNotices_data()
    {
        // The platform's lines (platform.h) become findings of the check's kind, in their order, with
        // the severity they carry: a system without the firewall or the flush gives warnings, never
        // problems, and the rest of the check is unchanged.
        using Level = Platform::Notice::Level;
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QList<Platform::Notice>>("notices");
        QTest::addColumn<QList<TNetworkFinding::Severity>>("severities");
        QTest::newRow("firewall: nothing dropped") << Kind::Firewall
            << QList<Platform::Notice>{{Level::Info, u"No firewall rule drops UDP 52389."_s}}
            << QList<TNetworkFinding::Severity>{TNetworkFinding::Severity::Info};
        QTest::newRow("firewall: two drops") << Kind::Firewall
            << QList<Platform::Notice>{{Level::Problem, u"drops UDP 52389"_s}, {Level::Problem, u"drops UDP 52390"_s}}
            << QList<TNetworkFinding::Severity>{TNetworkFinding::Severity::Problem, TNetworkFinding::Severity::Problem};
        QTest::newRow("firewall: not available") << Kind::Firewall
            << QList<Platform::Notice>{{Level::Warning, u"The firewall rules could not be read: reading them is "_s + Platform::notAvailable()}}
            << QList<TNetworkFinding::Severity>{TNetworkFinding::Severity::Warning};
        QTest::newRow("arp flush: permitted") << Kind::ArpFlush
            << QList<Platform::Notice>{{Level::Info, u"The ARP flush before an upgrade is permitted."_s}}
            << QList<TNetworkFinding::Severity>{TNetworkFinding::Severity::Info};
        QTest::newRow("arp flush: not available") << Kind::ArpFlush
            << QList<Platform::Notice>{{Level::Warning, u"The ARP flush cannot run: it is "_s + Platform::notAvailable()}}
            << QList<TNetworkFinding::Severity>{TNetworkFinding::Severity::Warning};
        QTest::newRow("none") << Kind::Firewall << QList<Platform::Notice>{} << QList<TNetworkFinding::Severity>{};
    }

    void platformNotices()
    {
        QFETCH(Kind, kind);
        QFETCH(QList<Platform::Notice>, notices);
        QFETCH(QList<TNetworkFinding::Severity>, severities);
        const QList<TNetworkFinding> findings = NetworkCheck::noticeFindings(kind, notices);
        QCOMPARE(findings.size(), severities.size());
        for (qsizetype i = 0; i < findings.size(); ++i) {
            QCOMPARE(findings.at(i).kind, kind);
            QCOMPARE(findings.at(i).severity, severities.at(i));
            QCOMPARE(findings.at(i).text, notices.at(i).text);
            QCOMPARE(findings.at(i).isProblem(), notices.at(i).level == Platform::Notice::Level::Problem);
        }
    }
};

QTEST_GUILESS_MAIN(TestNetworkCheck)
#include "tst_networkcheck.moc"
