// The site file (reading, refusals with line and reason, writing), its comparison with a scan (the
// five states, the summary) and the watch's events, without a network.
#include "fleet/devicefields.h"
#include "fleet/site/devicewatch.h"
#include "fleet/site/sitecomparison.h"
#include "fleet/site/sitefile.h"
#include "protocol/wire.h"

#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
TDeviceRecord device(const QString &ip, quint64 mac, const QString &name, const QString &firmware = QStringLiteral("2.0"))
{
    TDeviceRecord d;
    d.IpText = ip;
    d.Mac = mac;
    d.Params.set(Wire::Param::Name, name.toUtf8());
    d.Params.set(Wire::Param::TypeText, QByteArray("Palimor P4-S"));
    d.Params.set(Wire::Param::FirmwareVersion, firmware.toUtf8());
    d.Params.set(Wire::Param::BootstrapVersion, QByteArray("1.0.4"));
    return d;
}

TSiteDevice expected(const QString &ip, quint64 mac, const QString &name, const QString &firmware = {})
{
    TSiteDevice d;
    d.ip = ip;
    d.mac = mac;
    d.name = name;
    d.firmwareVersion = firmware;
    return d;
}
} // namespace

class TestSiteFile : public QObject
{
    Q_OBJECT
private slots:
    void readsGoodFiles_data();
    void readsGoodFiles();
    void refusesDamage_data();
    void refusesDamage();
    void writtenFileReadsBack_data();
    void writtenFileReadsBack();
    void failedWriteKeepsOldFile();
    void states_data();
    void states();
    void summary();
    void watchEvents();
    void watchTwinsAndAddressOnly();
};

void TestSiteFile::readsGoodFiles_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("lastLine");
    QTest::addColumn<QString>("lastIp");
    QTest::addColumn<QString>("lastMac");
    QTest::addColumn<QString>("lastFirmware");

    QTest::newRow("csv") << QByteArray("name,ip,mac,type,firmwareVersion\r\nA,198.18.1.1,00:50:c2:02:5c:c1,P4,2.0\r\n"
                                       "B,198.18.1.2,00-50-C2-02-5C-C2,P4,\r\n")
                         << 2 << 3 << u"198.18.1.2"_s << u"00:50:c2:02:5c:c2"_s << u""_s;
    QTest::newRow("csv-columns-any-order-case-bom") << QByteArray("\xEF\xBB\xBF" "MAC,Name\n005056000001,\"Pump, north\"\n")
                                                   << 1 << 2 << u""_s << u"00:50:56:00:00:01"_s << u""_s;
    QTest::newRow("csv-blank-lines-skipped") << QByteArray("ip\n\n198.18.1.9\n,\n\n198.18.1.10\n") << 2 << 6
                                             << u"198.18.1.10"_s << u""_s << u""_s;
    QTest::newRow("csv-quoted-line-end") << QByteArray("name,ip\n\"two\nlines\",198.18.1.1\n198,198.18.1.2\n") << 2 << 4
                                         << u"198.18.1.2"_s << u""_s << u""_s;
    QTest::newRow("json-array") << QByteArray("[\n {\"name\":\"A\",\"ip\":\"198.18.1.1\"},\n {\"mac\":\"00:50:c2:02:5c:c3\","
                                              "\"firmwareVersion\":\"2.1\",\"room\":\"B12\"}\n]")
                                << 2 << 3 << u""_s << u"00:50:c2:02:5c:c3"_s << u"2.1"_s;
    QTest::newRow("json-devices-object") << QByteArray("{\"devices\": [\n{\"ip\": \"198.18.001.004\"}]}") << 1 << 2
                                         << u"198.18.1.4"_s << u""_s << u""_s;
}

void TestSiteFile::readsGoodFiles()
{
    QFETCH(QByteArray, contents);
    const TSiteFileResult result = SiteFile::parse(contents);
    if (const auto *error = std::get_if<TSiteFileError>(&result))
        QFAIL(qPrintable(error->text()));
    const QList<TSiteDevice> devices = std::get<QList<TSiteDevice>>(result);
    QFETCH(int, count);
    QCOMPARE(devices.size(), count);
    QFETCH(int, lastLine);
    QFETCH(QString, lastIp);
    QFETCH(QString, lastMac);
    QFETCH(QString, lastFirmware);
    QCOMPARE(devices.last().line, lastLine);
    QCOMPARE(devices.last().ip, lastIp);
    QCOMPARE(devices.last().mac ? CanonicalMacText(devices.last().mac) : QString(), lastMac);
    QCOMPARE(devices.last().firmwareVersion, lastFirmware);
}

