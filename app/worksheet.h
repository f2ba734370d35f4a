#pragma once
// TWorksheet: the main window's work on many devices at once. A filter above the list (Ctrl+F),
// several rows selected, a count in the status bar; the Device menu (the window's own device
// actions by keyboard, then the features' items); the list exported as CSV or JSON; the network
// check and the operation history. The window keeps its own single-device actions; this class
// only adds.

#include "protocol/devicerecord.h"

#include <QHash>
#include <QObject>
#include <QTimer>

#include <functional>

class QAction;
class QDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSettings;
class TMainWindow;
class TOperationJournal;

class TWorksheet : public QObject
{
    Q_OBJECT
public:
    explicit TWorksheet(TMainWindow *form);
    ~TWorksheet() override;

    QLineEdit *FilterEdit = nullptr;
    QLabel *CountLabel = nullptr;
    QMenu *DeviceMenu = nullptr;
    QAction *ExportAction = nullptr;
    QAction *HistoryAction = nullptr;
    QAction *NetworkCheckAction = nullptr;
    QPushButton *NetworkCheckOffer = nullptr; // in the status bar after a scan that found nothing (made then)

    // The window tells each change of its list.
    void deviceRowShown(int index);
    void listReset();
    void scanEnded();
    // At the end of the next scan, the devices at these addresses that answered are selected (the
    // devices of operations that never finished, for a batch over them).
    void selectAfterScan(const QStringList &ips);

    // The history the worksheet shows and the batches write.
    void setJournal(const TOperationJournal *journal);
    // What the history says about the device's SSH toggles ("SSH toggled 3 times since ..."), read
    // on a worker so that a long history never holds the window; done runs on the window's thread,
    // and not at all once context is gone.
    void readSshToggleText(const TDeviceRecord &device, QObject *context, std::function<void(const QString &text)> done) const;

    // Dialog hooks; tests replace them.
    std::function<QString(const QString &title, const QString &filter)> chooseSaveFile;
    std::function<void(QDialog *dialog)> showDialog;

    void restoreSettings(QSettings &settings);
    void saveSettings(QSettings &settings) const;

    void applyFilter();
    void exportList();
    // The devices of the selected rows, in the list's order.
    QList<TDeviceRecord> selection() const;
    // A word the filter takes as a test of its own ("firmware:outdated"), case ignored.
    void addFilterWord(const QString &word, std::function<bool(const TDeviceRecord &device)> matches);
    void showHistory();

private:
    void offerNetworkCheck();
    void updateCount();
    void updateActions();
    bool matchesFilter(const TDeviceRecord &device, const QString &filter) const;
    void showMessage(const QString &message);

    TMainWindow *m_form;
    QStringList m_selectAfterScan;
    QHash<QString, std::function<bool(const TDeviceRecord &)>> m_filterWords; // by the word in lower case
    const TOperationJournal *m_journal = nullptr;
    QTimer m_countTimer;
};
