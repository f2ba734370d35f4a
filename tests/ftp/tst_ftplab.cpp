// The FTP client against the simulated communication board in the lab: what the board's server
// received, in order; the file it stored, byte for byte under its bare name; its variants (login at USER,
// 426 then 226) and its faults (silent, refusing, stopped).

#include "ftp/ftpclient.h"
#include "labsim.h"
#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// The device the tests talk to; the other one must stay untouched.
constexpr int Device = 1;
constexpr int Devices = 2;
const QString FileName = QStringLiteral("board fw-2.4.bin");
constexpr Ftp::Limits Quick{1000, 1000, 1000, 1000};
constexpr int LateMarginMs = 4000;

QStringList simulatorArguments(bool ftpAlwaysOn, const QString &fault)
{
    QStringList arguments;
    if (ftpAlwaysOn)
        arguments << QStringLiteral("--ftp-always-on");
    if (!fault.isEmpty())
        arguments << QStringLiteral("--fault") << QStringLiteral("%1:%2@21").arg(LabSimulator::deviceIp(Device), fault);
    return arguments;
}

// The FTP lines the device's server journalled, per control connection in the order they were made:
// "connect", then each command line as received. (The simulator serves all connections in one thread, so
// the lines of two connections may interleave in its journal.)
QList<QStringList> ftpSessions(const LabSimulator &sim, int device)
{
    QStringList peers;
    QList<QStringList> sessions;
    for (const QJsonObject &request : sim.requests(LabSimulator::deviceIp(device), Wire::FtpPort)) {
        const QString from = request.value(QLatin1String("from")).toString();
        if (!peers.contains(from)) {
            peers << from;
            sessions << QStringList{};
        }
        sessions[peers.indexOf(from)] << request.value(QLatin1String("ftp")).toString();
    }
    return sessions;
}

qsizetype lineCount(const QList<QStringList> &sessions)
{
    qsizetype count = 0;
    for (const QStringList &session : sessions)
        count += session.size();
    return count;
}

struct Outcome
{
    QString error;
    int code = -1;
    qint64 elapsedMs = 0;
    QList<bool> deleted;
};

} // namespace

class TestFtpLab : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<LabSimulator> m_sim;

    QString writeFile(const QByteArray &contents)
    {
        return WriteTestFileOrDie(QDir(m_dir.path()), QStringLiteral("images/release 2/") + FileName, contents);
    }

    // The upgrade's exchange, once per content, each on a connection of its own.
    Outcome upload(const QList<QByteArray> &contents, Ftp::Limits limits = {})
    {
        Outcome outcome;
        QElapsedTimer timer;
        timer.start();
        try {
            for (const QByteArray &content : contents) {
                const QString path = writeFile(content);
                TFtpClient ftp(nullptr, limits);
                ftp.ConnectAndLogin(LabSimulator::deviceIp(Device), Wire::FtpPort, QString::fromLatin1(Wire::FtpUser),
                                    QString::fromLatin1(Wire::FtpPassword));
                outcome.deleted << ftp.Delete(Ftp::bareFileName(path));
                ftp.Store(path);
                ftp.Quit();
            }
        } catch (const FtpError &error) {
            outcome.error = error.message();
            outcome.code = error.replyCode();
        }
        outcome.elapsedMs = timer.elapsed();
        return outcome;
    }

private slots:
    void initTestCase();
    void cleanup();
    void uploads_data();
    void uploads();
    void failures_data();
    void failures();
};

void TestFtpLab::initTestCase()
{
    if (!LabSimulator::inLab())
        QSKIP("runs in the lab's PC namespace (ctest runs it there after lab up)");
    QVERIFY(m_dir.isValid());
}

void TestFtpLab::cleanup()
{
    m_sim.reset();
}

void TestFtpLab::uploads_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("password");
    QTest::newRow("331 then 230") << QString() << true;
    QTest::newRow("230 at user") << QStringLiteral("ftp-user-230") << false;
    QTest::newRow("426 then 226") << QStringLiteral("ftp-426") << true;
}

