#pragma once
// TDatagramEngine: the one object through which the program sends requests to devices and
// receives their replies, by UDP datagram (broadcast or to one address) or over TCP.
//
// Replies are routed by their sender and the command they answer: a command's reply goes
// to the request waiting for that command from that device, never to another one; a
// discovery reply goes to the discovery handler and to every discovery listener. Many
// requests to different devices may wait at once, from different threads.
//
// The engine shows nothing and never processes a thread's events itself: what goes wrong is
// returned to its caller, and the discovery handler is called by the event loop of the thread
// the engine lives on.

#include "protocol/datagram.h"
#include "protocol/devicedatagram.h"
#include "protocol/netadapters.h"
#include "protocol/wire.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

// The reply handler of a discovery. data is valid only during the call.
using TDeviceReplyEvent = std::function<void(const QString &peerIp, int peerPort, const char *data, int length,
                                             bool refresh, bool viaDatagram)>;

class TReplyRoutes;
class TUdpListener;
class QThread;

// What a command got back: the verdict on the first reply routed to it, and that reply.
struct TCommandReply
{
    // Why the wait ended before a reply came or its time was up.
    enum class Interruption {
        None,
        Cancelled,    // the caller's cancel flag turned true during the call
        EngineClosed, // the engine was destroyed during the call
    };

    TCommandResult result = ResultNoReply;
    QByteArray data;  // the first reply from the device for this command; empty when none came
    // Why the request could not be sent, or TDatagramEngine::CancelledText / EngineClosedText when an
    // interruption ended it (result ResultNoReply, no data); empty otherwise.
    QString error;
    Interruption interruption = Interruption::None;
};

