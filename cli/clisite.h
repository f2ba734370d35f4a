#pragma once
// The site's expected devices and the live list on the command line: `check --site FILE` (and
// `scan --site FILE`) compare a scan with the site file; `watch` scans every --interval seconds
// and prints each change. Their options are read and checked with the rest of the line, the site
// file included, before anything is sent.

#include "fleet/site/sitecomparison.h"
#include "fleet/site/sitefile.h"

#include <QString>
#include <QStringList>

#include <optional>

struct TCliSiteOptions
{
    QString siteFile;                // --site; empty when not given
    QList<TSiteDevice> site;         // its devices, read before anything is sent
    int intervalMs = 5000;           // watch --interval: from the start of one scan to the next
    int count = 0;                   // watch --count: scans, then the end; 0 for no bound
    int forMs = 0;                   // watch --for: seconds, then the end; 0 for no bound
};

struct TCliSiteOptionTexts
{
    QString site;     // --site, empty when not given
    QString interval; // empty when not given
    QString count;
    QString forSeconds;
};

// The options' values checked; the site file read. A usage error (status 2) or a file that cannot
// be read (status 3), with its sentence, leaves options untouched.
struct TCliSiteOptionError
{
    QString text;
    int status = 2;
};
std::optional<TCliSiteOptionError> ParseSiteOptions(const TCliSiteOptionTexts &texts, TCliSiteOptions *options);

// check: a row per entry (state, name, IP address, expected IP address, MAC address, what differs).
QString SiteCheckTable(const TSiteComparison &comparison);
// The missing devices and the summary, for standard error after `scan --site`.
QString SiteScanNote(const TSiteComparison &comparison);