void TestSiteFile::refusesDamage_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("reason");

    QTest::newRow("empty") << QByteArray("") << 0 << u"lists no device"_s;
    QTest::newRow("header-only") << QByteArray("name,ip\n") << 0 << u"lists no device"_s;
    QTest::newRow("unknown-column") << QByteArray("name,ip,colour\nA,198.18.1.1,red\n") << 1 << u"unknown column 'colour'"_s;
    QTest::newRow("column-twice") << QByteArray("ip,IP\n") << 1 << u"named twice"_s;
    QTest::newRow("no-address-column") << QByteArray("name,type\nA,P4\n") << 1 << u"neither an 'ip' nor a 'mac'"_s;
    QTest::newRow("bad-ip") << QByteArray("name,ip\nA,198.18.1.1\nB,198.18.1.300\n") << 3 << u"ip: '198.18.1.300' is not an IPv4"_s;
    QTest::newRow("bad-mac") << QByteArray("mac\n00:50:c2\n") << 2 << u"mac: '00:50:c2' is not a MAC address"_s;
    QTest::newRow("zero-mac") << QByteArray("mac\n00:00:00:00:00:00\n") << 2 << u"not all zero"_s;
    QTest::newRow("cell-count") << QByteArray("name,ip\nA,198.18.1.1\nB,198.18.1.2,extra\n") << 3 << u"3 cells where the header names 2"_s;
    QTest::newRow("no-address") << QByteArray("name,ip,mac\nA,198.18.1.1,\nPump-7,,\n") << 3 << u"'Pump-7' has no IP address and no MAC"_s;
    QTest::newRow("mac-twice") << QByteArray("mac\n005056000001\n\n00:50:56:00:00:01\n") << 4 << u"already listed on line 2"_s;
    QTest::newRow("ip-twice") << QByteArray("ip\n198.18.1.1\n198.18.1.01\n") << 3 << u"IP address 198.18.1.1 is already listed on line 2"_s;
    QTest::newRow("unclosed-quote") << QByteArray("name,ip\nA,198.18.1.1\n\"B,198.18.1.2\n") << 3 << u"never closed"_s;
    QTest::newRow("text-after-quote") << QByteArray("name,ip\n\"A\"x,198.18.1.1\n") << 2 << u"text after a quoted cell"_s;
    QTest::newRow("nul-byte") << QByteArray("ip\n198.18.1.1\n\0\n", 16) << 3 << u"NUL byte"_s;
    QTest::newRow("not-utf8") << QByteArray("name,ip\nA,198.18.1.1\n\xff\xfe,198.18.1.2\n") << 3 << u"not UTF-8"_s;
    QTest::newRow("json-nul-in-name") << QByteArray("[\n{\"ip\": \"198.18.1.1\"},\n{\"ip\": \"198.18.1.2\", \"name\": \"a\\u0000\"}]")
                                      << 3 << u"name: a NUL character"_s;
    QTest::newRow("json-nested-objects") << QByteArray("[\n{\"ip\": \"198.18.1.1\", \"room\": {\"floor\": 2}},\n{\"ip\": \"bad\"}]")
                                         << 3 << u"ip: 'bad'"_s;
    QTest::newRow("json-syntax") << QByteArray("[\n{\"ip\": \"198.18.1.1\"},\n{\"ip\": }\n]") << 3 << u"not JSON"_s;
    QTest::newRow("json-not-array") << QByteArray("{\"ip\": \"198.18.1.1\"}") << 1 << u"neither an array"_s;
    QTest::newRow("json-element-not-object") << QByteArray("[\n{\"ip\": \"198.18.1.1\"},\n 7\n]") << 0 << u"device 2 is not a JSON object"_s;
    QTest::newRow("json-bad-mac") << QByteArray("[\n{\"ip\": \"198.18.1.1\"},\n{\"mac\": \"zz\"}\n]") << 3 << u"mac: 'zz'"_s;
    QTest::newRow("json-number-ip") << QByteArray("[\n{\"ip\": 198}\n]") << 2 << u"ip: not a text"_s;
    QTest::newRow("json-no-address") << QByteArray("[\n{\"name\": \"A\"}]") << 2 << u"'A' has no IP address"_s;
}

void TestSiteFile::refusesDamage()
{
    QFETCH(QByteArray, contents);
    QFETCH(int, line);
    QFETCH(QString, reason);
    const TSiteFileResult result = SiteFile::parse(contents);
    const auto *error = std::get_if<TSiteFileError>(&result);
    QVERIFY2(error, "a damaged file was loaded");
    QVERIFY2(error->reason.contains(reason), qPrintable(error->reason));
    QCOMPARE(error->line, line);
    if (line > 0)
        QVERIFY(error->text().startsWith(QStringLiteral("line %1: ").arg(line)));
}

