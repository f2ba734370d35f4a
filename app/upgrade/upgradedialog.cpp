#include "app/upgrade/upgradedialog.h"

#include "app/messagebox.h"
#include "app/properties/ipedit.h"
#include "app/properties/thinprogressbar.h"
#include "protocol/devicerecord.h"
#include "protocol/ipv4text.h"
#include "app/upgrade/boardupgradepanel.h"
#include "app/upgrade/controllertextpage.h"
#include "app/upgrade/controllerupgradepanel.h"
#include "app/upgrade/firmwarewarningdialog.h"
#include "protocol/errors.h"
#include "protocol/resource.h"

#include <QApplication>
#include <QEventLoop>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

TUpgradeDialog::TUpgradeDialog(TJobService *jobs, QWidget *mainWindow) : TUpgradeDialog(jobs, mainWindow, Timing()) {}

TUpgradeDialog::TUpgradeDialog(TJobService *jobs, QWidget *mainWindow, const Timing &timing)
    : QDialog(mainWindow), m_jobs(jobs), m_mainWindow(mainWindow)
{
    jobOptions.timing = timing;
    setObjectName(QStringLiteral("UpgradeForm"));
    setWindowTitle(QStringLiteral("Upgrade"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setMinimumSize(439, 400);
    resize(987, 406);

    runWarning = [this] {
        TFirmwareWarningDialog warning(this);
        return warning.exec();
    };
    // An FTP reply or a device's text can be part of the message: shown as it is, never as markup.
    showError = [this](const QString &message) {
        ShowMessageBox(this, QMessageBox::Critical, QStringLiteral("Erreur"), message);
    };
    showInfo = [this](const QString &message) {
        ShowMessageBox(this, QMessageBox::Information, QStringLiteral("Information"), message);
    };
    offerResetWithUpdater = [this](const QString &question) {
        QMessageBox box(QMessageBox::Question, QStringLiteral("Reset"), question, QMessageBox::NoButton, this);
        box.setTextFormat(Qt::PlainText);
        QPushButton *reset = box.addButton(QStringLiteral("Reset with &updater"), QMessageBox::AcceptRole);
        box.addButton(QStringLiteral("&Close"), QMessageBox::RejectRole);
        box.exec();
        return box.clickedButton() == reset;
    };
}

TUpgradeDialog::~TUpgradeDialog() = default;

void TUpgradeDialog::CreateControls()
{
    if (pages)
        return;
    pages = new QTabWidget(this);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(pages);
    buildUpgradePage();
    configPage = new TControllerTextPage(*this);
    pages->addTab(configPage, QStringLiteral("Config"));
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
    upgradeTab = new QWidget;
    pages->addTab(upgradeTab, QStringLiteral("Upgrade"));
    auto *page = new QVBoxLayout(upgradeTab);

    parametersGroup = new QGroupBox(QStringLiteral(" Upgrade Parameters "), upgradeTab);
    auto *parameters = new QHBoxLayout(parametersGroup);
    ipLabel = new QLabel(QStringLiteral("IP Address"), parametersGroup);
    ipEdit = new TIPEdit(parametersGroup);
    ipEdit->setReadOnly(true);
    ipEdit->setFocusPolicy(Qt::NoFocus); // not a tab stop
    ipEdit->setMinimumWidth(100);
    parameters->addWidget(ipLabel);
    parameters->addWidget(ipEdit);
    parameters->addStretch(1);
    page->addWidget(parametersGroup);

    boardPanel = new TBoardUpgradePanel(*this, upgradeTab);
    page->addWidget(boardPanel);
    controllerPanel = new TControllerUpgradePanel(*this, upgradeTab);
    page->addWidget(controllerPanel);
    page->addStretch(1);

    auto *bottom = new QHBoxLayout;
    bottom->addStretch(1);
    cancelButton = new QPushButton(QStringLiteral("Cancel"), upgradeTab);
    cancelButton->setAutoDefault(false);
    bottom->addWidget(cancelButton);
    page->addLayout(bottom);

    for (TFirmwareUpgradePanel *panel : {static_cast<TFirmwareUpgradePanel *>(boardPanel),
                                         static_cast<TFirmwareUpgradePanel *>(controllerPanel)})
        connect(panel, &TFirmwareUpgradePanel::fileChanged, this, &TUpgradeDialog::UpdateButtons);
    connect(cancelButton, &QPushButton::clicked, this, &TUpgradeDialog::reject);
}

// ---- The window ---------------------------------------------------------------------

void TUpgradeDialog::OpenForDevice(const TDeviceRecord *device)
{
    if (!device)
        return;
    CreateControls();
    pages->setCurrentIndex(0);
    DeviceIP = device->IpText;
    DeviceTransport = device->Transport;
    deviceRecord = *device;
    // The control shows only well-formed addresses; a device found by a typed host text shows none.
    if (IsDottedIPv4(DeviceIP))
        ipEdit->setText(DeviceIP);
    else
        ipEdit->setText(QString());
    UpdateButtons();
    configPage->editor->clear();
    m_closeRequested = false;
    exec();
}

void TUpgradeDialog::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    centreOverMainWindow();
}

void TUpgradeDialog::centreOverMainWindow()
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
    if (!pages)
        return; // not shown yet: the controls are set when they are built
    const bool idle = m_busy == 0;
    boardPanel->updateButton(idle);
    controllerPanel->updateButton(idle);
}

