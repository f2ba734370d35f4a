#pragma once
// TServeur: the one object through which the program sends requests to devices and
// receives their replies, by UDP datagram (broadcast or to one address) or over TCP.

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

    // Any of the nine, by its command code.
    void RunCommand(Wire::Command command, const QString &ipText, quint8 transport, TDeviceReplyEvent handler);

    bool ReplyReceived() const { return m_replyReceived; }
    // The addresses the UDP endpoint is bound to, the first one sends.
    QList<QHostAddress> boundAddresses() const;
    // Why a binding failed, empty when all of them succeeded.
    QString bindError() const;

private:
    void SendRequest(QByteArray request, int waitCount, quint8 transport);
    void sendDatagram(QByteArray &request, int waitCount);
    void sendOverTcp(const QByteArray &request, int waitCount);
    void DatagramReceived(const QString &sender, int senderPort, const QByteArray &datagram);
    void processQueue();

    Options m_options;
    TDeviceReplyEvent m_replyHandler;
    bool m_replyReceived = false;
    QThread *m_listenerThread = nullptr;
    TUdpListener *m_listener = nullptr;
    std::unique_ptr<TUiKeepAlive> m_keepAlive;
};
