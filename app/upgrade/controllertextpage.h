#pragma once
// The upgrade window's "Config" page: the controller's configuration in the editor and in ".cfg"
// files, its diagnostics and logs, and its reset.
//
// Configuration, diagnostics and each log block pass through the same transfer area of
// controller memory, chosen by the command sent before: a big-endian length word at 0, then the
// text at 4.

#include "fleet/jobs/job.h"
#include "operations/controlleroperations.h"

#include <QWidget>

#include <functional>

class QAction;
class QLabel;
class QPlainTextEdit;
class QToolBar;
class TUpgradeDialog;

class TControllerTextPage : public QWidget
{
    Q_OBJECT
public:
    explicit TControllerTextPage(TUpgradeDialog &dialog, QWidget *parent = nullptr);

    QToolBar *toolBar = nullptr;
    QAction *openAction = nullptr;
    QAction *saveAction = nullptr;
    QAction *readConfigAction = nullptr;
    QAction *writeConfigAction = nullptr;
    QAction *readLogsAction = nullptr;
    QAction *eraseLogsAction = nullptr;
    QAction *resetAction = nullptr;
    QAction *diagnoseAction = nullptr;
    QLabel *statusLabel = nullptr;
    QPlainTextEdit *editor = nullptr;

    // The transfer area holds a 4-byte length word, then the text, within the bus's 24-bit space.
    static constexpr quint32 MaxConfigTextSize = ::MaxConfigTextSize;
    // The filter of the Open and Save dialogs.
    static QString configFilter();

    void openFile();
    void saveFile();
    void readConfiguration();
    void readDiagnostics();
    void writeConfiguration();
    void readLogs();
    void eraseLogs();
    void reset();
    // The operation buttons off (and the hourglass) while an operation runs; on again after.
    void disableControls();
    void enableControls();

    // The open and save dialogs: the chosen file, empty when cancelled. Unset, the standard
    // dialogs are shown.
    std::function<QString()> chooseOpenFile;
    std::function<QString()> chooseSaveFile;

private:
    void buildToolBar();
    // Controls off, a job of one item on the device (the daemon/updater bracket around its work,
    // after the warning unless `confirmed`), what it read into the editor, its failure message
    // unless all went well (declinedText when the warning was declined), controls on. Returns the
    // item as it ended.
    TJobItemStatus runOperation(TJobAction action, bool confirmed, const std::optional<QByteArray> &text = {},
                                const QString &declinedText = {});
    void showStatus(const QString &label);

    TUpgradeDialog &m_dialog;
};
