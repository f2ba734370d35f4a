// The fault matrix: a board upgrade, a controller upgrade and a configuration write, each run as a
// job of the job service (as the window and tarvino-cli run them) against a simulated device that
// shows one fault of the simulator's list. Every row must end in one of two honest ways:
//   - the device holds the intended bytes and the item says Done, or
//   - the item failed (Failed, or Unconfirmed for an upgrade not seen again), its outcome's kind
//     and words name what the fault did (no answer, transfer broke off, verify error...);
// and in either case the device is put back (daemon on, updater and FTP server off) or the outcome
// says what it was left in, the history agrees with the outcome, the requests the device saw stay
// under a bound, and the job ends well before a generous bound on hanging.
//
// TARVINO_FAULT_MATRIX=short runs the faults added last and a few others (what CTest runs); each
// row prints a "MATRIX|fault|operation|result|requests|ms" line that scripts/fault-matrix.sh turns
// into a table.
#include "fleet/history/operationjournal.h"
#include "fleet/history/operationrecord.h"
#include "fleet/jobs/jobservice.h"
#include "labsim.h"
#include "labtiming.h"
#include "operations/commandoperations.h"
#include "protocol/datagramengine.h"
#include "protocol/sha256text.h"
#include "protocol/resource.h"
#include "testfiles.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {
using S = TJobItemStatus;

// A bound on hanging, not on speed: the slowest honest row (FTP waits, a board not seen again)
// ends in about ten seconds.
constexpr int HangBoundMs = 60000;
constexpr int ComeBackTimeoutMs = 4000;
constexpr int FtpWaitMs = 3000;
constexpr int EngineWaitUnitMs = 20;

enum class Operation { Board, Controller, Configuration };

// What a failure must name: the effect the fault has on the program's side of the wire.
enum class Effect {
    None,          // the fault does not touch this operation: it must succeed
    NoAnswer,      // the device did not answer (in time, or at all)
    OtherAnswer,   // the device answered something else than the acknowledgement
    TransferBroke, // the FTP transfer broke off or stalled
    VerifyError,   // what was read back differs
};

struct FaultRow
{
    const char *name;
    bool inShortRun;
    // The fault for each operation (device 0); the test's own scan is device 0's first request,
    // hence from=2 where a fault would otherwise hide the device from it.
    QString board, controller, configuration;
    Effect boardEffect, controllerEffect, configurationEffect;
};

QList<FaultRow> faultRows()
{
    using E = Effect;
    const auto same = [](const char *name, bool inShort, const char *fault, E board, E controller, E configuration) {
        const QString text = QString::fromLatin1(fault);
        return FaultRow{name, inShort, text, text, text, board, controller, configuration};
    };
    return {
        same("silent", true, "0:silent@from=2", E::NoAnswer, E::NoAnswer, E::NoAnswer),
        same("delay", false, "0:delay=150@from=2", E::NoAnswer, E::NoAnswer, E::NoAnswer),
        same("wrong-ack", false, "0:wrong-ack@from=2", E::OtherAnswer, E::OtherAnswer, E::OtherAnswer),
        same("bad-crc", false, "0:bad-crc@from=2", E::None, E::NoAnswer, E::NoAnswer),
        same("split", false, "0:split@from=2", E::NoAnswer, E::NoAnswer, E::NoAnswer),
        same("duplicate", true, "0:duplicate@from=2", E::NoAnswer, E::NoAnswer, E::NoAnswer),
        same("loss", false, "0:loss=0.2@from=2", E::NoAnswer, E::NoAnswer, E::NoAnswer),
        same("corrupt-readback", true, "0:corrupt-readback=0x10", E::None, E::VerifyError, E::VerifyError),
        same("ftp-silent", false, "0:ftp-silent", E::TransferBroke, E::None, E::None),
        same("refuse", false, "0:refuse@21", E::TransferBroke, E::None, E::None),
        same("ftp-user-230", false, "0:ftp-user-230", E::None, E::None, E::None),
        same("ftp-426", false, "0:ftp-426", E::TransferBroke, E::None, E::None),
        same("stray", false, "0:stray@from=2", E::OtherAnswer, E::OtherAnswer, E::OtherAnswer),
        // The request takes effect, its answer is lost: SystemUpgrade, StopDaemon, a bus write.
        {"act-silent", true, u"0:act-silent@cmd=11@count=1"_qs, u"0:act-silent@cmd=8@count=1"_qs,
         u"0:act-silent@52390@fn=0x6F@count=1"_qs, E::NoAnswer, E::NoAnswer, E::NoAnswer},
        {"swap", true, u"0:swap@52389@from=2@count=1"_qs, u"0:swap@52390@count=1"_qs, u"0:swap@52390@count=1"_qs,
         E::NoAnswer, E::NoAnswer, E::NoAnswer},
        // From StopFtpServer on; in the middle of the image; at the start of the configuration.
        {"blackout", true, u"0:blackout=1500@cmd=4"_qs, u"0:blackout=1500@52390@from=20@count=1"_qs,
         u"0:blackout=1500@52390@from=3@count=1"_qs, E::NoAnswer, E::NoAnswer, E::NoAnswer},
        same("ftp-reset", true, "0:ftp-reset=2048", E::TransferBroke, E::None, E::None),
        same("ftp-stall", true, "0:ftp-stall=2048", E::TransferBroke, E::None, E::None),
        {"power-cut", true, u"0:power-cut=3000"_qs, u"0:power-cut=3000"_qs, u"0:power-cut=300"_qs, E::None,
         E::NoAnswer, E::NoAnswer},
    };
}

