#include "serveur.h"

#include "datagram.h"
#include "errors.h"
#include "netadapters.h"
#include "platform.h"
#include "resource.h"
#include "tools.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QScopeGuard>
#include <QLoggingCategory>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QSet>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <optional>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <latch>
#include <list>
#include <map>
#include <mutex>

#ifdef Q_OS_LINUX
#include <sys/socket.h>
#endif

Q_LOGGING_CATEGORY(lcServeur, "tarvino.protocol", QtInfoMsg)

namespace {
constexpr int MaxDatagramBytes = 8192;
constexpr int TcpReadLimit = 32768;
constexpr int TcpWriteTimeoutMs = 10000;
constexpr int QueueSliceMs = 50;      // the GUI thread takes replies in slices, so it can repaint between them
constexpr int OwnAddressesMaxAgeMs = 1000;
constexpr quint64 DiscoveryRoute = 0; // the queue's mark of a discovery reply
#ifdef Q_OS_LINUX
// Linux sends a limited broadcast from a socket bound to an adapter's address out through that
// adapter (the route lookup takes the device of the source address), whatever the routing table.
constexpr bool LimitedBroadcastFollowsSource = true;
#else
constexpr bool LimitedBroadcastFollowsSource = false;
#endif

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

void enlargeReceiveBuffer(QUdpSocket &socket, int bytes)
{
    socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, bytes);
#ifdef Q_OS_LINUX
    // The kernel caps SO_RCVBUF at net.core.rmem_max; a privileged process may go past it.
    if (socket.socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt() < bytes) {
        const int size = bytes;
        ::setsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    }
#endif
}
} // namespace

// The UDP endpoint. It lives on its own thread and drains its sockets as soon as
// datagrams arrive (so a burst never overflows the system's buffers), handing each one
// to the engine's routing on this thread. One socket per local address: a request leaves
// through the socket of the adapter it is meant for, and a reply tells which adapter heard it.
class TUdpListener : public QObject
{
public:
    std::function<void(TDeviceDatagram)> received; // called on the listener thread

    // Binds every address given; with none, every adapter's address (followed later by
    // refresh()), or all addresses at once when the PC has no adapter up.
    void open(const QList<quint32> &addresses, quint16 port, int receiveBuffer)
    {
        m_port = port;
        m_receiveBuffer = receiveBuffer;
        m_followAdapters = addresses.isEmpty();
        if (m_followAdapters) {
            refresh();
        } else {
            m_adapters = NetworkAdapters();
            for (quint32 ip : addresses)
                bindOne(QHostAddress(ip), adapterFor(ip, m_adapters));
        }
        m_opened.count_down();
    }

    // The adapters as the system lists them now: a new address is bound, one that went away
    // is closed (so that it is bound again when it comes back). Nothing changes when the engine
    // was given its addresses.
    void refresh()
    {
        if (!m_followAdapters)
            return;
        const QList<TNetworkAdapter> adapters = NetworkAdapters();
        m_adapters = adapters;
        QList<quint32> wanted;
        for (const TNetworkAdapter &adapter : adapters)
            if (!wanted.contains(adapter.address))
                wanted.append(adapter.address);
        if (wanted.isEmpty()) {
            if (m_bindings.isEmpty())
                bindOne(QHostAddress(QHostAddress::AnyIPv4), {});
            return;
        }
        // The socket bound to every address would hold the port against the adapters' own.
        for (qsizetype i = m_bindings.size() - 1; i >= 0; --i) {
            const quint32 address = m_bindings[i].adapter.address;
            if (address == 0 || !wanted.contains(address))
                closeAt(i);
        }
        {
            std::lock_guard lock(m_mutex);
            m_errors.remove(0);
        }
        for (quint32 ip : wanted) {
            if (indexOf(ip) >= 0) {
                m_bindings[indexOf(ip)].adapter = adapterFor(ip, adapters);
                continue;
            }
            bindOne(QHostAddress(ip), adapterFor(ip, adapters));
        }
    }

    void close()
    {
        while (!m_bindings.isEmpty())
            closeAt(m_bindings.size() - 1);
    }

