#include "worksheet.h"

#include "background.h"
#include "batchwarning.h"
#include "controlleroperations.h"
#include "devicefields.h"
#include "formmain.h"
#include "historydialog.h"
#include "networkcheckdialog.h"
#include "operationjournal.h"
#include "sshtoggles.h"
#include "stringgrid.h"

#include <QAction>
#include <QFileDialog>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QSettings>
#include <QStatusBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {
// The device's address record as one number: no allocation for each row shown.
quint64 deviceKey(const TEPS &device)
{
    quint64 key = 0;
    for (const quint8 byte : device.Address)
        key = (key << 8) | byte;
    return key;
}

// The filter box: Escape clears it and gives the list the focus back.
class TFilterEdit : public QLineEdit
{
public:
    using QLineEdit::QLineEdit;
    std::function<void()> onEscape;

protected:
    void showEvent(QShowEvent *event) override
    {
        // The clear button's icon is drawn by the style: made when the box is first shown, not at
        // the program's start.
        if (!isClearButtonEnabled())
            setClearButtonEnabled(true);
        QLineEdit::showEvent(event);
    }

    void keyPressEvent(QKeyEvent *event) override
    {
        if (event->key() == Qt::Key_Escape && onEscape) {
            onEscape();
            return;
        }
        QLineEdit::keyPressEvent(event);
    }
};
} // namespace

