#include "devsim/simserver.h"

#include "devsim/simdatagram.h"
#include "devsim/ftpsession.h"
#include "protocol/wire.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <sys/socket.h>

namespace DevSim {

namespace {

// Bounds that keep a misbehaving peer from holding resources for ever.
constexpr int MaxConnections = 512;
constexpr int ConnectionIdleMs = 60'000;
constexpr qsizetype MaxRequestBytes = 64 * 1024;
constexpr qsizetype MaxFtpLine = 4096;
constexpr qint64 MaxUploadBytes = 256ll * 1024 * 1024;
constexpr int DataConnectMs = 10'000;
// A paced upload (ftp-slow) takes its share of bytes this often.
constexpr int UploadPaceMs = 50;
constexpr int MaxSendTries = 200; // 1 ms apart
constexpr int ReplyBurst = 50;

// Closes with a reset, as a host that refuses the connection would.
void resetConnection(QTcpSocket *socket)
{
    const linger hard{1, 0};
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    socket->abort();
    socket->deleteLater();
}

QString peerText(const QHostAddress &address, quint16 port)
{
    return QStringLiteral("%1:%2").arg(QHostAddress(address.toIPv4Address()).toString()).arg(port);
}

} // namespace

SimServer::SimServer(DeviceSimulator &simulator, QObject *parent)
    : QObject(parent)
    , m_simulator(simulator)
{
    m_broadcasts.insert(0xFFFFFFFFu);
    m_retry = new QTimer(this);
    m_retry->setInterval(1);
    m_retry->setTimerType(Qt::PreciseTimer);
    connect(m_retry, &QTimer::timeout, this, &SimServer::flushPending);
}

SimServer::~SimServer() = default;

int SimServer::deviceFor(const QHostAddress &local) const
{
    bool ok = false;
    const quint32 ip = local.toIPv4Address(&ok);
    return ok ? m_simulator.indexOf(ip) : -1;
}

bool SimServer::start(const QHostAddress &bind, QString *error)
{
    const SimulatorOptions &options = m_simulator.options();
    auto failed = [&](const QString &what, quint16 port, const QString &why) {
        *error = QStringLiteral("cannot bind %1 %2:%3: %4").arg(what, bind.toString()).arg(port).arg(why);
        return false;
    };
    m_deviceUdp = new UdpEndpoint(this);
    m_busUdp = new UdpEndpoint(this);
    QString why;
    if (!m_deviceUdp->bind(bind.toIPv4Address(), options.devicePort, &why))
        return failed(QStringLiteral("UDP"), options.devicePort, why);
    if (!m_busUdp->bind(bind.toIPv4Address(), options.busPort, &why))
        return failed(QStringLiteral("UDP"), options.busPort, why);
    // A broadcast reaches every device at once: room for a burst of requests and replies.
    m_deviceUdp->setBufferSizes(8 * 1024 * 1024);
    m_busUdp->setBufferSizes(1024 * 1024);
    connect(m_deviceUdp, &UdpEndpoint::readyRead, this, [this] { readDatagrams(m_deviceUdp, Service::Device); });
    connect(m_busUdp, &UdpEndpoint::readyRead, this, [this] { readDatagrams(m_busUdp, Service::Bus); });

    m_deviceTcp = new QTcpServer(this);
    m_ftp = new QTcpServer(this);
    m_deviceTcp->setMaxPendingConnections(128);
    m_ftp->setMaxPendingConnections(128);
    if (!m_deviceTcp->listen(bind, options.devicePort))
        return failed(QStringLiteral("TCP"), options.devicePort, m_deviceTcp->errorString());
    if (!m_ftp->listen(bind, options.ftpPort))
        return failed(QStringLiteral("TCP"), options.ftpPort, m_ftp->errorString());
    connect(m_deviceTcp, &QTcpServer::newConnection, this, &SimServer::acceptDeviceConnections);
    connect(m_ftp, &QTcpServer::newConnection, this, &SimServer::acceptFtpConnections);
    return true;
}

void SimServer::readDatagrams(UdpEndpoint *socket, Service service)
{
    // Bounded per wake-up so that a flood cannot starve the other sockets and timers.
    for (int i = 0; i < 256; ++i) {
        const std::optional<UdpDatagram> datagram = socket->receive();
        if (!datagram)
            break;
        const QString from = QStringLiteral("%1:%2").arg(ipToText(datagram->source)).arg(datagram->sourcePort);
        const int device = m_simulator.indexOf(datagram->destination);
        if (device >= 0) {
            const QList<Outgoing> replies = service == Service::Bus
                ? m_simulator.busRequest(device, datagram->data, from)
                : m_simulator.deviceRequest(device, datagram->data, Transport::Udp, from);
            for (const Outgoing &out : replies)
                send(socket, device, datagram->source, datagram->sourcePort, out);
            continue;
        }
        if (service == Service::Device && m_broadcasts.contains(datagram->destination)) {
            const QList<AddressedOutgoing> replies = m_simulator.broadcastRequest(datagram->data, from);
            for (const AddressedOutgoing &reply : replies)
                send(socket, reply.device, datagram->source, datagram->sourcePort, reply.out);
        }
        // Anything else (a bus broadcast, an address that is no device) goes unanswered.
    }
}

void SimServer::send(UdpEndpoint *socket, int device, quint32 peer, quint16 peerPort, const Outgoing &out)
{
    const quint32 sender = m_simulator.device(out.fromDevice >= 0 ? out.fromDevice : device).ip;
    if (out.toAddress != 0) {
        peer = out.toAddress;
        peerPort = out.toPort;
    }
    if (out.delayMs > 0) {
        QTimer::singleShot(out.delayMs, this, [=, this] {
            m_pending << Pending{socket, out.data, sender, peer, peerPort, 0};
            flushPending();
        });
        return;
    }
    m_pending << Pending{socket, out.data, sender, peer, peerPort, 0};
    flushPending();
}

void SimServer::flushPending()
{
    // Replies leave in order, at most a burst per tick of the timer: the answers to a
    // broadcast spread over a few milliseconds, as a segment of real devices' would, and
    // when a socket is full the rest waits for the next tick.
    int sent = 0;
    while (!m_pending.isEmpty() && sent++ < ReplyBurst) {
        Pending &p = m_pending.first();
        const UdpEndpoint::SendResult result = p.socket->send(p.data, p.sender, p.peer, p.peerPort);
        if (result == UdpEndpoint::SendResult::Full && ++p.tries < MaxSendTries)
            break;
        if (result != UdpEndpoint::SendResult::Sent && m_sendFailures++ < 10)
            std::fprintf(stderr, "tarvino-devsim: cannot send from %s to %s: %s\n", qPrintable(ipToText(p.sender)),
                         qPrintable(ipToText(p.peer)), qPrintable(p.socket->lastError()));
        m_pending.removeFirst();
    }
    if (m_pending.isEmpty())
        m_retry->stop();
    else if (!m_retry->isActive())
        m_retry->start();
}

void SimServer::acceptDeviceConnections()
{
    while (QTcpSocket *socket = m_deviceTcp->nextPendingConnection()) {
        const int device = deviceFor(socket->localAddress());
        const QString from = peerText(socket->peerAddress(), socket->peerPort());
        if (device < 0 || m_connections >= MaxConnections || m_simulator.deviceConnectionRefused(device, from)) {
            resetConnection(socket);
            continue;
        }
        ++m_connections;
        auto *idle = new QTimer(socket);
        idle->setSingleShot(true);
        idle->start(ConnectionIdleMs);
        connect(idle, &QTimer::timeout, socket, &QTcpSocket::abort);
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, device, from, buffer, idle] {
            idle->start(ConnectionIdleMs);
            buffer->append(socket->readAll());
            for (qsizetype size = completeRequestSize(*buffer); size > 0; size = completeRequestSize(*buffer)) {
                const QByteArray request = buffer->left(size);
                buffer->remove(0, size);
                QPointer<QTcpSocket> guard(socket);
                for (const Outgoing &out : m_simulator.deviceRequest(device, request, Transport::Tcp, from)) {
                    if (out.fromDevice >= 0)
                        continue; // another device's reply cannot come over this connection
                    if (out.delayMs <= 0)
                        socket->write(out.data);
                    else
                        QTimer::singleShot(out.delayMs, socket, [guard, data = out.data] {
                            if (guard)
                                guard->write(data);
                        });
                }
            }
            if (buffer->size() > MaxRequestBytes)
                socket->abort();
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            --m_connections;
            socket->deleteLater();
        });
    }
}