    // Sends through the binding of localAddress, or the first binding when it has none; false
    // with a reason when that fails.
    bool send(const QByteArray &datagram, const QHostAddress &host, quint16 port, quint32 localAddress, QString *error)
    {
        if (m_bindings.isEmpty()) {
            const QString errors = bindErrorText();
            *error = errors.isEmpty() ? QStringLiteral("no socket is open") : errors;
            return false;
        }
        const qsizetype at = localAddress ? indexOf(localAddress) : -1;
        QUdpSocket *socket = m_bindings[at >= 0 ? at : 0].socket;
        if (socket->writeDatagram(datagram, host, port) != datagram.size()) {
            *error = socket->errorString();
            return false;
        }
        return true;
    }

    // The discovery broadcast through every adapter. With one binding, the request goes as it
    // is through it; with several, each carries its adapter's own address as its source.
    TBroadcastReport broadcast(const QByteArray &request, quint16 port)
    {
        TBroadcastReport report;
        refresh();
        if (m_bindings.size() <= 1) {
            QString error;
            if (send(request, QHostAddress(QHostAddress::Broadcast), port, 0, &error)) {
                if (!m_bindings.isEmpty())
                    report.sentThrough.append(m_bindings.first().adapter);
            } else {
                report.failures.append(error);
            }
            return report;
        }
        for (const Binding &binding : std::as_const(m_bindings)) {
            QByteArray own = request;
            WriteIPv4Record(own, Wire::SourceOffset, binding.adapter.address, port);
            bool sent = false;
            QString error;
            const bool limitedLeavesHere = LimitedBroadcastFollowsSource && binding.adapter.address != 0;
            for (quint32 destination : BroadcastDestinations(binding.adapter, limitedLeavesHere)) {
                if (binding.socket->writeDatagram(own, QHostAddress(destination), port) == own.size())
                    sent = true;
                else
                    error = binding.socket->errorString();
            }
            if (sent)
                report.sentThrough.append(binding.adapter);
            else
                report.failures.append(QStringLiteral("%1: %2").arg(AdapterText(binding.adapter), error));
        }
        return report;
    }

    // Any thread: what is bound now, once open() has run.
    QList<QHostAddress> bound() const
    {
        m_opened.wait();
        std::lock_guard lock(m_mutex);
        return m_bound;
    }
    QList<TNetworkAdapter> boundAdapters() const
    {
        m_opened.wait();
        std::lock_guard lock(m_mutex);
        return m_boundAdapters;
    }
    QString bindErrors() const
    {
        m_opened.wait();
        return bindErrorText();
    }
    bool portWasTaken() const
    {
        m_opened.wait();
        std::lock_guard lock(m_mutex);
        return m_portTaken;
    }
    int bindingCount() const { return m_bindingCount.load(); }

private:
    struct Binding
    {
        QUdpSocket *socket;
        TNetworkAdapter adapter; // address 0 for the socket bound to every address
    };

    static TNetworkAdapter adapterFor(quint32 ip, const QList<TNetworkAdapter> &adapters)
    {
        if (const TNetworkAdapter *known = AdapterWithAddress(adapters, ip))
            return *known;
        TNetworkAdapter adapter;
        adapter.address = ip;
        return adapter;
    }

    qsizetype indexOf(quint32 address) const
    {
        for (qsizetype i = 0; i < m_bindings.size(); ++i)
            if (m_bindings[i].adapter.address == address)
                return i;
        return -1;
    }

    QString bindErrorText() const
    {
        std::lock_guard lock(m_mutex);
        QStringList texts(m_errors.cbegin(), m_errors.cend());
        return texts.join(u"; ");
    }

