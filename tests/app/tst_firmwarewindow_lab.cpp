// The firmware library in the window: the Firmware column's text for each state and the filter
// word firmware:outdated; Bring selected up to date's one warning (device, current and target
// version; the devices without an image told); the upgrade window's job refusing a library image
// of another type; a batch that sends a library image only to devices of its types, against the
// simulator; one job for controllers and boards that leaves the board of a failed controller alone;
// Retry failed leaving out an upgrade that did not come back; the visit report dialog's remembered
// answers.
#include "app/firmwarefeature.h"
#include "app/firmwarelibrarydialog.h"
#include "app/batchfeature.h"
#include "app/mainwindow.h"
#include "labsim.h"
#include "app/upgrade/boardupgradepanel.h"
#include "app/upgrade/controllerupgradepanel.h"
#include "app/upgrade/filenameedit.h"
#include "app/upgrade/upgradedialog.h"
#include "fleet/jobs/job.h"
#include "labtiming.h"
#include "fleet/history/operationjournal.h"
#include "app/stringgrid.h"
#include "testfiles.h"
#include "app/visitreportdialog.h"
#include "app/worksheet.h"

#include "operations/commandoperations.h"

#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QSettings>
#include <QTemporaryDir>
#include <QScopeGuard>
#include <QtTest>

#include <memory>

namespace {
TDeviceRecord device(int index, const QString &type, const QString &firmware)
{
    TDeviceRecord device;
    device.IpText = QStringLiteral("198.18.1.%1").arg(index);
    device.Mac = 0x0050C2000000ull + quint64(index);
    device.Address = {0, 1, 0x00, 0x50, 0xC2, 0, 0, quint8(index)};
    device.Params.set(Wire::Param::Name, QStringLiteral("Device-%1").arg(index).toUtf8());
    device.Params.set(Wire::Param::TypeText, type.toUtf8());
    if (!firmware.isEmpty())
        device.Params.set(Wire::Param::FirmwareVersion, firmware.toUtf8());
    return device;
}
} // namespace

class TestFirmwareWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<TMainWindow> m_form;
    QString m_libraryFolder;
    QByteArray m_controllerImage;

    TFirmwareFeature &feature() { return *m_form->Firmware; }

    void list(const QList<TDeviceRecord> &devices)
    {
        for (const TDeviceRecord &device : devices) {
            m_form->devices() << device;
            m_form->ShowDeviceRow(int(m_form->devices().size()) - 1);
        }
    }

    // The devices of the lab in the window's list, as a scan lists them.
    void scanTheLab(int devices)
    {
        m_form->Scan();
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->Timer->isActive() && m_form->devices().size() == devices, 20000);
    }
    void useShortWaits()
    {
        m_form->Batches->batchOptions.timing = ShortLabTiming();
        m_form->Batches->batchOptions.comeBackTimeoutMs = 6000;
        m_form->Batches->batchOptions.comeBackListenMs = 500;
    }
    void selectAll()
    {
        m_form->StringGrid->setFocus();
        QTest::keyClick(m_form->StringGrid, Qt::Key_A, Qt::ControlModifier);
    }
    // The Status cell of a device's row, found by its address.
    QString statusOf(const QString &ip)
    {
        for (int row = 1; row < m_form->StringGrid->RowCount(); ++row)
            if (m_form->StringGrid->Cells(3, row) == ip)
                return m_form->StringGrid->Cells(TMainWindow::StatusColumn, row);
        return QStringLiteral("(no row)");
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(LabSimulator::inLab(), "the window scans: run it inside the lab (ctest does)");
        QVERIFY(m_dir.isValid());
        // The window's settings and history in the test's folder, not the user's.
        qputenv("XDG_CONFIG_HOME", m_dir.filePath(u"config"_qs).toUtf8());
        qputenv("XDG_DATA_HOME", m_dir.filePath(u"data"_qs).toUtf8());
        qunsetenv("TARVINO_LIBRARY");
        // The library: board images for two types, a controller image for one.
        m_libraryFolder = m_dir.filePath(u"library"_qs);
        QVERIFY(QDir().mkpath(m_libraryFolder));
        TFirmwareLibrary library(m_libraryFolder);
        QString error;
        QVERIFY(library.load(&error));
        m_controllerImage = RandomBytes(32 * 1024, 7);
        struct Image
        {
            const char *file;
            TFirmwareComponent component;
            const char *type;
            const char *version;
            QByteArray bytes;
        };
        for (const Image &image : {Image{"p3-board.bin", TFirmwareComponent::Board, "Palimor P3", "3.3.1", RandomBytes(4096, 1)},
                                   Image{"p4-board.bin", TFirmwareComponent::Board, "Palimor P4-S", "1.2", RandomBytes(4096, 2)},
                                   Image{"p3-controller.bin", TFirmwareComponent::Controller, "Palimor P3", "2.4", m_controllerImage}}) {
            const QString source = WriteTestFileOrDie(m_dir.path(), u"source/"_qs + QLatin1String(image.file), image.bytes);
            QVERIFY2(library.add(source, image.component, {QLatin1String(image.type)}, QLatin1String(image.version), {}, &error),
                     qPrintable(error));
        }
        TFirmwareLibrary::rememberFolder(m_libraryFolder);
    }

    void init()
    {
        m_form = std::make_unique<TMainWindow>();
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        QCOMPARE(feature().library().images().size(), 3); // the remembered folder, opened at start
    }
    void cleanup()
    {
        m_form.reset();
    }

    // An image added or removed by tarvino-cli or Ansible while the window is open reaches the window,
    // and the window's own next change keeps it.
    void libraryFollowsTheManifest()
    {
        TFirmwareLibrary other(m_libraryFolder);
        QString error;
        QVERIFY2(other.load(&error), qPrintable(error));
        const QString source = WriteTestFileOrDie(m_dir.path(), u"source/p4-board-1.3.bin"_qs, RandomBytes(4096, 9));
        const auto restore = qScopeGuard([&] {
            TFirmwareLibrary library(m_libraryFolder);
            QString ignored;
            library.remove(u"p4-board-1.3.bin"_qs, true, &ignored);
        });
        QVERIFY2(other.add(source, TFirmwareComponent::Board, {u"Palimor P4-S"_qs}, u"1.3"_qs, {}, &error), qPrintable(error));
        QTRY_COMPARE_WITH_TIMEOUT(feature().library().images().size(), 4, 10000);
        QVERIFY2(other.remove(u"p4-board-1.3.bin"_qs, true, &error), qPrintable(error));
        QTRY_COMPARE_WITH_TIMEOUT(feature().library().images().size(), 3, 10000);
    }

    // The column says where each device stands; the filter word keeps the outdated ones.
    void firmwareColumn_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("firmware");
        QTest::addColumn<bool>("controllerWritten"); // the history saw controller image 2.4 written
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("outdated");
        QTest::newRow("board behind") << u"Palimor P3"_qs << u"3.2.0"_qs << true
                                      << u"update available 3.3.1; controller image 2.4 written 2026-12-01"_qs << true;
        QTest::newRow("current") << u"Palimor P3"_qs << u"3.3.1"_qs << true
                                 << u"up to date; controller image 2.4 written 2026-12-01"_qs << false;
        QTest::newRow("newer than the library") << u"Palimor P3"_qs << u"3.10"_qs << true
                                                << u"newer than library; controller image 2.4 written 2026-12-01"_qs << false;
        QTest::newRow("controller never written") << u"Palimor P3"_qs << u"3.3.1"_qs << false
                                                  << u"up to date; controller unknown"_qs << false;
        QTest::newRow("no image for its type") << u"XR-200"_qs << u"1.0"_qs << false
                                               << u"no image for this type; controller unknown"_qs << false;
    }
    void firmwareColumn()
    {
        QFETCH(QString, type);
        QFETCH(QString, firmware);
        QFETCH(bool, controllerWritten);
        QFETCH(QString, text);
        QFETCH(bool, outdated);
        const TDeviceRecord shown = device(1, type, firmware);
        const TDeviceRecord other = device(2, u"Palimor P4-S"_qs, u"1.0"_qs); // always behind: a row the filter keeps
        QList<TJournalEntry> history;
        if (controllerWritten) {
            TJournalEntry entry;
            entry.when = QDateTime(QDate(2026, 12, 1), QTime(10, 0));
            entry.ip = shown.IpText;
            entry.mac = u"00:50:c2:00:00:01"_qs;
            entry.operation = u"Controller upgrade"_qs;
            entry.outcome = u"succeeded"_qs;
            entry.imageVersion = u"2.4"_qs;
            history << entry;
        }
        feature().setControllerHistory(TControllerHistory(history, &feature().library()));
        list({shown, other});
        QVERIFY(!m_form->StringGrid->isColumnHidden(TMainWindow::FirmwareColumn));
        QCOMPARE(m_form->StringGrid->Cells(TMainWindow::FirmwareColumn, 1), text);
        QCOMPARE(m_form->StringGrid->Cells(TMainWindow::FirmwareColumn, 2), u"update available 1.2; controller unknown"_qs);

        TWorksheet &sheet = *m_form->Worksheet;
        QTest::keyClick(m_form.get(), Qt::Key_F, Qt::ControlModifier);
        QTest::keyClicks(sheet.FilterEdit, u"Firmware:Outdated"_qs); // case ignored
        QCOMPARE(m_form->StringGrid->IsRowHidden(1), !outdated);
        QVERIFY(!m_form->StringGrid->IsRowHidden(2));
        QTest::keyClick(sheet.FilterEdit, Qt::Key_Escape);
        QVERIFY(!m_form->StringGrid->IsRowHidden(1));
    }

    // One warning lists each device to upgrade with its current and target versions; a device
    // without an image for its type is told, not upgraded; declining sends nothing.
    void bringUpToDateWarns_data()
    {
        QTest::addColumn<QList<TFirmwareComponent>>("components");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("board") << QList<TFirmwareComponent>{TFirmwareComponent::Board}
                               << QStringList{u"Device-1 (198.18.1.1): board 3.2.0 → 3.3.1"_qs,
                                              u"Device-3 (198.18.1.3): board unknown → 1.2"_qs};
        QTest::newRow("board and controller")
            << QList<TFirmwareComponent>{TFirmwareComponent::Board, TFirmwareComponent::Controller}
            << QStringList{u"Device-1 (198.18.1.1): controller unknown → 2.4"_qs, u"Device-1 (198.18.1.1): board 3.2.0 → 3.3.1"_qs,
                           u"Device-2 (198.18.1.2): controller unknown → 2.4"_qs, u"Device-3 (198.18.1.3): board unknown → 1.2"_qs};
    }
    void bringUpToDateWarns()
    {
        QFETCH(QList<TFirmwareComponent>, components);
        QFETCH(QStringList, lines);
        list({device(1, u"Palimor P3"_qs, u"3.2.0"_qs), device(2, u"Palimor P3"_qs, u"3.3.1"_qs),
              device(3, u"Palimor P4-S"_qs, QString()), device(4, u"XR-200"_qs, u"1.0"_qs)});
        m_form->StringGrid->setFocus();
        QTest::keyClick(m_form->StringGrid, Qt::Key_A, Qt::ControlModifier);
        feature().chooseComponents = [&](const QList<TFirmwareComponent> &offered) {
            // Only what the library has images of is offered.
            return offered == QList<TFirmwareComponent>{TFirmwareComponent::Board, TFirmwareComponent::Controller}
                       ? std::optional(components)
                       : std::nullopt;
        };
        QString warned;
        QStringList devices;
        bool asked = false;
        m_form->Batches->confirmBatch = [&](const QString &text, const QString &, const QStringList &listed, const QString &) {
            warned = text;
            devices = listed;
            asked = true;
            return false;
        };
        feature().bringSelectedUpToDate();
        QTRY_VERIFY_WITH_TIMEOUT(asked, 10000); // once the images are checked, on a worker
        QCOMPARE(devices, lines);
        QVERIFY(warned.contains(u"\n\nLeft alone:\n"_qs));
        QVERIFY2(warned.contains(u"Device-4 (198.18.1.4): no board image for this type (XR-200)"_qs), qPrintable(warned));
        QCOMPARE(warned.contains(u"Device-3 (198.18.1.3): no controller image for this type (Palimor P4-S)"_qs),
                 components.contains(TFirmwareComponent::Controller));
        QVERIFY(!m_form->Batches->batch()); // declined: nothing started
    }

    // The batches of a plan: one per image, the controllers' before the boards'.
    void groupsControllersFirst()
    {
        const QList<TDeviceRecord> devices{device(1, u"Palimor P3"_qs, u"3.2.0"_qs), device(2, u"Palimor P4-S"_qs, u"1.0"_qs),
                                  device(3, u"Palimor P3"_qs, u"3.0"_qs)};
        const QList<TFirmwareStep> steps = PlanFirmware(feature().library(), devices,
                                                        {TFirmwareComponent::Board, TFirmwareComponent::Controller}, {});
        const QList<TFirmwareFeature::Group> groups = TFirmwareFeature::GroupsOf(feature().library(), steps);
        QCOMPARE(groups.size(), 3);
        QCOMPARE(groups.at(0).component, TFirmwareComponent::Controller);
        QCOMPARE(QFileInfo(groups.at(0).file).fileName(), u"p3-controller.bin"_qs);
        QCOMPARE(groups.at(0).devices.size(), 2);
        QCOMPARE(QFileInfo(groups.at(1).file).fileName(), u"p3-board.bin"_qs);
        QCOMPARE(groups.at(1).devices.size(), 2);
        QCOMPARE(QFileInfo(groups.at(2).file).fileName(), u"p4-board.bin"_qs);
        QCOMPARE(groups.at(2).devices.first().IpText, u"198.18.1.2"_qs);
    }

    // The upgrade window's job refuses a library image (by its place or, copied, by its SHA-256) for
    // a device of another type, or of no known type, before the warning; any other file is its
    // user's business (the warning is asked, and declined here: nothing is sent).
    void upgradeWindowGuard_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("board"); // through the board's panel, else the controller's
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("refusal"); // a part of it; empty: allowed
        QTest::newRow("its own type") << u"library/p3-controller.bin"_qs << false << u"198.18.1.1"_qs << QString();
        QTest::newRow("another type") << u"library/p3-controller.bin"_qs << false << u"198.18.1.4"_qs << u"not for XR-200"_qs;
        QTest::newRow("a copy, another type") << u"copy.bin"_qs << false << u"198.18.1.4"_qs << u"is for Palimor P3"_qs;
        QTest::newRow("a device not listed") << u"library/p3-controller.bin"_qs << false << u"198.18.1.9"_qs
                                             << u"did not report its type"_qs;
        QTest::newRow("not the library's") << u"other.bin"_qs << false << u"198.18.1.4"_qs << QString();
        QTest::newRow("a library file changed") << u"library/p4-board.bin"_qs << true << u"198.18.1.3"_qs << u"the file changed"_qs;
        QTest::newRow("a board image to the controller")
            << u"library/p3-board.bin"_qs << false << u"198.18.1.1"_qs << u"not for the controller"_qs;
    }
    void upgradeWindowGuard()
    {
        QFETCH(QString, file);
        QFETCH(bool, board);
        QFETCH(QString, ip);
        QFETCH(QString, refusal);
        WriteTestFileOrDie(m_dir.path(), u"copy.bin"_qs, m_controllerImage);
        WriteTestFileOrDie(m_dir.path(), u"other.bin"_qs, RandomBytes(32 * 1024, 99));
        // A copy of the library with one of its files changed under it.
        const QString changed = m_dir.filePath(u"changed"_qs);
        QVERIFY(QDir().mkpath(changed));
        for (const QString &name : {u"library.json"_qs, u"p3-controller.bin"_qs, u"p3-board.bin"_qs, u"p4-board.bin"_qs})
            QFile::copy(QDir(m_libraryFolder).filePath(name), QDir(changed).filePath(name));
        WriteTestFileOrDie(changed, u"p4-board.bin"_qs, RandomBytes(4096, 3));
        const QList<TDeviceRecord> listed{device(1, u"Palimor P3"_qs, u"3.3.1"_qs), device(3, u"Palimor P4-S"_qs, u"1.0"_qs),
                                          device(4, u"XR-200"_qs, u"1.0"_qs)};

        TUpgradeDialog window(m_form->Batches->jobService(), m_form.get());
        window.CreateControls();
        window.jobOptions.libraryFolder = file.startsWith(u"library/"_qs) ? changed : m_libraryFolder;
        QStringList errors;
        int warnings = 0;
        window.showError = [&](const QString &message) { errors << message; };
        window.runWarning = [&] {
            ++warnings;
            return 0; // declined
        };
        window.DeviceIP = ip;
        for (const TDeviceRecord &record : listed)
            if (record.IpText == ip) {
                window.deviceRecord = record;
                window.DeviceTransport = record.Transport;
            }
        TFirmwareUpgradePanel *panel = board ? static_cast<TFirmwareUpgradePanel *>(window.boardPanel)
                                             : static_cast<TFirmwareUpgradePanel *>(window.controllerPanel);
        panel->fileEdit->setFileName(file.startsWith(u"library/"_qs) ? QDir(changed).filePath(file.mid(8)) : m_dir.filePath(file));
        panel->upgrade();
        if (refusal.isEmpty()) {
            QCOMPARE(errors, QStringList());
            QCOMPARE(warnings, 1);
        } else {
            QCOMPARE(errors.size(), 1);
            QVERIFY2(errors.first().contains(refusal), qPrintable(errors.first()));
            QCOMPARE(warnings, 0); // refused before the warning
        }
        QVERIFY(!window.IsBusy());
    }

    // A batch of the window sends a library image only to the devices of its types: the other
    // device's bus hears nothing.
    void batchSendsOnlyToItsTypes()
    {
        LabSimulator sim;
        QVERIFY2(sim.start(2, {u"--type"_qs, u"0=Palimor P3"_qs, u"--type"_qs, u"1=XR-200"_qs}), qPrintable(sim.errorString()));
        QList<TDeviceRecord> found;
        {
            TScanDevices scan(m_form->engine(), {2, 1000, 1000});
            QVERIFY(scan.exec().succeeded);
            found = scan.devices();
        }
        QCOMPARE(found.size(), 2);
        TJobOptions options = m_form->Batches->batchOptions; // with the window's library
        options.comeBackTimeoutMs = 10000;
        options.comeBackListenMs = 500;
        options.confirmed = true;
        QList<TJobDevice> devices;
        for (const TDeviceRecord &record : std::as_const(found))
            devices << TJobDevice::of(record);
        TJob *job = m_form->Batches->jobService()->create(
            TJobRequest::forDevices(TJobAction::ControllerUpgrade, devices, QDir(m_libraryFolder).filePath(u"p3-controller.bin"_qs),
                                    options),
            this);
        QSignalSpy finished(job, &TJob::finished);
        job->start();
        QVERIFY(finished.count() == 1 || finished.wait(60000));
        for (const TJobItemStatus &status : job->items()) {
            const bool p3 = status.item.device.record->Params.text(Wire::Param::TypeText) == u"Palimor P3";
            QCOMPARE(status.state, p3 ? TJobItemStatus::Done : TJobItemStatus::Failed);
            QCOMPARE(sim.requests(status.item.device.target.ip, Wire::BusPort).isEmpty(), !p3);
            if (!p3)
                QVERIFY2(status.message.contains(u"not for XR-200"_qs), qPrintable(status.message));
        }
        delete job;
    }

    // Bring selected up to date runs one job for controllers and boards: a device whose controller
    // upgrade failed keeps its board as it is, and its row says so; the other device gets both.
    void upToDateLeavesTheBoardOfAFailedController()
    {
        LabSimulator sim;
        QVERIFY2(sim.start(2, {u"--type"_qs, u"all=Palimor P3"_qs, u"--firmware-version"_qs, u"all=3.2.0"_qs, u"--fault"_qs,
                               LabSimulator::deviceIp(0) + u":silent@52390"_qs}),
                 qPrintable(sim.errorString()));
        scanTheLab(2);
        useShortWaits();
        selectAll();
        feature().chooseComponents = [](const QList<TFirmwareComponent> &offered) { return std::optional(offered); };
        QStringList warned;
        m_form->Batches->confirmBatch = [&](const QString &, const QString &, const QStringList &devices, const QString &) {
            warned = devices;
            return true;
        };
        feature().bringSelectedUpToDate();
        QTRY_VERIFY_WITH_TIMEOUT(m_form->Batches->batch() && !m_form->Batches->batchRunning(), 90000);
        QCOMPARE(warned.size(), 4); // a controller and a board line for each device

        const TJob *job = m_form->Batches->batch();
        QCOMPARE(job->items().size(), 4);
        const QString failing = LabSimulator::deviceIp(0), healthy = LabSimulator::deviceIp(1);
        for (const TJobItemStatus &status : job->items()) {
            const bool board = status.item.action == TJobAction::BoardUpgrade;
            if (status.item.device.target.ip == failing)
                QCOMPARE(status.state, board ? TJobItemStatus::LeftAlone : TJobItemStatus::Failed);
            else
                QVERIFY2(status.state == TJobItemStatus::Done || (board && status.state == TJobItemStatus::Unconfirmed),
                         qPrintable(status.message));
        }
        QVERIFY(sim.requests(failing, 21).isEmpty()); // its board's FTP server heard nothing
        QVERIFY(!sim.requests(healthy, 21).isEmpty());
        QCOMPARE(statusOf(failing), u"Not started: the controller upgrade of this device did not succeed"_qs);
    }

    // Retry failed takes what never changed its device: an upgrade that went through but whose
    // device did not answer again is left out, and the status bar says how many and why.
    void retryLeavesOutAnUpgradeThatDidNotComeBack()
    {
        LabSimulator sim;
        // Device 0 stops answering scans after the window's own; device 1's daemon never confirms its stop.
        QVERIFY2(sim.start(2, {u"--type"_qs, u"all=Palimor P3"_qs, u"--fault"_qs,
                               LabSimulator::deviceIp(0) + u":silent@52389@cmd=1@from=2"_qs, u"--fault"_qs,
                               LabSimulator::deviceIp(1) + u":wrong-ack=8"_qs}),
                 qPrintable(sim.errorString()));
        scanTheLab(2);
        useShortWaits();
        const QString image = WriteTestFileOrDie(m_dir.path(), u"retry-controller.bin"_qs, RandomBytes(8 * 1024, 12));
        m_form->Batches->chooseOpenFile = [image](const QString &, const QString &) { return image; };
        m_form->Batches->confirmBatch = [](const QString &, const QString &, const QStringList &, const QString &) { return true; };
        selectAll();
        m_form->Batches->UpgradeControllerAction->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(m_form->Batches->batch() && !m_form->Batches->batchRunning(), 60000);
        const TJob *job = m_form->Batches->batch();
        QCOMPARE(job->count(TJobItemStatus::Unconfirmed), 1);
        QCOMPARE(job->count(TJobItemStatus::Failed), 1);
        const qsizetype busRequestsBefore = sim.requests(LabSimulator::deviceIp(0), Wire::BusPort).size();

        QVERIFY(sim.clearFaults());
        QVERIFY(m_form->Batches->RetryAction->isEnabled());
        m_form->Batches->RetryAction->trigger();
        const QString retrying = m_form->StatusBar->currentMessage();
        QVERIFY2(retrying.contains(u"1 left out of the retry"_qs), qPrintable(retrying));
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->Batches->batchRunning(), 60000);
        for (const TJobItemStatus &status : job->items())
            QCOMPARE(status.state, status.item.device.target.ip == LabSimulator::deviceIp(0) ? TJobItemStatus::Unconfirmed
                                                                                            : TJobItemStatus::Done);
        QCOMPARE(sim.requests(LabSimulator::deviceIp(0), Wire::BusPort).size(), busRequestsBefore); // not flashed again
        QVERIFY2(m_form->StatusBar->currentMessage().contains(u"1 left out of the retry"_qs),
                 qPrintable(m_form->StatusBar->currentMessage()));
        QVERIFY(!m_form->Batches->RetryAction->isEnabled());
    }

    // The library dialog lists the images and checks their files on a worker: a changed one is told.
    void libraryDialogChecks()
    {
        TFirmwareLibrary library(m_libraryFolder);
        QString error;
        QVERIFY(library.load(&error));
        TFirmwareLibraryDialog dialog(&library);
        QCOMPARE(dialog.ImageTable->rowCount(), 3);
        QCOMPARE(dialog.ImageTable->item(0, 0)->text(), u"p3-board.bin"_qs);
        QStringList told;
        dialog.tell = [&](const QString &text) { told << text; };
        QSignalSpy finished(&dialog, &TFirmwareLibraryDialog::workFinished);
        dialog.CheckButton->click();
        QVERIFY(!dialog.AddButton->isEnabled()); // while the worker reads the images
        QVERIFY(finished.wait(10000));
        QCOMPARE(told, QStringList{u"All 3 images match their SHA-256."_qs});
        QVERIFY(dialog.AddButton->isEnabled());
    }

    // The window's report is laid out and written on a worker; the window hears the summary.
    void visitReportOnAWorker_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::newRow("pdf") << u"window-visit.pdf"_qs;
        QTest::newRow("html") << u"window-visit.html"_qs;
    }
    void visitReportOnAWorker()
    {
        QFETCH(QString, fileName);
        const TOperationJournal journal(m_dir.filePath(fileName + u".history.jsonl"_qs)); // a history of its own
        TJournalEntry entry;
        entry.when = QDateTime(QDate(2026, 12, 8), QTime(10, 0));
        entry.ip = u"198.18.1.7"_qs;
        entry.name = u"Pumpe-Süd"_qs;
        entry.operation = u"Reset"_qs;
        entry.outcome = u"failed"_qs;
        QVERIFY(journal.append(entry));
        const TVisitDetails details{u"Plant North"_qs, u"Jo"_qs, u"PC-7"_qs, entry.when.addSecs(-60), entry.when.addSecs(60)};
        bool written = false;
        QString told;
        bool done = false;
        WriteVisitReportInBackground(this, details, {}, journal.path(), m_dir.filePath(fileName),
                                     [&](bool ok, const QString &text) {
                                         written = ok;
                                         told = text;
                                         done = true;
                                     },
                                     {VisitDeviceOf(device(9, u"Palimor P3"_qs, u"3.3.1"_qs))}); // the list's, untouched
        QTRY_VERIFY_WITH_TIMEOUT(done, 30000);
        QVERIFY2(written, qPrintable(told));
        QCOMPARE(told, u"1 operation on 2 devices: 1 failed"_qs);
        QVERIFY(QFileInfo(m_dir.filePath(fileName)).size() > 0);
    }

    // Site, technician and PC are asked once: the next report's dialog has them.
    void visitReportRemembers()
    {
        QSettings settings(m_dir.filePath(u"report.ini"_qs), QSettings::IniFormat);
        {
            TVisitReportDialog first;
            first.restore(settings);
            QVERIFY(!first.PcEdit->text().isEmpty()); // this PC's name to start with
            QTest::keyClicks(first.SiteEdit, u"Plant North"_qs);
            QTest::keyClicks(first.TechnicianEdit, u"Jo Ölund"_qs);
            first.PcEdit->setText(u"SERVICE-PC-07"_qs);
            first.remember(settings);
        }
        TVisitReportDialog next;
        next.restore(settings);
        QCOMPARE(next.details().site, u"Plant North"_qs);
        QCOMPARE(next.details().technician, u"Jo Ölund"_qs);
        QCOMPARE(next.details().pc, u"SERVICE-PC-07"_qs);
        QVERIFY(next.details().since <= next.details().until);
    }
};

QTEST_MAIN(TestFirmwareWindow)
#include "tst_firmwarewindow_lab.moc"
