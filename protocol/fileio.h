#pragma once
// Files and output streams written whole or told as failed: a script's output or a report must
// not end short unnoticed.

#include <QByteArrayView>
#include <QString>

#include <cstdio>

qint64 FileSizeOf(const QString &path);
// Writes the bytes (a text in UTF-8) to the file and flushes it; false when not all of them
// reached it (a full disk, a closed pipe): a script's output must not end short unnoticed.
bool WriteText(std::FILE *file, QByteArrayView bytes);
bool WriteText(std::FILE *file, const QString &text);
// Writes bytes to the file at path. A regular file (new or old) is replaced whole or not at all:
// the bytes go to a temporary file that takes its place once complete. A device or a pipe
// (/dev/null, a FIFO a script reads) is written into, never replaced. False with the reason.
bool WriteFileWhole(const QString &path, QByteArrayView bytes, QString *error);
