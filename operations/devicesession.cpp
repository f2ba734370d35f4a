#include "operations/devicesession.h"

#include "platform/platform.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "bus/controllerbus.h"

#include <QDeadlineTimer>
#include <QThread>

#include <algorithm>

namespace {
struct StepInfo
{
    Wire::Command command;
    const char *label;
    TDeviceState::Service TDeviceState::*service; // nullptr: the command names no service
    TDeviceState::Service after;
};

constexpr StepInfo Steps[] = {
    {Wire::Command::StartUpdater, "Starting updater", &TDeviceState::updater, TDeviceState::On},
    {Wire::Command::StopUpdater, "Stopping updater", &TDeviceState::updater, TDeviceState::Off},
    {Wire::Command::StartDaemon, "Starting daemon", &TDeviceState::daemon, TDeviceState::On},
    {Wire::Command::StopDaemon, "Stopping daemon", &TDeviceState::daemon, TDeviceState::Off},
    {Wire::Command::StartFtpServer, "Starting FTP server", &TDeviceState::ftpServer, TDeviceState::On},
    {Wire::Command::StopFtpServer, "Stopping FTP server", &TDeviceState::ftpServer, TDeviceState::Off},
    {Wire::Command::SystemUpgrade, "System Upgrading", nullptr, TDeviceState::Unknown},
    {Wire::Command::SetDropBear, "DropBear", nullptr, TDeviceState::Unknown},
};

const StepInfo *stepInfo(Wire::Command command)
{
    for (const StepInfo &info : Steps)
        if (info.command == command)
            return &info;
    return nullptr;
}

QString verdictText(TCommandResult result)
{
    switch (result) {
    case ResultAcknowledged: return QStringLiteral("acknowledged");
    case ResultOtherReply: return QStringLiteral("answered with another code");
    default: return QStringLiteral("no reply");
    }
}
} // namespace

TDeviceSession::TDeviceSession(TDeviceOperation &operation) : m_operation(operation) {}

QString TDeviceSession::stepLabel(Wire::Command command)
{
    const StepInfo *info = stepInfo(command);
    return info ? QString::fromLatin1(info->label) : QString::fromLatin1(Wire::commandInfo(command).name);
}

TCommandReply TDeviceSession::command(Wire::Command command)
{
    m_label = stepLabel(command);
    emit m_operation.stepStarted(m_label);
    m_sent.append(command);
    const TCommandReply reply = engine().Command(command, ip(), transport(), &cancelFlag());
    const bool confirmed = reply.result == ResultAcknowledged;
    if (const StepInfo *info = stepInfo(command); info && info->service) {
        // Unconfirmed, the service may or may not have changed.
        m_state.*(info->service) = confirmed ? info->after : TDeviceState::Unconfirmed;
    }
    // A wait the caller cut short (a cancel, the engine closing) is no failure to send.
    if (!reply.error.isEmpty() && reply.interruption == TCommandReply::Interruption::None)
        emit m_operation.sendFailed(reply.error);
    log(QStringLiteral("%1: %2").arg(m_label, reply.error.isEmpty() ? verdictText(reply.result) : reply.error));
    return reply;
}

bool TDeviceSession::step(Wire::Command command)
{
    const TCommandReply reply = this->command(command);
    const bool confirmed = reply.result == ResultAcknowledged;
    if (!confirmed)
        fail(notResponding(m_label), stepDetail(command, reply),
             reply.error.isEmpty() || reply.interruption != TCommandReply::Interruption::None
                 ? TOperationError::NotResponding
                 : TOperationError::Environment);
    return confirmed;
}

bool TDeviceSession::restoreService()
{
    using C = Wire::Command;
    const auto sent = [this](C command) { return m_sent.contains(command); };
    bool restored = true;
    if (sent(C::StartUpdater) && !sent(C::StopUpdater))
        restored = step(C::StopUpdater) && restored;
    if (sent(C::StartFtpServer) && !sent(C::StopFtpServer))
        restored = step(C::StopFtpServer) && restored;
    if (sent(C::StopDaemon) && !sent(C::StartDaemon))
        restored = step(C::StartDaemon) && restored;
    return restored;
}

