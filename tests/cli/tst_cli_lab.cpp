// tarvino-cli driven as a script drives it (no terminal: no prompt, no progress), against the
// simulator in the lab: what it lists, that what it reads and writes back is byte-exact, and that
// on a fleet each device gets its own outcome and the exit status tells whether all succeeded.
#include "clirun.h"
#include "operations/commandoperations.h"
#include "fleet/devicefields.h"
#include "labsim.h"
#include "fleet/history/operationjournal.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "testfiles.h"
#include "protocol/devicerecord.h"
#include "protocol/ipv4text.h"
#include "protocol/sha256text.h"
#include "fleet/history/unfinishedoperations.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <csignal>
#include <sys/types.h>

namespace {
// The program's data folder (its operation history) for this test run, not the user's.
QString dataHome;

QProcessEnvironment cliEnvironment()
{
    return CliEnvironment(dataHome);
}

CliRun runCli(const QStringList &arguments, int timeoutMs = 120000, const QByteArray &input = {},
              const QString &standardOutputFile = {})
{
    return RunCli(arguments, dataHome, {timeoutMs, input, standardOutputFile, {}});
}

// Whether tarvino-cli sent anything beyond the discovery: a bus frame or a board command.
bool commandsSent(const QList<QJsonObject> &requests)
{
    return std::any_of(requests.begin(), requests.end(), [](const QJsonObject &request) {
        return request.value(u"port"_qs).toInt() == Wire::BusPort || request.value(u"cmd"_qs).toInt() > 1;
    });
}

// Every byte value, in an order of the device's own.
QByteArray everyByteValue(int device)
{
    QByteArray bytes(512, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * (2 * device + 1) + device) & 0xFF);
    return bytes;
}
} // namespace

class TestCliLab : public QObject
{
    Q_OBJECT
    std::unique_ptr<LabSimulator> m_sim;
    QTemporaryDir m_dir;

    bool start(int devices, const QStringList &arguments = {})
    {
        m_sim = std::make_unique<LabSimulator>();
        if (!m_sim->start(devices, arguments)) {
            qWarning("%s", qPrintable(m_sim->errorString()));
            return false;
        }
        return true;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(LabSimulator::inLab(), "talks to simulated devices: run it inside the lab (ctest does)");
        QVERIFY(m_dir.isValid());
        dataHome = m_dir.filePath(QStringLiteral("data"));
    }

    void cleanup() { m_sim.reset(); }

    void scanListsEveryDeviceAsTheListShowsIt()
    {
        constexpr int Devices = 12;
        QVERIFY(start(Devices, {u"--seed"_qs, u"11"_qs}));
        const CliRun json = runCli({u"scan"_qs, u"--json"_qs, u"--wait"_qs, u"1.5"_qs});
        QCOMPARE(json.exitCode, 0);
        QCOMPARE(SchemaFaults(json.out), QString());
        const CliRun csv = runCli({u"scan"_qs, u"--csv"_qs, u"--wait"_qs, u"1.5"_qs});
        QCOMPARE(csv.exitCode, 0);

        // The engine's own reading of the same replies, as the window's list shows them.
        StartupInit();
        QList<TDeviceRecord> listed;
        {
            TDatagramEngine engine;
            TScanDevices scan(&engine, {2, 1000, 1500});
            QVERIFY(scan.exec().succeeded);
            listed = scan.devices();
        }
        QCOMPARE(listed.size(), Devices);

        const QList<QJsonObject> objects = json.jsonLines();
        const QList<QStringList> rows = ParseCsv(QString::fromUtf8(csv.out));
        QCOMPARE(objects.size(), Devices);
        QCOMPARE(rows.size(), Devices + 1);
        QCOMPARE(rows.first().join(u','), DeviceCsvHeader());
        for (const TDeviceRecord &device : listed) {
            const auto object = std::find_if(objects.begin(), objects.end(), [&](const QJsonObject &o) {
                return o.value(u"ip"_qs).toString() == device.IpText;
            });
            QVERIFY2(object != objects.end(), qPrintable(device.IpText));
            const auto row = std::find_if(rows.begin(), rows.end(),
                                          [&](const QStringList &r) { return r.value(3) == device.IpText; });
            QVERIFY(row != rows.end());
            QCOMPARE(object->keys().size(), DeviceFields().size() + 1); // and its "schema"
            QCOMPARE(object->value(u"schema"_qs).toInt(), 1);
            for (int i = 0; i < DeviceFields().size(); ++i) {
                const TDeviceField &field = DeviceFields().at(i);
                // Files and scripts get the MAC address in its canonical form, the list its own.
                const bool mac = qstrcmp(field.key, "mac") == 0;
                const QString text = mac ? CanonicalMacText(device.Mac) : field.text(device);
                QCOMPARE(row->value(i), text);
                if (field.inGrid) // the list's columns are texts
                    QCOMPARE(object->value(QLatin1String(field.key)).toString(), text);
            }
        }
    }

