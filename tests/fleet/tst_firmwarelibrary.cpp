// The firmware library without devices: versions, the manifest read whole or refused with its
// line and reason, written by replacing the file, images checked against their SHA-256, which
// image fits which device type, the compliance texts, the plan, and an upgrade refusing a library
// image of another type before it sends anything.
#include "operations/boardupgrade.h"
#include "operations/controlleroperations.h"
#include "fleet/devicefields.h"
#include "fleet/firmware/compliance.h"
#include "fleet/firmware/controllerhistory.h"
#include "fleet/firmware/firmwarelibrary.h"
#include "fleet/firmware/firmwareplan.h"
#include "fleet/firmware/firmwareversion.h"
#include "fleet/history/operationjournal.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "protocol/wire.h"
#include "protocol/sha256text.h"

#include <QDir>
#include <QFile>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <sys/stat.h>

namespace {
TDeviceRecord device(const QString &ip, const QByteArray &type, qint64 code, const QByteArray &firmware, quint64 mac = 0)
{
    TDeviceRecord d;
    d.IpText = ip;
    d.Mac = mac;
    d.Params.set(Wire::Param::TypeText, type);
    d.Params.set(Wire::Param::TypeCode, code);
    if (!firmware.isEmpty())
        d.Params.set(Wire::Param::FirmwareVersion, firmware);
    return d;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

quint64 inodeOf(const QString &path)
{
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? quint64(status.st_ino) : 0;
}

const QString Sha = QStringLiteral("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");

// A manifest of one good image, with a line to replace by the row's.
QByteArray manifestWith(const QByteArray &imageLines)
{
    return "{\n"
           "  \"format\": 1,\n"
           "  \"images\": [\n"
           "    {\n" + imageLines + "\n"
           "    }\n"
           "  ]\n"
           "}\n";
}

const QByteArray GoodImage = "      \"file\": \"p3.bin\",\n"                      // line 5
                             "      \"component\": \"board\",\n"                    // line 6
                             "      \"types\": [\"Palimor P3\"],\n"                 // line 7
                             "      \"version\": \"3.4.1\",\n"                      // line 8
                             "      \"sha256\": \"" + Sha.toLatin1() + "\"";         // line 9
} // namespace

class TestFirmwareLibrary : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_folder;
    int m_run = 0;

