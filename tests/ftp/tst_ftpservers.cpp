// The FTP client against FTP servers none of whose code is ours: Debian's vsftpd and pyftpdlib, each on
// 127.0.0.1 and a free port, with a root of their own in a temporary directory. Each receives the file
// byte for byte under its bare name, the first time without the file (DELE fails), the second time over
// it (DELE succeeds); the lines they logged show what they received.

#include "ftp/ftpclient.h"
#include "testfiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <pwd.h>
#include <unistd.h>

#include <memory>

namespace {

const QString Host = QStringLiteral("127.0.0.1");
const QString FileName = QStringLiteral("board fw-2.4.bin");
constexpr int StartTimeoutMs = 10000;
constexpr int StopTimeoutMs = 3000;
constexpr int StartAttempts = 3;
// The account vsftpd runs as when the tests run as root: its files are then the only ones it may write.
const char *const VsftpdAccount = "nobody";

const QString Python = QStringLiteral("/usr/bin/python3");
const QString Vsftpd = QStringLiteral("/usr/sbin/vsftpd");
const QString Setpriv = QStringLiteral("/usr/bin/setpriv");

enum class ServerKind { Pyftpdlib, Vsftpd, VsftpdNoPassword };

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress(Host), 0) ? probe.serverPort() : 0;
}

// One server process of another maker, stopped by its process id when the test is done with it.
class ForeignFtpServer
{
public:
    explicit ForeignFtpServer(ServerKind kind) : m_kind(kind) {}
    ~ForeignFtpServer() { stop(); }
    ForeignFtpServer(const ForeignFtpServer &) = delete;
    ForeignFtpServer &operator=(const ForeignFtpServer &) = delete;

    bool start()
    {
        if (!m_dir.isValid())
            return failed(QStringLiteral("no temporary directory"));
        QDir().mkpath(root());
        return m_kind == ServerKind::Pyftpdlib ? startPyftpdlib() : startVsftpd();
    }

    void stop()
    {
        if (!m_process)
            return;
        if (m_process->state() != QProcess::NotRunning) {
            if (m_kind == ServerKind::Pyftpdlib)
                m_process->closeWriteChannel(); // it ends when its input closes
            else
                m_process->terminate();
            if (!m_process->waitForFinished(StopTimeoutMs)) {
                m_process->kill();
                m_process->waitForFinished(StopTimeoutMs);
            }
        }
        m_process.reset();
    }

    quint16 port() const { return m_port; }
    QString root() const { return m_dir.filePath(QStringLiteral("root")); }
    QString error() const { return m_error; }

    // The command lines the server logged, in order.
    QList<QByteArray> commands() const
    {
        QFile file(m_dir.filePath(m_kind == ServerKind::Pyftpdlib ? QStringLiteral("journal.txt") : QStringLiteral("vsftpd.log")));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QList<QByteArray> lines;
        // vsftpd: ... FTP command: Client "127.0.0.1", "USER ftp"
        static const QRegularExpression vsftpdCommand(QStringLiteral("FTP command: Client \"[^\"]*\", \"(.*)\"$"));
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (m_kind == ServerKind::Pyftpdlib) {
                if (!line.isEmpty())
                    lines << line;
                continue;
            }
            const QRegularExpressionMatch match = vsftpdCommand.match(QString::fromUtf8(line));
            if (match.hasMatch())
                lines << match.captured(1).toUtf8();
        }
        return lines;
    }

