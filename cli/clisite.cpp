#include "cli/clisite.h"

#include "cli/clireport.h"
#include "fleet/devicefields.h"
#include "protocol/wire.h"

#include <QFileInfo>

namespace {
// Watch bounds: a scan a second at most (each takes its two pulses a second apart anyway), and
// nothing longer than a day between two.
constexpr double MinIntervalSeconds = 1;
constexpr double MaxIntervalSeconds = 86400;

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
