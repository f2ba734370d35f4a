#include "fleet/jobs/job.h"

#include "fleet/devicefields.h"
#include "fleet/firmware/firmwarelibrary.h"
#include "fleet/history/operationjournal.h"
#include "fleet/jobs/jobfiles.h"
#include "operations/boardupgrade.h"
#include "operations/commandoperations.h"
#include "operations/controlleroperations.h"
#include "operations/operationpool.h"
#include "protocol/datagram.h"
#include "protocol/datagramengine.h"
#include "protocol/wire.h"

#include <QEventLoop>
#include <QThread>

#include <memory>

namespace {
using State = TJobItemStatus::State;

bool upgrades(TJobAction action)
{
    return JobActionSendsImage(action);
}

bool needsConfirmation(TJobAction action)
{
    return upgrades(action) || action == TJobAction::WriteConfiguration;
}

// A log block a line, with the CR LF that the device ends each one with.
QByteArray logText(const QList<QByteArray> &blocks)
{
    QByteArray text;
    for (const QByteArray &block : blocks)
        text += block + "\r\n";
    return text;
}
} // namespace

QString TJobItemStatus::text() const
{
    switch (state) {
    case Queued: return QStringLiteral("Waiting");
    case Running:
        if (total > 0 && done >= 0)
            return QStringLiteral("%1 %2%").arg(phase).arg(done * 100 / total);
        return phase.isEmpty() ? QStringLiteral("Starting") : phase;
    case Confirming: return QStringLiteral("Upgraded; waiting for the device to answer a scan");
    case Done:
    case Failed:
    case Busy:
    case Cancelled:
    case LeftAlone:
    case Unconfirmed: return message;
    }
    return {};
}

bool TJobItemStatus::retryable() const
{
    switch (state) {
    case Failed:
    case Busy:
    case Cancelled:
    case LeftAlone: return !changed;
    case Queued:
    case Running:
    case Confirming:
    case Done:
    case Unconfirmed: return false; // upgraded: only a new scan can show whether it still needs the image
    }
    return false;
}

TJob::TJob(TDatagramEngine *engine, const TJobRequest &request, const TOperationJournal *journal, QObject *parent)
    : QObject(parent), m_engine(engine), m_request(request), m_journal(journal)
{
    for (const TJobItem &item : request.items) {
        TJobItemStatus status;
        status.item = item;
        m_items.append(status);
    }
}

TJob::~TJob()
{
    // The operations are the pool's children: their destructors cancel them and wait for their
    // workers, which put their devices back.
    stopListening();
    delete m_pool;
    delete m_confirmScan;
    qDeleteAll(m_confirmSearches);
    if (m_snapshot) {
        QString error;
        m_snapshot->flush(&error); // a job closed while it ran keeps what it took
    }
}

QString TJob::title() const
{
    if (m_items.isEmpty())
        return {};
    const TJobAction first = m_items.first().item.action;
    const bool same = std::all_of(m_items.begin(), m_items.end(), [first](const TJobItemStatus &s) { return s.item.action == first; });
    return same ? JobActionTitle(first) : QStringLiteral("Firmware upgrade");
}

int TJob::count(TJobItemStatus::State state) const
{
    return int(std::count_if(m_items.begin(), m_items.end(), [state](const TJobItemStatus &s) { return s.state == state; }));
}

bool TJob::isRunning() const
{
    return m_started && !m_finished;
}

void TJob::exec()
{
    QEventLoop loop;
    connect(this, &TJob::finished, &loop, &QEventLoop::quit);
    start();
    if (!m_finished)
        loop.exec();
}

void TJob::start()
{
    if (m_started)
        return;
    m_started = true;
    m_finished = false;
    QList<int> all;
    for (int i = 0; i < m_items.size(); ++i)
        all << i;
    prepareThen(all, [this](const QList<int> &runnable) { askOrRun(runnable); });
}

void TJob::askOrRun(const QList<int> &runnable)
{
    const bool ask = std::any_of(runnable.begin(), runnable.end(),
                                 [this](int index) { return needsConfirmation(m_items.at(index).item.action); });
    if (runnable.isEmpty() || !ask || m_request.options.confirmed) {
        run(runnable);
        return;
    }
    m_awaitingConfirmation = true;
    m_pending = runnable;
    emit confirmationRequested();
}

