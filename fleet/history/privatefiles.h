#pragma once
// Files and folders that only their owner may read or enter: the history, the configuration texts
// it keeps and the snapshots can hold a site's secrets (a controller's configuration holds its
// passwords). They are made so whatever the process's umask; those that exist already are left as
// they are and keep working.

#include <QByteArray>
#include <QFileDevice>
#include <QString>

namespace PrivateFiles {

constexpr QFileDevice::Permissions FileMode = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions FolderMode = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

// Makes the folder and every missing one above it, each with FolderMode; true when the folder is
// there (made now, by another program meanwhile, or before), else false with the reason.
bool makeFolder(const QString &path, QString *error = nullptr);
// Writes the bytes as the whole file, atomically (a temporary file renamed over it, so that a
// reader or another writer never sees half of it), with FileMode; false with the reason
// ("Cannot write PATH: ...") when it cannot.
bool writeFile(const QString &path, const QByteArray &bytes, QString *error = nullptr);
// Gives an open file (a QSaveFile's before its commit, a QFile just made) FileMode, whatever the
// umask made it with; false on a file system that keeps no modes, where the file is written all
// the same.
bool restrict(QFileDevice &file);

} // namespace PrivateFiles