void TestSiteFile::writtenFileReadsBack_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::newRow("csv") << u"site.csv"_s;
    QTest::newRow("json") << u"site.json"_s;
}

void TestSiteFile::writtenFileReadsBack()
{
    QFETCH(QString, fileName);
    const QTemporaryDir folder;
    const QList<TDeviceRecord> scanned{device(QStringLiteral("198.18.1.1"), 0x0050C2025CC1, QStringLiteral("Pump, \"north\"")),
                              device(QStringLiteral("198.18.1.2"), 0, QStringLiteral("Gate\nEast"), QStringLiteral("2.1")),
                              // A name a spreadsheet would run as a formula: guarded in the CSV, read back as it was.
                              device(QStringLiteral("198.18.1.3"), 0x0050C2025CC3, QStringLiteral("=HYPERLINK(\"http://x\")"))};
    QList<TSiteDevice> devices;
    for (const TDeviceRecord &d : scanned)
        devices << SiteFile::fromDevice(d);
    const QString path = folder.filePath(fileName);
    QCOMPARE(SiteFile::write(path, devices), QString());
    const TSiteFileResult result = SiteFile::read(path);
    if (const auto *error = std::get_if<TSiteFileError>(&result))
        QFAIL(qPrintable(error->text()));
    QList<TSiteDevice> read = std::get<QList<TSiteDevice>>(result);
    QCOMPARE(read.size(), 3);
    for (TSiteDevice &d : read)
        d.line = 0;
    QCOMPARE(read, devices);
    if (fileName.endsWith(u".csv"_s)) {
        QFile written(path);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QVERIFY(written.readAll().contains("\"'=HYPERLINK"));
    }
    // The list compared with the file it made is all found.
    const TSiteComparison comparison(read, scanned);
    QCOMPARE(comparison.count(TSiteState::Found), 3);
    QCOMPARE(comparison.summary(), QStringLiteral("3 of 3 expected devices found, 0 missing, 0 unexpected"));
}

void TestSiteFile::failedWriteKeepsOldFile()
{
    const QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("site.csv"));
    QCOMPARE(SiteFile::write(path, {expected(QStringLiteral("198.18.1.1"), 0, QStringLiteral("A"))}), QString());
    const QByteArray before = [&] { QFile f(path); f.open(QIODevice::ReadOnly); return f.readAll(); }();
    QFile::setPermissions(folder.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QString problem = SiteFile::write(path, {expected(QStringLiteral("198.18.1.2"), 0, QStringLiteral("B"))});
    QFile::setPermissions(folder.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (problem.isEmpty() && ::geteuid() == 0)
        QSKIP("root writes in a read-only folder");
    QVERIFY(problem.contains(path));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), before);
}

