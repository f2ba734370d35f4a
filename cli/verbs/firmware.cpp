// plan and apply: each device brought to the library's newest image of its type, or told why it
// is left alone. plan prints the steps and sends nothing but the scan; apply asks once, then runs
// the upgrades, the controllers first, the boards after (a board's upgrade ends with the device
// restarting).

#include "cli/verbs/verbs.h"

#include "fleet/history/latestbydevice.h"
#include "cli/clireport.h"
#include "cli/clirunner.h"
#include "fleet/devicefields.h"
#include "fleet/firmware/controllerhistory.h"
#include "fleet/firmware/firmwarelibrary.h"
#include "fleet/firmware/firmwareplan.h"
#include "fleet/history/operationjournal.h"
#include "protocol/fileio.h"
#include "fleet/jobs/jobservice.h"

#include <QHash>

namespace {
// One line of the plan: a device, a component, and what is (or was) done.
struct Row
{
    TCliDevice device;
    TFirmwareStep step;
    QString problem;                      // why the device cannot be worked on: image missing or changed, no answer
    TOperationError problemKind = TOperationError::None;
    std::optional<TCliResult> result;      // an upgrade's, once it ended (or was never started)
    bool skippedAfterFailure = false;      // the board of a device whose controller upgrade failed
};

QString componentTitle(TFirmwareComponent component)
{
    return component == TFirmwareComponent::Board ? QStringLiteral("Communication board upgrade")
                                                  : QStringLiteral("Controller upgrade");
}

QString nameOf(const TCliDevice &device)
{
    return device.record ? device.record->Params.text(Wire::Param::Name) : QString();
}

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QString versionsText(const Row &row)
{
    return QStringLiteral("%1 -> %2").arg(row.step.current.isEmpty() ? QStringLiteral("?") : row.step.current, row.step.target);
}

// The words of a row that does not upgrade.
QString reasonOf(const Row &row)
{
    if (!row.problem.isEmpty())
        return row.problem;
    if (row.skippedAfterFailure)
        return QStringLiteral("not started: the controller upgrade of this device failed");
    if (row.step.action == TFirmwareStep::Action::Unchanged && row.step.reason == QLatin1String("up to date"))
        return QStringLiteral("up to date (%1)").arg(row.step.current);
    return row.step.reason;
}

bool upgrades(const Row &row)
{
    return row.step.action == TFirmwareStep::Action::Upgrade && row.problem.isEmpty();
}

QJsonObject planJson(const Row &row)
{
    const bool failedImage = !row.problem.isEmpty();
    return {
        {QStringLiteral("ip"), row.device.target.ip},
        {QStringLiteral("mac"), row.device.record ? QJsonValue(CanonicalMacText(row.device.record->Mac)) : QJsonValue()},
        {QStringLiteral("name"), row.device.record ? QJsonValue(nameOf(row.device)) : QJsonValue()},
        {QStringLiteral("verb"), QStringLiteral("plan")},
        {QStringLiteral("type"), row.device.record ? textOrNull(TDeviceTypeId::of(*row.device.record).name) : QJsonValue()},
        {QStringLiteral("component"), ComponentKey(row.step.component)},
        {QStringLiteral("action"), failedImage ? QStringLiteral("skipped") : row.step.actionKey()},
        {QStringLiteral("current"), textOrNull(row.step.current)},
        {QStringLiteral("target"), textOrNull(row.step.target)},
        {QStringLiteral("file"), row.step.image ? QJsonValue(row.step.image->file) : QJsonValue()},
        {QStringLiteral("sha256"), row.step.image ? QJsonValue(row.step.image->sha256) : QJsonValue()},
        {QStringLiteral("reason"), reasonOf(row)},
    };
}

// The file, size and SHA-256 of the row's image on its outcome line.
void describeImage(TCliResult &result, const Row &row, const TFirmwareImage *image)
{
    if (row.step.image)
        result.file = row.step.image->file;
    if (image) {
        result.bytes = image->bytes().size();
        result.sha256 = image->sha256();
    } else {
        result.bytes = -1;
        result.sha256.clear();
    }
}

// The outcome of a row that did not reach the job: its problem, or nothing yet.
TCliResult resultOf(const Row &row, const TFirmwareImage *image)
{
    TCliResult result{row.device, componentTitle(row.step.component), {}, {}, {}, -1, {}, -1};
    if (!row.problem.isEmpty()) {
        result.outcome.kind = row.problemKind;
        result.outcome.message = row.problem;
    }
    describeImage(result, row, image);
    return result;
}

// The outcome of a row's upgrade as the job ended it.
TCliResult resultOf(const Row &row, const TJobItemStatus &status, const TFirmwareImage *image)
{
    TCliResult result = JobItemResult(status, row.device, componentTitle(row.step.component));
    result.attempts = -1;
    describeImage(result, row, image);
    return result;
}

// apply's line: the outcome object, with "unchanged" and "skipped" for the devices left alone.
QJsonObject applyJson(const Row &row, const TFirmwareImage *image)
{
    QJsonObject object = ResultJson(row.result ? *row.result : resultOf(row, image), QStringLiteral("apply"));
    if (!row.result && row.problem.isEmpty()) {
        object.insert(QStringLiteral("result"), row.skippedAfterFailure || row.step.action == TFirmwareStep::Action::Skipped
                                                    ? QStringLiteral("skipped")
                                                    : QStringLiteral("unchanged"));
        object.insert(QStringLiteral("error"), QJsonValue());
        object.insert(QStringLiteral("message"), reasonOf(row));
    }
    object.insert(QStringLiteral("component"), ComponentKey(row.step.component));
    object.insert(QStringLiteral("previousVersion"), textOrNull(row.step.current));
    object.insert(QStringLiteral("version"), textOrNull(row.step.target));
    return object;
}
} // namespace