    void bindOne(const QHostAddress &address, const TNetworkAdapter &adapter)
    {
        auto *socket = new QUdpSocket(this);
        socket->setProxy(QNetworkProxy::NoProxy); // devices are on this segment
        // The port is the program's own: another program bound to it would take replies away.
        if (!socket->bind(address, m_port, QAbstractSocket::DontShareAddress)) {
            std::lock_guard lock(m_mutex);
            m_portTaken = m_portTaken || socket->error() == QAbstractSocket::AddressInUseError;
            const QString error = QStringLiteral("%1:%2: %3").arg(address.toString()).arg(m_port).arg(socket->errorString());
            m_errors.insert(adapter.address, error);
            qCWarning(lcServeur).noquote() << "UDP binding failed:" << error;
            delete socket;
            return;
        }
        socket->setSocketOption(QAbstractSocket::MulticastLoopbackOption, 0);
        enlargeReceiveBuffer(*socket, m_receiveBuffer);
        m_bindings.append({socket, adapter});
        connect(socket, &QUdpSocket::readyRead, this, [this, socket] { drain(*socket); });
        publish();
        std::lock_guard lock(m_mutex);
        m_errors.remove(adapter.address);
    }

    void closeAt(qsizetype i)
    {
        delete m_bindings[i].socket;
        m_bindings.removeAt(i);
        publish();
    }

    void publish()
    {
        std::lock_guard lock(m_mutex);
        m_bound.clear();
        m_boundAdapters.clear();
        for (const Binding &binding : std::as_const(m_bindings)) {
            m_bound.append(binding.adapter.address ? QHostAddress(binding.adapter.address) : QHostAddress(QHostAddress::AnyIPv4));
            m_boundAdapters.append(binding.adapter);
        }
        m_bindingCount = int(m_bindings.size());
    }

    void drain(QUdpSocket &socket)
    {
        const Binding *binding = nullptr;
        for (const Binding &b : std::as_const(m_bindings))
            if (b.socket == &socket)
                binding = &b;
        while (socket.hasPendingDatagrams()) {
            // Sized to the datagram, not to the buffer: a burst of replies waits here for the GUI thread.
            const qint64 pending = socket.pendingDatagramSize();
            const QNetworkDatagram received =
                socket.receiveDatagram(pending > 0 ? std::min<qint64>(pending, MaxDatagramBytes) : MaxDatagramBytes);
            if (!received.isValid())
                break;
            bool ok = false;
            const quint32 sender = received.senderAddress().toIPv4Address(&ok);
            // The program's own broadcasts come back to it: they are not replies.
            if (!ok || isOwnAddress(sender))
                continue;
            if (!this->received)
                continue;
            TDeviceDatagram datagram{IpToText(sender), received.senderPort(), received.data(), {}};
            if (binding && binding->adapter.address) {
                datagram.adapter = binding->adapter;
            } else if (const TNetworkAdapter *heard = AdapterForAddress(m_adapters, sender)) {
                datagram.adapter = *heard; // the socket of every address: the adapter whose subnet holds the sender
            }
            this->received(std::move(datagram));
        }
    }

    bool isOwnAddress(quint32 ip)
    {
        if (!m_ownAge.isValid() || m_ownAge.elapsed() > OwnAddressesMaxAgeMs) {
            const QList<quint32> own = LocalIPv4Addresses();
            m_ownAddresses = QSet<quint32>(own.cbegin(), own.cend());
            m_ownAge.start();
        }
        return m_ownAddresses.contains(ip);
    }

    quint16 m_port = Wire::DevicePort;
    int m_receiveBuffer = 0;
    bool m_followAdapters = false;
    QList<Binding> m_bindings;           // listener thread only
    QList<TNetworkAdapter> m_adapters;   // listener thread only: the list of the latest refresh
    mutable std::mutex m_mutex;          // guards what other threads read:
    QList<QHostAddress> m_bound;
    QList<TNetworkAdapter> m_boundAdapters;
    QMap<quint32, QString> m_errors;     // by address (0: every address)
    bool m_portTaken = false;
    std::atomic<int> m_bindingCount{0};
    QSet<quint32> m_ownAddresses;
    QElapsedTimer m_ownAge;
    mutable std::latch m_opened{1};
};

