#include "fleet/site/sitefile.h"

#include "fleet/devicefields.h"
#include "protocol/wire.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStringDecoder>

namespace {
// The columns (CSV) and members (JSON) of a site file, as the device fields name them.
enum class Column { Name, Ip, Mac, Type, Firmware, Bootstrap, Kernel };
struct ColumnKey
{
    Column column;
    const char *key;
};
constexpr ColumnKey Columns[] = {
    {Column::Name, "name"},      {Column::Ip, "ip"},
    {Column::Mac, "mac"},        {Column::Type, "type"},
    {Column::Firmware, "firmwareVersion"}, {Column::Bootstrap, "bootstrap"},
    {Column::Kernel, "kernelVersion"},
};

std::optional<Column> columnNamed(const QString &name)
{
    for (const ColumnKey &key : Columns)
        if (name.trimmed().compare(QLatin1String(key.key), Qt::CaseInsensitive) == 0)
            return key.column;
    return std::nullopt;
}

QString keyOf(Column column)
{
    for (const ColumnKey &key : Columns)
        if (key.column == column)
            return QLatin1String(key.key);
    return {};
}

QString describe(const TSiteDevice &device)
{
    if (!device.name.isEmpty())
        return QStringLiteral("'%1'").arg(device.name);
    return QStringLiteral("the device");
}

// Sets one field of a device from its text; the reason when the text does not fit the field.
QString setField(TSiteDevice &device, Column column, const QString &given)
{
    // A byte order mark inside a cell (a spreadsheet's export pasted into another) shows nothing
    // and would not survive JSON.
    const QString text = QString(given).remove(QChar(0xFEFF)).trimmed();
    // What the file holds must survive being written again, as CSV or JSON, and read back.
    if (text.contains(QChar(0)))
        return QStringLiteral("a NUL character");
    if (!QStringView(text).isValidUtf16())
        return QStringLiteral("a lone UTF-16 surrogate");
    switch (column) {
    case Column::Name: device.name = text; break;
    case Column::Type: device.type = text; break;
    case Column::Firmware: device.firmwareVersion = text; break;
    case Column::Bootstrap: device.bootstrapVersion = text; break;
    case Column::Kernel: device.kernelVersion = text; break;
    case Column::Ip:
        if (text.isEmpty())
            break;
        if (!IsDottedIPv4(text))
            return QStringLiteral("'%1' is not an IPv4 address").arg(text);
        device.ip = IpToText(TextToIp(text));
        break;
    case Column::Mac:
        if (text.isEmpty())
            break;
        if (const std::optional<quint64> mac = ParseMacText(text); mac && *mac != 0)
            device.mac = *mac;
        else
            return QStringLiteral("'%1' is not a MAC address (six hexadecimal pairs, not all zero)").arg(text);
        break;
    }
    return {};
}

// The checks across devices: each names an address, and no address is listed twice.
class DeviceCollector
{
public:
    std::optional<TSiteFileError> add(TSiteDevice device)
    {
        if (device.ip.isEmpty() && device.mac == 0)
            return TSiteFileError{device.line, QStringLiteral("%1 has no IP address and no MAC address").arg(describe(device))};
        if (device.mac != 0) {
            if (const int first = m_lineOfMac.value(device.mac); first != 0)
                return TSiteFileError{device.line, QStringLiteral("MAC address %1 is already listed on line %2")
                                                       .arg(CanonicalMacText(device.mac))
                                                       .arg(first)};
            m_lineOfMac.insert(device.mac, device.line);
        }
        if (!device.ip.isEmpty()) {
            if (const int first = m_lineOfIp.value(device.ip); first != 0)
                return TSiteFileError{device.line,
                                      QStringLiteral("IP address %1 is already listed on line %2").arg(device.ip).arg(first)};
            m_lineOfIp.insert(device.ip, device.line);
        }
        m_devices << std::move(device);
        return std::nullopt;
    }
    TSiteFileResult result() const
    {
        if (m_devices.isEmpty())
            return TSiteFileError{0, QStringLiteral("it lists no device")};
        return m_devices;
    }

private:
    QList<TSiteDevice> m_devices;
    QHash<quint64, int> m_lineOfMac;
    QHash<QString, int> m_lineOfIp;
};

// CSV rows with the line each starts on; a quoted cell may hold commas, quotes and line ends.
struct CsvRow
{
    int line = 0;
    QStringList cells;
};

std::variant<QList<CsvRow>, TSiteFileError> splitCsv(QStringView text)
{
    QList<CsvRow> rows;
    CsvRow row;
    QString cell;
    int line = 1;
    int quoteLine = 0;
    bool quoted = false;
    bool afterQuote = false; // a quoted cell ended: only a comma or the line end may follow
    bool rowHasContent = false;
    auto endCell = [&] {
        row.cells << CsvCellText(cell);
        cell.clear();
        afterQuote = false;
    };
    auto endRow = [&] {
        if (rowHasContent || !cell.isEmpty() || !row.cells.isEmpty()) {
            endCell();
            rows << row;
        }
        row = CsvRow{};
        rowHasContent = false;
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (row.line == 0)
            row.line = line;
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < text.size() && text[i + 1] == QLatin1Char('"')) {
                cell += c;
                ++i;
            } else if (c == QLatin1Char('"')) {
                quoted = false;
                afterQuote = true;
            } else {
                if (c == QLatin1Char('\n'))
                    ++line;
                cell += c;
            }
            continue;
        }
        if (c == QLatin1Char('\n')) {
            endRow();
            ++line;
            continue;
        }
        if (c == QLatin1Char('\r'))
            continue;
        if (c == QLatin1Char(',')) {
            endCell();
            rowHasContent = true;
            continue;
        }
        if (afterQuote)
            return TSiteFileError{line, QStringLiteral("text after a quoted cell")};
        if (c == QLatin1Char('"')) {
            if (!cell.trimmed().isEmpty())
                return TSiteFileError{line, QStringLiteral("a quote inside an unquoted cell")};
            cell.clear();
            quoted = true;
            quoteLine = line;
            rowHasContent = true;
            continue;
        }
        cell += c;
        rowHasContent = true;
    }
    if (quoted)
        return TSiteFileError{quoteLine, QStringLiteral("a quoted cell is never closed")};
    endRow();
    return rows;
}

