#pragma once
// A sweep of address ranges: the scan of devices behind a router, where the discovery broadcast
// does not reach. The discovery request goes by UDP to each address of the ranges, at a bounded
// rate, in two passes as the broadcast's two pulses (the second asks only the addresses that did
// not answer the first); the replies are merged into the list exactly as a broadcast's are (one
// row per device, the adapter that heard it, which is the one the route to it uses). With
// `askOverTcp`, the addresses that stayed silent are then asked over TCP, a few at once, as Search
// IP Address asks one.

#include "protocol/addressrange.h"
#include "protocol/datagram.h"
#include "operations/deviceoperation.h"
#include "operations/discovereddevices.h"

#include <QList>
#include <QSet>

#include <atomic>
#include <mutex>

class TRangeSweep final : public TDeviceOperation
{
    Q_OBJECT
public:
    static constexpr int DefaultRate = 2000;   // requests per second that a site network tolerates
    static constexpr int MaxRate = 100000;
    static constexpr int TcpConnections = 32;  // TCP discoveries at once
    static constexpr int TcpConnectMs = 2000;  // as long as Search IP Address waits for a reply

    struct Options
    {
        QList<TAddressRange> ranges; // checked already (ParseAddressRanges)
        int rate = DefaultRate;      // UDP requests per second, both passes together
        int passes = 2;
        int passIntervalMs = 1000;   // at least this from one pass's start to the next, as the broadcast's pulses
        int listenMs = 3000;         // after the last request of the last pass
        bool askOverTcp = false;
        int tcpConnections = TcpConnections;
        int tcpConnectMs = TcpConnectMs;
    };

    TRangeSweep(TDatagramEngine *engine, Options options, QObject *parent = nullptr);
    ~TRangeSweep() override { stopWorker(); }
    QString title() const override { return QStringLiteral("Sweep"); }
    bool worksOnDevice() const override { return false; }

    // Any thread: the devices listed so far, in order of first reply, and the records that
    // another address took over (as TScanDevices keeps them).
    QList<TDeviceRecord> devices() const;
    QList<TDeviceRecord> twins() const;
    quint64 addressCount() const { return m_addressCount; }
    // Any thread: the UDP requests sent so far, of requestsPlanned() at most.
    quint64 requestsSent() const { return m_sent.load(); }

signals:
    // A device replied, for the first time or again (index into devices()).
    void deviceReplied(int index);
    // A slice of requests went out: done of total addresses asked in this pass.
    void swept(qint64 done, qint64 total, int pass);

protected:
    void run(TDeviceSession &session) override;

private:
    // One pass's requests at the rate; false (the outcome failed) when none could be sent.
    bool sendPass(TDeviceSession &session, int pass, const QList<quint32> &addresses);
    void askOverTcp(TDeviceSession &session, const QList<quint32> &addresses);
    int merge(const QString &sender, QByteArrayView data, bool viaDatagram, const TNetworkAdapter &adapter);
    // Leaves out the addresses a reply came from; how many are left.
    qsizetype removeAnswered(QList<quint32> &addresses) const;

    Options m_options;
    quint64 m_addressCount = 0;
    std::atomic<quint64> m_sent{0};
    TDiscoveredDevices m_found;
    mutable std::mutex m_mutex; // guards m_answered
    QSet<quint32> m_answered;   // the addresses a reply came from
};
