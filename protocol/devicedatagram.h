#pragma once
// What the engine's UDP endpoint hands on: a datagram with the adapter that heard it, what a
// discovery broadcast reached, and the listeners that scans install for discovery replies.

#include "protocol/netadapters.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// A datagram as the engine received it.
struct TDeviceDatagram
{
    QString sender;
    int senderPort = 0;
    QByteArray data;
    TNetworkAdapter adapter; // the adapter that received it (address 0 when unknown)
};

// Where a discovery broadcast went: the adapters it left through, and one line per adapter (or
// for the one socket) through which it could not be sent.
struct TBroadcastReport
{
    QList<TNetworkAdapter> sentThrough;
    QStringList failures;
};

// Called on the engine's listener thread for every discovery reply, outside the engine's locks;
// must not block.
using TDiscoveryListener = std::function<void(const TDeviceDatagram &datagram)>;
