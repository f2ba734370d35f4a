// The FTP client against a scripted server on 127.0.0.1: the lines the server receives, in order and
// byte for byte; the file it stores; the replies the exchange accepts and the ones that end it; every time
// limit; the progress events; and the window kept alive while the server is slow.

#include "ftp/ftpclient.h"
#include "scriptedftppeer.h"
#include "protocol/socketwait.h"
#include "testfiles.h"
#include "uikeepalive.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using Script = ScriptedFtpPeer::Script;
using DataMode = ScriptedFtpPeer::DataMode;
using Lines = QList<QByteArray>;

Q_DECLARE_METATYPE(ScriptedFtpPeer::Script)

namespace {

const QString Host = QStringLiteral("127.0.0.1");
const QByteArray FileName = "board fw-2.4.bin";
// Short limits for the tests that only need a server to stay silent, not the real figures.
constexpr Ftp::Limits Quick{1000, 1000, 1000, 1000};
// Wide margins: the machine is shared, a limit may end late but never early.
constexpr int LateMarginMs = 4000;
// Larger than everything the system buffers on loopback, so that a server that stops reading stalls it.
constexpr int StallingFileSize = 32 * 1024 * 1024;

QByteArray randomBytes(qsizetype size)
{
    return RandomBytes(size, static_cast<quint32>(size) ^ 0x5eedu);
}

// The lines the server gets in a complete exchange; "PORT *" stands for the PORT line.
Lines exchangeLines(bool withPassword = true)
{
    Lines lines{"user ftp"};
    if (withPassword)
        lines << "pass morvane40213";
    lines << "type I" << "syst" << "DELE " + FileName << "PORT *" << "STOR " + FileName << "Quit";
    return lines;
}

Lines firstLines(int count, bool withPassword = true)
{
    return exchangeLines(withPassword).first(count);
}

// The server's lines with the PORT line checked against the endpoint it named and replaced by "PORT *".
Lines normalised(const ScriptedFtpPeer &peer)
{
    Lines lines = peer.lines();
    for (QByteArray &line : lines) {
        if (!line.startsWith("PORT "))
            continue;
        const QByteArray expected = "PORT " + Ftp::portArgument(QHostAddress(Host).toIPv4Address(), peer.dataPort());
        line = (line == expected && peer.dataPort() != 0 && peer.dataHost() == "127.0.0.1") ? "PORT *" : "PORT ?" + line;
    }
    return lines;
}

struct Outcome
{
    QString error;
    int code = -1;
    qint64 elapsedMs = 0;
    bool deleted = false;
};

// The exchange as the upgrade window runs it.
Outcome upload(TFtpClient &ftp, quint16 port, const QString &path)
{
    Outcome outcome;
    QElapsedTimer timer;
    timer.start();
    try {
        ftp.ConnectAndLogin(Host, port, QString::fromLatin1(Wire::FtpUser), QString::fromLatin1(Wire::FtpPassword));
        const QString name = Ftp::bareFileName(path);
        outcome.deleted = ftp.Delete(name);
        ftp.Store(path, name);
        ftp.Quit();
    } catch (const FtpError &error) {
        outcome.error = error.message();
        outcome.code = error.replyCode();
    }
    outcome.elapsedMs = timer.elapsed();
    return outcome;
}

// The progress events in order: "b<total>", "p<done>", "e".
class ProgressLog
{
public:
    explicit ProgressLog(TFtpClient &ftp)
    {
        QObject::connect(&ftp, &TFtpClient::workBegan, &ftp, [this](qint64 total) { events << "b" + QByteArray::number(total); });
        QObject::connect(&ftp, &TFtpClient::workProgressed, &ftp, [this](qint64 done) { events << "p" + QByteArray::number(done); });
        QObject::connect(&ftp, &TFtpClient::workEnded, &ftp, [this] { events << "e"; });
    }
    Lines events;
};

Lines completeProgress(qint64 size)
{
    Lines events{"b" + QByteArray::number(size)};
    for (qint64 done = 0; done < size;) {
        done = std::min(done + Ftp::ChunkSize, size);
        events << "p" + QByteArray::number(done);
    }
    events << "e";
    return events;
}

Script withReplies(const QByteArray &verb, const Lines &replies, Script script = {})
{
    script.replies.insert(verb, replies);
    return script;
}

Script withFinal(const Lines &replies, Script script = {})
{
    script.finalReplies = replies;
    return script;
}

Script withData(DataMode mode, Script script = {})
{
    script.data = mode;
    return script;
}

} // namespace

