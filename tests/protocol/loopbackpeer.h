#pragma once
// A device stand-in on a loopback address, on its own thread so that it answers
// while the engine blocks the test's thread. It records every request it gets.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <functional>

class LoopbackPeer : public QObject
{
public:
    struct Request
    {
        QByteArray data;
        bool viaDatagram;
    };
    // Given a request, the replies to send (none for a silent device).
    using Responder = std::function<QList<QByteArray>(const QByteArray &request)>;

    LoopbackPeer(const QHostAddress &address, quint16 port) : m_address(address), m_port(port)
    {
        moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(this, [this] { open(); }, Qt::BlockingQueuedConnection);
    }
    ~LoopbackPeer() override
    {
        QMetaObject::invokeMethod(this, [this] { delete m_udp; delete m_tcp; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    bool isOpen() const { return m_open; }
    void setResponder(Responder responder, int delayMs = 0)
    {
        QMutexLocker lock(&m_mutex);
        m_responder = std::move(responder);
        m_delayMs = delayMs;
    }
    // Accept TCP connections but close them, without answering, as soon as the request is in.
    void setCloseTcpAtOnce(bool close) { m_closeTcp = close; }
    QList<Request> requests() const
    {
        QMutexLocker lock(&m_mutex);
        return m_requests;
    }
    // Sends datagrams to a host from the peer's own socket, as fast as it can.
    void burst(const QList<QByteArray> &datagrams, const QHostAddress &host, quint16 port)
    {
        QMetaObject::invokeMethod(
            this,
            [=, this] {
                for (const QByteArray &d : datagrams)
                    m_udp->writeDatagram(d, host, port);
            },
            Qt::QueuedConnection);
    }

private:
    void open()
    {
        m_udp = new QUdpSocket;
        m_tcp = new QTcpServer;
        m_open = m_udp->bind(m_address, m_port) && m_tcp->listen(m_address, m_port);
        QObject::connect(m_udp, &QUdpSocket::readyRead, this, [this] {
            while (m_udp->hasPendingDatagrams()) {
                const QNetworkDatagram d = m_udp->receiveDatagram();
                answer(d.data(), true, [this, to = d.senderAddress(), port = d.senderPort()](const QByteArray &r) {
                    m_udp->writeDatagram(r, to, static_cast<quint16>(port));
                });
            }
        });
        QObject::connect(m_tcp, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_tcp->nextPendingConnection()) {
                if (m_closeTcp) {
                    // Closed once the request is in: closing with bytes unread would reset the
                    // connection instead.
                    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                        socket->readAll();
                        socket->close();
                        socket->deleteLater();
                    });
                    continue;
                }
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    answer(socket->readAll(), false, [socket](const QByteArray &r) { socket->write(r); });
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

    void answer(const QByteArray &request, bool viaDatagram, std::function<void(const QByteArray &)> send)
    {
        Responder responder;
        int delay = 0;
        {
            QMutexLocker lock(&m_mutex);
            m_requests.append({request, viaDatagram});
            responder = m_responder;
            delay = m_delayMs;
        }
        if (!responder)
            return;
        const QList<QByteArray> replies = responder(request);
        auto sendAll = [replies, send] {
            for (const QByteArray &r : replies)
                send(r);
        };
        if (delay > 0)
            QTimer::singleShot(delay, this, sendAll);
        else
            sendAll();
    }

    QThread m_thread;
    QHostAddress m_address;
    quint16 m_port;
    QUdpSocket *m_udp = nullptr;
    QTcpServer *m_tcp = nullptr;
    bool m_open = false;
    std::atomic<bool> m_closeTcp{false};
    mutable QMutex m_mutex;
    Responder m_responder;
    int m_delayMs = 0;
    QList<Request> m_requests;
};
