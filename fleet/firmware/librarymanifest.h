#pragma once
// TLibraryManifest: library.json, the firmware library's manifest, that says for each image its
// component, the device types it is for, its version and its SHA-256. The image files carry no
// header naming their device type: the manifest is what keeps an image away from a device of
// another type, so a manifest that cannot be read entirely is refused (with its line and the
// reason), never half loaded.
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

#include "fleet/firmware/firmwarecomponent.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

struct TDeviceTypeId;

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

class TLibraryManifest
{
public:
    static constexpr const char *FileName = "library.json";
    static constexpr int Format = 1;

    // The manifest's bytes as images; false with "line N: reason" (nothing filled) when any part
    // is wrong. The fuzz target's entry.
    static bool parse(const QByteArray &bytes, QList<TLibraryImage> *images, QJsonObject *unknownTopFields, QString *error);
    static QByteArray bytes(const QList<TLibraryImage> &images, const QJsonObject &unknownTopFields = {});
    // Why an image's entry is unfit (no file, a path instead of a name, no type, not a version, a
    // SHA-256 that is not 64 hexadecimal digits); empty when fit.
    static QString entryProblem(const TLibraryImage &image);

    // The manifest file read whole; false, with "PATH line 12: ..." or why it cannot be read, and
    // nothing filled, otherwise.
    static bool read(const QString &path, QList<TLibraryImage> *images, QJsonObject *unknownTopFields, QString *error);
    // Written atomically: the old file stays whole until the new one is complete.
    static bool write(const QString &path, const QList<TLibraryImage> &images, const QJsonObject &unknownTopFields,
                      QString *error);
};
