// The engine against a device stand-in on loopback: waits, replies, TCP, bursts, cancels and
// the engine's closing. The engine is bound to 127.0.0.1 and the stand-in to 127.0.0.2, on a port
// of the test's choosing.
#include "protocol/datagram.h"
#include "protocol/errors.h"
#include "loopbackpeer.h"
#include "replybuilder.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "unreachableproxy.h"

#include <QElapsedTimer>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>

namespace {
const QHostAddress enginAddress(QStringLiteral("127.0.0.1"));
const QHostAddress peerAddress(QStringLiteral("127.0.0.2"));
const QString peerText = QStringLiteral("127.0.0.2");
const QHostAddress otherDeviceAddress(QStringLiteral("127.0.0.3"));

// Long waits, so that a call that returns in less than half of them was cut short.
constexpr int LongWaitUnitMs = 1000;       // StartDaemon: 100 s; a TCP discovery's reply: 20 s
constexpr int LongConnectTimeoutMs = 20000;
constexpr double LongWaitSeconds = 20.0;   // the shortest of these waits
constexpr int CutAfterMs = 300;            // into the wait, when the test cancels or closes
constexpr int ReturnWithinMs = 15000;      // how long the test waits for the call to return

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

QByteArray discoveryReply()
{
    return ReplyBuilder(1).text(7, "stand-in").terminate().bytes();
}

QByteArray ackOf(quint8 command, quint16 ack)
{
    return ReplyBuilder(command).raw(QByteArray::fromHex(QByteArray::number(ack, 16).rightJustified(4, '0'))).bytes();
}

// Acknowledges each command with its code, and answers a discovery with a small parameter list.
QList<QByteArray> acknowledge(const QByteArray &request)
{
    const quint8 command = static_cast<quint8>(request[Wire::CommandOffset]);
    if (command == 1)
        return {discoveryReply()};
    const Wire::CommandInfo *info = Wire::findCommand(command);
    const quint16 ack = info ? info->ackCode : 0;
    return {ackOf(command, ack)};
}

struct Call
{
    QString peer;
    int port;
    QByteArray data;
    bool viaDatagram;
    bool onGuiThread;
};

// A TCP host that takes no connection, as one that drops every SYN: a listener whose queue of
// length 0 one connection already fills drops the connection requests that follow.
class SilentTcpHost
{
public:
    SilentTcpHost(const QHostAddress &address, quint16 port)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        local.sin_addr.s_addr = htonl(address.toIPv4Address());
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 || ::listen(m_listener, 0) != 0)
            return;
        m_filler.connectToHost(address, port);
        m_open = m_filler.waitForConnected(2000);
    }
    ~SilentTcpHost()
    {
        m_filler.abort();
        ::close(m_listener);
    }
    bool isOpen() const { return m_open; }

private:
    int m_listener = -1;
    QTcpSocket m_filler;
    bool m_open = false;
};

// What a blocking call of the engine ended with.
struct Ending
{
    TCommandReply::Interruption interruption = TCommandReply::Interruption::None;
    QString error;
    QByteArray data;
    TCommandResult result = ResultNoReply;
};

enum class BlockingCall { CommandUdp, CommandTcp, DiscoveryTcp };
} // namespace

Q_DECLARE_METATYPE(BlockingCall)

class TestServeur : public QObject
{
    Q_OBJECT

    quint16 m_port = 0;
    std::unique_ptr<LoopbackPeer> m_peer;
    std::unique_ptr<TDatagramEngine> m_engine;
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

    void openEngine(int waitUnitMs = 100, int connectTimeoutMs = 20000)
    {
        m_engine.reset();
        TDatagramEngine::Options options;
        options.port = m_port;
        options.bindAddresses = {enginAddress.toIPv4Address()};
        options.waitUnitMs = waitUnitMs;
        options.tcpConnectTimeoutMs = connectTimeoutMs;
        m_engine = std::make_unique<TDatagramEngine>(options);
    }

    // StartDaemon, or a discovery over TCP, to the stand-in's address.
    Ending callEngine(BlockingCall call, const std::atomic<bool> *cancel)
    {
        Ending ending;
        if (call == BlockingCall::DiscoveryTcp) {
            try {
                ending.data = m_engine->DiscoverOverTcp(peerText, cancel);
            } catch (const InterruptedError &e) {
                ending.interruption = e.message() == TDatagramEngine::CancelledText ? TCommandReply::Interruption::Cancelled
                                                                             : TCommandReply::Interruption::EngineClosed;
                ending.error = e.message();
            } catch (const TarvinoError &e) {
                ending.error = e.message();
            }
            return ending;
        }
        try {
            const TCommandReply reply = m_engine->Command(Wire::Command::StartDaemon, peerText,
                                                           call == BlockingCall::CommandUdp ? TransportUdp : TransportTcp, cancel);
            ending = {reply.interruption, reply.error, reply.data, reply.result};
        } catch (const TarvinoError &e) {
            ending.error = e.message();
        }
        return ending;
    }

