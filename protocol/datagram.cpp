#include "protocol/datagram.h"

#include "protocol/ipv4text.h"
#include "protocol/resource.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace {
const quint8 *bytesOf(QByteArrayView view)
{
    return reinterpret_cast<const quint8 *>(view.data());
}

void putBigEndian16(QByteArray &message, int offset, quint16 value)
{
    message[offset] = static_cast<char>(value >> 8);
    message[offset + 1] = static_cast<char>(value & 0xFF);
}

void putBigEndian32(QByteArray &message, int offset, quint32 value)
{
    qToBigEndian(value, message.data() + offset);
}
} // namespace

QByteArray BuildRequest(quint8 command, qint32 destinationLow, qint32 destinationHigh)
{
    QByteArray request(Wire::EmptyRequestSize, '\0');
    if (destinationLow == -1 && destinationHigh == -1) {
        // Address type 1 with an all-0xFF hardware address: every device.
        putBigEndian16(request, Wire::DestinationOffset, Wire::AddressTypeHardware);
        std::memset(request.data() + 2, 0xFF, 6);
    } else {
        putBigEndian32(request, Wire::DestinationOffset, static_cast<quint32>(destinationHigh));
        putBigEndian32(request, Wire::DestinationOffset + 4, static_cast<quint32>(destinationLow));
    }
    putBigEndian16(request, Wire::VersionOffset, Wire::FormatVersion);
    putBigEndian16(request, Wire::ProtocolCodeOffset, ProtocolCode);
    request[Wire::CommandOffset] = static_cast<char>(command);
    putBigEndian16(request, Wire::ParametersOffset, Wire::ListTerminator);
    return request;
}

void AppendParameterId(QByteArray &request, quint16 id)
{
    const int length = static_cast<int>(request.size());
    request.resize(length + 3);
    putBigEndian16(request, length - 2, id); // over the previous terminator
    request[length] = 0;
    putBigEndian16(request, length + 1, Wire::ListTerminator);
}

QByteArray BuildCommandRequest(Wire::Command command)
{
    QByteArray request = BuildRequest(static_cast<quint8>(command), -1, -1);
    if (command == Wire::Command::Discover)
        for (quint16 id : Wire::DiscoveryIds)
            AppendParameterId(request, id);
    return request;
}

void WriteIPv4Record(QByteArray &message, int offset, quint32 ip, quint16 port)
{
    putBigEndian16(message, offset, Wire::AddressTypeIPv4);
    putBigEndian32(message, offset + 2, ip);
    putBigEndian16(message, offset + 6, port);
}

quint16 RecordType(QByteArrayView message, int offset)
{
    return qFromBigEndian<quint16>(bytesOf(message) + offset);
}

quint32 RecordIPv4(QByteArrayView message, int offset)
{
    return qFromBigEndian<quint32>(bytesOf(message) + offset + 2);
}

bool RecordIsZero(QByteArrayView message, int offset)
{
    const quint8 *record = bytesOf(message) + offset;
    return std::all_of(record, record + 8, [](quint8 b) { return b == 0; });
}

TCommandResult JudgeCommandReply(QByteArrayView reply, quint8 command, quint16 ackCode)
{
    if (reply.size() < Wire::CommandReplyMinSize)
        return ResultOtherReply;
    const quint8 *bytes = bytesOf(reply);
    const bool acknowledged = bytes[23] == 0 && bytes[Wire::CommandOffset] == command &&
                              qFromBigEndian<quint16>(bytes + Wire::ParametersOffset) == ackCode;
    return acknowledged ? ResultAcknowledged : ResultOtherReply;
}

TCommandResult JudgeCommandReply(QByteArrayView reply, Wire::Command command)
{
    const Wire::CommandInfo &info = Wire::commandInfo(command);
    return JudgeCommandReply(reply, static_cast<quint8>(command), info.ackCode);
}

bool IsCompleteReply(QByteArrayView reply, Wire::Command command)
{
    if (command != Wire::Command::Discover)
        return reply.size() >= Wire::CommandReplyMinSize;
    qsizetype position = Wire::ParametersOffset;
    while (position + 2 <= reply.size()) {
        if (quint8(reply[position]) == 0xFF && quint8(reply[position + 1]) == 0xFF)
            return true;
        if (position + 3 > reply.size())
            return false;
        position += 3 + quint8(reply[position + 2]);
    }
    return false;
}

