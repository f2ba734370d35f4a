#include "app/singleinstance.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#if defined(Q_OS_LINUX)
#include <unistd.h>
#endif

namespace {
const QByteArray RaiseRequest = "raise\n";

#if !defined(Q_OS_LINUX)
QString lockPath(const QString &identity)
{
    return QDir(QDir::tempPath()).filePath(identity + QStringLiteral(".lock"));
}
#endif
} // namespace

TSingleInstance::TSingleInstance(const QString &identity, QObject *parent) : QObject(parent), m_identity(identity) {}

TSingleInstance::~TSingleInstance() = default;

QString TSingleInstance::IdentityOf(const QString &executablePath)
{
    return QFileInfo(executablePath).fileName().toUpper();
}

bool TSingleInstance::ChannelIsAbstract()
{
#if defined(Q_OS_LINUX)
    return true;
#else
    return false;
#endif
}

QString TSingleInstance::ChannelName(const QString &identity)
{
#if defined(Q_OS_LINUX)
    return identity + u'.' + QString::number(getuid()); // one copy per user, as per desktop session
#else
    return identity;
#endif
}

bool TSingleInstance::Acquire()
{
    m_server = new QLocalServer(this);
#if defined(Q_OS_LINUX)
    m_server->setSocketOptions(QLocalServer::AbstractNamespaceOption);
    if (!m_server->listen(ChannelName(m_identity))) {
        if (m_server->serverError() == QAbstractSocket::AddressInUseError)
            return false;
        qWarning("tarvino: no one-copy lock: %s", qPrintable(m_server->errorString()));
        return true;
    }
#else
    m_lock = std::make_unique<QLockFile>(lockPath(m_identity));
    m_lock->setStaleLockTime(0); // a lock left by a copy that died is taken over
    if (!m_lock->tryLock(0)) {
        if (m_lock->error() == QLockFile::LockFailedError)
            return false;
        qWarning("tarvino: no one-copy lock in %s", qPrintable(QDir::tempPath()));
        return true;
    }
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(ChannelName(m_identity)); // a socket left by a copy that died
    if (!m_server->listen(ChannelName(m_identity)))
        return true;
#endif
    serveRaiseRequests();
    return true;
}

void TSingleInstance::serveRaiseRequests()
{
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *peer = m_server->nextPendingConnection()) {
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                if (peer->readAll().startsWith(RaiseRequest.trimmed()))
                    emit raiseRequested();
                peer->disconnectFromServer();
            });
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        }
    });
}

bool TSingleInstance::RaiseFirstCopy(int timeoutMs) const
{
    QLocalSocket socket;
#if defined(Q_OS_LINUX)
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
#endif
    socket.connectToServer(ChannelName(m_identity));
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(RaiseRequest);
    const bool written = socket.waitForBytesWritten(timeoutMs);
    socket.disconnectFromServer();
    return written;
}
