#include "app/sitefeature.h"

#include "app/background.h"
#include "app/columnrefresh.h"
#include "fleet/devicefields.h"
#include "fleet/site/devicewatch.h"
#include "app/mainwindow.h"
#include "fleet/site/sitecomparison.h"
#include "app/stringgrid.h"
#include "protocol/wire.h"

#include <QAction>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>

namespace {
const QString SiteFilter = QStringLiteral("Site files (*.csv *.json);;All files (*)");
const QString SettingsKey = QStringLiteral("Site/file");
constexpr int SiteColumnWidth = 110;
const QColor MissingColour(0x80, 0x80, 0x80);

quint64 deviceKey(const TDeviceRecord &device)
{
    return TDeviceWatch::keyOf(device);
}
} // namespace

// What the list shows of a comparison. The comparison itself holds the whole scan: it stays on the
// worker, so that the window's list is never shared with it when the next scan changes a record.
struct TSiteFeature::View
{
    int listed = 0; // the devices compared
    QString summary;
    QList<TSiteDevice> missing;
    QHash<quint64, QString> textByDevice;

    static View of(const QList<TSiteDevice> &site, const QList<TDeviceRecord> &devices)
    {
        const TSiteComparison comparison(site, devices);
        View view;
        view.listed = int(devices.size());
        view.summary = comparison.summary();
        for (const TSiteEntry &entry : comparison.entries())
            if (entry.state == TSiteState::Missing)
                view.missing << comparison.expected().at(entry.expectedIndex);
        view.textByDevice.reserve(devices.size());
        for (int index = 0; index < devices.size(); ++index)
            if (const TSiteEntry *entry = comparison.entryForFound(index))
                view.textByDevice.insert(deviceKey(devices.at(index)), entry->text());
        return view;
    }
};

TSiteFeature::TSiteFeature(TMainWindow *form) : QObject(form), m_form(form)
{
    OpenSiteAction = new QAction(QStringLiteral("Open s&ite..."), form);
    SaveSiteAction = new QAction(QStringLiteral("Sa&ve site..."), form);
    CloseSiteAction = new QAction(QStringLiteral("Close site"), form);
    CloseSiteAction->setEnabled(false);
    for (QAction *action : {OpenSiteAction, SaveSiteAction, CloseSiteAction})
        form->FileMenu->insertAction(form->N4, action);
    connect(OpenSiteAction, &QAction::triggered, this, &TSiteFeature::askOpen);
    connect(SaveSiteAction, &QAction::triggered, this, &TSiteFeature::askSave);
    connect(CloseSiteAction, &QAction::triggered, this, &TSiteFeature::closeSite);
    connect(form, &TMainWindow::scanEnded, this, &TSiteFeature::compare);

    SummaryLabel = new QLabel(form->StatusBar);
    SummaryLabel->setObjectName(QStringLiteral("SiteSummaryLabel"));
    SummaryLabel->hide();
    form->StatusBar->addPermanentWidget(SummaryLabel);

    // Missing devices grey on every column; the rest as the list colours them otherwise.
    TStringGrid *grid = form->StringGrid;
    auto before = grid->Foreground();
    grid->SetForeground([this, before](int column, int row) -> QColor {
        if (isMissingRow(row))
            return MissingColour;
        return before ? before(column, row) : QColor();
    });

    m_refresh = new TColumnRefresh(grid, m_form->devices(), TMainWindow::SiteColumn,
                                   [this](const TDeviceRecord &device) { return siteText(device); }, this);

    chooseOpenFile = [form](const QString &title, const QString &filter) {
        return QFileDialog::getOpenFileName(form, title, QString(), filter);
    };
    chooseSaveFile = [form](const QString &title, const QString &filter) {
        return QFileDialog::getSaveFileName(form, title, QStringLiteral("site.csv"), filter);
    };
}

bool TSiteFeature::isMissingRow(int row) const
{
    return m_missingRows > 0 && row > m_form->devices().size() && row <= m_form->devices().size() + m_missingRows;
}

QString TSiteFeature::siteText(const TDeviceRecord &device) const
{
    return m_textByDevice.value(deviceKey(device));
}

bool TSiteFeature::openSite(const QString &path, QString *error)
{
    const TSiteFileResult read = SiteFile::read(path);
    if (const auto *refused = std::get_if<TSiteFileError>(&read)) {
        if (error)
            *error = QStringLiteral("The site file %1 was not opened: %2.").arg(path, refused->text());
        return false;
    }
    m_site = std::get<QList<TSiteDevice>>(read);
    m_path = path;
    CloseSiteAction->setEnabled(true);
    m_form->setColumnText(TMainWindow::SiteColumn, [this](const TDeviceRecord &device) { return siteText(device); });
    m_form->showColumn(TMainWindow::SiteColumn, SiteColumnWidth);
    rememberPath();
    // Before the first scan nothing is missing yet: the file is compared when the list has devices.
    if (m_form->devices().isEmpty()) {
        SummaryLabel->setText(QStringLiteral("%1 expected devices: scan to compare").arg(m_site.size()));
        SummaryLabel->show();
    } else {
        compare();
    }
    return true;
}

