#include "fleet/firmware/firmwarelibrary.h"

#include "fleet/devicefields.h"
#include "fleet/history/operationjournal.h"
#include "protocol/wire.h"
#include "protocol/sha256text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>

#include <algorithm>

// ---- Components and versions -------------------------------------------------------------------

QString ComponentKey(TFirmwareComponent component)
{
    return component == TFirmwareComponent::Board ? QStringLiteral("board") : QStringLiteral("controller");
}

std::optional<TFirmwareComponent> ParseComponent(QStringView text)
{
    if (text.compare(u"board", Qt::CaseInsensitive) == 0)
        return TFirmwareComponent::Board;
    if (text.compare(u"controller", Qt::CaseInsensitive) == 0)
        return TFirmwareComponent::Controller;
    return std::nullopt;
}

namespace {
struct ParsedVersion
{
    QStringList numbers; // without leading zeros
    QString tail;
};

std::optional<ParsedVersion> parseVersion(const QString &text)
{
    static const QRegularExpression leading(QStringLiteral("^([0-9]+(?:\\.[0-9]+)*)(.*)$"),
                                            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = leading.match(text.trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    ParsedVersion version;
    for (QString part : match.captured(1).split(QLatin1Char('.'))) {
        while (part.size() > 1 && part.startsWith(QLatin1Char('0')))
            part.remove(0, 1);
        version.numbers << part;
    }
    version.tail = match.captured(2);
    return version;
}

// Numbers of any length, without leading zeros: the longer is the greater.
int compareNumbers(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b) < 0 ? -1 : a == b ? 0 : 1;
}
} // namespace

bool IsPlainVersion(const QString &text)
{
    const auto version = parseVersion(text);
    return version && version->tail.isEmpty() && text == text.trimmed();
}

std::optional<int> CompareVersions(const QString &a, const QString &b)
{
    const auto x = parseVersion(a);
    const auto y = parseVersion(b);
    if (!x || !y)
        return std::nullopt;
    const qsizetype parts = std::max(x->numbers.size(), y->numbers.size());
    for (qsizetype i = 0; i < parts; ++i) {
        const int order = compareNumbers(x->numbers.value(i, QStringLiteral("0")), y->numbers.value(i, QStringLiteral("0")));
        if (order != 0)
            return order;
    }
    if (x->tail == y->tail)
        return 0;
    if (x->tail.isEmpty() || y->tail.isEmpty())
        return x->tail.isEmpty() ? 1 : -1; // a release after its pre-releases
    return x->tail.compare(y->tail) < 0 ? -1 : 1;
}

bool TLibraryImage::fits(const TDeviceTypeId &type) const
{
    return std::any_of(types.begin(), types.end(), [&](const QString &wanted) { return DeviceTypeMatches(wanted, type); });
}

// ---- The manifest's text -----------------------------------------------------------------------

namespace {
// Where things are in the manifest's text, for errors that name a line: QJsonDocument tells
// offsets only for syntax errors.
struct ManifestLines
{
    struct Object
    {
        int line = 1;
        QHash<QString, int> keyLines;
        QString duplicateKey;
        int duplicateLine = 0;
    };
    Object top;
    QList<int> imageLines; // the line of each element of "images"
    QList<Object> images;  // the image objects' keys, for elements that are objects (else empty)
};

int lineOfOffset(const QByteArray &bytes, qsizetype offset)
{
    offset = std::clamp<qsizetype>(offset, 0, bytes.size());
    return int(std::count(bytes.begin(), bytes.begin() + offset, '\n')) + 1;
}

// Walks a text QJsonDocument accepted: strings, containers, keys.
ManifestLines locate(const QByteArray &bytes)
{
    ManifestLines lines;
    QByteArray stack;       // '{' and '[' open
    int line = 1;
    bool inString = false;
    bool escaped = false;
    QByteArray current;     // the string being read
    QByteArray lastString;  // the last string read, a key when a ':' follows
    int lastStringLine = 1;
    bool inImages = false;  // the array of "images" is open (stack depth 2)
    bool awaitingElement = false; // after its '[' or a ',': the next token starts an element
    QByteArray topKey;      // the key whose value is being read in the top object
    ManifestLines::Object *image = nullptr;

    auto noteKey = [&](ManifestLines::Object &object) {
        const QString key = QString::fromUtf8(lastString);
        if (object.keyLines.contains(key) && object.duplicateKey.isEmpty()) {
            object.duplicateKey = key;
            object.duplicateLine = lastStringLine;
        }
        object.keyLines.insert(key, lastStringLine);
    };

    for (const char c : bytes) {
        if (c == '\n')
            ++line;
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"') {
                inString = false;
                lastString = current;
                lastStringLine = line;
            } else
                current += c;
            continue;
        }
        const qsizetype depth = stack.size();
        // A value's first character directly inside the images array starts an element.
        const bool elementStarts = inImages && depth == 2 && awaitingElement && c != ' ' && c != '\t' && c != '\r'
                                   && c != '\n' && c != ',' && c != ']';
        if (elementStarts) {
            lines.imageLines << line;
            lines.images << ManifestLines::Object{line, {}, {}, 0};
            awaitingElement = false;
        }
        if (inImages && depth == 2 && c == ',')
            awaitingElement = true;
        switch (c) {
        case '"':
            inString = true;
            current.clear();
            break;
        case ':':
            if (depth == 1) {
                topKey = lastString;
                noteKey(lines.top);
            } else if (depth == 3 && image) {
                noteKey(*image);
            }
            break;
        case '{':
            if (depth == 0)
                lines.top.line = line;
            if (depth == 2 && inImages && !lines.images.isEmpty())
                image = &lines.images.last();
            stack += c;
            break;
        case '[':
            if (depth == 1 && topKey == "images") {
                inImages = true;
                awaitingElement = true;
            }
            stack += c;
            break;
        case '}':
        case ']':
            stack.chop(1);
            if (stack.size() == 1)
                inImages = false;
            if (stack.size() == 2)
                image = nullptr;
            break;
        default:
            break;
        }
    }
    return lines;
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

bool hasControlCharacters(const QString &text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

QString fileNameProblem(const QString &file)
{
    if (file.isEmpty())
        return QStringLiteral("an image without \"file\"");
    if (file.contains(QLatin1Char('/')) || file.contains(QLatin1Char('\\')) || file == QLatin1String(".")
        || file == QLatin1String("..") || hasControlCharacters(file))
        return QStringLiteral("\"file\" is %1: expected a file name in the library's folder, without folders").arg(quoted(file));
    if (file == QLatin1String(TFirmwareLibrary::ManifestName))
        return QStringLiteral("\"file\" is the manifest itself");
    return {};
}

const QRegularExpression &sha256Pattern()
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-fA-F]{64}$"));
    return pattern;
}
} // namespace

