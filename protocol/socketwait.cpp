#include "protocol/socketwait.h"

#include <QAbstractSocket>
#include <QUdpSocket>

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QScopeGuard>
#include <QTcpSocket>

#include <algorithm>
#include <utility>

#ifdef Q_OS_UNIX
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <netinet/tcp.h>
#endif

namespace {
thread_local std::function<void()> idleHook;

bool dataReady(QAbstractSocket &socket)
{
    if (auto *udp = qobject_cast<QUdpSocket *>(&socket))
        return udp->hasPendingDatagrams();
    return socket.bytesAvailable() > 0;
}

bool stopped(const SocketWait::StopCheck &stop)
{
    return stop && stop();
}

// One slice of a wait, in pieces short enough for the stop check to be looked at in time.
bool waitSliceForReadyRead(QAbstractSocket &socket, int sliceMs, const SocketWait::StopCheck &stop)
{
    if (!stop)
        return socket.waitForReadyRead(sliceMs);
    for (int rest = sliceMs; rest > 0 && !stop(); rest -= SocketWait::StopPollMs) {
        if (socket.waitForReadyRead(std::min(rest, SocketWait::StopPollMs)))
            return true;
        if (socket.state() == QAbstractSocket::UnconnectedState)
            return false;
    }
    return false;
}
} // namespace

namespace SocketWait {

IdleHook::IdleHook(std::function<void()> hook) : m_previous(std::exchange(idleHook, std::move(hook))) {}

IdleHook::~IdleHook()
{
    idleHook = std::move(m_previous);
}

QList<int> slices(int timeoutMs)
{
    QList<int> result;
    if (timeoutMs <= 0)
        return result;
    const int remainder = timeoutMs - ((timeoutMs - 1) / SliceMs) * SliceMs;
    result.append(remainder);
    for (int rest = timeoutMs - remainder; rest > 0; rest -= SliceMs)
        result.append(SliceMs);
    return result;
}

void keepAlive()
{
    if (idleHook)
        idleHook();
}

bool waitForReadyRead(QAbstractSocket &socket, int timeoutMs, const StopCheck &stop)
{
    if (dataReady(socket))
        return true;
    for (int slice : slices(timeoutMs)) {
        if (socket.state() == QAbstractSocket::UnconnectedState || stopped(stop))
            return false;
        if (waitSliceForReadyRead(socket, slice, stop) || dataReady(socket))
            return true;
        // A closed peer or a socket error ends the wait at once, without waiting out the time-out.
        if (socket.state() == QAbstractSocket::UnconnectedState)
            return false;
        keepAlive();
        if (dataReady(socket))
            return true;
    }
    return false;
}

bool waitForBytesWritten(QAbstractSocket &socket, int timeoutMs, const StopCheck &stop)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (socket.bytesToWrite() > 0) {
        if (deadline.hasExpired() || stopped(stop) || socket.state() != QAbstractSocket::ConnectedState)
            return false;
        const qint64 rest = std::max<qint64>(deadline.remainingTime(), 1);
        socket.waitForBytesWritten(int(stop ? std::min<qint64>(rest, StopPollMs) : rest));
    }
    return true;
}

#ifdef Q_OS_UNIX
// The socket shows no descriptor to wait on before it is connected, so the system's
// calls make the connection and the socket takes it over once it stands.
ConnectResult connectTo(QTcpSocket &socket, const QHostAddress &address, quint16 port, int timeoutMs,
                        QString *reason, const StopCheck &stop)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *reason = QString::fromLocal8Bit(std::strerror(errno));
        return ConnectResult::Failed;
    }
    auto closeFd = qScopeGuard([fd] { ::close(fd); });
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(address.toIPv4Address());
    int error = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) < 0)
        error = errno;
    if (error == EINPROGRESS) {
        const QDeadlineTimer deadline(timeoutMs);
        bool settled = false;
        while (!settled && !deadline.hasExpired()) {
            if (stopped(stop)) {
                *reason = QStringLiteral("Stopped");
                return ConnectResult::TimedOut;
            }
            const QList<int> rest = slices(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)));
            pollfd entry{fd, POLLOUT, 0};
            const int ready = ::poll(&entry, 1, stop ? std::min(rest.constFirst(), StopPollMs) : rest.constFirst());
            settled = ready > 0 || (ready < 0 && errno != EINTR);
            if (!settled)
                keepAlive();
        }
        if (!settled) {
            *reason = QStringLiteral("Connection timed out");
            return ConnectResult::TimedOut;
        }
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
            error = errno;
    }
    if (error != 0) {
        *reason = QString::fromLocal8Bit(std::strerror(error));
        return error == ECONNREFUSED ? ConnectResult::Refused : ConnectResult::Failed;
    }
    if (!socket.setSocketDescriptor(fd)) {
        *reason = socket.errorString();
        return ConnectResult::Failed;
    }
    closeFd.dismiss();
    return ConnectResult::Connected;
}
#else
ConnectResult connectTo(QTcpSocket &socket, const QHostAddress &address, quint16 port, int timeoutMs,
                        QString *reason, const StopCheck &stop)
{
    // Without the system's calls the connection is waited for in one piece.
    Q_UNUSED(stop);
    socket.connectToHost(address, port);
    if (socket.waitForConnected(timeoutMs))
        return ConnectResult::Connected;
    *reason = socket.errorString();
    const QAbstractSocket::SocketError error = socket.error();
    socket.abort();
    if (error == QAbstractSocket::SocketTimeoutError)
        return ConnectResult::TimedOut;
    return error == QAbstractSocket::ConnectionRefusedError ? ConnectResult::Refused : ConnectResult::Failed;
}
#endif

EndWatch::EndWatch(const QAbstractSocket &socket)
{
#ifdef Q_OS_LINUX
    const qintptr descriptor = socket.socketDescriptor();
    if (descriptor >= 0)
        m_descriptor = ::fcntl(static_cast<int>(descriptor), F_DUPFD_CLOEXEC, 0);
#else
    Q_UNUSED(socket);
#endif
}

EndWatch::~EndWatch()
{
#ifdef Q_OS_UNIX
    if (m_descriptor >= 0)
        ::close(m_descriptor);
#endif
}

bool EndWatch::peerReset(QString *reason) const
{
#ifdef Q_OS_LINUX
    if (m_descriptor < 0)
        return false;
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(m_descriptor, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 || info.tcpi_state != TCP_CLOSE)
        return false;
    // Closed without a close of ours: the peer reset it, unless it had closed first and only
    // reset what came after (which leaves EPIPE where a reset of a standing connection leaves
    // ECONNRESET, unless Qt's read has taken that already).
    int error = 0;
    length = sizeof error;
    if (::getsockopt(m_descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error == EPIPE)
        return false;
    *reason = QString::fromLocal8Bit(std::strerror(ECONNRESET));
    return true;
#else
    Q_UNUSED(reason);
    return false;
#endif
}

} // namespace SocketWait