// Who waits for which reply. Filled and emptied by the requests, read by the listener thread.
struct TServeur::Routes
{
    // A request of a device operation, blocked on its own thread.
    struct Waiter
    {
        quint32 ip = 0;
        quint8 command = 0;
        bool answered = false;
        QByteArray data;
    };
    // A request of the GUI thread: its handler lives on that thread, under the same id.
    struct GuiRoute
    {
        quint32 ip;
        quint8 command;
        quint64 id;
    };
    struct Queued
    {
        quint64 route;
        TDeviceDatagram datagram;
    };

    std::mutex mutex;
    std::condition_variable answered;
    std::list<Waiter *> waiters;
    std::vector<GuiRoute> guiRoutes;
    std::map<int, TDiscoveryListener> listeners;
    int nextListener = 1;
    std::deque<Queued> queue; // for the GUI thread, in arrival order
    bool notified = false;
    // With several adapters: the adapter each device was heard through, so that its commands
    // leave through the same one.
    QHash<quint32, TNetworkAdapter> heard;

    // GUI thread only.
    QHash<quint64, TDeviceReplyEvent> guiHandlers;
    TDeviceReplyEvent discoveryHandler;
    quint64 nextRoute = 1;
    quint64 waitingRoute = 0; // the GUI request that waits now
};

TServeur::TServeur(QObject *parent) : TServeur(Options(), parent) {}

TServeur::TServeur(const Options &options, QObject *parent)
    : QObject(parent), m_options(options), m_routes(std::make_unique<Routes>())
{
    m_listenerThread = new QThread(this);
    m_listenerThread->setObjectName(QStringLiteral("TServeur listener"));
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

    m_keepAlive = std::make_unique<TUiKeepAlive>();
}

TServeur::~TServeur()
{
    m_keepAlive.reset();
    QMetaObject::invokeMethod(m_listener, [this] { m_listener->close(); }, Qt::BlockingQueuedConnection);
    m_listenerThread->quit();
    m_listenerThread->wait();
    delete m_listener;
}

QList<QHostAddress> TServeur::boundAddresses() const
{
    return m_listener->bound();
}

QList<TNetworkAdapter> TServeur::boundAdapters() const
{
    return m_listener->boundAdapters();
}

TNetworkAdapter TServeur::adapterFor(const QString &ipText) const
{
    const quint32 ip = TextToIp(ipText);
    {
        std::lock_guard lock(m_routes->mutex);
        const auto found = m_routes->heard.constFind(ip);
        if (found != m_routes->heard.cend())
            return *found;
    }
    const QList<TNetworkAdapter> adapters = boundAdapters();
    if (const TNetworkAdapter *holder = AdapterForAddress(adapters, ip))
        return *holder;
    return adapters.size() == 1 ? adapters.first() : TNetworkAdapter();
}

quint32 TServeur::sourceAddressFor(quint32 ip) const
{
    // One binding: the request leaves as it always did (through it, with the PC's first address).
    if (m_listener->bindingCount() <= 1)
        return 0;
    return adapterFor(IpToText(ip)).address;
}

QString TServeur::bindError() const
{
    return m_listener->bindErrors();
}

QString TServeur::portInUse() const
{
    if (!m_listener->portWasTaken())
        return {};
    const QString holder = Platform::udpPortHolder(m_options.port);
    return QStringLiteral("Port %1 is in use by %2")
        .arg(m_options.port)
        .arg(holder.isEmpty() ? QStringLiteral("another program") : holder);
}

void TServeur::Discover(quint8 transport, const QString &ipText, TDeviceReplyEvent handler)
{
    RunCommand(Wire::Command::Discover, ipText, transport, std::move(handler));
}

#define TSERVEUR_COMMAND(name)                                                                             \
    void TServeur::name(const QString &ipText, quint8 transport, TDeviceReplyEvent handler)                \
    {                                                                                                      \
        RunCommand(Wire::Command::name, ipText, transport, std::move(handler));                            \
    }
TSERVEUR_COMMAND(StartFtpServer)
TSERVEUR_COMMAND(StopFtpServer)
TSERVEUR_COMMAND(StartUpdater)
TSERVEUR_COMMAND(StopUpdater)
TSERVEUR_COMMAND(StartDaemon)
TSERVEUR_COMMAND(StopDaemon)
TSERVEUR_COMMAND(SetDropBear)
TSERVEUR_COMMAND(SystemUpgrade)
#undef TSERVEUR_COMMAND

