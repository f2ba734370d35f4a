#include "app/upgrade/upgradedialog.h"

#include "protocol/errors.h"
#include "app/upgrade/filenameedit.h"
#include "app/upgrade/firmwarewarningdialog.h"
#include "protocol/resource.h"
#include "app/properties/ipedit.h"
#include "app/properties/thinprogressbar.h"
#include "protocol/devicerecord.h"
#include "protocol/ipv4text.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace {
QProgressBar *thinBar(QWidget *parent)
{
    auto *bar = new TThinProgressBar(parent);
    bar->hide();
    return bar;
}

QLabel *statusLine(QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setAlignment(Qt::AlignCenter);
    label->hide();
    return label;
}
} // namespace

TUpgradeDialog::TUpgradeDialog(TDatagramEngine *serveur, QWidget *mainWindow) : TUpgradeDialog(serveur, mainWindow, Timing()) {}

TUpgradeDialog::TUpgradeDialog(TDatagramEngine *serveur, QWidget *mainWindow, const Timing &timing)
    : QDialog(mainWindow), m_engine(serveur), m_mainWindow(mainWindow), m_timing(timing)
{
    setObjectName(QStringLiteral("UpgradeForm"));
    setWindowTitle(QStringLiteral("Upgrade"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setMinimumSize(439, 400);
    resize(987, 406);

    runWarning = [this] {
        TFirmwareWarningDialog warning(this);
        return warning.exec();
    };
    showError = [this](const QString &message) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Erreur"), message, QMessageBox::Ok, this);
        box.button(QMessageBox::Ok)->setText(QStringLiteral("OK"));
        box.exec();
    };
    showInfo = [this](const QString &message) {
        QMessageBox box(QMessageBox::Information, QStringLiteral("Information"), message, QMessageBox::Ok, this);
        box.button(QMessageBox::Ok)->setText(QStringLiteral("OK"));
        box.exec();
    };
    offerResetWithUpdater = [this](const QString &question) {
        QMessageBox box(QMessageBox::Question, QStringLiteral("Reset"), question, QMessageBox::NoButton, this);
        QPushButton *reset = box.addButton(QStringLiteral("Reset with &updater"), QMessageBox::AcceptRole);
        box.addButton(QStringLiteral("&Close"), QMessageBox::RejectRole);
        box.exec();
        return box.clickedButton() == reset;
    };
}

TUpgradeDialog::~TUpgradeDialog() = default;

void TUpgradeDialog::CreateControls()
{
    if (PageControl)
        return;
    PageControl = new QTabWidget(this);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(PageControl);
    buildUpgradePage();
    buildConfigPage();
    connectOperations();
}

void TUpgradeDialog::setVisible(bool visible)
{
    // Every way of showing the window (exec, show, open) passes here first.
    if (visible)
        CreateControls();
    QDialog::setVisible(visible);
}

void TUpgradeDialog::buildUpgradePage()
{
    TabSheet1 = new QWidget;
    PageControl->addTab(TabSheet1, QStringLiteral("Upgrade"));
    auto *page = new QVBoxLayout(TabSheet1);

    GroupBox3 = new QGroupBox(QStringLiteral(" Upgrade Parameters "), TabSheet1);
    auto *parameters = new QHBoxLayout(GroupBox3);
    Label2 = new QLabel(QStringLiteral("IP Address"), GroupBox3);
    UpgradeIP = new TIPEdit(GroupBox3);
    UpgradeIP->setReadOnly(true);
    UpgradeIP->setFocusPolicy(Qt::NoFocus); // not a tab stop
    UpgradeIP->setMinimumWidth(100);
    parameters->addWidget(Label2);
    parameters->addWidget(UpgradeIP);
    parameters->addStretch(1);
    page->addWidget(GroupBox3);

    auto fileGroup = [this](const QString &caption, QLabel *&label, TFileNameEdit *&file, QLabel *&status,
                            QProgressBar *&bar, QPushButton *&button) {
        auto *group = new QGroupBox(caption, TabSheet1);
        auto *grid = new QVBoxLayout(group);
        auto *row = new QHBoxLayout;
        label = new QLabel(QStringLiteral("Upgrade Filename"), group);
        file = new TFileNameEdit(group);
        file->setDialogTitle(QStringLiteral("Choose the upgrade file"));
        file->setDefaultExtension(QStringLiteral("bin"));
        button = new QPushButton(QStringLiteral("Upgrade"), group);
        button->setAutoDefault(false);
        row->addWidget(label);
        row->addWidget(file, 1);
        row->addWidget(button);
        grid->addLayout(row);
        status = statusLine(group);
        grid->addWidget(status);
        bar = thinBar(group);
        grid->addWidget(bar);
        return group;
    };
    GroupBox1 = fileGroup(QStringLiteral(" Upgrade Communicartion Board  "), Label1, UpgradeComFile, UpgradeComLabel,
                          UpgradeComProgressBar, UpgradeComBtn);
    UpgradeComFile->setFilter(QStringLiteral("Upgrade files (*)"));
    page->addWidget(GroupBox1);
    GroupBox2 = fileGroup(QStringLiteral(" Upgrade Controller "), Label3, UpgradeControlFile, UpgradeControlLabel,
                          UpgradeControlProgressBar, UpgradeControlBtn);
    UpgradeControlFile->setFilter(QStringLiteral("Upgrade files (*.bin);;All files (*)"));
    page->addWidget(GroupBox2);
    // Two "Upgrade" buttons and two file fields: a screen reader tells them apart by these names.
    UpgradeComBtn->setAccessibleName(QStringLiteral("Upgrade communication board"));
    UpgradeControlBtn->setAccessibleName(QStringLiteral("Upgrade controller"));
    UpgradeComFile->edit()->setAccessibleName(QStringLiteral("Communication board upgrade file"));
    UpgradeControlFile->edit()->setAccessibleName(QStringLiteral("Controller upgrade file"));
    UpgradeComFile->browseButton()->setAccessibleName(QStringLiteral("Choose the communication board upgrade file"));
    UpgradeControlFile->browseButton()->setAccessibleName(QStringLiteral("Choose the controller upgrade file"));
    Label1->setBuddy(UpgradeComFile->edit());
    Label3->setBuddy(UpgradeControlFile->edit());
    page->addStretch(1);

    auto *bottom = new QHBoxLayout;
    bottom->addStretch(1);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), TabSheet1);
    CancelBtn->setAutoDefault(false);
    bottom->addWidget(CancelBtn);
    page->addLayout(bottom);

    connect(UpgradeComFile, &TFileNameEdit::fileNameChanged, this, &TUpgradeDialog::UpdateButtons);
    connect(UpgradeControlFile, &TFileNameEdit::fileNameChanged, this, &TUpgradeDialog::UpdateButtons);
    connect(CancelBtn, &QPushButton::clicked, this, &TUpgradeDialog::reject);
}