TWorksheet::TWorksheet(TFormMain *form) : QObject(form), m_form(form)
{
    TStringGrid *grid = form->StringGrid;
    grid->SetCell(TFormMain::StatusColumn, 0, QStringLiteral("Status"));
    grid->setColumnHidden(TFormMain::StatusColumn, true); // shown by the first batch
    // A batch's outcome at a glance: done, left alone or stopped, failed on the device.
    grid->SetForeground([this](int column, int row) -> QColor {
        if (column != TFormMain::StatusColumn || m_toneByDevice.isEmpty() || row - 1 >= DeviceList.size())
            return {};
        switch (m_toneByDevice.value(deviceKey(DeviceList.at(row - 1)), TBatchRun::Tone::Neutral)) {
        case TBatchRun::Tone::Neutral: return {};
        case TBatchRun::Tone::Good: return QColor(0x1b, 0x6e, 0x20);
        case TBatchRun::Tone::Warning: return QColor(0x9a, 0x5b, 0x00);
        case TBatchRun::Tone::Bad: return QColor(0xb7, 0x1c, 0x1c);
        }
        return {};
    });

    auto *filter = new TFilterEdit(form->centralWidget());
    FilterEdit = filter;
    FilterEdit->setObjectName(QStringLiteral("FilterEdit"));
    FilterEdit->setPlaceholderText(QStringLiteral("Filter: name, type, version, IP or MAC address"));
    FilterEdit->setAccessibleName(QStringLiteral("Device filter"));
    FilterEdit->hide(); // Ctrl+F shows it; the list keeps its place until then
    filter->onEscape = [this, grid] {
        FilterEdit->clear();
        FilterEdit->hide();
        grid->setFocus();
    };
    static_cast<QVBoxLayout *>(form->centralWidget()->layout())->insertWidget(0, FilterEdit);
    connect(FilterEdit, &QLineEdit::textChanged, this, &TWorksheet::applyFilter);
    auto *find = new QAction(QStringLiteral("&Filter"), form);
    find->setShortcut(QKeySequence::Find);
    form->addAction(find);
    connect(find, &QAction::triggered, this, [this] {
        FilterEdit->show();
        FilterEdit->setFocus();
        FilterEdit->selectAll();
    });

    m_countTimer.setSingleShot(true);
    m_countTimer.setInterval(100);
    connect(&m_countTimer, &QTimer::timeout, this, &TWorksheet::updateCount);
    CountLabel = new QLabel(form->StatusBar);
    CountLabel->setObjectName(QStringLiteral("CountLabel"));
    form->StatusBar->addPermanentWidget(CountLabel);
    connect(grid->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        updateCount();
        updateActions();
    });

    ExportAction = new QAction(QStringLiteral("&Export list..."), form);
    ExportAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    form->FileMenu->insertAction(form->N4, ExportAction);
    connect(ExportAction, &QAction::triggered, this, &TWorksheet::exportList);

    NetworkCheckAction = new QAction(QStringLiteral("&Network check..."), form);
    NetworkCheckAction->setShortcut(QKeySequence(Qt::Key_F9));
    form->HelpMenu->insertAction(form->AboutMenu, NetworkCheckAction);
    connect(NetworkCheckAction, &QAction::triggered, this, [form] { ShowNetworkCheck(form, form->Serveur()); });

    HistoryAction = new QAction(QStringLiteral("Operation &history..."), form);
    HistoryAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    form->HelpMenu->insertAction(form->AboutMenu, HistoryAction);
    connect(HistoryAction, &QAction::triggered, this, &TWorksheet::showHistory);

    DeviceMenu = new QMenu(QStringLiteral("&Device"), form);
    form->menuBar()->insertMenu(form->HelpMenu->menuAction(), DeviceMenu);
    auto add = [this](const QString &text, const QKeySequence &keys, auto slot) {
        QAction *action = DeviceMenu->addAction(text);
        action->setShortcut(keys);
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    // The window's own device actions, by keyboard.
    QAction *properties = DeviceMenu->addAction(QStringLiteral("&Properties"));
    properties->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Return));
    connect(properties, &QAction::triggered, form->PropertiesButton, &QToolButton::click);
    QAction *upgrade = DeviceMenu->addAction(QStringLiteral("&Upgrade / Config"));
    upgrade->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_U));
    connect(upgrade, &QAction::triggered, form->UpgradeButton, &QToolButton::click);
    QAction *dropBear = DeviceMenu->addAction(QStringLiteral("&DropBear (SSH switch)"));
    dropBear->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
    connect(dropBear, &QAction::triggered, form->DropBearButton, &QToolButton::click);
    QAction *search = DeviceMenu->addAction(QStringLiteral("&Search IP Address..."));
    search->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
    connect(search, &QAction::triggered, form->tutu1, &QAction::trigger);
    QAction *scanMenu = DeviceMenu->addAction(QStringLiteral("Scan &menu"));
    scanMenu->setShortcut(QKeySequence(Qt::Key_F4));
    connect(scanMenu, &QAction::triggered, form->ScanButton, &QToolButton::showMenu);
    // They follow the tool bar's buttons, which the window enables as devices are listed.
    connect(DeviceMenu, &QMenu::aboutToShow, this, [form, properties, upgrade, dropBear] {
        properties->setEnabled(form->PropertiesButton->isEnabled());
        upgrade->setEnabled(form->UpgradeButton->isEnabled());
        dropBear->setEnabled(form->DropBearButton->isEnabled());
    });
    DeviceMenu->addSeparator();
    // Batch items: named for what they do to every selected device, not one.
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
    RetryAction = add(QStringLiteral("Re&try failed"), QKeySequence(Qt::CTRL | Qt::Key_R), &TWorksheet::retryFailed);
    StopAction = add(QStringLiteral("S&top"), QKeySequence(Qt::CTRL | Qt::Key_Period), &TWorksheet::stopBatch);
    connect(DeviceMenu, &QMenu::aboutToShow, this, &TWorksheet::updateActions);

    chooseOpenFile = [form](const QString &title, const QString &filter) {
        return QFileDialog::getOpenFileName(form, title, QString(), filter);
    };
    chooseSaveFile = [form](const QString &title, const QString &filter) {
        return QFileDialog::getSaveFileName(form, title, QString(), filter);
    };
    confirmBatch = [form](const QString &text, const QString &file, const QStringList &devices, const QString &action) {
        TBatchWarning warning(text, file, devices, action, form);
        return warning.exec() == QDialog::Accepted;
    };
    showDialog = [](QDialog *dialog) { dialog->exec(); };
    updateActions();
    updateCount();
}

TWorksheet::~TWorksheet() = default;

void TWorksheet::setJournal(const TOperationJournal *journal)
{
    m_journal = journal;
    batchOptions.journal = journal;
}

