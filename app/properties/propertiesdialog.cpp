#include "app/properties/propertiesdialog.h"
#include "app/messagebox.h"

#include "protocol/errors.h"

#include "app/properties/ipedit.h"
#include "protocol/ipv4text.h"
#include "protocol/wire.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QStylePainter>

#include <algorithm>

namespace {
constexpr QSize ClientSize(434, 551);
constexpr int RowLabelLeft = 35;
constexpr int RowEditLeft = 291;
constexpr int RowEditWidth = 100;
constexpr int RowEditHeight = 21;
constexpr int RowLabelDrop = 4; // a row's label stands this much lower than its control

// A check box whose caption stands at its left and whose check mark sits at its right
// end, so that the DHCP switch lines up with the address controls below it.
class TLeftTextCheckBox final : public QCheckBox
{
public:
    using QCheckBox::QCheckBox;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        const QRect indicator = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);

        QStyleOptionButton box = option;
        box.rect = QRect(width() - indicator.width(), indicator.y(), indicator.width(), indicator.height());
        painter.drawPrimitive(QStyle::PE_IndicatorCheckBox, box);

        QStyleOptionButton label = option;
        label.rect = QRect(0, 0, width() - indicator.width(), height());
        painter.drawControl(QStyle::CE_CheckBoxLabel, label);
        if (hasFocus()) {
            QStyleOptionFocusRect focus;
            focus.initFrom(this);
            focus.rect = fontMetrics().boundingRect(label.rect, Qt::AlignLeft | Qt::AlignVCenter, text()).adjusted(-1, 0, 1, 0);
            painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
        }
    }

    // The whole width answers the mouse: the caption, the gap and the check mark.
    bool hitButton(const QPoint &pos) const override { return rect().contains(pos); }
};

qint64 numericValue(const TParamValue &value)
{
    if (const qint64 *number = std::get_if<qint64>(&value))
        return *number;
    if (const QByteArray *text = std::get_if<QByteArray>(&value))
        return text->trimmed().toLongLong();
    return 0;
}

// The check rule shared by check boxes and radio buttons.
bool isBitSet(quint32 tag, qint64 value)
{
    const int bit = ControlTag::bitOrValue(tag);
    return bit < 8 && (((value & 0xFF) >> bit) & 1) != 0;
}
} // namespace

quint32 ControlTag::of(const QObject *control)
{
    return control->property(Property).toUInt();
}

void ControlTag::set(QObject *control, quint32 tag)
{
    control->setProperty(Property, tag);
}

TPropertiesDialog::TPropertiesDialog(QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                         | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("EpsForm"));
    setWindowTitle(QStringLiteral("Properties"));
    setFixedSize(ClientSize);
    showNotice = [this](const QString &message) {
        ShowMessageBox(this, QMessageBox::Information, QStringLiteral("Information"), message);
    };

    IPBox = new QGroupBox(QStringLiteral("  IP Address "), this);
    IPBox->setObjectName(QStringLiteral("IPBox"));
    IPBox->setGeometry(12, 4, 405, 173);

    // Created first so that it is the first tab stop. Only windows that know the
    // device has a DHCP switch show it.
    dhcp = new TLeftTextCheckBox(QStringLiteral("DHCP"), IPBox);
    dhcp->setObjectName(QStringLiteral("DHCP"));
    dhcp->setGeometry(32, 24, 274, 18);
    ControlTag::set(dhcp, 0x4006); // parameter 6, bit 4
    dhcp->hide();

    ipaddress = addAddressRow(IPAddressLabel, QStringLiteral("ipaddress"), QStringLiteral("IP Address :"), 44,
                              Wire::Param::IpAddress);
    submask = addAddressRow(submaskLabel, QStringLiteral("submask"), QStringLiteral("Subnet Mask :"), 68,
                            Wire::Param::SubnetMask);
    gateway = addAddressRow(gatewayLabel, QStringLiteral("gateway"), QStringLiteral("Gateway :"), 92,
                            Wire::Param::Gateway);
    IPAddressLabel->setObjectName(QStringLiteral("IPAddressLabel"));
    submaskLabel->setObjectName(QStringLiteral("submaskLabel"));
    gatewayLabel->setObjectName(QStringLiteral("gatewayLabel"));

    // In the free band between the address box and the version boxes.
    SshToggleLabel = new QLabel(this);
    SshToggleLabel->setObjectName(QStringLiteral("SshToggleLabel"));
    SshToggleLabel->setGeometry(14, 184, 403, 20);
    SshToggleLabel->hide();

    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setGeometry(255, 513, 75, 25);
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    CancelBtn->setGeometry(343, 513, 75, 25);

    connect(OKBtn, &QPushButton::clicked, this, Guarded(this, &TPropertiesDialog::OKBtnClick));
    connect(CancelBtn, &QPushButton::clicked, this, &TPropertiesDialog::reject);
    connect(dhcp, &QCheckBox::toggled, this, &TPropertiesDialog::DHCPChange);
}

