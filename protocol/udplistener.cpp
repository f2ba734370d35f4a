#include "protocol/udplistener.h"

#include "protocol/datagram.h"
#include "protocol/enginelog.h"
#include "protocol/ipv4text.h"
#include "protocol/netadapters.h"

#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QUdpSocket>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <sys/socket.h>
#endif

namespace {
constexpr int MaxDatagramBytes = 8192;
constexpr int OwnAddressesMaxAgeMs = 1000;
#ifdef Q_OS_LINUX
// Linux sends a limited broadcast from a socket bound to an adapter's address out through that
// adapter (the route lookup takes the device of the source address), whatever the routing table.
constexpr bool LimitedBroadcastFollowsSource = true;
#else
constexpr bool LimitedBroadcastFollowsSource = false;
#endif

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

void TUdpListener::open(const QList<quint32> &addresses, quint16 port, int receiveBuffer)
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

void TUdpListener::refresh()
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

void TUdpListener::close()
{
    while (!m_bindings.isEmpty())
        closeAt(m_bindings.size() - 1);
}

bool TUdpListener::send(const QByteArray &datagram, const QHostAddress &host, quint16 port, quint32 localAddress,
                        QString *error)
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

TBroadcastReport TUdpListener::broadcast(const QByteArray &request, quint16 port)
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

QList<QHostAddress> TUdpListener::bound() const
{
    m_opened.wait();
    std::lock_guard lock(m_mutex);
    return m_bound;
}

QList<TNetworkAdapter> TUdpListener::boundAdapters() const
{
    m_opened.wait();
    std::lock_guard lock(m_mutex);
    return m_boundAdapters;
}

QString TUdpListener::bindErrors() const
{
    m_opened.wait();
    return bindErrorText();
}

bool TUdpListener::portWasTaken() const
{
    m_opened.wait();
    std::lock_guard lock(m_mutex);
    return m_portTaken;
}

TNetworkAdapter TUdpListener::adapterFor(quint32 ip, const QList<TNetworkAdapter> &adapters)
{
    if (const TNetworkAdapter *known = AdapterWithAddress(adapters, ip))
        return *known;
    TNetworkAdapter adapter;
    adapter.address = ip;
    return adapter;
}

qsizetype TUdpListener::indexOf(quint32 address) const
{
    for (qsizetype i = 0; i < m_bindings.size(); ++i)
        if (m_bindings[i].adapter.address == address)
            return i;
    return -1;
}

QString TUdpListener::bindErrorText() const
{
    std::lock_guard lock(m_mutex);
    QStringList texts(m_errors.cbegin(), m_errors.cend());
    return texts.join(u"; ");
}

void TUdpListener::bindOne(const QHostAddress &address, const TNetworkAdapter &adapter)
{
    auto *socket = new QUdpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy); // devices are on this segment
    // The port is the program's own: another program bound to it would take replies away.
    if (!socket->bind(address, m_port, QAbstractSocket::DontShareAddress)) {
        std::lock_guard lock(m_mutex);
        m_portTaken = m_portTaken || socket->error() == QAbstractSocket::AddressInUseError;
        const QString error = QStringLiteral("%1:%2: %3").arg(address.toString()).arg(m_port).arg(socket->errorString());
        m_errors.insert(adapter.address, error);
        qCWarning(lcEngine).noquote() << "UDP binding failed:" << error;
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

void TUdpListener::closeAt(qsizetype i)
{
    delete m_bindings[i].socket;
    m_bindings.removeAt(i);
    publish();
}

void TUdpListener::publish()
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

void TUdpListener::drain(QUdpSocket &socket)
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

bool TUdpListener::isOwnAddress(quint32 ip)
{
    if (!m_ownAge.isValid() || m_ownAge.elapsed() > OwnAddressesMaxAgeMs) {
        const QList<quint32> own = LocalIPv4Addresses();
        m_ownAddresses = QSet<quint32>(own.cbegin(), own.cend());
        m_ownAge.start();
    }
    return m_ownAddresses.contains(ip);
}
