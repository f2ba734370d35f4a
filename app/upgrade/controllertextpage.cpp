#include "app/upgrade/controllertextpage.h"

#include "app/upgrade/configtext.h"
#include "app/upgrade/controllerupgradepanel.h"
#include "app/upgrade/upgradedialog.h"
#include "protocol/errors.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScopeGuard>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

TControllerTextPage::TControllerTextPage(TUpgradeDialog &dialog, QWidget *parent) : QWidget(parent), m_dialog(dialog)
{
    auto *page = new QVBoxLayout(this);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(0);
    buildToolBar();
    page->addWidget(toolBar);

    editor = new QPlainTextEdit(this);
    QFont font(QStringLiteral("Courier New"), 10);
    font.setStyleHint(QFont::Monospace);
    editor->setFont(font);
    editor->setLineWrapMode(QPlainTextEdit::NoWrap);
    editor->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    editor->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    page->addWidget(editor, 1);

    auto on = [this](QAction *action, void (TControllerTextPage::*handler)()) {
        connect(action, &QAction::triggered, this, Guarded(this, handler));
    };
    on(openAction, &TControllerTextPage::openFile);
    on(saveAction, &TControllerTextPage::saveFile);
    on(readConfigAction, &TControllerTextPage::readConfiguration);
    on(writeConfigAction, &TControllerTextPage::writeConfiguration);
    on(readLogsAction, &TControllerTextPage::readLogs);
    on(eraseLogsAction, &TControllerTextPage::eraseLogs);
    on(resetAction, &TControllerTextPage::reset);
    on(diagnoseAction, &TControllerTextPage::readDiagnostics);
}

void TControllerTextPage::buildToolBar()
{
    toolBar = new QToolBar(this);
    toolBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    openAction = toolBar->addAction(style()->standardIcon(QStyle::SP_DialogOpenButton), QStringLiteral("Open"));
    saveAction = toolBar->addAction(style()->standardIcon(QStyle::SP_DialogSaveButton), QStringLiteral("Save"));
    for (QAction *imageButton : {openAction, saveAction}) {
        imageButton->setToolTip(imageButton->text());
        if (auto *button = toolBar->widgetForAction(imageButton))
            qobject_cast<QToolButton *>(button)->setToolButtonStyle(Qt::ToolButtonIconOnly);
    }
    toolBar->addSeparator();
    // Mnemonics (Alt+R, Alt+W, ...): the buttons are reached from the keyboard as well.
    readConfigAction = toolBar->addAction(QStringLiteral("&Read Config"));
    writeConfigAction = toolBar->addAction(QStringLiteral("&Write Config"));
    toolBar->addSeparator();
    readLogsAction = toolBar->addAction(QStringLiteral("Read &Logs"));
    eraseLogsAction = toolBar->addAction(QStringLiteral("&Erase Logs"));
    toolBar->addSeparator();
    resetAction = toolBar->addAction(QStringLiteral("Rese&t"));
    toolBar->addSeparator();
    diagnoseAction = toolBar->addAction(QStringLiteral("&Diagnose"));
    for (QAction *action : toolBar->actions())
        if (QWidget *button = toolBar->widgetForAction(action))
            button->setFocusPolicy(Qt::StrongFocus); // tool buttons take no focus by themselves
    auto *spacer = new QWidget(toolBar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolBar->addWidget(spacer);
    statusLabel = new QLabel(toolBar);
    statusLabel->setFixedWidth(149);
    statusLabel->setAlignment(Qt::AlignCenter);
    toolBar->addWidget(statusLabel)->setVisible(true);
    statusLabel->hide();
}

QString TControllerTextPage::configFilter()
{
    // "*", not "*.*", which hides files without an extension on Linux.
    return QStringLiteral("Config files (*.cfg);;All files (*)");
}

void TControllerTextPage::disableControls()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    for (QAction *action : {readConfigAction, writeConfigAction, readLogsAction, eraseLogsAction, diagnoseAction})
        action->setEnabled(false);
    toolBar->setEnabled(false);
}

