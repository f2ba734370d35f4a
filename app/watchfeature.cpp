#include "app/watchfeature.h"

#include "app/background.h"
#include "app/columnrefresh.h"
#include "app/mainwindow.h"
#include "app/stringgrid.h"

#include <QAction>
#include <QMenu>
#include <QStatusBar>

namespace {
constexpr int LastSeenWidth = 80;
const QColor GoneColour(0x80, 0x80, 0x80);
const QColor MarkedColour(0x0d, 0x47, 0xa1);

quint64 deviceKey(const TDeviceRecord &device)
{
    return TDeviceWatch::keyOf(device);
}
} // namespace

// One scan added to the watch on the worker: the watch as it is after it, and what changed.
struct TWatchFeature::Step
{
    TDeviceWatch watch;
    QDateTime at;
    int appeared = 0;
    int changed = 0;
    int gone = 0;
};

TWatchFeature::TWatchFeature(TMainWindow *form) : QObject(form), m_form(form)
{
    WatchAction = new QAction(QStringLiteral("&Watch"), form);
    WatchAction->setCheckable(true);
    WatchAction->setToolTip(QStringLiteral("Scan again and again and show what changes"));
    form->ScanPopupMenu->addAction(WatchAction);
    form->FileMenu->insertAction(form->PropertiesMenu, WatchAction);
    connect(WatchAction, &QAction::toggled, this, &TWatchFeature::setWatching);
    connect(form, &TMainWindow::deviceReplied, this, &TWatchFeature::deviceReplied);
    connect(form, &TMainWindow::scanEnded, this, &TWatchFeature::scanEnded);
    m_next.setSingleShot(true);
    connect(&m_next, &QTimer::timeout, this, &TWatchFeature::nextScan);

    TStringGrid *grid = form->StringGrid;
    m_refresh = new TColumnRefresh(grid, m_form->devices(), TMainWindow::LastSeenColumn,
                                   [this](const TDeviceRecord &device) { return lastSeenText(device); }, this);
    auto before = grid->Foreground();
    grid->SetForeground([this, before](int column, int row) -> QColor {
        if (m_watching && row >= 1 && row <= m_form->devices().size()) {
            const TDeviceRecord &device = m_form->devices().at(row - 1);
            if (isGone(device))
                return GoneColour;
            if (isMarked(device))
                return MarkedColour;
        }
        return before ? before(column, row) : QColor();
    });
}

void TWatchFeature::setWatching(bool on)
{
    if (on == m_watching)
        return;
    m_watching = on;
    ++m_generation;
    WatchAction->setChecked(on);
    if (!on) {
        m_next.stop();
        m_form->StatusBar->showMessage(QStringLiteral("Watch stopped"));
        m_form->StringGrid->viewport()->update();
        return;
    }
    FreeInBackground(std::exchange(m_watch, TDeviceWatch()));
    m_watch.setEventRecords(false); // the status bar counts the events
    m_replied.clear();
    m_firstScan = QDateTime();
    m_form->setColumnText(TMainWindow::LastSeenColumn, [this](const TDeviceRecord &device) { return lastSeenText(device); });
    m_form->showColumn(TMainWindow::LastSeenColumn, LastSeenWidth);
    m_form->StatusBar->showMessage(QStringLiteral("Watching: a scan every %1 s").arg(intervalMs / 1000.0));
    // The first scan starts from an empty list; the later ones keep it.
    m_scanStarted.start();
    m_form->Scan();
}

QString TWatchFeature::lastSeenText(const TDeviceRecord &device) const
{
    const TDeviceWatch::Entry *entry = m_watch.entryFor(device);
    return entry ? entry->lastSeen.toLocalTime().toString(QStringLiteral("HH:mm:ss")) : QString();
}

bool TWatchFeature::isGone(const TDeviceRecord &device) const
{
    const TDeviceWatch::Entry *entry = m_watch.entryFor(device);
    return entry && entry->gone;
}

bool TWatchFeature::isMarked(const TDeviceRecord &device) const
{
    const TDeviceWatch::Entry *entry = m_watch.entryFor(device);
    return entry && m_firstScan.isValid() && entry->changedAt > m_firstScan
           && entry->changedAt.msecsTo(QDateTime::currentDateTimeUtc()) < markMs;
}

void TWatchFeature::deviceReplied(int index)
{
    if (m_watching && index >= 0 && index < m_form->devices().size())
        m_replied.insert(deviceKey(m_form->devices().at(index)));
}

void TWatchFeature::scanEnded()
{
    if (!m_watching)
        return;
    // The list keeps the devices that did not answer: only those that did count for this scan.
    auto add = [watch = m_watch, devices = m_form->devices(), answered = std::exchange(m_replied, {}),
                now = QDateTime::currentDateTimeUtc()]() mutable {
        Step step{std::move(watch), now};
        for (const TWatchEvent &event : step.watch.addScan(devices, now, &answered))
            ++(event.kind == TWatchEvent::Kind::Appeared  ? step.appeared
               : event.kind == TWatchEvent::Kind::Changed ? step.changed
                                                          : step.gone);
        return step;
    };
    RunInBackground(this, std::move(add), [this, generation = m_generation](Step step) {
        if (generation == m_generation)
            show(std::move(step));
    });
}

void TWatchFeature::show(Step step)
{
    std::swap(m_watch, step.watch);
    FreeInBackground(std::move(step.watch)); // the watch before this scan
    if (m_watch.scans() == 1)
        m_firstScan = step.at;
    m_refresh->start();
    m_form->StringGrid->viewport()->update(); // the colours of gone and marked rows
    if (m_watch.scans() > 1 && step.appeared + step.changed + step.gone > 0) {
        QStringList parts;
        if (step.appeared)
            parts << QStringLiteral("%1 appeared").arg(step.appeared);
        if (step.changed)
            parts << QStringLiteral("%1 changed").arg(step.changed);
        if (step.gone)
            parts << QStringLiteral("%1 gone").arg(step.gone);
        m_form->StatusBar->showMessage(QStringLiteral("Watch, %1: %2")
                                           .arg(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss")),
                                                parts.join(QStringLiteral(", "))));
    }
    m_next.start(std::max<qint64>(0, intervalMs - m_scanStarted.elapsed()));
}

void TWatchFeature::nextScan()
{
    if (!m_watching)
        return;
    m_scanStarted.start();
    m_form->ScanKeepingList();
}
