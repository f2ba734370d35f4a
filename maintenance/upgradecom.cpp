// The communication board's firmware upgrade: the image is uploaded to the board's own FTP
// server under its bare name, then the board stops that server and upgrades itself from it.

#include "upgradeform.h"

#include "filenameedit.h"
#include "formwarning.h"
#include "ftpclient.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QScopeGuard>

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

void TUpgradeForm::UpgradeComBtnClick()
{
    const QString fileName = UpgradeComFile->fileName();
    if (DeviceIP.isEmpty() || !QFileInfo(fileName).isFile())
        return;

    // Ends also when an FTP error leaves: the error then reaches the general handler with the
    // window already usable again.
    const UpgradePageOperation operation(*this, UpgradeComLabel);

    if (runWarning() != TFormWarning::ResultUpgrade)
        return;
    FlushArpEntry();
    // A board whose server did not start would turn the connection away: do not try.
    if (!StartFtpServerStep())
        return;

    {
        TFtpClient ftp(this, timing().ftp);
        FtpClient = &ftp;
        const auto forget = qScopeGuard([this] { FtpClient = nullptr; });
        connect(&ftp, &TFtpClient::workBegan, this, &TUpgradeForm::FTPWorkBegin);
        connect(&ftp, &TFtpClient::workProgressed, this, &TUpgradeForm::FTPWork);
        connect(&ftp, &TFtpClient::workEnded, this, &TUpgradeForm::FTPWorkEnd);

        ftp.ConnectAndLogin(DeviceIP, Wire::FtpPort, QString::fromLatin1(Wire::FtpUser),
                            QString::fromLatin1(Wire::FtpPassword));
        // The board upgrades from a file in its server's own directory: the folders of the
        // local path mean nothing there.
        const QString remoteName = Ftp::bareFileName(fileName);
        UpgradeComLabel->setText(QStringLiteral("Downloading ") + remoteName);
        UpgradeComLabel->show();
        // A board that never had the file answers with an error: nothing to remove then.
        ftp.Delete(remoteName);
        ftp.Store(fileName, remoteName);
        ftp.Quit();
    }

    UpgradeComProgressBar->hide();
    // The board is told to upgrade only once its FTP server no longer takes files.
    if (!StopFtpServerStep())
        return;
    SystemUpgradeStep();
}

void TUpgradeForm::FTPWorkBegin(qint64 total)
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
    // No events are handled while the file goes out: lay out the bar and the status line now,
    // or they would be painted where they were while hidden.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    repaint();
    m_progressPaint.start();
}

void TUpgradeForm::FTPWork(qint64 done)
{
    const int maximum = UpgradeComProgressBar->maximum();
    const int value = int(std::clamp<qint64>(done >> m_ftpProgressShift, 0, maximum));
    setProgressQuietly(UpgradeComProgressBar, [&] { UpgradeComProgressBar->setValue(value); });
    if (value >= maximum || !m_progressPaint.isValid() || m_progressPaint.elapsed() >= ProgressPaintIntervalMs) {
        UpgradeComProgressBar->repaint();
        m_progressPaint.start();
    }
}

void TUpgradeForm::FTPWorkEnd()
{
    // The operation is still running: the window records the request and closes when it ends.
    reject();
}