void TControllerTextPage::enableControls()
{
    statusLabel->clear();
    statusLabel->hide();
    for (QAction *action : {readConfigAction, writeConfigAction, readLogsAction, eraseLogsAction, diagnoseAction})
        action->setEnabled(true);
    toolBar->setEnabled(true);
    QApplication::restoreOverrideCursor();
}

// ---- Files -------------------------------------------------------------------------------

void TControllerTextPage::openFile()
{
    const QString fileName = chooseOpenFile ? chooseOpenFile()
                                            : QFileDialog::getOpenFileName(this, QString(), QString(), configFilter());
    if (fileName.isEmpty())
        return;
    // An unreadable file raises before the editor is touched.
    SetEditorBytes(editor, LoadConfigFile(fileName));
}

void TControllerTextPage::saveFile()
{
    // Refused before the file is chosen: a file with '?' in place of a character is not the text.
    if (const QString problem = UnencodableTextProblem(editor, QStringLiteral("Nothing was saved.")); !problem.isEmpty()) {
        m_dialog.showError(problem);
        return;
    }
    const QString fileName = chooseSaveFile ? chooseSaveFile()
                                            : QFileDialog::getSaveFileName(this, QString(), QString(), configFilter(),
                                                                           nullptr, QFileDialog::DontConfirmOverwrite);
    if (fileName.isEmpty())
        return;
    SaveConfigFile(fileName, EditorBytes(editor));
}

// ---- Handlers ----------------------------------------------------------------------------

TJobItemStatus TControllerTextPage::runOperation(TJobAction action, bool confirmed, const std::optional<QByteArray> &text,
                                                 const QString &declinedText)
{
    TUpgradeDialog::BusyScope busy(m_dialog);
    disableControls();
    std::unique_ptr<TJob> job = m_dialog.makeJob(action, {m_dialog.controllerPanel->statusLine, statusLabel}, confirmed,
                                                 QString(), text);
    if (!job) {
        enableControls();
        return {};
    }
    connect(job.get(), &TJob::phaseChanged, this, [this](int, const QString &label) { showStatus(label); });
    const bool logs = action == TJobAction::ReadLogs || action == TJobAction::EraseAndReadLogs;
    if (logs) {
        // Each log block shows as it comes, a line of its own; the first makes the text of the
        // empty editor. What was read stays also when a later step fails (a log cut short).
        connect(job.get(), &TJob::textRead, this, [this, first = true](int, const QByteArray &block) mutable {
            if (first && editor->document()->isEmpty())
                SetEditorBytes(editor, block);
            else
                AppendEditorLine(editor, block);
            first = false;
        });
    }
    const TJobItemStatus status = m_dialog.runUntilOperationEnded(std::move(job));
    if (!logs && !status.received.isEmpty())
        SetEditorBytes(editor, status.received);
    // Declined, the operation never ran to say so: the page does.
    const QString failure = status.outcome.declined ? declinedText : TUpgradeDialog::failureText(status);
    if (!status.succeeded() && !failure.isEmpty())
        m_dialog.showError(failure);
    enableControls();
    if (status.outcome.error)
        std::rethrow_exception(status.outcome.error);
    return status;
}

// While an operation of either page runs, no other may start: two brackets on one device
// would interleave their start/stop requests, and a reset would cut a firmware write short.

void TControllerTextPage::readConfiguration()
{
    if (m_dialog.DeviceIP.isEmpty() || m_dialog.IsBusy())
        return;
    editor->clear();
    runOperation(TJobAction::ReadConfiguration, true);
}

void TControllerTextPage::readDiagnostics()
{
    if (m_dialog.DeviceIP.isEmpty() || m_dialog.IsBusy())
        return;
    editor->clear();
    runOperation(TJobAction::ReadDiagnostics, true);
}