namespace {

// One FTP control connection and, during an upload, its data connection.
class FtpControl : public QObject
{
public:
    FtpControl(QTcpSocket *control, DeviceSimulator &simulator, int device, const QString &from,
               const DeviceSimulator::FtpConnection &admission, QObject *parent)
        : QObject(parent)
        , m_control(control)
        , m_simulator(simulator)
        , m_device(device)
        , m_from(from)
        , m_silent(admission.admission == DeviceSimulator::FtpAdmission::Silent)
        , m_bytesPerSecond(admission.bytesPerSecond)
        , m_resetAfter(admission.resetAfterBytes)
        , m_stallAfter(admission.stallAfterBytes)
        , m_session(QByteArray(Wire::FtpUser), QByteArray(Wire::FtpPassword), admission.logInAtUser, admission.end426)
    {
        control->setParent(this);
        m_session.deleteFile = [this](const QByteArray &name) { return m_simulator.ftpDelete(m_device, name); };
        m_idle.setSingleShot(true);
        m_idle.start(ConnectionIdleMs * 2);
        connect(&m_idle, &QTimer::timeout, control, &QTcpSocket::abort);
        connect(control, &QTcpSocket::readyRead, this, &FtpControl::readLines);
        connect(control, &QTcpSocket::disconnected, this, &QObject::deleteLater);
        if (!m_silent)
            reply({m_session.greeting()});
    }

private:
    void reply(const QList<QByteArray> &lines)
    {
        for (const QByteArray &line : lines)
            m_control->write(line + "\r\n");
    }

