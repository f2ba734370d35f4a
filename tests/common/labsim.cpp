#include "labsim.h"

#include "platform/platform.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <csignal>

namespace {

constexpr quint32 FirstDevice = 0xC6120101; // 198.18.1.1
constexpr quint32 PcAddress = 0xC6120001;   // 198.18.0.1
constexpr int PollMs = 20;

QString ipCommand()
{
    const QString found = Platform::systemTool(QStringLiteral("ip"));
    return found.isEmpty() ? QStringLiteral("ip") : found;
}

} // namespace

LabSimulator::LabSimulator() = default;

LabSimulator::~LabSimulator()
{
    stop();
}

bool LabSimulator::inLab()
{
    return qEnvironmentVariable("TARVINO_LAB") == QLatin1String("1");
}

QString LabSimulator::devsimPath()
{
    const QString fromEnvironment = qEnvironmentVariable("TARVINO_DEVSIM");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
#ifdef TARVINO_DEVSIM_PATH
    return QStringLiteral(TARVINO_DEVSIM_PATH);
#else
    return {};
#endif
}

QHostAddress LabSimulator::pcAddress()
{
    return QHostAddress(PcAddress);
}

QHostAddress LabSimulator::deviceAddress(int index)
{
    return QHostAddress(FirstDevice + quint32(index));
}

QString LabSimulator::deviceIp(int index)
{
    return deviceAddress(index).toString();
}

bool LabSimulator::start(int devices, const QStringList &arguments)
{
    stop();
    m_error.clear();
    m_lastSerial = 0;
    m_dir = std::make_unique<QTemporaryDir>();
    if (!m_dir->isValid()) {
        m_error = QStringLiteral("no temporary directory: %1").arg(m_dir->errorString());
        return false;
    }
    const QString devsim = devsimPath();
    if (devsim.isEmpty() || !QFile::exists(devsim)) {
        m_error = QStringLiteral("tarvino-devsim not found (%1)").arg(devsim);
        return false;
    }
    QStringList args{QStringLiteral("netns"), QStringLiteral("exec"), m_namespace, devsim,
                     QStringLiteral("--devices"), QString::number(devices),
                     QStringLiteral("--journal"), journalPath(),
                     QStringLiteral("--state"), statePath(),
                     QStringLiteral("--ftp-root"), ftpRoot(),
                     QStringLiteral("--exit-with-parent")};
    args += arguments;

    m_process = std::make_unique<QProcess>();
    m_process->setProgram(ipCommand());
    m_process->setArguments(args);
    m_process->start();
    if (!m_process->waitForStarted(StartTimeoutMs)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(ipCommand(), m_process->errorString());
        m_process.reset();
        return false;
    }
    QByteArray out;
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!out.contains("ready\n")) {
        if (m_process->state() != QProcess::Running || deadline.hasExpired()) {
            m_error = QStringLiteral("tarvino-devsim did not get ready: %1")
                          .arg(QString::fromLocal8Bit(m_process->readAllStandardError()).trimmed());
            stop();
            return false;
        }
        m_process->waitForReadyRead(int(std::min<qint64>(deadline.remainingTime(), 200)));
        out += m_process->readAllStandardOutput();
    }
    return true;
}

void LabSimulator::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate(); // SIGTERM to this process id only
        if (!m_process->waitForFinished(5000)) {
            m_process->kill();
            m_process->waitForFinished(2000);
        }
    }
    m_process.reset();
}

bool LabSimulator::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

qint64 LabSimulator::processId() const
{
    return m_process ? m_process->processId() : 0;
}

QString LabSimulator::standardError() const
{
    return m_process ? QString::fromLocal8Bit(m_process->readAllStandardError()) : QString();
}

QString LabSimulator::workDir() const
{
    return m_dir ? m_dir->path() : QString();
}

QString LabSimulator::journalPath() const
{
    return workDir() + QStringLiteral("/journal.jsonl");
}

QString LabSimulator::statePath() const
{
    return workDir() + QStringLiteral("/state.json");
}

QString LabSimulator::ftpRoot() const
{
    return workDir() + QStringLiteral("/ftp");
}

QList<QJsonObject> LabSimulator::journal() const
{
    QList<QJsonObject> lines;
    QFile file(journalPath());
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    const QByteArray all = file.readAll();
    qsizetype start = 0;
    for (qsizetype end = all.indexOf('\n'); end >= 0; start = end + 1, end = all.indexOf('\n', start)) {
        // Only whole lines: the simulator may be writing the next one.
        const QJsonDocument document = QJsonDocument::fromJson(all.mid(start, end - start));
        if (document.isObject())
            lines << document.object();
    }
    return lines;
}

QList<QJsonObject> LabSimulator::requests(const QString &device, int port) const
{
    QList<QJsonObject> out;
    for (const QJsonObject &line : journal()) {
        if (!line.contains(QLatin1String("port")) || line.contains(QLatin1String("event")))
            continue;
        if (!device.isEmpty() && line.value(QLatin1String("device")).toString() != device)
            continue;
        if (port != 0 && line.value(QLatin1String("port")).toInt() != port)
            continue;
        out << line;
    }
    return out;
}

QList<QJsonObject> LabSimulator::stateChanges(const QString &device) const
{
    QList<QJsonObject> out;
    for (const QJsonObject &line : journal())
        if (line.value(QLatin1String("event")).toString() == QLatin1String("state")
            && (device.isEmpty() || line.value(QLatin1String("device")).toString() == device))
            out << line;
    return out;
}

bool LabSimulator::waitForJournal(const std::function<bool(const QList<QJsonObject> &)> &done, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (done(journal()))
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(PollMs);
    }
}

bool LabSimulator::clearFaults(int timeoutMs)
{
    if (!isRunning())
        return false;
    ::kill(pid_t(m_process->processId()), SIGUSR2);
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray out;
    while (!out.contains("faults cleared\n")) {
        if (deadline.hasExpired() || !m_process->waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
            return false;
        out += m_process->readAllStandardOutput();
    }
    return true;
}

QJsonObject LabSimulator::state(int timeoutMs)
{
    if (!isRunning())
        return {};
    ::kill(pid_t(m_process->processId()), SIGUSR1);
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        QFile file(statePath());
        if (file.open(QIODevice::ReadOnly)) {
            const QJsonObject state = QJsonDocument::fromJson(file.readAll()).object();
            const int serial = state.value(QLatin1String("serial")).toInt();
            if (serial > m_lastSerial) {
                m_lastSerial = serial;
                return state;
            }
        }
        QThread::msleep(PollMs);
    }
    return {};
}

QJsonObject LabSimulator::deviceState(int index, int timeoutMs)
{
    const QJsonObject all = state(timeoutMs);
    const auto devices = all.value(QLatin1String("devices")).toArray();
    return index >= 0 && index < devices.size() ? devices.at(index).toObject() : QJsonObject();
}

QByteArray LabSimulator::storedFile(int index, const QString &name) const
{
    QFile file(ftpRoot() + QLatin1Char('/') + deviceIp(index) + QLatin1Char('/') + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
