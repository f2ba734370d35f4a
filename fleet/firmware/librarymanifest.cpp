#include "fleet/firmware/librarymanifest.h"

#include "fleet/firmware/firmwareversion.h"
#include "operations/firmwareimage.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

bool TLibraryImage::fits(const TDeviceTypeId &type) const
{
    return std::any_of(types.begin(), types.end(), [&](const QString &wanted) { return DeviceTypeMatches(wanted, type); });
}

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
    if (file == QLatin1String(TLibraryManifest::FileName))
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

QString TLibraryManifest::entryProblem(const TLibraryImage &image)
{
    return entryFault(image).reason;
}

bool TLibraryManifest::parse(const QByteArray &bytes, QList<TLibraryImage> *images, QJsonObject *unknownTopFields,
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

QByteArray TLibraryManifest::bytes(const QList<TLibraryImage> &images, const QJsonObject &unknownTopFields)
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

bool TLibraryManifest::read(const QString &path, QList<TLibraryImage> *images, QJsonObject *unknownTopFields, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    QString reason;
    if (!parse(file.readAll(), images, unknownTopFields, &reason)) {
        if (error)
            *error = QStringLiteral("%1 %2").arg(QDir::toNativeSeparators(path), reason);
        return false;
    }
    return true;
}

bool TLibraryManifest::write(const QString &path, const QList<TLibraryImage> &images, const QJsonObject &unknownTopFields,
                             QString *error)
{
    QSaveFile file(path);
    const QByteArray written = bytes(images, unknownTopFields);
    if (!file.open(QIODevice::WriteOnly) || file.write(written) != written.size() || !file.commit()) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    return true;
}