void TUpgradeDialog::buildConfigPage()
{
    TabSheet2 = new QWidget;
    PageControl->addTab(TabSheet2, QStringLiteral("Config"));
    auto *page = new QVBoxLayout(TabSheet2);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(0);

    ToolBar = new QToolBar(TabSheet2);
    ToolBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    OpenButton = ToolBar->addAction(style()->standardIcon(QStyle::SP_DialogOpenButton), QStringLiteral("Open"));
    SaveButton = ToolBar->addAction(style()->standardIcon(QStyle::SP_DialogSaveButton), QStringLiteral("Save"));
    for (QAction *imageButton : {OpenButton, SaveButton}) {
        imageButton->setToolTip(imageButton->text());
        if (auto *button = ToolBar->widgetForAction(imageButton))
            qobject_cast<QToolButton *>(button)->setToolButtonStyle(Qt::ToolButtonIconOnly);
    }
    ToolBar->addSeparator();
    // Mnemonics (Alt+R, Alt+W, ...): the buttons are reached from the keyboard as well.
    ReadConfigBtn = ToolBar->addAction(QStringLiteral("&Read Config"));
    WriteConfigBtn = ToolBar->addAction(QStringLiteral("&Write Config"));
    ToolBar->addSeparator();
    ReadLogsBtn = ToolBar->addAction(QStringLiteral("Read &Logs"));
    EraseLogsBtn = ToolBar->addAction(QStringLiteral("&Erase Logs"));
    ToolBar->addSeparator();
    ResetBtn = ToolBar->addAction(QStringLiteral("Rese&t"));
    ToolBar->addSeparator();
    DiagnoseBtn = ToolBar->addAction(QStringLiteral("&Diagnose"));
    for (QAction *action : ToolBar->actions())
        if (QWidget *button = ToolBar->widgetForAction(action))
            button->setFocusPolicy(Qt::StrongFocus); // tool buttons take no focus by themselves
    auto *spacer = new QWidget(ToolBar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    ToolBar->addWidget(spacer);
    ReadConfigLabel = new QLabel(ToolBar);
    ReadConfigLabel->setFixedWidth(149);
    ReadConfigLabel->setAlignment(Qt::AlignCenter);
    ToolBar->addWidget(ReadConfigLabel)->setVisible(true);
    ReadConfigLabel->hide();
    page->addWidget(ToolBar);

    Memo = new QPlainTextEdit(TabSheet2);
    QFont font(QStringLiteral("Courier New"), 10);
    font.setStyleHint(QFont::Monospace);
    Memo->setFont(font);
    Memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    page->addWidget(Memo, 1);
}

// ---- The window ---------------------------------------------------------------------

void TUpgradeDialog::OpenForDevice(const TDeviceRecord *device)
{
    if (!device)
        return;
    CreateControls();
    PageControl->setCurrentIndex(0);
    DeviceIP = device->IpText;
    DeviceTransport = device->Transport;
    // The control shows only well-formed addresses; a device found by a typed host text shows none.
    if (IsDottedIPv4(DeviceIP))
        UpgradeIP->setText(DeviceIP);
    else
        UpgradeIP->setText(QString());
    UpdateButtons();
    Memo->clear();
    m_closeRequested = false;
    exec();
}

void TUpgradeDialog::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    FormShow();
}

