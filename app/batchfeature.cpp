#include "app/batchfeature.h"

#include "app/batchwarning.h"
#include "operations/controlleroperations.h"
#include "app/mainwindow.h"
#include "app/stringgrid.h"
#include "app/worksheet.h"
#include "protocol/fileio.h"

#include <QAction>
#include <QFileDialog>
#include <QItemSelectionModel>
#include <QMenu>
#include <QStatusBar>
#include <QToolButton>

#include <algorithm>

namespace {
// The device's address record as one number: no allocation for each row shown.
quint64 deviceKey(const TDeviceRecord &device)
{
    quint64 key = 0;
    for (const quint8 byte : device.Address)
        key = (key << 8) | byte;
    return key;
}
} // namespace

TBatchFeature::TBatchFeature(TMainWindow *form) : QObject(form), m_form(form)
{
    TStringGrid *grid = form->StringGrid;
    grid->SetCell(TMainWindow::StatusColumn, 0, QStringLiteral("Status"));
    grid->setColumnHidden(TMainWindow::StatusColumn, true); // shown by the first batch
    // A batch's outcome at a glance: done, left alone or stopped, failed on the device.
    grid->SetForeground([this](int column, int row) -> QColor {
        if (column != TMainWindow::StatusColumn || m_toneByDevice.isEmpty() || row - 1 >= m_form->devices().size())
            return {};
        switch (m_toneByDevice.value(deviceKey(m_form->devices().at(row - 1)), TBatchRun::Tone::Neutral)) {
        case TBatchRun::Tone::Neutral: return {};
        case TBatchRun::Tone::Good: return QColor(0x1b, 0x6e, 0x20);
        case TBatchRun::Tone::Warning: return QColor(0x9a, 0x5b, 0x00);
        case TBatchRun::Tone::Bad: return QColor(0xb7, 0x1c, 0x1c);
        }
        return {};
    });

    QMenu *menu = form->Worksheet->DeviceMenu;
    menu->addSeparator();
    auto add = [this, menu](const QString &text, const QKeySequence &keys, auto slot) {
        QAction *action = menu->addAction(text);
        action->setShortcut(keys);
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    // Named for what they do to every selected device, not one.
    UpgradeControllerAction = add(QStringLiteral("Upgrade &controllers of the selection..."), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C),
                                  [this] { runBatch(TBatchRun::Kind::ControllerUpgrade); });
    UpgradeBoardAction = add(QStringLiteral("Upgrade &boards of the selection..."), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_B),
                             [this] { runBatch(TBatchRun::Kind::BoardUpgrade); });
    BackUpAction = add(QStringLiteral("Bac&k up configurations..."), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_K),
                       [this] { runBatch(TBatchRun::Kind::BackUpConfiguration); });
    ResetAction = add(QStringLiteral("R&eset controllers of the selection..."), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R),
                      [this] { runBatch(TBatchRun::Kind::Reset); });
    ResetWithUpdaterAction = add(QStringLiteral("Reset controllers of the selection wit&h updater..."), QKeySequence(),
                                 [this] { runBatch(TBatchRun::Kind::ResetWithUpdater); });
    RetryAction = add(QStringLiteral("Re&try failed"), QKeySequence(Qt::CTRL | Qt::Key_R), &TBatchFeature::retryFailed);
    StopAction = add(QStringLiteral("S&top"), QKeySequence(Qt::CTRL | Qt::Key_Period), &TBatchFeature::stopBatch);
    connect(menu, &QMenu::aboutToShow, this, &TBatchFeature::updateActions);
    connect(grid->selectionModel(), &QItemSelectionModel::selectionChanged, this, &TBatchFeature::updateActions);

    chooseOpenFile = [form](const QString &title, const QString &filter) {
        return QFileDialog::getOpenFileName(form, title, QString(), filter);
    };
    confirmBatch = [form](const QString &text, const QString &file, const QStringList &devices, const QString &action) {
        TBatchWarning warning(text, file, devices, action, form);
        return warning.exec() == QDialog::Accepted;
    };
    updateActions();
}

