#include "fleet/jobs/batchrun.h"

#include "operations/boardupgrade.h"
#include "operations/commandoperations.h"
#include "operations/controlleroperations.h"
#include "fleet/devicefields.h"
#include "protocol/errors.h"
#include "fleet/firmware/firmwarelibrary.h"
#include "fleet/history/operationjournal.h"
#include "operations/operationpool.h"
#include "protocol/datagramengine.h"
#include "protocol/wire.h"


TBatchRun::TBatchRun(TDatagramEngine *engine, Kind kind, const QList<TDeviceRecord> &devices, const QString &file,
                     const Options &options, QObject *parent)
    : QObject(parent), m_engine(engine), m_kind(kind), m_file(file), m_options(options)
{
    for (const TDeviceRecord &device : devices)
        m_statuses.append(DeviceStatus::of(device));
}

TBatchRun::~TBatchRun()
{
    // The operations are the pool's children: their destructors cancel them and wait for their
    // workers, which put their devices back.
    stopListening();
    delete m_pool;
    delete m_confirmScan;
    if (m_snapshot) {
        QString error;
        m_snapshot->flush(&error); // a batch closed while it ran keeps what it took
    }
}

QString TBatchRun::title() const
{
    switch (m_kind) {
    case Kind::ControllerUpgrade: return QStringLiteral("Controller upgrade");
    case Kind::BoardUpgrade: return QStringLiteral("Communication board upgrade");
    case Kind::BackUpConfiguration: return QStringLiteral("Configuration back-up");
    case Kind::Reset: return QStringLiteral("Controller reset");
    case Kind::ResetWithUpdater: return QStringLiteral("Controller reset with updater");
    }
    return {};
}

QString TBatchRun::versionsText(const TDeviceRecord &device)
{
    return TRediscovery::versionsText(device);
}

QString TBatchRun::statusText(const DeviceStatus &status)
{
    switch (status.state) {
    case DeviceStatus::Waiting: return QStringLiteral("Waiting");
    case DeviceStatus::Running:
        if (status.total > 0 && status.done >= 0)
            return QStringLiteral("%1 %2%").arg(status.phase).arg(status.done * 100 / status.total);
        return status.phase.isEmpty() ? QStringLiteral("Starting") : status.phase;
    case DeviceStatus::Confirming: return QStringLiteral("Upgraded; waiting for the device to answer a scan");
    case DeviceStatus::Succeeded:
    case DeviceStatus::Failed:
    case DeviceStatus::Stopped: return status.message;
    }
    return {};
}

TBatchRun::Tone TBatchRun::statusTone(const DeviceStatus &status)
{
    switch (status.state) {
    case DeviceStatus::Waiting:
    case DeviceStatus::Running:
    case DeviceStatus::Confirming: return Tone::Neutral;
    case DeviceStatus::Succeeded: return Tone::Good;
    case DeviceStatus::Stopped: return Tone::Warning; // nothing went wrong on the device: it was not done
    case DeviceStatus::Failed:
        // A busy device was left alone, and a retry will do it; anything else failed on the device.
        return status.outcome.kind == TOperationError::Busy ? Tone::Warning : Tone::Bad;
    }
    return Tone::Neutral;
}

int TBatchRun::count(DeviceStatus::State state) const
{
    return int(std::count_if(m_statuses.begin(), m_statuses.end(), [state](const DeviceStatus &s) { return s.state == state; }));
}

bool TBatchRun::isRunning() const
{
    return (m_pool && !m_pool->isFinished()) || !m_rediscovery.isEmpty() || m_confirmScan;
}

TDeviceOperation *TBatchRun::makeOperation(const DeviceStatus &status)
{
    const TDeviceTarget target{status.device.IpText, status.device.Transport};
    switch (m_kind) {
    case Kind::ControllerUpgrade: {
        auto *upgrade = new TControllerUpgrade(m_engine, target, m_image, m_options.timing);
        upgrade->setDeviceType(TDeviceTypeId::of(status.device));
        return upgrade;
    }
    case Kind::BoardUpgrade: {
        auto *upgrade = new TBoardUpgrade(m_engine, target, m_image, m_options.timing);
        upgrade->setDeviceType(TDeviceTypeId::of(status.device));
        return upgrade;
    }
    case Kind::BackUpConfiguration:
        return new TReadControllerText(m_engine, target, TReadControllerText::Kind::Configuration, m_options.timing);
    case Kind::Reset: return new TControllerReset(m_engine, target, TControllerReset::Mode::Plain, m_options.timing);
    case Kind::ResetWithUpdater:
        return new TControllerReset(m_engine, target, TControllerReset::Mode::WithUpdater, m_options.timing);
    }
    return nullptr;
}

