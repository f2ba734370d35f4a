// Writes pictures of the properties dialog for review: simulated devices (the
// simulator's own device model, in-process), one with DHCP off and one with DHCP on.
//
//   properties_screenshot OUTPUT_DIR
#include "app/properties/palimorpropertiesdialog.h"
#include "replybuilder.h"

#include "protocol/datagram.h"
#include "protocol/resource.h"
#include "devsim/simdevice.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTimer>

#include <cstdio>

namespace {
constexpr quint32 FirstDevice = 0xC6120101; // 198.18.1.1, the lab's first device
constexpr int Devices = 12;
constexpr quint64 Seed = 1;

// The device's answer to the program's discovery request.
QByteArray discoveryReply(const DevSim::SimDevice &device)
{
    ReplyBuilder reply(1, device.addressRecord());
    for (quint16 id : Wire::DiscoveryIds)
        if (const std::optional<QByteArray> value = device.parameterValue(id))
            reply.element(id, *value);
    return reply.terminate();
}

// Opens the dialog on devices[index] and saves what it shows; true when saved.
bool shoot(const QList<TDeviceRecord> &devices, int index, const QString &path)
{
    std::unique_ptr<TPropertiesDialog> form(CreatePalimorForm(nullptr));
    form->setDevice(index, devices);
    bool saved = false;
    QTimer::singleShot(0, form.get(), [&] {
        form->grab().save(path);
        saved = QFileInfo::exists(path);
        form->reject();
    });
    form->Execute();
    return saved;
}
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath(QStringLiteral(".")))
        return 1;

    StartupInit();

    const QList<DevSim::SimDevice> devices = DevSim::generateDevices(Devices, FirstDevice, Seed);
    QList<TDeviceRecord> listed;
    for (const DevSim::SimDevice &device : devices)
        MergeDiscoveryReply(listed, device.ipText(), discoveryReply(device), true);

    int withoutDhcp = -1, withDhcp = -1;
    for (int i = 0; i < listed.size(); ++i) {
        if (!TDeviceTypeRegistry::standard().find(listed[i].Params.number(Wire::Param::TypeCode, -1)))
            continue;
        const bool dhcp = listed[i].Params.number(Wire::Param::NetworkFlags) & Wire::DhcpFlag;
        int &slot = dhcp ? withDhcp : withoutDhcp;
        if (slot < 0)
            slot = i;
    }
    if (withoutDhcp < 0 || withDhcp < 0)
        return 1;

    const QString plain = out.filePath(QStringLiteral("properties.png"));
    const QString dhcp = out.filePath(QStringLiteral("properties-dhcp.png"));
    if (!shoot(listed, withoutDhcp, plain) || !shoot(listed, withDhcp, dhcp))
        return 1;
    std::printf("%s (%s)\n%s (%s)\n", qPrintable(plain), qPrintable(listed[withoutDhcp].IpText), qPrintable(dhcp),
                qPrintable(listed[withDhcp].IpText));
    return 0;
}
