#include "app/about/versionrecord.h"

#include <QFile>
#include <QIODevice>
#include <QList>
#include <QtEndian>

#include <algorithm>

#ifdef Q_OS_WIN
#include <QDir>
#include <qt_windows.h>
#endif

namespace {

// ELF header fields (System V ABI, "ELF header" and "Sections").
constexpr char ElfMagic[] = {0x7f, 'E', 'L', 'F'};
constexpr quint8 ElfClass32 = 1;
constexpr quint8 ElfClass64 = 2;
constexpr quint8 ElfDataLittle = 1;
constexpr quint8 ElfDataBig = 2;
constexpr quint8 ElfVersionCurrent = 1;
constexpr quint32 SectionNoBits = 8;     // SHT_NOBITS: occupies no bytes in the file
constexpr quint16 SectionIndexEscape = 0xffff; // SHN_XINDEX: the real index is in section 0

// A real section header table is a few kilobytes; 65536 entries of 64 bytes is far
// beyond any executable and keeps a hostile count from costing memory.
constexpr quint64 MaxSectionHeaderTable = 65536 * 64;
// Section names of large binaries with debug information take a few kilobytes.
constexpr quint64 MaxSectionNameTable = 1024 * 1024;

class ElfLayout
{
public:
    bool is64 = false;
    bool bigEndian = false;

    quint64 headerSize() const { return is64 ? 64 : 52; }
    quint64 sectionHeaderSize() const { return is64 ? 64 : 40; }

    quint16 u16(const QByteArray &b, quint64 at) const
    {
        const auto *p = reinterpret_cast<const uchar *>(b.constData()) + at;
        return bigEndian ? qFromBigEndian<quint16>(p) : qFromLittleEndian<quint16>(p);
    }
    quint32 u32(const QByteArray &b, quint64 at) const
    {
        const auto *p = reinterpret_cast<const uchar *>(b.constData()) + at;
        return bigEndian ? qFromBigEndian<quint32>(p) : qFromLittleEndian<quint32>(p);
    }
    quint64 u64(const QByteArray &b, quint64 at) const
    {
        const auto *p = reinterpret_cast<const uchar *>(b.constData()) + at;
        return bigEndian ? qFromBigEndian<quint64>(p) : qFromLittleEndian<quint64>(p);
    }
    // An address-sized field: 32 bits in ELFCLASS32, 64 in ELFCLASS64.
    quint64 word(const QByteArray &b, quint64 at32, quint64 at64) const
    {
        return is64 ? u64(b, at64) : u32(b, at32);
    }
};

struct SectionHeader
{
    quint32 name = 0;
    quint32 type = 0;
    quint64 offset = 0;
    quint64 size = 0;
    quint32 link = 0;
};

SectionHeader sectionAt(const ElfLayout &elf, const QByteArray &table, quint64 at)
{
    SectionHeader s;
    s.name = elf.u32(table, at);
    s.type = elf.u32(table, at + 4);
    s.offset = elf.word(table, at + 16, at + 24);
    s.size = elf.word(table, at + 20, at + 32);
    s.link = elf.u32(table, at + (elf.is64 ? 40 : 24));
    return s;
}

// Reads exactly `size` bytes at `offset`, or nothing when they are not all inside the file.
std::optional<QByteArray> readExactly(QIODevice &file, quint64 fileSize, quint64 offset, quint64 size)
{
    if (offset > fileSize || size > fileSize - offset)
        return std::nullopt;
    if (!file.seek(static_cast<qint64>(offset)))
        return std::nullopt;
    QByteArray bytes = file.read(static_cast<qint64>(size));
    if (static_cast<quint64>(bytes.size()) != size)
        return std::nullopt;
    return bytes;
}

// Splits a query path at its backslashes, ignoring empty parts, so that "\\A\\B",
// "\A\B" and "A\B" are one path; case is folded as the Windows API ignores it.
QString normalisedPath(QStringView path)
{
    QStringList parts;
    for (QStringView part : path.split(u'\\', Qt::SkipEmptyParts))
        parts.append(part.toString());
    return parts.join(u'\\').toCaseFolded();
}

bool isBinaryPath(const QString &normalised)
{
    return normalised.startsWith(QStringLiteral("varfileinfo\\"));
}

// "0409 04E4" -> 09 04 E4 04; nothing when a word is not 1..4 hexadecimal digits.
std::optional<QByteArray> wordsToBytes(const QString &text)
{
    QByteArray bytes;
    for (QStringView word : QStringView(text).split(u' ', Qt::SkipEmptyParts)) {
        if (word.size() > 4)
            return std::nullopt;
        bool ok = false;
        const uint value = word.toUInt(&ok, 16);
        if (!ok)
            return std::nullopt;
        uchar le[2];
        qToLittleEndian<quint16>(static_cast<quint16>(value), le);
        bytes.append(reinterpret_cast<const char *>(le), 2);
    }
    return bytes;
}

constexpr QByteArrayView RecordMagic("TVREC");
constexpr QByteArrayView RecordFormat("1");

#ifdef Q_OS_WIN
// The value's address inside the resource and its length: bytes for binary values,
// UTF-16 characters (the terminating NUL included) for strings.
struct WindowsValue
{
    const void *data = nullptr;
    UINT length = 0;
};

std::optional<WindowsValue> queryWindows(const QByteArray &resource, QStringView path)
{
    WindowsValue value;
    void *data = nullptr;
    const std::wstring query = path.toString().toStdWString();
    if (!VerQueryValueW(resource.constData(), query.c_str(), &data, &value.length) || !data)
        return std::nullopt;
    value.data = data;
    return value;
}
#endif

} // namespace

