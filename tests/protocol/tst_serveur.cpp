// The engine against a device stand-in on loopback: waits, replies, TCP, bursts.
// The engine is bound to 127.0.0.1 and the stand-in to 127.0.0.2, on a port of the test's choosing.
#include "datagram.h"
#include "errors.h"
#include "loopbackpeer.h"
#include "replybuilder.h"
#include "resource.h"
#include "serveur.h"
#include "unreachableproxy.h"

#include <QElapsedTimer>
#include <QtTest>

#include <memory>

namespace {
const QHostAddress enginAddress(QStringLiteral("127.0.0.1"));
const QHostAddress peerAddress(QStringLiteral("127.0.0.2"));
const QString peerText = QStringLiteral("127.0.0.2");

quint16 freePortOnBoth()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        QUdpSocket probe;
        if (!probe.bind(enginAddress, 0))
            continue;
        const quint16 port = probe.localPort();
        QUdpSocket other;
        QTcpServer server;
        if (other.bind(peerAddress, port) && server.listen(peerAddress, port))
            return port;
    }
    return 0;
}

// Acknowledges each command with its code, and answers a discovery with a small parameter list.
QList<QByteArray> acknowledge(const QByteArray &request)
{
    const quint8 command = static_cast<quint8>(request[Wire::CommandOffset]);
    if (command == 1)
        return {ReplyBuilder(1).text(7, "stand-in").terminate().bytes()};
    const Wire::CommandInfo *info = Wire::findCommand(command);
    const quint16 ack = info ? info->ackCode : 0;
    return {ReplyBuilder(command).raw(QByteArray::fromHex(QByteArray::number(ack, 16).rightJustified(4, '0'))).bytes()};
}

struct Call
{
    QString peer;
    int port;
    QByteArray data;
    bool viaDatagram;
    bool onGuiThread;
};
} // namespace

class TestServeur : public QObject
{
    Q_OBJECT

    quint16 m_port = 0;
    std::unique_ptr<LoopbackPeer> m_peer;
    std::unique_ptr<TServeur> m_serveur;
    QList<Call> m_calls;
    QStringList m_messages;
    TErrorMessageSink m_previousSink;

    TDeviceReplyEvent recorder()
    {
        return [this](const QString &peer, int port, const char *data, int length, bool refresh, bool viaDatagram) {
            QVERIFY(refresh);
            m_calls.append({peer, port, QByteArray(data, length), viaDatagram,
                            QThread::currentThread() == qApp->thread()});
        };
    }

    double timed(const std::function<void()> &operation)
    {
        QElapsedTimer timer;
        timer.start();
        operation();
        return timer.elapsed() / 1000.0;
    }

private slots:
    void initTestCase()
    {
        StartupInit();
        m_port = freePortOnBoth();
        QVERIFY(m_port != 0);
        m_previousSink = SetErrorMessageSink([this](const QString &m) { m_messages.append(m); });
    }
    void cleanupTestCase() { SetErrorMessageSink(m_previousSink); }

    void init()
    {
        m_peer = std::make_unique<LoopbackPeer>(peerAddress, m_port);
        QVERIFY(m_peer->isOpen());
        TServeur::Options options;
        options.port = m_port;
        options.bindAddresses = {enginAddress.toIPv4Address()};
        m_serveur = std::make_unique<TServeur>(options);
        QCOMPARE(m_serveur->boundAddresses(), QList<QHostAddress>{enginAddress});
        m_calls.clear();
        m_messages.clear();
    }
    void cleanup()
    {
        m_serveur.reset();
        m_peer.reset();
    }

    void portIsNotShared()
    {
        // A second engine on the same address and port is refused instead of sharing the replies.
        TServeur::Options options;
        options.port = m_port;
        options.bindAddresses = {enginAddress.toIPv4Address()};
        TServeur second(options);
        QVERIFY(second.boundAddresses().isEmpty());
        QVERIFY(!second.bindError().isEmpty());
    }

