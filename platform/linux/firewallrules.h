#pragma once
// The firewall on Linux, read only: `nft list ruleset`, or `iptables-save` where nft cannot be
// read, and the rules in them that drop or reject incoming UDP on the program's ports.

#include "platform/platform.h"

#include <QList>
#include <QString>

// The notices for the two tools' outputs; a null text is a tool that could not be run or read
// (both null: one Warning that says so, and whether neither tool is installed or they need root).
// iptables on this system is often a front end of nftables: when nft could be read, its text alone
// is looked at.
QList<Platform::Notice> FirewallNotices(const QString &nftRuleset, const QString &iptablesSave,
                                        const QList<quint16> &ports, bool toolInstalled = true);
// The same for this machine: runs the tools (a few seconds at most each).
QList<Platform::Notice> FirewallNotices(const QList<quint16> &ports);