bool IsValidDiscoveryReply(QByteArrayView reply)
{
    if (reply.size() < Wire::HeaderSize)
        return false;
    const quint8 *bytes = bytesOf(reply);
    const quint8 *address = bytes + Wire::SourceOffset + 2;
    const bool allZero = std::all_of(address, address + 6, [](quint8 b) { return b == 0x00; });
    const bool allOnes = std::all_of(address, address + 6, [](quint8 b) { return b == 0xFF; });
    const quint8 *status = bytes + Wire::StatusOffset;
    return !allZero && !allOnes && qFromBigEndian<quint16>(bytes + Wire::VersionOffset) == Wire::FormatVersion &&
           qFromBigEndian<quint16>(bytes + Wire::ProtocolCodeOffset) == ProtocolCode &&
           std::all_of(status, status + 4, [](quint8 b) { return b == 0; }) && bytes[Wire::CommandOffset] <= 1;
}

void ApplyDiscoveryReply(TDeviceRecord &device, QByteArrayView reply, const TDeviceTypeRegistry &types)
{
    if (reply.size() < Wire::HeaderSize)
        return;
    const quint8 *bytes = bytesOf(reply);
    std::copy_n(bytes + Wire::SourceOffset, 8, device.Address.begin());

    const quint64 record = qFromBigEndian<quint64>(bytes + Wire::SourceOffset);
    if ((record >> 48) == Wire::AddressTypeHardware)
        device.Mac = record & 0xFFFF'FFFF'FFFFull;

    const qsizetype length = reply.size();
    qsizetype position = Wire::ParametersOffset;
    while (length - position > 2 && qFromBigEndian<quint16>(bytes + position) != Wire::ListTerminator) {
        const quint16 id = qFromBigEndian<quint16>(bytes + position);
        const int valueLength = bytes[position + 2];
        const qsizetype valueStart = position + 3;
        if (valueStart + valueLength > length)
            break; // the element claims bytes the reply does not have
        if (id >= TParams::MinId && id <= TParams::MaxId) {
            const quint8 kind = types.kindOf(id, device.Params.number(Wire::Param::TypeCode, -1)) & 0x7F;
            if (std::optional<TParamValue> value = DecodeParameterValue(kind, bytes + valueStart, valueLength))
                device.Params.set(id, std::move(*value));
        }
        position = valueStart + valueLength;
    }
    device.Params.squeeze();
}

int MergeDiscoveryReply(QList<TDeviceRecord> &list, const QString &peerIp, QByteArrayView reply, bool viaDatagram,
                        const TDeviceTypeRegistry &types)
{
    if (!IsValidDiscoveryReply(reply))
        return -1;
    const quint8 *address = bytesOf(reply) + Wire::SourceOffset;
    auto sameDevice = [address](const TDeviceRecord &device) {
        return std::equal(device.Address.begin(), device.Address.end(), address);
    };
    qsizetype index = std::find_if(list.cbegin(), list.cend(), sameDevice) - list.cbegin();
    if (index == list.size())
        list.append(TDeviceRecord());
    TDeviceRecord &device = list[index];
    device.IpText = peerIp;
    device.Transport = viaDatagram ? TransportUdp : TransportTcp;
    ApplyDiscoveryReply(device, reply, types);
    return static_cast<int>(index);
}

namespace {
quint64 addressKey(const quint8 *record)
{
    quint64 key = 0;
    for (int i = 0; i < 8; ++i)
        key = (key << 8) | record[i];
    return key;
}

void rebuildIndex(const QList<TDeviceRecord> &list, TDeviceIndex &index)
{
    index.clear();
    for (int i = 0; i < list.size(); ++i)
        index.insert(addressKey(list.at(i).Address.data()), i);
}
} // namespace

int MergeDiscoveryReply(QList<TDeviceRecord> &list, TDeviceIndex &index, const QString &peerIp, QByteArrayView reply,
                        bool viaDatagram, const TDeviceTypeRegistry &types)
{
    if (!IsValidDiscoveryReply(reply))
        return -1;
    const quint8 *address = bytesOf(reply) + Wire::SourceOffset;
    const quint64 key = addressKey(address);
    if (index.size() != list.size())
        rebuildIndex(list, index);
    auto found = index.constFind(key);
    if (found != index.cend()
        && (*found >= list.size() || !std::equal(address, address + 8, list.at(*found).Address.begin()))) {
        rebuildIndex(list, index); // the list was reordered behind the index
        found = index.constFind(key);
    }
    int position = found == index.cend() ? int(list.size()) : *found;
    if (found == index.cend()) {
        list.append(TDeviceRecord());
        index.insert(key, position);
    }
    TDeviceRecord &device = list[position];
    device.IpText = peerIp;
    device.Transport = viaDatagram ? TransportUdp : TransportTcp;
    ApplyDiscoveryReply(device, reply, types);
    return position;
}

void NoteReplyAdapter(TDeviceRecord &device, const TNetworkAdapter &adapter)
{
    TNetworkAdapter current;
    current.address = device.AdapterAddress;
    if (!PreferAdapter(current, adapter, TextToIp(device.IpText)))
        return;
    device.AdapterName = adapter.name;
    device.AdapterAddress = adapter.address;
}