    // The peer for a row: the stand-in that takes the request and stays silent, or a TCP host that
    // takes no connection.
    std::unique_ptr<SilentTcpHost> silentPeer(bool connectionTaken)
    {
        if (connectionTaken)
            return {};
        m_peer.reset(); // its address and port, for the host that takes no connection
        return std::make_unique<SilentTcpHost>(peerAddress, m_port);
    }

    static void blockingCallRows()
    {
        QTest::addColumn<BlockingCall>("call");
        QTest::addColumn<bool>("connectionTaken"); // false: the TCP host takes no connection
        QTest::newRow("command by udp: the reply wait") << BlockingCall::CommandUdp << true;
        QTest::newRow("command by tcp: the connect") << BlockingCall::CommandTcp << false;
        QTest::newRow("command by tcp: the reply wait") << BlockingCall::CommandTcp << true;
        QTest::newRow("discovery by tcp: the connect") << BlockingCall::DiscoveryTcp << false;
        QTest::newRow("discovery by tcp: the reply wait") << BlockingCall::DiscoveryTcp << true;
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
        openEngine();
        QCOMPARE(m_engine->boundAddresses(), QList<QHostAddress>{enginAddress});
        m_calls.clear();
        m_messages.clear();
    }
    void cleanup()
    {
        m_engine.reset();
        m_peer.reset();
        // The engine shows nothing itself: what goes wrong is returned.
        QCOMPARE(m_messages, QStringList());
    }

    void portIsNotShared()
    {
        // A second engine on the same address and port is refused instead of sharing the replies.
        TDatagramEngine::Options options;
        options.port = m_port;
        options.bindAddresses = {enginAddress.toIPv4Address()};
        TDatagramEngine second(options);
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
        TCommandReply reply;
        const double took = timed([&] { reply = m_engine->Command(static_cast<Wire::Command>(command), peerText, TransportUdp); });
        QVERIFY2(took >= seconds && took < seconds + 1.5, qPrintable(QString::number(took)));
        QCOMPARE(reply.result, ResultNoReply);
        QVERIFY(reply.data.isEmpty());
        QCOMPARE(reply.error, QString());
        QCOMPARE(reply.interruption, TCommandReply::Interruption::None);
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
        m_engine.reset(); // its port, for an engine started under the proxy settings
        TDatagramEngine::Options options;
        options.port = m_port;
        options.bindAddresses = {enginAddress.toIPv4Address()};
        TDatagramEngine engine(options);
        QCOMPARE(engine.boundAddresses(), QList<QHostAddress>{enginAddress});
        m_peer->setResponder(acknowledge);
        const TCommandReply reply = engine.Command(Wire::Command::SetDropBear, peerText, transport);
        QCOMPARE(m_peer->requests().size(), 1);
        QCOMPARE(reply.result, ResultAcknowledged);
        QCOMPARE(reply.error, QString());
    }

    void replyEndsTheWait()
    {
        m_peer->setResponder(acknowledge, 1000);
        TCommandReply reply;
        const double took = timed([&] { reply = m_engine->Command(Wire::Command::StartUpdater, peerText, TransportUdp); });
        QVERIFY2(took >= 0.9 && took < 2.5, qPrintable(QString::number(took)));
        QCOMPARE(reply.result, ResultAcknowledged);
        QCOMPARE(JudgeCommandReply(reply.data, Wire::Command::StartUpdater), ResultAcknowledged);
        QCOMPARE(reply.interruption, TCommandReply::Interruption::None);
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
        const TCommandReply reply = m_engine->Command(Wire::Command::SetDropBear, peerText, transport);
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
        QCOMPARE(requests[0].viaDatagram, transport == TransportUdp);
        QCOMPARE(reply.result, ResultAcknowledged);
    }

    void tcpDiscovery()
    {
        m_peer->setResponder(acknowledge);
        const QByteArray reply = m_engine->DiscoverOverTcp(peerText);
        QVERIFY(IsValidDiscoveryReply(reply));
        QCOMPARE(m_peer->requests().value(0).data.size(), 69);
        QVERIFY(!m_peer->requests().value(0).viaDatagram);
    }

