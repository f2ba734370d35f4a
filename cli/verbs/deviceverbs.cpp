// The verbs on each named device: ssh, command, reset, upgrade-board, upgrade-controller,
// config get and put, diag, logs get and erase. Asked once for all, then handed to the job
// service as one job; each device's outcome is told as it ends.

#include "cli/verbs/verbs.h"

#include "cli/clireport.h"
#include "cli/clirunner.h"
#include "fleet/jobs/jobservice.h"
#include "operations/firmwareimage.h"
#include "protocol/devicerecord.h"
#include "protocol/fileio.h"
#include "protocol/sha256text.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

namespace {
QString fileExtension(Verb verb)
{
    return verb == Verb::ConfigGet ? QStringLiteral(".cfg") : QStringLiteral(".txt");
}

bool isUpgrade(Verb verb)
{
    return verb == Verb::UpgradeBoard || verb == Verb::UpgradeController;
}

TJobAction jobActionOf(const TCliRequest &request)
{
    switch (request.verb->verb) {
    case Verb::Ssh: return TJobAction::ToggleSsh;
    case Verb::Command: return TJobAction::BoardCommand;
    case Verb::UpgradeBoard: return TJobAction::BoardUpgrade;
    case Verb::UpgradeController: return TJobAction::ControllerUpgrade;
    case Verb::ConfigGet: return TJobAction::ReadConfiguration;
    case Verb::Diag: return TJobAction::ReadDiagnostics;
    case Verb::ConfigPut: return TJobAction::WriteConfiguration;
    case Verb::LogsGet: return TJobAction::ReadLogs;
    case Verb::LogsErase: return TJobAction::EraseAndReadLogs;
    case Verb::Reset: return request.withUpdater ? TJobAction::ResetWithUpdater : TJobAction::Reset;
    default: break; // no other verb comes here
    }
    Q_UNREACHABLE();
}

// What the outcome lines call the verb's work: the operation's own title, as the history has it.
QString operationTitle(const TCliRequest &request)
{
    switch (request.verb->verb) {
    case Verb::Ssh: return QString::fromLatin1(Wire::commandInfo(Wire::Command::SetDropBear).name);
    case Verb::Command: return QString::fromLatin1(Wire::commandInfo(request.command).name);
    case Verb::UpgradeBoard: return QStringLiteral("Communication board upgrade");
    case Verb::UpgradeController: return QStringLiteral("Controller upgrade");
    case Verb::ConfigGet: return QStringLiteral("Read configuration");
    case Verb::Diag: return QStringLiteral("Read diagnostics");
    case Verb::ConfigPut: return QStringLiteral("Write configuration");
    case Verb::LogsGet: return QStringLiteral("Read logs");
    case Verb::LogsErase: return QStringLiteral("Erase logs");
    case Verb::Reset:
        return request.withUpdater ? QStringLiteral("Controller reset with updater") : QStringLiteral("Controller reset");
    default: break;
    }
    Q_UNREACHABLE();
}

// The devices of a prompt: the first twenty, then how many more.
QString deviceList(const QList<TCliDevice> &devices)
{
    QString text;
    constexpr int Listed = 20;
    for (int i = 0; i < std::min<int>(Listed, int(devices.size())); ++i)
        text += QStringLiteral("  %1\n").arg(devices.at(i).label());
    if (devices.size() > Listed)
        text += QStringLiteral("  and %1 more\n").arg(devices.size() - Listed);
    return text;
}

class TDeviceVerbRun
{
public:
    explicit TDeviceVerbRun(TCliRunner &runner) : m_runner(runner), m_request(runner.request()) {}
    int run(const QList<TCliDevice> &devices);

private:
    QSet<quint64> m_sharedMacs; // of the run's devices: their files carry their address too
    bool confirm(const QList<TCliDevice> &devices);
    bool confirmFirmware(const QList<TCliDevice> &devices);
    QString answer();
    // What would be done to each device: --dry-run prints it and sends nothing more.
    int printPlan(const QList<TCliDevice> &devices);
    TJobRequest jobRequest(const QList<TCliDevice> &devices) const;
    TCliResult resultOf(const TJobItemStatus &status, const TCliDevice &device, bool several);
    // An upgrade needs the device's discovery record (its type for the library, its address to see
    // it come back): a device named by its address that did not answer the scan gets nothing.
    TCliResult unscannedResult(const TCliDevice &device) const;
    // Stores what a read received; the error text when it could not be stored.
    QString store(const QByteArray &data, const TCliDevice &device, bool several, QString *path);
    void report(const QList<TCliResult> &results);