    void readLines()
    {
        m_idle.start(ConnectionIdleMs * 2);
        m_buffer.append(m_control->readAll());
        qsizetype end;
        while ((end = m_buffer.indexOf('\n')) >= 0) {
            QByteArray line = m_buffer.left(end);
            m_buffer.remove(0, end + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            m_simulator.ftpLineReceived(m_device, m_from, line);
            if (m_silent || m_simulator.silentNow(m_device))
                continue;
            const FtpSession::Outcome outcome = m_session.command(line);
            reply(outcome.replies);
            if (outcome.close) {
                m_control->disconnectFromHost();
                return;
            }
            if (outcome.store)
                startUpload(*outcome.store);
        }
        if (m_buffer.size() > MaxFtpLine)
            m_control->abort();
    }

    // Active mode: the device connects to the client's endpoint, from its own address.
    void startUpload(const FtpSession::Store &store)
    {
        m_name = store.name;
        m_received.clear();
        m_connected = false;
        m_data = new QTcpSocket(this);
        connect(m_data, &QTcpSocket::connected, this, [this] { m_connected = true; });
        const auto take = [this](const QByteArray &bytes) {
            m_received.append(bytes);
            if (m_received.size() > MaxUploadBytes) {
                m_data->abort();
                finishUpload(false);
            } else {
                breakAtLimit();
            }
        };
        if (m_bytesPerSecond > 0) {
            // Paced: Qt reads no further than its small buffer, so the client's writes back up as
            // they do against a slow link; a timer takes the rate's share of it.
            const qint64 share = std::max<qint64>(1, qint64(m_bytesPerSecond) * UploadPaceMs / 1000);
            m_data->setReadBufferSize(share);
            auto *pace = new QTimer(m_data);
            connect(pace, &QTimer::timeout, this, [this, take, share, socket = m_data] {
                // Asked for more than the buffer holds, the socket reads on from the system
                // afterwards; asked for exactly that, it could leave its reading switched off.
                if (m_data == socket)
                    take(socket->read(2 * share));
            });
            pace->start(UploadPaceMs);
        } else {
            connect(m_data, &QTcpSocket::readyRead, this, [this, take] { take(m_data->readAll()); });
        }
        connect(m_data, &QTcpSocket::disconnected, this, [this] {
            m_received.append(m_data->readAll());
            if (!breakAtLimit())
                finishUpload(true);
        });
        connect(m_data, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            if (error != QAbstractSocket::RemoteHostClosedError) // that one ends every upload
                finishUpload(false);
        });
        QTimer::singleShot(DataConnectMs, m_data, [this] {
            if (!m_connected) {
                m_data->abort();
                finishUpload(false);
            }
        });
        m_data->bind(m_control->localAddress(), 0);
        m_data->connectToHost(QHostAddress(store.host), store.port);
    }