void TUpgradeDialog::FormShow()
{
    if (m_mainWindow) {
        const QRect main = m_mainWindow->frameGeometry();
        const QRect own = frameGeometry();
        // Integer division truncating toward zero, also for a window larger than the main one.
        move(main.left() + (main.width() - own.width()) / 2, main.top() + (main.height() - own.height()) / 2);
    }
    UpdateButtons();
}

void TUpgradeDialog::UpdateButtons()
{
    // No second operation may start while one runs, on either page: two brackets on one
    // device would interleave their start/stop requests.
    if (!PageControl)
        return; // not shown yet: the controls are set when they are built
    const bool idle = m_busy == 0;
    UpgradeComBtn->setEnabled(idle && !DeviceIP.isEmpty() && QFileInfo(UpgradeComFile->fileName()).isFile());
    UpgradeControlBtn->setEnabled(idle && !DeviceIP.isEmpty() && QFileInfo(UpgradeControlFile->fileName()).isFile());
}

void TUpgradeDialog::setControlProgress(qint64 done)
{
    // Progress comes in thousands of events a second, often many in one batch: each sets the
    // value, none paints by itself; the bar is painted once the batch is through.
    UpgradeControlProgressBar->setUpdatesEnabled(false);
    UpgradeControlProgressBar->setValue(int(done));
    UpgradeControlProgressBar->setUpdatesEnabled(true);
}

void TUpgradeDialog::DisableConfigControls()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    for (QAction *action : {ReadConfigBtn, WriteConfigBtn, ReadLogsBtn, EraseLogsBtn, DiagnoseBtn})
        action->setEnabled(false);
    ToolBar->setEnabled(false);
}

