#pragma once
// TDeviceOperation: one maintenance operation on one device, shaped like Qt's own network
// replies: created by its caller, started, reporting its steps, phases and progress by signals,
// ending once with an outcome. Its exchanges run on a worker thread of its own, so that many
// operations on different devices run at once and the caller's thread never waits for a device.
//
// Typical use from a window or a command-line verb:
//
//   TControllerUpgrade upgrade(engine, {ip, TransportUdp}, fileName);
//   connect(&upgrade, &TDeviceOperation::confirmationRequested, [&] { upgrade.confirm(askUser()); });
//   connect(&upgrade, &TDeviceOperation::progressed, bar, ...);
//   const TOperationOutcome outcome = upgrade.exec(); // or start() and wait for finished()

#include "ftp/ftpclient.h"
#include "operations/outcome.h"
#include "protocol/devicerecord.h"
#include "bus/controllerbus.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <functional>

class QDeadlineTimer;
class QThread;
class TDeviceSession;
class TOperationManager;
class TDatagramEngine;

// The device an operation works on: its address and how its board is reached.
struct TDeviceTarget
{
    QString ip;
    quint8 transport = TransportUdp;
};

// The waits of the operations; tests and benchmarks shorten them.
struct TOperationTiming
{
    int settleMs = 2000;      // after a begin command, and after entering update mode
    int arpTimeoutMs = 10000; // the ARP tool is killed after this
    ControllerBus::Timing bus;
    Ftp::Limits ftp;
};

// The warning a caller shows before an operation that asks for confirmation: the window's dialog
// and the command line's prompt say the same.
QString FirmwareWarningText();

class TDeviceOperation;
// Told of every operation's end, on its caller's thread, just before finished(): how the program
// keeps its history of operations. One for the process; an empty function removes it.
using TOperationObserver = std::function<void(const TDeviceOperation &operation)>;
void SetOperationObserver(TOperationObserver observer);
// Told, on the caller's thread, just before an operation that changes its device sends its first
// request: how the history records "started" durably, so that an operation cut short by a crash
// still leaves a trace. One for the process; an empty function removes it.
void SetOperationStartObserver(TOperationObserver observer);

class TDeviceOperation : public QObject
{
    Q_OBJECT
public:
    TDeviceOperation(TDatagramEngine *engine, const TDeviceTarget &target, const TOperationTiming &timing = {},
                     QObject *parent = nullptr);
    // Cancels a running operation and waits for its worker, which puts the device back first.
    // (Each final class does so in its own destructor, before its members go: the classes that
    // run are final, so that no subclass's members can go before the worker has stopped.)
    ~TDeviceOperation() override;

    TDeviceOperation(const TDeviceOperation &) = delete;
    TDeviceOperation &operator=(const TDeviceOperation &) = delete;

    // What the operation is, for lists and logs ("Controller upgrade").
    virtual QString title() const = 0;
    const TDeviceTarget &target() const { return m_target; }
    const TOperationTiming &timing() const { return m_timing; }
    TDatagramEngine *engine() const { return m_engine; }

    // Starts the operation; one that changes the device's firmware or configuration first asks
    // its caller by confirmationRequested() and waits for confirm(). An operation that works on its
    // device while another one does ends at once, refused as busy, with nothing sent.
    void start();
    void confirm(bool accepted);
    // Any thread. The operation stops before its next exchange and still puts the device back.
    void cancel();
    bool isCancelled() const { return m_cancel.load(); }

    bool isRunning() const { return m_state == State::AwaitingConfirmation || m_state == State::Running; }
    bool isFinished() const { return m_state == State::Finished; }
    // Valid once finished() was emitted.
    const TOperationOutcome &outcome() const { return m_outcome; }

    // start(), then a local event loop until the end: the caller's thread goes on handling its
    // events meanwhile. Returns the outcome.
    TOperationOutcome exec();

    // Whether the operation asks for confirmation before it sends anything.
    virtual bool needsConfirmation() const { return false; }
    // Whether the operation works on its device (its services, firmware, configuration, logs), so
    // that it takes the device for itself and leaves a trace before it starts; a scan or a search
    // only asks and listens.
    virtual bool worksOnDevice() const { return true; }
    // The SHA-256 (hexadecimal) of the image or configuration the operation will send, known
    // before it starts; empty when it sends none.
    virtual QString payloadSha256() const { return {}; }

signals:
    void confirmationRequested();
    // A start/stop request of the device's board ("Stopping daemon").
    void stepStarted(const QString &label);
    // A phase of the work itself ("Writing Code", "Get Config Start").
    void phaseChanged(const QString &label);
    // A transfer of total bytes begins; progressed() follows with the bytes done so far.
    void transferStarted(qint64 total);
    void progressed(qint64 doneBytes, qint64 totalBytes);
    void transferEnded();
    // A request could not be sent (no socket, no route): the engine's words for it.
    void sendFailed(const QString &reason);
    // A line for a log or a terminal: what was sent and how the device answered.
    void logLine(const QString &line);
    void finished();

protected:
    friend class TDeviceSession;
    // The operation's exchanges, on the worker thread. Fills the outcome through the session;
    // an error that leaves it is kept in the outcome for the caller.
    virtual void run(TDeviceSession &session) = 0;
    // What the window shows when the user declines the warning, or when an error leaves run().
    virtual QString failureMessage() const { return {}; }
    // Cancels the work under way and waits for its thread; every final class's destructor calls
    // it, as the work uses the class's members.
    void stopWorker();

private:
    friend class TOperationManager;
    enum class State { Idle, AwaitingConfirmation, Running, Finished };
    void launch();
    void workerDone();
    // Ends the operation before it sends anything: the device is worked on by another one.
    void refuseAsBusy(const QString &message);
    // Waits for the worker thread until the deadline; says so in the log when it gives up.
    bool waitForWorker(const QDeadlineTimer &deadline);
    QString composeMessage(const QString &cause) const;

    TDatagramEngine *m_engine;
    TDeviceTarget m_target;
    TOperationTiming m_timing;
    State m_state = State::Idle;
    std::atomic<bool> m_cancel{false};
    QThread *m_worker = nullptr;
    // Set once the operation starts; gone with its engine.
    QPointer<TOperationManager> m_manager;
    TOperationOutcome m_outcome;
};
