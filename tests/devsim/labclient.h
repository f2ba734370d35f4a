#pragma once
// A minimal client of the device protocols for the simulator's lab tests, written apart
// from the simulator (requests built byte by byte, its own CRC), so that the tests check
// the simulator against the wire format rather than against itself.

#include "labsim.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QMap>
#include <QTcpSocket>
#include <QUdpSocket>

#include <sys/socket.h>

namespace LabClient {

constexpr quint16 DevicePort = 52389;
constexpr quint16 BusPort = 52390;

inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

inline QByteArray ipBytes(const QHostAddress &address)
{
    const quint32 ip = address.toIPv4Address();
    return QByteArray(1, char(ip >> 24)) + char(ip >> 16) + char(ip >> 8) + char(ip);
}

// A request: type 2 destination (or the broadcast record), zero source, 00 01, 11 56,
// status 0, the command, the requested ids, FF FF.
inline QByteArray request(quint8 command, const QHostAddress &device = {}, const QList<quint16> &ids = {})
{
    QByteArray r = device.isNull() ? hex("0001ffffffffffff") : hex("0002") + ipBytes(device) + hex("cca5");
    r += hex("0000000000000000" "0001" "1156" "00000000");
    r += char(command);
    for (quint16 id : ids)
        r += QByteArray(1, char(id >> 8)) + char(id & 0xFF) + '\0';
    return r + hex("ffff");
}

inline const QList<quint16> &discoveryIds()
{
    static const QList<quint16> ids{1, 2, 3, 4, 5, 7, 6, 13, 12, 14, 15, 16, 17, 18};
    return ids;
}

inline QByteArray discover(const QHostAddress &device = {})
{
    return request(1, device, discoveryIds());
}

// The parameter elements of a discovery reply, by id; empty when the walk fails.
inline QMap<quint16, QByteArray> parameters(const QByteArray &reply, bool *wellFormed = nullptr)
{
    QMap<quint16, QByteArray> out;
    qsizetype at = 25;
    bool ok = reply.size() >= 27;
    while (ok && reply.size() - at >= 2) {
        const quint16 id = quint16((quint8(reply[at]) << 8) | quint8(reply[at + 1]));
        if (id == 0xFFFF)
            break;
        if (reply.size() - at < 3 || reply.size() - at - 3 < quint8(reply[at + 2])) {
            ok = false;
            break;
        }
        out.insert(id, reply.mid(at + 3, quint8(reply[at + 2])));
        at += 3 + quint8(reply[at + 2]);
    }
    if (wellFormed)
        *wellFormed = ok && reply.endsWith(hex("ffff")) && at == reply.size() - 2;
    return out;
}

// CRC-16/MODBUS, bit by bit.
inline quint16 crc(const QByteArray &bytes)
{
    quint16 value = 0xFFFF;
    for (char c : bytes) {
        value ^= quint8(c);
        for (int i = 0; i < 8; ++i)
            value = (value & 1) ? quint16((value >> 1) ^ 0xA001) : quint16(value >> 1);
    }
    return value;
}

inline QByteArray frame(const QByteArray &withoutCrc)
{
    const quint16 value = crc(withoutCrc);
    return withoutCrc + char(value & 0xFF) + char(value >> 8);
}

inline QByteArray address24(quint32 address)
{
    return QByteArray(1, char(address >> 16)) + char(address >> 8) + char(address);
}

struct Reply
{
    QHostAddress from;
    quint16 port = 0;
    QByteArray data;
    qint64 atMs = 0; // since the probe's last send
};

// A UDP socket on the PC's lab address with a large receive buffer.
class UdpProbe
{
public:
    UdpProbe()
    {
        m_socket.bind(LabSimulator::pcAddress(), 0);
        const int size = 8 * 1024 * 1024;
        // As root, past net.core.rmem_max (which is read-only inside a namespace).
        ::setsockopt(int(m_socket.socketDescriptor()), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    }

    bool send(const QByteArray &data, const QHostAddress &to, quint16 port)
    {
        m_clock.start();
        return m_socket.writeDatagram(data, to, port) == data.size();
    }

    // Replies until timeoutMs has passed, or `enough` replies arrived.
    QList<Reply> collect(int timeoutMs, int enough = -1)
    {
        QList<Reply> replies;
        const QDeadlineTimer deadline(timeoutMs);
        while (enough < 0 || replies.size() < enough) {
            while (m_socket.hasPendingDatagrams() && (enough < 0 || replies.size() < enough)) {
                QHostAddress from;
                quint16 port = 0;
                QByteArray data(int(m_socket.pendingDatagramSize()), '\0');
                m_socket.readDatagram(data.data(), data.size(), &from, &port);
                replies << Reply{QHostAddress(from.toIPv4Address()), port, data, m_clock.elapsed()};
            }
            if (enough >= 0 && replies.size() >= enough)
                break;
            const qint64 left = deadline.remainingTime();
            if (left <= 0)
                break;
            m_socket.waitForReadyRead(int(std::min<qint64>(left, 100)));
        }
        return replies;
    }

    QUdpSocket &socket() { return m_socket; }

private:
    QUdpSocket m_socket;
    QElapsedTimer m_clock;
};

// One request over TCP; what came back within timeoutMs (stops early once `expected`
// bytes are in, or with expected -1 once a whole discovery reply is in).
inline QByteArray tcpExchange(const QHostAddress &device, const QByteArray &data, int timeoutMs, int expected,
                              QString *error = nullptr)
{
    QTcpSocket socket;
    socket.bind(LabSimulator::pcAddress());
    socket.connectToHost(device, DevicePort);
    if (!socket.waitForConnected(3000)) {
        if (error)
            *error = socket.errorString();
        return {};
    }
    socket.write(data);
    socket.waitForBytesWritten(1000);
    QByteArray out;
    const QDeadlineTimer deadline(timeoutMs);
    auto complete = [&] {
        bool wellFormed = false;
        if (expected < 0)
            parameters(out, &wellFormed);
        return expected < 0 ? wellFormed : out.size() >= expected;
    };
    while (!complete() && !deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState) {
        if (socket.waitForReadyRead(int(std::min<qint64>(deadline.remainingTime(), 100))))
            out += socket.readAll();
    }
    out += socket.readAll();
    return out;
}

} // namespace LabClient