// ---- Running an operation ----------------------------------------------------------

TJobDevice TUpgradeDialog::jobDevice() const
{
    if (deviceRecord && deviceRecord->IpText == DeviceIP && deviceRecord->Transport == DeviceTransport)
        return TJobDevice::of(*deviceRecord);
    return {deviceTarget(), std::nullopt};
}

std::unique_ptr<TJob> TUpgradeDialog::makeJob(TJobAction action, const QList<QLabel *> &stepLines, bool confirmed,
                                              const QString &file, const std::optional<QByteArray> &text)
{
    if (!m_jobs)
        return nullptr;
    TJobItem item;
    item.device = jobDevice();
    item.action = action;
    item.file = file;
    item.text = text;
    TJobRequest request;
    request.items = {item};
    request.options = jobOptions;
    request.options.confirmed = confirmed;
    std::unique_ptr<TJob> job(m_jobs->create(request, this));
    connect(job.get(), &TJob::stepStarted, this, [stepLines](int, const QString &label) {
        for (QLabel *line : stepLines) {
            line->setText(label);
            line->show();
        }
    });
    connect(job.get(), &TJob::sendFailed, this,
            [](int, const QString &reason) { ShowErrorMessage(MsgConnectionError, reason); });
    TJob *asking = job.get();
    connect(job.get(), &TJob::confirmationRequested, this,
            [this, asking] { asking->confirm(runWarning() == TFirmwareWarningDialog::ResultUpgrade); });
    return job;
}

TJobItemStatus TUpgradeDialog::runUntilOperationEnded(std::unique_ptr<TJob> job)
{
    QEventLoop loop;
    bool ended = false;
    auto end = [&loop, &ended] {
        ended = true;
        loop.quit();
    };
    connect(job.get(), &TJob::operationEnded, &loop, end);
    connect(job.get(), &TJob::finished, &loop, end);
    job->start();
    if (!ended)
        loop.exec();
    const TJobItemStatus status = job->item(0);
    // The job goes on looking for an upgraded device; it is released when it has ended.
    TJob *kept = job.release();
    if (kept->isFinished())
        jobEnded(kept);
    else
        connect(kept, &TJob::finished, this, [this, kept] { jobEnded(kept); });
    return status;
}

void TUpgradeDialog::jobEnded(TJob *job)
{
    const TJobItemStatus &status = job->item(0);
    const bool upgraded = status.item.action == TJobAction::ControllerUpgrade || status.item.action == TJobAction::BoardUpgrade;
    const bool confirmation = status.state == TJobItemStatus::Done || status.state == TJobItemStatus::Unconfirmed;
    if (upgraded && confirmation && status.changed)
        if (auto *main = qobject_cast<QMainWindow *>(m_mainWindow))
            main->statusBar()->showMessage(QStringLiteral("%1: %2").arg(status.item.device.target.ip, status.text()));
    job->deleteLater();
}

QString TUpgradeDialog::failureText(const TJobItemStatus &status)
{
    // Also the job's refusal of an image before the first request, told as the operation's.
    return status.outcome.message;
}

void TUpgradeDialog::report(const TJobItemStatus &status)
{
    if (const QString failure = failureText(status); !failure.isEmpty())
        showError(failure);
    if (status.outcome.error)
        std::rethrow_exception(status.outcome.error);
}

// ---- Closing while an operation runs ------------------------------------------------

TUpgradeDialog::BusyScope::BusyScope(TUpgradeDialog &dialog) : m_dialog(dialog)
{
    ++m_dialog.m_busy;
    m_dialog.UpdateButtons();
}

TUpgradeDialog::BusyScope::~BusyScope()
{
    if (--m_dialog.m_busy == 0) {
        m_dialog.UpdateButtons();
        if (m_dialog.m_closeRequested)
            QTimer::singleShot(0, &m_dialog, [dialog = &m_dialog] { dialog->reject(); });
    }
}

TUpgradeDialog::UpgradePageOperation::UpgradePageOperation(TUpgradeDialog &dialog, QLabel *statusLine)
    : m_statusLine(statusLine), m_busy(dialog)
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
