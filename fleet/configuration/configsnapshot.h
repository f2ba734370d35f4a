#pragma once
// TConfigSnapshot: the configurations of many devices taken in one run, kept as exact bytes.
//
// A snapshot is a folder under a root, named by the local date and time it was taken
// ("2026-12-08_10-15-30", with "-2", "-3"... when two are taken within one second), holding one
// file per device named by its MAC address ("00-50-C2-02-5C-C1.cfg", the bytes as the device
// holds them) and "index.json": one entry per device with what identifies it and its file's
// SHA-256. The index is written (atomically) by flush(), which a batch calls at its end and now
// and then meanwhile, not after each file: one write for many devices, and a run cut short still
// leaves a snapshot of what it took up to its last flush. In the index the MAC address is written as the file is named
// ("00-50-C2-02-5C-C1") and times in ISO 8601 with their offset from UTC.

#include "protocol/devicerecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

struct TSnapshotEntry
{
    quint64 mac = 0;
    QString ip;
    QString name;
    QString type;
    QString hardwareVersion;
    QString bootstrapVersion;
    QString kernelVersion;
    QString firmwareVersion;
    QString file;   // the file's name within the snapshot folder
    qint64 bytes = 0;
    QString sha256; // of the file's bytes, hexadecimal
    QDateTime takenAt;

    bool operator==(const TSnapshotEntry &) const = default;
};

class TConfigSnapshot
{
public:
    // The snapshots' root in the user's data folder.
    static QString defaultRoot();
    // A new, empty snapshot folder under root for the given time; nullopt with the reason when the
    // folder cannot be made.
    static std::optional<TConfigSnapshot> create(const QString &root, const QDateTime &when, QString *error);
    // An existing snapshot folder (its index read); nullopt with the reason when it is not one.
    static std::optional<TConfigSnapshot> open(const QString &folder, QString *error);
    // The snapshot folders under root, newest first.
    static QStringList list(const QString &root);

    QString folder() const { return m_folder; }
    // The folder's own name: its date and time.
    QString name() const;

    // Writes one device's configuration (the file atomically) and takes it into the entries; the
    // index follows at the next flush(). A device already in the snapshot is replaced. False with
    // the reason when the file cannot be written, or when the device reported no MAC address
    // (Mac 0) and no IP address, which could not be told from another such device.
    bool add(const TDeviceRecord &device, const QByteArray &configuration, const QDateTime &when, QString *error);
    // Writes the index (atomically) when an entry was added since it was last written; false with
    // the reason when it cannot be (the entries stay, for another try).
    bool flush(QString *error);
    bool isFlushed() const { return !m_dirty; }
    const QList<TSnapshotEntry> &entries() const { return m_entries; }
    std::optional<TSnapshotEntry> entryFor(quint64 mac) const;
    // By MAC address, or by IP address for a device that reports no hardware address.
    std::optional<TSnapshotEntry> entryFor(const TDeviceRecord &device) const;
    // The bytes of an entry's file; nullopt with the reason when it cannot be read or its SHA-256
    // is no longer the one of the index (the file was changed or damaged).
    std::optional<QByteArray> configuration(const TSnapshotEntry &entry, QString *error) const;

    // The file name of a device's configuration: its MAC address, pairs joined by '-'.
    // ("ip-198.18.1.5.cfg" for a device without one, by its IP address.)
    static QString fileNameFor(quint64 mac, const QString &ip = {});

private:
    explicit TConfigSnapshot(QString folder) : m_folder(std::move(folder)) {}
    bool writeIndex(QString *error) const;

    QString m_folder;
    QList<TSnapshotEntry> m_entries;
    QHash<QString, qsizetype> m_positionOfFile; // m_entries by file name: no walk per device
    bool m_dirty = false;
};
