#include "app/mainwindow.h"

#include "app/messagebox.h"
#include "protocol/errors.h"

#include "app/about/about.h"
#include "app/application.h"
#include "app/batchfeature.h"
#include "operations/commandoperations.h"
#include "protocol/datagram.h"
#include "fleet/devicefields.h"
#include "app/properties/propertiesdialog.h"
#include "app/firmwarefeature.h"
#include "fleet/history/operationjournal.h"
#include "operations/operationmanager.h"
#include "app/rangescan.h"
#include "protocol/resource.h"
#include "app/sitefeature.h"
#include "app/snapshotfeature.h"
#include "app/stringgrid.h"
#include "app/properties/thinprogressbar.h"
#include "app/watchfeature.h"
#include "app/worksheet.h"
#include "protocol/devicerecord.h"
#include "protocol/ipv4text.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QInputDialog>
#include <QCloseEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QScopeGuard>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

namespace {
constexpr int ScanFirstTickMs = 5;
constexpr int ScanTickMs = 1000;
constexpr int ScanBroadcasts = 2;
// After the last wait, a scan goes on while replies still come in (the engine holds some the list
// has not taken yet, or the last one is recent), so that what follows its end (sorting, the site's
// comparison, the watch) sees every device. A large segment answers for seconds.
constexpr int ScanDrainTickMs = 50;
constexpr int ScanDrainTicks = 100; // at most 5 s more
constexpr int ScanQuietMs = 150;
constexpr int ClientWidth = 600; // the design's outer size is 608 x 250
constexpr int ClientHeight = 216;

const char *const HeaderTexts[TMainWindow::ColumnCount] = {"Name", "Type", "Version ", "IP Address", "MAC Address",
                                                         " Bootstrap "};
constexpr int StartWidths[TMainWindow::ColumnCount] = {130, 90, 90, 90, 100, 0};

QToolButton *toolButton(QToolBar *bar, const QString &iconName, const QString &hint)
{
    auto *button = new QToolButton(bar);
    button->setIcon(AppIcon(iconName));
    button->setIconSize(QSize(32, 32));
    button->setFixedSize(40, 38);
    button->setToolTip(hint);
    button->setAutoRaise(true); // flat
    bar->addWidget(button);
    return button;
}
} // namespace

TMainWindow::TMainWindow(const TDatagramEngine::Options &engineOptions, QWidget *parent) : QMainWindow(parent)
{
    buildComponents();
    FormCreate(engineOptions);
}

TMainWindow::~TMainWindow() = default;

