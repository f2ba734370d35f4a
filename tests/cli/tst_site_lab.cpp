// The site file and the live list against the simulator in the lab: `check --site` names each of
// the five states for the right device (a device moved to another address included) and exits 1
// only when one is missing; a damaged site file sends nothing; `watch` tells a device gone after
// its simulator stops, back when it starts again, and the firmware version it came back with.
#include "clirun.h"
#include "labsim.h"
#include "testfiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <csignal>

namespace {
QString dataHome;

QProcessEnvironment cliEnvironment()
{
    return CliEnvironment(dataHome);
}

CliRun runCli(const QStringList &arguments)
{
    return RunCli(arguments, dataHome, {60000, {}, {}, {}});
}

// The simulated devices' MAC addresses are set, so that the site file can name them.
QString macOf(int index)
{
    return QStringLiteral("00:50:c2:5e:00:%1").arg(index + 1, 2, 10, QLatin1Char('0'));
}

QStringList macArguments(int devices)
{
    QStringList arguments;
    for (int i = 0; i < devices; ++i)
        arguments << u"--mac"_qs << LabSimulator::deviceIp(i) + QLatin1Char('=') + macOf(i);
    return arguments;
}

// The lab's device segment is 198.18.0.0/15: an address there that no simulated device takes.
const QString FreeIp = u"198.18.1.200"_qs;
} // namespace

class TestSiteLab : public QObject
{
    Q_OBJECT
    std::unique_ptr<LabSimulator> m_sim;
    QTemporaryDir m_dir;

    QString writeFile(const QString &name, const QByteArray &contents)
    {
        return WriteTestFileOrDie(QDir(m_dir.path()), name, contents);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(LabSimulator::inLab(), "talks to simulated devices: run it inside the lab (ctest does)");
        QVERIFY(m_dir.isValid());
        dataHome = m_dir.filePath(u"data"_qs);
        // Four devices: 0 as the file has it, 1 with another firmware than the file names, 2 at
        // another address than the file's, 3 not in the file; the file's fifth device is nowhere.
        m_sim = std::make_unique<LabSimulator>();
        QVERIFY2(m_sim->start(4, macArguments(4) + QStringList{u"--firmware-version"_qs, LabSimulator::deviceIp(1) + u"=9.9.1"_qs,
                                                             u"--firmware-version"_qs, LabSimulator::deviceIp(0) + u"=3.0.0"_qs}),
                 qPrintable(m_sim->errorString()));
    }

    void cleanupTestCase() { m_sim.reset(); }

    void checkNamesEachState_data()
    {
        QTest::addColumn<QByteArray>("site");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("states"); // "state mac" per line, in the output's order
        QTest::addColumn<QString>("summary");

        const QByteArray all = "name,ip,mac,type,firmwareVersion\n"
                               "Zero," + LabSimulator::deviceIp(0).toUtf8() + "," + macOf(0).toUtf8() + ",,3.0.0\n"
                               "One," + LabSimulator::deviceIp(1).toUtf8() + "," + macOf(1).toUtf8() + ",,3.0.0\n"
                               "Two," + FreeIp.toUtf8() + "," + macOf(2).toUtf8() + ",,\n";
        const QByteArray missing = "Gone,198.18.1.201,00:50:c2:5e:00:99,,\n";
        QTest::newRow("five-states") << all + missing << 1
                                     << QStringList{u"found "_qs + macOf(0), u"differentFirmware "_qs + macOf(1),
                                                    u"moved "_qs + macOf(2), u"missing 00:50:c2:5e:00:99"_qs,
                                                    u"unexpected "_qs + macOf(3)}
                                     << u"3 of 4 expected devices found, 1 missing, 1 unexpected, 1 moved, 1 with "
                                        "different firmware"_qs;
        QTest::newRow("none-missing") << all << 0
                                      << QStringList{u"found "_qs + macOf(0), u"differentFirmware "_qs + macOf(1),
                                                     u"moved "_qs + macOf(2), u"unexpected "_qs + macOf(3)}
                                      << u"3 of 3 expected devices found, 0 missing, 1 unexpected, 1 moved, 1 with "
                                         "different firmware"_qs;
    }