class TestFtpClient : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    // A file under two folders, so that every exchange shows the folders being dropped.
    QString writeFile(const QByteArray &contents)
    {
        return WriteTestFileOrDie(QDir(m_dir.path()), QStringLiteral("images/release 2/") + QString::fromLatin1(FileName),
                                  contents);
    }

private slots:
    void initTestCase();
    void exchange_data();
    void exchange();
    void refusedReply_data();
    void refusedReply();
    void brokenTransfer_data();
    void brokenTransfer();
    void timeLimits_data();
    void timeLimits();
    void connectFailures_data();
    void connectFailures();
    void lateReplyIsNeverTaken();
    void refusedLocally_data();
    void refusedLocally();
    void waitsKeepWindowAlive_data();
    void waitsKeepWindowAlive();
    void callDuringWaitIsRefused();
    void stopEndsEveryWait_data();
    void stopEndsEveryWait();
};

void TestFtpClient::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TestFtpClient::exchange_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<int>("size");
    QTest::addColumn<Lines>("lines");
    QTest::addColumn<bool>("deleted");

    const int size = 200 * 1024 + 17;
    QTest::newRow("331 then 230") << Script{} << size << exchangeLines() << true;
    QTest::newRow("230 at user, no password line")
        << withReplies("USER", {"230 Login successful."}) << size << exchangeLines(false) << true;
    QTest::newRow("dele 550, still stored")
        << withReplies("DELE", {"550 Delete operation failed."}) << size << exchangeLines() << false;
    QTest::newRow("426 then 226") << withFinal({"426 Connection closed.", "226 Transfer complete."}) << size
                                  << exchangeLines() << true;
    QTest::newRow("final 225") << withFinal({"225 Data connection open; no transfer in progress."}) << size
                               << exchangeLines() << true;
    QTest::newRow("final 250") << withFinal({"250 Requested file action okay, completed."}) << size
                               << exchangeLines() << true;
    QTest::newRow("syst 500") << withReplies("SYST", {"500 Unknown command."}) << size << exchangeLines() << true;
    QTest::newRow("syst 200") << withReplies("SYST", {"200 Windows_NT"}) << size << exchangeLines() << true;
    Script late = withReplies("STOR", {"125 Data connection already open; transfer starting."});
    late.connectBeforeReply = false;
    late.dataDelayMs = 300;
    QTest::newRow("stor 125, connection after the reply") << late << size << exchangeLines() << true;
    Script multi;
    multi.greeting = {"220-Welcome to the board.", "220-123 inner line with digits", " 220 indented", "220 Ready."};
    multi.replies.insert("USER", {"331-Password", "331-230 still inside", "331 required."});
    multi.replies.insert("SYST", {"215-UNIX", "215 Type: L8"});
    multi.finalReplies = {"226-Done.", "226 Transfer complete."};
    QTest::newRow("multi-line replies") << multi << size << exchangeLines() << true;
    Script bareLf;
    bareLf.lineEnd = "\n";
    QTest::newRow("lines ending in lf alone") << bareLf << size << exchangeLines() << true;
    QTest::newRow("empty file") << Script{} << 0 << exchangeLines() << true;
    QTest::newRow("one byte") << Script{} << 1 << exchangeLines() << true;
    QTest::newRow("exactly one chunk") << Script{} << int(Ftp::ChunkSize) << exchangeLines() << true;
    QTest::newRow("many chunks") << Script{} << 5 * 1024 * 1024 + 3 << exchangeLines() << true;
}

void TestFtpClient::exchange()
{
    QFETCH(Script, script);
    QFETCH(int, size);
    QFETCH(Lines, lines);
    QFETCH(bool, deleted);

    ScriptedFtpPeer peer(script);
    QVERIFY(peer.isListening());
    const QByteArray contents = randomBytes(size);
    const QString path = writeFile(contents);
    TFtpClient ftp;
    ProgressLog progress(ftp);

    const Outcome outcome = upload(ftp, peer.port(), path);
    QCOMPARE(outcome.error, QString());
    QCOMPARE(outcome.deleted, deleted);
    QVERIFY(!ftp.isConnected());
    QVERIFY(peer.waitFor([](const ScriptedFtpPeer &p) { return p.lines().endsWith("Quit"); }));
    QCOMPARE(normalised(peer), lines);
    QCOMPARE(peer.rawCommands(), peer.lines().join("\r\n") + "\r\n");
    QCOMPARE(peer.storedName(), FileName);
    QVERIFY(peer.transferEnded());
    QCOMPARE(peer.stored().size(), contents.size());
    QVERIFY(peer.stored() == contents);
    QCOMPARE(progress.events, completeProgress(size));
    QCOMPARE(peer.controlConnections(), 1);
}

