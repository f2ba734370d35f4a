#include "cli/clisweep.h"

#include "cli/clirunner.h"
#include "operations/commandoperations.h"
#include "operations/rangesweep.h"

#include <QLocale>

std::variant<TCliSweep, QString> ParseSweepOptions(const QStringList &rangeTexts, const QString &rateText,
                                                   const TSweepContext &context)
{
    TCliSweep sweep;
    sweep.rate = TRangeSweep::DefaultRate;
    if (!rateText.isEmpty()) {
        bool ok = false;
        sweep.rate = rateText.toInt(&ok);
        if (!ok || sweep.rate < 1 || sweep.rate > TRangeSweep::MaxRate)
            return QStringLiteral("--rate takes requests per second from 1 to %1, not '%2'.")
                .arg(TRangeSweep::MaxRate)
                .arg(rateText);
        if (rangeTexts.isEmpty())
            return QStringLiteral("--rate is the pace of a sweep: give the ranges with --range.");
    }
    if (rangeTexts.isEmpty())
        return sweep;
    auto ranges = ParseAddressRanges(rangeTexts, context);
    if (const QString *why = std::get_if<QString>(&ranges))
        return QStringLiteral("--range: %1. Nothing was sent.").arg(*why);
    sweep.ranges = std::get<QList<TAddressRange>>(ranges);
    return sweep;
}

QString SweepAnnouncement(const TCliSweep &sweep, int passes)
{
    const QLocale english(QLocale::English);
    QStringList texts;
    for (const TAddressRange &range : sweep.ranges)
        texts << range.text;
    const quint64 count = AddressCount(MergedRanges(sweep.ranges));
    const quint64 seconds = (count * quint64(passes) + quint64(sweep.rate) - 1) / quint64(std::max(sweep.rate, 1));
    return QStringLiteral("Sweeping %1 addresses (%2) at %3 requests/s, at most %4 s and the wait...")
        .arg(english.toString(qulonglong(count)), texts.join(QStringLiteral(", ")), english.toString(sweep.rate))
        .arg(seconds);
}

std::optional<QList<TDeviceRecord>> TCliRunner::sweepRanges()
{
    TRangeSweep::Options options;
    options.ranges = m_request.sweep.ranges;
    options.rate = m_request.sweep.rate;
    options.listenMs = m_request.waitMs;
    options.askOverTcp = m_request.tcp;
    TRangeSweep sweep(m_engine, options);
    setStop([&sweep] { sweep.cancel(); });
    if (m_console.errIsTerminal)
        tell(SweepAnnouncement(m_request.sweep, options.passes));
    const TOperationOutcome outcome = sweep.exec();
    setStop({});
    if (!outcome.succeeded && !outcome.cancelled) {
        tell(QStringLiteral("The sweep could not be sent: %1").arg(outcome.detail.isEmpty() ? outcome.errorText() : outcome.detail));
        return std::nullopt;
    }
    return sweep.devices() + sweep.twins();
}