void TSiteFeature::closeSite()
{
    m_path.clear();
    m_site.clear();
    m_shownGeneration = ++m_generation; // a comparison under way is dropped
    m_summary.clear();
    m_missing.clear();
    FreeInBackground(std::exchange(m_textByDevice, {}));
    CloseSiteAction->setEnabled(false);
    showMissingRows(); // none
    m_refresh->start();
    m_form->StringGrid->setColumnHidden(TMainWindow::SiteColumn, true);
    m_form->FitLastColumn();
    SummaryLabel->hide();
    rememberPath();
}

bool TSiteFeature::saveSite(const QString &path, QString *error)
{
    QList<TSiteDevice> devices;
    devices.reserve(m_form->devices().size());
    for (const TDeviceRecord &device : std::as_const(m_form->devices()))
        devices << SiteFile::fromDevice(device);
    const QString problem = SiteFile::write(path, devices);
    if (!problem.isEmpty()) {
        if (error)
            *error = problem;
        return false;
    }
    return true;
}

void TSiteFeature::compare()
{
    if (!hasSite())
        return;
    const int generation = ++m_generation;
    RunInBackground(
        this, [site = m_site, devices = m_form->devices()] { return View::of(site, devices); },
        [this, generation](View view) {
            if (generation != m_generation)
                return; // a newer one is under way, or the site was closed
            if (view.listed != m_form->devices().size()) {
                // The list changed meanwhile: compared again when its scan ends, or now.
                if (!m_form->Timer->isActive()) {
                    compare();
                    return;
                }
            } else {
                show(std::move(view));
            }
            m_shownGeneration = generation;
        });
}

void TSiteFeature::show(View view)
{
    std::swap(m_textByDevice, view.textByDevice);
    FreeInBackground(std::move(view.textByDevice)); // the last comparison's
    m_missing = std::move(view.missing);
    m_summary = view.summary;
    m_refresh->start();
    showMissingRows();
    SummaryLabel->setText(m_summary);
    SummaryLabel->show();
}

void TSiteFeature::showMissingRows()
{
    TStringGrid *grid = m_form->StringGrid;
    const int first = int(m_form->devices().size()) + 1;
    // The grid keeps one (hidden) row below its header even with nothing listed.
    grid->SetRowCount(std::max(first + int(m_missing.size()), 2));
    m_missingRows = int(m_missing.size());
    for (int i = 0; i < m_missing.size(); ++i) {
        const TSiteDevice &device = m_missing.at(i);
        QStringList texts(TMainWindow::GridColumnCount);
        texts[0] = device.name;
        texts[1] = device.type;
        texts[3] = device.ip;
        texts[4] = device.mac ? MacText(device.mac) : QString();
        texts[TMainWindow::SiteColumn] = SiteStateText(TSiteState::Missing);
        grid->SetRow(first + i, texts);
        if (grid->IsRowHidden(first + i))
            grid->SetRowHidden(first + i, false);
    }
    grid->viewport()->update();
}

void TSiteFeature::askOpen()
{
    const QString path = chooseOpenFile ? chooseOpenFile(QStringLiteral("Open site"), SiteFilter) : QString();
    if (path.isEmpty())
        return;
    QString error;
    if (!openSite(path, &error))
        m_form->showError(error);
}

void TSiteFeature::askSave()
{
    QString path = chooseSaveFile ? chooseSaveFile(QStringLiteral("Save site"), SiteFilter) : QString();
    if (path.isEmpty())
        return;
    if (!path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive) && !path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive))
        path += QStringLiteral(".csv");
    QString error;
    if (!saveSite(path, &error)) {
        m_form->showError(QStringLiteral("The site file was not saved: %1.").arg(error));
        return;
    }
    tell(QStringLiteral("%1 devices saved as the site file %2").arg(m_form->devices().size()).arg(path));
}

void TSiteFeature::restoreSettings(QSettings &settings)
{
    m_settingsFile = settings.fileName();
    const QString path = settings.value(SettingsKey).toString();
    if (path.isEmpty())
        return;
    QString error;
    if (!openSite(path, &error))
        tell(error); // the file moved or changed since: said once, not in a box at every start
}

void TSiteFeature::rememberPath() const
{
    if (m_settingsFile.isEmpty())
        return;
    QSettings settings(m_settingsFile, QSettings::IniFormat);
    if (m_path.isEmpty())
        settings.remove(SettingsKey);
    else
        settings.setValue(SettingsKey, m_path);
}

void TSiteFeature::tell(const QString &message)
{
    m_form->StatusBar->showMessage(message);
}
