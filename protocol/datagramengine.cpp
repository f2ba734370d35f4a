#include "protocol/datagramengine.h"

#include "protocol/datagram.h"
#include "protocol/errors.h"
#include "protocol/netadapters.h"
#include "platform/platform.h"
#include "protocol/replyroutes.h"
#include "protocol/enginelog.h"
#include "protocol/socketwait.h"
#include "protocol/devicerecord.h"
#include "protocol/ipv4text.h"
#include "protocol/udplistener.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>
#include <optional>

Q_LOGGING_CATEGORY(lcEngine, "tarvino.protocol", QtInfoMsg)

namespace {
constexpr int TcpReadLimit = 32768;
constexpr int TcpWriteTimeoutMs = 10000;
// The engine's thread takes replies in slices, so that a window can repaint between them. Two
// slices may follow each other before the window's timers run: twice this stays under 100 ms.
constexpr int QueueSliceMs = 40;

// The command byte a reply answers; nothing for a datagram too short to carry one.
std::optional<quint8> answeredCommand(const QByteArray &datagram)
{
    if (datagram.size() < Wire::HeaderSize)
        return std::nullopt;
    return static_cast<quint8>(datagram.at(Wire::CommandOffset));
}

bool isDiscoveryReply(quint8 command)
{
    return command == 0 || command == static_cast<quint8>(Wire::Command::Discover);
}

TCommandReply interruptedReply(TCommandReply::Interruption interruption)
{
    TCommandReply reply;
    reply.interruption = interruption;
    reply.error = interruption == TCommandReply::Interruption::Cancelled ? TDatagramEngine::CancelledText
                                                                         : TDatagramEngine::EngineClosedText;
    return reply;
}

// Counts a blocking caller in for as long as it is inside the engine (see TReplyRoutes::enter).
class CallerScope
{
public:
    explicit CallerScope(TReplyRoutes &routes) : m_routes(routes), m_entered(routes.enter()) {}
    ~CallerScope()
    {
        if (m_entered)
            m_routes.leave();
    }
    CallerScope(const CallerScope &) = delete;
    CallerScope &operator=(const CallerScope &) = delete;
    bool entered() const { return m_entered; }

private:
    TReplyRoutes &m_routes;
    bool m_entered;
};
} // namespace

// What ends one caller's wait early: its cancel flag, when that was not yet set as the call
// began (see Command), and the engine's closing.
class TDatagramEngine::WaitStop
{
public:
    WaitStop(const std::atomic<bool> *cancel, const TReplyRoutes &routes)
        : m_cancel(cancel && !cancel->load() ? cancel : nullptr), m_routes(routes)
    {
    }
    const std::atomic<bool> *cancel() const { return m_cancel; }
    std::optional<TCommandReply::Interruption> interruption() const
    {
        if (m_routes.closed())
            return TCommandReply::Interruption::EngineClosed;
        if (m_cancel && m_cancel->load())
            return TCommandReply::Interruption::Cancelled;
        return std::nullopt;
    }
    SocketWait::StopCheck check() const
    {
        return [this] { return interruption().has_value(); };
    }
    // Raises InterruptedError when the wait was ended early.
    void raiseIfInterrupted() const
    {
        if (const auto why = interruption())
            throw InterruptedError(*why == TCommandReply::Interruption::Cancelled ? CancelledText : EngineClosedText);
    }

private:
    const std::atomic<bool> *m_cancel;
    const TReplyRoutes &m_routes;
};

TDatagramEngine::TDatagramEngine(QObject *parent) : TDatagramEngine(Options(), parent) {}

