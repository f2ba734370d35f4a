#include "soakrig.h"

#include "app/application.h"
#include "app/properties/propertiesdialog.h"
#include "app/batchfeature.h"
#include "app/mainwindow.h"
#include "app/upgrade/firmwarewarningdialog.h"
#include "app/properties/ipedit.h"
#include "protocol/devicerecord.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QThread>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace Soak {

namespace {
// The lab's ports may still be held for a moment by the previous case's simulator.
constexpr int PortRetryMs = 20000;
constexpr int PortPauseMs = 500;
} // namespace

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (!line.startsWith("VmRSS:"))
            continue;
        const QList<QByteArray> fields = line.simplified().split(' ');
        bool ok = false;
        const qint64 value = fields.size() >= 2 ? fields.at(1).toLongLong(&ok) : 0;
        return ok ? value : -1;
    }
    return -1;
}

qint64 heapInUseKiB()
{
#if defined(__GLIBC__)
    const struct mallinfo2 info = ::mallinfo2();
    return qint64((info.uordblks + info.hblkhd) / 1024);
#else
    return -1;
#endif
}

// ---- GapMeter ----------------------------------------------------------------------------

GapMeter::GapMeter()
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(TickMs);
    QObject::connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
}

void GapMeter::start()
{
    m_longest = 0;
    m_since.start();
    m_timer.start();
}

void GapMeter::stop()
{
    tick();
    m_timer.stop();
}

void GapMeter::tick()
{
    if (!m_since.isValid())
        return;
    m_longest = std::max(m_longest, m_since.restart());
}

// ---- BoxWatcher --------------------------------------------------------------------------

BoxWatcher::BoxWatcher()
{
    QObject::connect(&m_poll, &QTimer::timeout, this, [this] { poll(); });
    m_poll.start(PollMs);
}

void BoxWatcher::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal)
        return;
    if (auto *warning = qobject_cast<TFirmwareWarningDialog *>(modal)) {
        ++m_warnings;
        warning->Button1->click();
        return;
    }
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        m_seen << box->windowTitle() + QStringLiteral(": ") + box->text();
        box->done(QMessageBox::Ok);
        return;
    }
    if (auto *dialog = qobject_cast<TPropertiesDialog *>(modal)) {
        if (onProperties)
            onProperties(dialog);
        else
            dialog->reject();
        return;
    }
    m_seen << QStringLiteral("unexpected window: ") + QString::fromLatin1(modal->metaObject()->className());
    if (auto *other = qobject_cast<QDialog *>(modal))
        other->reject();
}

// ---- Rig ---------------------------------------------------------------------------------

Rig::Rig() = default;

Rig::~Rig()
{
    m_upgrade.reset();
    m_main.reset();
    if (m_sim)
        m_sim->stop();
}

TUpgradeDialog::Timing Rig::soakTiming()
{
    TUpgradeDialog::Timing timing;
    timing.settleMs = 50;
    timing.bus.baseTimeoutMs = 300;
    timing.ftp = Ftp::Limits{3000, 3000, 3000, 2000};
    return timing;
}

bool Rig::start(int devices, const QStringList &simulatorArguments, QString *error,
                const TUpgradeDialog::Timing &timing)
{
    const QDeadlineTimer deadline(PortRetryMs);
    m_sim = std::make_unique<LabSimulator>();
    while (!m_sim->start(devices, simulatorArguments)) {
        if (deadline.hasExpired() || !m_sim->errorString().contains(QLatin1String("cannot bind"))) {
            *error = m_sim->errorString();
            return false;
        }
        QThread::msleep(PortPauseMs);
    }
    for (;;) {
        m_main = std::make_unique<TMainWindow>();
        if (m_main->engine()->bindError().isEmpty())
            break;
        *error = QStringLiteral("engine not bound: ") + m_main->engine()->bindError();
        m_main.reset();
        if (deadline.hasExpired())
            return false;
        QThread::msleep(PortPauseMs);
    }
    // As the program's start wires them: one job service for both windows.
    m_upgrade = std::make_unique<TUpgradeDialog>(m_main->Batches->jobService(), m_main.get(), timing);
    m_main->show();
    m_boxes.clear();
    return true;
}

void Rig::openUpgradeWindow(int device, quint8 transport)
{
    TDeviceRecord entry;
    entry.IpText = LabSimulator::deviceIp(device);
    entry.Transport = transport;
    m_main->devices() = {entry};
    m_main->setSelectedDevice(0);
    // Shown first, as opening it does: the window builds its controls when it is first shown.
    m_upgrade->show();
    // What OpenForDevice copies, without its modal loop: the soak drives the window itself.
    m_upgrade->DeviceIP = entry.IpText;
    m_upgrade->DeviceTransport = transport;
    m_upgrade->ipEdit->setText(entry.IpText);
    m_upgrade->UpdateButtons();
    QCoreApplication::processEvents();
}

bool Rig::runFromEventLoop(const std::function<void()> &operation, int limitMs)
{
    auto finished = std::make_shared<bool>(false);
    QTimer::singleShot(0, qApp, [operation, finished] {
        const auto done = qScopeGuard([finished] { *finished = true; });
        operation();
    });
    return waitUntil([finished] { return *finished && QApplication::activeModalWidget() == nullptr; }, limitMs);
}

bool Rig::waitUntil(const std::function<bool()> &done, int limitMs)
{
    const QDeadlineTimer deadline(limitMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        // The watcher's and the meter's timers wake this at least every few milliseconds.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

QList<QJsonObject> Rig::received(int device, int port) const
{
    return m_sim->requests(LabSimulator::deviceIp(device), port);
}

} // namespace Soak
