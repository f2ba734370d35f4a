#include "cli/clivisitreport.h"

#include "cli/clihelp.h"
#include "fleet/history/configurationstore.h"
#include "fleet/history/operationjournal.h"
#include "fleet/site/sitefile.h"
#include "protocol/fileio.h"
#include "fleet/report/visitreportdocument.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QGuiApplication>
#include <QSysInfo>

#include <cstdio>

namespace {
const QString TryHelp = QStringLiteral("\nTry 'tarvino-cli report --help'.");
} // namespace

bool IsReportCommandLine(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != '-')
            return qstrcmp(argv[i], "report") == 0;
    return false;
}

std::variant<TReportRequest, QString> ParseReportCommandLine(const QStringList &arguments)
{
    const QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}};
    const QCommandLineOption verbose{{QStringLiteral("v"), QStringLiteral("verbose")}};
    const QCommandLineOption since{QStringLiteral("since"), QString(), QStringLiteral("TIME")};
    const QCommandLineOption until{QStringLiteral("until"), QString(), QStringLiteral("TIME")};
    const QCommandLineOption site{QStringLiteral("site"), QString(), QStringLiteral("FILE")};
    const QCommandLineOption siteName{QStringLiteral("site-name"), QString(), QStringLiteral("NAME")};
    const QCommandLineOption technician{QStringLiteral("technician"), QString(), QStringLiteral("NAME")};
    const QCommandLineOption pc{QStringLiteral("pc"), QString(), QStringLiteral("NAME")};
    const QCommandLineOption output{{QStringLiteral("o"), QStringLiteral("output")}, QString(), QStringLiteral("FILE")};
    QCommandLineParser parser;
    parser.addOptions({help, verbose, since, until, site, siteName, technician, pc, output});
    if (!parser.parse(QStringList{QStringLiteral("tarvino-cli")} + arguments))
        return parser.errorText() + TryHelp;
    TReportRequest request;
    if (parser.isSet(help)) {
        request.help = VerbHelpText(VerbInfo(Verb::Report));
        return request;
    }
    const QStringList words = parser.positionalArguments();
    if (words.size() > 1)
        return QStringLiteral("report takes no device ('%1').").arg(words.at(1)) + TryHelp;
    request.since = parser.value(since);
    request.until = parser.value(until);
    request.siteFile = parser.value(site);
    request.siteName = parser.isSet(siteName) ? parser.value(siteName)
                     : request.siteFile.isEmpty() ? QString()
                                                  : QFileInfo(request.siteFile).completeBaseName();
    request.technician = parser.value(technician);
    request.pc = parser.isSet(pc) ? parser.value(pc) : QSysInfo::machineHostName();
    request.output = parser.value(output);
    if (request.since.isEmpty())
        return QStringLiteral("report needs --since TIME (the visit's start).") + TryHelp;
    if (request.output.isEmpty())
        return QStringLiteral("report needs -o FILE (.pdf or .html).") + TryHelp;
    const QString suffix = QFileInfo(request.output).suffix().toLower();
    if (suffix != u"pdf" && suffix != u"html" && suffix != u"htm")
        return QStringLiteral("-o '%1': the report is written as .pdf or .html.").arg(request.output) + TryHelp;
    return request;
}

QString ReportOutputProblem(const QString &path)
{
    const QFileInfo output(path);
    if (output.isDir())
        return QStringLiteral("Cannot write %1: it is a folder.").arg(path);
    if (output.exists())
        return output.isWritable() ? QString() : QStringLiteral("Cannot write %1: it is read-only.").arg(path);
    const QFileInfo parent(output.absolutePath());
    if (!parent.isDir())
        return QStringLiteral("Cannot write %1: the folder %2 does not exist.").arg(path, parent.filePath());
    if (!parent.isWritable())
        return QStringLiteral("Cannot write %1: the folder %2 is read-only.").arg(path, parent.filePath());
    return {};
}

namespace {
// The platform's start-up notes (QStandardPaths on a PC without XDG_RUNTIME_DIR) are not the
// report's business: silent unless --verbose, as the program's own log lines.
void quietStartupNotes(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && message.startsWith(u"QStandardPaths:"))
        return;
    std::fputs(qPrintable(qFormatLogMessage(type, context, message) + QLatin1Char('\n')), stderr);
}

bool verboseAsked(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (qstrcmp(argv[i], "-v") == 0 || qstrcmp(argv[i], "--verbose") == 0)
            return true;
    return false;
}
} // namespace

int RunReportCommand(int argc, char **argv)
{
    if (!verboseAsked(argc, argv))
        qInstallMessageHandler(quietStartupNotes);
    // The PDF lays its text out with Qt Gui's fonts; a terminal or a script has no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("tarvino-cli"));
    const QStringList arguments = QGuiApplication::arguments().mid(1);

    const auto parsed = ParseReportCommandLine(arguments);
    if (const QString *error = std::get_if<QString>(&parsed)) {
        WriteText(stderr, QStringLiteral("tarvino-cli: %1\n").arg(*error));
        return ExitStatus::Usage;
    }
    const TReportRequest &request = std::get<TReportRequest>(parsed);
    if (!request.help.isEmpty()) {
        if (!WriteText(stdout, request.help) || std::fflush(stdout) != 0)
            return ExitStatus::Environment;
        return ExitStatus::Success;
    }
    // The output first, as every verb checks it before anything else.
    if (const QString problem = ReportOutputProblem(request.output); !problem.isEmpty()) {
        WriteText(stderr, QStringLiteral("tarvino-cli: %1\n").arg(problem));
        return ExitStatus::Environment;
    }
    TVisitDetails details;
    details.site = request.siteName;
    details.technician = request.technician;
    details.pc = request.pc;
    details.since = ParseVisitTime(request.since);
    details.until = request.until.isEmpty() ? QDateTime::currentDateTime() : ParseVisitTime(request.until);
    for (const auto &[given, parsedTime] : {std::pair{request.since, details.since}, std::pair{request.until, details.until}})
        if (!given.isEmpty() && !parsedTime.isValid()) {
            WriteText(stderr, QStringLiteral("tarvino-cli: '%1' is not a time (2026-12-08T09:30, 2026-12-08, 09:30).%2\n")
                                  .arg(given, TryHelp));
            return ExitStatus::Usage;
        }
    if (details.until < details.since) {
        WriteText(stderr, QStringLiteral("tarvino-cli: --until is before --since.%1\n").arg(TryHelp));
        return ExitStatus::Usage;
    }

    std::optional<QList<TSiteDevice>> site;
    if (!request.siteFile.isEmpty()) {
        const TSiteFileResult read = SiteFile::read(request.siteFile);
        if (const TSiteFileError *error = std::get_if<TSiteFileError>(&read)) {
            WriteText(stderr, QStringLiteral("tarvino-cli: the site file %1: %2\n").arg(request.siteFile, error->text()));
            return error->line == 0 ? ExitStatus::Environment : ExitStatus::Usage;
        }
        site = std::get<QList<TSiteDevice>>(read);
    }

    const TOperationJournal journal;
    int skipped = 0;
    const QList<TJournalEntry> history = journal.read(&skipped);
    TVisitReport report = CollectVisit(history, details, TConfigurationStore::besideJournal(journal.path()), site);
    report.skippedLines = skipped;
    QString error;
    if (!WriteVisitReport(report, request.output, &error)) {
        WriteText(stderr, QStringLiteral("tarvino-cli: %1\n").arg(error));
        return ExitStatus::Environment;
    }
    WriteText(stdout, QStringLiteral("%1: %2\n").arg(request.output, report.summary()));
    return ExitStatus::Success;
}
