// Every running operation has an owner, through the real window against simulated devices whose
// bus answers slowly: a device that one operation works on is refused to a second one in the window
// and in a batch (and receives nothing from it); a cancel wakes the settle wait; closing the window
// during a batch of 8 upgrades asks first, then every device is put back and the history holds each
// upgrade as cancelled; a batch reads its image once and every device stores exactly those bytes.
#include "operations/controlleroperations.h"
#include "app/batchfeature.h"
#include "app/mainwindow.h"
#include "labsim.h"
#include "labtiming.h"
#include "fleet/history/operationjournal.h"
#include "operations/operationmanager.h"
#include "fleet/history/operationrecord.h"
#include "app/stringgrid.h"
#include "testfiles.h"
#include "app/worksheet.h"

#include <QAction>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <memory>

namespace {
constexpr int Devices = 10;
constexpr int BatchDevices = 8;
constexpr int SlowBusMs = 15; // each bus reply leaves this late: an upgrade takes seconds
} // namespace

class TestOwnerLab : public QObject
{
    Q_OBJECT
    LabSimulator m_sim;
    std::unique_ptr<TMainWindow> m_form;
    std::unique_ptr<TOperationJournal> m_journal;
    QTemporaryDir m_dir;
    QString m_imagePath;
    QByteArray m_image;

    TWorksheet &sheet() { return *m_form->Worksheet; }
    TOperationManager &manager() { return *TOperationManager::of(m_form->engine()); }

    int rowOf(int device)
    {
        for (int row = 1; row < m_form->StringGrid->RowCount(); ++row)
            if (m_form->StringGrid->Cells(3, row) == LabSimulator::deviceIp(device))
                return row;
        return -1;
    }

    QString statusOf(int device) { return m_form->StringGrid->Cells(TMainWindow::StatusColumn, rowOf(device)); }
    QColor statusColour(int device)
    {
        const QModelIndex cell = m_form->StringGrid->model()->index(rowOf(device) - 1, TMainWindow::StatusColumn);
        return cell.data(Qt::ForegroundRole).value<QColor>();
    }

    void selectDevices(const QList<int> &devices)
    {
        m_form->StringGrid->clearSelection();
        for (int device : devices)
            // The model has no header row: the grid's row r is the model's r - 1.
            m_form->StringGrid->selectionModel()->select(m_form->StringGrid->model()->index(rowOf(device) - 1, 0),
                                                         QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }

    // The requests a device got on its command port since the journal had `since` lines.
    QList<QJsonObject> commandsSince(int device, qsizetype since)
    {
        QList<QJsonObject> lines = m_sim.requests(LabSimulator::deviceIp(device), 52389);
        return lines.mid(std::min(since, lines.size()));
    }

    bool deviceInService(int device)
    {
        const QJsonObject state = m_sim.deviceState(device);
        return state.value(u"daemon"_qs).toBool() && !state.value(u"updater"_qs).toBool();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(LabSimulator::inLab(), "talks to simulated devices: run it inside the lab (ctest does)");
        QVERIFY(m_dir.isValid());
        QVERIFY2(m_sim.start(Devices, {u"--seed"_qs, u"3"_qs, u"--fault"_qs, QStringLiteral("all:delay=%1@52390").arg(SlowBusMs)}),
                 qPrintable(m_sim.errorString()));
        m_form = std::make_unique<TMainWindow>();
        m_journal = std::make_unique<TOperationJournal>(m_dir.filePath(u"history.jsonl"_qs));
        SetOperationObserver([this](const TDeviceOperation &operation) {
            if (IsJournaled(operation))
                m_journal->append(JournalEntryFor(operation, nullptr));
        });
        sheet().setJournal(m_journal.get());
        m_form->Batches->batchOptions.timing = ShortLabTiming();
        m_form->Batches->batchOptions.jobs = BatchDevices;
        m_form->Batches->batchOptions.comeBackTimeoutMs = 30000;
        m_form->Batches->batchOptions.snapshotRoot = m_dir.filePath(u"snapshots"_qs);
        m_form->Batches->confirmBatch = [](const QString &, const QString &, const QStringList &, const QString &) { return true; };
        m_image = RandomBytes(16 * 1024, 4);
        m_imagePath = WriteTestFileOrDie(m_dir.path(), u"controller.bin"_qs, m_image);
        m_form->Batches->chooseOpenFile = [this](const QString &, const QString &) { return m_imagePath; };
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

    // A configuration read holds device 0 while the window and a batch try to work on it too.
    void busyDeviceIsRefusedInTheWindowAndTheBatch()
    {
        TOperationTiming holding = ShortLabTiming();
        holding.settleMs = 4000; // the read holds the device meanwhile
        TReadControllerText read(m_form->engine(), {LabSimulator::deviceIp(0), TransportUdp},
                                 TReadControllerText::Kind::Configuration, holding);
        QSignalSpy phases(&read, &TDeviceOperation::phaseChanged);
        read.start();
        QVERIFY(phases.wait(10000));
        QVERIFY(manager().isBusy(LabSimulator::deviceIp(0)));
        const qsizetype before = m_sim.requests(LabSimulator::deviceIp(0), 52389).size();

        // The window: its device actions go grey for the busy device, not for another one.
        selectDevices({0});
        m_form->StringGridSelectCell(0, rowOf(0));
        QTRY_VERIFY(!m_form->DropBearButton->isEnabled());
        m_form->StringGridSelectCell(0, rowOf(1));
        QTRY_VERIFY(m_form->DropBearButton->isEnabled());

        // A batch over devices 0 and 1: device 0 is told busy and left alone, device 1 is worked on.
        selectDevices({0, 1});
        QVERIFY(manager().isBusy(LabSimulator::deviceIp(0)));
        m_form->Batches->BackUpAction->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->Batches->batchRunning(), 60000);
        QVERIFY2(statusOf(0).contains(u"is busy: Read configuration"_qs), qPrintable(statusOf(0)));
        QVERIFY2(statusOf(1).startsWith(u"Saved"_qs), qPrintable(statusOf(1)));
        // Coloured by how it ended: left alone (a retry will do it) is not failed, done is not either.
        const QColor busyColour = statusColour(0);
        const QColor savedColour = statusColour(1);
        QVERIFY(busyColour.isValid() && savedColour.isValid() && busyColour != savedColour);
        for (const QJsonObject &line : commandsSince(0, before)) // only the read's own bracket
            QVERIFY2(line.value(u"cmd"_qs).toInt() == int(Wire::Command::StartUpdater)
                         || line.value(u"cmd"_qs).toInt() == int(Wire::Command::StopUpdater)
                         || line.value(u"cmd"_qs).toInt() == int(Wire::Command::StartDaemon),
                     qPrintable(QString::number(line.value(u"cmd"_qs).toInt())));

        QTRY_VERIFY_WITH_TIMEOUT(read.isFinished(), 30000);
        QVERIFY(read.outcome().succeeded);
        // Free again: retrying the batch's failed device now works on it.
        QVERIFY(m_form->Batches->batch()->retry());
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->Batches->batchRunning(), 60000);
        QVERIFY2(statusOf(0).startsWith(u"Saved"_qs), qPrintable(statusOf(0)));
    }

