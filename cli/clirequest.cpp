#include "cli/clirequest.h"

#include "operations/controlleroperations.h"
#include "fleet/devicefields.h"
#include "fleet/firmware/firmwarelibrary.h"
#include "protocol/ipv4text.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {
const QString TryHelp = QStringLiteral("\nTry 'tarvino-cli --help'.");

// A shell-like pattern (* any text, ? one character) over the whole text; '/' is a character
// like any other, unlike in a path.
bool matchesWildcard(const QString &pattern, const QString &text, Qt::CaseSensitivity sensitivity)
{
    QString expression;
    for (const QChar c : pattern) {
        if (c == QLatin1Char('*'))
            expression += QLatin1String(".*");
        else if (c == QLatin1Char('?'))
            expression += QLatin1Char('.');
        else
            expression += QRegularExpression::escape(QString(c));
    }
    QRegularExpression regex(QRegularExpression::anchoredPattern(expression),
                             sensitivity == Qt::CaseInsensitive ? QRegularExpression::CaseInsensitiveOption
                                                                : QRegularExpression::NoPatternOption);
    return regex.match(text).hasMatch();
}

std::optional<quint8> transportOf(const QString &text)
{
    if (text == u"udp")
        return TransportUdp;
    if (text == u"tcp")
        return TransportTcp;
    return std::nullopt;
}

// A target of a scan's output: its ip field, and its transport when given.
std::variant<TNamedTarget, QString> targetFromFields(const QString &ip, const QString &transport)
{
    if (!IsDottedIPv4(ip))
        return QStringLiteral("'%1' is not an IPv4 address").arg(ip);
    TNamedTarget target{TNamedTarget::Kind::Ip, IpToText(TextToIp(ip)), 0, std::nullopt};
    if (!transport.isEmpty()) {
        target.transport = transportOf(transport);
        if (!target.transport)
            return QStringLiteral("'%1' is not a transport (udp or tcp)").arg(transport);
    }
    return target;
}

std::variant<QList<TNamedTarget>, QString> targetsFromJson(const QString &text)
{
    QList<QJsonObject> objects;
    QJsonParseError error;
    const QJsonDocument whole = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (whole.isArray()) {
        for (const QJsonValue &value : whole.array())
            objects << value.toObject();
    } else {
        // One object per line, as scan --json writes.
        const QStringList lines = text.split(QLatin1Char('\n'));
        for (int i = 0; i < lines.size(); ++i) {
            if (lines.at(i).trimmed().isEmpty())
                continue;
            const QJsonDocument line = QJsonDocument::fromJson(lines.at(i).toUtf8(), &error);
            if (!line.isObject())
                return QStringLiteral("line %1: not a JSON object (%2)").arg(i + 1).arg(error.errorString());
            objects << line.object();
        }
    }
    QList<TNamedTarget> targets;
    for (int i = 0; i < objects.size(); ++i) {
        const auto target = targetFromFields(objects.at(i).value(QLatin1String("ip")).toString(),
                                             objects.at(i).value(QLatin1String("transport")).toString());
        if (const QString *problem = std::get_if<QString>(&target))
            return QStringLiteral("device %1: %2").arg(i + 1).arg(*problem);
        targets << std::get<TNamedTarget>(target);
    }
    return targets;
}

std::variant<QList<TNamedTarget>, QString> targetsFromCsv(const QList<QStringList> &rows)
{
    const qsizetype ipColumn = rows.first().indexOf(QStringLiteral("ip"));
    const qsizetype transportColumn = rows.first().indexOf(QStringLiteral("transport"));
    QList<TNamedTarget> targets;
    for (qsizetype i = 1; i < rows.size(); ++i) {
        const QStringList &row = rows.at(i);
        const auto target = targetFromFields(row.value(ipColumn), transportColumn >= 0 ? row.value(transportColumn) : QString());
        if (const QString *problem = std::get_if<QString>(&target))
            return QStringLiteral("line %1: %2").arg(i + 1).arg(*problem);
        targets << std::get<TNamedTarget>(target);
    }
    return targets;
}

