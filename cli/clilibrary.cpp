#include "cli/clilibrary.h"

#include "cli/clireport.h"
#include "cli/clirequest.h"
#include "fleet/firmware/firmwarelibrary.h"
#include "fleet/firmware/firmwareversion.h"
#include "protocol/fileio.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

namespace {
const QString TryHelp = QStringLiteral("\nTry 'tarvino-cli library --help'.");

// The options of library's parser that take a value: the word after one is no verb.
const QStringList ValueOptions{QStringLiteral("--library"), QStringLiteral("--component"), QStringLiteral("--type"),
                               QStringLiteral("--version"), QStringLiteral("--note")};

QString noLibraryText()
{
    return QStringLiteral("No firmware library: give --library DIR, set TARVINO_LIBRARY, or choose one in the window "
                          "(File > Firmware library...).");
}

QString folderText(const TFirmwareLibrary &library)
{
    return QDir::toNativeSeparators(library.folder());
}

QJsonObject imageJson(const TCliRequest &request, const TLibraryImage &image)
{
    QJsonObject object{
        {QStringLiteral("verb"), QLatin1String(request.verb->name)},
        {QStringLiteral("file"), image.file},
        {QStringLiteral("component"), ComponentKey(image.component)},
        {QStringLiteral("types"), QJsonArray::fromStringList(image.types)},
        {QStringLiteral("version"), image.version},
        {QStringLiteral("sha256"), image.sha256},
    };
    if (!image.note.isEmpty())
        object.insert(QStringLiteral("note"), image.note);
    return object;
}

class LibraryOutput
{
public:
    LibraryOutput(std::FILE *out, std::FILE *err) : m_out(out), m_err(err) {}
    void print(const QString &text) { m_failed = !WriteText(m_out, text) || m_failed; }
    void tell(const QString &text) { WriteText(m_err, text + QLatin1Char('\n')); }
    int finish(int status) const
    {
        if (m_failed || std::fflush(m_out) != 0)
            return ExitStatus::Environment;
        return status;
    }

private:
    std::FILE *m_out;
    std::FILE *m_err;
    bool m_failed = false;
};
} // namespace

bool IsLibraryVerb(Verb verb)
{
    return verb == Verb::LibraryList || verb == Verb::LibraryCheck || verb == Verb::LibraryAdd
           || verb == Verb::LibraryRemove;
}

bool IsFirmwareVerb(Verb verb)
{
    return verb == Verb::Plan || verb == Verb::Apply;
}

bool IsLibraryCommandLine(const QStringList &arguments)
{
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == u"--")
            return arguments.value(i + 1) == u"library";
        if (ValueOptions.contains(argument)) {
            ++i;
            continue;
        }
        if (!argument.startsWith(QLatin1Char('-')))
            return argument == u"library";
    }
    return false;
}