void TMainWindow::buildComponents()
{
    Q_INIT_RESOURCE(tarvino); // the icons live in this static library
    resize(ClientWidth, ClientHeight);

    FileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    ScanMenu = FileMenu->addAction(QStringLiteral("&Scan"));
    ScanMenu->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    PropertiesMenu = FileMenu->addAction(QStringLiteral("&Properties"));
    PropertiesMenu->setEnabled(false);
    N4 = FileMenu->addSeparator();
    N4->setVisible(false); // shown by the start-up routine
    ExitMenu = FileMenu->addAction(QStringLiteral("E&xit"));
    HelpMenu = menuBar()->addMenu(QStringLiteral("?"));
    AboutMenu = HelpMenu->addAction(QStringLiteral("&About..."));

    ToolBar1 = new QToolBar(this);
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setFixedHeight(42);
    ToolBar1->setIconSize(QSize(32, 32));
    addToolBar(Qt::TopToolBarArea, ToolBar1);

    ScanPopupMenu = new QMenu(this);
    ScanPopupmenuItem = ScanPopupMenu->addAction(QStringLiteral("Search on Local Network Segment"));
    tutu1 = ScanPopupMenu->addAction(QStringLiteral("Search IP Address"));

    ScanButton = toolButton(ToolBar1, QStringLiteral("scan"), QStringLiteral("Scan"));
    ScanButton->setMenu(ScanPopupMenu);
    ScanButton->setPopupMode(QToolButton::MenuButtonPopup);
    ScanButton->setFixedSize(52, 38); // room for the drop-down arrow
    PropertiesButton = toolButton(ToolBar1, QStringLiteral("properties"), QStringLiteral("Properties"));
    UpgradeButton = toolButton(ToolBar1, QStringLiteral("upgrade"), QStringLiteral("Upgrade / Config"));
    DropBearButton = toolButton(ToolBar1, QStringLiteral("dropbear"), QStringLiteral("DropBear"));
    DropBearButton->setCheckable(true); // stays pressed or released after each click
    for (QToolButton *button : {PropertiesButton, UpgradeButton, DropBearButton})
        button->setEnabled(false);

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    StringGrid = new TStringGrid(GridColumnCount, central);
    layout->addWidget(StringGrid, 1);
    ProgressBar = new TThinProgressBar(central);
    ProgressBar->setRange(0, 100);
    ProgressBar->hide();
    layout->addWidget(ProgressBar);
    setCentralWidget(central);

    StatusBar = new QStatusBar(this);
    StatusBar->setFixedHeight(19);
    StatusBar->setSizeGripEnabled(true);
    setStatusBar(StatusBar);

    PopupMenu = new QMenu(this);
    PropertiesPopup = PopupMenu->addAction(QStringLiteral("Properties"));
    UpgradePopup = PopupMenu->addAction(QStringLiteral("Upgrade"));

    Timer = new QTimer(this);
    Timer->setInterval(250);
    Timer->setSingleShot(false);

    connect(ScanMenu, &QAction::triggered, this, Guarded(this, &TMainWindow::Scan));
    connect(ScanButton, &QToolButton::clicked, this, Guarded(this, &TMainWindow::Scan));
    connect(ScanPopupmenuItem, &QAction::triggered, this, Guarded(this, &TMainWindow::Scan));
    connect(tutu1, &QAction::triggered, this, Guarded(this, &TMainWindow::Search));
    connect(ExitMenu, &QAction::triggered, this, &TMainWindow::Quit);
    connect(AboutMenu, &QAction::triggered, this, Guarded(this, &TMainWindow::AboutMenuClick));
    connect(Timer, &QTimer::timeout, this, &TMainWindow::TimerTimer);
    connect(StringGrid, &TStringGrid::cellSelected, this, &TMainWindow::StringGridSelectCell);
    connect(StringGrid, &TStringGrid::contextPopup, this, &TMainWindow::StringGridContextPopup);
    connect(StringGrid->horizontalHeader(), &QHeaderView::sectionDoubleClicked, this,
            [this](int column) { StringGridDblClick(column, 0); });
    connect(DropBearButton, &QToolButton::clicked, this, Guarded(this, &TMainWindow::DropBearButtonClick));
    connect(UpgradeButton, &QToolButton::clicked, this, Guarded(this, &TMainWindow::UpgradeButtonClick));
    connect(UpgradePopup, &QAction::triggered, this, Guarded(this, &TMainWindow::UpgradeButtonClick));
    connect(PropertiesButton, &QToolButton::clicked, this, Guarded(this, &TMainWindow::Properties));
    connect(PropertiesMenu, &QAction::triggered, this, Guarded(this, &TMainWindow::Properties));
    connect(PropertiesPopup, &QAction::triggered, this, Guarded(this, &TMainWindow::Properties));
    connect(StringGrid->horizontalHeader(), &QHeaderView::sectionResized, this, [this] { FitLastColumn(); });
    StringGrid->onDrawCell = [this] { StringGridDrawCell(); };

    Worksheet = new TWorksheet(this);
    Batches = new TBatchFeature(this);
    Snapshots = new TSnapshotFeature(this);
    Site = new TSiteFeature(this);
    Watch = new TWatchFeature(this);
    Firmware = new TFirmwareFeature(this, TOperationJournal::defaultPath());
    showError = ShowProgramError;
    askToStopOperations = [this](const QString &question) {
        return ShowMessageBox(this, QMessageBox::Question, QStringLiteral("Tarvino"), question,
                              QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    };
    askAddress = [this](QString *text) {
        bool ok = false;
        *text = QInputDialog::getText(this, QStringLiteral("IP Address"), QStringLiteral("Enter the IP Address"),
                                      QLineEdit::Normal, QString(), &ok);
        return ok;
    };
}

void TMainWindow::FormCreate(const TDatagramEngine::Options &engineOptions)
{
    StartupInit([this] { N4->setVisible(true); });
    setWindowTitle(QApplication::applicationDisplayName().isEmpty() ? QStringLiteral("Tarvino")
                                                                    : QApplication::applicationDisplayName());
    StringGrid->SetDefaultRowHeight(std::abs(StringGrid->fontMetrics().height()) + 5);
    for (int column = 0; column < ColumnCount; ++column) {
        StringGrid->SetCell(column, 0, QString::fromLatin1(HeaderTexts[column]));
        StringGrid->SetColWidth(column, StartWidths[column]);
    }
    StringGrid->SetCell(AdapterColumn, 0, QStringLiteral("Adapter"));
    StringGrid->SetCell(SiteColumn, 0, QStringLiteral("Site"));
    StringGrid->SetCell(LastSeenColumn, 0, QStringLiteral("Last seen"));
    StringGrid->SetCell(FirmwareColumn, 0, QStringLiteral("Firmware"));
    for (int column = AdapterColumn; column < GridColumnCount; ++column)
        StringGrid->setColumnHidden(column, true);
    StringGrid->SetRowHidden(1, true); // no blank line before the first device, as after ResetGrid
    m_engine = new TDatagramEngine(engineOptions, this);
    // Told once, when the engine finds its port taken; scans then say so in the status bar.
    connect(m_engine, &TDatagramEngine::portTaken, this, [this](const QString &message) { showError(message); });
    // An operation that starts or ends on a device changes what may be done with the selected one.
    connect(TOperationManager::of(m_engine), &TOperationManager::changed, this,
            [this] { setDeviceActionsEnabled(m_deviceActionsWanted); });
    // Scan address range... (rangescan.h): the list fills as with a broadcast scan.
    auto *rangeScan = new TRangeScan(m_engine, {this, [this] { return !Timer->isActive(); },
                                                 [this] { ResetGrid(); m_engine->setDiscoveryHandler(discoveryHandler()); },
                                                 [this] { if (sortColumn >= 0) StringGridDblClick(sortColumn, 0); Worksheet->scanEnded(); emit scanEnded(); },
                                                 ProgressBar, StatusBar}, this);
    auto *scanRange = new QAction(QStringLiteral("Scan address &range..."), this);
    FileMenu->insertAction(PropertiesMenu, scanRange);
    ScanPopupMenu->addAction(scanRange);
    connect(scanRange, &QAction::triggered, rangeScan, Guarded([rangeScan] { rangeScan->ask(); }));
}

void TMainWindow::setDeviceActionsEnabled(bool enabled)
{
    m_deviceActionsWanted = enabled;
    // A row past the listed devices (a site's missing device) is no device to act on.
    enabled = enabled && m_selectedDevice < m_devices.size();
    PropertiesMenu->setEnabled(enabled);
    PropertiesButton->setEnabled(enabled);
    // A device of a running batch, or one that another operation works on, gets no other operation.
    const bool batchRunning = Batches && Batches->batchRunning();
    const bool selectedBusy = m_selectedDevice >= 0 && m_selectedDevice < m_devices.size()
                              && TOperationManager::of(m_engine)->isBusy(m_devices.at(m_selectedDevice).IpText);
    UpgradeButton->setEnabled(enabled && !batchRunning && !selectedBusy);
    DropBearButton->setEnabled(enabled && !batchRunning && !selectedBusy);
}

void TMainWindow::closeEvent(QCloseEvent *event)
{
    TOperationManager *operations = TOperationManager::of(m_engine);
    const int running = operations->deviceOperationCount();
    if (running == 0) {
        QMainWindow::closeEvent(event);
        return;
    }
    if (m_closeWhenStopped) { // asked already: the window goes once every device is put back
        event->ignore();
        return;
    }
    const QString question = running == 1
                                 ? QStringLiteral("1 operation is running: stop it and put the device back?")
                                 : QStringLiteral("%1 operations are running: stop them and put the devices back?").arg(running);
    if (!askToStopOperations(question)) {
        m_quitWhenClosed = false;
        event->ignore();
        return;
    }
    // The window stays until every operation has put its device back and reached the history.
    m_closeWhenStopped = true;
    if (Batches)
        Batches->stopBatch();
    operations->cancelAll();
    StatusBar->showMessage(QStringLiteral("Stopping: the running operations put their devices back, then Tarvino closes."));
    connect(operations, &TOperationManager::changed, this, [this, operations] {
        if (operations->deviceOperationCount() == 0)
            QTimer::singleShot(0, this, [this] {
                if (close() && m_quitWhenClosed)
                    QApplication::quit();
            });
    });
    event->ignore();
}

TDeviceReplyEvent TMainWindow::discoveryHandler()
{
    return [this](const QString &peerIp, int peerPort, const char *data, int length, bool refresh, bool viaDatagram) {
        DecodeDiscoveryReply(peerIp, peerPort, data, length, refresh, viaDatagram);
    };
}

// ---- The scan cycle -------------------------------------------------------------

void TMainWindow::Scan()
{
    if (Timer->isActive())
        return;
    ResetGrid();
    ScanKeepingList();
}

void TMainWindow::ScanKeepingList()
{
    if (Timer->isActive())
        return;
    m_timerTag = 0;
    m_drainTicks = 0;
    Timer->setInterval(ScanFirstTickMs);
    Timer->start();
    ProgressBar->setValue(0);
    ProgressBar->show();
}

void TMainWindow::TimerTimer()
{
    Timer->stop();
    if (m_timerTag >= ScanBroadcasts) {
        const bool repliesComing = m_engine->discoveryRepliesWaiting()
                                   || (m_sinceReply.isValid() && m_sinceReply.elapsed() < ScanQuietMs);
        if (repliesComing && m_drainTicks++ < ScanDrainTicks) {
            Timer->setInterval(ScanDrainTickMs);
            Timer->start();
            return;
        }
        ProgressBar->hide();
        if (sortColumn >= 0)
            StringGridDblClick(sortColumn, 0);
        Worksheet->scanEnded();
        emit scanEnded();
        return;
    }
    ProgressBar->setValue(m_timerTag * 100 / ScanBroadcasts);
    Timer->setInterval(ScanTickMs);
    ++m_timerTag;
    if (const QString taken = m_engine->portInUse(); !taken.isEmpty()) {
        // No socket to send from: the start told why; a box at every scan would tell nothing new.
        StatusBar->showMessage(taken + QStringLiteral(": no scan was sent."));
    } else if (const QString failed = m_engine->Discover(QString(), discoveryHandler()); !failed.isEmpty()) {
        ShowErrorMessage(MsgConnectionError, failed);
    }
    Timer->start();
}

void TMainWindow::ResetGrid()
{
    setDeviceActionsEnabled(false);
    m_devices.clear();
    StringGrid->SetRowCount(2);
    for (int column = 0; column < ColumnCount; ++column)
        StringGrid->SetCell(column, 1, QString());
    // The grid keeps one row below its header; empty, it would show as a highlighted blank line
    // once the grid has the focus. Hidden until the first device fills it.
    StringGrid->SetRowHidden(1, true);
    for (int column = AdapterColumn; column < GridColumnCount; ++column)
        StringGrid->SetCell(column, 1, QString());
    m_adapters.clear();
    m_sharedTexts.clear();
    Worksheet->listReset();
    Batches->listReset();
    StringGrid->viewport()->update();
}

void TMainWindow::FitLastColumn()
{
    // The last column shown fills the window: Bootstrap, or the last of the columns shown later.
    int last = ColumnCount - 1;
    for (int column = StatusColumn; column < GridColumnCount; ++column)
        if (!StringGrid->isColumnHidden(column))
            last = column;
    int sum = 8;
    for (int column = StringGrid->LeftCol(); column < last; ++column)
        sum += StringGrid->ColWidth(column);
    const int clientWidth = width();
    StringGrid->SetColWidth(last, sum <= clientWidth ? clientWidth - sum : 0);
}

QMenu *TMainWindow::createPopupMenu()
{
    // Qt's menu of the tool bars and docks would offer an item that hides the only tool bar, with
    // DropBear and Search IP Address on it: the window has no such menu.
    return nullptr;
}

void TMainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    FitLastColumn();
}

