#pragma once
// TPropertiesDialog: the generic device dialog. It works on its own copy of one listed device
// and shows parameters in the controls bound to them by their Tag.

#include "protocol/devicerecord.h"

#include <QList>

#include <QDialog>

#include <functional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class TIPEdit;

// What Execute returns: how the dialog was closed.
namespace ModalResult {
constexpr int None = 0;
constexpr int Ok = 1;
constexpr int Cancel = 2; // the Cancel button, Escape or the close box
} // namespace ModalResult

// A control's Tag (dynamic property "Tag") binds it to one device parameter:
//   bits 0..11   the parameter id; 0 leaves the control unbound
//   bits 12..19  check boxes and radio buttons: the bit to test, or, for a radio button
//                with a mask, the value the masked low byte must equal
//   bits 20..27  radio buttons: the mask; 0 tests one bit, as a check box does
// Bit 28 (read bits 8..15 of the value) belongs to a radio-button class this program
// does not use; radio buttons here read the low byte.
namespace ControlTag {
constexpr char Property[] = "Tag";

quint32 of(const QObject *control);
void set(QObject *control, quint32 tag);

constexpr int parameterId(quint32 tag) { return static_cast<int>(tag & 0xFFFu); }
constexpr int bitOrValue(quint32 tag) { return static_cast<int>((tag >> 12) & 0xFFu); }
constexpr int mask(quint32 tag) { return static_cast<int>((tag >> 20) & 0xFFu); }
} // namespace ControlTag

class TPropertiesDialog : public QDialog
{
    Q_OBJECT

public:
    // Bit 4 of parameter 6: the device takes its address by DHCP.
    static constexpr qint64 DhcpFlag = 0x10;

    explicit TPropertiesDialog(QWidget *owner = nullptr);

    // The device to show, devices[index], taken by the opener before Execute; an index outside
    // the list shows an empty record rather than another device.
    void setDevice(int index, const QList<TDeviceRecord> &devices);
    // The index the device was given with.
    int tag() const { return m_tag; }

    // Copies the device given into local_eps, fills the controls from it and shows
    // the dialog modally. Returns ModalResult::Ok or ModalResult::Cancel.
    int Execute();

    // The dialog's own copy of the device; OK writes the edited settings into it.
    const TDeviceRecord &local_eps() const { return m_localEps; }

    // Shows every bound parameter that local_eps holds in its control.
    void LoadFromDevice();

    // Enables the address rows unless DHCP is shown and checked.
    void DHCPChange();
    // Gathers the edited settings into local_eps and closes with ModalResult::Ok. The device has
    // no request that takes settings: when the user changed one, the notice says that nothing
    // was sent.
    void OKBtnClick();
    // An information box ("Information", one OK button); tests replace it.
    std::function<void(const QString &message)> showNotice;
    static QString notSentNotice()
    {
        return QStringLiteral("The device's network settings cannot be changed from this program; nothing was sent.");
    }

    // Cancel, Escape and the close box all end with ModalResult::Cancel.
    void reject() override;

    // "SSH toggled 3 times since 2026-12-01 by this PC", under the address box; hidden when empty.
    // The device does not report its SSH state: the opener tells what this PC's history knows.
    void setSshToggleText(const QString &text);
    QString sshToggleText() const;

protected:
    // One label and address control row of IPBox, at the row's top.
    TIPEdit *addAddressRow(QLabel *&label, const QString &name, const QString &caption, int top, quint32 tag);

    QGroupBox *IPBox = nullptr;
    QLabel *IPAddressLabel = nullptr;
    TIPEdit *ipaddress = nullptr;
    QLabel *submaskLabel = nullptr;
    TIPEdit *submask = nullptr;
    QLabel *gatewayLabel = nullptr;
    TIPEdit *gateway = nullptr;
    QCheckBox *dhcp = nullptr;
    QPushButton *OKBtn = nullptr;
    QPushButton *CancelBtn = nullptr;
    QLabel *SshToggleLabel = nullptr;

private:
    TDeviceRecord m_device; // as the list had it
    TDeviceRecord m_localEps;
    int m_tag = 0;
};
