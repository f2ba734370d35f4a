#pragma once
// TDeviceSession: what an operation's worker thread works with: the device's address, the
// board's start/stop steps with their labels, the ARP flush, the settling wait, bus clients that
// reset the controller when their work fails, and the outcome being written. Everything it
// tells the caller goes out through the operation's signals.

#include "operations/deviceoperation.h"
#include "protocol/datagramengine.h"
#include "protocol/wire.h"

#include <QString>

#include <functional>

class TControllerBus;

class TDeviceSession
{
public:
    explicit TDeviceSession(TDeviceOperation &operation);

    const QString &ip() const { return m_operation.m_target.ip; }
    quint8 transport() const { return m_operation.m_target.transport; }
    const TOperationTiming &timing() const { return m_operation.m_timing; }
    TDatagramEngine &engine() const { return *m_operation.m_engine; }
    TDeviceOperation &operation() const { return m_operation; }
    bool cancelled() const { return m_operation.m_cancel.load(); }
    const std::atomic<bool> &cancelFlag() const { return m_operation.m_cancel; }

    // The label the window shows while the board handles a command ("Stopping daemon").
    static QString stepLabel(Wire::Command command);

    // Sends one start/stop command and tells whether the device acknowledged it; the state of
    // the service it names follows the acknowledgement. An unconfirmed step is recorded as the
    // failed one, "Device not responding: <its label>" (the first failure stays the one reported).
    bool step(Wire::Command command);
    // Puts the device's services back after the work, whatever happened to it: stops the updater
    // and the FTP server if they were asked to start, starts the daemon if it was asked to stop.
    // True when the device confirmed each.
    bool restoreService();
    // The same without judging: the reply, with the service's state following it.
    TCommandReply command(Wire::Command command);

    void flushArp();
    // The wait after a begin command and after update mode, which the device needs whatever the
    // caller does meanwhile. A cancel ends it at once (the next step is not sent then).
    void waitForDeviceToSettle();
    // Sleeps ms, or less when the operation is cancelled meanwhile (woken within a few tens of ms).
    void sleepUnlessCancelled(int ms) const;

    // Runs work on a bus client of its own; when the work fails or raises, the controller is
    // reset before the client goes (its reply does not matter). The client stops between chunks
    // once the operation is cancelled.
    bool busOperation(const std::function<bool(TControllerBus &bus)> &work);

    void phase(const QString &label);
    // Names what is under way for the outcome, without telling the caller.
    void mark(const QString &label) { m_label = label; }
    void log(const QString &line);
    // Marks the outcome failed at the current step or phase (the first failure is kept), with
    // what went wrong there for the user ("Verify Error ...", "Device not responding: ...") and
    // its kind for callers that branch on it.
    void fail(const QString &cause = {}, const QString &detail = {},
              TOperationError kind = TOperationError::NotResponding);
    // "Device not responding: <label>".
    static QString notResponding(const QString &label);
    // Why a bus request failed, for the outcome's detail: "no answer to GetConfigStart on the bus
    // of 198.18.1.5 within 3 attempts of 1007 ms", with what came instead when something did.
    QString busNoAnswer(const TControllerBus &bus, const QString &request, int attemptMs) const;
    // Why a board command was not confirmed: no reply within its wait, another code, or the send
    // error.
    QString stepDetail(Wire::Command command, const TCommandReply &reply) const;
    void succeed();
    const QString &cause() const { return m_cause; }

    const QString &currentLabel() const { return m_label; }
    const TDeviceState &state() const { return m_state; }
    TOperationOutcome &outcome() const { return m_operation.m_outcome; }

private:
    TDeviceOperation &m_operation;
    TDeviceState m_state;
    QString m_label;
    QString m_cause;
    QList<Wire::Command> m_sent; // the board's commands sent, in order
};