TDatagramEngine::TDatagramEngine(const Options &options, QObject *parent)
    : QObject(parent), m_options(options), m_routes(std::make_unique<TReplyRoutes>())
{
    m_listenerThread = new QThread(this);
    m_listenerThread->setObjectName(QStringLiteral("TDatagramEngine listener"));
    m_listener = new TUdpListener;
    m_listener->moveToThread(m_listenerThread);
    m_listener->received = [this](TDeviceDatagram datagram) { routeDatagram(std::move(datagram)); };
    m_listenerThread->start();

    // Not waited for: the window need not wait for the thread to start, nor for the list of
    // interfaces. Whatever is asked of the listener later is queued behind this, and its
    // binding results wait for it.
    QMetaObject::invokeMethod(
        m_listener,
        [this] {
            m_listener->open(m_options.bindAddresses, m_options.port, m_options.receiveBufferBytes);
            if (const QString message = portInUse(); !message.isEmpty())
                emit portTaken(message); // queued to the GUI thread's receivers
        },
        Qt::QueuedConnection);
}

TDatagramEngine::~TDatagramEngine()
{
    emit closing();
    // The waiting callers wake and leave while the listener still runs: a send of theirs that is
    // under way goes through it.
    m_routes->closeAndWaitForCallers();
    QMetaObject::invokeMethod(m_listener, [this] { m_listener->close(); }, Qt::BlockingQueuedConnection);
    m_listenerThread->quit();
    m_listenerThread->wait();
    delete m_listener;
}

QList<QHostAddress> TDatagramEngine::boundAddresses() const
{
    return m_listener->bound();
}

QList<TNetworkAdapter> TDatagramEngine::boundAdapters() const
{
    return m_listener->boundAdapters();
}

TNetworkAdapter TDatagramEngine::adapterFor(const QString &ipText) const
{
    const quint32 ip = TextToIp(ipText);
    if (const std::optional<TNetworkAdapter> heard = m_routes->heardThrough(ip))
        return *heard;
    const QList<TNetworkAdapter> adapters = boundAdapters();
    if (const TNetworkAdapter *holder = AdapterForAddress(adapters, ip))
        return *holder;
    return adapters.size() == 1 ? adapters.first() : TNetworkAdapter();
}

quint32 TDatagramEngine::sourceAddressFor(quint32 ip) const
{
    // One binding: the request leaves as it always did (through it, with the PC's first address).
    if (m_listener->bindingCount() <= 1)
        return 0;
    return adapterFor(IpToText(ip)).address;
}

QString TDatagramEngine::bindError() const
{
    return m_listener->bindErrors();
}

QString TDatagramEngine::portInUse() const
{
    if (!m_listener->portWasTaken())
        return {};
    const QString holder = Platform::udpPortHolder(m_options.port);
    return QStringLiteral("Port %1 is in use by %2")
        .arg(m_options.port)
        .arg(holder.isEmpty() ? QStringLiteral("another program") : holder);
}

QByteArray TDatagramEngine::addressedRequest(Wire::Command command, const QString &ipText) const
{
    QByteArray request = BuildCommandRequest(command);
    // Every command names its device; only a discovery without an address is a broadcast.
    if (command != Wire::Command::Discover || !ipText.isEmpty())
        WriteIPv4Record(request, Wire::DestinationOffset, TextToIp(ipText), m_options.port);
    return request;
}

QString TDatagramEngine::Discover(const QString &ipText, TDeviceReplyEvent handler)
{
    m_discoveryHandler = std::move(handler);
    QByteArray request = addressedRequest(Wire::Command::Discover, ipText);
    try {
        sendUdp(request);
    } catch (const TarvinoError &e) {
        return e.message();
    }
    return {};
}

