// The sweep of address ranges in the lab with its devices behind a router (lab up --routed): the
// broadcast finds none of them, scan --range finds each with the fields a broadcast on their own
// segment gives, a refused range sends nothing, and --tcp finds a device that drops UDP; the
// window's Scan address range... fills its list as a broadcast scan does.
#include "clirun.h"
#include "app/mainwindow.h"
#include "labsim.h"
#include "app/rangescan.h"
#include "app/stringgrid.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProgressBar>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
constexpr int Devices = 6;
const QString FirstDevice = u"198.19.1.1"_s;
const QString RouterNamespace = u"tarvino-router"_s;
const QString Wait = u"0.5"_s;

// The devices of a scan's JSON lines, by MAC address.
QMap<QString, QJsonObject> devicesOf(const CliRun &run)
{
    QMap<QString, QJsonObject> byMac;
    for (const QJsonObject &object : run.jsonLines())
        byMac.insert(object.value(u"mac"_s).toString(), object);
    return byMac;
}

QString deviceIp(int index)
{
    return QHostAddress(QHostAddress(FirstDevice).toIPv4Address() + quint32(index)).toString();
}

// tarvino-cli in the PC's namespace (where the test runs), or in another namespace of the lab.
CliRun runCli(const QStringList &arguments, const QString &dataHome, const QString &inNamespace = {})
{
    return RunCli(arguments, dataHome, {60000, {}, {}, inNamespace});
}
} // namespace

class TestSweepLab : public QObject
{
    Q_OBJECT

    QTemporaryDir m_data;
    LabSimulator m_sim;

    bool startDevices(const QStringList &extra = {})
    {
        m_sim.setDeviceNamespace(u"tarvino-dev"_s);
        const bool started = m_sim.start(Devices, QStringList{u"--base"_s, FirstDevice, u"--broadcast-prefix"_s, u"16"_s} + extra);
        if (!started)
            qWarning("%s", qPrintable(m_sim.errorString()));
        return started;
    }

    CliRun cli(const QStringList &arguments, const QString &inNamespace = {})
    {
        return runCli(arguments, m_data.path(), inNamespace);
    }

private slots:
    void initTestCase()
    {
        if (!LabSimulator::inLab() || !QFileInfo::exists(u"/run/netns/"_s + RouterNamespace))
            QSKIP("runs in the PC namespace of a lab with its devices behind a router (lab up --routed)");
        QVERIFY(m_data.isValid());
    }

    void cleanup() { m_sim.stop(); }

    void sweepListsWhatTheBroadcastCannotReach()
    {
        QVERIFY(startDevices());
        const CliRun broadcast = cli({u"scan"_s, u"--json"_s, u"--wait"_s, Wait});
        QCOMPARE(broadcast.exitCode, 0);
        QVERIFY2(devicesOf(broadcast).isEmpty(), broadcast.out.constData());

        const CliRun sweep = cli({u"scan"_s, u"--range"_s, u"198.19.1.0/24"_s, u"--json"_s, u"--wait"_s, Wait});
        QCOMPARE(sweep.exitCode, 0);
        // The broadcast on the devices' own segment, from the router that sits there.
        const CliRun own = cli({u"scan"_s, u"--json"_s, u"--wait"_s, Wait}, RouterNamespace);
        QCOMPARE(own.exitCode, 0);
        const QMap<QString, QJsonObject> swept = devicesOf(sweep), local = devicesOf(own);
        QCOMPARE(swept.size(), Devices);
        QCOMPARE(swept.keys(), local.keys());
        for (const QString &mac : local.keys()) {
            QJsonObject expected = local.value(mac), found = swept.value(mac);
            // Heard through the PC's adapter that the route leaves by.
            QCOMPARE(found.value(u"adapter"_s).toObject(),
                     (QJsonObject{{u"name"_s, u"lab0"_s}, {u"address"_s, u"198.18.0.1"_s}}));
            expected.remove(u"adapter"_s);
            found.remove(u"adapter"_s);
            QCOMPARE(found, expected);
        }

        // A verb that scans for its targets sweeps the same way.
        const CliRun info = cli({u"info"_s, u"--range"_s, u"198.19.1.1-198.19.1.20"_s, u"--all"_s, u"--json"_s,
                                 u"--wait"_s, Wait});
        QCOMPARE(info.exitCode, 0);
        QCOMPARE(devicesOf(info).keys(), local.keys());
    }

