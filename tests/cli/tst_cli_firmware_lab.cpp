// tarvino-cli plan and apply against the simulator in the lab: 30 devices of three types, a
// firmware library with images for two of them. plan sends nothing but the scan; apply brings
// each device of those two types to the library's newest image of its own type (controllers, then
// boards, each device seen again after its upgrade), skips and tells the third, never sends an image to a device of another type (the
// simulator's journal shows what each device received), and records the library's version and
// SHA-256 of each image in the history; a second apply changes nothing. upgrade-controller checks
// its FILE against the same library by its bytes: an image of another component or type, under any
// name, is sent to nobody.
#include "clirun.h"
#include "labsim.h"
#include "fleet/history/operationjournal.h"
#include "protocol/wire.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

namespace {
constexpr int Devices = 30;

// The three types by device index: ten of each.
enum class Kind { P3, P4, X1 };
Kind kindOf(int index)
{
    return index < 10 ? Kind::P3 : index < 20 ? Kind::P4 : Kind::X1;
}

const QString P3Image = QStringLiteral("p3-board-4.0.0.bin");
const QString P4Image = QStringLiteral("p4-board-4.1.0.bin");
const QString P4Controller = QStringLiteral("p4-controller-2.4.bin");

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QByteArray imageBytes(const QString &name, int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    const QByteArray seed = name.toLatin1();
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + seed.at(i % seed.size())) & 0xFF);
    return bytes;
}

int indexOf(const QString &ip)
{
    for (int i = 0; i < Devices; ++i)
        if (LabSimulator::deviceIp(i) == ip)
            return i;
    return -1;
}

// The keys of each kind of line (by the value of kindKey) of a reference output: a key renamed or
// lost fails whatever the program's own code says.
QHash<QString, QStringList> goldenKeys(const QString &file, const QString &kindKey)
{
    QHash<QString, QStringList> keys;
    QFile golden(QStringLiteral(TARVINO_CLI_GOLDEN_DIR "/") + file);
    if (!golden.open(QIODevice::ReadOnly))
        return keys;
    for (const QByteArray &line : golden.readAll().split('\n'))
        if (!line.isEmpty()) {
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            if (!keys.contains(object.value(kindKey).toString())) // the first of each kind
                keys.insert(object.value(kindKey).toString(), object.keys());
        }
    return keys;
}

// What reached a device beyond the discovery: board commands, bus frames, files stored.
bool isChange(const QJsonObject &line)
{
    if (line.value(u"event"_qs).toString() == u"stored")
        return true;
    const int port = line.value(u"port"_qs).toInt();
    if (!line.contains(u"port"_qs) || line.contains(u"event"_qs))
        return false;
    return port == Wire::BusPort || (port == Wire::DevicePort && line.value(u"cmd"_qs).toInt() > 1)
        || line.contains(u"ftp"_qs);
}
} // namespace