void TestFtpClient::refusedReply_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("code");
    QTest::addColumn<Lines>("lines"); // what the server got: nothing after the refused command
    QTest::addColumn<bool>("transferred");

    Script busy;
    busy.greeting = {"421 Too many users, try later."};
    QTest::newRow("greeting 421") << busy << QStringLiteral("421 Too many users, try later.") << 421 << Lines{} << false;
    Script early;
    early.greeting = {"120 Service ready in 5 minutes."};
    QTest::newRow("greeting 120") << early << QStringLiteral("120 Service ready in 5 minutes.") << 120 << Lines{} << false;
    QTest::newRow("user 530") << withReplies("USER", {"530 This FTP server is anonymous only."})
                              << QStringLiteral("530 This FTP server is anonymous only.") << 530 << firstLines(1) << false;
    QTest::newRow("pass 530") << withReplies("PASS", {"530 Login incorrect."}) << QStringLiteral("530 Login incorrect.")
                              << 530 << firstLines(2) << false;
    QTest::newRow("pass 530 multi-line") << withReplies("PASS", {"530-Login incorrect.", "530 Check the password."})
                                         << QStringLiteral("530-Login incorrect.\n530 Check the password.") << 530
                                         << firstLines(2) << false;
    QTest::newRow("pass 332") << withReplies("PASS", {"332 Need account for login."})
                              << QStringLiteral("332 Need account for login.") << 332 << firstLines(2) << false;
    QTest::newRow("type 504") << withReplies("TYPE", {"504 Type not supported."})
                              << QStringLiteral("504 Type not supported.") << 504 << firstLines(3) << false;
    QTest::newRow("syst 502") << withReplies("SYST", {"502 Command not implemented."})
                              << QStringLiteral("502 Command not implemented.") << 502 << firstLines(4) << false;
    QTest::newRow("port 501") << withReplies("PORT", {"501 Illegal PORT command."})
                              << QStringLiteral("501 Illegal PORT command.") << 501 << firstLines(6) << false;
    QTest::newRow("stor 553") << withReplies("STOR", {"553 Could not create file."})
                              << QStringLiteral("553 Could not create file.") << 553 << firstLines(7) << false;
    QTest::newRow("stor 425") << withReplies("STOR", {"425 Can't open data connection."})
                              << QStringLiteral("425 Can't open data connection.") << 425 << firstLines(7) << false;
    QTest::newRow("425 after 150, no connection")
        << withData(DataMode::Never, withReplies("STOR", {"150 Ok to send data.", "425 Failed to establish connection."}))
        << QStringLiteral("425 Failed to establish connection.") << 425 << firstLines(7) << false;
    QTest::newRow("final 451") << withFinal({"451 Local error in processing."})
                               << QStringLiteral("451 Local error in processing.") << 451 << firstLines(7) << true;
    QTest::newRow("final 552") << withFinal({"552 Exceeded storage allocation."})
                               << QStringLiteral("552 Exceeded storage allocation.") << 552 << firstLines(7) << true;
    QTest::newRow("426 then 451") << withFinal({"426 Connection closed.", "451 Write failed."})
                                  << QStringLiteral("451 Write failed.") << 451 << firstLines(7) << true;
    QTest::newRow("unreadable reply") << withReplies("TYPE", {"Hello there"})
                                      << QStringLiteral("Unreadable reply from 127.0.0.1: Hello there") << 0
                                      << firstLines(3) << false;
    QTest::newRow("closed after user") << withReplies("USER", {"!close"})
                                       << QStringLiteral("Connection to 127.0.0.1 closed by the server") << 0
                                       << firstLines(1) << false;
    // The server's "done" after its connection was turned away is no success: the message says so.
    QTest::newRow("226 after a connection from another address")
        << withFinal({"226 done."}, withData(DataMode::FromOtherAddressThenFinal))
        << QStringLiteral("No data connection from 127.0.0.1: a connection came from 127.0.0.2 and was refused\n"
                          "226 done.")
        << 226 << firstLines(7) << false;
    QTest::newRow("421 then closed after dele")
        << withReplies("DELE", {"421 Timeout.", "!close"}) << QStringLiteral("421 Timeout.") << 421 << firstLines(5)
        << false;
}

