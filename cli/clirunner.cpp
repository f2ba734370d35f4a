#include "cli/clirunner.h"

#include "cli/clilibrary.h"
#include "cli/cliprogress.h"
#include "cli/clireport.h"
#include "cli/verbs/verbs.h"
#include "fleet/jobs/jobservice.h"
#include "operations/commandoperations.h"
#include "protocol/datagramengine.h"
#include "fleet/history/sshtoggles.h"
#include "protocol/devicerecord.h"
#include "protocol/fileio.h"
#include "protocol/sha256text.h"

#include <QEventLoop>
#include <QSet>

#include <cerrno>
#include <cstring>

namespace {
// A resolution that names several devices for one target is the command line's fault; any other
// is a target that matched nothing.
bool isAmbiguity(const QString &problem)
{
    return problem.contains(QLatin1String("name one by"));
}
} // namespace

TOperationTiming OperationTiming(const TCliRequest &request)
{
    TOperationTiming timing;
    if (request.replyTimeoutMs > 0)
        timing.bus.baseTimeoutMs = request.replyTimeoutMs;
    return timing;
}

TCliRunner::TCliRunner(const TCliRequest &request, TDatagramEngine *engine, const TCliConsole &console, QObject *parent)
    : QObject(parent), m_request(request), m_engine(engine), m_console(console)
{
}

TCliRunner::~TCliRunner() = default;

QString TCliRunner::verbName() const
{
    return QLatin1String(m_request.verb->name);
}

void TCliRunner::print(const QString &text)
{
    // Flushed at once: a script reading the JSON lines gets each as its device is done. JSON escapes
    // its own control characters and CSV is data: only the tables for people are made safe here.
    const QString shown = m_request.json || m_request.csv ? text : TerminalText(text);
    if (!WriteText(m_console.out, shown) || std::fflush(m_console.out) != 0) {
        if (!m_outputFailed)
            tell(QStringLiteral("tarvino-cli: cannot write standard output: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        m_outputFailed = true;
    }
}

bool TCliRunner::printBytes(const QByteArray &data)
{
    if (!WriteText(m_console.out, QByteArrayView(data)) || std::fflush(m_console.out) != 0) {
        m_outputFailed = true;
        return false;
    }
    return true;
}

int TCliRunner::finish(int status)
{
    return m_outputFailed ? ExitStatus::Environment : status;
}

TOperationTiming TCliRunner::timing() const
{
    return OperationTiming(m_request);
}

void TCliRunner::tell(const QString &text)
{
    const QString safe = TerminalText(text);
    WriteText(m_console.err, safe.endsWith(QLatin1Char('\n')) ? safe : safe + QLatin1Char('\n'));
}

const TDeviceRecord *TCliRunner::recordFor(const QString &ip) const
{
    for (const TCliDevice &device : m_devices)
        if (device.target.ip == ip && device.record)
            return &*device.record;
    return nullptr;
}

void TCliRunner::setStop(std::function<void()> stop)
{
    m_stop = std::move(stop);
}

void TCliRunner::interrupt()
{
    if (m_interrupted)
        return;
    m_interrupted = true;
    tell(QStringLiteral("Stopping: no device is started any more; the running ones are put back first."));
    if (m_stop)
        m_stop();
}

int TCliRunner::run()
{
    return finish(runVerb());
}

int TCliRunner::runVerb()
{
    switch (m_request.verb->verb) {
    case Verb::Scan: return RunScanVerb(*this);
    case Verb::Search: return RunSearchVerb(*this);
    case Verb::Doctor: return RunDoctorVerb(*this);
    case Verb::Check: return RunCheckVerb(*this);
    case Verb::Watch: return RunWatchVerb(*this);
    default: break;
    }
    // A text read from a device that cannot be kept is refused before the device is disturbed.
    if (const QString problem = OutputProblem(m_request); !problem.isEmpty()) {
        tell(problem + QStringLiteral(" Nothing was sent."));
        return ExitStatus::Environment;
    }
    // A command for one device never goes out as a broadcast, whatever the address given or read.
    if (const QString problem = OneDeviceTargetProblem(m_request, CurrentSweepContext()); !problem.isEmpty()) {
        tell(problem + QStringLiteral(" Nothing was sent."));
        return ExitStatus::Usage;
    }
    QList<TDeviceRecord> scanned;
    if (m_request.needsScan()) {
        const std::optional<QList<TDeviceRecord>> found = scan();
        if (!found)
            return ExitStatus::Environment;
        scanned = *found;
    }
    if (m_interrupted)
        return ExitStatus::DeviceFailed;
    const auto resolved = ResolveTargets(m_request, scanned);
    if (const QString *problem = std::get_if<QString>(&resolved)) {
        tell(*problem + (isAmbiguity(*problem) ? QString() : QStringLiteral(" Nothing was sent.")));
        return isAmbiguity(*problem) ? ExitStatus::Usage : ExitStatus::NoMatch;
    }
    m_devices = std::get<QList<TCliDevice>>(resolved);
    if (IsFirmwareVerb(m_request.verb->verb))
        return RunFirmwareVerb(*this, m_devices);
    return m_request.verb->verb == Verb::Info ? RunInfoVerb(*this, m_devices) : RunDeviceVerb(*this, m_devices);
}

std::optional<QList<TDeviceRecord>> TCliRunner::scan()
{
    if (!m_request.sweep.ranges.isEmpty())
        return sweepRanges();
    TScanDevices scan(m_engine, {2, 1000, m_request.waitMs});
    setStop([&scan] { scan.cancel(); });
    if (m_console.errIsTerminal)
        tell(QStringLiteral("Scanning for %1 s...").arg(m_request.waitMs / 1000.0));
    const TOperationOutcome outcome = scan.exec();
    setStop({});
    if (!outcome.succeeded && !outcome.cancelled) {
        tell(QStringLiteral("The scan could not be sent: %1").arg(outcome.detail.isEmpty() ? outcome.errorText() : outcome.detail));
        return std::nullopt;
    }
    // Two devices with one MAC address are two targets: the list keeps one of them, the twins the
    // other, so that naming them by that MAC address is refused instead of reaching either.
    return scan.devices() + scan.twins();
}

TJobService &TCliRunner::jobService()
{
    if (!m_jobService)
        m_jobService = std::make_unique<TJobService>(m_engine);
    return *m_jobService;
}

void TCliRunner::runJob(TJob &job, const QString &title, const QStringList &labels, const std::function<void(int)> &itemEnded)
{
    QObject watching; // the connections below end with this run, not with the job
    QSet<int> ended;
    auto end = [&](int index) {
        if (!ended.contains(index)) {
            ended.insert(index);
            itemEnded(index);
        }
    };
    connect(&job, &TJob::itemChanged, &watching, [&](int index) {
        if (job.item(index).finished())
            end(index);
    });
    connect(&job, &TJob::confirmationRequested, &watching, [&job] { job.confirm(true); });
    std::optional<TCliProgress> progress;
    if (m_console.errIsTerminal) {
        progress.emplace(m_console.err, title);
        progress->watch(job, labels);
    }
    QEventLoop loop;
    connect(&job, &TJob::finished, &loop, &QEventLoop::quit);
    setStop([&job] { job.cancel(); });
    job.start();
    if (m_interrupted) // while the job was being made: nothing is started
        job.cancel();
    if (!job.isFinished())
        loop.exec();
    setStop({});
    if (progress)
        progress->clear();
    // Every item ends once the job has; one that told no end is told now, in its order.
    for (int index = 0; index < job.items().size(); ++index)
        end(index);
}