QString operationName(Operation operation)
{
    switch (operation) {
    case Operation::Board: return u"board upgrade"_qs;
    case Operation::Controller: return u"controller upgrade"_qs;
    case Operation::Configuration: return u"configuration write"_qs;
    }
    return {};
}

// The requests a healthy run sends, with room for every request sent ControllerBus::Attempts
// times and the confirming scans: a retry loop that does not end overruns it.
int requestBound(Operation operation)
{
    switch (operation) {
    case Operation::Board: return 80;          // 4 commands, about 10 FTP lines, the scans
    case Operation::Controller: return 500;    // 64 writes and 64 reads of 128 bytes, 5 commands
    case Operation::Configuration: return 150; // 8 writes and 8 reads, 8 commands
    }
    return 0;
}

// The words a failure with that effect uses, lower case; any one of them will do.
QStringList effectWords(Effect effect)
{
    const QStringList noAnswer{u"not responding"_qs, u"no reply"_qs, u"no answer"_qs, u"did not answer"_qs,
                               u"timed out"_qs, u"timeout"_qs};
    switch (effect) {
    case Effect::None: return {};
    case Effect::NoAnswer: return noAnswer;
    case Effect::OtherAnswer: return noAnswer + QStringList{u"another code"_qs, u"unexpected"_qs};
    case Effect::TransferBroke:
        return noAnswer + QStringList{u"transfer"_qs, u"426"_qs, u"connection"_qs, u"reset"_qs, u"closed"_qs};
    case Effect::VerifyError: return {u"verif"_qs, u"differ"_qs, u"read back"_qs};
    }
    return {};
}

QList<TOperationError> effectKinds(Effect effect)
{
    switch (effect) {
    case Effect::None: return {};
    case Effect::NoAnswer: return {TOperationError::NotResponding};
    case Effect::OtherAnswer: return {TOperationError::NotResponding, TOperationError::RefusedByDevice};
    case Effect::TransferBroke: return {TOperationError::TransferFailed, TOperationError::NotResponding};
    case Effect::VerifyError: return {TOperationError::VerifyFailed};
    }
    return {};
}

QString stateName(S::State state)
{
    switch (state) {
    case S::Done: return u"Done"_qs;
    case S::Failed: return u"Failed"_qs;
    case S::Unconfirmed: return u"Unconfirmed"_qs;
    case S::Cancelled: return u"Cancelled"_qs;
    case S::Busy: return u"Busy"_qs;
    case S::LeftAlone: return u"LeftAlone"_qs;
    case S::Queued: return u"Queued"_qs;
    case S::Running: return u"Running"_qs;
    case S::Confirming: return u"Confirming"_qs;
    }
    return {};
}

