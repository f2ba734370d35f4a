#include "cli/clisite.h"

#include "cli/clireport.h"
#include "cli/clirunner.h"
#include "fleet/devicefields.h"
#include "fleet/site/devicewatch.h"
#include "protocol/wire.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

namespace {
// Watch bounds: a scan a second at most (each takes its two pulses a second apart anyway), and
// nothing longer than a day between two.
constexpr double MinIntervalSeconds = 1;
constexpr double MaxIntervalSeconds = 86400;
// How often the wait between two scans looks for Ctrl+C.
constexpr int InterruptPollMs = 50;

std::optional<double> seconds(const QString &text, double min, double max)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !(value >= min && value <= max))
        return std::nullopt;
    return value;
}

QString differencesText(const TSiteEntry &entry)
{
    QStringList parts;
    for (const TSiteVersionDifference &difference : entry.differences)
        parts << QStringLiteral("%1 %2, expected %3")
                     .arg(difference.field, difference.found.isEmpty() ? QStringLiteral("(none)") : difference.found,
                          difference.expected);
    return parts.join(QStringLiteral("; "));
}
} // namespace

std::optional<TCliSiteOptionError> ParseSiteOptions(const TCliSiteOptionTexts &texts, TCliSiteOptions *options)
{
    TCliSiteOptions parsed = *options;
    if (!texts.interval.isEmpty()) {
        const std::optional<double> interval = seconds(texts.interval, MinIntervalSeconds, MaxIntervalSeconds);
        if (!interval)
            return TCliSiteOptionError{QStringLiteral("--interval takes seconds from %1 to %2, not '%3'.")
                                           .arg(MinIntervalSeconds)
                                           .arg(MaxIntervalSeconds)
                                           .arg(texts.interval)};
        parsed.intervalMs = int(*interval * 1000);
    }
    if (!texts.count.isEmpty()) {
        bool ok = false;
        parsed.count = texts.count.toInt(&ok);
        if (!ok || parsed.count < 1)
            return TCliSiteOptionError{QStringLiteral("--count takes a number of scans, not '%1'.").arg(texts.count)};
    }
    if (!texts.forSeconds.isEmpty()) {
        const std::optional<double> bound = seconds(texts.forSeconds, 0.1, 7 * MaxIntervalSeconds);
        if (!bound)
            return TCliSiteOptionError{QStringLiteral("--for takes seconds (at most a week), not '%1'.").arg(texts.forSeconds)};
        parsed.forMs = int(*bound * 1000);
    }
    if (!texts.site.isEmpty()) {
        const TSiteFileResult read = SiteFile::read(texts.site);
        if (const auto *error = std::get_if<TSiteFileError>(&read)) {
            // A damaged file is the command line's fault; one that cannot be read, the environment's.
            const QFileInfo info(texts.site);
            const bool unreadable = error->line == 0 && (!info.isFile() || !info.isReadable());
            const QString where = unreadable ? QStringLiteral("site file") : QStringLiteral("site file %1").arg(texts.site);
            return TCliSiteOptionError{QStringLiteral("%1: %2. Nothing was sent.").arg(where, error->text()),
                                       unreadable ? 3 : 2};
        }
        parsed.siteFile = texts.site;
        parsed.site = std::get<QList<TSiteDevice>>(read);
    }
    *options = parsed;
    return std::nullopt;
}

QString SiteCheckTable(const TSiteComparison &comparison)
{
    QList<QStringList> rows{{QStringLiteral("Site"), QStringLiteral("Name"), QStringLiteral("IP Address"),
                             QStringLiteral("Expected IP"), QStringLiteral("MAC Address"), QStringLiteral("Note")}};
    for (const TSiteEntry &entry : comparison.entries()) {
        const TSiteDevice *expected = entry.expectedIndex >= 0 ? &comparison.expected().at(entry.expectedIndex) : nullptr;
        const TDeviceRecord *found = entry.foundIndex >= 0 ? &comparison.found().at(entry.foundIndex) : nullptr;
        const quint64 mac = found ? found->Mac : expected->mac;
        rows << QStringList{entry.text(),
                            EscapeControls(found ? found->Params.text(Wire::Param::Name) : expected->name),
                            found ? found->IpText : QString(),
                            expected ? expected->ip : QString(),
                            mac ? MacText(mac) : QString(),
                            EscapeControls(differencesText(entry))};
    }
    return AlignedTable(rows);
}

QString SiteScanNote(const TSiteComparison &comparison)
{
    QString text;
    for (const TSiteEntry &entry : comparison.entries()) {
        if (entry.state != TSiteState::Missing)
            continue;
        const TSiteDevice &device = comparison.expected().at(entry.expectedIndex);
        text += QStringLiteral("missing: %1 %2 %3\n")
                    .arg(EscapeControls(device.name), device.ip, device.mac ? MacText(device.mac) : QString())
                    .simplified()
              + QLatin1Char('\n');
    }
    return text + comparison.summary() + QLatin1Char('\n');
}

int TCliRunner::runCheck()
{
    const std::optional<QList<TDeviceRecord>> devices = scan();
    if (!devices)
        return ExitStatus::Environment;
    if (m_interrupted)
        return ExitStatus::DeviceFailed;
    const TSiteComparison comparison(m_request.site.site, *devices);
    if (m_request.json) {
        for (const TSiteEntry &entry : comparison.entries())
            print(CliJsonLine(comparison.entryJson(entry)));
        print(CliJsonLine(comparison.summaryJson()));
    } else {
        print(SiteCheckTable(comparison) + comparison.summary() + QLatin1Char('\n'));
    }
    return comparison.anyMissing() ? ExitStatus::DeviceFailed : ExitStatus::Success;
}

int TCliRunner::reportSite(const QList<TDeviceRecord> &devices)
{
    const TSiteComparison comparison(m_request.site.site, devices);
    tell(SiteScanNote(comparison));
    return comparison.anyMissing() ? ExitStatus::DeviceFailed : ExitStatus::Success;
}

int TCliRunner::runWatch()
{
    const TCliSiteOptions &options = m_request.site;
    if (m_console.errIsTerminal)
        tell(QStringLiteral("Watching: a scan every %1 s; Ctrl+C ends it.").arg(options.intervalMs / 1000.0));
    TDeviceWatch watch;
    QElapsedTimer running;
    running.start();
    auto boundReached = [&] {
        return m_interrupted || (options.count > 0 && watch.scans() >= options.count)
               || (options.forMs > 0 && running.elapsed() >= options.forMs);
    };
    while (!boundReached()) {
        QElapsedTimer thisScan;
        thisScan.start();
        const std::optional<QList<TDeviceRecord>> devices = scan();
        if (!devices)
            return ExitStatus::Environment;
        if (m_interrupted)
            break; // a scan cut short would make every device it missed look one scan older
        for (const TWatchEvent &event : watch.addScan(*devices, QDateTime::currentDateTimeUtc()))
            print(m_request.json ? CliJsonLine(event.toJson()) : EscapeControls(event.line()) + QLatin1Char('\n'));
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
        connect(&poll, &QTimer::timeout, &loop, [&] {
            if (m_interrupted || waited.elapsed() >= waitMs)
                loop.quit();
        });
        poll.start(std::min<qint64>(InterruptPollMs, waitMs));
        loop.exec();
    }
    return m_outputFailed ? ExitStatus::Environment : ExitStatus::Success;
}