void TMainWindow::StringGridDrawCell()
{
    FitLastColumn();
}

void TMainWindow::Quit()
{
    // Through close(), which asks first when operations are running.
    m_quitWhenClosed = true;
    if (close())
        QApplication::quit();
}

// ---- Device table ---------------------------------------------------------------

void TMainWindow::DecodeDiscoveryReply(const QString &peerIp, int, const char *data, int length, bool refresh,
                                     bool viaDatagram)
{
    m_sinceReply.start();
    const int index = MergeDiscoveryReply(m_devices, m_deviceIndex, peerIp, QByteArrayView(data, length), viaDatagram);
    if (index >= 0)
        NoteReplyAdapter(m_devices[index], m_engine->adapterFor(peerIp));
    if (index >= 0 && refresh)
        ShowDeviceRow(index);
    if (index >= 0)
        emit deviceReplied(index);
}

void TMainWindow::ShowDeviceRow(int index)
{
    setDeviceActionsEnabled(true);
    const bool newRow = StringGrid->RowCount() < index + 2;
    if (newRow)
        StringGrid->SetRowCount(StringGrid->RowCount() + 1);
    const TDeviceRecord &device = m_devices[index];
    // Type, versions and adapter are the same on many rows: one copy of each text serves them all.
    QStringList texts{device.Params.text(Wire::Param::Name), sharedText(device.Params.text(Wire::Param::TypeText)),
                      sharedText(device.Params.text(Wire::Param::HardwareVersion)), device.IpText,
                      MacToText(QStringLiteral("."), device.Mac),
                      sharedText(device.Params.text(Wire::Param::BootstrapVersion)),
                      Batches->statusFor(device), sharedText(AdapterText(device))};
    for (int column = AdapterColumn + 1; column < GridColumnCount; ++column) {
        const auto text = m_columnTexts.constFind(column);
        texts << (text == m_columnTexts.cend() ? QString() : sharedText((*text)(device)));
    }
    StringGrid->SetRow(index + 1, texts);
    // With one adapter the column would say the same on every row.
    if (device.AdapterAddress != 0 && !m_adapters.contains(device.AdapterAddress)) {
        m_adapters << device.AdapterAddress;
        if (m_adapters.size() == 2)
            showColumn(AdapterColumn, 150);
    }
    if (newRow)
        fitColumnsTo(index + 1);
    if (index == 0)
        StringGrid->SetRowHidden(1, false); // the filter hides it again when it does not match
    Batches->deviceRowShown(index);
    Worksheet->deviceRowShown(index);
    StringGrid->viewport()->update(); // coalesced with the other replies of a burst
}

