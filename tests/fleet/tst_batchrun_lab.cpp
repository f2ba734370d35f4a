// A batch's confirmation after an upgrade, against the simulator in the lab: a board upgrade is
// confirmed only when its device first misses a scan and then answers again (the simulator's
// discovery silence plays the restart), a device that never went away did not restart, the same
// firmware after a restart is a warning (the simulator's devices keep theirs), a controller
// upgrade says what it proved, and Stop ends the wait for the devices.
#include "fleet/jobs/batchrun.h"
#include "operations/commandoperations.h"
#include "operations/controlleroperations.h"
#include "labsim.h"
#include "labtiming.h"
#include "fleet/history/operationjournal.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "testfiles.h"
#include "protocol/sha256text.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
constexpr int ShortConfirmationMs = 6000;
constexpr int LongConfirmationMs = 120000; // never reached: Stop ends the wait long before
constexpr int BatchWaitMs = 60000;
} // namespace

class TestBatchRunLab : public QObject
{
    Q_OBJECT
    std::unique_ptr<LabSimulator> m_sim;
    std::unique_ptr<TDatagramEngine> m_engine;
    QTemporaryDir m_dir;

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

    void confirmation_data()
    {
        QTest::addColumn<bool>("board");
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<bool>("stopWhileConfirming");
        QTest::addColumn<int>("state");
        QTest::addColumn<bool>("warning");
        QTest::addColumn<QString>("message"); // a part of the status
        QTest::addColumn<QString>("journaled"); // the outcome of the "found again" line
        using S = TBatchRun::DeviceStatus;
        // The device's first discovery request is the test's own scan; the confirming scans follow.
        const QString restart = LabSimulator::deviceIp(0) + u":silent@52389@cmd=1@from=2@count=4"_qs;
        const QString gone = LabSimulator::deviceIp(0) + u":silent@52389@cmd=1@from=2"_qs;
        QTest::newRow("board restarted: the same firmware is a warning")
            << true << QStringList{restart} << false << int(S::Succeeded) << true
            << u"Warning: restarted, but answered with the same firmware "_qs << u"succeeded"_qs;
        QTest::newRow("board never went away: did not restart")
            << true << QStringList{} << false << int(S::Failed) << false
            << u"Upgraded, but the device did not restart: it answered every scan for 6 s"_qs << u"failed"_qs;
        QTest::newRow("board went away and never came back")
            << true << QStringList{gone} << false << int(S::Failed) << false
            << u"the device went away but did not answer a scan again within 6 s"_qs << u"failed"_qs;
        QTest::newRow("controller: what was proven")
            << false << QStringList{} << false << int(S::Succeeded) << false
            << u": image written and read back equal; the board answered again"_qs << u"succeeded"_qs;
        QTest::newRow("Stop while waiting for a board")
            << true << QStringList{} << true << int(S::Stopped) << false
            << u"Stopped while waiting for the device to answer again; the upgrade itself was done"_qs << u"cancelled"_qs;
    }

