#include "operations/operationmanager.h"

#include "operations/deviceoperation.h"
#include "protocol/datagramengine.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>

Q_DECLARE_LOGGING_CATEGORY(lcOperations)

namespace {
// How long closing the engine waits for the operations it cancels: each wait wakes within 100 ms
// of a cancel, and putting a device back is a few requests of a few seconds each at most.
constexpr int ClosingBoundMs = 60000;
} // namespace

TOperationManager *TOperationManager::of(TDatagramEngine *engine)
{
    if (auto *manager = engine->findChild<TOperationManager *>(QString(), Qt::FindDirectChildrenOnly))
        return manager;
    return new TOperationManager(engine);
}

TOperationManager::TOperationManager(TDatagramEngine *engine) : QObject(engine)
{
    // Direct: the engine's destructor waits here until every worker has let go of it.
    connect(engine, &TDatagramEngine::closing, this, &TOperationManager::engineClosing, Qt::DirectConnection);
}

QList<TOperationManager::Running> TOperationManager::running() const
{
    QMutexLocker lock(&m_mutex);
    return m_running;
}

int TOperationManager::count() const
{
    QMutexLocker lock(&m_mutex);
    return int(m_running.size());
}

int TOperationManager::deviceOperationCount() const
{
    QMutexLocker lock(&m_mutex);
    return int(std::count_if(m_running.cbegin(), m_running.cend(), [](const Running &entry) { return entry.holdsDevice; }));
}

bool TOperationManager::isBusy(const QString &ip) const
{
    return !busyText(ip).isEmpty();
}

QString TOperationManager::busyText(const QString &ip) const
{
    QMutexLocker lock(&m_mutex);
    for (const Running &entry : m_running) {
        if (!entry.holdsDevice || entry.ip != ip)
            continue;
        QString what = entry.title;
        if (entry.percent >= 0)
            what += QStringLiteral(" (%1 %)").arg(entry.percent);
        else if (!entry.phase.isEmpty())
            what += QStringLiteral(" (%1)").arg(entry.phase);
        return QStringLiteral("%1 is busy: %2").arg(ip, what);
    }
    return {};
}

bool TOperationManager::enter(TDeviceOperation *operation, bool holdsDevice, QString *busyMessage)
{
    const QString ip = operation->target().ip;
    // Operations start on the engine's thread: nothing can take the device between this look and
    // the entry below.
    if (const QString busy = holdsDevice ? busyText(ip) : QString(); !busy.isEmpty()) {
        *busyMessage = busy;
        return false;
    }
    {
        QMutexLocker lock(&m_mutex);
        m_running.append({operation, ip, holdsDevice, operation->title(), {}, -1});
    }
    track(operation);
    emit changed();
    return true;
}

void TOperationManager::track(TDeviceOperation *operation)
{
    // The worker tells its steps and progress; the manager keeps the last of each for busyText().
    const auto update = [this, operation](auto change) {
        QMutexLocker lock(&m_mutex);
        for (Running &entry : m_running)
            if (entry.operation == operation)
                change(entry);
    };
    const auto named = [update](const QString &label) {
        update([&label](Running &entry) { entry.phase = label; });
    };
    connect(operation, &TDeviceOperation::stepStarted, this, named, Qt::DirectConnection);
    connect(operation, &TDeviceOperation::phaseChanged, this, named, Qt::DirectConnection);
    connect(operation, &TDeviceOperation::progressed, this, [update](qint64 done, qint64 total) {
        update([&](Running &entry) { entry.percent = total > 0 ? int(done * 100 / total) : -1; });
    }, Qt::DirectConnection);
    connect(operation, &TDeviceOperation::transferEnded, this, [update] {
        update([](Running &entry) { entry.percent = -1; });
    }, Qt::DirectConnection);
}

void TOperationManager::leave(TDeviceOperation *operation)
{
    bool left = false;
    {
        QMutexLocker lock(&m_mutex);
        left = m_running.removeIf([operation](const Running &entry) { return entry.operation == operation; }) > 0;
    }
    disconnect(operation, nullptr, this, nullptr);
    if (left)
        emit changed();
}

void TOperationManager::cancelAll()
{
    for (const Running &entry : running())
        entry.operation->cancel();
}

bool TOperationManager::waitForAll(int boundMs)
{
    if (count() == 0)
        return true;
    QEventLoop loop;
    const auto check = [this, &loop] {
        if (count() == 0)
            loop.quit();
    };
    connect(this, &TOperationManager::changed, &loop, check);
    QTimer::singleShot(boundMs, &loop, &QEventLoop::quit);
    loop.exec();
    return count() == 0;
}

void TOperationManager::engineClosing()
{
    const QList<Running> left = running();
    if (left.isEmpty())
        return;
    qCWarning(lcOperations, "The engine closes with %d operation(s) running: cancelling them", int(left.size()));
    cancelAll();
    // Each worker is joined here, on the engine's thread; it puts its device back through the engine,
    // which still works until this returns.
    const QDeadlineTimer deadline(ClosingBoundMs);
    for (const Running &entry : left)
        entry.operation->waitForWorker(deadline);
    // Their ends can no longer be delivered through the engine: nothing runs on it any more.
    QMutexLocker lock(&m_mutex);
    m_running.clear();
}
