#pragma once
// TUpgradeDialog: the maintenance window of one device, created once at start and reused; its
// controls are built the first time it is shown. Page "Upgrade": the communication board's and
// the controller's firmware, a panel each. Page "Config": the controller's configuration,
// diagnostics and logs.
//
// The dialog holds its pages, the device they work on, what they share (one operation at a
// time, a close asked for meanwhile, the boxes it shows) and nothing else: each page is a widget
// of its own (boardupgradepanel.h, controllerupgradepanel.h, controllertextpage.h). Every
// operation is a job of one item on the window's device, asked of the main window's job service.

#include "fleet/jobs/jobservice.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QGroupBox;
class QLabel;
class QPushButton;
class QTabWidget;
class TJob;
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

    // jobs: the main window's service (none: the buttons do nothing); mainWindow: the window it is
    // centred over, whose status bar hears whether an upgraded device answered again.
    TUpgradeDialog(TJobService *jobs, QWidget *mainWindow);
    TUpgradeDialog(TJobService *jobs, QWidget *mainWindow, const Timing &timing);
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
    // The device's discovery record, when the window was opened for a listed device: its type is
    // what the job checks a library image against.
    std::optional<TDeviceRecord> deviceRecord;

    // ---- The window ----
    // The controls above are built when the window is first shown, so that the program's
    // start does not pay for a window the technician may never open. Code that works the
    // controls of a window that was never shown (tests, tools) calls this first.
    void CreateControls();
    void setVisible(bool visible) override;
    // Shows the window modally for the device (the main window's selected one); nothing for null.
    void OpenForDevice(const TDeviceRecord *device);
    // Centred over the main window, its buttons set.
    void centreOverMainWindow();
    void UpdateButtons();

    // The device the window was opened for, as the operations take it.
    TDeviceTarget deviceTarget() const { return {DeviceIP, DeviceTransport}; }
    // As a job takes it: with its record when it is the window's device.
    TJobDevice jobDevice() const;

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

    // The options of the window's jobs (tests shorten the waits, name a library folder).
    TJobOptions jobOptions;
    const Timing &timing() const { return jobOptions.timing; }
    TJobService *jobService() const { return m_jobs; }
    TDatagramEngine *engine() const { return m_jobs ? m_jobs->engine() : nullptr; }

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
    // A job of one item on the window's device, not started: the firmware warning answers its
    // confirmation unless `confirmed`, its steps show in the given status lines, and its send
    // failures as the engine's message. Null without a job service.
    std::unique_ptr<TJob> makeJob(TJobAction action, const QList<QLabel *> &stepLines, bool confirmed,
                                  const QString &file = {}, const std::optional<QByteArray> &text = {});
    // Starts the job and handles the window's events until its item's operation has ended (or the
    // job, when it never got that far); an upgrade's device is then still being looked for. The
    // job is kept until it has ended, and an upgrade's verdict told in the main window's status bar.
    TJobItemStatus runUntilOperationEnded(std::unique_ptr<TJob> job);
    // What the page shows of a failure: the operation's message (the job's words when it refused
    // the item before its first request); empty when there is nothing to show.
    static QString failureText(const TJobItemStatus &status);
    // That failure, if any, then the operation's error, if any, on to the general handler.
    void report(const TJobItemStatus &status);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void buildUpgradePage();
    // The job ended after its operation: an upgrade's verdict told, the job released.
    void jobEnded(TJob *job);

    TJobService *m_jobs;
    QWidget *m_mainWindow;
    int m_busy = 0;
    bool m_closeRequested = false;
};
