// The bus client against an in-process controller on 127.0.0.1: joining, cutting, retries, time-outs,
// chunking and what the controller received, in order.

#include "fakebuspeer.h"
#include "protocol/socketwait.h"
#include "uikeepalive.h"
#include "unreachableproxy.h"
#include "bus/controllerbus.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <memory>

namespace {

struct Chunk
{
    quint8 function;
    quint32 address;
    int count;
};

Chunk chunkOf(const QByteArray &frame)
{
    const auto byte = [&](int i) { return static_cast<quint8>(frame.at(i)); };
    return {byte(1), (quint32(byte(3)) << 16) | (quint32(byte(4)) << 8) | byte(5), byte(6)};
}

QByteArray pattern(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 31 + seed) & 0xFF);
    return bytes;
}

// A short base time-out for the tests that only need a device to stay silent, not the real figure.
constexpr ControllerBus::Timing QuickTiming{100, ControllerBus::CommandPauseMs};

} // namespace

class TestBusClient : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TControllerBus> busFor(const FakeBusPeer &peer, ControllerBus::Timing timing = {})
    {
        return std::make_unique<TControllerBus>(nullptr, QStringLiteral("127.0.0.1"), peer.port(), timing);
    }

private slots:
    void commandExchange();
    void proxySettingsDoNotApply();
    void joinsSplitReply_data();
    void joinsSplitReply();
    void cutsLongerReply_data();
    void cutsLongerReply();
    void silentDeviceCostsThreeTimeouts_data();
    void silentDeviceCostsThreeTimeouts();
    void badCrcIsRetried_data();
    void badCrcIsRetried();
    void emptyDatagramEndsAttempt();
    void replyFromAnotherPortIsTaken();
    void staleDatagramIsNotTheReply();
    void writeBlockChunks_data();
    void writeBlockChunks();
    void readBlockChunks_data();
    void readBlockChunks();
    void writeStopsAtFailedChunk();
    void readDropsEarlierChunksOnFailure();
    void zeroUnitGoesOutAsFf();
    void exchangeWhileBusyReturnsEmpty();
    void waitKeepsWindowAlive_data();
    void waitKeepsWindowAlive();
    void sendCommandPausesWithEvents();
    void stopEndsThePauseAfterACommand();
    void closedOrUnopenedBusSendsNothing();
    void stopEndsTheReplyWait_data();
    void stopEndsTheReplyWait();
    void stoppedBusSendsOnlyOneReset();
};

void TestBusClient::commandExchange()
{
    FakeBusPeer peer;
    QVERIFY(peer.isListening());
    auto bus = busFor(peer);
    QVERIFY(bus->isOpen());
    QCOMPARE(bus->Host(), QStringLiteral("127.0.0.1"));
    const QByteArray reply = bus->SendCommand(0xFF, Wire::Bus::GetConfigStart);
    QCOMPARE(reply.toHex(), QByteArray("ff64d2eb6d"));
    QCOMPARE(peer.received(), QList<QByteArray>{QByteArray::fromHex("ff64d2eb6d")});
    QVERIFY(!bus->Busy());
}

void TestBusClient::proxySettingsDoNotApply()
{
    const UnreachableProxy proxy;
    FakeBusPeer peer;
    QVERIFY(peer.isListening());
    auto bus = busFor(peer);
    QVERIFY(bus->isOpen());
    QCOMPARE(bus->SendCommand(0xFF, Wire::Bus::GetConfigStart).toHex(), QByteArray("ff64d2eb6d"));
    QCOMPARE(peer.received().size(), 1);
}

void TestBusClient::joinsSplitReply_data()
{
    QTest::addColumn<bool>("read");
    QTest::addColumn<int>("splitAt");
    QTest::newRow("ff64d2 1+4") << false << 1;
    QTest::newRow("ff64d2 3+2") << false << 3;
    QTest::newRow("ff64d2 4+1") << false << 4;
    QTest::newRow("ff6e0600100004 7+6") << true << 7;
    QTest::newRow("ff6e0600100004 12+1") << true << 12;
}

void TestBusClient::joinsSplitReply()
{
    QFETCH(bool, read);
    QFETCH(int, splitAt);
    FakeBusPeer::Plan plan;
    plan.splitAt = splitAt;
    FakeBusPeer peer(plan);
    auto bus = busFor(peer);
    if (read) {
        QCOMPARE(bus->ReadBlock(0xFF, 0x1000, 4).toHex(), peer.memory(0x1000, 4).toHex());
    } else {
        QCOMPARE(bus->SendCommand(0xFF, Wire::Bus::GetConfigStart).toHex(), QByteArray("ff64d2eb6d"));
    }
    QCOMPARE(peer.received().size(), 1);
}