TSiteFileResult parseCsv(QStringView text)
{
    const auto split = splitCsv(text);
    if (const auto *error = std::get_if<TSiteFileError>(&split))
        return *error;
    QList<CsvRow> rows = std::get<QList<CsvRow>>(split);
    // Lines with nothing in any cell (",,,") are spacing, not devices.
    rows.removeIf([](const CsvRow &row) {
        return std::all_of(row.cells.begin(), row.cells.end(), [](const QString &cell) { return cell.trimmed().isEmpty(); });
    });
    if (rows.isEmpty())
        return TSiteFileError{0, QStringLiteral("it lists no device")};
    const CsvRow &header = rows.first();
    QList<std::optional<Column>> columns;
    for (const QString &name : header.cells) {
        const std::optional<Column> column = columnNamed(name);
        if (!column)
            return TSiteFileError{header.line, QStringLiteral("unknown column '%1' (name, ip, mac, type, firmwareVersion, "
                                                              "bootstrap, kernelVersion)")
                                                   .arg(name.trimmed())};
        if (columns.contains(column))
            return TSiteFileError{header.line, QStringLiteral("the column '%1' is named twice").arg(name.trimmed())};
        columns << column;
    }
    if (!columns.contains(Column::Ip) && !columns.contains(Column::Mac))
        return TSiteFileError{header.line, QStringLiteral("the header names neither an 'ip' nor a 'mac' column")};
    DeviceCollector collector;
    for (qsizetype r = 1; r < rows.size(); ++r) {
        const CsvRow &row = rows.at(r);
        if (row.cells.size() != columns.size())
            return TSiteFileError{row.line, QStringLiteral("%1 cells where the header names %2")
                                                .arg(row.cells.size())
                                                .arg(columns.size())};
        TSiteDevice device;
        device.line = row.line;
        for (qsizetype c = 0; c < columns.size(); ++c)
            if (const QString problem = setField(device, *columns.at(c), row.cells.at(c)); !problem.isEmpty())
                return TSiteFileError{row.line, QStringLiteral("%1: %2").arg(keyOf(*columns.at(c)), problem)};
        if (auto error = collector.add(std::move(device)))
            return *error;
    }
    return collector.result();
}