// Faults of the program that the matrix shows: the row keeps asserting the safe behaviour, and
// the checks named here are expected to fail, with the reason.
enum class Check { Bytes, NamesEffect, Kind, PutBack };

struct KnownFault
{
    QList<Check> checks;
    const char *reason;
};

const QHash<QString, KnownFault> &knownFaults()
{
    static const QHash<QString, KnownFault> faults{
        {u"duplicate × controller upgrade"_qs,
         {{Check::NamesEffect, Check::Kind},
          "bus: a duplicated read reply is taken for the next read's (its address is not checked): a false verify error"}},
    };
    return faults;
}

// Marks the next check of the row as an expected failure when the row is known to fail it.
#define EXPECT_KNOWN_FAULT(row, check)                                                                  \
    do {                                                                                                \
        if (const auto known = knownFaults().constFind(row); known != knownFaults().cend()             \
            && known->checks.contains(check))                                                            \
            QEXPECT_FAIL("", known->reason, Continue);                                                  \
    } while (false)

QString oneLine(QString text)
{
    // The window's messages break lines with CR LF; a table cell takes one line and no bars.
    text.replace(u"\r\n"_qs, u"; "_qs).replace(QLatin1Char('\n'), u"; "_qs).replace(QLatin1Char('|'), QLatin1Char('/'));
    text = text.simplified();
    return text.size() > 110 ? text.left(107) + u"..."_qs : text;
}
} // namespace

class TestFaultMatrixLab : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<LabSimulator> m_sim;
    std::unique_ptr<TDatagramEngine> m_engine;
    std::unique_ptr<TOperationJournal> m_journal;
    std::unique_ptr<TOperationRecorder> m_recorder;
    std::unique_ptr<TJobService> m_service;