class TestCliFirmwareLab : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_library;
    QHash<QString, QString> m_sha; // by image file

    CliRun run(const QStringList &arguments, int timeoutMs = 120000)
    {
        return RunCli(arguments, m_dir.filePath(QStringLiteral("data")), {timeoutMs, {}, {}, {}});
    }

    bool addImage(const QString &name, const char *component, const char *type, const char *version, int size)
    {
        const QString source = m_dir.filePath(QStringLiteral("incoming/") + name);
        QDir().mkpath(QFileInfo(source).absolutePath());
        QFile file(source);
        const QByteArray bytes = imageBytes(name, size);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return false;
        file.close();
        m_sha.insert(name, sha256(bytes));
        const CliRun added = run({u"library"_qs, u"add"_qs, source, u"--component"_qs, QLatin1String(component), u"--type"_qs,
                                  QLatin1String(type), u"--version"_qs, QLatin1String(version), u"--library"_qs, m_library});
        if (added.exitCode != 0)
            qWarning("%s", added.err.constData());
        return added.exitCode == 0;
    }

    // The three types' devices in the lab, with the faults given.
    static bool startSim(std::optional<LabSimulator> &sim, const QStringList &faults = {})
    {
        sim.emplace();
        const bool started = sim->start(Devices, QStringList{u"--type"_qs, u"198.18.1.1-198.18.1.10=Palimor P3@0x000B1156"_qs,
                                                             u"--type"_qs, u"198.18.1.11-198.18.1.20=Palimor P4@0x000B1156"_qs,
                                                             u"--type"_qs, u"198.18.1.21-198.18.1.30=Orvane X1@0x000C3001"_qs}
                                                     + faults);
        if (!started)
            qWarning("%s", qPrintable(sim->errorString()));
        return started;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(LabSimulator::inLab(), "talks to simulated devices: run it inside the lab (ctest does)");
        QVERIFY(m_dir.isValid());
        m_library = m_dir.filePath(QStringLiteral("library"));
        QVERIFY(addImage(P3Image, "board", "Palimor P3", "4.0.0", 4000));
        QVERIFY(addImage(P4Image, "board", "palimor p4", "4.1.0", 3000));
        QVERIFY(addImage(P4Controller, "controller", "Palimor P4", "2.4", 600));
    }

    void planThenApplyThenApplyAgain()
    {
        std::optional<LabSimulator> sim;
        QVERIFY(startSim(sim));

        // plan: every device and component told, nothing sent but the scan.
        const CliRun plan = run({u"plan"_qs, u"--library"_qs, m_library, u"--json"_qs, u"--wait"_qs, u"1"_qs});
        QVERIFY2(plan.exitCode == 0, plan.err.constData());
        QVERIFY2(SchemaFaults(plan.out).isEmpty(), qPrintable(SchemaFaults(plan.out)));
        QCOMPARE(plan.jsonLines().size(), 2 * Devices);
        const QHash<QString, QStringList> planKeys = goldenKeys(u"plan.json"_qs, u"action"_qs);
        QVERIFY(planKeys.contains(u"upgrade"_qs) && planKeys.contains(u"skipped"_qs));
        for (const QJsonObject &step : plan.jsonLines()) {
            const int index = indexOf(step.value(u"ip"_qs).toString());
            QVERIFY(index >= 0);
            const bool board = step.value(u"component"_qs).toString() == u"board";
            const QString action = step.value(u"action"_qs).toString();
            QCOMPARE(step.keys(), planKeys.value(action));
            const QString file = step.value(u"file"_qs).toString();
            switch (kindOf(index)) {
            case Kind::P3:
                QCOMPARE(action, board ? u"upgrade"_qs : u"skipped"_qs);
                QCOMPARE(file, board ? P3Image : QString());
                break;
            case Kind::P4:
                QCOMPARE(action, u"upgrade"_qs);
                QCOMPARE(file, board ? P4Image : P4Controller);
                break;
            case Kind::X1:
                QCOMPARE(action, u"skipped"_qs);
                QVERIFY(step.value(u"file"_qs).isNull());
                QVERIFY2(step.value(u"reason"_qs).toString().startsWith(board ? u"no board image for this type (Orvane X1"_qs
                                                                             : u"no controller image for this type"_qs),
                         qPrintable(step.value(u"reason"_qs).toString()));
                break;
            }
        }
        const QList<QJsonObject> planned = sim->journal();
        QVERIFY(!std::any_of(planned.begin(), planned.end(), isChange));

        // Devices named, one of them silent: it is told, and the exit status says so.
        const CliRun named = run({u"plan"_qs, u"--library"_qs, m_library, u"--json"_qs, u"--wait"_qs, u"1"_qs,
                                  u"--components"_qs, u"board"_qs, LabSimulator::deviceIp(Devices), LabSimulator::deviceIp(0)});
        QCOMPARE(named.exitCode, 1);
        QCOMPARE(named.jsonLines().size(), 2);
        QCOMPARE(named.jsonLines().at(0).value(u"action"_qs).toString(), u"skipped"_qs);
        QCOMPARE(named.jsonLines().at(0).value(u"reason"_qs).toString(),
                 LabSimulator::deviceIp(Devices) + u" did not answer the scan: its type and version are not known"_qs);
        QCOMPARE(named.jsonLines().at(1).value(u"action"_qs).toString(), u"upgrade"_qs);
        QCOMPARE(named.jsonLines().at(1).value(u"component"_qs).toString(), u"board"_qs);

        // apply, controllers: the P4 devices' brought up to date, told as each answers again.
        const QHash<QString, QStringList> applyKeys = goldenKeys(u"apply.json"_qs, u"result"_qs);
        QVERIFY(applyKeys.contains(u"succeeded"_qs) && applyKeys.contains(u"skipped"_qs));
        auto checkApplied = [&](const CliRun &apply, const QString &component) {
            QVERIFY2(apply.exitCode == 0, (apply.out + apply.err).constData());
            QVERIFY2(SchemaFaults(apply.out).isEmpty(), qPrintable(SchemaFaults(apply.out)));
            QCOMPARE(apply.jsonLines().size(), Devices);
            for (const QJsonObject &line : apply.jsonLines()) {
                const int index = indexOf(line.value(u"ip"_qs).toString());
                QCOMPARE(line.keys(), applyKeys.value(line.value(u"result"_qs).toString()));
                QCOMPARE(line.value(u"component"_qs).toString(), component);
                const bool board = component == u"board";
                const QString file = board ? (kindOf(index) == Kind::P3 ? P3Image : P4Image) : P4Controller;
                if (kindOf(index) == Kind::X1 || (kindOf(index) == Kind::P3 && !board)) {
                    QCOMPARE(line.value(u"result"_qs).toString(), u"skipped"_qs);
                    continue;
                }
                QVERIFY2(line.value(u"result"_qs).toString() == u"succeeded"_qs, qPrintable(line.value(u"message"_qs).toString()));
                QCOMPARE(line.value(u"file"_qs).toString(), file);
                QCOMPARE(line.value(u"sha256"_qs).toString(), m_sha.value(file));
            }
        };
        const CliRun controllers = run({u"apply"_qs, u"--library"_qs, m_library, u"--components"_qs, u"controller"_qs,
                                        u"--json"_qs, u"--yes"_qs, u"--wait"_qs, u"1"_qs, u"--jobs"_qs, u"10"_qs,
                                        u"--timeout"_qs, u"0.5"_qs});
        checkApplied(controllers, u"controller"_qs);
        if (QTest::currentTestFailed())
            return;
        // A controller image only for P4: the bus of any other device is never written.
        for (const QJsonObject &line : sim->journal())
            if (isChange(line))
                QVERIFY2(kindOf(indexOf(line.value(u"device"_qs).toString())) == Kind::P4,
                         QJsonDocument(line).toJson(QJsonDocument::Compact).constData());

        // apply, boards: an upgraded board must restart (miss the scans that follow its upgrade)
        // and answer again. The simulator's board restarts when it is deaf to the discoveries
        // after the apply's own scan (its two pulses) for a few of the job's rounds.
        sim.reset();
        QVERIFY(startSim(sim, {u"--fault"_qs, u"198.18.1.1-198.18.1.20:silent@52389@cmd=1@from=3@count=6"_qs}));
        const CliRun boards = run({u"apply"_qs, u"--library"_qs, m_library, u"--components"_qs, u"board"_qs, u"--json"_qs,
                                   u"--yes"_qs, u"--wait"_qs, u"1"_qs, u"--jobs"_qs, QString::number(Devices),
                                   u"--timeout"_qs, u"0.5"_qs});
        checkApplied(boards, u"board"_qs);
        if (QTest::currentTestFailed())
            return;

        // What each device received: its own type's images, nothing at all for the third type.
        for (const QJsonObject &line : sim->journal()) {
            if (!isChange(line))
                continue;
            const int index = indexOf(line.value(u"device"_qs).toString());
            QVERIFY2(kindOf(index) != Kind::X1 && line.value(u"port"_qs).toInt() != Wire::BusPort,
                     QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
            if (line.value(u"event"_qs).toString() == u"stored")
                QCOMPARE(line.value(u"sha256"_qs).toString().toLower(), m_sha.value(kindOf(index) == Kind::P3 ? P3Image : P4Image));
        }
        for (int i = 0; i < Devices; ++i) {
            const QJsonObject state = sim->deviceState(i);
            QCOMPARE(state.value(u"installedImage"_qs).toString(),
                     kindOf(i) == Kind::X1 ? QString() : kindOf(i) == Kind::P3 ? P3Image : P4Image);
        }

        // The history: each image's library version and SHA-256, and each device seen again.
        const QList<TJournalEntry> history =
            TOperationJournal(m_dir.filePath(QStringLiteral("data/tarvino/history.jsonl"))).read();
        int recorded = 0;
        int foundAgain = 0;
        for (const TJournalEntry &entry : history) {
            if (entry.outcome != u"succeeded")
                continue;
            const QString file = QFileInfo(entry.file).fileName();
            QVERIFY2(m_sha.contains(file), qPrintable(entry.file));
            QCOMPARE(entry.fileSha256.toLower(), m_sha.value(file));
            if (entry.operation.endsWith(u": found again"_qs)) {
                ++foundAgain;
                continue;
            }
            ++recorded;
            QCOMPARE(entry.imageVersion, file == P3Image ? u"4.0.0"_qs : file == P4Image ? u"4.1.0"_qs : u"2.4"_qs);
        }
        QCOMPARE(recorded, 30); // 20 boards, 10 controllers
        QCOMPARE(foundAgain, 30);

        // A second apply: every device current or skipped, nothing sent but the scan.
        const qsizetype before = sim->journal().size();
        const CliRun again = run({u"apply"_qs, u"--library"_qs, m_library, u"--yes"_qs, u"--wait"_qs, u"1"_qs});
        QVERIFY2(again.exitCode == 0, again.out.constData());
        QVERIFY2(again.out.contains("0 upgraded, 30 unchanged, 30 skipped, 0 failed"), again.out.constData());
        QVERIFY2(again.out.contains("no board image for this type (Orvane X1 (0x000C3001))"), again.out.constData());
        const QList<QJsonObject> after = sim->journal().mid(before);
        QVERIFY(!std::any_of(after.begin(), after.end(), isChange));
    }

    // upgrade-controller FILE to one device: whatever its path, an image the library has goes only
    // to its own component and types; nothing at all is sent otherwise.
    void upgradeControllerChecksTheLibrary_data()
    {
        QTest::addColumn<QString>("image");  // a library file, or "copy:" and a library file copied outside
        QTest::addColumn<int>("device");     // 0: a Palimor P3, 1: a Palimor P4
        QTest::addColumn<bool>("accepted");
        QTest::newRow("a board image") << P4Image << 1 << false;
        QTest::newRow("another type's controller image") << P4Controller << 0 << false;
        QTest::newRow("that image renamed, outside the library") << u"copy:"_qs + P4Controller << 0 << false;
        QTest::newRow("the type's own controller image") << P4Controller << 1 << true;
    }

    void upgradeControllerChecksTheLibrary()
    {
        QFETCH(QString, image);
        QFETCH(int, device);
        QFETCH(bool, accepted);
        LabSimulator sim;
        QVERIFY2(sim.start(2, {u"--type"_qs, u"0=Palimor P3@0x000B1156"_qs, u"--type"_qs, u"1=Palimor P4@0x000B1156"_qs}),
                 qPrintable(sim.errorString()));
        QString path = QDir(m_library).filePath(image);
        if (image.startsWith(u"copy:"_qs)) {
            const QString original = QDir(m_library).filePath(image.mid(5));
            path = m_dir.filePath(u"elsewhere/newest-controller.bin"_qs);
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile::remove(path);
            QVERIFY(QFile::copy(original, path));
        }
        const QString sha = m_sha.value(QFileInfo(image.mid(image.indexOf(u':') + 1)).fileName());
        const CliRun upgrade = run({u"upgrade-controller"_qs, LabSimulator::deviceIp(device), path, u"--library"_qs, m_library,
                                    u"--json"_qs, u"--yes"_qs, u"--wait"_qs, u"1"_qs});
        const QList<QJsonObject> lines = upgrade.jsonLines();
        QVERIFY2(lines.size() == 1, (upgrade.out + upgrade.err).constData());
        QVERIFY2(SchemaFaults(upgrade.out).isEmpty(), qPrintable(SchemaFaults(upgrade.out)));
        const QJsonObject line = lines.first();
        QCOMPARE(line.value(u"ip"_qs).toString(), LabSimulator::deviceIp(device));
        QCOMPARE(line.value(u"sha256"_qs).toString(), sha);
        const QJsonObject controller = sim.deviceState(device).value(u"controller"_qs).toObject();
        if (!accepted) {
            QVERIFY2(upgrade.exitCode != 0, upgrade.out.constData());
            QCOMPARE(line.value(u"result"_qs).toString(), u"failed"_qs);
            QCOMPARE(line.value(u"error"_qs).toString(), u"fileError"_qs);
            // Neither a bus frame nor an upload reached either device.
            for (const QJsonObject &received : sim.journal())
                QVERIFY2(!isChange(received), QJsonDocument(received).toJson(QJsonDocument::Compact).constData());
            QCOMPARE(controller.value(u"updateModeCount"_qs).toInt(), 0);
            return;
        }
        QVERIFY2(upgrade.exitCode == 0, (upgrade.out + upgrade.err).constData());
        QCOMPARE(line.value(u"result"_qs).toString(), u"succeeded"_qs);
        QVERIFY(line.value(u"error"_qs).isNull());
        QCOMPARE(line.value(u"file"_qs).toString(), path);
        QCOMPARE(controller.value(u"updateImageSha256"_qs).toString().toLower(), sha);
    }
};

QTEST_GUILESS_MAIN(TestCliFirmwareLab)
#include "tst_cli_firmware_lab.moc"
