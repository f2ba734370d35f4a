#include "socketwait.h"

#include <QAbstractSocket>
#include <QCoreApplication>
#include <QThread>
#include <QUdpSocket>

#include <atomic>

namespace {
std::atomic<int> keepAliveCount{0};

bool dataReady(QAbstractSocket &socket)
{
    if (auto *udp = qobject_cast<QUdpSocket *>(&socket))
        return udp->hasPendingDatagrams();
    return socket.bytesAvailable() > 0;
}
} // namespace

TUiKeepAlive::TUiKeepAlive() { ++keepAliveCount; }
TUiKeepAlive::~TUiKeepAlive() { --keepAliveCount; }
bool TUiKeepAlive::active() { return keepAliveCount.load() > 0; }

namespace SocketWait {

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
    QCoreApplication *app = QCoreApplication::instance();
    if (app && TUiKeepAlive::active() && QThread::currentThread() == app->thread())
        QCoreApplication::processEvents();
}

bool waitForReadyRead(QAbstractSocket &socket, int timeoutMs)
{
    if (dataReady(socket))
        return true;
    for (int slice : slices(timeoutMs)) {
        if (socket.state() == QAbstractSocket::UnconnectedState)
            return false;
        if (socket.waitForReadyRead(slice) || dataReady(socket))
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

bool waitForConnected(QAbstractSocket &socket, int timeoutMs)
{
    for (int slice : slices(timeoutMs)) {
        if (socket.state() == QAbstractSocket::ConnectedState || socket.waitForConnected(slice))
            return true;
        if (socket.state() == QAbstractSocket::UnconnectedState)
            return false;
        keepAlive();
    }
    return socket.state() == QAbstractSocket::ConnectedState;
}

} // namespace SocketWait