QByteArray TServeur::addressedRequest(Wire::Command command, const QString &ipText) const
{
    QByteArray request = BuildCommandRequest(command);
    // Every command names its device; only a discovery without an address is a broadcast.
    if (command != Wire::Command::Discover || !ipText.isEmpty())
        WriteIPv4Record(request, Wire::DestinationOffset, TextToIp(ipText), m_options.port);
    return request;
}

void TServeur::RunCommand(Wire::Command command, const QString &ipText, quint8 transport, TDeviceReplyEvent handler)
{
    Routes &routes = *m_routes;
    quint64 route = DiscoveryRoute;
    if (command == Wire::Command::Discover) {
        routes.discoveryHandler = std::move(handler);
    } else {
        // The device's replies to this command go to this handler from now on.
        const quint32 ip = TextToIp(ipText);
        const quint8 code = static_cast<quint8>(command);
        route = routes.nextRoute++;
        {
            std::lock_guard lock(routes.mutex);
            std::erase_if(routes.guiRoutes, [&](const Routes::GuiRoute &r) {
                if (r.ip != ip || r.command != code)
                    return false;
                routes.guiHandlers.remove(r.id);
                return true;
            });
            routes.guiRoutes.push_back({ip, code, route});
        }
        routes.guiHandlers.insert(route, std::move(handler));
    }
    SendRequest(addressedRequest(command, ipText), Wire::commandInfo(command).waitCount, transport, route);
}

void TServeur::SendRequest(QByteArray request, int waitCount, quint8 transport, quint64 route)
{
    if (transport == TransportUdp) {
        sendDatagram(request, waitCount, route);
        return;
    }
    const QByteArray reply = exchangeOverTcp(request, waitCount);
    const TDeviceReplyEvent handler =
        route == DiscoveryRoute ? m_routes->discoveryHandler : m_routes->guiHandlers.value(route);
    if (handler)
        handler(IpToText(RecordIPv4(request, Wire::DestinationOffset)), m_options.port, reply.constData(),
                static_cast<int>(reply.size()), true, false);
}

