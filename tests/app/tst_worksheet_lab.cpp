// The worksheet driven through the real window against 40 simulated devices in the lab, three of
// them faulty: a batch controller upgrade ends with 37 devices upgraded (each firmware area equal
// to its image, each found again by a scan) and 3 failures with their messages; after the devices
// are mended "Retry failed" takes the one whose image never went out and leaves the two whose bus
// took blocks to be checked (a new batch of them ends with 40); a back-up of all 40 is byte-exact; one edited line of one
// device's configuration is exactly what the comparison shows; the filter, the export and the
// history tell what the list and the operations were.
#include "app/comparedialog.h"
#include "fleet/configuration/configsnapshot.h"
#include "operations/controlleroperations.h"
#include "fleet/devicefields.h"
#include "app/batchfeature.h"
#include "fleet/jobs/job.h"
#include "app/mainwindow.h"
#include "labsim.h"
#include "labtiming.h"
#include "fleet/configuration/linediff.h"
#include "fleet/history/operationjournal.h"
#include "fleet/history/operationrecord.h"
#include "app/snapshotfeature.h"
#include "app/stringgrid.h"
#include "testfiles.h"
#include "app/unfinishednotice.h"
#include "fleet/history/unfinishedoperations.h"
#include "app/worksheet.h"
#include "protocol/ipv4text.h"

#include <QAction>
#include <QCryptographicHash>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
constexpr int Devices = 40;
constexpr int SilentBus = 7, WrongAck = 15, CorruptReadback = 23;
constexpr int BatchWaitMs = 180000;

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}
} // namespace

class TestWorksheetLab : public QObject
{
    Q_OBJECT
    LabSimulator m_sim;
    std::unique_ptr<TMainWindow> m_form;
    std::unique_ptr<TOperationJournal> m_journal;
    QTemporaryDir m_dir;
    QByteArray m_image;
    QString m_imageFile;
    QStringList m_errors;
    QString m_snapshotFolder;

    TWorksheet &sheet() { return *m_form->Worksheet; }

    // The Status cell of a device's row, found by its address.
    QString statusOf(int device)
    {
        for (int row = 1; row < m_form->StringGrid->RowCount(); ++row)
            if (m_form->StringGrid->Cells(3, row) == LabSimulator::deviceIp(device))
                return m_form->StringGrid->Cells(TMainWindow::StatusColumn, row);
        return QStringLiteral("(no row)");
    }

    bool runAndWait(QAction *action)
    {
        QElapsedTimer clock;
        clock.start();
        action->trigger();
        const bool ended = QTest::qWaitFor([this] { return !m_form->Batches->batchRunning(); }, BatchWaitMs);
        qInfo("%s: %lld ms", qPrintable(action->text()), clock.elapsed());
        return ended;
    }

    QString controllerImage(int device)
    {
        return m_sim.deviceState(device).value(u"controller"_qs).toObject().value(u"updateImageSha256"_qs).toString();
    }

    // The device's configuration in the back-up's snapshot.
    QByteArray snapshotConfigurationOf(const TDeviceRecord &device)
    {
        QString error;
        const std::optional<TConfigSnapshot> snapshot = TConfigSnapshot::open(m_snapshotFolder, &error);
        const std::optional<TSnapshotEntry> entry = snapshot ? snapshot->entryFor(device) : std::nullopt;
        const std::optional<QByteArray> bytes = entry ? snapshot->configuration(*entry, &error) : std::nullopt;
        if (!bytes)
            qWarning("no configuration of %s in %s: %s", qPrintable(device.IpText), qPrintable(m_snapshotFolder),
                     qPrintable(error));
        return bytes.value_or(QByteArray());
    }

