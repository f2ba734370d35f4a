// info: every field of each device, and the board's SSH switches from the history; the devices
// that no scan listed are asked over TCP, as Search IP Address does.

#include "cli/verbs/verbs.h"

#include "cli/clireport.h"
#include "cli/clirunner.h"
#include "fleet/devicefields.h"
#include "fleet/history/operationjournal.h"
#include "fleet/history/sshtoggles.h"
#include "operations/commandoperations.h"
#include "operations/operationpool.h"

#include <QHash>

int RunInfoVerb(TCliRunner &runner, const QList<TCliDevice> &devices)
{
    const TCliRequest &request = runner.request();
    TOperationPool pool(request.jobs);
    QHash<QString, TSearchDevice *> searches;
    for (const TCliDevice &device : devices)
        if (!device.record) {
            auto *search = new TSearchDevice(runner.engine(), device.target.ip);
            searches.insert(device.target.ip, search);
            pool.add(search);
        }
    runner.setStop([&pool] { pool.cancel(); });
    if (!searches.isEmpty())
        pool.exec();
    runner.setStop({});

    int status = ExitStatus::Success;
    QString text;
    // The history is read once for every device listed.
    const TSshToggleHistory toggles = request.json ? TSshToggleHistory() : TSshToggleHistory::fromJournal(TOperationJournal());
    for (const TCliDevice &device : devices) {
        std::optional<TDeviceRecord> record = device.record;
        if (TSearchDevice *search = searches.value(device.target.ip)) {
            if (const QList<TDeviceRecord> found = search->devices(); !found.isEmpty()) {
                record = found.first();
            } else if (search->outcome().error) {
                // The error text of a connection names the address already: once is enough.
                const QString error = search->outcome().errorText();
                runner.tell(error.contains(device.target.ip) ? error : QStringLiteral("%1: %2").arg(device.target.ip, error));
            } else {
                runner.tell(QStringLiteral("No device answered at %1.").arg(device.target.ip));
            }
        }
        if (!record) {
            status = ExitStatus::DeviceFailed;
            continue;
        }
        if (request.json) {
            text += CliJsonLine(DeviceJson(*record));
        } else {
            text += (text.isEmpty() ? QString() : QStringLiteral("\n")) + DeviceDetails(*record);
            if (const QString ssh = TSshToggleHistory::text(toggles.of(record->Mac, record->IpText)); !ssh.isEmpty())
                text += ssh + QLatin1Char('\n');
        }
    }
    runner.print(text);
    return runner.interrupted() ? ExitStatus::DeviceFailed : status;
}