void TJob::confirm(bool accepted)
{
    if (!m_awaitingConfirmation)
        return;
    m_awaitingConfirmation = false;
    const QList<int> runnable = std::exchange(m_pending, {});
    if (accepted) {
        m_request.options.confirmed = true;
        run(runnable);
        return;
    }
    for (int index : runnable) {
        m_items[index].outcome.declined = true;
        m_items[index].outcome.kind = TOperationError::Declined;
        settle(index, State::Cancelled, QStringLiteral("Declined: nothing was sent"));
    }
    checkFinished();
}

namespace {
// What the files of some items came to: read on a worker, as an image of 16 MiB takes a while to
// read and hash, and the window's thread never waits that long.
struct PreparedFiles
{
    QHash<int, QString> refusals;       // by item: why it is sent nothing
    QHash<QString, TFirmwareImage> images; // by file
};

PreparedFiles prepareFiles(const QList<TJobItem> &items, const QList<int> &indexes, const QString &libraryOption,
                           const QHash<QString, TFirmwareImage> &known)
{
    // The manifest as it is now: an image added to the library meanwhile (by another program) counts.
    std::optional<TFirmwareLibrary> library;
    QString libraryProblem;
    if (std::any_of(indexes.begin(), indexes.end(), [&items](int i) { return upgrades(items.at(i).action); })) {
        const QString folder = libraryOption.isEmpty() ? TFirmwareLibrary::folderFor({}) : libraryOption;
        if (!folder.isEmpty()) {
            library.emplace(folder);
            if (QString error; !library->load(&error))
                libraryProblem = QStringLiteral("The firmware library cannot be read: %1.").arg(error);
        }
    }
    TJobFiles files(library ? &*library : nullptr, libraryProblem);
    for (auto image = known.cbegin(); image != known.cend(); ++image)
        files.adopt(image.key(), image.value()); // read once per job: a retry sends the same bytes
    PreparedFiles prepared;
    for (int index : indexes) {
        const TJobItem &item = items.at(index);
        if (const QString refusal = files.prepare(item); !refusal.isEmpty())
            prepared.refusals.insert(index, refusal);
        else if (upgrades(item.action) || (item.action == TJobAction::WriteConfiguration && !item.text))
            prepared.images.insert(item.file, files.image(item.file));
    }
    return prepared;
}

bool needsFiles(const QList<TJobItem> &items, const QList<int> &indexes)
{
    return std::any_of(indexes.begin(), indexes.end(), [&items](int i) {
        return upgrades(items.at(i).action) || (items.at(i).action == TJobAction::WriteConfiguration && !items.at(i).text);
    });
}
} // namespace