    void configurationRoundTripKeepsEveryByte()
    {
        constexpr int Devices = 4;
        QStringList arguments;
        for (int i = 0; i < Devices; ++i)
            arguments << u"--config-file"_qs
                      << QStringLiteral("%1=%2").arg(i).arg(WriteTestFileOrDie(m_dir.path(), QStringLiteral("given%1.cfg").arg(i),
                                                                               everyByteValue(i)));
        QVERIFY(start(Devices, arguments));
        const QString folder = m_dir.filePath(u"backup"_qs);
        const CliRun get = runCli({u"config"_qs, u"get"_qs, u"--all"_qs, u"--wait"_qs, u"1"_qs, u"--json"_qs,
                                   u"-o"_qs, folder});
        QCOMPARE(get.exitCode, 0);
        const QList<QJsonObject> outcomes = get.jsonLines();
        QCOMPARE(outcomes.size(), Devices);
        for (const QJsonObject &outcome : outcomes) {
            const int index = outcome.value(u"ip"_qs).toString().section(u'.', 3).toInt() - 1;
            QFile file(outcome.value(u"file"_qs).toString());
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
            const QByteArray saved = file.readAll();
            QCOMPARE(saved, everyByteValue(index));
            QCOMPARE(outcome.value(u"sha256"_qs).toString(), Sha256Text(saved));

            const CliRun put = runCli({u"config"_qs, u"put"_qs, LabSimulator::deviceIp(index), file.fileName(), u"--yes"_qs});
            QVERIFY2(put.exitCode == 0, put.out.constData());
            const QJsonObject controller = m_sim->deviceState(index).value(u"controller"_qs).toObject();
            QCOMPARE(controller.value(u"configurationHex"_qs).toString(), QString::fromLatin1(everyByteValue(index).toHex()));
            QCOMPARE(controller.value(u"configurationWrites"_qs).toInt(), 1);
        }
    }

