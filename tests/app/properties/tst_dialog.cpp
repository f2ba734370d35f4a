// The properties dialog on device records built from reply bytes: layout, what it shows,
// the DHCP rule, what OK gathers into the dialog's copy, and how it closes.
#include "dialoghelpers.h"
#include "app/properties/dialogsbytype.h"
#include "app/properties/palimorpropertiesdialog.h"
#include "replybuilder.h"

#include "protocol/datagram.h"
#include "protocol/resource.h"

#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include <optional>

using namespace DialogTest;

namespace {
constexpr quint32 BuiltInType = 0x000B1156;
const QString replySender = QStringLiteral("192.168.1.20");

struct DeviceReply
{
    quint32 ip = 0xC0A80114;     // 192.168.1.20
    quint32 mask = 0xFFFFFF00;   // 255.255.255.0
    quint32 gateway = 0xC0A801FE; // 192.168.1.254
    quint32 dns1 = 0x08080808;
    std::optional<quint32> dns2 = 0x01010101u;
    std::optional<quint8> flags = quint8(0x01);
    QByteArray hardware = "HW 2.1";
    QByteArray bootstrap = "1.0.7";
    QByteArray kernel = "4.19.112";
    QByteArray firmware = "3.2.7";
    QByteArray name = "Chaufferie-Nord";

    QByteArray bytes() const
    {
        ReplyBuilder reply;
        reply.ipv4(1, mask).ipv4(2, ip).ipv4(3, gateway).element(4, QByteArray::fromHex("0102"));
        reply.text(5, "Palimor P4").text(7, name.constData());
        if (flags)
            reply.element(6, QByteArray(1, static_cast<char>(*flags)));
        reply.ipv4(13, BuiltInType).text(12, hardware.constData()).ipv4(14, dns1);
        if (dns2)
            reply.ipv4(15, *dns2);
        reply.element(16, bootstrap).element(17, kernel).element(18, firmware);
        return reply.terminate();
    }
};

// Makes the device of the reply the only one of the list and returns its index.
int deviceFromReply(QList<TDeviceRecord> &devices, const QByteArray &reply)
{
    devices.clear();
    const int index = MergeDiscoveryReply(devices, replySender, reply, true);
    return index;
}

QStringList texts(std::initializer_list<const char *> list)
{
    QStringList result;
    for (const char *text : list)
        result << QString::fromLatin1(text);
    return result;
}

// The name of the dialog control that has the focus (an address control for its fields).
QString focusedControl()
{
    for (QWidget *w = QApplication::focusWidget(); w; w = w->parentWidget())
        if (qobject_cast<TIPEdit *>(w))
            return w->objectName();
    return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
}

QWidget *const focusWidget = nullptr; // key events go to the focus widget

// A generic device dialog with extra bound controls, to show the binding rules of
// controls that the built-in device's dialog does not have.
class TBindingForm : public TPropertiesDialog
{
public:
    TBindingForm()
    {
        auto add = [](QWidget *control, const char *name, quint32 tag) {
            control->setObjectName(QString::fromLatin1(name));
            ControlTag::set(control, tag);
            if (auto *radio = qobject_cast<QRadioButton *>(control))
                radio->setAutoExclusive(false);
            return control;
        };
        add(new QCheckBox(this), "flagBit0", 0x0006);                 // parameter 6, bit 0
        add(new QCheckBox(this), "flagBit7", 0x7006);                 // parameter 6, bit 7
        add(new QRadioButton(this), "radioBit2", 0x2006);             // parameter 6, bit 2
        add(new QRadioButton(this), "radioMasked", 0x0C08006);        // parameter 6: (low byte AND 0x0C) = 0x08
        add(new QLineEdit(this), "nameEdit", 7);                      // parameter 7 as text
        add(new QLineEdit(this), "unbound", 0x5000);                  // id field 0: not bound
        add(new TIPEdit(this), "dns", 14);                            // parameter 14 as an address
    }
};
} // namespace

class TestPropertiesDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        StartupInit();
    }

    void factory()
    {
        QWidget owner;
        const TPropertiesDialogsByType dialogs;
        QVERIFY(dialogs.has(BuiltInType));
        std::unique_ptr<TPropertiesDialog> form = dialogs.create(BuiltInType, &owner);
        QVERIFY(qobject_cast<TPalimorPropertiesDialog *>(form.get()));
        QCOMPARE(form->parentWidget(), &owner);
        QCOMPARE(form->objectName(), QStringLiteral("PalimorForm"));
        QVERIFY(!dialogs.has(0x000C2001));
        QVERIFY(!dialogs.create(0x000C2001, &owner));
    }

    // A type given a dialog of its own opens it; the built-in type keeps its own.
    void dialogOfAnotherType()
    {
        QWidget owner;
        TPropertiesDialogsByType dialogs;
        dialogs.add(0x000C2001, [](QWidget *parent) { return new TPropertiesDialog(parent); });
        std::unique_ptr<TPropertiesDialog> other = dialogs.create(0x000C2001, &owner);
        QVERIFY(other);
        QVERIFY(!qobject_cast<TPalimorPropertiesDialog *>(other.get()));
        QVERIFY(qobject_cast<TPalimorPropertiesDialog *>(dialogs.create(BuiltInType, &owner).get()));
    }

    void geometry_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("rect"); // width 0: only the position counts

        const auto row = [](const char *name, int x, int y, int w, int h) {
            QTest::newRow(name) << QString::fromLatin1(name) << QRect(x, y, w, h);
        };
        row("IPBox", 12, 4, 405, 173);
        row("DHCP", 32, 24, 274, 18);
        row("IPAddressLabel", 35, 48, 0, 0);
        row("ipaddress", 291, 44, 100, 21);
        row("submaskLabel", 35, 72, 0, 0);
        row("submask", 291, 68, 100, 21);
        row("gatewayLabel", 35, 96, 0, 0);
        row("gateway", 291, 92, 100, 21);
        row("DNS1Label", 35, 120, 0, 0);
        row("DNS1", 291, 116, 100, 21);
        row("DNS2Label", 35, 144, 0, 0);
        row("DNS2", 291, 140, 100, 21);
        row("HardwareBox", 12, 212, 405, 57);
        row("HardwareLabel", 35, 28, 0, 0);
        row("HardwareEdit", 291, 24, 100, 21);
        row("BootstrapBox", 12, 284, 405, 57);
        row("BootstrapLabel", 35, 28, 0, 0);
        row("BootstrapEdit", 291, 24, 100, 21);
        row("KernelBox", 12, 356, 405, 57);
        row("KernelLabel", 35, 28, 0, 0);
        row("KernelEdit", 96, 24, 297, 21);
        row("FirmwareBox", 12, 428, 405, 57);
        row("FirmwareLabel", 35, 28, 0, 0);
        row("FirmwareEdit", 96, 24, 297, 21);
        row("OKBtn", 255, 513, 75, 25);
        row("CancelBtn", 343, 513, 75, 25);
    }

    void geometry()
    {
        QFETCH(QString, name);
        QFETCH(QRect, rect);
        TPalimorPropertiesDialog form;
        QCOMPARE(form.size(), QSize(434, 551));
        QCOMPARE(form.minimumSize(), form.maximumSize());
        auto *control = form.findChild<QWidget *>(name);
        QVERIFY(control);
        if (rect.width() == 0)
            QCOMPARE(control->pos(), rect.topLeft());
        else
            QCOMPARE(control->geometry(), rect);
    }

    void captions_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");

        const auto row = [](const char *name, const char *caption) {
            QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(caption);
        };
        row("PalimorForm", "Properties");
        row("IPBox", "  IP Address ");
        row("DHCP", "DHCP");
        row("IPAddressLabel", "IP Address :");
        row("submaskLabel", "Subnet Mask :");
        row("gatewayLabel", "Gateway :");
        row("DNS1Label", "DNS1 :");
        row("DNS2Label", "DNS2 :");
        row("HardwareBox", " Hardware ");
        row("BootstrapBox", " Bootstrap ");
        row("KernelBox", " Kernel ");
        row("FirmwareBox", " Firmware ");
        row("HardwareLabel", "Version :");
        row("BootstrapLabel", "Version :");
        row("KernelLabel", "Version :");
        row("FirmwareLabel", "Version :");
        row("OKBtn", "OK");
        row("CancelBtn", "Cancel");
    }

    void captions()
    {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        TPalimorPropertiesDialog form;
        QObject *control = name == form.objectName() ? &form : form.findChild<QObject *>(name);
        QVERIFY(control);
        QString text;
        if (auto *box = qobject_cast<QGroupBox *>(control))
            text = box->title();
        else if (auto *label = qobject_cast<QLabel *>(control))
            text = label->text();
        else if (auto *button = qobject_cast<QAbstractButton *>(control))
            text = button->text();
        else
            text = form.windowTitle();
        QCOMPARE(text, caption);
    }

    void tags_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<uint>("tag");

        const auto row = [](const char *name, uint tag) { QTest::newRow(name) << QString::fromLatin1(name) << tag; };
        row("DHCP", 16390);
        row("submask", 1);
        row("ipaddress", 2);
        row("gateway", 3);
        row("DNS1", 14);
        row("DNS2", 15);
        row("HardwareEdit", 12);
        row("BootstrapEdit", 16);
        row("KernelEdit", 17);
        row("FirmwareEdit", 18);
        row("IPBox", 0);
        row("OKBtn", 0);
        row("HardwareLabel", 0);
    }

    void tags()
    {
        QFETCH(QString, name);
        QFETCH(uint, tag);
        TPalimorPropertiesDialog form;
        auto *control = form.findChild<QWidget *>(name);
        QVERIFY(control);
        QCOMPARE(ControlTag::of(control), quint32(tag));
    }

    void versionFields()
    {
        TPalimorPropertiesDialog form;
        for (const QString &name : versionNames) {
            auto *edit = form.findChild<QLineEdit *>(name);
            QVERIFY(edit);
            QVERIFY(edit->isReadOnly());
            QVERIFY(!(edit->focusPolicy() & Qt::TabFocus));
            const Qt::Alignment expected = name == QStringLiteral("FirmwareEdit") ? Qt::AlignLeft : Qt::AlignRight;
            QCOMPARE(edit->alignment() & Qt::AlignHorizontal_Mask, expected);
        }
        QCOMPARE(form.findChild<QGroupBox *>(QStringLiteral("FirmwareBox"))->alignment(), Qt::AlignRight);
        QVERIFY(form.findChild<QPushButton *>(QStringLiteral("OKBtn"))->isDefault());
    }

    void tabOrder()
    {
        TPalimorPropertiesDialog form;
        form.show();
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        form.findChild<QWidget *>(QStringLiteral("DHCP"))->setFocus(Qt::TabFocusReason);

        QStringList visited{focusedControl()};
        for (int i = 0; i < 8; ++i) {
            QTest::keyClick(focusWidget, Qt::Key_Tab);
            visited << focusedControl();
        }
        QCOMPARE(visited, texts({"DHCP", "ipaddress", "submask", "gateway", "DNS1", "DNS2", "OKBtn", "CancelBtn",
                                 "DHCP"}));
    }

    // What the dialog shows for a device, read while it is open.
    void shows_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("dhcp");
        QTest::addColumn<QStringList>("addresses");
        QTest::addColumn<QStringList>("versions");

        const DeviceReply base;
        const QStringList baseAddresses =
            texts({"192.168.1.20", "255.255.255.0", "192.168.1.254", "8.8.8.8", "1.1.1.1"});
        const QStringList baseVersions = texts({"HW 2.1", "1.0.7", "4.19.112", "3.2.7"});

        QTest::newRow("dhcp off") << base.bytes() << false << baseAddresses << baseVersions;

        DeviceReply dhcpOn = base;
        dhcpOn.flags = 0x11;
        QTest::newRow("dhcp on") << dhcpOn.bytes() << true << baseAddresses << baseVersions;

        DeviceReply onlyDhcp = base;
        onlyDhcp.flags = 0x10;
        QTest::newRow("dhcp bit alone") << onlyDhcp.bytes() << true << baseAddresses << baseVersions;

        DeviceReply otherBits = base;
        otherBits.flags = 0xEF;
        QTest::newRow("every bit but dhcp") << otherBits.bytes() << false << baseAddresses << baseVersions;

        DeviceReply noFlags = base;
        noFlags.flags.reset();
        QTest::newRow("flags not reported") << noFlags.bytes() << false << baseAddresses << baseVersions;

        DeviceReply noDns2 = base;
        noDns2.dns2.reset();
        QTest::newRow("no DNS2") << noDns2.bytes() << false
                                 << texts({"192.168.1.20", "255.255.255.0", "192.168.1.254", "8.8.8.8", ""})
                                 << baseVersions;

        DeviceReply extremes = base;
        extremes.ip = 0x0A000001;
        extremes.mask = 0xFFFFFFFF;
        extremes.gateway = 0;
        extremes.dns1 = 0x7F000001;
        extremes.dns2 = 0xE0000000;
        QTest::newRow("extreme addresses") << extremes.bytes() << false
                                           << texts({"10.0.0.1", "255.255.255.255", "0.0.0.0", "127.0.0.1", "224.0.0.0"})
                                           << baseVersions;

        DeviceReply longVersions = base;
        longVersions.kernel = "Linux 4.19.112-rt47 #1 PREEMPT RT Thu Mar 11 10:12:00 CET 2021";
        longVersions.firmware = "3.2.7 (build 2207) \xe9t\xe9 ";
        longVersions.hardware = " HW 2";
        QTest::newRow("versions as received") << longVersions.bytes() << false << baseAddresses
                                              << QStringList{QStringLiteral(" HW 2"), QStringLiteral("1.0.7"),
                                                             QStringLiteral("Linux 4.19.112-rt47 #1 PREEMPT RT Thu Mar 11 10:12:00 CET 2021"),
                                                             QStringLiteral("3.2.7 (build 2207) \u00e9t\u00e9 ")};

        DeviceReply emptyVersions = base;
        emptyVersions.hardware.clear();
        emptyVersions.bootstrap.clear();
        emptyVersions.kernel.clear();
        emptyVersions.firmware.clear();
        QTest::newRow("empty versions") << emptyVersions.bytes() << false << baseAddresses << texts({"", "", "", ""});
    }

    void shows()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, dhcp);
        QFETCH(QStringList, addresses);
        QFETCH(QStringList, versions);

        const int index = deviceFromReply(m_devices, reply);
        QCOMPARE(index, 0);
        QWidget owner;
        std::unique_ptr<TPropertiesDialog> form(CreatePalimorForm(&owner));
        form->setDevice(index, m_devices);
        Shown shown;
        const int result = executeWith(*form, [&] {
            shown = Shown::of(*form);
            QTest::keyClick(focusWidget, Qt::Key_Escape);
        });
        QCOMPARE(result, ModalResult::Cancel);
        QVERIFY(shown.dhcpVisible);
        QCOMPARE(shown.dhcpChecked, dhcp);
        QVERIFY2(shown.allRowsEnabled(!dhcp), "every address row follows the DHCP switch");
        QCOMPARE(shown.rowsEnabled.size(), 10);
        QCOMPARE(shown.fieldsEnabled.size(), 20);
        QCOMPARE(shown.addresses, addresses);
        QCOMPARE(shown.versions, versions);
        QCOMPARE(form->local_eps(), m_devices[index]); // Cancel leaves the copy as it was taken
    }

    // A device that never reported its addresses or versions shows an empty dialog.
    void nothingReported()
    {
        m_devices.clear();
        QByteArray reply = ReplyBuilder().ipv4(13, BuiltInType).terminate();
        QCOMPARE(MergeDiscoveryReply(m_devices, replySender, reply, true), 0);
        std::unique_ptr<TPropertiesDialog> form(CreatePalimorForm(nullptr));
        form->setDevice(0, m_devices);
        Shown shown;
        QStringList fieldTexts;
        executeWith(*form, [&] {
            for (const QString &name : addressNames)
                for (int i = 0; i < TIPEdit::FieldCount; ++i)
                    fieldTexts << form->findChild<TIPEdit *>(name)->octetField(i)->text();
            shown = Shown::of(*form);
        });
        QVERIFY(!shown.dhcpChecked);
        QVERIFY(shown.allRowsEnabled(true));
        QCOMPARE(shown.addresses, texts({"", "", "", "", ""}));
        QCOMPARE(shown.versions, texts({"", "", "", ""}));
        QCOMPARE(fieldTexts, QStringList(20, QString()));
    }

    // The dialog shows the device its Tag names, not the first one.
    void tagSelectsTheDevice()
    {
        m_devices.clear();
        DeviceReply first, second;
        second.ip = 0xC0A80115;
        second.firmware = "9.9.9";
        QCOMPARE(MergeDiscoveryReply(m_devices, replySender, first.bytes(), true), 0);
        const QByteArray otherRecord = QByteArray::fromHex("0001" "0050c21a2b3d");
        QByteArray secondReply = second.bytes();
        secondReply.replace(8, 8, otherRecord);
        QCOMPARE(MergeDiscoveryReply(m_devices, QStringLiteral("192.168.1.21"), secondReply, true), 1);

        std::unique_ptr<TPropertiesDialog> form(CreatePalimorForm(nullptr));
        form->setDevice(1, m_devices);
        Shown shown;
        executeWith(*form, [&] { shown = Shown::of(*form); });
        QCOMPARE(shown.addresses.value(0), QStringLiteral("192.168.1.21"));
        QCOMPARE(shown.versions.value(3), QStringLiteral("9.9.9"));
        QCOMPARE(form->local_eps().Address, m_devices[1].Address);
    }

    // Unchecking DHCP enables the five rows, checking it disables them again.
    void dhcpSwitch()
    {
        DeviceReply device;
        device.flags = 0x11;
        const int index = deviceFromReply(m_devices, device.bytes());
        std::unique_ptr<TPropertiesDialog> form(CreatePalimorForm(nullptr));
        form->setDevice(index, m_devices);
        QList<Shown> steps;
        executeWith(*form, [&] {
            auto *dhcp = form->findChild<QCheckBox *>(QStringLiteral("DHCP"));
            steps << Shown::of(*form);
            QTest::mouseClick(dhcp, Qt::LeftButton);
            steps << Shown::of(*form);
            QTest::keyClick(dhcp, Qt::Key_Space); // the keyboard works the switch as well
            steps << Shown::of(*form);
            QTest::mouseClick(dhcp, Qt::LeftButton, Qt::NoModifier, QPoint(5, 9)); // on the caption
            steps << Shown::of(*form);
        });
        QCOMPARE(steps.size(), 4);
        const QList<bool> checked{steps[0].dhcpChecked, steps[1].dhcpChecked, steps[2].dhcpChecked,
                                  steps[3].dhcpChecked};
        QCOMPARE(checked, (QList<bool>{true, false, true, false}));
        for (const Shown &step : steps)
            QVERIFY(step.allRowsEnabled(!step.dhcpChecked));
    }

    // What OK gathers into the dialog's own copy of the device.
    void okGathers_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QTestEventList>("typed"); // after Tab from the DHCP switch into ipaddress
        QTest::addColumn<bool>("toggleDhcp");
        // Parameters 2, 1, 3, 6, 14, 15 after OK.
        QTest::addColumn<QList<qint64>>("gathered");
        QTest::addColumn<bool>("changed"); // the notice that nothing was sent

        const DeviceReply base;
        const qint64 ip = 0xC0A80114, mask = 0xFFFFFF00, gateway = 0xC0A801FE, dns1 = 0x08080808, dns2 = 0x01010101;

        QTest::newRow("nothing changed") << base.bytes() << QTestEventList() << false
                                         << QList<qint64>{ip, mask, gateway, 0x01, dns1, dns2} << false;

        DeviceReply noDns2 = base;
        noDns2.dns2.reset();
        QTest::newRow("no DNS2 gives 0") << noDns2.bytes() << QTestEventList() << false
                                         << QList<qint64>{ip, mask, gateway, 0x01, dns1, 0} << false;

        DeviceReply dhcpOn = base;
        dhcpOn.flags = 0x13;
        QTest::newRow("dhcp off keeps the other bits") << dhcpOn.bytes() << QTestEventList() << true
                                                       << QList<qint64>{ip, mask, gateway, 0x03, dns1, dns2} << true;
        QTest::newRow("dhcp left on") << dhcpOn.bytes() << QTestEventList() << false
                                      << QList<qint64>{ip, mask, gateway, 0x13, dns1, dns2} << false;

        DeviceReply dhcpOff = base;
        dhcpOff.flags = 0x05;
        QTest::newRow("dhcp on keeps the other bits") << dhcpOff.bytes() << QTestEventList() << true
                                                      << QList<qint64>{ip, mask, gateway, 0x15, dns1, dns2} << true;

        DeviceReply noFlags = base;
        noFlags.flags.reset();
        QTest::newRow("dhcp on without flags") << noFlags.bytes() << QTestEventList() << true
                                               << QList<qint64>{ip, mask, gateway, 0x10, dns1, dns2} << true;
        QTest::newRow("dhcp off without flags") << noFlags.bytes() << QTestEventList() << false
                                                << QList<qint64>{ip, mask, gateway, 0x00, dns1, dns2} << false;

        QTestEventList newAddress;
        newAddress.addKeyClicks(QStringLiteral("10.1.2.3"));
        QTest::newRow("new address typed") << base.bytes() << newAddress << false
                                           << QList<qint64>{0x0A010203, mask, gateway, 0x01, dns1, dns2} << true;

        QTestEventList erasedOctet;
        erasedOctet.addKeyClick(Qt::Key_Backspace);
        QTest::newRow("an erased octet reads as 0") << base.bytes() << erasedOctet << false
                                                    << QList<qint64>{0x00A80114, mask, gateway, 0x01, dns1, dns2} << true;

        QTestEventList nextRows;
        // After a third digit the next octet is focused with its text selected, so no
        // period follows it; a period in an empty octet does nothing.
        nextRows.addKeyClick(Qt::Key_Tab);
        nextRows.addKeyClicks(QStringLiteral("2552550.0"));
        nextRows.addKeyClick(Qt::Key_Tab);
        nextRows.addKeyClicks(QStringLiteral("10.0.0.1"));
        nextRows.addKeyClick(Qt::Key_Tab);
        nextRows.addKeyClicks(QStringLiteral("9.9.9.9"));
        nextRows.addKeyClick(Qt::Key_Tab);
        nextRows.addKeyClicks(QStringLiteral("149.112.112.112"));
        QTest::newRow("every row typed") << noDns2.bytes() << nextRows << false
                                         << QList<qint64>{ip, 0xFFFF0000, 0x0A000001, 0x01, 0x09090909, 0x95707070} << true;
    }

    void okGathers()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QTestEventList, typed);
        QFETCH(bool, toggleDhcp);
        QFETCH(QList<qint64>, gathered);
        QFETCH(bool, changed);

        const int index = deviceFromReply(m_devices, reply);
        const TDeviceRecord before = m_devices[index];
        std::unique_ptr<TPropertiesDialog> form(CreatePalimorForm(nullptr));
        form->setDevice(index, m_devices);
        QStringList notices;
        form->showNotice = [&notices](const QString &message) { notices << message; };
        const int result = executeWith(*form, [&] {
            auto *dhcp = form->findChild<QCheckBox *>(QStringLiteral("DHCP"));
            if (toggleDhcp)
                QTest::mouseClick(dhcp, Qt::LeftButton);
            dhcp->setFocus(Qt::TabFocusReason);
            QTest::keyClick(focusWidget, Qt::Key_Tab);
            typed.simulate(focusWidget);
            QTest::mouseClick(form->findChild<QPushButton *>(QStringLiteral("OKBtn")), Qt::LeftButton);
        });
        QCOMPARE(result, ModalResult::Ok);

        const TParams &params = form->local_eps().Params;
        const QList<qint64> actual{params.number(2, -1), params.number(1, -1), params.number(3, -1),
                                   params.number(6, -1), params.number(14, -1), params.number(15, -1)};
        QCOMPARE(actual, gathered);
        QCOMPARE(notices, changed ? QStringList{TPropertiesDialog::notSentNotice()} : QStringList());
        // Nothing else of the copy changes, and the device list keeps what the device reported.
        for (int id : {4, 5, 7, 12, 13, 16, 17, 18})
            QCOMPARE(params[id], before.Params[id]);
        QCOMPARE(form->local_eps().IpText, before.IpText);
        QCOMPARE(m_devices[index], before);
    }

    // OK and Return end with 1; Cancel, Escape and the close box with 2, and gather nothing.
    void closing_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("result");

        QTest::newRow("OK button") << QStringLiteral("ok") << ModalResult::Ok;
        QTest::newRow("Return") << QStringLiteral("return") << ModalResult::Ok;
        QTest::newRow("Cancel button") << QStringLiteral("cancel") << ModalResult::Cancel;
        QTest::newRow("Escape") << QStringLiteral("escape") << ModalResult::Cancel;
        QTest::newRow("close box") << QStringLiteral("close") << ModalResult::Cancel;
    }

    void closing()
    {
        QFETCH(QString, how);
        QFETCH(int, result);

        const int index = deviceFromReply(m_devices, DeviceReply().bytes());
        std::unique_ptr<TPropertiesDialog> form(CreatePalimorForm(nullptr));
        form->setDevice(index, m_devices);
        form->showNotice = [](const QString &) {};
        bool closedByTest = false;
        const int actual = executeWith(*form, [&] {
            // Type a new address first: only OK may gather it.
            auto *ip = form->findChild<TIPEdit *>(QStringLiteral("ipaddress"));
            QTest::mouseClick(ip->dotLabel(0), Qt::LeftButton);
            QTest::keyClick(focusWidget, Qt::Key_Backspace);
            if (how == QStringLiteral("ok"))
                QTest::mouseClick(form->findChild<QPushButton *>(QStringLiteral("OKBtn")), Qt::LeftButton);
            else if (how == QStringLiteral("return"))
                QTest::keyClick(focusWidget, Qt::Key_Return);
            else if (how == QStringLiteral("cancel"))
                QTest::mouseClick(form->findChild<QPushButton *>(QStringLiteral("CancelBtn")), Qt::LeftButton);
            else if (how == QStringLiteral("escape"))
                QTest::keyClick(focusWidget, Qt::Key_Escape);
            else
                form->close();
            closedByTest = !form->isVisible();
        });
        QVERIFY(closedByTest);
        QCOMPARE(actual, result);
        const qint64 expectedIp = result == ModalResult::Ok ? 0x13A80114 : 0xC0A80114; // 19.168.1.20 after the Backspace
        QCOMPARE(form->local_eps().Params.number(2), expectedIp);
    }

    // The generic dialog: its DHCP switch is hidden, so the rows stay enabled, and the
    // Tag rules for check boxes, radio buttons, edits and address controls.
    void bindingRules_data()
    {
        QTest::addColumn<qint64>("flags");
        QTest::addColumn<QList<bool>>("checked"); // DHCP, flagBit0, flagBit7, radioBit2, radioMasked

        QTest::newRow("0x00") << qint64(0x00) << QList<bool>{false, false, false, false, false};
        QTest::newRow("0x01") << qint64(0x01) << QList<bool>{false, true, false, false, false};
        QTest::newRow("0x10") << qint64(0x10) << QList<bool>{true, false, false, false, false};
        QTest::newRow("0x84") << qint64(0x84) << QList<bool>{false, false, true, true, false};
        QTest::newRow("0x08") << qint64(0x08) << QList<bool>{false, false, false, false, true};
        QTest::newRow("0x0C masked") << qint64(0x0C) << QList<bool>{false, false, false, true, false};
        QTest::newRow("0x3F9 high byte ignored") << qint64(0x3F9) << QList<bool>{true, true, true, false, true};
    }

    void bindingRules()
    {
        QFETCH(qint64, flags);
        QFETCH(QList<bool>, checked);

        m_devices.clear();
        TDeviceRecord device;
        device.Params.set(6, flags);
        device.Params.set(7, QByteArray("Salle \xe9lectrique"));
        device.Params.set(14, qint64(0xC0A80101));
        device.Params.set(2, qint64(0x0A000002));
        m_devices << device;

        TBindingForm form;
        form.setDevice(0, m_devices);
        QList<bool> states;
        Shown shown;
        QString name, unbound, dns;
        executeWith(form, [&] {
            for (const char *control : {"DHCP", "flagBit0", "flagBit7", "radioBit2", "radioMasked"})
                states << form.findChild<QAbstractButton *>(QString::fromLatin1(control))->isChecked();
            shown = Shown::of(form);
            name = form.findChild<QLineEdit *>(QStringLiteral("nameEdit"))->text();
            unbound = form.findChild<QLineEdit *>(QStringLiteral("unbound"))->text();
            dns = form.findChild<TIPEdit *>(QStringLiteral("dns"))->text();
            QTest::keyClick(focusWidget, Qt::Key_Return);
        });
        QCOMPARE(states, checked);
        QVERIFY(!shown.dhcpVisible);
        QVERIFY(shown.allRowsEnabled(true));
        QCOMPARE(shown.addresses, texts({"10.0.0.2", "", ""}));
        QCOMPARE(name, QStringLiteral("Salle \u00e9lectrique"));
        QCOMPARE(unbound, QString());
        QCOMPARE(dns, QStringLiteral("192.168.1.1"));

        // Without components named DNS1 and DNS2, OK leaves parameters 14 and 15 alone.
        const TParams &params = form.local_eps().Params;
        QCOMPARE(params.number(14), qint64(0xC0A80101));
        QVERIFY(!params.has(15));
        QCOMPARE(params.number(2), qint64(0x0A000002));
        QCOMPARE(params.number(1, -1), qint64(0)); // an empty address control gathers 0
        QCOMPARE(params.number(6), checked[0] ? (flags | 0x10) : (flags & ~qint64(0x10)));
    }

    // A Tag that names no device shows an empty record rather than another device.
    void tagOutsideTheList()
    {
        m_devices.clear();
        m_devices << TDeviceRecord();
        std::unique_ptr<TPropertiesDialog> form(CreatePalimorForm(nullptr));
        form->setDevice(5, m_devices);
        Shown shown;
        executeWith(*form, [&] { shown = Shown::of(*form); });
        QCOMPARE(shown.addresses, texts({"", "", "", "", ""}));
        QCOMPARE(form->local_eps(), TDeviceRecord());
    }

private:
    QList<TDeviceRecord> m_devices; // the list the dialogs are opened on, as the main window's
};

QTEST_MAIN(TestPropertiesDialog)
#include "tst_dialog.moc"