namespace {
// What is wrong with an entry, and the manifest key it is about.
struct EntryFault
{
    const char *key = nullptr;
    QString reason;
};

EntryFault entryFault(const TLibraryImage &image)
{
    if (const QString problem = fileNameProblem(image.file); !problem.isEmpty())
        return {"file", problem};
    if (image.types.isEmpty())
        return {"types", QStringLiteral("%1 names no device type").arg(image.file)};
    for (const QString &type : image.types)
        if (type.trimmed().isEmpty() || hasControlCharacters(type) || type.size() > 200)
            return {"types", QStringLiteral("%1: the device type %2 is empty or not a name").arg(image.file, quoted(type))};
    if (!CompareVersions(image.version, image.version) || image.version.size() > 64 || hasControlCharacters(image.version))
        return {"version", QStringLiteral("%1: the version %2 is not a version (expected dotted numbers such as 3.3.1)")
                               .arg(image.file, quoted(image.version))};
    if (!sha256Pattern().match(image.sha256).hasMatch())
        return {"sha256", QStringLiteral("%1: \"sha256\" is %2: expected 64 hexadecimal digits").arg(image.file, quoted(image.sha256))};
    if (hasControlCharacters(QString(image.note).remove(QLatin1Char('\n'))))
        return {"note", QStringLiteral("%1: the note holds control characters").arg(image.file)};
    return {};
}
} // namespace

