// doctor: the network check, a finding a line as it is made.

#include "cli/verbs/verbs.h"

#include "cli/clireport.h"
#include "cli/clirunner.h"
#include "fleet/networkcheck.h"
#include "protocol/wire.h"

int RunDoctorVerb(TCliRunner &runner)
{
    const TCliRequest &request = runner.request();
    TNetworkCheck check(runner.engine(), {request.waitMs, true, {Wire::DevicePort, Wire::BusPort}});
    runner.setStop([&check] { check.cancel(); });
    if (runner.console().errIsTerminal)
        runner.tell(QStringLiteral("Checking the network (the scan listens for %1 s)...").arg(request.waitMs / 1000.0));
    QObject::connect(&check, &TNetworkCheck::findingReported, &runner, [&runner, &request](const TNetworkFinding &finding) {
        runner.print(request.json ? CliJsonLine(finding.toJson()) : EscapeControls(finding.line()) + QLatin1Char('\n'));
    });
    check.exec();
    runner.setStop({});
    return check.problemFound() || runner.interrupted() ? ExitStatus::DeviceFailed : ExitStatus::Success;
}