    void fleetUpgradeTellsEachDevice()
    {
        constexpr int Devices = 50;
        constexpr int Silent = 7;
        QVERIFY(start(Devices, {u"--fault"_qs, QStringLiteral("%1:silent@52390").arg(Silent)}));
        const QByteArray image = RandomBytes(32 * 1024, 5);
        const QString path = WriteTestFileOrDie(m_dir.path(), u"fleet.bin"_qs, image);
        const CliRun run = runCli({u"upgrade-controller"_qs, u"--all"_qs, u"--wait"_qs, u"2"_qs, u"--jobs"_qs, u"8"_qs,
                                   u"--yes"_qs, u"--json"_qs, path},
                                  240000);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(SchemaFaults(run.out), QString()); // successes and failures alike
        const QList<QJsonObject> outcomes = run.jsonLines();
        QCOMPARE(outcomes.size(), Devices);
        for (const QJsonObject &outcome : outcomes) {
            const QString ip = outcome.value(u"ip"_qs).toString();
            const int index = int(TextToIp(ip) - TextToIp(LabSimulator::deviceIp(0)));
            const QJsonObject state = m_sim->deviceState(index);
            const QJsonObject controller = state.value(u"controller"_qs).toObject();
            QVERIFY(state.value(u"daemon"_qs).toBool() && !state.value(u"updater"_qs).toBool());
            if (index == Silent) {
                QCOMPARE(outcome.value(u"result"_qs).toString(), u"failed"_qs);
                QCOMPARE(outcome.value(u"message"_qs).toString(), u"Device not responding: Writing Code"_qs);
                QCOMPARE(controller.value(u"updateModeCount"_qs).toInt(), 0);
                continue;
            }
            QVERIFY2(outcome.value(u"result"_qs).toString() == u"succeeded",
                     qPrintable(ip + u": "_qs + outcome.value(u"message"_qs).toString()));
            QCOMPARE(controller.value(u"updateImageSha256"_qs).toString(), Sha256Text(image));
        }
        // The history has every device's outcome, the image's SHA-256 with each that was sent.
        const QList<TJournalEntry> history = TOperationJournal(dataHome + u"/tarvino/history.jsonl"_qs).read();
        QCOMPARE(std::count_if(history.begin(), history.end(), [&](const TJournalEntry &e) {
                     return e.operation == u"Controller upgrade" && e.fileSha256 == Sha256Text(image) && !e.mac.isEmpty()
                         && e.outcome == (e.ip == LabSimulator::deviceIp(Silent) ? u"failed" : u"succeeded");
                 }),
                 Devices);
    }

