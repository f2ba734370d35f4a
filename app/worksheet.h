#pragma once
// TWorksheet: the main window's work on many devices at once. A filter above the list (Ctrl+F),
// several rows selected, a count in the status bar; the batch operations over the selection with
// a Status column; the list exported as CSV or JSON; the operation history. The window keeps its own single-device actions; this class only adds.

#include "batchrun.h"

#include <QObject>
#include <QHash>
#include <QTimer>

#include <functional>
#include <memory>

class QAction;
class QDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSettings;
class TFormMain;
class TOperationJournal;

class TWorksheet : public QObject
{
    Q_OBJECT
public:
    explicit TWorksheet(TFormMain *form);
    ~TWorksheet() override;

    QLineEdit *FilterEdit = nullptr;
    QLabel *CountLabel = nullptr;
    QMenu *DeviceMenu = nullptr;
    QAction *ExportAction = nullptr;
    QAction *HistoryAction = nullptr;
    QAction *NetworkCheckAction = nullptr;
    QPushButton *NetworkCheckOffer = nullptr; // in the status bar after a scan that found nothing (made then)
    QAction *UpgradeControllerAction = nullptr;
    QAction *UpgradeBoardAction = nullptr;
    QAction *BackUpAction = nullptr;
    QAction *ResetAction = nullptr;
    QAction *ResetWithUpdaterAction = nullptr;
    QAction *RetryAction = nullptr;
    QAction *StopAction = nullptr;

    // The window tells each change of its list.
    void deviceRowShown(int index);
    void listReset();
    // The Status column's text for a device: its outcome in the last batch, if it was in it.
    QString statusFor(const TEPS &device) const;
    void scanEnded();
    // At the end of the next scan, the devices at these addresses that answered are selected (the
    // devices of operations that never finished, for a batch over them).
    void selectAfterScan(const QStringList &ips);

    TBatchRun *batch() const { return m_batch.get(); }
    bool batchRunning() const;
    // The timings, jobs and folders of the batches (tests shorten them).
    TBatchRun::Options batchOptions;
    void setJournal(const TOperationJournal *journal);
    // What the history says about the device's SSH toggles ("SSH toggled 3 times since ..."), read
    // on a worker so that a long history never holds the window; done runs on the window's thread,
    // and not at all once context is gone.
    void readSshToggleText(const TEPS &device, QObject *context, std::function<void(const QString &text)> done) const;

    // Dialog hooks; tests replace them.
    std::function<QString(const QString &title, const QString &filter)> chooseOpenFile;
    std::function<QString(const QString &title, const QString &filter)> chooseSaveFile;
    // The one warning of a batch; true to go on.
    std::function<bool(const QString &text, const QString &file, const QStringList &devices, const QString &action)>
        confirmBatch;
    std::function<void(QDialog *dialog)> showDialog;

    void restoreSettings(QSettings &settings);
    void saveSettings(QSettings &settings) const;

    void applyFilter();
    void exportList();
    void runBatch(TBatchRun::Kind kind);
    // A batch over the devices given, the file chosen and the warning confirmed by the caller.
    void startBatch(TBatchRun::Kind kind, const QList<TEPS> &devices, const QString &file);
    QList<TEPS> selection() const { return selectedDevices(); }
    // A word the filter takes as a test of its own ("firmware:outdated"), case ignored.
    void addFilterWord(const QString &word, std::function<bool(const TEPS &device)> matches);
    void retryFailed();
    void stopBatch();
    void showHistory();

private:
    QList<TEPS> selectedDevices() const;
    void offerNetworkCheck();
    void showStatus(int index);
    void showBatchStatus(int batchIndex);
    void updateCount();
    void updateActions();
    void batchFinished();
    bool matchesFilter(const TEPS &device, const QString &filter) const;
    void showMessage(const QString &message);

    TFormMain *m_form;
    std::unique_ptr<TBatchRun> m_batch;
    QHash<quint64, QString> m_statusByDevice; // the Status text by the device's address record
    QHash<quint64, TBatchRun::Tone> m_toneByDevice; // and its colour
    // Where each device of the batch was last shown (index into DeviceList), kept as rows are
    // shown, sorted and cleared: a progress event never walks the list.
    QHash<quint64, int> m_rowOfDevice;
    QStringList m_selectAfterScan;
    QHash<QString, std::function<bool(const TEPS &)>> m_filterWords; // by the word in lower case
    const TOperationJournal *m_journal = nullptr;
    QTimer m_countTimer;
};
