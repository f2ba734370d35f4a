#pragma once
// Who holds a local port on Linux: the program and its process id, from the socket tables of /proc
// and the processes' open files.

#include <QString>

// "tarvino (process 4242)" for the process that has a UDP socket bound to the port, or an empty
// text when none can be found (another user's process is hidden from an unprivileged one).
QString UdpPortHolder(quint16 port);
