// The communication board's firmware upgrade: the image is uploaded to the board's own FTP
// server under its bare name, then the board stops that server and upgrades itself from it.

#include "app/upgrade/upgradedialog.h"

#include "operations/boardupgrade.h"
#include "app/upgrade/filenameedit.h"
#include "app/upgrade/libraryimagecheck.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>

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

void TUpgradeDialog::UpgradeComBtnClick()
{
    const QString fileName = UpgradeComFile->fileName();
    if (DeviceIP.isEmpty() || !QFileInfo(fileName).isFile())
        return;
    // A library image of another type is refused before anything is sent.
    if (const QString refusal = LibraryImageRefusal(fileName, findListedDevice(DeviceIP)); !refusal.isEmpty()) {
        showError(refusal);
        return;
    }

    // Ends also when an FTP error leaves: the error then reaches the general handler with the
    // window already usable again.
    const UpgradePageOperation scope(*this, UpgradeComLabel);
    TBoardUpgrade upgrade(m_engine, deviceTarget(), fileName, m_timing);
    watch(upgrade, {UpgradeComLabel});
    connect(&upgrade, &TDeviceOperation::phaseChanged, this, [this](const QString &label) {
        UpgradeComLabel->setText(label);
        UpgradeComLabel->show();
    });
    connect(&upgrade, &TDeviceOperation::transferStarted, this, &TUpgradeDialog::FTPWorkBegin);
    connect(&upgrade, &TDeviceOperation::progressed, this, [this](qint64 done) { FTPWork(done); });
    connect(&upgrade, &TDeviceOperation::transferEnded, this, [this] { FTPWorkEnd(); });
    // The board's steps after the upload: the bar has done its work.
    connect(&upgrade, &TBoardUpgrade::uploaded, UpgradeComProgressBar, &QWidget::hide);
    const TOperationOutcome outcome = upgrade.exec();
    // The end of the upload asked the window to close; a failure keeps it open on its message.
    if (!outcome.succeeded)
        m_closeRequested = false;
    report(outcome);
}

void TUpgradeDialog::FTPWorkBegin(qint64 total)
{
    m_ftpProgressShift = 0;
    while ((total >> m_ftpProgressShift) > std::numeric_limits<int>::max())
        ++m_ftpProgressShift;
    setProgressQuietly(UpgradeComProgressBar, [&] {
        UpgradeComProgressBar->setValue(0);
        // A maximum of 0 would turn the bar into a busy indicator: an empty file shows an empty bar.
        UpgradeComProgressBar->setRange(0, std::max(1, int(total >> m_ftpProgressShift)));
    });
    UpgradeComProgressBar->show();
    // Lay out the bar and the status line now and paint them, so that they are never painted
    // where they were while hidden, whatever the events that come next.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    repaint();
    m_progressPaint.start();
}

void TUpgradeDialog::FTPWork(qint64 done)
{
    const int maximum = UpgradeComProgressBar->maximum();
    const int value = int(std::clamp<qint64>(done >> m_ftpProgressShift, 0, maximum));
    setProgressQuietly(UpgradeComProgressBar, [&] { UpgradeComProgressBar->setValue(value); });
    if (value >= maximum || !m_progressPaint.isValid() || m_progressPaint.elapsed() >= ProgressPaintIntervalMs) {
        UpgradeComProgressBar->repaint();
        m_progressPaint.start();
    }
}

void TUpgradeDialog::FTPWorkEnd()
{
    // The operation is still running: the window records the request and closes when it ends.
    reject();
}
