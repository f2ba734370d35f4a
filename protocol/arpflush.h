#pragma once
// Deletes the PC's cached address-resolution entry for a device, so that the next
// request finds the device again even when its hardware changed (after an upgrade).

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

// Runs the tool without a shell and waits for it (no events are processed), at most
// timeoutMs, then kills it. Its outcome is ignored; true when the tool was run.
bool FlushArpEntry(const QString &ipText, int timeoutMs = 10000);