QString checkReadable(const QString &fileName, const QString &what)
{
    const QFileInfo info(fileName);
    if (!info.exists())
        return QStringLiteral("%1 '%2' does not exist").arg(what, fileName);
    if (!info.isFile())
        return QStringLiteral("%1 '%2' is not a file").arg(what, fileName);
    if (!info.isReadable())
        return QStringLiteral("%1 '%2' cannot be read").arg(what, fileName);
    if (info.size() == 0)
        return QStringLiteral("%1 '%2' is empty").arg(what, fileName);
    return {};
}

// The checks of the file a verb sends, as the window makes them before it disturbs a device.
QString checkVerbFile(Verb verb, const QString &fileName)
{
    const QString what = verb == Verb::ConfigPut ? QStringLiteral("configuration file") : QStringLiteral("firmware image");
    if (QString problem = checkReadable(fileName, what); !problem.isEmpty())
        return problem;
    const qint64 size = QFileInfo(fileName).size();
    if (verb == Verb::UpgradeController)
        return FirmwareImageProblem(fileName, size);
    if (verb == Verb::ConfigPut && size > qint64(MaxConfigTextSize))
        return ConfigTooLongMessage(qsizetype(size));
    return {};
}

struct OptionSet
{
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}};
    QCommandLineOption version{QStringLiteral("version")};
    QCommandLineOption verbose{{QStringLiteral("v"), QStringLiteral("verbose")}};
    QCommandLineOption all{QStringLiteral("all")};
    QCommandLineOption type{QStringLiteral("type"), QString(), QStringLiteral("NAME")};
    QCommandLineOption name{QStringLiteral("name"), QString(), QStringLiteral("GLOB")};
    QCommandLineOption from{QStringLiteral("from"), QString(), QStringLiteral("FILE")};
    QCommandLineOption wait{QStringLiteral("wait"), QString(), QStringLiteral("SECONDS")};
    QCommandLineOption tcp{QStringLiteral("tcp")};
    QCommandLineOption jobs{{QStringLiteral("j"), QStringLiteral("jobs")}, QString(), QStringLiteral("N")};
    QCommandLineOption yes{{QStringLiteral("y"), QStringLiteral("yes")}};
    QCommandLineOption output{{QStringLiteral("o"), QStringLiteral("output")}, QString(), QStringLiteral("PATH")};
    QCommandLineOption json{QStringLiteral("json")};
    QCommandLineOption csv{QStringLiteral("csv")};
    QCommandLineOption unfinished{QStringLiteral("unfinished")};
    QCommandLineOption withUpdater{QStringLiteral("with-updater")};
    QCommandLineOption dryRun{QStringLiteral("dry-run")};
    QCommandLineOption timeout{QStringLiteral("timeout"), QString(), QStringLiteral("SECONDS")};
    QCommandLineOption expect{QStringLiteral("expect"), QString(), QStringLiteral("N")};
    QCommandLineOption site{QStringLiteral("site"), QString(), QStringLiteral("FILE")};
    QCommandLineOption interval{QStringLiteral("interval"), QString(), QStringLiteral("SECONDS")};
    QCommandLineOption count{QStringLiteral("count"), QString(), QStringLiteral("N")};
    QCommandLineOption forSeconds{QStringLiteral("for"), QString(), QStringLiteral("SECONDS")};
    QCommandLineOption range{QStringLiteral("range"), QString(), QStringLiteral("RANGE")};
    QCommandLineOption rate{QStringLiteral("rate"), QString(), QStringLiteral("N")};
    QCommandLineOption library{QStringLiteral("library"), QString(), QStringLiteral("DIR")};
    QCommandLineOption components{QStringLiteral("components"), QString(), QStringLiteral("LIST")};
    QCommandLineOption allowDowngrade{QStringLiteral("allow-downgrade")};

    // Each option with the verb option group it belongs to.
    QList<std::pair<const QCommandLineOption *, unsigned>> grouped() const
    {
        return {{&all, OptTargets}, {&type, OptTargets}, {&name, OptTargets}, {&from, OptTargets},
                {&site, OptSite}, {&interval, OptWatch}, {&count, OptWatch}, {&forSeconds, OptWatch},
                {&wait, OptWait},   {&tcp, OptTcp},      {&jobs, OptJobs},   {&yes, OptYes},
                {&output, OptOutput}, {&json, OptJson},  {&csv, OptCsv}, {&unfinished, OptUnfinished},
                {&dryRun, OptDryRun}, {&timeout, OptTimeout}, {&expect, OptExpect},
                {&withUpdater, OptWithUpdater}, {&range, OptRange}, {&rate, OptRange},
                {&library, OptLibrary}, {&components, OptComponents}, {&allowDowngrade, OptAllowDowngrade}};
    }
};

