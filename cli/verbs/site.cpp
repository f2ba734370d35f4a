// check and watch: a scan held against the site file, and the live list that scans every
// --interval seconds and prints each change. scan --site ends with the site's missing devices.

#include "cli/verbs/verbs.h"

#include "cli/clireport.h"
#include "cli/clirunner.h"
#include "cli/clisite.h"
#include "fleet/site/devicewatch.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace {
// How often the wait between two scans looks for Ctrl+C.
constexpr int InterruptPollMs = 50;
} // namespace

int RunCheckVerb(TCliRunner &runner)
{
    const TCliRequest &request = runner.request();
    const std::optional<QList<TDeviceRecord>> devices = runner.scan();
    if (!devices)
        return ExitStatus::Environment;
    if (runner.interrupted())
        return ExitStatus::DeviceFailed;
    const TSiteComparison comparison(request.site.site, *devices);
    if (request.json) {
        for (const TSiteEntry &entry : comparison.entries())
            runner.print(CliJsonLine(comparison.entryJson(entry)));
        runner.print(CliJsonLine(comparison.summaryJson()));
    } else {
        runner.print(SiteCheckTable(comparison) + comparison.summary() + QLatin1Char('\n'));
    }
    return comparison.anyMissing() ? ExitStatus::DeviceFailed : ExitStatus::Success;
}

int ReportSiteAfterScan(TCliRunner &runner, const QList<TDeviceRecord> &devices)
{
    const TSiteComparison comparison(runner.request().site.site, devices);
    runner.tell(SiteScanNote(comparison));
    return comparison.anyMissing() ? ExitStatus::DeviceFailed : ExitStatus::Success;
}

int RunWatchVerb(TCliRunner &runner)
{
    const TCliRequest &request = runner.request();
    const TCliSiteOptions &options = request.site;
    if (runner.console().errIsTerminal)
        runner.tell(QStringLiteral("Watching: a scan every %1 s; Ctrl+C ends it.").arg(options.intervalMs / 1000.0));
    TDeviceWatch watch;
    QElapsedTimer running;
    running.start();
    auto boundReached = [&] {
        return runner.interrupted() || (options.count > 0 && watch.scans() >= options.count)
               || (options.forMs > 0 && running.elapsed() >= options.forMs);
    };
    while (!boundReached()) {
        QElapsedTimer thisScan;
        thisScan.start();
        const std::optional<QList<TDeviceRecord>> devices = runner.scan();
        if (!devices)
            return ExitStatus::Environment;
        if (runner.interrupted())
            break; // a scan cut short would make every device it missed look one scan older
        for (const TWatchEvent &event : watch.addScan(*devices, QDateTime::currentDateTimeUtc()))
            runner.print(request.json ? CliJsonLine(event.toJson()) : EscapeControls(event.line()) + QLatin1Char('\n'));
        if (boundReached())
            break;
        // The rest of the interval, cut short by a signal or by --for.
        qint64 waitMs = options.intervalMs - thisScan.elapsed();
        if (options.forMs > 0)
            waitMs = std::min(waitMs, options.forMs - running.elapsed());
        if (waitMs <= 0)
            continue;
        QEventLoop loop;
        QTimer poll;
        QElapsedTimer waited;
        waited.start();
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (runner.interrupted() || waited.elapsed() >= waitMs)
                loop.quit();
        });
        poll.start(std::min<qint64>(InterruptPollMs, waitMs));
        loop.exec();
    }
    return runner.outputFailed() ? ExitStatus::Environment : ExitStatus::Success;
}