void TControllerTextPage::readLogs()
{
    if (m_dialog.DeviceIP.isEmpty() || m_dialog.IsBusy())
        return;
    editor->clear();
    const TJobItemStatus logs = runOperation(TJobAction::ReadLogs, true);
    if (logs.succeeded() && logs.received.isEmpty())
        m_dialog.showInfo(QStringLiteral("The device has no logs."));
}

void TControllerTextPage::eraseLogs()
{
    if (m_dialog.DeviceIP.isEmpty() || m_dialog.IsBusy())
        return;
    editor->clear();
    runOperation(TJobAction::EraseAndReadLogs, true);
}

void TControllerTextPage::writeConfiguration()
{
    if (m_dialog.DeviceIP.isEmpty() || m_dialog.IsBusy())
        return;
    const QString failureMessage = QStringLiteral("Write Config Failed");
    // A text the area cannot hold is refused before the device is disturbed at all.
    if (const QString problem = UnencodableTextProblem(editor, QStringLiteral("Nothing was sent.")); !problem.isEmpty()) {
        m_dialog.showError(failureMessage + QStringLiteral("\r\n") + problem);
        return;
    }
    const QByteArray text = EditorBytes(editor);
    if (text.size() > qsizetype(MaxConfigTextSize)) {
        m_dialog.showError(ConfigTooLongMessage(text.size()));
        m_dialog.showError(failureMessage);
        return;
    }
    // The firmware warning first, as for an upgrade: the configuration replaces the device's.
    runOperation(TJobAction::WriteConfiguration, false, text, failureMessage);
}

void TControllerTextPage::reset()
{
    if (m_dialog.DeviceIP.isEmpty() || m_dialog.IsBusy())
        return;
    TUpgradeDialog::BusyScope busy(m_dialog);
    disableControls();
    const auto enable = qScopeGuard([this] { enableControls(); });
    // The plain reset first, as it always was: it is all a controller already in its updater needs.
    std::unique_ptr<TJob> plainReset = m_dialog.makeJob(TJobAction::Reset, {}, true);
    if (!plainReset)
        return;
    disconnect(plainReset.get(), &TJob::sendFailed, &m_dialog, nullptr); // the reset's answer says it all
    connect(plainReset.get(), &TJob::phaseChanged, this, [this](int, const QString &label) { showStatus(label); });
    const TJobItemStatus plain = m_dialog.runUntilOperationEnded(std::move(plainReset));
    if (plain.outcome.error)
        std::rethrow_exception(plain.outcome.error);
    if (plain.succeeded()) {
        m_dialog.showInfo(QStringLiteral("The controller answered the reset."));
        return;
    }
    if (plain.outcome.cancelled || plain.state == TJobItemStatus::Cancelled
        || !m_dialog.offerResetWithUpdater(TControllerReset::UnansweredText
                                           + QStringLiteral("\r\n\r\nReset it with its updater? The daemon is stopped and the "
                                                            "updater started, the controller reset, then the updater stopped "
                                                            "and the daemon started again.")))
        return;
    std::unique_ptr<TJob> bracketed = m_dialog.makeJob(TJobAction::ResetWithUpdater, {m_dialog.controllerPanel->statusLine, statusLabel}, true);
    connect(bracketed.get(), &TJob::phaseChanged, this, [this](int, const QString &label) { showStatus(label); });
    const TJobItemStatus status = m_dialog.runUntilOperationEnded(std::move(bracketed));
    const TOperationOutcome &outcome = status.outcome;
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    if (status.succeeded())
        m_dialog.showInfo(QStringLiteral("The controller answered the reset; the daemon runs again."));
    else if (!outcome.cancelled && status.state != TJobItemStatus::Cancelled)
        m_dialog.showError(outcome.message + (outcome.detail.isEmpty() ? QString() : QStringLiteral("\r\n") + outcome.detail));
}

void TControllerTextPage::showStatus(const QString &label)
{
    statusLabel->setText(label);
    statusLabel->show();
}
