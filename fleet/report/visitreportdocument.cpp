#include "fleet/report/visitreportdocument.h"

#include "fleet/devicefields.h"
#include "protocol/fileio.h"

#include <QAbstractTextDocumentLayout>
#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QTextDocument>

namespace {
const QString Sans = QStringLiteral("DejaVu Sans");
const QString Mono = QStringLiteral("DejaVu Sans Mono");

QString esc(const QString &text)
{
    return text.toHtmlEscaped();
}

QString timeText(const QDateTime &when)
{
    return when.isValid() ? when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QStringLiteral("—");
}

QString clockText(const QDateTime &when)
{
    return when.isValid() ? when.toLocalTime().toString(QStringLiteral("HH:mm:ss")) : QStringLiteral("—");
}

// The device's address and MAC address, on one line.
QString addressLine(const QString &ip, const QString &mac)
{
    if (mac.isEmpty())
        return esc(ip);
    return QStringLiteral("%1 · <span style=\"font-family:'%2'; font-size:7pt\">%3</span>").arg(esc(ip), Mono, esc(mac));
}

QString outcomeCell(const TVisitOperation &operation)
{
    const QString colour = operation.outcome == u"succeeded" ? QStringLiteral("#1b5e20")
                         : operation.needsAttention()       ? QStringLiteral("#b71c1c")
                                                            : QStringLiteral("#6d4c41");
    return QStringLiteral("<span style=\"color:%1; font-weight:bold\">%2</span>").arg(colour, esc(operation.outcome));
}

// What the operation worked with and what it ended with, a line each.
QString detailLines(const TVisitOperation &operation)
{
    QStringList lines;
    if (!operation.file.isEmpty())
        lines << QStringLiteral("File: %1").arg(esc(operation.file));
    if (!operation.imageVersion.isEmpty())
        lines << QStringLiteral("Image version: %1").arg(esc(operation.imageVersion));
    if (!operation.sha256.isEmpty())
        lines << QStringLiteral("SHA-256: <span style=\"font-family:'%1'; font-size:7pt\">%2</span>").arg(Mono, esc(operation.sha256));
    if (operation.isUpgrade() || !operation.versionAfter.isEmpty()) {
        const QString before = operation.versionBefore.isEmpty() ? QStringLiteral("not known") : operation.versionBefore;
        const QString after = operation.versionAfter.isEmpty() ? QStringLiteral("not known") : operation.versionAfter;
        lines << QStringLiteral("Board firmware before: %1, after: %2").arg(esc(before), esc(after));
    }
    if (!operation.message.isEmpty())
        lines << QStringLiteral("Message: %1").arg(esc(operation.message));
    if (!operation.detail.isEmpty())
        lines << QStringLiteral("Detail: %1").arg(esc(operation.detail));
    if (const QString attention = operation.attentionText(); !attention.isEmpty())
        lines << QStringLiteral("<b>%1</b>").arg(esc(attention));
    // A paragraph each: a page end falls between two of them, never inside one.
    return lines.isEmpty() ? QString() : QStringLiteral("<div>") + lines.join(QStringLiteral("</div><div>")) + QStringLiteral("</div>");
}

QString tableStart(const QStringList &headers, const QString &background = QStringLiteral("#eceff1"))
{
    QString html = QStringLiteral("<table border=\"1\" cellspacing=\"0\" cellpadding=\"3\" width=\"100%\" "
                                  "style=\"border-collapse:collapse; border-color:#90a4ae\"><tr>");
    for (const QString &header : headers)
        html += QStringLiteral("<th align=\"left\" bgcolor=\"%1\">%2</th>").arg(background, esc(header));
    return html + QStringLiteral("</tr>");
}

QString attentionBox(const TVisitReport &report)
{
    const QList<TVisitOperation> attention = report.needingAttention();
    if (attention.isEmpty() && report.missing.isEmpty())
        return {};
    QString html = QStringLiteral("<table border=\"2\" cellspacing=\"0\" cellpadding=\"6\" width=\"100%\" "
                                  "bgcolor=\"#fdecea\" style=\"border-collapse:collapse; border-color:#b71c1c\"><tr><td>"
                                  "<h3 style=\"color:#b71c1c\">Needs attention</h3>");
    for (const TVisitOperation &operation : attention) {
        const QString device = operation.name.isEmpty() ? operation.ip : QStringLiteral("%1 (%2)").arg(operation.name, operation.ip);
        html += QStringLiteral("<p><b>%1</b> — %2 at %3: %4 — %5%6</p>")
                    .arg(esc(device), esc(operation.operation), esc(timeText(operation.started)), esc(operation.outcome),
                         esc(operation.attentionText()),
                         operation.message.isEmpty() ? QString() : QStringLiteral("<br>%1").arg(esc(operation.message)));
    }
    if (!report.missing.isEmpty())
        html += QStringLiteral("<p><b>%1 device%2 of the site file not seen in this visit</b> (listed below).</p>")
                    .arg(report.missing.size())
                    .arg(report.missing.size() == 1 ? QString() : QStringLiteral("s"));
    return html + QStringLiteral("</td></tr></table>");
}

QString devicesSection(const TVisitReport &report)
{
    QString html = QStringLiteral("<h2>Devices</h2>");
    if (report.devices.isEmpty())
        html += QStringLiteral("<p>No device was worked on in this span.</p>");
    else {
        html += tableStart({QStringLiteral("Name"), QStringLiteral("IP address"), QStringLiteral("MAC address"),
                            QStringLiteral("Board firmware"), QStringLiteral("Operations"), QStringLiteral("Problems")});
        for (const TVisitDevice &device : report.devices)
            html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td></tr>")
                        .arg(esc(device.name), esc(device.ip), esc(device.mac), esc(device.firmwareVersion))
                        .arg(device.operations)
                        .arg(device.failures ? QStringLiteral("<b style=\"color:#b71c1c\">%1</b>").arg(device.failures)
                                             : QStringLiteral("0"));
        html += QStringLiteral("</table>");
    }
    if (!report.siteCompared)
        return html;
    html += QStringLiteral("<h3>Missing: in the site file, not seen</h3>");
    if (report.missing.isEmpty())
        html += QStringLiteral("<p>None.</p>");
    else {
        html += tableStart({QStringLiteral("Name"), QStringLiteral("Expected IP address"), QStringLiteral("MAC address"),
                            QStringLiteral("Type")});
        for (const TSiteDevice &device : report.missing)
            html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td></tr>")
                        .arg(esc(device.name), esc(device.ip), device.mac ? esc(CanonicalMacText(device.mac)) : QString(),
                             esc(device.type));
        html += QStringLiteral("</table>");
    }
    html += QStringLiteral("<h3>Unexpected: seen, not in the site file</h3>");
    if (report.unexpected.isEmpty())
        return html + QStringLiteral("<p>None.</p>");
    html += tableStart({QStringLiteral("Name"), QStringLiteral("IP address"), QStringLiteral("MAC address")});
    for (const TVisitDevice &device : report.unexpected)
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td></tr>").arg(esc(device.name), esc(device.ip), esc(device.mac));
    return html + QStringLiteral("</table>");
}

QString operationsSection(const TVisitReport &report)
{
    QString html = QStringLiteral("<h2>Operations</h2>");
    if (report.operations.isEmpty())
        return html + QStringLiteral("<p>The history holds no operation in this span.</p>");
    html += tableStart({QStringLiteral("Time"), QStringLiteral("Device"), QStringLiteral("Operation"), QStringLiteral("Outcome")});
    for (const TVisitOperation &operation : report.operations) {
        const QString background = operation.needsAttention() ? QStringLiteral(" bgcolor=\"#fdecea\"") : QString();
        // Every cell one line: a row is never cut by a page end.
        html += QStringLiteral("<tr%1><td>%2</td><td><b>%3</b></td><td>%4</td><td>%5</td></tr>")
                    .arg(background, esc(timeText(operation.started)), esc(operation.name.isEmpty() ? operation.ip : operation.name),
                         esc(operation.operation), outcomeCell(operation));
        html += QStringLiteral("<tr%1><td>to %2</td><td colspan=\"3\">%3</td></tr>")
                    .arg(background, esc(clockText(operation.ended)), addressLine(operation.ip, operation.mac));
        if (const QString details = detailLines(operation); !details.isEmpty())
            html += QStringLiteral("<tr%1><td colspan=\"4\" style=\"font-size:8pt\">%2</td></tr>").arg(background, details);
    }
    return html + QStringLiteral("</table>");
}

QString diffRowHtml(const TDiffRow &row)
{
    const QString cell = QStringLiteral("<td style=\"font-family:'%1'; font-size:7.5pt\"%2>%3</td>");
    const QString number = QStringLiteral("<td align=\"right\" style=\"font-family:'%1'; font-size:7.5pt; color:#607d8b\">%2</td>");
    const bool hasLeft = row.kind != TDiffRow::Added;
    const bool hasRight = row.kind != TDiffRow::Removed;
    return QStringLiteral("<tr>") + number.arg(Mono, hasLeft ? QString::number(row.leftLine) : QString())
         + cell.arg(Mono, hasLeft ? QStringLiteral(" bgcolor=\"#ffebee\"") : QString(),
                    hasLeft ? QStringLiteral("- ") + esc(row.left) : QString())
         + number.arg(Mono, hasRight ? QString::number(row.rightLine) : QString())
         + cell.arg(Mono, hasRight ? QStringLiteral(" bgcolor=\"#e8f5e9\"") : QString(),
                    hasRight ? QStringLiteral("+ ") + esc(row.right) : QString())
         + QStringLiteral("</tr>");
}

QString configSection(const TVisitReport &report)
{
    if (report.configChanges.isEmpty())
        return {};
    QString html = QStringLiteral("<h2>Configuration changes</h2>");
    for (const TVisitConfigChange &change : report.configChanges) {
        const QString device = change.name.isEmpty() ? change.ip : QStringLiteral("%1 (%2)").arg(change.name, change.ip);
        html += QStringLiteral("<h3>%1 — written %2</h3>").arg(esc(device), esc(timeText(change.when)));
        if (!change.afterKnown) {
            html += QStringLiteral("<p>The text written is not in the history's store: no difference can be shown.</p>");
            continue;
        }
        if (!change.beforeKnown) {
            html += QStringLiteral("<p>The history holds no configuration that the device had before this write (read "
                                   "it before writing to have a difference here).</p>");
            continue;
        }
        if (change.differences == 0) {
            html += QStringLiteral("<p>The text written is the one the device held: nothing changed.</p>");
            continue;
        }
        html += QStringLiteral("<p>%1 line%2 differ%3:</p>")
                    .arg(change.differences)
                    .arg(change.differences == 1 ? QString() : QStringLiteral("s"))
                    .arg(change.differences == 1 ? QStringLiteral("s") : QString());
        html += tableStart({QStringLiteral("#"), QStringLiteral("Before"), QStringLiteral("#"), QStringLiteral("After")});
        for (const TDiffRow &row : change.rows)
            html += diffRowHtml(row);
        html += QStringLiteral("</table>");
        if (change.differences > change.rows.size())
            html += QStringLiteral("<p>… and %1 more.</p>").arg(change.differences - change.rows.size());
    }
    return html;
}

QString spanText(const TVisitDetails &details)
{
    const QString until = details.until.isValid() ? timeText(details.until) : QStringLiteral("the report's time");
    return QStringLiteral("%1 to %2").arg(details.since.isValid() ? timeText(details.since) : QStringLiteral("the history's start"), until);
}

// Without ligatures: "fi" stays two letters, so the PDF's text reads (and is found by a search) as
// written. Qt turns them off for a font with letter spacing.
QFont reportFont(int pointSize)
{
    QFont font(Sans, pointSize);
    font.setLetterSpacing(QFont::PercentageSpacing, 100.01);
    return font;
}

} // namespace