int RunFirmwareVerb(TCliRunner &runner, const QList<TCliDevice> &devices)
{
    const TCliRequest &request = runner.request();
    // apply --dry-run is plan: the steps printed, nothing sent but the scan.
    const bool apply = request.verb->verb == Verb::Apply && !request.dryRun;
    TFirmwareLibrary library(request.library.folder);
    if (QString error; !library.load(&error)) {
        runner.tell(error + QStringLiteral(" Nothing else was sent."));
        return ExitStatus::Environment;
    }
    const QList<TFirmwareComponent> components =
        request.library.components.isEmpty() ? LibraryComponents(library) : request.library.components;
    if (components.isEmpty()) {
        runner.tell(QStringLiteral("The library %1 has no image. Nothing else was sent.").arg(library.folder()));
        return ExitStatus::Success;
    }
    const TControllerHistory history = components.contains(TFirmwareComponent::Controller)
                                           ? TControllerHistory(LastSucceededByDevice(TOperationJournal(), QStringLiteral("Controller upgrade")), &library)
                                           : TControllerHistory();

    QList<Row> rows;
    for (const TCliDevice &device : devices) {
        if (!device.record) {
            // Named by its address and silent in the scan: its type and version are not known.
            Row row{device, {}, {}, TOperationError::NotResponding, {}, false};
            row.problem = QStringLiteral("%1 did not answer the scan: its type and version are not known").arg(device.target.ip);
            for (const TFirmwareComponent component : components) {
                row.step.component = component;
                rows << row;
            }
            continue;
        }
        for (const TFirmwareStep &step : PlanFirmware(library, {*device.record}, components, history, request.library.allowDowngrade))
            rows << Row{device, step, {}, TOperationError::None, {}, false};
    }

    // Each image read once, its SHA-256 checked against the manifest: every device gets the same bytes.
    QHash<QString, TFirmwareImage> images;
    QHash<QString, QString> imageProblems;
    for (Row &row : rows) {
        if (row.step.action != TFirmwareStep::Action::Upgrade || !row.step.image)
            continue;
        const QString &file = row.step.image->file;
        if (!images.contains(file) && !imageProblems.contains(file)) {
            QString problem;
            if (const auto image = library.readImage(*row.step.image, &problem))
                images.insert(file, *image);
            else
                imageProblems.insert(file, problem);
        }
        row.problem = imageProblems.value(file);
        row.problemKind = row.problem.isEmpty() ? TOperationError::None : TOperationError::FileError;
    }
    auto imageOf = [&images](const Row &row) -> const TFirmwareImage * {
        const auto it = row.step.image ? images.constFind(row.step.image->file) : images.constEnd();
        return it == images.constEnd() ? nullptr : &*it;
    };

    if (!apply) {
        if (request.json) {
            QString text;
            for (const Row &row : std::as_const(rows))
                text += CliJsonLine(planJson(row));
            runner.print(text);
        } else {
            QList<QStringList> table{{QStringLiteral("DEVICE"), QStringLiteral("NAME"), QStringLiteral("TYPE"),
                                      QStringLiteral("COMPONENT"), QStringLiteral("ACTION"), QString()}};
            int toUpgrade = 0, unchanged = 0, skipped = 0;
            for (const Row &row : std::as_const(rows)) {
                const QString name = nameOf(row.device);
                const QString type = row.device.record ? TDeviceTypeId::of(*row.device.record).name : QString();
                const bool upgrade = upgrades(row);
                const bool same = row.step.action == TFirmwareStep::Action::Unchanged;
                (upgrade ? toUpgrade : same ? unchanged : skipped) += 1;
                table << QStringList{row.device.target.ip, name.isEmpty() ? QStringLiteral("-") : EscapeControls(name),
                                     type.isEmpty() ? QStringLiteral("-") : EscapeControls(type), ComponentKey(row.step.component),
                                     upgrade ? QStringLiteral("upgrade") : same ? QStringLiteral("unchanged") : QStringLiteral("SKIPPED"),
                                     upgrade ? QStringLiteral("%1 (%2)").arg(versionsText(row), EscapeControls(row.step.image->file))
                                             : EscapeControls(reasonOf(row))};
            }
            runner.print(AlignedTable(table)
                         + QStringLiteral("%1 to upgrade, %2 unchanged, %3 skipped; nothing was sent but the scan\n")
                               .arg(toUpgrade)
                               .arg(unchanged)
                               .arg(skipped));
        }
        const bool problems = std::any_of(rows.cbegin(), rows.cend(), [](const Row &row) { return !row.problem.isEmpty(); });
        return problems ? ExitStatus::DeviceFailed : ExitStatus::Success;
    }

    // apply: one question for every upgrade, then the controllers, then the boards.
    QList<Row *> work;
    for (Row &row : rows)
        if (upgrades(row))
            work << &row;
    if (!work.isEmpty() && !request.yes) {
        QString text = FirmwareWarningText().replace(QLatin1String("\r\n"), QLatin1String("\n")) + QStringLiteral("\n\n");
        for (const Row *row : std::as_const(work))
            text += QStringLiteral("  %1  %2 %3 (%4)\n")
                        .arg(row->device.label(), ComponentKey(row->step.component), versionsText(*row), row->step.image->file);
        text += QStringLiteral("Type 'upgrade' to go on, anything else to return: ");
        WriteText(runner.console().err, TerminalText(text));
        const QString answer = runner.console().readAnswer ? runner.console().readAnswer().trimmed() : QString();
        if (answer.compare(QLatin1String("upgrade"), Qt::CaseInsensitive) != 0) {
            runner.tell(QStringLiteral("Nothing was sent."));
            return ExitStatus::DeviceFailed;
        }
    }

    auto printLine = [&](const Row &row) {
        if (request.json)
            runner.print(CliJsonLine(applyJson(row, imageOf(row))));
    };
    // The devices left alone are told first: nothing is waited for there.
    for (const Row &row : std::as_const(rows))
        if (!upgrades(row))
            printLine(row);
    // One job for every upgrade: it sends the controllers first, and no board of a device whose
    // controller upgrade failed; each image is checked against the library again by its bytes.
    if (!work.isEmpty() && !runner.interrupted()) {
        TJobRequest jobRequest;
        jobRequest.options.jobs = request.jobs;
        jobRequest.options.timing = runner.timing();
        jobRequest.options.confirmed = true; // asked once for all above
        jobRequest.options.libraryFolder = library.folder();
        QStringList labels;
        for (const Row *row : std::as_const(work)) {
            TJobItem item;
            item.device = {row->device.target, row->device.record};
            item.action = row->step.component == TFirmwareComponent::Controller ? TJobAction::ControllerUpgrade
                                                                                 : TJobAction::BoardUpgrade;
            item.file = library.imagePath(*row->step.image);
            item.plannedVersion = row->step.target;
            jobRequest.items << item;
            labels << QStringLiteral("%1 %2").arg(row->device.label(), ComponentKey(row->step.component));
        }
        TJob *job = runner.jobService().create(jobRequest);
        runner.runJob(*job, QStringLiteral("apply"), labels, [&](int index) {
            Row *row = work.at(index);
            const TJobItemStatus &status = job->item(index);
            if (status.state == TJobItemStatus::LeftAlone)
                row->skippedAfterFailure = true;
            else
                row->result = resultOf(*row, status, imageOf(*row));
            printLine(*row);
        });
    }

    // Stopped before their turn (Ctrl+C in the controllers' run): told as not started.
    for (Row *row : std::as_const(work))
        if (!row->result && !row->skippedAfterFailure) {
            TCliResult cancelled = resultOf(*row, imageOf(*row));
            cancelled.outcome.cancelled = true;
            cancelled.outcome.kind = TOperationError::Cancelled;
            cancelled.outcome.message = QStringLiteral("Not started: interrupted.");
            row->result = cancelled;
            printLine(*row);
        }

    int upgraded = 0, unchanged = 0, skipped = 0, failed = 0;
    QList<QStringList> table{{QStringLiteral("DEVICE"), QStringLiteral("NAME"), QStringLiteral("COMPONENT"),
                              QStringLiteral("RESULT"), QString()}};
    for (const Row &row : std::as_const(rows)) {
        const QString name = nameOf(row.device);
        QString result;
        QString what;
        if (row.result && row.result->succeeded()) {
            ++upgraded;
            result = QStringLiteral("ok");
            what = QStringLiteral("%1 (%2)").arg(versionsText(row), EscapeControls(row.step.image->file));
        } else if (row.result || !row.problem.isEmpty()) {
            ++failed;
            const TCliResult failure = row.result ? *row.result : resultOf(row, nullptr);
            result = failure.resultWord().toUpper();
            what = EscapeControls(failure.message());
            if (!failure.outcome.failedStep.isEmpty() && !what.contains(failure.outcome.failedStep))
                what += QStringLiteral(" (at %1)").arg(failure.outcome.failedStep);
            if (!failure.outcome.device.normal())
                what += QStringLiteral(" [%1]").arg(failure.outcome.device.text());
        } else if (row.step.action == TFirmwareStep::Action::Unchanged) {
            ++unchanged;
            result = QStringLiteral("unchanged");
            what = EscapeControls(reasonOf(row));
        } else {
            ++skipped;
            result = QStringLiteral("SKIPPED");
            what = EscapeControls(reasonOf(row));
        }
        table << QStringList{row.device.target.ip, name.isEmpty() ? QStringLiteral("-") : EscapeControls(name),
                             ComponentKey(row.step.component), result, what};
    }
    if (!request.json)
        runner.print(AlignedTable(table) + QStringLiteral("%1 upgraded, %2 unchanged, %3 skipped, %4 failed\n")
                                               .arg(upgraded)
                                               .arg(unchanged)
                                               .arg(skipped)
                                               .arg(failed));
    return failed > 0 || runner.interrupted() ? ExitStatus::DeviceFailed : ExitStatus::Success;
}
