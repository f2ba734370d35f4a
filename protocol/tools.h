#pragma once
// The device record, the device-type registry, parameter kinds and the shared
// address, file and string routines.

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <cstdio>
#include <functional>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

class QWidget;
class TPropertiesDialog;

// A decoded parameter value: empty, an integer of up to 64 bits, or a text of 8-bit characters.
using TParamValue = std::variant<std::monostate, qint64, QByteArray>;

// The decoded parameters of one device, indexed by parameter id 1..4095.
// A device reports about sixteen values, so they are kept sparse, sorted by id, and shared between
// copies until one of them changes: a copy of a long list of devices (for a worker that compares
// it) is one reference per device, not a copy of every value.
class TParams
{
public:
    static constexpr int MinId = 1;
    static constexpr int MaxId = 4095;

    // The value of a parameter; empty when never received (or outside 1..4095).
    const TParamValue &operator[](int id) const;
    // Stores a value; ids outside 1..4095 are refused.
    bool set(int id, TParamValue value);

    bool has(int id) const;
    // Integer value, or fallback when empty or a text.
    qint64 number(int id, qint64 fallback = 0) const;
    // The value as the grid shows it: texts as the device sends them (DeviceText), numbers in
    // decimal, empty as an empty text.
    QString text(int id) const;

    int count() const { return static_cast<int>(m_values.size()); }
    // Gives back the room kept for values still to come (a long list keeps its records tight).
    void squeeze();
    // Bytes held on the heap for the values (for memory accounting).
    qsizetype heapBytes() const;

    bool operator==(const TParams &) const = default;

private:
    QList<std::pair<quint16, TParamValue>> m_values;
};

QString ParamValueText(const TParamValue &value);
// A text as a device sends it: decoded as UTF-8 when it is valid UTF-8, else one character per byte.
QString DeviceText(QByteArrayView bytes);

// One discovered device.
struct TDeviceRecord
{
    TDeviceRecord();

    std::array<quint8, 8> Address{}; // the device's address record from its latest reply: its identity
    quint64 Mac = 0;                  // 48-bit hardware address when the record's type is 1
    QString IpText;                   // sender of the latest reply (UDP) or the typed host (TCP)
    quint8 Transport = 0;             // 1 = UDP datagram, 0 = TCP connection
    TParams Params;                   // Params[13] is -1 (no device type known) until reported
    QString AdapterName;              // the PC's adapter the device was found through ("eth1"); empty when unknown
    quint32 AdapterAddress = 0;       // that adapter's address, which the device's replies come back to

    bool operator==(const TDeviceRecord &) const = default;
};

// Transport flags of TDeviceRecord::Transport and of the engine's operations.
constexpr quint8 TransportTcp = 0;
constexpr quint8 TransportUdp = 1;

extern QList<TDeviceRecord> DeviceList; // in order of first reply
extern int SelectedDevice;     // index into DeviceList of the device selected in the grid

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
};

using TConfigFile = QList<TParamDescriptor>;
using TFormFactory = std::function<TPropertiesDialog *(QWidget *owner)>;

struct TConfigDevice
{
    qint32 code = 0;
    TConfigFile parameters;
    TFormFactory createForm;
    qint32 reserved = -1;
};

extern QList<TConfigDevice> DeviceTypes;

// The program's one known device type (code 0x000B1156); its window factory is
// given by the caller, which knows the properties window.
TConfigDevice BuiltInDeviceType(TFormFactory createForm = {});
const TConfigFile &BuiltInParameterTable();

void RegisterDeviceType(const TConfigDevice &type);
int FindDeviceType(qint64 code);
quint8 ParameterKind(quint16 id, qint64 typeCode);

// Decodes a value of the given kind; nullopt when the length does not fit the kind
// (the stored value is then left as it was) or the kind is unknown.
std::optional<TParamValue> DecodeParameterValue(quint8 kind, const quint8 *bytes, int length);

quint32 ByteSwap32(quint32 value);
quint64 ByteSwap64(quint64 value);

QString IpToText(quint32 ip);
quint32 TextToIp(const QString &text);
// True when the text is exactly four decimal octets 0..255 joined by dots.
bool IsDottedIPv4(const QString &text);

// The PC's IPv4 addresses as the engine binds them (interfaces up, loopback left out).
QList<quint32> LocalIPv4Addresses();
quint32 LocalHostAddress();

qint64 FileSizeOf(const QString &path);
// The SHA-256 of bytes, in hexadecimal.
QString Sha256Text(QByteArrayView bytes);
// Writes the bytes (a text in UTF-8) to the file and flushes it; false when not all of them
// reached it (a full disk, a closed pipe): a script's output must not end short unnoticed.
bool WriteText(std::FILE *file, QByteArrayView bytes);
bool WriteText(std::FILE *file, const QString &text);
// Writes bytes to the file at path. A regular file (new or old) is replaced whole or not at all:
// the bytes go to a temporary file that takes its place once complete. A device or a pipe
// (/dev/null, a FIFO a script reads) is written into, never replaced. False with the reason.
bool WriteFileWhole(const QString &path, QByteArrayView bytes, QString *error);
int LastPos(const QString &sub, const QString &text);