QString TDeviceSession::stepDetail(Wire::Command command, const TCommandReply &reply) const
{
    if (!reply.error.isEmpty())
        return reply.error;
    const QString name = QString::fromLatin1(Wire::commandInfo(command).name);
    if (reply.result == ResultOtherReply)
        return QStringLiteral("%1 (command %2) to %3 was answered with another code: %4")
            .arg(name)
            .arg(int(command))
            .arg(ip(), QString::fromLatin1(reply.data.left(16).toHex(' ')));
    return QStringLiteral("no reply to %1 (command %2) from %3 within %4 ms")
        .arg(name)
        .arg(int(command))
        .arg(ip())
        .arg(engine().replyWaitMs(command));
}

QString TDeviceSession::busNoAnswer(const TControllerBus &bus, const QString &request, int attemptMs) const
{
    QString text = QStringLiteral("no answer to %1 on the bus of %2 within %3 attempts of %4 ms")
                       .arg(request, ip())
                       .arg(ControllerBus::Attempts)
                       .arg(attemptMs);
    // A reply too short or with a bad CRC is kept in the buffer: say what it was.
    if (const QByteArray &came = bus.ReplyBuffer(); !came.isEmpty())
        text += QStringLiteral("; %1 bytes came instead (%2)").arg(came.size()).arg(QString::fromLatin1(came.left(16).toHex(' ')));
    return text;
}

QString TDeviceSession::notResponding(const QString &label)
{
    return FormatErrorMessage(MsgDeviceNotResponding, {}) + QStringLiteral(": ") + label;
}

void TDeviceSession::flushArp()
{
    // A message says the flush was refused, or cannot be done on this system: the user is told,
    // and the operation goes on.
    const Platform::NeighbourFlush flush = Platform::flushNeighbour(ip(), timing().arpTimeoutMs);
    if (!flush.message.isEmpty()) {
        outcome().notes << flush.message;
        log(flush.message);
    }
}

void TDeviceSession::waitForDeviceToSettle()
{
    sleepUnlessCancelled(timing().settleMs);
}

void TDeviceSession::sleepUnlessCancelled(int ms) const
{
    // Short slices: a cancel must wake the wait well within a tenth of a second.
    constexpr qint64 SliceMs = 20;
    const QDeadlineTimer deadline(std::max(ms, 0));
    while (!deadline.hasExpired() && !cancelled())
        QThread::msleep(static_cast<unsigned long>(std::clamp<qint64>(deadline.remainingTime(), 1, SliceMs)));
}

bool TDeviceSession::busOperation(const std::function<bool(TControllerBus &bus)> &work)
{
    TControllerBus bus(nullptr, ip(), Wire::BusPort, timing().bus);
    bus.setStopFlag(&cancelFlag());
    bool result = false;
    try {
        result = work(bus);
    } catch (...) {
        bus.resetController();
        throw;
    }
    // The controller may be half way through a transfer: take it back to its normal state.
    if (!result) {
        if (outcome().failedStep.isEmpty())
            fail();
        bus.resetController();
    }
    return result;
}

void TDeviceSession::phase(const QString &label)
{
    m_label = label;
    emit m_operation.phaseChanged(label);
}

void TDeviceSession::log(const QString &line)
{
    emit m_operation.logLine(ip() + QStringLiteral(": ") + line);
}

void TDeviceSession::fail(const QString &cause, const QString &detail, TOperationError kind)
{
    TOperationOutcome &result = outcome();
    result.succeeded = false;
    if (result.failedStep.isEmpty())
        result.failedStep = m_label;
    if (result.kind == TOperationError::None)
        result.kind = kind;
    if (m_cause.isEmpty())
        m_cause = cause;
    if (result.detail.isEmpty())
        result.detail = detail;
}

void TDeviceSession::succeed()
{
    outcome().succeeded = true;
}