    void confirmation()
    {
        QFETCH(bool, board);
        QFETCH(QStringList, faults);
        QFETCH(bool, stopWhileConfirming);
        QFETCH(int, state);
        QFETCH(bool, warning);
        QFETCH(QString, message);
        QFETCH(QString, journaled);

        QStringList arguments;
        for (const QString &fault : faults)
            arguments << u"--fault"_qs << fault;
        m_sim = std::make_unique<LabSimulator>();
        QVERIFY2(m_sim->start(2, arguments), qPrintable(m_sim->errorString()));
        m_engine = std::make_unique<TDatagramEngine>();
        QVERIFY(!m_engine->boundAddresses().isEmpty());

        TScanDevices scan(m_engine.get(), {1, 0, 1000});
        scan.exec();
        QList<TDeviceRecord> devices;
        for (const TDeviceRecord &device : scan.devices())
            if (device.IpText == LabSimulator::deviceIp(0))
                devices << device;
        QCOMPARE(devices.size(), 1);

        const TOperationJournal journal(m_dir.filePath(QStringLiteral("history-%1.jsonl").arg(QString::fromLatin1(QTest::currentDataTag()))));
        TBatchRun::Options options;
        options.timing = ShortLabTiming();
        options.rediscoveryListenMs = 500;
        options.rediscoveryTimeoutMs = stopWhileConfirming ? LongConfirmationMs : ShortConfirmationMs;
        options.journal = &journal;
        const QByteArray image = RandomBytes(board ? 4096 : 24 * 1024, 3);
        const QString file = WriteTestFileOrDie(m_dir.path(), board ? u"board.bin"_qs : u"controller.bin"_qs, image);
        TBatchRun batch(m_engine.get(), board ? TBatchRun::Kind::BoardUpgrade : TBatchRun::Kind::ControllerUpgrade, devices,
                        file, options);
        bool finished = false;
        connect(&batch, &TBatchRun::finished, this, [&finished] { finished = true; });
        batch.start();
        if (stopWhileConfirming) {
            QVERIFY(QTest::qWaitFor([&] { return batch.statuses().first().state == TBatchRun::DeviceStatus::Confirming; },
                                    BatchWaitMs));
            batch.stop();
        }
        QVERIFY(QTest::qWaitFor([&] { return finished; }, BatchWaitMs));
        QVERIFY(!batch.isRunning());

        const TBatchRun::DeviceStatus &status = batch.statuses().first();
        QVERIFY2(status.message.contains(message), qPrintable(status.message));
        QCOMPARE(int(status.state), state);
        QCOMPARE(status.warning, warning);
        QCOMPARE(status.versionsBefore, TBatchRun::versionsText(devices.first()));
        if (status.state == TBatchRun::DeviceStatus::Succeeded)
            QCOMPARE(status.versionsAfter, status.versionsBefore); // the simulator's firmware never changes
        // The upgrade itself was carried out every time.
        const QJsonObject device = m_sim->deviceState(0);
        if (board)
            QCOMPARE(device.value(u"installCount"_qs).toInt(), 1);
        else
            QCOMPARE(device.value(u"controller"_qs).toObject().value(u"updateImageSha256"_qs).toString(), Sha256Text(image));

        const QList<TJournalEntry> lines = journal.read();
        const auto foundAgain = std::find_if(lines.cbegin(), lines.cend(), [](const TJournalEntry &e) {
            return e.operation.endsWith(u": found again"_qs);
        });
        QVERIFY(foundAgain != lines.cend());
        QCOMPARE(foundAgain->outcome, journaled);
        QCOMPARE(foundAgain->ip, LabSimulator::deviceIp(0));
        // No other device was contacted beyond the scans: the second one got no command.
        for (const QJsonObject &request : m_sim->requests(LabSimulator::deviceIp(1), Wire::DevicePort))
            QCOMPARE(request.value(u"cmd"_qs).toInt(), int(Wire::Command::Discover));
    }

    // A controller in normal service answers its bus only while its updater runs: the plain reset
    // fails and says why; with the updater the reset is bracketed and the device put back.
    void resets_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("message"); // a part of the status
        using S = TBatchRun::DeviceStatus;
        QTest::newRow("plain: unanswered, and why") << int(TBatchRun::Kind::Reset) << int(S::Failed)
                                                    << TControllerReset::UnansweredText;
        QTest::newRow("with updater: reset, daemon back") << int(TBatchRun::Kind::ResetWithUpdater)
                                                          << int(S::Succeeded) << QString();
    }

    void resets()
    {
        QFETCH(int, kind);
        QFETCH(int, state);
        QFETCH(QString, message);
        m_sim = std::make_unique<LabSimulator>();
        QVERIFY2(m_sim->start(1), qPrintable(m_sim->errorString()));
        m_engine = std::make_unique<TDatagramEngine>();
        TScanDevices scan(m_engine.get(), {1, 0, 1000});
        scan.exec();
        QCOMPARE(scan.devices().size(), 1);

        TBatchRun::Options options;
        options.timing = ShortLabTiming();
        TBatchRun batch(m_engine.get(), TBatchRun::Kind(kind), scan.devices(), QString(), options);
        bool finished = false;
        connect(&batch, &TBatchRun::finished, this, [&finished] { finished = true; });
        batch.start();
        QVERIFY(QTest::qWaitFor([&] { return finished; }, BatchWaitMs));

        const TBatchRun::DeviceStatus &status = batch.statuses().first();
        QCOMPARE(int(status.state), state);
        QVERIFY2(status.message.contains(message), qPrintable(status.message));
        const QJsonObject device = m_sim->deviceState(0);
        QCOMPARE(device.value(u"daemon"_qs).toBool(), true);
        QCOMPARE(device.value(u"updater"_qs).toBool(), false);
        // The reset reached the device either way; only with the updater running was it answered.
        const QList<QJsonObject> requests = m_sim->requests(LabSimulator::deviceIp(0), Wire::BusPort);
        QVERIFY(!requests.isEmpty());
        const auto answered = std::count_if(requests.cbegin(), requests.cend(), [](const QJsonObject &request) {
            return !request.contains(u"ignored"_qs) && !request.contains(u"refused"_qs) && !request.contains(u"error"_qs);
        });
        QCOMPARE(answered, kind == int(TBatchRun::Kind::ResetWithUpdater) ? 1 : 0);
    }
};

QTEST_MAIN(TestBatchRunLab)
#include "tst_batchrun_lab.moc"