const TVerbInfo *findVerb(const QString &name)
{
    for (const TVerbInfo &verb : Verbs())
        if (name == QLatin1String(verb.name))
            return &verb;
    return nullptr;
}
} // namespace

std::variant<TNamedTarget, QString> ParseTargetText(const QString &given)
{
    const QString text = given.trimmed();
    if (text.isEmpty())
        return QStringLiteral("an empty device name");
    // Twelve digits are a MAC address, not a malformed IPv4 one.
    static const QRegularExpression digitsAndDots(QStringLiteral("^[0-9.]+$"));
    static const QRegularExpression twelveDigits(QStringLiteral("^[0-9]{12}$"));
    if (digitsAndDots.match(text).hasMatch() && !twelveDigits.match(text).hasMatch()) {
        if (!IsDottedIPv4(text))
            return QStringLiteral("'%1' is not an IPv4 address").arg(text);
        return TNamedTarget{TNamedTarget::Kind::Ip, IpToText(TextToIp(text)), 0, std::nullopt};
    }
    if (const std::optional<quint64> mac = ParseMacText(text))
        return TNamedTarget{TNamedTarget::Kind::Mac, MacText(*mac), *mac, std::nullopt};
    static const QRegularExpression macLike(QStringLiteral("^[0-9A-Fa-f]{1,2}([-:.][0-9A-Fa-f]{0,2})+$"));
    if (text.contains(QLatin1Char(':')) || macLike.match(text).hasMatch())
        return QStringLiteral("'%1' is not a MAC address (six hexadecimal pairs)").arg(text);
    return TNamedTarget{TNamedTarget::Kind::Name, text, 0, std::nullopt};
}

std::variant<QList<TNamedTarget>, QString> ParseTargetFile(const QByteArray &contents)
{
    const QString text = QString::fromUtf8(contents);
    const QString start = text.trimmed();
    std::variant<QList<TNamedTarget>, QString> result;
    if (start.startsWith(QLatin1Char('[')) || start.startsWith(QLatin1Char('{'))) {
        result = targetsFromJson(text);
    } else if (const QList<QStringList> rows = ParseCsv(text); !rows.isEmpty() && rows.first().contains(QStringLiteral("ip"))
                                                                && rows.first().size() > 1) {
        result = targetsFromCsv(rows);
    } else {
        QList<TNamedTarget> targets;
        const QStringList lines = text.split(QLatin1Char('\n'));
        for (int i = 0; i < lines.size(); ++i) {
            const QString line = lines.at(i).section(QLatin1Char('#'), 0, 0).trimmed();
            if (line.isEmpty())
                continue;
            const auto target = ParseTargetText(line);
            if (const QString *problem = std::get_if<QString>(&target))
                return QStringLiteral("line %1: %2").arg(i + 1).arg(*problem);
            targets << std::get<TNamedTarget>(target);
        }
        result = targets;
    }
    if (const auto *targets = std::get_if<QList<TNamedTarget>>(&result); targets && targets->isEmpty())
        return QStringLiteral("it lists no device");
    return result;
}

bool TSelection::matches(const TDeviceRecord &device) const
{
    if (!type.isEmpty() && !matchesWildcard(type, device.Params.text(Wire::Param::TypeText), Qt::CaseInsensitive))
        return false;
    if (!name.isEmpty() && !matchesWildcard(name, device.Params.text(Wire::Param::Name), Qt::CaseInsensitive))
        return false;
    return all || !type.isEmpty() || !name.isEmpty();
}

bool VerboseRequested(const QStringList &arguments)
{
    for (const QString &argument : arguments) {
        if (argument == u"--")
            return false;
        if (argument == u"--verbose" || argument == u"-v")
            return true;
    }
    return false;
}

