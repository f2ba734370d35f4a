// The device operations against simulated devices in the lab, with the simulator's stray-reply
// faults (another device answering first, duplicates, delays): no request is judged on a reply
// from another device or to another command; upgrades on many devices at once each leave their
// own device with its own image; a cancel still puts the device back.
#include "operations/boardupgrade.h"
#include "operations/commandoperations.h"
#include "operations/controlleroperations.h"
#include "labsim.h"
#include "labtiming.h"
#include "operations/operationpool.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
constexpr int WaitUnitMs = 20; // the board's waits a fifth of the real ones: DropBear's is one second

QStringList faultArguments(const QStringList &faults)
{
    QStringList arguments;
    for (const QString &fault : faults)
        arguments << QStringLiteral("--fault") << fault;
    return arguments;
}

QByteArray pattern(qsizetype size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 31 + seed * 7 + i / 251) & 0xFF);
    return bytes;
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

class TestOperationsLab : public QObject
{
    Q_OBJECT

    std::unique_ptr<LabSimulator> m_sim;
    std::unique_ptr<TDatagramEngine> m_engine;
    QTemporaryDir m_dir;

    bool start(int devices, const QStringList &faults)
    {
        m_sim = std::make_unique<LabSimulator>();
        if (!m_sim->start(devices, faultArguments(faults))) {
            qWarning("%s", qPrintable(m_sim->errorString()));
            return false;
        }
        TDatagramEngine::Options options;
        options.waitUnitMs = WaitUnitMs;
        m_engine = std::make_unique<TDatagramEngine>(options);
        return !m_engine->boundAddresses().isEmpty();
    }

    // The datagram commands one device received, in order.
    QList<int> commands(int device) const
    {
        QList<int> codes;
        for (const QJsonObject &request : m_sim->requests(LabSimulator::deviceIp(device), Wire::DevicePort))
            codes << request.value(QLatin1String("cmd")).toInt();
        return codes;
    }

    // Every request one device received, in order: "cmd=N" on the datagram port, "sub=N" for a
    // bus command, "fn=N" for another bus function.
    QStringList requestOrder(int device) const
    {
        QStringList order;
        for (const QJsonObject &request : m_sim->requests(LabSimulator::deviceIp(device))) {
            const int port = request.value(QLatin1String("port")).toInt();
            if (port == Wire::DevicePort)
                order << QStringLiteral("cmd=%1").arg(request.value(QLatin1String("cmd")).toInt());
            else if (port == Wire::BusPort && request.value(QLatin1String("fn")).toInt() == Wire::Bus::FunctionCommand)
                order << QStringLiteral("sub=%1").arg(request.value(QLatin1String("sub")).toInt());
            else if (port == Wire::BusPort)
                order << QStringLiteral("fn=%1").arg(request.value(QLatin1String("fn")).toInt());
        }
        return order;
    }

    QString writeImage(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? path : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(LabSimulator::inLab(), "talks to simulated devices: run it inside the lab (ctest does)");
        QVERIFY(m_dir.isValid());
        StartupInit();
    }

    void cleanup()
    {
        m_engine.reset();
        m_sim.reset();
    }

