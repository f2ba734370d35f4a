#include "protocol/devicetypes.h"

#include "protocol/wire.h"

#include <algorithm>

const TConfigFile &BuiltInParameterTable()
{
    // id, access, kind, discovery flag, reserved
    static const TConfigFile table{
        {1, 2, KindIPv4, 1, 0},  {2, 2, KindIPv4, 1, 0},   {3, 2, KindIPv4, 1, 0},  {4, 2, KindWord, 1, 0},
        {5, 0, KindText, 1, 0},  {6, 2, KindByte, 1, 0},   {7, 0, KindText, 1, 0},
        {10, 0, KindHardwareAddress, 0, 0},                {12, 0, KindText, 1, 0}, {11, 0, KindText, 0, 0},
        {13, 0, KindLong, 1, 0}, {14, 2, KindIPv4, 1, 0},  {16, 0, KindText, 1, 0}, {17, 0, KindText, 1, 0},
        {18, 0, KindText, 1, 0}, {15, 2, KindIPv4, 1, 0},
    };
    return table;
}

TConfigDevice BuiltInDeviceType()
{
    TConfigDevice type;
    type.code = static_cast<qint32>(Wire::BuiltInTypeCode);
    type.parameters = BuiltInParameterTable();
    type.reserved = -1;
    return type;
}

// ---- The registry -------------------------------------------------------------------

TDeviceTypeRegistry::TDeviceTypeRegistry() : m_types{BuiltInDeviceType()} {}

const TDeviceTypeRegistry &TDeviceTypeRegistry::standard()
{
    static const TDeviceTypeRegistry registry;
    return registry;
}

void TDeviceTypeRegistry::add(const TConfigDevice &type)
{
    remove(type.code);
    m_types.append(type);
}

bool TDeviceTypeRegistry::remove(qint64 code)
{
    return m_types.removeIf([code](const TConfigDevice &type) { return type.code == code; }) > 0;
}

const TConfigDevice *TDeviceTypeRegistry::find(qint64 code) const
{
    const auto it = std::find_if(m_types.cbegin(), m_types.cend(), [code](const TConfigDevice &type) { return type.code == code; });
    return it == m_types.cend() ? nullptr : &*it;
}

quint8 TDeviceTypeRegistry::kindOf(quint16 id, qint64 typeCode) const
{
    // These ids mean the same for every device type, whatever its table says.
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
    const TConfigDevice *type = find(typeCode);
    if (!type)
        return KindRaw;
    for (const TParamDescriptor &row : type->parameters)
        if (row.id == id)
            return row.kind;
    return KindRaw;
}

// ---- Decoding -----------------------------------------------------------------------

std::optional<TParamValue> DecodeParameterValue(quint8 kind, const quint8 *bytes, int length)
{
    auto bigEndian = [bytes](int count) {
        quint64 value = 0;
        for (int i = 0; i < count; ++i)
            value = (value << 8) | bytes[i];
        return static_cast<qint64>(value);
    };
    switch (kind) {
    case KindRaw: {
        if (length <= 0)
            return std::nullopt;
        // len:"HEX"bytes, e.g. 2:"410A"A<LF>
        QByteArray text = QByteArray::number(length) + ":\"";
        text += QByteArray(reinterpret_cast<const char *>(bytes), length).toHex().toUpper();
        text += '"';
        text += QByteArray(reinterpret_cast<const char *>(bytes), length);
        return text;
    }
    case KindIPv4:
    case KindLong:
        return length == 4 ? std::optional<TParamValue>(bigEndian(4)) : std::nullopt;
    case KindText:
        return QByteArray(reinterpret_cast<const char *>(bytes), std::max(length, 0));
    case KindByte:
        return length == 1 ? std::optional<TParamValue>(bigEndian(1)) : std::nullopt;
    case KindWord:
        return length == 2 ? std::optional<TParamValue>(bigEndian(2)) : std::nullopt;
    case KindHardwareAddress:
        return length == 6 ? std::optional<TParamValue>(bigEndian(6)) : std::nullopt;
    default:
        return std::nullopt;
    }
}