void TJob::prepareThen(const QList<int> &indexes, std::function<void(const QList<int> &)> next)
{
    QList<TJobItem> items;
    for (const TJobItemStatus &status : std::as_const(m_items))
        items << status.item;
    const auto apply = [this, indexes, next = std::move(next)](const PreparedFiles &prepared) {
        m_preparing = false;
        for (auto image = prepared.images.cbegin(); image != prepared.images.cend(); ++image)
            m_images.insert(image.key(), image.value());
        QList<int> ready;
        for (int index : indexes) {
            TJobItemStatus &status = m_items[index];
            if (const auto refusal = prepared.refusals.constFind(index); refusal != prepared.refusals.cend()) {
                status.outcome = {};
                status.outcome.kind = TOperationError::FileError;
                status.outcome.failedStep = QStringLiteral("Image check");
                status.outcome.message = *refusal;
                settle(index, State::Failed, *refusal);
                continue;
            }
            if (upgrades(status.item.action))
                status.libraryVersion = m_images.value(status.item.file).libraryVersion();
            if (m_cancelled) {
                settle(index, State::Cancelled, QStringLiteral("Not started: the job was stopped"));
                continue;
            }
            ready << index;
        }
        if (m_cancelled) {
            checkFinished();
            return;
        }
        next(ready);
    };
    if (!needsFiles(items, indexes)) {
        apply({});
        return;
    }
    m_preparing = true;
    auto prepared = std::make_shared<PreparedFiles>();
    QThread *worker = QThread::create([prepared, items, indexes, folder = m_request.options.libraryFolder, known = m_images] {
        *prepared = prepareFiles(items, indexes, folder, known);
    });
    connect(worker, &QThread::finished, this, [prepared, apply] { apply(*prepared); });
    // The worker goes once done, also when the job went first.
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void TJob::run(const QList<int> &indexes)
{
    m_cancelled = false;
    // Controllers first: a board upgrade ends with the device restarting, and a device whose
    // controller did not take its image is left as it is.
    QList<int> controllers, others;
    for (int index : indexes)
        (m_items.at(index).item.action == TJobAction::ControllerUpgrade ? controllers : others) << index;
    if (controllers.isEmpty()) {
        runStage(others);
        return;
    }
    m_pending = others;
    runStage(controllers);
}

bool TJob::controllerFailed(const TJobItemStatus &board) const
{
    for (const TJobItemStatus &other : m_items)
        if (other.item.action == TJobAction::ControllerUpgrade && other.item.device.target.ip == board.item.device.target.ip
            && other.state != State::Done)
            return true;
    return false;
}

void TJob::runStage(QList<int> indexes)
{
    QList<int> runnable;
    for (int index : indexes) {
        if (m_items.at(index).item.action == TJobAction::BoardUpgrade && controllerFailed(m_items.at(index))) {
            settle(index, State::LeftAlone, QStringLiteral("Not started: the controller upgrade of this device did not succeed"));
            continue;
        }
        TJobItemStatus &status = m_items[index];
        const TJobItem item = status.item;
        const QString libraryVersion = status.libraryVersion;
        status = TJobItemStatus();
        status.item = item;
        status.libraryVersion = libraryVersion;
        emit itemChanged(index);
        runnable << index;
    }
    if (m_request.items.value(0).action == TJobAction::BackUpConfiguration && !m_snapshot && !runnable.isEmpty()) {
        QString error;
        const QString root = m_request.options.snapshotRoot.isEmpty() ? TConfigSnapshot::defaultRoot()
                                                                      : m_request.options.snapshotRoot;
        m_snapshot = TConfigSnapshot::create(root, QDateTime::currentDateTime(), &error);
        if (!m_snapshot) {
            for (int index : std::as_const(runnable)) {
                m_items[index].outcome.kind = TOperationError::FileError;
                settle(index, State::Failed, QStringLiteral("The snapshot folder cannot be made: %1").arg(error));
            }
            runnable.clear();
        }
    }
    if (m_pool)
        m_pool->deleteLater();
    m_pool = new TOperationPool(std::max(1, m_request.options.jobs));
    m_pool->setConfirmed(true); // asked once for the whole job
    m_indexOf.clear();
    for (int index : std::as_const(runnable)) {
        TDeviceOperation *operation = makeOperation(index);
        m_indexOf.insert(operation, index);
        m_pool->add(operation);
        connectOperation(operation, index);
    }
    connect(m_pool, &TOperationPool::operationStarted, this, [this](TDeviceOperation *operation) {
        const int index = m_indexOf.value(operation, -1);
        if (index < 0)
            return;
        TJobItemStatus &status = m_items[index];
        status.state = State::Running;
        if (upgrades(status.item.action) && status.item.device.record)
            status.versionsBefore = TRediscovery::versionsText(*status.item.device.record);
        emit itemChanged(index);
    });
    connect(m_pool, &TOperationPool::operationFinished, this, &TJob::operationFinished);
    connect(m_pool, &TOperationPool::allFinished, this, [this, runnable] {
        // After a cancel the items that had not started never will: they can be run again.
        for (int index : runnable)
            if (m_items.at(index).state == State::Queued)
                settle(index, State::Cancelled, QStringLiteral("Not started: the job was stopped"));
        checkFinished();
    });
    m_pool->start();
    checkFinished(); // nothing to run
}

TDeviceOperation *TJob::makeOperation(int index)
{
    const TJobItem &item = m_items.at(index).item;
    const TDeviceTarget &target = item.device.target;
    const TOperationTiming &timing = m_request.options.timing;
    const TDeviceTypeId type = item.device.record ? TDeviceTypeId::of(*item.device.record) : TDeviceTypeId{};
    switch (item.action) {
    case TJobAction::ControllerUpgrade: {
        auto *upgrade = new TControllerUpgrade(m_engine, target, m_images.value(item.file), timing);
        upgrade->setDeviceType(type);
        return upgrade;
    }
    case TJobAction::BoardUpgrade: {
        auto *upgrade = new TBoardUpgrade(m_engine, target, m_images.value(item.file), timing);
        upgrade->setDeviceType(type);
        connect(upgrade, &TBoardUpgrade::uploaded, this, [this, index] { emit uploaded(index); });
        return upgrade;
    }
    case TJobAction::ReadConfiguration:
    case TJobAction::BackUpConfiguration:
        return new TReadControllerText(m_engine, target, TReadControllerText::Kind::Configuration, timing);
    case TJobAction::ReadDiagnostics:
        return new TReadControllerText(m_engine, target, TReadControllerText::Kind::Diagnostics, timing);
    case TJobAction::WriteConfiguration:
        return new TWriteConfig(m_engine, target, item.text ? *item.text : m_images.value(item.file).bytes(), timing);
    case TJobAction::ReadLogs: return new TReadLogs(m_engine, target, false, timing);
    case TJobAction::EraseAndReadLogs: return new TReadLogs(m_engine, target, true, timing);
    case TJobAction::Reset: return new TControllerReset(m_engine, target, TControllerReset::Mode::Plain, timing);
    case TJobAction::ResetWithUpdater:
        return new TControllerReset(m_engine, target, TControllerReset::Mode::WithUpdater, timing);
    case TJobAction::ToggleSsh:
        return new TDeviceCommand(m_engine, target, Wire::Command::SetDropBear, TDeviceCommand::dropBear(), timing);
    case TJobAction::BoardCommand:
        return new TDeviceCommand(m_engine, target, m_request.options.command, {std::max(1, m_request.options.commandAttempts), false},
                                  timing);
    }
    Q_UNREACHABLE();
}

void TJob::connectOperation(TDeviceOperation *operation, int index)
{
    auto update = [this, index](auto change) {
        change(m_items[index]);
        emit itemChanged(index);
    };
    auto showPhase = [update](const QString &label) {
        update([&](TJobItemStatus &s) {
            s.phase = label;
            s.done = s.total = -1;
        });
    };
    connect(operation, &TDeviceOperation::stepStarted, this, [this, index, showPhase](const QString &label) {
        showPhase(label);
        emit stepStarted(index, label);
    });
    connect(operation, &TDeviceOperation::phaseChanged, this, [this, index, showPhase](const QString &label) {
        showPhase(label);
        emit phaseChanged(index, label);
    });
    connect(operation, &TDeviceOperation::transferStarted, this, [this, index](qint64 total) { emit transferStarted(index, total); });
    connect(operation, &TDeviceOperation::progressed, this, [this, index, update](qint64 done, qint64 total) {
        update([&](TJobItemStatus &s) {
            s.done = done;
            s.total = total;
        });
        emit progressed(index, done, total);
    });
    connect(operation, &TDeviceOperation::transferEnded, this, [this, index] { emit transferEnded(index); });
    connect(operation, &TDeviceOperation::logLine, this, [this, index](const QString &line) { emit logLine(index, line); });
    if (auto *bracket = qobject_cast<TControllerBracketOperation *>(operation))
        connect(bracket, &TControllerBracketOperation::textRead, this,
                [this, index](const QByteArray &text) { emit textRead(index, text); });
    connect(operation, &TDeviceOperation::sendFailed, this, [this, index](const QString &reason) { emit sendFailed(index, reason); });
}

void TJob::operationFinished(TDeviceOperation *operation)
{
    const int index = m_indexOf.value(operation, -1);
    if (index < 0)
        return;
    TJobItemStatus &status = m_items[index];
    status.outcome = operation->outcome();
    status.done = status.total = -1;
    status.changed = status.outcome.deviceChanged;
    status.sentSha256 = status.outcome.sentSha256;
    if (auto *command = qobject_cast<TDeviceCommand *>(operation))
        status.attempts = command->attemptsMade();
    if (auto *read = qobject_cast<TReadControllerText *>(operation))
        status.received = read->text();
    else if (auto *logs = qobject_cast<TReadLogs *>(operation))
        status.received = logText(logs->blocks());

    const TOperationOutcome &outcome = status.outcome;
    if (outcome.succeeded) {
        if (upgrades(status.item.action))
            upgraded(index);
        else if (status.item.action == TJobAction::BackUpConfiguration)
            keepInSnapshot(index);
        else
            settle(index, State::Done, QStringLiteral("Done"));
    } else if (outcome.kind == TOperationError::Busy) {
        settle(index, State::Busy, outcome.failureText());
    } else if (outcome.cancelled) {
        QString message = QStringLiteral("Stopped");
        if (!outcome.failedStep.isEmpty())
            message += QStringLiteral(" at %1").arg(outcome.failedStep);
        message += outcome.device.normal() ? QStringLiteral("; the device is put back")
                                           : QStringLiteral("; the device is left with its %1").arg(outcome.device.text());
        settle(index, State::Cancelled, message);
    } else if (outcome.declined) {
        settle(index, State::Cancelled, QStringLiteral("Declined: nothing was sent"));
    } else {
        QString message = outcome.message;
        if (message.isEmpty())
            message = outcome.error ? outcome.errorText() : outcome.failedStep + QStringLiteral(" failed");
        else if (outcome.error)
            message += QStringLiteral(" (%1)").arg(outcome.errorText());
        settle(index, State::Failed, message);
    }
    emit operationEnded(index);
    checkFinished();
}

void TJob::upgraded(int index)
{
    TJobItemStatus &status = m_items[index];
    status.changed = true;
    if (m_cancelled) {
        settle(index, State::Unconfirmed,
               QStringLiteral("Upgraded; not waited for: the job was stopped before the device answered again"));
        return;
    }
    if (!status.item.device.record) {
        settle(index, State::Unconfirmed,
               QStringLiteral("Upgraded; not confirmed: no scan had listed the device, so it cannot be recognised again"));
        return;
    }
    status.state = State::Confirming;
    const int timeoutMs = m_request.options.comeBackTimeoutMs;
    m_rediscovery.watch(index, *status.item.device.record,
                        status.item.action == TJobAction::BoardUpgrade ? TRediscovery::Rule::RestartThenAnswer
                                                                       : TRediscovery::Rule::AnswerAgain,
                        QDeadlineTimer(timeoutMs), timeoutMs / 1000);
    emit itemChanged(index);
    confirmNext();
}

void TJob::keepInSnapshot(int index)
{
    TJobItemStatus &status = m_items[index];
    QString error;
    if (!status.item.device.record) {
        settle(index, State::Failed, QStringLiteral("Read, but not saved: no scan listed the device"));
        return;
    }
    if (m_snapshot->add(*status.item.device.record, status.received, QDateTime::currentDateTime(), &error)) {
        m_unindexed << index;
        flushSnapshot(false);
        settle(index, State::Done, QStringLiteral("Saved, %1 bytes").arg(status.received.size()));
    } else {
        status.outcome.kind = TOperationError::FileError;
        settle(index, State::Failed, QStringLiteral("Read, but not saved: %1").arg(error));
    }
}

void TJob::cancel()
{
    if (m_awaitingConfirmation) {
        confirm(false);
        return;
    }
    m_cancelled = true;
    for (int index : std::exchange(m_pending, {}))
        settle(index, State::Cancelled, QStringLiteral("Not started: the job was stopped"));
    if (m_pool)
        m_pool->cancel();
    // The upgrades done wait no longer for their devices: the job ends once the scan under way does.
    for (const TRediscovery::Verdict &verdict : m_rediscovery.stopAll())
        applyVerdict(verdict);
    if (m_confirmScan)
        m_confirmScan->cancel();
    for (TSearchDevice *search : std::as_const(m_confirmSearches))
        search->cancel();
    checkFinished();
}

bool TJob::retry()
{
    if (isRunning() || !m_started)
        return false;
    QList<int> again;
    for (int i = 0; i < m_items.size(); ++i)
        if (m_items.at(i).retryable())
            again << i;
    if (again.isEmpty())
        return false;
    m_finished = false;
    m_started = true;
    for (int index : std::as_const(again)) {
        TJobItemStatus &status = m_items[index];
        const TJobItem item = status.item;
        status = TJobItemStatus();
        status.item = item;
        emit itemChanged(index);
    }
    m_cancelled = false;
    prepareThen(again, [this](const QList<int> &ready) { run(ready); });
    return true;
}

void TJob::confirmNext()
{
    if (m_confirmScan || !m_confirmSearches.isEmpty())
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
    // A device reached over TCP never hears a broadcast: it is asked where it is.
    for (const TJobItemStatus &status : std::as_const(m_items)) {
        if (status.state != State::Confirming || status.item.device.target.transport != TransportTcp)
            continue;
        auto *search = new TSearchDevice(m_engine, status.item.device.target.ip, m_request.options.timing);
        m_confirmSearches << search;
        connect(search, &TDeviceOperation::finished, this, [this, search] {
            m_confirmSearches.removeOne(search);
            for (const TDeviceRecord &device : search->devices())
                confirmReply(device);
            search->deleteLater();
            if (!m_confirmScan && m_confirmSearches.isEmpty())
                confirmRoundEnded();
        });
        search->start();
    }
    m_confirmScan = new TScanDevices(m_engine, {1, 0, m_request.options.comeBackListenMs});
    connect(m_confirmScan, &TDeviceOperation::finished, this, [this] {
        m_confirmScan->deleteLater();
        m_confirmScan = nullptr;
        if (m_confirmSearches.isEmpty())
            confirmRoundEnded();
    });
    m_confirmScan->start();
}

void TJob::confirmReply(const TDeviceRecord &device)
{
    if (const std::optional<TRediscovery::Verdict> verdict = m_rediscovery.replied(device))
        applyVerdict(*verdict);
}

void TJob::confirmRoundEnded()
{
    for (const TRediscovery::Verdict &verdict : m_rediscovery.roundEnded())
        applyVerdict(verdict);
    confirmNext();
}

void TJob::applyVerdict(const TRediscovery::Verdict &verdict)
{
    TJobItemStatus &status = m_items[verdict.index];
    status.versionsAfter = verdict.versionsAfter;
    status.warning = verdict.warning();
    if (verdict.kind == TRediscovery::Verdict::Stopped) {
        settle(verdict.index, State::Unconfirmed, verdict.message);
    } else if (verdict.succeeded()) {
        settle(verdict.index, State::Done, verdict.message);
    } else {
        status.outcome.kind = TOperationError::NotResponding;
        settle(verdict.index, State::Unconfirmed, verdict.message);
    }
    journalConfirmation(verdict.index, verdict);
    checkFinished();
}

void TJob::stopListening()
{
    if (!m_listener)
        return;
    m_engine->removeDiscoveryListener(m_listener);
    m_listener = 0;
}

void TJob::settle(int index, TJobItemStatus::State state, const QString &message)
{
    TJobItemStatus &status = m_items[index];
    status.state = state;
    status.message = message;
    emit itemChanged(index);
}

void TJob::journalConfirmation(int index, const TRediscovery::Verdict &verdict)
{
    // The upgrade itself is in the history already, as every operation is: this says whether the
    // device came back after it.
    if (!m_journal)
        return;
    const TJobItemStatus &status = m_items.at(index);
    TJournalEntry entry;
    entry.when = QDateTime::currentDateTime();
    if (status.item.device.record) {
        entry.mac = CanonicalMacText(status.item.device.record->Mac);
        entry.name = status.item.device.record->Params.text(Wire::Param::Name);
    }
    entry.ip = status.item.device.target.ip;
    entry.operation = JobActionTitle(status.item.action) + QStringLiteral(": found again");
    entry.file = status.item.file;
    entry.fileSha256 = status.sentSha256;
    const bool confirmed = verdict.succeeded();
    entry.outcome = confirmed ? QStringLiteral("succeeded")
                  : verdict.kind == TRediscovery::Verdict::Stopped ? QStringLiteral("cancelled")
                                                                  : QStringLiteral("failed");
    entry.message = confirmed ? QString() : verdict.message;
    entry.detail = confirmed ? verdict.message : QString();
    entry.imageVersion = status.libraryVersion;
    m_journal->append(entry);
}

void TJob::flushSnapshot(bool final)
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
    for (int index : std::exchange(m_unindexed, {})) {
        m_items[index].outcome.kind = TOperationError::FileError;
        settle(index, State::Failed, QStringLiteral("Saved, but the snapshot's index was not written: %1").arg(error));
    }
}

void TJob::checkFinished()
{
    if (m_finished || !m_started || m_awaitingConfirmation || m_preparing)
        return;
    if ((m_pool && !m_pool->isFinished()) || !m_rediscovery.isEmpty() || m_confirmScan || !m_confirmSearches.isEmpty())
        return;
    if (!m_pending.isEmpty() && !m_cancelled) {
        // The controllers have their verdicts: the boards' turn.
        runStage(std::exchange(m_pending, {}));
        return;
    }
    // A cancel ends the pool before it tells which of its items never started: they are told here,
    // before finished(), so that whoever reads the items then sees every one settled.
    for (int index = 0; index < m_items.size(); ++index)
        if (m_items.at(index).state == State::Queued)
            settle(index, State::Cancelled, QStringLiteral("Not started: the job was stopped"));
    flushSnapshot(true);
    m_finished = true;
    emit finished();
}
