// Makes the traffic that the Wireshark dissector is checked against, with the program's own code,
// and prints what the program made of it as one JSON object: a scan (UDP discovery), a search
// over TCP, the DropBear command, one firmware chunk written over the controller bus, the
// configuration read (commands and bus frames), and one bus frame sent with a broken CRC.
//
//   tarvino-capture-driver DEVICE_IP    (in the lab's PC namespace, the simulator running with
//                                        --updater-running so that the bus is open)
#include "operations/commandoperations.h"
#include "operations/controlleroperations.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "bus/controllerbus.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUdpSocket>

#include <cstdio>

namespace {

QString macText(quint64 mac)
{
    QStringList parts;
    for (int shift = 40; shift >= 0; shift -= 8)
        parts << QStringLiteral("%1").arg((mac >> shift) & 0xFF, 2, 16, QLatin1Char('0'));
    return parts.join(QLatin1Char(':'));
}

int fail(const char *what)
{
    std::fprintf(stderr, "capture driver: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return fail("usage: tarvino-capture-driver DEVICE_IP");
    const QString ip = QString::fromLatin1(argv[1]);
    StartupInit();
    TDatagramEngine engine;
    TOperationTiming timing;
    timing.settleMs = 0;

    TScanDevices scan(&engine, TScanDevices::Options{1, 1000, 1000});
    scan.exec();
    TDeviceRecord device;
    for (const TDeviceRecord &found : scan.devices())
        if (found.IpText == ip)
            device = found;
    if (device.IpText.isEmpty())
        return fail("the device did not answer the scan");

    TSearchDevice search(&engine, ip, timing);
    if (!search.exec().succeeded || search.devices().isEmpty())
        return fail("the search over TCP found nothing");

    TDeviceCommand dropBear(&engine, {ip, TransportUdp}, Wire::Command::SetDropBear, {1, false}, timing);
    dropBear.exec();

    // One chunk of a firmware image, as a controller upgrade writes it.
    const QByteArray chunk = QByteArrayLiteral("TARVINO-FIRMWARE-CHUNK\x00\x01\x02\xfe\xff");
    TControllerBus bus(nullptr, ip);
    if (!bus.Open() || !bus.WriteBlock(Wire::Bus::UnitAddress, 0, chunk))
        return fail("the firmware chunk was not acknowledged");
    bus.Close();

    TReadControllerText read(&engine, {ip, TransportUdp}, TReadControllerText::Kind::Configuration, timing);
    if (!read.exec().succeeded)
        return fail("the configuration read failed");

    // A reset frame whose CRC's last byte is inverted: the controller drops it unanswered.
    QByteArray broken = ControllerBus::seal(ControllerBus::commandRequest(Wire::Bus::UnitAddress, Wire::Bus::Reset));
    broken[broken.size() - 1] = char(~quint8(broken.back()));
    QUdpSocket socket;
    socket.writeDatagram(broken, QHostAddress(ip), Wire::BusPort);
    socket.waitForBytesWritten(1000);

    const TParams &p = device.Params;
    QJsonArray discoveryIds;
    for (quint16 id : Wire::DiscoveryIds)
        discoveryIds.append(id);
    QJsonObject facts{
        {QStringLiteral("ip"), ip},
        {QStringLiteral("mac"), macText(device.Mac)},
        {QStringLiteral("discoveryIds"), discoveryIds},
        {QStringLiteral("dropBearResult"), int(dropBear.result())},
        {QStringLiteral("dropBearAck"), int(Wire::commandInfo(Wire::Command::SetDropBear).ackCode)},
        {QStringLiteral("chunk"), QString::fromLatin1(chunk.toHex())},
        {QStringLiteral("config"), QString::fromLatin1(read.text().toHex())},
        {QStringLiteral("brokenFrame"), QString::fromLatin1(broken.toHex())},
    };
    // Every parameter as the program decoded it: numbers as numbers, texts as the grid shows them.
    QJsonObject params;
    for (int id = TParams::MinId; id <= 64; ++id) {
        if (!p.has(id))
            continue;
        const TParamValue &value = p[id];
        if (const qint64 *number = std::get_if<qint64>(&value))
            params.insert(QString::number(id), double(*number));
        else
            params.insert(QString::number(id), p.text(id));
    }
    facts.insert(QStringLiteral("params"), params);
    std::printf("%s\n", QJsonDocument(facts).toJson(QJsonDocument::Compact).constData());
    return 0;
}