    void silentDeviceCostsTheWait_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<double>("seconds");
        QTest::newRow("StartFtpServer 5 s") << 3 << 5.0;
        QTest::newRow("StartDaemon 10 s") << 7 << 10.0;
    }
    void silentDeviceCostsTheWait()
    {
        QFETCH(int, command);
        QFETCH(double, seconds);
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
        ticker.start(100);
        const double took = timed([&] {
            m_serveur->RunCommand(static_cast<Wire::Command>(command), peerText, TransportUdp, recorder());
        });
        QVERIFY2(took >= seconds && took < seconds + 1.5, qPrintable(QString::number(took)));
        QVERIFY(m_calls.isEmpty());
        QVERIFY(!m_serveur->ReplyReceived());
        // The window stayed alive: the timer kept ticking through the wait.
        QVERIFY2(ticks >= seconds * 10 * 0.7, qPrintable(QString::number(ticks)));
        QCOMPARE(m_peer->requests().size(), 1);
    }

    void proxySettingsDoNotApply_data()
    {
        QTest::addColumn<quint8>("transport");
        QTest::newRow("udp") << TransportUdp;
        QTest::newRow("tcp") << TransportTcp;
    }
    void proxySettingsDoNotApply()
    {
        QFETCH(quint8, transport);
        const UnreachableProxy proxy;
        m_serveur.reset(); // its port, for an engine started under the proxy settings
        TServeur::Options options;
        options.port = m_port;
        options.bindAddresses = {enginAddress.toIPv4Address()};
        TServeur engine(options);
        QCOMPARE(engine.boundAddresses(), QList<QHostAddress>{enginAddress});
        m_peer->setResponder(acknowledge);
        engine.SetDropBear(peerText, transport, recorder());
        QCOMPARE(m_peer->requests().size(), 1);
        QCOMPARE(m_calls.size(), 1);
        QCOMPARE(JudgeCommandReply(m_calls[0].data, Wire::Command::SetDropBear), ResultAcknowledged);
        QCOMPARE(m_messages, QStringList());
    }

    void replyEndsTheWait()
    {
        m_peer->setResponder(acknowledge, 1000);
        const double took = timed([&] { m_serveur->StartUpdater(peerText, TransportUdp, recorder()); });
        QVERIFY2(took >= 0.9 && took < 2.5, qPrintable(QString::number(took)));
        QCOMPARE(m_calls.size(), 1);
        QCOMPARE(m_calls[0].peer, peerText);
        QCOMPARE(m_calls[0].port, int(m_port));
        QVERIFY(m_calls[0].viaDatagram);
        QVERIFY(m_calls[0].onGuiThread);
        QCOMPARE(JudgeCommandReply(m_calls[0].data, Wire::Command::StartUpdater), ResultAcknowledged);
        QVERIFY(m_serveur->ReplyReceived());
    }

    void requestAddressing_data()
    {
        QTest::addColumn<quint8>("transport");
        QTest::addColumn<bool>("sourceIsOwnAddress");
        QTest::newRow("udp carries the PC's address") << TransportUdp << true;
        QTest::newRow("tcp carries a zero source") << TransportTcp << false;
    }
    void requestAddressing()
    {
        QFETCH(quint8, transport);
        QFETCH(bool, sourceIsOwnAddress);
        m_peer->setResponder(acknowledge);
        m_serveur->SetDropBear(peerText, transport, recorder());
        const QList<LoopbackPeer::Request> requests = m_peer->requests();
        QCOMPARE(requests.size(), 1);
        const QByteArray request = requests[0].data;
        QCOMPARE(request.size(), 27);
        QCOMPARE(request.left(8).toHex(), (QByteArray("00027f000002") + QByteArray::number(m_port, 16).rightJustified(4, '0')));
        QCOMPARE(quint8(request[24]), quint8(9));
        if (sourceIsOwnAddress) {
            QCOMPARE(RecordType(request, 8), quint16(2));
            QCOMPARE(RecordIPv4(request, 8), LocalHostAddress());
        } else {
            QVERIFY(RecordIsZero(request, 8));
        }
        QCOMPARE(m_calls.size(), 1);
        QCOMPARE(m_calls[0].viaDatagram, transport == TransportUdp);
    }

    void tcpDiscovery()
    {
        m_peer->setResponder(acknowledge);
        m_serveur->Discover(TransportTcp, peerText, recorder());
        QCOMPARE(m_calls.size(), 1);
        QCOMPARE(m_calls[0].peer, peerText);
        QCOMPARE(m_calls[0].port, int(m_port));
        QVERIFY(!m_calls[0].viaDatagram);
        QVERIFY(IsValidDiscoveryReply(m_calls[0].data));
        QCOMPARE(m_peer->requests().value(0).data.size(), 69);
    }

    void tcpSilentHostGivesEmptyReply()
    {
        const double took = timed([&] { m_serveur->Discover(TransportTcp, peerText, recorder()); });
        QVERIFY2(took >= 1.9 && took < 3.5, qPrintable(QString::number(took)));
        QCOMPARE(m_calls.size(), 1);
        QVERIFY(m_calls[0].data.isEmpty());
    }

    void tcpPeerClosingGivesEmptyReplyAtOnce()
    {
        m_peer->setCloseTcpAtOnce(true);
        const double took = timed([&] { m_serveur->Discover(TransportTcp, peerText, recorder()); });
        QVERIFY2(took < 1.5, qPrintable(QString::number(took)));
        QCOMPARE(m_calls.size(), 1);
        QVERIFY(m_calls[0].data.isEmpty());
    }

    void tcpRefusedRaises()
    {
        m_peer.reset(); // nothing listens any more
        bool raised = false;
        try {
            m_serveur->Discover(TransportTcp, peerText, recorder());
        } catch (const ConnectionError &e) {
            raised = true;
            QVERIFY2(e.message().contains(peerText), qPrintable(e.message()));
        }
        QVERIFY(raised);
        QVERIFY(m_calls.isEmpty());
    }

    void unparsableAddress_data()
    {
        QTest::addColumn<quint8>("transport");
        QTest::addColumn<QString>("text");
        QTest::newRow("tcp host name") << TransportTcp << "device.local";
        QTest::newRow("tcp broadcast") << TransportTcp << "255.255.255.255";
        QTest::newRow("udp host name") << TransportUdp << "device.local";
        QTest::newRow("udp three octets") << TransportUdp << "127.0.0";
    }
    void unparsableAddress()
    {
        // Text that does not parse becomes 0.0.0.0, which must never reach this PC.
        QFETCH(quint8, transport);
        QFETCH(QString, text);
        m_peer->setResponder(acknowledge);
        bool raised = false;
        try {
            m_serveur->StartDaemon(text, transport, recorder());
        } catch (const ConnectionError &e) {
            raised = true;
            QVERIFY(e.message().contains(QStringLiteral("0.0.0.0")) || e.message().contains(QStringLiteral("255.255.255.255")));
        }
        if (transport == TransportTcp) {
            QVERIFY(raised);
        } else {
            QVERIFY(!raised);
            QCOMPARE(m_messages.size(), 1);
            QVERIFY2(m_messages[0].startsWith(QStringLiteral("Connection Error: ")), qPrintable(m_messages[0]));
        }
        QVERIFY(m_calls.isEmpty());
        QVERIFY(m_peer->requests().isEmpty());
    }

    void tcpDiscoveryWithoutAddressRaises()
    {
        // Search with an empty text: the request keeps its broadcast destination, which no connection reaches.
        bool raised = false;
        try {
            m_serveur->Discover(TransportTcp, QString(), recorder());
        } catch (const ConnectionError &e) {
            raised = e.message().contains(QStringLiteral("255.255.255.255"));
        }
        QVERIFY(raised);
        QVERIFY(m_calls.isEmpty());
    }

    void lateReplyStaysWithItsCommand()
    {
        // A second reply to a command that comes after its wait has ended goes to that command's
        // handler: it neither ends nor judges the wait of another command to the same device.
        m_peer->setResponder(acknowledge);
        QList<QByteArray> first, second;
        m_serveur->StopUpdater(peerText, TransportUdp,
                               [&](const QString &, int, const char *d, int n, bool, bool) { first.append(QByteArray(d, n)); });
        QCOMPARE(first.size(), 1);
        m_peer->setResponder({});
        const QByteArray late = first[0];
        QTimer::singleShot(300, this, [&] { m_peer->burst({late}, enginAddress, m_port); });
        const double took = timed([&] {
            m_serveur->StartFtpServer(peerText, TransportUdp,
                                      [&](const QString &, int, const char *d, int n, bool, bool) { second.append(QByteArray(d, n)); });
        });
        QCOMPARE(first.size(), 2);
        QCOMPARE(second.size(), 0);
        QVERIFY2(took > 4.5, qPrintable(QString::number(took))); // the whole wait of StartFtpServer
        QVERIFY(!m_serveur->ReplyReceived());
    }

    void burstIsKeptInOrder()
    {
        // Ten thousand replies while the GUI thread is busy: none may be lost, and they arrive in order.
        constexpr int count = 10000;
        QList<QByteArray> datagrams;
        for (int i = 0; i < count; ++i)
            datagrams.append(ReplyBuilder(1).raw(QByteArray::number(i)).bytes());
        m_serveur->Discover(TransportUdp, peerText, recorder()); // installs the handler; its request is answered by no one
        m_peer->burst(datagrams, enginAddress, m_port);
        QThread::msleep(500); // the GUI thread does not process events meanwhile
        QTRY_COMPARE_WITH_TIMEOUT(m_calls.size(), count, 20000);
        for (int i = 0; i < count; ++i)
            QCOMPARE(m_calls[i].data.mid(25), QByteArray::number(i));
    }

    void throwingHandlerLosesOnlyItsDatagram()
    {
        m_peer->setResponder([](const QByteArray &request) {
            return QList<QByteArray>{acknowledge(request).first(), acknowledge(request).first()};
        });
        int calls = 0;
        m_serveur->StopDaemon(peerText, TransportUdp, [&](const QString &, int, const char *, int, bool, bool) {
            if (++calls == 1)
                throw std::runtime_error("handler failed");
        });
        QTRY_COMPARE(calls, 2);
    }
};

QTEST_GUILESS_MAIN(TestServeur)
#include "tst_serveur.moc"
