// A discovery reply as any device (or anything on the network) may send it: the acceptance test,
// the decoding into a device record and the merge into the device list.
//
// The input is the datagram itself. Each reply is checked against a small model of the decoding
// written here from the reply layout: a 25-byte header (source record at 8..15, version 00 01 at 16,
// the protocol code at 18, four zero status bytes at 20, the command byte at 24), then elements of
// id (2 bytes), length (1 byte) and value up to FF FF or the end of the datagram.

#include "protocol/datagram.h"
#include "fuzzcheck.h"
#include "protocol/resource.h"
#include "protocol/devicetypes.h"
#include "protocol/wire.h"

#include <QByteArrayView>
#include <QList>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

namespace {

using Model = std::map<int, TParamValue>; // id -> value, as the record should hold it

quint64 bigEndian(const quint8 *bytes, int count)
{
    quint64 value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

// The kind a value is decoded as: fixed for the discovery ids, from the device type's table for
// the others (only the built-in type is registered here), raw when the type is unknown.
int modelKind(int id, qint64 typeCode)
{
    switch (id) {
    case 1: case 2: case 3: case 14: case 15:
        return KindIPv4;
    case 4:
        return KindWord;
    case 5: case 7: case 12: case 16: case 17: case 18:
        return KindText;
    case 6:
        return KindByte;
    case 13:
        return KindLong;
    default:
        break;
    }
    if (typeCode == Wire::BuiltInTypeCode) {
        if (id == Wire::Param::HardwareAddress)
            return KindHardwareAddress;
        if (id == 11)
            return KindText;
    }
    return KindRaw;
}

std::optional<TParamValue> modelDecode(int kind, const quint8 *bytes, int length)
{
    static const char hex[] = "0123456789ABCDEF";
    switch (kind) {
    case KindRaw: {
        if (length <= 0)
            return std::nullopt;
        QByteArray text = QByteArray::number(length);
        text += ':';
        text += '"';
        for (int i = 0; i < length; ++i) {
            text += hex[bytes[i] >> 4];
            text += hex[bytes[i] & 0xF];
        }
        text += '"';
        for (int i = 0; i < length; ++i)
            text += static_cast<char>(bytes[i]);
        return text;
    }
    case KindIPv4:
    case KindLong:
        if (length != 4)
            return std::nullopt;
        return static_cast<qint64>(bigEndian(bytes, 4));
    case KindText:
        return QByteArray(reinterpret_cast<const char *>(bytes), length);
    case KindByte:
        if (length != 1)
            return std::nullopt;
        return static_cast<qint64>(bytes[0]);
    case KindWord:
        if (length != 2)
            return std::nullopt;
        return static_cast<qint64>(bigEndian(bytes, 2));
    case KindHardwareAddress:
        if (length != 6)
            return std::nullopt;
        return static_cast<qint64>(bigEndian(bytes, 6));
    default:
        return std::nullopt;
    }
}

struct ModelDevice
{
    std::array<quint8, 8> address{};
    quint64 mac = 0;
    Model params{{Wire::Param::TypeCode, qint64(-1)}};
};

void modelApply(ModelDevice &device, const quint8 *bytes, std::size_t size)
{
    if (size < static_cast<std::size_t>(Wire::HeaderSize))
        return;
    std::copy_n(bytes + Wire::SourceOffset, 8, device.address.begin());
    const quint64 record = bigEndian(bytes + Wire::SourceOffset, 8);
    if ((record >> 48) == Wire::AddressTypeHardware)
        device.mac = record & 0xFFFF'FFFF'FFFFull;
    std::size_t position = Wire::ParametersOffset;
    while (position + 3 <= size) {
        const int id = static_cast<int>(bigEndian(bytes + position, 2));
        if (id == Wire::ListTerminator)
            break;
        const int length = bytes[position + 2];
        const std::size_t start = position + 3;
        if (start + static_cast<std::size_t>(length) > size)
            break;
        if (id >= 1 && id <= Wire::MaxParameterId) {
            const TParamValue &type = device.params[Wire::Param::TypeCode];
            const qint64 typeCode = std::holds_alternative<qint64>(type) ? std::get<qint64>(type) : -1;
            if (std::optional<TParamValue> value = modelDecode(modelKind(id, typeCode), bytes + start, length))
                device.params[id] = std::move(*value);
        }
        position = start + static_cast<std::size_t>(length);
    }
}

TDeviceRecord deviceFrom(const ModelDevice &model)
{
    TDeviceRecord device;
    device.Address = model.address;
    device.Mac = model.mac;
    for (const auto &[id, value] : model.params)
        device.Params.set(id, value);
    return device;
}

// A text as the grid shows it: UTF-8 when the bytes are UTF-8 through and through (they come back
// the same when encoded again), one character per byte otherwise. A leading byte-order mark is
// kept as a character: a letter in front stops Qt from taking it off.
QString shownText(const QByteArray &bytes)
{
    const QByteArray marked = 'A' + bytes;
    const QString utf8 = QString::fromUtf8(marked);
    return utf8.toUtf8() == marked ? utf8.mid(1) : QString::fromLatin1(bytes);
}

void checkAgainstModel(const TDeviceRecord &device, const ModelDevice &model)
{
    FUZZ_CHECK(device.Address == model.address);
    FUZZ_CHECK(device.Mac == model.mac);
    FUZZ_CHECK(device.Params.count() == static_cast<int>(model.params.size()));
    for (const auto &[id, value] : model.params) {
        FUZZ_CHECK(device.Params[id] == value);
        FUZZ_CHECK(device.Params.has(id) == !std::holds_alternative<std::monostate>(value));
        if (const qint64 *number = std::get_if<qint64>(&value))
            FUZZ_CHECK(device.Params.text(id) == QString::number(*number));
        else if (const QByteArray *text = std::get_if<QByteArray>(&value))
            FUZZ_CHECK(device.Params.text(id) == shownText(*text));
    }
    FUZZ_CHECK(device.Params.heapBytes() >= 0);
}

bool modelAccepts(const quint8 *bytes, std::size_t size)
{
    if (size < static_cast<std::size_t>(Wire::HeaderSize))
        return false;
    const quint8 *address = bytes + Wire::SourceOffset + 2;
    const bool allZero = std::all_of(address, address + 6, [](quint8 b) { return b == 0x00; });
    const bool allOnes = std::all_of(address, address + 6, [](quint8 b) { return b == 0xFF; });
    return !allZero && !allOnes && bigEndian(bytes + Wire::VersionOffset, 2) == Wire::FormatVersion
           && bigEndian(bytes + Wire::ProtocolCodeOffset, 2) == Wire::DefaultProtocolCode
           && bigEndian(bytes + Wire::StatusOffset, 4) == 0 && bytes[Wire::CommandOffset] <= 1;
}

// A device already in the list, of the built-in type, with the address record the tests' replies use.
ModelDevice knownDevice()
{
    ModelDevice model;
    model.address = {0x00, 0x01, 0x00, 0x50, 0xc2, 0x1a, 0x2b, 0x3c};
    model.mac = 0x0050c21a2b3cull;
    model.params[Wire::Param::TypeCode] = qint64(Wire::BuiltInTypeCode);
    model.params[Wire::Param::IpAddress] = qint64(0xC6120102);
    model.params[Wire::Param::Name] = QByteArray("known");
    model.params[Wire::Param::HardwareAddress] = qint64(0x0050c21a2b3c);
    return model;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    StartupInit(); // the protocol code every reply must carry
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The view covers exactly the fuzzer's buffer: a read past its end is an AddressSanitizer finding.
    const QByteArrayView reply(data, static_cast<qsizetype>(size));

    const bool valid = IsValidDiscoveryReply(reply);
    FUZZ_CHECK(valid == modelAccepts(data, size));

    // Decoding into a fresh record, valid or not (the caller validates first).
    TDeviceRecord decoded;
    ApplyDiscoveryReply(decoded, reply);
    ModelDevice fresh;
    modelApply(fresh, data, size);
    checkAgainstModel(decoded, fresh);

    // The merge into a list that already holds one device.
    static const ModelDevice knownModel = knownDevice();
    static const TDeviceRecord known = deviceFrom(knownModel);
    QList<TDeviceRecord> list{known};
    const QString peer = QStringLiteral("198.18.1.2");
    const int index = MergeDiscoveryReply(list, peer, reply, true);
    if (!valid) {
        // A rejected reply changes nothing.
        FUZZ_CHECK(index == -1);
        FUZZ_CHECK(list.size() == 1 && list[0] == known);
        return 0;
    }
    const bool sameDevice = std::equal(known.Address.begin(), known.Address.end(), data + Wire::SourceOffset);
    FUZZ_CHECK(index == (sameDevice ? 0 : 1));
    FUZZ_CHECK(list.size() == (sameDevice ? 1 : 2));
    FUZZ_CHECK(list[index].IpText == peer);
    FUZZ_CHECK(list[index].Transport == TransportUdp);
    if (sameDevice) {
        ModelDevice updated = knownModel;
        modelApply(updated, data, size);
        checkAgainstModel(list[0], updated);
    } else {
        // A new device: the record decoded above, with where the reply came from.
        FUZZ_CHECK(list[0] == known);
        FUZZ_CHECK(list[1].Address == decoded.Address && list[1].Mac == decoded.Mac);
        FUZZ_CHECK(list[1].Params == decoded.Params);
    }

    // The same reply again, over a stream connection: the same entry, nothing appended.
    const qsizetype count = list.size();
    const QString host = QStringLiteral("198.18.1.3");
    FUZZ_CHECK(MergeDiscoveryReply(list, host, reply, false) == index);
    FUZZ_CHECK(list.size() == count);
    FUZZ_CHECK(list[index].IpText == host);
    FUZZ_CHECK(list[index].Transport == TransportTcp);

    // The value decoder on its own, every kind over the bytes after the header.
    const quint8 *tail = data + Wire::HeaderSize;
    const int tailLength = static_cast<int>(std::min<std::size_t>(size - Wire::HeaderSize, 64));
    for (int kind = 0; kind <= 8; ++kind)
        FUZZ_CHECK(DecodeParameterValue(static_cast<quint8>(kind), tail, tailLength) ==
                   modelDecode(kind, tail, tailLength));
    return 0;
}
