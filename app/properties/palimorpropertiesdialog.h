#pragma once
// TPalimorPropertiesDialog: the properties window of the program's built-in device type: the
// generic device dialog with the two DNS servers and the four version strings.

#include "app/properties/propertiesdialog.h"

class QLineEdit;

class TPalimorPropertiesDialog : public TPropertiesDialog
{
    Q_OBJECT

public:
    explicit TPalimorPropertiesDialog(QWidget *owner = nullptr);

protected:
    QLabel *DNS1Label = nullptr;
    TIPEdit *DNS1 = nullptr;
    QLabel *DNS2Label = nullptr;
    TIPEdit *DNS2 = nullptr;
    QGroupBox *HardwareBox = nullptr;
    QLabel *HardwareLabel = nullptr;
    QLineEdit *HardwareEdit = nullptr;
    QGroupBox *BootstrapBox = nullptr;
    QLabel *BootstrapLabel = nullptr;
    QLineEdit *BootstrapEdit = nullptr;
    QGroupBox *KernelBox = nullptr;
    QLabel *KernelLabel = nullptr;
    QLineEdit *KernelEdit = nullptr;
    QGroupBox *FirmwareBox = nullptr;
    QLabel *FirmwareLabel = nullptr;
    QLineEdit *FirmwareEdit = nullptr;

private:
    // A version group: its frame at the given top, the label and a read-only edit.
    QGroupBox *addVersionGroup(const QString &name, int top, QLabel *&label, QLineEdit *&edit, QRect editGeometry,
                               Qt::Alignment textAlignment);
};

// The properties window of the built-in device type (see TPropertiesDialogsByType).
TPropertiesDialog *CreatePalimorForm(QWidget *owner);
