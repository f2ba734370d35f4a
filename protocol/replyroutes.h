#pragma once
// TReplyRoutes: who waits for which reply. The engine's blocking requests list a waiter for the
// reply of one command from one device; the listener thread hands each command reply to the
// waiters of that command from that device, and each discovery reply to the discovery listeners
// and to the queue of the engine's own thread. It also keeps the adapter each device was heard
// through, and ends every wait when the engine closes.
//
// Thread-safe; a discovery listener is called outside its locks, so it may add and remove
// listeners and ask the engine anything.

#include "protocol/devicedatagram.h"
#include "protocol/netadapters.h"

#include <QByteArray>
#include <QHash>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class TReplyRoutes
{
public:
    // A request of the engine, blocked on its caller's thread.
    struct Waiter
    {
        quint32 ip = 0;
        quint8 command = 0;
        bool answered = false;
        QByteArray data; // the first reply routed to it
    };
    enum class WaitEnd { Answered, TimedOut, Cancelled, Closed };

    // The waiter is listed from before its request leaves (a prompt reply is not missed) until
    // its wait is over.
    void addWaiter(Waiter *waiter);
    void removeWaiter(Waiter *waiter);
    // Blocks until the waiter is answered, the timeout passes, *cancel turns true (looked at
    // every CancelPoll; nullptr: no cancel) or close() is called, whichever comes first.
    WaitEnd wait(Waiter &waiter, std::chrono::milliseconds timeout, const std::atomic<bool> *cancel);
    // Listener thread: hands a command's reply to the waiters of that command from that device
    // that have no reply yet; false when none waited for it.
    bool deliver(quint32 ip, quint8 command, const QByteArray &data);

    // The engine's callers that block (waits, TCP exchanges, sends through the listener thread)
    // are counted from enter() to leave(), so that the engine outlives them. enter() is false
    // once closed: the caller then leaves at once.
    bool enter();
    void leave();
    // Ends every wait, now and to come (they return Closed), then blocks until every caller has
    // left.
    void closeAndWaitForCallers();
    bool closed() const { return m_closed.load(); }

    // Discovery listeners. Once removeListener() returns, the listener is not called again, and
    // (when removed from another thread than the listener thread) no call of it is still running.
    int addListener(TDiscoveryListener listener);
    void removeListener(int id);
    // Listener thread: calls every listener with the datagram, outside the locks.
    void dispatch(const TDeviceDatagram &datagram);

    // With several adapters: the adapter each device was heard through, so that its commands
    // leave through the same one.
    void noteHeard(quint32 ip, const TNetworkAdapter &adapter);
    std::optional<TNetworkAdapter> heardThrough(quint32 ip) const;

    // The discovery replies for the engine's own thread, in arrival order. queueDiscovery() is
    // true when the queue was idle and its reader must be woken; takeDiscovery() gives nothing
    // once it is empty, and the next reply wakes the reader again.
    bool queueDiscovery(TDeviceDatagram datagram);
    std::optional<TDeviceDatagram> takeDiscovery();
    // Whether replies wait in the queue (any thread).
    bool discoveryQueued() const;

    // How often a wait with a cancel flag looks at it: well within the 100 ms a cancel may take.
    static constexpr std::chrono::milliseconds CancelPoll{50};

private:
    struct Listener
    {
        int id;
        TDiscoveryListener call;
        std::atomic<bool> removed{false};
    };
    using ListenerList = std::vector<std::shared_ptr<Listener>>;

    mutable std::mutex m_mutex; // waiters, callers, heard adapters, the queue
    std::condition_variable m_changed;
    std::list<Waiter *> m_waiters;
    std::atomic<bool> m_closed{false};
    int m_callers = 0;
    QHash<quint32, TNetworkAdapter> m_heard;
    std::deque<TDeviceDatagram> m_queue;
    bool m_queueNotified = false;

    // The list is replaced, never changed in place: a dispatch calls a snapshot of it.
    std::mutex m_listenerMutex;
    std::condition_variable m_dispatchEnded;
    std::shared_ptr<const ListenerList> m_listeners = std::make_shared<ListenerList>();
    int m_nextListener = 1;
    bool m_dispatching = false;
    std::thread::id m_dispatcher;
    quint64 m_dispatchRound = 0;
};
