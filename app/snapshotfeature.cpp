#include "app/snapshotfeature.h"

#include "app/batchfeature.h"
#include "app/batchwarning.h"
#include "app/comparedialog.h"
#include "fleet/devicefields.h"
#include "app/mainwindow.h"
#include "app/stringgrid.h"
#include "app/worksheet.h"

#include <QAction>
#include <QFileDialog>
#include <QMenu>
#include <QStatusBar>

#include <memory>

TSnapshotFeature::TSnapshotFeature(TMainWindow *form) : QObject(form), m_form(form)
{
    QMenu *menu = form->Worksheet->DeviceMenu;
    menu->addSeparator();
    CompareAction = menu->addAction(QStringLiteral("C&ompare with a snapshot..."));
    connect(CompareAction, &QAction::triggered, this, &TSnapshotFeature::compareWithSnapshot);
    CompareSnapshotsAction = menu->addAction(QStringLiteral("Compare t&wo snapshots..."));
    connect(CompareSnapshotsAction, &QAction::triggered, this, &TSnapshotFeature::compareSnapshots);
    RestoreAction = menu->addAction(QStringLiteral("Restore from a snapshot..."));
    connect(RestoreAction, &QAction::triggered, this, &TSnapshotFeature::restoreFromSnapshot);
    connect(menu, &QMenu::aboutToShow, this, &TSnapshotFeature::updateActions);
    // After the window's own handler, which makes the row's device the current one.
    connect(form->StringGrid, &TStringGrid::cellSelected, this, &TSnapshotFeature::updateActions);

    chooseFolder = [form](const QString &title) {
        return QFileDialog::getExistingDirectory(form, title, TConfigSnapshot::defaultRoot());
    };
    updateActions();
}

TJobItemStatus TSnapshotFeature::runOnDevice(TJobAction action, const TDeviceRecord &device,
                                             const std::optional<QByteArray> &text)
{
    TJobItem item;
    item.device = TJobDevice::of(device);
    item.action = action;
    item.text = text;
    TJobRequest request;
    request.items = {item};
    request.options = m_form->Batches->batchOptions;
    request.options.confirmed = true; // a write was confirmed in the warning before
    // Waited for here, as the dialogs that follow need its text; the window keeps handling its events.
    const std::unique_ptr<TJob> job(m_form->Batches->jobService()->create(request));
    job->setParent(nullptr);
    job->exec();
    return job->item(0);
}

QString TSnapshotFeature::failureText(const TJobItemStatus &status)
{
    // The operation's own words, as the window always told them; the job's when it never ran.
    const QString text = status.outcome.failureText();
    return text.isEmpty() ? status.message : text;
}

void TSnapshotFeature::updateActions()
{
    const bool one = m_form->selectedDevice() >= 0 && m_form->selectedDevice() < m_form->devices().size();
    const bool running = m_form->Batches->batchRunning();
    for (QAction *action : {CompareAction, CompareSnapshotsAction, RestoreAction})
        action->setEnabled(one && !running);
}

std::optional<QByteArray> TSnapshotFeature::snapshotConfiguration(const TDeviceRecord &device, QString *title)
{
    const QString folder = chooseFolder(QStringLiteral("Choose a snapshot"));
    if (folder.isEmpty())
        return std::nullopt;
    QString error;
    const std::optional<TConfigSnapshot> snapshot = TConfigSnapshot::open(folder, &error);
    if (!snapshot) {
        m_form->showError(QStringLiteral("%1 is not a snapshot: %2").arg(folder, error));
        return std::nullopt;
    }
    const std::optional<TSnapshotEntry> entry = snapshot->entryFor(device);
    if (!entry) {
        m_form->showError(QStringLiteral("The snapshot %1 holds no configuration of %2.").arg(snapshot->name(), MacText(device.Mac)));
        return std::nullopt;
    }
    std::optional<QByteArray> bytes = snapshot->configuration(*entry, &error);
    if (!bytes)
        m_form->showError(error);
    *title = QStringLiteral("Snapshot %1").arg(snapshot->name());
    return bytes;
}

bool TSnapshotFeature::currentDeviceAndSnapshot(TDeviceRecord *device, QByteArray *saved, QString *title)
{
    if (m_form->selectedDevice() < 0 || m_form->selectedDevice() >= m_form->devices().size())
        return false;
    *device = m_form->devices().at(m_form->selectedDevice()); // the list may change while the dialogs are open
    const std::optional<QByteArray> bytes = snapshotConfiguration(*device, title);
    if (bytes)
        *saved = *bytes;
    return bytes.has_value();
}

void TSnapshotFeature::compareWithSnapshot()
{
    TDeviceRecord device;
    QByteArray saved;
    QString title;
    if (!currentDeviceAndSnapshot(&device, &saved, &title))
        return;
    m_form->StatusBar->showMessage(QStringLiteral("Reading the configuration of %1...").arg(device.IpText));
    const TJobItemStatus read = runOnDevice(TJobAction::ReadConfiguration, device);
    if (!read.succeeded()) {
        m_form->showError(failureText(read));
        return;
    }
    m_form->StatusBar->clearMessage();
    TCompareDialog dialog(title, saved, QStringLiteral("%1 now").arg(device.IpText), read.received, m_form);
    m_form->Worksheet->showDialog(&dialog);
}

void TSnapshotFeature::compareSnapshots()
{
    TDeviceRecord device;
    QByteArray left;
    QString leftTitle, rightTitle;
    if (!currentDeviceAndSnapshot(&device, &left, &leftTitle))
        return;
    const std::optional<QByteArray> right = snapshotConfiguration(device, &rightTitle);
    if (!right)
        return;
    TCompareDialog dialog(leftTitle, left, rightTitle, *right, m_form);
    m_form->Worksheet->showDialog(&dialog);
}

void TSnapshotFeature::restoreFromSnapshot()
{
    TDeviceRecord device;
    QByteArray saved;
    QString title;
    if (!currentDeviceAndSnapshot(&device, &saved, &title))
        return;
    if (!m_form->Batches->confirmBatch(QStringLiteral("This writes the configuration of %1 back to the device.").arg(title),
                                         QString(), {BatchWarningLine(device)}, QStringLiteral("Write")))
        return;
    m_form->StatusBar->showMessage(QStringLiteral("Writing the configuration of %1...").arg(device.IpText));
    const TJobItemStatus write = runOnDevice(TJobAction::WriteConfiguration, device, saved);
    if (!write.succeeded()) {
        m_form->showError(failureText(write));
        m_form->StatusBar->clearMessage();
        return;
    }
    m_form->StatusBar->showMessage(
        QStringLiteral("%1: the configuration of %2 is written and read back the same").arg(device.IpText, title));
}