    void refusedRangeSendsNothing_data()
    {
        QTest::addColumn<QString>("range");
        QTest::addColumn<QString>("reason");
        QTest::newRow("the routed network's broadcast") << u"198.19.255.255"_s << u"the broadcast address of 198.19.0.0/16"_s;
        QTest::newRow("a range up to it") << u"198.19.1.0-198.19.255.255"_s << u"holds 198.19.255.255"_s;
        QTest::newRow("larger than /16") << u"198.18.0.0/15"_s << u"a range may hold at most 65,536"_s;
        QTest::newRow("the PC's own address") << u"198.18.0.1"_s << u"an address of this PC"_s;
        QTest::newRow("a good one beside a bad one") << u"198.19.1.0/24,224.0.0.1"_s << u"is a multicast address"_s;
    }
    void refusedRangeSendsNothing()
    {
        QFETCH(QString, range);
        QFETCH(QString, reason);
        QVERIFY(startDevices());
        const CliRun refused = cli({u"scan"_s, u"--range"_s, range, u"--wait"_s, Wait});
        QCOMPARE(refused.exitCode, 2);
        QVERIFY2(refused.err.contains(reason.toUtf8()) && refused.err.contains("Nothing was sent"), refused.err.constData());
        // A sweep of the first device afterwards: its request is the first the devices received.
        QCOMPARE(cli({u"scan"_s, u"--range"_s, FirstDevice, u"--wait"_s, Wait}).exitCode, 0);
        QVERIFY(m_sim.waitForJournal([](const QList<QJsonObject> &lines) { return !lines.isEmpty(); }));
        const QList<QJsonObject> requests = m_sim.requests();
        QVERIFY(!requests.isEmpty());
        for (const QJsonObject &request : requests)
            QCOMPARE(request.value(u"device"_s).toString(), FirstDevice);
    }

    void tcpFindsADeviceThatDropsUdp()
    {
        const QString silent = deviceIp(2);
        QVERIFY(startDevices({u"--fault"_s, silent + u":silent@udp"_s}));
        const QStringList sweep{u"scan"_s, u"--range"_s, u"198.19.1.1-4"_s, u"--json"_s, u"--wait"_s, Wait};
        const CliRun udp = cli(sweep);
        QCOMPARE(udp.exitCode, 0);
        QCOMPARE(devicesOf(udp).size(), 3);
        const CliRun tcp = cli(sweep + QStringList{u"--tcp"_s});
        QCOMPARE(tcp.exitCode, 0);
        const QMap<QString, QJsonObject> found = devicesOf(tcp);
        QCOMPARE(found.size(), 4);
        int overTcp = 0;
        for (const QJsonObject &device : found)
            if (device.value(u"transport"_s).toString() == u"tcp"_s) {
                ++overTcp;
                QCOMPARE(device.value(u"ip"_s).toString(), silent);
            }
        QCOMPARE(overTcp, 1);
    }

    void windowListFillsFromTheSweep()
    {
        QVERIFY(startDevices());
        TMainWindow form;
        form.show();
        // The broadcast scan of the window's start finds nothing here; the sweep follows it.
        QTRY_VERIFY_WITH_TIMEOUT(!form.Timer->isActive(), 10000);
        QCOMPARE(form.devices().size(), 0);
        auto *scan = form.findChild<TRangeScan *>();
        QVERIFY(scan);
        const auto ranges = ParseAddressRanges({u"198.19.1.0/24"_s}, CurrentSweepContext());
        QVERIFY(std::holds_alternative<QList<TAddressRange>>(ranges));
        TRangeSweep::Options options;
        options.ranges = std::get<QList<TAddressRange>>(ranges);
        options.listenMs = 500;
        scan->start(options, u"198.19.1.0/24"_s);
        QVERIFY(form.ProgressBar->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!scan->isRunning(), 20000);
        QVERIFY(!form.ProgressBar->isVisible());
        QCOMPARE(form.StatusBar->currentMessage(), u"6 devices answered in 198.19.1.0/24 (254 addresses)."_s);
        QCOMPARE(form.devices().size(), Devices);
        QStringList rows, expected;
        for (int row = 1; row <= Devices; ++row)
            rows << form.StringGrid->Cells(3, row); // the IP Address column
        for (int i = 0; i < Devices; ++i)
            expected << deviceIp(i);
        rows.sort();
        expected.sort();
        QCOMPARE(rows, expected);
        for (const TDeviceRecord &device : std::as_const(form.devices()))
            QCOMPARE(device.AdapterName, u"lab0"_s);
    }
};

QTEST_MAIN(TestSweepLab)
#include "tst_sweep_lab.moc"
