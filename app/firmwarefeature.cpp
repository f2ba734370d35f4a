#include "app/firmwarefeature.h"

#include "fleet/history/latestbydevice.h"
#include "app/background.h"
#include "app/batchfeature.h"
#include "app/firmwarelibrarydialog.h"
#include "app/mainwindow.h"
#include "fleet/firmware/compliance.h"
#include "fleet/history/operationjournal.h"
#include "fleet/history/unfinishedoperations.h"
#include "app/visitreportdialog.h"
#include "app/worksheet.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QInputDialog>
#include <QMenu>
#include <QSettings>
#include <QStatusBar>
#include <QThread>

namespace {
QString deviceName(const TDeviceRecord &device)
{
    const QString name = device.Params.text(Wire::Param::Name);
    return name.isEmpty() ? device.IpText : QStringLiteral("%1 (%2)").arg(name, device.IpText);
}

QSettings windowSettings()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("tarvino"), QStringLiteral("tarvino"));
}
} // namespace

TFirmwareFeature::TFirmwareFeature(TMainWindow *form, QString journalPath)
    : QObject(form), m_form(form), m_journalPath(std::move(journalPath))
{
    LibraryAction = new QAction(QStringLiteral("Firmware &library..."), form);
    VisitReportAction = new QAction(QStringLiteral("&Visit report..."), form);
    form->FileMenu->insertAction(form->N4, LibraryAction);
    form->FileMenu->insertAction(form->N4, VisitReportAction);
    connect(LibraryAction, &QAction::triggered, this, &TFirmwareFeature::showLibrary);
    connect(VisitReportAction, &QAction::triggered, this, &TFirmwareFeature::showVisitReport);

    TWorksheet *sheet = form->Worksheet;
    UpToDateAction = new QAction(QStringLiteral("Bring selected up to &date..."), form);
    TBatchFeature *batches = form->Batches;
    sheet->DeviceMenu->insertAction(batches->RetryAction, UpToDateAction);
    connect(UpToDateAction, &QAction::triggered, this, &TFirmwareFeature::bringSelectedUpToDate);
    connect(sheet->DeviceMenu, &QMenu::aboutToShow, this,
            [this, sheet, batches] {
                UpToDateAction->setEnabled(!m_checking && !batches->batchRunning() && !sheet->selection().isEmpty());
            });

    form->setColumnText(TMainWindow::FirmwareColumn, [this](const TDeviceRecord &device) { return columnText(device); });
    sheet->addFilterWord(OutdatedWord, [this](const TDeviceRecord &device) { return outdated(device); });
    batches->batchOptions.libraryFolder = m_library.folder(); // the jobs check every image against it

    chooseComponents = [form](const QList<TFirmwareComponent> &offered) -> std::optional<QList<TFirmwareComponent>> {
        QStringList items;
        QList<QList<TFirmwareComponent>> choices;
        if (offered.size() > 1) {
            items << QStringLiteral("Board and controller");
            choices << offered;
        }
        for (const TFirmwareComponent component : offered) {
            items << (component == TFirmwareComponent::Board ? QStringLiteral("Board only") : QStringLiteral("Controller only"));
            choices << QList<TFirmwareComponent>{component};
        }
        bool ok = false;
        const QString chosen = QInputDialog::getItem(form, QStringLiteral("Bring selected up to date"),
                                                     QStringLiteral("Components:"), items, 0, false, &ok);
        if (!ok)
            return std::nullopt;
        return choices.value(items.indexOf(chosen));
    };

    if (const QString folder = TFirmwareLibrary::folderFor({}); !folder.isEmpty()) {
        QString error;
        if (!openLibrary(folder, &error))
            form->StatusBar->showMessage(error);
    }
    readHistory();
}

bool TFirmwareFeature::openLibrary(const QString &folder, QString *error)
{
    TFirmwareLibrary opened(folder);
    if (!folder.isEmpty() && !opened.load(error)) {
        m_library = TFirmwareLibrary();
        return false;
    }
    m_library = opened;
    m_form->Batches->batchOptions.libraryFolder = m_library.folder();
    watchLibrary();
    showColumn();
    return true;
}

void TFirmwareFeature::watchLibrary()
{
    // The manifest is replaced whole when tarvino-cli or Ansible changes it: its folder is watched
    // too, and the file added again once it is back.
    if (!m_watcher) {
        m_watcher = new QFileSystemWatcher(this);
        m_reread = new QTimer(this);
        m_reread->setSingleShot(true);
        m_reread->setInterval(LibraryRereadDelayMs);
        connect(m_reread, &QTimer::timeout, this, &TFirmwareFeature::libraryChangedOnDisk);
        connect(m_watcher, &QFileSystemWatcher::fileChanged, m_reread, qOverload<>(&QTimer::start));
        connect(m_watcher, &QFileSystemWatcher::directoryChanged, m_reread, qOverload<>(&QTimer::start));
    }
    if (const QStringList watched = m_watcher->files() + m_watcher->directories(); !watched.isEmpty())
        m_watcher->removePaths(watched);
    if (m_library.folder().isEmpty())
        return;
    m_watcher->addPath(m_library.folder());
    if (QFileInfo::exists(m_library.manifestPath()))
        m_watcher->addPath(m_library.manifestPath());
}

