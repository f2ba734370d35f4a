#pragma once
// The record of one discovered device and its decoded parameter values.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <array>
#include <utility>
#include <variant>

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
