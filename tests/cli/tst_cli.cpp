// tarvino-cli's reading of its command line and of device lists, without devices: what a usage
// error is (nothing may be sent after one), how targets are told apart, and that what `scan`
// writes reads back as the same devices.
#include "cli/clihistory.h"
#include "cli/clireport.h"
#include "cli/clirunner.h"
#include "cli/clirequest.h"
#include "cli/clitargets.h"
#include "protocol/ipv4text.h"
#include "operations/controlleroperations.h"
#include "fleet/devicefields.h"
#include "fleet/history/sshtoggles.h"
#include "testfiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

namespace {
TDeviceRecord device(const QString &ip, quint64 mac, const QByteArray &name, const QByteArray &type)
{
    TDeviceRecord d;
    d.IpText = ip;
    d.Mac = mac;
    d.Transport = TransportUdp;
    d.Params.set(Wire::Param::Name, name);
    d.Params.set(Wire::Param::TypeText, type);
    d.Params.set(Wire::Param::SubnetMask, qint64(0xFFFE0000));
    return d;
}

template<typename Result>
QString problemOf(const Result &result)
{
    const QString *problem = std::get_if<QString>(&result);
    return problem ? *problem : QString();
}

// Three devices as a scan lists them; two share a name.
QList<TDeviceRecord> scanned()
{
    return {device(QStringLiteral("198.18.1.1"), 0x0050C2025CC1, "Gate, \"east\"", "Palimor P4"),
            device(QStringLiteral("198.18.1.2"), 0x001A2BA0943A, "Pump", "Palimor P3"),
            device(QStringLiteral("198.18.1.3"), 0x00E04C3ECBB3, "Pump", "XR-200 Gateway")};
}
} // namespace