    TCliRunner &m_runner;
    const TCliRequest &m_request;
    QByteArray m_configuration; // config put: the bytes read once, sent to every device
    qint64 m_imageBytes = -1;
    QString m_imageSha256;
};

QString TDeviceVerbRun::answer()
{
    const TCliConsole &console = m_runner.console();
    return console.readAnswer ? console.readAnswer().trimmed() : QString();
}

bool TDeviceVerbRun::confirm(const QList<TCliDevice> &devices)
{
    if (m_request.yes)
        return true;
    const Verb verb = m_request.verb->verb;
    if (isUpgrade(verb) || verb == Verb::ConfigPut)
        return confirmFirmware(devices);
    // "Reset 12 devices? [y/N]", the devices listed first.
    QString text = deviceList(devices);
    QString action = ActionText(m_request);
    action[0] = action[0].toUpper();
    text += QStringLiteral("%1 %2 device%3? [y/N] ")
                .arg(action)
                .arg(devices.size())
                .arg(devices.size() == 1 ? QString() : QStringLiteral("s"));
    WriteText(m_runner.console().err, TerminalText(text));
    const QString given = answer();
    return given.compare(QLatin1String("y"), Qt::CaseInsensitive) == 0
        || given.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0;
}

bool TDeviceVerbRun::confirmFirmware(const QList<TCliDevice> &devices)
{
    QString text = m_request.verb->verb == Verb::ConfigPut
                       ? QStringLiteral("This writes '%1' as the configuration of:\n").arg(m_request.file)
                       : FirmwareWarningText().replace(QLatin1String("\r\n"), QLatin1String("\n"))
                             + QStringLiteral("\n\nFirmware '%1' for:\n").arg(m_request.file);
    text += deviceList(devices);
    const QString word = m_request.verb->verb == Verb::ConfigPut ? QStringLiteral("write") : QStringLiteral("upgrade");
    text += QStringLiteral("Type '%1' to go on, anything else to return: ").arg(word);
    WriteText(m_runner.console().err, TerminalText(text));
    return answer().compare(word, Qt::CaseInsensitive) == 0;
}

int TDeviceVerbRun::printPlan(const QList<TCliDevice> &devices)
{
    const QString action = ActionText(m_request);
    if (m_request.json) {
        QString text;
        for (const TCliDevice &device : devices)
            text += CliJsonLine(PlanJson(device, m_runner.verbName(), action, m_request.file));
        m_runner.print(text);
    } else {
        m_runner.print(PlanTable(devices, action));
    }
    return ExitStatus::Success;
}

QString TDeviceVerbRun::store(const QByteArray &data, const TCliDevice &device, bool several, QString *path)
{
    if (m_request.output.isEmpty()) {
        if (!m_runner.printBytes(data))
            return QStringLiteral("Cannot write standard output: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return {};
    }
    const QFileInfo output(m_request.output);
    const bool folder = several || output.isDir() || m_request.output.endsWith(QLatin1Char('/'));
    if (folder) {
        if (!QDir().mkpath(m_request.output))
            return QStringLiteral("Cannot make the folder %1.").arg(m_request.output);
        const bool macShared = device.record && m_sharedMacs.contains(device.record->Mac);
        *path = QDir(m_request.output).filePath(device.fileStem(macShared) + fileExtension(m_request.verb->verb));
    } else {
        *path = m_request.output;
    }
    QString error;
    if (!WriteFileWhole(*path, data, &error))
        return error;
    return {};
}

TJobRequest TDeviceVerbRun::jobRequest(const QList<TCliDevice> &devices) const
{
    TJobOptions options;
    options.jobs = m_request.jobs;
    options.timing = m_runner.timing();
    options.confirmed = true; // asked once for all before
    options.command = m_request.command;
    options.libraryFolder = m_request.library.folder;
    TJobRequest request;
    request.options = options;
    const TJobAction action = jobActionOf(m_request);
    for (const TCliDevice &device : devices) {
        TJobItem item;
        item.device = {device.target, device.record};
        item.action = action;
        if (m_request.verb->verb == Verb::ConfigPut)
            item.text = m_configuration;
        else if (JobActionSendsImage(action))
            item.file = m_request.file; // the job reads it and looks its bytes up in the library
        request.items << item;
    }
    return request;
}

TCliResult TDeviceVerbRun::resultOf(const TJobItemStatus &status, const TCliDevice &device, bool several)
{
    TCliResult result = JobItemResult(status, device, operationTitle(m_request));
    if (m_request.verb->verb != Verb::Ssh && m_request.verb->verb != Verb::Command)
        result.attempts = -1;
    if (!m_request.file.isEmpty())
        result.file = m_request.file;
    if (m_imageBytes >= 0) {
        result.bytes = m_imageBytes;
        result.sha256 = m_imageSha256;
    } else {
        result.sha256.clear();
    }
    if (!result.outcome.succeeded || !(m_request.verb->options & OptOutput))
        return result;
    result.bytes = status.received.size();
    result.sha256 = Sha256Text(status.received);
    result.saveError = store(status.received, device, several, &result.file);
    return result;
}

TCliResult TDeviceVerbRun::unscannedResult(const TCliDevice &device) const
{
    TCliResult result{device, operationTitle(m_request), {}, {}, m_request.file, m_imageBytes, m_imageSha256, -1};
    result.outcome.kind = TOperationError::NotResponding;
    result.outcome.message =
        QStringLiteral("%1 did not answer the scan: its type and version are not known").arg(device.target.ip);
    return result;
}

int TDeviceVerbRun::run(const QList<TCliDevice> &devices)
{
    m_sharedMacs = SharedMacs(devices);
    if (!m_request.file.isEmpty()) {
        try {
            // Read once here for the early error and the outcome lines; the job reads it for what
            // it sends, and refuses it when its bytes changed in between.
            const TFirmwareImage image = TFirmwareImage::read(m_request.file);
            m_imageBytes = image.bytes().size();
            m_imageSha256 = image.sha256();
            if (m_request.verb->verb == Verb::ConfigPut)
                m_configuration = image.bytes();
        } catch (const std::exception &error) {
            m_runner.tell(QString::fromUtf8(error.what()));
            return ExitStatus::Environment;
        }
    }
    if (m_request.dryRun)
        return printPlan(devices);

    QList<TCliDevice> reachable;
    QHash<int, TCliResult> unscanned; // by the device's place in the list
    for (int i = 0; i < devices.size(); ++i) {
        if (isUpgrade(m_request.verb->verb) && !devices.at(i).record)
            unscanned.insert(i, unscannedResult(devices.at(i)));
        else
            reachable << devices.at(i);
    }
    if (m_request.verb->changesDevice && !reachable.isEmpty() && !confirm(reachable)) {
        m_runner.tell(QStringLiteral("Nothing was sent."));
        return ExitStatus::DeviceFailed;
    }
    // Those that get nothing are told first: nothing is waited for there.
    if (m_request.json)
        for (int i = 0; i < devices.size(); ++i)
            if (unscanned.contains(i))
                m_runner.print(CliJsonLine(ResultJson(unscanned.value(i), m_runner.verbName())));

    const bool several = devices.size() > 1 || m_request.selection.any();
    QList<TCliResult> finished;
    if (!reachable.isEmpty()) {
        TJob *job = m_runner.jobService().create(jobRequest(reachable));
        QStringList labels;
        for (const TCliDevice &device : std::as_const(reachable))
            labels << device.label();
        QHash<int, TCliResult> ended;
        // Each device's line as soon as it is done: a script sees the first long before the last.
        m_runner.runJob(*job, m_runner.verbName(), labels, [&](int index) {
            const TCliResult result = resultOf(job->item(index), reachable.at(index), several);
            ended.insert(index, result);
            if (m_request.json)
                m_runner.print(CliJsonLine(ResultJson(result, m_runner.verbName())));
        });
        for (int index = 0; index < reachable.size(); ++index)
            finished << ended.value(index);
    }

    QList<TCliResult> results;
    for (int i = 0, next = 0; i < devices.size(); ++i)
        results << (unscanned.contains(i) ? unscanned.value(i) : finished.at(next++));
    if (!m_request.json)
        report(results);
    const bool allSucceeded = std::all_of(results.begin(), results.end(), [](const TCliResult &r) { return r.succeeded(); });
    // What was read and could not be stored is the PC's failure, not the device's.
    const bool storeFailed = std::any_of(results.begin(), results.end(), [](const TCliResult &r) { return !r.saveError.isEmpty(); });
    return storeFailed ? ExitStatus::Environment : allSucceeded ? ExitStatus::Success : ExitStatus::DeviceFailed;
}

void TDeviceVerbRun::report(const QList<TCliResult> &results)
{
    const bool dataOnStdout = (m_request.verb->options & OptOutput) && m_request.output.isEmpty();
    if (dataOnStdout) {
        // Standard output holds the text itself: only a failure is told, on standard error.
        for (const TCliResult &result : results)
            if (!result.succeeded())
                m_runner.tell(QStringLiteral("%1: %2").arg(result.device.label(), result.message()));
    } else {
        m_runner.print(ResultTable(results));
    }
    QStringList notes;
    for (const TCliResult &result : results)
        for (const QString &note : result.outcome.notes)
            if (!notes.contains(note))
                notes << note;
    for (const QString &note : std::as_const(notes))
        m_runner.tell(QStringLiteral("note: ") + note);
}
} // namespace

int RunDeviceVerb(TCliRunner &runner, const QList<TCliDevice> &devices)
{
    return TDeviceVerbRun(runner).run(devices);
}