void TestBusClient::cutsLongerReply_data()
{
    QTest::addColumn<QByteArray>("trailing");
    QTest::newRow("00") << QByteArray(1, '\0');
    QTest::newRow("ffff") << QByteArray(2, '\xff');
    QTest::newRow("x200") << pattern(200, 3);
}

void TestBusClient::cutsLongerReply()
{
    QFETCH(QByteArray, trailing);
    FakeBusPeer::Plan plan;
    plan.trailing = trailing;
    FakeBusPeer peer(plan);
    auto bus = busFor(peer);
    const QByteArray reply = bus->Exchange(ControllerBus::readRequest(0xFF, 0x20, 4), ControllerBus::ReadReplyHeader + 4);
    QCOMPARE(reply.size(), ControllerBus::ReadReplyHeader + 4 + ControllerBus::CrcSize);
    QCOMPARE(reply.sliced(ControllerBus::ReadReplyHeader, 4).toHex(), peer.memory(0x20, 4).toHex());
    QCOMPARE(bus->ReplyBuffer(), reply);
    QCOMPARE(peer.received().size(), 1);

    // A command's reply is cut the same way.
    QCOMPARE(bus->Exchange(ControllerBus::commandRequest(0xFF, 0xD3), ControllerBus::CommandReplyData).toHex(),
             ControllerBus::seal(ControllerBus::commandRequest(0xFF, 0xD3)).toHex());
    QCOMPARE(bus->ReplyBuffer().toHex(), ControllerBus::seal(ControllerBus::commandRequest(0xFF, 0xD3)).toHex());
    QVERIFY(!bus->Busy());
}

void TestBusClient::silentDeviceCostsThreeTimeouts_data()
{
    QTest::addColumn<int>("baseMs");
    QTest::addColumn<bool>("read");
    QTest::addColumn<int>("timeoutMs");
    QTest::newRow("ff64d2 1010") << ControllerBus::BaseTimeoutMs << false << 1010;
    QTest::newRow("ff6e06000000 base200") << 200 << true << 9 + 11 + 200;
}

void TestBusClient::silentDeviceCostsThreeTimeouts()
{
    QFETCH(int, baseMs);
    QFETCH(bool, read);
    QFETCH(int, timeoutMs);
    FakeBusPeer::Plan plan;
    plan.silent = true;
    FakeBusPeer peer(plan);
    auto bus = busFor(peer, {baseMs, ControllerBus::CommandPauseMs});
    QElapsedTimer clock;
    clock.start();
    const QByteArray reply = read ? bus->ReadBlock(0xFF, 0, 4)
                                  : bus->Exchange(ControllerBus::commandRequest(0xFF, Wire::Bus::GetConfigStart), 3);
    const qint64 elapsed = clock.elapsed();
    QVERIFY(reply.isEmpty());
    const QList<QByteArray> frames = peer.received();
    QCOMPARE(frames.size(), ControllerBus::Attempts);
    QCOMPARE(frames.at(1), frames.at(0));
    QCOMPARE(frames.at(2), frames.at(0));
    QVERIFY2(elapsed >= 3 * timeoutMs * 9 / 10, qPrintable(QString::number(elapsed)));
    QVERIFY2(elapsed < 3 * timeoutMs + 3000, qPrintable(QString::number(elapsed)));
}

void TestBusClient::badCrcIsRetried_data()
{
    QTest::addColumn<int>("badReplies");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("1 bad") << 1 << true;
    QTest::newRow("2 bad") << 2 << true;
    QTest::newRow("3 bad") << 3 << false;
}

void TestBusClient::badCrcIsRetried()
{
    QFETCH(int, badReplies);
    QFETCH(bool, succeeds);
    FakeBusPeer::Plan plan;
    plan.badCrcReplies = badReplies;
    FakeBusPeer peer(plan);
    auto bus = busFor(peer);
    const QByteArray data = bus->ReadBlock(0xFF, 0x4000, 16);
    QCOMPARE(data.toHex(), succeeds ? peer.memory(0x4000, 16).toHex() : QByteArray());
    const QList<QByteArray> frames = peer.received();
    QCOMPARE(frames.size(), succeeds ? badReplies + 1 : ControllerBus::Attempts);
    QCOMPARE(bus->LastAttempts(), int(frames.size())); // one chunk: its exchange is the last
    for (const QByteArray &frame : frames)
        QCOMPARE(frame.toHex(), ControllerBus::seal(ControllerBus::readRequest(0xFF, 0x4000, 16)).toHex());
}

