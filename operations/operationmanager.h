#pragma once
// TOperationManager: the owner of every operation that works on a device through one engine, as
// QNetworkAccessManager owns its replies. A device is worked on by one operation at a time: an
// operation enters the manager before it sends its first request and leaves it once the device was
// put back; a second one on the same device is refused at once, with the first one named. The
// manager lists what runs, cancels it all and waits for it with a bound; closing the engine cancels
// and waits for every operation first, so that no worker outlives the engine it uses.
//
// One per engine, made on first use: TOperationManager::of(engine). Scans, searches and the network
// check only listen: they are owned and stopped like the others, but never hold a device.

#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

class TDeviceOperation;
class TDatagramEngine;

class TOperationManager : public QObject
{
    Q_OBJECT
public:
    // The engine's manager, made (as the engine's child) on first use. Call on the engine's thread.
    static TOperationManager *of(TDatagramEngine *engine);

    // What one running operation is doing, for lists and the busy message.
    struct Running
    {
        TDeviceOperation *operation = nullptr;
        QString ip;
        bool holdsDevice = false; // works on its device, which no other operation may then do
        QString title;  // "Controller upgrade"
        QString phase;  // the last step or phase it told, "Writing Code"
        int percent = -1; // of its transfer, -1 before one
    };

    // Any thread. Every running operation, or those that hold a device.
    QList<Running> running() const;
    int count() const;
    int deviceOperationCount() const;
    bool isBusy(const QString &ip) const;
    // "198.18.1.5 is busy: Controller upgrade (63 %)"; empty when the device is free.
    QString busyText(const QString &ip) const;

    // Asks every running operation to stop; each still puts its device back.
    void cancelAll();
    // Runs the caller's event loop until no operation runs or boundMs have passed; true when none
    // runs any more. Each operation's end reaches its caller and the history meanwhile.
    bool waitForAll(int boundMs);

signals:
    // An operation entered or left; phase and progress changes are not told.
    void changed();

private:
    friend class TDeviceOperation;
    explicit TOperationManager(TDatagramEngine *engine);
    // False, with the operation that holds the device, when another one works on it.
    bool enter(TDeviceOperation *operation, bool holdsDevice, QString *busyMessage);
    void leave(TDeviceOperation *operation);
    void track(TDeviceOperation *operation);
    void engineClosing();

    mutable QMutex m_mutex;
    QList<Running> m_running;
};