void TestSiteFile::states_data()
{
    QTest::addColumn<QList<TSiteDevice>>("site");
    QTest::addColumn<QList<TDeviceRecord>>("scanned");
    QTest::addColumn<QStringList>("states"); // per entry: state key and the address it is about

    const quint64 a = 0x0050C2000001, b = 0x0050C2000002, c = 0x0050C2000003;
    const QString ip1 = QStringLiteral("198.18.1.1"), ip2 = QStringLiteral("198.18.1.2"), ip3 = QStringLiteral("198.18.1.3");
    QTest::newRow("found-by-mac") << QList<TSiteDevice>{expected(ip1, a, QStringLiteral("A"))}
                                  << QList<TDeviceRecord>{device(ip1, a, QStringLiteral("A"))} << QStringList{u"found 198.18.1.1"_s};
    QTest::newRow("found-by-ip-without-mac") << QList<TSiteDevice>{expected(ip1, 0, QStringLiteral("A"))}
                                             << QList<TDeviceRecord>{device(ip1, a, QStringLiteral("A"))} << QStringList{u"found 198.18.1.1"_s};
    QTest::newRow("missing-with-expected-ip") << QList<TSiteDevice>{expected(ip1, a, QStringLiteral("A")), expected(ip2, b, QStringLiteral("B"))}
                                              << QList<TDeviceRecord>{device(ip1, a, QStringLiteral("A"))}
                                              << QStringList{u"found 198.18.1.1"_s, u"missing 198.18.1.2"_s};
    QTest::newRow("unexpected") << QList<TSiteDevice>{expected(ip1, a, QStringLiteral("A"))}
                                << QList<TDeviceRecord>{device(ip1, a, QStringLiteral("A")), device(ip3, c, QStringLiteral("C"))}
                                << QStringList{u"found 198.18.1.1"_s, u"unexpected 198.18.1.3"_s};
    QTest::newRow("moved") << QList<TSiteDevice>{expected(ip1, a, QStringLiteral("A"))}
                           << QList<TDeviceRecord>{device(ip3, a, QStringLiteral("A"))} << QStringList{u"moved 198.18.1.3"_s};
    QTest::newRow("different-firmware") << QList<TSiteDevice>{expected(ip1, a, QStringLiteral("A"), QStringLiteral("2.1"))}
                                        << QList<TDeviceRecord>{device(ip1, a, QStringLiteral("A"), QStringLiteral("2.0"))}
                                        << QStringList{u"differentFirmware 198.18.1.1"_s};
    QTest::newRow("same-firmware-found") << QList<TSiteDevice>{expected(ip1, a, QStringLiteral("A"), QStringLiteral("2.0"))}
                                         << QList<TDeviceRecord>{device(ip1, a, QStringLiteral("A"), QStringLiteral("2.0"))}
                                         << QStringList{u"found 198.18.1.1"_s};
    // Another board at the expected address is a replacement: the named one is missing.
    QTest::newRow("other-board-at-address") << QList<TSiteDevice>{expected(ip1, a, QStringLiteral("A"))}
                                            << QList<TDeviceRecord>{device(ip1, b, QStringLiteral("A"))}
                                            << QStringList{u"missing 198.18.1.1"_s, u"unexpected 198.18.1.1"_s};
    // An address-only entry does not take the board another entry names by MAC address.
    QTest::newRow("mac-entries-first") << QList<TSiteDevice>{expected(ip3, 0, QStringLiteral("X")), expected(ip1, a, QStringLiteral("A"))}
                                       << QList<TDeviceRecord>{device(ip3, a, QStringLiteral("A"))}
                                       << QStringList{u"missing 198.18.1.3"_s, u"moved 198.18.1.3"_s};
    QTest::newRow("twin-is-unexpected") << QList<TSiteDevice>{expected(ip1, a, QStringLiteral("A"))}
                                        << QList<TDeviceRecord>{device(ip1, a, QStringLiteral("A")), device(ip2, a, QStringLiteral("A2"))}
                                        << QStringList{u"found 198.18.1.1"_s, u"unexpected 198.18.1.2"_s};
}

void TestSiteFile::states()
{
    QFETCH(QList<TSiteDevice>, site);
    QFETCH(QList<TDeviceRecord>, scanned);
    QFETCH(QStringList, states);
    const TSiteComparison comparison(site, scanned);
    QStringList got;
    for (const TSiteEntry &entry : comparison.entries()) {
        const QString ip = entry.foundIndex >= 0 ? scanned.at(entry.foundIndex).IpText : site.at(entry.expectedIndex).ip;
        got << SiteStateKey(entry.state) + QLatin1Char(' ') + ip;
        if (entry.foundIndex >= 0)
            QCOMPARE(comparison.entryForFound(entry.foundIndex), &entry);
        const QJsonObject json = comparison.entryJson(entry);
        QCOMPARE(json.value(QLatin1String("state")).toString(), SiteStateKey(entry.state));
        if (entry.state == TSiteState::Missing)
            QCOMPARE(json.value(QLatin1String("expectedIp")).toString(), site.at(entry.expectedIndex).ip);
    }
    QCOMPARE(got, states);
}

void TestSiteFile::summary()
{
    QList<TSiteDevice> site;
    QList<TDeviceRecord> scanned;
    for (int i = 1; i <= 40; ++i) {
        const QString ip = QStringLiteral("198.18.1.%1").arg(i);
        site << expected(ip, 0x0050C2000000 + i, QStringLiteral("D%1").arg(i), QStringLiteral("2.0"));
        if (i <= 38)
            scanned << device(i == 5 ? QStringLiteral("198.18.2.5") : ip, 0x0050C2000000 + i, QStringLiteral("D%1").arg(i),
                              i == 5 || i == 6 ? QStringLiteral("1.9") : QStringLiteral("2.0"));
    }
    scanned << device(QStringLiteral("198.18.1.99"), 0x0050C2000099, QStringLiteral("New"));
    const TSiteComparison comparison(site, scanned);
    QCOMPARE(comparison.summary(), QStringLiteral("38 of 40 expected devices found, 2 missing, 1 unexpected, 1 moved, "
                                                  "2 with different firmware"));
    QVERIFY(comparison.anyMissing());
    const TSiteEntry *moved = comparison.entryForFound(4);
    QVERIFY(moved);
    QCOMPARE(moved->text(), QStringLiteral("moved, different firmware"));
    QCOMPARE(moved->differences.first(), (TSiteVersionDifference{QStringLiteral("firmwareVersion"), QStringLiteral("2.0"),
                                                                  QStringLiteral("1.9")}));
    QCOMPARE(comparison.summaryJson().value(QLatin1String("missing")).toInt(), 2);
}

