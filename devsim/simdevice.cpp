#include "devsim/simdevice.h"

#include "protocol/wire.h"

#include <QRegularExpression>
#include <QtEndian>

#include <array>
#include <random>

namespace DevSim {

namespace {

QByteArray ipv4Bytes(quint32 ip)
{
    QByteArray bytes(4, '\0');
    qToBigEndian<quint32>(ip, bytes.data());
    return bytes;
}

quint64 mix(quint64 value)
{
    // splitmix64: spreads seed and index into independent generator seeds.
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

template <typename T, std::size_t N>
const T &pick(std::mt19937_64 &rng, const std::array<T, N> &items)
{
    return items[std::uniform_int_distribution<std::size_t>(0, N - 1)(rng)];
}

QByteArray crlfLines(const QList<QByteArray> &lines)
{
    QByteArray text;
    for (const QByteArray &line : lines)
        text += line + "\r\n";
    return text;
}

constexpr std::array<const char *, 10> Sites{"Pump", "Valve", "Boiler", "Meter", "Gate",
                                             "Tank", "Chiller", "Station", "Feeder", "Sluice"};
constexpr std::array<const char *, 6> Places{"North", "South", "East", "West", "Yard", "Hall"};
constexpr std::array<quint32, 4> Ouis{0x0050C2, 0x001A2B, 0x00E04C, 0x02A0F3};

} // namespace

QString ipToText(quint32 ip)
{
    return QStringLiteral("%1.%2.%3.%4").arg(ip >> 24).arg((ip >> 16) & 0xFF).arg((ip >> 8) & 0xFF).arg(ip & 0xFF);
}

std::optional<quint32> textToIp(QStringView text)
{
    const QList<QStringView> parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return std::nullopt;
    quint32 ip = 0;
    for (QStringView part : parts) {
        bool ok = false;
        const uint octet = part.toUInt(&ok);
        if (!ok || part.isEmpty() || part.size() > 3 || octet > 255)
            return std::nullopt;
        ip = (ip << 8) | octet;
    }
    return ip;
}

QByteArray SimDevice::addressRecord() const
{
    QByteArray record;
    if (ipv4AddressRecord) {
        record.append(char(0x00)).append(char(Wire::AddressTypeIPv4));
        record.append(ipv4Bytes(ip));
        record.append(char(Wire::DevicePort >> 8)).append(char(Wire::DevicePort & 0xFF));
    } else {
        record.append(char(0x00)).append(char(Wire::AddressTypeHardware));
        for (int shift = 40; shift >= 0; shift -= 8)
            record.append(char((mac >> shift) & 0xFF));
    }
    return record;
}

std::optional<QByteArray> SimDevice::parameterValue(quint16 id) const
{
    using namespace Wire::Param;
    switch (id) {
    case SubnetMask: return ipv4Bytes(netmask);
    case IpAddress: return ipv4Bytes(ip);
    case Gateway: return ipv4Bytes(gateway);
    case Word4: {
        QByteArray value(2, '\0');
        qToBigEndian<quint16>(word4, value.data());
        return value;
    }
    case TypeText: return typeText;
    case NetworkFlags: return QByteArray(1, char(networkFlags));
    case Name: return name;
    case HardwareAddress: {
        QByteArray value;
        for (int shift = 40; shift >= 0; shift -= 8)
            value.append(char((mac >> shift) & 0xFF));
        return value;
    }
    case HardwareVersion: return hardwareVersion;
    case TypeCode: return ipv4Bytes(typeCode); // a long: four bytes, big-endian
    case Dns1: return ipv4Bytes(dns1);
    case Dns2: return ipv4Bytes(dns2);
    case BootstrapVersion: return bootstrapVersion;
    case KernelVersion: return kernelVersion;
    case FirmwareVersion: return firmwareVersion;
    default: return std::nullopt;
    }
}

QString SimDevice::ipText() const
{
    return ipToText(ip);
}

bool SimDevice::builtInType() const
{
    return qint64(typeCode) == Wire::BuiltInTypeCode;
}

bool generatedWithIpv4Record(int index)
{
    return index % 11 == 7;
}

bool generatedWithUnknownType(int index)
{
    return index % 13 == 4;
}

bool generatedWithDhcp(int index)
{
    return index % 3 == 1;
}

QList<SimDevice> generateDevices(int count, quint32 base, quint64 seed)
{
    QList<SimDevice> devices;
    devices.reserve(count);
    for (int i = 0; i < count; ++i) {
        std::mt19937_64 rng(mix(seed ^ mix(quint64(i) + 1)));
        SimDevice d;
        d.index = i;
        d.ip = base + quint32(i);
        d.ipv4AddressRecord = generatedWithIpv4Record(i);

        // Distinct low 24 bits for every index (an odd multiplier is a bijection modulo
        // 2^24), under one of a few vendor prefixes: never all 0x00 nor all 0xFF.
        const quint32 low = (quint32(i) * 0x9E3779u + quint32(mix(seed) & 0xFFFFFF)) & 0xFFFFFFu;
        d.mac = (quint64(Ouis[std::size_t(i) % Ouis.size()]) << 24) | low;

        const bool unknown = generatedWithUnknownType(i);
        d.typeCode = unknown ? 0x000C2001u + quint32(i % 3) : quint32(Wire::BuiltInTypeCode);
        d.typeText = unknown ? QByteArray("XR-200 Gateway") : QByteArray("Palimor ") + pick(rng, std::array<const char *, 3>{"P3", "P4", "P4-S"});

        if (i % 29 == 11) {
            d.name = QByteArray(); // a device whose name was never set
        } else if (i % 10 == 3) {
            // An 8-bit name: "Chaufferie" with a Latin-1 e acute, as the device stores it.
            d.name = QByteArray("Chaufferie ") + QByteArray(1, char(0xE9)) + "t" + QByteArray(1, char(0xE9)) + " "
                + QByteArray::number(i);
        } else {
            d.name = QByteArray(pick(rng, Sites)) + "-" + pick(rng, Places) + "-" + QByteArray::number(i);
        }

        std::uniform_int_distribution<int> minor(0, 19);
        d.hardwareVersion = "HW " + QByteArray::number(1 + i % 3) + "." + QByteArray::number(minor(rng) % 4);
        d.bootstrapVersion = "1.0." + QByteArray::number(minor(rng));
        d.kernelVersion = "4.19." + QByteArray::number(100 + minor(rng));
        d.firmwareVersion = "3." + QByteArray::number(minor(rng) % 5) + "." + QByteArray::number(minor(rng));
        d.word4 = quint16(std::uniform_int_distribution<int>(0, 0xFFFF)(rng));

        const bool dhcp = generatedWithDhcp(i);
        d.networkFlags = quint8((dhcp ? Wire::DhcpFlag : 0) | (i % 4 == 2 ? 0x01 : 0));
        d.netmask = 0xFFFE0000u; // the lab's /15
        d.gateway = 0xC61200FEu; // 198.18.0.254
        d.dns1 = 0xC6120035u;    // 198.18.0.53
        d.dns2 = (i % 2) ? 0u : 0xC6120036u;

        // Controller texts: CR LF lines; some configurations hold NUL and 8-bit bytes, and
        // some are long enough to need several bus chunks.
        QList<QByteArray> config{"[device]", "name=" + d.name, "ip=" + d.ipText().toLatin1(),
                                 "mode=" + QByteArray::number(1 + i % 4)};
        if (i % 5 == 2)
            config << QByteArray("key=") + QByteArray("\x00\x01\xFF", 3) + "end";
        const int extra = std::uniform_int_distribution<int>(0, 24)(rng);
        for (int k = 0; k < extra; ++k)
            config << "channel" + QByteArray::number(k) + "=" + QByteArray::number(std::uniform_int_distribution<int>(0, 99999)(rng));
        d.controller.setConfiguration(crlfLines(config));
        d.controller.setDiagnostics(crlfLines({"uptime=" + QByteArray::number(std::uniform_int_distribution<int>(60, 9999999)(rng)),
                                               "temperature=" + QByteArray::number(20 + minor(rng)),
                                               "errors=" + QByteArray::number(i % 7)}));
        QList<QByteArray> logs;
        const int blocks = i == 0 ? 3 : std::uniform_int_distribution<int>(0, 4)(rng);
        for (int b = 0; b < blocks; ++b) {
            QByteArray block = "2024-03-0" + QByteArray::number(1 + b) + " event " + QByteArray::number(b) + " of device "
                + QByteArray::number(i);
            if (b % 2 == 0)
                block += "\r\nsecond line";
            if ((b + i) % 3 != 0)
                block += "\r\n"; // some blocks end with CR LF, some do not
            logs << block;
        }
        d.controller.setLogBlocks(logs);
        devices << d;
    }
    return devices;
}

QByteArray versionInImageName(const QByteArray &name)
{
    static const QRegularExpression dotted(QStringLiteral("[0-9]+(?:\\.[0-9]+)+"));
    QByteArray last;
    for (QRegularExpressionMatchIterator it = dotted.globalMatch(QString::fromLatin1(name)); it.hasNext();)
        last = it.next().captured().toLatin1();
    return last;
}

} // namespace DevSim
