#pragma once
// While it lives, the application's proxy is a SOCKS5 proxy that nobody answers, as a
// technician's PC may be set up for its office network. Sockets that honour the proxy
// settings fail to bind, listen or connect; the program's device sockets must not.
#include <QNetworkProxy>

class UnreachableProxy
{
public:
    UnreachableProxy()
    {
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::Socks5Proxy, QStringLiteral("127.0.0.1"), 1)); // port 1: closed
    }
    ~UnreachableProxy() { QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::DefaultProxy)); }
    UnreachableProxy(const UnreachableProxy &) = delete;
    UnreachableProxy &operator=(const UnreachableProxy &) = delete;
};
