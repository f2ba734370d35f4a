#pragma once
// The controller's firmware panel: the image goes over the controller bus from address 0, is read
// back and compared, and the controller is told to enter update mode, inside the daemon/updater
// bracket.

#include "app/upgrade/firmwareupgradepanel.h"
#include "operations/controlleroperations.h"

#include <QByteArrayView>

class TControllerUpgradePanel : public TFirmwareUpgradePanel
{
    Q_OBJECT
public:
    TControllerUpgradePanel(TUpgradeDialog &dialog, QWidget *parent);

    void upgrade() override;
    // The verify message for a read-back that differs from the image; empty when they are equal.
    static QString verifyErrorText(QByteArrayView image, QByteArrayView readBack)
    {
        return VerifyErrorText(image, readBack);
    }

private:
    void setProgress(qint64 done);
};
