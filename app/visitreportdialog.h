#pragma once
// File > Visit report...: the span of the visit, who made it where (asked once, then remembered)
// and PDF or HTML; the report is made on a worker from the history, so that a long history never
// holds the window.

#include "fleet/report/visitreport.h"

#include <QDialog>

#include <functional>

class QComboBox;
class QDateTimeEdit;
class QLineEdit;
class QSettings;

class TVisitReportDialog : public QDialog
{
    Q_OBJECT
public:
    explicit TVisitReportDialog(QWidget *parent = nullptr);

    QDateTimeEdit *SinceEdit = nullptr;
    QDateTimeEdit *UntilEdit = nullptr;
    QLineEdit *SiteEdit = nullptr;
    QLineEdit *TechnicianEdit = nullptr;
    QLineEdit *PcEdit = nullptr;
    QLineEdit *SiteFileEdit = nullptr; // optional: the site's expected devices
    QComboBox *FormatBox = nullptr;

    TVisitDetails details() const;
    bool pdf() const;
    // The answers of the last report (site, technician, PC, site file, format), or this PC's name.
    void restore(QSettings &settings);
    void remember(QSettings &settings) const;
};

// Reads the history (and the site file, when given) on a worker, writes the report to path and
// calls done on the window's thread with the summary, or with the error when it failed.
// scanned: the devices the window's list shows, reported as found even when no operation touched them.
void WriteVisitReportInBackground(QObject *context, const TVisitDetails &details, const QString &siteFile,
                                  const QString &journalPath, const QString &path,
                                  std::function<void(bool written, const QString &text)> done,
                                  const QList<TVisitDevice> &scanned = {});
// A device of the list as the report names it.
TVisitDevice VisitDeviceOf(const TDeviceRecord &device);
