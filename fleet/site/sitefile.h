#pragma once
// The site file: the devices a site is expected to have (name, IP address, MAC address, type and,
// when given, the firmware versions they should run), as CSV or JSON. A technician writes it once
// (or saves the list of a first visit as one) and every later scan is compared with it.
//
// Reading is all or nothing: a damaged file is refused with the line and the reason, never half
// loaded. Writing goes through QSaveFile, so a failed write leaves the old file as it was.
//
// CSV: a header line naming the columns (any order, case ignored), one device per line:
//     name,ip,mac,type,firmwareVersion,bootstrap,kernelVersion
//     Pump-7,198.18.1.7,00:50:c2:02:5c:c7,Palimor P4-S,2.3.1,,
// JSON: an array of objects with the same keys (or {"devices": [...]}).
// Every device names an IP address or a MAC address (or both); empty version cells are not checked.

#include "protocol/devicerecord.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <variant>

struct TSiteDevice
{
    QString name;
    QString ip;      // dotted IPv4, normalised; empty when the file gives none
    quint64 mac = 0; // 0 when the file gives none
    QString type;
    // The expected versions; an empty one is not compared.
    QString firmwareVersion;
    QString bootstrapVersion;
    QString kernelVersion;
    int line = 0; // where the device was read (0 when it was not read from a file)

    bool hasExpectedVersions() const
    {
        return !firmwareVersion.isEmpty() || !bootstrapVersion.isEmpty() || !kernelVersion.isEmpty();
    }
    bool operator==(const TSiteDevice &) const = default;
};

// Why a site file was refused: the line (1 = the first; 0 for the file as a whole) and the reason.
struct TSiteFileError
{
    int line = 0;
    QString reason;
    // "line 4: 'Pump-7' has no IP address and no MAC address"
    QString text() const;
    bool operator==(const TSiteFileError &) const = default;
};

using TSiteFileResult = std::variant<QList<TSiteDevice>, TSiteFileError>;

namespace SiteFile {
constexpr qint64 MaxSize = 16 * 1024 * 1024;

// The file's text, CSV or JSON (told apart by its first character); every device or an error.
TSiteFileResult parse(QByteArrayView contents);
// The file at path; an error with line 0 when it cannot be read.
TSiteFileResult read(const QString &path);

// A discovered device as a site file lists it (its versions as it reports them).
TSiteDevice fromDevice(const TDeviceRecord &device);
// The devices as a file: JSON (an array, one object per line) or CSV (CR LF line ends).
QByteArray toJson(const QList<TSiteDevice> &devices);
QByteArray toCsv(const QList<TSiteDevice> &devices);
// Writes the devices atomically; JSON when the path ends in .json, CSV otherwise. The error text
// when it could not be written.
QString write(const QString &path, const QList<TSiteDevice> &devices);
} // namespace SiteFile