    // A failure is told with the window's message and the exit status; nothing reaches a device
    // after a usage error.
    void failuresAreTold_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("told"); // on standard error, or in the table
        QTest::addColumn<bool>("commandsSent");
        QTest::newRow("configuration, bus silent")
            << QStringList{u"config"_qs, u"get"_qs, u"198.18.1.1"_qs} << u"0:silent@52390"_qs << 1
            << u"Read Config Failed"_qs << true;
        QTest::newRow("ssh, device silent to it")
            << QStringList{u"ssh"_qs, u"198.18.1.1"_qs, u"--yes"_qs} << u"0:silent@cmd=9"_qs << 1 << u"FAILED"_qs << true;
        QTest::newRow("logs erase, bus silent: its own step")
            << QStringList{u"logs"_qs, u"erase"_qs, u"198.18.1.1"_qs, u"--yes"_qs} << u"0:silent@52390"_qs << 1
            << u"Erase Logs Failed"_qs << true;
        QTest::newRow("selection of none") << QStringList{u"reset"_qs, u"--name"_qs, u"Nobody*"_qs, u"--wait"_qs, u"1"_qs, u"--yes"_qs}
                                           << QString() << 4 << u"matches the selection"_qs << false;
        QTest::newRow("MAC that did not answer") << QStringList{u"ssh"_qs, u"02:00:00:00:00:01"_qs, u"--wait"_qs, u"1"_qs, u"-y"_qs}
                                                 << QString() << 4 << u"No device with MAC address"_qs << false;
        QTest::newRow("reset --all, no terminal, no --yes") << QStringList{u"reset"_qs, u"--all"_qs, u"--wait"_qs, u"1"_qs}
                                                            << QString() << 2 << u"--yes"_qs << false;
        QTest::newRow("-o into a missing folder")
            << QStringList{u"config"_qs, u"get"_qs, u"198.18.1.1"_qs, u"-o"_qs, u"/nonexistent-tarvino/site.cfg"_qs}
            << QString() << 3 << u"does not exist. Nothing was sent."_qs << false;
        QTest::newRow("-o folder under a file, by selection")
            << QStringList{u"diag"_qs, u"--all"_qs, u"--wait"_qs, u"1"_qs, u"-o"_qs, u"/dev/null/diag"_qs} << QString() << 3
            << u"is not a folder"_qs << false;
        QTest::newRow("ssh on: a toggle takes no state") << QStringList{u"ssh"_qs, u"198.18.1.1"_qs, u"on"_qs, u"--yes"_qs}
                                                         << QString() << 2 << u"whether it is now on or off"_qs << false;
        QTest::newRow("configuration into a full disk")
            << QStringList{u"config"_qs, u"get"_qs, u"198.18.1.1"_qs, u">/dev/full"_qs} << QString() << 3
            << u"write standard output"_qs << true;
        QTest::newRow("help into a full disk") << QStringList{u"--help"_qs, u">/dev/full"_qs} << QString() << 3
                                               << u"cannot write standard output"_qs << false;
        QTest::newRow("scan, fewer than expected") << QStringList{u"scan"_qs, u"--wait"_qs, u"1"_qs, u"--expect"_qs, u"3"_qs}
                                                   << QString() << 4 << u"2 of the 3 devices expected"_qs << false;
        // An upgrade needs the device's record (its type for the library, its address to see it
        // come back): an address that no device answers from gets nothing.
        const QString image = WriteTestFileOrDie(m_dir.path(), u"unanswered.bin"_qs, RandomBytes(8 * 1024, 4));
        QTest::newRow("upgrade of an address the scan did not find")
            << QStringList{u"upgrade-controller"_qs, u"198.18.1.9"_qs, image, u"--wait"_qs, u"1"_qs, u"--yes"_qs} << QString()
            << 1 << u"198.18.1.9 did not answer the scan"_qs << false;
        QTest::newRow("scan, as many as expected") << QStringList{u"scan"_qs, u"--wait"_qs, u"1"_qs, u"--expect"_qs, u"2"_qs}
                                                   << QString() << 0 << u"2 devices"_qs << false;
    }

    void failuresAreTold()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, fault);
        QFETCH(int, exitCode);
        QFETCH(QString, told);
        QFETCH(bool, commandsSent);
        QVERIFY(start(2, fault.isEmpty() ? QStringList{} : QStringList{u"--fault"_qs, fault}));
        // ">FILE" as the last argument: standard output goes there, as a shell would send it.
        const QString redirect = arguments.constLast().startsWith(u'>') ? arguments.takeLast().mid(1) : QString();
        const CliRun run = runCli(arguments, 120000, {}, redirect);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.contains(told.toUtf8()) || run.out.contains(told.toUtf8()), (run.err + run.out).constData());
        if (arguments.startsWith(u"config"_qs))
            QVERIFY(run.out.isEmpty()); // the text goes to standard output, and none came
        QCOMPARE(::commandsSent(m_sim->requests()), commandsSent);
        // Refused before the scan: not even a discovery went out.
        if (exitCode == 3 && run.err.contains("Nothing was sent"))
            QCOMPARE(m_sim->requests().size(), 0);
    }

    // Two devices answering with one MAC address: a target by that MAC names both and is refused;
    // only the scan went out.
    void duplicatedMacIsRefused()
    {
        const QString twin = u"00:50:c2:aa:bb:01"_qs;
        QVERIFY(start(3, {u"--mac"_qs, u"1=%1"_qs.arg(twin), u"--mac"_qs, u"2=%1"_qs.arg(twin)}));
        const CliRun run = runCli({u"reset"_qs, twin.toUpper(), u"--wait"_qs, u"1"_qs, u"--yes"_qs});
        QVERIFY2(run.exitCode == 2, (run.err + run.out).constData());
        QVERIFY2(run.err.contains("2 devices answered with MAC address") && run.err.contains("198.18.1.2")
                     && run.err.contains("198.18.1.3") && run.err.contains("name one by its address"),
                 run.err.constData());
        QVERIFY(!m_sim->requests().isEmpty()); // the scan
        QVERIFY(!::commandsSent(m_sim->requests()));
    }

    // Without CAP_NET_ADMIN the ARP flush before the switch is refused: the switch still goes out,
    // and the outcome says what it went without.
    void refusedArpFlushIsTold()
    {
        QVERIFY(start(1));
        QCOMPARE(runCli({u"ssh"_qs, LabSimulator::deviceIp(0), u"--yes"_qs}).exitCode, 0); // leaves an ARP entry to flush
        QProcess process;
        QTemporaryDir nobodysData; // where the other user may keep its history
        QVERIFY(QFile::setPermissions(nobodysData.path(), QFile::Permissions(0x7777)));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_DATA_HOME"_qs, nobodysData.path());
        process.setProcessEnvironment(environment);
        process.start(u"setpriv"_qs, {u"--reuid=65534"_qs, u"--regid=65534"_qs, u"--clear-groups"_qs,
                                      QStringLiteral(TARVINO_CLI_PATH), u"ssh"_qs, LabSimulator::deviceIp(0), u"--json"_qs, u"--yes"_qs});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), 0);
        const QJsonObject outcome = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
        QCOMPARE(outcome.value(u"result"_qs).toString(), u"succeeded"_qs);
        const QJsonArray notes = outcome.value(u"notes"_qs).toArray();
        QCOMPARE(notes.size(), 1);
        QVERIFY(notes.first().toString().contains(u"CAP_NET_ADMIN"_qs));
        QVERIFY(process.readAllStandardError().isEmpty()); // told once, in the outcome
    }

    // A program killed in the middle of an upgrade leaves the "started" line of its operation, with
    // no end: the next start (history --unfinished, the window's notice) lists the device, until
    // the technician acknowledges it.
    void killedUpgradeIsListedAsUnfinished()
    {
        // Each bus reply late: the write of the image takes long enough to be cut short.
        QVERIFY(start(2, {u"--fault"_qs, LabSimulator::deviceIp(1) + u":delay=200@52390"_qs}));
        QTemporaryDir killedData;
        const QString savedHome = std::exchange(dataHome, killedData.path());
        const auto restore = qScopeGuard([&] { dataHome = savedHome; });
        const QString historyPath = killedData.filePath(u"tarvino/history.jsonl"_qs);
        const QByteArray image = RandomBytes(32 * 1024, 11);
        const QString path = WriteTestFileOrDie(m_dir.path(), u"killed.bin"_qs, image);

        QProcess upgrade;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_DATA_HOME"_qs, killedData.path());
        upgrade.setProcessEnvironment(environment);
        upgrade.start(QStringLiteral(TARVINO_CLI_PATH), {u"upgrade-controller"_qs, LabSimulator::deviceIp(1), path, u"--yes"_qs});
        upgrade.closeWriteChannel();
        const TOperationJournal journal(historyPath);
        // Killed once its start is in the history and the device has begun to receive the image.
        QVERIFY(QTest::qWaitFor([&] { return !journal.read().isEmpty(); }, 30000));
        QVERIFY(m_sim->waitForJournal([](const QList<QJsonObject> &lines) {
            return std::count_if(lines.begin(), lines.end(), [](const QJsonObject &line) { return line.value(u"port"_qs).toInt() == 52390; }) > 3;
        }, 30000));
        upgrade.kill(); // SIGKILL: no end is written
        QVERIFY(upgrade.waitForFinished(10000));
        QCOMPARE(upgrade.exitStatus(), QProcess::CrashExit);

        const QList<TJournalEntry> lines = journal.read();
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.first().outcome, u"started"_qs);
        QCOMPARE(lines.first().operation, u"Controller upgrade"_qs);
        QVERIFY(!lines.first().id.isEmpty());

        const CliRun history = runCli({u"history"_qs, u"--unfinished"_qs, u"--json"_qs});
        QCOMPARE(history.exitCode, 0);
        const QList<QJsonObject> unfinished = history.jsonLines();
        QCOMPARE(unfinished.size(), 1);
        QCOMPARE(unfinished.first().value(u"ip"_qs).toString(), LabSimulator::deviceIp(1));
        QCOMPARE(unfinished.first().value(u"operation"_qs).toString(), u"Controller upgrade"_qs);
        QCOMPARE(unfinished.first().value(u"id"_qs).toString(), lines.first().id);
        QCOMPARE(unfinished.first().value(u"file"_qs).toString(), path);
        const QJsonValue sha = unfinished.first().value(u"sha256"_qs); // when the operation tells it before it starts
        QVERIFY(sha.isNull() || sha.toString() == Sha256Text(image));

        // An upgrade that ends leaves no unfinished line; the acknowledged one is listed no more.
        QCOMPARE(runCli({u"upgrade-controller"_qs, LabSimulator::deviceIp(0), path, u"--yes"_qs}).exitCode, 0);
        QCOMPARE(runCli({u"history"_qs, u"--unfinished"_qs, u"--json"_qs}).jsonLines().size(), 1);
        QVERIFY(UnfinishedOperations::acknowledge(journal, UnfinishedOperations::read(journal)));
        const CliRun after = runCli({u"history"_qs, u"--unfinished"_qs});
        QCOMPARE(after.exitCode, 0);
        QCOMPARE(after.out, QByteArray("No operation was left unfinished.\n"));
    }

    // On a terminal a changing verb lists the devices and asks; only "y" sends anything. The
    // terminal is a pseudo-terminal that script(1) gives the program.
    void terminalAsksFirst_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QByteArray>("question");
        QTest::addColumn<bool>("sent");
        const QString ip = LabSimulator::deviceIp(0);
        QTest::newRow("reset, declined") << QStringList{u"reset"_qs, ip} << QByteArray("n\n") << QByteArray("Reset 1 device? [y/N]") << false;
        QTest::newRow("reset, no answer") << QStringList{u"reset"_qs, ip} << QByteArray("\n") << QByteArray("Reset 1 device? [y/N]") << false;
        QTest::newRow("reset, accepted") << QStringList{u"reset"_qs, ip} << QByteArray("y\n") << QByteArray("Reset 1 device? [y/N]") << true;
        QTest::newRow("logs erase, declined") << QStringList{u"logs"_qs, u"erase"_qs, ip} << QByteArray("no\n")
                                              << QByteArray("Erase the logs of 1 device? [y/N]") << false;
        QTest::newRow("command, accepted") << QStringList{u"command"_qs, ip, u"StartFtpServer"_qs} << QByteArray("yes\n")
                                           << QByteArray("Send StartFtpServer to 1 device? [y/N]") << true;
        QTest::newRow("diag never asks") << QStringList{u"diag"_qs, ip, u"-o"_qs, u"/dev/null"_qs} << QByteArray()
                                         << QByteArray() << true;
    }

    void terminalAsksFirst()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, answer);
        QFETCH(QByteArray, question);
        QFETCH(bool, sent);
        QVERIFY(start(1));
        QProcess terminal;
        terminal.setProcessEnvironment(cliEnvironment());
        QStringList command{QStringLiteral(TARVINO_CLI_PATH)};
        command << arguments;
        terminal.start(u"script"_qs, {u"-qec"_qs, command.join(u' '), u"/dev/null"_qs});
        QVERIFY(terminal.waitForStarted());
        terminal.write(answer);
        QVERIFY(terminal.waitForFinished(60000));
        const QByteArray shown = terminal.readAllStandardOutput();
        if (question.isEmpty())
            QVERIFY2(!shown.contains("[y/N]"), shown.constData());
        else
            QVERIFY2(shown.contains(question) && shown.contains(LabSimulator::deviceIp(0).toUtf8()), shown.constData());
        QCOMPARE(::commandsSent(m_sim->requests()), sent);
        if (!sent) {
            QCOMPARE(terminal.exitCode(), 1);
            QVERIFY2(shown.contains("Nothing was sent."), shown.constData());
        }
    }

    // --dry-run resolves the devices with a scan, checks the image and tells what it would do; the
    // scan is all that goes out.
    void dryRunSendsOnlyTheScan()
    {
        constexpr int Devices = 10;
        QVERIFY(start(Devices));
        const QString path = WriteTestFileOrDie(m_dir.path(), u"dry.bin"_qs, RandomBytes(8 * 1024, 3));
        const CliRun run = runCli({u"upgrade-controller"_qs, u"--all"_qs, u"--wait"_qs, u"1"_qs, u"--dry-run"_qs,
                                   u"--json"_qs, path});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(SchemaFaults(run.out), QString());
        const QList<QJsonObject> plan = run.jsonLines();
        QCOMPARE(plan.size(), Devices);
        for (const QJsonObject &line : plan) {
            QCOMPARE(line.value(u"dryRun"_qs).toBool(), true);
            QCOMPARE(line.value(u"schema"_qs).toInt(), 1);
            QCOMPARE(line.value(u"file"_qs).toString(), path);
        }
        QVERIFY(!m_sim->requests().isEmpty()); // the scan went out
        QVERIFY(!::commandsSent(m_sim->requests()));
        for (int i = 0; i < Devices; ++i)
            QCOMPARE(m_sim->deviceState(i).value(u"controller"_qs).toObject().value(u"updateModeCount"_qs).toInt(), 0);
    }

    // SIGTERM and SIGHUP stop a run as Ctrl+C does: no device is started any more, the running
    // ones are put back, and the exit status is 128 + the signal.
    void signalPutsEveryDeviceBack_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("twice"); // a second signal while the devices are put back
        QTest::newRow("SIGTERM") << int(SIGTERM) << false;
        QTest::newRow("SIGHUP") << int(SIGHUP) << false;
        QTest::newRow("SIGINT") << int(SIGINT) << false;
        QTest::newRow("SIGTERM, then SIGINT") << int(SIGTERM) << true;
    }

    void signalPutsEveryDeviceBack()
    {
        QFETCH(int, signal);
        QFETCH(bool, twice);
        constexpr int Devices = 4;
        QStringList faults;
        // Each bus reply late: the upgrades are still writing at the signal. StartDaemon answered a
        // second late: the putting back still runs when a second signal comes (a cancelled bus wait
        // ends at once, so the rest of the putting back would otherwise be over before it).
        for (int i = 0; i < Devices; ++i)
            faults << u"--fault"_qs << LabSimulator::deviceIp(i) + u":delay=100@52390"_qs << u"--fault"_qs
                   << LabSimulator::deviceIp(i) + u":delay=1000@52389@cmd=7"_qs;
        QVERIFY(start(Devices, faults));
        const QString path = WriteTestFileOrDie(m_dir.path(), u"signalled.bin"_qs, RandomBytes(32 * 1024, 9));
        QProcess upgrade;
        upgrade.setProcessEnvironment(cliEnvironment());
        upgrade.start(QStringLiteral(TARVINO_CLI_PATH), {u"upgrade-controller"_qs, u"--all"_qs, u"--wait"_qs, u"1"_qs,
                                                          u"--yes"_qs, u"--json"_qs, path});
        upgrade.closeWriteChannel();
        QVERIFY(m_sim->waitForJournal([](const QList<QJsonObject> &lines) {
            return std::count_if(lines.begin(), lines.end(),
                                 [](const QJsonObject &line) { return line.value(u"port"_qs).toInt() == Wire::BusPort; }) > 8;
        }, 30000));
        QCOMPARE(::kill(pid_t(upgrade.processId()), signal), 0);
        QByteArray told;
        if (twice) {
            // Once the first is told, the devices are being put back (each waits for its step's replies).
            QVERIFY(QTest::qWaitFor([&] { return (told += upgrade.readAllStandardError()).contains("Stopping"); }, 30000));
            QCOMPARE(::kill(pid_t(upgrade.processId()), SIGINT), 0);
        }
        QVERIFY(upgrade.waitForFinished(60000));
        told += upgrade.readAllStandardError();
        QCOMPARE(upgrade.exitStatus(), QProcess::NormalExit);
        QCOMPARE(upgrade.exitCode(), 128 + signal); // the first signal's
        QVERIFY2(told.contains("put back"), told.constData());
        if (twice) // told, and the devices still put back below
            QVERIFY2(told.contains("still putting the devices back"), told.constData());
        for (int i = 0; i < Devices; ++i) {
            const QJsonObject state = m_sim->deviceState(i);
            QVERIFY2(state.value(u"daemon"_qs).toBool() && !state.value(u"updater"_qs).toBool(), qPrintable(LabSimulator::deviceIp(i)));
            QCOMPARE(state.value(u"controller"_qs).toObject().value(u"updateModeCount"_qs).toInt(), 0);
        }
        // Every device has its line, the stopped ones as cancelled.
        QList<QJsonObject> lines;
        for (const QByteArray &line : upgrade.readAllStandardOutput().split('\n'))
            if (!line.isEmpty())
                lines << QJsonDocument::fromJson(line).object();
        QCOMPARE(lines.size(), Devices);
    }

    // What scan --json writes, info --from - reads from standard input.
    void scanPipedIntoInfo()
    {
        constexpr int Devices = 3;
        QVERIFY(start(Devices));
        const CliRun scan = runCli({u"scan"_qs, u"--json"_qs, u"--wait"_qs, u"1"_qs});
        QCOMPARE(scan.exitCode, 0);
        const CliRun info = runCli({u"info"_qs, u"--from"_qs, u"-"_qs, u"--json"_qs}, 120000, scan.out);
        QCOMPARE(info.exitCode, 0);
        QList<QJsonObject> scanned = scan.jsonLines(), informed = info.jsonLines();
        QCOMPARE(informed.size(), Devices);
        QStringList scannedIps, informedIps;
        for (const QJsonObject &object : scanned)
            scannedIps << object.value(u"ip"_qs).toString() + object.value(u"mac"_qs).toString();
        for (const QJsonObject &object : informed)
            informedIps << object.value(u"ip"_qs).toString() + object.value(u"mac"_qs).toString();
        QCOMPARE(informedIps, scannedIps);

        // The shell's completion offers what the scan found: addresses, MAC addresses, names.
        QFile cache(dataHome + u"/cache/tarvino/devices.txt"_qs);
        QVERIFY(cache.open(QIODevice::ReadOnly));
        const QList<QByteArray> words = cache.readAll().split('\n');
        for (const QJsonObject &object : scanned) {
            QVERIFY(words.contains(object.value(u"ip"_qs).toString().toUtf8()));
            QVERIFY(words.contains(object.value(u"mac"_qs).toString().toUtf8()));
        }
    }

    // With --json each device's line is written as it finishes: a script gets the first while
    // the last devices are still being upgraded.
    void jsonLinesComeAsDevicesFinish()
    {
        constexpr int Devices = 8; // four rounds of two
        QVERIFY(start(Devices));
        const QString path = WriteTestFileOrDie(m_dir.path(), u"stream.bin"_qs, RandomBytes(16 * 1024, 4));
        QProcess upgrade;
        upgrade.setProcessEnvironment(cliEnvironment());
        upgrade.start(QStringLiteral(TARVINO_CLI_PATH), {u"upgrade-controller"_qs, u"--all"_qs, u"--wait"_qs, u"1"_qs,
                                                          u"-j"_qs, u"2"_qs, u"--yes"_qs, u"--json"_qs, path});
        upgrade.closeWriteChannel();
        QVERIFY(QTest::qWaitFor([&] { return upgrade.canReadLine() || upgrade.state() == QProcess::NotRunning; }, 120000));
        const QJsonObject first = QJsonDocument::fromJson(upgrade.readLine()).object();
        // When the first line came, some devices had not even begun.
        int begun = 0;
        for (int i = 0; i < Devices; ++i)
            begun += m_sim->deviceState(i).value(u"controller"_qs).toObject().value(u"updateModeCount"_qs).toInt() > 0 ? 1 : 0;
        QVERIFY2(begun < Devices, "the first line came only after the last device");
        QCOMPARE(first.value(u"result"_qs).toString(), u"succeeded"_qs);
        QVERIFY(upgrade.waitForFinished(240000));
        QCOMPARE(upgrade.exitCode(), 0);
        const QByteArray rest = upgrade.readAllStandardOutput();
        QCOMPARE(rest.count('\n'), Devices - 1);
        QCOMPARE(SchemaFaults(rest), QString());
    }

    void portHeldByAnotherProgram()
    {
        StartupInit();
        TDatagramEngine holder; // this test holds the port, as a running window would
        QVERIFY(!holder.boundAddresses().isEmpty());
        const CliRun run = runCli({u"scan"_qs, u"--wait"_qs, u"0.5"_qs});
        QCOMPARE(run.exitCode, 3); // the environment's fault
        QVERIFY2(run.err.contains("cannot listen for devices"), run.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestCliLab)
#include "tst_cli_lab.moc"
