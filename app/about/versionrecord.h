#pragma once
// The version record of an executable file and the paths it answers.
//
// On Windows the record is the file's standard version resource, read with the
// system's version API. Elsewhere it is Tarvino's own record, which the build places
// in the ELF section ".tarvino_version" (cmake/TarvinoVersionRecord.cmake writes it)
// and which is found by reading the file itself, never by loading it.
//
// Layout of the record (format 1). Every field is UTF-8 text ending with a NUL byte:
//
//     "TVREC"  "1"                      magic, then the format number
//     path     value                    repeated, one pair per entry
//     ""                                an empty path ends the record; bytes after it are ignored
//
// A path is written as the query path of the Windows record, with single backslashes:
// "\StringFileInfo\040904E4\CompanyName" holds a string, "\VarFileInfo\Translation" the
// translation table. Values under "\VarFileInfo\" are binary: 16-bit hexadecimal words
// separated by spaces ("0409 04E4": a language id, then a code page), handed back as
// little-endian words, as the Windows record stores them. A record that breaks any of
// these rules is treated as no record at all.

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>
#include <QStringView>

#include <optional>

class QIODevice;

inline constexpr char VersionRecordSection[] = ".tarvino_version";
// The Windows version resource cannot exceed 64 KiB (its lengths are 16-bit); ours keeps the same bound.
inline constexpr qint64 MaxVersionRecordSize = 64 * 1024;

// The contents of the section called `name` in the ELF file open on `file` (32- or
// 64-bit, either byte order), or nothing when the device does not hold a well-formed
// ELF file with such a section, or when the section is larger than maxSize. Every
// offset and size is checked against the file's size before it is read, so a
// truncated or hostile file gives nothing rather than a read past its end.
std::optional<QByteArray> ReadElfSection(QIODevice &file, QByteArrayView name, qint64 maxSize);

class TVersionRecord
{
public:
    // An empty record: size() is 0 and every query fails.
    TVersionRecord() = default;

    // The record of an executable file; empty when the file has none or cannot be read.
    static TVersionRecord fromFile(const QString &fileName);
    // Parses a record in the layout described above; empty when it is malformed.
    static TVersionRecord fromBytes(const QByteArray &bytes);

    // The size of the record in bytes, 0 when there is none.
    qsizetype size() const { return m_size; }

    // The binary value at a "\VarFileInfo\..." path. Paths compare without regard to
    // case, and doubled backslashes count as one, as the Windows API accepts them.
    std::optional<QByteArray> queryValue(QStringView path) const;
    // The string value at a "\StringFileInfo\llllcccc\Key" path.
    std::optional<QString> queryString(QStringView path) const;

private:
    qsizetype m_size = 0;
    // Normalised path -> value as written in the record.
    QHash<QString, QString> m_entries;
#ifdef Q_OS_WIN
    QByteArray m_resource; // the block filled by GetFileVersionInfo
#endif
};