TBatchFeature::~TBatchFeature() = default;

bool TBatchFeature::batchRunning() const
{
    return m_batch && m_batch->isRunning();
}

QString TBatchFeature::statusFor(const TDeviceRecord &device) const
{
    return m_statusByDevice.isEmpty() ? QString() : m_statusByDevice.value(deviceKey(device));
}

void TBatchFeature::deviceRowShown(int index)
{
    if (m_statusByDevice.isEmpty())
        return;
    const quint64 key = deviceKey(m_form->devices().at(index));
    if (m_statusByDevice.contains(key))
        m_rowOfDevice.insert(key, index);
}

void TBatchFeature::listReset()
{
    m_rowOfDevice.clear();
    m_form->StringGrid->SetCell(TMainWindow::StatusColumn, 1, QString());
}

void TBatchFeature::updateActions()
{
    const bool running = batchRunning();
    const bool any = !m_form->Worksheet->selection().isEmpty();
    for (QAction *action : {UpgradeControllerAction, UpgradeBoardAction, BackUpAction, ResetAction, ResetWithUpdaterAction})
        action->setEnabled(any && !running);
    RetryAction->setEnabled(!running && m_batch
                            && (m_batch->count(TBatchRun::DeviceStatus::Failed) + m_batch->count(TBatchRun::DeviceStatus::Stopped)) > 0);
    StopAction->setEnabled(running);
}

void TBatchFeature::setDeviceButtonsEnabled(bool enabled)
{
    m_form->UpgradeButton->setEnabled(enabled);
    m_form->DropBearButton->setEnabled(enabled);
}

void TBatchFeature::runBatch(TBatchRun::Kind kind)
{
    if (batchRunning())
        return;
    const QList<TDeviceRecord> devices = m_form->Worksheet->selection();
    if (devices.isEmpty())
        return;
    const bool upgrade = kind == TBatchRun::Kind::ControllerUpgrade || kind == TBatchRun::Kind::BoardUpgrade;
    QString file;
    if (upgrade) {
        file = chooseOpenFile(kind == TBatchRun::Kind::ControllerUpgrade ? QStringLiteral("Controller firmware")
                                                                         : QStringLiteral("Communication board firmware"),
                              QStringLiteral("All files (*)"));
        if (file.isEmpty())
            return;
        const qint64 size = FileSizeOf(file);
        const QString problem = kind == TBatchRun::Kind::ControllerUpgrade
                                    ? FirmwareImageProblem(file, size)
                                    : (size <= 0 ? QStringLiteral("The file %1 is empty or cannot be read.").arg(file) : QString());
        if (!problem.isEmpty()) {
            m_form->showError(problem);
            return;
        }
    }
    QStringList labels;
    for (const TDeviceRecord &device : devices)
        labels << BatchWarningLine(device);
    if (upgrade) {
        if (!confirmBatch(FirmwareWarningText(), file, labels, QStringLiteral("Upgrade")))
            return;
    } else if (kind == TBatchRun::Kind::Reset) {
        if (!confirmBatch(QStringLiteral("The controllers of these devices are reset."), QString(), labels,
                          QStringLiteral("Reset")))
            return;
    } else if (kind == TBatchRun::Kind::ResetWithUpdater) {
        if (!confirmBatch(QStringLiteral("The controllers of these devices are reset with their updater running: "
                                         "each device's daemon is stopped and started again."),
                          QString(), labels, QStringLiteral("Reset")))
            return;
    }

    startBatch(kind, devices, file);
}