void TBatchRun::start()
{
    QList<int> waiting;
    for (int i = 0; i < m_statuses.size(); ++i)
        if (m_statuses.at(i).state == DeviceStatus::Waiting)
            waiting << i;
    launch(waiting);
}

bool TBatchRun::retryFailed()
{
    if (isRunning())
        return false;
    QList<int> again;
    for (int i = 0; i < m_statuses.size(); ++i) {
        DeviceStatus &status = m_statuses[i];
        if (status.state != DeviceStatus::Failed && status.state != DeviceStatus::Stopped)
            continue;
        status = DeviceStatus::of(status.device);
        again << i;
        emit deviceChanged(i);
    }
    if (again.isEmpty())
        return false;
    launch(again);
    return true;
}

void TBatchRun::stop()
{
    m_stopped = true;
    if (m_pool)
        m_pool->cancel();
    // The upgrades done wait no longer for their devices: the batch ends once the scan under way does.
    for (const TRediscovery::Verdict &verdict : m_rediscovery.stopAll())
        applyVerdict(verdict);
    if (m_confirmScan)
        m_confirmScan->cancel();
    checkFinished();
}

void TBatchRun::launch(const QList<int> &indexes)
{
    m_announced = false;
    m_stopped = false;
    if (m_kind == Kind::BackUpConfiguration && !m_snapshot) {
        QString error;
        m_snapshot = TConfigSnapshot::create(
            m_options.snapshotRoot.isEmpty() ? TConfigSnapshot::defaultRoot() : m_options.snapshotRoot,
            QDateTime::currentDateTime(), &error);
        if (!m_snapshot) {
            for (int index : indexes)
                fail(index, QStringLiteral("The snapshot folder cannot be made: %1").arg(error));
            checkFinished();
            return;
        }
    }
    if (upgrades() && m_image.isNull()) {
        // Read once for the whole batch (and its retries): every device is sent the same bytes.
        try {
            m_image = TFirmwareImage::read(m_file);
            if (const TLibraryImage *entry = m_options.library ? m_options.library->findSha256(m_image.sha256()) : nullptr)
                m_image.setLibraryInfo(entry->version, entry->types);
            else if (const TLibraryImage *placed = m_options.library ? m_options.library->findFile(m_file) : nullptr) {
                // A library file whose bytes changed is no library image any more, and no image to send.
                QString error;
                m_options.library->readImage(*placed, &error);
                m_image = {};
                for (int index : indexes)
                    fail(index, error);
                checkFinished();
                return;
            }
        } catch (const TarvinoError &error) {
            for (int index : indexes)
                fail(index, error.message());
            checkFinished();
            return;
        }
    }
    if (m_pool)
        m_pool->deleteLater();
    m_pool = new TOperationPool(std::max(1, m_options.jobs));
    m_pool->setConfirmed(true); // one warning for the whole batch
    m_indexOf.clear();
    for (int index : indexes) {
        TDeviceOperation *operation = makeOperation(m_statuses.at(index));
        m_indexOf.insert(operation, index);
        m_pool->add(operation);
        auto update = [this, index](auto change) {
            change(m_statuses[index]);
            emit deviceChanged(index);
        };
        auto showPhase = [update](const QString &label) {
            update([&](DeviceStatus &s) {
                s.phase = label;
                s.done = s.total = -1;
            });
        };
        connect(operation, &TDeviceOperation::stepStarted, this, showPhase);
        connect(operation, &TDeviceOperation::phaseChanged, this, showPhase);
        connect(operation, &TDeviceOperation::progressed, this, [update](qint64 done, qint64 total) {
            update([&](DeviceStatus &s) {
                s.done = done;
                s.total = total;
            });
        });
    }
    connect(m_pool, &TOperationPool::operationStarted, this, [this](TDeviceOperation *operation) {
        const int index = m_indexOf.value(operation, -1);
        if (index < 0)
            return;
        m_statuses[index].state = DeviceStatus::Running;
        if (upgrades())
            m_statuses[index].versionsBefore = versionsText(m_statuses[index].device);
        emit deviceChanged(index);
    });
    connect(m_pool, &TOperationPool::operationFinished, this, &TBatchRun::operationFinished);
    connect(m_pool, &TOperationPool::allFinished, this, [this, indexes] {
        // After a stop the devices that had not started never will: they can be run again.
        for (int index : indexes)
            if (m_statuses.at(index).state == DeviceStatus::Waiting)
                finishDevice(index, DeviceStatus::Stopped, QStringLiteral("Not started: the batch was stopped"));
        checkFinished();
    });
    m_pool->start();
    checkFinished(); // an empty list
}

