#include "fleet/devicefields.h"

#include "protocol/wire.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

namespace {
constexpr qint64 DhcpFlag = 0x10; // bit 4 of the network flags

QString paramText(const TDeviceRecord &device, quint16 id)
{
    return device.Params.text(id);
}

QString addressText(const TDeviceRecord &device, quint16 id)
{
    return device.Params.has(id) ? IpToText(quint32(device.Params.number(id))) : QString();
}

QJsonValue textOrNull(const QString &text)
{
    return text.isNull() ? QJsonValue() : QJsonValue(text);
}

QJsonValue numberOrNull(const TDeviceRecord &device, quint16 id)
{
    return device.Params.has(id) && std::holds_alternative<qint64>(device.Params[id])
               ? QJsonValue(device.Params.number(id))
               : QJsonValue();
}

QString addressRecordText(const TDeviceRecord &device)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(device.Address.data()),
                                          qsizetype(device.Address.size()))
                                   .toHex());
}

} // namespace

QString AdapterText(const TDeviceRecord &device)
{
    if (device.AdapterAddress == 0)
        return {};
    return device.AdapterName.isEmpty() ? IpToText(device.AdapterAddress)
                                        : QStringLiteral("%1 (%2)").arg(device.AdapterName, IpToText(device.AdapterAddress));
}

namespace {

// Field makers by parameter id: texts as the grid shows them, addresses in dotted form,
// numbers as numbers (JSON null when the device did not report the value).
template<quint16 Id>
TDeviceField textField(const char *key, const char *header, bool inGrid)
{
    return {key, header, inGrid, [](const TDeviceRecord &d) { return paramText(d, Id); },
            [](const TDeviceRecord &d) { return d.Params.has(Id) ? QJsonValue(paramText(d, Id)) : QJsonValue(); }};
}

template<quint16 Id>
TDeviceField addressField(const char *key, const char *header)
{
    return {key, header, false, [](const TDeviceRecord &d) { return addressText(d, Id); },
            [](const TDeviceRecord &d) { return textOrNull(addressText(d, Id)); }};
}

template<quint16 Id>
TDeviceField numberField(const char *key, const char *header)
{
    return {key, header, false, [](const TDeviceRecord &d) { return paramText(d, Id); },
            [](const TDeviceRecord &d) { return numberOrNull(d, Id); }};
}
} // namespace

const QList<TDeviceField> &DeviceFields()
{
    using namespace Wire::Param;
    static const QList<TDeviceField> fields{
        textField<Name>("name", "Name", true),
        textField<TypeText>("type", "Type", true),
        textField<HardwareVersion>("version", "Version", true),
        {"ip", "IP Address", true, [](const TDeviceRecord &d) { return d.IpText; },
         [](const TDeviceRecord &d) { return QJsonValue(d.IpText); }},
        {"mac", "MAC Address", true, [](const TDeviceRecord &d) { return MacText(d.Mac); },
         [](const TDeviceRecord &d) { return QJsonValue(CanonicalMacText(d.Mac)); }},
        textField<BootstrapVersion>("bootstrap", "Bootstrap", true),
        textField<KernelVersion>("kernelVersion", "Kernel", false),
        textField<FirmwareVersion>("firmwareVersion", "Firmware", false),
        addressField<IpAddress>("configuredIp", "Configured IP"),
        addressField<SubnetMask>("subnetMask", "Subnet Mask"),
        addressField<Gateway>("gateway", "Gateway"),
        addressField<Dns1>("dns1", "DNS1"),
        addressField<Dns2>("dns2", "DNS2"),
        {"dhcp", "DHCP", false,
         [](const TDeviceRecord &d) {
             return d.Params.has(NetworkFlags) ? ((d.Params.number(NetworkFlags) & DhcpFlag) ? QStringLiteral("on")
                                                                                           : QStringLiteral("off"))
                                               : QString();
         },
         [](const TDeviceRecord &d) {
             return d.Params.has(NetworkFlags) ? QJsonValue(bool(d.Params.number(NetworkFlags) & DhcpFlag))
                                               : QJsonValue();
         }},
        numberField<NetworkFlags>("networkFlags", "Network Flags"),
        numberField<Word4>("word4", "Parameter 4"),
        {"typeCode", "Type Code", false,
         [](const TDeviceRecord &d) {
             return d.Params.has(TypeCode) ? QStringLiteral("0x%1").arg(quint32(d.Params.number(TypeCode)), 8, 16,
                                                                         QLatin1Char('0'))
                                           : QString();
         },
         [](const TDeviceRecord &d) { return numberOrNull(d, TypeCode); }},
        {"transport", "Transport", false,
         [](const TDeviceRecord &d) { return d.Transport == TransportUdp ? QStringLiteral("udp") : QStringLiteral("tcp"); },
         [](const TDeviceRecord &d) {
             return QJsonValue(d.Transport == TransportUdp ? QStringLiteral("udp") : QStringLiteral("tcp"));
         }},
        {"addressRecord", "Address Record", false, addressRecordText,
         [](const TDeviceRecord &d) { return QJsonValue(addressRecordText(d)); }},
        // The PC's adapter the device answered through: {"name": "eth1", "address": "192.168.5.10"}.
        {"adapter", "Adapter", false, AdapterText,
         [](const TDeviceRecord &d) {
             return d.AdapterAddress == 0 ? QJsonValue()
                                          : QJsonValue(QJsonObject{{QStringLiteral("name"), d.AdapterName},
                                                                   {QStringLiteral("address"), IpToText(d.AdapterAddress)}});
         }},
    };
    return fields;
}

