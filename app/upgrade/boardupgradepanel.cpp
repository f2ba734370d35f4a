#include "app/upgrade/boardupgradepanel.h"

#include "app/upgrade/filenameedit.h"
#include "app/upgrade/upgradedialog.h"

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>

#include <algorithm>
#include <limits>

namespace {
// QProgressBar repaints itself at every visible change, which on a fast link is every chunk:
// the value is always set, but the paints are paced by the caller.
template<typename Change>
void setProgressQuietly(QProgressBar *bar, Change change)
{
    bar->setUpdatesEnabled(false);
    change();
    bar->setUpdatesEnabled(true);
}
} // namespace

TBoardUpgradePanel::TBoardUpgradePanel(TUpgradeDialog &dialog, QWidget *parent)
    : TFirmwareUpgradePanel(QStringLiteral(" Upgrade Communicartion Board  "), dialog, parent)
{
    fileEdit->setFilter(QStringLiteral("Upgrade files (*)"));
    // Two "Upgrade" buttons and two file fields: a screen reader tells them apart by these names.
    upgradeButton->setAccessibleName(QStringLiteral("Upgrade communication board"));
    fileEdit->edit()->setAccessibleName(QStringLiteral("Communication board upgrade file"));
    fileEdit->browseButton()->setAccessibleName(QStringLiteral("Choose the communication board upgrade file"));
}

void TBoardUpgradePanel::upgrade()
{
    const QString fileName = chosenImage();
    if (fileName.isEmpty())
        return;

    // Ends also when an FTP error leaves: the error then reaches the general handler with the
    // window already usable again. A library image of another type is refused by the job before
    // anything is sent.
    const TUpgradeDialog::UpgradePageOperation scope(m_dialog, statusLine);
    std::unique_ptr<TJob> job = m_dialog.makeJob(TJobAction::BoardUpgrade, {statusLine}, false, fileName);
    if (!job)
        return;
    connect(job.get(), &TJob::phaseChanged, this, [this](int, const QString &label) {
        statusLine->setText(label);
        statusLine->show();
    });
    connect(job.get(), &TJob::transferStarted, this, [this](int, qint64 total) { uploadStarted(total); });
    connect(job.get(), &TJob::progressed, this, [this](int, qint64 done) { uploadProgressed(done); });
    connect(job.get(), &TJob::transferEnded, this, [this] { uploadEnded(); });
    // The board's steps after the upload: the bar has done its work.
    connect(job.get(), &TJob::uploaded, progressBar, &QWidget::hide);
    const TJobItemStatus status = m_dialog.runUntilOperationEnded(std::move(job));
    // The end of the upload asked the window to close; a failure keeps it open on its message.
    if (!status.outcome.succeeded)
        m_dialog.keepOpen();
    m_dialog.report(status);
}

void TBoardUpgradePanel::uploadStarted(qint64 total)
{
    m_progressShift = 0;
    while ((total >> m_progressShift) > std::numeric_limits<int>::max())
        ++m_progressShift;
    setProgressQuietly(progressBar, [&] {
        progressBar->setValue(0);
        // A maximum of 0 would turn the bar into a busy indicator: an empty file shows an empty bar.
        progressBar->setRange(0, std::max(1, int(total >> m_progressShift)));
    });
    progressBar->show();
    // Lay out the bar and the status line now and paint them, so that they are never painted
    // where they were while hidden, whatever the events that come next.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    m_dialog.repaint();
    m_progressPaint.start();
}

void TBoardUpgradePanel::uploadProgressed(qint64 done)
{
    const int maximum = progressBar->maximum();
    const int value = int(std::clamp<qint64>(done >> m_progressShift, 0, maximum));
    setProgressQuietly(progressBar, [&] { progressBar->setValue(value); });
    if (value >= maximum || !m_progressPaint.isValid() || m_progressPaint.elapsed() >= ProgressPaintIntervalMs) {
        progressBar->repaint();
        m_progressPaint.start();
    }
}

void TBoardUpgradePanel::uploadEnded()
{
    // The operation is still running: the window records the request and closes when it ends.
    m_dialog.reject();
}
