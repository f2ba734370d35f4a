#pragma once
// The program as its start wires it, against the device simulator in the lab: the main
// window with its engine, the upgrade window on the same engine, and what the soak
// watches while an operation runs (the boxes the program opens, the longest time the
// GUI thread went without handling events, the process's resident memory).

#include "labsim.h"
#include "app/upgrade/upgradedialog.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

class TMainWindow;
class TPropertiesDialog;

namespace Soak {

// Resident memory of this process in KiB (VmRSS), -1 when it cannot be read.
qint64 residentKiB();
// Bytes the allocator has handed out and not had back, in KiB; -1 where it cannot tell.
// Freed memory stays resident and is reused, so a small leak shows here long before it
// shows in the resident size.
qint64 heapInUseKiB();

// Ticks every 10 ms on the GUI thread and keeps the longest time between two ticks: how
// long the window went without handling events while an operation ran.
class GapMeter : public QObject
{
public:
    static constexpr int TickMs = 10;

    GapMeter();
    void start();
    void stop();
    qint64 longestMs() const { return m_longest; }

private:
    void tick();

    QTimer m_timer;
    QElapsedTimer m_since;
    qint64 m_longest = 0;
};

// Answers every modal window the program opens, as the technician would, and notes what
// it showed: a message box is read and closed with OK ("title: text"), the firmware
// warning is answered with "Upgrade", a properties dialog is handed to onProperties.
class BoxWatcher : public QObject
{
public:
    static constexpr int PollMs = 20;

    BoxWatcher();
    QStringList seen() const { return m_seen; }
    void clear() { m_seen.clear(); }
    int warnings() const { return m_warnings; }

    // Called once per properties dialog; it must close the dialog.
    std::function<void(TPropertiesDialog *)> onProperties;

private:
    void poll();

    QTimer m_poll;
    QStringList m_seen;
    int m_warnings = 0;
};

class Rig
{
public:
    Rig();
    ~Rig();
    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;

    // Waits of the upgrade window short enough for a soak: the settling pauses, the bus's
    // receive base and the FTP limits. The bus keeps its own rule of a base plus one
    // millisecond per byte.
    static TUpgradeDialog::Timing soakTiming();

    // The simulator with `devices` devices and these arguments, then the windows. False
    // with a reason when a part does not come up (the ports are retried for a while).
    bool start(int devices, const QStringList &simulatorArguments, QString *error,
               const TUpgradeDialog::Timing &timing = soakTiming());

    // The upgrade window pointed at a device, as opening it for that device does, and shown.
    void openUpgradeWindow(int device, quint8 transport);

    // Runs an operation from the event loop, as a click does: an error it lets escape reaches
    // the application's general handler, which shows it in a box. Returns once the operation
    // has returned and no modal window is left open; false when limitMs passed first.
    bool runFromEventLoop(const std::function<void()> &operation, int limitMs);
    // Handles events until done() holds or limitMs has passed.
    bool waitUntil(const std::function<bool()> &done, int limitMs);

    LabSimulator &sim() { return *m_sim; }
    TMainWindow &main() { return *m_main; }
    TUpgradeDialog &upgrade() { return *m_upgrade; }
    BoxWatcher &boxes() { return m_boxes; }
    GapMeter &gaps() { return m_gaps; }

    // The requests one device received on one port, in order.
    QList<QJsonObject> received(int device, int port) const;

private:
    std::unique_ptr<LabSimulator> m_sim;
    std::unique_ptr<TMainWindow> m_main;
    std::unique_ptr<TUpgradeDialog> m_upgrade;
    BoxWatcher m_boxes;
    GapMeter m_gaps;
};

} // namespace Soak