void TestBusClient::emptyDatagramEndsAttempt()
{
    FakeBusPeer::Plan plan;
    plan.emptyReply = true;
    FakeBusPeer peer(plan);
    auto bus = busFor(peer);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(bus->SendCommand(0xFF, Wire::Bus::GetConfigStop).isEmpty());
    QCOMPARE(peer.received().size(), ControllerBus::Attempts);
    // Each attempt ended at the empty datagram instead of waiting out its time-out.
    QVERIFY2(clock.elapsed() < 2 * 1010, qPrintable(QString::number(clock.elapsed())));
}

void TestBusClient::replyFromAnotherPortIsTaken()
{
    FakeBusPeer::Plan plan;
    plan.fromOtherPort = true;
    FakeBusPeer peer(plan);
    auto bus = busFor(peer);
    QCOMPARE(bus->ReadBlock(0xFF, 0x10, 8).toHex(), peer.memory(0x10, 8).toHex());
    QCOMPARE(peer.received().size(), 1);
}

void TestBusClient::staleDatagramIsNotTheReply()
{
    FakeBusPeer peer;
    auto bus = busFor(peer);
    // A well-formed read reply with other data, already waiting when the request goes out.
    const QByteArray stale = FakeBusPeer::withReferenceCrc(QByteArray::fromHex("ff6e0600003004") + "XXXX");
    QUdpSocket late;
    QVERIFY(late.bind(QHostAddress::LocalHost, 0));
    QCOMPARE(late.writeDatagram(stale, QHostAddress::LocalHost, bus->localPort()), stale.size());
    QTest::qWait(20);
    QCOMPARE(bus->ReadBlock(0xFF, 0x30, 4).toHex(), peer.memory(0x30, 4).toHex());
}

void TestBusClient::writeBlockChunks_data()
{
    QTest::addColumn<quint32>("address");
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("chunks");
    QTest::newRow("012340 x300") << 0x012340u << 300 << QList<int>{128, 128, 44};
    QTest::newRow("000000 x128") << 0u << 128 << QList<int>{128};
    QTest::newRow("000000 x129") << 0u << 129 << QList<int>{128, 1};
    QTest::newRow("000010 x1") << 0x10u << 1 << QList<int>{1};
    QTest::newRow("000010 x0") << 0x10u << 0 << QList<int>{};
    // Bit 24 is not sent; the next chunk's address carries across the top of the 24 bits.
    QTest::newRow("1000004 x4") << (1u << 24) + 4 << 4 << QList<int>{4};
    QTest::newRow("ffff80 x300") << 0xFFFF80u << 300 << QList<int>{128, 128, 44};
}

void TestBusClient::writeBlockChunks()
{
    QFETCH(quint32, address);
    QFETCH(int, size);
    QFETCH(QList<int>, chunks);
    FakeBusPeer peer;
    auto bus = busFor(peer);
    const QByteArray data = pattern(size, 11);
    QList<int> progress;
    QVERIFY(bus->WriteBlock(0xFF, address, data, [&](int n) { progress.append(n); }));
    QCOMPARE(progress, chunks);

    const QList<QByteArray> frames = peer.received();
    QCOMPARE(frames.size(), chunks.size());
    int offset = 0;
    for (int i = 0; i < frames.size(); ++i) {
        const Chunk chunk = chunkOf(frames.at(i));
        QCOMPARE(chunk.function, Wire::Bus::FunctionWriteBlock);
        QCOMPARE(chunk.address, (address + quint32(offset)) & 0xFFFFFFu);
        QCOMPARE(chunk.count, chunks.at(i));
        QCOMPARE(frames.at(i).size(), chunks.at(i) + 9);
        QCOMPARE(frames.at(i).sliced(7, chunks.at(i)), data.sliced(offset, chunks.at(i)));
        offset += chunks.at(i);
    }
    QCOMPARE(peer.memory(address & 0xFFFFFFu, size).toHex(), data.toHex());
}

