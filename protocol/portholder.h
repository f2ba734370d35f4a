#pragma once
// Who holds a local port: the program and its process id, read from the system's tables.

#include <QString>

// "tarvino (process 4242)" for the process that has a UDP socket bound to the port, or an empty
// text when none can be found (another user's process is hidden from an unprivileged one).
QString UdpPortHolder(quint16 port);