QString TFirmwareLibrary::entryProblem(const TLibraryImage &image)
{
    return entryFault(image).reason;
}

bool TFirmwareLibrary::parseManifest(const QByteArray &bytes, QList<TLibraryImage> *images, QJsonObject *unknownTopFields,
                                     QString *error)
{
    auto fail = [error](int line, const QString &reason) {
        if (error)
            *error = QStringLiteral("line %1: %2").arg(line).arg(reason);
        return false;
    };
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(lineOfOffset(bytes, parseError.offset), QStringLiteral("not JSON (%1)").arg(parseError.errorString()));
    if (!document.isObject())
        return fail(1, QStringLiteral("expected an object with \"format\" and \"images\""));
    const ManifestLines lines = locate(bytes);
    const QJsonObject top = document.object();
    auto topLine = [&](const char *key) { return lines.top.keyLines.value(QLatin1String(key), lines.top.line); };
    if (!lines.top.duplicateKey.isEmpty())
        return fail(lines.top.duplicateLine, QStringLiteral("%1 is given twice").arg(quoted(lines.top.duplicateKey)));

    const QJsonValue format = top.value(QStringLiteral("format"));
    if (format.isUndefined())
        return fail(lines.top.line, QStringLiteral("no \"format\": not a firmware library manifest"));
    if (!format.isDouble() || format.toDouble() != std::floor(format.toDouble()) || format.toDouble() < 1)
        return fail(topLine("format"), QStringLiteral("\"format\" is not a format number"));
    if (format.toDouble() > Format)
        return fail(topLine("format"), QStringLiteral("format %1 is of a newer Tarvino (this one reads format %2)")
                                           .arg(format.toDouble()).arg(Format));
    const QJsonValue list = top.value(QStringLiteral("images"));
    if (!list.isArray())
        return fail(list.isUndefined() ? lines.top.line : topLine("images"), QStringLiteral("\"images\" is not a list"));

    QList<TLibraryImage> read;
    QHash<QString, int> fileLines;
    const QJsonArray array = list.toArray();
    for (qsizetype i = 0; i < array.size(); ++i) {
        const int elementLine = lines.imageLines.value(i, topLine("images"));
        if (!array[i].isObject())
            return fail(elementLine, QStringLiteral("image %1 is not an object").arg(i + 1));
        const ManifestLines::Object located = lines.images.value(i);
        if (!located.duplicateKey.isEmpty())
            return fail(located.duplicateLine, QStringLiteral("%1 is given twice").arg(quoted(located.duplicateKey)));
        auto keyLine = [&](const QString &key) { return located.keyLines.value(key, elementLine); };
        const QJsonObject object = array[i].toObject();
        TLibraryImage image;
        for (auto it = object.begin(); it != object.end(); ++it) {
            const QString key = it.key();
            const QJsonValue value = it.value();
            auto text = [&](QString *into) {
                if (!value.isString())
                    return fail(keyLine(key), QStringLiteral("%1 is not a text").arg(quoted(key)));
                *into = value.toString();
                return true;
            };
            if (key == QLatin1String("file")) {
                if (!text(&image.file))
                    return false;
            } else if (key == QLatin1String("component")) {
                QString component;
                if (!text(&component))
                    return false;
                const auto parsed = ParseComponent(component);
                if (!parsed || component != ComponentKey(*parsed))
                    return fail(keyLine(key), QStringLiteral("\"component\" is %1: expected board or controller").arg(quoted(component)));
                image.component = *parsed;
            } else if (key == QLatin1String("types")) {
                // One type may be written without the list.
                const QJsonArray types = value.isString() ? QJsonArray{value} : value.toArray();
                if (!value.isString() && !value.isArray())
                    return fail(keyLine(key), QStringLiteral("\"types\" is not a list of device types"));
                for (const QJsonValue &type : types) {
                    if (!type.isString())
                        return fail(keyLine(key), QStringLiteral("\"types\" holds something that is not a text"));
                    image.types << type.toString();
                }
            } else if (key == QLatin1String("version")) {
                if (!text(&image.version))
                    return false;
            } else if (key == QLatin1String("sha256")) {
                if (!text(&image.sha256))
                    return false;
                image.sha256 = image.sha256.toLower();
            } else if (key == QLatin1String("note")) {
                if (!text(&image.note))
                    return false;
            } else {
                image.unknownFields.insert(key, value);
            }
        }
        for (const char *required : {"file", "component", "types", "version", "sha256"})
            if (!object.contains(QLatin1String(required)))
                return fail(elementLine, QStringLiteral("image %1 has no %2").arg(i + 1).arg(quoted(QLatin1String(required))));
        if (const EntryFault fault = entryFault(image); fault.key)
            return fail(keyLine(QLatin1String(fault.key)), fault.reason);
        if (const int first = fileLines.value(image.file.toLower()); first > 0)
            return fail(keyLine(QStringLiteral("file")),
                        QStringLiteral("%1 is listed twice (first on line %2)").arg(image.file).arg(first));
        fileLines.insert(image.file.toLower(), keyLine(QStringLiteral("file")));
        read << image;
    }
    if (images)
        *images = read;
    if (unknownTopFields) {
        QJsonObject rest = top;
        rest.remove(QStringLiteral("format"));
        rest.remove(QStringLiteral("images"));
        *unknownTopFields = rest;
    }
    return true;
}

