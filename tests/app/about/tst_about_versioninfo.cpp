// TVersionInfo: the version texts of an executable file, and the splitting of its file version.
#include "elfimage.h"
#include "testfiles.h"
#include "app/about/versioninfo.h"
#include "app/about/versionrecord.h"

#include <QDir>
#include <QFile>
#include <QMetaProperty>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The published properties in their published order.
const QStringList PropertyNames{
    QStringLiteral("CompanyName"),      QStringLiteral("FileDescription"), QStringLiteral("FileVersion"),
    QStringLiteral("Internalname"),     QStringLiteral("LegalCopyright"),  QStringLiteral("LegalTradeMarks"),
    QStringLiteral("OriginalFilename"), QStringLiteral("ProductName"),     QStringLiteral("ProductVersion"),
    QStringLiteral("Comments"),         QStringLiteral("MajorVersion"),    QStringLiteral("MinorVersion"),
    QStringLiteral("Release"),          QStringLiteral("Build")};

// The record keys of the first ten properties ("InternalName" fills Internalname).
const QStringList RecordKeys{
    QStringLiteral("CompanyName"),      QStringLiteral("FileDescription"), QStringLiteral("FileVersion"),
    QStringLiteral("InternalName"),     QStringLiteral("LegalCopyright"),  QStringLiteral("LegalTradeMarks"),
    QStringLiteral("OriginalFilename"), QStringLiteral("ProductName"),     QStringLiteral("ProductVersion"),
    QStringLiteral("Comments")};

// The properties read through the object's published interface.
QStringList properties(const TVersionInfo &info)
{
    QStringList values;
    for (const QString &name : PropertyNames)
        values.append(info.property(name.toLatin1().constData()).toString());
    return values;
}

QStringList notAvailable()
{
    return QStringList(PropertyNames.size(), InfoNotAvailable);
}

QStringList parts(const TFileVersionParts &p)
{
    return {p.major, p.minor, p.release, p.build};
}

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    return WriteTestFile(QDir(dir.path()), name, bytes);
}

QByteArray elfWithRecord(const QByteArray &record, bool is64 = true, bool big = false)
{
    return TestElfImage(is64, big, {{".text", QByteArray(16, '\xc3')}, {".tarvino_version", record}}).bytes();
}

} // namespace

