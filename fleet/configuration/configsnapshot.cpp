#include "fleet/configuration/configsnapshot.h"

#include "fleet/devicefields.h"
#include "fleet/history/privatefiles.h"
#include "protocol/devicerecord.h"
#include "protocol/ipv4text.h"
#include "protocol/sha256text.h"
#include "protocol/wire.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>

// index.json:
//   {"format": 1, "entries": [{"mac": "00-50-C2-02-5C-C1", "ip": ..., "name": ..., "type": ...,
//     "hardwareVersion": ..., "bootstrapVersion": ..., "kernelVersion": ..., "firmwareVersion": ...,
//     "file": "00-50-C2-02-5C-C1.cfg", "bytes": 265, "sha256": "…", "takenAt": "2026-12-08T10:15:30.120+01:00"}]}
// The MAC address is written as the file is named (pairs joined by '-'); times are ISO 8601 with
// their offset from UTC.

namespace {
constexpr int IndexFormat = 1;
const QLatin1String IndexFileName("index.json");
const QLatin1String FolderTimeFormat("yyyy-MM-dd_HH-mm-ss");

QString isoText(const QDateTime &when)
{
    return when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

// "2026-12-08_10-15-30" or "2026-12-08_10-15-30-2": the time and the number within its second.
const QRegularExpression &folderNamePattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("^(\\d{4}-\\d{2}-\\d{2}_\\d{2}-\\d{2}-\\d{2})(?:-(\\d+))?$"));
    return pattern;
}

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

QJsonObject entryJson(const TSnapshotEntry &entry)
{
    return {
        {QStringLiteral("mac"), MacText(entry.mac, QStringLiteral("-"))},
        {QStringLiteral("ip"), entry.ip},
        {QStringLiteral("name"), entry.name},
        {QStringLiteral("type"), entry.type},
        {QStringLiteral("hardwareVersion"), entry.hardwareVersion},
        {QStringLiteral("bootstrapVersion"), entry.bootstrapVersion},
        {QStringLiteral("kernelVersion"), entry.kernelVersion},
        {QStringLiteral("firmwareVersion"), entry.firmwareVersion},
        {QStringLiteral("file"), entry.file},
        {QStringLiteral("bytes"), entry.bytes},
        {QStringLiteral("sha256"), entry.sha256},
        {QStringLiteral("takenAt"), isoText(entry.takenAt)},
    };
}

std::optional<TSnapshotEntry> entryFromJson(const QJsonObject &object)
{
    TSnapshotEntry entry;
    const std::optional<quint64> mac = ParseMacText(object.value(QStringLiteral("mac")).toString());
    if (!mac)
        return std::nullopt;
    entry.mac = *mac;
    entry.ip = object.value(QStringLiteral("ip")).toString();
    entry.name = object.value(QStringLiteral("name")).toString();
    entry.type = object.value(QStringLiteral("type")).toString();
    entry.hardwareVersion = object.value(QStringLiteral("hardwareVersion")).toString();
    entry.bootstrapVersion = object.value(QStringLiteral("bootstrapVersion")).toString();
    entry.kernelVersion = object.value(QStringLiteral("kernelVersion")).toString();
    entry.firmwareVersion = object.value(QStringLiteral("firmwareVersion")).toString();
    entry.file = object.value(QStringLiteral("file")).toString();
    entry.bytes = object.value(QStringLiteral("bytes")).toInteger(-1);
    entry.sha256 = object.value(QStringLiteral("sha256")).toString();
    entry.takenAt = QDateTime::fromString(object.value(QStringLiteral("takenAt")).toString(), Qt::ISODateWithMs);
    // The file must be the device's own, in this folder: an index naming "../x" reads nothing else.
    if (entry.file != TConfigSnapshot::fileNameFor(entry.mac, entry.ip) || entry.bytes < 0 || entry.sha256.size() != 64)
        return std::nullopt;
    return entry;
}
} // namespace

QString TConfigSnapshot::defaultRoot()
{
    // Shared by the window and the command line.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/tarvino/snapshots");
}

