#pragma once
// The system's administration tools (ip, arp, nft, iptables-save) and where they live.

#include <QString>
#include <QStringList>

// The folders of the system's tools, in the order they are searched: a desktop session's PATH
// often leaves out the sbin folders.
const QStringList &SystemToolFolders();

// The path of a tool in those folders; empty when it is in none of them.
QString FindSystemTool(const QString &name);
