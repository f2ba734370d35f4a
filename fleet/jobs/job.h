#pragma once
// TJob: one request of a front end carried out over its devices, a few at a time, with the rules
// that every door shares:
//   - each image is read once per job; its SHA-256 is taken from the bytes sent and looked up in
//     the firmware library, whatever way it was chosen: a library image goes only to the component
//     and the device types its entry names, otherwise the item is refused before its first request;
//   - controllers before boards; a device whose controller upgrade failed or was stopped gets no
//     board upgrade in the same job;
//   - an upgraded device must be seen to answer again (board: go away, then come back);
//   - one operation per device (the operation manager refuses a busy device), every operation
//     recorded in the history when it starts and ends;
//   - retry takes only the items that never changed their device; an upgrade done but not
//     confirmed is not flashed again blindly.
// Made by TJobService; the job's items keep their order, and their states are told by signals.

#include "fleet/configuration/configsnapshot.h"
#include "fleet/jobs/jobrequest.h"
#include "fleet/jobs/rediscovery.h"
#include "operations/firmwareimage.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>

#include <functional>
#include <optional>

class TDatagramEngine;
class TDeviceOperation;
class TFirmwareLibrary;
class TOperationJournal;
class TOperationPool;
class TScanDevices;
class TSearchDevice;

// Where one item of a job stands.
struct TJobItemStatus
{
    enum State {
        Queued,      // waiting for its turn
        Running,     // its operation runs: phase, done and total tell how far
        Confirming,  // upgraded; waiting for the device to answer a scan again
        Done,        // succeeded (an upgrade: and the device answered again)
        Failed,      // the outcome's kind says why
        Busy,        // another operation worked on the device: nothing was sent
        Cancelled,   // stopped, or never started because the job was stopped
        LeftAlone,   // a rule kept the job off it (the board of a device whose controller failed)
        Unconfirmed, // upgraded, but the device did not answer (or restart) in time
    };

    TJobItem item;
    State state = Queued;
    QString phase;
    qint64 done = -1;
    qint64 total = -1;
    QString message;        // what was done, or why not: the Status column's and the CLI's words
    bool warning = false;   // done, with something to check (the same firmware after a board upgrade)
    // The device may have been changed: its operation sent a request that changes the device (a
    // firmware block, a configuration, a reset), or its upgrade went through.
    bool changed = false;
    QString versionsBefore; // firmware upgrades: the versions the device reported before and after
    QString versionsAfter;
    QString sentSha256;     // of the image or configuration sent
    QString libraryVersion; // the library's version of that image, when it is one
    int attempts = -1;      // board commands: how many times the command was sent
    QByteArray received;    // reads: the text as the device sent it (logs: a block a line, CR LF)
    TOperationOutcome outcome;

    bool finished() const { return state != Queued && state != Running && state != Confirming; }
    bool succeeded() const { return state == Done; }
    // "Waiting", "Writing Code 40%", or the message: what a list shows.
    QString text() const;
    // Whether retry takes it: it did not succeed and never changed its device.
    bool retryable() const;
};

class TJob : public QObject
{
    Q_OBJECT
public:
    ~TJob() override;

    const TJobRequest &request() const { return m_request; }
    const QList<TJobItemStatus> &items() const { return m_items; }
    const TJobItemStatus &item(int index) const { return m_items.at(index); }
    int count(TJobItemStatus::State state) const;
    QString title() const;

    // Checks the images, asks for confirmation unless the request says it was given, then works
    // through the items. finished() follows once every item has ended, also when nothing could run.
    void start();
    void confirm(bool accepted);
    // No item is started any more; the running ones stop before their next exchange and are put
    // back; upgrades waiting to be confirmed stop waiting (told as not confirmed).
    void cancel();
    // The items that retryable() takes run again; false when none does or the job still runs.
    bool retry();
    bool isRunning() const;
    bool isFinished() const { return m_finished; }
    // start(), then a local event loop until finished().
    void exec();

    // The snapshot a back-up writes into (made at its first start).
    const std::optional<TConfigSnapshot> &snapshot() const { return m_snapshot; }

signals:
    // Before anything is sent, when the request was not confirmed: answer with confirm().
    void confirmationRequested();
    void itemChanged(int index);
    // The operation of an item tells its steps, phases and transfers (the upgrade window shows them).
    void stepStarted(int index, const QString &label);
    void phaseChanged(int index, const QString &label);
    void transferStarted(int index, qint64 total);
    void progressed(int index, qint64 done, qint64 total);
    void transferEnded(int index);
    // A board upgrade's image is on the board; the board's own steps follow.
    void uploaded(int index);
    void logLine(int index, const QString &line);
    // A read's text as the controller sends it: a configuration or diagnostics text whole, a log
    // block by block (the window shows each as it comes).
    void textRead(int index, const QByteArray &text);
    // A request could not be sent (no socket, no route): the engine's words for it.
    void sendFailed(int index, const QString &reason);
    // The item's operation has ended: its outcome is in the item (an upgrade that went through is
    // Confirming now, while the job waits for the device to answer again).
    void operationEnded(int index);
    // Every item of this run (or retry) has ended.
    void finished();

private:
    friend class TJobService;
    TJob(TDatagramEngine *engine, const TJobRequest &request, const TOperationJournal *journal, QObject *parent);

    // Reads and checks the items' files on a worker, then settles the refused items and hands the
    // others to next (none when the job was cancelled meanwhile).
    void prepareThen(const QList<int> &indexes, std::function<void(const QList<int> &)> next);
    void askOrRun(const QList<int> &runnable);
    void run(const QList<int> &indexes);
    void runStage(QList<int> indexes);
    // Whether the device of a board upgrade has a controller upgrade in this job that did not succeed.
    bool controllerFailed(const TJobItemStatus &board) const;
    TDeviceOperation *makeOperation(int index);
    void connectOperation(TDeviceOperation *operation, int index);
    void operationFinished(TDeviceOperation *operation);
    void upgraded(int index);
    void keepInSnapshot(int index);
    void settle(int index, TJobItemStatus::State state, const QString &message);
    void confirmNext();
    void confirmRoundEnded();
    void confirmReply(const TDeviceRecord &device);
    void applyVerdict(const TRediscovery::Verdict &verdict);
    void journalConfirmation(int index, const TRediscovery::Verdict &verdict);
    void stopListening();
    void flushSnapshot(bool final);
    void checkFinished();

    TDatagramEngine *m_engine;
    TJobRequest m_request;
    const TOperationJournal *m_journal;
    QList<TJobItemStatus> m_items;
    QHash<QString, TFirmwareImage> m_images; // by file: each read once per job
    // The items waiting for the confirmation, then for the stage under way to end (boards after
    // controllers).
    QList<int> m_pending;
    TOperationPool *m_pool = nullptr;
    QHash<TDeviceOperation *, int> m_indexOf;
    TScanDevices *m_confirmScan = nullptr;
    QList<TSearchDevice *> m_confirmSearches; // devices reached over TCP are asked one by one
    TRediscovery m_rediscovery;
    int m_listener = 0;
    std::optional<TConfigSnapshot> m_snapshot;
    QList<int> m_unindexed;
    QElapsedTimer m_sinceFlush;
    bool m_awaitingConfirmation = false;
    bool m_preparing = false; // the files are being read on a worker
    bool m_cancelled = false;
    bool m_finished = false;
    bool m_started = false;
};
