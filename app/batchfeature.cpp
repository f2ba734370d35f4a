#include "app/batchfeature.h"

#include "app/batchwarning.h"
#include "app/mainwindow.h"
#include "app/stringgrid.h"
#include "app/worksheet.h"
#include "protocol/fileio.h"
#include "operations/controlleroperations.h"

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

quint64 itemKey(const TJobItemStatus &status)
{
    return status.item.device.record ? deviceKey(*status.item.device.record) : 0;
}

// How the list colours an item's state: by how it ended and the kind of its failure.
enum Tone { Neutral, Good, Warning, Bad };

Tone toneOf(const TJobItemStatus &status)
{
    switch (status.state) {
    case TJobItemStatus::Queued:
    case TJobItemStatus::Running:
    case TJobItemStatus::Confirming: return Neutral;
    case TJobItemStatus::Done: return Good;
    // Nothing went wrong on the device: it was not done, and a retry may do it.
    case TJobItemStatus::Busy:
    case TJobItemStatus::Cancelled:
    case TJobItemStatus::LeftAlone: return Warning;
    case TJobItemStatus::Failed: return status.outcome.kind == TOperationError::Busy ? Warning : Bad;
    case TJobItemStatus::Unconfirmed: return Bad;
    }
    return Neutral;
}

bool changesFirmware(TJobAction action)
{
    return action == TJobAction::ControllerUpgrade || action == TJobAction::BoardUpgrade;
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
        switch (m_toneByDevice.value(deviceKey(m_form->devices().at(row - 1)), Neutral)) {
        case Neutral: return {};
        case Good: return QColor(0x1b, 0x6e, 0x20);
        case Warning: return QColor(0x9a, 0x5b, 0x00);
        case Bad: return QColor(0xb7, 0x1c, 0x1c);
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
                                  [this] { runBatch(TJobAction::ControllerUpgrade); });
    UpgradeBoardAction = add(QStringLiteral("Upgrade &boards of the selection..."), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_B),
                             [this] { runBatch(TJobAction::BoardUpgrade); });
    BackUpAction = add(QStringLiteral("Bac&k up configurations..."), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_K),
                       [this] { runBatch(TJobAction::BackUpConfiguration); });
    ResetAction = add(QStringLiteral("R&eset controllers of the selection..."), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R),
                      [this] { runBatch(TJobAction::Reset); });
    ResetWithUpdaterAction = add(QStringLiteral("Reset controllers of the selection wit&h updater..."), QKeySequence(),
                                 [this] { runBatch(TJobAction::ResetWithUpdater); });
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

TJobService *TBatchFeature::jobService()
{
    if (!m_service)
        m_service = new TJobService(m_form->engine(), batchOptions.journal, this);
    return m_service;
}

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

int TBatchFeature::changedFailures() const
{
    if (!m_batch)
        return 0;
    const QList<TJobItemStatus> &items = m_batch->items();
    return int(std::count_if(items.begin(), items.end(), [](const TJobItemStatus &item) {
        return item.finished() && !item.succeeded() && !item.retryable();
    }));
}

QString TBatchFeature::leftOutText() const
{
    if (m_leftOutOfRetry == 0)
        return {};
    return QStringLiteral("; %1 left out of the retry: the device may have been changed already (an upgrade that went "
                          "through but was not seen again is not sent twice blindly); check it first")
        .arg(m_leftOutOfRetry);
}

void TBatchFeature::updateActions()
{
    const bool running = batchRunning();
    const bool any = !m_form->Worksheet->selection().isEmpty();
    for (QAction *action : {UpgradeControllerAction, UpgradeBoardAction, BackUpAction, ResetAction, ResetWithUpdaterAction})
        action->setEnabled(any && !running);
    const bool retryable = m_batch && std::any_of(m_batch->items().begin(), m_batch->items().end(),
                                                  [](const TJobItemStatus &item) { return item.retryable(); });
    RetryAction->setEnabled(!running && retryable);
    StopAction->setEnabled(running);
}

void TBatchFeature::setDeviceButtonsEnabled(bool enabled)
{
    m_form->UpgradeButton->setEnabled(enabled);
    m_form->DropBearButton->setEnabled(enabled);
}

void TBatchFeature::runBatch(TJobAction action)
{
    if (batchRunning())
        return;
    const QList<TDeviceRecord> devices = m_form->Worksheet->selection();
    if (devices.isEmpty())
        return;
    const bool upgrade = changesFirmware(action);
    QString file;
    if (upgrade) {
        file = chooseOpenFile(action == TJobAction::ControllerUpgrade ? QStringLiteral("Controller firmware")
                                                                      : QStringLiteral("Communication board firmware"),
                              QStringLiteral("All files (*)"));
        if (file.isEmpty())
            return;
        const qint64 size = FileSizeOf(file);
        const QString problem = action == TJobAction::ControllerUpgrade
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
    } else if (action == TJobAction::Reset) {
        if (!confirmBatch(QStringLiteral("The controllers of these devices are reset."), QString(), labels,
                          QStringLiteral("Reset")))
            return;
    } else if (action == TJobAction::ResetWithUpdater) {
        if (!confirmBatch(QStringLiteral("The controllers of these devices are reset with their updater running: "
                                         "each device's daemon is stopped and started again."),
                          QString(), labels, QStringLiteral("Reset")))
            return;
    }

    startBatch(action, devices, file);
}

