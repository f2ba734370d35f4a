// search: one address asked over TCP, as the window's Search IP Address does.

#include "cli/verbs/verbs.h"

#include "cli/clireport.h"
#include "cli/clirunner.h"
#include "fleet/devicefields.h"
#include "operations/commandoperations.h"

int RunSearchVerb(TCliRunner &runner)
{
    const TCliRequest &request = runner.request();
    const QString ip = request.targets.first().text;
    TSearchDevice search(runner.engine(), ip);
    runner.setStop([&search] { search.cancel(); });
    const TOperationOutcome outcome = search.exec();
    runner.setStop({});
    const QList<TDeviceRecord> devices = search.devices();
    if (!outcome.succeeded || devices.isEmpty()) {
        runner.tell(outcome.error ? outcome.errorText() : QStringLiteral("No device answered at %1.").arg(ip));
        return ExitStatus::DeviceFailed;
    }
    runner.print(request.json ? CliJsonLine(DeviceJson(devices.first())) : DeviceTable(devices));
    return ExitStatus::Success;
}
