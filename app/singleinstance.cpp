#include "singleinstance.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

namespace {
const QByteArray RaiseRequest = "raise\n";

QString lockPath(const QString &identity)
{
    return QDir(QDir::tempPath()).filePath(identity + QStringLiteral(".lock"));
}
} // namespace

TSingleInstance::TSingleInstance(const QString &identity, QObject *parent) : QObject(parent), m_identity(identity) {}

TSingleInstance::~TSingleInstance() = default;

QString TSingleInstance::IdentityOf(const QString &executablePath)
{
    return QFileInfo(executablePath).fileName().toUpper();
}

bool TSingleInstance::Acquire()
{
    m_lock = std::make_unique<QLockFile>(lockPath(m_identity));
    m_lock->setStaleLockTime(0); // a lock left by a copy that died is taken over
    if (!m_lock->tryLock(0))
        return false;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(m_identity); // a socket left by a copy that died
    if (m_server->listen(m_identity)) {
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
    return true;
}

bool TSingleInstance::RaiseFirstCopy(int timeoutMs) const
{
    QLocalSocket socket;
    socket.connectToServer(m_identity);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(RaiseRequest);
    const bool written = socket.waitForBytesWritten(timeoutMs);
    socket.disconnectFromServer();
    return written;
}
