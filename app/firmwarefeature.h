#pragma once
// The firmware library and the visit report in the main window: File > Firmware library... and
// File > Visit report..., the list's Firmware column (each device against the library) with the
// filter word firmware:outdated, and Device > Bring selected up to date: the library's newest image
// of each selected device's type, one warning for all, then one job of every upgrade step, shown as
// the worksheet shows a batch. The job sends the controllers' images before the boards', leaves the
// board of a device whose controller failed alone, and refuses a library image for a device of
// another type before its first request.

#include "fleet/firmware/controllerhistory.h"
#include "fleet/firmware/firmwarelibrary.h"
#include "fleet/firmware/firmwareplan.h"
#include "fleet/jobs/jobrequest.h"

#include <QHash>
#include <QObject>

#include <functional>
#include <optional>

class QFileSystemWatcher;
class QTimer;
class QAction;
class TMainWindow;

class TFirmwareFeature : public QObject
{
    Q_OBJECT
public:
    // journalPath: the history the column and the report read (the window's).
    TFirmwareFeature(TMainWindow *form, QString journalPath);

    QAction *LibraryAction = nullptr;
    QAction *VisitReportAction = nullptr;
    QAction *UpToDateAction = nullptr;

    static inline const QString OutdatedWord = QStringLiteral("firmware:outdated");

    const TFirmwareLibrary &library() const { return m_library; }
    // Opens the library of a folder (a refused manifest is told, and the library stays empty) and
    // shows the column; an empty folder closes it.
    bool openLibrary(const QString &folder, QString *error = nullptr);
    // The Firmware column's text of a device; empty without a library.
    QString columnText(const TDeviceRecord &device) const;
    bool outdated(const TDeviceRecord &device) const;
    // What the history knows of the controllers, read again on a worker (at start, after batches).
    void readHistory();
    void setControllerHistory(const TControllerHistory &history);

    void showLibrary();
    void showVisitReport();
    void bringSelectedUpToDate();
    // The items of the plan's job: one per Upgrade step, with its library image and version.
    static QList<TJobItem> JobItemsOf(const TFirmwareLibrary &library, const QList<TFirmwareStep> &steps);
    // The images of a plan by image and component, the controllers' first, without running anything.
    struct Group
    {
        TFirmwareComponent component = TFirmwareComponent::Board;
        QString file; // the image's path in the library
        QList<TDeviceRecord> devices;
    };
    static QList<Group> GroupsOf(const TFirmwareLibrary &library, const QList<TFirmwareStep> &steps);
    // "Pump-7 (198.18.1.7): board 3.2.0 → 3.3.1", a line per Upgrade step.
    static QStringList WarningLines(const QList<TFirmwareStep> &steps);
    // "Gate-9 (198.18.1.9): no board image for this type (XR-200)", a line per skipped step.
    static QStringList SkippedLines(const QList<TFirmwareStep> &steps);

    // Dialog hooks; tests replace them.
    std::function<std::optional<QList<TFirmwareComponent>>(const QList<TFirmwareComponent> &offered)> chooseComponents;

private:
    void showColumn();
    // The manifest is read again when another program changes it.
    void watchLibrary();
    void libraryChangedOnDisk();
    static constexpr int LibraryRereadDelayMs = 300; // a manifest being replaced settles first
    // After the images' check: the steps whose image was refused left alone, one warning, the job.
    void confirmAndRun(QList<TFirmwareStep> steps, const QHash<QString, QString> &problemOf);

    TMainWindow *m_form;
    QString m_journalPath;
    TFirmwareLibrary m_library;
    QFileSystemWatcher *m_watcher = nullptr;
    QTimer *m_reread = nullptr;
    TControllerHistory m_history;
    bool m_checking = false; // its images are being checked
};
