#include "devsim/simulator.h"

#include "devsim/simdatagram.h"
#include "devsim/journal.h"
#include "protocol/sha256text.h"
#include "protocol/wire.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>

namespace DevSim {

namespace {

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

quint64 deviceSeed(quint64 seed, int index)
{
    quint64 value = seed * 0x9E3779B97F4A7C15ull + quint64(index) + 1;
    value = (value ^ (value >> 31)) * 0xBF58476D1CE4E5B9ull;
    return value ^ (value >> 29);
}

// "198.18.0.1:40000", as the server names a requester; zeros when it names none.
std::pair<quint32, quint16> peerEndpoint(const QString &peer)
{
    const qsizetype colon = peer.lastIndexOf(QLatin1Char(':'));
    const std::optional<quint32> ip = colon > 0 ? textToIp(QStringView(peer).first(colon)) : std::nullopt;
    bool ok = false;
    const uint port = colon > 0 ? QStringView(peer).sliced(colon + 1).toUInt(&ok) : 0;
    if (!ip || !ok || port > 0xFFFF)
        return {0, 0};
    return {*ip, quint16(port)};
}

} // namespace

DeviceSimulator::DeviceSimulator(QList<SimDevice> devices, const QList<Fault> &faults, const SimulatorOptions &options)
    : m_devices(std::move(devices))
    , m_runs(m_devices.size())
    , m_options(options)
{
    m_clock.start();
    m_faults.reserve(m_devices.size());
    for (SimDevice &device : m_devices) {
        m_byAddress.emplace(device.ip, device.index);
        if (options.updaterRunning)
            device.updaterRunning = true;
        device.controller.setLogsConsumed(options.logsConsumed);
        QList<Fault> own;
        for (const Fault &fault : faults)
            if (fault.targets(device.index, device.ip))
                own << fault;
        m_faults << DeviceFaults(own, deviceSeed(options.seed, device.index));
    }
}

int DeviceSimulator::indexOf(quint32 ip) const
{
    const auto found = m_byAddress.find(ip);
    return found == m_byAddress.end() ? -1 : found->second;
}

QJsonObject DeviceSimulator::requestEntry(int index, int port, Transport transport, const QString &peer) const
{
    QJsonObject entry;
    entry.insert(QStringLiteral("device"), m_devices.at(index).ipText());
    entry.insert(QStringLiteral("port"), port);
    entry.insert(QStringLiteral("transport"), transport == Transport::Udp ? QStringLiteral("udp") : QStringLiteral("tcp"));
    entry.insert(QStringLiteral("from"), peer);
    return entry;
}

void DeviceSimulator::journal(const QJsonObject &entry)
{
    if (m_journal)
        m_journal->write(entry);
}

void DeviceSimulator::journalState(int index)
{
    const SimDevice &d = m_devices.at(index);
    QJsonObject entry;
    entry.insert(QStringLiteral("device"), d.ipText());
    entry.insert(QStringLiteral("event"), QStringLiteral("state"));
    entry.insert(QStringLiteral("ftpServer"), d.ftpServerRunning);
    entry.insert(QStringLiteral("updater"), d.updaterRunning);
    entry.insert(QStringLiteral("daemon"), d.daemonRunning);
    entry.insert(QStringLiteral("dropBear"), d.dropBearOn);
    entry.insert(QStringLiteral("installedImage"),
                 d.installedImage ? QJsonValue(QString::fromLatin1(*d.installedImage)) : QJsonValue());
    entry.insert(QStringLiteral("installCount"), d.installCount);
    journal(entry);
}

// How long a stray reply comes ahead of the device's own.
constexpr int StrayLeadMs = 20;

QList<Outgoing> DeviceSimulator::shape(const QByteArray &reply, const FaultEffects &effects, Transport transport)
{
    QList<Outgoing> out;
    if (effects.split && reply.size() >= 2) {
        // Two datagrams close together; over TCP far enough apart to be two reads.
        const qsizetype half = reply.size() / 2;
        out << Outgoing{reply.left(half), effects.delayMs}
            << Outgoing{reply.mid(half), effects.delayMs + (transport == Transport::Tcp ? 50 : 5)};
    } else {
        out << Outgoing{reply, effects.delayMs};
    }
    if (effects.duplicate) {
        const QList<Outgoing> again = out;
        out += again;
    }
    return out;
}

QList<Outgoing> DeviceSimulator::swapped(QList<Outgoing> &held, QList<Outgoing> out, bool hold, const QString &peer)
{
    if (!held.isEmpty()) {
        // Queued behind this reply, at its last delay: the two leave in the opposite order.
        const int after = out.isEmpty() ? 0 : out.last().delayMs;
        for (Outgoing o : std::as_const(held)) {
            o.delayMs = std::max(o.delayMs, after);
            out << o;
        }
        held.clear();
        return out;
    }
    if (hold) {
        const auto [address, port] = peerEndpoint(peer);
        for (Outgoing &o : out) {
            o.toAddress = address;
            o.toPort = port;
        }
        held = out;
        return {};
    }
    return out;
}

qint64 DeviceSimulator::now() const
{
    return m_now ? m_now() : m_clock.elapsed();
}

void DeviceSimulator::startOutage(int index, int ms)
{
    m_runs[index].silentUntilMs = std::max(m_runs[index].silentUntilMs, now() + ms);
    // A reply held back does not survive the outage.
    m_runs[index].heldDeviceReply.clear();
    m_runs[index].heldBusReply.clear();
}

bool DeviceSimulator::silentNow(int index) const
{
    return now() < m_runs.at(index).silentUntilMs;
}

bool DeviceSimulator::dropInOutage(int index, QJsonObject &entry)
{
    if (!silentNow(index))
        return false;
    entry.insert(QStringLiteral("ignored"), QStringLiteral("outage"));
    journal(entry);
    return true;
}

std::optional<Outgoing> DeviceSimulator::handleDeviceRequest(int index, const DeviceRequest &request,
                                                             const FaultEffects &effects, QJsonObject &entry,
                                                             bool &stateTouched)
{
    SimDevice &d = m_devices[index];
    if (request.command == quint8(Wire::Command::Discover)) {
        const quint8 commandByte = effects.wrongAck ? 2 : 1;
        return Outgoing{encodeDiscoveryReply(d, request.source, request.ids, commandByte), 0};
    }
    const Wire::CommandInfo *info = Wire::findCommand(request.command);
    if (!info) {
        entry.insert(QStringLiteral("ignored"), QStringLiteral("unknown command"));
        return std::nullopt;
    }
    switch (info->command) {
    case Wire::Command::StartFtpServer: d.ftpServerRunning = true; break;
    case Wire::Command::StopFtpServer: d.ftpServerRunning = false; break;
    case Wire::Command::StartUpdater: d.updaterRunning = true; break;
    case Wire::Command::StopUpdater: d.updaterRunning = false; break;
    case Wire::Command::StartDaemon: d.daemonRunning = true; break;
    case Wire::Command::StopDaemon: d.daemonRunning = false; break;
    case Wire::Command::SetDropBear: d.dropBearOn = !d.dropBearOn; break;
    case Wire::Command::SystemUpgrade:
        // Installs the image uploaded last; with none uploaded there is nothing to install.
        if (!d.lastUpload.isEmpty()) {
            d.installedImage = d.lastUpload;
            ++d.installCount;
            if (const QByteArray version = versionInImageName(d.lastUpload); !version.isEmpty())
                d.firmwareVersion = version;
            if (m_options.restartMs > 0) {
                // The acknowledgement still leaves; then the board is down, and back with the
                // services a start gives it.
                startOutage(index, m_options.restartMs);
                d.ftpServerRunning = false;
                d.updaterRunning = false;
                d.daemonRunning = true;
            }
        }
        break;
    case Wire::Command::Discover: break;
    }
    stateTouched = true;
    const quint16 ack = effects.wrongAck ? quint16(info->ackCode ^ 1u) : info->ackCode;
    entry.insert(QStringLiteral("ack"), QString::number(ack, 16));
    return Outgoing{encodeCommandReply(d, request.source, request.command, ack), 0};
}

static void describeRequest(const DeviceRequest &request, QJsonObject &entry)
{
    entry.insert(QStringLiteral("cmd"), request.command);
    const Wire::CommandInfo *info = Wire::findCommand(request.command);
    entry.insert(QStringLiteral("name"), info ? QString::fromLatin1(info->name) : QStringLiteral("unknown"));
    entry.insert(QStringLiteral("dest"), hex(request.destination));
    entry.insert(QStringLiteral("source"), hex(request.source));
    if (!request.ids.isEmpty()) {
        QJsonArray ids;
        for (quint16 id : request.ids)
            ids.append(id);
        entry.insert(QStringLiteral("ids"), ids);
    }
    if (request.status != 0)
        entry.insert(QStringLiteral("status"), qint64(request.status));
}

QList<Outgoing> DeviceSimulator::deviceRequest(int index, QByteArrayView data, Transport transport, const QString &peer)
{
    QJsonObject entry = requestEntry(index, m_options.devicePort, transport, peer);
    const DeviceDecodeResult decoded = decodeDeviceRequest(data);
    if (!decoded.request) {
        entry.insert(QStringLiteral("error"), decoded.error);
        entry.insert(QStringLiteral("bytes"), hex(data.toByteArray()));
        journal(entry);
        return {};
    }
    describeRequest(*decoded.request, entry);
    if (dropInOutage(index, entry))
        return {};
    const FaultEffects effects =
        m_faults[index].effectsFor({Service::Device, transport, decoded.request->command, -1, -1});
    if (effects.blackoutMs > 0)
        startOutage(index, effects.blackoutMs);
    if (!effects.applied.isEmpty())
        entry.insert(QStringLiteral("faults"), QJsonArray::fromStringList(effects.applied));
    // The next device's own answer to the same request, sent ahead of the device's (which it
    // does not replace): whether the device answers or not, the program hears another device.
    QList<Outgoing> stray;
    if (effects.stray && count() > 1) {
        const int neighbour = (index + 1) % count();
        const SimDevice &other = m_devices.at(neighbour);
        const DeviceRequest &r = *decoded.request;
        const Wire::CommandInfo *info = Wire::findCommand(r.command);
        const QByteArray bytes = r.command == quint8(Wire::Command::Discover)
            ? encodeDiscoveryReply(other, r.source, r.ids, 1)
            : encodeCommandReply(other, r.source, r.command, info ? info->ackCode : 0);
        stray << Outgoing{bytes, effects.delayMs, neighbour};
        entry.insert(QStringLiteral("stray"), neighbour);
    }
    if (effects.dropped() || effects.blackoutMs > 0) {
        journal(entry);
        return stray;
    }
    // The request line goes first, then the state line, and only then the reply leaves:
    // whoever holds a reply finds its request in the journal.
    bool stateTouched = false;
    const std::optional<Outgoing> reply = handleDeviceRequest(index, *decoded.request, effects, entry, stateTouched);
    journal(entry);
    if (stateTouched)
        journalState(index);
    if (!reply || effects.actSilent)
        return stray;
    QList<Outgoing> out = shape(reply->data, effects, transport);
    if (transport == Transport::Udp)
        out = swapped(m_runs[index].heldDeviceReply, out, effects.swap, peer);
    if (!stray.isEmpty()) {
        for (Outgoing &o : out)
            o.delayMs += StrayLeadMs;
    }
    return stray + out;
}

QList<AddressedOutgoing> DeviceSimulator::broadcastRequest(QByteArrayView data, const QString &peer)
{
    QList<AddressedOutgoing> out;
    const DeviceDecodeResult decoded = decodeDeviceRequest(data);
    if (m_journal)
        m_journal->beginBatch();
    for (int i = 0; i < count(); ++i) {
        if (decoded.request && !addressedTo(decoded.request->destination, m_devices.at(i))) {
            QJsonObject entry = requestEntry(i, m_options.devicePort, Transport::Udp, peer);
            describeRequest(*decoded.request, entry);
            entry.insert(QStringLiteral("broadcast"), true);
            entry.insert(QStringLiteral("ignored"), QStringLiteral("not addressed"));
            journal(entry);
            continue;
        }
        for (const Outgoing &o : deviceRequest(i, data, Transport::Udp, peer))
            out << AddressedOutgoing{i, o};
    }
    if (m_journal)
        m_journal->endBatch();
    return out;
}

QList<Outgoing> DeviceSimulator::busRequest(int index, QByteArrayView data, const QString &peer)
{
    SimDevice &d = m_devices[index];
    QJsonObject entry = requestEntry(index, m_options.busPort, Transport::Udp, peer);
    const BusDecodeResult decoded = decodeBusRequest(data);
    if (!decoded.request) {
        entry.insert(QStringLiteral("error"), decoded.error);
        entry.insert(QStringLiteral("bytes"), hex(data.toByteArray()));
        journal(entry);
        return {};
    }
    const BusRequest &request = *decoded.request;
    entry.insert(QStringLiteral("unit"), request.unit);
    entry.insert(QStringLiteral("fn"), request.function);
    if (request.function == Wire::Bus::FunctionCommand) {
        entry.insert(QStringLiteral("sub"), request.subCommand);
    } else {
        entry.insert(QStringLiteral("addr"), qint64(request.address));
        entry.insert(QStringLiteral("n"), request.count);
        if (request.function == Wire::Bus::FunctionWriteBlock)
            entry.insert(QStringLiteral("data"), hex(request.data));
    }
    if (dropInOutage(index, entry))
        return {};
    const FaultEffects effects = m_faults[index].effectsFor(
        {Service::Bus, Transport::Udp, -1, request.function,
         request.function == Wire::Bus::FunctionCommand ? request.subCommand : -1,
         request.function == Wire::Bus::FunctionWriteBlock ? int(request.data.size()) : 0});
    if (!effects.applied.isEmpty())
        entry.insert(QStringLiteral("faults"), QJsonArray::fromStringList(effects.applied));
    if (effects.blackoutMs > 0)
        startOutage(index, effects.blackoutMs);
    if (effects.dropped() || effects.blackoutMs > 0) {
        journal(entry);
        return {};
    }
    if (!d.updaterRunning) {
        // Only the updater service listens to the bus: a real board drops the frame.
        entry.insert(QStringLiteral("refused"), QStringLiteral("updater stopped"));
        journal(entry);
        return {};
    }
    if (effects.powerCutAfter) {
        // The write in flight lands up to the cut; the device restarts into its updater.
        const int landed = *effects.powerCutAfter;
        if (landed > 0) {
            BusRequest part = request;
            part.data = request.data.left(landed);
            part.count = landed;
            d.controller.execute(part);
        }
        d.controller.powerLost();
        d.updaterRunning = true;
        d.daemonRunning = false;
        d.ftpServerRunning = false;
        startOutage(index, PowerCutOutageMs);
        entry.insert(QStringLiteral("powerCut"), landed);
        journal(entry);
        journalState(index);
        return {};
    }
    QByteArray reply = d.controller.execute(request, effects.corruptAddress);
    entry.insert(QStringLiteral("view"), ControllerMemory::viewName(d.controller.view()));
    if (request.function == Wire::Bus::FunctionCommand && request.subCommand == Wire::Bus::SetConfigStop)
        entry.insert(QStringLiteral("configurationLength"), d.controller.configuration().size());
    if (request.function == Wire::Bus::FunctionCommand && request.subCommand == Wire::Bus::EnterUpdateMode) {
        entry.insert(QStringLiteral("updateImageSize"), d.controller.updateImage().size());
        entry.insert(QStringLiteral("updateImageSha256"), Sha256Text(d.controller.updateImage()));
    }
    if (effects.badCrc)
        reply[reply.size() - 1] = char(~quint8(reply.back()));
    journal(entry);
    if (effects.actSilent)
        return {};
    return swapped(m_runs[index].heldBusReply, shape(reply, effects, Transport::Udp), effects.swap, peer);
}

bool DeviceSimulator::deviceConnectionRefused(int index, const QString &peer)
{
    const FaultEffects effects = m_faults[index].effectsFor({Service::Device, Transport::Tcp, -1, -1, -1}, true);
    if (!effects.refuse)
        return false;
    QJsonObject entry = requestEntry(index, m_options.devicePort, Transport::Tcp, peer);
    entry.insert(QStringLiteral("connection"), QStringLiteral("refused"));
    entry.insert(QStringLiteral("faults"), QJsonArray::fromStringList(effects.applied));
    journal(entry);
    return true;
}

DeviceSimulator::FtpConnection DeviceSimulator::ftpConnect(int index, const QString &peer)
{
    const SimDevice &d = m_devices.at(index);
    const FaultEffects effects = m_faults[index].effectsFor({Service::Ftp, Transport::Tcp, -1, -1, -1}, true);
    QJsonObject entry = requestEntry(index, m_options.ftpPort, Transport::Tcp, peer);
    entry.insert(QStringLiteral("ftp"), QStringLiteral("connect"));
    if (!effects.applied.isEmpty())
        entry.insert(QStringLiteral("faults"), QJsonArray::fromStringList(effects.applied));
    FtpConnection connection;
    connection.logInAtUser = effects.ftpUser230;
    connection.end426 = effects.ftp426;
    connection.bytesPerSecond = effects.ftpBytesPerSecond;
    connection.resetAfterBytes = effects.ftpResetAfter.value_or(-1);
    connection.stallAfterBytes = effects.ftpStallAfter.value_or(-1);
    if (silentNow(index)) {
        // A device without power resets nothing: the connection is taken and never answered.
        connection.admission = FtpAdmission::Silent;
        entry.insert(QStringLiteral("ignored"), QStringLiteral("outage"));
    } else if (effects.refuse) {
        connection.admission = FtpAdmission::Refuse;
        entry.insert(QStringLiteral("refused"), QStringLiteral("fault"));
    } else if (!d.ftpServerRunning && !m_options.ftpAlwaysOn) {
        connection.admission = FtpAdmission::Refuse;
        entry.insert(QStringLiteral("refused"), QStringLiteral("ftp server stopped"));
    } else if (effects.silent) {
        connection.admission = FtpAdmission::Silent;
    }
    journal(entry);
    return connection;
}

void DeviceSimulator::ftpLineReceived(int index, const QString &peer, const QByteArray &line)
{
    QJsonObject entry = requestEntry(index, m_options.ftpPort, Transport::Tcp, peer);
    entry.insert(QStringLiteral("ftp"), QString::fromLatin1(line));
    journal(entry);
}

void DeviceSimulator::ftpEvent(int index, const QString &peer, const QString &event)
{
    QJsonObject entry = requestEntry(index, m_options.ftpPort, Transport::Tcp, peer);
    entry.insert(QStringLiteral("event"), event);
    journal(entry);
}

void DeviceSimulator::ftpStored(int index, const QString &peer, const QByteArray &name, const QByteArray &data)
{
    SimDevice &d = m_devices[index];
    d.files.insert(name, data);
    d.lastUpload = name;
    QJsonObject entry = requestEntry(index, m_options.ftpPort, Transport::Tcp, peer);
    entry.insert(QStringLiteral("event"), QStringLiteral("stored"));
    entry.insert(QStringLiteral("file"), QString::fromLatin1(name));
    entry.insert(QStringLiteral("size"), data.size());
    entry.insert(QStringLiteral("sha256"), Sha256Text(data));
    if (!m_options.ftpRoot.isEmpty()) {
        const QString dir = m_options.ftpRoot + QLatin1Char('/') + d.ipText();
        QFile file(dir + QLatin1Char('/') + QString::fromLatin1(name));
        if (!QDir().mkpath(dir) || !file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
            entry.insert(QStringLiteral("error"), QStringLiteral("cannot write %1").arg(file.fileName()));
        else
            entry.insert(QStringLiteral("path"), file.fileName());
    }
    journal(entry);
}

bool DeviceSimulator::ftpDelete(int index, const QByteArray &name)
{
    SimDevice &d = m_devices[index];
    if (d.files.remove(name) == 0)
        return false;
    if (!m_options.ftpRoot.isEmpty())
        QFile::remove(m_options.ftpRoot + QLatin1Char('/') + d.ipText() + QLatin1Char('/') + QString::fromLatin1(name));
    return true;
}

QJsonObject DeviceSimulator::deviceState(int index) const
{
    const SimDevice &d = m_devices.at(index);
    QJsonObject files;
    for (auto it = d.files.cbegin(); it != d.files.cend(); ++it)
        files.insert(QString::fromLatin1(it.key()),
                     QJsonObject{{QStringLiteral("size"), it.value().size()}, {QStringLiteral("sha256"), Sha256Text(it.value())}});
    const ControllerMemory &c = d.controller;
    QJsonObject controller{
        {QStringLiteral("view"), ControllerMemory::viewName(c.view())},
        {QStringLiteral("configurationHex"), hex(c.configuration())},
        {QStringLiteral("configurationWrites"), c.configurationWrites()},
        {QStringLiteral("logBlocks"), int(c.logBlocks().size())},
        {QStringLiteral("logCursor"), c.logCursor()},
        {QStringLiteral("firmwareSize"), c.firmware().size()},
        {QStringLiteral("firmwareSha256"), Sha256Text(c.firmware())},
        {QStringLiteral("updateModeCount"), c.updateModeCount()},
        {QStringLiteral("updateImageSize"), c.updateImage().size()},
        {QStringLiteral("updateImageSha256"), Sha256Text(c.updateImage())},
    };
    return QJsonObject{
        {QStringLiteral("device"), d.ipText()},
        {QStringLiteral("index"), d.index},
        {QStringLiteral("ftpServer"), d.ftpServerRunning},
        {QStringLiteral("updater"), d.updaterRunning},
        {QStringLiteral("daemon"), d.daemonRunning},
        {QStringLiteral("dropBear"), d.dropBearOn},
        {QStringLiteral("installedImage"), d.installedImage ? QJsonValue(QString::fromLatin1(*d.installedImage)) : QJsonValue()},
        {QStringLiteral("installCount"), d.installCount},
        {QStringLiteral("files"), files},
        {QStringLiteral("controller"), controller},
    };
}

void DeviceSimulator::clearFaults()
{
    for (DeviceFaults &faults : m_faults)
        faults = DeviceFaults();
    for (DeviceRun &run : m_runs)
        run = DeviceRun();
}

QJsonObject DeviceSimulator::state() const
{
    QJsonArray devices;
    for (int i = 0; i < count(); ++i)
        devices.append(deviceState(i));
    return QJsonObject{{QStringLiteral("devices"), devices}};
}

} // namespace DevSim
