#include "fleet/history/configurationstore.h"

#include "fleet/history/privatefiles.h"
#include "protocol/sha256text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {
// Texts larger than a controller holds are not a configuration: never read back into memory.
constexpr qint64 MaxTextSize = 16 * 1024 * 1024;

bool isSha256(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    return hex.match(text).hasMatch();
}
} // namespace

TConfigurationStore::TConfigurationStore(QString folder) : m_folder(std::move(folder)) {}

TConfigurationStore TConfigurationStore::besideJournal(const QString &journalPath)
{
    return TConfigurationStore(QFileInfo(journalPath).absolutePath() + QStringLiteral("/configurations"));
}

QString TConfigurationStore::pathOf(const QString &sha256) const
{
    return m_folder + QLatin1Char('/') + sha256 + QStringLiteral(".cfg");
}

QString TConfigurationStore::put(const QByteArray &text, QString *error) const
{
    const QString sha256 = Sha256Text(text);
    // A file of that name whose bytes were damaged is written again.
    if (get(sha256))
        return sha256;
    if (!PrivateFiles::makeFolder(m_folder, error))
        return {};
    // Several programs may keep the same text at once: each writes its own temporary file and the
    // rename leaves whole bytes either way. A configuration can hold the site's passwords.
    if (!PrivateFiles::writeFile(pathOf(sha256), text, error))
        return {};
    return sha256;
}

std::optional<QByteArray> TConfigurationStore::get(const QString &sha256) const
{
    const QString wanted = sha256.toLower();
    if (!isSha256(wanted))
        return std::nullopt;
    QFile file(pathOf(wanted));
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxTextSize)
        return std::nullopt;
    const QByteArray text = file.readAll();
    if (Sha256Text(text) != wanted)
        return std::nullopt;
    return text;
}
