#pragma once
// Only one copy of the program runs at a time. The lock is named after the
// executable's file name in upper case; a second copy asks the first one to
// come to the front and ends without showing anything.
//
// On Linux the lock and the channel to the first copy are one socket in the kernel's
// abstract namespace: taken atomically, held by no file, and freed however the copy
// ends. It is per user and, like every abstract name, per network namespace. Elsewhere
// a lock file in the temporary folder guards a local server of the same name.

#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLockFile;

class TSingleInstance : public QObject
{
    Q_OBJECT
public:
    // identity: the upper-cased executable file name, e.g. "TARVINO".
    explicit TSingleInstance(const QString &identity, QObject *parent = nullptr);
    ~TSingleInstance() override;

    static QString IdentityOf(const QString &executablePath);
    // The name the first copy listens on, as a local socket name.
    static QString ChannelName(const QString &identity);
    static bool ChannelIsAbstract();

    // True for the first copy, which then listens for later ones; false when another copy
    // holds the lock. A lock that cannot be had for any other reason lets the copy run.
    bool Acquire();
    // Asks the running copy to raise its window; false when none answered.
    bool RaiseFirstCopy(int timeoutMs = 2000) const;

signals:
    void raiseRequested();

private:
    void serveRaiseRequests();

    QString m_identity;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
};