    void tcpSilentHostGivesEmptyReply()
    {
        QByteArray reply = "not read";
        const double took = timed([&] { reply = m_engine->DiscoverOverTcp(peerText); });
        QVERIFY2(took >= 1.9 && took < 3.5, qPrintable(QString::number(took)));
        QVERIFY(reply.isEmpty());
    }

    void tcpPeerClosingGivesEmptyReplyAtOnce()
    {
        m_peer->setCloseTcpAtOnce(true);
        QByteArray reply = "not read";
        const double took = timed([&] { reply = m_engine->DiscoverOverTcp(peerText); });
        QVERIFY2(took < 1.5, qPrintable(QString::number(took)));
        QVERIFY(reply.isEmpty());
    }

    void tcpRefusedRaises()
    {
        m_peer.reset(); // nothing listens any more
        bool raised = false;
        try {
            m_engine->DiscoverOverTcp(peerText);
        } catch (const ConnectionError &e) {
            raised = true;
            QVERIFY2(e.message().contains(peerText), qPrintable(e.message()));
        }
        QVERIFY(raised);
    }

    void unparsableAddress_data()
    {
        QTest::addColumn<QString>("call"); // "command" or "discovery"
        QTest::addColumn<quint8>("transport");
        QTest::addColumn<QString>("text");
        QTest::newRow("command by tcp, host name") << "command" << TransportTcp << "device.local";
        QTest::newRow("command by tcp, broadcast") << "command" << TransportTcp << "255.255.255.255";
        QTest::newRow("command by udp, host name") << "command" << TransportUdp << "device.local";
        QTest::newRow("command by udp, three octets") << "command" << TransportUdp << "127.0.0";
        QTest::newRow("discovery by udp, host name") << "discovery" << TransportUdp << "device.local";
        QTest::newRow("discovery by tcp, host name") << "discovery" << TransportTcp << "device.local";
    }
    void unparsableAddress()
    {
        // Text that does not parse becomes 0.0.0.0, which must never reach this PC. TCP raises;
        // by UDP the reason comes back to the caller, and nothing is shown.
        QFETCH(QString, call);
        QFETCH(quint8, transport);
        QFETCH(QString, text);
        m_peer->setResponder(acknowledge);
        QString raised;
        QString returned;
        try {
            if (call == u"discovery" && transport == TransportUdp)
                returned = m_engine->Discover(text, recorder());
            else if (call == u"discovery")
                m_engine->DiscoverOverTcp(text);
            else
                returned = m_engine->Command(Wire::Command::StartDaemon, text, transport).error;
        } catch (const ConnectionError &e) {
            raised = e.message();
        }
        const QString error = transport == TransportTcp ? raised : returned;
        QVERIFY2(error.contains(QStringLiteral("0.0.0.0")) || error.contains(QStringLiteral("255.255.255.255")), qPrintable(error));
        QCOMPARE(transport == TransportTcp ? returned : raised, QString());
        QCOMPARE(m_messages, QStringList());
        QVERIFY(m_calls.isEmpty());
        QVERIFY(m_peer->requests().isEmpty());
    }

    void tcpDiscoveryWithoutAddressRaises()
    {
        // Search with an empty text: the request keeps its broadcast destination, which no connection reaches.
        bool raised = false;
        try {
            m_engine->DiscoverOverTcp(QString());
        } catch (const ConnectionError &e) {
            raised = e.message().contains(QStringLiteral("255.255.255.255"));
        }
        QVERIFY(raised);
    }

