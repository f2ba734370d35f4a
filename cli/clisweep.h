#pragma once
// The address ranges of a command line (--range, --rate): read and checked with the rest of the
// line, before anything is sent, and swept in place of the broadcast wherever a verb scans.

#include "protocol/addressrange.h"

#include <QString>
#include <QStringList>

#include <variant>

struct TCliSweep
{
    QList<TAddressRange> ranges;
    int rate = 0; // requests per second
};

// rateText is empty when --rate was not given. The error is a sentence for the usage message.
std::variant<TCliSweep, QString> ParseSweepOptions(const QStringList &rangeTexts, const QString &rateText,
                                                   const TSweepContext &context);

// "Sweeping 254 addresses (198.19.0.0/24) at 2,000 requests/s, about 1 s..." for a terminal.
QString SweepAnnouncement(const TCliSweep &sweep, int passes);
