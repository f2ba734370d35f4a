// Finding the version record's section in ELF files, and parsing and querying the record.
#include "elfimage.h"
#include "app/about/versionrecord.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QtTest>

#include <optional>

using OptionalBytes = std::optional<QByteArray>;
Q_DECLARE_METATYPE(OptionalBytes)

namespace {

const QByteArray RecordName = QByteArrayLiteral(".tarvino_version");
const QByteArray Payload("TVREC\0" "1\0" "\0", 9);

QList<TestSection> usualSections()
{
    return {{".text", QByteArray(64, '\x90')},
            {".tarvino_version_old", QByteArrayLiteral("decoy")},
            {".bss", QByteArray(32, '\0'), 8},
            {RecordName, Payload},
            {".comment", QByteArrayLiteral("compiler")}};
}

// Index of the record's section in usualSections() images.
constexpr int RecordIndex = 4;

OptionalBytes readSection(const QByteArray &image, QByteArrayView name = RecordName,
                          qint64 maxSize = MaxVersionRecordSize)
{
    QBuffer buffer;
    buffer.setData(image);
    buffer.open(QIODevice::ReadOnly);
    return ReadElfSection(buffer, name, maxSize);
}

} // namespace

class TestRecord : public QObject
{
    Q_OBJECT
private slots:
    void findsSection_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<OptionalBytes>("expected");
        for (bool is64 : {false, true}) {
            for (bool big : {false, true}) {
                const QByteArray kind = QByteArray(is64 ? "elf64 " : "elf32 ") + (big ? "big" : "little");
                const QByteArray image = TestElfImage(is64, big, usualSections()).bytes();
                QTest::newRow(kind + " record") << image << RecordName << OptionalBytes(Payload);
                QTest::newRow(kind + " other section")
                    << image << QByteArrayLiteral(".comment") << OptionalBytes(QByteArrayLiteral("compiler"));
                QTest::newRow(kind + " extended numbering")
                    << TestElfImage(is64, big, usualSections(), true).bytes() << RecordName
                    << OptionalBytes(Payload);
            }
        }
        const QByteArray image = TestElfImage(true, false, usualSections()).bytes();
        QTest::newRow("prefix of a longer name") << image << QByteArrayLiteral(".tarvino") << OptionalBytes();
        QTest::newRow("longer than every name") << image << QByteArrayLiteral(".tarvino_version_older")
                                                << OptionalBytes();
        QTest::newRow("section without bytes") << image << QByteArrayLiteral(".bss") << OptionalBytes();
        QTest::newRow("empty section") << TestElfImage(true, false, {{RecordName, {}}}).bytes() << RecordName
                                       << OptionalBytes(QByteArray());
        QTest::newRow("no such section")
            << TestElfImage(true, false, {{".text", "x"}}).bytes() << RecordName << OptionalBytes();
        QTest::newRow("first of two wins")
            << TestElfImage(false, false, {{RecordName, "one"}, {RecordName, "two"}}).bytes() << RecordName
            << OptionalBytes(QByteArrayLiteral("one"));
    }
    void findsSection()
    {
        QFETCH(QByteArray, image);
        QFETCH(QByteArray, name);
        QFETCH(OptionalBytes, expected);
        QCOMPARE(readSection(image, name), expected);
    }

    // Every field a reader follows, bent so that it points outside the file or
    // makes no sense: the reader gives nothing and reads nothing past the end.
    void refusesDamagedFiles_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<qint64>("maxSize");

        for (bool is64 : {false, true}) {
            const QByteArray kind = is64 ? "elf64 " : "elf32 ";
            const TestElfImage good(is64, false, usualSections());
            const quint64 size = quint64(good.bytes().size());
            const quint64 huge = is64 ? ~quint64(0) - 3 : 0xfffffffcu;
            auto damaged = [&](const char *what, auto change) {
                TestElfImage image = good;
                change(image);
                QTest::newRow(kind + what) << image.bytes() << MaxVersionRecordSize;
            };
            using T = TestElfImage;
            damaged("table offset zero", [](T &i) { i.setHeader(T::SectionTableOffset, 0); });
            damaged("table offset past end", [&](T &i) { i.setHeader(T::SectionTableOffset, size + 1); });
            damaged("table runs past end", [&](T &i) { i.setHeader(T::SectionTableOffset, size - 8); });
            damaged("table offset wraps", [&](T &i) { i.setHeader(T::SectionTableOffset, huge); });
            damaged("entry size too small", [&](T &i) { i.setHeader(T::SectionEntrySize, i.entrySize() - 1); });
            damaged("entry size zero", [](T &i) { i.setHeader(T::SectionEntrySize, 0); });
            damaged("count past end", [](T &i) { i.setHeader(T::SectionCount, 0xfffe); });
            damaged("extended count huge", [&](T &i) {
                i.setHeader(T::SectionCount, 0);
                i.setSection(0, T::Size, huge);
            });
            damaged("extended count zero", [](T &i) { i.setHeader(T::SectionCount, 0); });
            damaged("names index out of range", [](T &i) { i.setHeader(T::NamesIndex, 7); });
            damaged("extended names index out of range", [](T &i) {
                i.setHeader(T::NamesIndex, 0xffff);
                i.setSection(0, T::Link, 0x7fffffff);
            });
            damaged("names without bytes", [](T &i) { i.setSection(6, T::Type, 8); });
            damaged("names past end", [&](T &i) { i.setSection(6, T::Offset, size); });
            damaged("names size past end", [&](T &i) { i.setSection(6, T::Size, huge); });
            damaged("names offset wraps", [&](T &i) { i.setSection(6, T::Offset, huge); });
            damaged("name offset past names", [](T &i) { i.setSection(RecordIndex, T::Name, 0xfffffff0); });
            damaged("name runs to end of names", [](T &i) { i.setSection(6, T::Size, 3); });
            damaged("record past end", [&](T &i) { i.setSection(RecordIndex, T::Offset, size); });
            damaged("record runs past end", [&](T &i) { i.setSection(RecordIndex, T::Offset, size - 4); });
            damaged("record offset wraps", [&](T &i) { i.setSection(RecordIndex, T::Offset, huge); });
            damaged("record size wraps", [&](T &i) { i.setSection(RecordIndex, T::Size, huge); });
            damaged("record without bytes", [](T &i) { i.setSection(RecordIndex, T::Type, 8); });
            damaged("bad class", [](T &i) { i.bytes()[4] = 3; });
            damaged("bad byte order", [](T &i) { i.bytes()[5] = 0; });
            damaged("bad ident version", [](T &i) { i.bytes()[6] = 2; });
            damaged("bad magic", [](T &i) { i.bytes()[1] = 'e'; });
            QTest::newRow(kind + "record larger than allowed") << good.bytes() << qint64(Payload.size() - 1);
            QTest::newRow(kind + "negative limit") << good.bytes() << qint64(-1);
        }
        QTest::newRow("empty file") << QByteArray() << MaxVersionRecordSize;
        QTest::newRow("text file") << QByteArrayLiteral("#!/bin/sh\nexit 0\n") << MaxVersionRecordSize;
        QTest::newRow("magic only") << QByteArrayLiteral("\x7f" "ELF") << MaxVersionRecordSize;
    }
    void refusesDamagedFiles()
    {
        QFETCH(QByteArray, image);
        QFETCH(qint64, maxSize);
        QCOMPARE(readSection(image, RecordName, maxSize), OptionalBytes());
    }

    // The section header table comes last, so every cut-off copy lacks part of it.
    void refusesEveryTruncation_data()
    {
        QTest::addColumn<bool>("is64");
        QTest::newRow("elf32") << false;
        QTest::newRow("elf64") << true;
    }
    void refusesEveryTruncation()
    {
        QFETCH(bool, is64);
        const QByteArray image = TestElfImage(is64, false, usualSections()).bytes();
        QCOMPARE(readSection(image), OptionalBytes(Payload));
        for (qsizetype length = 0; length < image.size(); ++length) {
            if (readSection(image.left(length)))
                QFAIL(qPrintable(QStringLiteral("a record was read from the first %1 bytes").arg(length)));
        }
    }

    // Random damage never makes the reader hand back more than it was allowed.
    void survivesRandomDamage()
    {
        QRandomGenerator random(20240611);
        const QByteArray good = TestElfImage(true, false, usualSections()).bytes();
        constexpr qint64 limit = 16;
        for (int round = 0; round < 3000; ++round) {
            QByteArray image = good;
            const int flips = 1 + int(random.bounded(4));
            for (int i = 0; i < flips; ++i)
                image[qsizetype(random.bounded(quint32(image.size())))] = char(random.bounded(256));
            const OptionalBytes result = readSection(image, RecordName, limit);
            if (result && result->size() > limit)
                QFAIL("a section larger than the limit was read");
        }
    }

    void refusesUnreadableDevices()
    {
        QBuffer closed;
        closed.setData(TestElfImage(true, false, usualSections()).bytes());
        QCOMPARE(ReadElfSection(closed, RecordName, MaxVersionRecordSize), OptionalBytes());
    }

    void parsesRecords_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        const QList<QPair<QString, QString>> entries = TestRecordEntries(
            QStringLiteral("040904E4"), {{QStringLiteral("CompanyName"), QStringLiteral("Firm")}});
        const QByteArray good = TestRecordBytes(entries);
        QTest::newRow("well formed") << good << true;
        QTest::newRow("only the end") << TestRecordBytes({}) << true;
        QTest::newRow("bytes after the end are ignored") << good + QByteArray(7, '\0') + "junk" << true;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("bad magic") << TestRecordBytes(entries, "TVRED") << false;
        QTest::newRow("magic without NUL") << QByteArrayLiteral("TVREC") << false;
        QTest::newRow("unknown format") << TestRecordBytes(entries, "TVREC", "2") << false;
        QTest::newRow("no end") << good.chopped(1) << false;
        QTest::newRow("value cut off") << good.left(good.indexOf("Firm") + 2) << false;
        QTest::newRow("path without backslash")
            << TestRecordBytes({{QStringLiteral("StringFileInfo\\040904E4\\X"), QStringLiteral("v")}}) << false;
        QTest::newRow("path of backslashes only")
            << TestRecordBytes({{QStringLiteral("\\\\"), QStringLiteral("v")}}) << false;
        QTest::newRow("translation not hexadecimal")
            << TestRecordBytes({{QStringLiteral("\\VarFileInfo\\Translation"), QStringLiteral("04G9 04E4")}})
            << false;
        QTest::newRow("translation word too long")
            << TestRecordBytes({{QStringLiteral("\\VarFileInfo\\Translation"), QStringLiteral("040904E4")}})
            << false;
    }
    void parsesRecords()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        const TVersionRecord record = TVersionRecord::fromBytes(bytes);
        QCOMPARE(record.size(), valid ? bytes.size() : 0);
        if (!valid)
            QCOMPARE(record.queryValue(u"\\VarFileInfo\\Translation"), OptionalBytes());
    }

    void answersPaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<OptionalBytes>("binary");
        QTest::addColumn<std::optional<QString>>("text");
        const OptionalBytes translation(QByteArrayLiteral("\x09\x04\xe4\x04\x07\x04\xb0\x04"));
        const std::optional<QString> firm(QStringLiteral("Firm & Söhne"));
        QTest::newRow("translation, doubled separators")
            << QStringLiteral("\\\\VarFileInfo\\\\Translation") << translation << std::optional<QString>();
        QTest::newRow("translation, single separators")
            << QStringLiteral("\\VarFileInfo\\Translation") << translation << std::optional<QString>();
        QTest::newRow("translation, other case")
            << QStringLiteral("\\VARFILEINFO\\translation") << translation << std::optional<QString>();
        QTest::newRow("string, doubled separators")
            << QStringLiteral("\\\\StringFileInfo\\\\040904E4\\\\CompanyName") << OptionalBytes() << firm;
        QTest::newRow("string, lower-case table")
            << QStringLiteral("\\StringFileInfo\\040904e4\\CompanyName") << OptionalBytes() << firm;
        QTest::newRow("empty string") << QStringLiteral("\\StringFileInfo\\040904E4\\Comments") << OptionalBytes()
                                      << std::optional<QString>(QString());
        QTest::newRow("other table") << QStringLiteral("\\StringFileInfo\\040704B0\\CompanyName")
                                     << OptionalBytes() << std::optional<QString>();
        QTest::newRow("missing key") << QStringLiteral("\\StringFileInfo\\040904E4\\ProductName")
                                     << OptionalBytes() << std::optional<QString>();
        QTest::newRow("root") << QStringLiteral("\\") << OptionalBytes() << std::optional<QString>();
    }
    void answersPaths()
    {
        QFETCH(QString, path);
        QFETCH(OptionalBytes, binary);
        QFETCH(std::optional<QString>, text);
        const TVersionRecord record = TVersionRecord::fromBytes(TestRecordBytes({
            {QStringLiteral("\\VarFileInfo\\Translation"), QStringLiteral("0409 04E4 407 4B0")},
            {QStringLiteral("\\StringFileInfo\\040904E4\\CompanyName"), QStringLiteral("Firm & Söhne")},
            {QStringLiteral("\\StringFileInfo\\040904E4\\Comments"), QString()},
        }));
        QVERIFY(record.size() > 0);
        QCOMPARE(record.queryValue(path), binary);
        QCOMPARE(record.queryString(path), text);
    }

    void emptyRecordAnswersNothing()
    {
        const TVersionRecord record;
        QCOMPARE(record.size(), 0);
        QCOMPARE(record.queryValue(u"\\VarFileInfo\\Translation"), OptionalBytes());
        QCOMPARE(record.queryString(u"\\StringFileInfo\\040904E4\\CompanyName"), std::optional<QString>());
    }
};

QTEST_GUILESS_MAIN(TestRecord)
#include "tst_about_record.moc"
