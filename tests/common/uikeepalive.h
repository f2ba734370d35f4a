#pragma once
// TUiKeepAlive: for tests and benchmarks that stand in for a window's thread. While one exists,
// the socket waits of the thread that made it process that thread's pending events after each
// slice without data, as a thread with an event loop to keep turning would through a blocking
// wait. The program itself sets no such hook: its windows never wait on a socket.

#include "protocol/socketwait.h"

#include <QCoreApplication>

class TUiKeepAlive
{
public:
    TUiKeepAlive() : m_hook([] { QCoreApplication::processEvents(); }) {}

private:
    SocketWait::IdleHook m_hook;
};