QString VisitReportTitle(const TVisitReport &report)
{
    QStringList parts{QStringLiteral("Visit report")};
    if (!report.details.site.isEmpty())
        parts << report.details.site;
    const QDateTime day = report.details.since.isValid() ? report.details.since : QDateTime::currentDateTime();
    parts << day.toLocalTime().toString(QStringLiteral("yyyy-MM-dd"));
    return parts.join(QStringLiteral(" · "));
}

QString VisitReportHtml(const TVisitReport &report)
{
    const TVisitDetails &details = report.details;
    QString html = QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%1</title></head>\n"
                                  "<body style=\"font-family:'%2', sans-serif; font-size:9pt\">\n")
                       .arg(esc(VisitReportTitle(report)), Sans);
    html += QStringLiteral("<h1>Visit report</h1>\n<table cellpadding=\"2\">");
    const QList<std::pair<QString, QString>> facts{
        {QStringLiteral("Site"), details.site},
        {QStringLiteral("Technician"), details.technician},
        {QStringLiteral("PC"), details.pc},
        {QStringLiteral("Span"), spanText(details)},
        {QStringLiteral("Summary"), report.summary()},
    };
    for (const auto &[label, value] : facts)
        html += QStringLiteral("<tr><td><b>%1</b></td><td>%2</td></tr>").arg(esc(label), esc(value.isEmpty() ? QStringLiteral("—") : value));
    html += QStringLiteral("</table>\n");
    if (report.skippedLines > 0)
        html += QStringLiteral("<p>%1 line%2 of the history could not be read and %3 left out.</p>")
                    .arg(report.skippedLines)
                    .arg(report.skippedLines == 1 ? QString() : QStringLiteral("s"))
                    .arg(report.skippedLines == 1 ? QStringLiteral("is") : QStringLiteral("are"));
    html += attentionBox(report) + QLatin1Char('\n');
    html += devicesSection(report) + QLatin1Char('\n');
    html += operationsSection(report) + QLatin1Char('\n');
    html += configSection(report) + QLatin1Char('\n');
    return html + QStringLiteral("</body></html>\n");
}