void TWorksheet::readSshToggleText(const TEPS &device, QObject *context,
                                   std::function<void(const QString &text)> done) const
{
    if (!m_journal)
        return;
    RunInBackground(
        context,
        [journal = *m_journal, mac = device.Mac, ip = device.IpText] {
            return TSshToggleHistory::text(TSshToggleHistory::fromJournal(journal).of(mac, ip));
        },
        std::move(done));
}

void TWorksheet::showMessage(const QString &message)
{
    m_form->StatusBar->showMessage(message);
}

// ---- The list ------------------------------------------------------------------------------

void TWorksheet::applyFilter()
{
    const QString filter = FilterEdit->text().trimmed();
    for (int index = 0; index < DeviceList.size(); ++index)
        m_form->StringGrid->SetRowHidden(index + 1, !matchesFilter(DeviceList.at(index), filter));
    updateCount();
}

void TWorksheet::addFilterWord(const QString &word, std::function<bool(const TEPS &device)> matches)
{
    m_filterWords.insert(word.toLower(), std::move(matches));
}

bool TWorksheet::matchesFilter(const TEPS &device, const QString &filter) const
{
    const auto word = m_filterWords.constFind(filter.toLower());
    return word != m_filterWords.cend() ? (*word)(device) : DeviceMatchesFilter(device, filter);
}

void TWorksheet::deviceRowShown(int index)
{
    if (!m_statusByDevice.isEmpty()) {
        const quint64 key = deviceKey(DeviceList.at(index));
        if (m_statusByDevice.contains(key))
            m_rowOfDevice.insert(key, index);
    }
    if (!FilterEdit->text().isEmpty())
        m_form->StringGrid->SetRowHidden(index + 1, !matchesFilter(DeviceList.at(index), FilterEdit->text().trimmed()));
    // A large segment's replies come by the thousand: the count follows once they pause.
    if (!m_countTimer.isActive())
        m_countTimer.start();
}

QString TWorksheet::statusFor(const TEPS &device) const
{
    return m_statusByDevice.isEmpty() ? QString() : m_statusByDevice.value(deviceKey(device));
}

void TWorksheet::selectAfterScan(const QStringList &ips)
{
    m_selectAfterScan = ips;
}

void TWorksheet::scanEnded()
{
    if (!m_selectAfterScan.isEmpty()) {
        const QStringList wanted = std::exchange(m_selectAfterScan, {});
        QList<int> rows;
        for (int index = 0; index < DeviceList.size(); ++index)
            if (wanted.contains(DeviceList.at(index).IpText))
                rows << index + 1;
        TStringGrid *grid = m_form->StringGrid;
        if (!rows.isEmpty()) {
            grid->SelectRow(rows.first()); // the current device
            QItemSelection selection;
            for (int row : std::as_const(rows))
                selection.select(grid->model()->index(row - 1, 0), grid->model()->index(row - 1, 0)); // grid rows from 1
            grid->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        }
        showMessage(QStringLiteral("%1 of %2 devices of the unfinished operations answered and are selected")
                 .arg(rows.size())
                 .arg(wanted.size()));
    }
    if (!DeviceList.isEmpty())
        return;
    if (m_form->Serveur()->portInUse().isEmpty()) // else the status bar says why nothing was sent
        showMessage(QStringLiteral("No device answered the scan."));
    offerNetworkCheck();
}

void TWorksheet::offerNetworkCheck()
{
    // Made when first offered: the status bar of the program's start has no use for it.
    if (!NetworkCheckOffer) {
        NetworkCheckOffer = new QPushButton(QStringLiteral("Network check... (F9)"), m_form->StatusBar);
        NetworkCheckOffer->setObjectName(QStringLiteral("NetworkCheckOffer"));
        NetworkCheckOffer->setFlat(true);
        m_form->StatusBar->addPermanentWidget(NetworkCheckOffer);
        connect(NetworkCheckOffer, &QPushButton::clicked, NetworkCheckAction, &QAction::trigger);
    }
    NetworkCheckOffer->show();
}

