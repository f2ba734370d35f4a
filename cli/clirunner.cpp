#include "cli/clirunner.h"

#include "operations/boardupgrade.h"
#include "cli/clifirmwarerun.h"
#include "cli/clilibrary.h"
#include "cli/cliprogress.h"
#include "operations/commandoperations.h"
#include "operations/controlleroperations.h"
#include "fleet/devicefields.h"
#include "fleet/networkcheck.h"
#include "operations/operationpool.h"
#include "protocol/datagramengine.h"
#include "fleet/history/sshtoggles.h"
#include "protocol/devicerecord.h"
#include "protocol/fileio.h"
#include "protocol/sha256text.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

namespace {
// Every object tarvino-cli writes carries the version of its format.
QString jsonLine(const QJsonObject &object)
{
    return CliJsonLine(object);
}

// A resolution that names several devices for one target is the command line's fault; any other
// is a target that matched nothing.
bool isAmbiguity(const QString &problem)
{
    return problem.contains(QLatin1String("name one by"));
}

// The text a read operation received, bytes as the device sent them: a log block a line, with the
// CR LF that the device ends each one with.
QByteArray receivedData(TDeviceOperation *operation)
{
    if (auto *read = qobject_cast<TReadControllerText *>(operation))
        return read->text();
    if (auto *logs = qobject_cast<TReadLogs *>(operation)) {
        QByteArray data;
        for (const QByteArray &block : logs->blocks())
            data += block + "\r\n";
        return data;
    }
    return {};
}

QString fileExtension(Verb verb)
{
    return verb == Verb::ConfigGet ? QStringLiteral(".cfg") : QStringLiteral(".txt");
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
    // Flushed at once: a script reading the JSON lines gets each as its device is done.
    if (!WriteText(m_console.out, text) || std::fflush(m_console.out) != 0) {
        if (!m_outputFailed)
            tell(QStringLiteral("tarvino-cli: cannot write standard output: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        m_outputFailed = true;
    }
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
    WriteText(m_console.err, text.endsWith(QLatin1Char('\n')) ? text : text + QLatin1Char('\n'));
}

const TDeviceRecord *TCliRunner::recordFor(const QString &ip) const
{
    for (const TCliDevice &device : m_devices)
        if (device.target.ip == ip && device.record)
            return &*device.record;
    return nullptr;
}

void TCliRunner::interrupt()
{
    if (m_interrupted)
        return;
    m_interrupted = true;
    tell(QStringLiteral("Stopping: no device is started any more; the running ones are put back first."));
    if (m_current)
        m_current->cancel();
    if (m_pool)
        m_pool->cancel();
}

int TCliRunner::run()
{
    switch (m_request.verb->verb) {
    case Verb::Scan: return finish(runScan());
    case Verb::Search: return finish(runSearch());
    case Verb::Doctor: return finish(runDoctor());
    case Verb::Check: return finish(runCheck());
    case Verb::Watch: return finish(runWatch());
    default: break;
    }
    // A text read from a device that cannot be kept is refused before the device is disturbed.
    if (const QString problem = OutputProblem(m_request); !problem.isEmpty()) {
        tell(problem + QStringLiteral(" Nothing was sent."));
        return ExitStatus::Environment;
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
    const QList<TCliDevice> devices = std::get<QList<TCliDevice>>(resolved);
    m_devices = devices;
    if (IsFirmwareVerb(m_request.verb->verb))
        return finish(TCliFirmwareRun(*this).run(devices));
    return finish(m_request.verb->verb == Verb::Info ? runInfo(devices) : runOperations(devices));
}

std::optional<QList<TDeviceRecord>> TCliRunner::scan()
{
    if (!m_request.sweep.ranges.isEmpty())
        return sweepRanges();
    TScanDevices scan(m_engine, {2, 1000, m_request.waitMs});
    m_current = &scan;
    if (m_console.errIsTerminal)
        tell(QStringLiteral("Scanning for %1 s...").arg(m_request.waitMs / 1000.0));
    const TOperationOutcome outcome = scan.exec();
    m_current = nullptr;
    if (!outcome.succeeded && !outcome.cancelled) {
        tell(QStringLiteral("The scan could not be sent: %1").arg(outcome.detail.isEmpty() ? outcome.errorText() : outcome.detail));
        return std::nullopt;
    }
    // Two devices with one MAC address are two targets: the list keeps one of them, the twins the
    // other, so that naming them by that MAC address is refused instead of reaching either.
    return scan.devices() + scan.twins();
}

int TCliRunner::runScan()
{
    const std::optional<QList<TDeviceRecord>> devices = scan();
    if (!devices)
        return ExitStatus::Environment;
    if (!m_interrupted)
        keepForCompletion(*devices);
    if (m_request.json) {
        for (const TDeviceRecord &device : *devices)
            print(jsonLine(DeviceJson(device)));
    } else if (m_request.csv) {
        QString text = DeviceCsvHeader() + QLatin1Char('\n');
        for (const TDeviceRecord &device : *devices)
            text += DeviceCsvLine(device) + QLatin1Char('\n');
        print(text);
    } else if (!devices->isEmpty()) {
        print(DeviceTable(*devices));
    }
    if (devices->isEmpty())
        tell(QStringLiteral("No device answered the scan."));
    else if (!m_request.json && !m_request.csv)
        print(QStringLiteral("%1 device%2\n").arg(devices->size()).arg(devices->size() == 1 ? QString() : QStringLiteral("s")));
    if (m_interrupted)
        return ExitStatus::DeviceFailed;
    // A missing expected device (exit status 1) outweighs too few devices (4).
    const int site = m_request.site.siteFile.isEmpty() ? ExitStatus::Success : reportSite(*devices);
    if (site != ExitStatus::Success)
        return site;
    if (devices->size() < m_request.expect) {
        tell(QStringLiteral("%1 of the %2 devices expected answered.").arg(devices->size()).arg(m_request.expect));
        return ExitStatus::NoMatch;
    }
    return ExitStatus::Success;
}

void TCliRunner::keepForCompletion(const QList<TDeviceRecord> &devices)
{
    // One word a line, the addresses first: what the shell's completion offers for a TARGET.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/tarvino");
    if (!QDir().mkpath(folder))
        return;
    QStringList words;
    for (const TDeviceRecord &device : devices) {
        words << device.IpText << CanonicalMacText(device.Mac);
        const QString name = device.Params.text(Wire::Param::Name);
        // A name with blanks or control characters would not complete as one word.
        if (!name.isEmpty() && !name.contains(QRegularExpression(QStringLiteral("[\\s\\x00-\\x1f'\"\\\\]"))))
            words << name;
    }
    QSaveFile file(folder + QStringLiteral("/devices.txt"));
    if (file.open(QIODevice::WriteOnly)) {
        file.write((words.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
        file.commit();
    }
}

int TCliRunner::runDoctor()
{
    TNetworkCheck check(m_engine, {m_request.waitMs, true, {Wire::DevicePort, Wire::BusPort}});
    m_current = &check;
    if (m_console.errIsTerminal)
        tell(QStringLiteral("Checking the network (the scan listens for %1 s)...").arg(m_request.waitMs / 1000.0));
    connect(&check, &TNetworkCheck::findingReported, this, [this](const TNetworkFinding &finding) {
        print(m_request.json ? jsonLine(finding.toJson()) : EscapeControls(finding.line()) + QLatin1Char('\n'));
    });
    check.exec();
    m_current = nullptr;
    return check.problemFound() || m_interrupted ? 1 : 0;
}

int TCliRunner::runSearch()
{
    const QString ip = m_request.targets.first().text;
    TSearchDevice search(m_engine, ip);
    m_current = &search;
    const TOperationOutcome outcome = search.exec();
    m_current = nullptr;
    const QList<TDeviceRecord> devices = search.devices();
    if (!outcome.succeeded || devices.isEmpty()) {
        tell(outcome.error ? outcome.errorText() : QStringLiteral("No device answered at %1.").arg(ip));
        return ExitStatus::DeviceFailed;
    }
    print(m_request.json ? jsonLine(DeviceJson(devices.first())) : DeviceTable(devices));
    return 0;
}

int TCliRunner::runInfo(const QList<TCliDevice> &devices)
{
    // Devices that no scan listed are asked over TCP, as Search IP Address does.
    TOperationPool pool(m_request.jobs);
    m_pool = &pool;
    QHash<QString, TSearchDevice *> searches;
    for (const TCliDevice &device : devices)
        if (!device.record) {
            auto *search = new TSearchDevice(m_engine, device.target.ip);
            searches.insert(device.target.ip, search);
            pool.add(search);
        }
    if (!searches.isEmpty())
        pool.exec();
    m_pool = nullptr;

    int status = 0;
    QString text;
    // The history is read once for every device listed.
    const TSshToggleHistory toggles = m_request.json ? TSshToggleHistory() : TSshToggleHistory::fromJournal(TOperationJournal());
    for (const TCliDevice &device : devices) {
        std::optional<TDeviceRecord> record = device.record;
        if (TSearchDevice *search = searches.value(device.target.ip)) {
            if (const QList<TDeviceRecord> found = search->devices(); !found.isEmpty()) {
                record = found.first();
            } else if (search->outcome().error) {
                // The error text of a connection names the address already: once is enough.
                const QString error = search->outcome().errorText();
                tell(error.contains(device.target.ip) ? error : QStringLiteral("%1: %2").arg(device.target.ip, error));
            } else {
                tell(QStringLiteral("No device answered at %1.").arg(device.target.ip));
            }
        }
        if (!record) {
            status = 1;
            continue;
        }
        if (m_request.json)
            text += jsonLine(DeviceJson(*record));
        else
        {
            text += (text.isEmpty() ? QString() : QStringLiteral("\n")) + DeviceDetails(*record);
            if (const QString ssh = TSshToggleHistory::text(toggles.of(record->Mac, record->IpText)); !ssh.isEmpty())
                text += ssh + QLatin1Char('\n');
        }
    }
    print(text);
    return m_interrupted ? 1 : status;
}

TDeviceOperation *TCliRunner::makeOperation(const TCliDevice &device, const QByteArray &configuration)
{
    const TDeviceTarget &target = device.target;
    const TOperationTiming waits = timing();
    switch (m_request.verb->verb) {
    case Verb::Ssh:
        return new TDeviceCommand(m_engine, target, Wire::Command::SetDropBear, TDeviceCommand::dropBear(), waits);
    case Verb::Command: return new TDeviceCommand(m_engine, target, m_request.command, {1, false}, waits);
    case Verb::UpgradeBoard: return new TBoardUpgrade(m_engine, target, m_image, waits);
    case Verb::UpgradeController: return new TControllerUpgrade(m_engine, target, m_image, waits);
    case Verb::ConfigGet:
        return new TReadControllerText(m_engine, target, TReadControllerText::Kind::Configuration, waits);
    case Verb::Diag: return new TReadControllerText(m_engine, target, TReadControllerText::Kind::Diagnostics, waits);
    case Verb::ConfigPut: return new TWriteConfig(m_engine, target, configuration, waits);
    case Verb::LogsGet: return new TReadLogs(m_engine, target, false, waits);
    case Verb::LogsErase: return new TReadLogs(m_engine, target, true, waits);
    case Verb::Reset:
        return new TControllerReset(m_engine, target,
                                    m_request.withUpdater ? TControllerReset::Mode::WithUpdater
                                                          : TControllerReset::Mode::Plain,
                                    waits);
    case Verb::Scan:
    case Verb::Search:
    case Verb::Info:
    case Verb::Doctor:
    case Verb::History:
    case Verb::Check:
    case Verb::Watch:
    case Verb::Report:
    case Verb::LibraryList:
    case Verb::LibraryCheck:
    case Verb::LibraryAdd:
    case Verb::LibraryRemove:
    case Verb::Plan:
    case Verb::Apply: break; // these verbs run no operation per device here
    }
    Q_UNREACHABLE();
}

bool TCliRunner::confirm(const QList<TCliDevice> &devices)
{
    if (m_request.yes)
        return true;
    const Verb verb = m_request.verb->verb;
    if (verb == Verb::UpgradeBoard || verb == Verb::UpgradeController || verb == Verb::ConfigPut)
        return confirmFirmware(devices);
    // "Reset 12 devices? [y/N]", the devices listed first.
    QString text;
    constexpr int Listed = 20;
    for (int i = 0; i < std::min<int>(Listed, int(devices.size())); ++i)
        text += QStringLiteral("  %1\n").arg(devices.at(i).label());
    if (devices.size() > Listed)
        text += QStringLiteral("  and %1 more\n").arg(devices.size() - Listed);
    QString action = ActionText(m_request);
    action[0] = action[0].toUpper();
    text += QStringLiteral("%1 %2 device%3? [y/N] ")
                .arg(action)
                .arg(devices.size())
                .arg(devices.size() == 1 ? QString() : QStringLiteral("s"));
    WriteText(m_console.err, text);
    const QString answer = m_console.readAnswer ? m_console.readAnswer().trimmed() : QString();
    return answer.compare(QLatin1String("y"), Qt::CaseInsensitive) == 0
        || answer.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0;
}

int TCliRunner::printPlan(const QList<TCliDevice> &devices)
{
    const QString action = ActionText(m_request);
    if (m_request.json) {
        QString text;
        for (const TCliDevice &device : devices)
            text += jsonLine(PlanJson(device, verbName(), action, m_request.file));
        print(text);
    } else {
        print(PlanTable(devices, action));
    }
    return ExitStatus::Success;
}

bool TCliRunner::confirmFirmware(const QList<TCliDevice> &devices)
{
    QString text = m_request.verb->verb == Verb::ConfigPut
                       ? QStringLiteral("This writes '%1' as the configuration of:\n").arg(m_request.file)
                       : FirmwareWarningText().replace(QLatin1String("\r\n"), QLatin1String("\n"))
                             + QStringLiteral("\n\nFirmware '%1' for:\n").arg(m_request.file);
    constexpr int Listed = 20;
    for (int i = 0; i < std::min<int>(Listed, int(devices.size())); ++i)
        text += QStringLiteral("  %1\n").arg(devices.at(i).label());
    if (devices.size() > Listed)
        text += QStringLiteral("  and %1 more\n").arg(devices.size() - Listed);
    const QString word = m_request.verb->verb == Verb::ConfigPut ? QStringLiteral("write") : QStringLiteral("upgrade");
    text += QStringLiteral("Type '%1' to go on, anything else to return: ").arg(word);
    WriteText(m_console.err, text);
    const QString answer = m_console.readAnswer ? m_console.readAnswer().trimmed() : QString();
    return answer.compare(word, Qt::CaseInsensitive) == 0;
}

QString TCliRunner::store(const QByteArray &data, const TCliDevice &device, bool several, QString *path)
{
    if (m_request.output.isEmpty()) {
        if (!WriteText(m_console.out, QByteArrayView(data)) || std::fflush(m_console.out) != 0) {
            m_outputFailed = true;
            return QStringLiteral("Cannot write standard output: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        }
        return {};
    }
    const QFileInfo output(m_request.output);
    const bool folder = several || output.isDir() || m_request.output.endsWith(QLatin1Char('/'));
    if (folder) {
        if (!QDir().mkpath(m_request.output))
            return QStringLiteral("Cannot make the folder %1.").arg(m_request.output);
        *path = QDir(m_request.output).filePath(device.fileStem() + fileExtension(m_request.verb->verb));
    } else {
        *path = m_request.output;
    }
    QString error;
    if (!WriteFileWhole(*path, data, &error))
        return error;
    return {};
}

TCliResult TCliRunner::resultOf(TDeviceOperation *operation, const TCliDevice &device, bool several)
{
    TCliResult result{device, operation->title(), operation->outcome(), {}, {}, -1, {}, -1};
    if (!operation->isFinished()) { // never started: the run was interrupted first
        result.outcome.cancelled = true;
        result.outcome.kind = TOperationError::Cancelled;
        result.outcome.message = QStringLiteral("Not started: interrupted.");
    }
    if (auto *command = qobject_cast<TDeviceCommand *>(operation))
        result.attempts = command->attemptsMade();
    if (!m_request.file.isEmpty())
        result.file = m_request.file;
    if (!result.outcome.succeeded)
        return result;
    if (m_request.verb->options & OptOutput) {
        const QByteArray data = receivedData(operation);
        result.bytes = data.size();
        result.sha256 = Sha256Text(data);
        result.saveError = store(data, device, several, &result.file);
    }
    return result;
}

int TCliRunner::runOperations(const QList<TCliDevice> &devices)
{
    QByteArray configuration;
    qint64 imageBytes = -1;
    QString imageSha256;
    if (!m_request.file.isEmpty()) {
        try {
            // Read once: every device of the run is sent these same bytes.
            m_image = TFirmwareImage::read(m_request.file);
            imageBytes = m_image.bytes().size();
            imageSha256 = m_image.sha256();
            if (m_request.verb->verb == Verb::ConfigPut)
                configuration = m_image.bytes();
        } catch (const std::exception &error) {
            tell(QString::fromUtf8(error.what()));
            return ExitStatus::Environment;
        }
    }
    if (m_request.dryRun)
        return printPlan(devices);
    if (m_request.verb->changesDevice && !confirm(devices)) {
        tell(QStringLiteral("Nothing was sent."));
        return 1;
    }

    TOperationPool pool(m_request.jobs);
    pool.setConfirmed(true); // asked once for all above
    QHash<TDeviceOperation *, QString> labels;
    QList<std::pair<TDeviceOperation *, TCliDevice>> runs;
    for (const TCliDevice &device : devices) {
        TDeviceOperation *operation = makeOperation(device, configuration);
        pool.add(operation);
        labels.insert(operation, device.label());
        runs.append({operation, device});
    }
    const bool several = devices.size() > 1 || m_request.selection.any();
    auto resultFor = [&](TDeviceOperation *operation, const TCliDevice &device) {
        TCliResult result = resultOf(operation, device, several);
        if (imageBytes >= 0) {
            result.bytes = imageBytes;
            result.sha256 = imageSha256;
        }
        return result;
    };
    // Each device's line as soon as it is done: a script sees the first long before the last.
    QHash<TDeviceOperation *, TCliResult> finished;
    connect(&pool, &TOperationPool::operationFinished, this, [&](TDeviceOperation *operation) {
        const auto run = std::find_if(runs.begin(), runs.end(), [operation](const auto &r) { return r.first == operation; });
        if (run == runs.end())
            return;
        const TCliResult result = resultFor(operation, run->second);
        finished.insert(operation, result);
        if (m_request.json)
            print(jsonLine(ResultJson(result, verbName())));
    });
    std::optional<TCliProgress> progress;
    if (m_console.errIsTerminal) {
        progress.emplace(m_console.err, verbName());
        progress->watch(pool, labels);
    }
    m_pool = &pool;
    pool.exec();
    m_pool = nullptr;
    if (progress)
        progress->clear();

    QList<TCliResult> results;
    QList<TCliResult> unprinted; // never started: told once the run has stopped
    for (const auto &[operation, device] : runs) {
        if (finished.contains(operation)) {
            results << finished.value(operation);
        } else {
            results << resultFor(operation, device);
            unprinted << results.constLast();
        }
    }
    report(m_request.json ? unprinted : results);
    const bool allSucceeded = std::all_of(results.begin(), results.end(), [](const TCliResult &r) { return r.succeeded(); });
    // What was read and could not be stored is the PC's failure, not the device's.
    const bool storeFailed = std::any_of(results.begin(), results.end(), [](const TCliResult &r) { return !r.saveError.isEmpty(); });
    return storeFailed ? ExitStatus::Environment : allSucceeded ? ExitStatus::Success : ExitStatus::DeviceFailed;
}

void TCliRunner::report(const QList<TCliResult> &results)
{
    const bool dataOnStdout = (m_request.verb->options & OptOutput) && m_request.output.isEmpty();
    if (m_request.json) {
        QString text;
        for (const TCliResult &result : results)
            text += jsonLine(ResultJson(result, verbName()));
        print(text);
    } else if (dataOnStdout) {
        // Standard output holds the text itself: only a failure is told, on standard error.
        for (const TCliResult &result : results)
            if (!result.succeeded())
                tell(QStringLiteral("%1: %2").arg(result.device.label(), result.message()));
    } else {
        print(ResultTable(results));
    }
    if (!m_request.json) {
        QStringList notes;
        for (const TCliResult &result : results)
            for (const QString &note : result.outcome.notes)
                if (!notes.contains(note))
                    notes << note;
        for (const QString &note : std::as_const(notes))
            tell(QStringLiteral("note: ") + note);
    }
}
