#include "operations/discovereddevices.h"

#include <algorithm>

int TDiscoveredDevices::merge(const QString &sender, QByteArrayView data, bool viaDatagram, const TNetworkAdapter &adapter)
{
    std::lock_guard lock(m_mutex);
    const int index = MergeDiscoveryReply(m_devices, m_index, sender, data, viaDatagram);
    if (index < 0)
        return index;
    // The merge moves a known record to the sender's address: keep the address it left.
    if (index < m_listedAt.size() && m_listedAt[index] != m_devices[index].IpText) {
        TDeviceRecord left = m_devices[index];
        left.IpText = m_listedAt[index];
        if (std::none_of(m_twins.cbegin(), m_twins.cend(), [&](const TDeviceRecord &t) { return t.IpText == left.IpText; }))
            m_twins << left;
        m_listedAt[index] = m_devices[index].IpText;
    } else if (index == m_listedAt.size()) {
        m_listedAt << m_devices[index].IpText;
    }
    NoteReplyAdapter(m_devices[index], adapter);
    return index;
}

QList<TDeviceRecord> TDiscoveredDevices::devices() const
{
    std::lock_guard lock(m_mutex);
    return m_devices;
}

qsizetype TDiscoveredDevices::size() const
{
    std::lock_guard lock(m_mutex);
    return m_devices.size();
}

QList<TDeviceRecord> TDiscoveredDevices::twins() const
{
    std::lock_guard lock(m_mutex);
    QList<TDeviceRecord> twins;
    for (const TDeviceRecord &twin : m_twins)
        if (std::none_of(m_devices.cbegin(), m_devices.cend(), [&](const TDeviceRecord &d) { return d.IpText == twin.IpText; }))
            twins << twin;
    return twins;
}