// The line on which each object of the top-level array (or of "devices") starts: QJsonDocument
// tells no positions, and a refused device is named by its line. The objects of the top array are
// at depth 2, those of {"devices": [...]} at depth 3.
QList<int> elementLines(QStringView text, int elementDepth)
{
    QList<int> lines;
    int line = 1;
    int depth = 0;
    bool inString = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\n'))
            ++line;
        if (inString) {
            if (c == QLatin1Char('\\'))
                ++i;
            else if (c == QLatin1Char('"'))
                inString = false;
            continue;
        }
        if (c == QLatin1Char('"')) {
            inString = true;
        } else if (c == QLatin1Char('{') || c == QLatin1Char('[')) {
            ++depth;
            if (c == QLatin1Char('{') && depth == elementDepth)
                lines << line;
        } else if (c == QLatin1Char('}') || c == QLatin1Char(']')) {
            --depth;
        }
    }
    return lines;
}

int lineAtOffset(QByteArrayView contents, qsizetype offset)
{
    return int(contents.first(std::clamp<qsizetype>(offset, 0, contents.size())).count('\n')) + 1;
}

TSiteFileResult parseJson(QByteArrayView contents)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(contents.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError)
        return TSiteFileError{lineAtOffset(contents, error.offset), QStringLiteral("not JSON: %1").arg(error.errorString())};
    QJsonArray array;
    bool wrapped = false;
    if (document.isArray()) {
        array = document.array();
    } else if (document.object().value(QLatin1String("devices")).isArray()) {
        array = document.object().value(QLatin1String("devices")).toArray();
        wrapped = true;
    } else {
        return TSiteFileError{1, QStringLiteral("neither an array of devices nor an object with a 'devices' array")};
    }
    const QString text = QString::fromUtf8(contents);
    QList<int> lines = elementLines(text, wrapped ? 3 : 2);
    // Elements of the wrapper object itself (none are expected) would shift the lines.
    if (wrapped && lines.size() > array.size())
        lines = lines.mid(lines.size() - array.size());
    DeviceCollector collector;
    for (qsizetype i = 0; i < array.size(); ++i) {
        const int line = i < lines.size() ? lines.at(i) : 0;
        if (!array.at(i).isObject())
            return TSiteFileError{line, QStringLiteral("device %1 is not a JSON object").arg(i + 1)};
        const QJsonObject object = array.at(i).toObject();
        TSiteDevice device;
        device.line = line;
        for (auto member = object.begin(); member != object.end(); ++member) {
            const std::optional<Column> column = columnNamed(member.key());
            // Other members (a note, a room) are the technician's own and are left alone.
            if (!column)
                continue;
            if (!member.value().isString() && !member.value().isNull())
                return TSiteFileError{line, QStringLiteral("%1: not a text").arg(member.key())};
            if (const QString problem = setField(device, *column, member.value().toString()); !problem.isEmpty())
                return TSiteFileError{line, QStringLiteral("%1: %2").arg(member.key(), problem)};
        }
        if (auto failed = collector.add(std::move(device)))
            return *failed;
    }
    return collector.result();
}

QStringList cellsOf(const TSiteDevice &device)
{
    return {device.name,
            device.ip,
            device.mac ? CanonicalMacText(device.mac) : QString(),
            device.type,
            device.firmwareVersion,
            device.bootstrapVersion,
            device.kernelVersion};
}
} // namespace

