#pragma once
// Builds device replies byte by byte for the tests.

#include <QByteArray>
#include <QtEndian>

class ReplyBuilder
{
public:
    // A header from a device with a type-1 (hardware) address record.
    explicit ReplyBuilder(quint8 command = 1, const QByteArray &sourceRecord = QByteArray::fromHex("0001" "0050c21a2b3c"))
    {
        m_bytes = QByteArray::fromHex("0002c0a80105cca5"); // destination: not examined
        m_bytes += sourceRecord;
        m_bytes += QByteArray::fromHex("0001" "1156" "00000000");
        m_bytes += static_cast<char>(command);
    }

    ReplyBuilder &element(quint16 id, const QByteArray &value)
    {
        m_bytes += static_cast<char>(id >> 8);
        m_bytes += static_cast<char>(id & 0xFF);
        m_bytes += static_cast<char>(value.size());
        m_bytes += value;
        return *this;
    }
    ReplyBuilder &text(quint16 id, const char *value) { return element(id, QByteArray(value)); }
    ReplyBuilder &ipv4(quint16 id, quint32 ip)
    {
        QByteArray value(4, '\0');
        qToBigEndian(ip, value.data());
        return element(id, value);
    }
    ReplyBuilder &raw(const QByteArray &bytes)
    {
        m_bytes += bytes;
        return *this;
    }
    ReplyBuilder &setByte(int offset, quint8 value)
    {
        m_bytes[offset] = static_cast<char>(value);
        return *this;
    }
    ReplyBuilder &terminate() { return raw(QByteArray::fromHex("ffff")); }

    QByteArray bytes() const { return m_bytes; }
    operator QByteArray() const { return m_bytes; }

private:
    QByteArray m_bytes;
};