QString TMainWindow::sharedText(const QString &text)
{
    if (text.isEmpty())
        return text;
    const auto found = m_sharedTexts.constFind(text);
    if (found != m_sharedTexts.cend())
        return *found;
    m_sharedTexts.insert(text, text);
    return text;
}

const TDeviceRecord *TMainWindow::selectedRecord() const
{
    return m_selectedDevice >= 0 && m_selectedDevice < m_devices.size() ? &m_devices[m_selectedDevice] : nullptr;
}

const TDeviceRecord *TMainWindow::findDevice(const QString &ip) const
{
    const auto device = std::find_if(m_devices.cbegin(), m_devices.cend(), [&](const TDeviceRecord &d) { return d.IpText == ip; });
    return device == m_devices.cend() ? nullptr : &*device;
}

void TMainWindow::setColumnText(int column, std::function<QString(const TDeviceRecord &device)> text)
{
    m_columnTexts.insert(column, std::move(text));
}

void TMainWindow::RefreshRows()
{
    for (int index = 0; index < m_devices.size(); ++index)
        for (auto text = m_columnTexts.cbegin(); text != m_columnTexts.cend(); ++text)
            StringGrid->SetCell(text.key(), index + 1, sharedText(text.value()(m_devices.at(index))));
    StringGrid->viewport()->update();
}

