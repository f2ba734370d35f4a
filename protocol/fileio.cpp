#include "protocol/fileio.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

qint64 FileSizeOf(const QString &path)
{
    if (path.isEmpty())
        return 0;
    const QFileInfo info(path);
    return info.isFile() ? info.size() : 0;
}

bool WriteText(std::FILE *file, QByteArrayView bytes)
{
    // An empty text has no data pointer to hand to fwrite: only the flush is checked then.
    const bool written =
        bytes.isEmpty() || std::fwrite(bytes.data(), 1, size_t(bytes.size()), file) == size_t(bytes.size());
    return std::fflush(file) == 0 && written;
}

bool WriteText(std::FILE *file, const QString &text)
{
    return WriteText(file, QByteArrayView(text.toUtf8()));
}

bool WriteFileWhole(const QString &path, QByteArrayView bytes, QString *error)
{
    const QFileInfo info(path);
    // A rename over /dev/null would leave a regular file in its place.
    const bool special = info.exists() && !info.isFile() && !info.isDir();
    QSaveFile atomic(path);
    QFile direct(path);
    QFileDevice &file = special ? static_cast<QFileDevice &>(direct) : atomic;
    bool written = file.open(QIODevice::WriteOnly) && file.write(bytes.data(), bytes.size()) == bytes.size();
    written = special ? written && direct.flush() : written && atomic.commit();
    if (!written && error)
        *error = QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
    return written;
}