QByteArray TFirmwareLibrary::manifestBytes(const QList<TLibraryImage> &images, const QJsonObject &unknownTopFields)
{
    QJsonArray array;
    for (const TLibraryImage &image : images) {
        QJsonObject object = image.unknownFields;
        object.insert(QStringLiteral("file"), image.file);
        object.insert(QStringLiteral("component"), ComponentKey(image.component));
        object.insert(QStringLiteral("types"), QJsonArray::fromStringList(image.types));
        object.insert(QStringLiteral("version"), image.version);
        object.insert(QStringLiteral("sha256"), image.sha256);
        if (!image.note.isEmpty())
            object.insert(QStringLiteral("note"), image.note);
        array.append(object);
    }
    QJsonObject top = unknownTopFields;
    top.insert(QStringLiteral("format"), Format);
    top.insert(QStringLiteral("images"), array);
    return QJsonDocument(top).toJson(QJsonDocument::Indented);
}

// ---- The folder ---------------------------------------------------------------------------------

namespace {
QSettings windowSettings()
{
    // The window's own settings file: the folder chosen there is the command line's default too.
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("tarvino"), QStringLiteral("tarvino"));
}
const QString FolderKey = QStringLiteral("FirmwareLibrary/folder");

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}
} // namespace

TFirmwareLibrary::TFirmwareLibrary(QString folder) : m_folder(std::move(folder)) {}

QString TFirmwareLibrary::folderFor(const QString &option)
{
    if (!option.isEmpty())
        return option;
    if (const QString fromEnvironment = qEnvironmentVariable("TARVINO_LIBRARY"); !fromEnvironment.isEmpty())
        return fromEnvironment;
    return rememberedFolder();
}

QString TFirmwareLibrary::rememberedFolder()
{
    return windowSettings().value(FolderKey).toString();
}

void TFirmwareLibrary::rememberFolder(const QString &folder)
{
    QSettings settings = windowSettings();
    settings.setValue(FolderKey, folder);
}

QString TFirmwareLibrary::manifestPath() const
{
    return QDir(m_folder).filePath(QLatin1String(ManifestName));
}

QString TFirmwareLibrary::imagePath(const TLibraryImage &image) const
{
    return QDir(m_folder).filePath(image.file);
}

