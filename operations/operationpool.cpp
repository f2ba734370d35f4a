#include "operations/operationpool.h"

#include "operations/deviceoperation.h"

#include <QEventLoop>

#include <algorithm>

TOperationPool::TOperationPool(int maxRunning, QObject *parent) : QObject(parent), m_maxRunning(std::max(1, maxRunning))
{
}

void TOperationPool::add(TDeviceOperation *operation)
{
    operation->setParent(this);
    m_operations.append(operation);
    m_waiting.append(operation);
    connect(operation, &TDeviceOperation::confirmationRequested, this, [this, operation] {
        operation->confirm(m_confirmed);
    });
    connect(operation, &TDeviceOperation::finished, this, [this, operation] {
        --m_running;
        emit operationFinished(operation);
        startMore();
    });
    if (m_started)
        startMore();
}

void TOperationPool::start()
{
    if (m_started)
        return;
    m_started = true;
    startMore();
}

void TOperationPool::cancel()
{
    m_cancelled = true;
    for (TDeviceOperation *operation : std::as_const(m_operations))
        if (operation->isRunning())
            operation->cancel();
    startMore(); // announces the end when nothing runs
}

void TOperationPool::startMore()
{
    const auto deviceTaken = [this](const TDeviceOperation *waiting) {
        if (!waiting->worksOnDevice())
            return false;
        return std::any_of(m_operations.cbegin(), m_operations.cend(), [waiting](const TDeviceOperation *other) {
            return other != waiting && other->isRunning() && other->worksOnDevice()
                && other->target().ip == waiting->target().ip;
        });
    };
    for (qsizetype i = 0; !m_cancelled && m_running < m_maxRunning && i < m_waiting.size();) {
        TDeviceOperation *operation = m_waiting.at(i);
        if (deviceTaken(operation)) {
            ++i;
            continue;
        }
        m_waiting.removeAt(i);
        ++m_running;
        emit operationStarted(operation);
        operation->start(); // may finish at once (declined): the count is settled by finished()
    }
    if (m_running == 0 && (m_cancelled || m_waiting.isEmpty()) && !m_announced) {
        m_announced = true;
        emit allFinished();
    }
}

void TOperationPool::exec()
{
    QEventLoop loop;
    connect(this, &TOperationPool::allFinished, &loop, &QEventLoop::quit);
    start();
    if (m_running > 0)
        loop.exec();
}
