#pragma once
// Shared by the properties dialog tests: running the modal dialog and reading what it shows.

#include "app/properties/propertiesdialog.h"
#include "app/properties/ipedit.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <functional>

namespace DialogTest {

// The five address rows of the built-in device's dialog, top to bottom.
inline const QStringList addressNames{QStringLiteral("ipaddress"), QStringLiteral("submask"),
                                      QStringLiteral("gateway"), QStringLiteral("DNS1"), QStringLiteral("DNS2")};
inline const QStringList rowLabelNames{QStringLiteral("IPAddressLabel"), QStringLiteral("submaskLabel"),
                                       QStringLiteral("gatewayLabel"), QStringLiteral("DNS1Label"),
                                       QStringLiteral("DNS2Label")};
inline const QStringList versionNames{QStringLiteral("HardwareEdit"), QStringLiteral("BootstrapEdit"),
                                      QStringLiteral("KernelEdit"), QStringLiteral("FirmwareEdit")};

// Runs Execute. Once the dialog is up and active, whileOpen looks at it and usually
// closes it; a dialog still open afterwards is cancelled, so that a failed check inside
// whileOpen never leaves the test waiting on a modal dialog.
inline int executeWith(TPropertiesDialog &form, const std::function<void()> &whileOpen)
{
    QTimer::singleShot(0, &form, [&form, whileOpen] {
        form.activateWindow();
        if (QTest::qWaitForWindowActive(&form))
            whileOpen();
        else
            qWarning("the dialog did not become active");
        if (form.isVisible())
            form.reject();
    });
    return form.Execute();
}

// What the dialog shows, read while it is open.
struct Shown
{
    bool dhcpVisible = false;
    bool dhcpChecked = false;
    QList<bool> rowsEnabled;   // labels and address controls, in addressNames order, labels first
    QList<bool> fieldsEnabled; // the octet fields of the address controls
    QStringList addresses;     // Text of each address control
    QStringList versions;

    static Shown of(TPropertiesDialog &form)
    {
        Shown shown;
        auto *dhcp = form.findChild<QCheckBox *>(QStringLiteral("DHCP"));
        shown.dhcpVisible = dhcp && dhcp->isVisible();
        shown.dhcpChecked = dhcp && dhcp->isChecked();
        for (const QString &name : rowLabelNames)
            if (auto *label = form.findChild<QLabel *>(name))
                shown.rowsEnabled << label->isEnabled();
        for (const QString &name : addressNames) {
            if (auto *edit = form.findChild<TIPEdit *>(name)) {
                shown.rowsEnabled << edit->isEnabled();
                for (int i = 0; i < TIPEdit::FieldCount; ++i)
                    shown.fieldsEnabled << edit->octetField(i)->isEnabled();
                shown.addresses << edit->text();
            }
        }
        for (const QString &name : versionNames)
            if (auto *edit = form.findChild<QLineEdit *>(name))
                shown.versions << edit->text();
        return shown;
    }

    bool allRowsEnabled(bool enabled) const
    {
        for (bool e : rowsEnabled + fieldsEnabled)
            if (e != enabled)
                return false;
        return !rowsEnabled.isEmpty();
    }
};

} // namespace DialogTest