QString OutputProblem(const TCliRequest &request)
{
    if (request.output.isEmpty() || !(request.verb->options & OptOutput))
        return {};
    const QFileInfo output(request.output);
    const bool several = request.targets.size() > 1 || request.selection.any();
    const bool folder = several || output.isDir() || request.output.endsWith(QLatin1Char('/'));
    if (folder) {
        // A missing folder is made when the first text arrives: its nearest existing parent must
        // take it.
        QFileInfo existing(QFileInfo(request.output + QLatin1Char('/')).absolutePath());
        while (!existing.exists() && !existing.isRoot())
            existing = QFileInfo(existing.absolutePath());
        if (!existing.isDir())
            return QStringLiteral("Cannot make the folder %1: %2 is not a folder.").arg(request.output, existing.filePath());
        if (!existing.isWritable())
            return QStringLiteral("Cannot write in the folder %1: %2 is read-only.").arg(request.output, existing.filePath());
        return {};
    }
    if (output.exists())
        return output.isWritable() ? QString() : QStringLiteral("Cannot write %1: it is read-only.").arg(request.output);
    const QFileInfo parent(output.absolutePath());
    if (!parent.isDir())
        return QStringLiteral("Cannot write %1: the folder %2 does not exist.").arg(request.output, parent.filePath());
    if (!parent.isWritable())
        return QStringLiteral("Cannot write %1: the folder %2 is read-only.").arg(request.output, parent.filePath());
    return {};
}

bool TCliRequest::needsScan() const
{
    // plan and apply need every device's type and version, which the scan tells; an upgrade needs
    // the type for the library's check and the address record to see the device answer again (a
    // dry run sends nothing, not even the scan, when every device is named by its address).
    const bool upgrade = verb && !dryRun && (verb->verb == Verb::UpgradeBoard || verb->verb == Verb::UpgradeController);
    return selection.any() || upgrade || (verb && IsFirmwareVerb(verb->verb))
        || std::any_of(targets.begin(), targets.end(), [](const TNamedTarget &t) { return t.kind != TNamedTarget::Kind::Ip; });
}

std::optional<Wire::Command> ParseCommandName(const QString &name)
{
    QString simple = name.toLower();
    simple.remove(QLatin1Char('-'));
    simple.remove(QLatin1Char('_'));
    bool isNumber = false;
    const int code = simple.toInt(&isNumber);
    for (const Wire::CommandInfo &info : Wire::Commands) {
        if (info.command == Wire::Command::Discover)
            continue;
        if (isNumber ? code == int(info.command) : simple == QLatin1String(info.name).toString().toLower())
            return info.command;
    }
    return std::nullopt;
}