void TWorksheet::listReset()
{
    m_rowOfDevice.clear();
    if (NetworkCheckOffer)
        NetworkCheckOffer->hide();
    m_form->StringGrid->SetCell(TFormMain::StatusColumn, 1, QString());
    updateCount();
}

void TWorksheet::showStatus(int index)
{
    const QString status = statusFor(DeviceList.at(index));
    if (m_form->StringGrid->Cells(TFormMain::StatusColumn, index + 1) != status)
        m_form->StringGrid->SetCell(TFormMain::StatusColumn, index + 1, status);
}

void TWorksheet::updateCount()
{
    int shown = 0;
    for (int row = 1; row <= DeviceList.size(); ++row)
        shown += m_form->StringGrid->IsRowHidden(row) ? 0 : 1;
    const qsizetype selected = DeviceList.isEmpty() ? 0 : m_form->StringGrid->SelectedRows().size();
    CountLabel->setText(shown == DeviceList.size()
                            ? QStringLiteral("%1 devices, %2 selected").arg(DeviceList.size()).arg(selected)
                            : QStringLiteral("%1 of %2 devices shown, %3 selected").arg(shown).arg(DeviceList.size()).arg(selected));
}

void TWorksheet::updateActions()
{
    const bool running = m_batch && m_batch->isRunning();
    const bool any = !selectedDevices().isEmpty();
    for (QAction *action : {UpgradeControllerAction, UpgradeBoardAction, BackUpAction, ResetAction, ResetWithUpdaterAction})
        action->setEnabled(any && !running);
    RetryAction->setEnabled(!running && m_batch
                            && (m_batch->count(TBatchRun::DeviceStatus::Failed) + m_batch->count(TBatchRun::DeviceStatus::Stopped)) > 0);
    StopAction->setEnabled(running);
    ExportAction->setEnabled(!DeviceList.isEmpty());
}

bool TWorksheet::batchRunning() const
{
    return m_batch && m_batch->isRunning();
}

QList<TEPS> TWorksheet::selectedDevices() const
{
    QList<TEPS> devices;
    for (int row : m_form->StringGrid->SelectedRows())
        if (row - 1 < DeviceList.size())
            devices << DeviceList.at(row - 1);
    return devices;
}

void TWorksheet::exportList()
{
    const QString fileName = chooseSaveFile(QStringLiteral("Export list"),
                                            QStringLiteral("CSV files (*.csv);;JSON files (*.json);;All files (*)"));
    if (fileName.isEmpty())
        return;
    QList<TEPS> shown; // what the list shows
    for (int index = 0; index < DeviceList.size(); ++index)
        if (!m_form->StringGrid->IsRowHidden(index + 1))
            shown << DeviceList.at(index);
    const bool json = fileName.endsWith(QLatin1String(".json"), Qt::CaseInsensitive);
    const QByteArray bytes = json ? DeviceListJson(shown) : DeviceListCsv(shown);
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        m_form->showError(QStringLiteral("The list was not exported: %1").arg(file.errorString()));
        return;
    }
    showMessage(QStringLiteral("%1 devices exported to %2").arg(shown.size()).arg(fileName));
}

// ---- Batches -------------------------------------------------------------------------------