    // A cancel during the wait the device needs after a begin command ends the operation at once,
    // long before the wait itself would have, and the device is put back.
    void cancelWakesTheSettleWait()
    {
        TOperationTiming timing = ShortLabTiming();
        timing.settleMs = 60000;
        TReadControllerText read(m_form->engine(), {LabSimulator::deviceIp(2), TransportUdp},
                                 TReadControllerText::Kind::Configuration, timing);
        QSignalSpy phases(&read, &TDeviceOperation::phaseChanged);
        read.start();
        QTRY_VERIFY_WITH_TIMEOUT(!phases.isEmpty(), 10000);
        QCOMPARE(phases.first().first().toString(), u"Get Config Start"_qs);
        // The begin command is answered after SlowBusMs; the settle follows it.
        QTest::qWait(500);
        QElapsedTimer clock;
        clock.start();
        read.cancel();
        QTRY_VERIFY_WITH_TIMEOUT(read.isFinished(), 20000);
        QVERIFY2(clock.elapsed() < timing.settleMs / 4, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(read.outcome().cancelled);
        QVERIFY(read.outcome().device.normal());
        QVERIFY(deviceInService(2));
    }

    // Closing the window during a batch of 8 upgrades asks; No leaves it running; Yes stops every
    // upgrade, puts every device back and records each in the history before the window goes.
    void closingDuringABatchAsksAndPutsEveryDeviceBack()
    {
        QList<int> batch;
        for (int device = 0; device < BatchDevices; ++device)
            batch << device;
        selectDevices(batch);
        const int journalBefore = int(m_journal->read().size());
        m_form->Batches->UpgradeControllerAction->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(manager().deviceOperationCount() == BatchDevices, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(statusOf(BatchDevices - 1).startsWith(u"Writing Code"_qs), 20000);

        QStringList asked;
        m_form->askToStopOperations = [&asked](const QString &question) {
            asked << question;
            return false;
        };
        QVERIFY(!m_form->close());
        QCOMPARE(asked, QStringList{u"8 operations are running: stop them and put the devices back?"_qs});
        QVERIFY(m_form->isVisible());
        QCOMPARE(manager().deviceOperationCount(), BatchDevices);

        m_form->askToStopOperations = [&asked](const QString &question) {
            asked << question;
            return true;
        };
        QVERIFY(!m_form->close()); // it goes once the devices are back
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->isVisible(), 30000);
        QCOMPARE(asked.size(), 2);
        QCOMPARE(manager().deviceOperationCount(), 0);

        const QList<TJournalEntry> entries = m_journal->read().mid(journalBefore);
        int cancelled = 0;
        for (const TJournalEntry &entry : entries)
            cancelled += entry.operation == u"Controller upgrade"_qs && entry.outcome == u"cancelled"_qs ? 1 : 0;
        QCOMPARE(cancelled, BatchDevices);
        for (int device : batch)
            QVERIFY2(deviceInService(device), qPrintable(LabSimulator::deviceIp(device)));
    }
};

QTEST_MAIN(TestOwnerLab)
#include "tst_owner_lab.moc"