    void checkNamesEachState()
    {
        QFETCH(QByteArray, site);
        QFETCH(int, exitCode);
        QFETCH(QStringList, states);
        QFETCH(QString, summary);
        const QString path = writeFile(u"site.csv"_qs, site);
        QVERIFY(!path.isEmpty());
        const CliRun json = runCli({u"check"_qs, u"--site"_qs, path, u"--json"_qs, u"--wait"_qs, u"0.5"_qs});
        QCOMPARE(json.exitCode, exitCode);
        QCOMPARE(SchemaFaults(json.out), QString());
        QList<QJsonObject> lines = JsonLines(json.out);
        QVERIFY(!lines.isEmpty());
        const QJsonObject total = lines.takeLast();
        QCOMPARE(total.value(u"summary"_qs).toString(), summary);
        QStringList got;
        for (const QJsonObject &line : std::as_const(lines)) {
            got << line.value(u"state"_qs).toString() + QLatin1Char(' ') + line.value(u"mac"_qs).toString();
            if (line.value(u"state"_qs) == u"moved"_qs) {
                QCOMPARE(line.value(u"ip"_qs).toString(), LabSimulator::deviceIp(2));
                QCOMPARE(line.value(u"expectedIp"_qs).toString(), FreeIp);
            }
            if (line.value(u"state"_qs) == u"missing"_qs) {
                QCOMPARE(line.value(u"expectedIp"_qs).toString(), u"198.18.1.201"_qs);
                QVERIFY(line.value(u"ip"_qs).isNull());
            }
            if (line.value(u"state"_qs) == u"differentFirmware"_qs) {
                const QJsonObject difference = line.value(u"differences"_qs).toArray().first().toObject();
                QCOMPARE(difference.value(u"expected"_qs).toString(), u"3.0.0"_qs);
                QCOMPARE(difference.value(u"found"_qs).toString(), u"9.9.1"_qs);
            }
        }
        QCOMPARE(got, states);

        // The table says the same, with the summary as its last line.
        const CliRun table = runCli({u"check"_qs, u"--site"_qs, path, u"--wait"_qs, u"0.5"_qs});
        QCOMPARE(table.exitCode, exitCode);
        QVERIFY2(table.out.trimmed().endsWith(summary.toUtf8()), table.out.constData());
        QVERIFY(table.out.contains("different firmware"));
        // scan --site: the list as ever, the summary on standard error, the same exit status.
        const CliRun scan = runCli({u"scan"_qs, u"--site"_qs, path, u"--json"_qs, u"--wait"_qs, u"0.5"_qs});
        QCOMPARE(scan.exitCode, exitCode);
        QCOMPARE(JsonLines(scan.out).size(), 4);
        QVERIFY2(scan.err.contains(summary.toUtf8()), scan.err.constData());
        // With --expect beyond the 4 devices: 4, unless a missing device already made it 1.
        const CliRun expecting = runCli({u"scan"_qs, u"--site"_qs, path, u"--expect"_qs, u"5"_qs, u"--wait"_qs, u"0.5"_qs});
        QCOMPARE(expecting.exitCode, exitCode != 0 ? exitCode : 4);
    }

