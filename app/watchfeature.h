#pragma once
// TWatchFeature: Scan > Watch in the main window, the live list. While it is checked the window
// scans every interval without clearing the list, so that a device that stops answering keeps its
// row: the "Last seen" column tells when each device last answered, a device that missed 3 scans
// in a row turns grey, and one that appeared or changed (address, name, versions) after the watch
// started is marked for a minute. The events come from TDeviceWatch (fleet/), fed with the devices
// that answered each scan on a worker (a first scan of tens of thousands of devices copies every
// record): the window shows the watch the worker hands back.

#include "fleet/site/devicewatch.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QTimer>

class QAction;
class TColumnRefresh;
class TMainWindow;

class TWatchFeature : public QObject
{
    Q_OBJECT
public:
    explicit TWatchFeature(TMainWindow *form);

    QAction *WatchAction = nullptr; // checkable

    static constexpr int DefaultIntervalMs = 5000;
    static constexpr int DefaultMarkMs = 60000;
    int intervalMs = DefaultIntervalMs; // from the start of one scan to the next (tests shorten it)
    int markMs = DefaultMarkMs;         // how long a new or changed device stays marked

    void setWatching(bool on);
    bool watching() const { return m_watching; }
    const TDeviceWatch &watch() const { return m_watch; }

    // The "Last seen" column's text of a device; empty before the watch heard it.
    QString lastSeenText(const TDeviceRecord &device) const;
    bool isGone(const TDeviceRecord &device) const;
    bool isMarked(const TDeviceRecord &device) const;

private:
    struct Step;
    void deviceReplied(int index);
    void scanEnded();
    void show(Step step);
    void nextScan();

    TMainWindow *m_form;
    TDeviceWatch m_watch;
    bool m_watching = false;
    int m_generation = 0; // a step that comes back after the watch was stopped or started again is dropped
    QSet<quint64> m_replied; // the devices that answered the scan under way
    QTimer m_next;
    QElapsedTimer m_scanStarted;
    TColumnRefresh *m_refresh = nullptr; // the Last seen column after each scan
    QDateTime m_firstScan; // the devices of the first scan are not "new"
};