std::optional<QByteArray> ReadElfSection(QIODevice &file, QByteArrayView name, qint64 maxSize)
{
    if (!file.isOpen() || file.isSequential() || name.isEmpty() || maxSize < 0)
        return std::nullopt;
    const quint64 fileSize = static_cast<quint64>(file.size());

    const auto ident = readExactly(file, fileSize, 0, 16);
    if (!ident || !ident->startsWith(QByteArrayView(ElfMagic, sizeof ElfMagic)))
        return std::nullopt;
    ElfLayout elf;
    const auto elfClass = static_cast<quint8>(ident->at(4));
    const auto elfData = static_cast<quint8>(ident->at(5));
    if ((elfClass != ElfClass32 && elfClass != ElfClass64)
        || (elfData != ElfDataLittle && elfData != ElfDataBig)
        || static_cast<quint8>(ident->at(6)) != ElfVersionCurrent)
        return std::nullopt;
    elf.is64 = elfClass == ElfClass64;
    elf.bigEndian = elfData == ElfDataBig;

    const auto header = readExactly(file, fileSize, 0, elf.headerSize());
    if (!header)
        return std::nullopt;
    const quint64 tableOffset = elf.word(*header, 0x20, 0x28);
    const quint16 entrySize = elf.u16(*header, elf.is64 ? 0x3a : 0x2e);
    quint64 count = elf.u16(*header, elf.is64 ? 0x3c : 0x30);
    quint64 namesIndex = elf.u16(*header, elf.is64 ? 0x3e : 0x32);
    if (tableOffset == 0 || entrySize < elf.sectionHeaderSize())
        return std::nullopt;

    // With many sections the real count and name-table index live in section 0.
    if (count == 0 || namesIndex == SectionIndexEscape) {
        const auto first = readExactly(file, fileSize, tableOffset, entrySize);
        if (!first)
            return std::nullopt;
        const SectionHeader zero = sectionAt(elf, *first, 0);
        if (count == 0)
            count = zero.size;
        if (namesIndex == SectionIndexEscape)
            namesIndex = zero.link;
    }
    if (count == 0 || count > MaxSectionHeaderTable / entrySize || namesIndex >= count)
        return std::nullopt;
    const auto table = readExactly(file, fileSize, tableOffset, count * entrySize);
    if (!table)
        return std::nullopt;

    const SectionHeader namesSection = sectionAt(elf, *table, namesIndex * entrySize);
    if (namesSection.type == SectionNoBits)
        return std::nullopt;
    const auto names = readExactly(file, fileSize, namesSection.offset,
                                   std::min(namesSection.size, MaxSectionNameTable));
    if (!names)
        return std::nullopt;

    for (quint64 i = 1; i < count; ++i) {
        const SectionHeader section = sectionAt(elf, *table, i * entrySize);
        const quint64 nameEnd = quint64(section.name) + quint64(name.size());
        if (nameEnd >= quint64(names->size()) || names->at(qsizetype(nameEnd)) != '\0'
            || QByteArrayView(*names).sliced(qsizetype(section.name), name.size()) != name)
            continue;
        if (section.type == SectionNoBits || section.size > quint64(maxSize))
            return std::nullopt;
        return readExactly(file, fileSize, section.offset, section.size);
    }
    return std::nullopt;
}

