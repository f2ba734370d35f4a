#pragma once
// TUpgradeDialog: the maintenance window of one device, created once at start and reused; its
// controls are built the first time it is shown. Page "Upgrade": the communication board's and
// the controller's firmware, a panel each. Page "Config": the controller's configuration,
// diagnostics and logs.
//
// The dialog holds its pages, the device they work on, what they share (one operation at a
// time, a close asked for meanwhile, the boxes it shows) and nothing else: each page is a widget
// of its own (boardupgradepanel.h, controllerupgradepanel.h, controllertextpage.h).

#include "operations/controlleroperations.h"
#include "operations/deviceoperation.h"
#include "protocol/datagramengine.h"

#include <QDialog>
#include <QString>

#include <functional>

class QGroupBox;
class QLabel;
class QPushButton;
class QTabWidget;
class TBoardUpgradePanel;
class TControllerTextPage;
class TControllerUpgradePanel;
class TIPEdit;

class TUpgradeDialog : public QDialog
{
    Q_OBJECT
public:
    // Waits of the operations, injectable so that tests can shorten them.
    using Timing = TOperationTiming;

    TUpgradeDialog(TDatagramEngine *engine, QWidget *mainWindow);
    TUpgradeDialog(TDatagramEngine *engine, QWidget *mainWindow, const Timing &timing);
    ~TUpgradeDialog() override;

    // ---- Controls ----
    QTabWidget *pages = nullptr;
    QWidget *upgradeTab = nullptr;      // "Upgrade"
    QGroupBox *parametersGroup = nullptr;
    QLabel *ipLabel = nullptr;
    TIPEdit *ipEdit = nullptr;
    TBoardUpgradePanel *boardPanel = nullptr;
    TControllerUpgradePanel *controllerPanel = nullptr;
    QPushButton *cancelButton = nullptr;
    TControllerTextPage *configPage = nullptr; // "Config"

    // ---- State ----
    QString DeviceIP;
    quint8 DeviceTransport = 1;

    // ---- The window ----
    // The controls above are built when the window is first shown, so that the program's
    // start does not pay for a window the technician may never open. Code that works the
    // controls of a window that was never shown (tests, tools) calls this first.
    void CreateControls();
    void setVisible(bool visible) override;
    // Shows the window modally for DeviceList[SelectedDevice]; nothing when the list is empty.
    void OpenForDevice();
    // Centred over the main window, its buttons set.
    void centreOverMainWindow();
    void UpdateButtons();

    // The device the window was opened for, as the operations take it.
    TDeviceTarget deviceTarget() const { return {DeviceIP, DeviceTransport}; }

    // True while an operation runs; a close asked for meanwhile waits for its end.
    bool IsBusy() const { return m_busy > 0; }
    bool CloseRequested() const { return m_closeRequested; }
    // A failed upgrade keeps the window open on its message, though its upload asked to close it.
    void keepOpen() { m_closeRequested = false; }

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
    TDatagramEngine *engine() const { return m_engine; }

    void reject() override;

    // Keeps the window open and the controls of an operation disabled while it runs.
    class BusyScope
    {
    public:
        explicit BusyScope(TUpgradeDialog &dialog);
        ~BusyScope();
        BusyScope(const BusyScope &) = delete;
        BusyScope &operator=(const BusyScope &) = delete;

    private:
        TUpgradeDialog &m_dialog;
    };
    // An operation of the Upgrade page: the hourglass while it runs, and in every case its
    // status line emptied and hidden, the cursor and the buttons back at its end.
    class UpgradePageOperation
    {
    public:
        UpgradePageOperation(TUpgradeDialog &dialog, QLabel *statusLine);
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

protected:
    void showEvent(QShowEvent *event) override;

private:
    void buildUpgradePage();

    TDatagramEngine *m_engine;
    QWidget *m_mainWindow;
    Timing m_timing;
    int m_busy = 0;
    bool m_closeRequested = false;
};