void TDatagramEngine::sendUdp(QByteArray &request)
{
    if (RecordType(request, Wire::DestinationOffset) != Wire::AddressTypeIPv4) {
        // A broadcast (the window's scan): through every adapter.
        TBroadcastReport report;
        QMetaObject::invokeMethod(
            m_listener, [&] { report = m_listener->broadcast(request, m_options.port); }, Qt::BlockingQueuedConnection);
        if (report.sentThrough.isEmpty())
            throw TarvinoError(report.failures.join(u"; "));
        for (const QString &failure : report.failures)
            qCWarning(lcEngine).noquote() << "The broadcast could not be sent through" << failure;
        return;
    }
    QHostAddress host(QHostAddress::Broadcast);
    quint32 local = 0;
    {
        const quint32 ip = RecordIPv4(request, Wire::DestinationOffset);
        // On this system 0.0.0.0 would reach the PC itself: text that did not parse names no device.
        if (ip == 0)
            throw TarvinoError(QStringLiteral("%1 is not a device address").arg(IpToText(ip)));
        host = QHostAddress(ip);
        // The adapter the device was heard through sends, and its address is the one the device
        // answers to.
        local = sourceAddressFor(ip);
        if (RecordIsZero(request, Wire::SourceOffset))
            WriteIPv4Record(request, Wire::SourceOffset, local ? local : LocalHostAddress(), m_options.port);
    }
    QString error;
    bool sent = false;
    QMetaObject::invokeMethod(
        m_listener, [&] { sent = m_listener->send(request, host, m_options.port, local, &error); },
        Qt::BlockingQueuedConnection);
    if (!sent)
        throw TarvinoError(error);
}

int TDatagramEngine::replyWaitMs(Wire::Command command) const
{
    return Wire::commandInfo(command).waitCount * m_options.waitUnitMs;
}

TCommandReply TDatagramEngine::Command(Wire::Command command, const QString &ipText, quint8 transport,
                                const std::atomic<bool> *cancel)
{
    const CallerScope caller(*m_routes);
    if (!caller.entered())
        return interruptedReply(TCommandReply::Interruption::EngineClosed);
    const WaitStop stop(cancel, *m_routes);
    QByteArray request = addressedRequest(command, ipText);
    const int waitCount = Wire::commandInfo(command).waitCount;
    TCommandReply reply;
    if (transport != TransportUdp) {
        try {
            reply.data = exchangeOverTcp(request, waitCount, stop);
        } catch (const InterruptedError &) {
            return interruptedReply(stop.interruption().value_or(TCommandReply::Interruption::Cancelled));
        }
        reply.result = JudgeCommandReply(reply.data, command);
        return reply;
    }

    TReplyRoutes::Waiter waiter;
    waiter.ip = TextToIp(ipText);
    waiter.command = static_cast<quint8>(command);
    m_routes->addWaiter(&waiter);
    const auto unregister = qScopeGuard([&] { m_routes->removeWaiter(&waiter); });
    try {
        sendUdp(request);
    } catch (const TarvinoError &e) {
        reply.error = e.message();
        return reply;
    }
    const auto waitMs = std::chrono::milliseconds(qint64(waitCount) * m_options.waitUnitMs);
    switch (m_routes->wait(waiter, waitMs, stop.cancel())) {
    case TReplyRoutes::WaitEnd::Answered:
        reply.data = waiter.data;
        reply.result = JudgeCommandReply(reply.data, command);
        break;
    case TReplyRoutes::WaitEnd::TimedOut:
        break;
    case TReplyRoutes::WaitEnd::Cancelled:
        return interruptedReply(TCommandReply::Interruption::Cancelled);
    case TReplyRoutes::WaitEnd::Closed:
        return interruptedReply(TCommandReply::Interruption::EngineClosed);
    }
    return reply;
}

QByteArray TDatagramEngine::DiscoverOverTcp(const QString &ipText, const std::atomic<bool> *cancel)
{
    const CallerScope caller(*m_routes);
    if (!caller.entered())
        throw InterruptedError(EngineClosedText);
    const WaitStop stop(cancel, *m_routes);
    return exchangeOverTcp(addressedRequest(Wire::Command::Discover, ipText),
                           Wire::commandInfo(Wire::Command::Discover).waitCount, stop);
}

