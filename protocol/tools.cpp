#include "protocol/tools.h"

#include "protocol/netadapters.h"
#include "protocol/wire.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <QtEndian>

#include <algorithm>

QList<TDeviceRecord> DeviceList;
int SelectedDevice = 0;
QList<TConfigDevice> DeviceTypes;

// ---- TParams ----------------------------------------------------------------

namespace {
const TParamValue emptyValue;

auto findSlot(auto &values, int id)
{
    return std::lower_bound(values.begin(), values.end(), id,
                            [](const auto &entry, int key) { return entry.first < key; });
}
} // namespace

const TParamValue &TParams::operator[](int id) const
{
    auto it = findSlot(m_values, id);
    return (it != m_values.end() && it->first == id) ? it->second : emptyValue;
}

bool TParams::set(int id, TParamValue value)
{
    if (id < MinId || id > MaxId)
        return false;
    // Looked up without a copy: a value a device sends again unchanged leaves the values shared.
    const auto &values = std::as_const(m_values);
    const auto it = findSlot(values, id);
    const qsizetype at = it - values.begin();
    if (it == values.end() || it->first != id)
        m_values.insert(at, {static_cast<quint16>(id), std::move(value)});
    else if (it->second != value)
        m_values[at].second = std::move(value);
    return true;
}

void TParams::squeeze()
{
    if (m_values.capacity() > m_values.size()) // a shared list is never copied for it
        m_values.squeeze();
}

bool TParams::has(int id) const
{
    return !std::holds_alternative<std::monostate>((*this)[id]);
}

qint64 TParams::number(int id, qint64 fallback) const
{
    const TParamValue &value = (*this)[id];
    if (const qint64 *n = std::get_if<qint64>(&value))
        return *n;
    return fallback;
}

QString TParams::text(int id) const
{
    return ParamValueText((*this)[id]);
}

qsizetype TParams::heapBytes() const
{
    qsizetype bytes = static_cast<qsizetype>(m_values.capacity() * sizeof(m_values[0]));
    for (const auto &entry : m_values)
        if (const QByteArray *text = std::get_if<QByteArray>(&entry.second))
            bytes += text->capacity() + 1 + 16; // payload, terminator and the shared header
    return bytes;
}

QString ParamValueText(const TParamValue &value)
{
    if (const qint64 *n = std::get_if<qint64>(&value))
        return QString::number(*n);
    if (const QByteArray *text = std::get_if<QByteArray>(&value))
        return DeviceText(*text);
    return QString();
}

QString DeviceText(QByteArrayView bytes)
{
    // Devices named in UTF-8 show their names as written; any other bytes are one character each.
    // A byte-order mark is part of what the device sent: kept, not skipped.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString decoded = utf8.decode(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : decoded;
}

TDeviceRecord::TDeviceRecord()
{
    Params.set(Wire::Param::TypeCode, qint64(-1));
}

// ---- Device types --------------------------------------------------------------

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

TConfigDevice BuiltInDeviceType(TFormFactory createForm)
{
    TConfigDevice type;
    type.code = static_cast<qint32>(Wire::BuiltInTypeCode);
    type.parameters = BuiltInParameterTable();
    type.createForm = std::move(createForm);
    type.reserved = -1;
    return type;
}

void RegisterDeviceType(const TConfigDevice &type)
{
    DeviceTypes.append(type);
}

int FindDeviceType(qint64 code)
{
    for (int i = 0; i < DeviceTypes.size(); ++i)
        if (DeviceTypes[i].code == code)
            return i;
    return -1;
}

quint8 ParameterKind(quint16 id, qint64 typeCode)
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
    const int type = FindDeviceType(typeCode);
    if (type < 0)
        return KindRaw;
    for (const TParamDescriptor &row : DeviceTypes[type].parameters)
        if (row.id == id)
            return row.kind;
    return KindRaw;
}

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

// ---- Byte order and addresses ---------------------------------------------------

quint32 ByteSwap32(quint32 value)
{
    return qbswap(value);
}

quint64 ByteSwap64(quint64 value)
{
    return qbswap(value);
}

