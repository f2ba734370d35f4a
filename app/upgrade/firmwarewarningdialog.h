#pragma once
// TFirmwareWarningDialog: the firmware warning shown before anything is written to a device.
// Only its "Upgrade" choice (result 6) lets an operation go on.

#include <QDialog>

class QLabel;
class QPushButton;

class TFirmwareWarningDialog : public QDialog
{
    Q_OBJECT
public:
    static constexpr int ResultUpgrade = 6; // yes
    static constexpr int ResultReturn = 7;  // no
    static constexpr int ResultClosed = 2;  // cancel: the close box

    explicit TFirmwareWarningDialog(QWidget *owner);

    static QString WarningText();

    QLabel *Image1 = nullptr;
    QLabel *Label1 = nullptr;
    QPushButton *Button1 = nullptr; // "Upgrade"
    QPushButton *Button2 = nullptr; // "Return"

    void reject() override; // the close box

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;
};
