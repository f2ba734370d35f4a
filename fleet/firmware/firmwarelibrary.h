#pragma once
// TFirmwareLibrary: the folder of firmware images a technician brings to a site, described by its
// manifest (librarymanifest.h). Images are added and removed through it, read back only when
// their bytes still have the SHA-256 the manifest recorded, and looked up by type, file or hash.

#include "fleet/firmware/firmwarecomponent.h"
#include "fleet/firmware/librarymanifest.h"
#include "operations/firmwareimage.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// One image's state after check(): fine, missing or changed.
struct TImageCheck
{
    QString file;
    bool ok = false;
    QString problem; // "p3.bin: SHA-256 is 1f2e..., the manifest says 9a8b...: the file changed"
};

class TFirmwareLibrary
{
public:
    static constexpr const char *ManifestName = TLibraryManifest::FileName;
    static constexpr int Format = TLibraryManifest::Format;

    explicit TFirmwareLibrary(QString folder = {});

    // The folder given by --library, else TARVINO_LIBRARY, else the one the window remembers;
    // empty when none is known.
    static QString folderFor(const QString &option);
    static QString rememberedFolder();
    static void rememberFolder(const QString &folder);

    const QString &folder() const { return m_folder; }
    QString manifestPath() const;
    QString imagePath(const TLibraryImage &image) const;

    // Reads the manifest; a folder without one is an empty library. False, with
    // "library.json line 12: ..." and the library left empty, when it cannot be read entirely.
    bool load(QString *error);
    // Writes the manifest atomically (the old one stays whole until the new one is complete).
    bool save(QString *error) const;
    // Reads the manifest again when there is one: another program (tarvino-cli, Ansible) may have
    // changed it since this copy was read. add() and remove() start with it, so that a change never
    // writes back an old copy over another's. False, with the copy unchanged, when it cannot be read.
    bool refresh(QString *error);

    // The manifest's own functions, under the names the library's callers know.
    static bool parseManifest(const QByteArray &bytes, QList<TLibraryImage> *images, QJsonObject *unknownTopFields,
                              QString *error)
    {
        return TLibraryManifest::parse(bytes, images, unknownTopFields, error);
    }
    static QByteArray manifestBytes(const QList<TLibraryImage> &images, const QJsonObject &unknownTopFields = {})
    {
        return TLibraryManifest::bytes(images, unknownTopFields);
    }
    static QString entryProblem(const TLibraryImage &image) { return TLibraryManifest::entryProblem(image); }

    const QList<TLibraryImage> &images() const { return m_images; }

    // Copies the file into the folder (under its own name), computes its SHA-256, adds the entry
    // and writes the manifest. Refused with the reason when the entry would be unfit, the name is
    // taken by another image, or the copy fails; nothing changes then.
    std::optional<TLibraryImage> add(const QString &sourceFile, TFirmwareComponent component, const QStringList &types,
                                     const QString &version, const QString &note, QString *error);
    // Takes the image out of the manifest (and its file out of the folder when deleteFile).
    bool remove(const QString &file, bool deleteFile, QString *error);

    // Every image's file read and its SHA-256 compared with the manifest's.
    QList<TImageCheck> check() const;
    // The image's bytes, their SHA-256 checked against the manifest, marked with the library's
    // version and types; nullopt with the reason when missing or changed.
    std::optional<TFirmwareImage> readImage(const TLibraryImage &image, QString *error) const;

    // The newest image of the component for the type; nullptr when the library has none.
    const TLibraryImage *newest(TFirmwareComponent component, const TDeviceTypeId &type) const;
    // The library's entry of a file (a path in the library folder), or of bytes with that SHA-256.
    const TLibraryImage *findFile(const QString &path) const;
    const TLibraryImage *findSha256(const QString &sha256) const;

private:
    QString m_folder;
    QList<TLibraryImage> m_images;
    QJsonObject m_unknownTopFields;
};
