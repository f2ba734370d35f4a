#include "operations/deviceoperation.h"

#include "operations/devicesession.h"
#include "protocol/errors.h"
#include "ftp/ftpclient.h"
#include "operations/operationmanager.h"
#include "protocol/datagramengine.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QPointer>
#include <QThread>

Q_LOGGING_CATEGORY(lcOperations, "tarvino.operations", QtInfoMsg)

QString FirmwareWarningText()
{
    return QStringLiteral("CAUTION: You selected the function to update the firmware.\r\n"
                          "By updating your firmware, your are taking a risk of flash failure.\r\n"
                          " \r\n"
                          "If your firmware is working stable, and there are no major bugs \r\n"
                          "that had been fixed by a later revision, we recommend that you \r\n"
                          "DO NOT try to upgrade your current version.");
}

namespace {
TOperationObserver &operationObserver()
{
    static TOperationObserver observer;
    return observer;
}
TOperationObserver &startObserver()
{
    static TOperationObserver observer;
    return observer;
}

// How long a destructor waits for its worker after cancelling it. Every wait of a worker wakes within
// a tenth of a second of a cancel; what remains is putting the device back, a few requests.
constexpr int WorkerStopBoundMs = 30000;

// The kind of an error that left an operation's work.
TOperationError errorKindOf(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const FtpError &) {
        return TOperationError::TransferFailed;
    } catch (const ConnectionError &) {
        return TOperationError::TransferFailed;
    } catch (const TarvinoError &) {
        // What else the operations raise: a file that cannot be read.
        return TOperationError::FileError;
    } catch (...) {
        return TOperationError::Environment;
    }
}
} // namespace

void SetOperationObserver(TOperationObserver observer)
{
    operationObserver() = std::move(observer);
}

void SetOperationStartObserver(TOperationObserver observer)
{
    startObserver() = std::move(observer);
}

TDeviceOperation::TDeviceOperation(TDatagramEngine *engine, const TDeviceTarget &target, const TOperationTiming &timing,
                                   QObject *parent)
    : QObject(parent), m_engine(engine), m_target(target), m_timing(timing)
{
}

TDeviceOperation::~TDeviceOperation()
{
    stopWorker();
}

void TDeviceOperation::stopWorker()
{
    if (!m_worker)
        return;
    cancel();
    if (!waitForWorker(QDeadlineTimer(WorkerStopBoundMs))) {
        // Its members are about to go: it must not run on. The log said why this waits on.
        m_worker->wait();
    }
    delete m_worker;
    m_worker = nullptr;
    if (m_manager)
        m_manager->leave(this);
}

bool TDeviceOperation::waitForWorker(const QDeadlineTimer &deadline)
{
    if (!m_worker || m_worker->wait(deadline))
        return true;
    // The worker thread carries the operation's title: this may run from the base's destructor.
    qCCritical(lcOperations).noquote() << m_worker->objectName() << "on" << m_target.ip
                                       << "did not stop within its bound after being cancelled";
    return false;
}

void TDeviceOperation::start()
{
    if (m_state != State::Idle)
        return;
    // Refused before the warning is shown: there is nothing to confirm on a busy device.
    m_manager = m_engine ? TOperationManager::of(m_engine) : nullptr;
    if (m_manager && worksOnDevice()) {
        if (const QString busy = m_manager->busyText(m_target.ip); !busy.isEmpty()) {
            refuseAsBusy(busy);
            return;
        }
    }
    if (needsConfirmation()) {
        m_state = State::AwaitingConfirmation;
        emit confirmationRequested();
        return;
    }
    launch();
}

void TDeviceOperation::confirm(bool accepted)
{
    if (m_state != State::AwaitingConfirmation)
        return;
    if (accepted) {
        launch();
        return;
    }
    // Nothing was sent: the device is as it was.
    m_outcome.declined = true;
    m_outcome.kind = TOperationError::Declined;
    m_outcome.message = failureMessage();
    m_state = State::Finished;
    emit finished();
}

void TDeviceOperation::cancel()
{
    m_cancel.store(true);
}

void TDeviceOperation::refuseAsBusy(const QString &message)
{
    m_outcome.kind = TOperationError::Busy;
    m_outcome.message = message;
    m_state = State::Finished;
    emit finished();
}

void TDeviceOperation::launch()
{
    // Another operation may have taken the device while the warning was shown.
    if (QString busy; m_manager && !m_manager->enter(this, worksOnDevice(), &busy)) {
        refuseAsBusy(busy);
        return;
    }
    if (worksOnDevice()) {
        if (const TOperationObserver &observer = startObserver())
            observer(*this);
    }
    m_state = State::Running;
    m_worker = QThread::create([this] {
        TDeviceSession session(*this);
        try {
            run(session);
        } catch (...) {
            // The device was put back where the operation could; the caller shows the error.
            m_outcome.succeeded = false;
            m_outcome.error = std::current_exception();
            if (m_outcome.kind == TOperationError::None)
                m_outcome.kind = errorKindOf(m_outcome.error);
            if (m_outcome.failedStep.isEmpty())
                m_outcome.failedStep = session.currentLabel();
        }
        m_outcome.device = session.state();
        m_outcome.cancelled = m_cancel.load() && !m_outcome.succeeded;
        // A cancel is what the caller asked for, whatever step it cut short.
        if (m_outcome.cancelled)
            m_outcome.kind = TOperationError::Cancelled;
        else if (m_outcome.succeeded)
            m_outcome.kind = TOperationError::None;
        else if (m_outcome.kind == TOperationError::None)
            m_outcome.kind = TOperationError::NotResponding;
        if (!m_outcome.succeeded)
            m_outcome.message = composeMessage(session.cause());
        QMetaObject::invokeMethod(this, [this] { workerDone(); }, Qt::QueuedConnection);
    });
    m_worker->setObjectName(title());
    m_worker->start();
}

void TDeviceOperation::workerDone()
{
    m_worker->wait();
    delete m_worker;
    m_worker = nullptr;
    m_state = State::Finished;
    // The device was put back: it is free for the next operation before anyone hears of the end.
    if (m_manager)
        m_manager->leave(this);
    qCDebug(lcOperations).noquote() << title() << m_target.ip << (m_outcome.succeeded ? "succeeded" : "failed")
                                    << m_outcome.failedStep << m_outcome.message;
    if (const TOperationObserver &observer = operationObserver())
        observer(*this);
    emit finished();
}

QString TDeviceOperation::composeMessage(const QString &cause) const
{
    // The operation's own failure text, then what went wrong, then what the device is left in
    // when it could not be put back.
    QStringList lines;
    if (!failureMessage().isEmpty())
        lines << failureMessage();
    if (!cause.isEmpty() && !lines.contains(cause))
        lines << cause;
    if (!m_outcome.device.normal())
        lines << QStringLiteral("The device is left with its %1.").arg(m_outcome.device.text());
    return lines.join(QStringLiteral("\r\n"));
}

TOperationOutcome TDeviceOperation::exec()
{
    QEventLoop loop;
    connect(this, &TDeviceOperation::finished, &loop, &QEventLoop::quit);
    start();
    if (!isFinished())
        loop.exec();
    return m_outcome;
}
