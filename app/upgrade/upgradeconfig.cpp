// The "Config" page: the controller's configuration in the editor and in ".cfg" files,
// its diagnostics and logs, and its reset.
//
// Configuration, diagnostics and each log block pass through the same transfer area of
// controller memory, chosen by the command sent before: a big-endian length word at 0,
// then the text at 4.

#include "app/upgrade/upgradedialog.h"

#include "app/upgrade/configtext.h"

#include <QAction>
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScopeGuard>

QString TUpgradeDialog::configFilter()
{
    // "*", not "*.*", which hides files without an extension on Linux.
    return QStringLiteral("Config files (*.cfg);;All files (*)");
}

// ---- Files -------------------------------------------------------------------------------

void TUpgradeDialog::OpenButtonClick()
{
    const QString fileName = chooseOpenFile ? chooseOpenFile()
                                            : QFileDialog::getOpenFileName(this, QString(), QString(), configFilter());
    if (fileName.isEmpty())
        return;
    // An unreadable file raises before the editor is touched.
    SetEditorBytes(Memo, LoadConfigFile(fileName));
}

void TUpgradeDialog::SaveButtonClick()
{
    // Refused before the file is chosen: a file with '?' in place of a character is not the text.
    if (const QString problem = UnencodableTextProblem(Memo, QStringLiteral("Nothing was saved.")); !problem.isEmpty()) {
        showError(problem);
        return;
    }
    const QString fileName = chooseSaveFile ? chooseSaveFile()
                                            : QFileDialog::getSaveFileName(this, QString(), QString(), configFilter(),
                                                                           nullptr, QFileDialog::DontConfirmOverwrite);
    if (fileName.isEmpty())
        return;
    SaveConfigFile(fileName, EditorBytes(Memo));
}

// ---- Handlers ----------------------------------------------------------------------------

void TUpgradeDialog::runConfigOperation(TControllerBracketOperation &operation,
                                      const std::function<void(const QByteArray &text)> &onText)
{
    BusyScope busy(*this);
    DisableConfigControls();
    watch(operation, {UpgradeControlLabel, ReadConfigLabel});
    connect(&operation, &TDeviceOperation::phaseChanged, this, &TUpgradeDialog::showConfigStatus);
    if (onText)
        connect(&operation, &TControllerBracketOperation::textRead, this, onText);
    const TOperationOutcome outcome = operation.exec();
    if (!outcome.succeeded && !outcome.message.isEmpty())
        showError(outcome.message);
    EnableConfigControls();
    if (outcome.error)
        std::rethrow_exception(outcome.error);
}

// While an operation of either page runs, no other may start: two brackets on one device
// would interleave their start/stop requests, and a reset would cut a firmware write short.

void TUpgradeDialog::ReadConfigBtnClick()
{
    if (DeviceIP.isEmpty() || IsBusy())
        return;
    Memo->clear();
    TReadControllerText read(m_engine, deviceTarget(), TReadControllerText::Kind::Configuration, m_timing);
    runConfigOperation(read, [this](const QByteArray &text) { SetEditorBytes(Memo, text); });
}

void TUpgradeDialog::DiagnoseBtnClick()
{
    if (DeviceIP.isEmpty() || IsBusy())
        return;
    Memo->clear();
    TReadControllerText read(m_engine, deviceTarget(), TReadControllerText::Kind::Diagnostics, m_timing);
    runConfigOperation(read, [this](const QByteArray &text) { SetEditorBytes(Memo, text); });
}

void TUpgradeDialog::ReadLogsBtnClick()
{
    if (DeviceIP.isEmpty() || IsBusy())
        return;
    Memo->clear();
    TReadLogs logs(m_engine, deviceTarget(), false, m_timing);
    runConfigOperation(logs, logLines());
    if (logs.outcome().succeeded && logs.blocks().isEmpty())
        showInfo(QStringLiteral("The device has no logs."));
}

void TUpgradeDialog::EraseLogsBtnClick()
{
    if (DeviceIP.isEmpty() || IsBusy())
        return;
    Memo->clear();
    TReadLogs logs(m_engine, deviceTarget(), true, m_timing);
    runConfigOperation(logs, logLines());
}

std::function<void(const QByteArray &)> TUpgradeDialog::logLines()
{
    // The first block makes the text of an empty editor; every block is a line of its own.
    return [this, first = true](const QByteArray &block) mutable {
        if (first && Memo->document()->isEmpty())
            SetEditorBytes(Memo, block);
        else
            AppendEditorLine(Memo, block);
        first = false;
    };
}

void TUpgradeDialog::WriteConfigBtnClick()
{
    if (DeviceIP.isEmpty() || IsBusy())
        return;
    const QString failureMessage = QStringLiteral("Write Config Failed");
    // A text the area cannot hold is refused before the device is disturbed at all.
    if (const QString problem = UnencodableTextProblem(Memo, QStringLiteral("Nothing was sent.")); !problem.isEmpty()) {
        showError(failureMessage + QStringLiteral("\r\n") + problem);
        return;
    }
    const QByteArray text = EditorBytes(Memo);
    if (text.size() > qsizetype(MaxConfigTextSize)) {
        showError(ConfigTooLongMessage(text.size()));
        showError(failureMessage);
        return;
    }
    TWriteConfig write(m_engine, deviceTarget(), text, m_timing);
    runConfigOperation(write);
}

void TUpgradeDialog::ResetBtnClick()
{
    if (DeviceIP.isEmpty() || IsBusy())
        return;
    BusyScope busy(*this);
    DisableConfigControls();
    const auto enable = qScopeGuard([this] { EnableConfigControls(); });
    // The plain reset first, as it always was: it is all a controller already in its updater needs.
    TControllerReset reset(m_engine, deviceTarget(), TControllerReset::Mode::Plain, m_timing);
    connect(&reset, &TDeviceOperation::phaseChanged, this, &TUpgradeDialog::showConfigStatus);
    const TOperationOutcome plain = reset.exec();
    if (plain.error)
        std::rethrow_exception(plain.error);
    if (plain.succeeded) {
        showInfo(QStringLiteral("The controller answered the reset."));
        return;
    }
    if (plain.cancelled
        || !offerResetWithUpdater(TControllerReset::UnansweredText
                                  + QStringLiteral("\r\n\r\nReset it with its updater? The daemon is stopped and the "
                                                   "updater started, the controller reset, then the updater stopped "
                                                   "and the daemon started again.")))
        return;
    TControllerReset bracketed(m_engine, deviceTarget(), TControllerReset::Mode::WithUpdater, m_timing);
    watch(bracketed, {UpgradeControlLabel, ReadConfigLabel});
    connect(&bracketed, &TDeviceOperation::phaseChanged, this, &TUpgradeDialog::showConfigStatus);
    const TOperationOutcome outcome = bracketed.exec();
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    if (outcome.succeeded)
        showInfo(QStringLiteral("The controller answered the reset; the daemon runs again."));
    else if (!outcome.cancelled)
        showError(outcome.message + (outcome.detail.isEmpty() ? QString() : QStringLiteral("\r\n") + outcome.detail));
}

void TUpgradeDialog::showConfigStatus(const QString &label)
{
    ReadConfigLabel->setText(label);
    ReadConfigLabel->show();
}