TParsedCommandLine ParseCommandLine(const QStringList &arguments, const TCliEnvironment &environment)
{
    // The firmware library's verbs read their own options: there --type and --version are the image's.
    if (IsLibraryCommandLine(arguments))
        return ParseLibraryCommandLine(arguments);
    auto usageError = [](const QString &text) { return TParsedCommandLine{std::nullopt, {}, text + TryHelp}; };
    // A file named on the command line that cannot be read is the environment's fault, not the line's.
    auto fileError = [](const QString &text) { return TParsedCommandLine{std::nullopt, {}, text, 3}; };
    OptionSet options;
    QCommandLineParser parser;
    parser.addOption(options.help);
    parser.addOption(options.version);
    parser.addOption(options.verbose); // read by main() before the parse: any verb takes it
    for (const auto &[option, group] : options.grouped())
        parser.addOption(*option);
    if (!parser.parse(QStringList{QStringLiteral("tarvino-cli")} + arguments))
        return usageError(parser.errorText());

    if (parser.isSet(options.version))
        return {std::nullopt, QStringLiteral("tarvino-cli %1\n").arg(QLatin1String(TARVINO_VERSION)), {}};
    QStringList words = parser.positionalArguments();
    if (words.isEmpty()) {
        if (parser.isSet(options.help))
            return {std::nullopt, ToolHelpText(), {}};
        return usageError(QStringLiteral("No verb given."));
    }
    QString verbName = words.takeFirst();
    if ((verbName == u"config" || verbName == u"logs") && !words.isEmpty())
        verbName += QLatin1Char(' ') + words.takeFirst();
    const TVerbInfo *verb = findVerb(verbName);
    if (!verb)
        return usageError(QStringLiteral("Unknown verb '%1'.").arg(verbName));
    if (parser.isSet(options.help))
        return {std::nullopt, VerbHelpText(*verb), {}};
    for (const auto &[option, group] : options.grouped())
        if (parser.isSet(*option) && !(verb->options & group))
            return usageError(QStringLiteral("'%1' does not take --%2.").arg(verbName, option->names().constLast()));

    TCliRequest request;
    request.verb = verb;
    request.json = parser.isSet(options.json);
    request.csv = parser.isSet(options.csv);
    request.yes = parser.isSet(options.yes);
    request.tcp = parser.isSet(options.tcp);
    request.unfinished = parser.isSet(options.unfinished);
    request.withUpdater = parser.isSet(options.withUpdater);
    request.output = parser.value(options.output);
    request.dryRun = parser.isSet(options.dryRun);
    if (request.json && request.csv)
        return usageError(QStringLiteral("Choose one of --json and --csv."));
    if (parser.isSet(options.jobs)) {
        bool ok = false;
        request.jobs = parser.value(options.jobs).toInt(&ok);
        if (!ok || request.jobs < 1 || request.jobs > 64)
            return usageError(QStringLiteral("--jobs takes a number from 1 to 64, not '%1'.").arg(parser.value(options.jobs)));
    }
    if (parser.isSet(options.wait)) {
        bool ok = false;
        const double seconds = parser.value(options.wait).toDouble(&ok);
        if (!ok || !(seconds >= 0.1 && seconds <= 600))
            return usageError(QStringLiteral("--wait takes seconds from 0.1 to 600, not '%1'.").arg(parser.value(options.wait)));
        request.waitMs = int(seconds * 1000);
    }

    if (parser.isSet(options.timeout)) {
        bool ok = false;
        const double seconds = parser.value(options.timeout).toDouble(&ok);
        if (!ok || !(seconds >= 0.1 && seconds <= 60))
            return usageError(QStringLiteral("--timeout takes seconds from 0.1 to 60, not '%1'.").arg(parser.value(options.timeout)));
        request.replyTimeoutMs = int(seconds * 1000);
    }
    if (parser.isSet(options.expect)) {
        bool ok = false;
        request.expect = parser.value(options.expect).toInt(&ok);
        if (!ok || request.expect < 1)
            return usageError(QStringLiteral("--expect takes a number of devices, not '%1'.").arg(parser.value(options.expect)));
    }
    if (parser.isSet(options.range) || parser.isSet(options.rate)) {
        auto sweep = ParseSweepOptions(parser.values(options.range), parser.value(options.rate), CurrentSweepContext());
        if (const QString *problem = std::get_if<QString>(&sweep))
            return usageError(*problem);
        request.sweep = std::get<TCliSweep>(sweep);
    }

    if (auto problem = ParseSiteOptions({parser.value(options.site), parser.value(options.interval),
                                          parser.value(options.count), parser.value(options.forSeconds)},
                                         &request.site))
        return problem->status == 2 ? usageError(problem->text) : fileError(problem->text);
    if (verb->verb == Verb::Check && request.site.siteFile.isEmpty())
        return usageError(QStringLiteral("check needs --site FILE."));

    if (verb->trailing) {
        if (words.isEmpty())
            return usageError(QStringLiteral("'%1' needs its %2.").arg(verbName, QLatin1String(verb->trailing)));
        const QString last = words.takeLast();
        if (verb->verb == Verb::Command) {
            const std::optional<Wire::Command> command = ParseCommandName(last);
            if (!command)
                return usageError(QStringLiteral("Unknown command '%1': one of %2.").arg(last, CommandNamesText()));
            request.command = *command;
        } else {
            if (IsDottedIPv4(last) && !QFileInfo::exists(last))
                return usageError(QStringLiteral("'%1' needs its FILE after the devices.").arg(verbName));
            request.file = last;
            if (const QString problem = checkVerbFile(verb->verb, last); !problem.isEmpty()) {
                const QString text = problem.endsWith(QLatin1Char('.')) ? problem : problem + QLatin1Char('.');
                return QFileInfo(last).isReadable() ? usageError(text) : fileError(text);
            }
        }
    }

    if (verb->verb == Verb::Scan || verb->verb == Verb::Doctor || verb->verb == Verb::History
        || verb->verb == Verb::Check || verb->verb == Verb::Watch) {
        if (!words.isEmpty())
            return usageError(QStringLiteral("%1 takes no device ('%2').").arg(verbName, words.first()));
        return {request, {}, {}};
    }
    for (const QString &word : words) {
        const auto target = ParseTargetText(word);
        if (const QString *problem = std::get_if<QString>(&target))
            return usageError(*problem + QLatin1Char('.'));
        request.targets << std::get<TNamedTarget>(target);
    }
    // The device toggles: it cannot be told which state to take, nor does it report one.
    if (verb->verb == Verb::Ssh) {
        static const QStringList states{QStringLiteral("on"), QStringLiteral("off"), QStringLiteral("enable"),
                                        QStringLiteral("disable")};
        for (const QString &word : std::as_const(words))
            if (states.contains(word.trimmed().toLower()))
                return usageError(QStringLiteral("ssh toggles the SSH server and takes no '%1': the device does not "
                                                 "report whether it is now on or off. Nothing was sent.")
                                      .arg(word));
    }
    if (verb->verb == Verb::Search) {
        if (request.targets.size() != 1 || request.targets.first().kind != TNamedTarget::Kind::Ip)
            return usageError(QStringLiteral("search takes one IPv4 address."));
        return {request, {}, {}};
    }

    request.selection.all = parser.isSet(options.all);
    request.selection.type = parser.value(options.type);
    request.selection.name = parser.value(options.name);
    if (parser.isSet(options.from)) {
        const QString fileName = parser.value(options.from);
        QByteArray contents;
        if (fileName == u"-") {
            contents = environment.readStandardInput ? environment.readStandardInput() : QByteArray();
            if (contents.size() > MaxTargetFileSize)
                return usageError(QStringLiteral("the device list on standard input is over %1 MiB.").arg(MaxTargetFileSize >> 20));
        } else {
            if (const QString problem = checkReadable(fileName, QStringLiteral("device list")); !problem.isEmpty())
                return QFileInfo(fileName).isReadable() ? usageError(problem + QLatin1Char('.')) : fileError(problem + QLatin1Char('.'));
            QFile file(fileName);
            if (file.size() > MaxTargetFileSize)
                return usageError(QStringLiteral("device list '%1' is over %2 MiB.").arg(fileName).arg(MaxTargetFileSize >> 20));
            if (!file.open(QIODevice::ReadOnly))
                return fileError(QStringLiteral("device list '%1' cannot be read.").arg(fileName));
            contents = file.readAll();
        }
        const auto listed = ParseTargetFile(contents);
        if (const QString *problem = std::get_if<QString>(&listed))
            return usageError(QStringLiteral("device list '%1': %2.").arg(fileName, *problem));
        request.targets << std::get<QList<TNamedTarget>>(listed);
    }
    if (int status = 0; IsFirmwareVerb(verb->verb)) {
        const QString problem = ReadFirmwareOptions(request, parser.value(options.library), parser.values(options.components), &status);
        if (!problem.isEmpty())
            return status == ExitStatus::Usage ? usageError(problem) : fileError(problem);
        request.library.allowDowngrade = parser.isSet(options.allowDowngrade);
    }
    // An upgrade's FILE is looked up in the firmware library by its bytes, whatever its name.
    if (verb->verb == Verb::UpgradeBoard || verb->verb == Verb::UpgradeController)
        request.library.folder = TFirmwareLibrary::folderFor(parser.value(options.library));
    if (request.targets.isEmpty() && !request.selection.any())
        return usageError(QStringLiteral("'%1' needs a device: an address, a MAC address or a name, or --all, --type, "
                                         "--name or --from.").arg(verbName));

    const bool several = request.targets.size() > 1 || request.selection.any();
    if (verb->options & OptOutput) {
        if (request.json && request.output.isEmpty())
            return usageError(QStringLiteral("--json needs -o for '%1': the text would mix with the JSON.").arg(verbName));
        if (several && request.output.isEmpty())
            return usageError(QStringLiteral("'%1' of several devices needs -o FOLDER.").arg(verbName));
        if (several && QFileInfo(request.output).exists() && !QFileInfo(request.output).isDir())
            return usageError(QStringLiteral("With several devices -o names a folder; '%1' is a file.").arg(request.output));
    }
    if (verb->changesDevice && !request.yes && !request.dryRun && !environment.canAsk)
        return usageError(QStringLiteral("'%1' changes the device: confirm with --yes (there is no terminal to ask on).")
                              .arg(verbName));
    return {request, {}, {}};
}
