#pragma once
// The floor of the controller bus path, shared by the bus benchmarks: a plain blocking datagram
// socket that sends one frame and waits for its whole reply before the next (stop-and-wait), the
// least any client can do per exchange; and what the benchmarks need around it (the frames of a
// block, the updater that opens the bus, the destinations they may talk to).

#include "labsim.h"
#include "protocol/socketwait.h"
#include "protocol/wire.h"
#include "bus/controllerbus.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace PingPong {

constexpr int FloorReceiveTimeoutMs = 1000;
constexpr int FloorAttempts = 3;
constexpr int UpdaterAttempts = 3;
constexpr int UpdaterWaitMs = 2000;
constexpr quint16 StartUpdaterAck = 0xFFFD;

// The 27-byte StartUpdater request to the device's own port, with a zero source record.
inline QByteArray startUpdaterRequest(quint32 ip)
{
    QByteArray request(Wire::EmptyRequestSize, '\0');
    request[0] = 0x00;
    request[1] = 0x02;
    for (int i = 0; i < 4; ++i)
        request[2 + i] = static_cast<char>(ip >> (24 - 8 * i));
    request[6] = static_cast<char>(Wire::DevicePort >> 8);
    request[7] = static_cast<char>(Wire::DevicePort & 0xFF);
    request[Wire::VersionOffset + 1] = static_cast<char>(Wire::FormatVersion);
    request[Wire::ProtocolCodeOffset] = static_cast<char>(Wire::DefaultProtocolCode >> 8);
    request[Wire::ProtocolCodeOffset + 1] = static_cast<char>(Wire::DefaultProtocolCode & 0xFF);
    request[Wire::CommandOffset] = static_cast<char>(Wire::Command::StartUpdater);
    request[25] = '\xff';
    request[26] = '\xff';
    return request;
}

// The device's bus answers only while its updater runs.
inline bool startUpdater(const QHostAddress &host)
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress::AnyIPv4, 0))
        return false;
    const QByteArray request = startUpdaterRequest(host.toIPv4Address());
    for (int attempt = 0; attempt < UpdaterAttempts; ++attempt) {
        socket.writeDatagram(request, host, Wire::DevicePort);
        while (SocketWait::waitForReadyRead(socket, UpdaterWaitMs)) {
            const QByteArray reply = socket.receiveDatagram().data();
            if (reply.size() >= Wire::CommandReplyMinSize
                && static_cast<quint8>(reply.at(Wire::CommandOffset)) == quint8(Wire::Command::StartUpdater)
                && static_cast<quint8>(reply.at(25)) == (StartUpdaterAck >> 8)
                && static_cast<quint8>(reply.at(26)) == (StartUpdaterAck & 0xFF))
                return true;
        }
    }
    return false;
}

// The frames the bus client sends for writing a block from address 0 and reading it back.
struct BlockFrames
{
    QList<QByteArray> write;
    QList<QByteArray> read;
};

inline BlockFrames blockFrames(const QByteArray &image, quint32 start = 0)
{
    BlockFrames frames;
    for (qsizetype offset = 0; offset < image.size(); offset += Wire::Bus::MaxChunk) {
        const qsizetype n = std::min<qsizetype>(Wire::Bus::MaxChunk, image.size() - offset);
        const quint32 address = start + quint32(offset);
        frames.write.append(ControllerBus::seal(ControllerBus::writeRequest(Wire::Bus::UnitAddress, address,
                                                          QByteArrayView(image).sliced(offset, n))));
        frames.read.append(ControllerBus::seal(ControllerBus::readRequest(Wire::Bus::UnitAddress, address, int(n))));
    }
    return frames;
}

// The length of the whole reply to a write or read frame, CRC included.
inline int replyLength(const QByteArray &frame)
{
    if (static_cast<quint8>(frame.at(1)) == Wire::Bus::FunctionReadBlock)
        return ControllerBus::ReadReplyHeader + static_cast<quint8>(frame.at(6)) + ControllerBus::CrcSize;
    return ControllerBus::WriteReplyData + ControllerBus::CrcSize;
}

// A plain blocking datagram socket: the least any client can do per exchange.
class FloorClient
{
public:
    FloorClient(const QHostAddress &host, quint16 port)
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        m_peer.sin_family = AF_INET;
        m_peer.sin_addr.s_addr = htonl(host.toIPv4Address());
        m_peer.sin_port = htons(port);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~FloorClient()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FloorClient(const FloorClient &) = delete;
    FloorClient &operator=(const FloorClient &) = delete;

    bool isOpen() const { return m_fd >= 0; }

    // Sends the frame and collects datagrams until expected bytes came; resends on a time-out.
    bool exchange(const QByteArray &frame, int expected)
    {
        for (int attempt = 0; attempt < FloorAttempts; ++attempt) {
            ::sendto(m_fd, frame.constData(), static_cast<size_t>(frame.size()), 0,
                     reinterpret_cast<const sockaddr *>(&m_peer), sizeof m_peer);
            int got = 0;
            while (got < expected) {
                pollfd pfd{m_fd, POLLIN, 0};
                if (::poll(&pfd, 1, FloorReceiveTimeoutMs) <= 0)
                    break;
                const ssize_t size = ::recv(m_fd, m_buffer, sizeof m_buffer, 0);
                if (size <= 0)
                    break;
                got += static_cast<int>(size);
            }
            if (got >= expected)
                return true;
            ++m_retries;
        }
        return false;
    }

    // Every frame of frames[first, first + count) in turn; false at the first one left unanswered.
    bool exchangeAll(const QList<QByteArray> &frames, qsizetype first = 0, qsizetype count = -1)
    {
        const qsizetype end = count < 0 ? frames.size() : std::min(frames.size(), first + count);
        for (qsizetype i = first; i < end; ++i)
            if (!exchange(frames.at(i), replyLength(frames.at(i))))
                return false;
        return true;
    }

    int retries() const { return m_retries; }

private:
    int m_fd = -1;
    sockaddr_in m_peer{};
    char m_buffer[ControllerBus::ReceiveBufferSize];
    int m_retries = 0;
};

// Loopback, or a device address of the lab when this process runs in the lab's PC namespace.
inline bool destinationAllowed(const QHostAddress &host)
{
    if (host.isLoopback())
        return true;
    const QHostAddress pc = LabSimulator::pcAddress();
    const bool inPcNamespace = QNetworkInterface::allAddresses().contains(pc);
    return inPcNamespace && host.isInSubnet(pc, LabSimulator::LabPrefixLength) && host != pc;
}

inline double msSince(const QElapsedTimer &clock)
{
    return static_cast<double>(clock.nsecsElapsed()) / 1e6;
}

// The median of one figure over the rounds of a benchmark.
template <typename Round, typename Figure>
double medianOf(const QList<Round> &rounds, Figure figure)
{
    QList<double> values;
    for (const Round &round : rounds)
        values.append(figure(round));
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

} // namespace PingPong
