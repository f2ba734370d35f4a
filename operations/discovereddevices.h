#pragma once
// The devices a scan has heard so far, merged as their replies come: one record per device (by
// MAC address) at its latest address, and the records that another address took over (a cloned
// board answering with the same MAC address). What the broadcast scan and the range sweep keep
// alike; every function may be called from any thread.

#include "protocol/datagram.h"

#include <QList>
#include <QString>

#include <mutex>

class TDiscoveredDevices
{
public:
    // Merges one discovery reply from sender, heard through adapter; the device's index in
    // devices(), or -1 when the reply is no device's record.
    int merge(const QString &sender, QByteArrayView data, bool viaDatagram, const TNetworkAdapter &adapter);
    // In order of first reply.
    QList<TDeviceRecord> devices() const;
    qsizetype size() const;
    // The records another address took over, leaving out those that moved back to it.
    QList<TDeviceRecord> twins() const;

private:
    mutable std::mutex m_mutex;
    QList<TDeviceRecord> m_devices;
    QList<TDeviceRecord> m_twins;
    QList<QString> m_listedAt; // by index into m_devices: the address its record was listed at
    TDeviceIndex m_index;
};