void TBatchRun::operationFinished(TDeviceOperation *operation)
{
    const int index = m_indexOf.value(operation, -1);
    if (index < 0)
        return;
    DeviceStatus &status = m_statuses[index];
    status.outcome = operation->outcome();
    status.done = status.total = -1;
    if (status.outcome.succeeded) {
        if (upgrades() && m_stopped) {
            finishDevice(index, DeviceStatus::Stopped,
                   QStringLiteral("Upgraded; not waited for: the batch was stopped before the device answered again"));
        } else if (upgrades()) {
            status.state = DeviceStatus::Confirming;
            m_rediscovery.watch(index, status.device,
                                m_kind == Kind::BoardUpgrade ? TRediscovery::Rule::RestartThenAnswer
                                                             : TRediscovery::Rule::AnswerAgain,
                                QDeadlineTimer(m_options.rediscoveryTimeoutMs), m_options.rediscoveryTimeoutMs / 1000);
            emit deviceChanged(index);
            confirmNext();
        } else if (m_kind == Kind::BackUpConfiguration) {
            QString error;
            const QByteArray text = static_cast<TReadControllerText *>(operation)->text();
            if (m_snapshot->add(status.device, text, QDateTime::currentDateTime(), &error)) {
                m_unindexed << index;
                flushSnapshot(false);
                succeed(index, QStringLiteral("Saved, %1 bytes").arg(text.size()));
            } else
                fail(index, QStringLiteral("Read, but not saved: %1").arg(error));
        } else {
            succeed(index, QStringLiteral("Done"));
        }
    } else if (status.outcome.cancelled) {
        QString message = QStringLiteral("Stopped");
        if (!status.outcome.failedStep.isEmpty())
            message += QStringLiteral(" at %1").arg(status.outcome.failedStep);
        message += status.outcome.device.normal() ? QStringLiteral("; the device is put back")
                                                  : QStringLiteral("; the device is left with its %1").arg(status.outcome.device.text());
        finishDevice(index, DeviceStatus::Stopped, message);
    } else if (status.outcome.declined) {
        finishDevice(index, DeviceStatus::Stopped, QStringLiteral("Declined: nothing was sent"));
    } else {
        QString message = status.outcome.message;
        if (message.isEmpty())
            message = status.outcome.error ? status.outcome.errorText() : status.outcome.failedStep + QStringLiteral(" failed");
        else if (status.outcome.error)
            message += QStringLiteral(" (%1)").arg(status.outcome.errorText());
        fail(index, message);
    }
    checkFinished();
}

void TBatchRun::confirmNext()
{
    if (m_confirmScan)
        return;
    if (m_rediscovery.isEmpty()) {
        stopListening();
        checkFinished();
        return;
    }
    if (!m_listener) {
        // Each reply is decoded once where it arrives and looked up by its device: the scan's own
        // list is never copied.
        m_listener = m_engine->addDiscoveryListener([this](const TDeviceDatagram &datagram) {
            QList<TDeviceRecord> one;
            if (MergeDiscoveryReply(one, datagram.sender, datagram.data, true) < 0)
                return;
            QMetaObject::invokeMethod(this, [this, device = one.first()] { confirmReply(device); }, Qt::QueuedConnection);
        });
    }
    m_confirmScan = new TScanDevices(m_engine, {1, 0, m_options.rediscoveryListenMs});
    connect(m_confirmScan, &TDeviceOperation::finished, this, &TBatchRun::confirmScanFinished);
    m_confirmScan->start();
}

