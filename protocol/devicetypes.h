#pragma once
// Device types: how the bytes of each parameter a device reports are decoded, by the type code
// the device reports (parameter 13). Every front end decodes with the same registry, which knows
// the program's built-in type from the start.

#include "protocol/devicerecord.h"

#include <QList>

#include <optional>

// Parameter kinds: how a value's bytes are decoded.
enum TParamKind : quint8 {
    KindRaw = 0,
    KindIPv4 = 1,
    KindText = 2,
    KindByte = 3,
    KindWord = 4,
    KindLong = 5,
    KindHardwareAddress = 6,
};

// One 6-byte parameter descriptor of a device type's table.
struct TParamDescriptor
{
    quint16 id;
    quint8 access;    // 2 = edited by the properties window, 0 = read-only; informative
    quint8 kind;      // only the low 7 bits count
    quint8 discovery; // 1 for the ids a discovery asks for; informative
    quint8 reserved;

    bool operator==(const TParamDescriptor &) const = default;
};

using TConfigFile = QList<TParamDescriptor>;

// One device type: the code its devices report and its parameter table.
struct TConfigDevice
{
    qint32 code = 0;
    TConfigFile parameters;
    qint32 reserved = -1;
};

// The program's one known device type (code 0x000B1156).
TConfigDevice BuiltInDeviceType();
const TConfigFile &BuiltInParameterTable();

// The device types replies are decoded by. A new registry holds the built-in type; others can be
// added and taken out again (a test's types), the built-in one included.
class TDeviceTypeRegistry
{
public:
    TDeviceTypeRegistry();

    // The registry the program decodes with: the built-in type alone, never changed.
    static const TDeviceTypeRegistry &standard();

    // Adds a type; one of the same code is replaced.
    void add(const TConfigDevice &type);
    // Takes out the type of that code; false when there was none.
    bool remove(qint64 code);
    // The type of that code; null when it is not known.
    const TConfigDevice *find(qint64 code) const;
    int count() const { return static_cast<int>(m_types.size()); }

    // How the value of parameter id is decoded for a device of that type code.
    quint8 kindOf(quint16 id, qint64 typeCode) const;

private:
    QList<TConfigDevice> m_types;
};

// Decodes a value of the given kind; nullopt when the length does not fit the kind
// (the stored value is then left as it was) or the kind is unknown.
std::optional<TParamValue> DecodeParameterValue(quint8 kind, const quint8 *bytes, int length);