    void strayRepliesNeverEndAWait_data()
    {
        QTest::addColumn<QString>("from");       // the stand-in, or another device
        QTest::addColumn<int>("command");        // what the stray datagram answers
        QTest::addColumn<int>("result");         // what the waiting command gets
        using C = Wire::Command;
        QTest::newRow("the device's own acknowledgement ends it") << "device" << int(C::StartFtpServer) << int(ResultAcknowledged);
        QTest::newRow("the acknowledgement from another device") << "other" << int(C::StartFtpServer) << int(ResultNoReply);
        QTest::newRow("a late reply of another command") << "device" << int(C::StopUpdater) << int(ResultNoReply);
        QTest::newRow("a discovery reply") << "device" << int(C::Discover) << int(ResultNoReply);
    }
    void strayRepliesNeverEndAWait()
    {
        // A reply is routed by its sender and the command it answers: only the device's reply to
        // the waiting command ends the wait (here of StartFtpServer, two seconds long).
        QFETCH(QString, from);
        QFETCH(int, command);
        QFETCH(int, result);
        openEngine(40);
        LoopbackPeer other(otherDeviceAddress, 0);
        QVERIFY(other.isOpen());
        const auto code = static_cast<Wire::Command>(command);
        const QByteArray stray = code == Wire::Command::Discover ? discoveryReply()
                                                                 : ackOf(quint8(code), Wire::commandInfo(code).ackCode);
        TCommandReply reply;
        std::unique_ptr<QThread> waiting(QThread::create([&] {
            reply = m_engine->Command(Wire::Command::StartFtpServer, peerText, TransportUdp);
        }));
        waiting->start();
        QTRY_COMPARE(m_peer->requests().size(), 1); // the request is out: the wait is on
        (from == u"other" ? other : *m_peer).burst({stray}, enginAddress, m_port);
        QVERIFY(waiting->wait(QDeadlineTimer(ReturnWithinMs)));
        QCOMPARE(int(reply.result), result);
        QCOMPARE(reply.data.isEmpty(), result == ResultNoReply);
        QCOMPARE(reply.interruption, TCommandReply::Interruption::None);
    }

    void lateReplyStaysWithItsCommand()
    {
        // A second reply to a command that comes after its wait has ended neither ends nor judges
        // the wait of another command to the same device.
        m_peer->setResponder(acknowledge);
        const TCommandReply first = m_engine->Command(Wire::Command::StopUpdater, peerText, TransportUdp);
        QCOMPARE(first.result, ResultAcknowledged);
        m_peer->setResponder({});
        TCommandReply second;
        double took = 0;
        std::unique_ptr<QThread> waiting(QThread::create([&] {
            took = timed([&] { second = m_engine->Command(Wire::Command::StartFtpServer, peerText, TransportUdp); });
        }));
        waiting->start();
        QTRY_COMPARE(m_peer->requests().size(), 2);
        m_peer->burst({first.data}, enginAddress, m_port);
        QVERIFY(waiting->wait(QDeadlineTimer(ReturnWithinMs)));
        QVERIFY2(took > 4.5, qPrintable(QString::number(took))); // the whole wait of StartFtpServer
        QCOMPARE(second.result, ResultNoReply);
        QVERIFY(second.data.isEmpty());
    }

    void burstIsKeptInOrder()
    {
        // Ten thousand replies while the GUI thread is busy: none may be lost, and they arrive in order.
        constexpr int count = 10000;
        QList<QByteArray> datagrams;
        for (int i = 0; i < count; ++i)
            datagrams.append(ReplyBuilder(1).raw(QByteArray::number(i)).bytes());
        // Installs the handler; its request is answered by no one.
        QCOMPARE(m_engine->Discover(peerText, recorder()), QString());
        m_peer->burst(datagrams, enginAddress, m_port);
        QThread::msleep(500); // the GUI thread does not process events meanwhile
        QTRY_COMPARE_WITH_TIMEOUT(m_calls.size(), count, 20000);
        for (int i = 0; i < count; ++i) {
            QCOMPARE(m_calls[i].data.mid(25), QByteArray::number(i));
            QVERIFY(m_calls[i].onGuiThread);
            QVERIFY(m_calls[i].viaDatagram);
        }
    }

    void throwingHandlerLosesOnlyItsDatagram()
    {
        m_peer->setResponder([](const QByteArray &request) {
            return QList<QByteArray>{acknowledge(request).first(), acknowledge(request).first()};
        });
        int calls = 0;
        QCOMPARE(m_engine->Discover(peerText, [&](const QString &, int, const char *, int, bool, bool) {
            if (++calls == 1)
                throw std::runtime_error("handler failed");
        }),
                 QString());
        QTRY_COMPARE(calls, 2);
    }

    void listenersMayChangeListeners()
    {
        // Listeners are called outside the engine's locks: one that removes itself, adds another
        // and asks the engine about the device does not block the listener thread.
        std::atomic<int> self{0};
        std::atomic<int> firstCalls{0};
        std::atomic<int> laterCalls{0};
        std::atomic<int> added{0};
        self = m_engine->addDiscoveryListener([&](const TDeviceDatagram &datagram) {
            m_engine->removeDiscoveryListener(self);
            added = m_engine->addDiscoveryListener([&](const TDeviceDatagram &) { ++laterCalls; });
            m_engine->adapterFor(datagram.sender);
            ++firstCalls;
        });
        m_peer->burst({discoveryReply(), discoveryReply(), discoveryReply()}, enginAddress, m_port);
        QTRY_COMPARE(laterCalls.load(), 2);
        QCOMPARE(firstCalls.load(), 1);
        m_engine->removeDiscoveryListener(added);
    }