std::optional<TConfigSnapshot> TConfigSnapshot::create(const QString &root, const QDateTime &when, QString *error)
{
    // Configurations hold the sites' passwords: the folders and files are their owner's only.
    QDir rootDir(root);
    if (!PrivateFiles::makeFolder(rootDir.absolutePath())) {
        setError(error, QStringLiteral("Cannot make the folder %1").arg(QDir::toNativeSeparators(root)));
        return std::nullopt;
    }
    // mkdir fails on a folder that exists, so two runs started within one second (in one program
    // or two) each get a folder of their own.
    const QString base = when.toLocalTime().toString(FolderTimeFormat);
    constexpr int MaxPerSecond = 1000;
    for (int number = 1; number <= MaxPerSecond; ++number) {
        const QString name = number == 1 ? base : QStringLiteral("%1-%2").arg(base).arg(number);
        if (rootDir.exists(name))
            continue;
        if (!rootDir.mkdir(name, PrivateFiles::FolderMode)) {
            if (rootDir.exists(name))
                continue; // taken in between
            setError(error, QStringLiteral("Cannot make the folder %1").arg(QDir::toNativeSeparators(rootDir.filePath(name))));
            return std::nullopt;
        }
        QFile::setPermissions(rootDir.filePath(name), PrivateFiles::FolderMode); // past the umask
        TConfigSnapshot snapshot(QDir(rootDir.filePath(name)).absolutePath());
        if (!snapshot.writeIndex(error))
            return std::nullopt;
        return snapshot;
    }
    setError(error, QStringLiteral("Too many snapshots in %1 within one second").arg(QDir::toNativeSeparators(root)));
    return std::nullopt;
}

std::optional<TConfigSnapshot> TConfigSnapshot::open(const QString &folder, QString *error)
{
    QFile file(QDir(folder).filePath(IndexFileName));
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, QStringLiteral("%1 is not a configuration snapshot: %2")
                            .arg(QDir::toNativeSeparators(folder), file.errorString()));
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    const QJsonObject root = document.object();
    if (parseError.error != QJsonParseError::NoError || !document.isObject()
        || root.value(QStringLiteral("format")).toInt() != IndexFormat || !root.value(QStringLiteral("entries")).isArray()) {
        setError(error, QStringLiteral("The index of the snapshot %1 is damaged").arg(QDir::toNativeSeparators(folder)));
        return std::nullopt;
    }
    TConfigSnapshot snapshot(QDir(folder).absolutePath());
    const QJsonArray entries = root.value(QStringLiteral("entries")).toArray();
    for (const QJsonValue &value : entries) {
        const std::optional<TSnapshotEntry> entry = entryFromJson(value.toObject());
        if (!entry) {
            setError(error, QStringLiteral("The index of the snapshot %1 is damaged").arg(QDir::toNativeSeparators(folder)));
            return std::nullopt;
        }
        snapshot.m_positionOfFile.insert(entry->file, snapshot.m_entries.size());
        snapshot.m_entries.append(*entry);
    }
    return snapshot;
}

QStringList TConfigSnapshot::list(const QString &root)
{
    struct Found
    {
        QString name;
        QString time;
        int number;
    };
    QList<Found> found;
    const QDir rootDir(root);
    for (const QString &name : rootDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QRegularExpressionMatch match = folderNamePattern().match(name);
        if (!match.hasMatch() || !QFileInfo::exists(rootDir.filePath(name + QLatin1Char('/') + IndexFileName)))
            continue;
        found.append({name, match.captured(1), match.hasCaptured(2) ? match.captured(2).toInt() : 1});
    }
    // The names sort by time; within one second the later number is the newer snapshot.
    std::sort(found.begin(), found.end(), [](const Found &a, const Found &b) {
        return a.time != b.time ? a.time > b.time : a.number > b.number;
    });
    QStringList folders;
    for (const Found &f : found)
        folders << QDir(rootDir.filePath(f.name)).absolutePath();
    return folders;
}

QString TConfigSnapshot::name() const
{
    return QFileInfo(m_folder).fileName();
}

