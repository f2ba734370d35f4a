// The device operations against stand-ins on loopback addresses (the engine on 127.0.0.1, the
// devices on 127.0.0.2 and up, on a port of the test's choosing), with short waits: which reply
// ends which request, many devices at once, and what an operation's outcome says.
#include "operations/boardupgrade.h"
#include "operations/commandoperations.h"
#include "operations/controlleroperations.h"
#include "operations/devicesession.h"
#include "loopbackpeer.h"
#include "operations/operationmanager.h"
#include "operations/operationpool.h"
#include "replybuilder.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "protocol/sha256text.h"

#include <QtTest>

#include <memory>
#include <thread>

namespace {
constexpr int Devices = 4;
constexpr int WaitUnitMs = 10; // StartUpdater waits 50 units: half a second
const QHostAddress engineAddress(QStringLiteral("127.0.0.1"));

QHostAddress deviceAddress(int index)
{
    return QHostAddress(engineAddress.toIPv4Address() + 1 + quint32(index));
}

quint16 freePortOnAll()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        QUdpSocket probe;
        if (!probe.bind(engineAddress, 0))
            continue;
        const quint16 port = probe.localPort();
        std::vector<std::unique_ptr<QUdpSocket>> others;
        bool free = true;
        for (int i = 0; i < Devices && free; ++i) {
            others.push_back(std::make_unique<QUdpSocket>());
            free = others.back()->bind(deviceAddress(i), port);
        }
        if (free)
            return port;
    }
    return 0;
}

// A command reply with the given acknowledgement code, from a device with its own record.
QByteArray commandReply(Wire::Command command, quint16 code, int device)
{
    const QByteArray record = QByteArray::fromHex("00010050c21a2b") + char(device);
    QByteArray ack(2, '\0');
    qToBigEndian(code, ack.data());
    return ReplyBuilder(quint8(command), record).raw(ack);
}

QByteArray acknowledgement(Wire::Command command, int device)
{
    return commandReply(command, Wire::commandInfo(command).ackCode, device);
}

Wire::Command commandOf(const QByteArray &request)
{
    return Wire::Command(quint8(request.at(Wire::CommandOffset)));
}
} // namespace

class TestOperations : public QObject
{
    Q_OBJECT

    quint16 m_port = 0;
    std::vector<std::unique_ptr<LoopbackPeer>> m_peers;
    std::unique_ptr<TDatagramEngine> m_engine;

    LoopbackPeer &peer(int index) { return *m_peers.at(size_t(index)); }
    QString ip(int index) const { return deviceAddress(index).toString(); }
    int waitMs(Wire::Command command) const { return Wire::commandInfo(command).waitCount * WaitUnitMs; }

    // Every stand-in acknowledges every command, as a device does.
    void acknowledgeEverything(int delayMs = 0)
    {
        for (int i = 0; i < Devices; ++i)
            peer(i).setResponder([i](const QByteArray &request) {
                return QList<QByteArray>{acknowledgement(commandOf(request), i)};
            }, delayMs);
    }

    // Sends datagrams to the engine from a stand-in, after a while.
    void sendLater(int from, const QList<QByteArray> &datagrams, int afterMs)
    {
        QTimer::singleShot(afterMs, this, [=, this] { peer(from).burst(datagrams, engineAddress, m_port); });
    }

private slots:
    void initTestCase()
    {
        StartupInit();
        m_port = freePortOnAll();
        QVERIFY(m_port != 0);
    }

    void init()
    {
        m_peers.clear();
        for (int i = 0; i < Devices; ++i) {
            m_peers.push_back(std::make_unique<LoopbackPeer>(deviceAddress(i), m_port));
            QVERIFY(m_peers.back()->isOpen());
        }
        TDatagramEngine::Options options;
        options.port = m_port;
        options.waitUnitMs = WaitUnitMs;
        options.bindAddresses = {engineAddress.toIPv4Address()};
        m_engine = std::make_unique<TDatagramEngine>(options);
        QCOMPARE(m_engine->boundAddresses(), QList<QHostAddress>{engineAddress});
    }

    void cleanup()
    {
        m_engine.reset();
        m_peers.clear();
    }

    // ---- Routing ----

