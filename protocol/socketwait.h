#pragma once
// Blocking socket waits of the GUI thread that keep the window alive.
//
// A wait is cut into slices: first the part of the time-out above the largest
// smaller multiple of 250 ms, then 250 ms slices. After every slice that ends
// without data the pending GUI events are processed (when a keep-alive is
// active); when data is ready nothing is processed, so a device that answers
// at once costs no added latency.

#include <QList>
#include <QString>

class QAbstractSocket;
class QHostAddress;
class QTcpSocket;

namespace SocketWait {

constexpr int SliceMs = 250;

// The slices of a wait of timeoutMs: e.g. 1010 -> 10, 250, 250, 250, 250.
QList<int> slices(int timeoutMs);

// True when the socket has data (a datagram or stream bytes) before the time-out.
bool waitForReadyRead(QAbstractSocket &socket, int timeoutMs);

enum class ConnectResult { Connected, Refused, TimedOut, Failed };

// Connects an unconnected socket to an IPv4 address, waiting in slices as above.
// (Qt's own waitForConnected gives the attempt up when its wait runs out, so it cannot
// be sliced.) On failure, reason holds the system's words for it.
ConnectResult connectTo(QTcpSocket &socket, const QHostAddress &address, quint16 port, int timeoutMs,
                        QString *reason);

// Processes pending GUI events if a keep-alive is active and this is the GUI thread.
void keepAlive();

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

// The program-wide keep-alive: while one exists, socket waits process GUI events
// after each empty slice. The engine creates one for its whole life.
class TUiKeepAlive
{
public:
    TUiKeepAlive();
    ~TUiKeepAlive();
    TUiKeepAlive(const TUiKeepAlive &) = delete;
    TUiKeepAlive &operator=(const TUiKeepAlive &) = delete;

    static bool active();
};