void TestBusClient::readBlockChunks_data()
{
    QTest::addColumn<quint32>("address");
    QTest::addColumn<int>("count");
    QTest::addColumn<QList<int>>("chunks");
    QTest::newRow("000000 x4") << 0u << 4 << QList<int>{4};
    QTest::newRow("012340 x300") << 0x012340u << 300 << QList<int>{128, 128, 44};
    QTest::newRow("1000004 x4") << (1u << 24) + 4 << 4 << QList<int>{4};
    QTest::newRow("ffff80 x300") << 0xFFFF80u << 300 << QList<int>{128, 128, 44};
    QTest::newRow("000000 x0") << 0u << 0 << QList<int>{};
}

void TestBusClient::readBlockChunks()
{
    QFETCH(quint32, address);
    QFETCH(int, count);
    QFETCH(QList<int>, chunks);
    FakeBusPeer peer;
    auto bus = busFor(peer);
    QList<int> progress;
    const QByteArray data = bus->ReadBlock(0xFF, address, count, [&](int n) { progress.append(n); });
    QCOMPARE(progress, chunks);
    // A count of 0 reads nothing and gives the same empty result as a failure.
    QCOMPARE(data.toHex(), peer.memory(address & 0xFFFFFFu, count).toHex());

    const QList<QByteArray> frames = peer.received();
    QCOMPARE(frames.size(), chunks.size());
    int offset = 0;
    for (int i = 0; i < frames.size(); ++i) {
        QCOMPARE(frames.at(i).toHex(),
                 ControllerBus::seal(ControllerBus::readRequest(0xFF, address + quint32(offset), chunks.at(i))).toHex());
        const Chunk chunk = chunkOf(frames.at(i));
        QCOMPARE(chunk.address, (address + quint32(offset)) & 0xFFFFFFu);
        offset += chunks.at(i);
    }
}

void TestBusClient::writeStopsAtFailedChunk()
{
    FakeBusPeer::Plan plan;
    plan.answerCount = 1;
    FakeBusPeer peer(plan);
    auto bus = busFor(peer, QuickTiming);
    const QByteArray before = peer.memory(0x800, 300);
    const QByteArray data = pattern(300, 5);
    QList<int> progress;
    QVERIFY(!bus->WriteBlock(0xFF, 0x800, data, [&](int n) { progress.append(n); }));
    QCOMPARE(progress, QList<int>{128});
    const QList<QByteArray> frames = peer.received();
    QCOMPARE(frames.size(), 1 + ControllerBus::Attempts);
    QCOMPARE(chunkOf(frames.at(0)).address, 0x800u);
    for (int i = 1; i < frames.size(); ++i)
        QCOMPARE(chunkOf(frames.at(i)).address, 0x880u);
    // The first chunk stays written; the controller stored the unanswered second chunk too, but no
    // third chunk was ever sent.
    QCOMPARE(peer.memory(0x800, 128), data.first(128));
    QCOMPARE(peer.memory(0x900, 44), before.sliced(256, 44));
}

void TestBusClient::readDropsEarlierChunksOnFailure()
{
    FakeBusPeer::Plan plan;
    plan.answerCount = 2;
    FakeBusPeer peer(plan);
    auto bus = busFor(peer, QuickTiming);
    QList<int> progress;
    QVERIFY(bus->ReadBlock(0xFF, 0, 300, [&](int n) { progress.append(n); }).isEmpty());
    QCOMPARE(progress, (QList<int>{128, 128}));
    QCOMPARE(peer.received().size(), 2 + ControllerBus::Attempts);
}

void TestBusClient::zeroUnitGoesOutAsFf()
{
    FakeBusPeer peer;
    auto bus = busFor(peer);
    QVERIFY(!bus->Exchange(QByteArray::fromHex("0064d2"), 3).isEmpty());
    QVERIFY(bus->WriteBlock(0x00, 0x40, QByteArray::fromHex("0102")));
    QCOMPARE(peer.received(),
             (QList<QByteArray>{QByteArray::fromHex("ff64d2eb6d"),
                                FakeBusPeer::withReferenceCrc(QByteArray::fromHex("ff6f06000040020102"))}));
}

