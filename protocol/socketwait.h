#pragma once
// Blocking socket waits, cut into slices.
//
// A wait is cut into slices: first the part of the time-out above the largest
// smaller multiple of 250 ms, then 250 ms slices. After every slice that ends
// without data the calling thread's idle hook runs, when it has one (see IdleHook);
// when data is ready nothing runs, so a device that answers at once costs no added
// latency. A wait given a stop check looks at it at least every StopPollMs and ends
// when it is true.

#include <QList>
#include <QString>

#include <functional>

class QAbstractSocket;
class QHostAddress;
class QTcpSocket;

namespace SocketWait {

constexpr int SliceMs = 250;
constexpr int StopPollMs = 50;

// Ends a wait early when it returns true (a caller's cancel, an engine closing); empty: never.
using StopCheck = std::function<bool()>;

// The slices of a wait of timeoutMs: e.g. 1010 -> 10, 250, 250, 250, 250.
QList<int> slices(int timeoutMs);

// True when the socket has data (a datagram or stream bytes) before the time-out.
bool waitForReadyRead(QAbstractSocket &socket, int timeoutMs, const StopCheck &stop = {});

// True once every byte written to the socket has left it; false when the time-out, an error
// or the stop check came first.
bool waitForBytesWritten(QAbstractSocket &socket, int timeoutMs, const StopCheck &stop = {});

enum class ConnectResult { Connected, Refused, TimedOut, Failed };

// Connects an unconnected socket to an IPv4 address, waiting in slices as above.
// (Qt's own waitForConnected gives the attempt up when its wait runs out, so it cannot
// be sliced.) On failure, reason holds the system's words for it; a stop check that ended the
// wait gives TimedOut with the reason "Stopped".
ConnectResult connectTo(QTcpSocket &socket, const QHostAddress &address, quint16 port, int timeoutMs,
                        QString *reason, const StopCheck &stop = {});

// Runs the calling thread's idle hook, if it has one.
void keepAlive();

// While it exists, the socket waits of the thread that made it run hook after each slice that
// ended without data; the hook it replaced comes back when it goes. The protocol code sets none:
// a caller that must keep something turning through a blocking wait of its thread sets its own.
class IdleHook
{
public:
    explicit IdleHook(std::function<void()> hook);
    ~IdleHook();
    IdleHook(const IdleHook &) = delete;
    IdleHook &operator=(const IdleHook &) = delete;

private:
    std::function<void()> m_previous;
};

// Qt reads a connection that its peer reset as one that the peer closed. A second
// descriptor of the socket, held from the connection's start, still tells the two apart
// once Qt has closed its own: a reset leaves the connection closed, the peer's close
// leaves it waiting for ours.
class EndWatch
{
public:
    explicit EndWatch(const QAbstractSocket &socket);
    ~EndWatch();
    EndWatch(const EndWatch &) = delete;
    EndWatch &operator=(const EndWatch &) = delete;

    // True, with the system's words for it, when the peer reset the connection; false
    // while it stands, after the peer's close, and where the system cannot tell.
    bool peerReset(QString *reason) const;

private:
    int m_descriptor = -1;
};

} // namespace SocketWait