QByteArray TDatagramEngine::DiscoverOverTcp(const QString &ipText, const std::atomic<bool> *cancel, int connectTimeoutMs)
{
    const CallerScope caller(*m_routes);
    if (!caller.entered())
        throw InterruptedError(EngineClosedText);
    const WaitStop stop(cancel, *m_routes);
    return exchangeOverTcp(addressedRequest(Wire::Command::Discover, ipText),
                           Wire::commandInfo(Wire::Command::Discover).waitCount, stop, connectTimeoutMs);
}

int TDatagramEngine::DiscoverAddresses(const QList<quint32> &addresses, quint32 localAddress, QString *error)
{
    const CallerScope caller(*m_routes);
    if (!caller.entered()) {
        if (error)
            *error = EngineClosedText;
        return 0;
    }
    // Built here, so that the listener's thread only sends.
    const quint32 source = localAddress ? localAddress : LocalHostAddress();
    QList<std::pair<QByteArray, quint32>> requests;
    requests.reserve(addresses.size());
    for (const quint32 ip : addresses) {
        // 0.0.0.0 and the limited broadcast are no device's address (the range's checks keep them out).
        if (ip == 0 || ip == 0xFFFFFFFFu)
            continue;
        QByteArray request = BuildCommandRequest(Wire::Command::Discover);
        WriteIPv4Record(request, Wire::DestinationOffset, ip, m_options.port);
        WriteIPv4Record(request, Wire::SourceOffset, source, m_options.port);
        requests.append({request, ip});
    }
    int sent = 0;
    QString firstError;
    QMetaObject::invokeMethod(
        m_listener,
        [&] {
            for (const auto &[request, ip] : std::as_const(requests)) {
                QString why;
                if (m_listener->send(request, QHostAddress(ip), m_options.port, localAddress, &why))
                    ++sent;
                else if (firstError.isEmpty())
                    firstError = QStringLiteral("%1: %2").arg(IpToText(ip), why);
            }
        },
        Qt::BlockingQueuedConnection);
    if (error)
        *error = firstError;
    return sent;
}

bool TDatagramEngine::Broadcast(QString *error)
{
    const TBroadcastReport report = BroadcastOnAdapters();
    if (!report.sentThrough.isEmpty())
        return true;
    if (error)
        *error = report.failures.join(u"; ");
    return false;
}

TBroadcastReport TDatagramEngine::BroadcastOnAdapters()
{
    TBroadcastReport report;
    const CallerScope caller(*m_routes);
    if (!caller.entered()) {
        report.failures.append(EngineClosedText);
        return report;
    }
    const QByteArray request = BuildCommandRequest(Wire::Command::Discover);
    QMetaObject::invokeMethod(
        m_listener, [&] { report = m_listener->broadcast(request, m_options.port); }, Qt::BlockingQueuedConnection);
    return report;
}

int TDatagramEngine::addDiscoveryListener(TDiscoveryListener listener)
{
    return m_routes->addListener(std::move(listener));
}

void TDatagramEngine::removeDiscoveryListener(int id)
{
    m_routes->removeListener(id);
}