void TMainWindow::showColumn(int column, int width)
{
    if (!StringGrid->isColumnHidden(column))
        return;
    StringGrid->setColumnHidden(column, false);
    // The column that filled the window so far gets a width of its own.
    for (int before = column - 1; before >= ColumnCount - 1; --before)
        if (!StringGrid->isColumnHidden(before)) {
            StringGrid->SetColWidth(before, std::max(StringGrid->ColWidth(before) / 2, 90));
            break;
        }
    StringGrid->SetColWidth(column, width);
    FitLastColumn();
}

void TMainWindow::fitColumnsTo(int row)
{
    // A column is widened to show a device's text whole (a MAC address is never cut), never narrowed.
    constexpr int Padding = 10;
    const QFontMetrics metrics = StringGrid->fontMetrics();
    for (int column = 0; column < ColumnCount - 1; ++column) {
        const int wanted = metrics.horizontalAdvance(StringGrid->Cells(column, row)) + Padding;
        if (wanted > StringGrid->ColWidth(column))
            StringGrid->SetColWidth(column, wanted);
    }
}

QString TMainWindow::MacToText(const QString &separator, quint64 value)
{
    return MacText(value, separator);
}

void TMainWindow::StringGridSelectCell(int, int row)
{
    m_selectedDevice = row - 1;
    // Upgrade and DropBear follow the device: one that another operation works on takes none.
    if (m_deviceActionsWanted)
        setDeviceActionsEnabled(true);
}