    // Resets or stalls the transfer once it reached the fault's number of bytes; true when it did.
    bool breakAtLimit()
    {
        if (m_resetAfter >= 0 && m_received.size() >= m_resetAfter) {
            resetData();
            return true;
        }
        if (m_stallAfter >= 0 && m_received.size() >= m_stallAfter) {
            stall();
            return true;
        }
        return false;
    }

    // ftp-reset: the data connection is reset mid-transfer; the control connection says 426.
    void resetData()
    {
        m_received.truncate(m_resetAfter);
        m_simulator.ftpEvent(m_device, m_from, QStringLiteral("data connection reset after %1 bytes").arg(m_resetAfter));
        const linger hard{1, 0};
        ::setsockopt(int(m_data->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        m_data->abort();
        finishUpload(false);
    }

    // ftp-stall: nothing more is read from the data connection (the peer's window fills) and
    // nothing more is said on the control connection; both stay open until the client leaves.
    void stall()
    {
        m_received.truncate(m_stallAfter);
        m_simulator.ftpEvent(m_device, m_from, QStringLiteral("transfer stalled after %1 bytes").arg(m_stallAfter));
        m_data->disconnect(this);
        m_data->setReadBufferSize(1);
        m_silent = true;
    }

    void finishUpload(bool complete)
    {
        if (!m_data)
            return;
        QTcpSocket *data = m_data;
        m_data = nullptr;
        data->disconnect(this);
        data->deleteLater();
        if (!m_connected) {
            m_simulator.ftpEvent(m_device, m_from, QStringLiteral("data connection failed"));
            reply(m_session.dataConnectionFailed());
            return;
        }
        if (complete)
            m_simulator.ftpStored(m_device, m_from, m_name, m_received);
        else
            m_simulator.ftpEvent(m_device, m_from, QStringLiteral("transfer aborted"));
        m_received.clear();
        reply(m_session.transferEnded(complete));
    }

    QTcpSocket *m_control;
    DeviceSimulator &m_simulator;
    int m_device;
    QString m_from;
    bool m_silent;
    int m_bytesPerSecond;
    qint64 m_resetAfter;
    qint64 m_stallAfter;
    FtpSession m_session;
    QTimer m_idle;
    QByteArray m_buffer;
    QTcpSocket *m_data = nullptr;
    bool m_connected = false;
    QByteArray m_name;
    QByteArray m_received;
};

} // namespace

void SimServer::acceptFtpConnections()
{
    while (QTcpSocket *control = m_ftp->nextPendingConnection()) {
        const int device = deviceFor(control->localAddress());
        const QString from = peerText(control->peerAddress(), control->peerPort());
        DeviceSimulator::FtpConnection admission{DeviceSimulator::FtpAdmission::Refuse, false, false, 0};
        if (device >= 0 && m_connections < MaxConnections)
            admission = m_simulator.ftpConnect(device, from);
        if (admission.admission == DeviceSimulator::FtpAdmission::Refuse) {
            resetConnection(control);
            continue;
        }
        ++m_connections;
        auto *handler = new FtpControl(control, m_simulator, device, from, admission, this);
        connect(handler, &QObject::destroyed, this, [this] { --m_connections; });
    }
}

} // namespace DevSim
