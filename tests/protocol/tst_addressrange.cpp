// The address ranges of a sweep: what each form asks, and every range refused before anything is
// sent, with the sentence that says why.
#include "protocol/addressrange.h"
#include "protocol/tools.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {
// A PC with one adapter, 198.18.0.1/16, and a route to 198.19.0.0/16 behind a router.
TSweepContext labPc()
{
    TSweepContext context;
    context.ownAddresses = {TextToIp(u"198.18.0.1"_s)};
    context.knownSubnets = {{TextToIp(u"198.18.0.0"_s), 16}, {TextToIp(u"198.19.0.0"_s), 16}};
    return context;
}

// The error of a reading, empty when it succeeded (QVERIFY2 builds its message either way).
template <typename T>
QString errorOf(const std::variant<T, QString> &parsed)
{
    const QString *error = std::get_if<QString>(&parsed);
    return error ? *error : QString();
}
} // namespace

class TestAddressRange : public QObject
{
    Q_OBJECT

private slots:
    // A command meant for one device never goes to an address that reaches many (or none).
    void oneDeviceAddresses_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("problem"); // a part of it; empty: the address may name a device
        QTest::newRow("a device") << u"198.18.1.5"_s << QString();
        QTest::newRow("a routed device") << u"198.19.4.10"_s << QString();
        QTest::newRow("a device simulated on this PC") << u"127.0.0.2"_s << QString();
        QTest::newRow("limited broadcast") << u"255.255.255.255"_s << u"the broadcast address of every segment"_s;
        QTest::newRow("the segment's broadcast") << u"198.18.255.255"_s << u"the broadcast address of 198.18.0.0/16"_s;
        QTest::newRow("a routed network's broadcast") << u"198.19.255.255"_s << u"the broadcast address of 198.19.0.0/16"_s;
        QTest::newRow("the segment's network address") << u"198.18.0.0"_s << u"the network address of 198.18.0.0/16"_s;
        QTest::newRow("multicast") << u"224.0.0.1"_s << u"a multicast address"_s;
        QTest::newRow("this network") << u"0.0.0.0"_s << u"names no device"_s;
        QTest::newRow("reserved") << u"240.0.0.1"_s << u"a reserved address"_s;
    }

    void oneDeviceAddresses()
    {
        QFETCH(QString, ip);
        QFETCH(QString, problem);
        const QString found = OneDeviceAddressProblem(TextToIp(ip), labPc());
        if (problem.isEmpty()) {
            QCOMPARE(found, QString());
        } else {
            QVERIFY2(found.contains(problem), qPrintable(found));
            QVERIFY2(found.endsWith(u"a command meant for one device is not sent there"_s), qPrintable(found));
        }
    }

    void acceptedRanges_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("last");
        QTest::addColumn<quint64>("count");
        // A network's own network and broadcast addresses are left out.
        QTest::newRow("/24") << u"198.19.4.0/24"_s << u"198.19.4.1"_s << u"198.19.4.254"_s << quint64(254);
        QTest::newRow("/16 is the largest") << u"198.19.0.0/16"_s << u"198.19.0.1"_s << u"198.19.255.254"_s << quint64(65534);
        QTest::newRow("/31 has no broadcast") << u"198.19.4.8/31"_s << u"198.19.4.8"_s << u"198.19.4.9"_s << quint64(2);
        QTest::newRow("/32 is one address") << u"198.19.4.9/32"_s << u"198.19.4.9"_s << u"198.19.4.9"_s << quint64(1);
        QTest::newRow("two addresses") << u"198.19.4.10-198.19.4.250"_s << u"198.19.4.10"_s << u"198.19.4.250"_s << quint64(241);
        QTest::newRow("last octet only") << u"198.19.4.10-250"_s << u"198.19.4.10"_s << u"198.19.4.250"_s << quint64(241);
        QTest::newRow("blanks around") << u" 198.19.4.10 - 198.19.4.12 "_s << u"198.19.4.10"_s << u"198.19.4.12"_s << quint64(3);
        QTest::newRow("one address") << u"198.19.4.10"_s << u"198.19.4.10"_s << u"198.19.4.10"_s << quint64(1);
        QTest::newRow("exactly 65536") << u"10.1.0.0-10.1.255.255"_s << u"10.1.0.0"_s << u"10.1.255.255"_s << quint64(65536);
        QTest::newRow("across networks") << u"198.20.255.250-198.21.0.5"_s << u"198.20.255.250"_s << u"198.21.0.5"_s
                                         << quint64(12);
    }
    void acceptedRanges()
    {
        QFETCH(QString, text);
        QFETCH(QString, first);
        QFETCH(QString, last);
        QFETCH(quint64, count);
        const TSweepContext context = QString::fromLatin1(QTest::currentDataTag()) == u"exactly 65536"_s
                                          ? TSweepContext() : labPc();
        const auto parsed = ParseAddressRange(text, context);
        QVERIFY2(std::holds_alternative<TAddressRange>(parsed), qPrintable(errorOf(parsed)));
        const TAddressRange range = std::get<TAddressRange>(parsed);
        QCOMPARE(IpToText(range.first), first);
        QCOMPARE(IpToText(range.last), last);
        QCOMPARE(range.count(), count);
        QCOMPARE(range.text, text.trimmed());
    }

    void refusedRanges_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty") << u"  "_s << u"An empty address range"_s;
        QTest::newRow("words") << u"the plant"_s << u"'the plant' is not an address range"_s;
        QTest::newRow("octet over 255") << u"198.19.4.256"_s << u"is not an address range"_s;
        QTest::newRow("three octets") << u"198.19.4/24"_s << u"is not an address range"_s;
        QTest::newRow("prefix 33") << u"198.19.4.0/33"_s << u"is not an address range"_s;
        QTest::newRow("prefix missing") << u"198.19.4.0/"_s << u"is not an address range"_s;
        QTest::newRow("end missing") << u"198.19.4.10-"_s << u"is not an address range"_s;
        QTest::newRow("end octet 256") << u"198.19.4.10-256"_s << u"is not an address range"_s;
        QTest::newRow("backwards") << u"198.19.4.250-198.19.4.10"_s << u"ends before it starts"_s;
        QTest::newRow("/15") << u"198.18.0.0/15"_s << u"holds 131,072 addresses: a range may hold at most 65,536"_s;
        QTest::newRow("65537") << u"10.1.0.0-10.2.0.0"_s << u"holds 65,537 addresses"_s;
        QTest::newRow("host bits") << u"198.19.4.7/24"_s << u"does not start its network: write 198.19.4.0/24"_s;
        QTest::newRow("limited broadcast") << u"255.255.255.255"_s << u"is the broadcast address of every segment"_s;
        QTest::newRow("the segment's broadcast")
            << u"198.18.255.255"_s << u"198.18.255.255 is the broadcast address of 198.18.0.0/16"_s;
        QTest::newRow("routed broadcast in a range")
            << u"198.19.255.0-198.19.255.255"_s << u"holds 198.19.255.255, the broadcast address of 198.19.0.0/16"_s;
        QTest::newRow("routed network address")
            << u"198.19.0.0-198.19.0.20"_s << u"holds 198.19.0.0, the network address of 198.19.0.0/16"_s;
        QTest::newRow("multicast") << u"224.0.0.1"_s << u"is a multicast address"_s;
        QTest::newRow("into multicast") << u"223.255.255.0-224.0.0.10"_s << u"holds multicast addresses"_s;
        QTest::newRow("reserved") << u"240.0.0.1"_s << u"is a reserved address"_s;
        QTest::newRow("0.0.0.0") << u"0.0.0.0"_s << u"0.0.0.0 is an address of 0.0.0.0/8"_s;
        QTest::newRow("loopback") << u"127.0.0.0/24"_s << u"holds loopback addresses"_s;
        QTest::newRow("own address") << u"198.18.0.1"_s << u"198.18.0.1 is an address of this PC"_s;
        QTest::newRow("own address inside") << u"198.18.0.0/24"_s << u"holds 198.18.0.1, an address of this PC"_s;
    }
    void refusedRanges()
    {
        QFETCH(QString, text);
        QFETCH(QString, reason);
        const auto parsed = ParseAddressRange(text, labPc());
        QVERIFY(std::holds_alternative<QString>(parsed));
        QVERIFY2(std::get<QString>(parsed).contains(reason), qPrintable(errorOf(parsed)));
    }

    void severalRanges_data()
    {
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QStringList>("merged"); // first-last of each merged range
        QTest::addColumn<QString>("error");
        QTest::newRow("two options") << QStringList{u"198.19.1.0/24"_s, u"198.19.3.1-198.19.3.9"_s}
                                     << QStringList{u"198.19.1.1-198.19.1.254"_s, u"198.19.3.1-198.19.3.9"_s} << QString();
        QTest::newRow("commas and blanks in one") << QStringList{u"198.19.3.1-5, 198.19.1.7 198.19.1.8"_s}
                                                   << QStringList{u"198.19.1.7-198.19.1.8"_s, u"198.19.3.1-198.19.3.5"_s}
                                                   << QString();
        QTest::newRow("overlapping asked once") << QStringList{u"198.19.1.0/24"_s, u"198.19.1.100-198.19.2.3"_s}
                                                 << QStringList{u"198.19.1.1-198.19.2.3"_s} << QString();
        QTest::newRow("one bad stops all") << QStringList{u"198.19.1.0/24"_s, u"198.19.255.255"_s} << QStringList()
                                            << u"the broadcast address of 198.19.0.0/16"_s;
        QTest::newRow("none") << QStringList{u" , "_s} << QStringList() << u"No address range given"_s;
        QTest::newRow("five /16 together") << QStringList{u"10.1.0.0/16,10.2.0.0/16,10.3.0.0/16,10.4.0.0/16,10.5.0.0/16"_s}
                                            << QStringList() << u"more than 262,144 addresses together"_s;
    }
    void severalRanges()
    {
        QFETCH(QStringList, texts);
        QFETCH(QStringList, merged);
        QFETCH(QString, error);
        const auto parsed = ParseAddressRanges(texts, labPc());
        if (!error.isEmpty()) {
            QVERIFY(std::holds_alternative<QString>(parsed));
            QVERIFY2(std::get<QString>(parsed).contains(error), qPrintable(errorOf(parsed)));
            return;
        }
        QVERIFY2(std::holds_alternative<QList<TAddressRange>>(parsed), qPrintable(errorOf(parsed)));
        QStringList got;
        for (const TAddressRange &range : MergedRanges(std::get<QList<TAddressRange>>(parsed)))
            got << IpToText(range.first) + u'-' + IpToText(range.last);
        QCOMPARE(got, merged);
    }

    // Which adapter a sweep's request leaves from: the reply comes back through the one the route uses.
    void routeSource_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("source"); // empty: none named (the engine's first binding)
        QTest::newRow("on the office segment") << u"10.1.2.77"_s << u"10.1.2.30"_s;
        QTest::newRow("on the device segment") << u"192.168.5.77"_s << u"192.168.5.10"_s;
        QTest::newRow("behind the plant router") << u"192.168.7.9"_s << u"192.168.5.10"_s;
        QTest::newRow("the narrower route wins") << u"10.20.3.4"_s << u"10.8.0.2"_s;
        QTest::newRow("the wider route") << u"10.21.0.9"_s << u"10.1.2.30"_s;
        QTest::newRow("the default route") << u"203.0.113.5"_s << u"10.1.2.30"_s;
        QTest::newRow("a route through no adapter of ours") << u"172.16.0.9"_s << QString();
    }
    void routeSource()
    {
        QFETCH(QString, ip);
        QFETCH(QString, source);
        auto adapter = [](const QString &name, const QString &address, int prefix) {
            TNetworkAdapter a;
            a.name = name;
            a.address = TextToIp(address);
            a.netmask = SubnetNetwork(0xFFFFFFFFu, prefix);
            return a;
        };
        const QList<TNetworkAdapter> adapters{adapter(u"eth0"_s, u"10.1.2.30"_s, 24), adapter(u"eth1"_s, u"192.168.5.10"_s, 24),
                                              adapter(u"tun0"_s, u"10.8.0.2"_s, 24)};
        const QList<Platform::Route> routes{{u"eth0"_s, 0, 0, TextToIp(u"10.1.2.1"_s)},
                                            {u"eth1"_s, TextToIp(u"192.168.7.0"_s), 24, TextToIp(u"192.168.5.1"_s)},
                                            {u"eth0"_s, TextToIp(u"10.20.0.0"_s), 14, TextToIp(u"10.1.2.1"_s)},
                                            {u"tun0"_s, TextToIp(u"10.20.0.0"_s), 16, 0},
                                            {u"wg9"_s, TextToIp(u"172.16.0.0"_s), 12, 0}};
        const quint32 chosen = RouteSourceAddress(TextToIp(ip), adapters, routes);
        QCOMPARE(chosen ? IpToText(chosen) : QString(), source);
    }
};

QTEST_GUILESS_MAIN(TestAddressRange)
#include "tst_addressrange.moc"