private:
    bool failed(const QString &why)
    {
        m_error = why;
        return false;
    }

    bool startPyftpdlib()
    {
        m_process = std::make_unique<QProcess>();
        m_process->setProgram(Python);
        m_process->setArguments({QStringLiteral(TARVINO_SOURCE_DIR "/tests/ftp/pyftpdlib_server.py"),
                                 QStringLiteral("--address"), Host, QStringLiteral("--root"), root(),
                                 QStringLiteral("--user"), QString::fromLatin1(Wire::FtpUser),
                                 QStringLiteral("--password"), QString::fromLatin1(Wire::FtpPassword),
                                 QStringLiteral("--journal"), m_dir.filePath(QStringLiteral("journal.txt"))});
        m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process->start();
        if (!m_process->waitForStarted(StartTimeoutMs))
            return failed(m_process->errorString());
        const QDeadlineTimer deadline(StartTimeoutMs);
        QByteArray out;
        while (!out.contains('\n') && !deadline.hasExpired() && m_process->state() == QProcess::Running) {
            m_process->waitForReadyRead(100);
            out += m_process->readAllStandardOutput();
        }
        const QList<QByteArray> words = out.trimmed().split(' ');
        if (words.size() != 2 || words.first() != "ready")
            return failed(QStringLiteral("pyftpdlib did not start: %1").arg(QString::fromUtf8(out)));
        m_port = static_cast<quint16>(words.at(1).toUInt());
        return m_port != 0;
    }

    bool startVsftpd()
    {
        // Anonymous vsftpd takes any password for the user "ftp" (331, then 230), or none at all
        // (no_anon_password: 230 at once). It refuses to chroot into a root it may write, so it runs
        // without chroot, as the launching account: as root, the tests launch it as an unprivileged one.
        const bool dropPrivileges = ::geteuid() == 0;
        uid_t uid = ::geteuid();
        if (dropPrivileges) {
            const passwd *account = ::getpwnam(VsftpdAccount);
            if (!account)
                return failed(QStringLiteral("no account %1").arg(QString::fromLatin1(VsftpdAccount)));
            uid = account->pw_uid;
        }
        // The server's account must reach its files and own its configuration.
        QFile::setPermissions(m_dir.path(), QFile::permissions(m_dir.path()) | QFile::ExeOther | QFile::ReadOther);
        const QString config = m_dir.filePath(QStringLiteral("vsftpd.conf"));
        const QString log = m_dir.filePath(QStringLiteral("vsftpd.log"));
        QFile(log).open(QIODevice::WriteOnly);
        for (int attempt = 0; attempt < StartAttempts; ++attempt) {
            m_port = freePort();
            if (m_port == 0)
                return failed(QStringLiteral("no free port"));
            if (!writeVsftpdConfig(config, log))
                return failed(QStringLiteral("cannot write %1").arg(config));
            QFile::setPermissions(config, QFile::ReadOwner | QFile::WriteOwner);
            for (const QString &path : {root(), config, log}) {
                if (::chown(QFile::encodeName(path).constData(), uid, static_cast<gid_t>(-1)) != 0)
                    return failed(QStringLiteral("cannot give %1 to the server's account").arg(path));
            }
            m_process = std::make_unique<QProcess>();
            m_process->setProcessChannelMode(QProcess::ForwardedChannels);
            if (dropPrivileges) {
                m_process->setProgram(Setpriv);
                m_process->setArguments({QStringLiteral("--reuid=%1").arg(uid), QStringLiteral("--regid=%1").arg(gidOf(uid)),
                                         QStringLiteral("--clear-groups"), Vsftpd, config});
            } else {
                m_process->setProgram(Vsftpd);
                m_process->setArguments({config});
            }
            m_process->start();
            if (!m_process->waitForStarted(StartTimeoutMs))
                return failed(m_process->errorString());
            if (greets())
                return true;
            stop(); // most likely the port was taken in between: another one
        }
        return failed(QStringLiteral("vsftpd did not start; see its output above"));
    }

    static gid_t gidOf(uid_t uid)
    {
        const passwd *account = ::getpwuid(uid);
        return account ? account->pw_gid : static_cast<gid_t>(-1);
    }

    bool writeVsftpdConfig(const QString &path, const QString &log) const
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        const QString text = QStringLiteral(
                                 "listen=YES\n"
                                 "listen_ipv6=NO\n"
                                 "listen_address=%1\n"
                                 "listen_port=%2\n"
                                 "background=NO\n"
                                 "run_as_launching_user=YES\n"
                                 "anonymous_enable=YES\n"
                                 "no_anon_password=%3\n"
                                 "local_enable=NO\n"
                                 "write_enable=YES\n"
                                 "anon_upload_enable=YES\n"
                                 "anon_other_write_enable=YES\n"
                                 "anon_root=%4\n"
                                 "anon_umask=022\n"
                                 "pasv_enable=NO\n"
                                 "port_enable=YES\n"
                                 "connect_from_port_20=NO\n"
                                 "seccomp_sandbox=NO\n"
                                 "idle_session_timeout=30\n"
                                 "data_connection_timeout=30\n"
                                 "xferlog_enable=YES\n"
                                 "xferlog_std_format=NO\n"
                                 "log_ftp_protocol=YES\n"
                                 "vsftpd_log_file=%5\n")
                                 .arg(Host)
                                 .arg(m_port)
                                 .arg(m_kind == ServerKind::VsftpdNoPassword ? QStringLiteral("YES") : QStringLiteral("NO"),
                                      root(), log);
        return file.write(text.toUtf8()) > 0;
    }

    // True once the server answers a connection with its greeting.
    bool greets()
    {
        const QDeadlineTimer deadline(StartTimeoutMs);
        while (!deadline.hasExpired() && m_process->state() == QProcess::Running) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress(Host), m_port);
            if (probe.waitForConnected(1000) && probe.waitForReadyRead(1000) && probe.readAll().startsWith("220"))
                return true;
            QThread::msleep(100);
        }
        return false;
    }

    ServerKind m_kind;
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    QString m_error;
};

QList<QByteArray> verbsOf(const QList<QByteArray> &commands)
{
    QList<QByteArray> verbs;
    for (const QByteArray &line : commands)
        verbs << line.left(line.indexOf(' ') < 0 ? line.size() : line.indexOf(' ')).toUpper();
    return verbs;
}

} // namespace

