#pragma once
// TUdpListener: the engine's UDP endpoint. It lives on its own thread and drains its sockets as
// soon as datagrams arrive (so a burst never overflows the system's buffers), handing each one
// to the engine's routing on this thread. One socket per local address: a request leaves
// through the socket of the adapter it is meant for, and a reply tells which adapter heard it.

#include "protocol/devicedatagram.h"
#include "protocol/netadapters.h"
#include "protocol/wire.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <functional>
#include <latch>
#include <mutex>

class QUdpSocket;

class TUdpListener : public QObject
{
public:
    std::function<void(TDeviceDatagram)> received; // called on the listener thread

    // Binds every address given; with none, every adapter's address (followed later by
    // refresh()), or all addresses at once when the PC has no adapter up.
    void open(const QList<quint32> &addresses, quint16 port, int receiveBuffer);
    // The adapters as the system lists them now: a new address is bound, one that went away
    // is closed (so that it is bound again when it comes back). Nothing changes when the engine
    // was given its addresses.
    void refresh();
    void close();

    // Sends through the binding of localAddress, or the first binding when it has none; false
    // with a reason when that fails.
    bool send(const QByteArray &datagram, const QHostAddress &host, quint16 port, quint32 localAddress, QString *error);
    // The discovery broadcast through every adapter. With one binding, the request goes as it
    // is through it; with several, each carries its adapter's own address as its source.
    TBroadcastReport broadcast(const QByteArray &request, quint16 port);

    // Any thread: what is bound now, once open() has run.
    QList<QHostAddress> bound() const;
    QList<TNetworkAdapter> boundAdapters() const;
    QString bindErrors() const;
    bool portWasTaken() const;
    int bindingCount() const { return m_bindingCount.load(); }

private:
    struct Binding
    {
        QUdpSocket *socket;
        TNetworkAdapter adapter; // address 0 for the socket bound to every address
    };

    static TNetworkAdapter adapterFor(quint32 ip, const QList<TNetworkAdapter> &adapters);
    qsizetype indexOf(quint32 address) const;
    QString bindErrorText() const;
    void bindOne(const QHostAddress &address, const TNetworkAdapter &adapter);
    void closeAt(qsizetype i);
    void publish();
    void drain(QUdpSocket &socket);
    bool isOwnAddress(quint32 ip);

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