class TDatagramEngine : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        quint16 port = Wire::DevicePort;
        int waitUnitMs = 100;
        int tcpConnectTimeoutMs = 20000;      // about what the system gives a connect
        int receiveBufferBytes = 4 * 1024 * 1024; // a burst of replies must not overflow it
        QList<quint32> bindAddresses;         // empty: every local IPv4 address
    };

    // The error of a command, and the message of the InterruptedError of a TCP discovery, that
    // a cancel or the engine's closing ended.
    static inline const QString CancelledText = QStringLiteral("cancelled");
    static inline const QString EngineClosedText = QStringLiteral("engine closed");

    explicit TDatagramEngine(QObject *parent = nullptr);
    explicit TDatagramEngine(const Options &options, QObject *parent = nullptr);
    // Ends every wait in progress (Command returns EngineClosedText, DiscoverOverTcp raises) and
    // waits for those calls to leave before the sockets go. Calls made after it began return at
    // once the same way; the engine must still outlive every call made on it.
    ~TDatagramEngine() override;

    // The window's scan: sends a discovery by UDP (a broadcast through every adapter when ipText
    // is empty, else to that device) and returns at once. From then on every discovery reply
    // reaches the handler, on this object's thread by its event loop, until another Discover
    // installs its own. Call it on that thread. Returns why the request could not be sent; empty
    // when it was.
    QString Discover(const QString &ipText, TDeviceReplyEvent handler);
    // Installs the window's discovery handler without sending anything: the replies of a sweep,
    // which its own operation sends, then fill the list as a broadcast's do. This object's thread.
    void setDiscoveryHandler(TDeviceReplyEvent handler) { m_discoveryHandler = std::move(handler); }

    // For the device operations, on any thread but one whose event loop must keep turning: sends
    // one command and blocks the calling thread until the device answers it or its wait is over.
    // Over TCP a failed connection raises ConnectionError; by UDP a failed send is told in the
    // reply's error.
    //
    // cancel (may be null): once it turns true during the call, the reply wait, a TCP connect,
    // write or read end within 100 ms and the reply says Interruption::Cancelled. A flag that is
    // already true when the call starts does not apply: that is a caller's clean-up after its
    // cancel (putting the device back), which must run to its end.
    TCommandReply Command(Wire::Command command, const QString &ipText, quint8 transport,
                          const std::atomic<bool> *cancel = nullptr);
    // How long Command waits for a device's first reply to command (its wait count in units).
    int replyWaitMs(Wire::Command command) const;
    // A discovery of one device over TCP, blocking as Command; the reply, empty when none came.
    // Raises ConnectionError when the connection fails, InterruptedError when cancel (as for
    // Command) or the engine's closing ended it.
    QByteArray DiscoverOverTcp(const QString &ipText, const std::atomic<bool> *cancel = nullptr);
    // The same with the connection's wait bounded (a sweep asks many addresses that may not exist).
    QByteArray DiscoverOverTcp(const QString &ipText, const std::atomic<bool> *cancel, int connectTimeoutMs);
    // A sweep's requests: the discovery by UDP to each address, in one go on the listener's thread,
    // from the adapter with address localAddress (0: the first binding); nothing is waited for, the
    // replies reach the listeners as a broadcast's do. Returns how many went out; error says why
    // the first that failed did not.
    int DiscoverAddresses(const QList<quint32> &addresses, quint32 localAddress, QString *error);
    // Sends the discovery broadcast without waiting; the replies reach the listeners. False with
    // the reason when it could not be sent through any adapter.
    bool Broadcast(QString *error);
    // The same, adapter by adapter. The list of adapters is read again first: an adapter that
    // came up since the last scan is bound and used, one that went away is let go.
    TBroadcastReport BroadcastOnAdapters();

    // Discovery listeners, for scans run by the device operations; the id removes one again.
    // Listeners are called outside the engine's locks: one may add or remove listeners. Once
    // removeDiscoveryListener returns, the listener is not called again and, unless it was
    // removed from a listener, no call of it is still running.
    int addDiscoveryListener(TDiscoveryListener listener);
    void removeDiscoveryListener(int id);

    // The addresses the UDP endpoint is bound to; a request to a device leaves through the one of
    // the adapter it was heard on, or the first one.
    QList<QHostAddress> boundAddresses() const;
    // The same with the adapters' names and masks.
    QList<TNetworkAdapter> boundAdapters() const;
    // The adapter a device is reached through: the one its discovery reply came in on (with
    // several adapters), else the one whose subnet holds its address, else the only one; an
    // adapter with address 0 when none applies.
    TNetworkAdapter adapterFor(const QString &ipText) const;
    // Why a binding failed, empty when all of them succeeded.
    QString bindError() const;
    // "Port 52389 is in use by tarvino (process 4242)" when another program holds the port, once
    // the binding is done; empty when the port was free.
    QString portInUse() const;
    // Whether discovery replies have been received that the discovery handler has not been given
    // yet: a segment of tens of thousands of devices answers faster than a list takes the replies.
    bool discoveryRepliesWaiting() const;

signals:
    // The binding found the port held by another program (the text of portInUse()).
    void portTaken(const QString &message);
    // The engine is being destroyed: whatever uses it must stop and let go now (emitted first in
    // the destructor, while every socket still works).
    void closing();

private:
    class WaitStop;
    QByteArray addressedRequest(Wire::Command command, const QString &ipText) const;
    // Throws TarvinoError when the datagram cannot be sent.
    void sendUdp(QByteArray &request);
    // Throws ConnectionError when the exchange fails, InterruptedError when stop ended it.
    QByteArray exchangeOverTcp(const QByteArray &request, int waitCount, const WaitStop &stop, int connectTimeoutMs = -1);
    void routeDatagram(TDeviceDatagram datagram);
    void processQueue();
    // The local address a request to ip leaves from; 0 for the first binding and the PC's
    // first address, as with one adapter.
    quint32 sourceAddressFor(quint32 ip) const;

    Options m_options;
    std::unique_ptr<TReplyRoutes> m_routes;
    TDeviceReplyEvent m_discoveryHandler; // this object's thread only
    QThread *m_listenerThread = nullptr;
    TUdpListener *m_listener = nullptr;
};
