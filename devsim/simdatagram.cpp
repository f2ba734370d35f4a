#include "devsim/simdatagram.h"

#include "devsim/simdevice.h"
#include "protocol/wire.h"

#include <QtEndian>

namespace DevSim {

namespace {

quint16 be16(QByteArrayView bytes, qsizetype at)
{
    return quint16((quint8(bytes[at]) << 8) | quint8(bytes[at + 1]));
}

QByteArray header(const SimDevice &device, const QByteArray &requesterRecord, quint8 command)
{
    QByteArray bytes(Wire::HeaderSize, '\0');
    if (requesterRecord.size() == 8)
        bytes.replace(Wire::DestinationOffset, 8, requesterRecord);
    bytes.replace(Wire::SourceOffset, 8, device.addressRecord());
    qToBigEndian<quint16>(Wire::FormatVersion, bytes.data() + Wire::VersionOffset);
    qToBigEndian<quint16>(Wire::DefaultProtocolCode, bytes.data() + Wire::ProtocolCodeOffset);
    bytes[Wire::CommandOffset] = char(command);
    return bytes;
}

} // namespace

DeviceDecodeResult decodeDeviceRequest(QByteArrayView bytes)
{
    DeviceDecodeResult result;
    if (bytes.size() < Wire::HeaderSize) {
        result.error = QStringLiteral("request of %1 bytes").arg(bytes.size());
        return result;
    }
    DeviceRequest request;
    request.destination = bytes.sliced(Wire::DestinationOffset, 8).toByteArray();
    request.source = bytes.sliced(Wire::SourceOffset, 8).toByteArray();
    request.version = be16(bytes, Wire::VersionOffset);
    request.protocolCode = be16(bytes, Wire::ProtocolCodeOffset);
    request.status = qFromBigEndian<quint32>(bytes.data() + Wire::StatusOffset);
    request.command = quint8(bytes[Wire::CommandOffset]);
    if (request.version != Wire::FormatVersion || request.protocolCode != Wire::DefaultProtocolCode) {
        result.error = QStringLiteral("version %1, protocol code %2")
                           .arg(request.version, 4, 16, QLatin1Char('0'))
                           .arg(request.protocolCode, 4, 16, QLatin1Char('0'));
        return result;
    }
    qsizetype at = Wire::ParametersOffset;
    while (bytes.size() - at >= 2) {
        const quint16 id = be16(bytes, at);
        if (id == Wire::ListTerminator) {
            request.terminated = true;
            break;
        }
        if (bytes.size() - at < 3)
            break;
        const int length = quint8(bytes[at + 2]);
        request.ids << id;
        at += 3 + length;
    }
    result.request = request;
    return result;
}

qsizetype completeRequestSize(QByteArrayView buffer)
{
    if (buffer.size() < Wire::HeaderSize + 2)
        return 0;
    qsizetype at = Wire::ParametersOffset;
    while (buffer.size() - at >= 2) {
        if (be16(buffer, at) == Wire::ListTerminator)
            return at + 2;
        if (buffer.size() - at < 3)
            return 0;
        at += 3 + quint8(buffer[at + 2]);
    }
    return 0;
}

bool addressedTo(const QByteArray &destination, const SimDevice &device)
{
    if (destination.size() != 8)
        return false;
    static const QByteArray broadcast = QByteArray::fromHex("0001ffffffffffff");
    if (destination == broadcast || destination == device.addressRecord())
        return true;
    if (be16(destination, 0) == Wire::AddressTypeIPv4)
        return qFromBigEndian<quint32>(destination.constData() + 2) == device.ip;
    if (be16(destination, 0) == Wire::AddressTypeHardware) {
        quint64 mac = 0;
        for (int i = 2; i < 8; ++i)
            mac = (mac << 8) | quint8(destination[i]);
        return mac == device.mac;
    }
    return false;
}

QList<quint16> knownParameterIds()
{
    return {1, 2, 3, 4, 5, 6, 7, 10, 12, 13, 14, 15, 16, 17, 18};
}

QByteArray encodeDiscoveryReply(const SimDevice &device, const QByteArray &requesterRecord,
                                const QList<quint16> &ids, quint8 commandByte)
{
    QByteArray reply = header(device, requesterRecord, commandByte);
    for (quint16 id : ids.isEmpty() ? knownParameterIds() : ids) {
        const std::optional<QByteArray> value = device.parameterValue(id);
        if (!value)
            continue; // a parameter the device does not have is left out
        const QByteArray bytes = value->left(255);
        reply.append(char(id >> 8)).append(char(id & 0xFF)).append(char(bytes.size())).append(bytes);
    }
    reply.append(char(0xFF)).append(char(0xFF));
    return reply;
}

QByteArray encodeCommandReply(const SimDevice &device, const QByteArray &requesterRecord, quint8 command,
                              quint16 ackCode)
{
    QByteArray reply = header(device, requesterRecord, command);
    reply.append(char(ackCode >> 8)).append(char(ackCode & 0xFF));
    return reply;
}

} // namespace DevSim