    // A library folder of its own for each test function and row.
    QString freshFolder()
    {
        const QString folder = m_dir.filePath(QStringLiteral("lib%1").arg(++m_run));
        QDir().mkpath(folder);
        return folder;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void versionsCompare_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order"); // 2: no order (not a version)
        QTest::newRow("equal") << "3.3.1" << "3.3.1" << 0;
        QTest::newRow("missing part is 0") << "3.3" << "3.3.0" << 0;
        QTest::newRow("patch") << "3.3.1" << "3.3.2" << -1;
        QTest::newRow("numbers not text") << "3.10" << "3.9" << 1;
        QTest::newRow("leading zeros") << "3.04" << "3.4" << 0;
        QTest::newRow("longer is newer") << "3.3.0.1" << "3.3" << 1;
        QTest::newRow("huge part") << "3.123456789012345678901" << "3.99" << 1;
        QTest::newRow("release after pre-release") << "3.3.1" << "3.3.1-rc2" << 1;
        QTest::newRow("two tails as text") << "3.3.1-rc1" << "3.3.1-rc2" << -1;
        QTest::newRow("tail does not beat numbers") << "3.3.1-rc9" << "3.3.2" << -1;
        QTest::newRow("spaces ignored") << " 3.3.1 " << "3.3.1" << 0;
        QTest::newRow("empty") << "" << "3.3.1" << 2;
        QTest::newRow("word") << "beta" << "3.3.1" << 2;
        QTest::newRow("v prefix") << "v3.3.1" << "3.3.1" << 2;
    }
    void versionsCompare()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        const std::optional<int> forward = CompareVersions(a, b);
        const std::optional<int> backward = CompareVersions(b, a);
        if (order == 2) {
            QVERIFY(!forward);
            QVERIFY(!backward);
            return;
        }
        QVERIFY(forward && backward);
        QCOMPARE(*forward, order);
        QCOMPARE(*backward, -order);
    }

    void manifestRoundTrip()
    {
        const QString folder = freshFolder();
        const QString source = m_dir.filePath(QStringLiteral("p3-board-3.4.1.bin"));
        QVERIFY(writeFile(source, QByteArray(3000, 'x')));
        const QString second = m_dir.filePath(QStringLiteral("ctl-2.4.bin"));
        QVERIFY(writeFile(second, QByteArray(700, '\x5a')));

        TFirmwareLibrary library(folder);
        QString error;
        QVERIFY2(library.load(&error), qPrintable(error)); // no manifest yet: an empty library
        const auto added = library.add(source, TFirmwareComponent::Board, {QStringLiteral("Palimor P3")}, QStringLiteral("3.4.1"),
                                       QStringLiteral("first"), &error);
        QVERIFY2(added, qPrintable(error));
        QCOMPARE(added->sha256, Sha256Text(QByteArray(3000, 'x')).toLower());
        QCOMPARE(QFile(library.imagePath(*added)).size(), 3000); // copied into the folder
        const quint64 before = inodeOf(library.manifestPath());
        QVERIFY2(library.add(second, TFirmwareComponent::Controller, {QStringLiteral("0x000B1156"), QStringLiteral("Orvane Z9")},
                             QStringLiteral("2.4"), {}, &error),
                 qPrintable(error));
        // Written by replacing the file whole, nothing left beside it.
        QVERIFY(inodeOf(library.manifestPath()) != before);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 (QStringList{QStringLiteral("ctl-2.4.bin"), QStringLiteral("library.json"), QStringLiteral("p3-board-3.4.1.bin")}));

        TFirmwareLibrary again(folder);
        QVERIFY2(again.load(&error), qPrintable(error));
        QCOMPARE(again.images(), library.images());
        QCOMPARE(again.check().size(), 2);
        QVERIFY(again.check().at(0).ok && again.check().at(1).ok);

        // The same name again is refused, and the library stays as it was.
        QVERIFY(!again.add(source, TFirmwareComponent::Board, {QStringLiteral("Palimor P4")}, QStringLiteral("3.5"), {}, &error));
        QVERIFY2(error.contains(QLatin1String("already has an image named p3-board-3.4.1.bin")), qPrintable(error));
        QCOMPARE(again.images().size(), 2);

        QVERIFY2(again.remove(QStringLiteral("ctl-2.4.bin"), true, &error), qPrintable(error));
        TFirmwareLibrary third(folder);
        QVERIFY(third.load(&error));
        QCOMPARE(third.images().size(), 1);
        QVERIFY(!QFile::exists(QDir(folder).filePath(QStringLiteral("ctl-2.4.bin"))));
    }

    void unknownFieldsAreKept()
    {
        const QString folder = freshFolder();
        QByteArray text = manifestWith(GoodImage + ",\n      \"signedBy\": {\"key\": 7}");
        text.replace("\"format\": 1,", "\"format\": 1, \"site\": \"North\",");
        QVERIFY(writeFile(QDir(folder).filePath(QStringLiteral("library.json")), text));
        TFirmwareLibrary library(folder);
        QString error;
        QVERIFY2(library.load(&error), qPrintable(error));
        QVERIFY(library.save(&error));
        QFile written(library.manifestPath());
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QJsonObject top = QJsonDocument::fromJson(written.readAll()).object();
        QCOMPARE(top.value(u"site"_qs).toString(), u"North"_qs);
        QCOMPARE(top.value(u"images"_qs).toArray().at(0).toObject().value(u"signedBy"_qs).toObject().value(u"key"_qs).toInt(), 7);
    }

    void damagedManifestRefused_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("reason");
        const QByteArray good = manifestWith(GoodImage);
        auto with = [&](const char *from, const char *to) { return QByteArray(good).replace(from, to); };
        QTest::newRow("not JSON") << with("\"version\": \"3.4.1\",", "\"version\": 3.4.1,") << 8 << "not JSON";
        QTest::newRow("cut short") << good.left(good.size() / 2) << 0 << "not JSON";
        QTest::newRow("not an object") << QByteArray("[1, 2]") << 1 << "expected an object";
        QTest::newRow("no format") << with("\"format\": 1,", "") << 1 << "no \"format\"";
        QTest::newRow("newer format") << with("\"format\": 1,", "\"format\": 2,") << 2 << "format 2 is of a newer Tarvino";
        QTest::newRow("images not a list") << QByteArray("{\"format\": 1,\n\"images\": {}}") << 2 << "\"images\" is not a list";
        QTest::newRow("image not an object") << QByteArray("{\"format\": 1, \"images\": [\n\n  \"p3.bin\"]}") << 3
                                             << "image 1 is not an object";
        QTest::newRow("number among images") << QByteArray("{\"format\": 1, \"images\": [\n{" + GoodImage.trimmed() + "},\n  123,\n true]}")
                                             << 7 << "image 2 is not an object";
        QTest::newRow("unknown component") << with("\"board\"", "\"borad\"") << 6 << "expected board or controller";
        QTest::newRow("component case") << with("\"board\"", "\"Board\"") << 6 << "expected board or controller";
        QTest::newRow("short sha256") << with(Sha.toLatin1().constData(), "9f86d0") << 9 << "expected 64 hexadecimal digits";
        QTest::newRow("not a version") << with("\"3.4.1\"", "\"beta\"") << 8 << "is not a version";
        QTest::newRow("version a number") << with("\"3.4.1\"", "3") << 8 << "\"version\" is not a text";
        QTest::newRow("no version") << with("      \"version\": \"3.4.1\",\n", "") << 4 << "has no \"version\"";
        QTest::newRow("no type") << with("[\"Palimor P3\"]", "[]") << 7 << "names no device type";
        QTest::newRow("empty type") << with("[\"Palimor P3\"]", "[\"Palimor P3\", \" \"]") << 7 << "is empty or not a name";
        QTest::newRow("type not a text") << with("[\"Palimor P3\"]", "[17]") << 7 << "not a text";
        QTest::newRow("folder in file") << with("\"p3.bin\"", "\"../p3.bin\"") << 5 << "without folders";
        QTest::newRow("manifest as image") << with("\"p3.bin\"", "\"library.json\"") << 5 << "the manifest itself";
        QTest::newRow("key twice") << with("      \"component\": \"board\",\n",
                                           "      \"component\": \"board\",\n      \"component\": \"controller\",\n")
                                   << 7 << "\"component\" is given twice";
        const QByteArray twice = "{\"format\": 1, \"images\": [\n{" + GoodImage.trimmed() + "},\n{" + GoodImage.trimmed() + "}\n]}";
        QTest::newRow("file twice") << twice << 7 << "p3.bin is listed twice (first on line 2)";
    }
    void damagedManifestRefused()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, line);
        QFETCH(QString, reason);
        const QString folder = freshFolder();
        QVERIFY(writeFile(QDir(folder).filePath(QStringLiteral("library.json")), text));
        TFirmwareLibrary library(folder);
        QString error;
        QVERIFY(!library.load(&error));
        QVERIFY(library.images().isEmpty()); // never half loaded
        QVERIFY2(error.contains(reason), qPrintable(error));
        QVERIFY2(error.contains(QLatin1String("library.json line ")), qPrintable(error));
        if (line > 0)
            QVERIFY2(error.contains(QStringLiteral("line %1:").arg(line)), qPrintable(error));
    }

    void changedImageRefused()
    {
        const QString folder = freshFolder();
        const QString source = m_dir.filePath(QStringLiteral("p4-board-3.5.0.bin"));
        QVERIFY(writeFile(source, QByteArray(100, 'a')));
        TFirmwareLibrary library(folder);
        QString error;
        const auto added = library.add(source, TFirmwareComponent::Board, {QStringLiteral("Palimor P4")}, QStringLiteral("3.5.0"), {}, &error);
        QVERIFY2(added, qPrintable(error));
        const auto image = library.readImage(*added, &error);
        QVERIFY2(image, qPrintable(error));
        QCOMPARE(image->libraryVersion(), u"3.5.0"_qs);
        QCOMPARE(image->deviceTypes(), QStringList{u"Palimor P4"_qs});

        QVERIFY(writeFile(library.imagePath(*added), QByteArray(100, 'b')));
        QVERIFY(!library.readImage(*added, &error));
        QVERIFY2(error.contains(QLatin1String("the file changed since it was added")), qPrintable(error));
        QVERIFY2(error.contains(Sha256Text(QByteArray(100, 'b')).toLower()), qPrintable(error));
        const QList<TImageCheck> checks = library.check();
        QCOMPARE(checks.size(), 1);
        QVERIFY(!checks.first().ok);
        QCOMPARE(checks.first().problem, error);

        QVERIFY(QFile::remove(library.imagePath(*added)));
        QVERIFY(!library.readImage(*added, &error));
        QVERIFY2(error.startsWith(QLatin1String("p4-board-3.5.0.bin: ")), qPrintable(error));
    }

    void imageFitsType_data()
    {
        QTest::addColumn<QStringList>("types");
        QTest::addColumn<QString>("deviceType");
        QTest::addColumn<qint64>("deviceCode");
        QTest::addColumn<bool>("fits");
        const QStringList p3{QStringLiteral("Palimor P3")};
        QTest::newRow("same name") << p3 << "Palimor P3" << qint64(0x000B1156) << true;
        QTest::newRow("case ignored") << p3 << "PALIMOR p3" << qint64(0x000B1156) << true;
        QTest::newRow("other type, same code") << p3 << "Palimor P4" << qint64(0x000B1156) << false;
        QTest::newRow("prefix is not the type") << p3 << "Palimor P3-S" << qint64(0x000B1156) << false;
        QTest::newRow("code") << QStringList{u"0x000C2001"_qs} << "XR-200 Gateway" << qint64(0x000C2001) << true;
        QTest::newRow("decimal code") << QStringList{u"786433"_qs} << "XR-200 Gateway" << qint64(0x000C0001) << true;
        QTest::newRow("other code") << QStringList{u"0x000C2001"_qs} << "XR-200 Gateway" << qint64(0x000C2002) << false;
        QTest::newRow("no code reported") << QStringList{u"0x000C2001"_qs} << "XR-200 Gateway" << qint64(-1) << false;
        QTest::newRow("a type unknown here") << QStringList{u"Orvane Z9"_qs} << "Palimor P3" << qint64(0x000B1156) << false;
        QTest::newRow("second of two") << QStringList{u"Orvane Z9"_qs, u"Palimor P3"_qs} << "Palimor P3" << qint64(0x000B1156)
                                       << true;
        QTest::newRow("no type reported") << p3 << "" << qint64(-1) << false;
    }
    void imageFitsType()
    {
        QFETCH(QStringList, types);
        QFETCH(QString, deviceType);
        QFETCH(qint64, deviceCode);
        QFETCH(bool, fits);
        const TDeviceTypeId type = TDeviceTypeId::of(device(u"198.18.1.1"_qs, deviceType.toUtf8(), deviceCode, "3.0.1"));
        TLibraryImage entry;
        entry.types = types;
        QCOMPARE(entry.fits(type), fits);
        TFirmwareImage image;
        QVERIFY(image.refusalFor(type).isEmpty()); // a file chosen by hand is not the library's to refuse
        image.setLibraryInfo(u"3.4.1"_qs, types);
        QCOMPARE(image.refusalFor(type).isEmpty(), fits);
    }

    void compliance_data()
    {
        QTest::addColumn<QString>("firmware");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("text");
        QTest::newRow("older") << "3.3.0" << QByteArray("Palimor P3") << int(TFirmwareState::UpdateAvailable)
                               << "update available 3.4.1";
        QTest::newRow("same") << "3.4.1" << QByteArray("Palimor P3") << int(TFirmwareState::UpToDate) << "up to date";
        QTest::newRow("same, fewer parts") << "3.4.1.0" << QByteArray("Palimor P3") << int(TFirmwareState::UpToDate) << "up to date";
        QTest::newRow("newer") << "3.5.0" << QByteArray("Palimor P3") << int(TFirmwareState::NewerThanLibrary)
                               << "newer than library";
        QTest::newRow("newest of two images") << "3.5.0" << QByteArray("Palimor P4") << int(TFirmwareState::UpdateAvailable)
                                              << "update available 3.6";
        QTest::newRow("no image") << "3.0.0" << QByteArray("XR-200 Gateway") << int(TFirmwareState::NoImage)
                                  << "no image for this type";
        QTest::newRow("no version reported") << "" << QByteArray("Palimor P3") << int(TFirmwareState::UpdateAvailable)
                                             << "update available 3.4.1";
        // A text that does not start with a digit has no order: never an update.
        QTest::newRow("letter first") << "R5.0" << QByteArray("Palimor P3") << int(TFirmwareState::CannotCompare)
                                      << "cannot compare (R5.0)";
        QTest::newRow("v prefix") << "v3.3.0" << QByteArray("Palimor P3") << int(TFirmwareState::CannotCompare)
                                  << "cannot compare (v3.3.0)";
        QTest::newRow("word") << "beta" << QByteArray("Palimor P4") << int(TFirmwareState::CannotCompare)
                              << "cannot compare (beta)";
        QTest::newRow("letter first, no image") << "R5.0" << QByteArray("XR-200 Gateway") << int(TFirmwareState::NoImage)
                                                << "no image for this type";
        QTest::newRow("digit first, odd tail") << "3.3.0-custom" << QByteArray("Palimor P3")
                                               << int(TFirmwareState::UpdateAvailable) << "update available 3.4.1";
    }
    void compliance()
    {
        QFETCH(QString, firmware);
        QFETCH(QByteArray, type);
        QFETCH(int, state);
        QFETCH(QString, text);
        TFirmwareLibrary library = libraryOfThree();
        const TDeviceRecord target = device(u"198.18.1.4"_qs, type, 0x000B1156, firmware.toUtf8());
        const TComponentCompliance board = BoardCompliance(library, target);
        QCOMPARE(int(board.state), state);
        QCOMPARE(board.text(), text);
        // The filter firmware:outdated: the board alone decides it, the history knowing no controller.
        QCOMPARE(DeviceCompliance(library, target, {}).outdated(), state == int(TFirmwareState::UpdateAvailable));
    }

    void controllerCompliance_data()
    {
        QTest::addColumn<QString>("historyVersion"); // empty: nothing in the history
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("outdated");
        QTest::newRow("written, current") << "2.4" << QByteArray("Palimor P4") << "controller image 2.4 written 2026-12-01" << false;
        QTest::newRow("written, older") << "2.3" << QByteArray("Palimor P4")
                                        << "controller image 2.3 written 2026-12-01, update available 2.4" << true;
        QTest::newRow("not known") << "" << QByteArray("Palimor P4") << "controller unknown" << false;
        QTest::newRow("no image, known") << "1.0" << QByteArray("Palimor P3") << "controller image 1.0 written 2026-12-01" << false;
        QTest::newRow("no image, not known") << "" << QByteArray("Palimor P3") << "controller unknown" << false;
        QTest::newRow("written, not a version") << "R2.3" << QByteArray("Palimor P4")
                                                << "controller image R2.3 written 2026-12-01" << false;
    }
    void controllerCompliance()
    {
        QFETCH(QString, historyVersion);
        QFETCH(QByteArray, type);
        QFETCH(QString, text);
        QFETCH(bool, outdated);
        TFirmwareLibrary library = libraryOfThree();
        const TDeviceRecord target = device(u"198.18.1.4"_qs, type, 0x000B1156, "3.6", 0x0050C2025CC4); // board current
        QList<TJournalEntry> entries;
        const QDateTime written(QDate(2026, 12, 1), QTime(10, 0));
        // Another device's upgrade, and a failed one of this device, do not count.
        entries << TJournalEntry{written, u"00:50:c2:02:5c:c9"_qs, u"198.18.1.9"_qs, {}, u"Controller upgrade"_qs, {}, {},
                                 u"succeeded"_qs, {}, {}};
        entries.last().imageVersion = u"9.9"_qs;
        if (!historyVersion.isEmpty()) {
            entries << TJournalEntry{written, u"00.50.C2.02.5C.C4"_qs, u"198.18.1.4"_qs, {}, u"Controller upgrade"_qs, {}, {},
                                     u"succeeded"_qs, {}, {}};
            entries.last().imageVersion = historyVersion;
            entries << TJournalEntry{written.addDays(1), u"00:50:c2:02:5c:c4"_qs, u"198.18.1.4"_qs, {},
                                     u"Controller upgrade"_qs, {}, {}, u"failed"_qs, {}, {}};
            entries.last().imageVersion = u"9.9"_qs;
        }
        const TDeviceCompliance compliance = DeviceCompliance(library, target, TControllerHistory(entries, &library));
        QCOMPARE(compliance.controller.text(), text);
        QCOMPARE(compliance.outdated(), outdated);
    }

    void controllerVersionFromSha256()
    {
        // A line written before the history knew versions: the library tells the version by the SHA-256.
        TFirmwareLibrary library = libraryOfThree();
        const TLibraryImage *image = library.newest(TFirmwareComponent::Controller, TDeviceTypeId{u"Palimor P4"_qs, 0x000B1156});
        QVERIFY(image);
        TJournalEntry entry{QDateTime(QDate(2026, 12, 1), QTime(9, 0)), {}, u"198.18.1.4"_qs, {}, u"Controller upgrade"_qs, {},
                            image->sha256.toUpper(), u"succeeded"_qs, {}, {}};
        const TControllerHistory history({entry}, &library);
        const auto written = history.lastWritten(device(u"198.18.1.4"_qs, "Palimor P4", 0x000B1156, "3.5.0"));
        QVERIFY(written);
        QCOMPARE(written->version, image->version);
    }

    void plan()
    {
        TFirmwareLibrary library = libraryOfThree();
        const QList<TDeviceRecord> devices{device(u"198.18.1.1"_qs, "Palimor P3", 0x000B1156, "3.0.0"),
                                  device(u"198.18.1.2"_qs, "Palimor P3", 0x000B1156, "3.4.1"),
                                  device(u"198.18.1.3"_qs, "Palimor P4", 0x000B1156, "9.0"),
                                  device(u"198.18.1.4"_qs, "XR-200 Gateway", 0x000C2001, "1.0")};
        const QList<TFirmwareStep> steps = PlanFirmware(library, devices, LibraryComponents(library), {});
        QStringList seen;
        for (const TFirmwareStep &step : steps)
            seen << QStringLiteral("%1 %2 %3 %4").arg(step.device.IpText, ComponentKey(step.component), step.actionKey(),
                                                      step.image ? step.image->file : u"-"_qs);
        QCOMPARE(seen, (QStringList{
                           u"198.18.1.1 controller skipped -"_qs,
                           u"198.18.1.1 board upgrade p3-3.4.1.bin"_qs,
                           u"198.18.1.2 controller skipped -"_qs,
                           u"198.18.1.2 board unchanged p3-3.4.1.bin"_qs,
                           u"198.18.1.3 controller upgrade ctl-2.4.bin"_qs, // the history knows nothing of it
                           u"198.18.1.3 board unchanged p4-3.6.bin"_qs,      // never a downgrade
                           u"198.18.1.4 controller skipped -"_qs,
                           u"198.18.1.4 board skipped -"_qs,
                       }));
        QCOMPARE(steps.last().reason, u"no board image for this type (XR-200 Gateway (0x000C2001))"_qs);
        QCOMPARE(steps.at(5).reason, u"newer than library (3.6)"_qs);
    }

    // Two copies of one library, as the window and tarvino-cli (or Ansible) each hold one: what one
    // adds or removes is never lost when the other changes the library next.
    void changesOfTwoCopiesAddUp_data()
    {
        QTest::addColumn<bool>("otherRemoves"); // the other copy removes an image instead of adding one
        QTest::newRow("both add") << false;
        QTest::newRow("one removes, the other adds") << true;
    }

    void changesOfTwoCopiesAddUp()
    {
        QFETCH(bool, otherRemoves);
        TFirmwareLibrary window = libraryOfThree(); // read before the other program's change
        TFirmwareLibrary cli(window.folder());
        QString error;
        QVERIFY2(cli.load(&error), qPrintable(error));
        const QString source = m_dir.filePath(QStringLiteral("late%1.bin").arg(m_run));
        writeFile(source, QByteArray(64, 'z'));
        if (otherRemoves)
            QVERIFY2(cli.remove(u"p4-3.6.bin"_qs, true, &error), qPrintable(error));
        else
            QVERIFY2(cli.add(source, TFirmwareComponent::Board, {u"Palimor P3"_qs}, u"3.9"_qs, {}, &error), qPrintable(error));
        const QString mine = m_dir.filePath(QStringLiteral("mine%1.bin").arg(m_run));
        writeFile(mine, QByteArray(64, 'm'));
        QVERIFY2(window.add(mine, TFirmwareComponent::Controller, {u"Palimor P3"_qs}, u"2.9"_qs, {}, &error), qPrintable(error));

        TFirmwareLibrary reread(window.folder());
        QVERIFY2(reread.load(&error), qPrintable(error));
        QStringList files;
        for (const TLibraryImage &image : reread.images())
            files << image.file;
        QVERIFY(files.contains(QFileInfo(mine).fileName()));
        QCOMPARE(files.contains(QFileInfo(source).fileName()), !otherRemoves);
        QCOMPARE(files.contains(u"p4-3.6.bin"_qs), !otherRemoves);
        QCOMPARE(window.images().size(), reread.images().size()); // the window's copy is the manifest now
    }

    void planBoardStep_data()
    {
        QTest::addColumn<QString>("firmware");
        QTest::addColumn<bool>("allowDowngrade");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("reason");
        QTest::newRow("older") << "3.3.0" << false << "upgrade" << "";
        QTest::newRow("older pre-release") << "3.4.1-rc1" << false << "upgrade" << "";
        QTest::newRow("not reported") << "" << false << "upgrade" << "version not known";
        QTest::newRow("same") << "3.4.1" << false << "unchanged" << "up to date";
        QTest::newRow("letter first") << "R5.0" << false << "skipped" << "cannot compare (R5.0)";
        QTest::newRow("v prefix") << "v3.3.0" << false << "skipped" << "cannot compare (v3.3.0)";
        QTest::newRow("space then letter") << " R5.0" << false << "skipped" << "cannot compare (R5.0)";
        QTest::newRow("newer: left as it is") << "3.5.0" << false << "unchanged" << "newer than library (3.4.1)";
        QTest::newRow("newer, downgrade asked for") << "3.5.0" << true << "upgrade" << "downgrade from 3.5.0 (asked for)";
        QTest::newRow("cannot compare, downgrade asked for") << "R5.0" << true << "skipped" << "cannot compare (R5.0)";
        QTest::newRow("same, downgrade asked for") << "3.4.1" << true << "unchanged" << "up to date";
    }
    void planBoardStep()
    {
        QFETCH(QString, firmware);
        QFETCH(bool, allowDowngrade);
        QFETCH(QString, action);
        QFETCH(QString, reason);
        TFirmwareLibrary library = libraryOfThree();
        const QList<TFirmwareStep> steps = PlanFirmware(library, {device(u"198.18.1.4"_qs, "Palimor P3", 0x000B1156, firmware.toUtf8())},
                                                        {TFirmwareComponent::Board}, {}, allowDowngrade);
        QCOMPARE(steps.size(), 1);
        QCOMPARE(steps.first().actionKey(), action);
        QCOMPARE(steps.first().reason, reason);
    }

    // The lowest place that knows both the image and the device: the upgrade itself refuses a
    // library image of another type, and sends nothing.
    void upgradeRefusesImageOfAnotherType_data()
    {
        QTest::addColumn<bool>("controller");
        QTest::addColumn<QString>("deviceType"); // "-": the caller gave none
        QTest::addColumn<bool>("sent");
        QTest::newRow("board, other type") << false << "Palimor P4" << false;
        QTest::newRow("board, no type given") << false << "-" << false;
        QTest::newRow("controller, other type") << true << "Palimor P4" << false;
        QTest::newRow("board, its type") << false << "Palimor P3" << true;
    }
    void upgradeRefusesImageOfAnotherType()
    {
        QFETCH(bool, controller);
        QFETCH(QString, deviceType);
        QFETCH(bool, sent);
        StartupInit();
        QUdpSocket peer; // the device: it only listens
        QVERIFY(peer.bind(QHostAddress(u"127.0.0.2"_qs), 0));
        TDatagramEngine::Options options;
        options.port = peer.localPort();
        options.waitUnitMs = 5; // the device never answers: the putting back after the cancel waits less
        options.bindAddresses = {QHostAddress(u"127.0.0.1"_qs).toIPv4Address()};
        TDatagramEngine engine(options);
        QVERIFY(!engine.boundAddresses().isEmpty());

        const QString file = m_dir.filePath(QStringLiteral("image-%1.bin").arg(++m_run));
        QVERIFY(writeFile(file, QByteArray(256, '\x11')));
        TFirmwareImage image = TFirmwareImage::read(file);
        image.setLibraryInfo(u"3.4.1"_qs, {u"Palimor P3"_qs});
        const TDeviceTarget target{u"127.0.0.2"_qs, TransportUdp};
        TOperationTiming timing;
        timing.arpTimeoutMs = 500;
        std::unique_ptr<TDeviceOperation> operation;
        const TDeviceTypeId type{deviceType, 0x000B1156};
        if (controller) {
            auto *upgrade = new TControllerUpgrade(&engine, target, image, timing);
            if (deviceType != u"-")
                upgrade->setDeviceType(type);
            operation.reset(upgrade);
        } else {
            auto *upgrade = new TBoardUpgrade(&engine, target, image, timing);
            if (deviceType != u"-")
                upgrade->setDeviceType(type);
            operation.reset(upgrade);
        }
        connect(operation.get(), &TDeviceOperation::confirmationRequested, this, [&] { operation->confirm(true); });
        // A fitting image goes out: once its first request reaches the device, the test stops it.
        connect(&peer, &QUdpSocket::readyRead, this, [&] { operation->cancel(); });
        const TOperationOutcome outcome = operation->exec();
        QCoreApplication::processEvents();
        QCOMPARE(peer.hasPendingDatagrams() || outcome.cancelled, sent);
        if (sent)
            return;
        QVERIFY(!outcome.succeeded);
        QCOMPARE(outcome.kind, TOperationError::FileError);
        QCOMPARE(outcome.failedStep, u"Image check"_qs);
        const QString expected = deviceType == u"-" ? u"did not report its type"_qs : u"is for Palimor P3, not for Palimor P4"_qs;
        QVERIFY2(outcome.message.contains(expected), qPrintable(outcome.message));
    }

    void historyKeepsImageVersion()
    {
        TOperationJournal journal(m_dir.filePath(QStringLiteral("history.jsonl")));
        TJournalEntry entry{QDateTime(QDate(2026, 12, 8), QTime(14, 2, 11), Qt::UTC), u"00:50:c2:02:5c:c1"_qs,
                            u"198.18.1.1"_qs, u"Pump-1"_qs, u"Communication board upgrade"_qs, u"p3-3.4.1.bin"_qs, Sha,
                            u"succeeded"_qs, {}, {}};
        entry.imageVersion = u"3.4.1"_qs;
        QString error;
        QVERIFY2(journal.append(entry, &error), qPrintable(error));
        const QList<TJournalEntry> read = journal.read();
        QCOMPARE(read.size(), 1);
        QCOMPARE(read.first().imageVersion, u"3.4.1"_qs);
        QCOMPARE(read.first().fileSha256, Sha);
    }

