#include "deviceoperation.h"

#include "devicesession.h"
#include "serveur.h"

#include <QCryptographicHash>
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

QString Sha256Text(QByteArrayView bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
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
} // namespace

void SetOperationObserver(TOperationObserver observer)
{
    operationObserver() = std::move(observer);
}

void SetOperationStartObserver(TOperationObserver observer)
{
    startObserver() = std::move(observer);
}

TDeviceOperation::TDeviceOperation(TServeur *engine, const TDeviceTarget &target, const TOperationTiming &timing,
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
    m_worker->wait();
    delete m_worker;
    m_worker = nullptr;
}

void TDeviceOperation::start()
{
    if (m_state != State::Idle)
        return;
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
    m_outcome.message = failureMessage();
    m_state = State::Finished;
    emit finished();
}

void TDeviceOperation::cancel()
{
    m_cancel.store(true);
}

void TDeviceOperation::launch()
{
    m_state = State::Running;
    if (worksOnDevice()) {
        if (const TOperationObserver &observer = startObserver())
            observer(*this);
    }
    m_worker = QThread::create([this] {
        TDeviceSession session(*this);
        try {
            run(session);
        } catch (...) {
            // The device was put back where the operation could; the caller shows the error.
            m_outcome.succeeded = false;
            m_outcome.error = std::current_exception();
            if (m_outcome.failedStep.isEmpty())
                m_outcome.failedStep = session.currentLabel();
        }
        m_outcome.device = session.state();
        m_outcome.cancelled = m_cancel.load() && !m_outcome.succeeded;
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
