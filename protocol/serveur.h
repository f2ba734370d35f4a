#pragma once
// TServeur: the one object through which the program sends requests to devices and
// receives their replies, by UDP datagram (broadcast or to one address) or over TCP.
//
// Replies are routed by their sender and the command they answer: a command's reply goes
// to the request waiting for that command from that device, never to another one; a
// discovery reply goes to the discovery handler and to every discovery listener. Many
// requests to different devices may wait at once, from different threads.

#include "datagram.h"
#include "netadapters.h"
#include "socketwait.h"
#include "wire.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// The reply handler of an operation. data is valid only during the call.
using TDeviceReplyEvent = std::function<void(const QString &peerIp, int peerPort, const char *data, int length,
                                             bool refresh, bool viaDatagram)>;

class TUdpListener;
class QThread;

// What a command got back: the verdict on the first reply routed to it, and that reply.
struct TCommandReply
{
    TCommandResult result = ResultNoReply;
    QByteArray data;  // the first reply from the device for this command; empty when none came
    QString error;    // why the request could not be sent; empty when it was
};

// A datagram as the engine received it.
struct TDeviceDatagram
{
    QString sender;
    int senderPort = 0;
    QByteArray data;
    TNetworkAdapter adapter; // the adapter that received it (address 0 when unknown)
};

// Where a discovery broadcast went: the adapters it left through, and one line per adapter (or
// for the one socket) through which it could not be sent.
struct TBroadcastReport
{
    QList<TNetworkAdapter> sentThrough;
    QStringList failures;
};

// Called on the engine's listener thread for every discovery reply; must not block.
using TDiscoveryListener = std::function<void(const TDeviceDatagram &datagram)>;

class TServeur : public QObject
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

    explicit TServeur(QObject *parent = nullptr);
    explicit TServeur(const Options &options, QObject *parent = nullptr);
    ~TServeur() override;

    void Discover(quint8 transport, const QString &ipText, TDeviceReplyEvent handler);
    void StartFtpServer(const QString &ipText, quint8 transport, TDeviceReplyEvent handler);
    void StopFtpServer(const QString &ipText, quint8 transport, TDeviceReplyEvent handler);
    void StartUpdater(const QString &ipText, quint8 transport, TDeviceReplyEvent handler);
    void StopUpdater(const QString &ipText, quint8 transport, TDeviceReplyEvent handler);
    void StartDaemon(const QString &ipText, quint8 transport, TDeviceReplyEvent handler);
    void StopDaemon(const QString &ipText, quint8 transport, TDeviceReplyEvent handler);
    void SetDropBear(const QString &ipText, quint8 transport, TDeviceReplyEvent handler);
    void SystemUpgrade(const QString &ipText, quint8 transport, TDeviceReplyEvent handler);

    // Any of the nine, by its command code. GUI thread only: the handler gets the replies of this
    // device to this command (a discovery's handler every discovery reply) until another request
    // for the same device and command, or another discovery, installs its own; events are
    // processed while the request waits.
    void RunCommand(Wire::Command command, const QString &ipText, quint8 transport, TDeviceReplyEvent handler);

    // Any thread but the GUI thread, for the device operations: sends one command and blocks the
    // calling thread until the device answers it or its wait is over. Over TCP a failed connection
    // raises ConnectionError; by UDP a failed send is told in the reply's error.
    TCommandReply Command(Wire::Command command, const QString &ipText, quint8 transport);
    // A discovery of one device over TCP, blocking as Command; the reply, empty when none came.
    QByteArray DiscoverOverTcp(const QString &ipText);
    // Sends the discovery broadcast without waiting; the replies reach the listeners. False with
    // the reason when it could not be sent through any adapter.
    bool Broadcast(QString *error);
    // The same, adapter by adapter. The list of adapters is read again first: an adapter that
    // came up since the last scan is bound and used, one that went away is let go.
    TBroadcastReport BroadcastOnAdapters();

    // Discovery listeners, for scans run by the device operations; the id removes one again.
    int addDiscoveryListener(TDiscoveryListener listener);
    void removeDiscoveryListener(int id);

    bool ReplyReceived() const { return m_replyReceived; }
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

signals:
    // The binding found the port held by another program (the text of portInUse()).
    void portTaken(const QString &message);

private:
    struct Routes;
    QByteArray addressedRequest(Wire::Command command, const QString &ipText) const;
    void SendRequest(QByteArray request, int waitCount, quint8 transport, quint64 route);
    void sendDatagram(QByteArray &request, int waitCount, quint64 route);
    // Throws TarvinoError when the datagram cannot be sent.
    void sendUdp(QByteArray &request);
    QByteArray exchangeOverTcp(const QByteArray &request, int waitCount);
    void routeDatagram(TDeviceDatagram datagram);
    void processQueue();
    // The local address a request to ip leaves from; 0 for the first binding and the PC's
    // first address, as with one adapter.
    quint32 sourceAddressFor(quint32 ip) const;

    Options m_options;
    std::unique_ptr<Routes> m_routes;
    bool m_replyReceived = false;
    QThread *m_listenerThread = nullptr;
    TUdpListener *m_listener = nullptr;
    std::unique_ptr<TUiKeepAlive> m_keepAlive;
};
