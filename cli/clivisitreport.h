#pragma once
// tarvino-cli report: the visit report from the history, as a PDF or HTML file. It sends nothing
// and reads no device; it is the one verb that needs Qt Gui (the PDF's fonts and layout), on the
// offscreen platform, so main() hands it the command line before any application object exists
// and every other verb stays on QCoreApplication.

#include <QString>
#include <QStringList>

#include <variant>

// Whether the command line's verb is "report" (its first word that is not an option).
bool IsReportCommandLine(int argc, char **argv);
// Runs the verb in a QGuiApplication of its own and returns the exit status.
int RunReportCommand(int argc, char **argv);

// What `report` was asked for, checked before anything is read.
struct TReportRequest
{
    QString since;
    QString until;
    QString siteFile;
    QString siteName;
    QString technician;
    QString pc;
    QString output;
    QString help; // --help: print it, exit 0
};
// arguments without the program's name; the request, or the usage error's text.
std::variant<TReportRequest, QString> ParseReportCommandLine(const QStringList &arguments);
// Why -o cannot be written (missing or read-only folder, read-only file); empty when it can be.
QString ReportOutputProblem(const QString &path);
