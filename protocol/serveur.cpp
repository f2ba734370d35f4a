#include "serveur.h"

#include "datagram.h"
#include "errors.h"
#include "resource.h"
#include "tools.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QSet>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <deque>
#include <latch>
#include <mutex>

#ifdef Q_OS_LINUX
#include <sys/socket.h>
#endif

Q_LOGGING_CATEGORY(lcServeur, "tarvino.protocol")

namespace {
constexpr int MaxDatagramBytes = 8192;
constexpr int TcpReadLimit = 32768;
constexpr int TcpWriteTimeoutMs = 10000;
constexpr int QueueSliceMs = 50;      // the GUI thread takes replies in slices, so it can repaint between them
constexpr int OwnAddressesMaxAgeMs = 1000;

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

// The UDP endpoint. It lives on its own thread, drains its sockets as soon as
// datagrams arrive (so a burst never overflows the system's buffers) and queues them
// in arrival order for the GUI thread, which takes them while it processes events.
class TUdpListener : public QObject
{
public:
    struct Datagram
    {
        QString sender;
        int senderPort = 0;
        QByteArray data;
    };

    std::function<void()> queueFilled; // called on the listener thread when the queue stops being empty

    void open(const QList<quint32> &addresses, quint16 port, int receiveBuffer)
    {
        QList<QHostAddress> targets;
        for (quint32 ip : addresses)
            targets.append(QHostAddress(ip));
        if (targets.isEmpty())
            targets.append(QHostAddress(QHostAddress::AnyIPv4));
        for (const QHostAddress &address : targets) {
            auto *socket = new QUdpSocket(this);
            socket->setProxy(QNetworkProxy::NoProxy); // devices are on this segment
            // The port is the program's own: another program bound to it would take replies away.
            if (!socket->bind(address, port, QAbstractSocket::DontShareAddress)) {
                m_bindErrors.append(QStringLiteral("%1:%2: %3").arg(address.toString()).arg(port).arg(socket->errorString()));
                delete socket;
                continue;
            }
            socket->setSocketOption(QAbstractSocket::MulticastLoopbackOption, 0);
            enlargeReceiveBuffer(*socket, receiveBuffer);
            connect(socket, &QUdpSocket::readyRead, this, [this, socket] { drain(*socket); });
            m_sockets.append(socket);
            m_bound.append(address);
        }
        if (!m_bindErrors.isEmpty())
            qCWarning(lcServeur).noquote() << "UDP binding failed:" << m_bindErrors.join(u"; ");
        m_opened.count_down();
    }

    void close()
    {
        qDeleteAll(m_sockets);
        m_sockets.clear();
    }

    // Sends through the first binding; false with a reason when that fails.
    bool send(const QByteArray &datagram, const QHostAddress &host, quint16 port, QString *error)
    {
        if (m_sockets.isEmpty()) {
            *error = m_bindErrors.isEmpty() ? QStringLiteral("no socket is open") : m_bindErrors.join(u"; ");
            return false;
        }
        QUdpSocket *socket = m_sockets.first();
        if (socket->writeDatagram(datagram, host, port) != datagram.size()) {
            *error = socket->errorString();
            return false;
        }
        return true;
    }

    bool take(Datagram &datagram)
    {
        std::lock_guard lock(m_mutex);
        if (m_queue.empty()) {
            m_notified = false;
            return false;
        }
        datagram = std::move(m_queue.front());
        m_queue.pop_front();
        return true;
    }

    // Any thread: what open() bound, once it has run.
    QList<QHostAddress> bound() const
    {
        m_opened.wait();
        return m_bound;
    }
    QString bindErrors() const
    {
        m_opened.wait();
        return m_bindErrors.join(u"; ");
    }

private:
    void drain(QUdpSocket &socket)
    {
        bool notify = false;
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
            std::lock_guard lock(m_mutex);
            m_queue.push_back({IpToText(sender), received.senderPort(), received.data()});
            if (!m_notified)
                notify = m_notified = true;
        }
        if (notify && queueFilled)
            queueFilled();
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

