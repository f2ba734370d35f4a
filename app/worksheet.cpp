#include "app/worksheet.h"

#include "app/background.h"
#include "app/batchfeature.h"
#include "fleet/devicefields.h"
#include "app/mainwindow.h"
#include "app/historydialog.h"
#include "app/networkcheckdialog.h"
#include "fleet/history/operationjournal.h"
#include "fleet/history/sshtoggles.h"
#include "app/stringgrid.h"

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

TWorksheet::TWorksheet(TMainWindow *form) : QObject(form), m_form(form)
{
    TStringGrid *grid = form->StringGrid;
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
    connect(NetworkCheckAction, &QAction::triggered, this, [form] { ShowNetworkCheck(form, form->engine()); });

    HistoryAction = new QAction(QStringLiteral("Operation &history..."), form);
    HistoryAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    form->HelpMenu->insertAction(form->AboutMenu, HistoryAction);
    connect(HistoryAction, &QAction::triggered, this, &TWorksheet::showHistory);

    DeviceMenu = new QMenu(QStringLiteral("&Device"), form);
    form->menuBar()->insertMenu(form->HelpMenu->menuAction(), DeviceMenu);
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
    connect(DeviceMenu, &QMenu::aboutToShow, this, &TWorksheet::updateActions);

    chooseSaveFile = [form](const QString &title, const QString &filter) {
        return QFileDialog::getSaveFileName(form, title, QString(), filter);
    };
    showDialog = [](QDialog *dialog) { dialog->exec(); };
    updateActions();
    updateCount();
}

TWorksheet::~TWorksheet() = default;

void TWorksheet::setJournal(const TOperationJournal *journal)
{
    m_journal = journal;
    m_form->Batches->batchOptions.journal = journal; // the batches write the history the worksheet shows
}

void TWorksheet::readSshToggleText(const TDeviceRecord &device, QObject *context,
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
    const QList<TDeviceRecord> &devices = m_form->devices();
    for (int index = 0; index < devices.size(); ++index)
        m_form->StringGrid->SetRowHidden(index + 1, !matchesFilter(devices.at(index), filter));
    updateCount();
}

void TWorksheet::addFilterWord(const QString &word, std::function<bool(const TDeviceRecord &device)> matches)
{
    m_filterWords.insert(word.toLower(), std::move(matches));
}

bool TWorksheet::matchesFilter(const TDeviceRecord &device, const QString &filter) const
{
    const auto word = m_filterWords.constFind(filter.toLower());
    return word != m_filterWords.cend() ? (*word)(device) : DeviceMatchesFilter(device, filter);
}

void TWorksheet::deviceRowShown(int index)
{
    if (!FilterEdit->text().isEmpty())
        m_form->StringGrid->SetRowHidden(index + 1, !matchesFilter(m_form->devices().at(index), FilterEdit->text().trimmed()));
    // A large segment's replies come by the thousand: the count follows once they pause.
    if (!m_countTimer.isActive())
        m_countTimer.start();
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
        const QList<TDeviceRecord> &devices = m_form->devices();
        for (int index = 0; index < devices.size(); ++index)
            if (wanted.contains(devices.at(index).IpText))
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
    if (!m_form->devices().isEmpty())
        return;
    if (m_form->engine()->portInUse().isEmpty()) // else the status bar says why nothing was sent
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
    if (NetworkCheckOffer)
        NetworkCheckOffer->hide();
    updateCount();
}

void TWorksheet::updateCount()
{
    const qsizetype listed = m_form->devices().size();
    int shown = 0;
    for (int row = 1; row <= listed; ++row)
        shown += m_form->StringGrid->IsRowHidden(row) ? 0 : 1;
    const qsizetype selected = listed == 0 ? 0 : m_form->StringGrid->SelectedRows().size();
    CountLabel->setText(shown == listed
                            ? QStringLiteral("%1 devices, %2 selected").arg(listed).arg(selected)
                            : QStringLiteral("%1 of %2 devices shown, %3 selected").arg(shown).arg(listed).arg(selected));
}

void TWorksheet::updateActions()
{
    ExportAction->setEnabled(!m_form->devices().isEmpty());
}

QList<TDeviceRecord> TWorksheet::selection() const
{
    const QList<TDeviceRecord> &listed = m_form->devices();
    QList<TDeviceRecord> devices;
    for (int row : m_form->StringGrid->SelectedRows())
        if (row - 1 < listed.size())
            devices << listed.at(row - 1);
    return devices;
}

void TWorksheet::exportList()
{
    const QString fileName = chooseSaveFile(QStringLiteral("Export list"),
                                            QStringLiteral("CSV files (*.csv);;JSON files (*.json);;All files (*)"));
    if (fileName.isEmpty())
        return;
    QList<TDeviceRecord> shown; // what the list shows
    const QList<TDeviceRecord> &devices = m_form->devices();
    for (int index = 0; index < devices.size(); ++index)
        if (!m_form->StringGrid->IsRowHidden(index + 1))
            shown << devices.at(index);
    const bool json = fileName.endsWith(QLatin1String(".json"), Qt::CaseInsensitive);
    const QByteArray bytes = json ? DeviceListJson(shown) : DeviceListCsv(shown);
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        m_form->showError(QStringLiteral("The list was not exported: %1").arg(file.errorString()));
        return;
    }
    showMessage(QStringLiteral("%1 devices exported to %2").arg(shown.size()).arg(fileName));
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
    for (int column = 0; column < widths.size() && column < TMainWindow::ColumnCount - 1; ++column)
        if (widths.at(column).toInt() > 0)
            m_form->StringGrid->SetColWidth(column, widths.at(column).toInt());
    m_form->sortColumn = settings.value(QStringLiteral("sortColumn"), -1).toInt();
    settings.endGroup();
    m_form->Batches->batchOptions.jobs = std::clamp(settings.value(QStringLiteral("Batch/jobs"), 4).toInt(), 1, 64);
}

void TWorksheet::saveSettings(QSettings &settings) const
{
    settings.beginGroup(QStringLiteral("MainWindow"));
    settings.setValue(QStringLiteral("geometry"), m_form->saveGeometry());
    QList<QVariant> widths;
    for (int column = 0; column < TMainWindow::ColumnCount - 1; ++column)
        widths << m_form->StringGrid->ColWidth(column);
    settings.setValue(QStringLiteral("columnWidths"), widths);
    settings.setValue(QStringLiteral("sortColumn"), m_form->sortColumn);
    settings.endGroup();
    settings.setValue(QStringLiteral("Batch/jobs"), m_form->Batches->batchOptions.jobs);
}
