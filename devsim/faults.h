#pragma once
// Faults a simulated device can be told to show, per device, from the command line.
//
//   TARGET:KIND[=VALUE][@SCOPE]...
//
// TARGET: all, an IPv4 address, a range A-B, or a device index (N or #N, from 0).
// KIND: silent, delay=MS, wrong-ack[=CMD], bad-crc, split, duplicate, loss=P,
//       corrupt-readback=ADDRESS, ftp-silent, refuse, ftp-user-230, ftp-426, ftp-slow=BYTES_PER_S,
//       stray, act-silent, swap, blackout=MS, ftp-reset=BYTES, ftp-stall=BYTES, power-cut=BYTES.
// SCOPE: 52389 | 52390 | 21 (the service), udp | tcp, cmd=N (datagram command),
//        fn=N / sub=N (bus function / sub-command), from=N (from the Nth matching
//        request on, 1-based), count=N (for N matching requests only).

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <random>

namespace DevSim {

enum class Transport { Udp, Tcp };
enum class Service { Device, Bus, Ftp }; // UDP/TCP 52389, UDP 52390, TCP 21

enum class FaultKind {
    Silent,          // the request is dropped unseen: no answer, no state change
    Delay,           // the answer leaves after delayMs
    WrongAck,        // commands: acknowledgement code XOR 1; discovery: command byte 2
    BadCrc,          // bus: the reply's CRC is wrong
    Split,           // the reply goes out in two datagrams (or two TCP writes)
    Duplicate,       // the reply goes out twice
    Loss,            // each UDP request is lost with probability p (seeded)
    CorruptReadback, // bus: a read covering address returns that byte inverted
    Refuse,          // TCP connections to 52389 and 21 are reset at once
    FtpUser230,      // a variant: the FTP server logs in at USER, asking no password
    Ftp426,          // the FTP server ends a transfer with 426, then 226
    FtpSlow,         // the FTP server takes upload data at bytesPerSecond
    Stray,           // datagram commands: the next device answers too, first, with its own reply
    ActSilent,       // the request is carried out, its answer never leaves
    Swap,            // the answer is held back and leaves after the device's next one (UDP)
    Blackout,        // from this request on, every service of the device is silent for amount ms
    FtpReset,        // the FTP data connection is reset after amount bytes of a STOR
    FtpStall,        // the FTP server stops reading after amount bytes and sends nothing more
    PowerCut,        // after amount bytes written over the bus the device loses power for a moment
};

struct FaultScope
{
    std::optional<Service> service;
    std::optional<Transport> transport;
    std::optional<int> command;
    std::optional<int> busFunction;
    std::optional<int> busSubCommand;
    int from = 1;
    int count = 0; // 0: no limit
};

// Which devices an option is for: every device, an address range, or one index.
struct DeviceTarget
{
    bool allDevices = false;
    quint32 first = 0;
    quint32 last = 0;
    std::optional<int> index;

    bool matches(int deviceIndex, quint32 ip) const;
};

// all | IPv4 address | A-B | N | #N
std::optional<DeviceTarget> parseTarget(QStringView text);

struct Fault
{
    DeviceTarget target;

    FaultKind kind = FaultKind::Silent;
    int delayMs = 0;
    int bytesPerSecond = 0;
    double probability = 0;
    quint32 address = 0;
    qint64 amount = 0; // blackout: milliseconds; ftp-reset, ftp-stall, power-cut: bytes
    FaultScope scope;
    QString text; // as given, for the journal

    bool targets(int deviceIndex, quint32 ip) const { return target.matches(deviceIndex, ip); }
    QString kindName() const;
};

std::optional<Fault> parseFault(QStringView definition, QString *error);

// What a request is, for matching faults against it.
struct RequestContext
{
    Service service = Service::Device;
    Transport transport = Transport::Udp;
    int command = -1;
    int busFunction = -1;
    int busSubCommand = -1;
    int writeBytes = 0; // bus writes: the data bytes the frame carries
};

struct FaultEffects
{
    bool silent = false;
    bool lost = false;
    bool wrongAck = false;
    bool badCrc = false;
    bool split = false;
    bool duplicate = false;
    bool stray = false;
    bool refuse = false;
    bool ftpUser230 = false;
    bool ftp426 = false;
    int ftpBytesPerSecond = 0; // 0: as fast as the data comes
    bool actSilent = false;
    bool swap = false;
    int delayMs = 0;
    int blackoutMs = 0;
    std::optional<qint64> ftpResetAfter;
    std::optional<qint64> ftpStallAfter;
    // Power cut: how many bytes of this bus write land before the power goes.
    std::optional<int> powerCutAfter;
    std::optional<quint32> corruptAddress;
    QStringList applied; // kind names, for the journal

    bool dropped() const { return silent || lost; }
};

// The faults of one device, with their counters and the device's own loss generator.
class DeviceFaults
{
public:
    DeviceFaults() = default;
    DeviceFaults(QList<Fault> faults, quint64 seed);

    // Counts the request against every fault whose scope matches, and returns the effects
    // of those whose from/count window includes it. A new TCP connection (connection =
    // true) is matched against the connection faults only: refuse, and on port 21 silent,
    // ftp-user-230, ftp-426, ftp-slow, ftp-reset and ftp-stall; a request is matched against all the
    // others. A power cut counts the bytes of the bus writes in its window and strikes once.
    FaultEffects effectsFor(const RequestContext &request, bool connection = false);
    bool isEmpty() const { return m_faults.isEmpty(); }

private:
    QList<Fault> m_faults;
    QList<int> m_matched;
    QList<qint64> m_written; // power cuts: bytes written so far in the fault's window
    QList<bool> m_spent;     // power cuts that struck already
    std::mt19937_64 m_rng;
};

QString faultHelp();

} // namespace DevSim