void TBatchFeature::startBatch(TJobAction action, const QList<TDeviceRecord> &devices, const QString &file)
{
    QList<TJobItem> items;
    for (const TDeviceRecord &device : devices) {
        TJobItem item;
        item.device = TJobDevice::of(device);
        item.action = action;
        item.file = file;
        items << item;
    }
    startJob(items);
}

TJob *TBatchFeature::startJob(const QList<TJobItem> &items)
{
    if (batchRunning())
        return nullptr;
    TJobRequest request;
    request.items = items;
    request.options = batchOptions;
    request.options.confirmed = true; // the one warning of the batch was answered by now
    if (m_batch)
        m_batch->deleteLater();
    m_batch = jobService()->create(request, this);
    m_leftOutOfRetry = 0;
    m_statusByDevice.clear();
    m_toneByDevice.clear();
    m_rowOfDevice.clear();
    for (const TJobItem &item : items)
        if (item.device.record)
            m_statusByDevice.insert(deviceKey(*item.device.record), QString());
    for (int index = 0; index < m_form->devices().size(); ++index) // once for the batch, not per event
        if (const quint64 key = deviceKey(m_form->devices().at(index)); m_statusByDevice.contains(key))
            m_rowOfDevice.insert(key, index);
    m_form->showColumn(TMainWindow::StatusColumn, 300);
    for (int i = 0; i < items.size(); ++i)
        showItemStatus(i);
    for (int index = 0; index < m_form->devices().size(); ++index)
        showStatus(index); // devices outside the batch show none
    connect(m_batch, &TJob::itemChanged, this, &TBatchFeature::showItemStatus);
    connect(m_batch, &TJob::finished, this, &TBatchFeature::batchFinished);
    m_form->StatusBar->showMessage(QStringLiteral("%1 of %2 devices...").arg(m_batch->title()).arg(m_statusByDevice.size()));
    setDeviceButtonsEnabled(false); // a device of the batch gets no other operation meanwhile
    m_batch->start();
    updateActions();
    return m_batch;
}

void TBatchFeature::showStatus(int index)
{
    const QString status = statusFor(m_form->devices().at(index));
    if (m_form->StringGrid->Cells(TMainWindow::StatusColumn, index + 1) != status)
        m_form->StringGrid->SetCell(TMainWindow::StatusColumn, index + 1, status);
}

void TBatchFeature::showItemStatus(int itemIndex)
{
    if (!m_batch)
        return;
    const TJobItemStatus &status = m_batch->item(itemIndex);
    // The job may tell an item's end after its own (the items a stop never started): the summary
    // and what Retry can take follow.
    if (m_batch->isFinished()) {
        showSummary();
        updateActions();
    }
    if (!status.item.device.record)
        return;
    const quint64 key = itemKey(status);
    m_statusByDevice.insert(key, status.text());
    m_toneByDevice.insert(key, toneOf(status));
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
    showSummary();
    setDeviceButtonsEnabled(!m_form->devices().isEmpty());
    updateActions();
}

void TBatchFeature::showSummary()
{
    const int succeeded = m_batch->count(TJobItemStatus::Done);
    const int failed = m_batch->count(TJobItemStatus::Failed) + m_batch->count(TJobItemStatus::Busy);
    const int stopped = m_batch->count(TJobItemStatus::Cancelled);
    const int unconfirmed = m_batch->count(TJobItemStatus::Unconfirmed);
    const int leftAlone = m_batch->count(TJobItemStatus::LeftAlone);
    QString text = QStringLiteral("%1: %2 succeeded, %3 failed").arg(m_batch->title()).arg(succeeded).arg(failed);
    if (unconfirmed)
        text += QStringLiteral(", %1 not seen again").arg(unconfirmed);
    if (leftAlone)
        text += QStringLiteral(", %1 left alone").arg(leftAlone);
    if (stopped)
        text += QStringLiteral(", %1 stopped").arg(stopped);
    if (m_batch->snapshot())
        text += QStringLiteral("; snapshot %1").arg(m_batch->snapshot()->folder());
    const auto unanswered = std::count_if(m_batch->items().cbegin(), m_batch->items().cend(), [](const TJobItemStatus &status) {
        return status.item.action == TJobAction::Reset && status.state == TJobItemStatus::Failed
               && status.message == TControllerReset::UnansweredText;
    });
    if (unanswered > 0)
        text += QStringLiteral("; %1 did not answer the reset: a controller answers its bus only while its updater "
                               "runs (Reset controllers of the selection with updater)").arg(unanswered);
    m_form->StatusBar->showMessage(text + leftOutText());
}

void TBatchFeature::retryFailed()
{
    if (!m_batch)
        return;
    const int leftOut = changedFailures();
    if (!m_batch->retry())
        return;
    m_leftOutOfRetry = leftOut;
    m_form->StatusBar->showMessage(QStringLiteral("%1: the failed devices again...%2").arg(m_batch->title(), leftOutText()));
    setDeviceButtonsEnabled(false);
    updateActions();
}

void TBatchFeature::stopBatch()
{
    if (!batchRunning())
        return;
    m_batch->cancel();
    m_form->StatusBar->showMessage(
        QStringLiteral("Stopping: the running devices finish their step and are put back; no new one starts."));
}
