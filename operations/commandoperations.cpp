#include "operations/commandoperations.h"

#include "protocol/datagram.h"
#include "operations/devicesession.h"
#include "protocol/datagramengine.h"

#include <QDeadlineTimer>
#include <QScopeGuard>
#include <QThread>

#include <algorithm>

// ---- One command -------------------------------------------------------------------------------

TDeviceCommand::TDeviceCommand(TDatagramEngine *engine, const TDeviceTarget &target, Wire::Command command, Options options,
                               const TOperationTiming &timing, QObject *parent)
    : TDeviceOperation(engine, target, timing, parent), m_command(command), m_options(options)
{
}

QString TDeviceCommand::title() const
{
    return QString::fromLatin1(Wire::commandInfo(m_command).name);
}

void TDeviceCommand::run(TDeviceSession &session)
{
    if (m_options.flushArpFirst)
        session.flushArp();
    TCommandReply last;
    for (int attempt = 1; attempt <= std::max(1, m_options.attempts); ++attempt) {
        if (attempt > 1 && session.cancelled())
            break;
        m_attemptsMade = attempt;
        session.outcome().deviceChanged = true;
        last = session.command(m_command);
        m_result = last.result;
        if (last.result == ResultAcknowledged) {
            session.succeed();
            return;
        }
        if (!last.error.isEmpty()) {
            session.fail({}, last.error, TOperationError::Environment);
            return;
        }
    }
    // What the last attempt waited for and got, and how many were made.
    const QString detail = session.stepDetail(m_command, last);
    session.fail({}, m_attemptsMade.load() > 1 ? QStringLiteral("%1 (%2 attempts)").arg(detail).arg(m_attemptsMade.load()) : detail);
}

// ---- Search ------------------------------------------------------------------------------------

TSearchDevice::TSearchDevice(TDatagramEngine *engine, const QString &ipText, const TOperationTiming &timing, QObject *parent)
    : TDeviceOperation(engine, {ipText, TransportTcp}, timing, parent)
{
}

void TSearchDevice::run(TDeviceSession &session)
{
    session.mark(QStringLiteral("Search"));
    m_reply = session.engine().DiscoverOverTcp(session.ip(), &session.cancelFlag());
    session.log(m_reply.isEmpty() ? QStringLiteral("no reply") : QStringLiteral("%1 bytes").arg(m_reply.size()));
    session.succeed();
}

QList<TDeviceRecord> TSearchDevice::devices() const
{
    QList<TDeviceRecord> list;
    // The device is known by the address the request went to, as the typed text reads it.
    MergeDiscoveryReply(list, IpToText(TextToIp(target().ip)), m_reply, false);
    return list;
}

// ---- Scan --------------------------------------------------------------------------------------

TScanDevices::TScanDevices(TDatagramEngine *engine, Options options, QObject *parent)
    : TDeviceOperation(engine, {}, {}, parent), m_options(options)
{
}

QList<TDeviceRecord> TScanDevices::devices() const
{
    return m_found.devices();
}

QList<TDeviceRecord> TScanDevices::twins() const
{
    return m_found.twins();
}

void TScanDevices::run(TDeviceSession &session)
{
    TDatagramEngine &engine = session.engine();
    const int listener = engine.addDiscoveryListener([this](const TDeviceDatagram &datagram) {
        if (const int index = m_found.merge(datagram.sender, datagram.data, true, datagram.adapter); index >= 0)
            emit deviceReplied(index);
    });
    const auto stopListening = qScopeGuard([&] { engine.removeDiscoveryListener(listener); });

    const QDeadlineTimer end(std::max(m_options.listenMs, 0));
    for (int pulse = 0; pulse < std::max(1, m_options.pulses) && !session.cancelled(); ++pulse) {
        if (pulse > 0)
            session.sleepUnlessCancelled(m_options.intervalMs);
        session.phase(QStringLiteral("Discover %1").arg(pulse + 1));
        const TBroadcastReport sent = engine.BroadcastOnAdapters();
        if (sent.sentThrough.isEmpty()) {
            session.fail({}, sent.failures.join(u"; "), TOperationError::Environment);
            return;
        }
        // An adapter that cannot send (gone down meanwhile) leaves the others scanning.
        for (const QString &failure : sent.failures)
            session.log(QStringLiteral("Not sent through %1").arg(failure));
        emit pulseSent(pulse + 1, m_options.pulses);
    }
    session.sleepUnlessCancelled(int(end.remainingTime()));
    session.log(QStringLiteral("%1 devices").arg(devices().size()));
    session.succeed();
}