void TestBusClient::exchangeWhileBusyReturnsEmpty()
{
    TUiKeepAlive keepAlive;
    FakeBusPeer::Plan plan;
    plan.delayMs = 600;
    FakeBusPeer peer(plan);
    auto bus = busFor(peer);

    bool nestedRan = false;
    bool busyInside = false;
    QByteArray nestedReply("unset");
    qint64 nestedMs = -1;
    QTimer::singleShot(0, this, [&] {
        nestedRan = true;
        busyInside = bus->Busy();
        QElapsedTimer clock;
        clock.start();
        nestedReply = bus->Exchange(ControllerBus::commandRequest(0xFF, Wire::Bus::Reset), 3);
        nestedMs = clock.elapsed();
    });
    const QByteArray reply = bus->Exchange(ControllerBus::commandRequest(0xFF, Wire::Bus::GetConfigStart), 3);
    QVERIFY(nestedRan);
    QVERIFY(busyInside);
    QVERIFY(nestedReply.isEmpty());
    // Returned at once: well under a single receive time-out.
    QVERIFY2(nestedMs >= 0 && nestedMs < 500, qPrintable(QString::number(nestedMs)));
    QCOMPARE(reply.toHex(), QByteArray("ff64d2eb6d"));
    QCOMPARE(peer.received(), QList<QByteArray>{QByteArray::fromHex("ff64d2eb6d")});
    QVERIFY(!bus->Busy());
}

void TestBusClient::waitKeepsWindowAlive_data()
{
    QTest::addColumn<bool>("keepAlive");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<bool>("eventsDuringWait");
    QTest::newRow("keep-alive, slow device") << true << 600 << true;
    QTest::newRow("no keep-alive, slow device") << false << 600 << false;
    QTest::newRow("keep-alive, prompt device") << true << 0 << false;
}

void TestBusClient::waitKeepsWindowAlive()
{
    QFETCH(bool, keepAlive);
    QFETCH(int, delayMs);
    QFETCH(bool, eventsDuringWait);
    std::optional<TUiKeepAlive> alive;
    if (keepAlive)
        alive.emplace();
    FakeBusPeer::Plan plan;
    plan.delayMs = delayMs;
    FakeBusPeer peer(plan);
    auto bus = busFor(peer);
    bool ran = false;
    QTimer::singleShot(0, this, [&] { ran = true; });
    // A full chunk: its first wait slice is 146 ms, ample for a prompt device even on a loaded machine.
    QCOMPARE(bus->ReadBlock(0xFF, 0, Wire::Bus::MaxChunk).toHex(), peer.memory(0, Wire::Bus::MaxChunk).toHex());
    QCOMPARE(ran, eventsDuringWait);
    QTRY_VERIFY(ran);
}

// The pause after a command is the device's, but an operation that is stopped does not sit it out.
void TestBusClient::stopEndsThePauseAfterACommand()
{
    FakeBusPeer peer;
    ControllerBus::Timing timing;
    timing.commandPauseMs = 20000;
    auto bus = busFor(peer, timing);
    std::atomic<bool> stop{false};
    bus->setStopFlag(&stop);
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop = true;
    });
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!bus->SendCommand(0xFF, Wire::Bus::Reset).isEmpty()); // answered, then the pause
    stopper.join();
    QVERIFY2(clock.elapsed() < timing.commandPauseMs / 4, qPrintable(QString::number(clock.elapsed())));
}

void TestBusClient::sendCommandPausesWithEvents()
{
    FakeBusPeer peer;
    auto bus = busFor(peer);
    bool ran = false;
    TUiKeepAlive keepAlive; // the pause turns the thread's events as every socket wait does
    QTimer::singleShot(30, this, [&] { ran = true; });
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!bus->SendCommand(0xFF, Wire::Bus::Reset).isEmpty());
    QVERIFY2(clock.elapsed() >= 95, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(ran);

    // A failed command pauses too.
    FakeBusPeer::Plan plan;
    plan.silent = true;
    FakeBusPeer silent(plan);
    auto quick = busFor(silent, {20, 300});
    clock.restart();
    QVERIFY(quick->SendCommand(0xFF, Wire::Bus::Reset).isEmpty());
    QVERIFY2(clock.elapsed() >= 3 * (5 + 3 + 20) + 280, qPrintable(QString::number(clock.elapsed())));
}