class TestVersionInfo : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QStringList published;
        const QMetaObject &meta = TVersionInfo::staticMetaObject;
        for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i)
            published.append(QString::fromLatin1(meta.property(i).name()));
        QCOMPARE(published, PropertyNames);
    }

    // The record that the build put into this test's own executable; the values it
    // was given are kept, one file per key, beside the build.
    void readsOwnExecutable()
    {
        const QDir values(QStringLiteral(TARVINO_RECORD_VALUES));
        QVERIFY(values.exists(QStringLiteral("Translation")));
        QStringList expected;
        for (const QString &key : RecordKeys) {
            QFile file(values.filePath(key));
            expected.append(file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString());
        }
        const QString fileVersion = expected.at(2);
        QVERIFY(fileVersion.contains(u'.'));
        expected += fileVersion.split(u'.');
        QCOMPARE(expected.size(), PropertyNames.size());

        TVersionInfo explicitFile;
        explicitFile.GetInfo(QCoreApplication::applicationFilePath());
        QCOMPARE(properties(explicitFile), expected);

        // Created without a file, it reads the running program's.
        const TVersionInfo ownProgram;
        QCOMPARE(properties(ownProgram), expected);
    }

    void filesWithoutRecord_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::newRow("/bin/true") << QStringLiteral("/bin/true");
        QTest::newRow("missing file") << m_dir.filePath(QStringLiteral("missing"));
        QTest::newRow("directory") << m_dir.path();
        QTest::newRow("empty file") << writeFile(m_dir, QStringLiteral("empty"), {});
        QTest::newRow("text file") << writeFile(m_dir, QStringLiteral("text"), "CompanyName=Firm\n");
        QTest::newRow("elf without record")
            << writeFile(m_dir, QStringLiteral("plain.elf"), TestElfImage(true, false, {{".text", "x"}}).bytes());
        QTest::newRow("elf with malformed record")
            << writeFile(m_dir, QStringLiteral("bad.elf"), elfWithRecord(QByteArray("TVREC\0" "9\0\0", 9)));
    }
    void filesWithoutRecord()
    {
        QFETCH(QString, fileName);
        QVERIFY(!fileName.isEmpty());
        TVersionInfo info;
        info.GetInfo(fileName);
        QCOMPARE(properties(info), notAvailable());
    }

    // Records in ELF files made here: each row gives the record's entries and the
    // fourteen properties expected from it.
    void recordsInFiles_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("expected");

        const QString table = QStringLiteral("040904E4");
        const QStringList texts{QStringLiteral("Firm"),        QStringLiteral("Box tool"),
                                QStringLiteral("2.1.0.7"),     QStringLiteral("box"),
                                QStringLiteral("© Firm"),      QStringLiteral("Box™"),
                                QStringLiteral("box.exe"),     QStringLiteral("Box"),
                                QStringLiteral("2.1"),         QStringLiteral("Line 1\nLine 2 <&>")};
        auto strings = [&](const QStringList &values) {
            QList<QPair<QString, QString>> list;
            for (int i = 0; i < RecordKeys.size(); ++i)
                list.append({RecordKeys.at(i), values.at(i)});
            return list;
        };
        const QByteArray full = TestRecordBytes(TestRecordEntries(table, strings(texts)));
        const QStringList fullExpected =
            texts + QStringList{QStringLiteral("2"), QStringLiteral("1"), QStringLiteral("0"), QStringLiteral("7")};

        QTest::newRow("elf64 little, 2.1.0.7") << elfWithRecord(full) << fullExpected;
        QTest::newRow("elf32 little, 2.1.0.7") << elfWithRecord(full, false) << fullExpected;
        QTest::newRow("elf64 big, 2.1.0.7") << elfWithRecord(full, true, true) << fullExpected;
        QTest::newRow("elf32 big, 2.1.0.7") << elfWithRecord(full, false, true) << fullExpected;

        QStringList commas = texts;
        commas[2] = QStringLiteral("3, 4, 5, 6");
        QTest::newRow("comma version")
            << elfWithRecord(TestRecordBytes(TestRecordEntries(table, strings(commas))))
            << commas + QStringList{QStringLiteral("3"), QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("6")};

        QStringList single = texts;
        single[2] = QStringLiteral("7");
        QTest::newRow("version without separator")
            << elfWithRecord(TestRecordBytes(TestRecordEntries(table, strings(single))))
            << single + QStringList(4, InfoNotAvailable);

        // A key missing from the record reads as empty; without FileVersion the parts
        // are not available.
        QList<QPair<QString, QString>> partial = strings(texts);
        partial.removeAt(2);
        partial.removeAt(0);
        QStringList partialExpected = texts;
        partialExpected[0].clear();
        partialExpected[2].clear();
        QTest::newRow("company and version missing")
            << elfWithRecord(TestRecordBytes(TestRecordEntries(table, partial)))
            << partialExpected + QStringList(4, InfoNotAvailable);

        // The first translation entry picks the table; another table is not read.
        QList<QPair<QString, QString>> twoTables = TestRecordEntries(table, strings(texts));
        twoTables[0].second = QStringLiteral("0407 04B0 0409 04E4");
        QTest::newRow("first translation names another table")
            << elfWithRecord(TestRecordBytes(twoTables))
            << QStringList(RecordKeys.size(), QString()) + QStringList(4, InfoNotAvailable);

        QList<QPair<QString, QString>> german = TestRecordEntries(QStringLiteral("040704B0"), strings(texts));
        german.append(TestRecordEntries(table, {{QStringLiteral("CompanyName"), QStringLiteral("Other")}}).mid(1));
        QTest::newRow("table of the first translation") << elfWithRecord(TestRecordBytes(german)) << fullExpected;

        QList<QPair<QString, QString>> noTranslation = TestRecordEntries(table, strings(texts)).mid(1);
        QTest::newRow("no translation entry")
            << elfWithRecord(TestRecordBytes(noTranslation))
            << QStringList(RecordKeys.size(), QString()) + QStringList(4, InfoNotAvailable);

        QTest::newRow("empty record") << elfWithRecord(TestRecordBytes({}))
                                      << QStringList(RecordKeys.size(), QString()) + QStringList(4, InfoNotAvailable);
    }
    void recordsInFiles()
    {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, expected);
        const QString path = writeFile(m_dir, QString::fromLatin1(QTest::currentDataTag()), file);
        QVERIFY(!path.isEmpty());
        TVersionInfo info;
        info.GetInfo(path);
        QCOMPARE(properties(info), expected);

        // A record read earlier leaves nothing behind.
        info.GetInfo(QStringLiteral("/bin/true"));
        QCOMPARE(properties(info), notAvailable());
    }

    void splitFileVersion_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QStringList>("expected");
        const QStringList na(4, InfoNotAvailable);
        auto list = [](const char *a, const char *b, const char *c, const char *d) {
            return QStringList{QString::fromUtf8(a), QString::fromUtf8(b), QString::fromUtf8(c), QString::fromUtf8(d)};
        };
        QTest::newRow("2.1.0.7") << QStringLiteral("2.1.0.7") << list("2", "1", "0", "7");
        QTest::newRow("commas") << QStringLiteral("1,2,3,4") << list("1", "2", "3", "4");
        QTest::newRow("commas and spaces") << QStringLiteral("1, 0, 0, 0") << list("1", "0", "0", "0");
        QTest::newRow("dots win over commas") << QStringLiteral("1.2,3.4") << list("1", "2,3", "4", "");
        QTest::newRow("two parts") << QStringLiteral("5.6") << list("5", "6", "", "");
        QTest::newRow("five parts") << QStringLiteral("1.2.3.4.5") << list("1", "2", "3", "4.5");
        QTest::newRow("empty parts") << QStringLiteral("1..3.") << list("1", "", "3", "");
        QTest::newRow("words") << QStringLiteral("a.b.c.d") << list("a", "b", "c", "d");
        QTest::newRow("no separator") << QStringLiteral("7") << na;
        QTest::newRow("empty") << QString() << na;
    }
    void splitFileVersion()
    {
        QFETCH(QString, version);
        QFETCH(QStringList, expected);
        QCOMPARE(parts(SplitFileVersion(version)), expected);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestVersionInfo)
#include "tst_about_versioninfo.moc"
