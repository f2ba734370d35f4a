#pragma once
// The visit report as the customer gets it: one HTML text, and the same text laid out on A4 pages
// of a PDF (QTextDocument on QPdfWriter) with a header and "Page n of N" on every page. Device
// names in any script render: the text is set in DejaVu (a Debian font) and Qt falls back to the
// system's fonts for what it lacks.

#include "fleet/report/visitreport.h"

#include <QString>

// The whole report as one HTML page (UTF-8, styles inline, nothing fetched).
QString VisitReportHtml(const TVisitReport &report);
// The page header's line: "Visit report · Site North · 2026-12-08".
QString VisitReportTitle(const TVisitReport &report);

// Writes the report as a PDF when path ends in .pdf (case ignored), as HTML otherwise; false with
// the reason when it cannot be written. The PDF needs a QGuiApplication (fonts).
bool WriteVisitReport(const TVisitReport &report, const QString &path, QString *error);
bool WriteVisitReportPdf(const TVisitReport &report, const QString &path, QString *error);
bool WriteVisitReportHtml(const TVisitReport &report, const QString &path, QString *error);