Q_DECLARE_METATYPE(ServerKind)

class TestFtpServers : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private slots:
    void uploads_data();
    void uploads();
};

void TestFtpServers::uploads_data()
{
    QTest::addColumn<ServerKind>("kind");
    QTest::addColumn<bool>("password");
    QTest::newRow("pyftpdlib") << ServerKind::Pyftpdlib << true;
    QTest::newRow("vsftpd") << ServerKind::Vsftpd << true;
    QTest::newRow("vsftpd, logged in at user") << ServerKind::VsftpdNoPassword << false;
}

void TestFtpServers::uploads()
{
    QFETCH(ServerKind, kind);
    QFETCH(bool, password);

    const QString program = kind == ServerKind::Pyftpdlib ? Python : Vsftpd;
    if (!QFile::exists(program))
        QSKIP(qPrintable(program + QStringLiteral(" is not installed")));
    ForeignFtpServer server(kind);
    QVERIFY2(server.start(), qPrintable(server.error()));

    // Two uploads of different contents under one name, from a path with folders.
    QVERIFY(m_dir.isValid());
    const QString folder = m_dir.filePath(QStringLiteral("images/release 2"));
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QLatin1Char('/') + FileName;
    const QList<QByteArray> contents{RandomBytes(3 * 1024 * 1024 + 1, 1), RandomBytes(700 * 1024 + 5, 2)};
    for (int round = 0; round < contents.size(); ++round) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(contents.at(round)), contents.at(round).size());
        file.close();

        TFtpClient ftp;
        qint64 total = -1;
        qint64 done = -1;
        int ends = 0;
        connect(&ftp, &TFtpClient::workBegan, &ftp, [&](qint64 t) { total = t; });
        connect(&ftp, &TFtpClient::workProgressed, &ftp, [&](qint64 d) { done = d; });
        connect(&ftp, &TFtpClient::workEnded, &ftp, [&] { ++ends; });
        bool deleted = false;
        try {
            ftp.ConnectAndLogin(Host, server.port(), QString::fromLatin1(Wire::FtpUser), QString::fromLatin1(Wire::FtpPassword));
            deleted = ftp.Delete(Ftp::bareFileName(path));
            ftp.Store(path);
            ftp.Quit();
        } catch (const FtpError &error) {
            QFAIL(qPrintable(error.message()));
        }
        QCOMPARE(deleted, round > 0); // no file the first time, the first upload the second time
        QCOMPARE(total, contents.at(round).size());
        QCOMPARE(done, total);
        QCOMPARE(ends, 1);

        QFile stored(QDir(server.root()).filePath(FileName));
        QVERIFY2(stored.open(QIODevice::ReadOnly), qPrintable(stored.fileName()));
        QVERIFY2(stored.readAll() == contents.at(round), "the server's copy differs");
        QCOMPARE(QDir(server.root()).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList{FileName});
    }

    QList<QByteArray> expected;
    for (int round = 0; round < contents.size(); ++round) {
        expected << "USER";
        if (password)
            expected << "PASS";
        expected << "TYPE" << "SYST" << "DELE" << "PORT" << "STOR" << "QUIT";
    }
    // The server may log the last Quit a moment after the client has gone.
    const QDeadlineTimer deadline(5000);
    while (verbsOf(server.commands()) != expected && !deadline.hasExpired())
        QThread::msleep(50);
    const QList<QByteArray> commands = server.commands();
    QCOMPARE(verbsOf(commands), expected);
    if (kind == ServerKind::Pyftpdlib) {
        // pyftpdlib logs the lines as they came: the client's own spelling of each command.
        const QByteArray name = FileName.toUtf8();
        const QList<QByteArray> round{"user ftp", "pass morvane40213", "type I", "syst", "DELE " + name, "PORT", "STOR " + name, "Quit"};
        QList<QByteArray> lines = commands;
        for (QByteArray &line : lines)
            if (line.startsWith("PORT "))
                line = "PORT";
        QCOMPARE(lines, round + round);
    }
    for (const QByteArray &line : commands) {
        if (line.toUpper().startsWith("DELE ") || line.toUpper().startsWith("STOR "))
            QCOMPARE(line.mid(5), FileName.toUtf8());
        if (line.toUpper().startsWith("PORT "))
            QVERIFY2(line.mid(5).startsWith("127,0,0,1,"), line.constData());
        if (line.toUpper().startsWith("USER "))
            QCOMPARE(line.mid(5), QByteArray(Wire::FtpUser));
        if (line.toUpper().startsWith("TYPE "))
            QCOMPARE(line.mid(5), QByteArray("I"));
    }
}

QTEST_GUILESS_MAIN(TestFtpServers)
#include "tst_ftpservers.moc"
