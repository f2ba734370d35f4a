#pragma once
// Files and contents that the tests make up.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QString>

// The same bytes for the same size and seed, so that a failure can be repeated.
inline QByteArray RandomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(generator.bounded(256));
    return bytes;
}

// Writes a file below a folder, making the folders between; the file's path, or an empty
// string when it could not be written whole.
inline QString WriteTestFile(const QDir &folder, const QString &relativePath, const QByteArray &bytes)
{
    const QString path = folder.filePath(relativePath);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return {};
    return path;
}

// The same, for a test that cannot go on without the file.
inline QString WriteTestFileOrDie(const QDir &folder, const QString &relativePath, const QByteArray &bytes)
{
    const QString path = WriteTestFile(folder, relativePath, bytes);
    if (path.isEmpty())
        qFatal("cannot write %s", qPrintable(folder.filePath(relativePath)));
    return path;
}