void TUpgradeDialog::EnableConfigControls()
{
    ReadConfigLabel->clear();
    ReadConfigLabel->hide();
    for (QAction *action : {ReadConfigBtn, WriteConfigBtn, ReadLogsBtn, EraseLogsBtn, DiagnoseBtn})
        action->setEnabled(true);
    ToolBar->setEnabled(true);
    QApplication::restoreOverrideCursor();
}

// ---- Running an operation ----------------------------------------------------------

void TUpgradeDialog::watch(TDeviceOperation &operation, const QList<QLabel *> &stepLines)
{
    connect(&operation, &TDeviceOperation::stepStarted, this, [stepLines](const QString &label) {
        for (QLabel *line : stepLines) {
            line->setText(label);
            line->show();
        }
    });
    connect(&operation, &TDeviceOperation::sendFailed, this,
            [](const QString &reason) { ShowErrorMessage(MsgConnectionError, reason); });
    connect(&operation, &TDeviceOperation::confirmationRequested, this, [this, &operation] {
        operation.confirm(runWarning() == TFirmwareWarningDialog::ResultUpgrade);
    });
}

void TUpgradeDialog::report(const TOperationOutcome &outcome)
{
    if (!outcome.message.isEmpty())
        showError(outcome.message);
    if (outcome.error)
        std::rethrow_exception(outcome.error);
}

// ---- Closing while an operation runs ------------------------------------------------

TUpgradeDialog::BusyScope::BusyScope(TUpgradeDialog &form) : m_form(form)
{
    ++m_form.m_busy;
    m_form.UpdateButtons();
}

TUpgradeDialog::BusyScope::~BusyScope()
{
    if (--m_form.m_busy == 0) {
        m_form.UpdateButtons();
        if (m_form.m_closeRequested)
            QTimer::singleShot(0, &m_form, [form = &m_form] { form->reject(); });
    }
}

TUpgradeDialog::UpgradePageOperation::UpgradePageOperation(TUpgradeDialog &form, QLabel *statusLine)
    : m_statusLine(statusLine), m_busy(form)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

TUpgradeDialog::UpgradePageOperation::~UpgradePageOperation()
{
    m_statusLine->clear();
    m_statusLine->hide();
    QApplication::restoreOverrideCursor();
}

void TUpgradeDialog::reject()
{
    // An operation that waits for the device goes on to its end, which puts the device
    // back (reset, updater stopped, daemon started); the window closes right after it.
    if (m_busy > 0) {
        m_closeRequested = true;
        return;
    }
    m_closeRequested = false;
    QDialog::reject();
}

void TUpgradeDialog::connectOperations()
{
    connect(UpgradeComBtn, &QPushButton::clicked, this, Guarded(this, &TUpgradeDialog::UpgradeComBtnClick));
    connect(UpgradeControlBtn, &QPushButton::clicked, this, Guarded(this, &TUpgradeDialog::UpgradeControlBtnClick));
    connect(OpenButton, &QAction::triggered, this, Guarded(this, &TUpgradeDialog::OpenButtonClick));
    connect(SaveButton, &QAction::triggered, this, Guarded(this, &TUpgradeDialog::SaveButtonClick));
    connect(ReadConfigBtn, &QAction::triggered, this, Guarded(this, &TUpgradeDialog::ReadConfigBtnClick));
    connect(WriteConfigBtn, &QAction::triggered, this, Guarded(this, &TUpgradeDialog::WriteConfigBtnClick));
    connect(ReadLogsBtn, &QAction::triggered, this, Guarded(this, &TUpgradeDialog::ReadLogsBtnClick));
    connect(EraseLogsBtn, &QAction::triggered, this, Guarded(this, &TUpgradeDialog::EraseLogsBtnClick));
    connect(ResetBtn, &QAction::triggered, this, Guarded(this, &TUpgradeDialog::ResetBtnClick));
    connect(DiagnoseBtn, &QAction::triggered, this, Guarded(this, &TUpgradeDialog::DiagnoseBtnClick));
}
