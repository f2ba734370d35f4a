#pragma once
// TMainWindow: the main window with its device grid, the scan cycle and the device actions.

#include "app/properties/dialogsbytype.h"
#include "protocol/datagramengine.h"
#include "protocol/devicerecord.h"

#include <QElapsedTimer>
#include <QMainWindow>

#include <functional>

class QAction;
class QLabel;
class QMenu;
class QProgressBar;
class QStatusBar;
class QTimer;
class QToolBar;
class QToolButton;
class TBatchFeature;
class TFirmwareFeature;
class TSiteFeature;
class TSnapshotFeature;
class TStringGrid;
class TWatchFeature;
class TWorksheet;

class TMainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit TMainWindow(const TDatagramEngine::Options &engineOptions = {}, QWidget *parent = nullptr);
    ~TMainWindow() override;

    static constexpr int ColumnCount = 6;   // the device columns
    static constexpr int StatusColumn = 6;  // a batch's outcome per device, shown by the first batch
    static constexpr int AdapterColumn = 7; // the PC's adapter that heard the device, shown once there are two
    // Columns that features fill through setColumnText and show when they have something to say.
    static constexpr int SiteColumn = 8;      // found, missing, unexpected, moved, different firmware
    static constexpr int LastSeenColumn = 9;  // when a watched device last answered
    static constexpr int FirmwareColumn = 10; // the device's firmware against the library
    static constexpr int GridColumnCount = 11;

    // Components, by the window's own names.
    QMenu *FileMenu = nullptr;
    QMenu *HelpMenu = nullptr;
    QAction *ScanMenu = nullptr;
    QAction *ExitMenu = nullptr;
    QAction *AboutMenu = nullptr;
    QToolBar *ToolBar1 = nullptr;
    QToolButton *ScanButton = nullptr;
    QToolButton *PropertiesButton = nullptr;
    TStringGrid *StringGrid = nullptr;
    QStatusBar *StatusBar = nullptr;
    QTimer *Timer = nullptr;
    QProgressBar *ProgressBar = nullptr;
    QToolButton *UpgradeButton = nullptr;
    QAction *PropertiesMenu = nullptr;
    QMenu *PopupMenu = nullptr;
    QAction *PropertiesPopup = nullptr;
    QAction *N4 = nullptr;
    QAction *UpgradePopup = nullptr;
    QToolButton *DropBearButton = nullptr;
    QMenu *ScanPopupMenu = nullptr;
    QAction *ScanPopupmenuItem = nullptr;
    QAction *tutu1 = nullptr;
    // Many devices at once: filter, selection, the Device menu, export, history.
    TWorksheet *Worksheet = nullptr;
    // The batches over the selection and their Status column.
    TBatchFeature *Batches = nullptr;
    // The current device's configuration against its snapshots: compare, restore.
    TSnapshotFeature *Snapshots = nullptr;
    // The site's expected devices (File > Open site...) and the live list (Scan > Watch).
    TSiteFeature *Site = nullptr;
    TWatchFeature *Watch = nullptr;
    // The firmware library, the Firmware column, Bring selected up to date, the visit report.
    TFirmwareFeature *Firmware = nullptr;
    // The column the list was last sorted by (-1: none); the list is sorted by it again after a scan.
    int sortColumn = -1;

    TDatagramEngine *engine() const { return m_engine; }

    // The listed devices, in order of first reply: grid row index + 1 shows devices()[index].
    QList<TDeviceRecord> &devices() { return m_devices; }
    const QList<TDeviceRecord> &devices() const { return m_devices; }
    // The index into devices() of the device selected in the grid; a row past the list (a site's
    // missing device) gives an index outside it.
    int selectedDevice() const { return m_selectedDevice; }
    void setSelectedDevice(int index) { m_selectedDevice = index; }
    // The selected device; null when the selection is outside the list.
    const TDeviceRecord *selectedRecord() const;
    // The listed device at that address; null when none is.
    const TDeviceRecord *findDevice(const QString &ip) const;
    // The properties window each device type opens.
    TPropertiesDialogsByType &propertiesDialogs() { return m_propertiesDialogs; }
    int TimerTag() const { return m_timerTag; }

    // Handlers.
    void Scan();
    // The scan without clearing the list first: Scan > Watch's later scans, where a device that stops
    // answering keeps its row.
    void ScanKeepingList();
    void TimerTimer();
    void ResetGrid();
    void FitLastColumn();
    void Quit();
    void Search();
    void Properties();
    void UpgradeButtonClick();
    void AboutMenuClick();
    void StringGridSelectCell(int column, int row);
    void StringGridDrawCell();
    // A double-click on the header row sorts the list by that column.
    void StringGridDblClick(int column, int row);
    void StringGridContextPopup(const QPoint &viewportPoint, bool byMouse);
    void DropBearButtonClick();
    quint8 LastDropBearResult() const { return DropBearResult; }

    void DecodeDiscoveryReply(const QString &peerIp, int peerPort, const char *data, int length, bool refresh,
                              bool viaDatagram);
    void ShowDeviceRow(int index);
    static QString MacToText(const QString &separator, quint64 value);
    // Shows a hidden column (Status, Adapter) at the width given; the last shown one fills the window.
    void showColumn(int column, int width);
    // The text of one of the feature columns for a device; rows are filled again by RefreshRows().
    void setColumnText(int column, std::function<QString(const TDeviceRecord &device)> text);
    void RefreshRows();

    // The one-line input box of Search; tests replace it.
    std::function<bool(QString *text)> askAddress;
    // The program's error box ("Erreur"); tests replace it.
    std::function<void(const QString &message)> showError;
    // What Upgrade / Config opens; set once the upgrade window exists.
    std::function<void()> openUpgradeWindow;

    QMenu *createPopupMenu() override;

    // Asks whether to stop the running operations when the window is closed; true goes on.
    std::function<bool(const QString &question)> askToStopOperations;

signals:
    // A discovery reply was merged into devices() at index.
    void deviceReplied(int index);
    // A scan (the broadcast's cycle or a range sweep) has ended.
    void scanEnded();

protected:
    void resizeEvent(QResizeEvent *event) override;
    // With operations running, asks first; after Yes every one is stopped and its device put back,
    // and the window closes once they all have ended.
    void closeEvent(QCloseEvent *event) override;

private:
    void FormCreate(const TDatagramEngine::Options &engineOptions);
    void buildComponents();
    void setDeviceActionsEnabled(bool enabled);
    void fitColumnsTo(int row);
    QString sharedText(const QString &text);
    TDeviceReplyEvent discoveryHandler();

    TDatagramEngine *m_engine = nullptr;
    bool m_deviceActionsWanted = false; // what the list allows, before a busy device is taken out
    bool m_closeWhenStopped = false;
    bool m_quitWhenClosed = false; // Quit, rather than the window's close button
    int m_timerTag = 0;
    int m_drainTicks = 0;       // ticks the scan's end has waited for replies still coming in
    QElapsedTimer m_sinceReply; // since the last discovery reply was merged (invalid: none yet)
    quint8 DropBearResult = 0;
    QList<quint32> m_adapters; // the adapters the listed devices were heard through
    QList<TDeviceRecord> m_devices;
    int m_selectedDevice = 0;
    TDeviceIndex m_deviceIndex; // m_devices by address record
    TPropertiesDialogsByType m_propertiesDialogs;
    QHash<QString, QString> m_sharedTexts;
    QHash<int, std::function<QString(const TDeviceRecord &)>> m_columnTexts;
};
