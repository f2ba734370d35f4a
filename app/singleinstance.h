#pragma once
// Only one copy of the program runs at a time. The lock is named after the
// executable's file name in upper case; a second copy asks the first one to
// come to the front and ends without showing anything.

#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;

class TSingleInstance : public QObject
{
    Q_OBJECT
public:
    // identity: the upper-cased executable file name, e.g. "TARVINO".
    explicit TSingleInstance(const QString &identity, QObject *parent = nullptr);
    ~TSingleInstance() override;

    static QString IdentityOf(const QString &executablePath);

    // True for the first copy, which then listens for later ones.
    bool Acquire();
    // Asks the running copy to raise its window; false when none answered.
    bool RaiseFirstCopy(int timeoutMs = 2000) const;

signals:
    void raiseRequested();

private:
    QString m_identity;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
};
