#include "fleet/history/privatefiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

namespace PrivateFiles {

bool makeFolder(const QString &path, QString *error)
{
    // The missing folders, from the deepest up to the first that exists.
    QStringList missing;
    for (QString folder = QDir::cleanPath(QFileInfo(path).absoluteFilePath()); !QFileInfo(folder).isDir();) {
        missing.prepend(folder);
        const QString parent = QFileInfo(folder).absolutePath();
        if (parent == folder)
            break;
        folder = parent;
    }
    for (const QString &folder : std::as_const(missing)) {
        // The mode is asked of mkdir(2) itself, so the folder never exists with a wider one, and
        // set again as the umask may have narrowed it past use. One that another program made in
        // between is taken as it is.
        if (QDir().mkdir(folder, FolderMode)) {
            QFile::setPermissions(folder, FolderMode);
        } else if (!QFileInfo(folder).isDir()) {
            if (error)
                *error = QStringLiteral("Cannot make the folder %1").arg(QDir::toNativeSeparators(folder));
            return false;
        }
    }
    return true;
}

bool writeFile(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    bool written = file.open(QIODevice::WriteOnly);
    if (written) {
        // The temporary file, before any byte is in it; the rename keeps its mode.
        restrict(file);
        written = file.write(bytes) == bytes.size() && file.commit();
    }
    if (!written && error)
        *error = QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
    return written;
}

bool restrict(QFileDevice &file)
{
    return file.setPermissions(FileMode);
}

} // namespace PrivateFiles