    void dropBearUnderStrayReplies_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<int>("requests");
        QTest::addColumn<int>("result");
        QTest::addColumn<bool>("dropBearOn"); // each request the device takes switches it
        QTest::newRow("another device answers first, the device acknowledges")
            << QStringList{u"0:stray@cmd=9"_qs} << 1 << int(ResultAcknowledged) << true;
        QTest::newRow("another device answers, the device is silent")
            << QStringList{u"0:stray@cmd=9"_qs, u"0:silent@cmd=9"_qs} << 5 << int(ResultNoReply) << false;
        QTest::newRow("another device answers, the device with another code")
            << QStringList{u"0:stray@cmd=9"_qs, u"0:wrong-ack=9"_qs} << 5 << int(ResultOtherReply) << true;
        QTest::newRow("the acknowledgement twice") << QStringList{u"0:duplicate@cmd=9"_qs} << 1
                                                   << int(ResultAcknowledged) << true;
        QTest::newRow("the acknowledgement late") << QStringList{u"0:delay=300@cmd=9"_qs} << 1
                                                  << int(ResultAcknowledged) << true;
    }

    void dropBearUnderStrayReplies()
    {
        QFETCH(QStringList, faults);
        QFETCH(int, requests);
        QFETCH(int, result);
        QFETCH(bool, dropBearOn);
        QVERIFY(start(2, faults));
        TDeviceCommand dropBear(m_engine.get(), {LabSimulator::deviceIp(0), TransportUdp},
                                Wire::Command::SetDropBear, TDeviceCommand::dropBear());
        const TOperationOutcome outcome = dropBear.exec();
        QCOMPARE(int(dropBear.result()), result);
        QCOMPARE(outcome.succeeded, result == ResultAcknowledged);
        // A failure says what the last attempt awaited and got, and how many were made.
        if (!outcome.succeeded)
            QVERIFY2(outcome.detail.contains(u"SetDropBear (command 9)"_qs)
                         && outcome.detail.contains(u"(%1 attempts)"_qs.arg(requests)),
                     qPrintable(outcome.detail));
        QCOMPARE(commands(0), QList<int>(requests, int(Wire::Command::SetDropBear)));
        QCOMPARE(commands(1), QList<int>()); // the device that answered in between heard nothing
        QCOMPARE(m_sim->deviceState(0).value(QLatin1String("dropBear")).toBool(), dropBearOn);
    }

    // Eight devices, four upgrades at a time, several of them under stray-reply faults; one
    // device stays silent to StartUpdater while the device after it answers in its place.
    void manyUpgradesAtOnce()
    {
        constexpr int Devices = 8;
        constexpr int Silent = 5;
        QVERIFY(start(Devices, {u"1:duplicate@52389"_qs, u"2:stray"_qs, u"3:delay=150@52389"_qs,
                                u"4:bad-crc@fn=0x6F@count=2"_qs, u"5:stray"_qs, u"5:silent@cmd=5"_qs}));
        TOperationPool pool(4);
        pool.setConfirmed(true);
        QList<QByteArray> images;
        for (int i = 0; i < Devices; ++i) {
            images << pattern(16 * 1024 + i * 100, i);
            const QString path = writeImage(QStringLiteral("image%1.bin").arg(i), images.constLast());
            pool.add(new TControllerUpgrade(m_engine.get(), {LabSimulator::deviceIp(i), TransportUdp}, path,
                                            ShortLabTiming()));
        }
        pool.exec();

        for (int i = 0; i < Devices; ++i) {
            const TOperationOutcome &outcome = pool.operations().at(i)->outcome();
            const QJsonObject state = m_sim->deviceState(i);
            const QJsonObject controller = state.value(QLatin1String("controller")).toObject();
            if (i == Silent) {
                QVERIFY(!outcome.succeeded);
                QCOMPARE(outcome.failedStep, u"Starting updater"_qs);
                QCOMPARE(outcome.message, u"Device not responding: Starting updater"_qs);
                // Put back: the updater stopped and the daemon started again.
                QVERIFY(outcome.device.normal());
                QCOMPARE(commands(i), (QList<int>{int(Wire::Command::StopDaemon), int(Wire::Command::StartUpdater),
                                                   int(Wire::Command::StopUpdater), int(Wire::Command::StartDaemon)}));
                QCOMPARE(controller.value(QLatin1String("updateModeCount")).toInt(), 0);
                QVERIFY(m_sim->requests(LabSimulator::deviceIp(i), Wire::BusPort).isEmpty());
                continue;
            }
            QVERIFY2(outcome.succeeded, qPrintable(QStringLiteral("device %1: %2").arg(i).arg(outcome.failedStep)));
            QVERIFY(outcome.device.normal());
            QCOMPARE(controller.value(QLatin1String("updateImageSha256")).toString(), sha256(images.at(i)));
            QCOMPARE(controller.value(QLatin1String("updateModeCount")).toInt(), 1);
            QCOMPARE(commands(i), (QList<int>{int(Wire::Command::StopDaemon), int(Wire::Command::StartUpdater),
                                               int(Wire::Command::StopUpdater), int(Wire::Command::StartDaemon)}));
            QVERIFY(state.value(QLatin1String("daemon")).toBool());
        }
    }

    void resetWithUpdater_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QStringList>("order"); // what the device received, in order
        QTest::addColumn<bool>("succeeded");
        QTest::addColumn<QString>("failedStep");
        QTest::addColumn<QString>("detail"); // a part of the outcome's detail
        const QString stop = u"cmd=8"_qs, startUpdater = u"cmd=5"_qs, reset = u"sub=0"_qs;
        const QString stopUpdater = u"cmd=6"_qs, startDaemon = u"cmd=7"_qs;
        QTest::newRow("answered") << QStringList{} << QStringList{stop, startUpdater, reset, stopUpdater, startDaemon}
                                  << true << QString() << QString();
        QTest::newRow("updater does not start") << QStringList{u"0:silent@cmd=5"_qs}
                                                << QStringList{stop, startUpdater, stopUpdater, startDaemon} << false
                                                << u"Starting updater"_qs << u"no reply to StartUpdater (command 5)"_qs;
        QTest::newRow("daemon does not stop") << QStringList{u"0:silent@cmd=8"_qs}
                                              << QStringList{stop, startDaemon} << false << u"Stopping daemon"_qs
                                              << u"no reply to StopDaemon (command 8)"_qs;
        // Three attempts of the reset, then the device is put back all the same.
        QTest::newRow("reset unanswered") << QStringList{u"0:silent@52390"_qs}
                                          << QStringList{stop, startUpdater, reset, reset, reset, stopUpdater, startDaemon}
                                          << false << u"Reset"_qs << u"no answer to Reset on the bus of 198.18.1.1"_qs;
    }

    // The reset inside the bracket: the requests in their order, and the device back in normal
    // service whichever step failed.
    void resetWithUpdater()
    {
        QFETCH(QStringList, faults);
        QFETCH(QStringList, order);
        QFETCH(bool, succeeded);
        QFETCH(QString, failedStep);
        QFETCH(QString, detail);
        QVERIFY(start(1, faults));
        TControllerReset reset(m_engine.get(), {LabSimulator::deviceIp(0), TransportUdp},
                               TControllerReset::Mode::WithUpdater, ShortLabTiming());
        const TOperationOutcome outcome = reset.exec();
        QCOMPARE(outcome.succeeded, succeeded);
        QCOMPARE(outcome.failedStep, failedStep);
        QVERIFY2(outcome.detail.contains(detail), qPrintable(outcome.detail));
        QCOMPARE(requestOrder(0), order);
        QVERIFY(outcome.device.normal());
        const QJsonObject state = m_sim->deviceState(0);
        QVERIFY(!state.value(QLatin1String("updater")).toBool());
        // A daemon that never stopped runs on; one stopped was started again.
        QVERIFY(state.value(QLatin1String("daemon")).toBool() || faults.contains(u"0:silent@cmd=8"_qs));
    }

    // The window's plain reset to a controller in normal service: one bus command, unanswered, and
    // the failure says why.
    void plainResetUnansweredSaysWhy()
    {
        QVERIFY(start(1, {}));
        TControllerReset reset(m_engine.get(), {LabSimulator::deviceIp(0), TransportUdp}, TControllerReset::Mode::Plain,
                               ShortLabTiming());
        const TOperationOutcome outcome = reset.exec();
        QVERIFY(!outcome.succeeded);
        QCOMPARE(outcome.message, TControllerReset::UnansweredText);
        QVERIFY2(outcome.detail.contains(u"no answer to Reset on the bus"_qs), qPrintable(outcome.detail));
        QCOMPARE(requestOrder(0), (QStringList{u"sub=0"_qs, u"sub=0"_qs, u"sub=0"_qs}));
    }

    void cancelPutsTheDeviceBack()
    {
        // Slow enough to be cancelled half way: each bus reply 5 ms late.
        QVERIFY(start(1, {u"0:delay=5@52390"_qs}));
        const QByteArray image = pattern(64 * 1024, 3);
        TControllerUpgrade upgrade(m_engine.get(), {LabSimulator::deviceIp(0), TransportUdp},
                                   writeImage(u"cancelled.bin"_qs, image), ShortLabTiming());
        connect(&upgrade, &TDeviceOperation::confirmationRequested, this, [&] { upgrade.confirm(true); });
        connect(&upgrade, &TDeviceOperation::progressed, this, [&](qint64 done) {
            if (done >= 8 * 1024)
                upgrade.cancel();
        });
        const TOperationOutcome outcome = upgrade.exec();
        QVERIFY(outcome.cancelled && !outcome.succeeded);
        QCOMPARE(outcome.failedStep, u"Writing Code"_qs);
        QVERIFY(outcome.device.normal());
        QCOMPARE(commands(0), (QList<int>{int(Wire::Command::StopDaemon), int(Wire::Command::StartUpdater),
                                           int(Wire::Command::StopUpdater), int(Wire::Command::StartDaemon)}));
        // Stopped between two chunks, then the controller reset: no read-back, no update mode.
        const QList<QJsonObject> bus = m_sim->requests(LabSimulator::deviceIp(0), Wire::BusPort);
        QVERIFY2(bus.size() < 128, qPrintable(QString::number(bus.size()))); // of 512 chunks
        for (const QJsonObject &request : bus)
            QVERIFY(request.value(QLatin1String("fn")).toInt() != Wire::Bus::FunctionReadBlock);
        QCOMPARE(bus.constLast().value(QLatin1String("sub")).toInt(-1), int(Wire::Bus::Reset));
        const QJsonObject state = m_sim->deviceState(0);
        QCOMPARE(state.value(QLatin1String("controller")).toObject().value(QLatin1String("updateModeCount")).toInt(), 0);
        QVERIFY(state.value(QLatin1String("daemon")).toBool());
        QVERIFY(!state.value(QLatin1String("updater")).toBool());
    }

    // A cancel during the board's upload ends the upload: the board's FTP server is stopped again
    // and the board is never told to upgrade from what it received.
    void cancelledBoardUploadSendsNoUpgrade()
    {
        // The board takes the file slowly, and the file is larger than the system buffers: the
        // upload is still under way at the cancel.
        QVERIFY(start(1, {u"0:ftp-slow=100000"_qs}));
        const QByteArray image = pattern(24 * 1024 * 1024, 5);
        TBoardUpgrade upgrade(m_engine.get(), {LabSimulator::deviceIp(0), TransportUdp},
                              writeImage(u"board-cancelled.bin"_qs, image), ShortLabTiming());
        connect(&upgrade, &TDeviceOperation::confirmationRequested, this, [&] { upgrade.confirm(true); });
        connect(&upgrade, &TDeviceOperation::progressed, this, [&](qint64 done) {
            if (done > 0)
                upgrade.cancel();
        });
        bool uploaded = false;
        connect(&upgrade, &TBoardUpgrade::uploaded, this, [&] { uploaded = true; });
        const TOperationOutcome outcome = upgrade.exec();
        QVERIFY(outcome.cancelled && !outcome.succeeded);
        QCOMPARE(outcome.kind, TOperationError::Cancelled);
        QVERIFY(outcome.deviceChanged);
        QVERIFY(!outcome.error); // a cancel is no error to show
        QVERIFY(!uploaded);
        QCOMPARE(outcome.failedStep, u"Downloading board-cancelled.bin"_qs);
        QVERIFY(outcome.device.normal());
        QCOMPARE(commands(0), (QList<int>{int(Wire::Command::StartFtpServer), int(Wire::Command::StopFtpServer)}));
        QVERIFY(m_sim->storedFile(0, u"board-cancelled.bin"_qs) != image);
        QVERIFY(!m_sim->deviceState(0).value(QLatin1String("ftpServer")).toBool());
    }
};

QTEST_GUILESS_MAIN(TestOperationsLab)
#include "tst_operations_lab.moc"