bool WriteVisitReportHtml(const TVisitReport &report, const QString &path, QString *error)
{
    return WriteFileWhole(path, VisitReportHtml(report).toUtf8(), error);
}

bool WriteVisitReportPdf(const TVisitReport &report, const QString &path, QString *error)
{
    // The PDF goes to a buffer first: a report cut short by a full disk never replaces a good file.
    QByteArray pdf;
    {
        QBuffer buffer(&pdf);
        buffer.open(QIODevice::WriteOnly);
        QPdfWriter writer(&buffer);
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setPageMargins(QMarginsF(15, 12, 15, 12), QPageLayout::Millimeter);
        writer.setResolution(300);
        writer.setTitle(VisitReportTitle(report));
        writer.setCreator(QStringLiteral("Tarvino"));

        const QRectF page = writer.pageLayout().paintRectPixels(writer.resolution());
        const qreal millimetre = writer.resolution() / 25.4;
        const qreal headerHeight = 10 * millimetre;
        const qreal footerHeight = 8 * millimetre;
        const QSizeF body(page.width(), page.height() - headerHeight - footerHeight);

        QTextDocument document;
        document.documentLayout()->setPaintDevice(&writer);
        document.setDefaultFont(reportFont(9));
        document.setHtml(VisitReportHtml(report));
        document.setPageSize(body);
        const int pages = document.pageCount();

        QPainter painter;
        if (!painter.begin(&writer)) {
            if (error)
                *error = QStringLiteral("Cannot make the PDF of %1").arg(QDir::toNativeSeparators(path));
            return false;
        }
        const QFont small = reportFont(8);
        const QString title = VisitReportTitle(report);
        const QString who = QStringList{report.details.technician, report.details.pc}.join(QStringLiteral(" · "));
        for (int index = 0; index < pages; ++index) {
            if (index > 0)
                writer.newPage();
            painter.setFont(small);
            painter.setPen(QColor(0x45, 0x5a, 0x64));
            const QRectF header(0, 0, page.width(), headerHeight * 0.7);
            painter.drawText(header, Qt::AlignLeft | Qt::AlignVCenter, title);
            painter.drawText(header, Qt::AlignRight | Qt::AlignVCenter, who);
            painter.drawLine(QPointF(0, headerHeight * 0.75), QPointF(page.width(), headerHeight * 0.75));
            const QRectF footer(0, headerHeight + body.height(), page.width(), footerHeight);
            painter.drawText(footer, Qt::AlignHCenter | Qt::AlignBottom,
                             QStringLiteral("Page %1 of %2").arg(index + 1).arg(pages));

            painter.save();
            painter.translate(0, headerHeight - index * body.height());
            QAbstractTextDocumentLayout::PaintContext context;
            context.clip = QRectF(0, index * body.height(), body.width(), body.height());
            painter.setClipRect(context.clip);
            document.documentLayout()->draw(&painter, context);
            painter.restore();
        }
        painter.end();
    }
    return WriteFileWhole(path, pdf, error);
}

bool WriteVisitReport(const TVisitReport &report, const QString &path, QString *error)
{
    if (path.endsWith(QStringLiteral(".pdf"), Qt::CaseInsensitive))
        return WriteVisitReportPdf(report, path, error);
    return WriteVisitReportHtml(report, path, error);
}
