#pragma once
// TFirmwareLibrary: the folder of firmware images a technician brings to a site, and its manifest
// (library.json) that says for each image its component, the device types it is for, its version
// and its SHA-256. The image files carry no header naming their device type: the manifest is what
// keeps an image away from a device of another type, so a manifest that cannot be read entirely
// is refused (with its line and the reason), never half loaded.
//
// library.json, as written (hand-edited ones are read if they keep to it):
//   {
//     "format": 1,
//     "images": [
//       {"file": "p3-board-3.4.1.bin", "component": "board", "types": ["Palimor P3", "0x000C2001"],
//        "version": "3.4.1", "sha256": "<64 hexadecimal digits>", "note": "fixes the DHCP renew"}
//     ]
//   }
// "types" holds type texts (as the device reports them, case ignored) or type codes ("0x000B1156").
// Fields this program does not know are kept and written back as they were.

#include "operations/firmwareimage.h"

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

struct TDeviceRecord;
struct TJournalEntry;

enum class TFirmwareComponent { Board, Controller };
// "board", "controller": the manifest's and the command line's words.
QString ComponentKey(TFirmwareComponent component);
std::optional<TFirmwareComponent> ParseComponent(QStringView text);

// Versions. A version is dotted numbers ("3.3.1"), compared part by part as numbers, missing parts
// counting as 0 (3.3 = 3.3.0 < 3.3.1 < 3.10). An odd text compares by its leading dotted numbers
// ("3.3.1-rc2" by 3.3.1), the one without a tail being the newer of two equal ones ("3.3.1" after
// "3.3.1-rc2"), two tails as texts; a text that does not start with a digit ("", "beta") is no
// version and compares with nothing (nullopt).
bool IsPlainVersion(const QString &text);
std::optional<int> CompareVersions(const QString &a, const QString &b);

struct TLibraryImage
{
    QString file; // a bare file name in the library's folder
    TFirmwareComponent component = TFirmwareComponent::Board;
    QStringList types;
    QString version;
    QString sha256; // lower-case hexadecimal
    QString note;
    QJsonObject unknownFields; // written back as they were read

    bool fits(const TDeviceTypeId &type) const;
    bool operator==(const TLibraryImage &) const = default;
};

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
    static constexpr const char *ManifestName = "library.json";
    static constexpr int Format = 1;

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

    // The manifest's bytes as images; false with "line N: reason" (nothing filled) when any part
    // is wrong. The fuzz target's entry.
    static bool parseManifest(const QByteArray &bytes, QList<TLibraryImage> *images, QJsonObject *unknownTopFields,
                              QString *error);
    static QByteArray manifestBytes(const QList<TLibraryImage> &images, const QJsonObject &unknownTopFields = {});
    // Why an image's entry is unfit (no file, a path instead of a name, no type, not a version, a
    // SHA-256 that is not 64 hexadecimal digits); empty when fit.
    static QString entryProblem(const TLibraryImage &image);

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

// What the history knows of the controller images written to devices: the last successful
// controller upgrade of each device (by MAC address, else by IP address).
class TControllerHistory
{
public:
    struct Written
    {
        QString version; // the library's version recorded with it, else the library's entry of its SHA-256
        QString sha256;
        QDateTime when;
    };
    TControllerHistory() = default;
    TControllerHistory(const QList<TJournalEntry> &entries, const TFirmwareLibrary *library = nullptr);
    std::optional<Written> lastWritten(const TDeviceRecord &device) const;

private:
    QHash<QString, Written> m_byKey;
};

// The compliance of one device with the library, as the list's Firmware column shows it.
enum class TFirmwareState {
    UpToDate,         // "up to date"
    UpdateAvailable,  // "update available 3.3.1"
    NewerThanLibrary, // "newer than library"
    NoImage,          // "no image for this type"
    Unknown,          // the version is not known (the controller without history)
};

struct TComponentCompliance
{
    TFirmwareComponent component = TFirmwareComponent::Board;
    TFirmwareState state = TFirmwareState::Unknown;
    QString current;         // the device's version as known; empty when not
    QString target;          // the library's newest for its type; empty without one
    const TLibraryImage *image = nullptr; // that image
    QDateTime written;       // controller: when the history saw the current image written
    QString text() const;    // the words of the column
};

struct TDeviceCompliance
{
    TComponentCompliance board;
    TComponentCompliance controller;
    bool outdated() const;   // either component has an update available
    // "update available 3.3.1; controller image 2.4 written 2026-12-01"
    QString text() const;
};

// Board: the device's reported firmware version against the library's newest board image of its
// type. Controller: what the history knows against the newest controller image.
TComponentCompliance BoardCompliance(const TFirmwareLibrary &library, const TDeviceRecord &device);
TComponentCompliance ControllerCompliance(const TFirmwareLibrary &library, const TDeviceRecord &device,
                                          const TControllerHistory &history);
TDeviceCompliance DeviceCompliance(const TFirmwareLibrary &library, const TDeviceRecord &device,
                                   const TControllerHistory &history);