void TBatchRun::confirmReply(const TDeviceRecord &device)
{
    if (const std::optional<TRediscovery::Verdict> verdict = m_rediscovery.replied(device))
        applyVerdict(*verdict);
}

void TBatchRun::confirmScanFinished()
{
    m_confirmScan->deleteLater();
    m_confirmScan = nullptr;
    for (const TRediscovery::Verdict &verdict : m_rediscovery.roundEnded())
        applyVerdict(verdict);
    confirmNext();
}

void TBatchRun::applyVerdict(const TRediscovery::Verdict &verdict)
{
    DeviceStatus &status = m_statuses[verdict.index];
    status.versionsAfter = verdict.versionsAfter;
    status.warning = verdict.warning();
    if (verdict.kind == TRediscovery::Verdict::Stopped)
        finishDevice(verdict.index, DeviceStatus::Stopped, verdict.message);
    else if (verdict.succeeded())
        finishDevice(verdict.index, DeviceStatus::Succeeded, verdict.message);
    else
        fail(verdict.index, verdict.message);
    journalConfirmation(verdict.index, verdict);
}

void TBatchRun::stopListening()
{
    if (!m_listener)
        return;
    m_engine->removeDiscoveryListener(m_listener);
    m_listener = 0;
}

void TBatchRun::succeed(int index, const QString &message)
{
    finishDevice(index, DeviceStatus::Succeeded, message);
    checkFinished();
}

void TBatchRun::fail(int index, const QString &message)
{
    finishDevice(index, DeviceStatus::Failed, message);
}

void TBatchRun::finishDevice(int index, DeviceStatus::State state, const QString &message)
{
    DeviceStatus &status = m_statuses[index];
    status.state = state;
    status.message = message;
    emit deviceChanged(index);
}

void TBatchRun::journalConfirmation(int index, const TRediscovery::Verdict &verdict)
{
    // The upgrade itself is in the history already, as every operation is: this says whether the
    // device came back after it.
    if (!m_options.journal)
        return;
    const DeviceStatus &status = m_statuses.at(index);
    TJournalEntry entry;
    entry.when = QDateTime::currentDateTime();
    entry.mac = CanonicalMacText(status.device.Mac);
    entry.ip = status.device.IpText;
    entry.name = status.device.Params.text(Wire::Param::Name);
    entry.operation = title() + QStringLiteral(": found again");
    entry.file = m_file;
    entry.fileSha256 = status.outcome.sentSha256;
    const bool confirmed = verdict.succeeded();
    entry.outcome = confirmed ? QStringLiteral("succeeded")
                  : verdict.kind == TRediscovery::Verdict::Stopped ? QStringLiteral("cancelled")
                                                                  : QStringLiteral("failed");
    entry.message = confirmed ? QString() : verdict.message;
    entry.detail = confirmed ? verdict.message : QString();
    m_options.journal->append(entry);
}

void TBatchRun::flushSnapshot(bool final)
{
    // One index for many devices; a bound on how much of a run a crash can leave out of it.
    constexpr qint64 FlushIntervalMs = 2000;
    if (!m_snapshot || m_unindexed.isEmpty())
        return;
    if (!final && m_sinceFlush.isValid() && m_sinceFlush.elapsed() < FlushIntervalMs)
        return;
    m_sinceFlush.start();
    QString error;
    if (m_snapshot->flush(&error)) {
        m_unindexed.clear();
        return;
    }
    if (!final)
        return; // tried again later, and at the end
    for (int index : std::exchange(m_unindexed, {}))
        finishDevice(index, DeviceStatus::Failed, QStringLiteral("Saved, but the snapshot's index was not written: %1").arg(error));
}

void TBatchRun::checkFinished()
{
    if (isRunning() || m_announced)
        return;
    flushSnapshot(true);
    m_announced = true;
    emit finished();
}