    void removedListenerIsNotRunning()
    {
        // Once removeDiscoveryListener returns, its owner may free what the listener uses.
        std::atomic<bool> started{false};
        std::atomic<bool> finished{false};
        std::atomic<int> calls{0};
        const int id = m_engine->addDiscoveryListener([&](const TDeviceDatagram &) {
            ++calls;
            started = true;
            QThread::msleep(300);
            finished = true;
        });
        m_peer->burst({discoveryReply(), discoveryReply()}, enginAddress, m_port);
        QTRY_VERIFY(started.load());
        m_engine->removeDiscoveryListener(id);
        QVERIFY(finished.load());
        const int callsAtRemoval = calls.load();
        m_peer->burst({discoveryReply()}, enginAddress, m_port);
        QTest::qWait(300);
        QCOMPARE(calls.load(), callsAtRemoval);
    }

    void cancelEndsTheWait_data() { blockingCallRows(); }
    void cancelEndsTheWait()
    {
        QFETCH(BlockingCall, call);
        QFETCH(bool, connectionTaken);
        const std::unique_ptr<SilentTcpHost> silent = silentPeer(connectionTaken);
        QVERIFY(!silent || silent->isOpen());
        openEngine(LongWaitUnitMs, LongConnectTimeoutMs);
        std::atomic<bool> cancel{false};
        Ending ending;
        QElapsedTimer clock;
        std::unique_ptr<QThread> waiting(QThread::create([&] { ending = callEngine(call, &cancel); }));
        clock.start();
        waiting->start();
        if (connectionTaken)
            QTRY_COMPARE(m_peer->requests().size(), 1); // the request is in: the reply wait is on
        QTest::qWait(CutAfterMs);
        cancel = true;
        QVERIFY2(waiting->wait(QDeadlineTimer(ReturnWithinMs)), "the call did not return");
        const double took = clock.elapsed() / 1000.0;
        QCOMPARE(ending.interruption, TCommandReply::Interruption::Cancelled);
        QCOMPARE(ending.error, TDatagramEngine::CancelledText);
        QVERIFY(ending.data.isEmpty());
        QCOMPARE(ending.result, ResultNoReply);
        QVERIFY2(took < LongWaitSeconds / 2, qPrintable(QString::number(took)));
    }

    void cancelSetBeforeTheCallDoesNotApply_data()
    {
        QTest::addColumn<quint8>("transport");
        QTest::newRow("udp") << TransportUdp;
        QTest::newRow("tcp") << TransportTcp;
    }
    void cancelSetBeforeTheCallDoesNotApply()
    {
        // A cancelled operation still puts its device back: those commands run to their end.
        QFETCH(quint8, transport);
        m_peer->setResponder(acknowledge, 300);
        const std::atomic<bool> cancel{true};
        const TCommandReply reply = m_engine->Command(Wire::Command::StartDaemon, peerText, transport, &cancel);
        QCOMPARE(reply.result, ResultAcknowledged);
        QCOMPARE(reply.interruption, TCommandReply::Interruption::None);
        QCOMPARE(reply.error, QString());
    }

    void closingWakesTheWaits_data() { blockingCallRows(); }
    void closingWakesTheWaits()
    {
        QFETCH(BlockingCall, call);
        QFETCH(bool, connectionTaken);
        const std::unique_ptr<SilentTcpHost> silent = silentPeer(connectionTaken);
        QVERIFY(!silent || silent->isOpen());
        openEngine(LongWaitUnitMs, LongConnectTimeoutMs);
        Ending ending;
        std::unique_ptr<QThread> waiting(QThread::create([&] { ending = callEngine(call, nullptr); }));
        waiting->start();
        if (connectionTaken)
            QTRY_COMPARE(m_peer->requests().size(), 1);
        QTest::qWait(CutAfterMs);
        const double took = timed([&] { m_engine.reset(); });
        QVERIFY(waiting->wait(QDeadlineTimer(ReturnWithinMs)));
        QCOMPARE(ending.interruption, TCommandReply::Interruption::EngineClosed);
        QCOMPARE(ending.error, TDatagramEngine::EngineClosedText);
        QVERIFY(ending.data.isEmpty());
        QVERIFY2(took < LongWaitSeconds / 2, qPrintable(QString::number(took)));
    }
};

QTEST_GUILESS_MAIN(TestServeur)
#include "tst_datagramengine.moc"