void TServeur::sendUdp(QByteArray &request)
{
    if (RecordType(request, Wire::DestinationOffset) != Wire::AddressTypeIPv4) {
        // A broadcast (the window's scan): through every adapter.
        TBroadcastReport report;
        QMetaObject::invokeMethod(
            m_listener, [&] { report = m_listener->broadcast(request, m_options.port); }, Qt::BlockingQueuedConnection);
        if (report.sentThrough.isEmpty())
            throw TarvinoError(report.failures.join(u"; "));
        for (const QString &failure : report.failures)
            qCWarning(lcServeur).noquote() << "The broadcast could not be sent through" << failure;
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

void TServeur::sendDatagram(QByteArray &request, int waitCount, quint64 route)
{
    m_replyReceived = false;
    const quint64 outerRoute = std::exchange(m_routes->waitingRoute, route); // a wait may run inside another
    try {
        sendUdp(request);
        // The first reply routed to this request ends the wait; events keep flowing meanwhile,
        // which is when replies are handled.
        const qint64 waitMs = qint64(waitCount) * m_options.waitUnitMs;
        QElapsedTimer elapsed;
        elapsed.start();
        // Wakes the blocking event wait when the time is up; armed afresh for what remains
        // at each pass, so that a timer firing a little early cannot leave the wait blocked.
        QTimer wake;
        wake.setSingleShot(true);
        wake.setTimerType(Qt::PreciseTimer);
        do {
            const qint64 remaining = waitMs - elapsed.elapsed();
            if (remaining >= 0 && waitMs > 0) {
                wake.start(static_cast<int>(remaining + 1));
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            } else {
                QCoreApplication::processEvents(QEventLoop::AllEvents);
            }
        } while (elapsed.elapsed() <= waitMs && !m_replyReceived);
    } catch (const TarvinoError &e) {
        ShowErrorMessage(MsgConnectionError, e.message());
    } catch (const std::exception &e) {
        ShowErrorMessage(MsgConnectionError, QString::fromLocal8Bit(e.what()));
    }
    m_routes->waitingRoute = outerRoute;
}

TCommandReply TServeur::Command(Wire::Command command, const QString &ipText, quint8 transport)
{
    QByteArray request = addressedRequest(command, ipText);
    const int waitCount = Wire::commandInfo(command).waitCount;
    TCommandReply reply;
    if (transport != TransportUdp) {
        reply.data = exchangeOverTcp(request, waitCount);
        reply.result = JudgeCommandReply(reply.data, command);
        return reply;
    }

    Routes &routes = *m_routes;
    Routes::Waiter waiter;
    waiter.ip = TextToIp(ipText);
    waiter.command = static_cast<quint8>(command);
    {
        std::lock_guard lock(routes.mutex);
        routes.waiters.push_back(&waiter);
    }
    const auto unregister = qScopeGuard([&] {
        std::lock_guard lock(routes.mutex);
        routes.waiters.remove(&waiter);
    });
    try {
        sendUdp(request);
    } catch (const TarvinoError &e) {
        reply.error = e.message();
        return reply;
    }
    const auto waitMs = std::chrono::milliseconds(qint64(waitCount) * m_options.waitUnitMs);
    std::unique_lock lock(routes.mutex);
    if (routes.answered.wait_for(lock, waitMs, [&] { return waiter.answered; })) {
        reply.data = waiter.data;
        reply.result = JudgeCommandReply(reply.data, command);
    }
    return reply;
}

QByteArray TServeur::DiscoverOverTcp(const QString &ipText)
{
    return exchangeOverTcp(addressedRequest(Wire::Command::Discover, ipText), Wire::commandInfo(Wire::Command::Discover).waitCount);
}

bool TServeur::Broadcast(QString *error)
{
    const TBroadcastReport report = BroadcastOnAdapters();
    if (!report.sentThrough.isEmpty())
        return true;
    if (error)
        *error = report.failures.join(u"; ");
    return false;
}

TBroadcastReport TServeur::BroadcastOnAdapters()
{
    const QByteArray request = BuildCommandRequest(Wire::Command::Discover);
    TBroadcastReport report;
    QMetaObject::invokeMethod(
        m_listener, [&] { report = m_listener->broadcast(request, m_options.port); }, Qt::BlockingQueuedConnection);
    return report;
}

int TServeur::addDiscoveryListener(TDiscoveryListener listener)
{
    std::lock_guard lock(m_routes->mutex);
    const int id = m_routes->nextListener++;
    m_routes->listeners.emplace(id, std::move(listener));
    return id;
}

void TServeur::removeDiscoveryListener(int id)
{
    std::lock_guard lock(m_routes->mutex);
    m_routes->listeners.erase(id);
}

QByteArray TServeur::exchangeOverTcp(const QByteArray &request, int waitCount)
{
    const quint32 ip = RecordIPv4(request, Wire::DestinationOffset);
    const QString host = IpToText(ip);
    // 0.0.0.0 is what text that does not parse turns into, and connecting to it would reach
    // this PC; 255.255.255.255 is what a request without an address carries.
    if (ip == 0 || ip == 0xFFFFFFFFu)
        throw ConnectionError(QStringLiteral("Cannot connect to %1: not a device address").arg(host));

    QByteArray reply;
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    QString reason;
    if (SocketWait::connectTo(socket, QHostAddress(ip), m_options.port, m_options.tcpConnectTimeoutMs, &reason) !=
        SocketWait::ConnectResult::Connected)
        throw ConnectionError(QStringLiteral("%1: %2").arg(host, reason));
    const SocketWait::EndWatch end(socket);
    socket.write(request);
    if (!socket.waitForBytesWritten(TcpWriteTimeoutMs) && socket.bytesToWrite() > 0)
        throw ConnectionError(QStringLiteral("%1: %2").arg(host, socket.errorString()));

    const int timeoutMs = waitCount > 0 ? waitCount * m_options.waitUnitMs : 10 * m_options.waitUnitMs;
    const QDeadlineTimer deadline(2 * timeoutMs);
    const auto command = static_cast<Wire::Command>(quint8(request.at(Wire::CommandOffset)));
    if (SocketWait::waitForReadyRead(socket, 2 * timeoutMs)) {
        // A reply may come in several segments: read on until it is whole, the device closes, or
        // the time is up.
        reply = socket.read(TcpReadLimit);
        while (!IsCompleteReply(reply, command) && reply.size() < TcpReadLimit && !deadline.hasExpired()) {
            if (!SocketWait::waitForReadyRead(socket, int(std::max<qint64>(deadline.remainingTime(), 1))))
                break;
            reply += socket.read(TcpReadLimit - reply.size());
        }
    } else if (end.peerReset(&reason)) {
        // A reset is an error of the connection; only the peer's close gives an empty reply.
        throw ConnectionError(QStringLiteral("%1: %2").arg(host, reason));
    } else if (socket.error() != QAbstractSocket::RemoteHostClosedError &&
               socket.error() != QAbstractSocket::SocketTimeoutError &&
               socket.error() != QAbstractSocket::UnknownSocketError) {
        throw ConnectionError(QStringLiteral("%1: %2").arg(host, socket.errorString()));
    }
    socket.abort();
    return reply;
}

void TServeur::routeDatagram(TDeviceDatagram datagram)
{
    // On the listener thread.
    Routes &routes = *m_routes;
    const std::optional<quint8> command = answeredCommand(datagram.data);
    std::lock_guard lock(routes.mutex);
    const auto enqueue = [&](quint64 route, TDeviceDatagram item) {
        routes.queue.push_back({route, std::move(item)});
        if (!routes.notified) {
            routes.notified = true;
            QMetaObject::invokeMethod(this, [this] { processQueue(); }, Qt::QueuedConnection);
        }
    };
    if (command && isDiscoveryReply(*command)) {
        if (datagram.adapter.address != 0 && m_listener->bindingCount() > 1) {
            const quint32 sender = TextToIp(datagram.sender);
            auto known = routes.heard.find(sender);
            if (known == routes.heard.end())
                routes.heard.insert(sender, datagram.adapter);
            else if (PreferAdapter(*known, datagram.adapter, sender))
                *known = datagram.adapter;
        }
        for (const auto &[id, listener] : routes.listeners)
            listener(datagram);
        enqueue(DiscoveryRoute, std::move(datagram));
        return;
    }
    if (!command) {
        qCDebug(lcServeur) << "a datagram too short to answer a command from" << datagram.sender;
        return;
    }
    const quint32 ip = TextToIp(datagram.sender);
    bool routed = false;
    for (Routes::Waiter *waiter : routes.waiters) {
        if (waiter->ip != ip || waiter->command != *command || waiter->answered)
            continue;
        waiter->answered = true;
        waiter->data = datagram.data;
        routed = true;
    }
    if (routed)
        routes.answered.notify_all();
    for (const Routes::GuiRoute &route : routes.guiRoutes) {
        if (route.ip == ip && route.command == *command) {
            enqueue(route.id, datagram);
            routed = true;
        }
    }
    if (!routed)
        qCDebug(lcServeur) << "a reply to command" << *command << "from" << datagram.sender << "that no request waits for";
}

void TServeur::processQueue()
{
    Routes &routes = *m_routes;
    QElapsedTimer slice;
    slice.start();
    for (;;) {
        Routes::Queued item;
        {
            std::lock_guard lock(routes.mutex);
            if (routes.queue.empty()) {
                routes.notified = false;
                return;
            }
            item = std::move(routes.queue.front());
            routes.queue.pop_front();
        }
        if (item.route != DiscoveryRoute && item.route == routes.waitingRoute)
            m_replyReceived = true;
        const TDeviceReplyEvent handler =
            item.route == DiscoveryRoute ? routes.discoveryHandler : routes.guiHandlers.value(item.route);
        if (handler) {
            try {
                handler(item.datagram.sender, item.datagram.senderPort, item.datagram.data.constData(),
                        static_cast<int>(item.datagram.data.size()), true, true);
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
