#pragma once
// Client of the controller bus: Modbus-RTU-shaped frames (unit, function, data, CRC-16/MODBUS low byte
// first) carried in UDP datagrams to the bus port of the device, one request and one reply at a time.

#include "protocol/wire.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <optional>

class QUdpSocket;

// Called after each chunk of a block transfer with the number of bytes of that chunk.
using TBlockProgressEvent = std::function<void(int)>;

namespace ControllerBus {

// Every receive waits this long plus one millisecond per byte sent and per reply byte expected.
constexpr int BaseTimeoutMs = 1002;
// SendCommand lets the controller act on a command before the next frame reaches it.
constexpr int CommandPauseMs = 100;
// Each exchange resends the same frame at most this many times in all.
constexpr int Attempts = 3;
// The reset that puts a controller back after a stop goes out once and waits at most this long for
// its reply: nobody waits for it then, and the controller needs no more to act on it.
constexpr int StoppedResetWaitMs = 300;
// The largest datagram a receive takes; anything longer is cut.
constexpr int ReceiveBufferSize = 8192;

// Reply bytes before the CRC.
constexpr int CommandReplyData = 3;
constexpr int ReadReplyHeader = 7; // unit, function, marker, three address bytes, count
constexpr int WriteReplyData = 7;
constexpr int CrcSize = 2;

struct Timing
{
    int baseTimeoutMs = BaseTimeoutMs;
    int commandPauseMs = CommandPauseMs;
};

// CRC-16/MODBUS in its usual form (0x4B37 for "123456789"): the low byte goes first on the wire.
quint16 crc16(QByteArrayView bytes);

// Request bodies, CRC not yet added. Addresses go out as their low 24 bits, most significant first.
QByteArray commandRequest(quint8 unit, quint8 subCommand);
QByteArray readRequest(quint8 unit, quint32 address, int count);
QByteArray writeRequest(quint8 unit, quint32 address, QByteArrayView data);

// The frame as sent: a unit byte 0x00 goes out as 0xFF, the unit every controller answers, then the
// CRC over the bytes as sent.
QByteArray seal(QByteArray request);

// A received frame is good when the CRC over all of it, its own CRC bytes included, is 0.
bool residueIsZero(QByteArrayView frame);

// The data bytes of a read reply for count bytes, or nothing when the reply is too short to hold them.
std::optional<QByteArray> readReplyData(QByteArrayView reply, int count);

constexpr int exchangeTimeoutMs(int frameLength, int replyDataLength, int baseMs = BaseTimeoutMs)
{
    return frameLength + replyDataLength + baseMs;
}

} // namespace ControllerBus

// One maintenance operation's connection to a controller. Every call blocks the calling thread until
// the device has answered or the attempts are used up; on the GUI thread waits keep the window alive.
class TControllerBus : public QObject
{
    Q_OBJECT

public:
    TControllerBus(QObject *owner, const QString &host, quint16 port = Wire::BusPort, ControllerBus::Timing timing = {});
    ~TControllerBus() override;

    TControllerBus(const TControllerBus &) = delete;
    TControllerBus &operator=(const TControllerBus &) = delete;

    // Binds a datagram socket to a port of the system's choice; true at once if it is already bound.
    bool Open();
    void Close();
    bool isOpen() const;

    // The CRC as the 16-bit value whose high byte is sent first (the CRC's low byte).
    static quint16 ComputeCrc(QByteArrayView bytes);

    // The reply (replyDataLength bytes and the CRC) or empty after three failed attempts, while Busy,
    // when the socket is not open, or once the stop flag is set: a stop wakes the reply wait at once
    // and no further attempt goes out (none at all when it was set before the call).
    QByteArray Exchange(QByteArray request, int replyDataLength);

    // A one-byte command; pauses afterwards whatever the result.
    QByteArray SendCommand(quint8 unit, quint8 subCommand);

    // Handles events until more than the given time has passed (at least one pass always); off the
    // GUI thread it sleeps.
    void Pause(int milliseconds);

    // The reset command (sub-command 0x00); its reply does not matter to anyone. It is how a
    // controller is put back, so it goes out even once stopped: then as one attempt whose wait is
    // cut to StoppedResetWaitMs, with no pause after it.
    void resetController();

    // Once the flag is set, every wait ends within SocketWait::StopPollMs, block transfers fail
    // before their next chunk and no request but resetController() goes out (a cancelled operation).
    void setStopFlag(const std::atomic<bool> *flag) { m_stop = flag; }
    bool isStopped() const { return m_stop && m_stop->load(); }

    // In chunks of at most Wire::Bus::MaxChunk bytes; false at the first chunk that gets no reply.
    bool WriteBlock(quint8 unit, quint32 address, QByteArrayView data,
                    const TBlockProgressEvent &onProgress = {});
    // The bytes read, or empty when a chunk gets no reply (earlier chunks are dropped) or count is 0.
    QByteArray ReadBlock(quint8 unit, quint32 address, int count, const TBlockProgressEvent &onProgress = {});

    const QString &Host() const { return m_host; }
    bool Busy() const { return m_busy; }
    // How many times the last Exchange sent its request (0 when it returned at once). More than
    // one means the device may have acted on the request more than once: an earlier attempt can
    // have reached it with only its reply lost.
    int LastAttempts() const { return m_lastAttempts; }
    const QByteArray &ReplyBuffer() const { return m_replyBuffer; }
    quint16 localPort() const;

private:
    void discardStaleDatagrams();
    // One attempt: send the frame, collect datagrams into ReplyBuffer() until expectedLength bytes
    // (cut to it); a failure shows as a short buffer. The stop flag ends the wait when stoppable.
    void sendOnce(const QByteArray &frame, int expectedLength, int timeoutMs, bool stoppable = true);

    QString m_host;
    bool m_busy = false;
    int m_lastAttempts = 0;
    QByteArray m_replyBuffer;
    QUdpSocket *m_udpClient = nullptr;

    QHostAddress m_address;
    quint16 m_port;
    ControllerBus::Timing m_timing;
    QByteArray m_receiveBuffer;
    const std::atomic<bool> *m_stop = nullptr;
};