// ---- Device actions -------------------------------------------------------------

void TMainWindow::Search()
{
    QString typed;
    if (!askAddress || !askAddress(&typed))
        return;
    // Spaces around the address are no part of it; anything else that is not an address is told
    // as it was typed, before the list is touched or anything is sent.
    const QString address = typed.trimmed();
    if (!IsDottedIPv4(address)) {
        showError(QStringLiteral("\"%1\" is not an IP address.").arg(typed));
        return;
    }
    ResetGrid();
    TSearchDevice search(m_engine, address);
    const TOperationOutcome outcome = search.exec();
    if (outcome.error)
        std::rethrow_exception(outcome.error); // a failed connection, for the general handler
    const QByteArray &reply = search.reply();
    DecodeDiscoveryReply(address, Wire::DevicePort, reply.constData(), int(reply.size()), true, false);
}

void TMainWindow::Properties()
{
    if (m_devices.isEmpty() || m_selectedDevice < 0 || m_selectedDevice >= m_devices.size())
        return;
    const std::unique_ptr<TPropertiesDialog> form =
        m_propertiesDialogs.create(m_devices[m_selectedDevice].Params.number(Wire::Param::TypeCode, -1), this);
    if (!form)
        return; // a device of a type this program does not know has no properties window
    form->setDevice(m_selectedDevice, m_devices);
    TPropertiesDialog *shown = form.get();
    Worksheet->readSshToggleText(m_devices[m_selectedDevice], shown,
                                 [shown](const QString &text) { shown->setSshToggleText(text); });
    if (form->Execute() == ModalResult::Ok)
        Scan();
}

void TMainWindow::UpgradeButtonClick()
{
    if (openUpgradeWindow)
        openUpgradeWindow();
    Scan(); // whatever happened in the window
}

namespace {
// Names, types and versions sort as shown, every letter compared without its case.
int compareShown(const TParamValue &a, const TParamValue &b)
{
    return QString::compare(ParamValueText(a), ParamValueText(b), Qt::CaseInsensitive);
}

int compareBytes(const QByteArray &a, const QByteArray &b)
{
    const int common = static_cast<int>(std::min(a.size(), b.size()));
    for (int i = 0; i < common; ++i)
        if (quint8(a[i]) != quint8(b[i]))
            return quint8(a[i]) < quint8(b[i]) ? -1 : 1;
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}
} // namespace