QByteArray TDatagramEngine::exchangeOverTcp(const QByteArray &request, int waitCount, const WaitStop &stop, int connectTimeoutMs)
{
    const quint32 ip = RecordIPv4(request, Wire::DestinationOffset);
    const QString host = IpToText(ip);
    // 0.0.0.0 is what text that does not parse turns into, and connecting to it would reach
    // this PC; 255.255.255.255 is what a request without an address carries.
    if (ip == 0 || ip == 0xFFFFFFFFu)
        throw ConnectionError(QStringLiteral("Cannot connect to %1: not a device address").arg(host));

    const SocketWait::StopCheck stopped = stop.check();
    QByteArray reply;
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    QString reason;
    const int connectMs = connectTimeoutMs >= 0 ? connectTimeoutMs : m_options.tcpConnectTimeoutMs;
    if (SocketWait::connectTo(socket, QHostAddress(ip), m_options.port, connectMs, &reason, stopped) !=
        SocketWait::ConnectResult::Connected) {
        stop.raiseIfInterrupted();
        throw ConnectionError(QStringLiteral("%1: %2").arg(host, reason));
    }
    const SocketWait::EndWatch end(socket);
    socket.write(request);
    if (!SocketWait::waitForBytesWritten(socket, TcpWriteTimeoutMs, stopped) && socket.bytesToWrite() > 0) {
        stop.raiseIfInterrupted();
        throw ConnectionError(QStringLiteral("%1: %2").arg(host, socket.errorString()));
    }

    const int timeoutMs = waitCount > 0 ? waitCount * m_options.waitUnitMs : 10 * m_options.waitUnitMs;
    const QDeadlineTimer deadline(2 * timeoutMs);
    const auto command = static_cast<Wire::Command>(quint8(request.at(Wire::CommandOffset)));
    if (SocketWait::waitForReadyRead(socket, 2 * timeoutMs, stopped)) {
        // A reply may come in several segments: read on until it is whole, the device closes, or
        // the time is up.
        reply = socket.read(TcpReadLimit);
        while (!IsCompleteReply(reply, command) && reply.size() < TcpReadLimit && !deadline.hasExpired()) {
            if (!SocketWait::waitForReadyRead(socket, int(std::max<qint64>(deadline.remainingTime(), 1)), stopped))
                break;
            reply += socket.read(TcpReadLimit - reply.size());
        }
        stop.raiseIfInterrupted();
    } else {
        stop.raiseIfInterrupted();
        // A reset is an error of the connection; only the peer's close gives an empty reply.
        if (end.peerReset(&reason))
            throw ConnectionError(QStringLiteral("%1: %2").arg(host, reason));
        if (socket.error() != QAbstractSocket::RemoteHostClosedError &&
            socket.error() != QAbstractSocket::SocketTimeoutError &&
            socket.error() != QAbstractSocket::UnknownSocketError)
            throw ConnectionError(QStringLiteral("%1: %2").arg(host, socket.errorString()));
    }
    socket.abort();
    return reply;
}

void TDatagramEngine::routeDatagram(TDeviceDatagram datagram)
{
    // On the listener thread.
    const std::optional<quint8> command = answeredCommand(datagram.data);
    if (command && isDiscoveryReply(*command)) {
        if (datagram.adapter.address != 0 && m_listener->bindingCount() > 1)
            m_routes->noteHeard(TextToIp(datagram.sender), datagram.adapter);
        m_routes->dispatch(datagram);
        if (m_routes->queueDiscovery(std::move(datagram)))
            QMetaObject::invokeMethod(this, [this] { processQueue(); }, Qt::QueuedConnection);
        return;
    }
    if (!command) {
        qCDebug(lcEngine) << "a datagram too short to answer a command from" << datagram.sender;
        return;
    }
    if (!m_routes->deliver(TextToIp(datagram.sender), *command, datagram.data))
        qCDebug(lcEngine) << "a reply to command" << *command << "from" << datagram.sender << "that no request waits for";
}

bool TDatagramEngine::discoveryRepliesWaiting() const
{
    return m_routes->discoveryQueued();
}

void TDatagramEngine::processQueue()
{
    QElapsedTimer slice;
    slice.start();
    while (std::optional<TDeviceDatagram> item = m_routes->takeDiscovery()) {
        // A copy: the handler may install another one through Discover.
        if (const TDeviceReplyEvent handler = m_discoveryHandler) {
            try {
                handler(item->sender, item->senderPort, item->data.constData(),
                                   static_cast<int>(item->data.size()), true, true);
            } catch (...) {
                // A reply that its handler cannot take is lost; the engine goes on.
            }
        }
        if (slice.elapsed() > QueueSliceMs) {
            // Leave room for repaints and input; the rest follows in the next event.
            QMetaObject::invokeMethod(this, [this] { processQueue(); }, Qt::QueuedConnection);
            return;
        }
    }
}