private:
    // Palimor P3: board 3.4.1; Palimor P4: board 3.5.0 and 3.6, controller 2.4; no image of XR-200.
    TFirmwareLibrary libraryOfThree()
    {
        const QString folder = freshFolder();
        TFirmwareLibrary library(folder);
        struct Image
        {
            const char *file;
            TFirmwareComponent component;
            const char *type;
            const char *version;
        };
        const Image images[] = {{"p3-3.4.1.bin", TFirmwareComponent::Board, "Palimor P3", "3.4.1"},
                                {"p4-3.6.bin", TFirmwareComponent::Board, "Palimor P4", "3.6"},
                                {"p4-3.5.0.bin", TFirmwareComponent::Board, "Palimor P4", "3.5.0"},
                                {"ctl-2.4.bin", TFirmwareComponent::Controller, "Palimor P4", "2.4"}};
        for (const Image &image : images) {
            const QString named = QDir(m_dir.filePath(QStringLiteral("src%1").arg(m_run))).filePath(QLatin1String(image.file));
            QDir().mkpath(QFileInfo(named).absolutePath());
            writeFile(named, QByteArray(64, image.file[1]) + image.version);
            QString error;
            if (!library.add(named, image.component, {QLatin1String(image.type)}, QLatin1String(image.version), {}, &error))
                qWarning("%s", qPrintable(error));
        }
        return library;
    }
};

QTEST_GUILESS_MAIN(TestFirmwareLibrary)
#include "tst_firmwarelibrary.moc"
