#pragma once
// The neighbour (ARP) cache on Linux: `ip -4 neigh flush to ADDRESS` (or `arp -d ADDRESS` where
// iproute2 is missing), and whether this program may run it (CAP_NET_ADMIN).

#include "platform/platform.h"

#include <QByteArrayView>
#include <QString>
#include <QStringList>

struct TArpCommand
{
    QString program;
    QStringList arguments;
};

// The system tool and its arguments for one address; empty when the text is not a
// dotted IPv4 address (text typed by the user never reaches a command line).
TArpCommand ArpFlushCommand(const QString &ipText);

// True when the tool's exit status and output say the system refused it the deletion
// (ip: "Failed to send flush request: Operation not permitted", arp: "SIOCDARP(...): Operation
// not permitted").
bool ArpFlushRefused(int exitCode, QByteArrayView output);

// The message for a refused flush of ipText.
QString ArpFlushRefusedMessage(const QString &ipText);

// Runs the tool without a shell and waits for it (no events are processed), at most
// timeoutMs, then kills it. Deleting an entry needs CAP_NET_ADMIN, which a normal user does not
// have: the tool then fails, and the caller goes on without the flush. A refusal is also logged
// (category tarvino.protocol.arp).
Platform::NeighbourFlush RunArpFlush(const QString &ipText, int timeoutMs = 10000);

// Whether the process has the capability (bit of CapEff in the text of /proc/self/status).
bool HasCapability(const QByteArray &procStatus, int capability);

// The network check's line about the flush: whether the tool is installed and permitted.
Platform::Notice ArpFlushNotice(bool toolFound, bool permitted);
// The same for this program, from the system.
Platform::Notice ArpFlushNotice();