void TestFtpClient::refusedReply()
{
    QFETCH(Script, script);
    QFETCH(QString, message);
    QFETCH(int, code);
    QFETCH(Lines, lines);
    QFETCH(bool, transferred);

    ScriptedFtpPeer peer(script);
    const QByteArray contents = randomBytes(100 * 1000);
    const QString path = writeFile(contents);
    TFtpClient ftp;
    ProgressLog progress(ftp);
    if (script.data == DataMode::FromOtherAddressThenFinal)
        QTest::ignoreMessage(QtWarningMsg, "Data connection from 127.0.0.2 refused: the FTP server is 127.0.0.1");
    const Outcome outcome = upload(ftp, peer.port(), path);
    QCOMPARE(outcome.error, message);
    QCOMPARE(outcome.code, code);
    QVERIFY2(outcome.elapsedMs < 3000, "a refusal ends the exchange at once");
    QTest::qWait(100); // anything sent after the refusal would have arrived by now
    QCOMPARE(normalised(peer), lines);
    QCOMPARE(progress.events, transferred ? completeProgress(contents.size()) : Lines{});
    if (transferred)
        QVERIFY(peer.stored() == contents);
}

void TestFtpClient::brokenTransfer_data()
{
    QTest::addColumn<Lines>("finalReplies");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("code");
    QTest::newRow("reset, then 426") << Lines{"426 Connection closed; transfer aborted."}
                                     << QStringLiteral("426 Connection closed; transfer aborted.") << 426;
    QTest::newRow("reset, nothing said")
        << Lines{} << QStringLiteral("The data connection to 127.0.0.1 broke after ") << 0;
}

void TestFtpClient::brokenTransfer()
{
    QFETCH(Lines, finalReplies);
    QFETCH(QString, message);
    QFETCH(int, code);

    Script script = withFinal(finalReplies, withData(DataMode::ResetAfter));
    script.resetAfter = 256 * 1024;
    ScriptedFtpPeer peer(script);
    const QString path = writeFile(randomBytes(StallingFileSize));
    TFtpClient ftp(nullptr, Quick);
    ProgressLog progress(ftp);
    const Outcome outcome = upload(ftp, peer.port(), path);
    QVERIFY2(outcome.error.startsWith(message), qPrintable(outcome.error));
    QCOMPARE(outcome.code, code);
    QVERIFY(outcome.elapsedMs < Quick.replyMs + LateMarginMs);
    // Begun, some progress but not all of it, and ended all the same.
    QVERIFY(progress.events.size() >= 2);
    QCOMPARE(progress.events.first(), "b" + QByteArray::number(StallingFileSize));
    QCOMPARE(progress.events.last(), QByteArray("e"));
    QCOMPARE(progress.events.count("e"), 1);
    QVERIFY(!progress.events.contains("p" + QByteArray::number(StallingFileSize)));
    QVERIFY(!normalised(peer).contains("Quit"));
}

void TestFtpClient::timeLimits_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<bool>("transferBegan");

    const QString noReply = QStringLiteral("No reply from 127.0.0.1 within 1 s");
    const QString noData = QStringLiteral("No data connection from 127.0.0.1 within 1 s");
    Script mute;
    mute.greeting = {};
    QTest::newRow("no greeting") << mute << 1000 << noReply << 0 << Quick.replyMs << false;
    QTest::newRow("no reply to user") << withReplies("USER", {}) << 1000 << noReply << 0 << Quick.replyMs << false;
    QTest::newRow("half a reply to pass") << withReplies("PASS", {"230-Welcome"}) << 1000 << noReply << 0
                                          << Quick.replyMs << false;
    QTest::newRow("no reply to stor") << withReplies("STOR", {}) << 1000 << noReply << 0 << Quick.replyMs << false;
    QTest::newRow("no data connection") << withData(DataMode::Never) << 1000 << noData << 0 << Quick.dataConnectMs
                                        << false;
    QTest::newRow("data connection from another address")
        << withData(DataMode::FromOtherAddress) << 1000
        << QStringLiteral("No data connection from 127.0.0.1: a connection came from 127.0.0.2 and was refused "
                          "(waited 1 s)")
        << 0 << Quick.dataConnectMs << false;
    QTest::newRow("no final reply") << withFinal({}) << 1000 << noReply << 0 << Quick.replyMs << true;
    QTest::newRow("426, then nothing") << withFinal({"426 Connection closed."}) << 1000
                                       << QStringLiteral("426 Connection closed.\n") + noReply << 426 << Quick.replyMs
                                       << true;
    QTest::newRow("server takes no data")
        << withData(DataMode::Stall) << StallingFileSize
        << QStringLiteral("The transfer to 127.0.0.1 made no progress for 1 s") << 0 << Quick.stallMs << true;
}