bool TFirmwareLibrary::load(QString *error)
{
    m_images.clear();
    m_unknownTopFields = {};
    QFile file(manifestPath());
    if (!file.exists()) {
        if (!QFileInfo(m_folder).isDir()) {
            setError(error, QStringLiteral("%1 is not a folder").arg(QDir::toNativeSeparators(m_folder)));
            return false;
        }
        return true; // a new library
    }
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(manifestPath()), file.errorString()));
        return false;
    }
    QString reason;
    if (!parseManifest(file.readAll(), &m_images, &m_unknownTopFields, &reason)) {
        setError(error, QStringLiteral("%1 %2").arg(QDir::toNativeSeparators(manifestPath()), reason));
        return false;
    }
    return true;
}

bool TFirmwareLibrary::save(QString *error) const
{
    if (!QDir().mkpath(m_folder)) {
        setError(error, QStringLiteral("Cannot make the folder %1").arg(QDir::toNativeSeparators(m_folder)));
        return false;
    }
    QSaveFile file(manifestPath());
    const QByteArray bytes = manifestBytes(m_images, m_unknownTopFields);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        setError(error, QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(manifestPath()), file.errorString()));
        return false;
    }
    return true;
}

std::optional<TLibraryImage> TFirmwareLibrary::add(const QString &sourceFile, TFirmwareComponent component,
                                                   const QStringList &types, const QString &version, const QString &note,
                                                   QString *error)
{
    QFile source(sourceFile);
    if (!source.open(QIODevice::ReadOnly)) {
        setError(error, QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(sourceFile), source.errorString()));
        return std::nullopt;
    }
    const QByteArray bytes = source.readAll();
    source.close();
    TLibraryImage image;
    image.file = QFileInfo(sourceFile).fileName();
    image.component = component;
    for (const QString &type : types)
        image.types << type.trimmed();
    image.version = version.trimmed();
    image.sha256 = Sha256Text(bytes).toLower();
    image.note = note;
    if (const QString problem = entryProblem(image); !problem.isEmpty()) {
        setError(error, problem);
        return std::nullopt;
    }
    if (bytes.isEmpty()) {
        setError(error, QStringLiteral("%1 is empty").arg(QDir::toNativeSeparators(sourceFile)));
        return std::nullopt;
    }
    if (const TLibraryImage *taken = findFile(imagePath(image)); taken || std::any_of(m_images.begin(), m_images.end(), [&](const TLibraryImage &i) {
                                                                               return i.file.compare(image.file, Qt::CaseInsensitive) == 0;
                                                                           })) {
        setError(error, QStringLiteral("The library already has an image named %1: remove it first, or give the new one another name")
                            .arg(image.file));
        return std::nullopt;
    }
    const QString target = imagePath(image);
    const bool inPlace = QFileInfo(sourceFile).canonicalFilePath() == QFileInfo(target).canonicalFilePath();
    bool copied = false;
    if (!inPlace) {
        if (QFile existing(target); existing.exists()) {
            // A file left in the folder, not in the manifest: taken only when it is the same image.
            if (!existing.open(QIODevice::ReadOnly) || existing.readAll() != bytes) {
                setError(error, QStringLiteral("Another file named %1 is already in %2").arg(image.file, QDir::toNativeSeparators(m_folder)));
                return std::nullopt;
            }
        } else {
            if (!QDir().mkpath(m_folder)) {
                setError(error, QStringLiteral("Cannot make the folder %1").arg(QDir::toNativeSeparators(m_folder)));
                return std::nullopt;
            }
            QSaveFile copy(target);
            if (!copy.open(QIODevice::WriteOnly) || copy.write(bytes) != bytes.size() || !copy.commit()) {
                setError(error, QStringLiteral("Cannot copy %1 into the library: %2").arg(image.file, copy.errorString()));
                return std::nullopt;
            }
            copied = true;
        }
    }
    m_images << image;
    if (!save(error)) {
        m_images.removeLast();
        if (copied)
            QFile::remove(target);
        return std::nullopt;
    }
    return image;
}