void TestBusClient::closedOrUnopenedBusSendsNothing()
{
    FakeBusPeer peer;
    auto bus = busFor(peer);
    bus->Close();
    QVERIFY(!bus->isOpen());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(bus->SendCommand(0xFF, Wire::Bus::Reset).isEmpty());
    QVERIFY(!bus->WriteBlock(0xFF, 0, QByteArray("abc")));
    QVERIFY(bus->ReadBlock(0xFF, 0, 3).isEmpty());
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed()))); // no receive time-outs
    QVERIFY(bus->Open());
    QVERIFY(bus->Open());
    QCOMPARE(bus->ReadBlock(0xFF, 0, 3).toHex(), peer.memory(0, 3).toHex());
    QCOMPARE(peer.received().size(), 1);

    TControllerBus unparsable(nullptr, QStringLiteral("not an address"), peer.port());
    QVERIFY(!unparsable.isOpen());
    QVERIFY(!unparsable.Open());
    QVERIFY(unparsable.Exchange(ControllerBus::commandRequest(0xFF, 0), 3).isEmpty());
    QCOMPARE(peer.received().size(), 1);
}

namespace {
// A reply wait far beyond the test's own limit (as tarvino-cli --timeout 60 sets it): only a stop
// lets a call against a silent controller return in time.
constexpr ControllerBus::Timing LongTiming{60000, ControllerBus::CommandPauseMs};

// Sets the flag once the peer has received its first datagram (or after a bound, so that a test
// never hangs on it).
std::thread stopAfterFirstDatagram(const FakeBusPeer &peer, std::atomic<bool> &stop)
{
    return std::thread([&peer, &stop] {
        for (int i = 0; i < 2000 && peer.received().isEmpty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stop = true;
    });
}
} // namespace

void TestBusClient::stopEndsTheReplyWait_data()
{
    QTest::addColumn<QString>("call");
    QTest::newRow("read block") << QStringLiteral("read");
    QTest::newRow("write block") << QStringLiteral("write");
    QTest::newRow("command") << QStringLiteral("command");
    QTest::newRow("exchange") << QStringLiteral("exchange");
}

// A stop from another thread wakes the reply wait of a silent controller: the call returns empty
// and the first attempt stays the only one.
void TestBusClient::stopEndsTheReplyWait()
{
    QFETCH(QString, call);
    FakeBusPeer::Plan plan;
    plan.silent = true;
    FakeBusPeer peer(plan);
    auto bus = busFor(peer, LongTiming);
    std::atomic<bool> stop{false};
    bus->setStopFlag(&stop);
    std::thread stopper = stopAfterFirstDatagram(peer, stop);
    bool answered = true;
    if (call == QLatin1String("read"))
        answered = !bus->ReadBlock(0xFF, 0, 3 * Wire::Bus::MaxChunk).isEmpty();
    else if (call == QLatin1String("write"))
        answered = bus->WriteBlock(0xFF, 0, pattern(3 * Wire::Bus::MaxChunk, 1));
    else if (call == QLatin1String("command"))
        answered = !bus->SendCommand(0xFF, Wire::Bus::GetConfigStart).isEmpty();
    else
        answered = !bus->Exchange(ControllerBus::commandRequest(0xFF, Wire::Bus::GetLogs), ControllerBus::CommandReplyData).isEmpty();
    stopper.join();
    QVERIFY(!answered);
    QCOMPARE(bus->LastAttempts(), 1);
    QCOMPARE(peer.received().size(), 1);
    QVERIFY(!bus->Busy());
}

// Once stopped, nothing goes out but the reset that puts the controller back: once, and without
// the long reply wait (the call returns).
void TestBusClient::stoppedBusSendsOnlyOneReset()
{
    FakeBusPeer::Plan plan;
    plan.silent = true;
    FakeBusPeer peer(plan);
    auto bus = busFor(peer, LongTiming);
    std::atomic<bool> stop{true};
    bus->setStopFlag(&stop);
    QVERIFY(bus->Exchange(ControllerBus::commandRequest(0xFF, Wire::Bus::GetLogs), ControllerBus::CommandReplyData).isEmpty());
    QCOMPARE(bus->LastAttempts(), 0);
    QVERIFY(bus->SendCommand(0xFF, Wire::Bus::GetConfigStart).isEmpty());
    QVERIFY(!bus->WriteBlock(0xFF, 0, QByteArray("abc")));
    QVERIFY(bus->ReadBlock(0xFF, 0, 3).isEmpty());

    bus->resetController();
    QCOMPARE(bus->LastAttempts(), 1);
    QVERIFY(!bus->Busy());
    const QByteArray reset = ControllerBus::seal(ControllerBus::commandRequest(Wire::Bus::UnitAddress, Wire::Bus::Reset));
    QTRY_COMPARE(peer.received(), QList<QByteArray>{reset});
}

QTEST_GUILESS_MAIN(TestBusClient)
#include "tst_busclient.moc"
