#include "devsim/udpendpoint.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace DevSim {

namespace {
// The room for one IP_PKTINFO record: the address a datagram came to, or the one it leaves from.
using PacketInfoControl = char[CMSG_SPACE(sizeof(in_pktinfo))];

msghdr messageWithPacketInfo(sockaddr_in &peer, iovec &vector, PacketInfoControl &control)
{
    msghdr message{};
    message.msg_name = &peer;
    message.msg_namelen = sizeof peer;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    return message;
}
} // namespace

UdpEndpoint::UdpEndpoint(QObject *parent)
    : QObject(parent)
{
}

UdpEndpoint::~UdpEndpoint()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool UdpEndpoint::bind(quint32 address, quint16 port, QString *error)
{
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const int on = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ::setsockopt(m_fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(address);
    if (::bind(m_fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    socklen_t length = sizeof local;
    ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&local), &length);
    m_port = ntohs(local.sin_port);
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UdpEndpoint::readyRead);
    return true;
}

void UdpEndpoint::setBufferSizes(int bytes)
{
    // As root the FORCE variants pass net.core.rmem_max/wmem_max; otherwise the plain ones.
    if (::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    if (::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0)
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

std::optional<UdpDatagram> UdpEndpoint::receive()
{
    if (m_fd < 0)
        return std::nullopt;
    UdpDatagram datagram;
    datagram.data.resize(65536);
    sockaddr_in peer{};
    iovec vector{datagram.data.data(), size_t(datagram.data.size())};
    alignas(cmsghdr) PacketInfoControl control;
    msghdr message = messageWithPacketInfo(peer, vector, control);
    const ssize_t received = ::recvmsg(m_fd, &message, 0);
    if (received < 0)
        return std::nullopt;
    datagram.data.resize(received);
    datagram.source = ntohl(peer.sin_addr.s_addr);
    datagram.sourcePort = ntohs(peer.sin_port);
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            datagram.destination = ntohl(info.ipi_addr.s_addr);
        }
    }
    return datagram;
}

UdpEndpoint::SendResult UdpEndpoint::send(const QByteArray &data, quint32 from, quint32 to, quint16 toPort)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(toPort);
    peer.sin_addr.s_addr = htonl(to);
    iovec vector{const_cast<char *>(data.constData()), size_t(data.size())};
    alignas(cmsghdr) PacketInfoControl control = {};
    msghdr message = messageWithPacketInfo(peer, vector, control);
    cmsghdr *c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst.s_addr = htonl(from); // the source address of the datagram
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    if (::sendmsg(m_fd, &message, 0) >= 0)
        return SendResult::Sent;
    m_lastError = QString::fromLocal8Bit(std::strerror(errno));
    return (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) ? SendResult::Full : SendResult::Failed;
}

} // namespace DevSim
