#pragma once
// One simulated device: what it reports, the services it runs, its controller and its files.

#include "devsim/controller.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>

namespace DevSim {

struct SimDevice
{
    int index = 0;
    quint32 ip = 0;

    // Identity and reported parameters.
    bool ipv4AddressRecord = false; // type 2 record (IPv4 + port) instead of type 1 (MAC)
    quint64 mac = 0;                // 48 bits
    QByteArray name;
    QByteArray typeText;
    quint32 typeCode = 0;
    QByteArray hardwareVersion;
    QByteArray bootstrapVersion;
    QByteArray kernelVersion;
    QByteArray firmwareVersion;
    quint16 word4 = 0;
    quint8 networkFlags = 0; // bit 4 = DHCP
    quint32 netmask = 0;
    quint32 gateway = 0;
    quint32 dns1 = 0;
    quint32 dns2 = 0;

    // Services of the communication board.
    bool ftpServerRunning = false;
    bool updaterRunning = false;
    bool daemonRunning = true;
    bool dropBearOn = false;

    // Files received by the FTP server, by name, in memory; the last one stored.
    QMap<QByteArray, QByteArray> files;
    QByteArray lastUpload;
    // The image that SystemUpgrade installed (name of the last upload), and how often.
    std::optional<QByteArray> installedImage;
    int installCount = 0;

    ControllerMemory controller;

    // Bytes 8..15 of every reply: the device's identity.
    QByteArray addressRecord() const;
    // The value bytes of a parameter, empty optional for an id the device does not know.
    std::optional<QByteArray> parameterValue(quint16 id) const;
    QString ipText() const;
    bool builtInType() const;
};

QString ipToText(quint32 ip);
std::optional<quint32> textToIp(QStringView text); // strict dotted quad

// The devices of a run: device i has address base + i; everything else is drawn from the
// seed and the index, so a device looks the same whatever the number of devices.
QList<SimDevice> generateDevices(int count, quint32 base, quint64 seed);

// Generation rules by index, so that any dozen consecutive devices shows every variant.
bool generatedWithIpv4Record(int index);
bool generatedWithUnknownType(int index);
bool generatedWithDhcp(int index);

// The firmware version an installed board image gives its device: the last dotted number of its
// file name ("p3-board-3.4.1.bin" gives 3.4.1); empty when the name holds none (the device keeps
// the version it had). The image files carry no version of their own.
QByteArray versionInImageName(const QByteArray &name);

} // namespace DevSim