TParsedCommandLine ParseLibraryCommandLine(const QStringList &arguments)
{
    auto usageError = [](const QString &text) { return TParsedCommandLine{std::nullopt, {}, text + TryHelp}; };
    QCommandLineParser parser;
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption verbose(QStringList{QStringLiteral("v"), QStringLiteral("verbose")});
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption library(QStringLiteral("library"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption component(QStringLiteral("component"), QString(), QStringLiteral("COMPONENT"));
    const QCommandLineOption type(QStringLiteral("type"), QString(), QStringLiteral("TYPE"));
    const QCommandLineOption version(QStringLiteral("version"), QString(), QStringLiteral("V"));
    const QCommandLineOption note(QStringLiteral("note"), QString(), QStringLiteral("TEXT"));
    parser.addOptions({help, verbose, json, library, component, type, version, note});
    if (!parser.parse(QStringList{QStringLiteral("tarvino-cli")} + arguments))
        return usageError(parser.errorText());
    QStringList words = parser.positionalArguments();
    words.removeFirst(); // "library"
    const QString sub = words.isEmpty() ? QString() : words.takeFirst();
    const TVerbInfo *verb = nullptr;
    const Verb libraryVerbs[] = {Verb::LibraryList, Verb::LibraryCheck, Verb::LibraryAdd, Verb::LibraryRemove};
    for (const Verb candidate : libraryVerbs)
        if (QLatin1String(VerbInfo(candidate).name) == QStringLiteral("library ") + sub)
            verb = &VerbInfo(candidate);
    if (!verb) {
        if (parser.isSet(help) && sub.isEmpty()) {
            QStringList texts;
            for (const Verb candidate : libraryVerbs)
                texts << VerbHelpText(VerbInfo(candidate));
            return {std::nullopt, texts.join(QLatin1Char('\n')), {}};
        }
        return usageError(sub.isEmpty() ? QStringLiteral("'library' needs list, check, add or remove.")
                                        : QStringLiteral("Unknown verb 'library %1': list, check, add or remove.").arg(sub));
    }
    if (parser.isSet(help))
        return {std::nullopt, VerbHelpText(*verb), {}};

    TCliRequest request;
    request.verb = verb;
    request.json = parser.isSet(json);
    request.library.folder = parser.value(library);
    const bool adding = verb->verb == Verb::LibraryAdd;
    for (const QCommandLineOption *option : {&component, &type, &version, &note})
        if (!adding && parser.isSet(*option))
            return usageError(QStringLiteral("'%1' does not take --%2.").arg(QLatin1String(verb->name), option->names().constLast()));
    if (verb->verb == Verb::LibraryRemove) {
        if (words.size() != 1)
            return usageError(words.isEmpty() ? QStringLiteral("'library remove' needs the image's FILE name.")
                                              : QStringLiteral("'library remove' takes one FILE ('%1' too).").arg(words.at(1)));
        request.file = words.first();
        return {request, {}, {}};
    }
    if (!adding) {
        if (!words.isEmpty())
            return usageError(QStringLiteral("'%1' takes no argument ('%2').").arg(QLatin1String(verb->name), words.first()));
        return {request, {}, {}};
    }
    if (words.size() != 1)
        return usageError(words.isEmpty() ? QStringLiteral("'library add' needs the image FILE.")
                                          : QStringLiteral("'library add' takes one FILE ('%1' too).").arg(words.at(1)));
    request.file = words.first();
    const auto parsedComponent = ParseComponent(parser.value(component));
    if (!parsedComponent)
        return usageError(parser.isSet(component) ? QStringLiteral("--component takes board or controller, not '%1'.").arg(parser.value(component))
                                                  : QStringLiteral("'library add' needs --component board or --component controller."));
    request.library.component = *parsedComponent;
    request.library.types = parser.values(type);
    if (request.library.types.isEmpty())
        return usageError(QStringLiteral("'library add' needs --type TYPE: the device type (or types) the image is for."));
    request.library.version = parser.value(version);
    if (request.library.version.isEmpty())
        return usageError(QStringLiteral("'library add' needs --version V, the image's version (3.4.1)."));
    if (!CompareVersions(request.library.version, request.library.version))
        return usageError(QStringLiteral("--version takes dotted numbers such as 3.4.1, not '%1'.").arg(request.library.version));
    request.library.note = parser.value(note);
    const QFileInfo file(request.file);
    if (!file.isFile() || !file.isReadable())
        return {std::nullopt, {}, QStringLiteral("firmware image '%1' cannot be read.").arg(request.file), ExitStatus::Environment};
    return {request, {}, {}};
}

QString ReadFirmwareOptions(TCliRequest &request, const QString &folder, const QStringList &components, int *status)
{
    *status = ExitStatus::Usage;
    if (!IsFirmwareVerb(request.verb->verb))
        return {};
    request.library.folder = TFirmwareLibrary::folderFor(folder);
    if (request.library.folder.isEmpty())
        return noLibraryText();
    for (const QString &list : components)
        for (const QString &word : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const auto component = ParseComponent(word.trimmed());
            if (!component)
                return QStringLiteral("--components takes board, controller or board,controller, not '%1'.").arg(word);
            if (!request.library.components.contains(*component))
                request.library.components << *component;
        }
    // A library that cannot be read is known before the scan: nothing at all is sent.
    TFirmwareLibrary library(request.library.folder);
    if (QString error; !library.load(&error)) {
        *status = ExitStatus::Environment;
        return error + QStringLiteral(" Nothing was sent.");
    }
    // No device named: the whole site.
    if (request.targets.isEmpty() && !request.selection.any())
        request.selection.all = true;
    return {};
}

int RunLibraryVerb(const TCliRequest &request, std::FILE *out, std::FILE *err)
{
    LibraryOutput output(out, err);
    TFirmwareLibrary library(TFirmwareLibrary::folderFor(request.library.folder));
    if (library.folder().isEmpty()) {
        output.tell(QStringLiteral("tarvino-cli: ") + noLibraryText());
        return ExitStatus::Usage;
    }
    QString error;
    const bool adding = request.verb->verb == Verb::LibraryAdd;
    // A library is made by its first image: a folder that does not exist yet is no error then.
    if (!(adding && !QFileInfo::exists(library.folder())) && !library.load(&error)) {
        output.tell(QStringLiteral("tarvino-cli: ") + error);
        return ExitStatus::Environment;
    }

    switch (request.verb->verb) {
    case Verb::LibraryList: {
        if (request.json) {
            for (const TLibraryImage &image : library.images())
                output.print(CliJsonLine(imageJson(request, image)));
            return output.finish(ExitStatus::Success);
        }
        QList<QStringList> rows{{QStringLiteral("FILE"), QStringLiteral("COMPONENT"), QStringLiteral("VERSION"),
                                 QStringLiteral("TYPES"), QStringLiteral("SHA-256"), QStringLiteral("NOTE")}};
        for (const TLibraryImage &image : library.images())
            rows << QStringList{EscapeControls(image.file), ComponentKey(image.component), EscapeControls(image.version),
                                EscapeControls(image.types.join(QStringLiteral(", "))), image.sha256.left(16),
                                EscapeControls(image.note.simplified())};
        output.print((library.images().isEmpty() ? QString() : AlignedTable(rows))
                     + QStringLiteral("%1 image%2 in %3\n")
                           .arg(library.images().size())
                           .arg(library.images().size() == 1 ? QString() : QStringLiteral("s"), folderText(library)));
        return output.finish(ExitStatus::Success);
    }
    case Verb::LibraryCheck: {
        int failed = 0;
        QList<QStringList> rows{{QStringLiteral("FILE"), QStringLiteral("RESULT"), QString()}};
        for (const TImageCheck &check : library.check()) {
            failed += check.ok ? 0 : 1;
            if (request.json)
                output.print(CliJsonLine({{QStringLiteral("verb"), QLatin1String(request.verb->name)},
                                          {QStringLiteral("file"), check.file},
                                          {QStringLiteral("result"), check.ok ? QStringLiteral("ok") : QStringLiteral("failed")},
                                          {QStringLiteral("message"), check.problem}}));
            rows << QStringList{EscapeControls(check.file), check.ok ? QStringLiteral("ok") : QStringLiteral("FAILED"),
                                EscapeControls(check.problem)};
        }
        if (!request.json)
            output.print((rows.size() > 1 ? AlignedTable(rows) : QString())
                         + QStringLiteral("%1 image%2: %3 ok, %4 failed\n")
                               .arg(library.images().size())
                               .arg(library.images().size() == 1 ? QString() : QStringLiteral("s"))
                               .arg(library.images().size() - failed)
                               .arg(failed));
        return output.finish(failed > 0 ? ExitStatus::DeviceFailed : ExitStatus::Success);
    }
    case Verb::LibraryAdd: {
        const auto added = library.add(request.file, request.library.component, request.library.types,
                                       request.library.version, request.library.note, &error);
        if (!added) {
            output.tell(QStringLiteral("tarvino-cli: %1%2 The library is unchanged.").arg(error, error.endsWith(QLatin1Char('.')) ? QString() : QStringLiteral(".")));
            return ExitStatus::DeviceFailed;
        }
        output.print(request.json ? CliJsonLine(imageJson(request, *added))
                                  : QStringLiteral("Added %1 to %2: %3 %4 for %5, SHA-256 %6\n")
                                        .arg(EscapeControls(added->file), folderText(library), ComponentKey(added->component),
                                             added->version, EscapeControls(added->types.join(QStringLiteral(", "))),
                                             added->sha256));
        return output.finish(ExitStatus::Success);
    }
    case Verb::LibraryRemove: {
        const QString name = QFileInfo(request.file).fileName();
        const auto image = std::find_if(library.images().cbegin(), library.images().cend(),
                                        [&](const TLibraryImage &candidate) { return candidate.file == name; });
        const std::optional<TLibraryImage> removed =
            image == library.images().cend() ? std::nullopt : std::optional<TLibraryImage>(*image);
        if (!library.remove(name, true, &error)) {
            // Out of the manifest but its file still there is said as it is: the manifest changed.
            output.tell(QStringLiteral("tarvino-cli: %1.%2").arg(error, removed && !library.images().contains(*removed)
                                                                        ? QString()
                                                                        : QStringLiteral(" The library is unchanged.")));
            return ExitStatus::DeviceFailed;
        }
        output.print(request.json ? CliJsonLine(imageJson(request, *removed))
                                  : QStringLiteral("Removed %1 from %2 (%3 %4)\n")
                                        .arg(EscapeControls(removed->file), folderText(library),
                                             ComponentKey(removed->component), EscapeControls(removed->version)));
        return output.finish(ExitStatus::Success);
    }
    default: break;
    }
    return ExitStatus::Usage;
}
