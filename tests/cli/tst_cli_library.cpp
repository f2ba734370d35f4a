// tarvino-cli's firmware library verbs without devices: their command lines (where --type and
// --version are the image's), plan's and apply's options checked before anything is sent, and
// library list, check, add and remove on a folder: their output, their JSON and their exit status.
#include "cli/clihelp.h"
#include "cli/clilibrary.h"
#include "cli/clirequest.h"
#include "fleet/firmware/firmwarelibrary.h"
#include "protocol/sha256text.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

namespace {
// What a library verb printed, and its exit status.
struct Printed
{
    int status = -1;
    QString out;
    QString err;
};

QString readAll(std::FILE *file)
{
    std::rewind(file);
    QByteArray bytes;
    char buffer[4096];
    while (const size_t read = std::fread(buffer, 1, sizeof buffer, file))
        bytes.append(buffer, qsizetype(read));
    return QString::fromUtf8(bytes);
}

Printed runLibrary(const QStringList &arguments)
{
    Printed printed;
    const TParsedCommandLine parsed = ParseCommandLine(arguments, {false, {}});
    if (!parsed.request) {
        printed.status = parsed.error.isEmpty() ? 0 : parsed.errorStatus;
        printed.err = parsed.error;
        printed.out = parsed.output;
        return printed;
    }
    std::FILE *out = std::tmpfile();
    std::FILE *err = std::tmpfile();
    printed.status = RunLibraryVerb(*parsed.request, out, err);
    printed.out = readAll(out);
    printed.err = readAll(err);
    std::fclose(out);
    std::fclose(err);
    return printed;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
} // namespace

class TestCliLibrary : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_image;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_image = m_dir.filePath(QStringLiteral("p3-board-3.4.1.bin"));
        QVERIFY(writeFile(m_image, QByteArray(2048, '\x3c')));
        qputenv("TARVINO_LIBRARY", QByteArray());
        // The window's settings in a folder of the test's own, before anything reads them.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("config"))));
    }

    void libraryCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("verb"); // -1: refused
        QTest::addColumn<QString>("said");
        const QString image = QStringLiteral("@image");
        QTest::newRow("list") << QStringList{u"library"_qs, u"list"_qs, u"--library"_qs, u"/x"_qs} << int(Verb::LibraryList) << "";
        QTest::newRow("option first") << QStringList{u"--library"_qs, u"/x"_qs, u"--json"_qs, u"library"_qs, u"check"_qs}
                                      << int(Verb::LibraryCheck) << "";
        QTest::newRow("add") << QStringList{u"library"_qs, u"add"_qs, image, u"--component"_qs, u"board"_qs, u"--type"_qs,
                                            u"Palimor P3"_qs, u"--type"_qs, u"0x000B1156"_qs, u"--version"_qs, u"3.4.1"_qs}
                             << int(Verb::LibraryAdd) << "";
        QTest::newRow("remove") << QStringList{u"library"_qs, u"remove"_qs, u"p3.bin"_qs} << int(Verb::LibraryRemove) << "";
        QTest::newRow("remove without file") << QStringList{u"library"_qs, u"remove"_qs} << -1 << "needs the image's FILE";
        QTest::newRow("remove, two files") << QStringList{u"library"_qs, u"remove"_qs, u"a.bin"_qs, u"b.bin"_qs} << -1
                                           << "takes one FILE ('b.bin' too)";
        QTest::newRow("remove takes no version") << QStringList{u"library"_qs, u"remove"_qs, u"a.bin"_qs, u"--version"_qs, u"1"_qs}
                                                 << -1 << "does not take --version";
        QTest::newRow("no sub-verb") << QStringList{u"library"_qs} << -1 << "'library' needs list, check, add or remove.";
        QTest::newRow("unknown sub-verb") << QStringList{u"library"_qs, u"show"_qs} << -1 << "Unknown verb 'library show'";
        QTest::newRow("add without type") << QStringList{u"library"_qs, u"add"_qs, image, u"--component"_qs, u"board"_qs,
                                                         u"--version"_qs, u"3.4.1"_qs}
                                          << -1 << "needs --type TYPE";
        QTest::newRow("add without version") << QStringList{u"library"_qs, u"add"_qs, image, u"--component"_qs, u"board"_qs,
                                                            u"--type"_qs, u"P3"_qs}
                                             << -1 << "needs --version V";
        QTest::newRow("add, odd version") << QStringList{u"library"_qs, u"add"_qs, image, u"--component"_qs, u"board"_qs,
                                                         u"--type"_qs, u"P3"_qs, u"--version"_qs, u"latest"_qs}
                                          << -1 << "--version takes dotted numbers";
        QTest::newRow("add, bad component") << QStringList{u"library"_qs, u"add"_qs, image, u"--component"_qs, u"kernel"_qs,
                                                           u"--type"_qs, u"P3"_qs, u"--version"_qs, u"1"_qs}
                                            << -1 << "--component takes board or controller";
        QTest::newRow("add, two files") << QStringList{u"library"_qs, u"add"_qs, image, image, u"--component"_qs, u"board"_qs,
                                                       u"--type"_qs, u"P3"_qs, u"--version"_qs, u"1"_qs}
                                        << -1 << "takes one FILE";
        QTest::newRow("list takes no type") << QStringList{u"library"_qs, u"list"_qs, u"--type"_qs, u"P3"_qs} << -1
                                            << "does not take --type";
    }
    void libraryCommandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, verb);
        QFETCH(QString, said);
        for (QString &argument : arguments)
            argument = argument == u"@image" ? m_image : argument;
        const TParsedCommandLine parsed = ParseCommandLine(arguments, {false, {}});
        if (verb < 0) {
            QVERIFY(!parsed.request);
            QCOMPARE(parsed.errorStatus, 2);
            QVERIFY2(parsed.error.contains(said), qPrintable(parsed.error));
            return;
        }
        QVERIFY2(parsed.request, qPrintable(parsed.error));
        QCOMPARE(int(parsed.request->verb->verb), verb);
        if (verb == int(Verb::LibraryAdd)) {
            QCOMPARE(parsed.request->library.types, (QStringList{u"Palimor P3"_qs, u"0x000B1156"_qs}));
            QCOMPARE(parsed.request->library.version, u"3.4.1"_qs);
            QCOMPARE(parsed.request->library.component, TFirmwareComponent::Board);
        }
    }

    void firmwareOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status"); // 0: accepted
        QTest::addColumn<QString>("said");
        QTest::newRow("whole site") << QStringList{u"plan"_qs, u"--library"_qs, u"@library"_qs} << 0 << "";
        QTest::newRow("components") << QStringList{u"apply"_qs, u"--library"_qs, u"@library"_qs, u"--components"_qs,
                                                   u"controller,board"_qs, u"-y"_qs, u"198.18.1.4"_qs}
                                    << 0 << "";
        QTest::newRow("bad component") << QStringList{u"plan"_qs, u"--library"_qs, u"@library"_qs, u"--components"_qs,
                                                      u"board,kernel"_qs}
                                       << 2 << "not 'kernel'";
        QTest::newRow("no library") << QStringList{u"plan"_qs} << 2 << "No firmware library";
        QTest::newRow("damaged library") << QStringList{u"plan"_qs, u"--library"_qs, u"@damaged"_qs} << 3
                                         << "library.json line 1: not JSON";
        QTest::newRow("not a folder") << QStringList{u"plan"_qs, u"--library"_qs, u"/no/such/folder"_qs} << 3 << "is not a folder";
        QTest::newRow("apply asks") << QStringList{u"apply"_qs, u"--library"_qs, u"@library"_qs} << 2 << "confirm with --yes";
        QTest::newRow("plan changes nothing") << QStringList{u"plan"_qs, u"--library"_qs, u"@library"_qs, u"--yes"_qs} << 2
                                              << "does not take --yes";
    }
    void firmwareOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, said);
        const QString library = m_dir.filePath(QStringLiteral("options-library"));
        const QString damaged = m_dir.filePath(QStringLiteral("damaged-library"));
        QDir().mkpath(library);
        QDir().mkpath(damaged);
        QVERIFY(writeFile(QDir(damaged).filePath(QStringLiteral("library.json")), "{format"));
        for (QString &argument : arguments)
            argument = argument == u"@library" ? library : argument == u"@damaged" ? damaged : argument;
        const TParsedCommandLine parsed = ParseCommandLine(arguments, {false, {}});
        if (status != 0) {
            QVERIFY(!parsed.request);
            QCOMPARE(parsed.errorStatus, status);
            QVERIFY2(parsed.error.contains(said), qPrintable(parsed.error));
            return;
        }
        QVERIFY2(parsed.request, qPrintable(parsed.error));
        QCOMPARE(parsed.request->library.folder, library);
        QVERIFY(parsed.request->needsScan()); // the types and versions come from the scan
        if (parsed.request->targets.isEmpty())
            QVERIFY(parsed.request->selection.all);
        else
            QCOMPARE(parsed.request->library.components,
                     (QList<TFirmwareComponent>{TFirmwareComponent::Controller, TFirmwareComponent::Board}));
    }

    void addListCheck()
    {
        const QString folder = m_dir.filePath(QStringLiteral("cli-library"));
        const Printed added = runLibrary({u"library"_qs, u"add"_qs, m_image, u"--component"_qs, u"board"_qs, u"--type"_qs,
                                          u"Palimor P3"_qs, u"--version"_qs, u"3.4.1"_qs, u"--note"_qs, u"for the pumps"_qs,
                                          u"--library"_qs, folder});
        QCOMPARE(added.status, 0);
        QVERIFY2(added.out.startsWith(u"Added p3-board-3.4.1.bin to "_qs), qPrintable(added.out));
        QVERIFY(QFile::exists(QDir(folder).filePath(QStringLiteral("p3-board-3.4.1.bin"))));

        const Printed again = runLibrary({u"library"_qs, u"add"_qs, m_image, u"--component"_qs, u"board"_qs, u"--type"_qs,
                                          u"Palimor P4"_qs, u"--version"_qs, u"3.5"_qs, u"--library"_qs, folder});
        QCOMPARE(again.status, 1);
        QVERIFY2(again.err.contains(u"already has an image named p3-board-3.4.1.bin"_qs), qPrintable(again.err));
        QVERIFY2(again.err.contains(u"The library is unchanged."_qs), qPrintable(again.err));

        const Printed list = runLibrary({u"library"_qs, u"list"_qs, u"--json"_qs, u"--library"_qs, folder});
        QCOMPARE(list.status, 0);
        const QJsonObject image = QJsonDocument::fromJson(list.out.toUtf8()).object();
        // The keys of the reference output (an image with a note): a key renamed or lost fails here.
        QFile golden(QStringLiteral(TARVINO_CLI_GOLDEN_DIR "/library.json"));
        QVERIFY(golden.open(QIODevice::ReadOnly));
        const QList<QByteArray> goldenLines = golden.readAll().split('\n');
        QCOMPARE(image.keys(), QJsonDocument::fromJson(goldenLines.at(1)).object().keys());
        QCOMPARE(image.value(u"schema"_qs).toInt(), 1);
        QCOMPARE(image.value(u"verb"_qs).toString(), u"library list"_qs);
        QCOMPARE(image.value(u"version"_qs).toString(), u"3.4.1"_qs);
        QCOMPARE(image.value(u"note"_qs).toString(), u"for the pumps"_qs);
        QCOMPARE(image.value(u"sha256"_qs).toString(), Sha256Text(QByteArray(2048, '\x3c')).toLower());

        QCOMPARE(runLibrary({u"library"_qs, u"check"_qs, u"--library"_qs, folder}).status, 0);
        QVERIFY(writeFile(QDir(folder).filePath(QStringLiteral("p3-board-3.4.1.bin")), QByteArray(2048, '\x3d')));
        const Printed checkJson = runLibrary({u"library"_qs, u"check"_qs, u"--json"_qs, u"--library"_qs, folder});
        QCOMPARE(checkJson.status, 1);
        const QJsonObject failedCheck = QJsonDocument::fromJson(checkJson.out.toUtf8()).object();
        QCOMPARE(failedCheck.value(u"result"_qs).toString(), u"failed"_qs);
        QCOMPARE(failedCheck.keys(), QJsonDocument::fromJson(goldenLines.at(3)).object().keys());
        const Printed check = runLibrary({u"library"_qs, u"check"_qs, u"--library"_qs, folder});
        QCOMPARE(check.status, 1);
        QVERIFY2(check.out.contains(u"FAILED"_qs) && check.out.contains(u"the file changed since it was added"_qs),
                 qPrintable(check.out));
        QVERIFY2(check.out.endsWith(u"1 image: 0 ok, 1 failed\n"_qs), qPrintable(check.out));

        // A hand-edited manifest that cannot be read: its line and reason, exit status 3.
        QVERIFY(writeFile(QDir(folder).filePath(QStringLiteral("library.json")), "{\"format\": 1,\n\"images\": [\n7]}"));
        const Printed damaged = runLibrary({u"library"_qs, u"list"_qs, u"--library"_qs, folder});
        QCOMPARE(damaged.status, 3);
        QVERIFY2(damaged.err.contains(u"library.json line 3: image 1 is not an object"_qs), qPrintable(damaged.err));
        QVERIFY(damaged.out.isEmpty());
    }

    void helpNamesTheJsonFields_data()
    {
        QTest::addColumn<QString>("verb");
        QTest::addColumn<int>("goldenLine"); // of golden/library.json: an object the verb writes
        QTest::newRow("list") << u"list"_qs << 1; // an image with a note
        QTest::newRow("add") << u"add"_qs << 1;
        QTest::newRow("remove") << u"remove"_qs << 1;
        QTest::newRow("check") << u"check"_qs << 3;
    }

    void helpNamesTheJsonFields()
    {
        QFETCH(QString, verb);
        QFETCH(int, goldenLine);
        QFile golden(QStringLiteral(TARVINO_CLI_GOLDEN_DIR "/library.json"));
        QVERIFY(golden.open(QIODevice::ReadOnly));
        const QJsonObject object = QJsonDocument::fromJson(golden.readAll().split('\n').at(goldenLine)).object();
        QVERIFY(!object.isEmpty());
        const TParsedCommandLine parsed = ParseCommandLine({u"library"_qs, verb, u"--help"_qs}, {false, {}});
        const QString fields = parsed.output.mid(parsed.output.indexOf(u"JSON fields"_qs)).simplified();
        QVERIFY2(fields.startsWith(u"JSON fields, one object per image:"_qs), qPrintable(parsed.output));
        for (const QString &key : object.keys())
            QVERIFY2(fields.contains(QRegularExpression(u"\\b"_qs + key + u"\\b"_qs)), qPrintable(key + u": "_qs + fields));
    }

    void removeTakesTheImageOut()
    {
        const QString folder = m_dir.filePath(QStringLiteral("remove-library"));
        QCOMPARE(runLibrary({u"library"_qs, u"add"_qs, m_image, u"--component"_qs, u"board"_qs, u"--type"_qs,
                             u"Palimor P3"_qs, u"--version"_qs, u"3.4.1"_qs, u"--library"_qs, folder})
                     .status,
                 0);
        const QString file = QDir(folder).filePath(QStringLiteral("p3-board-3.4.1.bin"));
        const Printed removed = runLibrary({u"library"_qs, u"remove"_qs, u"p3-board-3.4.1.bin"_qs, u"--json"_qs,
                                            u"--library"_qs, folder});
        QCOMPARE(removed.status, 0);
        const QJsonObject image = QJsonDocument::fromJson(removed.out.toUtf8()).object();
        QCOMPARE(image.value(u"verb"_qs).toString(), u"library remove"_qs);
        QCOMPARE(image.value(u"version"_qs).toString(), u"3.4.1"_qs);
        QVERIFY(!QFile::exists(file));
        const Printed list = runLibrary({u"library"_qs, u"list"_qs, u"--library"_qs, folder});
        QVERIFY2(list.out.startsWith(u"0 images in "_qs), qPrintable(list.out));

        // A name the library does not hold: exit status 1, the manifest as it was.
        const QByteArray manifest = [&] {
            QFile f(QDir(folder).filePath(QStringLiteral("library.json")));
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        const Printed again = runLibrary({u"library"_qs, u"remove"_qs, u"p3-board-3.4.1.bin"_qs, u"--library"_qs, folder});
        QCOMPARE(again.status, 1);
        QVERIFY2(again.err.contains(u"no image named p3-board-3.4.1.bin. The library is unchanged."_qs), qPrintable(again.err));
        QFile after(QDir(folder).filePath(QStringLiteral("library.json")));
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), manifest);
    }

    void noLibraryAnywhere()
    {
        // Neither --library, nor TARVINO_LIBRARY, nor the window's setting.
        const Printed printed = runLibrary({u"library"_qs, u"list"_qs});
        QCOMPARE(printed.status, 2);
        QVERIFY2(printed.err.contains(u"No firmware library"_qs), qPrintable(printed.err));
        TFirmwareLibrary::rememberFolder(m_dir.filePath(QStringLiteral("remembered")));
        QCOMPARE(TFirmwareLibrary::folderFor({}), m_dir.filePath(QStringLiteral("remembered")));
        qputenv("TARVINO_LIBRARY", "/from/environment");
        QCOMPARE(TFirmwareLibrary::folderFor({}), u"/from/environment"_qs);
        QCOMPARE(TFirmwareLibrary::folderFor(u"/given"_qs), u"/given"_qs);
        qputenv("TARVINO_LIBRARY", QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestCliLibrary)
#include "tst_cli_library.moc"