void TestSiteFile::watchEvents()
{
    TDeviceWatch watch(3);
    const QDateTime t0 = QDateTime::fromSecsSinceEpoch(1'800'000'000);
    const TDeviceRecord a = device(QStringLiteral("198.18.1.1"), 1, QStringLiteral("A"));
    const TDeviceRecord b = device(QStringLiteral("198.18.1.2"), 2, QStringLiteral("B"));
    auto kinds = [](const QList<TWatchEvent> &events) {
        QStringList list;
        for (const TWatchEvent &event : events)
            list << TWatchEvent::kindKey(event.kind) + (event.again ? QStringLiteral(" again ") : QStringLiteral(" "))
                        + event.device.IpText;
        return list;
    };
    QCOMPARE(kinds(watch.addScan({a, b}, t0)), (QStringList{u"appeared 198.18.1.1"_s, u"appeared 198.18.1.2"_s}));
    QCOMPARE(kinds(watch.addScan({a, b}, t0.addSecs(5))), QStringList());
    // b misses two scans: not gone yet; the third makes it gone, once.
    QCOMPARE(kinds(watch.addScan({a}, t0.addSecs(10))), QStringList());
    QCOMPARE(kinds(watch.addScan({a}, t0.addSecs(15))), QStringList());
    QCOMPARE(kinds(watch.addScan({a}, t0.addSecs(20))), QStringList{u"gone 198.18.1.2"_s});
    QCOMPARE(kinds(watch.addScan({a}, t0.addSecs(25))), QStringList());
    QCOMPARE(watch.entryFor(b)->lastSeen, t0.addSecs(5));
    QVERIFY(watch.entryFor(b)->gone);
    // Back, with another firmware; a's address changes.
    TDeviceRecord b2 = device(QStringLiteral("198.18.1.2"), 2, QStringLiteral("B"), QStringLiteral("2.1"));
    TDeviceRecord a2 = device(QStringLiteral("198.18.1.7"), 1, QStringLiteral("A"));
    const QList<TWatchEvent> events = watch.addScan({a2, b2}, t0.addSecs(30));
    QCOMPARE(kinds(events), (QStringList{u"changed 198.18.1.7"_s, u"appeared again 198.18.1.2"_s}));
    QCOMPARE(events.at(0).changes, (QList<TWatchChange>{{QStringLiteral("ip"), QStringLiteral("198.18.1.1"), QStringLiteral("198.18.1.7")}}));
    QCOMPARE(events.at(1).changes, (QList<TWatchChange>{{QStringLiteral("firmwareVersion"), QStringLiteral("2.0"), QStringLiteral("2.1")}}));
    const QJsonObject json = events.at(0).toJson();
    QCOMPARE(json.value(QLatin1String("event")).toString(), QStringLiteral("changed"));
    QCOMPARE(json.value(QLatin1String("changes")).toArray().at(0).toObject().value(QLatin1String("old")).toString(),
             QStringLiteral("198.18.1.1"));
    QVERIFY(!watch.entryFor(b)->gone);
    QCOMPARE(watch.entryFor(b)->changedAt, t0.addSecs(30));
    QCOMPARE(watch.entries().size(), 2);
}

void TestSiteFile::watchTwinsAndAddressOnly()
{
    TDeviceWatch watch(1);
    const QDateTime t0 = QDateTime::fromSecsSinceEpoch(1'800'000'000);
    // A twin of a's MAC address is not a second device; a device without MAC address is known by its address.
    const TDeviceRecord a = device(QStringLiteral("198.18.1.1"), 1, QStringLiteral("A"));
    const TDeviceRecord twin = device(QStringLiteral("198.18.1.9"), 1, QStringLiteral("A"));
    const TDeviceRecord noMac = device(QStringLiteral("198.18.1.3"), 0, QStringLiteral("C"));
    QCOMPARE(watch.addScan({a, twin, noMac}, t0).size(), 2);
    const QList<TWatchEvent> events = watch.addScan({a}, t0.addSecs(1));
    QCOMPARE(events.size(), 1);
    QCOMPARE(events.first().kind, TWatchEvent::Kind::Gone);
    QCOMPARE(events.first().device.IpText, QStringLiteral("198.18.1.3"));
}

QTEST_GUILESS_MAIN(TestSiteFile)
#include "tst_sitefile.moc"