    void strayRepliesNeverJudgeAWait_data()
    {
        QTest::addColumn<int>("from");          // the stand-in that sends the stray datagram
        QTest::addColumn<QByteArray>("stray");
        QTest::addColumn<int>("expected");      // the verdict of the waiting request to device 0
        const auto command = Wire::Command::StartUpdater;
        QTest::newRow("another device acknowledges the same command")
            << 1 << acknowledgement(command, 1) << int(ResultNoReply);
        QTest::newRow("the device's late reply to another command")
            << 0 << acknowledgement(Wire::Command::StopDaemon, 0) << int(ResultNoReply);
        QTest::newRow("a discovery reply of the device")
            << 0 << ReplyBuilder(1).text(7, "device").terminate().bytes() << int(ResultNoReply);
        QTest::newRow("too short to answer anything") << 0 << QByteArray(20, '\0') << int(ResultNoReply);
        QTest::newRow("the device answers with another code")
            << 0 << commandReply(command, 0xFFFE, 0) << int(ResultOtherReply);
        QTest::newRow("the device acknowledges") << 0 << acknowledgement(command, 0) << int(ResultAcknowledged);
    }

    void strayRepliesNeverJudgeAWait()
    {
        QFETCH(int, from);
        QFETCH(QByteArray, stray);
        QFETCH(int, expected);
        const auto command = Wire::Command::StartUpdater;
        // Device 0 stays silent; the datagram comes a fifth into the wait.
        sendLater(from, {stray}, waitMs(command) / 5);
        TCommandReply reply;
        std::atomic<bool> done = false;
        std::thread worker([&] {
            reply = m_engine->Command(command, ip(0), TransportUdp);
            done = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(done, 4 * waitMs(command)); // this thread's timer sends the stray datagram
        worker.join();
        QCOMPARE(int(reply.result), expected);
        QCOMPARE(peer(0).requests().size(), 1);
        if (expected == ResultNoReply) {
            QVERIFY(reply.data.isEmpty());
        } else {
            QCOMPARE(reply.data, stray);
        }
    }

    void concurrentRequestsGetTheirOwnReplies()
    {
        // Each device answers after its own delay, the slowest first asked; every request on its
        // own thread gets the reply of its own device, round after round.
        for (int i = 0; i < Devices; ++i)
            peer(i).setResponder([i](const QByteArray &request) {
                return QList<QByteArray>{acknowledgement(commandOf(request), i)};
            }, 40 - 10 * i);
        constexpr int Rounds = 5;
        std::vector<std::thread> workers;
        std::vector<QList<QByteArray>> replies(Devices);
        for (int i = 0; i < Devices; ++i)
            workers.emplace_back([&, i] {
                for (int round = 0; round < Rounds; ++round)
                    replies[size_t(i)].append(m_engine->Command(Wire::Command::StopDaemon, ip(i), TransportUdp).data);
            });
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(replies.begin(), replies.end(),
                                             [](const QList<QByteArray> &r) { return r.size() == Rounds; }),
                                 10000);
        for (std::thread &worker : workers)
            worker.join();
        for (int i = 0; i < Devices; ++i)
            QCOMPARE(replies[size_t(i)], QList<QByteArray>(Rounds, acknowledgement(Wire::Command::StopDaemon, i)));
    }

    // ---- Operations ----

    void dropBearResendsOnlyForItsOwnDevice_data()
    {
        QTest::addColumn<QString>("device");   // how device 0 answers
        QTest::addColumn<bool>("othersAnswer"); // the other devices acknowledge command 9 meanwhile
        QTest::addColumn<int>("requests");
        QTest::addColumn<int>("result");
        QTest::newRow("acknowledged at once") << "ack" << true << 1 << int(ResultAcknowledged);
        QTest::newRow("acknowledged twice") << "ack twice" << false << 1 << int(ResultAcknowledged);
        QTest::newRow("silent, others acknowledge") << "silent" << true << 5 << int(ResultNoReply);
        QTest::newRow("another code each time") << "other code" << false << 5 << int(ResultOtherReply);
    }

    void dropBearResendsOnlyForItsOwnDevice()
    {
        QFETCH(QString, device);
        QFETCH(bool, othersAnswer);
        QFETCH(int, requests);
        QFETCH(int, result);
        const auto command = Wire::Command::SetDropBear;
        if (device != QLatin1String("silent"))
            peer(0).setResponder([device](const QByteArray &) {
                if (device == QLatin1String("other code"))
                    return QList<QByteArray>{commandReply(Wire::Command::SetDropBear, 0xFFF8, 0)};
                const QByteArray ack = acknowledgement(Wire::Command::SetDropBear, 0);
                return device == QLatin1String("ack twice") ? QList<QByteArray>{ack, ack} : QList<QByteArray>{ack};
            });
        QTimer strays;
        if (othersAnswer) {
            connect(&strays, &QTimer::timeout, this, [&] {
                for (int i = 1; i < Devices; ++i)
                    peer(i).burst({acknowledgement(command, i)}, engineAddress, m_port);
            });
            strays.start(waitMs(command) / 4);
        }
        TDeviceCommand dropBear(m_engine.get(), {ip(0), TransportUdp}, command, {5, false});
        const TOperationOutcome outcome = dropBear.exec();
        strays.stop();
        QCOMPARE(peer(0).requests().size(), requests);
        QCOMPARE(dropBear.attemptsMade(), requests);
        QCOMPARE(int(dropBear.result()), result);
        QCOMPARE(outcome.succeeded, result == ResultAcknowledged);
        QCOMPARE(outcome.failedStep, outcome.succeeded ? QString() : QStringLiteral("DropBear"));
    }

    void bracketFailureNamesItsStep_data()
    {
        QTest::addColumn<int>("unconfirmed"); // the command device 0 does not acknowledge
        QTest::addColumn<QString>("step");
        QTest::addColumn<QList<int>>("sent");
        using C = Wire::Command;
        const auto codes = [](std::initializer_list<C> commands) {
            QList<int> list;
            for (C command : commands)
                list << int(command);
            return list;
        };
        QTest::newRow("stop daemon") << int(C::StopDaemon) << "Stopping daemon"
                                     << codes({C::StopDaemon, C::StartDaemon});
        QTest::newRow("start updater") << int(C::StartUpdater) << "Starting updater"
                                       << codes({C::StopDaemon, C::StartUpdater, C::StopUpdater, C::StartDaemon});
    }

    // A step the device does not confirm ends the work there and names the step in the window's
    // message; the steps that restore service still go out, and the device is back in service.
    void bracketFailureNamesItsStep()
    {
        QFETCH(int, unconfirmed);
        QFETCH(QString, step);
        QFETCH(QList<int>, sent);
        peer(0).setResponder([unconfirmed](const QByteArray &request) {
            const Wire::Command command = commandOf(request);
            return int(command) == unconfirmed ? QList<QByteArray>{commandReply(command, 0x1234, 0)}
                                               : QList<QByteArray>{acknowledgement(command, 0)};
        });
        TOperationTiming timing;
        timing.settleMs = 0;
        timing.arpTimeoutMs = 0;
        TReadControllerText read(m_engine.get(), {ip(0), TransportUdp}, TReadControllerText::Kind::Configuration,
                                 timing);
        QStringList steps;
        connect(&read, &TDeviceOperation::stepStarted, this, [&](const QString &label) { steps << label; });
        const TOperationOutcome outcome = read.exec();
        QVERIFY(!outcome.succeeded);
        QCOMPARE(outcome.failedStep, step);
        QCOMPARE(outcome.message, QStringLiteral("Read Config Failed\r\nDevice not responding: ") + step);
        QStringList labels;
        for (int code : sent)
            labels << TDeviceSession::stepLabel(Wire::Command(code));
        QCOMPARE(steps, labels);
        QList<int> received;
        for (const LoopbackPeer::Request &request : peer(0).requests())
            received << int(commandOf(request.data));
        QCOMPARE(received, sent);
        QCOMPARE(outcome.device.daemon, TDeviceState::On);
        QCOMPARE(outcome.device.updater, sent.size() > 2 ? TDeviceState::Off : TDeviceState::Unknown);
        QVERIFY(outcome.device.normal());
    }

    void configDifference_data()
    {
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<QByteArray>("readBack");
        QTest::addColumn<QString>("expected");
        const QByteArray text = "a=1\r\nname=pump\r\nmode=2\r\n";
        QTest::newRow("equal") << text << text << QString();
        QTest::newRow("one byte on the second line")
            << text << QByteArray(text).replace("pump", "pimp")
            << u"The configuration read back differs from the one written at byte 11, line 2: \"name=pump\" "
               u"was written, \"name=pimp\" read back (24 bytes written, 24 read)."_qs;
        QTest::newRow("cut short") << text << text.first(20)
                                   << u"The configuration read back differs from the one written at byte 20, line 3: "
                                      u"\"mode=2\" was written, \"mode\" read back (24 bytes written, 20 read)."_qs;
        QTest::newRow("first byte, nothing read")
            << text << QByteArray()
            << u"The configuration read back differs from the one written at byte 0, line 1: \"a=1\" was written, "
               u"\"\" read back (24 bytes written, 0 read)."_qs;
    }

    void configDifference()
    {
        QFETCH(QByteArray, written);
        QFETCH(QByteArray, readBack);
        QFETCH(QString, expected);
        QCOMPARE(ConfigDifference(written, readBack), expected);
    }

    void declinedWarningSendsNothing()
    {
        acknowledgeEverything();
        TWriteConfig write(m_engine.get(), {ip(0), TransportUdp}, "text");
        connect(&write, &TDeviceOperation::confirmationRequested, this, [&] { write.confirm(false); });
        const TOperationOutcome outcome = write.exec();
        QVERIFY(outcome.declined && !outcome.succeeded);
        QCOMPARE(outcome.message, QStringLiteral("Write Config Failed"));
        QVERIFY(peer(0).requests().isEmpty());
    }

    void poolRunsAFewAtATime_data()
    {
        QTest::addColumn<int>("operations");
        QTest::addColumn<int>("atOnce");
        QTest::newRow("8 by 3") << 8 << 3;
        QTest::newRow("4 by 8") << 4 << 8;
        QTest::newRow("5 by 1") << 5 << 1;
    }

    void poolRunsAFewAtATime()
    {
        QFETCH(int, operations);
        QFETCH(int, atOnce);
        acknowledgeEverything(30);
        TOperationPool pool(atOnce);
        for (int i = 0; i < operations; ++i)
            pool.add(new TDeviceCommand(m_engine.get(), {ip(i % Devices), TransportUdp}, Wire::Command::StopUpdater, {}));
        int running = 0;
        int most = 0;
        connect(&pool, &TOperationPool::operationStarted, this, [&] { most = std::max(most, ++running); });
        connect(&pool, &TOperationPool::operationFinished, this, [&] { --running; });
        pool.exec();
        QVERIFY(pool.isFinished());
        QCOMPARE(most, std::min(operations, atOnce));
        for (TDeviceOperation *operation : pool.operations())
            QVERIFY2(operation->outcome().succeeded, qPrintable(operation->outcome().failedStep));
        int requests = 0;
        for (int i = 0; i < Devices; ++i)
            requests += int(peer(i).requests().size());
        QCOMPARE(requests, operations);
    }

    // ---- One operation per device ----

    void busyDeviceRefusesASecondOperation_data()
    {
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("refused");
        QTest::newRow("the DropBear switch") << "dropbear" << true;
        QTest::newRow("a configuration write, before its warning") << "write" << true;
        QTest::newRow("a configuration read") << "read" << true;
        QTest::newRow("a search only asks") << "search" << false;
    }

    // While one operation works on a device, a second one there ends at once, names the first, and
    // sends the device nothing; another device is not held up; once the first ends the device is free.
    void busyDeviceRefusesASecondOperation()
    {
        QFETCH(QString, second);
        QFETCH(bool, refused);
        TOperationTiming timing;
        timing.settleMs = 0;
        timing.arpTimeoutMs = 0;
        // Device 0 does not answer: its StopDaemon waits its whole wait.
        TDeviceCommand first(m_engine.get(), {ip(0), TransportUdp}, Wire::Command::StopDaemon, {1, false}, timing);
        first.start();
        QTRY_COMPARE(peer(0).requests().size(), 1);
        QVERIFY(first.isRunning());

        std::unique_ptr<TDeviceOperation> other;
        bool warned = false;
        if (second == QLatin1String("dropbear"))
            other = std::make_unique<TDeviceCommand>(m_engine.get(), TDeviceTarget{ip(0), TransportUdp},
                                                     Wire::Command::SetDropBear, TDeviceCommand::dropBear(), timing);
        else if (second == QLatin1String("write"))
            other = std::make_unique<TWriteConfig>(m_engine.get(), TDeviceTarget{ip(0), TransportUdp}, "a=1", timing);
        else if (second == QLatin1String("read"))
            other = std::make_unique<TReadControllerText>(m_engine.get(), TDeviceTarget{ip(0), TransportUdp},
                                                          TReadControllerText::Kind::Configuration, timing);
        else
            other = std::make_unique<TSearchDevice>(m_engine.get(), ip(0), timing);
        connect(other.get(), &TDeviceOperation::confirmationRequested, this, [&] {
            warned = true;
            other->confirm(true);
        });
        const TOperationOutcome outcome = other->exec();
        QCOMPARE(outcome.kind == TOperationError::Busy, refused);
        if (refused) {
            QCOMPARE(outcome.message, QStringLiteral("%1 is busy: StopDaemon (Stopping daemon)").arg(ip(0)));
            QVERIFY(!warned);
            QVERIFY(first.isRunning());
            QCOMPARE(peer(0).requests().size(), 1); // the first operation's request only
        }
        // Another device is free meanwhile.
        acknowledgeEverything();
        TDeviceCommand elsewhere(m_engine.get(), {ip(1), TransportUdp}, Wire::Command::StopUpdater, {1, false}, timing);
        QVERIFY(elsewhere.exec().succeeded);

        QTRY_VERIFY_WITH_TIMEOUT(first.isFinished(), 5000);
        QVERIFY(!TOperationManager::of(m_engine.get())->isBusy(ip(0)));
        TDeviceCommand after(m_engine.get(), {ip(0), TransportUdp}, Wire::Command::StopUpdater, {1, false}, timing);
        QVERIFY(after.exec().succeeded);
    }

    // The manager knows what runs, stops it all and waits for it; every outcome says cancelled.
    void managerCancelsEverythingAndWaits()
    {
        TOperationManager *manager = TOperationManager::of(m_engine.get());
        std::vector<std::unique_ptr<TDeviceCommand>> running;
        for (int i = 0; i < 3; ++i) { // silent devices: each wait lasts unless cancelled
            running.push_back(std::make_unique<TDeviceCommand>(m_engine.get(), TDeviceTarget{ip(i), TransportUdp},
                                                               Wire::Command::StartUpdater, TDeviceCommand::Options{5, false}));
            running.back()->start();
        }
        QCOMPARE(manager->deviceOperationCount(), 3);
        QStringList ips;
        for (const TOperationManager::Running &entry : manager->running())
            ips << entry.ip;
        QCOMPARE(ips, (QStringList{ip(0), ip(1), ip(2)}));
        manager->cancelAll();
        QVERIFY(manager->waitForAll(5000));
        for (const auto &operation : running) {
            QVERIFY(operation->isFinished());
            QVERIFY(operation->outcome().cancelled);
            QCOMPARE(operation->outcome().kind, TOperationError::Cancelled);
            QVERIFY(operation->attemptsMade() < 5); // stopped, not resent to the end
        }
    }

    // An engine that goes while an operation runs first stops it: no worker uses a gone engine.
    void engineClosingStopsItsOperations()
    {
        TDeviceCommand command(m_engine.get(), {ip(0), TransportUdp}, Wire::Command::StartUpdater, {5, false});
        command.start();
        QTRY_COMPARE(peer(0).requests().size(), 1);
        m_engine.reset();
        QVERIFY(command.isCancelled());
        QVERIFY(command.attemptsMade() < 5);
    }

    // Two operations of one pool on one device wait for each other; the others go meanwhile.
    void poolNeverRunsTwoOperationsOnOneDevice()
    {
        acknowledgeEverything(30);
        TOperationPool pool(4);
        for (int i = 0; i < 3; ++i)
            pool.add(new TDeviceCommand(m_engine.get(), {ip(0), TransportUdp}, Wire::Command::StopUpdater, {}));
        pool.add(new TDeviceCommand(m_engine.get(), {ip(1), TransportUdp}, Wire::Command::StopUpdater, {}));
        int onDevice0 = 0;
        int most = 0;
        connect(&pool, &TOperationPool::operationStarted, this, [&](TDeviceOperation *operation) {
            if (operation->target().ip == ip(0))
                most = std::max(most, ++onDevice0);
        });
        connect(&pool, &TOperationPool::operationFinished, this, [&](TDeviceOperation *operation) {
            if (operation->target().ip == ip(0))
                --onDevice0;
        });
        pool.exec();
        QCOMPARE(most, 1);
        for (TDeviceOperation *operation : pool.operations())
            QVERIFY2(operation->outcome().succeeded, qPrintable(operation->outcome().message));
        QCOMPARE(peer(0).requests().size(), 3);
    }

    void errorKinds_data()
    {
        QTest::addColumn<QString>("device"); // how device 0 answers
        QTest::addColumn<QString>("file");   // the upgrade's image: "missing", or an image of 16 bytes
        QTest::addColumn<bool>("accept");
        QTest::addColumn<QString>("kind");
        QTest::newRow("silent") << "silent" << "image" << true << "notResponding";
        QTest::newRow("another code") << "other code" << "image" << true << "notResponding";
        QTest::newRow("the image is missing") << "ack" << "missing" << true << "fileError";
        QTest::newRow("declined") << "ack" << "image" << false << "declined";
    }

    // The kind beside the message, for callers that branch on it rather than on words.
    void errorKinds()
    {
        QFETCH(QString, device);
        QFETCH(QString, file);
        QFETCH(bool, accept);
        QFETCH(QString, kind);
        if (device != QLatin1String("silent"))
            peer(0).setResponder([device](const QByteArray &request) {
                const Wire::Command command = commandOf(request);
                return QList<QByteArray>{device == QLatin1String("ack") ? acknowledgement(command, 0)
                                                                        : commandReply(command, 0x1234, 0)};
            });
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("controller.bin"));
        if (file == QLatin1String("image")) {
            QFile image(path);
            QVERIFY(image.open(QIODevice::WriteOnly) && image.write(QByteArray(16, 'x')) == 16);
        }
        TOperationTiming timing;
        timing.settleMs = 0;
        timing.arpTimeoutMs = 0;
        TControllerUpgrade upgrade(m_engine.get(), {ip(0), TransportUdp}, path, timing);
        connect(&upgrade, &TDeviceOperation::confirmationRequested, this, [&] { upgrade.confirm(accept); });
        const TOperationOutcome outcome = upgrade.exec();
        QVERIFY(!outcome.succeeded);
        QCOMPARE(ErrorKindKey(outcome.kind), kind);
        if (kind == QLatin1String("fileError") || kind == QLatin1String("declined"))
            QVERIFY(peer(0).requests().isEmpty()); // nothing sent for a file unfit or a warning declined
    }

    // A run's image is read once: every operation sends the same bytes, not a copy each.
    void oneImageForTheWholeRun()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("board.bin"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(4096, 'b')) == 4096);
        file.close();
        const TFirmwareImage image = TFirmwareImage::read(path);
        TControllerUpgrade a(m_engine.get(), {ip(0), TransportUdp}, image);
        TBoardUpgrade b(m_engine.get(), {ip(1), TransportUdp}, image);
        QCOMPARE(a.payloadSha256(), Sha256Text(QByteArray(4096, 'b')));
        QCOMPARE(b.payloadSha256(), a.payloadSha256());
        // Changed on disk after the read: the run still sends (and records) what it read.
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("other") == 5);
        file.close();
        QCOMPARE(TFirmwareImage::read(path).bytes(), QByteArray("other"));
        QCOMPARE(image.bytes().constData(), TFirmwareImage(image).bytes().constData()); // shared, not copied
        QCOMPARE(a.payloadSha256(), Sha256Text(QByteArray(4096, 'b')));
    }
};

QTEST_GUILESS_MAIN(TestOperations)
#include "tst_operations.moc"