private slots:
    void initTestCase()
    {
        QVERIFY2(LabSimulator::inLab(), "talks to simulated devices: run it inside the lab (ctest does)");
        StartupInit();
    }

    void cleanup()
    {
        m_service.reset();
        m_recorder.reset();
        m_engine.reset();
        m_sim.reset();
        m_journal.reset();
        m_dir.reset();
    }

    void matrix_data()
    {
        QTest::addColumn<int>("operation");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("effect");
        const bool shortRun = qEnvironmentVariable("TARVINO_FAULT_MATRIX") == u"short"_qs;
        for (const FaultRow &row : faultRows()) {
            if (shortRun && !row.inShortRun)
                continue;
            const QList<std::tuple<Operation, QString, Effect>> cells{
                {Operation::Board, row.board, row.boardEffect},
                {Operation::Controller, row.controller, row.controllerEffect},
                {Operation::Configuration, row.configuration, row.configurationEffect}};
            for (const auto &[operation, fault, effect] : cells)
                QTest::newRow((QString::fromLatin1(row.name) + u" × "_qs + operationName(operation)).toUtf8().constData())
                    << int(operation) << fault << int(effect);
        }
    }

    void matrix()
    {
        QFETCH(int, operation);
        QFETCH(QString, fault);
        QFETCH(int, effect);
        const Operation op = Operation(operation);
        const QString row = QString::fromUtf8(QTest::currentDataTag());
        const QString device = LabSimulator::deviceIp(0);

        // Device 1 stands by for the stray answers; a board upgraded plays its restart by missing
        // two confirming scans.
        QStringList arguments{u"--seed"_qs, u"7"_qs, u"--fault"_qs, fault};
        if (op == Operation::Board)
            arguments << u"--fault"_qs << u"0:silent@52389@cmd=1@from=2@count=2"_qs;
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_sim = std::make_unique<LabSimulator>();
        QVERIFY2(m_sim->start(2, arguments), qPrintable(m_sim->errorString()));
        // The simulator answers at once: a shorter wait unit keeps an unanswered command to a second.
        TDatagramEngine::Options engineOptions;
        engineOptions.waitUnitMs = EngineWaitUnitMs;
        m_engine = std::make_unique<TDatagramEngine>(engineOptions);
        QVERIFY(!m_engine->boundAddresses().isEmpty());
        m_journal = std::make_unique<TOperationJournal>(m_dir->filePath(u"history.jsonl"_qs));
        m_recorder = std::make_unique<TOperationRecorder>(*m_journal, nullptr, nullptr);
        m_recorder->install();
        m_service = std::make_unique<TJobService>(m_engine.get(), m_journal.get());

        TScanDevices scan(m_engine.get(), {1, 0, 1000});
        scan.exec();
        QList<TJobDevice> devices;
        for (const TDeviceRecord &record : scan.devices())
            if (record.IpText == device)
                devices << TJobDevice::of(record);
        QCOMPARE(devices.size(), 1);

        // The bytes each operation must leave on the device.
        const QByteArray image = RandomBytes(8192, 40 + quint32(operation));
        QByteArray configuration;
        for (int line = 0; configuration.size() < 900; ++line)
            configuration += "channel" + QByteArray::number(line) + "=" + QByteArray::number(line * 7919 % 100000) + "\r\n";
        const QString file = op == Operation::Board ? WriteTestFileOrDie(m_dir->path(), u"p3-board-9.9.9.bin"_qs, image)
            : op == Operation::Controller           ? WriteTestFileOrDie(m_dir->path(), u"controller.bin"_qs, image)
                                                    : WriteTestFileOrDie(m_dir->path(), u"site.cfg"_qs, configuration);
        const TJobAction action = op == Operation::Board ? TJobAction::BoardUpgrade
            : op == Operation::Controller                ? TJobAction::ControllerUpgrade
                                                         : TJobAction::WriteConfiguration;

        TJobOptions options;
        options.timing = ShortLabTiming();
        options.timing.ftp = {FtpWaitMs, FtpWaitMs, FtpWaitMs, FtpWaitMs};
        options.comeBackListenMs = 500;
        options.comeBackTimeoutMs = ComeBackTimeoutMs;
        options.confirmed = true;
        options.libraryFolder = m_dir->filePath(u"library"_qs); // an empty library: any image may go
        QDir().mkpath(options.libraryFolder);

        QElapsedTimer clock;
        clock.start();
        TJob *job = m_service->create(TJobRequest::forDevices(action, devices, file, options));
        job->start();
        const bool ended = QTest::qWaitFor([job] { return job->isFinished(); }, HangBoundMs);
        const qint64 elapsedMs = clock.elapsed();
        if (!ended)
            job->cancel();
        const S status = job->item(0);
        const QJsonObject state = m_sim->deviceState(0);
        const int requests = int(m_sim->requests(device).size());
        const QString said = status.message + u" | "_qs + status.outcome.failedStep + u" | "_qs
            + status.outcome.failureText() + u" | "_qs + status.outcome.detail;
        qInfo("MATRIX|%s|%s|%s|%d|%lld", qPrintable(row.section(u" × "_qs, 0, 0)), qPrintable(operationName(op)),
              qPrintable(stateName(status.state)
                         + (status.state == S::Done ? QString()
                                                    : u": "_qs + ErrorKindKey(status.outcome.kind) + u" — "_qs
                                                          + oneLine(status.message))),
              requests, elapsedMs);
        qInfo("%s: %s", qPrintable(row), qPrintable(said));

        QVERIFY2(ended, "the job did not end: a hang");
        QVERIFY2(elapsedMs < HangBoundMs, qPrintable(u"%1 ms"_qs.arg(elapsedMs)));
        QVERIFY2(requests <= requestBound(op),
                 qPrintable(u"%1 requests, bound %2"_qs.arg(requests).arg(requestBound(op))));

        // The bytes on the device, by the simulator's state.
        const QJsonObject controller = state.value(u"controller"_qs).toObject();
        bool intended = false;
        switch (op) {
        case Operation::Board:
            intended = state.value(u"installedImage"_qs).toString() == u"p3-board-9.9.9.bin"_qs
                && state.value(u"files"_qs).toObject().value(u"p3-board-9.9.9.bin"_qs).toObject().value(u"sha256"_qs).toString()
                    == Sha256Text(image);
            break;
        case Operation::Controller:
            intended = controller.value(u"updateImageSha256"_qs).toString() == Sha256Text(image)
                && controller.value(u"firmwareSha256"_qs).toString() == Sha256Text(image);
            break;
        case Operation::Configuration:
            intended = controller.value(u"configurationHex"_qs).toString() == QString::fromLatin1(configuration.toHex());
            break;
        }

        // Success is told only when the device holds the bytes; a failure names what happened.
        if (status.state == S::Done) {
            EXPECT_KNOWN_FAULT(row, Check::Bytes);
            QVERIFY2(intended, "Done, but the device does not hold the intended bytes");
        } else {
            QVERIFY2(Effect(effect) != Effect::None, qPrintable(u"a fault this operation never meets made it fail: "_qs + said));
            QVERIFY2(status.state == S::Failed || status.state == S::Unconfirmed, qPrintable(stateName(status.state)));
            const QString lower = said.toLower();
            const QStringList words = status.state == S::Unconfirmed ? QStringList{u"answer"_qs, u"restart"_qs}
                                                                      : effectWords(Effect(effect));
            EXPECT_KNOWN_FAULT(row, Check::NamesEffect);
            QVERIFY2(std::any_of(words.cbegin(), words.cend(), [&](const QString &w) { return lower.contains(w); }),
                     qPrintable(u"the failure does not name the fault's effect: "_qs + said));
            if (status.state == S::Failed) {
                EXPECT_KNOWN_FAULT(row, Check::Kind);
                QVERIFY2(effectKinds(Effect(effect)).contains(status.outcome.kind),
                         qPrintable(u"kind "_qs + ErrorKindKey(status.outcome.kind)));
            }
        }

        // Put back, or the outcome says in what state it was left.
        const bool putBack = state.value(u"daemon"_qs).toBool() && !state.value(u"updater"_qs).toBool()
            && !state.value(u"ftpServer"_qs).toBool();
        if (!putBack) {
            EXPECT_KNOWN_FAULT(row, Check::PutBack);
            QVERIFY2(!status.outcome.device.normal(),
                     qPrintable(u"device left with daemon %1, updater %2, FTP server %3; the outcome says \"%4\""_qs
                                    .arg(state.value(u"daemon"_qs).toBool())
                                    .arg(state.value(u"updater"_qs).toBool())
                                    .arg(state.value(u"ftpServer"_qs).toBool())
                                    .arg(status.outcome.device.text())));
        }

        verifyHistory(status, action);
    }