class TestCli : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_image, m_empty, m_config, m_hugeConfig, m_list;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_image = WriteTestFileOrDie(m_dir.path(), QStringLiteral("image.bin"), RandomBytes(4096, 1));
        m_empty = WriteTestFileOrDie(m_dir.path(), QStringLiteral("empty.bin"), {});
        m_config = WriteTestFileOrDie(m_dir.path(), QStringLiteral("site.cfg"), "[device]\r\nname=x\r\n");
        m_list = WriteTestFileOrDie(m_dir.path(), QStringLiteral("list.txt"), "198.18.1.1\n# spare\n\n198.18.1.2\n");
        m_hugeConfig = m_dir.filePath(QStringLiteral("huge.cfg"));
        QFile huge(m_hugeConfig);
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(qint64(MaxConfigTextSize) + 1));
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("canAsk");
        QTest::addColumn<QString>("error"); // a part of the usage error; empty when the line is good

        auto row = [](const char *name, QStringList arguments, bool canAsk, const QString &error) {
            QTest::newRow(name) << arguments << canAsk << error;
        };
        const QString image = QStringLiteral("@image"), empty = QStringLiteral("@empty"), config = QStringLiteral("@config");
        row("scan", {u"scan"_qs, u"--json"_qs, u"--wait"_qs, u"1.5"_qs}, false, {});
        row("upgrade with --yes", {u"upgrade-controller"_qs, u"198.18.1.1"_qs, image, u"--yes"_qs}, false, {});
        row("upgrade asked on a terminal", {u"upgrade-controller"_qs, u"--all"_qs, image}, true, {});
        row("ssh by MAC and name", {u"ssh"_qs, u"00:1a:2b:a0:94:3a"_qs, u"Pump"_qs, u"-y"_qs}, false, {});
        row("command by kebab name", {u"command"_qs, u"198.18.1.1"_qs, u"start-ftp-server"_qs, u"--yes"_qs}, false, {});
        row("reset asked on a terminal", {u"reset"_qs, u"--all"_qs}, true, {});
        row("dry run needs no --yes", {u"reset"_qs, u"--all"_qs, u"--dry-run"_qs}, false, {});
        row("dry run of an upgrade", {u"upgrade-controller"_qs, u"--all"_qs, image, u"--dry-run"_qs, u"--json"_qs}, false, {});
        row("jobs, short", {u"config"_qs, u"get"_qs, u"--all"_qs, u"-j"_qs, u"8"_qs, u"-o"_qs, m_dir.path()}, false, {});
        row("reply timeout", {u"diag"_qs, u"198.18.1.1"_qs, u"--timeout"_qs, u"2.5"_qs}, false, {});
        row("scan expecting devices", {u"scan"_qs, u"--expect"_qs, u"3"_qs}, false, {});
        row("config get of several into a folder", {u"config"_qs, u"get"_qs, u"--all"_qs, u"-o"_qs, m_dir.path()}, false, {});
        row("from a list", {u"reset"_qs, u"--from"_qs, u"@list"_qs, u"--yes"_qs}, false, {});
        row("history", {u"history"_qs}, false, {});
        row("history of the unfinished, as JSON", {u"history"_qs, u"--unfinished"_qs, u"--json"_qs}, false, {});

        row("no verb", {}, false, u"No verb"_qs);
        row("unknown verb", {u"flash"_qs}, false, u"Unknown verb 'flash'"_qs);
        row("config without its verb", {u"config"_qs}, false, u"Unknown verb 'config'"_qs);
        row("unknown option", {u"scan"_qs, u"--fast"_qs}, false, u"fast"_qs);
        row("option of another verb", {u"ssh"_qs, u"198.18.1.1"_qs, u"--csv"_qs}, false, u"does not take --csv"_qs);
        row("json and csv", {u"scan"_qs, u"--json"_qs, u"--csv"_qs}, false, u"one of --json and --csv"_qs);
        row("bad address", {u"reset"_qs, u"198.18.1.256"_qs}, false, u"not an IPv4 address"_qs);
        row("short address", {u"reset"_qs, u"198.18.1"_qs}, false, u"not an IPv4 address"_qs);
        row("bad MAC", {u"reset"_qs, u"00:1a:2b:3c:4d"_qs}, false, u"not a MAC address"_qs);
        row("no device", {u"reset"_qs}, false, u"needs a device"_qs);
        row("jobs zero", {u"reset"_qs, u"--all"_qs, u"--jobs"_qs, u"0"_qs}, false, u"--jobs"_qs);
        row("wait negative", {u"scan"_qs, u"--wait"_qs, u"-1"_qs}, false, u"--wait"_qs);
        row("no image", {u"upgrade-board"_qs, u"198.18.1.1"_qs}, false, u"needs its FILE"_qs);
        row("missing image", {u"upgrade-board"_qs, u"198.18.1.1"_qs, u"/no/such.bin"_qs, u"-y"_qs}, false, u"does not exist"_qs);
        row("empty image", {u"upgrade-board"_qs, u"198.18.1.1"_qs, empty, u"-y"_qs}, false, u"is empty"_qs);
        row("folder as image", {u"upgrade-board"_qs, u"198.18.1.1"_qs, m_dir.path(), u"-y"_qs}, false, u"not a file"_qs);
        row("empty controller image", {u"upgrade-controller"_qs, u"198.18.1.1"_qs, empty, u"-y"_qs}, false, u"empty"_qs);
        row("configuration too long", {u"config"_qs, u"put"_qs, u"198.18.1.1"_qs, u"@huge"_qs, u"-y"_qs}, false,
            ConfigTooLongMessage(qsizetype(MaxConfigTextSize) + 1));
        row("no terminal, no --yes", {u"config"_qs, u"put"_qs, u"198.18.1.1"_qs, config}, false, u"--yes"_qs);
        row("reset, no terminal, no --yes", {u"reset"_qs, u"--all"_qs}, false, u"--yes"_qs);
        row("ssh, no terminal, no --yes", {u"ssh"_qs, u"198.18.1.1"_qs}, false, u"--yes"_qs);
        row("command, no terminal, no --yes", {u"command"_qs, u"198.18.1.1"_qs, u"StopFtpServer"_qs}, false, u"--yes"_qs);
        row("logs erase, no terminal, no --yes", {u"logs"_qs, u"erase"_qs, u"198.18.1.1"_qs}, false, u"--yes"_qs);
        row("dry run of a reading verb", {u"diag"_qs, u"198.18.1.1"_qs, u"--dry-run"_qs}, false, u"does not take --dry-run"_qs);
        row("timeout zero", {u"diag"_qs, u"198.18.1.1"_qs, u"--timeout"_qs, u"0"_qs}, false, u"--timeout"_qs);
        row("expect nothing", {u"scan"_qs, u"--expect"_qs, u"none"_qs}, false, u"--expect"_qs);
        row("unknown command", {u"command"_qs, u"198.18.1.1"_qs, u"Discover"_qs}, false, u"Unknown command"_qs);
        row("json text without -o", {u"diag"_qs, u"198.18.1.1"_qs, u"--json"_qs}, false, u"--json needs -o"_qs);
        row("several without -o", {u"logs"_qs, u"get"_qs, u"--all"_qs}, false, u"needs -o FOLDER"_qs);
        row("several into a file", {u"config"_qs, u"get"_qs, u"--all"_qs, u"-o"_qs, config}, false, u"is a file"_qs);
        row("search by name", {u"search"_qs, u"Pump"_qs}, false, u"one IPv4 address"_qs);
        row("missing list", {u"reset"_qs, u"--from"_qs, u"/no/list"_qs}, false, u"does not exist"_qs);
        row("empty list", {u"reset"_qs, u"--from"_qs, empty}, false, u"is empty"_qs);
        row("history of a device", {u"history"_qs, u"198.18.1.1"_qs}, false, u"takes no device"_qs);
        row("unfinished without history", {u"scan"_qs, u"--unfinished"_qs}, false, u"does not take --unfinished"_qs);
        row("downgrade of a single upgrade", {u"upgrade-board"_qs, u"198.18.1.1"_qs, u"@image"_qs, u"-y"_qs, u"--allow-downgrade"_qs},
            false, u"does not take --allow-downgrade"_qs);
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, canAsk);
        QFETCH(QString, error);
        const QHash<QString, QString> files{{u"@image"_qs, m_image}, {u"@empty"_qs, m_empty}, {u"@config"_qs, m_config},
                                            {u"@huge"_qs, m_hugeConfig}, {u"@list"_qs, m_list}};
        for (QString &argument : arguments)
            argument = files.value(argument, argument);

        const TParsedCommandLine parsed = ParseCommandLine(arguments, {canAsk, {}});
        if (error.isEmpty()) {
            QVERIFY2(parsed.request, qPrintable(parsed.error));
            QVERIFY(parsed.error.isEmpty());
        } else {
            QVERIFY(!parsed.request);
            QVERIFY2(parsed.error.contains(error), qPrintable(parsed.error));
        }
    }

    // The exit status of a line that cannot run: 2 when the line is at fault, 3 when a file it
    // names cannot be read; nothing is sent either way.
    void errorStatus_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::newRow("unknown option") << QStringList{u"scan"_qs, u"--fast"_qs} << 2;
        QTest::newRow("changing verb without --yes") << QStringList{u"reset"_qs, u"198.18.1.1"_qs} << 2;
        QTest::newRow("empty image") << QStringList{u"upgrade-board"_qs, u"198.18.1.1"_qs, u"@empty"_qs, u"-y"_qs} << 2;
        QTest::newRow("missing image") << QStringList{u"upgrade-board"_qs, u"198.18.1.1"_qs, u"/no/such.bin"_qs, u"-y"_qs} << 3;
        QTest::newRow("unreadable image") << QStringList{u"upgrade-board"_qs, u"198.18.1.1"_qs, u"@locked"_qs, u"-y"_qs} << 3;
        QTest::newRow("missing list") << QStringList{u"diag"_qs, u"--from"_qs, u"/no/list"_qs} << 3;
        QTest::newRow("unreadable list") << QStringList{u"diag"_qs, u"--from"_qs, u"@locked"_qs} << 3;
    }

    void errorStatus()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        const QString locked = WriteTestFileOrDie(m_dir.path(), QStringLiteral("locked.bin"), "198.18.1.1\n");
        QVERIFY(QFile::setPermissions(locked, QFileDevice::Permissions()));
        if (arguments.contains(u"@locked"_qs) && QFileInfo(locked).isReadable())
            QSKIP("running as a user that reads every file");
        for (QString &argument : arguments)
            argument = argument == u"@empty" ? m_empty : argument == u"@locked" ? locked : argument;
        const TParsedCommandLine parsed = ParseCommandLine(arguments, {false, {}});
        QVERIFY(!parsed.request);
        QVERIFY(!parsed.error.isEmpty());
        QCOMPARE(parsed.errorStatus, status);
    }

    // --range and --rate: read with the line, a range that cannot be swept is a usage error.
    void sweepOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error"); // empty: accepted
        QTest::addColumn<quint64>("addresses");
        QTest::addColumn<int>("rate");
        QTest::newRow("scan a network") << QStringList{u"scan"_qs, u"--range"_qs, u"198.51.100.128/25"_qs} << QString()
                                        << quint64(126) << 2000;
        QTest::newRow("several, a rate") << QStringList{u"scan"_qs, u"--range"_qs, u"10.9.0.1-10"_qs, u"--range"_qs,
                                                        u"10.9.1.1,10.9.1.2"_qs, u"--rate"_qs, u"500"_qs}
                                         << QString() << quint64(12) << 500;
        QTest::newRow("info --all behind a router") << QStringList{u"info"_qs, u"--all"_qs, u"--range"_qs, u"10.9.0.0/24"_qs}
                                                    << QString() << quint64(254) << 2000;
        QTest::newRow("larger than /16") << QStringList{u"scan"_qs, u"--range"_qs, u"10.0.0.0/8"_qs}
                                         << u"--range: 10.0.0.0/8 holds 16,777,216 addresses"_qs << quint64(0) << 0;
        QTest::newRow("broadcast") << QStringList{u"scan"_qs, u"--range"_qs, u"255.255.255.255"_qs}
                                   << u"broadcast address of every segment. Nothing was sent."_qs << quint64(0) << 0;
        QTest::newRow("rate 0") << QStringList{u"scan"_qs, u"--range"_qs, u"10.9.0.1"_qs, u"--rate"_qs, u"0"_qs}
                                << u"--rate takes requests per second from 1 to 100000"_qs << quint64(0) << 0;
        QTest::newRow("rate without a range") << QStringList{u"scan"_qs, u"--rate"_qs, u"100"_qs}
                                              << u"give the ranges with --range"_qs << quint64(0) << 0;
        QTest::newRow("doctor does not sweep") << QStringList{u"doctor"_qs, u"--range"_qs, u"10.9.0.1"_qs}
                                               << u"'doctor' does not take --range"_qs << quint64(0) << 0;
    }
    void sweepOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        QFETCH(quint64, addresses);
        QFETCH(int, rate);
        const TParsedCommandLine parsed = ParseCommandLine(arguments, {false, {}});
        if (!error.isEmpty()) {
            QVERIFY(!parsed.request);
            QVERIFY2(parsed.error.contains(error), qPrintable(parsed.error));
            QCOMPARE(parsed.errorStatus, 2);
            return;
        }
        QVERIFY2(parsed.request, qPrintable(parsed.error));
        QCOMPARE(AddressCount(MergedRanges(parsed.request->sweep.ranges)), addresses);
        QCOMPARE(parsed.request->sweep.rate, rate);
    }

    // --from - reads the same formats as a file, from standard input.
    void targetsFromStandardInput_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("expected"); // empty: a usage error
        QTest::newRow("lines") << QByteArray("198.18.1.1\n# spare\n198.18.1.2\n")
                               << QStringList{u"198.18.1.1"_qs, u"198.18.1.2"_qs};
        QTest::newRow("json lines") << QByteArray("{\"ip\":\"198.18.1.3\",\"transport\":\"tcp\"}\n")
                                    << QStringList{u"198.18.1.3"_qs};
        QTest::newRow("csv") << QByteArray("name,ip\nPump,198.18.1.2\n") << QStringList{u"198.18.1.2"_qs};
        QTest::newRow("nothing") << QByteArray() << QStringList{};
    }

    void targetsFromStandardInput()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, expected);
        const TParsedCommandLine parsed
            = ParseCommandLine({u"diag"_qs, u"--from"_qs, u"-"_qs, u"-o"_qs, m_dir.path()}, {false, [input] { return input; }});
        if (expected.isEmpty()) {
            QVERIFY(!parsed.request);
            QCOMPARE(parsed.errorStatus, 2);
            return;
        }
        QVERIFY2(parsed.request, qPrintable(parsed.error));
        QStringList ips;
        for (const TNamedTarget &target : parsed.request->targets)
            ips << target.text;
        QCOMPARE(ips, expected);
    }

    // --timeout is the wait for each reply of an operation; without it the waits are the window's.
    void replyTimeout_data()
    {
        QTest::addColumn<QStringList>("timeout");
        QTest::addColumn<int>("replyMs");
        QTest::newRow("default") << QStringList{} << TOperationTiming{}.bus.baseTimeoutMs;
        QTest::newRow("2.5 s") << QStringList{u"--timeout"_qs, u"2.5"_qs} << 2500;
        QTest::newRow("a tenth") << QStringList{u"--timeout"_qs, u"0.1"_qs} << 100;
    }

    void replyTimeout()
    {
        QFETCH(QStringList, timeout);
        QFETCH(int, replyMs);
        const TParsedCommandLine parsed = ParseCommandLine(QStringList{u"diag"_qs, u"198.18.1.1"_qs} + timeout, {false, {}});
        QVERIFY2(parsed.request, qPrintable(parsed.error));
        const TOperationTiming timing = OperationTiming(*parsed.request);
        QCOMPARE(timing.bus.baseTimeoutMs, replyMs);
        // Only the reply wait changes.
        QCOMPARE(timing.settleMs, TOperationTiming{}.settleMs);
        QCOMPARE(timing.bus.commandPauseMs, TOperationTiming{}.bus.commandPauseMs);
    }

    // What a device's read is saved as: its MAC address, and its address too when another device of
    // the run answered with the same MAC address (cloned boards never overwrite each other's file).
    void fileStems()
    {
        const TDeviceRecord first = device(u"198.18.1.2"_qs, 0x0050C2025CC1, "Twin A", "Palimor P4");
        const TDeviceRecord second = device(u"198.18.1.7"_qs, 0x0050C2025CC1, "Twin B", "Palimor P4");
        const TDeviceRecord other = device(u"198.18.1.3"_qs, 0x0050C2025CC3, "Pump", "Palimor P4");
        const QList<TCliDevice> devices{{{first.IpText, TransportUdp}, first},
                                        {{second.IpText, TransportUdp}, second},
                                        {{other.IpText, TransportUdp}, other},
                                        {{u"198.18.1.9"_qs, TransportUdp}, std::nullopt}};
        const QSet<quint64> shared = SharedMacs(devices);
        QStringList stems;
        for (const TCliDevice &d : devices)
            stems << d.fileStem(d.record && shared.contains(d.record->Mac));
        QCOMPARE(stems, (QStringList{u"00-50-C2-02-5C-C1_198.18.1.2"_qs, u"00-50-C2-02-5C-C1_198.18.1.7"_qs,
                                     u"00-50-C2-02-5C-C3"_qs, u"198.18.1.9"_qs}));
    }

    // apply brings a device newer than the library back only when asked.
    void allowDowngrade_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("apply") << QStringList{u"apply"_qs, u"--all"_qs, u"--yes"_qs} << false;
        QTest::newRow("apply --allow-downgrade") << QStringList{u"apply"_qs, u"--all"_qs, u"--yes"_qs, u"--allow-downgrade"_qs} << true;
        QTest::newRow("plan --allow-downgrade") << QStringList{u"plan"_qs, u"--all"_qs, u"--allow-downgrade"_qs} << true;
    }

    void allowDowngrade()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, allowed);
        arguments << u"--library"_qs << m_dir.path(); // a folder without a manifest: an empty library
        const TParsedCommandLine parsed = ParseCommandLine(arguments, {false, {}});
        QVERIFY2(parsed.request, qPrintable(parsed.error));
        QCOMPARE(parsed.request->library.allowDowngrade, allowed);
    }

    // A command meant for one device is refused for an address that reaches a whole network,
    // typed or read from a --from file, before anything (the scan included) is sent.
    void oneDeviceTargets_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("standardInput");
        QTest::addColumn<QString>("problem"); // a part of it; empty: allowed
        QTest::newRow("ssh to every segment") << QStringList{u"ssh"_qs, u"255.255.255.255"_qs, u"--yes"_qs} << QByteArray()
                                              << u"255.255.255.255 is the broadcast address of every segment"_qs;
        QTest::newRow("reset the segment's broadcast")
            << QStringList{u"reset"_qs, u"198.18.255.255"_qs, u"--yes"_qs} << QByteArray() << u"broadcast address of 198.18.0.0/16"_qs;
        QTest::newRow("a routed network's address")
            << QStringList{u"reset"_qs, u"198.19.0.0"_qs, u"--yes"_qs} << QByteArray() << u"network address of 198.19.0.0/16"_qs;
        QTest::newRow("multicast")
            << QStringList{u"logs"_qs, u"erase"_qs, u"224.0.0.1"_qs, u"--yes"_qs} << QByteArray() << u"multicast"_qs;
        QTest::newRow("in a --from file") << QStringList{u"reset"_qs, u"--from"_qs, u"-"_qs, u"--yes"_qs}
                                          << QByteArray("198.18.1.5\n255.255.255.255\n") << u"every segment"_qs;
        QTest::newRow("a device") << QStringList{u"reset"_qs, u"198.18.1.5"_qs, u"--yes"_qs} << QByteArray() << QString();
        QTest::newRow("a read sends nothing that changes") << QStringList{u"info"_qs, u"255.255.255.255"_qs} << QByteArray() << QString();
    }

    void oneDeviceTargets()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, standardInput);
        QFETCH(QString, problem);
        const TParsedCommandLine parsed = ParseCommandLine(arguments, {false, [standardInput] { return standardInput; }});
        QVERIFY2(parsed.request, qPrintable(parsed.error));
        TSweepContext lab;
        lab.ownAddresses = {TextToIp(u"198.18.0.1"_qs)};
        lab.knownSubnets = {{TextToIp(u"198.18.0.0"_qs), 16}, {TextToIp(u"198.19.0.0"_qs), 16}};
        const QString found = OneDeviceTargetProblem(*parsed.request, lab);
        if (problem.isEmpty())
            QCOMPARE(found, QString());
        else
            QVERIFY2(found.contains(problem), qPrintable(found));
    }

    // What a device sends is shown, never obeyed: a terminal gets its control characters escaped.
    void controlsEscaped_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("plain") << u"Pump 3"_qs << u"Pump 3"_qs;
        QTest::newRow("escape sequence") << u"\x1b[2Jgate"_qs << u"\\x1b[2Jgate"_qs;
        QTest::newRow("line ends") << u"a\r\nb"_qs << u"a\\x0d\\x0ab"_qs;
        QTest::newRow("delete and C1") << QString(u"x\x7f\u009by"_qs) << u"x\\x7f\\x9by"_qs;
        QTest::newRow("backslash stays readable") << u"a\\x1b"_qs << u"a\\\\x1b"_qs;
        QTest::newRow("accents") << u"Chaufferie été"_qs << u"Chaufferie été"_qs;
    }

    void controlsEscaped()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QCOMPARE(EscapeControls(text), shown);
        TDeviceRecord named = device(u"198.18.1.9"_qs, 0x0050C2025CC9, text.toUtf8(), "Palimor P4");
        const QString table = DeviceTable({named});
        QVERIFY2(table.contains(shown), qPrintable(table));
        for (const QChar c : table)
            QVERIFY(c == QLatin1Char('\n') || c.unicode() >= 0x20);
        // The same name in a prompt's or a failure's line, and in a "Did you mean" of a typo.
        const TCliDevice listed{{named.IpText, TransportUdp}, named};
        QCOMPARE(listed.label(), text == u"Pump 3"_qs ? u"198.18.1.9 (Pump 3)"_qs : u"198.18.1.9 (%1)"_qs.arg(shown));
        TCliRequest request;
        request.targets << TNamedTarget{TNamedTarget::Kind::Name, text + u"x"_qs, 0, std::nullopt};
        const auto resolved = ResolveTargets(request, {named});
        QVERIFY(std::holds_alternative<QString>(resolved));
        for (const QString &line : {TerminalText(std::get<QString>(resolved)), TerminalText(listed.label() + u": failed\n"_qs)})
            for (const QChar c : line)
                QVERIFY2(c == QLatin1Char('\n') || (c.unicode() >= 0x20 && c.unicode() != 0x7f && (c.unicode() < 0x80 || c.unicode() >= 0xa0)),
                         qPrintable(line));
        QCOMPARE(TerminalText(EscapeControls(text)), EscapeControls(text)); // an escaped text stays as it is
    }

    // An outcome in JSON: one line per message, the MAC address in its canonical form, the failure
    // named by the verb's own step.
    void outcomeJson_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("windowMessage");
        QTest::addColumn<QString>("message");
        QTest::newRow("two lines") << u"Controller reset"_qs << u"Reset failed.\r\nCheck the cable."_qs
                                   << u"Reset failed.; Check the cable."_qs;
        QTest::newRow("erase logs") << u"Erase logs"_qs << u"Read Config Failed"_qs << u"Erase Logs Failed"_qs;
        QTest::newRow("read logs") << u"Read logs"_qs << u"Read Config Failed"_qs << u"Read Logs Failed"_qs;
        QTest::newRow("read configuration") << u"Read configuration"_qs << u"Read Config Failed"_qs
                                            << u"Read Config Failed"_qs;
    }

    void outcomeJson()
    {
        QFETCH(QString, operation);
        QFETCH(QString, windowMessage);
        QFETCH(QString, message);
        TCliResult result;
        result.device = {{u"198.18.1.1"_qs, TransportUdp}, scanned().first()};
        result.operation = operation;
        result.outcome.message = windowMessage;
        const QJsonObject object = ResultJson(result, u"logs erase"_qs);
        QCOMPARE(object.value(u"message"_qs).toString(), message);
        QCOMPARE(object.value(u"mac"_qs).toString(), u"00:50:c2:02:5c:c1"_qs);
        QCOMPARE(object.value(u"result"_qs).toString(), u"failed"_qs);
        // The window keeps its own text.
        QCOMPARE(result.outcome.message, windowMessage);
    }

    // What the job says of a device's item, as the outcome line tells it: an upgrade the device did
    // not confirm is no success, an image refused is the file's fault, an item never started says so.
    void jobItemOutcome_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<TOperationOutcome>("outcome");
        QTest::addColumn<QString>("jobMessage");
        QTest::addColumn<bool>("warning");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("notes");
        TOperationOutcome succeeded;
        succeeded.succeeded = true;
        TOperationOutcome refused;
        refused.kind = TOperationError::FileError;
        refused.message = u"board.bin is a board image of the library: not for a controller"_qs;
        TOperationOutcome stopped;
        stopped.cancelled = true;
        stopped.kind = TOperationError::Cancelled;
        stopped.message = u"Cancelled at Writing Code"_qs;
        const QString same = u"The board answers with the same firmware as before"_qs;
        const QString silent = u"Did not answer again in time"_qs;
        QTest::newRow("done") << int(TJobItemStatus::Done) << succeeded << QString() << false << u"succeeded"_qs
                              << QString() << QString() << QStringList{};
        QTest::newRow("done, same firmware") << int(TJobItemStatus::Done) << succeeded << same << true << u"succeeded"_qs
                                             << QString() << QString() << QStringList{same};
        QTest::newRow("upgraded, not seen again") << int(TJobItemStatus::Unconfirmed) << succeeded << silent << false
                                                  << u"failed"_qs << u"notResponding"_qs << silent << QStringList{};
        QTest::newRow("image refused") << int(TJobItemStatus::Failed) << refused << refused.message << false << u"failed"_qs
                                       << u"fileError"_qs << refused.message << QStringList{};
        QTest::newRow("never started") << int(TJobItemStatus::Cancelled) << TOperationOutcome{} << QString() << false
                                       << u"cancelled"_qs << u"cancelled"_qs << u"Not started: interrupted."_qs << QStringList{};
        QTest::newRow("stopped on its way") << int(TJobItemStatus::Cancelled) << stopped << QString() << false
                                            << u"cancelled"_qs << u"cancelled"_qs << stopped.message << QStringList{};
        QTest::newRow("busy") << int(TJobItemStatus::Busy) << TOperationOutcome{} << u"198.18.1.1 is busy: Read logs"_qs
                              << false << u"busy"_qs << u"busy"_qs << u"198.18.1.1 is busy: Read logs"_qs << QStringList{};
    }

    void jobItemOutcome()
    {
        QFETCH(int, state);
        QFETCH(TOperationOutcome, outcome);
        QFETCH(QString, jobMessage);
        QFETCH(bool, warning);
        QFETCH(QString, result);
        QFETCH(QString, error);
        QFETCH(QString, message);
        QFETCH(QStringList, notes);
        TJobItemStatus status;
        status.state = TJobItemStatus::State(state);
        status.outcome = outcome;
        status.message = jobMessage;
        status.warning = warning;
        const TCliDevice gate{{u"198.18.1.1"_qs, TransportUdp}, scanned().first()};
        const QJsonObject object = ResultJson(JobItemResult(status, gate, u"Controller upgrade"_qs), u"upgrade-controller"_qs);
        QCOMPARE(object.value(u"result"_qs).toString(), result);
        QCOMPARE(object.value(u"error"_qs).toString(), error);
        QCOMPARE(object.value(u"error"_qs).isNull(), error.isEmpty());
        QCOMPARE(object.value(u"message"_qs).toString(), message);
        QStringList told;
        for (const QJsonValue &note : object.value(u"notes"_qs).toArray())
            told << note.toString();
        QCOMPARE(told, notes);
    }

    void macAddressInFilesIsCanonical()
    {
        const TDeviceRecord gate = scanned().first();
        QCOMPARE(DeviceJson(gate).value(u"mac"_qs).toString(), u"00:50:c2:02:5c:c1"_qs);
        QVERIFY(DeviceCsvLine(gate).contains(u",00:50:c2:02:5c:c1,"_qs));
        // The list's own text is unchanged.
        QCOMPARE(MacText(gate.Mac), u"00.50.C2.02.5C.C1"_qs);
    }

    // What the program writes, kept as reference files: a renamed key, a changed word or a moved
    // column fails here whatever the program's own tables say. TARVINO_WRITE_GOLDEN=1 rewrites
    // them (then read the difference before committing it).
    void goldenOutput_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("produced");
        const QList<TDeviceRecord> devices = scanned();
        const TCliDevice gate{{devices.at(0).IpText, TransportUdp}, devices.at(0)};
        const TCliDevice unknown{{u"198.18.1.9"_qs, TransportTcp}, std::nullopt};
        const QString sha = QString(64, u'a');

        auto succeeded = [&](const QString &operation) {
            TCliResult result;
            result.device = gate;
            result.operation = operation;
            result.outcome.succeeded = true;
            return result;
        };
        auto failed = [&](const QString &operation, const QString &message, const QString &step, TOperationError kind) {
            TCliResult result;
            result.device = unknown;
            result.operation = operation;
            result.outcome.message = message;
            result.outcome.failedStep = step;
            result.outcome.kind = kind;
            return result;
        };
        struct VerbCase
        {
            const char *file;
            const char *verb;
            TCliResult success;
            TCliResult failure;
        };
        TCliResult upgraded = succeeded(u"Controller upgrade"_qs);
        upgraded.file = u"controller.bin"_qs;
        upgraded.bytes = 4096;
        upgraded.sha256 = sha;
        TCliResult boardUpgraded = succeeded(u"Communication board upgrade"_qs);
        boardUpgraded.file = u"board.bin"_qs;
        boardUpgraded.bytes = 2048;
        boardUpgraded.sha256 = sha;
        TCliResult read = succeeded(u"Read configuration"_qs);
        read.file = u"backups/00-50-C2-02-5C-C1.cfg"_qs;
        read.bytes = 120;
        read.sha256 = sha;
        TCliResult switched = succeeded(u"DropBear"_qs);
        switched.attempts = 2;
        TCliResult notStored = succeeded(u"Read diagnostics"_qs);
        notStored.saveError = u"Cannot write standard output: No space left on device"_qs;
        TCliResult busy = failed(u"Controller reset"_qs, u"198.18.1.9 is busy: Controller upgrade (63 %)"_qs, {},
                                 TOperationError::Busy);
        TCliResult interrupted = failed(u"Erase logs"_qs, u"Not started: interrupted."_qs, {}, TOperationError::Cancelled);
        interrupted.outcome.cancelled = true;
        const QList<VerbCase> cases{
            {"ssh", "ssh", switched, failed(u"DropBear"_qs, u"No reply to the DropBear switch.\r\nCheck the cable."_qs,
                                            u"Switch"_qs, TOperationError::NotResponding)},
            {"upgrade-controller", "upgrade-controller", upgraded,
             failed(u"Controller upgrade"_qs, u"Device not responding: Writing Code"_qs, u"Writing Code"_qs,
                    TOperationError::NotResponding)},
            {"upgrade-board", "upgrade-board", boardUpgraded,
             failed(u"Communication board upgrade"_qs, u"Upload failed"_qs, u"Upload"_qs, TOperationError::TransferFailed)},
            {"config-get", "config get", read,
             failed(u"Read configuration"_qs, u"Read Config Failed"_qs, u"Reading"_qs, TOperationError::NotResponding)},
            {"config-put", "config put", succeeded(u"Write configuration"_qs),
             failed(u"Write configuration"_qs, u"Write Config Failed"_qs, u"Verify"_qs, TOperationError::VerifyFailed)},
            {"diag", "diag", succeeded(u"Read diagnostics"_qs), notStored},
            {"logs-get", "logs get", succeeded(u"Read logs"_qs),
             failed(u"Read logs"_qs, u"Read Config Failed"_qs, u"Reading"_qs, TOperationError::NotResponding)},
            {"logs-erase", "logs erase", succeeded(u"Erase logs"_qs),
             failed(u"Erase logs"_qs, u"Read Config Failed"_qs, u"Erasing"_qs, TOperationError::NotResponding)},
            {"reset", "reset", succeeded(u"Controller reset"_qs), busy},
            {"command", "command", succeeded(u"StartFtpServer"_qs), interrupted},
        };
        QList<TCliResult> all;
        for (const VerbCase &c : cases) {
            QTest::newRow(c.file) << QStringLiteral("%1.json").arg(QLatin1String(c.file))
                                  << CliJsonLine(ResultJson(c.success, QLatin1String(c.verb)))
                                         + CliJsonLine(ResultJson(c.failure, QLatin1String(c.verb)));
            all << c.success << c.failure;
        }
        QTest::newRow("results table") << u"results.txt"_qs << ResultTable(all);
        QString deviceLines;
        for (const TDeviceRecord &d : devices)
            deviceLines += CliJsonLine(DeviceJson(d));
        QTest::newRow("devices json") << u"devices.json"_qs << deviceLines;
        QTest::newRow("devices table") << u"devices.txt"_qs << DeviceTable(devices);
        QTest::newRow("device details") << u"info.txt"_qs << DeviceDetails(devices.at(0));
        QString csv = DeviceCsvHeader() + u"\n"_qs;
        for (const TDeviceRecord &d : devices)
            csv += DeviceCsvLine(d) + u"\n"_qs;
        QTest::newRow("devices csv") << u"devices.csv"_qs << csv;
        TCliRequest reset;
        reset.verb = &VerbInfo(Verb::Reset);
        TCliRequest upgrade;
        upgrade.verb = &VerbInfo(Verb::UpgradeController);
        QTest::newRow("dry run json") << u"dry-run.json"_qs
                                      << CliJsonLine(PlanJson(gate, u"upgrade-controller"_qs, ActionText(upgrade), u"controller.bin"_qs))
                                             + CliJsonLine(PlanJson(unknown, u"upgrade-controller"_qs, ActionText(upgrade), u"controller.bin"_qs));
        QTest::newRow("dry run table") << u"dry-run.txt"_qs << PlanTable({gate, unknown}, ActionText(reset));
    }

    void goldenOutput()
    {
        QFETCH(QString, file);
        QFETCH(QString, produced);
        const QString path = QStringLiteral(TARVINO_CLI_GOLDEN_DIR "/") + file;
        if (qEnvironmentVariableIsSet("TARVINO_WRITE_GOLDEN")) {
            QFile out(path);
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(produced.toUtf8()) >= 0);
            QSKIP("written");
        }
        QFile reference(path);
        QVERIFY2(reference.open(QIODevice::ReadOnly), qPrintable(path));
        const QString expected = QString::fromUtf8(reference.readAll());
        // Line by line, so that a failure shows the line that differs.
        const QStringList producedLines = produced.split(u'\n'), expectedLines = expected.split(u'\n');
        for (qsizetype i = 0; i < std::min(producedLines.size(), expectedLines.size()); ++i)
            QCOMPARE(producedLines.at(i), expectedLines.at(i));
        QCOMPARE(producedLines.size(), expectedLines.size());
    }

    // The shell completions offer every verb and every option that the help lists.
    void completionKnowsEveryVerbAndOption_data()
    {
        QTest::addColumn<QString>("script");
        QTest::newRow("bash") << QStringLiteral(TARVINO_COMPLETION_DIR "/tarvino-cli.bash");
        QTest::newRow("zsh") << QStringLiteral(TARVINO_COMPLETION_DIR "/_tarvino-cli");
    }

    void completionKnowsEveryVerbAndOption()
    {
        QFETCH(QString, script);
        QFile file(script);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(script));
        const QString text = QString::fromUtf8(file.readAll());
        for (const TVerbInfo &verb : Verbs())
            for (const QString &word : QString::fromLatin1(verb.name).split(u' '))
                QVERIFY2(text.contains(QRegularExpression(u"\\b"_qs + QRegularExpression::escape(word) + u"\\b"_qs)),
                         qPrintable(word));
        static const QRegularExpression option(u"--[a-z][a-z-]+"_qs);
        QStringList options;
        for (const TVerbInfo &verb : Verbs())
            for (const QRegularExpressionMatch &match : option.globalMatch(VerbHelpText(verb)))
                if (!options.contains(match.captured()))
                    options << match.captured();
        QVERIFY(options.size() >= 15);
        for (const QString &name : std::as_const(options))
            QVERIFY2(text.contains(name), qPrintable(name));
    }

    // history --unfinished: the operations whose "started" line no end follows, as a table or as
    // one JSON object per line; the whole history without it.
    void historyOfTheUnfinished_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("lines"); // what each line of the output holds, in order
        QTest::newRow("table") << QStringList{u"history"_qs, u"--unfinished"_qs}
                               << QStringList{u"Started"_qs, u"198.18.1.7  00.50.C2.02.5C.C1  Controller upgrade"_qs};
        QTest::newRow("json") << QStringList{u"history"_qs, u"--unfinished"_qs, u"--json"_qs}
                              << QStringList{u"\"ip\":\"198.18.1.7\""_qs};
        QTest::newRow("whole history") << QStringList{u"history"_qs}
                                       << QStringList{u"When"_qs, u"198.18.1.5"_qs, u"198.18.1.7"_qs, u"198.18.1.5"_qs,
                                                      u"198.18.1.6"_qs, u"198.18.1.6"_qs};
    }
    void historyOfTheUnfinished()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, lines);
        const TOperationJournal journal(m_dir.filePath(u"history-%1.jsonl"_qs.arg(QString::fromLatin1(QTest::currentDataTag()))));
        const QDateTime start(QDate(2026, 12, 8), QTime(14, 2));
        auto line = [&](const QString &ip, const QString &outcome, const QString &id, int minute) {
            TJournalEntry entry;
            entry.when = start.addSecs(60 * minute);
            entry.ip = ip;
            entry.mac = ip.endsWith(u'7') ? u"00.50.C2.02.5C.C1"_qs : QString();
            entry.operation = u"Controller upgrade"_qs;
            entry.fileSha256 = QString(64, u'c');
            entry.outcome = outcome;
            entry.id = id;
            QVERIFY(journal.append(entry));
        };
        line(u"198.18.1.5"_qs, u"started"_qs, u"a"_qs, 0);
        line(u"198.18.1.7"_qs, u"started"_qs, u"b"_qs, 1); // never ended: the program was killed
        line(u"198.18.1.5"_qs, u"succeeded"_qs, u"a"_qs, 2);
        line(u"198.18.1.6"_qs, u"started"_qs, u"c"_qs, 3);
        line(u"198.18.1.6"_qs, u"acknowledged"_qs, u"c"_qs, 4);
        const TParsedCommandLine parsed = ParseCommandLine(arguments, {false, {}});
        QVERIFY2(parsed.request, qPrintable(parsed.error));
        const QStringList output = HistoryText(*parsed.request, journal).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(output.size(), lines.size());
        for (int i = 0; i < lines.size(); ++i)
            QVERIFY2(output.at(i).contains(lines.at(i)), qPrintable(output.at(i)));
        if (!parsed.request->json)
            return;
        const QJsonObject object = QJsonDocument::fromJson(output.first().toUtf8()).object();
        QCOMPARE(object.value(u"format"_qs).toInt(), 1);
        QCOMPARE(object.value(u"schema"_qs).toInt(), 1); // as every line of --json
        QCOMPARE(object.value(u"id"_qs).toString(), u"b"_qs);
        QCOMPARE(object.value(u"operation"_qs).toString(), u"Controller upgrade"_qs);
        QCOMPARE(object.value(u"sha256"_qs).toString(), QString(64, u'c'));
        QCOMPARE(QDateTime::fromString(object.value(u"started"_qs).toString(), Qt::ISODateWithMs), start.addSecs(60));
        QVERIFY(object.value(u"message"_qs).toString().endsWith(u"never finished: the device may be left with its updater on"_qs));
    }

    void helpIsNotAnError()
    {
        for (const TVerbInfo &verb : Verbs()) {
            QStringList arguments = QString::fromLatin1(verb.name).split(QLatin1Char(' '));
            const TParsedCommandLine parsed = ParseCommandLine(arguments << u"--help"_qs, {false, {}});
            QVERIFY(!parsed.request && parsed.error.isEmpty());
            QVERIFY2(parsed.output.startsWith(QStringLiteral("Usage: tarvino-cli ") + QLatin1String(verb.name)),
                     qPrintable(parsed.output));
        }
    }

    void targetText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("kind"); // -1: an error
        QTest::addColumn<QString>("normalised");
        QTest::newRow("ip") << u" 198.18.1.7 "_qs << int(TNamedTarget::Kind::Ip) << u"198.18.1.7"_qs;
        QTest::newRow("ip with a fifth part") << u"198.18.1.7.1"_qs << -1 << QString();
        QTest::newRow("colons") << u"00:1a:2b:a0:94:3a"_qs << int(TNamedTarget::Kind::Mac) << u"00.1A.2B.A0.94.3A"_qs;
        QTest::newRow("dashes") << u"00-1A-2B-A0-94-3A"_qs << int(TNamedTarget::Kind::Mac) << u"00.1A.2B.A0.94.3A"_qs;
        QTest::newRow("dots, as the list shows") << u"00.1A.2B.A0.94.3A"_qs << int(TNamedTarget::Kind::Mac) << u"00.1A.2B.A0.94.3A"_qs;
        QTest::newRow("bare") << u"001a2ba0943a"_qs << int(TNamedTarget::Kind::Mac) << u"00.1A.2B.A0.94.3A"_qs;
        QTest::newRow("twelve decimal digits") << u"000000000000"_qs << int(TNamedTarget::Kind::Mac) << u"00.00.00.00.00.00"_qs;
        QTest::newRow("eleven digits") << u"00000000000"_qs << -1 << QString();
        QTest::newRow("mixed separators") << u"00:1a-2b:a0:94:3a"_qs << -1 << QString();
        QTest::newRow("seven pairs") << u"00:1a:2b:a0:94:3a:11"_qs << -1 << QString();
        QTest::newRow("name") << u"Chaufferie été 3"_qs << int(TNamedTarget::Kind::Name) << u"Chaufferie été 3"_qs;
        QTest::newRow("hex-like name") << u"cafe"_qs << int(TNamedTarget::Kind::Name) << u"cafe"_qs;
    }

    void targetText()
    {
        QFETCH(QString, text);
        QFETCH(int, kind);
        QFETCH(QString, normalised);
        const auto parsed = ParseTargetText(text);
        if (kind < 0) {
            QVERIFY(std::holds_alternative<QString>(parsed));
            return;
        }
        QVERIFY(std::holds_alternative<TNamedTarget>(parsed));
        QCOMPARE(int(std::get<TNamedTarget>(parsed).kind), kind);
        QCOMPARE(std::get<TNamedTarget>(parsed).text, normalised);
    }

    // What scan --csv and scan --json write names the same devices when read back with --from,
    // whatever the names hold.
    void scanOutputReadsBack_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QByteArray csv = DeviceCsvHeader().toUtf8() + "\r\n";
        QByteArray json, jsonArray = "[";
        QList<TDeviceRecord> devices = scanned();
        devices[2].Transport = TransportTcp;
        for (const TDeviceRecord &d : devices) {
            csv += DeviceCsvLine(d).toUtf8() + "\r\n";
            json += QJsonDocument(DeviceJson(d)).toJson(QJsonDocument::Compact) + '\n';
            jsonArray += QJsonDocument(DeviceJson(d)).toJson() + (&d == &devices.constLast() ? "]" : ",");
        }
        QTest::newRow("csv") << csv;
        QTest::newRow("json lines") << json;
        QTest::newRow("json array") << jsonArray;
    }

    void scanOutputReadsBack()
    {
        QFETCH(QByteArray, contents);
        const auto parsed = ParseTargetFile(contents);
        QVERIFY2(std::holds_alternative<QList<TNamedTarget>>(parsed), qPrintable(problemOf(parsed)));
        const QList<TNamedTarget> targets = std::get<QList<TNamedTarget>>(parsed);
        QCOMPARE(targets.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(targets.at(i).text, scanned().at(i).IpText);
            QCOMPARE(targets.at(i).transport, std::optional<quint8>(i == 2 ? TransportTcp : TransportUdp));
        }
    }

    void csvKeepsEveryCell()
    {
        const TDeviceRecord d = scanned().first();
        const QList<QStringList> rows = ParseCsv(DeviceCsvHeader() + u"\n"_qs + DeviceCsvLine(d));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(1).size(), DeviceFields().size());
        for (qsizetype i = 0; i < DeviceFields().size(); ++i) {
            const TDeviceField &field = DeviceFields().at(i);
            // The MAC address goes into files in its canonical form, not as the list shows it.
            QCOMPARE(rows.at(1).at(i), qstrcmp(field.key, "mac") == 0 ? CanonicalMacText(d.Mac) : field.text(d));
        }
    }

    void resolve_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("ips"); // empty: an error
        QTest::newRow("ip, also by MAC: once") << QStringList{u"198.18.1.2"_qs, u"00-1A-2B-A0-94-3A"_qs}
                                              << QStringList{u"198.18.1.2"_qs};
        QTest::newRow("ip not scanned") << QStringList{u"10.0.0.9"_qs} << QStringList{u"10.0.0.9"_qs};
        QTest::newRow("name with a comma") << QStringList{u"Gate, \"east\""_qs} << QStringList{u"198.18.1.1"_qs};
        QTest::newRow("name of two devices") << QStringList{u"Pump"_qs} << QStringList{};
        QTest::newRow("MAC that did not answer") << QStringList{u"02:00:00:00:00:01"_qs} << QStringList{};
        QTest::newRow("type, case ignored") << QStringList{u"--type"_qs, u"palimor*"_qs}
                                            << QStringList{u"198.18.1.1"_qs, u"198.18.1.2"_qs};
        QTest::newRow("type and name") << QStringList{u"--type"_qs, u"XR*"_qs, u"--name"_qs, u"P?mp"_qs}
                                       << QStringList{u"198.18.1.3"_qs};
        QTest::newRow("selection of none") << QStringList{u"--name"_qs, u"Valve*"_qs} << QStringList{};
        QTest::newRow("all") << QStringList{u"--all"_qs} << QStringList{u"198.18.1.1"_qs, u"198.18.1.2"_qs, u"198.18.1.3"_qs};
        QTest::newRow("name, case ignored") << QStringList{u"GATE, \"EAST\""_qs} << QStringList{u"198.18.1.1"_qs};
        QTest::newRow("name glob, case ignored") << QStringList{u"--name"_qs, u"pu*"_qs}
                                                 << QStringList{u"198.18.1.2"_qs, u"198.18.1.3"_qs};
    }

    // Every -o is checked before anything is sent; the scan included.
    void outputCheckedFirst_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("problem"); // a part of it; empty: none
        const QString dir = m_dir.path();
        QTest::newRow("no -o") << QStringList{u"198.18.1.1"_qs} << QString();
        QTest::newRow("file in a folder") << QStringList{u"198.18.1.1"_qs, u"-o"_qs, dir + u"/a.cfg"_qs} << QString();
        QTest::newRow("file in a missing folder") << QStringList{u"198.18.1.1"_qs, u"-o"_qs, dir + u"/missing/a.cfg"_qs}
                                                  << u"does not exist"_qs;
        QTest::newRow("folder to be made") << QStringList{u"--all"_qs, u"-o"_qs, dir + u"/new/deeper"_qs} << QString();
        QTest::newRow("folder under a file") << QStringList{u"--all"_qs, u"-o"_qs, m_image + u"/backups"_qs}
                                             << u"is not a folder"_qs;
        QTest::newRow("folder named with a slash, under a file")
            << QStringList{u"198.18.1.1"_qs, u"-o"_qs, m_image + u"/x/"_qs} << u"is not a folder"_qs;
    }

    void outputCheckedFirst()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, problem);
        const TParsedCommandLine parsed = ParseCommandLine(QStringList{u"config"_qs, u"get"_qs} + arguments, {false, {}});
        QVERIFY2(parsed.request, qPrintable(parsed.error));
        const QString found = OutputProblem(*parsed.request);
        QCOMPARE(found.isEmpty(), problem.isEmpty());
        QVERIFY2(found.contains(problem), qPrintable(found));
        QVERIFY(!QFileInfo::exists(m_dir.filePath(u"new"_qs))); // checked, not made
    }

    // Each verb's help tells its own JSON fields and what its prompt asks.
    void verbHelpTells_data()
    {
        QTest::addColumn<QStringList>("verb");
        QTest::addColumn<QStringList>("parts");
        QTest::newRow("config put") << QStringList{u"config"_qs, u"put"_qs}
                                    << QStringList{u"asks to type 'write'"_qs, u"JSON fields, one object per device"_qs};
        QTest::newRow("upgrade-board") << QStringList{u"upgrade-board"_qs}
                                       << QStringList{u"firmware warning"_qs, u"type 'upgrade'"_qs};
        QTest::newRow("reset") << QStringList{u"reset"_qs} << QStringList{u"asks y or N"_qs, u"--with-updater"_qs};
        QTest::newRow("scan") << QStringList{u"scan"_qs} << QStringList{u"Device fields"_qs};
        QTest::newRow("doctor") << QStringList{u"doctor"_qs} << QStringList{u"one object per finding"_qs};
        QTest::newRow("ssh") << QStringList{u"ssh"_qs} << QStringList{u"toggle"_qs, u"attempts"_qs};
    }

    void verbHelpTells()
    {
        QFETCH(QStringList, verb);
        QFETCH(QStringList, parts);
        const TParsedCommandLine parsed = ParseCommandLine(verb << u"--help"_qs, {false, {}});
        // The help folds its lines: compare the words.
        const QString help = parsed.output.simplified();
        for (const QString &part : std::as_const(parts))
            QVERIFY2(help.contains(part), qPrintable(part + u" not in: "_qs + help));
        QVERIFY(!help.contains(u"switch"_qs, Qt::CaseInsensitive) || verb.first() != u"ssh"_qs);
    }

    void verboseRequested_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("verbose");
        QTest::newRow("none") << QStringList{u"scan"_qs} << false;
        QTest::newRow("--verbose") << QStringList{u"scan"_qs, u"--verbose"_qs} << true;
        QTest::newRow("-v first") << QStringList{u"-v"_qs, u"diag"_qs, u"198.18.1.1"_qs} << true;
        QTest::newRow("after --") << QStringList{u"info"_qs, u"--"_qs, u"--verbose"_qs} << false;
    }

    void verboseRequested()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, verbose);
        QCOMPARE(VerboseRequested(arguments), verbose);
    }

    // ssh toggles: on and off are refused before anything is sent.
    void sshTakesNoState_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("refused");
        QTest::newRow("on") << QStringList{u"198.18.1.5"_qs, u"on"_qs} << true;
        QTest::newRow("OFF") << QStringList{u"198.18.1.5"_qs, u"OFF"_qs} << true;
        QTest::newRow("disable before the target") << QStringList{u"disable"_qs, u"198.18.1.5"_qs} << true;
        QTest::newRow("a toggle") << QStringList{u"198.18.1.5"_qs} << false;
    }

    void sshTakesNoState()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, refused);
        const TParsedCommandLine parsed = ParseCommandLine(QStringList{u"ssh"_qs, u"--yes"_qs} + arguments, {false, {}});
        QCOMPARE(!parsed.request, refused);
        if (refused)
            QVERIFY2(parsed.error.contains(u"the device does not report whether it is now on or off"_qs),
                     qPrintable(parsed.error));
    }

    // The history's acknowledged toggles of a device, by MAC address in any of its spellings, by IP
    // address when the MAC is not known.
    void sshTogglesCounted_data()
    {
        QTest::addColumn<quint64>("mac");
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("text");
        QTest::newRow("by MAC") << quint64(0x001A2BA0943A) << u"198.18.1.2"_qs
                                << u"SSH toggled 2 times since 2026-11-03 by this PC"_qs;
        QTest::newRow("by IP, MAC unknown") << quint64(0) << u"198.18.1.7"_qs
                                            << u"SSH toggled 1 time since 2026-11-05 by this PC"_qs;
        QTest::newRow("never") << quint64(0x00E04C3ECBB3) << u"198.18.1.3"_qs << QString();
    }

    void sshTogglesCounted()
    {
        QFETCH(quint64, mac);
        QFETCH(QString, ip);
        QFETCH(QString, text);
        const auto entry = [](const QString &day, const QString &mac, const QString &ip, const QString &operation,
                              const QString &outcome) {
            TJournalEntry e;
            e.when = QDateTime(QDate::fromString(day, Qt::ISODate), QTime(12, 0));
            e.mac = mac;
            e.ip = ip;
            e.operation = operation;
            e.outcome = outcome;
            return e;
        };
        const QList<TJournalEntry> entries{
            entry(u"2026-11-04"_qs, u"00:1a:2b:a0:94:3a"_qs, u"198.18.1.2"_qs, SshToggleOperation, u"succeeded"_qs),
            entry(u"2026-11-03"_qs, u"00.1A.2B.A0.94.3A"_qs, u"198.18.1.9"_qs, SshToggleOperation, u"succeeded"_qs),
            entry(u"2026-11-01"_qs, u"00:1a:2b:a0:94:3a"_qs, u"198.18.1.2"_qs, SshToggleOperation, u"failed"_qs),
            entry(u"2026-11-01"_qs, u"00:e0:4c:3e:cb:b3"_qs, u"198.18.1.3"_qs, u"Controller reset"_qs, u"succeeded"_qs),
            entry(u"2026-11-05"_qs, QString(), u"198.18.1.7"_qs, SshToggleOperation, u"succeeded"_qs),
        };
        const TSshToggleHistory history = TSshToggleHistory::fromEntries(entries);
        QCOMPARE(TSshToggleHistory::text(history.of(mac, ip)), text);
    }

    // The summary line counts a cancel and a refusal at the prompt apart from failures.
    void summaryCountsApart()
    {
        QList<TCliResult> results;
        for (int i = 0; i < 5; ++i) {
            TCliResult result;
            result.device.target.ip = u"198.18.1.%1"_qs.arg(i + 1);
            result.operation = u"Controller reset"_qs;
            result.outcome.succeeded = i == 0;
            result.outcome.cancelled = i == 2;
            result.outcome.declined = i == 3 || i == 4;
            results << result;
        }
        QVERIFY2(ResultTable(results).endsWith(u"5 devices: 1 succeeded, 1 failed, 1 cancelled, 2 declined\n"_qs),
                 qPrintable(ResultTable(results)));
    }

    // A target that matches no device or several is refused with what the scan found: every
    // device a MAC address or a name matches, or the names closest to an unknown one.
    void unresolvedTargetSaysWhy_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("twin"); // a fourth device answers with the MAC address of 198.18.1.2
        QTest::addColumn<QStringList>("parts");
        QTest::addColumn<bool>("ambiguous");
        QTest::newRow("MAC of two devices") << u"00:1a:2b:a0:94:3a"_qs << true
                                            << QStringList{u"198.18.1.2, 198.18.1.9"_qs, u"2 devices"_qs} << true;
        QTest::newRow("all-zero MAC, unanswered") << u"000000000000"_qs << false
                                                  << QStringList{u"3 devices answered"_qs}
                                                  << false;
        QTest::newRow("name of two devices") << u"pump"_qs << false << QStringList{u"198.18.1.2, 198.18.1.3"_qs} << true;
        QTest::newRow("name with a slip") << u"Pmup"_qs << false
                                          << QStringList{u"only the discovery broadcast was sent"_qs, u"Did you mean 'Pump'?"_qs}
                                          << false;
        QTest::newRow("part of a name") << u"gate"_qs << false << QStringList{u"Did you mean 'Gate, \"east\"'?"_qs} << false;
        QTest::newRow("nothing near") << u"Boiler-room"_qs << false << QStringList{u"3 devices answered)."_qs} << false;
    }

    void unresolvedTargetSaysWhy()
    {
        QFETCH(QString, target);
        QFETCH(bool, twin);
        QFETCH(QStringList, parts);
        QFETCH(bool, ambiguous);
        QList<TDeviceRecord> devices = scanned();
        if (twin)
            devices << device(QStringLiteral("198.18.1.9"), 0x001A2BA0943A, "Spare", "Palimor P3");
        const TParsedCommandLine parsed = ParseCommandLine({u"reset"_qs, u"--yes"_qs, target}, {false, {}});
        QVERIFY2(parsed.request, qPrintable(parsed.error));
        const auto resolved = ResolveTargets(*parsed.request, devices);
        QVERIFY(std::holds_alternative<QString>(resolved));
        const QString problem = std::get<QString>(resolved);
        for (const QString &part : std::as_const(parts))
            QVERIFY2(problem.contains(part), qPrintable(problem));
        QCOMPARE(problem.contains(u"Did you mean"_qs), !ambiguous && parts.join(u' ').contains(u"Did you mean"_qs));
        QCOMPARE(problem.endsWith(u"name one by its address."_qs), ambiguous);
    }

    void resolve()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, ips);
        const TParsedCommandLine parsed = ParseCommandLine(QStringList{u"reset"_qs, u"--yes"_qs} + arguments, {false, {}});
        QVERIFY2(parsed.request, qPrintable(parsed.error));
        const auto resolved = ResolveTargets(*parsed.request, scanned());
        if (ips.isEmpty()) {
            QVERIFY(std::holds_alternative<QString>(resolved));
            return;
        }
        QVERIFY2(std::holds_alternative<QList<TCliDevice>>(resolved), qPrintable(problemOf(resolved)));
        QStringList got;
        for (const TCliDevice &d : std::get<QList<TCliDevice>>(resolved))
            got << d.target.ip;
        QCOMPARE(got, ips);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
