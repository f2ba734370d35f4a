#include "protocol/replyroutes.h"

#include "protocol/enginelog.h"

void TReplyRoutes::addWaiter(Waiter *waiter)
{
    std::lock_guard lock(m_mutex);
    m_waiters.push_back(waiter);
}

void TReplyRoutes::removeWaiter(Waiter *waiter)
{
    std::lock_guard lock(m_mutex);
    m_waiters.remove(waiter);
}

TReplyRoutes::WaitEnd TReplyRoutes::wait(Waiter &waiter, std::chrono::milliseconds timeout,
                                         const std::atomic<bool> *cancel)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(m_mutex);
    for (;;) {
        // A reply that came with the cancel still counts: the device did answer.
        if (waiter.answered)
            return WaitEnd::Answered;
        if (m_closed.load())
            return WaitEnd::Closed;
        if (cancel && cancel->load())
            return WaitEnd::Cancelled;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return WaitEnd::TimedOut;
        // Nothing notifies a cancel flag: it is looked at in slices.
        const auto rest = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now);
        m_changed.wait_for(lock, cancel ? std::min<std::chrono::nanoseconds>(rest, CancelPoll) : rest);
    }
}

bool TReplyRoutes::deliver(quint32 ip, quint8 command, const QByteArray &data)
{
    bool routed = false;
    {
        std::lock_guard lock(m_mutex);
        for (Waiter *waiter : m_waiters) {
            if (waiter->ip != ip || waiter->command != command || waiter->answered)
                continue;
            waiter->answered = true;
            waiter->data = data;
            routed = true;
        }
    }
    if (routed)
        m_changed.notify_all();
    return routed;
}

bool TReplyRoutes::enter()
{
    std::lock_guard lock(m_mutex);
    if (m_closed.load())
        return false;
    ++m_callers;
    return true;
}

void TReplyRoutes::leave()
{
    {
        std::lock_guard lock(m_mutex);
        --m_callers;
    }
    m_changed.notify_all();
}

void TReplyRoutes::closeAndWaitForCallers()
{
    std::unique_lock lock(m_mutex);
    m_closed.store(true);
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_callers == 0; });
}

int TReplyRoutes::addListener(TDiscoveryListener listener)
{
    std::lock_guard lock(m_listenerMutex);
    auto list = std::make_shared<ListenerList>(*m_listeners);
    const int id = m_nextListener++;
    auto entry = std::make_shared<Listener>();
    entry->id = id;
    entry->call = std::move(listener);
    list->push_back(std::move(entry));
    m_listeners = std::move(list);
    return id;
}

void TReplyRoutes::removeListener(int id)
{
    std::unique_lock lock(m_listenerMutex);
    auto list = std::make_shared<ListenerList>();
    for (const std::shared_ptr<Listener> &entry : *m_listeners) {
        if (entry->id == id)
            entry->removed.store(true); // a dispatch under way skips it from now on
        else
            list->push_back(entry);
    }
    m_listeners = std::move(list);
    // A call of it may be running on the listener thread: its owner may free what it uses once
    // this returns. The listener thread itself (a listener removing one) need not wait.
    if (m_dispatching && m_dispatcher != std::this_thread::get_id()) {
        const quint64 round = m_dispatchRound;
        m_dispatchEnded.wait(lock, [&] { return !m_dispatching || m_dispatchRound != round; });
    }
}

void TReplyRoutes::dispatch(const TDeviceDatagram &datagram)
{
    std::shared_ptr<const ListenerList> listeners;
    {
        std::lock_guard lock(m_listenerMutex);
        if (m_listeners->empty())
            return;
        listeners = m_listeners;
        m_dispatching = true;
        m_dispatcher = std::this_thread::get_id();
        ++m_dispatchRound;
    }
    for (const std::shared_ptr<Listener> &listener : *listeners) {
        if (listener->removed.load())
            continue;
        try {
            listener->call(datagram);
        } catch (...) {
            // A listener that cannot take a reply loses it; the others still get it.
            qCWarning(lcEngine) << "a discovery listener failed on a reply from" << datagram.sender;
        }
    }
    {
        std::lock_guard lock(m_listenerMutex);
        m_dispatching = false;
    }
    m_dispatchEnded.notify_all();
}

void TReplyRoutes::noteHeard(quint32 ip, const TNetworkAdapter &adapter)
{
    std::lock_guard lock(m_mutex);
    auto known = m_heard.find(ip);
    if (known == m_heard.end())
        m_heard.insert(ip, adapter);
    else if (PreferAdapter(*known, adapter, ip))
        *known = adapter;
}

std::optional<TNetworkAdapter> TReplyRoutes::heardThrough(quint32 ip) const
{
    std::lock_guard lock(m_mutex);
    const auto found = m_heard.constFind(ip);
    if (found == m_heard.cend())
        return std::nullopt;
    return *found;
}

bool TReplyRoutes::queueDiscovery(TDeviceDatagram datagram)
{
    std::lock_guard lock(m_mutex);
    m_queue.push_back(std::move(datagram));
    return !std::exchange(m_queueNotified, true);
}

bool TReplyRoutes::discoveryQueued() const
{
    std::lock_guard lock(m_mutex);
    return !m_queue.empty();
}

std::optional<TDeviceDatagram> TReplyRoutes::takeDiscovery()
{
    std::lock_guard lock(m_mutex);
    if (m_queue.empty()) {
        m_queueNotified = false;
        return std::nullopt;
    }
    TDeviceDatagram datagram = std::move(m_queue.front());
    m_queue.pop_front();
    return datagram;
}
