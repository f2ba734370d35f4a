#include "bus/controllerbus.h"

#include "protocol/socketwait.h"

#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QNetworkProxy>
#include <QThread>
#include <QUdpSocket>

#include <algorithm>
#include <array>

Q_LOGGING_CATEGORY(lcBus, "tarvino.bus", QtInfoMsg)
Q_LOGGING_CATEGORY(lcBusLowLevel, "tarvino.bus.lowlevel", QtWarningMsg)

namespace {

// CRC-16/MODBUS: width 16, polynomial 0x8005 reflected as 0xA001, initial value 0xFFFF, input and
// output reflected, no final XOR. Check value for "123456789": 0x4B37 (sent 0x37, 0x4B).
constexpr quint16 CrcPolynomialReflected = 0xA001;
constexpr quint16 CrcInitial = 0xFFFF;

constexpr std::array<quint16, 256> makeCrcTable()
{
    std::array<quint16, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        quint16 crc = static_cast<quint16>(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<quint16>((crc >> 1) ^ CrcPolynomialReflected)
                             : static_cast<quint16>(crc >> 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<quint16, 256> CrcTable = makeCrcTable();

// At most this many datagrams are thrown away before a request; a device never sends more than a few.
constexpr int MaxStaleDatagrams = 64;

void appendAddress(QByteArray &request, quint32 address)
{
    request.append(static_cast<char>((address >> 16) & 0xFFu));
    request.append(static_cast<char>((address >> 8) & 0xFFu));
    request.append(static_cast<char>(address & 0xFFu));
}

QByteArray blockHeader(quint8 unit, quint8 function, quint32 address, int count)
{
    QByteArray request;
    request.reserve(ControllerBus::ReadReplyHeader + Wire::Bus::MaxChunk + ControllerBus::CrcSize);
    request.append(static_cast<char>(unit));
    request.append(static_cast<char>(function));
    request.append(static_cast<char>(Wire::Bus::BlockMarker));
    appendAddress(request, address);
    request.append(static_cast<char>(count & 0xFF));
    return request;
}

} // namespace

namespace ControllerBus {

quint16 crc16(QByteArrayView bytes)
{
    quint16 crc = CrcInitial;
    for (char c : bytes)
        crc = static_cast<quint16>((crc >> 8) ^ CrcTable[(crc ^ static_cast<quint8>(c)) & 0xFFu]);
    return crc;
}

QByteArray commandRequest(quint8 unit, quint8 subCommand)
{
    QByteArray request;
    request.append(static_cast<char>(unit));
    request.append(static_cast<char>(Wire::Bus::FunctionCommand));
    request.append(static_cast<char>(subCommand));
    return request;
}

QByteArray readRequest(quint8 unit, quint32 address, int count)
{
    return blockHeader(unit, Wire::Bus::FunctionReadBlock, address, count);
}

QByteArray writeRequest(quint8 unit, quint32 address, QByteArrayView data)
{
    QByteArray request = blockHeader(unit, Wire::Bus::FunctionWriteBlock, address, static_cast<int>(data.size()));
    request.append(data);
    return request;
}

QByteArray seal(QByteArray request)
{
    if (!request.isEmpty() && request.at(0) == '\0')
        request[0] = static_cast<char>(Wire::Bus::UnitAddress);
    const quint16 crc = TControllerBus::ComputeCrc(request);
    request.append(static_cast<char>(crc >> 8));
    request.append(static_cast<char>(crc & 0xFFu));
    return request;
}

bool residueIsZero(QByteArrayView frame)
{
    return crc16(frame) == 0;
}

std::optional<QByteArray> readReplyData(QByteArrayView reply, int count)
{
    if (count < 0 || reply.size() < ReadReplyHeader + count)
        return std::nullopt;
    return reply.sliced(ReadReplyHeader, count).toByteArray();
}

} // namespace ControllerBus

TControllerBus::TControllerBus(QObject *owner, const QString &host, quint16 port, ControllerBus::Timing timing)
    : QObject(owner), m_host(host), m_udpClient(new QUdpSocket(this)), m_port(port), m_timing(timing),
      m_receiveBuffer(ControllerBus::ReceiveBufferSize, Qt::Uninitialized)
{
    m_udpClient->setProxy(QNetworkProxy::NoProxy); // devices are reached directly, never through a proxy
    // A failure shows later as empty replies.
    Open();
    m_busy = false;
}

TControllerBus::~TControllerBus()
{
    Close();
}

bool TControllerBus::Open()
{
    if (isOpen())
        return true;
    m_address = QHostAddress(m_host);
    if (m_address.isNull()) {
        qCDebug(lcBus) << "not an IP address:" << m_host;
        return false;
    }
    const QHostAddress any = m_address.protocol() == QAbstractSocket::IPv6Protocol ? QHostAddress::AnyIPv6
                                                                                      : QHostAddress::AnyIPv4;
    // Bound, not connected: the device may answer from any address and port, and a connected
    // datagram socket would both filter those out and turn an ICMP error into a closed socket.
    if (!m_udpClient->bind(any, 0)) {
        qCDebug(lcBus) << "bind failed:" << m_udpClient->errorString();
        m_udpClient->abort();
        return false;
    }
    return true;
}

void TControllerBus::Close()
{
    m_udpClient->close();
}

bool TControllerBus::isOpen() const
{
    return m_udpClient->state() == QAbstractSocket::BoundState;
}

quint16 TControllerBus::localPort() const
{
    return m_udpClient->localPort();
}

quint16 TControllerBus::ComputeCrc(QByteArrayView bytes)
{
    const quint16 crc = ControllerBus::crc16(bytes);
    return static_cast<quint16>(((crc & 0xFFu) << 8) | (crc >> 8));
}

void TControllerBus::discardStaleDatagrams()
{
    // A reply that came in after its attempt gave up (or a device that answered twice) must not be
    // taken for the reply to the next request.
    for (int i = 0; i < MaxStaleDatagrams && m_udpClient->hasPendingDatagrams(); ++i) {
        const qint64 size = m_udpClient->readDatagram(m_receiveBuffer.data(), m_receiveBuffer.size());
        qCDebug(lcBus) << "discarded a late datagram of" << size << "bytes";
    }
}

void TControllerBus::sendOnce(const QByteArray &frame, int expectedLength, int timeoutMs, bool stoppable)
{
    m_replyBuffer.clear();
    SocketWait::StopCheck stop;
    if (stoppable && m_stop)
        stop = [flag = m_stop] { return flag->load(); };
    if (isOpen()) {
        discardStaleDatagrams();
        qCDebug(lcBusLowLevel) << "->" << m_host << frame.toHex(' ');
        if (m_udpClient->writeDatagram(frame, m_address, m_port) == frame.size()) {
            while (m_replyBuffer.size() < expectedLength) {
                if (!SocketWait::waitForReadyRead(*m_udpClient, timeoutMs, stop))
                    break;
                const qint64 size = m_udpClient->readDatagram(m_receiveBuffer.data(), m_receiveBuffer.size());
                if (size <= 0)
                    break; // a socket error or an empty datagram ends the attempt
                m_replyBuffer.append(m_receiveBuffer.constData(), size);
            }
        } else {
            qCDebug(lcBus) << "send failed:" << m_udpClient->errorString();
        }
        qCDebug(lcBusLowLevel) << "<-" << m_replyBuffer.toHex(' ');
    }
    if (m_replyBuffer.size() > expectedLength)
        m_replyBuffer.truncate(expectedLength);
    m_busy = false;
}

QByteArray TControllerBus::Exchange(QByteArray request, int replyDataLength)
{
    m_lastAttempts = 0;
    if (m_busy || !isOpen())
        return {};
    const QByteArray frame = ControllerBus::seal(std::move(request));
    const int expected = replyDataLength + ControllerBus::CrcSize;
    const int timeoutMs = ControllerBus::exchangeTimeoutMs(static_cast<int>(frame.size()), replyDataLength,
                                                  m_timing.baseTimeoutMs);
    for (int attempt = 1; attempt <= ControllerBus::Attempts; ++attempt) {
        if (isStopped())
            break; // stopped: nothing more goes out, and the attempt cut short is not judged
        m_lastAttempts = attempt;
        m_busy = true;
        sendOnce(frame, expected, timeoutMs);
        // A short reply whose last two bytes happen to leave a zero residue is still short.
        if (m_replyBuffer.size() == expected && ControllerBus::residueIsZero(m_replyBuffer))
            return m_replyBuffer;
        qCDebug(lcBus) << "attempt" << attempt << "failed:" << m_replyBuffer.size() << "of" << expected
                       << "bytes";
    }
    return {};
}

void TControllerBus::resetController()
{
    if (!isStopped()) {
        SendCommand(Wire::Bus::UnitAddress, Wire::Bus::Reset);
        return;
    }
    m_lastAttempts = 0;
    if (m_busy || !isOpen())
        return;
    const QByteArray frame = ControllerBus::seal(ControllerBus::commandRequest(Wire::Bus::UnitAddress, Wire::Bus::Reset));
    const int timeoutMs = ControllerBus::exchangeTimeoutMs(static_cast<int>(frame.size()), ControllerBus::CommandReplyData,
                                                           m_timing.baseTimeoutMs);
    m_lastAttempts = 1;
    m_busy = true;
    sendOnce(frame, ControllerBus::CommandReplyData + ControllerBus::CrcSize,
             std::min(timeoutMs, ControllerBus::StoppedResetWaitMs), false);
}

QByteArray TControllerBus::SendCommand(quint8 unit, quint8 subCommand)
{
    QByteArray reply = Exchange(ControllerBus::commandRequest(unit, subCommand), ControllerBus::CommandReplyData);
    Pause(m_timing.commandPauseMs);
    return reply;
}

void TControllerBus::Pause(int milliseconds)
{
    // In short slices: a stop wakes the pause at once, and a thread that keeps something turning
    // through its waits (its idle hook) does so here too.
    constexpr qint64 SliceMs = 20;
    const QDeadlineTimer deadline(std::max(milliseconds, 0) + 1);
    while (!deadline.hasExpired() && !(m_stop && m_stop->load())) {
        QThread::msleep(static_cast<unsigned long>(std::clamp<qint64>(deadline.remainingTime(), 1, SliceMs)));
        SocketWait::keepAlive();
    }
}

bool TControllerBus::WriteBlock(quint8 unit, quint32 address, QByteArrayView data, const TBlockProgressEvent &onProgress)
{
    while (!data.isEmpty()) {
        if (m_stop && m_stop->load())
            return false;
        const int n = static_cast<int>(std::min<qsizetype>(Wire::Bus::MaxChunk, data.size()));
        if (Exchange(ControllerBus::writeRequest(unit, address, data.first(n)), ControllerBus::WriteReplyData).isEmpty())
            return false;
        data = data.sliced(n);
        address += static_cast<quint32>(n);
        if (onProgress)
            onProgress(n);
    }
    return true;
}

QByteArray TControllerBus::ReadBlock(quint8 unit, quint32 address, int count, const TBlockProgressEvent &onProgress)
{
    QByteArray result;
    result.reserve(std::max(count, 0));
    while (count > 0) {
        if (m_stop && m_stop->load())
            return {};
        const int n = std::min(Wire::Bus::MaxChunk, count);
        const QByteArray reply = Exchange(ControllerBus::readRequest(unit, address, n), ControllerBus::ReadReplyHeader + n);
        const std::optional<QByteArray> data = ControllerBus::readReplyData(reply, n);
        if (!data)
            return {};
        result.append(*data);
        count -= n;
        address += static_cast<quint32>(n);
        if (onProgress)
            onProgress(n);
    }
    return result;
}