void TMainWindow::StringGridDblClick(int column, int row)
{
    if (row != 0 || column < 0 || column > 4)
        return; // device rows, and the bootstrap column, keep the order
    sortColumn = column;
    auto less = [column](const TDeviceRecord &a, const TDeviceRecord &b) {
        switch (column) {
        case 0: return compareShown(a.Params[Wire::Param::Name], b.Params[Wire::Param::Name]) < 0;
        case 1: return compareShown(a.Params[Wire::Param::TypeText], b.Params[Wire::Param::TypeText]) < 0;
        case 2: return compareShown(a.Params[Wire::Param::HardwareVersion], b.Params[Wire::Param::HardwareVersion]) < 0;
        case 3: return compareBytes(a.IpText.toUtf8(), b.IpText.toUtf8()) < 0;
        default: return a.Mac < b.Mac;
        }
    };
    // Ascending and stable: devices with equal keys keep their order.
    std::stable_sort(m_devices.begin(), m_devices.end(), less);
    for (int index = 0; index < m_devices.size(); ++index)
        ShowDeviceRow(index);
}

void TMainWindow::StringGridContextPopup(const QPoint &viewportPoint, bool byMouse)
{
    const QPoint cell = byMouse ? StringGrid->CellAt(viewportPoint) : QPoint(-1, -1);
    if (cell.y() < 1 || m_devices.isEmpty())
        return;
    StringGrid->SelectRow(cell.y());
    PopupMenu->popup(StringGrid->viewport()->mapToGlobal(viewportPoint));
}

void TMainWindow::DropBearButtonClick()
{
    if (m_selectedDevice < 0 || m_selectedDevice >= m_devices.size())
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    DropBearButton->setEnabled(false);
    const auto restore = qScopeGuard([this] {
        // Not simply on again: a batch or another window may work on the device by now.
        setDeviceActionsEnabled(m_deviceActionsWanted);
        QApplication::restoreOverrideCursor();
    });
    // A job of the window's service, waited for here; it keeps what it needs of the device, as the
    // list may change while the requests wait. The click was the technician's answer: no warning.
    TJobRequest request = TJobRequest::forDevices(TJobAction::ToggleSsh, {TJobDevice::of(m_devices[m_selectedDevice])});
    request.options.confirmed = true;
    const std::unique_ptr<TJob> dropBear(Batches->jobService()->create(request));
    dropBear->setParent(nullptr);
    DropBearResult = ResultNoReply;
    dropBear->exec();
    const TJobItemStatus &status = dropBear->item(0);
    const TOperationOutcome &outcome = status.outcome;
    DropBearResult = status.succeeded() ? ResultAcknowledged
                     : outcome.detail.contains(QStringLiteral("answered with another code")) ? ResultOtherReply
                                                                                               : ResultNoReply;
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    if (status.state == TJobItemStatus::Busy || outcome.kind == TOperationError::Busy) {
        StatusBar->showMessage(status.message.isEmpty() ? outcome.message : status.message);
        return;
    }
    // The request carries no on/off value and the reply tells no state: a toggle, nothing more.
    const QString ip = status.item.device.target.ip;
    switch (DropBearResult) {
    case ResultAcknowledged: StatusBar->showMessage(DropBearToggledText(ip)); break;
    case ResultOtherReply:
        StatusBar->showMessage(QStringLiteral("%1 answered the SSH toggle with another code; whether its SSH server "
                                              "changed is not known")
                                   .arg(ip));
        break;
    default: StatusBar->showMessage(QStringLiteral("%1 did not answer the SSH toggle").arg(ip)); break;
    }
    if (!outcome.notes.isEmpty())
        StatusBar->showMessage(StatusBar->currentMessage()
                               + QStringLiteral("; its cached hardware address was not flushed (no CAP_NET_ADMIN)"));
}

void TMainWindow::AboutMenuClick()
{
    TFormAbout about;
    about.ShowAbout();
}