QString MacText(quint64 mac, const QString &separator)
{
    QStringList groups;
    for (int shift = 40; shift >= 0; shift -= 8)
        groups.append(QStringLiteral("%1").arg((mac >> shift) & 0xFF, 2, 16, QLatin1Char('0')).toUpper());
    return groups.join(separator);
}

QString CanonicalMacText(quint64 mac)
{
    return MacText(mac, QStringLiteral(":")).toLower();
}

std::optional<quint64> ParseMacText(QStringView text)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^([0-9A-Fa-f]{2})([:.-]?)([0-9A-Fa-f]{2})\\2([0-9A-Fa-f]{2})\\2([0-9A-Fa-f]{2})\\2([0-9A-Fa-f]{2})\\2([0-9A-Fa-f]{2})$"));
    const QRegularExpressionMatch match = pattern.match(text.toString());
    if (!match.hasMatch())
        return std::nullopt;
    quint64 mac = 0;
    for (int group : {1, 3, 4, 5, 6, 7})
        mac = (mac << 8) | match.capturedView(group).toUInt(nullptr, 16);
    return mac;
}

QJsonObject DeviceJson(const TDeviceRecord &device)
{
    QJsonObject object;
    for (const TDeviceField &field : DeviceFields())
        object.insert(QLatin1String(field.key), field.json(device));
    return object;
}

QByteArray DeviceListJson(const QList<TDeviceRecord> &devices)
{
    QJsonArray array;
    for (const TDeviceRecord &device : devices)
        array.append(DeviceJson(device));
    return QJsonDocument(array).toJson();
}

QByteArray DeviceListCsv(const QList<TDeviceRecord> &devices)
{
    QString csv = DeviceCsvHeader() + QStringLiteral("\r\n");
    for (const TDeviceRecord &device : devices)
        csv += DeviceCsvLine(device) + QStringLiteral("\r\n");
    return csv.toUtf8();
}

bool DeviceMatchesFilter(const TDeviceRecord &device, const QString &filter)
{
    if (filter.isEmpty())
        return true;
    for (const TDeviceField &field : DeviceFields())
        if ((field.inGrid || QLatin1String(field.key) == QLatin1String("adapter"))
            && field.text(device).contains(filter, Qt::CaseInsensitive))
            return true;
    const QString flat = QString(filter).remove(QLatin1Char(':')).remove(QLatin1Char('-')).remove(QLatin1Char('.'));
    return flat.size() >= 4 && MacText(device.Mac, QString()).contains(flat, Qt::CaseInsensitive);
}

namespace {
// Where a cell, past any ' already in front, begins like a formula; -1 when it does not.
qsizetype formulaStart(const QString &cell)
{
    qsizetype at = 0;
    while (at < cell.size() && cell.at(at) == QLatin1Char('\''))
        ++at;
    if (at >= cell.size() || !QStringView(u"=+-@\t\r").contains(cell.at(at)))
        return -1;
    return at;
}

bool isNumber(const QString &cell)
{
    static const QRegularExpression number(QStringLiteral("^[+-]?[0-9]+(\\.[0-9]+)?$"));
    return number.match(cell).hasMatch();
}
} // namespace

QString CsvSafeCell(const QString &cell)
{
    if (formulaStart(cell) < 0 || isNumber(cell))
        return cell;
    return QLatin1Char('\'') + cell;
}

QString CsvCellText(const QString &cell)
{
    return formulaStart(cell) > 0 ? cell.mid(1) : cell;
}

QString CsvLine(const QStringList &cells)
{
    QStringList quoted;
    for (QString cell : cells) {
        cell = CsvSafeCell(cell);
        if (cell.contains(QLatin1Char(',')) || cell.contains(QLatin1Char('"')) || cell.contains(QLatin1Char('\n'))
            || cell.contains(QLatin1Char('\r'))) {
            cell.replace(QLatin1String("\""), QLatin1String("\"\""));
            cell = QLatin1Char('"') + cell + QLatin1Char('"');
        }
        quoted << cell;
    }
    return quoted.join(QLatin1Char(','));
}

QString DeviceCsvHeader()
{
    QStringList keys;
    for (const TDeviceField &field : DeviceFields())
        keys << QLatin1String(field.key);
    return CsvLine(keys);
}

QString DeviceCsvLine(const TDeviceRecord &device)
{
    QStringList cells;
    for (const TDeviceField &field : DeviceFields())
        // The list shows the MAC address its own way; a file gets the canonical form.
        cells << (qstrcmp(field.key, "mac") == 0 ? CanonicalMacText(device.Mac) : field.text(device));
    return CsvLine(cells);
}

QList<QStringList> ParseCsv(QStringView text)
{
    QList<QStringList> rows;
    QStringList row;
    QString cell;
    bool quoted = false;
    bool rowHasContent = false;
    auto endCell = [&] {
        row << CsvCellText(cell);
        cell.clear();
        rowHasContent = true;
    };
    auto endRow = [&] {
        if (rowHasContent || !cell.isEmpty()) {
            endCell();
            rows << row;
        }
        row.clear();
        rowHasContent = false;
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < text.size() && text[i + 1] == QLatin1Char('"')) {
                cell += c;
                ++i;
            } else if (c == QLatin1Char('"')) {
                quoted = false;
            } else {
                cell += c;
            }
        } else if (c == QLatin1Char('"')) {
            quoted = true;
            rowHasContent = true;
        } else if (c == QLatin1Char(',')) {
            endCell();
        } else if (c == QLatin1Char('\n')) {
            endRow();
        } else if (c != QLatin1Char('\r')) {
            cell += c;
        }
    }
    endRow();
    return rows;
}
