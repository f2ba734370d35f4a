// The job service against the simulator in the lab. Each rule is run once for a request as the
// window makes it (the job asks for confirmation, the window's library) and once as tarvino-cli
// makes it (confirmed beforehand with --yes): the rules live in the job, so both doors must agree.
//   - a library image goes only to its component and its device types, whatever its path or name,
//     and a refused item sends nothing;
//   - controllers before boards; a device whose controller upgrade failed keeps its board as it is;
//   - an upgraded device must be seen again: a board upgrade is confirmed only when its device first
//     misses a scan and then answers again (the simulator's discovery silence plays the restart);
//   - retry takes the devices that never changed, never one upgraded and not confirmed.
#include "fleet/firmware/firmwarelibrary.h"
#include "fleet/history/operationjournal.h"
#include "fleet/jobs/jobservice.h"
#include "labsim.h"
#include "labtiming.h"
#include "operations/commandoperations.h"
#include "operations/controlleroperations.h"
#include "protocol/datagramengine.h"
#include "protocol/ipv4text.h"
#include "protocol/sha256text.h"
#include "protocol/resource.h"
#include "testfiles.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
constexpr int ShortConfirmationMs = 6000;
constexpr int LongConfirmationMs = 120000; // never reached: a cancel ends the wait long before
constexpr int JobWaitMs = 90000;
using S = TJobItemStatus;

enum class Door { Window, Cli };

// The requests' options as each front end sets them.
TJobOptions optionsFor(Door door, const QString &libraryFolder)
{
    TJobOptions options;
    options.timing = ShortLabTiming();
    options.comeBackListenMs = 500;
    options.comeBackTimeoutMs = ShortConfirmationMs;
    options.libraryFolder = libraryFolder;
    options.confirmed = door == Door::Cli; // the window's job asks; the command line asked already
    return options;
}

// The devices' bus and board requests beyond discovery: what a refused job must never have sent.
int workRequests(const LabSimulator &sim, const QString &ip)
{
    int count = sim.requests(ip, Wire::BusPort).size();
    for (const QJsonObject &request : sim.requests(ip, Wire::DevicePort))
        if (request.value(u"cmd"_qs).toInt() != int(Wire::Command::Discover))
            ++count;
    return count;
}
} // namespace

class TestJobLab : public QObject
{
    Q_OBJECT
    std::unique_ptr<LabSimulator> m_sim;
    std::unique_ptr<TDatagramEngine> m_engine;
    std::unique_ptr<TJobService> m_service;
    std::unique_ptr<QTemporaryDir> m_dir;

