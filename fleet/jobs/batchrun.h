#pragma once
// TBatchRun: one operation over a chosen set of devices, a few at a time, with a status for each:
// waiting, its phase and progress while it runs, then its outcome. Stop starts no new device and
// has the running ones stop before their next exchange (each is still put back); "retry failed"
// runs the failed and stopped ones again. After a firmware upgrade the device must answer a scan
// again within a bound (after a board upgrade: go away first, as a restart does; see TRediscovery),
// and its versions before and after are kept; Stop ends that wait too. Only the devices given at
// the start are ever touched, whatever the list shows meanwhile.

#include "fleet/configuration/configsnapshot.h"
#include "operations/deviceoperation.h"
#include "operations/firmwareimage.h"
#include "fleet/jobs/rediscovery.h"
#include "protocol/devicerecord.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <optional>

class TFirmwareLibrary;
class TOperationJournal;
class TOperationPool;
class TScanDevices;

class TBatchRun : public QObject
{
    Q_OBJECT
public:
    // Reset sends the reset alone (answered only while the updater runs); ResetWithUpdater brackets
    // it: daemon stopped, updater started, reset, updater stopped, daemon started.
    enum class Kind { ControllerUpgrade, BoardUpgrade, BackUpConfiguration, Reset, ResetWithUpdater };

    struct Options
    {
        int jobs = 4;
        int rediscoveryTimeoutMs = 120000; // a device that does not answer a scan by then failed
        int rediscoveryListenMs = 1000;    // each confirming scan listens this long
        QString snapshotRoot;              // BackUpConfiguration; empty: the default root
        TOperationTiming timing;
        const TOperationJournal *journal = nullptr; // each outcome is appended when set
        // An image that is one of this library's is marked with its version and types: it goes only
        // to the devices of those types (each upgrade refuses it before its first request otherwise).
        const TFirmwareLibrary *library = nullptr;
    };

    struct DeviceStatus
    {
        enum State { Waiting, Running, Confirming, Succeeded, Failed, Stopped };
        TDeviceRecord device;            // as the list showed it when the batch started
        State state = Waiting;
        QString phase;
        qint64 done = -1;
        qint64 total = -1;
        QString message;        // the outcome: the window's message on failure, what was done on success
        QString versionsBefore; // firmware upgrades: the versions the device reported before and after
        QString versionsAfter;
        bool warning = false;   // succeeded, but with something to check (the same firmware after a board upgrade)
        TOperationOutcome outcome;

        // A device waiting for its turn.
        static DeviceStatus of(const TDeviceRecord &device)
        {
            DeviceStatus status;
            status.device = device;
            return status;
        }
    };

    TBatchRun(TDatagramEngine *engine, Kind kind, const QList<TDeviceRecord> &devices, const QString &file, const Options &options,
              QObject *parent = nullptr);
    ~TBatchRun() override;

    // Every device waiting runs; the caller has asked for confirmation once for all.
    void start();
    void stop();
    // The failed and stopped devices run again; false when none did or the batch still runs.
    bool retryFailed();

    bool isRunning() const;
    Kind kind() const { return m_kind; }
    QString title() const;
    const QList<DeviceStatus> &statuses() const { return m_statuses; }
    int count(DeviceStatus::State state) const;
    // What the list's Status column shows for a device.
    static QString statusText(const DeviceStatus &status);
    // How the list colours a device's status: by how it ended and the kind of its failure.
    enum class Tone { Neutral, Good, Warning, Bad };
    static Tone statusTone(const DeviceStatus &status);
    // "firmware 3.0.5, kernel 4.19.105": the versions a device reports.
    static QString versionsText(const TDeviceRecord &device);
    // The snapshot a back-up writes into (made at its first start).
    const std::optional<TConfigSnapshot> &snapshot() const { return m_snapshot; }

signals:
    void deviceChanged(int index);
    // Every device of this run (or retry) has its outcome.
    void finished();

private:
    TDeviceOperation *makeOperation(const DeviceStatus &status);
    void launch(const QList<int> &indexes);
    void operationFinished(TDeviceOperation *operation);
    void succeed(int index, const QString &message);
    void fail(int index, const QString &message);
    void finishDevice(int index, DeviceStatus::State state, const QString &message);
    void journalConfirmation(int index, const TRediscovery::Verdict &verdict);
    void confirmNext();
    void confirmScanFinished();
    void confirmReply(const TDeviceRecord &device);
    void applyVerdict(const TRediscovery::Verdict &verdict);
    void stopListening();
    void checkFinished();
    // Writes the snapshot's index: at the end of a run, and meanwhile at most every few seconds.
    void flushSnapshot(bool final);
    bool upgrades() const { return m_kind == Kind::ControllerUpgrade || m_kind == Kind::BoardUpgrade; }

    TDatagramEngine *m_engine;
    Kind m_kind;
    QString m_file;
    TFirmwareImage m_image;
    Options m_options;
    QList<DeviceStatus> m_statuses;
    QHash<TDeviceOperation *, int> m_indexOf;
    TOperationPool *m_pool = nullptr;
    TScanDevices *m_confirmScan = nullptr;  // sends the confirming scans, one round each
    TRediscovery m_rediscovery;            // the upgraded devices not yet confirmed
    int m_listener = 0;                    // the engine's discovery listener while confirming
    std::optional<TConfigSnapshot> m_snapshot;
    QList<int> m_unindexed;     // devices saved since the snapshot's index was last written
    QElapsedTimer m_sinceFlush;
    bool m_announced = false; // finished() was emitted for this run or retry
    bool m_stopped = false;   // stop() was asked for this run or retry
};
