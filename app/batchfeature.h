#pragma once
// The batches of the main window: the Device menu's items that work on every selected device
// (upgrade controllers or boards, back up configurations, reset), one warning for all, the Status
// column with each device's outcome as it comes, Stop and Retry failed. A device of a running
// batch gets no other operation from the window.

#include "fleet/jobs/batchrun.h"

#include <QHash>
#include <QObject>

#include <functional>
#include <memory>

class QAction;
class TMainWindow;

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

    // The timings, jobs, folders, history and library of the batches (tests shorten them).
    TBatchRun::Options batchOptions;
    // The image file of an upgrade; tests replace it.
    std::function<QString(const QString &title, const QString &filter)> chooseOpenFile;
    // The one warning of a batch (and of a configuration written back); true to go on.
    std::function<bool(const QString &text, const QString &file, const QStringList &devices, const QString &action)>
        confirmBatch;

    TBatchRun *batch() const { return m_batch.get(); }
    bool batchRunning() const;
    // The Status column's text for a device: its outcome in the last batch, if it was in it.
    QString statusFor(const TDeviceRecord &device) const;

    // The window tells each change of its list.
    void deviceRowShown(int index);
    void listReset();

    // The file chosen and the warning confirmed here; then startBatch.
    void runBatch(TBatchRun::Kind kind);
    // A batch over the devices given, the file chosen and the warning confirmed by the caller.
    void startBatch(TBatchRun::Kind kind, const QList<TDeviceRecord> &devices, const QString &file);
    void retryFailed();
    void stopBatch();

private:
    void updateActions();
    void showStatus(int index);
    void showBatchStatus(int batchIndex);
    void batchFinished();
    void setDeviceButtonsEnabled(bool enabled);

    TMainWindow *m_form;
    std::unique_ptr<TBatchRun> m_batch;
    QHash<quint64, QString> m_statusByDevice;       // the Status text by the device's address record
    QHash<quint64, TBatchRun::Tone> m_toneByDevice; // and its colour
    // Where each device of the batch was last shown (index into the window's devices()), kept as
    // rows are shown, sorted and cleared: a progress event never walks the list.
    QHash<quint64, int> m_rowOfDevice;
};