    bool startLab(int devices, const QStringList &arguments)
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_sim = std::make_unique<LabSimulator>();
        if (!m_dir->isValid() || !m_sim->start(devices, arguments))
            return false;
        m_engine = std::make_unique<TDatagramEngine>();
        m_service = std::make_unique<TJobService>(m_engine.get(), nullptr);
        return !m_engine->boundAddresses().isEmpty();
    }

    QList<TJobDevice> scan()
    {
        TScanDevices scan(m_engine.get(), {1, 0, 1000});
        scan.exec();
        QList<TDeviceRecord> devices = scan.devices();
        std::sort(devices.begin(), devices.end(), [](const TDeviceRecord &a, const TDeviceRecord &b) {
            return TextToIp(a.IpText) < TextToIp(b.IpText);
        });
        QList<TJobDevice> listed;
        for (const TDeviceRecord &device : devices)
            listed << TJobDevice::of(device);
        return listed;
    }

    // Runs the job to its end, confirming when it asks (the window's door); false when it does not end.
    bool runToEnd(TJob *job, bool *asked = nullptr)
    {
        connect(job, &TJob::confirmationRequested, job, [job, asked] {
            if (asked)
                *asked = true;
            job->confirm(true);
        });
        job->start();
        return QTest::qWaitFor([job] { return job->isFinished(); }, JobWaitMs);
    }

    QString libraryImage(const QString &name, TFirmwareComponent component, const QString &type, const QString &version,
                         const QByteArray &bytes)
    {
        QDir().mkpath(m_dir->filePath(u"library"_qs));
        TFirmwareLibrary library(m_dir->filePath(u"library"_qs));
        QString error;
        if (!library.load(&error))
            qFatal("library: %s", qPrintable(error));
        const QString source = WriteTestFileOrDie(m_dir->path(), name, bytes);
        if (!library.add(source, component, {type}, version, {}, &error))
            qFatal("library add: %s", qPrintable(error));
        return library.imagePath(*library.findSha256(Sha256Text(bytes)));
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(LabSimulator::inLab(), "talks to simulated devices: run it inside the lab (ctest does)");
        StartupInit();
    }

    void cleanup()
    {
        m_service.reset();
        m_engine.reset();
        m_sim.reset();
    }

    // Which image goes where: the library's entry decides, by the image's bytes.
    void images_data()
    {
        QTest::addColumn<int>("door");
        QTest::addColumn<int>("action");
        QTest::addColumn<QString>("image"); // board, p4controller, p4copy, p3controller
        QTest::addColumn<bool>("sent");
        QTest::addColumn<QString>("refusal"); // a part of the message
        for (const Door door : {Door::Window, Door::Cli}) {
            const QByteArray tag = door == Door::Window ? "window: " : "cli: ";
            QTest::newRow(tag + "a library board image into a controller")
                << int(door) << int(TJobAction::ControllerUpgrade) << u"board"_qs << false
                << u"is for the communication board, not for the controller"_qs;
            QTest::newRow(tag + "another type's library image")
                << int(door) << int(TJobAction::ControllerUpgrade) << u"p4controller"_qs << false << u"is for Palimor P4"_qs;
            QTest::newRow(tag + "a renamed copy of it, outside the library")
                << int(door) << int(TJobAction::ControllerUpgrade) << u"p4copy"_qs << false << u"is for Palimor P4"_qs;
            QTest::newRow(tag + "the device's own type's image")
                << int(door) << int(TJobAction::ControllerUpgrade) << u"p3controller"_qs << true << QString();
        }
    }

    void images()
    {
        QFETCH(int, door);
        QFETCH(int, action);
        QFETCH(QString, image);
        QFETCH(bool, sent);
        QFETCH(QString, refusal);
        QVERIFY(startLab(1, {u"--type"_qs, u"all=Palimor P3@0x000B1156"_qs}));
        const QByteArray board = RandomBytes(4096, 1), p4 = RandomBytes(8192, 2), p3 = RandomBytes(8192, 3);
        QHash<QString, QString> files{
            {u"board"_qs, libraryImage(u"p3-board-3.4.1.bin"_qs, TFirmwareComponent::Board, u"Palimor P3"_qs, u"3.4.1"_qs, board)},
            {u"p4controller"_qs, libraryImage(u"p4-controller-2.0.bin"_qs, TFirmwareComponent::Controller, u"Palimor P4"_qs, u"2.0"_qs, p4)},
            {u"p3controller"_qs, libraryImage(u"p3-controller-2.1.bin"_qs, TFirmwareComponent::Controller, u"Palimor P3"_qs, u"2.1"_qs, p3)},
            {u"p4copy"_qs, WriteTestFileOrDie(m_dir->path(), u"elsewhere/renamed.bin"_qs, p4)},
        };
        const QList<TJobDevice> devices = scan();
        QCOMPARE(devices.size(), 1);

        TJob *job = m_service->create(TJobRequest::forDevices(TJobAction(action), devices, files.value(image),
                                                              optionsFor(Door(door), m_dir->filePath(u"library"_qs))));
        bool asked = false;
        QVERIFY(runToEnd(job, &asked));
        const S &status = job->item(0);
        QVERIFY2(status.message.contains(refusal), qPrintable(status.message));
        QCOMPARE(status.state, sent ? S::Done : S::Failed);
        // A refusal comes before the question: the user is never asked about what cannot run.
        QCOMPARE(asked, sent && Door(door) == Door::Window);
        if (sent) {
            QCOMPARE(status.libraryVersion, u"2.1"_qs);
            QCOMPARE(m_sim->deviceState(0).value(u"controller"_qs).toObject().value(u"updateImageSha256"_qs).toString(), Sha256Text(p3));
        } else {
            QCOMPARE(status.outcome.kind, TOperationError::FileError);
            QVERIFY(!status.changed);
            QCOMPARE(workRequests(*m_sim, LabSimulator::deviceIp(0)), 0);
        }
    }

    // One file named by two items: the bytes are read once, and each item is checked on its own (a
    // board image stays out of the controller even when the board's item came first).
    void sharedFileCheckedPerItem()
    {
        QVERIFY(startLab(1, {u"--type"_qs, u"all=Palimor P3@0x000B1156"_qs}));
        const QByteArray bytes = RandomBytes(4096, 7);
        const QString board = libraryImage(u"p3-board-3.5.bin"_qs, TFirmwareComponent::Board, u"Palimor P3"_qs, u"3.5"_qs, bytes);
        const QList<TJobDevice> devices = scan();
        QCOMPARE(devices.size(), 1);
        TJobRequest request;
        request.options = optionsFor(Door::Cli, m_dir->filePath(u"library"_qs));
        request.items << TJobItem{devices.first(), TJobAction::BoardUpgrade, board, std::nullopt, {}}
                      << TJobItem{devices.first(), TJobAction::ControllerUpgrade, board, std::nullopt, {}};
        TJob *job = m_service->create(request);
        job->start(); // the board is left alone: the controller item fails before anything is sent
        QVERIFY(QTest::qWaitFor([job] { return job->isFinished(); }, JobWaitMs));
        QCOMPARE(job->item(1).state, S::Failed);
        QVERIFY2(job->item(1).message.contains(u"is for the communication board, not for the controller"_qs),
                 qPrintable(job->item(1).message));
        QCOMPARE(job->item(0).state, S::LeftAlone);
        QCOMPARE(job->item(0).libraryVersion, u"3.5"_qs);
        QCOMPARE(workRequests(*m_sim, LabSimulator::deviceIp(0)), 0);
    }

    // Bring up to date on two devices, controller and board each; the first one's controller bus
    // is silent. Its board is left as it is; the other device gets both, controllers first.
    void boardsAfterControllers_data()
    {
        QTest::addColumn<int>("door");
        QTest::newRow("window") << int(Door::Window);
        QTest::newRow("cli") << int(Door::Cli);
    }

    void boardsAfterControllers()
    {
        QFETCH(int, door);
        // Device 1's board restarts after its upgrade: it misses the scans after the controller's.
        QVERIFY(startLab(2, {u"--fault"_qs, LabSimulator::deviceIp(0) + u":silent@52390"_qs, u"--fault"_qs,
                             LabSimulator::deviceIp(1) + u":silent@52389@cmd=1@from=3@count=2"_qs}));
        const QString controller = WriteTestFileOrDie(m_dir->path(), u"controller.bin"_qs, RandomBytes(8192, 4));
        const QString board = WriteTestFileOrDie(m_dir->path(), u"board.bin"_qs, RandomBytes(4096, 5));
        const QList<TJobDevice> devices = scan();
        QCOMPARE(devices.size(), 2);
        TJobRequest request;
        request.options = optionsFor(Door(door), {});
        request.options.comeBackTimeoutMs = LongConfirmationMs; // a restart is seen long before
        for (const TJobDevice &device : devices) // boards listed first: the job orders them itself
            request.items << TJobItem{device, TJobAction::BoardUpgrade, board, std::nullopt, {}};
        for (const TJobDevice &device : devices)
            request.items << TJobItem{device, TJobAction::ControllerUpgrade, controller, std::nullopt, {}};
        TJob *job = m_service->create(request);
        QVERIFY(runToEnd(job));

        QCOMPARE(job->item(2).state, S::Failed); // device 0's controller
        QCOMPARE(job->item(0).state, S::LeftAlone);
        QVERIFY2(job->item(0).message.contains(u"controller upgrade of this device did not succeed"_qs),
                 qPrintable(job->item(0).message));
        QCOMPARE(job->item(3).state, S::Done); // device 1's controller
        QCOMPARE(job->item(1).state, S::Done); // and its board
        QCOMPARE(m_sim->deviceState(0).value(u"installCount"_qs).toInt(), 0);
        QCOMPARE(m_sim->deviceState(1).value(u"installCount"_qs).toInt(), 1);
        // Every bus request came before the first FTP upload began.
        double lastBus = 0, firstFtp = 1e9;
        for (const QJsonObject &line : m_sim->requests(LabSimulator::deviceIp(1), Wire::BusPort))
            lastBus = std::max(lastBus, line.value(u"t"_qs).toDouble());
        for (const QJsonObject &line : m_sim->requests(LabSimulator::deviceIp(1), Wire::DevicePort))
            if (line.value(u"cmd"_qs).toInt() == int(Wire::Command::StartFtpServer))
                firstFtp = std::min(firstFtp, line.value(u"t"_qs).toDouble());
        QVERIFY2(lastBus < firstFtp, qPrintable(u"bus until %1 s, FTP server from %2 s"_qs.arg(lastBus).arg(firstFtp)));
    }

    // Retry after a board upgrade that was never seen again and a device that refused before any
    // change: only the second one runs again; the first one is not flashed twice.
    void retryLeavesChangedDevicesAlone_data()
    {
        QTest::addColumn<int>("door");
        QTest::newRow("window") << int(Door::Window);
        QTest::newRow("cli") << int(Door::Cli);
    }

    void retryLeavesChangedDevicesAlone()
    {
        QFETCH(int, door);
        // Device 0 goes away after its upgrade for good; device 1 never starts its FTP server.
        QVERIFY(startLab(2, {u"--fault"_qs, LabSimulator::deviceIp(0) + u":silent@52389@cmd=1@from=2"_qs, u"--fault"_qs,
                             LabSimulator::deviceIp(1) + u":silent@52389@cmd=3"_qs}));
        const QString board = WriteTestFileOrDie(m_dir->path(), u"board.bin"_qs, RandomBytes(4096, 6));
        const QList<TJobDevice> devices = scan();
        QCOMPARE(devices.size(), 2);
        TJob *job = m_service->create(TJobRequest::forDevices(TJobAction::BoardUpgrade, devices, board, optionsFor(Door(door), {})));
        QVERIFY(runToEnd(job));
        QCOMPARE(job->item(0).state, S::Unconfirmed);
        QVERIFY(job->item(0).changed);
        QVERIFY(!job->item(0).retryable());
        QCOMPARE(job->item(1).state, S::Failed);
        QVERIFY(!job->item(1).changed);
        QVERIFY(job->item(1).retryable());

        QVERIFY(m_sim->clearFaults());
        QVERIFY(job->retry());
        QVERIFY(QTest::qWaitFor([job] { return job->isFinished(); }, JobWaitMs));
        QCOMPARE(job->item(0).state, S::Unconfirmed);
        QVERIFY(job->item(1).state == S::Done || job->item(1).state == S::Unconfirmed);
        QCOMPARE(m_sim->deviceState(0).value(u"installCount"_qs).toInt(), 1);
        QCOMPARE(m_sim->deviceState(1).value(u"installCount"_qs).toInt(), 1);
        QVERIFY(!job->retry()); // nothing left that never changed its device
    }

    void confirmation_data()
    {
        QTest::addColumn<bool>("board");
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<bool>("cancelWhileConfirming");
        QTest::addColumn<int>("state");
        QTest::addColumn<bool>("warning");
        QTest::addColumn<QString>("message"); // a part of the status
        QTest::addColumn<QString>("journaled"); // the outcome of the "found again" line
        // The device's first discovery request is the test's own scan; the confirming scans follow.
        const QString restart = LabSimulator::deviceIp(0) + u":silent@52389@cmd=1@from=2@count=4"_qs;
        const QString gone = LabSimulator::deviceIp(0) + u":silent@52389@cmd=1@from=2"_qs;
        QTest::newRow("board restarted: the same firmware is a warning")
            << true << QStringList{restart} << false << int(S::Done) << true
            << u"Warning: restarted, but answered with the same firmware "_qs << u"succeeded"_qs;
        QTest::newRow("board never went away: did not restart")
            << true << QStringList{} << false << int(S::Unconfirmed) << false
            << u"Upgraded, but the device did not restart: it answered every scan for 6 s"_qs << u"failed"_qs;
        QTest::newRow("board went away and never came back")
            << true << QStringList{gone} << false << int(S::Unconfirmed) << false
            << u"the device went away but did not answer a scan again within 6 s"_qs << u"failed"_qs;
        QTest::newRow("controller: what was proven")
            << false << QStringList{} << false << int(S::Done) << false
            << u": image written and read back equal; the board answered again"_qs << u"succeeded"_qs;
        QTest::newRow("cancelled while waiting for a board")
            << true << QStringList{} << true << int(S::Unconfirmed) << false
            << u"Stopped while waiting for the device to answer again; the upgrade itself was done"_qs << u"cancelled"_qs;
    }

    void confirmation()
    {
        QFETCH(bool, board);
        QFETCH(QStringList, faults);
        QFETCH(bool, cancelWhileConfirming);
        QFETCH(int, state);
        QFETCH(bool, warning);
        QFETCH(QString, message);
        QFETCH(QString, journaled);

        QStringList arguments;
        for (const QString &fault : faults)
            arguments << u"--fault"_qs << fault;
        QVERIFY(startLab(2, arguments));
        const TOperationJournal journal(m_dir->filePath(u"history.jsonl"_qs));
        m_service = std::make_unique<TJobService>(m_engine.get(), &journal);
        QList<TJobDevice> devices = scan();
        devices.removeIf([](const TJobDevice &d) { return d.target.ip != LabSimulator::deviceIp(0); });
        QCOMPARE(devices.size(), 1);

        TJobOptions options = optionsFor(Door::Cli, {});
        options.comeBackTimeoutMs = cancelWhileConfirming ? LongConfirmationMs : ShortConfirmationMs;
        const QByteArray image = RandomBytes(board ? 4096 : 24 * 1024, 3);
        const QString file = WriteTestFileOrDie(m_dir->path(), board ? u"board.bin"_qs : u"controller.bin"_qs, image);
        TJob *job = m_service->create(TJobRequest::forDevices(board ? TJobAction::BoardUpgrade : TJobAction::ControllerUpgrade,
                                                              devices, file, options));
        job->start();
        if (cancelWhileConfirming) {
            QVERIFY(QTest::qWaitFor([&] { return job->item(0).state == S::Confirming; }, JobWaitMs));
            job->cancel();
        }
        QVERIFY(QTest::qWaitFor([&] { return job->isFinished(); }, JobWaitMs));

        const S &status = job->item(0);
        QVERIFY2(status.message.contains(message), qPrintable(status.message));
        QCOMPARE(int(status.state), state);
        QCOMPARE(status.warning, warning);
        QCOMPARE(status.versionsBefore, TRediscovery::versionsText(*devices.first().record));
        if (status.state == S::Done)
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
        QCOMPARE(workRequests(*m_sim, LabSimulator::deviceIp(1)), 0); // the other device heard only scans
    }

    // A controller in normal service answers its bus only while its updater runs: the plain reset
    // fails and says why; with the updater the reset is bracketed and the device put back.
    void resets_data()
    {
        QTest::addColumn<int>("action");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("message"); // a part of the status
        QTest::newRow("plain: unanswered, and why") << int(TJobAction::Reset) << int(S::Failed) << TControllerReset::UnansweredText;
        QTest::newRow("with updater: reset, daemon back") << int(TJobAction::ResetWithUpdater) << int(S::Done) << QString();
    }

    void resets()
    {
        QFETCH(int, action);
        QFETCH(int, state);
        QFETCH(QString, message);
        QVERIFY(startLab(1, {}));
        const QList<TJobDevice> devices = scan();
        QCOMPARE(devices.size(), 1);
        TJob *job = m_service->create(TJobRequest::forDevices(TJobAction(action), devices, {}, optionsFor(Door::Cli, {})));
        QVERIFY(runToEnd(job));

        const S &status = job->item(0);
        QCOMPARE(int(status.state), state);
        QVERIFY2(status.message.contains(message), qPrintable(status.message));
        QVERIFY(status.changed); // the reset went out either way
        const QJsonObject device = m_sim->deviceState(0);
        QCOMPARE(device.value(u"daemon"_qs).toBool(), true);
        QCOMPARE(device.value(u"updater"_qs).toBool(), false);
        // The reset reached the device either way; only with the updater running was it answered.
        const QList<QJsonObject> requests = m_sim->requests(LabSimulator::deviceIp(0), Wire::BusPort);
        QVERIFY(!requests.isEmpty());
        const auto answered = std::count_if(requests.cbegin(), requests.cend(), [](const QJsonObject &request) {
            return !request.contains(u"ignored"_qs) && !request.contains(u"refused"_qs) && !request.contains(u"error"_qs);
        });
        QCOMPARE(answered, action == int(TJobAction::ResetWithUpdater) ? 1 : 0);
    }
};

QTEST_MAIN(TestJobLab)
#include "tst_job_lab.moc"
