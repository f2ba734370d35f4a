#pragma once
// TUpgradeDialog: the maintenance window of one device, created once at start and
// reused; its controls are built the first time it is shown. Page "Upgrade": the
// communication board's and the controller's firmware. Page "Config": the controller's
// configuration, diagnostics and logs.
//
// The window only shows, asks and calls: each operation is a device operation of the
// operations library (controlleroperations.h, boardupgrade.h), run while the window keeps
// handling its events. This file holds the window and what its pages share; the pages'
// handlers live in upgradecom.cpp, upgradecontrol.cpp and upgradeconfig.cpp.

#include "operations/controlleroperations.h"
#include "operations/deviceoperation.h"
#include "protocol/datagramengine.h"

#include <QByteArray>
#include <QDialog>
#include <QElapsedTimer>
#include <QString>

#include <functional>

class QAction;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QToolBar;
class TFileNameEdit;
class TIPEdit;

class TUpgradeDialog : public QDialog
{
    Q_OBJECT
public:
    // Waits of the operations, injectable so that tests can shorten them.
    using Timing = TOperationTiming;

    TUpgradeDialog(TDatagramEngine *serveur, QWidget *mainWindow);
    TUpgradeDialog(TDatagramEngine *serveur, QWidget *mainWindow, const Timing &timing);
    ~TUpgradeDialog() override;

    // ---- Controls, by the window's own names ----
    QTabWidget *PageControl = nullptr;
    QWidget *TabSheet1 = nullptr; // "Upgrade"
    QWidget *TabSheet2 = nullptr; // "Config"
    QGroupBox *GroupBox3 = nullptr;
    QLabel *Label2 = nullptr;
    TIPEdit *UpgradeIP = nullptr;
    QGroupBox *GroupBox1 = nullptr;
    QLabel *Label1 = nullptr;
    TFileNameEdit *UpgradeComFile = nullptr;
    QLabel *UpgradeComLabel = nullptr;
    QProgressBar *UpgradeComProgressBar = nullptr;
    QPushButton *UpgradeComBtn = nullptr;
    QGroupBox *GroupBox2 = nullptr;
    QLabel *Label3 = nullptr;
    TFileNameEdit *UpgradeControlFile = nullptr;
    QLabel *UpgradeControlLabel = nullptr;
    QProgressBar *UpgradeControlProgressBar = nullptr;
    QPushButton *UpgradeControlBtn = nullptr;
    QPushButton *CancelBtn = nullptr;
    QToolBar *ToolBar = nullptr;
    QAction *OpenButton = nullptr;
    QAction *SaveButton = nullptr;
    QAction *ReadConfigBtn = nullptr;
    QAction *WriteConfigBtn = nullptr;
    QAction *ReadLogsBtn = nullptr;
    QAction *EraseLogsBtn = nullptr;
    QAction *ResetBtn = nullptr;
    QAction *DiagnoseBtn = nullptr;
    QLabel *ReadConfigLabel = nullptr;
    QPlainTextEdit *Memo = nullptr;

    // ---- State ----
    QString DeviceIP;
    quint8 DeviceTransport = 1;

    // ---- The window ----
    // The controls above are built when the window is first shown, so that the program's
    // start does not pay for a window the technician may never open. Code that works the
    // controls of a window that was never shown (tests, tools) calls this first.
    void CreateControls();
    void setVisible(bool visible) override;
    // Shows the window modally for the device (the main window's selected one); nothing for null.
    void OpenForDevice(const TDeviceRecord *device);
    // The main window's listed device at an address, whose type a library image must fit; null
    // when none is. Set by the opener.
    std::function<const TDeviceRecord *(const QString &ip)> findListedDevice = [](const QString &) {
        return static_cast<const TDeviceRecord *>(nullptr);
    };
    void FormShow();
    void UpdateButtons();
    void DisableConfigControls();
    void EnableConfigControls();

    // The device the window was opened for, as the operations take it.
    TDeviceTarget deviceTarget() const { return {DeviceIP, DeviceTransport}; }

