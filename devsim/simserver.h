#pragma once
// The simulator's sockets: one UDP socket per service and one TCP listener per stream
// service, all bound to one address (0.0.0.0 in the lab's device namespace). A request's
// destination address says which device it is for; replies leave from that address.

#include "devsim/simulator.h"
#include "devsim/udpendpoint.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>

class QTcpServer;
class QTcpSocket;
class QTimer;

namespace DevSim {

class SimServer : public QObject
{
    Q_OBJECT
public:
    explicit SimServer(DeviceSimulator &simulator, QObject *parent = nullptr);
    ~SimServer() override;

    // Addresses that reach every device besides 255.255.255.255 (a directed broadcast).
    void addBroadcastAddress(quint32 address) { m_broadcasts.insert(address); }

    bool start(const QHostAddress &bind, QString *error);

    // Datagrams that could not be sent, e.g. from an address that is not local.
    int sendFailures() const { return m_sendFailures; }

private:
    void readDatagrams(UdpEndpoint *socket, Service service);
    void send(UdpEndpoint *socket, int device, quint32 peer, quint16 peerPort, const Outgoing &out);
    void flushPending();
    void acceptDeviceConnections();
    void acceptFtpConnections();
    int deviceFor(const QHostAddress &local) const;

    struct Pending
    {
        UdpEndpoint *socket;
        QByteArray data;
        quint32 sender;
        quint32 peer;
        quint16 peerPort;
        int tries;
    };

    DeviceSimulator &m_simulator;
    UdpEndpoint *m_deviceUdp = nullptr;
    UdpEndpoint *m_busUdp = nullptr;
    QTcpServer *m_deviceTcp = nullptr;
    QTcpServer *m_ftp = nullptr;
    QSet<quint32> m_broadcasts;
    QList<Pending> m_pending;
    QTimer *m_retry = nullptr;
    int m_sendFailures = 0;
    int m_connections = 0;
};

} // namespace DevSim
