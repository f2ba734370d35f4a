#include "app/upgrade/controllerupgradepanel.h"

#include "app/upgrade/controllertextpage.h"
#include "app/upgrade/filenameedit.h"
#include "app/upgrade/upgradedialog.h"
#include "protocol/devicerecord.h"
#include "protocol/fileio.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>

TControllerUpgradePanel::TControllerUpgradePanel(TUpgradeDialog &dialog, QWidget *parent)
    : TFirmwareUpgradePanel(QStringLiteral(" Upgrade Controller "), dialog, parent)
{
    fileEdit->setFilter(QStringLiteral("Upgrade files (*.bin);;All files (*)"));
    upgradeButton->setAccessibleName(QStringLiteral("Upgrade controller"));
    fileEdit->edit()->setAccessibleName(QStringLiteral("Controller upgrade file"));
    fileEdit->browseButton()->setAccessibleName(QStringLiteral("Choose the controller upgrade file"));
}

void TControllerUpgradePanel::upgrade()
{
    const QString fileName = chosenImage();
    if (fileName.isEmpty())
        return;
    // Refused before the warning: the user is not asked to confirm what cannot run, and the
    // device hears nothing.
    if (const QString problem = FirmwareImageProblem(fileName, FileSizeOf(fileName)); !problem.isEmpty()) {
        m_dialog.showError(problem);
        return;
    }

    // Ends also when an exception leaves: the label goes, the bar keeps its last value. A library
    // image of another type is refused by the job, before the warning: the device hears nothing.
    const TUpgradeDialog::UpgradePageOperation scope(m_dialog, statusLine);
    std::unique_ptr<TJob> job = m_dialog.makeJob(TJobAction::ControllerUpgrade,
                                                 {statusLine, m_dialog.configPage->statusLabel}, false, fileName);
    if (!job)
        return;
    connect(job.get(), &TJob::phaseChanged, this, [this](int, const QString &label) {
        statusLine->setText(label);
        statusLine->show();
    });
    connect(job.get(), &TJob::transferStarted, this, [this](int, qint64 total) {
        progressBar->setValue(0);
        progressBar->setMaximum(int(total));
        progressBar->show();
    });
    connect(job.get(), &TJob::progressed, this, [this](int, qint64 done) { setProgress(done); });
    m_dialog.report(m_dialog.runUntilOperationEnded(std::move(job)));
}

void TControllerUpgradePanel::setProgress(qint64 done)
{
    // Progress comes in thousands of events a second, often many in one batch: each sets the
    // value, none paints by itself; the bar is painted once the batch is through.
    progressBar->setUpdatesEnabled(false);
    progressBar->setValue(int(done));
    progressBar->setUpdatesEnabled(true);
}