bool TFirmwareLibrary::remove(const QString &file, bool deleteFile, QString *error)
{
    const QString name = QFileInfo(file).fileName();
    const auto it = std::find_if(m_images.begin(), m_images.end(), [&](const TLibraryImage &i) { return i.file == name; });
    if (it == m_images.end()) {
        setError(error, QStringLiteral("The library has no image named %1").arg(name));
        return false;
    }
    const TLibraryImage removed = *it;
    const qsizetype index = it - m_images.begin();
    m_images.removeAt(index);
    if (!save(error)) {
        m_images.insert(index, removed);
        return false;
    }
    if (deleteFile && !QFile::remove(imagePath(removed)) && QFile::exists(imagePath(removed))) {
        setError(error, QStringLiteral("%1 is out of the library, but its file could not be deleted").arg(name));
        return false;
    }
    return true;
}

std::optional<TFirmwareImage> TFirmwareLibrary::readImage(const TLibraryImage &image, QString *error) const
{
    TFirmwareImage read;
    try {
        read = TFirmwareImage::read(imagePath(image));
    } catch (const std::exception &e) {
        setError(error, QStringLiteral("%1: %2").arg(image.file, QString::fromUtf8(e.what())));
        return std::nullopt;
    }
    if (read.sha256().compare(image.sha256, Qt::CaseInsensitive) != 0) {
        setError(error, QStringLiteral("%1: its SHA-256 is %2, the library's manifest says %3: the file changed since it "
                                       "was added and is not used")
                            .arg(image.file, read.sha256().toLower(), image.sha256));
        return std::nullopt;
    }
    read.setLibraryInfo(image.version, image.types);
    return read;
}

QList<TImageCheck> TFirmwareLibrary::check() const
{
    QList<TImageCheck> checks;
    for (const TLibraryImage &image : m_images) {
        TImageCheck result{image.file, false, {}};
        result.ok = readImage(image, &result.problem).has_value();
        checks << result;
    }
    return checks;
}

const TLibraryImage *TFirmwareLibrary::newest(TFirmwareComponent component, const TDeviceTypeId &type) const
{
    const TLibraryImage *best = nullptr;
    for (const TLibraryImage &image : m_images) {
        if (image.component != component || !image.fits(type))
            continue;
        if (!best || CompareVersions(image.version, best->version).value_or(0) > 0)
            best = &image;
    }
    return best;
}

const TLibraryImage *TFirmwareLibrary::findFile(const QString &path) const
{
    const QString wanted = QFileInfo(path).absoluteFilePath();
    for (const TLibraryImage &image : m_images)
        if (QFileInfo(imagePath(image)).absoluteFilePath() == wanted)
            return &image;
    return nullptr;
}

const TLibraryImage *TFirmwareLibrary::findSha256(const QString &sha256) const
{
    for (const TLibraryImage &image : m_images)
        if (image.sha256.compare(sha256, Qt::CaseInsensitive) == 0)
            return &image;
    return nullptr;
}

// ---- The history of controller images ------------------------------------------------------------

namespace {
const QString ControllerUpgradeTitle = QStringLiteral("Controller upgrade");

QString deviceKey(const QString &mac, const QString &ip)
{
    if (const auto parsed = ParseMacText(mac); parsed && *parsed != 0)
        return CanonicalMacText(*parsed);
    return QStringLiteral("ip ") + ip;
}
} // namespace

TControllerHistory::TControllerHistory(const QList<TJournalEntry> &entries, const TFirmwareLibrary *library)
{
    for (const TJournalEntry &entry : entries) {
        if (entry.operation != ControllerUpgradeTitle || entry.outcome != QLatin1String("succeeded"))
            continue;
        Written written{entry.imageVersion, entry.fileSha256.toLower(), entry.when};
        if (written.version.isEmpty() && library)
            if (const TLibraryImage *image = library->findSha256(entry.fileSha256))
                written.version = image->version;
        const QString key = deviceKey(entry.mac, entry.ip);
        // Entries are oldest first; a later line of the same device replaces the earlier.
        if (const auto it = m_byKey.constFind(key); it == m_byKey.cend() || it->when <= written.when)
            m_byKey.insert(key, written);
    }
}

