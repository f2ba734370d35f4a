#pragma once
// What depends on the operating system, behind a few free functions. The folder that
// TARVINO_PLATFORM names implements them: platform/linux/, or platform/none/ for a system that
// has no folder yet, where every call says it is not available on this system and the program
// goes on without it. A port to another system is one more folder beside these.
//
// Every call may block its thread (it runs the system's tools or reads its tables); the callers
// make them on a worker thread or accept a short wait.

#include <QList>
#include <QString>

namespace Platform {

// The folder built in: "linux", "none".
QString name();

// "not available on this system": the words with which a call says it has nothing to do here.
QString notAvailable();

// One line about the system for the technician, and how much it matters.
struct Notice
{
    enum class Level { Info, Warning, Problem };
    Level level = Level::Info;
    QString text;

    bool operator==(const Notice &) const = default;
};

// ---- The system's tools -----------------------------------------------------------------------

// The path of one of the system's administration tools (ip, arp, nft), looked for in the system's
// folders, where a desktop session's PATH often does not look; empty when it is not there.
QString systemTool(const QString &name);

// ---- The neighbour (ARP) cache ------------------------------------------------------------------

// What came of deleting the PC's cached hardware address of a device, so that the next request
// finds the device again even when its hardware changed (after an upgrade).
struct NeighbourFlush
{
    bool ran = false;     // the system's tool was started (and ended or was killed)
    bool refused = false; // the system did not permit the deletion
    QString message;      // what the user is told when it was refused or cannot be done here; else empty
};

// Flushes the entry of a dotted IPv4 address (any other text is left alone, and nothing runs),
// waiting at most timeoutMs for the system.
NeighbourFlush flushNeighbour(const QString &ipText, int timeoutMs = 10000);

// Whether flushNeighbour can work for this program: Info when it can, Warning when it cannot.
Notice neighbourFlushNotice();

// ---- Ports --------------------------------------------------------------------------------------

// The program holding a UDP port, as the user reads it ("tarvino (process 4242)"); empty when the
// system hides it from this user (the caller then says "another program" its own way).
QString udpPortHolder(quint16 port);

// ---- The firewall (read only) -------------------------------------------------------------------

// What the firewall does to incoming UDP on the ports: a Problem for each rule (or default) that
// drops one of them, with its fix; an Info when none does; a Warning when the rules cannot be read.
QList<Notice> firewallNotices(const QList<quint16> &ports);

// ---- The routing table (read only) -------------------------------------------------------------

// One IPv4 route: the network it reaches and how (the default route has prefix 0).
struct Route
{
    QString interface;   // "eth0"
    quint32 network = 0; // host byte order
    int prefix = 0;      // 0..32
    quint32 gateway = 0; // 0 when the network is on the interface's own segment

    bool operator==(const Route &) const = default;
};

// The IPv4 routes of the main table; empty when it cannot be read here.
QList<Route> routes();

// ---- Threads ------------------------------------------------------------------------------------

// Makes the calling thread give the processor to the program's other threads (the window's above
// all) whenever they want it, and still run when they do not. For work the window waits for only
// to show it; false where the system cannot (the thread then runs as any other).
bool giveWayToOtherThreads();

} // namespace Platform
