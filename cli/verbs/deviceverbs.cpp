// The verbs on each named device: ssh, command, reset, upgrade-board, upgrade-controller,
// config get and put, diag, logs get and erase. Asked once for all, then run a few devices at a
// time; each device's outcome is told as it ends.

#include "cli/verbs/verbs.h"

#include "cli/cliprogress.h"
#include "cli/clireport.h"
#include "cli/clirunner.h"
#include "operations/boardupgrade.h"
#include "operations/commandoperations.h"
#include "operations/controlleroperations.h"
#include "operations/firmwareimage.h"
#include "operations/operationpool.h"
#include "protocol/tools.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

namespace {
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
    TDeviceOperation *makeOperation(const TCliDevice &device, const QByteArray &configuration);
    bool confirm(const QList<TCliDevice> &devices);
    bool confirmFirmware(const QList<TCliDevice> &devices);
    QString answer();
    // What would be done to each device: --dry-run prints it and sends nothing more.
    int printPlan(const QList<TCliDevice> &devices);
    TCliResult resultOf(TDeviceOperation *operation, const TCliDevice &device, bool several);
    // Stores what a read operation received; the error text when it could not be stored.
    QString store(const QByteArray &data, const TCliDevice &device, bool several, QString *path);
    void report(const QList<TCliResult> &results);

    TCliRunner &m_runner;
    const TCliRequest &m_request;
    TFirmwareImage m_image; // the file of an upgrade or a configuration write, read once per run
};

TDeviceOperation *TDeviceVerbRun::makeOperation(const TCliDevice &device, const QByteArray &configuration)
{
    TDatagramEngine *engine = m_runner.engine();
    const TDeviceTarget &target = device.target;
    const TOperationTiming waits = m_runner.timing();
    switch (m_request.verb->verb) {
    case Verb::Ssh:
        return new TDeviceCommand(engine, target, Wire::Command::SetDropBear, TDeviceCommand::dropBear(), waits);
    case Verb::Command: return new TDeviceCommand(engine, target, m_request.command, {1, false}, waits);
    case Verb::UpgradeBoard: return new TBoardUpgrade(engine, target, m_image, waits);
    case Verb::UpgradeController: return new TControllerUpgrade(engine, target, m_image, waits);
    case Verb::ConfigGet:
        return new TReadControllerText(engine, target, TReadControllerText::Kind::Configuration, waits);
    case Verb::Diag: return new TReadControllerText(engine, target, TReadControllerText::Kind::Diagnostics, waits);
    case Verb::ConfigPut: return new TWriteConfig(engine, target, configuration, waits);
    case Verb::LogsGet: return new TReadLogs(engine, target, false, waits);
    case Verb::LogsErase: return new TReadLogs(engine, target, true, waits);
    case Verb::Reset:
        return new TControllerReset(engine, target,
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
    if (verb == Verb::UpgradeBoard || verb == Verb::UpgradeController || verb == Verb::ConfigPut)
        return confirmFirmware(devices);
    // "Reset 12 devices? [y/N]", the devices listed first.
    QString text = deviceList(devices);
    QString action = ActionText(m_request);
    action[0] = action[0].toUpper();
    text += QStringLiteral("%1 %2 device%3? [y/N] ")
                .arg(action)
                .arg(devices.size())
                .arg(devices.size() == 1 ? QString() : QStringLiteral("s"));
    WriteText(m_runner.console().err, text);
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
    WriteText(m_runner.console().err, text);
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
        *path = QDir(m_request.output).filePath(device.fileStem() + fileExtension(m_request.verb->verb));
    } else {
        *path = m_request.output;
    }
    QString error;
    if (!WriteFileWhole(*path, data, &error))
        return error;
    return {};
}

TCliResult TDeviceVerbRun::resultOf(TDeviceOperation *operation, const TCliDevice &device, bool several)
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

int TDeviceVerbRun::run(const QList<TCliDevice> &devices)
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
            m_runner.tell(QString::fromUtf8(error.what()));
            return ExitStatus::Environment;
        }
    }
    if (m_request.dryRun)
        return printPlan(devices);
    if (m_request.verb->changesDevice && !confirm(devices)) {
        m_runner.tell(QStringLiteral("Nothing was sent."));
        return ExitStatus::DeviceFailed;
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
    QObject::connect(&pool, &TOperationPool::operationFinished, &m_runner, [&](TDeviceOperation *operation) {
        const auto run = std::find_if(runs.begin(), runs.end(), [operation](const auto &r) { return r.first == operation; });
        if (run == runs.end())
            return;
        const TCliResult result = resultFor(operation, run->second);
        finished.insert(operation, result);
        if (m_request.json)
            m_runner.print(CliJsonLine(ResultJson(result, m_runner.verbName())));
    });
    std::optional<TCliProgress> progress;
    if (m_runner.console().errIsTerminal) {
        progress.emplace(m_runner.console().err, m_runner.verbName());
        progress->watch(pool, labels);
    }
    m_runner.setStop([&pool] { pool.cancel(); });
    pool.exec();
    m_runner.setStop({});
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

void TDeviceVerbRun::report(const QList<TCliResult> &results)
{
    const bool dataOnStdout = (m_request.verb->options & OptOutput) && m_request.output.isEmpty();
    if (m_request.json) {
        QString text;
        for (const TCliResult &result : results)
            text += CliJsonLine(ResultJson(result, m_runner.verbName()));
        m_runner.print(text);
    } else if (dataOnStdout) {
        // Standard output holds the text itself: only a failure is told, on standard error.
        for (const TCliResult &result : results)
            if (!result.succeeded())
                m_runner.tell(QStringLiteral("%1: %2").arg(result.device.label(), result.message()));
    } else {
        m_runner.print(ResultTable(results));
    }
    if (!m_request.json) {
        QStringList notes;
        for (const TCliResult &result : results)
            for (const QString &note : result.outcome.notes)
                if (!notes.contains(note))
                    notes << note;
        for (const QString &note : std::as_const(notes))
            m_runner.tell(QStringLiteral("note: ") + note);
    }
}
} // namespace

int RunDeviceVerb(TCliRunner &runner, const QList<TCliDevice> &devices)
{
    return TDeviceVerbRun(runner).run(devices);
}
