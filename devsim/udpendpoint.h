#pragma once
// A UDP socket bound to one port that tells, for each datagram, which local address it
// was sent to, and sends from a chosen local address (IP_PKTINFO both ways), so one
// socket on 0.0.0.0 can be many devices.

#include <QByteArray>
#include <QObject>

#include <optional>

class QSocketNotifier;

namespace DevSim {

struct UdpDatagram
{
    QByteArray data;
    quint32 source = 0;
    quint16 sourcePort = 0;
    quint32 destination = 0; // the address the datagram was sent to (may be a broadcast)
};

class UdpEndpoint : public QObject
{
    Q_OBJECT
public:
    explicit UdpEndpoint(QObject *parent = nullptr);
    ~UdpEndpoint() override;

    bool bind(quint32 address, quint16 port, QString *error);
    void setBufferSizes(int bytes);
    quint16 port() const { return m_port; }

    std::optional<UdpDatagram> receive(); // nothing when no datagram is waiting

    enum class SendResult { Sent, Full, Failed };
    SendResult send(const QByteArray &data, quint32 from, quint32 to, quint16 toPort);
    QString lastError() const { return m_lastError; }

signals:
    void readyRead();

private:
    int m_fd = -1;
    quint16 m_port = 0;
    QSocketNotifier *m_notifier = nullptr;
    QString m_lastError;
};

} // namespace DevSim
