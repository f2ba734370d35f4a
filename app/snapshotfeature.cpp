#include "app/snapshotfeature.h"

#include "app/batchfeature.h"
#include "app/batchwarning.h"
#include "app/comparedialog.h"
#include "operations/controlleroperations.h"
#include "fleet/devicefields.h"
#include "app/mainwindow.h"
#include "app/stringgrid.h"
#include "app/worksheet.h"

#include <QAction>
#include <QFileDialog>
#include <QMenu>
#include <QStatusBar>

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
    TReadControllerText read(m_form->engine(), {device.IpText, device.Transport}, TReadControllerText::Kind::Configuration,
                             m_form->Batches->batchOptions.timing);
    m_form->StatusBar->showMessage(QStringLiteral("Reading the configuration of %1...").arg(device.IpText));
    const TOperationOutcome outcome = read.exec();
    if (!outcome.succeeded) {
        m_form->showError(outcome.failureText());
        return;
    }
    m_form->StatusBar->clearMessage();
    TCompareDialog dialog(title, saved, QStringLiteral("%1 now").arg(device.IpText), read.text(), m_form);
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
    TWriteConfig write(m_form->engine(), {device.IpText, device.Transport}, saved, m_form->Batches->batchOptions.timing);
    connect(&write, &TDeviceOperation::confirmationRequested, this, [&write] { write.confirm(true); });
    m_form->StatusBar->showMessage(QStringLiteral("Writing the configuration of %1...").arg(device.IpText));
    const TOperationOutcome outcome = write.exec();
    if (!outcome.succeeded) {
        m_form->showError(outcome.failureText());
        m_form->StatusBar->clearMessage();
        return;
    }
    m_form->StatusBar->showMessage(
        QStringLiteral("%1: the configuration of %2 is written and read back the same").arg(device.IpText, title));
}