void TFirmwareFeature::libraryChangedOnDisk()
{
    TFirmwareLibrary current = m_library;
    QString error;
    if (m_library.folder().isEmpty() || !current.refresh(&error))
        return; // a manifest half written or damaged: the window keeps what it showed
    const bool changed = current.images() != m_library.images();
    m_library = current;
    watchLibrary();
    if (changed) {
        showColumn();
        m_form->StatusBar->showMessage(QStringLiteral("The firmware library %1 changed: %2 images")
                                           .arg(QDir::toNativeSeparators(m_library.folder()))
                                           .arg(m_library.images().size()));
    }
}

QString TFirmwareFeature::columnText(const TDeviceRecord &device) const
{
    if (m_library.images().isEmpty())
        return {};
    return DeviceCompliance(m_library, device, m_history).text();
}

bool TFirmwareFeature::outdated(const TDeviceRecord &device) const
{
    return !m_library.images().isEmpty() && DeviceCompliance(m_library, device, m_history).outdated();
}

void TFirmwareFeature::showColumn()
{
    if (!m_library.images().isEmpty())
        m_form->showColumn(TMainWindow::FirmwareColumn, 260);
    m_form->RefreshRows();
    m_form->Worksheet->applyFilter();
}

void TFirmwareFeature::readHistory()
{
    // The library goes to the worker as a copy: a controller image's version from its SHA-256.
    RunInBackground(
        this,
        [path = m_journalPath, library = m_library] {
            return TControllerHistory(LastSucceededByDevice(TOperationJournal(path), QStringLiteral("Controller upgrade")), &library);
        },
        [this](const TControllerHistory &history) { setControllerHistory(history); });
}

void TFirmwareFeature::setControllerHistory(const TControllerHistory &history)
{
    m_history = history;
    if (!m_library.images().isEmpty())
        showColumn();
}

void TFirmwareFeature::showLibrary()
{
    TFirmwareLibraryDialog dialog(&m_library, m_form);
    connect(&dialog, &TFirmwareLibraryDialog::changed, this, [this] {
        showColumn();
        readHistory();
    });
    m_form->Worksheet->showDialog(&dialog);
}

void TFirmwareFeature::showVisitReport()
{
    TVisitReportDialog dialog(m_form);
    QSettings settings = windowSettings();
    dialog.restore(settings);
    m_form->Worksheet->showDialog(&dialog);
    if (dialog.result() != QDialog::Accepted)
        return;
    dialog.remember(settings);
    const bool pdf = dialog.pdf();
    QString path = m_form->Worksheet->chooseSaveFile(QStringLiteral("Visit report"),
                                                     pdf ? QStringLiteral("PDF (*.pdf)") : QStringLiteral("HTML (*.html)"));
    if (path.isEmpty())
        return;
    const QString suffix = pdf ? QStringLiteral(".pdf") : QStringLiteral(".html");
    if (!path.endsWith(suffix, Qt::CaseInsensitive))
        path += suffix;
    QList<TVisitDevice> scanned;
    for (const TDeviceRecord &device : std::as_const(m_form->devices()))
        scanned << VisitDeviceOf(device);
    m_form->StatusBar->showMessage(QStringLiteral("Writing the visit report %1...").arg(path));
    WriteVisitReportInBackground(this, dialog.details(), dialog.SiteFileEdit->text().trimmed(), m_journalPath, path,
                                 [this, path](bool written, const QString &text) {
                                     if (written)
                                         m_form->StatusBar->showMessage(QStringLiteral("Visit report %1: %2").arg(path, text));
                                     else
                                         m_form->showError(QStringLiteral("The visit report was not written: %1").arg(text));
                                 },
                                 scanned);
}

QList<TFirmwareFeature::Group> TFirmwareFeature::GroupsOf(const TFirmwareLibrary &library, const QList<TFirmwareStep> &steps)
{
    QList<Group> groups;
    // The controllers first: a board's upgrade ends with the device restarting.
    for (const TFirmwareComponent component : {TFirmwareComponent::Controller, TFirmwareComponent::Board})
        for (const TFirmwareStep &step : steps) {
            if (step.action != TFirmwareStep::Action::Upgrade || step.component != component || !step.image)
                continue;
            const QString file = library.imagePath(*step.image);
            auto group = std::find_if(groups.begin(), groups.end(),
                                      [&](const Group &g) { return g.component == component && g.file == file; });
            if (group == groups.end())
                group = groups.insert(groups.end(), Group{component, file, {}});
            group->devices << step.device;
        }
    return groups;
}

