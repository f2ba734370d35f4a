#pragma once
// The communication board's firmware panel: the image is uploaded to the board's own FTP server
// under its bare name, then the board stops that server and upgrades itself from the file. The
// bar shows the upload; its end closes the window once the operation is through.

#include "app/upgrade/firmwareupgradepanel.h"

#include <QElapsedTimer>

class TBoardUpgradePanel : public TFirmwareUpgradePanel
{
    Q_OBJECT
public:
    TBoardUpgradePanel(TUpgradeDialog &dialog, QWidget *parent);

    // An FTP error leaves the window restored and escapes to the general error handler.
    void upgrade() override;
    // The upload's data transfer.
    void uploadStarted(qint64 total);
    void uploadProgressed(qint64 done);
    void uploadEnded();

private:
    static constexpr int ProgressPaintIntervalMs = 40;
    QElapsedTimer m_progressPaint;
    // QProgressBar counts in int: a larger file is shown in units of 2^shift bytes.
    int m_progressShift = 0;
};
