#pragma once
// TOperationPool: runs many device operations, a few at a time. Each keeps its own outcome; the
// pool starts the next waiting one as soon as a running one ends. Two operations of the pool on one
// device never run at once: the later one waits, and those behind it on other devices go first.

#include <QList>
#include <QObject>

class TDeviceOperation;

class TOperationPool : public QObject
{
    Q_OBJECT
public:
    explicit TOperationPool(int maxRunning = 4, QObject *parent = nullptr);

    // The pool takes the operation (it becomes its child). Added while the pool runs, it waits
    // its turn.
    void add(TDeviceOperation *operation);
    // Operations that ask for confirmation get it from the pool: the caller has asked once for all.
    void setConfirmed(bool confirmed) { m_confirmed = confirmed; }
    void start();
    // Starts no new operation and cancels the running ones (which still put their devices back).
    void cancel();

    const QList<TDeviceOperation *> &operations() const { return m_operations; }
    int running() const { return m_running; }
    // Every operation has ended, or the pool was cancelled and its running ones have (the others
    // never start).
    bool isFinished() const { return m_started && m_running == 0 && (m_cancelled || m_waiting.isEmpty()); }
    // start(), then a local event loop until every operation has ended.
    void exec();

signals:
    void operationStarted(TDeviceOperation *operation);
    void operationFinished(TDeviceOperation *operation);
    void allFinished();

private:
    void startMore();

    int m_maxRunning;
    bool m_confirmed = false;
    bool m_started = false;
    bool m_cancelled = false;
    bool m_announced = false;
    int m_running = 0;
    QList<TDeviceOperation *> m_waiting; // added, not started, in order
    QList<TDeviceOperation *> m_operations;
};