bool TConfigSnapshot::add(const TDeviceRecord &device, const QByteArray &configuration, const QDateTime &when, QString *error)
{
    // The MAC address names the file; a device whose address record holds no hardware address is
    // known by its IP address instead.
    if (device.Mac == 0 && !IsDottedIPv4(device.IpText)) {
        setError(error, QStringLiteral("The device at %1 reported no hardware address; its configuration is not kept")
                            .arg(device.IpText));
        return false;
    }
    TSnapshotEntry entry;
    entry.mac = device.Mac;
    entry.ip = device.IpText;
    entry.name = device.Params.text(Wire::Param::Name);
    entry.type = device.Params.text(Wire::Param::TypeText);
    entry.hardwareVersion = device.Params.text(Wire::Param::HardwareVersion);
    entry.bootstrapVersion = device.Params.text(Wire::Param::BootstrapVersion);
    entry.kernelVersion = device.Params.text(Wire::Param::KernelVersion);
    entry.firmwareVersion = device.Params.text(Wire::Param::FirmwareVersion);
    entry.file = fileNameFor(device.Mac, device.IpText);
    entry.bytes = configuration.size();
    entry.sha256 = Sha256Text(configuration);
    entry.takenAt = when;

    if (!PrivateFiles::writeFile(QDir(m_folder).filePath(entry.file), configuration, error))
        return false;

    if (const auto existing = m_positionOfFile.constFind(entry.file); existing != m_positionOfFile.cend()) {
        m_entries[*existing] = entry;
    } else {
        m_positionOfFile.insert(entry.file, m_entries.size());
        m_entries.append(entry);
    }
    m_dirty = true;
    return true;
}

bool TConfigSnapshot::flush(QString *error)
{
    if (!m_dirty)
        return true;
    if (!writeIndex(error))
        return false;
    m_dirty = false;
    return true;
}

std::optional<TSnapshotEntry> TConfigSnapshot::entryFor(const TDeviceRecord &device) const
{
    if (device.Mac != 0)
        return entryFor(device.Mac);
    for (const TSnapshotEntry &entry : m_entries)
        if (entry.mac == 0 && entry.ip == device.IpText)
            return entry;
    return std::nullopt;
}

std::optional<TSnapshotEntry> TConfigSnapshot::entryFor(quint64 mac) const
{
    if (mac == 0) { // devices without a hardware address are filed by their IP address
        const auto first = std::find_if(m_entries.cbegin(), m_entries.cend(), [](const TSnapshotEntry &e) { return e.mac == 0; });
        return first == m_entries.cend() ? std::nullopt : std::optional<TSnapshotEntry>(*first);
    }
    const auto found = m_positionOfFile.constFind(fileNameFor(mac));
    if (found != m_positionOfFile.cend() && m_entries.at(*found).mac == mac)
        return m_entries.at(*found);
    return std::nullopt;
}

std::optional<QByteArray> TConfigSnapshot::configuration(const TSnapshotEntry &entry, QString *error) const
{
    QFile file(QDir(m_folder).filePath(entry.file));
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(file.fileName()), file.errorString()));
        return std::nullopt;
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        setError(error, QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(file.fileName()), file.errorString()));
        return std::nullopt;
    }
    if (bytes.size() != entry.bytes || Sha256Text(bytes) != entry.sha256.toLower()) {
        setError(error, QStringLiteral("%1 was changed or damaged since the snapshot was taken (its SHA-256 differs)")
                            .arg(QDir::toNativeSeparators(file.fileName())));
        return std::nullopt;
    }
    return bytes;
}

QString TConfigSnapshot::fileNameFor(quint64 mac, const QString &ip)
{
    if (mac == 0 && IsDottedIPv4(ip))
        return QStringLiteral("ip-%1.cfg").arg(ip);
    return MacText(mac, QStringLiteral("-")) + QStringLiteral(".cfg");
}

bool TConfigSnapshot::writeIndex(QString *error) const
{
    QJsonArray entries;
    for (const TSnapshotEntry &entry : m_entries)
        entries.append(entryJson(entry));
    const QJsonObject root{{QStringLiteral("format"), IndexFormat}, {QStringLiteral("entries"), entries}};
    const QByteArray bytes = QJsonDocument(root).toJson(QJsonDocument::Indented);
    return PrivateFiles::writeFile(QDir(m_folder).filePath(IndexFileName), bytes, error);
}