TVersionRecord TVersionRecord::fromFile(const QString &fileName)
{
#ifdef Q_OS_WIN
    const std::wstring path = QDir::toNativeSeparators(fileName).toStdWString();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0)
        return {};
    QByteArray resource(qsizetype(size), Qt::Uninitialized);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, resource.data()))
        return {};
    TVersionRecord record;
    record.m_size = resource.size();
    record.m_resource = resource;
    return record;
#else
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const auto bytes = ReadElfSection(file, VersionRecordSection, MaxVersionRecordSize);
    return bytes ? fromBytes(*bytes) : TVersionRecord();
#endif
}

TVersionRecord TVersionRecord::fromBytes(const QByteArray &bytes)
{
    // Splits the record into its NUL-terminated fields, stopping at the empty path.
    qsizetype at = 0;
    auto nextField = [&]() -> std::optional<QByteArrayView> {
        const qsizetype end = bytes.indexOf('\0', at);
        if (end < 0)
            return std::nullopt;
        const QByteArrayView field = QByteArrayView(bytes).sliced(at, end - at);
        at = end + 1;
        return field;
    };

    const auto magic = nextField();
    const auto format = nextField();
    if (!magic || *magic != RecordMagic || !format || *format != RecordFormat)
        return {};

    TVersionRecord record;
    for (;;) {
        const auto path = nextField();
        if (!path)
            return {};
        if (path->isEmpty())
            break;
        const auto value = nextField();
        if (!value || !path->startsWith('\\'))
            return {};
        const QString key = normalisedPath(QString::fromUtf8(*path));
        const QString text = QString::fromUtf8(*value);
        if (key.isEmpty() || (isBinaryPath(key) && !wordsToBytes(text)))
            return {};
        record.m_entries.insert(key, text);
    }
    record.m_size = bytes.size();
    return record;
}

std::optional<QByteArray> TVersionRecord::queryValue(QStringView path) const
{
#ifdef Q_OS_WIN
    if (!m_resource.isEmpty()) {
        const auto value = queryWindows(m_resource, path);
        if (!value)
            return std::nullopt;
        return QByteArray(static_cast<const char *>(value->data), qsizetype(value->length));
    }
#endif
    const QString key = normalisedPath(path);
    const auto it = m_entries.constFind(key);
    if (it == m_entries.cend() || !isBinaryPath(key))
        return std::nullopt;
    return wordsToBytes(*it);
}

std::optional<QString> TVersionRecord::queryString(QStringView path) const
{
#ifdef Q_OS_WIN
    if (!m_resource.isEmpty()) {
        const auto value = queryWindows(m_resource, path);
        if (!value)
            return std::nullopt;
        const auto *chars = static_cast<const wchar_t *>(value->data);
        qsizetype length = qsizetype(value->length);
        while (length > 0 && chars[length - 1] == L'\0')
            --length;
        return QString::fromWCharArray(chars, length);
    }
#endif
    const QString key = normalisedPath(path);
    const auto it = m_entries.constFind(key);
    if (it == m_entries.cend() || isBinaryPath(key))
        return std::nullopt;
    return *it;
}
