#pragma once
// One firmware panel of the upgrade window's "Upgrade" page: the image file, its Upgrade button,
// a status line and a thin progress bar. The communication board's and the controller's panels
// differ only in what their button does.

#include <QGroupBox>

class QLabel;
class QProgressBar;
class QPushButton;
class TFileNameEdit;
class TUpgradeDialog;

class TFirmwareUpgradePanel : public QGroupBox
{
    Q_OBJECT
public:
    QLabel *fileLabel = nullptr;
    TFileNameEdit *fileEdit = nullptr;
    QPushButton *upgradeButton = nullptr;
    QLabel *statusLine = nullptr;
    QProgressBar *progressBar = nullptr;

    // The button is on while no operation runs, the window has a device and the file exists.
    void updateButton(bool idle);
    // Sends the chosen image to the window's device.
    virtual void upgrade() = 0;

signals:
    void fileChanged();

protected:
    TFirmwareUpgradePanel(const QString &caption, TUpgradeDialog &dialog, QWidget *parent);
    // The image file when the window has a device and the file exists; empty otherwise.
    QString chosenImage() const;

    TUpgradeDialog &m_dialog;
};