QString TSiteFileError::text() const
{
    return line > 0 ? QStringLiteral("line %1: %2").arg(line).arg(reason) : reason;
}

namespace SiteFile {
TSiteFileResult parse(QByteArrayView contents)
{
    if (contents.size() > MaxSize)
        return TSiteFileError{0, QStringLiteral("it is over %1 MiB").arg(MaxSize >> 20)};
    if (contents.contains('\0'))
        return TSiteFileError{lineAtOffset(contents, contents.indexOf('\0')), QStringLiteral("a NUL byte: not a text file")};
    const QString text = QString::fromUtf8(contents);
    // The first line that is not UTF-8, decoded line by line so that it can be named.
    int line = 1;
    for (qsizetype from = 0; from < contents.size(); ++line) {
        qsizetype end = contents.indexOf('\n', from);
        if (end < 0)
            end = contents.size();
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString decoded = decoder(contents.sliced(from, end - from));
        if (decoder.hasError())
            return TSiteFileError{line, QStringLiteral("not UTF-8 text")};
        from = end + 1;
    }
    const QString start = text.trimmed();
    if (start.startsWith(QLatin1Char('[')) || start.startsWith(QLatin1Char('{')))
        return parseJson(contents);
    QStringView body = text;
    if (body.startsWith(QChar(0xFEFF))) // the byte order mark of a spreadsheet's export
        body = body.mid(1);
    return parseCsv(body);
}

TSiteFileResult read(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return TSiteFileError{0, QStringLiteral("%1 does not exist").arg(path)};
    if (!info.isFile())
        return TSiteFileError{0, QStringLiteral("%1 is not a file").arg(path)};
    if (info.size() > MaxSize)
        return TSiteFileError{0, QStringLiteral("%1 is over %2 MiB").arg(path).arg(MaxSize >> 20)};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return TSiteFileError{0, QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString())};
    return parse(file.readAll());
}

TSiteDevice fromDevice(const TDeviceRecord &device)
{
    TSiteDevice site;
    site.name = device.Params.text(Wire::Param::Name);
    site.ip = device.IpText;
    site.mac = device.Mac;
    site.type = device.Params.text(Wire::Param::TypeText);
    site.firmwareVersion = device.Params.text(Wire::Param::FirmwareVersion);
    site.bootstrapVersion = device.Params.text(Wire::Param::BootstrapVersion);
    site.kernelVersion = device.Params.text(Wire::Param::KernelVersion);
    return site;
}

QByteArray toJson(const QList<TSiteDevice> &devices)
{
    QByteArray json = "[\n";
    for (qsizetype i = 0; i < devices.size(); ++i) {
        const QStringList cells = cellsOf(devices.at(i));
        QJsonObject object;
        for (qsizetype c = 0; c < cells.size(); ++c)
            if (!cells.at(c).isEmpty())
                object.insert(QLatin1String(Columns[c].key), cells.at(c));
        json += "  " + QJsonDocument(object).toJson(QJsonDocument::Compact) + (i + 1 < devices.size() ? ",\n" : "\n");
    }
    return json + "]\n";
}

QByteArray toCsv(const QList<TSiteDevice> &devices)
{
    QStringList header;
    for (const ColumnKey &key : Columns)
        header << QLatin1String(key.key);
    QString csv = CsvLine(header) + QStringLiteral("\r\n");
    for (const TSiteDevice &device : devices)
        csv += CsvLine(cellsOf(device)) + QStringLiteral("\r\n");
    return csv.toUtf8();
}

QString write(const QString &path, const QList<TSiteDevice> &devices)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString());
    const QByteArray bytes = path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive) ? toJson(devices) : toCsv(devices);
    if (file.write(bytes) != bytes.size() || !file.commit())
        return QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString());
    return {};
}
} // namespace SiteFile
