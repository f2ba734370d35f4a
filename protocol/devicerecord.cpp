#include "protocol/devicerecord.h"

#include "protocol/wire.h"

#include <QStringDecoder>

#include <algorithm>

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
