// The controller's firmware upgrade: the image goes over the controller bus from address 0,
// is read back and compared, and the controller is told to enter update mode.

#include "app/upgrade/upgradedialog.h"

#include "app/upgrade/filenameedit.h"
#include "app/upgrade/firmwarewarningdialog.h"
#include "app/upgrade/libraryimagecheck.h"
#include "protocol/fileio.h"

#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>

void TUpgradeDialog::UpgradeControlBtnClick()
{
    const QString fileName = UpgradeControlFile->fileName();
    if (DeviceIP.isEmpty() || !QFileInfo(fileName).isFile())
        return;
    // Refused before the warning: the user is not asked to confirm what cannot run, and the
    // device hears nothing.
    if (const QString problem = FirmwareImageProblem(fileName, FileSizeOf(fileName)); !problem.isEmpty()) {
        showError(problem);
        return;
    }
    if (const QString refusal = LibraryImageRefusal(fileName, findListedDevice(DeviceIP)); !refusal.isEmpty()) {
        showError(refusal);
        return;
    }

    // Ends also when an exception leaves: the label goes, the bar keeps its last value.
    const UpgradePageOperation scope(*this, UpgradeControlLabel);
    TControllerUpgrade upgrade(m_engine, deviceTarget(), fileName, m_timing);
    watch(upgrade, {UpgradeControlLabel, ReadConfigLabel});
    connect(&upgrade, &TDeviceOperation::phaseChanged, this, [this](const QString &label) {
        UpgradeControlLabel->setText(label);
        UpgradeControlLabel->show();
    });
    connect(&upgrade, &TDeviceOperation::transferStarted, this, [this](qint64 total) {
        UpgradeControlProgressBar->setValue(0);
        UpgradeControlProgressBar->setMaximum(int(total));
        UpgradeControlProgressBar->show();
    });
    connect(&upgrade, &TDeviceOperation::progressed, this, [this](qint64 done) { setControlProgress(done); });
    report(upgrade.exec());
}