private:
    // The operation's lines: "started", then its end with the outcome's words; after an upgrade
    // that went through, whether the device was found again.
    void verifyHistory(const S &status, TJobAction action)
    {
        const QList<TJournalEntry> lines = m_journal->read();
        QList<TJournalEntry> ends;
        std::optional<TJournalEntry> foundAgain;
        int started = 0;
        for (const TJournalEntry &line : lines) {
            if (line.ip != status.item.device.target.ip)
                continue;
            if (line.operation.endsWith(u": found again"_qs))
                foundAgain = line;
            else if (line.outcome == u"started"_qs)
                ++started;
            else
                ends << line;
        }
        QCOMPARE(started, 1);
        QCOMPARE(ends.size(), 1);
        const TJournalEntry &end = ends.first();
        const TOperationOutcome &outcome = status.outcome;
        QCOMPARE(end.outcome, outcome.succeeded ? u"succeeded"_qs : u"failed"_qs);
        QCOMPARE(end.message, outcome.succeeded ? QString() : outcome.failureText());
        QCOMPARE(end.deviceState, !outcome.succeeded && !outcome.device.normal() ? outcome.device.text() : QString());
        const bool upgrade = action == TJobAction::BoardUpgrade || action == TJobAction::ControllerUpgrade;
        if (upgrade && outcome.succeeded) {
            QVERIFY2(foundAgain, "an upgrade that went through has no \"found again\" line");
            QCOMPARE(foundAgain->outcome, status.state == S::Done ? u"succeeded"_qs : u"failed"_qs);
        } else {
            QVERIFY(!foundAgain);
            QCOMPARE(status.state == S::Done, outcome.succeeded);
        }
    }
};

QTEST_MAIN(TestFaultMatrixLab)
#include "tst_faultmatrix_lab.moc"
