// The Linux platform: the ARP flush's command and its refusal, the firewall rules of nft and
// iptables-save, the capability the flush needs, the holder of a UDP port read from /proc, and
// where the system's tools are found.
#include "platform/linux/arpflush.h"
#include "platform/linux/firewallrules.h"
#include "platform/platform.h"
#include "platform/linux/portholder.h"
#include "platform/linux/routingtable.h"
#include "platform/linux/systemtools.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QUdpSocket>
#include <QtTest>

#include <memory>
#include <sys/resource.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using Notice = Platform::Notice;
using Level = Platform::Notice::Level;

class TestPlatformLinux : public QObject
{
    Q_OBJECT
private slots:
    void arpFlushCommand_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("runs");
        QTest::newRow("device address") << "198.18.1.5" << true;
        QTest::newRow("shell command after the address") << "1.2.3.4; touch /tmp/x" << false;
        QTest::newRow("command substitution") << "$(reboot)" << false;
        QTest::newRow("option") << "-a" << false;
        QTest::newRow("host name") << "device.local" << false;
        QTest::newRow("empty") << "" << false;
    }
    void arpFlushCommand()
    {
        // Text typed by the user never reaches a command line: only a dotted address is
        // passed on, as one argument of its own, and no shell is involved.
        QFETCH(QString, text);
        QFETCH(bool, runs);
        const TArpCommand command = ArpFlushCommand(text);
        QCOMPARE(!command.program.isEmpty(), runs);
        if (!runs) {
            QVERIFY(!RunArpFlush(text, 1000).ran);
            return;
        }
        QVERIFY(!command.program.endsWith(QLatin1String("sh")));
        QCOMPARE(command.arguments.last(), text);
        QVERIFY(command.arguments.size() == 2 || command.arguments.size() == 5);
    }

    void arpFlushRefused_data()
    {
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<bool>("refused");
        // The tools' own texts for a user without CAP_NET_ADMIN, and their other outcomes.
        QTest::newRow("ip, no capability") << 1 << QByteArray("Failed to send flush request: Operation not permitted\n") << true;
        QTest::newRow("arp, no capability") << 255 << QByteArray("SIOCDARP(dontpub): Operation not permitted\n") << true;
        QTest::newRow("ip, nothing to flush") << 0 << QByteArray() << false;
        QTest::newRow("arp, no such entry") << 255 << QByteArray("No ARP entry for 198.18.1.5\n") << false;
        QTest::newRow("text with success") << 0 << QByteArray("Operation not permitted") << false;
    }
    void arpFlushRefused()
    {
        QFETCH(int, exitCode);
        QFETCH(QByteArray, output);
        QFETCH(bool, refused);
        QCOMPARE(ArpFlushRefused(exitCode, output), refused);
    }

    void arpFlushRefusedMessage()
    {
        // The user is told which device, why, and that the operation goes on.
        const QString message = ArpFlushRefusedMessage(QStringLiteral("198.18.1.7"));
        QVERIFY(message.contains(QLatin1String("198.18.1.7")));
        QVERIFY(message.contains(QLatin1String("CAP_NET_ADMIN")));
        QVERIFY(message.contains(QLatin1String("Going on")));
    }

    void firewall_data()
    {
        QTest::addColumn<QString>("nft");
        QTest::addColumn<QString>("iptables");
        QTest::addColumn<int>("problems");
        QTest::addColumn<QString>("word");
        const QString head = u"table inet filter {\n\tchain input {\n\t\ttype filter hook input priority filter; policy accept;\n"_s;
        const QString tail = u"\t}\n}\n"_s;
        QTest::newRow("nft: nothing about the ports") << head + u"\t\ttcp dport 22 accept\n"_s + tail << QString() << 0 << u"No firewall rule"_s;
        QTest::newRow("nft: drop") << head + u"\t\tudp dport 52389 drop\n"_s + tail << QString() << 1 << u"chain input of table inet filter"_s;
        QTest::newRow("nft: set with both") << head + u"\t\tudp dport { 52389, 52390 } counter reject\n"_s + tail << QString() << 2 << u"UDP 52390"_s;
        QTest::newRow("nft: range") << head + u"\t\tudp dport 52000-53000 drop\n"_s + tail << QString() << 2 << u"52000-53000"_s;
        QTest::newRow("nft: tcp only") << head + u"\t\ttcp dport 52389 drop\n"_s + tail << QString() << 0 << u"No firewall rule"_s;
        QTest::newRow("nft: policy drop")
            << u"table inet filter {\n\tchain input {\n\t\ttype filter hook input priority filter; policy drop;\n\t\tudp dport 52389 accept\n"_s + tail
            << QString() << 1 << u"udp dport 52390 accept"_s;
        QTest::newRow("iptables: drop") << QString() << u"*filter\n:INPUT ACCEPT [0:0]\n-A INPUT -p udp -m udp --dport 52390 -j DROP\nCOMMIT\n"_s << 1 << u"chain INPUT"_s;
        QTest::newRow("iptables: multiport") << QString() << u"-A INPUT -p udp -m multiport --dports 52000:52400,80 -j REJECT\n"_s << 2 << u"UDP 52389"_s;
        QTest::newRow("iptables: policy drop") << QString() << u":INPUT DROP [0:0]\n-A INPUT -p udp --dport 52389 -j ACCEPT\n"_s << 1 << u"--dport 52390 -j ACCEPT"_s;
        QTest::newRow("unreadable") << QString() << QString() << 0 << u"could not be read"_s;
    }

    void firewall()
    {
        QFETCH(QString, nft);
        QFETCH(QString, iptables);
        QFETCH(int, problems);
        QFETCH(QString, word);
        const QList<Notice> notices = FirewallNotices(nft, iptables, {52389, 52390});
        QCOMPARE(std::count_if(notices.cbegin(), notices.cend(), [](const Notice &n) { return n.level == Level::Problem; }), problems);
        QVERIFY(std::any_of(notices.cbegin(), notices.cend(), [&](const Notice &n) { return n.text.contains(word); }));
    }

    // Neither tool read: not installed is told apart from needing root.
    void firewallUnread_data()
    {
        QTest::addColumn<bool>("installed");
        QTest::addColumn<QString>("word");
        QTest::addColumn<QString>("notWord");
        QTest::newRow("not installed") << false << u"nft and iptables are not installed"_s << u"root"_s;
        QTest::newRow("needs root") << true << u"need root"_s << u"not installed"_s;
    }

    void firewallUnread()
    {
        QFETCH(bool, installed);
        QFETCH(QString, word);
        QFETCH(QString, notWord);
        const QList<Notice> notices = FirewallNotices(QString(), QString(), {52389, 52390}, installed);
        QCOMPARE(notices.size(), 1);
        QCOMPARE(notices.first().level, Level::Warning);
        QVERIFY2(notices.first().text.contains(word), qPrintable(notices.first().text));
        QVERIFY2(!notices.first().text.contains(notWord), qPrintable(notices.first().text));
    }

    void arpFlush_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<bool>("permitted");
        QTest::newRow("root") << QByteArray("Name:\tx\nCapEff:\t000001ffffffffff\n") << true;
        QTest::newRow("user") << QByteArray("Name:\tx\nCapEff:\t0000000000000000\n") << false;
        QTest::newRow("CAP_NET_ADMIN only") << QByteArray("CapEff:\t0000000000001000\n") << true;
        QTest::newRow("unreadable") << QByteArray() << false;
    }

    void arpFlush()
    {
        QFETCH(QByteArray, status);
        QFETCH(bool, permitted);
        QCOMPARE(HasCapability(status, 12), permitted);
        const Notice notice = ArpFlushNotice(true, permitted);
        QCOMPARE(notice.level, permitted ? Level::Info : Level::Warning);
        QCOMPARE(notice.text.contains(u"CAP_NET_ADMIN"_s), !permitted);
    }

    void portHolder_data()
    {
        QTest::addColumn<bool>("bound");
        QTest::newRow("bound by this test") << true;
        QTest::newRow("closed again") << false;
    }

    void portHolder()
    {
        // A port of the system's own choice on loopback: this process holds it, then nobody does.
        QFETCH(bool, bound);
        QUdpSocket socket;
        QVERIFY(socket.bind(QHostAddress::LocalHost, 0));
        const quint16 port = socket.localPort();
        if (!bound)
            socket.close();
        QFile comm(u"/proc/self/comm"_s);
        QVERIFY(comm.open(QIODevice::ReadOnly));
        const QString me = u"%1 (process %2)"_s.arg(QString::fromLocal8Bit(comm.readAll()).trimmed())
                               .arg(QCoreApplication::applicationPid());
        QCOMPARE(UdpPortHolder(port), bound ? me : QString());
        QCOMPARE(Platform::udpPortHolder(port), bound ? me : QString());
    }

    // A tool is found in the system's folders whatever the PATH says; a missing one is empty.
    void systemTool_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("found");
        QTest::newRow("ip") << u"ip"_s << true;
        QTest::newRow("missing") << u"tarvino-no-such-tool"_s << false;
    }
    void systemTool()
    {
        QFETCH(QString, name);
        QFETCH(bool, found);
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", "/nonexistent");
        const QString tool = Platform::systemTool(name);
        qputenv("PATH", path);
        QCOMPARE(!tool.isEmpty(), found);
        if (found) {
            QVERIFY2(SystemToolFolders().contains(QFileInfo(tool).absolutePath()), qPrintable(tool));
            QVERIFY(QFileInfo(tool).isExecutable());
            QCOMPARE(QFileInfo(tool).fileName(), name);
        }
    }

    void routeTable_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("route"); // interface network/prefix gateway; empty: left out
        QTest::newRow("default") << QByteArray("eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0")
                                 << u"eth0 0.0.0.0/0 192.0.2.1"_s;
        QTest::newRow("own segment") << QByteArray("eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0")
                                     << u"eth0 192.0.2.0/24 0.0.0.0"_s;
        QTest::newRow("behind a router") << QByteArray("lab0  000013C6  FE0012C6  0003  0  0  0  0000FFFF  0  0  0")
                                         << u"lab0 198.19.0.0/16 198.18.0.254"_s;
        QTest::newRow("host bits cleared") << QByteArray("lab0\t050413C6\tFE0012C6\t0003\t0\t0\t0\t00FFFFFF\t0\t0\t0")
                                           << u"lab0 198.19.4.0/24 198.18.0.254"_s;
        QTest::newRow("down") << QByteArray("eth1\t000200C0\t00000000\t0000\t0\t0\t0\t00FFFFFF\t0\t0\t0") << QString();
        QTest::newRow("mask with a gap") << QByteArray("eth1\t000200C0\t00000000\t0001\t0\t0\t0\t00FF00FF\t0\t0\t0")
                                         << QString();
        QTest::newRow("not hexadecimal") << QByteArray("eth1\tzz0200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0")
                                         << QString();
        QTest::newRow("short") << QByteArray("eth1\t000200C0\t00000000") << QString();
    }
    void routeTable()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, route);
        const QList<Platform::Route> routes =
            ParseRouteTable("Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n" + line + '\n');
        if (route.isEmpty()) {
            QVERIFY(routes.isEmpty());
            return;
        }
        QCOMPARE(routes.size(), 1);
        const Platform::Route &r = routes.first();
        auto dotted = [](quint32 ip) { return QHostAddress(ip).toString(); };
        QCOMPARE(u"%1 %2/%3 %4"_s.arg(r.interface, dotted(r.network)).arg(r.prefix).arg(dotted(r.gateway)), route);
    }

    void interface()
    {
        QCOMPARE(Platform::name(), u"linux"_s);
        // Text that is not an address never runs the tool, and there is nothing to tell.
        const Platform::NeighbourFlush flush = Platform::flushNeighbour(u"-a"_s, 1000);
        QVERIFY(!flush.ran && !flush.refused && flush.message.isEmpty());
        const Notice arp = Platform::neighbourFlushNotice();
        QVERIFY(arp.level != Level::Problem && !arp.text.contains(Platform::notAvailable()));
    }

    void givingWayNicesOnlyTheCallingThread()
    {
        const int before = getpriority(PRIO_PROCESS, 0);
        int workerNice = -100;
        bool gaveWay = false;
        std::unique_ptr<QThread> worker(QThread::create([&] {
            gaveWay = Platform::giveWayToOtherThreads();
            workerNice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
        }));
        worker->start();
        QVERIFY(worker->wait(5000));
        QVERIFY(gaveWay);
        QCOMPARE(workerNice, 19);
        QCOMPARE(getpriority(PRIO_PROCESS, 0), before); // this thread as it was
    }
};

QTEST_GUILESS_MAIN(TestPlatformLinux)
#include "tst_platform_linux.moc"
