// Ctrl+C stops tarvino-cli where its device is slow: during the board's upload (the upload ends,
// the board's FTP server is stopped again and no upgrade is asked for) and during a wait for a
// silent controller bus (the program ends long before the reply wait, the device put back).
#include "clirun.h"
#include "labsim.h"
#include "testfiles.h"
#include "protocol/sha256text.h"
#include "protocol/wire.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

#include <csignal>
#include <sys/types.h>

namespace {
// The reply wait asked of the program: longer than the whole test may take for the step it waits in.
constexpr int LongTimeoutSeconds = 60;
// Larger than everything the system buffers between the program and the board: the upload is still
// writing when the signal comes.
constexpr int SlowUploadSize = 24 * 1024 * 1024;

bool isBoardCommand(const QJsonObject &request, Wire::Command command)
{
    return request.value(u"port"_qs).toInt() == Wire::DevicePort && request.value(u"cmd"_qs).toInt() == int(command);
}
} // namespace

class TestCliCancelLab : public QObject
{
    Q_OBJECT
    std::unique_ptr<LabSimulator> m_sim;
    QTemporaryDir m_dir;
    QString m_dataHome;

    bool start(const QStringList &arguments, int devices = 1)
    {
        m_sim = std::make_unique<LabSimulator>();
        if (!m_sim->start(devices, arguments)) {
            qWarning("%s", qPrintable(m_sim->errorString()));
            return false;
        }
        return true;
    }

    // tarvino-cli with these arguments, without a terminal; ended by the caller.
    void startCli(QProcess &process, const QStringList &arguments) const
    {
        process.setProcessEnvironment(CliEnvironment(m_dataHome));
        process.start(QStringLiteral(TARVINO_CLI_PATH), arguments);
        process.closeWriteChannel();
    }