TIPEdit *TPropertiesDialog::addAddressRow(QLabel *&label, const QString &name, const QString &caption, int top, quint32 tag)
{
    label = new QLabel(caption, IPBox);
    label->move(RowLabelLeft, top + RowLabelDrop);
    label->adjustSize();

    auto *edit = new TIPEdit(IPBox);
    edit->setObjectName(name);
    edit->setGeometry(RowEditLeft, top, RowEditWidth, RowEditHeight);
    ControlTag::set(edit, tag);
    return edit;
}

void TPropertiesDialog::setDevice(int index, const QList<TDeviceRecord> &devices)
{
    m_tag = index;
    m_device = (index >= 0 && index < devices.size()) ? devices.at(index) : TDeviceRecord();
}

int TPropertiesDialog::Execute()
{
    m_localEps = m_device;
    LoadFromDevice();
    const int result = exec();
    if (QWidget *owner = parentWidget())
        owner->update();
    return result;
}

void TPropertiesDialog::LoadFromDevice()
{
    // Controls inside an address control carry no Tag, so only the window's own
    // controls take part.
    const QList<QWidget *> controls = findChildren<QWidget *>();
    for (auto it = controls.crbegin(); it != controls.crend(); ++it) {
        QWidget *control = *it;
        const quint32 tag = ControlTag::of(control);
        const int id = ControlTag::parameterId(tag);
        if (id == 0)
            continue;
        const TParamValue &value = m_localEps.Params[id];
        if (std::holds_alternative<std::monostate>(value))
            continue; // never reported: the control stays as laid out

        if (auto *address = qobject_cast<TIPEdit *>(control)) {
            address->setText(IpToText(static_cast<quint32>(numericValue(value))));
        } else if (auto *edit = qobject_cast<QLineEdit *>(control)) {
            edit->setText(ParamValueText(value));
        } else if (auto *check = qobject_cast<QCheckBox *>(control)) {
            check->setChecked(isBitSet(tag, numericValue(value)));
        } else if (auto *radio = qobject_cast<QRadioButton *>(control)) {
            const int mask = ControlTag::mask(tag);
            const qint64 low = numericValue(value) & 0xFF;
            radio->setChecked(mask != 0 ? (low & mask) == ControlTag::bitOrValue(tag) : isBitSet(tag, low));
        }
    }
    update();
}

void TPropertiesDialog::setSshToggleText(const QString &text)
{
    SshToggleLabel->setText(text);
    SshToggleLabel->setVisible(!text.isEmpty());
}

QString TPropertiesDialog::sshToggleText() const
{
    return SshToggleLabel->text();
}

void TPropertiesDialog::DHCPChange()
{
    const bool enable = !(!dhcp->isHidden() && dhcp->isChecked());
    const QList<QWidget *> rows = IPBox->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    for (QWidget *row : rows)
        if (row != dhcp)
            row->setEnabled(enable);
}

namespace {
// What OK gathers: address, mask, gateway, network flags and the two DNS servers.
constexpr quint16 GatheredIds[] = {Wire::Param::IpAddress, Wire::Param::SubnetMask, Wire::Param::Gateway,
                                   Wire::Param::NetworkFlags, Wire::Param::Dns1, Wire::Param::Dns2};
} // namespace

void TPropertiesDialog::OKBtnClick()
{
    // The settings as the device would take them; no request carries them to the device.
    TParams &params = m_localEps.Params;
    const TParams shown = params;
    auto addressOf = [](TIPEdit *edit) { return static_cast<qint64>(TextToIp(edit->text())); };
    params.set(Wire::Param::IpAddress, addressOf(ipaddress));
    params.set(Wire::Param::SubnetMask, addressOf(submask));
    params.set(Wire::Param::Gateway, addressOf(gateway));

    qint64 flags = params.number(Wire::Param::NetworkFlags, 0);
    flags = dhcp->isChecked() ? (flags | DhcpFlag) : (flags & ~DhcpFlag);
    params.set(Wire::Param::NetworkFlags, flags);

    if (auto *dns1 = findChild<TIPEdit *>(QStringLiteral("DNS1")))
        params.set(Wire::Param::Dns1, addressOf(dns1));
    if (auto *dns2 = findChild<TIPEdit *>(QStringLiteral("DNS2")))
        params.set(Wire::Param::Dns2, addressOf(dns2));

    // A setting the dialog showed as 0.0.0.0 (or unset flags) because the device sent none is
    // unchanged when it comes back so.
    const bool changed = std::any_of(std::begin(GatheredIds), std::end(GatheredIds),
                                     [&](quint16 id) { return params.number(id, 0) != shown.number(id, 0); });
    if (changed && showNotice)
        showNotice(notSentNotice());
    done(ModalResult::Ok);
}

void TPropertiesDialog::reject()
{
    done(ModalResult::Cancel);
}
