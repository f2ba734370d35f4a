// The properties dialog on simulated devices found in the lab: discovered through the
// engine's broadcast, opened through the device type's factory, and compared with the
// simulator's own model of each device.
#include "dialoghelpers.h"
#include "labsim.h"
#include "app/properties/dialogsbytype.h"
#include "app/properties/palimorpropertiesdialog.h"

#include "protocol/datagram.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "devsim/simdevice.h"

#include <QPushButton>
#include <QtTest>

#include <memory>

using namespace DialogTest;

namespace {
constexpr int Devices = 12; // every variant of the simulator's devices
constexpr quint64 Seed = 5;
constexpr int DiscoveryWaitMs = 15000;
QWidget *const focusWidget = nullptr;
} // namespace

class TestPropertiesLab : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<LabSimulator> m_sim;
    std::unique_ptr<TDatagramEngine> m_engine;
    QList<DevSim::SimDevice> m_model;
    QList<TDeviceRecord> m_devices; // as the main window lists them

    int deviceIndexOf(const QString &ip) const
    {
        for (int i = 0; i < m_devices.size(); ++i)
            if (m_devices[i].IpText == ip)
                return i;
        return -1;
    }

private slots:
    void initTestCase()
    {
        if (!LabSimulator::inLab())
            QSKIP("runs in the lab's PC namespace (ctest -L lab)");
        StartupInit();

        m_sim = std::make_unique<LabSimulator>();
        QVERIFY2(m_sim->start(Devices, {QStringLiteral("--seed"), QString::number(Seed)}),
                 qPrintable(m_sim->errorString()));
        m_model = DevSim::generateDevices(Devices, LabSimulator::deviceAddress(0).toIPv4Address(), Seed);

        TDatagramEngine::Options options;
        options.bindAddresses = {LabSimulator::pcAddress().toIPv4Address()};
        m_engine = std::make_unique<TDatagramEngine>(options);
        QVERIFY2(m_engine->bindError().isEmpty(), qPrintable(m_engine->bindError()));

        m_devices.clear();
        QCOMPARE(m_engine->Discover(QString(),
                                     [this](const QString &peerIp, int, const char *data, int length, bool, bool viaDatagram) {
                                         MergeDiscoveryReply(m_devices, peerIp, QByteArrayView(data, length), viaDatagram);
                                     }),
                 QString());
        QTRY_COMPARE_WITH_TIMEOUT(m_devices.size(), Devices, DiscoveryWaitMs);
    }

    void cleanupTestCase()
    {
        m_engine.reset();
        m_sim.reset();
        m_devices.clear();
    }

    void opens_data()
    {
        QTest::addColumn<int>("device");
        for (int i = 0; i < Devices; ++i) {
            const QByteArray name = QByteArrayLiteral("device ") + QByteArray::number(i)
                + (DevSim::generatedWithUnknownType(i) ? " (unknown type)"
                   : DevSim::generatedWithDhcp(i)      ? " (DHCP)"
                                                       : "");
            QTest::newRow(name.constData()) << i;
        }
    }

    // Each device shows what the simulator says it reported; a device of a type the
    // program does not know has no window to open.
    void opens()
    {
        QFETCH(int, device);
        const DevSim::SimDevice &model = m_model.at(device);
        const int index = deviceIndexOf(model.ipText());
        QVERIFY(index >= 0);

        QWidget owner;
        const std::unique_ptr<TPropertiesDialog> form =
            TPropertiesDialogsByType().create(m_devices[index].Params.number(Wire::Param::TypeCode, -1), &owner);
        if (DevSim::generatedWithUnknownType(device)) {
            QVERIFY(!form);
            return;
        }
        QVERIFY(form);
        form->setDevice(index, m_devices);
        Shown shown;
        const int result = executeWith(*form, [&] {
            shown = Shown::of(*form);
            QTest::keyClick(focusWidget, Qt::Key_Escape);
        });
        QCOMPARE(result, ModalResult::Cancel);

        const bool dhcp = (model.networkFlags & Wire::DhcpFlag) != 0;
        QCOMPARE(shown.dhcpChecked, dhcp);
        QVERIFY(shown.allRowsEnabled(!dhcp));
        const QStringList addresses{DevSim::ipToText(model.ip), DevSim::ipToText(model.netmask),
                                    DevSim::ipToText(model.gateway), DevSim::ipToText(model.dns1),
                                    DevSim::ipToText(model.dns2)};
        QCOMPARE(shown.addresses, addresses);
        const QStringList versions{QString::fromLatin1(model.hardwareVersion), QString::fromLatin1(model.bootstrapVersion),
                                   QString::fromLatin1(model.kernelVersion), QString::fromLatin1(model.firmwareVersion)};
        QCOMPARE(shown.versions, versions);
    }

    // OK on a DHCP device after switching DHCP off and typing an address: the dialog's
    // copy takes the settings, the device is sent nothing, and the user is told so.
    void okOnDhcpDevice()
    {
        int device = -1;
        for (int i = 0; i < Devices && device < 0; ++i)
            if (DevSim::generatedWithDhcp(i) && !DevSim::generatedWithUnknownType(i))
                device = i;
        QVERIFY(device >= 0);
        const DevSim::SimDevice &model = m_model.at(device);
        const int index = deviceIndexOf(model.ipText());
        QVERIFY(index >= 0);
        const int requestsBefore = m_sim->requests().size();

        std::unique_ptr<TPropertiesDialog> form(CreatePalimorForm(nullptr));
        form->setDevice(index, m_devices);
        QStringList notices;
        form->showNotice = [&notices](const QString &message) { notices << message; };
        const int result = executeWith(*form, [&] {
            auto *dhcp = form->findChild<QCheckBox *>(QStringLiteral("DHCP"));
            QTest::mouseClick(dhcp, Qt::LeftButton);
            QTest::keyClick(focusWidget, Qt::Key_Tab);
            QTest::keyClicks(focusWidget, QStringLiteral("10.0.0.7"));
            QTest::mouseClick(form->findChild<QPushButton *>(QStringLiteral("OKBtn")), Qt::LeftButton);
        });
        QCOMPARE(result, ModalResult::Ok);
        QCOMPARE(notices, QStringList{TPropertiesDialog::notSentNotice()});

        const TParams &params = form->local_eps().Params;
        QCOMPARE(params.number(Wire::Param::NetworkFlags), qint64(model.networkFlags & ~Wire::DhcpFlag));
        QCOMPARE(params.number(Wire::Param::IpAddress), qint64(0x0A000007));
        QCOMPARE(params.number(Wire::Param::SubnetMask), qint64(model.netmask));
        QCOMPARE(params.number(Wire::Param::Dns2), qint64(model.dns2));
        QCOMPARE(m_devices[index].Params.number(Wire::Param::IpAddress), qint64(model.ip));

        const QList<QJsonObject> requests = m_sim->requests();
        QCOMPARE(requests.size(), requestsBefore);
        for (const QJsonObject &request : requests)
            QCOMPARE(request.value(QLatin1String("cmd")).toInt(), 1); // discoveries only
    }
};

QTEST_MAIN(TestPropertiesLab)
#include "tst_lab.moc"