void TWorksheet::runBatch(TBatchRun::Kind kind)
{
    if (m_batch && m_batch->isRunning())
        return;
    const QList<TEPS> devices = selectedDevices();
    if (devices.isEmpty())
        return;
    QString file;
    if (kind == TBatchRun::Kind::ControllerUpgrade || kind == TBatchRun::Kind::BoardUpgrade) {
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
    for (const TEPS &device : devices)
        labels << BatchWarningLine(device);
    if (kind == TBatchRun::Kind::ControllerUpgrade || kind == TBatchRun::Kind::BoardUpgrade) {
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

void TWorksheet::startBatch(TBatchRun::Kind kind, const QList<TEPS> &devices, const QString &file)
{
    m_batch = std::make_unique<TBatchRun>(m_form->Serveur(), kind, devices, file, batchOptions);
    m_statusByDevice.clear();
    m_toneByDevice.clear();
    m_rowOfDevice.clear();
    for (const TEPS &device : devices)
        m_statusByDevice.insert(deviceKey(device), QString());
    for (int index = 0; index < DeviceList.size(); ++index) // once for the batch, not per event
        if (const quint64 key = deviceKey(DeviceList.at(index)); m_statusByDevice.contains(key))
            m_rowOfDevice.insert(key, index);
    m_form->showColumn(TFormMain::StatusColumn, 300);
    for (int i = 0; i < devices.size(); ++i)
        showBatchStatus(i);
    for (int index = 0; index < DeviceList.size(); ++index)
        showStatus(index); // devices outside the batch show none
    connect(m_batch.get(), &TBatchRun::deviceChanged, this, &TWorksheet::showBatchStatus);
    connect(m_batch.get(), &TBatchRun::finished, this, &TWorksheet::batchFinished);
    showMessage(QStringLiteral("%1 of %2 devices...").arg(m_batch->title()).arg(devices.size()));
    m_batch->start();
    m_form->UpgradeButton->setEnabled(false); // a device of the batch gets no other operation meanwhile
    m_form->DropBearButton->setEnabled(false);
    updateActions();
}

void TWorksheet::showBatchStatus(int batchIndex)
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
    if (*row < DeviceList.size() && deviceKey(DeviceList.at(*row)) == key)
        showStatus(*row);
    else
        m_rowOfDevice.erase(row);
}

void TWorksheet::batchFinished()
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
    showMessage(text);
    m_form->UpgradeButton->setEnabled(!DeviceList.isEmpty());
    m_form->DropBearButton->setEnabled(!DeviceList.isEmpty());
    updateActions();
}

void TWorksheet::retryFailed()
{
    if (m_batch && m_batch->retryFailed()) {
        showMessage(QStringLiteral("%1: the failed devices again...").arg(m_batch->title()));
        m_form->UpgradeButton->setEnabled(false);
        m_form->DropBearButton->setEnabled(false);
        updateActions();
    }
}

void TWorksheet::stopBatch()
{
    if (!m_batch || !m_batch->isRunning())
        return;
    m_batch->stop();
    showMessage(QStringLiteral("Stopping: the running devices finish their step and are put back; no new one starts."));
}

// ---- History ---------------------------------------------------------------------------

void TWorksheet::showHistory()
{
    const TOperationJournal journal = m_journal ? *m_journal : TOperationJournal();
    THistoryDialog dialog(journal, m_form);
    showDialog(&dialog);
}

// ---- Settings ------------------------------------------------------------------------------

void TWorksheet::restoreSettings(QSettings &settings)
{
    settings.beginGroup(QStringLiteral("MainWindow"));
    if (const QByteArray geometry = settings.value(QStringLiteral("geometry")).toByteArray(); !geometry.isEmpty())
        m_form->restoreGeometry(geometry);
    const QList<QVariant> widths = settings.value(QStringLiteral("columnWidths")).toList();
    for (int column = 0; column < widths.size() && column < TFormMain::ColumnCount - 1; ++column)
        if (widths.at(column).toInt() > 0)
            m_form->StringGrid->SetColWidth(column, widths.at(column).toInt());
    m_form->sortColumn = settings.value(QStringLiteral("sortColumn"), -1).toInt();
    settings.endGroup();
    batchOptions.jobs = std::clamp(settings.value(QStringLiteral("Batch/jobs"), 4).toInt(), 1, 64);
}

void TWorksheet::saveSettings(QSettings &settings) const
{
    settings.beginGroup(QStringLiteral("MainWindow"));
    settings.setValue(QStringLiteral("geometry"), m_form->saveGeometry());
    QList<QVariant> widths;
    for (int column = 0; column < TFormMain::ColumnCount - 1; ++column)
        widths << m_form->StringGrid->ColWidth(column);
    settings.setValue(QStringLiteral("columnWidths"), widths);
    settings.setValue(QStringLiteral("sortColumn"), m_form->sortColumn);
    settings.endGroup();
    settings.setValue(QStringLiteral("Batch/jobs"), batchOptions.jobs);
}
