#pragma once
// TNetworkCheck: why nothing (or only half) is found. It lists the PC's adapters, checks that the
// program's ports can be had, sends one scan and tells per adapter how many devices answered,
// then looks at what answered (devices outside the subnet of the adapter that heard them, two
// devices on one address, devices without a usable address), at the firewall rules (read only)
// and at whether the ARP flush is permitted. Each finding is one line a technician can act on.
//
// The checks of what was heard and the findings' texts are pure functions below; the firewall's
// rules, the ARP flush and a port's holder come from the platform (platform.h). The operation runs
// them on its worker thread and reports each finding as it is made.

#include "protocol/datagram.h"
#include "operations/deviceoperation.h"
#include "protocol/netadapters.h"
#include "platform/platform.h"
#include "protocol/devicerecord.h"

#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>

#include <mutex>

struct TNetworkFinding
{
    enum class Kind { Adapter, Port, Scan, Subnet, DuplicateAddress, OddAddress, Firewall, ArpFlush, HardwareAddress, RoutedNetwork };
    enum class Severity { Info, Warning, Problem };

    Kind kind = Kind::Adapter;
    Severity severity = Severity::Info;
    QString text;    // the line the technician reads
    QString adapter; // the adapter's name, when the finding is about one
    QString ip;      // the device's address, when it is about one (or two)
    QStringList macs;

    bool isProblem() const { return severity == Severity::Problem; }
    bool operator==(const TNetworkFinding &) const = default;
    QJsonObject toJson() const;
    // "problem: ..." as the command line prints it.
    QString line() const;
};
Q_DECLARE_METATYPE(TNetworkFinding)

QString FindingKindKey(TNetworkFinding::Kind kind);     // "duplicate-address"
QString FindingSeverityKey(TNetworkFinding::Severity severity); // "problem"

// A device as the check heard it: the device record (IpText is the sender) and the adapter the
// reply came in on.
struct THeardDevice
{
    TDeviceRecord device;
    TNetworkAdapter adapter;
};

// The replies of the check's scan, merged per adapter by device through the window's index by
// address record: a large segment's replies cost no walk of the list each.
class THeardReplies
{
public:
    // A discovery reply as the engine received it; invalid replies are ignored.
    void merge(const QString &sender, QByteArrayView reply, const TNetworkAdapter &adapter);
    // Every device once per adapter it was heard through, in the order of its first reply there.
    QList<THeardDevice> heard() const;

private:
    struct Segment
    {
        TNetworkAdapter adapter;
        QList<TDeviceRecord> devices;
        TDeviceIndex index;
    };
    QHash<quint32, Segment> m_byAdapter; // by the adapter's address
};

namespace NetworkCheck {

QList<TNetworkFinding> adapterFindings(const QList<TNetworkAdapter> &adapters);
// holder: "tarvino (process 4242)", or empty when unknown; boundBy: this program's own binding
// of the port (the engine's adapters), empty when it holds none.
TNetworkFinding portFinding(quint16 port, bool free, const QString &holder, const QList<TNetworkAdapter> &boundBy);
// One line per adapter the scan went through, with its count; one per adapter it could not
// be sent through; a problem when nothing answered at all.
QList<TNetworkFinding> scanFindings(const QList<TNetworkAdapter> &sentThrough, const QStringList &failures,
                                    const QList<THeardDevice> &heard);
// The adapters that were there before the scan and are gone after it.
QList<TNetworkFinding> vanishedAdapterFindings(const QList<TNetworkAdapter> &before,
                                               const QList<TNetworkAdapter> &after);
// Devices whose address lies in no adapter's subnet (commands to them fail), with the fix.
QList<TNetworkFinding> subnetFindings(const QList<THeardDevice> &heard, const QList<TNetworkAdapter> &adapters);
// Two devices (two address records) answering from one address.
QList<TNetworkFinding> duplicateFindings(const QList<THeardDevice> &heard);
// Devices answering from, or configured with, 0.0.0.0 or a link-local address.
QList<TNetworkFinding> oddAddressFindings(const QList<THeardDevice> &heard);
// Devices at different addresses that answer with one MAC address (a cloned board: naming it by
// its MAC reaches neither), and devices that report the all-zero MAC address.
QList<TNetworkFinding> hardwareAddressFindings(const QList<THeardDevice> &heard);
// After a scan that nothing answered: the networks the PC has a route to beyond its own segments
// (a router's, a VPN's), where a broadcast does not reach, each with the sweep that would.
QList<TNetworkFinding> routedNetworkFindings(const QList<THeardDevice> &heard, const QList<TNetworkAdapter> &adapters,
                                             const QList<Platform::Route> &routes);
// A line of the platform (the firewall's rules, the ARP flush; platform.h) as a finding of the kind.
TNetworkFinding noticeFinding(TNetworkFinding::Kind kind, const Platform::Notice &notice);
QList<TNetworkFinding> noticeFindings(TNetworkFinding::Kind kind, const QList<Platform::Notice> &notices);

} // namespace NetworkCheck

class TNetworkCheck final : public TDeviceOperation
{
    Q_OBJECT
public:
    struct Options
    {
        int listenMs = 3000;      // how long the scan listens
        bool readFirewall = true; // read the firewall's rules (read only)
        QList<quint16> ports{52389, 52390};
    };
    TNetworkCheck(TDatagramEngine *engine, Options options, QObject *parent = nullptr);
    explicit TNetworkCheck(TDatagramEngine *engine, QObject *parent = nullptr) : TNetworkCheck(engine, Options(), parent) {}
    ~TNetworkCheck() override { stopWorker(); }

    QString title() const override { return QStringLiteral("Network check"); }
    bool worksOnDevice() const override { return false; }
    // Any thread: the findings so far, in the order they were made.
    QList<TNetworkFinding> findings() const;
    bool problemFound() const;

signals:
    // On the worker thread; queued to receivers of other threads.
    void findingReported(const TNetworkFinding &finding);

protected:
    void run(TDeviceSession &session) override;

private:
    void report(const TNetworkFinding &finding);
    void report(const QList<TNetworkFinding> &findings);
    QList<THeardDevice> scan(TDeviceSession &session, const QList<TNetworkAdapter> &adapters);

    Options m_options;
    mutable std::mutex m_mutex;
    QList<TNetworkFinding> m_findings;
};
