#include "fakebuspeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {
// The peer gives up by itself after this long or this many datagrams, whatever the test does.
constexpr auto MaxLifetime = std::chrono::seconds(120);
constexpr int MaxDatagrams = 20000;
constexpr int PollSliceMs = 20;
constexpr quint32 AddressMask = 0xFFFFFF;

int boundLoopbackSocket(quint16 *port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = 0;
    socklen_t length = sizeof local;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        ::close(fd);
        return -1;
    }
    if (port)
        *port = ntohs(local.sin_port);
    return fd;
}
} // namespace

FakeBusPeer::FakeBusPeer(const Plan &plan) : m_plan(plan), m_memory(AddressMask + 1)
{
    for (quint32 a = 0; a <= AddressMask; ++a)
        m_memory[a] = initialByte(a);
    m_fd = boundLoopbackSocket(&m_port);
    if (m_plan.fromOtherPort)
        m_otherFd = boundLoopbackSocket(nullptr);
    if (m_fd >= 0)
        m_thread = std::thread([this] { run(); });
}

FakeBusPeer::~FakeBusPeer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_otherFd >= 0)
        ::close(m_otherFd);
}

quint8 FakeBusPeer::initialByte(quint32 address)
{
    return static_cast<quint8>((address * 7u) ^ (address >> 8) ^ (address >> 16));
}

quint16 FakeBusPeer::referenceCrc(QByteArrayView bytes)
{
    quint16 crc = 0xFFFF;
    for (char c : bytes) {
        crc ^= static_cast<quint8>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<quint16>((crc >> 1) ^ 0xA001) : static_cast<quint16>(crc >> 1);
    }
    return crc;
}

QByteArray FakeBusPeer::withReferenceCrc(QByteArray frame)
{
    const quint16 crc = referenceCrc(frame);
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
    return frame;
}

QList<QByteArray> FakeBusPeer::received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

QByteArray FakeBusPeer::memory(quint32 address, int count) const
{
    std::lock_guard lock(m_mutex);
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes.append(static_cast<char>(m_memory[(address + static_cast<quint32>(i)) & AddressMask]));
    return bytes;
}

// The reply a well-behaved controller gives, or nothing for a frame it does not take.
QByteArray FakeBusPeer::answer(const QByteArray &request)
{
    if (request.size() < 4 || referenceCrc(request) != 0)
        return {};
    const auto byte = [&](int i) { return static_cast<quint8>(request.at(i)); };
    const QByteArray body = request.first(request.size() - 2);
    const quint8 function = byte(1);
    if (function == 0x64 && body.size() == 3)
        return withReferenceCrc(body);
    if ((function != 0x6E && function != 0x6F) || body.size() < 7 || byte(2) != 0x06)
        return {};
    const quint32 address = (quint32(byte(3)) << 16) | (quint32(byte(4)) << 8) | byte(5);
    const int count = byte(6);
    QByteArray reply = body.first(7);
    std::lock_guard lock(m_mutex);
    if (function == 0x6E) {
        for (int i = 0; i < count; ++i)
            reply.append(static_cast<char>(m_memory[(address + static_cast<quint32>(i)) & AddressMask]));
    } else {
        if (body.size() != 7 + count)
            return {};
        for (int i = 0; i < count; ++i)
            m_memory[(address + static_cast<quint32>(i)) & AddressMask] = byte(7 + i);
    }
    return withReferenceCrc(reply);
}

void FakeBusPeer::run()
{
    const auto deadline = std::chrono::steady_clock::now() + MaxLifetime;
    char buffer[65536];
    int datagrams = 0;
    while (!m_stop && datagrams < MaxDatagrams && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, PollSliceMs) <= 0)
            continue;
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        const ssize_t size =
            ::recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&sender), &senderLength);
        if (size < 0)
            continue;
        ++datagrams;
        const QByteArray request(buffer, size);
        {
            std::lock_guard lock(m_mutex);
            m_received.append(request);
        }
        // Only loopback senders are ever answered.
        if ((ntohl(sender.sin_addr.s_addr) >> 24) != 127)
            continue;
        QByteArray reply = answer(request);
        if (reply.isEmpty() || m_plan.silent)
            continue;
        if (m_plan.answerCount >= 0 && m_answered >= m_plan.answerCount)
            continue;
        if (m_answered < m_plan.badCrcReplies)
            reply[reply.size() - 1] = static_cast<char>(reply.back() ^ 0x5A);
        ++m_answered;
        reply.append(m_plan.trailing);
        if (m_plan.delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(m_plan.delayMs));

        const int out = m_otherFd >= 0 ? m_otherFd : m_fd;
        const auto send = [&](QByteArrayView part) {
            ::sendto(out, part.data(), static_cast<size_t>(part.size()), 0,
                     reinterpret_cast<const sockaddr *>(&sender), senderLength);
        };
        if (m_plan.emptyReply) {
            send(QByteArrayView());
        } else if (m_plan.splitAt > 0 && m_plan.splitAt < reply.size()) {
            send(QByteArrayView(reply).first(m_plan.splitAt));
            send(QByteArrayView(reply).sliced(m_plan.splitAt));
        } else {
            send(reply);
        }
    }
}