std::optional<TControllerHistory::Written> TControllerHistory::lastWritten(const TDeviceRecord &device) const
{
    const auto it = m_byKey.constFind(deviceKey(device.Mac ? CanonicalMacText(device.Mac) : QString(), device.IpText));
    if (it == m_byKey.cend())
        return std::nullopt;
    return *it;
}

// ---- Compliance ---------------------------------------------------------------------------------

namespace {
TFirmwareState stateOf(const QString &current, const TLibraryImage *image)
{
    if (!image)
        return TFirmwareState::NoImage;
    const auto order = CompareVersions(current, image->version);
    if (!order)
        return current.isEmpty() ? TFirmwareState::Unknown : TFirmwareState::UpdateAvailable;
    return *order == 0 ? TFirmwareState::UpToDate : *order < 0 ? TFirmwareState::UpdateAvailable : TFirmwareState::NewerThanLibrary;
}
} // namespace

QString TComponentCompliance::text() const
{
    QString state;
    switch (this->state) {
    case TFirmwareState::UpToDate: state = QStringLiteral("up to date"); break;
    case TFirmwareState::UpdateAvailable: state = QStringLiteral("update available %1").arg(target); break;
    case TFirmwareState::NewerThanLibrary: state = QStringLiteral("newer than library"); break;
    case TFirmwareState::NoImage: state = QStringLiteral("no image for this type"); break;
    case TFirmwareState::Unknown: state = QStringLiteral("unknown"); break;
    }
    if (component == TFirmwareComponent::Board)
        return state;
    // The device does not report its controller's version: what the history knows, or nothing.
    if (current.isEmpty() && !written.isValid())
        return QStringLiteral("controller unknown");
    const QString known = QStringLiteral("controller image %1 written %2")
                              .arg(current.isEmpty() ? QStringLiteral("?") : current, written.date().toString(Qt::ISODate));
    return this->state == TFirmwareState::UpdateAvailable ? QStringLiteral("%1, %2").arg(known, state) : known;
}

bool TDeviceCompliance::outdated() const
{
    return board.state == TFirmwareState::UpdateAvailable || controller.state == TFirmwareState::UpdateAvailable;
}

QString TDeviceCompliance::text() const
{
    return QStringLiteral("%1; %2").arg(board.text(), controller.text());
}

TComponentCompliance BoardCompliance(const TFirmwareLibrary &library, const TDeviceRecord &device)
{
    TComponentCompliance compliance;
    compliance.component = TFirmwareComponent::Board;
    compliance.current = device.Params.text(Wire::Param::FirmwareVersion).trimmed();
    compliance.image = library.newest(TFirmwareComponent::Board, TDeviceTypeId::of(device));
    compliance.target = compliance.image ? compliance.image->version : QString();
    compliance.state = stateOf(compliance.current, compliance.image);
    if (compliance.state == TFirmwareState::Unknown)
        compliance.state = TFirmwareState::UpdateAvailable; // a device that reports no version gets the library's
    return compliance;
}

TComponentCompliance ControllerCompliance(const TFirmwareLibrary &library, const TDeviceRecord &device,
                                          const TControllerHistory &history)
{
    TComponentCompliance compliance;
    compliance.component = TFirmwareComponent::Controller;
    compliance.image = library.newest(TFirmwareComponent::Controller, TDeviceTypeId::of(device));
    compliance.target = compliance.image ? compliance.image->version : QString();
    if (const auto written = history.lastWritten(device)) {
        compliance.current = written->version;
        compliance.written = written->when;
    }
    compliance.state = stateOf(compliance.current, compliance.image);
    return compliance;
}

TDeviceCompliance DeviceCompliance(const TFirmwareLibrary &library, const TDeviceRecord &device, const TControllerHistory &history)
{
    return {BoardCompliance(library, device), ControllerCompliance(library, device, history)};
}