void TestFtpLab::uploads()
{
    QFETCH(QString, fault);
    QFETCH(bool, password);

    m_sim = std::make_unique<LabSimulator>();
    QVERIFY2(m_sim->start(Devices, simulatorArguments(true, fault)), qPrintable(m_sim->errorString()));
    const QList<QByteArray> contents{RandomBytes(2 * 1024 * 1024 + 3, 1), RandomBytes(300 * 1024 + 1, 2)};
    const Outcome outcome = upload(contents);
    QCOMPARE(outcome.error, QString());
    QCOMPARE(outcome.deleted, (QList<bool>{false, true})); // no file at first, then the first upload

    QStringList round{QStringLiteral("connect"), QStringLiteral("user ftp")};
    if (password)
        round << QStringLiteral("pass %1").arg(QString::fromLatin1(Wire::FtpPassword));
    round << QStringLiteral("type I") << QStringLiteral("syst") << QStringLiteral("DELE ") + FileName << QStringLiteral("PORT")
          << QStringLiteral("STOR ") + FileName << QStringLiteral("Quit");
    const QList<QStringList> expected{round, round};
    QVERIFY(m_sim->waitForJournal(
        [&](const QList<QJsonObject> &) { return lineCount(ftpSessions(*m_sim, Device)) >= lineCount(expected); }));
    QList<QStringList> sessions = ftpSessions(*m_sim, Device);
    for (QStringList &session : sessions) {
        for (QString &line : session) {
            // Active mode on the lab's PC address: the board connects back to 198.18.0.1.
            if (line.startsWith(QLatin1String("PORT ")) && line.mid(5).startsWith(QLatin1String("198,18,0,1,"))
                && line.mid(5).split(QLatin1Char(',')).size() == 6)
                line = QStringLiteral("PORT");
        }
    }
    QCOMPARE(sessions, expected);
    QVERIFY2(m_sim->storedFile(Device, FileName) == contents.last(), "the device's copy differs");
    QCOMPARE(QDir(m_sim->ftpRoot() + QLatin1Char('/') + LabSimulator::deviceIp(Device)).entryList(QDir::Files),
             QStringList{FileName});
    QCOMPARE(ftpSessions(*m_sim, 0), QList<QStringList>{});
}

void TestFtpLab::failures_data()
{
    QTest::addColumn<bool>("ftpAlwaysOn");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("messages"); // any of them
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    const QString device = LabSimulator::deviceIp(Device);
    // The simulator turns a connection away by accepting it and resetting it at once (one listener serves
    // every device), so the reset can reach the client during the connect or at its first read.
    const QStringList reset{QStringLiteral("Cannot connect to %1 port 21: Connection reset by peer").arg(device),
                            QStringLiteral("Connection to %1 closed by the server").arg(device),
                            QStringLiteral("Connection to %1 lost: Connection reset by peer").arg(device)};
    QTest::newRow("silent") << true << QStringLiteral("ftp-silent")
                            << QStringList{QStringLiteral("No reply from %1 within 1 s").arg(device)} << Quick.replyMs
                            << Quick.replyMs + LateMarginMs;
    QTest::newRow("refusing") << true << QStringLiteral("refuse") << reset << 0 << 2000;
    QTest::newRow("ftp server not started") << false << QString() << reset << 0 << 2000;
}

void TestFtpLab::failures()
{
    QFETCH(bool, ftpAlwaysOn);
    QFETCH(QString, fault);
    QFETCH(QStringList, messages);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    m_sim = std::make_unique<LabSimulator>();
    QVERIFY2(m_sim->start(Devices, simulatorArguments(ftpAlwaysOn, fault)), qPrintable(m_sim->errorString()));
    const Outcome outcome = upload({RandomBytes(1000, 3)}, Quick);
    QVERIFY2(messages.contains(outcome.error), qPrintable(outcome.error));
    QCOMPARE(outcome.code, 0);
    QVERIFY2(outcome.elapsedMs >= minMs && outcome.elapsedMs < maxMs, qPrintable(QString::number(outcome.elapsedMs)));
    // The device saw the connection and nothing else: the client sends no command without a greeting.
    const QList<QStringList> connectOnly{{QStringLiteral("connect")}};
    QVERIFY(m_sim->waitForJournal([&](const QList<QJsonObject> &) { return !ftpSessions(*m_sim, Device).isEmpty(); }));
    QCOMPARE(ftpSessions(*m_sim, Device), connectOnly);
    QVERIFY(m_sim->storedFile(Device, FileName).isEmpty());
}

QTEST_GUILESS_MAIN(TestFtpLab)
#include "tst_ftplab.moc"
