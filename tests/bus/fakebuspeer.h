#pragma once
// An in-process controller on 127.0.0.1 for the bus tests: answers bus frames from a thread of its
// own (the client blocks the test's thread), misbehaves as its plan says and keeps every frame it got.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

struct FakeBusPlan
{
    bool silent = false;
    int splitAt = 0;         // > 0: each reply goes out as two datagrams, the first this long
    QByteArray trailing;     // extra bytes sent after each reply's CRC, in the same datagram
    int badCrcReplies = 0;   // the first this many replies carry a damaged CRC
    int answerCount = -1;    // answer only the first this many requests (-1: all)
    int delayMs = 0;         // before each reply
    bool fromOtherPort = false; // replies leave from a second socket
    bool emptyReply = false; // a zero-length datagram instead of each reply
};

class FakeBusPeer
{
public:
    using Plan = FakeBusPlan;

    explicit FakeBusPeer(const Plan &plan = {});
    ~FakeBusPeer();
    FakeBusPeer(const FakeBusPeer &) = delete;
    FakeBusPeer &operator=(const FakeBusPeer &) = delete;

    bool isListening() const { return m_fd >= 0; }
    quint16 port() const { return m_port; }
    QList<QByteArray> received() const; // every datagram, as it came
    QByteArray memory(quint32 address, int count) const;

    // The bit-wise CRC-16/MODBUS, kept apart from the client's table-driven one.
    static quint16 referenceCrc(QByteArrayView bytes);
    static QByteArray withReferenceCrc(QByteArray frame);
    // What the peer keeps at an address it was never asked to write.
    static quint8 initialByte(quint32 address);

private:
    void run();
    QByteArray answer(const QByteArray &request);

    Plan m_plan;
    int m_fd = -1;
    int m_otherFd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    QList<QByteArray> m_received;
    std::vector<quint8> m_memory;
    int m_answered = 0;
    std::thread m_thread;
};