    // ---- Communication board upgrade (upgradecom.cpp) ----
    // Uploads the image of UpgradeComFile to the board's FTP server under its bare name, then
    // has the board stop that server and upgrade itself from the file. An FTP error leaves the
    // window restored and escapes to the general error handler.
    void UpgradeComBtnClick();
    // The progress of the upload's data transfer; its end closes the window.
    void FTPWorkBegin(qint64 total);
    void FTPWork(qint64 done);
    void FTPWorkEnd();

private:
    // QProgressBar counts in int: a larger file is shown in units of 2^shift bytes.
    int m_ftpProgressShift = 0;

public:
    // ---- Controller firmware upgrade (upgradecontrol.cpp) ----
    // Writes the image of UpgradeControlFile from address 0, reads it back, compares, and
    // takes the controller into update mode, inside the daemon/updater bracket.
    void UpgradeControlBtnClick();
    // The verify message for a read-back that differs from the image; empty when they are equal.
    static QString verifyErrorText(QByteArrayView image, QByteArrayView readBack)
    {
        return VerifyErrorText(image, readBack);
    }

    // True while an operation runs; a close asked for meanwhile waits for its end.
    bool IsBusy() const { return m_busy > 0; }
    bool CloseRequested() const { return m_closeRequested; }

    // ---- What the operations show; tests replace these ----
    // The firmware warning: returns the dialog's result (6 = "Upgrade").
    std::function<int()> runWarning;
    // An error message box of the program ("Erreur", one OK button).
    std::function<void(const QString &message)> showError;
    // An information box ("Information", one OK button).
    std::function<void(const QString &message)> showInfo;
    // After a plain reset went unanswered: whether to reset inside the updater bracket instead.
    std::function<bool(const QString &question)> offerResetWithUpdater;

    const Timing &timing() const { return m_timing; }
    TDatagramEngine *serveur() const { return m_engine; }

    void reject() override;

protected:
    void showEvent(QShowEvent *event) override;

    // Keeps the window open and the controls of an operation disabled while it runs.
    class BusyScope
    {
    public:
        explicit BusyScope(TUpgradeDialog &form);
        ~BusyScope();
        BusyScope(const BusyScope &) = delete;
        BusyScope &operator=(const BusyScope &) = delete;

    private:
        TUpgradeDialog &m_form;
    };
    // An operation of the Upgrade page: the hourglass while it runs, and in every case its
    // status line emptied and hidden, the cursor and the buttons back at its end.
    class UpgradePageOperation
    {
    public:
        UpgradePageOperation(TUpgradeDialog &form, QLabel *statusLine);
        ~UpgradePageOperation();
        UpgradePageOperation(const UpgradePageOperation &) = delete;
        UpgradePageOperation &operator=(const UpgradePageOperation &) = delete;

    private:
        QLabel *m_statusLine;
        BusyScope m_busy;
    };
    // Shows an operation's steps in the given status lines, its send failures as the engine's
    // message, and hands its confirmation to the firmware warning.
    void watch(TDeviceOperation &operation, const QList<QLabel *> &stepLines);
    // The outcome's message, if any, then its error, if any, on to the general handler.
    void report(const TOperationOutcome &outcome);

private:
    void buildUpgradePage();
    void buildConfigPage();
    void setControlProgress(qint64 done);
    // Each operation connects its own buttons (upgradecom.cpp, upgradecontrol.cpp, upgradeconfig.cpp).
    void connectOperations();

    static constexpr int ProgressPaintIntervalMs = 40;
    QElapsedTimer m_progressPaint;

    TDatagramEngine *m_engine;
    QWidget *m_mainWindow;
    Timing m_timing;
    int m_busy = 0;
    bool m_closeRequested = false;

    // ---- Configuration, diagnostics and logs (upgradeconfig.cpp) ----
public:
    // The transfer area holds a 4-byte length word, then the text, within the bus's 24-bit space.
    static constexpr quint32 MaxConfigTextSize = ::MaxConfigTextSize;

    void OpenButtonClick();
    void SaveButtonClick();
    // The filter of the Open and Save dialogs.
    static QString configFilter();
    void ReadConfigBtnClick();
    void DiagnoseBtnClick();
    void WriteConfigBtnClick();
    void ReadLogsBtnClick();
    void EraseLogsBtnClick();
    void ResetBtnClick();
    // The open and save dialogs: the chosen file, empty when cancelled. Unset, the standard
    // dialogs are shown.
    std::function<QString()> chooseOpenFile;
    std::function<QString()> chooseSaveFile;

private:
    // Controls off, the operation (the daemon/updater bracket around its work, after the
    // warning when it asks for one), its failure message unless all went well, controls on.
    // Each text it reads goes to onText.
    void runConfigOperation(TControllerBracketOperation &operation,
                            const std::function<void(const QByteArray &text)> &onText = {});
    void showConfigStatus(const QString &label);
    // What the log operations do with each block read.
    std::function<void(const QByteArray &block)> logLines();
};
