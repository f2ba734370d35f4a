#pragma once
// The batches of the main window: the Device menu's items that work on every selected device
// (upgrade controllers or boards, back up configurations, reset), one warning for all, the Status
// column with each device's state as the job tells it, Stop and Retry failed. A device of a running
// batch gets no other operation from the window. Every batch is a job of the window's job service,
// which this feature holds for the whole window (the upgrade window, snapshots, DropBear).

#include "fleet/jobs/jobservice.h"

#include <QHash>
#include <QObject>
#include <QPointer>

#include <functional>

class QAction;
class TMainWindow;
class TOperationJournal;

// The options of the window's jobs (tests shorten them), and the history the confirmations of
// upgrades are written to.
struct TBatchOptions : TJobOptions
{
    const TOperationJournal *journal = nullptr;
};

class TBatchFeature : public QObject
{
    Q_OBJECT
public:
    explicit TBatchFeature(TMainWindow *form);
    ~TBatchFeature() override;

    QAction *UpgradeControllerAction = nullptr;
    QAction *UpgradeBoardAction = nullptr;
    QAction *BackUpAction = nullptr;
    QAction *ResetAction = nullptr;
    QAction *ResetWithUpdaterAction = nullptr;
    QAction *RetryAction = nullptr;
    QAction *StopAction = nullptr;

    TBatchOptions batchOptions;
    // The image file of an upgrade; tests replace it.
    std::function<QString(const QString &title, const QString &filter)> chooseOpenFile;
    // The one warning of a batch (and of a configuration written back); true to go on.
    std::function<bool(const QString &text, const QString &file, const QStringList &devices, const QString &action)>
        confirmBatch;

    // The window's one job service, made at its first use with the history set by then.
    TJobService *jobService();
    // The last batch's job; null before the first.
    TJob *batch() const { return m_batch; }
    bool batchRunning() const;
    // The Status column's text for a device: its state in the last batch, if it was in it.
    QString statusFor(const TDeviceRecord &device) const;

    // The window tells each change of its list.
    void deviceRowShown(int index);
    void listReset();

    // The file chosen and the warning confirmed here; then startBatch.
    void runBatch(TJobAction action);
    // A batch over the devices given, the file chosen and the warning confirmed by the caller.
    void startBatch(TJobAction action, const QList<TDeviceRecord> &devices, const QString &file);
    // A job of the caller's own items (confirmed by the caller), shown as a batch.
    TJob *startJob(const QList<TJobItem> &items);
    void retryFailed();
    void stopBatch();

private:
    void updateActions();
    void showStatus(int index);
    void showItemStatus(int itemIndex);
    void batchFinished();
    // "Controller upgrade: 37 succeeded, 3 failed": the last batch's counts in the status bar.
    void showSummary();
    void setDeviceButtonsEnabled(bool enabled);
    // Items the retry would leave out: they did not succeed, but may have changed their device.
    int changedFailures() const;
    // "; 1 left out of the retry: ...": after a retry, what it did not take and why.
    QString leftOutText() const;

    TMainWindow *m_form;
    TJobService *m_service = nullptr;
    QPointer<TJob> m_batch;
    int m_leftOutOfRetry = 0; // the last retry's items left out
    // The Status text by the device's address record, and its colour; a device may hold two
    // items (controller and board): its row shows the one that changed last.
    QHash<quint64, QString> m_statusByDevice;
    QHash<quint64, int> m_toneByDevice;
    // Where each device of the batch was last shown (index into the window's devices()), kept as rows are
    // shown, sorted and cleared: a progress event never walks the list.
    QHash<quint64, int> m_rowOfDevice;
};
