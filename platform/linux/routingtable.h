#pragma once
// The IPv4 routing table on Linux, read from /proc/net/route (what `ip route` shows of the main
// table), without running a tool.

#include "platform/platform.h"

#include <QByteArray>
#include <QList>

// The routes of /proc/net/route; empty when it cannot be read.
QList<Platform::Route> ReadRoutes();
// The same from the file's text (its header line first), for tests.
QList<Platform::Route> ParseRouteTable(const QByteArray &text);
