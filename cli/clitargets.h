#pragma once
// The devices a request names, once a scan (when one was needed) has listed what answers.

#include "cli/clirequest.h"
#include "protocol/addressrange.h"
#include "operations/deviceoperation.h"

#include <QSet>

#include <optional>
#include <variant>

struct TCliDevice
{
    TDeviceTarget target;
    std::optional<TDeviceRecord> record; // the device's discovery record, when a scan or search listed it

    // "198.18.1.7 (gate-7)"
    QString label() const;
    // A file name for what is read from it: its MAC address when known, else its IP address; a MAC
    // address that other devices of the run share too (cloned boards) is followed by the IP
    // address, so that two devices never write one file.
    QString fileStem(bool macShared = false) const;
};

// The MAC addresses that several of the devices answered with.
QSet<quint64> SharedMacs(const QList<TCliDevice> &devices);

// The names of scanned devices closest to a name that matched none (case ignored), nearest
// first, at most `most`: what a "did you mean" offers.
QStringList ClosestNames(const QString &given, const QList<TDeviceRecord> &scanned, int most = 3);

// Why a verb that changes its devices must not be sent to an address the request names (a
// broadcast or network address of the PC's networks, 255.255.255.255, multicast): one request
// would reach every device there. Empty when every address names one device, and for verbs that
// only read. Checked before anything is sent, the scan included.
QString OneDeviceTargetProblem(const TCliRequest &request, const TSweepContext &context);

// Each device once, in the order the request names them; an error text when a name, a MAC address
// or the selection matches no device that answered (or a name or a MAC address matches several:
// the text then ends "name one by its address"). Names match with case ignored.
std::variant<QList<TCliDevice>, QString> ResolveTargets(const TCliRequest &request, const QList<TDeviceRecord> &scanned);
