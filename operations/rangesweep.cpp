#include "operations/rangesweep.h"

#include "operations/devicesession.h"
#include "protocol/errors.h"
#include "platform/platform.h"
#include "protocol/datagramengine.h"
#include "protocol/ipv4text.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QThread>

#include <algorithm>
#include <memory>
#include <vector>

namespace {
// The requests go out in slices this long: the rate holds within a slice, and a cancel is seen
// between two of them.
constexpr int SliceMs = 5;
// The most requests handed to the engine's thread at once, so that it drains replies between them.
constexpr int MaxBatch = 128;
// How often the wait between two passes looks whether every address has answered.
constexpr int WaitSliceMs = 20;
// A pass that sends slower than planned (a busy machine) is still bounded: this much beyond its plan.
constexpr qint64 PassSlackMs = 10000;

// The local address a request to ip leaves from (RouteSourceAddress); 0, the engine's first
// binding, with one adapter or when nothing is known.
class SourceChooser
{
public:
    explicit SourceChooser(const TDatagramEngine &engine)
        : m_adapters(engine.boundAdapters()), m_routes(m_adapters.size() > 1 ? Platform::routes() : QList<Platform::Route>())
    {
    }

    quint32 sourceFor(quint32 ip) const
    {
        // One adapter sends everything, as it always did.
        return m_adapters.size() <= 1 ? 0 : RouteSourceAddress(ip, m_adapters, m_routes);
    }

private:
    QList<TNetworkAdapter> m_adapters;
    QList<Platform::Route> m_routes;
};

QList<quint32> addressesOf(const QList<TAddressRange> &ranges)
{
    QList<quint32> addresses;
    addresses.reserve(qsizetype(AddressCount(ranges)));
    for (const TAddressRange &range : ranges)
        for (quint64 ip = range.first; ip <= range.last; ++ip)
            addresses.append(quint32(ip));
    return addresses;
}
} // namespace

TRangeSweep::TRangeSweep(TDatagramEngine *engine, Options options, QObject *parent)
    : TDeviceOperation(engine, {}, {}, parent), m_options(std::move(options))
{
    m_options.ranges = MergedRanges(m_options.ranges);
    m_options.rate = std::clamp(m_options.rate, 1, MaxRate);
    m_options.tcpConnections = std::clamp(m_options.tcpConnections, 1, 256);
    m_addressCount = AddressCount(m_options.ranges);
}

QList<TDeviceRecord> TRangeSweep::devices() const
{
    return m_found.devices();
}

QList<TDeviceRecord> TRangeSweep::twins() const
{
    return m_found.twins();
}

int TRangeSweep::merge(const QString &sender, QByteArrayView data, bool viaDatagram, const TNetworkAdapter &adapter)
{
    const int index = m_found.merge(sender, data, viaDatagram, adapter);
    if (index < 0)
        return index;
    {
        std::lock_guard lock(m_mutex);
        m_answered.insert(TextToIp(sender));
    }
    emit deviceReplied(index);
    return index;
}

void TRangeSweep::run(TDeviceSession &session)
{
    TDatagramEngine &engine = session.engine();
    if (m_options.ranges.isEmpty()) {
        session.fail({}, QStringLiteral("No address range given"), TOperationError::Environment);
        return;
    }
    const int listener = engine.addDiscoveryListener([this](const TDeviceDatagram &datagram) {
        merge(datagram.sender, datagram.data, true, datagram.adapter);
    });
    const auto stopListening = qScopeGuard([&] { engine.removeDiscoveryListener(listener); });

    QList<quint32> pending = addressesOf(m_options.ranges);
    const int passes = std::max(1, m_options.passes);
    for (int pass = 1; pass <= passes && !pending.isEmpty() && !session.cancelled(); ++pass) {
        session.phase(QStringLiteral("Sweep %1").arg(pass));
        QElapsedTimer passClock;
        passClock.start();
        if (!sendPass(session, pass, pending))
            return;
        if (pass == passes || removeAnswered(pending) == 0)
            break;
        // A short range's first requests have their time to be answered before they are asked again;
        // the wait ends early once every address has answered.
        while (passClock.elapsed() < m_options.passIntervalMs && !session.cancelled() && removeAnswered(pending) > 0)
            session.sleepUnlessCancelled(int(std::min<qint64>(WaitSliceMs, m_options.passIntervalMs - passClock.elapsed())));
        // The next pass asks again only the addresses that did not answer yet.
        removeAnswered(pending);
    }
    session.sleepUnlessCancelled(std::max(m_options.listenMs, 0));
    if (m_options.askOverTcp && !session.cancelled()) {
        removeAnswered(pending);
        askOverTcp(session, pending);
    }
    session.log(QStringLiteral("%1 devices in %2 addresses").arg(devices().size()).arg(m_addressCount));
    session.succeed();
}