QList<TJobItem> TFirmwareFeature::JobItemsOf(const TFirmwareLibrary &library, const QList<TFirmwareStep> &steps)
{
    QList<TJobItem> items;
    for (const TFirmwareStep &step : steps) {
        if (step.action != TFirmwareStep::Action::Upgrade || !step.image)
            continue;
        TJobItem item;
        item.device = TJobDevice::of(step.device);
        item.action = step.component == TFirmwareComponent::Controller ? TJobAction::ControllerUpgrade : TJobAction::BoardUpgrade;
        item.file = library.imagePath(*step.image);
        item.plannedVersion = step.target;
        items << item;
    }
    return items;
}

QStringList TFirmwareFeature::WarningLines(const QList<TFirmwareStep> &steps)
{
    QStringList lines;
    for (const TFirmwareStep &step : steps)
        if (step.action == TFirmwareStep::Action::Upgrade)
            lines << QStringLiteral("%1: %2 %3 → %4")
                         .arg(deviceName(step.device), ComponentKey(step.component),
                              step.current.isEmpty() ? QStringLiteral("unknown") : step.current, step.target);
    return lines;
}

QStringList TFirmwareFeature::SkippedLines(const QList<TFirmwareStep> &steps)
{
    QStringList lines;
    for (const TFirmwareStep &step : steps)
        if (step.action == TFirmwareStep::Action::Skipped)
            lines << QStringLiteral("%1: %2").arg(deviceName(step.device), step.reason);
    return lines;
}

void TFirmwareFeature::bringSelectedUpToDate()
{
    if (m_form->Batches->batchRunning() || m_checking)
        return;
    const QList<TDeviceRecord> devices = m_form->Worksheet->selection();
    if (devices.isEmpty())
        return;
    // The plan is made from the manifest as it is now, whatever another program changed meanwhile.
    if (QString error; !m_library.folder().isEmpty() && !m_library.refresh(&error)) {
        m_form->showError(error);
        return;
    }
    if (m_library.images().isEmpty()) {
        m_form->showError(QStringLiteral("No firmware library is open: File > Firmware library... chooses its folder."));
        return;
    }
    const std::optional<QList<TFirmwareComponent>> components = chooseComponents(LibraryComponents(m_library));
    if (!components || components->isEmpty())
        return;
    const QList<TFirmwareStep> steps = PlanFirmware(m_library, devices, *components, m_history);

    // Each image's file read and its SHA-256 compared on a worker (large images take a while);
    // one that is missing or changed is refused before the warning, with its words.
    QList<TLibraryImage> images;
    for (const TFirmwareStep &step : steps)
        if (step.action == TFirmwareStep::Action::Upgrade
            && std::none_of(images.begin(), images.end(), [&](const TLibraryImage &i) { return i.file == step.image->file; }))
            images << *step.image;
    m_checking = true;
    RunInBackground(
        this,
        [library = m_library, images] {
            QHash<QString, QString> problemOf;
            for (const TLibraryImage &image : images) {
                QString error;
                if (!library.readImage(image, &error))
                    problemOf.insert(image.file, error);
            }
            return problemOf;
        },
        [this, steps](const QHash<QString, QString> &problemOf) { confirmAndRun(steps, problemOf); });
}

void TFirmwareFeature::confirmAndRun(QList<TFirmwareStep> steps, const QHash<QString, QString> &problemOf)
{
    m_checking = false;
    TBatchFeature *batches = m_form->Batches;
    if (batches->batchRunning())
        return;
    for (TFirmwareStep &step : steps)
        if (step.action == TFirmwareStep::Action::Upgrade && problemOf.contains(step.image->file)) {
            step.action = TFirmwareStep::Action::Skipped;
            step.reason = problemOf.value(step.image->file);
        }
    const QStringList upgrades = WarningLines(steps);
    const QStringList skipped = SkippedLines(steps);
    const qsizetype unchanged = std::count_if(steps.begin(), steps.end(), [](const TFirmwareStep &step) {
        return step.action == TFirmwareStep::Action::Unchanged;
    });
    const QString left = skipped.isEmpty() ? QString()
                                           : QStringLiteral("\n\nLeft alone:\n") + skipped.join(QLatin1Char('\n'));
    if (upgrades.isEmpty()) {
        m_form->showError(QStringLiteral("Nothing to bring up to date (%1 already current).%2").arg(unchanged).arg(left));
        return;
    }
    if (!batches->confirmBatch(FirmwareWarningText() + left, QDir::toNativeSeparators(m_library.folder()), upgrades,
                               QStringLiteral("Upgrade")))
        return;
    if (!skipped.isEmpty())
        m_form->StatusBar->showMessage(QStringLiteral("%1 left alone: %2").arg(skipped.size()).arg(skipped.join(QStringLiteral("; "))));
    // One job for controllers and boards together: it orders them, and keeps the board of a
    // device whose controller upgrade failed or was stopped as it is.
    if (TJob *job = batches->startJob(JobItemsOf(m_library, steps)))
        connect(job, &TJob::finished, this, &TFirmwareFeature::readHistory);
}
