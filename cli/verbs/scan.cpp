// scan: the devices that answer, as a table, CSV or JSON lines; with --site, the site's missing
// devices after them.

#include "cli/verbs/verbs.h"

#include "cli/clireport.h"
#include "cli/clirunner.h"
#include "fleet/devicefields.h"
#include "protocol/devicerecord.h"
#include "protocol/fileio.h"
#include "protocol/sha256text.h"

#include <QDir>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

namespace {
// A scan's devices, kept for the shell's completion; failing to keep them is no failure.
void keepForCompletion(const QList<TDeviceRecord> &devices)
{
    // One word a line, the addresses first: what the shell's completion offers for a TARGET.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/tarvino");
    if (!QDir().mkpath(folder))
        return;
    QStringList words;
    for (const TDeviceRecord &device : devices) {
        words << device.IpText << CanonicalMacText(device.Mac);
        const QString name = device.Params.text(Wire::Param::Name);
        // A name with blanks or control characters would not complete as one word.
        if (!name.isEmpty() && !name.contains(QRegularExpression(QStringLiteral("[\\s\\x00-\\x1f'\"\\\\]"))))
            words << name;
    }
    QSaveFile file(folder + QStringLiteral("/devices.txt"));
    if (file.open(QIODevice::WriteOnly)) {
        file.write((words.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
        file.commit();
    }
}
} // namespace

int RunScanVerb(TCliRunner &runner)
{
    const TCliRequest &request = runner.request();
    const std::optional<QList<TDeviceRecord>> devices = runner.scan();
    if (!devices)
        return ExitStatus::Environment;
    if (!runner.interrupted())
        keepForCompletion(*devices);
    if (request.json) {
        for (const TDeviceRecord &device : *devices)
            runner.print(CliJsonLine(DeviceJson(device)));
    } else if (request.csv) {
        QString text = DeviceCsvHeader() + QLatin1Char('\n');
        for (const TDeviceRecord &device : *devices)
            text += DeviceCsvLine(device) + QLatin1Char('\n');
        runner.print(text);
    } else if (!devices->isEmpty()) {
        runner.print(DeviceTable(*devices));
    }
    if (devices->isEmpty())
        runner.tell(QStringLiteral("No device answered the scan."));
    else if (!request.json && !request.csv)
        runner.print(QStringLiteral("%1 device%2\n").arg(devices->size()).arg(devices->size() == 1 ? QString() : QStringLiteral("s")));
    if (runner.interrupted())
        return ExitStatus::DeviceFailed;
    // A missing expected device (exit status 1) outweighs too few devices (4).
    const int site = request.site.siteFile.isEmpty() ? ExitStatus::Success : ReportSiteAfterScan(runner, *devices);
    if (site != ExitStatus::Success)
        return site;
    if (devices->size() < request.expect) {
        runner.tell(QStringLiteral("%1 of the %2 devices expected answered.").arg(devices->size()).arg(request.expect));
        return ExitStatus::NoMatch;
    }
    return ExitStatus::Success;
}