qsizetype TRangeSweep::removeAnswered(QList<quint32> &addresses) const
{
    std::lock_guard lock(m_mutex);
    addresses.removeIf([this](quint32 ip) { return m_answered.contains(ip); });
    return addresses.size();
}

bool TRangeSweep::sendPass(TDeviceSession &session, int pass, const QList<quint32> &addresses)
{
    TDatagramEngine &engine = session.engine();
    const SourceChooser chooser(engine);
    const qint64 total = addresses.size();
    const qint64 planMs = total * 1000 / m_options.rate;
    QElapsedTimer clock;
    clock.start();
    qint64 next = 0;
    QString firstError;
    qint64 failed = 0;
    QList<quint32> batch;
    // Bounded in count (next only grows) and in time (the plan and its slack).
    while (next < total && !session.cancelled()) {
        if (clock.elapsed() > planMs + PassSlackMs) {
            session.log(QStringLiteral("Pass %1 stopped after %2 of %3 addresses: the requests could not keep the rate")
                            .arg(pass).arg(next).arg(total));
            break;
        }
        // What the rate allows by now, counted from the pass's start so that a late slice catches up.
        const qint64 due = std::min<qint64>(total, clock.nsecsElapsed() / 1000 * m_options.rate / 1000000 + 1);
        if (due <= next) {
            QThread::msleep(SliceMs);
            continue;
        }
        const qint64 end = std::min<qint64>(due, next + MaxBatch);
        // One batch per source address: the requests of a range leave through the route's adapter.
        while (next < end) {
            const quint32 source = chooser.sourceFor(addresses[next]);
            batch.clear();
            while (next < end && chooser.sourceFor(addresses[next]) == source)
                batch.append(addresses[next++]);
            QString error;
            const int sent = engine.DiscoverAddresses(batch, source, &error);
            m_sent += quint64(sent);
            failed += batch.size() - sent;
            if (firstError.isEmpty() && !error.isEmpty())
                firstError = error;
        }
        emit swept(next, total, pass);
    }
    if (failed > 0)
        session.log(QStringLiteral("Pass %1: %2 requests not sent (%3)").arg(pass).arg(failed).arg(firstError));
    if (next > 0 && failed == next) {
        session.fail({}, firstError, TOperationError::Environment);
        return false;
    }
    return true;
}

void TRangeSweep::askOverTcp(TDeviceSession &session, const QList<quint32> &addresses)
{
    if (addresses.isEmpty())
        return;
    session.phase(QStringLiteral("Sweep over TCP"));
    TDatagramEngine &engine = session.engine();
    std::atomic<qsizetype> next{0};
    std::atomic<qint64> done{0};
    const int connectMs = m_options.tcpConnectMs;
    auto work = [&] {
        // Each address is taken once: the loop ends with the list or the cancel.
        for (qsizetype i = next++; i < addresses.size() && !session.cancelled(); i = next++) {
            const QString ip = IpToText(addresses[i]);
            try {
                const QByteArray reply = engine.DiscoverOverTcp(ip, &session.cancelFlag(), connectMs);
                if (!reply.isEmpty())
                    merge(ip, reply, false, engine.adapterFor(ip));
            } catch (const TarvinoError &) {
                // Nothing listens there, or it does not answer: not a device.
            }
            emit swept(++done, addresses.size(), 0);
        }
    };
    const qsizetype count = std::min<qsizetype>(m_options.tcpConnections, addresses.size());
    std::vector<std::unique_ptr<QThread>> workers;
    for (qsizetype i = 0; i < count; ++i) {
        workers.emplace_back(QThread::create(work));
        workers.back()->start();
    }
    for (const auto &worker : workers)
        worker->wait();
}
