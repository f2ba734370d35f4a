#pragma once
// Builds small ELF files in memory, and version records in their documented layout,
// for the record reader's tests. The images hold only what a reader of section
// headers looks at: the ELF header, the sections' bytes, the section name table and
// the section header table, which comes last.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QtEndian>

struct TestSection
{
    QByteArray name;
    QByteArray data;
    quint32 type = 1; // SHT_PROGBITS
};

class TestElfImage
{
public:
    enum HeaderField { SectionTableOffset, SectionEntrySize, SectionCount, NamesIndex };
    enum SectionField { Name, Type, Offset, Size, Link };

    // Section 0 is the null section; the given sections follow from index 1, then the
    // section name table. With extendedNumbering the count and the name table's index
    // are kept in section 0, as files with very many sections do.
    TestElfImage(bool is64, bool bigEndian, const QList<TestSection> &sections,
                 bool extendedNumbering = false)
        : m_is64(is64), m_bigEndian(bigEndian)
    {
        m_bytes = QByteArray(qsizetype(headerSize()), '\0');
        m_bytes[0] = 0x7f;
        m_bytes[1] = 'E';
        m_bytes[2] = 'L';
        m_bytes[3] = 'F';
        m_bytes[4] = char(is64 ? 2 : 1);
        m_bytes[5] = char(bigEndian ? 2 : 1);
        m_bytes[6] = 1;

        QByteArray names(1, '\0');
        QList<Entry> entries{Entry{}};
        for (const TestSection &section : sections) {
            Entry e;
            e.name = quint32(names.size());
            names += section.name + '\0';
            e.type = section.type;
            e.offset = quint64(m_bytes.size());
            e.size = quint64(section.data.size());
            if (section.type != 8) // SHT_NOBITS has no bytes in the file
                m_bytes += section.data;
            entries.append(e);
        }
        Entry table;
        table.name = quint32(names.size());
        names += QByteArrayLiteral(".shstrtab") + '\0';
        table.type = 3; // SHT_STRTAB
        table.offset = quint64(m_bytes.size());
        table.size = quint64(names.size());
        m_bytes += names;
        entries.append(table);
        const int namesIndex = int(entries.size()) - 1;

        while (m_bytes.size() % 8)
            m_bytes += '\0';
        m_tableOffset = quint64(m_bytes.size());
        m_bytes += QByteArray(qsizetype(entries.size()) * qsizetype(entrySize()), '\0');
        for (int i = 0; i < entries.size(); ++i) {
            setSection(i, Name, entries[i].name);
            setSection(i, Type, entries[i].type);
            setSection(i, Offset, entries[i].offset);
            setSection(i, Size, entries[i].size);
        }

        setHeader(SectionTableOffset, m_tableOffset);
        setHeader(SectionEntrySize, entrySize());
        if (extendedNumbering) {
            setHeader(SectionCount, 0);
            setHeader(NamesIndex, 0xffff);
            setSection(0, Size, quint64(entries.size()));
            setSection(0, Link, quint64(namesIndex));
        } else {
            setHeader(SectionCount, quint64(entries.size()));
            setHeader(NamesIndex, quint64(namesIndex));
        }
    }

    const QByteArray &bytes() const { return m_bytes; }
    QByteArray &bytes() { return m_bytes; }

    void setHeader(HeaderField field, quint64 value)
    {
        switch (field) {
        case SectionTableOffset:
            return m_is64 ? put64(0x28, value) : put32(0x20, value);
        case SectionEntrySize:
            return put16(m_is64 ? 0x3a : 0x2e, value);
        case SectionCount:
            return put16(m_is64 ? 0x3c : 0x30, value);
        case NamesIndex:
            return put16(m_is64 ? 0x3e : 0x32, value);
        }
    }

    void setSection(int index, SectionField field, quint64 value)
    {
        const quint64 at = m_tableOffset + quint64(index) * entrySize();
        switch (field) {
        case Name:
            return put32(at, value);
        case Type:
            return put32(at + 4, value);
        case Offset:
            return m_is64 ? put64(at + 24, value) : put32(at + 16, value);
        case Size:
            return m_is64 ? put64(at + 32, value) : put32(at + 20, value);
        case Link:
            return put32(at + (m_is64 ? 40 : 24), value);
        }
    }

    quint64 entrySize() const { return m_is64 ? 64 : 40; }
    quint64 tableOffset() const { return m_tableOffset; }

private:
    struct Entry
    {
        quint32 name = 0;
        quint32 type = 0;
        quint64 offset = 0;
        quint64 size = 0;
    };

    quint64 headerSize() const { return m_is64 ? 64 : 52; }

    template <typename T>
    void put(quint64 at, quint64 value)
    {
        auto *p = reinterpret_cast<uchar *>(m_bytes.data()) + at;
        if (m_bigEndian)
            qToBigEndian<T>(T(value), p);
        else
            qToLittleEndian<T>(T(value), p);
    }
    void put16(quint64 at, quint64 value) { put<quint16>(at, value); }
    void put32(quint64 at, quint64 value) { put<quint32>(at, value); }
    void put64(quint64 at, quint64 value) { put<quint64>(at, value); }

    bool m_is64;
    bool m_bigEndian;
    quint64 m_tableOffset = 0;
    QByteArray m_bytes;
};

// A version record: magic, format, then path/value pairs and the empty path, each
// field ending with a NUL byte. Texts are written as UTF-8.
inline QByteArray TestRecordBytes(const QList<QPair<QString, QString>> &entries,
                                  const QByteArray &magic = QByteArrayLiteral("TVREC"),
                                  const QByteArray &format = QByteArrayLiteral("1"))
{
    QByteArray bytes = magic + '\0' + format + '\0';
    for (const auto &[path, value] : entries)
        bytes += path.toUtf8() + '\0' + value.toUtf8() + '\0';
    return bytes + '\0';
}

// The string entries of one table ("040904E4") and its translation entry.
inline QList<QPair<QString, QString>> TestRecordEntries(const QString &table,
                                                        const QList<QPair<QString, QString>> &strings)
{
    QList<QPair<QString, QString>> entries{
        {QStringLiteral("\\VarFileInfo\\Translation"), table.left(4) + u' ' + table.mid(4)}};
    for (const auto &[key, value] : strings)
        entries.append({QStringLiteral("\\StringFileInfo\\") + table + u'\\' + key, value});
    return entries;
}
