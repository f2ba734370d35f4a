#include "app/properties/palimorpropertiesdialog.h"

#include "app/properties/ipedit.h"
#include "app/properties/stringtable.h"
#include "protocol/wire.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
constexpr int VersionGroupLeft = 12;
constexpr int VersionGroupWidth = 405;
constexpr int VersionGroupHeight = 57;
constexpr QPoint VersionLabelPos(35, 28);
constexpr QRect NarrowVersionEdit(291, 24, 100, 21);
constexpr QRect WideVersionEdit(96, 24, 297, 21); // kernel and firmware strings are long
} // namespace

TPalimorPropertiesDialog::TPalimorPropertiesDialog(QWidget *owner)
    : TPropertiesDialog(owner)
{
    setObjectName(QStringLiteral("PalimorForm"));

    DNS1 = addAddressRow(DNS1Label, QStringLiteral("DNS1"), QStringLiteral("DNS1 :"), 116, Wire::Param::Dns1);
    DNS2 = addAddressRow(DNS2Label, QStringLiteral("DNS2"), QStringLiteral("DNS2 :"), 140, Wire::Param::Dns2);
    DNS1Label->setObjectName(QStringLiteral("DNS1Label"));
    DNS2Label->setObjectName(QStringLiteral("DNS2Label"));

    HardwareBox = addVersionGroup(QStringLiteral("Hardware"), 212, HardwareLabel, HardwareEdit, NarrowVersionEdit,
                                  Qt::AlignRight);
    BootstrapBox = addVersionGroup(QStringLiteral("Bootstrap"), 284, BootstrapLabel, BootstrapEdit,
                                   NarrowVersionEdit, Qt::AlignRight);
    KernelBox = addVersionGroup(QStringLiteral("Kernel"), 356, KernelLabel, KernelEdit, WideVersionEdit,
                                Qt::AlignRight);
    FirmwareBox = addVersionGroup(QStringLiteral("Firmware"), 428, FirmwareLabel, FirmwareEdit, WideVersionEdit,
                                  Qt::AlignLeft);
    FirmwareBox->setAlignment(Qt::AlignRight);

    // The DNS rows were added after the buttons; Tab still walks the address rows first.
    setTabOrder(gateway, DNS1);
    setTabOrder(DNS1, DNS2);
    setTabOrder(DNS2, OKBtn);
    setTabOrder(OKBtn, CancelBtn);

    // This device type has the DHCP switch.
    dhcp->setVisible(true);

    HardwareBox->setTitle(LoadResString(StringId::HardwareCaption));
    BootstrapBox->setTitle(LoadResString(StringId::BootstrapCaption));
    KernelBox->setTitle(LoadResString(StringId::KernelCaption));
    FirmwareBox->setTitle(LoadResString(StringId::FirmwareCaption));
    for (QLabel *label : {HardwareLabel, BootstrapLabel, KernelLabel, FirmwareLabel}) {
        label->setText(LoadResString(StringId::VersionCaption));
        label->adjustSize();
    }

    ControlTag::set(HardwareEdit, Wire::Param::HardwareVersion);
    ControlTag::set(BootstrapEdit, Wire::Param::BootstrapVersion);
    ControlTag::set(KernelEdit, Wire::Param::KernelVersion);
    ControlTag::set(FirmwareEdit, Wire::Param::FirmwareVersion);
}

QGroupBox *TPalimorPropertiesDialog::addVersionGroup(const QString &name, int top, QLabel *&label, QLineEdit *&edit,
                                         QRect editGeometry, Qt::Alignment textAlignment)
{
    auto *box = new QGroupBox(this);
    box->setObjectName(name + QStringLiteral("Box"));
    box->setGeometry(VersionGroupLeft, top, VersionGroupWidth, VersionGroupHeight);

    label = new QLabel(box);
    label->setObjectName(name + QStringLiteral("Label"));
    label->move(VersionLabelPos);

    edit = new QLineEdit(box);
    edit->setObjectName(name + QStringLiteral("Edit"));
    edit->setGeometry(editGeometry);
    edit->setAlignment(textAlignment | Qt::AlignVCenter);
    edit->setReadOnly(true);
    edit->setFocusPolicy(Qt::ClickFocus); // shown for reading and copying, not a tab stop
    return box;
}

TPropertiesDialog *CreatePalimorForm(QWidget *owner)
{
    return new TPalimorPropertiesDialog(owner);
}