void TBatchFeature::startBatch(TBatchRun::Kind kind, const QList<TDeviceRecord> &devices, const QString &file)
{
    m_batch = std::make_unique<TBatchRun>(m_form->engine(), kind, devices, file, batchOptions);
    m_statusByDevice.clear();
    m_toneByDevice.clear();
    m_rowOfDevice.clear();
    for (const TDeviceRecord &device : devices)
        m_statusByDevice.insert(deviceKey(device), QString());
    for (int index = 0; index < m_form->devices().size(); ++index) // once for the batch, not per event
        if (const quint64 key = deviceKey(m_form->devices().at(index)); m_statusByDevice.contains(key))
            m_rowOfDevice.insert(key, index);
    m_form->showColumn(TMainWindow::StatusColumn, 300);
    for (int i = 0; i < devices.size(); ++i)
        showBatchStatus(i);
    for (int index = 0; index < m_form->devices().size(); ++index)
        showStatus(index); // devices outside the batch show none
    connect(m_batch.get(), &TBatchRun::deviceChanged, this, &TBatchFeature::showBatchStatus);
    connect(m_batch.get(), &TBatchRun::finished, this, &TBatchFeature::batchFinished);
    m_form->StatusBar->showMessage(QStringLiteral("%1 of %2 devices...").arg(m_batch->title()).arg(devices.size()));
    m_batch->start();
    setDeviceButtonsEnabled(false); // a device of the batch gets no other operation meanwhile
    updateActions();
}

void TBatchFeature::showStatus(int index)
{
    const QString status = statusFor(m_form->devices().at(index));
    if (m_form->StringGrid->Cells(TMainWindow::StatusColumn, index + 1) != status)
        m_form->StringGrid->SetCell(TMainWindow::StatusColumn, index + 1, status);
}

void TBatchFeature::showBatchStatus(int batchIndex)
{
    const TBatchRun::DeviceStatus &status = m_batch->statuses().at(batchIndex);
    const quint64 key = deviceKey(status.device);
    m_statusByDevice.insert(key, TBatchRun::statusText(status));
    m_toneByDevice.insert(key, TBatchRun::statusTone(status));
    // The device's row now: the list may have been scanned or sorted since the batch started,
    // and every row shown since told where it went. A row that no longer holds the device means
    // the device is not listed now; it shows its status when it is listed again.
    const auto row = m_rowOfDevice.constFind(key);
    if (row == m_rowOfDevice.cend())
        return;
    if (*row < m_form->devices().size() && deviceKey(m_form->devices().at(*row)) == key)
        showStatus(*row);
    else
        m_rowOfDevice.erase(row);
}

void TBatchFeature::batchFinished()
{
    const int succeeded = m_batch->count(TBatchRun::DeviceStatus::Succeeded);
    const int failed = m_batch->count(TBatchRun::DeviceStatus::Failed);
    const int stopped = m_batch->count(TBatchRun::DeviceStatus::Stopped);
    QString text = QStringLiteral("%1: %2 succeeded, %3 failed").arg(m_batch->title()).arg(succeeded).arg(failed);
    if (stopped)
        text += QStringLiteral(", %1 stopped").arg(stopped);
    if (m_batch->snapshot())
        text += QStringLiteral("; snapshot %1").arg(m_batch->snapshot()->folder());
    if (m_batch->kind() == TBatchRun::Kind::Reset && failed > 0) {
        const auto unanswered = std::count_if(m_batch->statuses().cbegin(), m_batch->statuses().cend(), [](const auto &status) {
            return status.state == TBatchRun::DeviceStatus::Failed && status.message == TControllerReset::UnansweredText;
        });
        if (unanswered > 0)
            text += QStringLiteral("; %1 did not answer the reset: a controller answers its bus only while its updater "
                                   "runs (Reset controllers of the selection with updater)").arg(unanswered);
    }
    m_form->StatusBar->showMessage(text);
    setDeviceButtonsEnabled(!m_form->devices().isEmpty());
    updateActions();
}

void TBatchFeature::retryFailed()
{
    if (m_batch && m_batch->retryFailed()) {
        m_form->StatusBar->showMessage(QStringLiteral("%1: the failed devices again...").arg(m_batch->title()));
        setDeviceButtonsEnabled(false);
        updateActions();
    }
}

void TBatchFeature::stopBatch()
{
    if (!batchRunning())
        return;
    m_batch->stop();
    m_form->StatusBar->showMessage(
        QStringLiteral("Stopping: the running devices finish their step and are put back; no new one starts."));
}
