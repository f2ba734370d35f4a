// The device operations from a plain QCoreApplication: scan the segment, then read the
// configuration of the first device found. Built as tarvino-example-readconfig; run it where
// devices answer (lab/lab pc build/operations/tarvino-example-readconfig).

#include "operations/commandoperations.h"
#include "operations/controlleroperations.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    StartupInit();       // the protocol code every request carries
    TDatagramEngine engine;     // binds UDP 52389 on every local IPv4 address

    TScanDevices scan(&engine); // two broadcasts a second apart, three seconds of listening
    scan.exec();
    const QList<TDeviceRecord> devices = scan.devices();
    for (const TDeviceRecord &device : devices)
        std::printf("%s %s\n", qPrintable(device.IpText), qPrintable(device.Params.text(Wire::Param::Name)));
    if (devices.isEmpty())
        return 1;

    TReadControllerText read(&engine, {devices.first().IpText, devices.first().Transport},
                             TReadControllerText::Kind::Configuration);
    const TOperationOutcome outcome = read.exec();
    if (!outcome.succeeded) {
        std::fprintf(stderr, "%s: %s (%s)\n", qPrintable(outcome.failedStep), qPrintable(outcome.message),
                     qPrintable(outcome.device.text()));
        return 1;
    }
    std::fwrite(read.text().constData(), 1, size_t(read.text().size()), stdout);
    return 0;
}