void TestFtpClient::timeLimits()
{
    QFETCH(Script, script);
    QFETCH(int, size);
    QFETCH(QString, message);
    QFETCH(int, code);
    QFETCH(int, limitMs);
    QFETCH(bool, transferBegan);

    ScriptedFtpPeer peer(script);
    const QString path = writeFile(randomBytes(size));
    TFtpClient ftp(nullptr, Quick);
    ProgressLog progress(ftp);
    if (script.data == DataMode::FromOtherAddress)
        QTest::ignoreMessage(QtWarningMsg, "Data connection from 127.0.0.2 refused: the FTP server is 127.0.0.1");
    const Outcome outcome = upload(ftp, peer.port(), path);
    QCOMPARE(outcome.error, message);
    QCOMPARE(outcome.code, code);
    QVERIFY2(outcome.elapsedMs >= limitMs, qPrintable(QString::number(outcome.elapsedMs)));
    QVERIFY2(outcome.elapsedMs < limitMs + LateMarginMs, qPrintable(QString::number(outcome.elapsedMs)));
    QVERIFY(!ftp.isConnected());
    QCOMPARE(!progress.events.isEmpty(), transferBegan);
    if (transferBegan)
        QCOMPARE(progress.events.last(), QByteArray("e"));
}

void TestFtpClient::connectFailures_data()
{
    QTest::addColumn<bool>("listening");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    QTest::newRow("refused") << false << QStringLiteral("Connection to 127.0.0.1 port %1 refused") << 0 << 2000;
    QTest::newRow("no answer") << true << QStringLiteral("No connection to 127.0.0.1 port %1 within 1 s")
                               << Quick.connectMs << Quick.connectMs + LateMarginMs;
}

void TestFtpClient::connectFailures()
{
    QFETCH(bool, listening);
    QFETCH(QString, message);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    // A listening socket whose queue of one is already full: the system drops further connection requests
    // unanswered, as a host that has gone away would.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), length), 0);
    QCOMPARE(::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length), 0);
    const quint16 port = ntohs(address.sin_port);
    QTcpSocket filler;
    if (listening) {
        QCOMPARE(::listen(fd, 0), 0);
        filler.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(filler.waitForConnected(2000));
    }

    TFtpClient ftp(nullptr, Quick);
    QElapsedTimer timer;
    timer.start();
    QString error;
    try {
        ftp.Connect(Host, port);
    } catch (const FtpError &e) {
        error = e.message();
    }
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(error, message.arg(port));
    QVERIFY2(elapsed >= minMs && elapsed < maxMs, qPrintable(QString::number(elapsed)));
    QVERIFY(!ftp.isConnected());
}

void TestFtpClient::lateReplyIsNeverTaken()
{
    Script script;
    script.delaysMs.insert("USER", Quick.replyMs + 500);
    ScriptedFtpPeer peer(script);
    TFtpClient ftp(nullptr, Quick);
    ftp.Connect(Host, peer.port());
    QVERIFY_THROWS_EXCEPTION(FtpError, ftp.Login(QStringLiteral("ftp"), QStringLiteral("x")));
    QTest::qWait(700); // the late 331 has been sent by now
    QElapsedTimer timer;
    timer.start();
    try {
        ftp.SetBinary();
        QFAIL("the call went on after the time-out");
    } catch (const FtpError &error) {
        QCOMPARE(error.message(),
                 QStringLiteral("Not connected to 127.0.0.1: the connection was closed after an earlier error"));
    }
    QVERIFY(timer.elapsed() < 500);
    QCOMPARE(peer.lines(), Lines{"user ftp"});
}