    QList<QUdpSocket *> m_sockets;
    QList<QHostAddress> m_bound;
    QStringList m_bindErrors;
    QSet<quint32> m_ownAddresses;
    QElapsedTimer m_ownAge;
    mutable std::latch m_opened{1};
    std::mutex m_mutex;
    std::deque<Datagram> m_queue;
    bool m_notified = false;
};

TServeur::TServeur(QObject *parent) : TServeur(Options(), parent) {}

TServeur::TServeur(const Options &options, QObject *parent) : QObject(parent), m_options(options)
{
    m_listenerThread = new QThread(this);
    m_listenerThread->setObjectName(QStringLiteral("TServeur listener"));
    m_listener = new TUdpListener;
    m_listener->moveToThread(m_listenerThread);
    m_listener->queueFilled = [this] {
        QMetaObject::invokeMethod(this, [this] { processQueue(); }, Qt::QueuedConnection);
    };
    m_listenerThread->start();

    // Not waited for: the window need not wait for the thread to start, nor for the list of
    // interfaces. Whatever is asked of the listener later is queued behind this, and its
    // binding results wait for it.
    QMetaObject::invokeMethod(
        m_listener,
        [this] {
            const QList<quint32> addresses =
                m_options.bindAddresses.isEmpty() ? LocalIPv4Addresses() : m_options.bindAddresses;
            m_listener->open(addresses, m_options.port, m_options.receiveBufferBytes);
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

QString TServeur::bindError() const
{
    return m_listener->bindErrors();
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

void TServeur::RunCommand(Wire::Command command, const QString &ipText, quint8 transport, TDeviceReplyEvent handler)
{
    m_replyHandler = std::move(handler);
    QByteArray request = BuildCommandRequest(command);
    // Every command names its device; only a discovery without an address is a broadcast.
    if (command != Wire::Command::Discover || !ipText.isEmpty())
        WriteIPv4Record(request, Wire::DestinationOffset, TextToIp(ipText), m_options.port);
    SendRequest(std::move(request), Wire::commandInfo(command).waitCount, transport);
}

void TServeur::SendRequest(QByteArray request, int waitCount, quint8 transport)
{
    if (transport == TransportUdp)
        sendDatagram(request, waitCount);
    else
        sendOverTcp(request, waitCount);
}

void TServeur::sendDatagram(QByteArray &request, int waitCount)
{
    m_replyReceived = false;
    try {
        QHostAddress host(QHostAddress::Broadcast);
        if (RecordType(request, Wire::DestinationOffset) == Wire::AddressTypeIPv4) {
            const quint32 ip = RecordIPv4(request, Wire::DestinationOffset);
            // On this system 0.0.0.0 would reach the PC itself: text that did not parse names no device.
            if (ip == 0)
                throw TarvinoError(QStringLiteral("%1 is not a device address").arg(IpToText(ip)));
            host = QHostAddress(ip);
            if (RecordIsZero(request, Wire::SourceOffset))
                WriteIPv4Record(request, Wire::SourceOffset, LocalHostAddress(), m_options.port);
        }
        QString error;
        bool sent = false;
        QMetaObject::invokeMethod(
            m_listener, [&] { sent = m_listener->send(request, host, m_options.port, &error); },
            Qt::BlockingQueuedConnection);
        if (!sent)
            throw TarvinoError(error);

        // The first reply ends the wait; events keep flowing meanwhile, which is when replies are handled.
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
}

void TServeur::sendOverTcp(const QByteArray &request, int waitCount)
{
    const quint32 ip = RecordIPv4(request, Wire::DestinationOffset);
    const QString host = IpToText(ip);
    // 0.0.0.0 is what text that does not parse turns into, and connecting to it would reach
    // this PC; 255.255.255.255 is what a request without an address carries.
    if (ip == 0 || ip == 0xFFFFFFFFu)
        throw ConnectionError(QStringLiteral("Cannot connect to %1: not a device address").arg(host));

    QByteArray reply;
    {
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
        if (SocketWait::waitForReadyRead(socket, 2 * timeoutMs)) {
            reply = socket.read(TcpReadLimit); // one receive: whatever has arrived is the reply
        } else if (end.peerReset(&reason)) {
            // A reset is an error of the connection; only the peer's close gives an empty reply.
            throw ConnectionError(QStringLiteral("%1: %2").arg(host, reason));
        } else if (socket.error() != QAbstractSocket::RemoteHostClosedError &&
                   socket.error() != QAbstractSocket::SocketTimeoutError &&
                   socket.error() != QAbstractSocket::UnknownSocketError) {
            throw ConnectionError(QStringLiteral("%1: %2").arg(host, socket.errorString()));
        }
        socket.abort();
    }

    if (m_replyHandler) {
        const TDeviceReplyEvent handler = m_replyHandler; // a handler may install another one
        handler(host, m_options.port, reply.constData(), static_cast<int>(reply.size()), true, false);
    }
}

void TServeur::DatagramReceived(const QString &sender, int senderPort, const QByteArray &datagram)
{
    m_replyReceived = true;
    if (!m_replyHandler)
        return;
    try {
        const TDeviceReplyEvent handler = m_replyHandler; // a handler may install another one
        handler(sender, senderPort, datagram.constData(), static_cast<int>(datagram.size()), true, true);
    } catch (...) {
        // A reply that its handler cannot take is lost; the engine goes on.
    }
}

void TServeur::processQueue()
{
    QElapsedTimer slice;
    slice.start();
    TUdpListener::Datagram datagram;
    while (m_listener->take(datagram)) {
        DatagramReceived(datagram.sender, datagram.senderPort, datagram.data);
        if (slice.elapsed() > QueueSliceMs) {
            // Leave room for repaints and input; the rest follows in the next event.
            QMetaObject::invokeMethod(this, [this] { processQueue(); }, Qt::QueuedConnection);
            return;
        }
    }
}
