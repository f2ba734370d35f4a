#pragma once
// TSiteFeature: the site's expected devices in the main window. File > Open site... loads a site
// file (a damaged one is refused with its line and reason, and the list keeps what it had), File >
// Save site... writes the current list as one. With a site open, the list's Site column says found,
// moved, different firmware or unexpected for each device, and after each scan the expected devices
// that did not answer follow the devices as grey rows with their expected address ("missing"); the
// summary stays in the status bar. Missing devices are no part of the window's devices(): their
// rows take no device action (the window disables them while one is selected). The comparison
// itself is TSiteComparison (fleet/), made on a worker: a list of tens of thousands of devices never
// holds the window, and the window keeps only what it shows of it.

#include "fleet/site/sitefile.h"

#include <QHash>
#include <QObject>
#include <QString>

#include <functional>

class QAction;
class QLabel;
class QSettings;
class TColumnRefresh;
class TMainWindow;

class TSiteFeature : public QObject
{
    Q_OBJECT
public:
    explicit TSiteFeature(TMainWindow *form);

    QAction *OpenSiteAction = nullptr;
    QAction *SaveSiteAction = nullptr;
    QAction *CloseSiteAction = nullptr;
    QLabel *SummaryLabel = nullptr; // in the status bar while a site is open

    // The file dialogs; tests replace them.
    std::function<QString(const QString &title, const QString &filter)> chooseOpenFile;
    std::function<QString(const QString &title, const QString &filter)> chooseSaveFile;

    // Loads a site file and compares the list with it; false, with the error, when it is refused
    // (the site open before, if any, stays).
    bool openSite(const QString &path, QString *error = nullptr);
    void closeSite();
    // Writes the list's devices as a site file (JSON for .json, CSV otherwise).
    bool saveSite(const QString &path, QString *error = nullptr);

    bool hasSite() const { return !m_path.isEmpty(); }
    QString sitePath() const { return m_path; }
    // The last comparison's summary: "38 of 40 expected devices found, 2 missing, 1 unexpected".
    QString summary() const { return m_summary; }
    // Whether a comparison is under way (on its worker).
    bool comparing() const { return m_shownGeneration != m_generation; }
    // Whether a grid row (1..) is one of the missing devices' rows.
    bool isMissingRow(int row) const;
    // The Site column's text of a listed device.
    QString siteText(const TDeviceRecord &device) const;

    // The site open when the window was last closed is opened again; later changes are kept.
    void restoreSettings(QSettings &settings);

    // Compares the list with the site again: after a scan, and when the site changes. The result is
    // shown when it comes back from the worker; a list that changed meanwhile is compared again.
    void compare();

private:
    struct View;
    void show(View view);
    void askOpen();
    void askSave();
    void showMissingRows();
    void rememberPath() const;
    void tell(const QString &message);

    TMainWindow *m_form;
    QString m_path;
    QList<TSiteDevice> m_site;
    QString m_summary;
    QList<TSiteDevice> m_missing;           // the expected devices the last comparison did not find
    QHash<quint64, QString> m_textByDevice; // the Site column by device key, from the last comparison
    int m_generation = 0;                   // of the comparison asked for last
    int m_shownGeneration = 0;              // of the one shown (or dropped)
    int m_missingRows = 0;                  // rows after the devices' own
    QString m_settingsFile;                 // where the open site is remembered; none in tests
    TColumnRefresh *m_refresh = nullptr;    // the Site column after each comparison
};
