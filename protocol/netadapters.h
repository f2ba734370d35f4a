#pragma once
// The PC's network adapters as discovery uses them: every IPv4 address of an interface that is
// up, with its mask, and the small rules over them (which adapter's subnet holds an address,
// where a discovery broadcast goes through each adapter). The rules are pure functions; only
// NetworkAdapters() asks the system.

#include <QList>
#include <QString>

struct TNetworkAdapter
{
    QString name;          // the interface's name ("eth0", "wlan0")
    int index = 0;         // the interface's index, 0 when unknown
    quint32 address = 0;   // one IPv4 address of the interface
    quint32 netmask = 0;   // its mask; 0xFFFFFFFF for a point-to-point peer address
    bool canBroadcast = true;
    bool pointToPoint = false;
    bool hasLink = true;   // the system reports it running: a cable in, or a link established

    bool operator==(const TNetworkAdapter &) const = default;
};

// Every IPv4 address of every interface that is up, loopback left out, in the order the system
// lists them (so the first entry is the first binding of the engine, as before).
QList<TNetworkAdapter> NetworkAdapters();
// The PC's IPv4 addresses as the engine binds them (interfaces up, loopback left out).
QList<quint32> LocalIPv4Addresses();
quint32 LocalHostAddress();

// The prefix length of a mask (0..32); -1 for a mask whose ones are not contiguous.
int PrefixLength(quint32 netmask);
quint32 NetworkOf(quint32 address, quint32 netmask);
// The subnet's directed broadcast (all host bits set); 0 for a /31, /32 or a mask of 0.
quint32 DirectedBroadcast(quint32 address, quint32 netmask);
bool InSubnet(quint32 ip, quint32 address, quint32 netmask);
// "198.18.0.0/15"
QString SubnetText(quint32 address, quint32 netmask);
// "eth1 (198.18.0.1/15)"
QString AdapterText(const TNetworkAdapter &adapter);

// The adapter whose subnet holds ip (the narrowest when several do); nullptr when none.
const TNetworkAdapter *AdapterForAddress(const QList<TNetworkAdapter> &adapters, quint32 ip);
// The adapter that owns the local address; nullptr when none.
const TNetworkAdapter *AdapterWithAddress(const QList<TNetworkAdapter> &adapters, quint32 address);

// Whether a device at ip is reached from the adapter with this address and mask: 0.0.0.0,
// link-local (169.254.0.0/16) and broadcast or multicast addresses are never device addresses.
bool IsUsableDeviceAddress(quint32 ip);
bool IsLinkLocal(quint32 ip);

// Which of two adapters that heard the same device its requests should leave through: the
// candidate when the current one is unset or when the candidate's subnet holds the device's
// address; otherwise the current one stays.
bool PreferAdapter(const TNetworkAdapter &current, const TNetworkAdapter &candidate, quint32 deviceIp);

// The destinations of one adapter's discovery datagrams: the limited broadcast 255.255.255.255
// always, and the subnet's directed broadcast as well when the limited one does not leave through
// this adapter (limitedLeavesHere false: the socket is not bound to the adapter's own address, so
// the system sends the limited broadcast through its default interface only).
QList<quint32> BroadcastDestinations(const TNetworkAdapter &adapter, bool limitedLeavesHere);