    void damagedSiteFileSendsNothing()
    {
        const QString path = writeFile(u"damaged.csv"_qs, "name,ip\nA," + LabSimulator::deviceIp(0).toUtf8() + "\nB,198.18.1.300\n");
        const qsizetype before = m_sim->requests().size();
        const CliRun run = runCli({u"check"_qs, u"--site"_qs, path});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains("line 3: ip: '198.18.1.300' is not an IPv4 address"), run.err.constData());
        QTest::qWait(300); // a scan, had one gone out, would be in the journal by now
        QCOMPARE(m_sim->requests().size(), before);
        QCOMPARE(runCli({u"check"_qs, u"--site"_qs, m_dir.filePath(u"nowhere.csv"_qs)}).exitCode, 3);
        QCOMPARE(runCli({u"check"_qs}).exitCode, 2);
    }

    void watchTellsGoneBackAndChanged()
    {
        // Two devices of their own, so that the check's simulator and its state are left alone.
        m_sim.reset();
        auto sim = std::make_unique<LabSimulator>();
        QVERIFY2(sim->start(2, macArguments(2)), qPrintable(sim->errorString()));
        QProcess watch;
        watch.setProcessEnvironment(cliEnvironment());
        // Bounded by --for as well, should the test stop before its SIGTERM.
        watch.start(QStringLiteral(TARVINO_CLI_PATH),
                    {u"watch"_qs, u"--json"_qs, u"--interval"_qs, u"1"_qs, u"--wait"_qs, u"0.2"_qs, u"--for"_qs, u"40"_qs});
        QVERIFY(watch.waitForStarted());
        QByteArray out;
        auto waitFor = [&](const std::function<bool(const QList<QJsonObject> &)> &done) {
            QElapsedTimer clock;
            clock.start();
            while (clock.elapsed() < 15000) {
                watch.waitForReadyRead(200);
                out += watch.readAllStandardOutput();
                if (done(JsonLines(out)))
                    return true;
            }
            return false;
        };
        auto count = [](const QList<QJsonObject> &lines, const QString &event, bool again = false) {
            return std::count_if(lines.begin(), lines.end(), [&](const QJsonObject &o) {
                return o.value(u"event"_qs).toString() == event && o.value(u"again"_qs).toBool() == again;
            });
        };
        QVERIFY2(waitFor([&](const auto &lines) { return count(lines, u"appeared"_qs) == 2; }), out.constData());
        sim->stop();
        QVERIFY2(waitFor([&](const auto &lines) { return count(lines, u"gone"_qs) == 2; }), out.constData());
        // Back, the first device with a firmware it did not have.
        sim = std::make_unique<LabSimulator>();
        QVERIFY2(sim->start(2, macArguments(2) + QStringList{u"--firmware-version"_qs, LabSimulator::deviceIp(0) + u"=4.2.0"_qs}),
                 qPrintable(sim->errorString()));
        QVERIFY2(waitFor([&](const auto &lines) { return count(lines, u"appeared"_qs, true) == 2; }), out.constData());
        ::kill(pid_t(watch.processId()), SIGTERM);
        QVERIFY(watch.waitForFinished(10000));
        out += watch.readAllStandardOutput();
        QCOMPARE(watch.exitCode(), 128 + SIGTERM);
        QCOMPARE(SchemaFaults(out), QString());

        const QList<QJsonObject> lines = JsonLines(out);
        QCOMPARE(count(lines, u"appeared"_qs), 2);
        QCOMPARE(count(lines, u"gone"_qs), 2);
        for (const QJsonObject &line : lines) {
            if (!line.value(u"again"_qs).toBool())
                continue;
            const QJsonArray changes = line.value(u"changes"_qs).toArray();
            if (line.value(u"mac"_qs).toString() == macOf(0)) {
                QCOMPARE(changes.size(), 1);
                QCOMPARE(changes.first().toObject().value(u"field"_qs).toString(), u"firmwareVersion"_qs);
                QCOMPARE(changes.first().toObject().value(u"new"_qs).toString(), u"4.2.0"_qs);
                QVERIFY(!changes.first().toObject().value(u"old"_qs).toString().isEmpty());
            } else {
                QVERIFY(changes.isEmpty());
            }
        }
    }

    void watchEndsAfterCount()
    {
        auto sim = std::make_unique<LabSimulator>();
        QVERIFY2(sim->start(1), qPrintable(sim->errorString()));
        const CliRun run = runCli({u"watch"_qs, u"--count"_qs, u"2"_qs, u"--interval"_qs, u"1"_qs, u"--wait"_qs, u"0.2"_qs});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out.count("appeared"), 1); // one device, seen twice: told once
    }
};

QTEST_GUILESS_MAIN(TestSiteLab)
#include "tst_site_lab.moc"
