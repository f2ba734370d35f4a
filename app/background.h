#pragma once
// Work that would hold the window's event loop too long (reading the history, hashing images,
// comparing a long list), done on a thread of its own. Its result comes back to the window's
// thread and is dropped when the context object is gone by then. What the work captured is freed
// on the worker: a last reference to a long list never costs the window its freeing. The worker
// gives way to the window's thread: on a busy machine the result comes later, the window never
// waits.

#include "platform/platform.h"

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <utility>

template <typename Work, typename Done>
void RunInBackground(QObject *context, Work work, Done done)
{
    const QPointer<QObject> target(context);
    auto *worker = QThread::create([target, work = std::move(work), done = std::move(done)]() mutable {
        Platform::giveWayToOtherThreads();
        auto result = [&] {
            Work local = std::move(work); // its captures end here, on the worker
            return local();
        }();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [target, done = std::move(done), result = std::move(result)]() mutable {
                if (target)
                    done(std::move(result));
            },
            Qt::QueuedConnection);
    });
    QObject::connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

// Frees a large value (a list, a table of tens of thousands of records) on a worker thread.
template <typename Value>
void FreeInBackground(Value value)
{
    auto *worker = QThread::create([value = std::move(value)]() mutable {
        Platform::giveWayToOtherThreads();
        Value gone = std::move(value);
    });
    QObject::connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}