QString IpToText(quint32 ip)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(ip >> 24)
        .arg((ip >> 16) & 0xFF)
        .arg((ip >> 8) & 0xFF)
        .arg(ip & 0xFF);
}

namespace {
// A decimal integer as the octets are read: an optional sign, then digits only.
std::optional<qint64> parseInteger(QStringView text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || text.isEmpty() || !(text.front().isDigit() || text.front() == u'+' || text.front() == u'-'))
        return std::nullopt;
    for (qsizetype i = 1; i < text.size(); ++i)
        if (!text[i].isDigit())
            return std::nullopt;
    return value;
}
} // namespace

quint32 TextToIp(const QString &text)
{
    if (text.isEmpty())
        return 0;
    QStringView rest(text);
    quint32 result = 0;
    for (int octet = 0; octet < 4; ++octet) {
        QStringView piece;
        if (octet < 3) {
            const qsizetype dot = rest.indexOf(u'.');
            if (dot < 0)
                return 0; // a missing dot: the piece before it is not a number
            piece = rest.left(dot);
            rest = rest.mid(dot + 1);
        } else {
            piece = rest;
        }
        const std::optional<qint64> value = parseInteger(piece);
        if (!value)
            return 0;
        if (*value < 0 || *value > 255)
            return result; // the octets read so far, the rest zero
        result |= static_cast<quint32>(*value) << (24 - 8 * octet);
    }
    return result;
}

bool IsDottedIPv4(const QString &text)
{
    const QStringList pieces = text.split(u'.');
    if (pieces.size() != 4)
        return false;
    for (const QString &piece : pieces) {
        if (piece.isEmpty() || piece.size() > 3)
            return false;
        for (QChar c : piece)
            if (c < u'0' || c > u'9')
                return false;
        if (piece.toInt() > 255)
            return false;
    }
    return true;
}

QList<quint32> LocalIPv4Addresses()
{
    QList<quint32> result;
    for (const TNetworkAdapter &adapter : NetworkAdapters())
        if (!result.contains(adapter.address))
            result.append(adapter.address);
    return result;
}

quint32 LocalHostAddress()
{
    // The host's own name resolves to its interface addresses on the PCs this tool
    // runs on; the interfaces are asked directly so that no name lookup can leave the PC.
    const QList<quint32> addresses = LocalIPv4Addresses();
    return addresses.isEmpty() ? 0x07000001u : addresses.first();
}

// ---- Files and strings ----------------------------------------------------------

qint64 FileSizeOf(const QString &path)
{
    if (path.isEmpty())
        return 0;
    const QFileInfo info(path);
    return info.isFile() ? info.size() : 0;
}

QString Sha256Text(QByteArrayView bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

bool WriteText(std::FILE *file, QByteArrayView bytes)
{
    // An empty text has no data pointer to hand to fwrite: only the flush is checked then.
    const bool written =
        bytes.isEmpty() || std::fwrite(bytes.data(), 1, size_t(bytes.size()), file) == size_t(bytes.size());
    return std::fflush(file) == 0 && written;
}

bool WriteText(std::FILE *file, const QString &text)
{
    return WriteText(file, QByteArrayView(text.toUtf8()));
}

int LastPos(const QString &sub, const QString &text)
{
    if (sub.isEmpty() || sub.size() > text.size())
        return 0;
    const qsizetype index = text.lastIndexOf(sub);
    return index < 0 ? 0 : static_cast<int>(index) + 1;
}

bool WriteFileWhole(const QString &path, QByteArrayView bytes, QString *error)
{
    const QFileInfo info(path);
    // A rename over /dev/null would leave a regular file in its place.
    const bool special = info.exists() && !info.isFile() && !info.isDir();
    QSaveFile atomic(path);
    QFile direct(path);
    QFileDevice &file = special ? static_cast<QFileDevice &>(direct) : atomic;
    bool written = file.open(QIODevice::WriteOnly) && file.write(bytes.data(), bytes.size()) == bytes.size();
    written = special ? written && direct.flush() : written && atomic.commit();
    if (!written && error)
        *error = QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
    return written;
}
