#pragma once
// Deletes the PC's cached address-resolution entry for a device, so that the next
// request finds the device again even when its hardware changed (after an upgrade).

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

// What came of one flush. Deleting an entry needs CAP_NET_ADMIN, which a normal user does not
// have: the tool then fails, and the operation goes on without the flush.
struct TArpFlushResult
{
    bool ran = false;       // the tool was started (and ended or was killed)
    bool refused = false;   // the system did not permit the deletion
    QString message;        // the line the user is told when it was refused; empty otherwise
};

// True when the tool's exit status and output say the system refused it the deletion
// (ip: "Failed to send flush request: Operation not permitted", arp: "SIOCDARP(...): Operation
// not permitted").
bool ArpFlushRefused(int exitCode, QByteArrayView output);

// The message for a refused flush of ipText.
QString ArpFlushRefusedMessage(const QString &ipText);

// Runs the tool without a shell and waits for it (no events are processed), at most
// timeoutMs, then kills it. A refusal is also logged (category tarvino.protocol.arp).
TArpFlushResult RunArpFlush(const QString &ipText, int timeoutMs = 10000);

// RunArpFlush for callers that only need to know whether the tool was run.
bool FlushArpEntry(const QString &ipText, int timeoutMs = 10000);
