#include "fleet/firmware/firmwarelibrary.h"

#include "fleet/firmware/firmwareversion.h"
#include "fleet/devicefields.h"
#include "fleet/history/operationjournal.h"
#include "protocol/wire.h"
#include "protocol/sha256text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>

#include <algorithm>

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
    if (!QFile::exists(manifestPath())) {
        if (!QFileInfo(m_folder).isDir()) {
            setError(error, QStringLiteral("%1 is not a folder").arg(QDir::toNativeSeparators(m_folder)));
            return false;
        }
        return true; // a new library
    }
    return TLibraryManifest::read(manifestPath(), &m_images, &m_unknownTopFields, error);
}

bool TFirmwareLibrary::save(QString *error) const
{
    if (!QDir().mkpath(m_folder)) {
        setError(error, QStringLiteral("Cannot make the folder %1").arg(QDir::toNativeSeparators(m_folder)));
        return false;
    }
    return TLibraryManifest::write(manifestPath(), m_images, m_unknownTopFields, error);
}

bool TFirmwareLibrary::refresh(QString *error)
{
    if (!QFile::exists(manifestPath()))
        return true; // a library not written yet: this copy is all there is
    QList<TLibraryImage> images;
    QJsonObject unknownTopFields;
    if (!TLibraryManifest::read(manifestPath(), &images, &unknownTopFields, error))
        return false;
    m_images = images;
    m_unknownTopFields = unknownTopFields;
    return true;
}

std::optional<TLibraryImage> TFirmwareLibrary::add(const QString &sourceFile, TFirmwareComponent component,
                                                   const QStringList &types, const QString &version, const QString &note,
                                                   QString *error)
{
    // What tarvino-cli or Ansible added meanwhile stays: the change goes into the manifest as it is now.
    if (!refresh(error))
        return std::nullopt;
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
    if (!refresh(error))
        return false;
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
