#include "app/visitreportdialog.h"

#include "app/background.h"
#include "fleet/history/configurationstore.h"
#include "fleet/devicefields.h"
#include "fleet/history/operationjournal.h"
#include "fleet/site/sitefile.h"
#include "fleet/report/visitreportdocument.h"
#include "protocol/wire.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSysInfo>

namespace {
const QString SiteKey = QStringLiteral("VisitReport/site");
const QString TechnicianKey = QStringLiteral("VisitReport/technician");
const QString PcKey = QStringLiteral("VisitReport/pc");
const QString SiteFileKey = QStringLiteral("VisitReport/siteFile");
const QString FormatKey = QStringLiteral("VisitReport/format");
} // namespace

TVisitReportDialog::TVisitReportDialog(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Visit report"));
    auto *form = new QFormLayout;
    // Today's visit by default: from midnight to now.
    SinceEdit = new QDateTimeEdit(QDateTime(QDate::currentDate(), QTime(0, 0)), this);
    UntilEdit = new QDateTimeEdit(QDateTime::currentDateTime(), this);
    for (QDateTimeEdit *edit : {SinceEdit, UntilEdit}) {
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
        edit->setCalendarPopup(true);
    }
    SiteEdit = new QLineEdit(this);
    TechnicianEdit = new QLineEdit(this);
    PcEdit = new QLineEdit(QSysInfo::machineHostName(), this);
    SiteFileEdit = new QLineEdit(this);
    SiteFileEdit->setPlaceholderText(QStringLiteral("none: no missing or unexpected devices"));
    auto *browse = new QPushButton(QStringLiteral("&Browse..."), this);
    auto *siteFileRow = new QHBoxLayout;
    siteFileRow->addWidget(SiteFileEdit);
    siteFileRow->addWidget(browse);
    FormatBox = new QComboBox(this);
    FormatBox->addItems({QStringLiteral("PDF"), QStringLiteral("HTML")});
    form->addRow(QStringLiteral("&From:"), SinceEdit);
    form->addRow(QStringLiteral("&To:"), UntilEdit);
    form->addRow(QStringLiteral("&Site:"), SiteEdit);
    form->addRow(QStringLiteral("T&echnician:"), TechnicianEdit);
    form->addRow(QStringLiteral("&PC:"), PcEdit);
    form->addRow(QStringLiteral("Site fi&le:"), siteFileRow);
    form->addRow(QStringLiteral("F&ormat:"), FormatBox);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("Site file"), SiteFileEdit->text(),
                                                          QStringLiteral("Site files (*.csv *.json);;All files (*)"));
        if (!file.isEmpty())
            SiteFileEdit->setText(file);
    });

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("&Write report..."));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

TVisitDetails TVisitReportDialog::details() const
{
    return {SiteEdit->text().trimmed(), TechnicianEdit->text().trimmed(), PcEdit->text().trimmed(), SinceEdit->dateTime(),
            UntilEdit->dateTime()};
}

bool TVisitReportDialog::pdf() const
{
    return FormatBox->currentIndex() == 0;
}

void TVisitReportDialog::restore(QSettings &settings)
{
    SiteEdit->setText(settings.value(SiteKey).toString());
    TechnicianEdit->setText(settings.value(TechnicianKey).toString());
    if (const QString pc = settings.value(PcKey).toString(); !pc.isEmpty())
        PcEdit->setText(pc);
    SiteFileEdit->setText(settings.value(SiteFileKey).toString());
    FormatBox->setCurrentIndex(settings.value(FormatKey).toString() == u"html" ? 1 : 0);
}

void TVisitReportDialog::remember(QSettings &settings) const
{
    settings.setValue(SiteKey, SiteEdit->text().trimmed());
    settings.setValue(TechnicianKey, TechnicianEdit->text().trimmed());
    settings.setValue(PcKey, PcEdit->text().trimmed());
    settings.setValue(SiteFileKey, SiteFileEdit->text().trimmed());
    settings.setValue(FormatKey, pdf() ? QStringLiteral("pdf") : QStringLiteral("html"));
}

TVisitDevice VisitDeviceOf(const TDeviceRecord &device)
{
    TVisitDevice visit;
    visit.ip = device.IpText;
    visit.mac = device.Mac ? CanonicalMacText(device.Mac) : QString();
    visit.name = device.Params.text(Wire::Param::Name);
    visit.firmwareVersion = device.Params.text(Wire::Param::FirmwareVersion);
    return visit;
}

void WriteVisitReportInBackground(QObject *context, const TVisitDetails &details, const QString &siteFile,
                                  const QString &journalPath, const QString &path,
                                  std::function<void(bool written, const QString &text)> done,
                                  const QList<TVisitDevice> &scanned)
{
    auto work = [=] {
        bool written = false;
        QString text;
        std::optional<QList<TSiteDevice>> site;
        if (!siteFile.isEmpty()) {
            const TSiteFileResult read = SiteFile::read(siteFile);
            if (const TSiteFileError *error = std::get_if<TSiteFileError>(&read))
                text = QStringLiteral("The site file %1 was refused: %2").arg(siteFile, error->text());
            else
                site = std::get<QList<TSiteDevice>>(read);
        }
        if (text.isEmpty()) {
            const TOperationJournal journal(journalPath);
            int skipped = 0;
            TVisitReport report = CollectVisit(journal.read(&skipped), details,
                                               TConfigurationStore::besideJournal(journalPath), site, scanned);
            report.skippedLines = skipped;
            written = WriteVisitReport(report, path, &text);
            if (written)
                text = report.summary();
        }
        return std::pair{written, text};
    };
    RunInBackground(context, std::move(work), [done](const std::pair<bool, QString> &result) {
        done(result.first, result.second);
    });
}