    // Ends a program the test could not stop, by its process id.
    static void endIfRunning(QProcess &process)
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(LabSimulator::inLab(), "talks to simulated devices: run it inside the lab (ctest does)");
        QVERIFY(m_dir.isValid());
        m_dataHome = m_dir.filePath(u"data"_qs);
    }

    void cleanup() { m_sim.reset(); }

    void sigintDuringBoardUpload()
    {
        const QString ip = LabSimulator::deviceIp(0);
        QVERIFY(start({u"--fault"_qs, ip + u":ftp-slow=100000"_qs}));
        const QString path = WriteTestFileOrDie(m_dir.path(), u"board-slow.bin"_qs, RandomBytes(SlowUploadSize, 21));
        QProcess upgrade;
        startCli(upgrade, {u"upgrade-board"_qs, ip, path, u"--yes"_qs});
        const auto end = qScopeGuard([&] { endIfRunning(upgrade); });
        QVERIFY(upgrade.waitForStarted());
        // The signal once the board has agreed to take the file and the data is flowing.
        QVERIFY(m_sim->waitForJournal([](const QList<QJsonObject> &lines) {
            return std::any_of(lines.begin(), lines.end(), [](const QJsonObject &line) {
                return line.value(u"ftp"_qs).toString().startsWith(u"STOR"_qs);
            });
        }, 60000));
        QTest::qWait(500);
        QCOMPARE(upgrade.state(), QProcess::Running); // still uploading: the file takes minutes at this pace
        QCOMPARE(::kill(pid_t(upgrade.processId()), SIGINT), 0);
        QVERIFY(upgrade.waitForFinished(60000));
        const QByteArray told = upgrade.readAllStandardError();
        QCOMPARE(upgrade.exitStatus(), QProcess::NormalExit);
        QVERIFY2(upgrade.exitCode() == 128 + SIGINT, qPrintable(QString::number(upgrade.exitCode()) + u' ' + QString::fromUtf8(told)));

        const QList<QJsonObject> requests = m_sim->requests(ip, Wire::DevicePort);
        const auto sent = [&](Wire::Command command) {
            return std::count_if(requests.begin(), requests.end(),
                                 [command](const QJsonObject &request) { return isBoardCommand(request, command); });
        };
        QCOMPARE(sent(Wire::Command::StartFtpServer), 1);
        QCOMPARE(sent(Wire::Command::StopFtpServer), 1);
        QCOMPARE(sent(Wire::Command::SystemUpgrade), 0);
        QVERIFY(!m_sim->deviceState(0).value(u"ftpServer"_qs).toBool());
    }

    void sigintDuringSilentBusWait()
    {
        const QString ip = LabSimulator::deviceIp(0);
        QVERIFY(start({u"--fault"_qs, ip + u":silent@52390"_qs}));
        const QString path = WriteTestFileOrDie(m_dir.path(), u"controller.bin"_qs, RandomBytes(4096, 22));
        QProcess upgrade;
        startCli(upgrade, {u"upgrade-controller"_qs, ip, path, u"--yes"_qs, u"--timeout"_qs,
                           QString::number(LongTimeoutSeconds)});
        const auto end = qScopeGuard([&] { endIfRunning(upgrade); });
        QVERIFY(upgrade.waitForStarted());
        // The signal once the first bus frame went out: the program then waits for its reply.
        QVERIFY(m_sim->waitForJournal([](const QList<QJsonObject> &lines) {
            return std::any_of(lines.begin(), lines.end(), [](const QJsonObject &line) {
                return line.value(u"port"_qs).toInt() == Wire::BusPort;
            });
        }, 60000));
        QCOMPARE(::kill(pid_t(upgrade.processId()), SIGINT), 0);
        QElapsedTimer sinceSignal;
        sinceSignal.start();
        // Not a measure of speed: a program that sat out a single reply wait would still be running.
        QVERIFY(upgrade.waitForFinished(LongTimeoutSeconds * 1000 / 2));
        QVERIFY(sinceSignal.elapsed() < LongTimeoutSeconds * 1000);
        const QByteArray told = upgrade.readAllStandardError();
        QCOMPARE(upgrade.exitStatus(), QProcess::NormalExit);
        QVERIFY2(upgrade.exitCode() == 128 + SIGINT, qPrintable(QString::number(upgrade.exitCode()) + u' ' + QString::fromUtf8(told)));

        // One frame for the image's first chunk, then the reset that puts the controller back.
        const QList<QJsonObject> bus = m_sim->requests(ip, Wire::BusPort);
        QCOMPARE(bus.size(), 2);
        QCOMPARE(bus.constLast().value(u"sub"_qs).toInt(-1), int(Wire::Bus::Reset));
        const QJsonObject state = m_sim->deviceState(0);
        QVERIFY(!state.value(u"updater"_qs).toBool());
        QVERIFY(state.value(u"daemon"_qs).toBool());
    }

    // A reader that goes away after the first line (`... --json | head -1`): the program does not
    // die of it with devices half done. It finishes every device, then exits with 3.
    void readerGoneFinishesEveryDevice()
    {
        constexpr int Devices = 3;
        // Devices 2 and 3 answer their bus late: they are still writing when device 1's line fails.
        QVERIFY(start({u"--fault"_qs, LabSimulator::deviceIp(1) + u":delay=150@52390"_qs, u"--fault"_qs,
                       LabSimulator::deviceIp(2) + u":delay=150@52390"_qs}, Devices));
        const QByteArray image = RandomBytes(2048, 23);
        const QString path = WriteTestFileOrDie(m_dir.path(), u"fleet.bin"_qs, image);
        // `tarvino-cli ... --json | true`: the reader ends before the first line is written.
        QStringList command{QStringLiteral(TARVINO_CLI_PATH), u"upgrade-controller"_qs};
        for (int i = 0; i < Devices; ++i)
            command << LabSimulator::deviceIp(i);
        command << path << u"--yes"_qs << u"--json"_qs << u"--wait"_qs << u"1"_qs;
        QProcess pipeline;
        pipeline.setProcessEnvironment(CliEnvironment(m_dataHome));
        pipeline.start(u"/bin/bash"_qs, QStringList{u"-c"_qs, u"\"$@\" | true; exit ${PIPESTATUS[0]}"_qs, u"bash"_qs} + command);
        const auto end = qScopeGuard([&] { endIfRunning(pipeline); });
        QVERIFY(pipeline.waitForFinished(120000));
        const QByteArray told = pipeline.readAllStandardError();
        // 141 would be the program killed by SIGPIPE with the devices half done.
        QVERIFY2(pipeline.exitCode() == 3, qPrintable(QString::number(pipeline.exitCode()) + u' ' + QString::fromUtf8(told)));
        for (int i = 0; i < Devices; ++i) {
            const QJsonObject state = m_sim->deviceState(i);
            QCOMPARE(state.value(u"controller"_qs).toObject().value(u"updateImageSha256"_qs).toString(), Sha256Text(image));
            QVERIFY(!state.value(u"updater"_qs).toBool());
            QVERIFY(state.value(u"daemon"_qs).toBool());
        }
    }
};

QTEST_GUILESS_MAIN(TestCliCancelLab)
#include "tst_cli_cancel_lab.moc"