    // The configuration written to the device behind the window's back.
    bool writeConfiguration(const TDeviceRecord &device, const QByteArray &configuration)
    {
        TWriteConfig write(m_form->engine(), {device.IpText, device.Transport}, configuration,
                           m_form->Batches->batchOptions.timing);
        connect(&write, &TDeviceOperation::confirmationRequested, this, [&write] { write.confirm(true); });
        return write.exec().succeeded;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(LabSimulator::inLab(), "talks to simulated devices: run it inside the lab (ctest does)");
        QVERIFY(m_dir.isValid());
        QVERIFY2(m_sim.start(Devices, {u"--seed"_qs, u"5"_qs, u"--fault"_qs, QStringLiteral("%1:silent@52390").arg(SilentBus),
                                       u"--fault"_qs, QStringLiteral("%1:wrong-ack=8").arg(WrongAck), u"--fault"_qs,
                                       QStringLiteral("%1:corrupt-readback=100").arg(CorruptReadback)}),
                 qPrintable(m_sim.errorString()));
        m_form = std::make_unique<TMainWindow>();
        m_journal = std::make_unique<TOperationJournal>(m_dir.filePath(u"history.jsonl"_qs));
        SetOperationObserver([this](const TDeviceOperation &operation) {
            if (IsJournaled(operation))
                m_journal->append(JournalEntryFor(operation, nullptr));
        });
        sheet().setJournal(m_journal.get());
        m_form->Batches->batchOptions.timing = ShortLabTiming();
        m_form->Batches->batchOptions.comeBackTimeoutMs = 30000;
        m_form->Batches->batchOptions.snapshotRoot = m_dir.filePath(u"snapshots"_qs);
        m_form->showError = [this](const QString &message) { m_errors << message; };
        m_image = RandomBytes(24 * 1024, 9);
        m_imageFile = WriteTestFileOrDie(m_dir.path(), u"controller.bin"_qs, m_image);
        m_form->Batches->chooseOpenFile = [image = m_imageFile](const QString &, const QString &) { return image; };
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));

        m_form->Scan();
        QTRY_COMPARE_WITH_TIMEOUT(m_form->devices().size(), Devices, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->Timer->isActive(), 10000);
    }

    void cleanupTestCase()
    {
        SetOperationObserver({});
        m_form.reset();
    }

    void batchUpgradeTellsEachDevice()
    {
        m_form->StringGrid->setFocus();
        QTest::keyClick(m_form->StringGrid, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(m_form->StringGrid->SelectedRows().size(), Devices);
        QCOMPARE(sheet().CountLabel->text(), QStringLiteral("%1 devices, %1 selected").arg(Devices));
        QStringList warned;
        m_form->Batches->confirmBatch = [&](const QString &text, const QString &, const QStringList &devices, const QString &) {
            warned = devices;
            return text == FirmwareWarningText();
        };
        QVERIFY(runAndWait(m_form->Batches->UpgradeControllerAction));
        QCOMPARE(warned.size(), Devices); // one warning, listing every device

        QCOMPARE(m_form->Batches->batch()->count(TJobItemStatus::Done), Devices - 3);
        QCOMPARE(m_form->Batches->batch()->count(TJobItemStatus::Failed), 3);
        QCOMPARE(statusOf(SilentBus), u"Device not responding: Writing Code"_qs);
        QVERIFY2(statusOf(WrongAck).contains(u"Stopping daemon"_qs), qPrintable(statusOf(WrongAck)));
        QVERIFY2(statusOf(CorruptReadback).startsWith(u"Verify Error"_qs), qPrintable(statusOf(CorruptReadback)));
        for (int device = 0; device < Devices; ++device) {
            if (device == SilentBus || device == WrongAck || device == CorruptReadback) {
                QVERIFY(controllerImage(device) != sha256(m_image));
                continue;
            }
            QCOMPARE(controllerImage(device), sha256(m_image));
            QVERIFY2(statusOf(device).startsWith(u"Upgraded; found again with firmware"_qs), qPrintable(statusOf(device)));
        }
        QVERIFY(m_errors.isEmpty());
    }

    void retryAfterMendingEndsWithAll()
    {
        QVERIFY(m_sim.clearFaults());
        QVERIFY(m_form->Batches->RetryAction->isEnabled());
        QVERIFY(runAndWait(m_form->Batches->RetryAction));
        // The daemon that did not confirm its stop heard no block: retried. The silent bus and the
        // corrupt read-back took blocks: left out, and the status bar says so.
        QCOMPARE(m_form->Batches->batch()->count(TJobItemStatus::Done), Devices - 2);
        QCOMPARE(controllerImage(WrongAck), sha256(m_image));
        QCOMPARE(controllerImage(SilentBus) == sha256(m_image), false);
        QVERIFY2(m_form->StatusBar->currentMessage().contains(u"2 left out of the retry"_qs),
                 qPrintable(m_form->StatusBar->currentMessage()));
        QVERIFY(!m_form->Batches->RetryAction->isEnabled());

        // Checked and sent again on purpose: a new batch of the two.
        QList<TDeviceRecord> leftOut;
        for (const TDeviceRecord &device : std::as_const(m_form->devices()))
            if (device.IpText == LabSimulator::deviceIp(SilentBus) || device.IpText == LabSimulator::deviceIp(CorruptReadback))
                leftOut << device;
        QCOMPARE(leftOut.size(), 2);
        m_form->Batches->startBatch(TJobAction::ControllerUpgrade, leftOut, m_imageFile);
        QVERIFY(QTest::qWaitFor([this] { return !m_form->Batches->batchRunning(); }, BatchWaitMs));
        QCOMPARE(m_form->Batches->batch()->count(TJobItemStatus::Done), 2);
        for (int device = 0; device < Devices; ++device)
            QCOMPARE(controllerImage(device), sha256(m_image));
    }

    void backUpIsByteExact()
    {
        QVERIFY(runAndWait(m_form->Batches->BackUpAction));
        QCOMPARE(m_form->Batches->batch()->count(TJobItemStatus::Done), Devices);
        const TConfigSnapshot &snapshot = *m_form->Batches->batch()->snapshot();
        m_snapshotFolder = snapshot.folder();
        QCOMPARE(snapshot.entries().size(), Devices);
        const QJsonArray states = m_sim.state().value(u"devices"_qs).toArray();
        for (const TDeviceRecord &device : std::as_const(m_form->devices())) {
            const int index = int(TextToIp(device.IpText) - TextToIp(LabSimulator::deviceIp(0)));
            QString error;
            const std::optional<TSnapshotEntry> entry = snapshot.entryFor(device);
            QVERIFY(entry);
            const std::optional<QByteArray> saved = snapshot.configuration(*entry, &error);
            QVERIFY2(saved, qPrintable(error));
            QCOMPARE(QString::fromLatin1(saved->toHex()),
                     states.at(index).toObject().value(u"controller"_qs).toObject().value(u"configurationHex"_qs).toString());
        }
    }

    void comparisonShowsTheEditedLine()
    {
        const int row = 1;
        const TDeviceRecord device = m_form->devices().at(row - 1);
        QList<QByteArray> lines = snapshotConfigurationOf(device).split('\n');
        QVERIFY(lines.size() > 3);
        lines[2] = "edited=on the device\r";
        QVERIFY(writeConfiguration(device, lines.join('\n')));

        m_form->StringGrid->SelectRow(row);
        m_form->Snapshots->chooseFolder = [this](const QString &) { return m_snapshotFolder; };
        QList<TDiffRow> shown;
        sheet().showDialog = [&](QDialog *dialog) {
            if (auto *compare = qobject_cast<TCompareDialog *>(dialog))
                shown = compare->rows();
        };
        m_form->Snapshots->compareWithSnapshot();
        QCOMPARE(DifferenceCount(shown), 1);
        const auto changed = std::find_if(shown.begin(), shown.end(), [](const TDiffRow &r) { return r.kind != TDiffRow::Same; });
        QCOMPARE(changed->kind, TDiffRow::Changed);
        QCOMPARE(changed->leftLine, 3);
        QCOMPARE(changed->right, u"edited=on the device"_qs);
    }

    void restoreWritesTheSnapshotBack()
    {
        const int row = 2;
        const TDeviceRecord device = m_form->devices().at(row - 1);
        const QByteArray saved = snapshotConfigurationOf(device);
        QVERIFY(!saved.isEmpty());
        QVERIFY(writeConfiguration(device, saved + "edited=after the snapshot\r\n"));

        m_form->StringGrid->SelectRow(row);
        m_form->Snapshots->chooseFolder = [this](const QString &) { return m_snapshotFolder; };
        QStringList warned;
        m_form->Batches->confirmBatch = [&](const QString &, const QString &, const QStringList &devices, const QString &action) {
            warned = devices;
            return action == u"Write"_qs;
        };
        QVERIFY(m_form->Snapshots->RestoreAction->isEnabled());
        m_form->Snapshots->RestoreAction->trigger();
        QCOMPARE(warned.size(), 1);
        QVERIFY2(warned.first().startsWith(device.IpText), qPrintable(warned.first()));
        const int index = int(TextToIp(device.IpText) - TextToIp(LabSimulator::deviceIp(0)));
        QCOMPARE(m_sim.deviceState(index).value(u"controller"_qs).toObject().value(u"configurationHex"_qs).toString(),
                 QString::fromLatin1(saved.toHex()));
        QVERIFY2(m_form->StatusBar->currentMessage().contains(u"read back the same"_qs),
                 qPrintable(m_form->StatusBar->currentMessage()));
        QVERIFY(m_errors.isEmpty());
    }

    void filterAndExportShowTheSameDevices()
    {
        const QString name = m_form->devices().at(5).Params.text(Wire::Param::Name);
        QTest::keyClick(m_form.get(), Qt::Key_F, Qt::ControlModifier);
        QVERIFY(sheet().FilterEdit->isVisible());
        QTest::keyClicks(sheet().FilterEdit, name);
        QVERIFY2(sheet().CountLabel->text().startsWith(u"1 of 40 devices shown"_qs), qPrintable(sheet().CountLabel->text()));
        const QString csv = m_dir.filePath(u"list.csv"_qs);
        sheet().chooseSaveFile = [csv](const QString &, const QString &) { return csv; };
        sheet().exportList();
        QFile file(csv);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QStringList> rows = ParseCsv(QString::fromUtf8(file.readAll()));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(1).at(0), name);
        QTest::keyClick(sheet().FilterEdit, Qt::Key_Escape);
        QCOMPARE(sheet().CountLabel->text().left(11), u"40 devices,"_qs);
    }

    void historyHoldsEveryOutcome()
    {
        const QList<TJournalEntry> entries = m_journal->read();
        auto count = [&](const QString &operation, const QString &outcome) {
            return std::count_if(entries.begin(), entries.end(), [&](const TJournalEntry &e) {
                return e.operation == operation && e.outcome == outcome;
            });
        };
        QCOMPARE(count(u"Controller upgrade"_qs, u"succeeded"_qs), Devices); // 37, then the 3 retried
        QCOMPARE(count(u"Controller upgrade"_qs, u"failed"_qs), 3);
        QCOMPARE(count(u"Controller upgrade: found again"_qs, u"succeeded"_qs), Devices);
        QCOMPARE(count(u"Read configuration"_qs, u"succeeded"_qs), Devices + 1); // the back-up, the comparison
        QCOMPARE(count(u"Write configuration"_qs, u"succeeded"_qs), 3); // the edits before comparing and restoring, the restore
        for (const TJournalEntry &entry : entries)
            if (entry.operation == u"Controller upgrade" && entry.outcome == u"succeeded")
                QCOMPARE(entry.fileSha256, sha256(m_image));
    }

    // Stop: the running devices stop before their next exchange and are put back; the others are
    // never contacted, and are there for a retry.
    void stopStartsNoNewDevice()
    {
        const QString image = WriteTestFileOrDie(m_dir.path(), u"large.bin"_qs, RandomBytes(2 * 1024 * 1024, 4));
        m_form->Batches->chooseOpenFile = [image](const QString &, const QString &) { return image; };
        m_form->Batches->confirmBatch = [](const QString &, const QString &, const QStringList &, const QString &) { return true; };
        m_form->Batches->batchOptions.jobs = 2;
        QHash<QString, qsizetype> requestsBefore;
        for (int device = 0; device < Devices; ++device)
            requestsBefore.insert(LabSimulator::deviceIp(device), m_sim.requests(LabSimulator::deviceIp(device)).size());
        m_form->StringGrid->selectAll();
        m_form->Batches->UpgradeControllerAction->trigger();
        auto writing = [this] {
            const auto &statuses = m_form->Batches->batch()->items();
            return std::count_if(statuses.begin(), statuses.end(), [](const TJobItemStatus &s) {
                return s.phase == u"Writing Code" && s.done > 0;
            });
        };
        QTRY_COMPARE_WITH_TIMEOUT(writing(), 2, 30000);
        m_form->Batches->StopAction->trigger();
        QVERIFY(QTest::qWaitFor([this] { return !m_form->Batches->batchRunning(); }, 60000));

        QCOMPARE(m_form->Batches->batch()->count(TJobItemStatus::Cancelled), Devices);
        QVERIFY2(m_form->StatusBar->currentMessage().endsWith(QStringLiteral(", %1 stopped").arg(Devices)),
                 qPrintable(m_form->StatusBar->currentMessage()));
        for (const TJobItemStatus &status : m_form->Batches->batch()->items()) {
            const QString ip = status.item.device.target.ip;
            const int index = int(TextToIp(ip) - TextToIp(LabSimulator::deviceIp(0)));
            if (status.message.startsWith(u"Not started"_qs)) {
                QCOMPARE(m_sim.requests(ip).size(), requestsBefore.value(ip));
                continue;
            }
            QVERIFY2(status.message.startsWith(u"Stopped at Writing Code; the device is put back"_qs), qPrintable(status.message));
            const QJsonObject state = m_sim.deviceState(index);
            QVERIFY(state.value(u"daemon"_qs).toBool() && !state.value(u"updater"_qs).toBool());
        }
        QVERIFY(m_form->Batches->RetryAction->isEnabled());
    }

    // Each device's status stays on its own row while the list is sorted, filtered, cleared and
    // scanned again during and after a batch.
    void statusFollowsItsRow()
    {
        m_form->Batches->confirmBatch = [](const QString &, const QString &, const QStringList &, const QString &) { return true; };
        m_form->StringGrid->selectAll();
        m_form->Batches->BackUpAction->trigger();
        m_form->StringGridDblClick(0, 0); // by name, while the batch runs
        QTest::keyClick(m_form.get(), Qt::Key_F, Qt::ControlModifier);
        QTest::keyClicks(sheet().FilterEdit, u"Palimor"_qs);
        QVERIFY(QTest::qWaitFor([this] { return !m_form->Batches->batchRunning(); }, BatchWaitMs));
        QTest::keyClick(sheet().FilterEdit, Qt::Key_Escape);
        QVERIFY2(m_form->Batches->batch()->count(TJobItemStatus::Done) == Devices,
                 qPrintable(m_form->Batches->batch()->items().first().message));

        auto eachRowShowsItsDevice = [this] {
            QHash<QString, QString> expected; // by IP address
            for (const TJobItemStatus &status : m_form->Batches->batch()->items())
                expected.insert(status.item.device.target.ip, status.text());
            int rows = 0;
            for (int row = 1; row <= m_form->devices().size(); ++row, ++rows)
                if (m_form->StringGrid->Cells(TMainWindow::StatusColumn, row) != expected.value(m_form->StringGrid->Cells(3, row)))
                    return false;
            return rows == Devices;
        };
        QVERIFY(eachRowShowsItsDevice());
        m_form->StringGridDblClick(3, 0); // by IP address
        QVERIFY(eachRowShowsItsDevice());
        m_form->Scan(); // the list cleared, then filled again as the devices answer
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->Timer->isActive() && m_form->devices().size() == Devices, 20000);
        QVERIFY(eachRowShowsItsDevice());
        m_form->StringGridDblClick(0, 0);
        QVERIFY(eachRowShowsItsDevice());
    }

    // The operations that started and never ended (a history written by a program that was
    // killed) are listed after the window is shown; "Check these devices" selects those that
    // answer a scan; "Acknowledge" marks them as seen.
    void unfinishedOperationsAreListedAndChecked()
    {
        const TOperationJournal history(m_dir.filePath(u"killed-history.jsonl"_qs));
        auto line = [&](int device, const QString &outcome, const QString &id) {
            TJournalEntry entry;
            entry.when = QDateTime::currentDateTime();
            entry.ip = device < Devices ? LabSimulator::deviceIp(device) : u"198.18.1.200"_qs;
            entry.operation = u"Controller upgrade"_qs;
            entry.outcome = outcome;
            entry.id = id;
            QVERIFY(history.append(entry));
        };
        line(3, u"started"_qs, u"a"_qs);
        line(4, u"started"_qs, u"b"_qs);
        line(4, u"succeeded"_qs, u"b"_qs); // ended: not listed
        line(5, u"started"_qs, u"c"_qs);
        line(200, u"started"_qs, u"d"_qs); // a device that is gone
        TUnfinishedNotice::showAfterStart(m_form.get(), history);
        TUnfinishedNotice *notice = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((notice = m_form->findChild<TUnfinishedNotice *>()) != nullptr, 10000);
        QVERIFY(notice->isVisible());
        QVERIFY(!notice->isModal());
        QCOMPARE(notice->List->count(), 3);
        QCOMPARE(notice->List->item(0)->text().section(QLatin1Char(':'), 0, 0), LabSimulator::deviceIp(3));
        QVERIFY(notice->List->item(0)->text().endsWith(u"never finished: the device may be left with its updater on"_qs));

        m_form->StringGrid->SelectRow(1);
        QTest::mouseClick(notice->CheckButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->Timer->isActive() && m_form->devices().size() == Devices, 20000);
        QStringList selected;
        for (int row : m_form->StringGrid->SelectedRows())
            selected << m_form->devices().at(row - 1).IpText;
        selected.sort();
        QCOMPARE(selected, (QStringList{LabSimulator::deviceIp(3), LabSimulator::deviceIp(5)}));

        QTest::mouseClick(notice->AcknowledgeButton, Qt::LeftButton);
        QVERIFY(UnfinishedOperations::read(history).isEmpty());
        QCOMPARE(history.read().size(), 5 + 3); // an "acknowledged" line each
    }
};

QTEST_MAIN(TestWorksheetLab)
#include "tst_worksheet_lab.moc"