void TestFtpClient::refusedLocally_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("message");
    QTest::addColumn<Lines>("lines");
    QTest::newRow("line break in name") << QStringLiteral("delete") << QStringLiteral("fw.bin\r\nDELE other")
                                        << QStringLiteral("The file name \"fw.bin\r\nDELE other\" cannot be sent to an FTP server")
                                        << firstLines(4);
    QTest::newRow("empty name") << QStringLiteral("store-as") << QString()
                                << QStringLiteral("The file name \"\" cannot be sent to an FTP server") << firstLines(4);
    QTest::newRow("missing local file") << QStringLiteral("store") << QStringLiteral("no such file.bin")
                                        << QStringLiteral("Cannot read %1: No such file or directory") << firstLines(4);
    QTest::newRow("never connected") << QStringLiteral("unconnected") << QString()
                                     << QStringLiteral("Not connected to an FTP server") << Lines{};
}

void TestFtpClient::refusedLocally()
{
    QFETCH(QString, step);
    QFETCH(QString, argument);
    QFETCH(QString, message);
    QFETCH(Lines, lines);

    ScriptedFtpPeer peer(Script{});
    const QString path = writeFile("data");
    TFtpClient ftp;
    QString error;
    try {
        if (step == QLatin1String("unconnected")) {
            ftp.Store(path);
        } else {
            ftp.ConnectAndLogin(Host, peer.port(), QStringLiteral("ftp"), QString::fromLatin1(Wire::FtpPassword));
            if (step == QLatin1String("delete")) {
                ftp.Delete(argument);
            } else if (step == QLatin1String("store-as")) {
                ftp.Store(path, argument);
            } else {
                const QString missing = m_dir.filePath(argument);
                message = message.arg(missing);
                ftp.Store(missing);
            }
        }
    } catch (const FtpError &e) {
        error = e.message();
    }
    QCOMPARE(error, message);
    QTest::qWait(100);
    QCOMPARE(peer.lines(), lines);
}

void TestFtpClient::waitsKeepWindowAlive_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("keepAlive");

    Script slowReply;
    slowReply.delaysMs.insert("USER", 800);
    Script slowData;
    slowData.connectBeforeReply = false;
    slowData.dataDelayMs = 800;
    Script slowReader = withData(DataMode::PauseThenReceive);
    slowReader.dataDelayMs = 800;
    for (const bool keepAlive : {true, false}) {
        const char *with = keepAlive ? "keep-alive" : "no keep-alive";
        QTest::addRow("slow reply, %s", with) << slowReply << 1000 << keepAlive;
        QTest::addRow("slow data connection, %s", with) << slowData << 1000 << keepAlive;
        QTest::addRow("server pauses reading, %s", with) << slowReader << StallingFileSize << keepAlive;
    }
}

void TestFtpClient::waitsKeepWindowAlive()
{
    QFETCH(Script, script);
    QFETCH(int, size);
    QFETCH(bool, keepAlive);

    ScriptedFtpPeer peer(script);
    const QByteArray contents = randomBytes(size);
    const QString path = writeFile(contents);
    std::optional<TUiKeepAlive> alive;
    if (keepAlive)
        alive.emplace();
    TFtpClient ftp;
    int ticks = 0;
    QTimer window;
    window.setInterval(20);
    connect(&window, &QTimer::timeout, this, [&ticks] { ++ticks; });
    window.start();
    const Outcome outcome = upload(ftp, peer.port(), path);
    window.stop();
    QCOMPARE(outcome.error, QString());
    QVERIFY(outcome.elapsedMs >= 800);
    if (keepAlive)
        QVERIFY2(ticks > 0, "the window was not kept alive while the server was slow");
    else
        QCOMPARE(ticks, 0);
    QVERIFY(peer.waitFor([](const ScriptedFtpPeer &p) { return p.transferEnded(); }));
    QVERIFY(peer.stored() == contents);
}

void TestFtpClient::callDuringWaitIsRefused()
{
    Script script;
    script.delaysMs.insert("USER", 600);
    ScriptedFtpPeer peer(script);
    const QByteArray contents = randomBytes(1000);
    const QString path = writeFile(contents);
    TUiKeepAlive alive;
    TFtpClient ftp;
    QString nested;
    QTimer::singleShot(100, this, [&] {
        try {
            ftp.Syst();
        } catch (const FtpError &e) {
            nested = e.message();
        }
    });
    const Outcome outcome = upload(ftp, peer.port(), path);
    QCOMPARE(nested, QStringLiteral("The FTP client is busy with another command"));
    QCOMPARE(outcome.error, QString());
    QVERIFY(peer.waitFor([](const ScriptedFtpPeer &p) { return p.lines().endsWith("Quit"); }));
    QCOMPARE(normalised(peer), exchangeLines());
    QVERIFY(peer.stored() == contents);
}

// A stop from another thread ends the wait under way, whichever it is, long before its limit: the
// call throws FtpStopped, the control connection is closed and nothing more goes out; a transfer
// under way is aborted, so the server never receives the whole file.
void TestFtpClient::stopEndsEveryWait_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<QByteArray>("stopAfterLine"); // empty: once connected; "DATA": once data came
    QTest::addColumn<Lines>("lines");              // what the server received in all

    Script noGreeting;
    noGreeting.greeting = {};
    QTest::newRow("the greeting") << noGreeting << QByteArray() << Lines{};
    QTest::newRow("a reply") << withReplies("USER", {}) << QByteArray("user ftp") << firstLines(1);
    QTest::newRow("the data connection") << withData(DataMode::Never) << QByteArray("STOR " + FileName)
                                         << firstLines(7);
    QTest::newRow("the data writes") << withData(DataMode::Slow) << QByteArray("DATA") << firstLines(7);
    QTest::newRow("the final reply") << withFinal({}) << QByteArray("STOR " + FileName) << firstLines(7);
}

void TestFtpClient::stopEndsEveryWait()
{
    QFETCH(Script, script);
    QFETCH(QByteArray, stopAfterLine);
    QFETCH(Lines, lines);

    ScriptedFtpPeer peer(script);
    // Limits far beyond the test's own: only the stop can end these waits in time.
    constexpr Ftp::Limits Long{120000, 120000, 120000, 120000};
    const bool finalRow = script.finalReplies.isEmpty();
    const QByteArray contents = randomBytes(finalRow ? 1024 : StallingFileSize);
    const QString path = writeFile(contents);
    TFtpClient ftp(nullptr, Long);
    std::atomic<bool> stop{false};
    ftp.setStopFlag(&stop);
    ProgressLog progress(ftp);

    std::thread stopper([&] {
        peer.waitFor([&](const ScriptedFtpPeer &p) {
            if (stopAfterLine.isEmpty())
                return p.controlConnections() > 0;
            if (stopAfterLine == "DATA")
                return p.stored().size() >= 4 * ScriptedFtpPeer::SlowReadBytes;
            // The final reply's wait begins once the whole file is in.
            if (finalRow)
                return p.transferEnded();
            return p.lines().contains(stopAfterLine);
        }, 20000);
        stop = true; // whether or not the step was reached: the test never hangs
    });
    QString stoppedWith;
    QString failedWith;
    try {
        ftp.ConnectAndLogin(Host, peer.port(), QString::fromLatin1(Wire::FtpUser), QString::fromLatin1(Wire::FtpPassword));
        const QString name = Ftp::bareFileName(path);
        ftp.Delete(name);
        ftp.Store(path, name);
        ftp.Quit();
    } catch (const FtpStopped &error) {
        stoppedWith = error.message();
    } catch (const FtpError &error) {
        failedWith = error.message();
    }
    stopper.join();

    QCOMPARE(failedWith, QString());
    QCOMPARE(stoppedWith, QStringLiteral("The FTP exchange with 127.0.0.1 was stopped"));
    QVERIFY(!ftp.isConnected());
    QCOMPARE(normalised(peer), lines);
    if (stopAfterLine == "DATA") {
        // Returned while the server was still taking the file (it would take minutes at its pace).
        QVERIFY2(peer.stored().size() < contents.size(), qPrintable(QString::number(peer.stored().size())));
        QCOMPARE(progress.events.last(), QByteArray("e"));
        QVERIFY(!progress.events.contains("p" + QByteArray::number(contents.size())));
    }
    // Later calls fail at once, sending nothing.
    QVERIFY_THROWS_EXCEPTION(FtpError, ftp.Delete(QStringLiteral("x")));
    QCOMPARE(normalised(peer), lines);
}

QTEST_GUILESS_MAIN(TestFtpClient)
#include "tst_ftpclient.moc"
