#include "ftp/ftpclient.h"

#include "protocol/socketwait.h"

#include <QBuffer>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QNetworkProxy>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <limits>
#include <memory>

#ifdef Q_OS_UNIX
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

Q_LOGGING_CATEGORY(lcFtp, "tarvino.ftp", QtInfoMsg)
Q_LOGGING_CATEGORY(lcFtpLowLevel, "tarvino.ftp.lowlevel", QtWarningMsg)

namespace {

// After the data connection breaks, the server usually says why on the control connection at once
// ("426 ...", "452 ..."); its reply is a better message than ours, but it is not worth a long wait.
constexpr int BrokenTransferReplyMs = 2000;

// The one command line kept out of the log: it carries the password.
constexpr QByteArrayView PasswordVerb = "pass ";

QString duration(int ms)
{
    if (ms % 1000 == 0)
        return QStringLiteral("%1 s").arg(ms / 1000);
    return QStringLiteral("%1 s").arg(ms / 1000.0, 0, 'g', 3);
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Milliseconds left on a deadline, at least 1 so that a wait still polls once.
int remainingMs(const QDeadlineTimer &deadline)
{
    return static_cast<int>(std::clamp<qint64>(deadline.remainingTime(), 1, std::numeric_limits<int>::max()));
}

// The socket waits' view of a stop flag; empty (never stops) without one.
SocketWait::StopCheck stopCheckOf(const std::atomic<bool> *flag)
{
    if (!flag)
        return {};
    return [flag] { return flag->load(); };
}

// Ends a connection with a reset: what the system still holds for it is dropped, not sent, so the
// server sees a broken transfer rather than a short file that ended normally.
void resetConnection(QTcpSocket &socket)
{
#ifdef Q_OS_UNIX
    if (const qintptr descriptor = socket.socketDescriptor(); descriptor >= 0) {
        const linger hard{1, 0};
        ::setsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
#endif
    socket.abort();
}

quint32 ipv4Of(const QHostAddress &address)
{
    bool ok = false;
    const quint32 ip = address.toIPv4Address(&ok);
    return ok ? ip : 0;
}

} // namespace

namespace Ftp {

QString Reply::text() const
{
    return QString::fromUtf8(lines.join('\n'));
}

std::optional<int> replyCode(QByteArrayView line)
{
    if (line.size() < 3 || !isDigit(line[0]) || !isDigit(line[1]) || !isDigit(line[2]))
        return std::nullopt;
    // RFC 959: the first digit is 1 to 5 (preliminary, completion, intermediate, transient, permanent).
    if (line[0] < '1' || line[0] > '5')
        return std::nullopt;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

void ReplyParser::feed(QByteArrayView bytes)
{
    while (!bytes.isEmpty()) {
        const qsizetype end = bytes.indexOf('\n');
        const QByteArrayView part = end < 0 ? bytes : bytes.first(end);
        if (!m_skipping) {
            m_line.append(part);
            // One byte more than the limit may still be the CR of a line of the largest length.
            if (m_line.size() > MaxLineLength + 1) {
                QByteArray cut = m_line.left(MaxLineLength);
                m_line.clear();
                m_skipping = true;
                finishMalformed(std::move(cut));
            }
        }
        if (end < 0)
            return;
        bytes = bytes.sliced(end + 1);
        if (m_skipping) {
            m_skipping = false;
            continue;
        }
        // Lines end with CR LF; a bare LF is taken too, as many servers' multi-line texts use it.
        QByteArray line = std::move(m_line);
        m_line = QByteArray();
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.size() > MaxLineLength)
            finishMalformed(line.left(MaxLineLength));
        else
            addLine(std::move(line));
    }
}

void ReplyParser::addLine(QByteArray line)
{
    if (m_current.lines.isEmpty()) {
        const std::optional<int> code = replyCode(line);
        const char separator = line.size() > 3 ? line.at(3) : ' ';
        if (!code || (separator != ' ' && separator != '-')) {
            finishMalformed(std::move(line));
            return;
        }
        m_current.code = *code;
        m_current.lines.append(std::move(line));
        if (separator == ' ')
            m_replies.append(std::exchange(m_current, Reply{}));
        return;
    }
    // Inside a multi-line reply only the same code followed by a space (or nothing) ends it; inner lines
    // may start with anything, other codes and "ddd-" included.
    const bool last = line.size() >= 3 && replyCode(line) == m_current.code
                      && (line.size() == 3 || line.at(3) == ' ');
    m_current.lines.append(std::move(line));
    if (last) {
        m_replies.append(std::exchange(m_current, Reply{}));
    } else if (m_current.lines.size() >= MaxLines) {
        Reply tooLong = std::exchange(m_current, Reply{});
        tooLong.code = 0;
        m_replies.append(std::move(tooLong));
    }
}

void ReplyParser::finishMalformed(QByteArray line)
{
    // An unreadable line ends a reply under way too: the exchange cannot trust what follows.
    Reply reply = std::exchange(m_current, Reply{});
    reply.code = 0;
    reply.lines.append(std::move(line));
    m_replies.append(std::move(reply));
}

std::optional<Reply> ReplyParser::takeReply()
{
    if (m_replies.isEmpty())
        return std::nullopt;
    return m_replies.takeFirst();
}

void ReplyParser::clear()
{
    m_line.clear();
    m_skipping = false;
    m_current = Reply{};
    m_replies.clear();
}

QByteArray portArgument(quint32 ipv4, quint16 port)
{
    return QByteArray::number((ipv4 >> 24) & 0xFF) + ',' + QByteArray::number((ipv4 >> 16) & 0xFF) + ','
           + QByteArray::number((ipv4 >> 8) & 0xFF) + ',' + QByteArray::number(ipv4 & 0xFF) + ','
           + QByteArray::number(port >> 8) + ',' + QByteArray::number(port & 0xFF);
}

QString bareFileName(const QString &path)
{
    return QFileInfo(path).fileName();
}

} // namespace Ftp

// Marks the client busy for one call: a call made from a GUI event that a wait processed would
// otherwise interleave its commands with the ones under way.
class TFtpClient::BusyGuard
{
public:
    explicit BusyGuard(TFtpClient &client) : m_client(client)
    {
        if (m_client.m_busy)
            throw FtpError(QStringLiteral("The FTP client is busy with another command"));
        m_client.m_busy = true;
    }
    ~BusyGuard() { m_client.m_busy = false; }
    BusyGuard(const BusyGuard &) = delete;
    BusyGuard &operator=(const BusyGuard &) = delete;

private:
    TFtpClient &m_client;
};

TFtpClient::TFtpClient(QObject *owner, Ftp::Limits limits)
    : QObject(owner), m_limits(limits), m_control(new QTcpSocket(this))
{
    m_control->setProxy(QNetworkProxy::NoProxy); // devices are reached directly, never through a proxy
}

TFtpClient::~TFtpClient() = default;

bool TFtpClient::isConnected() const
{
    return m_control->state() == QAbstractSocket::ConnectedState;
}

void TFtpClient::Abort()
{
    // The socket stays: a call under way still uses it, and finds it closed at its next step.
    m_control->abort();
    m_parser.clear();
    m_aborted = true;
}

void TFtpClient::fail(const QString &message, int replyCode)
{
    qCInfo(lcFtp).noquote() << "FTP exchange" << (m_host.isEmpty() ? QString() : QStringLiteral("with ") + m_host)
                            << "failed:" << message;
    throw FtpError(message, replyCode);
}

void TFtpClient::refuse(const Ftp::Reply &reply)
{
    fail(reply.text(), reply.code);
}

void TFtpClient::throwIfStopped()
{
    if (!isStopped())
        return;
    Abort();
    qCInfo(lcFtp).noquote() << "FTP exchange" << (m_host.isEmpty() ? QString() : QStringLiteral("with ") + m_host)
                            << "stopped";
    throw FtpStopped(QStringLiteral("The FTP exchange with %1 was stopped").arg(m_host));
}

int TFtpClient::stopSlice(int ms) const
{
    return m_stop ? std::min(ms, SocketWait::StopPollMs) : ms;
}

void TFtpClient::connectionLost()
{
    const bool closedByServer = m_control->error() == QAbstractSocket::RemoteHostClosedError;
    const QString why = m_control->errorString();
    Abort();
    // 421 announces that the server closes the connection; its text says why.
    if (m_lastReply.code == 421)
        refuse(m_lastReply);
    if (closedByServer)
        fail(QStringLiteral("Connection to %1 closed by the server").arg(m_host));
    fail(QStringLiteral("Connection to %1 lost: %2").arg(m_host, why));
}

void TFtpClient::ensureConnected()
{
    if (m_host.isEmpty())
        fail(QStringLiteral("Not connected to an FTP server"));
    if (m_control->state() == QAbstractSocket::ConnectedState)
        return;
    if (m_aborted)
        fail(QStringLiteral("Not connected to %1: the connection was closed after an earlier error").arg(m_host));
    connectionLost();
}

void TFtpClient::writeOut(QTcpSocket &socket, int stallMs, bool dataConnection)
{
    // QTcpSocket keeps what is written in its own buffer until it gets the chance to pass it to the
    // system; without an event loop that chance is a wait. Events are processed only when a whole slice
    // passes without a byte leaving, so a server that takes data at full speed gets it at full speed.
    QDeadlineTimer stall(stallMs);
    while (socket.bytesToWrite() > 0) {
        const qint64 before = socket.bytesToWrite();
        socket.waitForBytesWritten(stopSlice(std::min(SocketWait::SliceMs, remainingMs(stall))));
        if (isStopped()) {
            if (dataConnection)
                return; // the caller aborts the data connection first
            throwIfStopped();
        }
        if (socket.state() != QAbstractSocket::ConnectedState)
            return; // the caller sees the state and reports the broken connection
        if (dataConnection)
            socket.readAll(); // the server has nothing to say on a data connection to it; drop it
        if (socket.bytesToWrite() < before) {
            stall.setRemainingTime(stallMs);
            continue;
        }
        if (stall.hasExpired()) {
            if (dataConnection)
                return;
            Abort();
            fail(QStringLiteral("The FTP server of %1 takes no commands (nothing sent for %2)")
                     .arg(m_host, duration(stallMs)));
        }
        SocketWait::keepAlive();
    }
}

void TFtpClient::sendCommand(const QByteArray &line)
{
    throwIfStopped(); // nothing new goes out once stopped
    ensureConnected();
    const bool secret = line.startsWith(PasswordVerb);
    qCDebug(lcFtp).noquote() << m_host << "<-" << (secret ? QByteArray("pass ****") : line);
    // Nothing is due before a command; whatever came must not pass for its reply.
    m_parser.feed(m_control->readAll());
    while (const std::optional<Ftp::Reply> stale = m_parser.takeReply())
        qCWarning(lcFtp).noquote() << "Unexpected reply from" << m_host << "dropped:" << stale->text();
    if (m_parser.hasPartialReply()) {
        qCWarning(lcFtp).noquote() << "Unexpected bytes from" << m_host << "dropped";
        m_parser.clear();
    }
    if (m_control->write(line + "\r\n") < 0)
        connectionLost();
    writeOut(*m_control, m_limits.replyMs, false);
    if (m_control->state() != QAbstractSocket::ConnectedState)
        connectionLost();
}

Ftp::Reply TFtpClient::readReply()
{
    const QDeadlineTimer deadline(m_limits.replyMs);
    while (!m_parser.hasReply()) {
        if (m_control->bytesAvailable() == 0) {
            if (deadline.hasExpired()
                || !SocketWait::waitForReadyRead(*m_control, remainingMs(deadline), stopCheckOf(m_stop))) {
                throwIfStopped();
                if (m_control->bytesAvailable() == 0 && m_control->state() != QAbstractSocket::ConnectedState)
                    connectionLost();
                if (m_control->bytesAvailable() == 0) {
                    Abort();
                    fail(QStringLiteral("No reply from %1 within %2").arg(m_host, duration(m_limits.replyMs)));
                }
            }
        }
        const QByteArray bytes = m_control->readAll();
        qCDebug(lcFtpLowLevel).noquote() << m_host << "->" << bytes.toHex(' ');
        m_parser.feed(bytes);
    }
    m_lastReply = *m_parser.takeReply();
    qCDebug(lcFtp).noquote() << m_host << "->" << m_lastReply.text();
    if (m_lastReply.isMalformed()) {
        const QString text = m_lastReply.text();
        Abort();
        fail(QStringLiteral("Unreadable reply from %1: %2").arg(m_host, text));
    }
    return m_lastReply;
}

Ftp::Reply TFtpClient::command(const QByteArray &line)
{
    sendCommand(line);
    return readReply();
}

QByteArray TFtpClient::encodedName(const QString &remoteName)
{
    // A line break in a name would end the command early and send the rest as a command of its own.
    if (remoteName.isEmpty() || remoteName.contains(QLatin1Char('\r')) || remoteName.contains(QLatin1Char('\n'))
        || remoteName.contains(QChar(0)))
        fail(QStringLiteral("The file name \"%1\" cannot be sent to an FTP server").arg(remoteName));
    return remoteName.toUtf8();
}

void TFtpClient::Connect(const QString &host, quint16 port)
{
    BusyGuard busy(*this);
    Abort();
    m_aborted = false;
    m_lastReply = {};
    m_host = host;
    // The device is named by its address; PORT needs an IPv4 one on both ends anyway.
    const QHostAddress address(host);
    if (address.protocol() != QAbstractSocket::IPv4Protocol)
        fail(QStringLiteral("\"%1\" is not an IPv4 address").arg(host));
    openControl(address, port);
    const Ftp::Reply greeting = readReply();
    if (greeting.code != 220)
        refuse(greeting);
}

void TFtpClient::openControl(const QHostAddress &address, quint16 port)
{
    const QString where = QStringLiteral("%1 port %2").arg(m_host).arg(port);
    QString reason;
    switch (SocketWait::connectTo(*m_control, address, port, m_limits.connectMs, &reason, stopCheckOf(m_stop))) {
    case SocketWait::ConnectResult::Connected:
        return;
    case SocketWait::ConnectResult::TimedOut:
        throwIfStopped();
        fail(QStringLiteral("No connection to %1 within %2").arg(where, duration(m_limits.connectMs)));
    case SocketWait::ConnectResult::Refused:
        fail(QStringLiteral("Connection to %1 refused").arg(where));
    case SocketWait::ConnectResult::Failed:
        break;
    }
    fail(QStringLiteral("Cannot connect to %1: %2").arg(where, reason));
}

void TFtpClient::Login(const QString &user, const QString &password)
{
    BusyGuard busy(*this);
    const Ftp::Reply userReply = command("user " + user.toUtf8());
    if (userReply.code == 230)
        return; // logged in by the user name alone: the server gets no password line
    if (userReply.code != 331)
        refuse(userReply);
    const Ftp::Reply passReply = command("pass " + password.toUtf8());
    if (passReply.code != 230)
        refuse(passReply);
}

void TFtpClient::SetBinary()
{
    BusyGuard busy(*this);
    const Ftp::Reply reply = command("type I");
    if (reply.code != 200)
        refuse(reply);
}

void TFtpClient::Syst()
{
    BusyGuard busy(*this);
    const Ftp::Reply reply = command("syst");
    if (reply.code != 200 && reply.code != 215 && reply.code != 500)
        refuse(reply);
}

void TFtpClient::ConnectAndLogin(const QString &host, quint16 port, const QString &user, const QString &password)
{
    Connect(host, port);
    Login(user, password);
    SetBinary();
    Syst();
}

bool TFtpClient::Delete(const QString &remoteName)
{
    BusyGuard busy(*this);
    const Ftp::Reply reply = command("DELE " + encodedName(remoteName));
    return reply.code == 250;
}

void TFtpClient::Store(const QString &localPath, const QString &remoteName)
{
    QFile file(localPath);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(localPath), file.errorString()));
    store(file, localPath, remoteName);
}

void TFtpClient::Store(const QByteArray &bytes, const QString &sourceName, const QString &remoteName)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    store(buffer, sourceName, remoteName);
}

void TFtpClient::store(QIODevice &source, const QString &sourceName, const QString &remoteName)
{
    BusyGuard busy(*this);
    ensureConnected();
    const QByteArray name = encodedName(remoteName);

    // Active mode: the server connects to us, at the address by which it sees us on the control connection.
    const quint32 local = ipv4Of(m_control->localAddress());
    if (local == 0)
        fail(QStringLiteral("The connection to %1 is not IPv4; an active-mode upload needs an IPv4 address").arg(m_host));
    QTcpServer listener;
    listener.setProxy(QNetworkProxy::NoProxy);
    if (!listener.listen(QHostAddress(local), 0))
        fail(QStringLiteral("Cannot open a data port on %1: %2").arg(QHostAddress(local).toString(), listener.errorString()));

    const Ftp::Reply portReply = command("PORT " + Ftp::portArgument(local, listener.serverPort()));
    if (portReply.code != 200)
        refuse(portReply);
    const Ftp::Reply storReply = command("STOR " + name);
    if (storReply.code != 125 && storReply.code != 150)
        refuse(storReply);

    const std::unique_ptr<QTcpSocket> data(waitForDataConnection(listener));
    listener.close();
    sendFile(*data, source, sourceName);
    readFinalReply();
    qCInfo(lcFtp).noquote() << "Stored" << remoteName << "on" << m_host;
}

QTcpSocket *TFtpClient::waitForDataConnection(QTcpServer &listener)
{
    const quint32 server = ipv4Of(m_control->peerAddress());
    const QDeadlineTimer deadline(m_limits.dataConnectMs);
    // A connection turned away is what went wrong, whatever the server says afterwards (often a
    // plain "226"): the message starts with it.
    QString refusedFrom;
    const auto noDataConnection = [&] {
        return refusedFrom.isEmpty() ? QStringLiteral("No data connection from %1").arg(m_host)
                                     : QStringLiteral("No data connection from %1: a connection came from %2 and was refused")
                                           .arg(m_host, refusedFrom);
    };
    while (!deadline.hasExpired()) {
        throwIfStopped();
        const int slice = stopSlice(SocketWait::slices(remainingMs(deadline)).constFirst());
        if (listener.hasPendingConnections() || listener.waitForNewConnection(slice)) {
            while (QTcpSocket *socket = listener.nextPendingConnection()) {
                socket->setParent(nullptr);
                // Only the server may take the file: anyone else who finds the port is turned away.
                if (ipv4Of(socket->peerAddress()) == server)
                    return socket;
                qCWarning(lcFtp).noquote() << "Data connection from" << socket->peerAddress().toString()
                                           << "refused: the FTP server is" << m_host;
                if (refusedFrom.isEmpty())
                    refusedFrom = socket->peerAddress().toString();
                socket->abort();
                delete socket;
            }
            continue;
        }
        // A server that cannot connect says so on the control connection (425 and the like).
        if (m_control->bytesAvailable() > 0 || m_control->waitForReadyRead(0))
            m_parser.feed(m_control->readAll());
        if (m_parser.hasReply()) {
            const Ftp::Reply reply = readReply();
            if (refusedFrom.isEmpty())
                refuse(reply);
            fail(noDataConnection() + u'\n' + reply.text(), reply.code);
        }
        if (m_control->state() != QAbstractSocket::ConnectedState)
            connectionLost();
        SocketWait::keepAlive();
    }
    Abort();
    if (refusedFrom.isEmpty())
        fail(QStringLiteral("No data connection from %1 within %2").arg(m_host, duration(m_limits.dataConnectMs)));
    fail(noDataConnection() + QStringLiteral(" (waited %1)").arg(duration(m_limits.dataConnectMs)));
}

void TFtpClient::sendFile(QTcpSocket &data, QIODevice &file, const QString &localPath)
{
    const qint64 total = file.size();
    qint64 done = 0;
    emit workBegan(total);
    try {
        QByteArray chunk;
        const auto abortIfStopped = [&] {
            if (isStopped()) {
                resetConnection(data);
                throwIfStopped();
            }
        };
        for (;;) {
            abortIfStopped();
            chunk.resize(Ftp::ChunkSize);
            const qint64 read = file.read(chunk.data(), Ftp::ChunkSize);
            if (read < 0) {
                data.abort();
                fail(QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(localPath), file.errorString()));
            }
            if (read == 0)
                break;
            chunk.resize(read);
            if (data.write(chunk) != read)
                dataConnectionBroke(data, done, total);
            writeOut(data, m_limits.stallMs, true);
            abortIfStopped();
            if (data.state() != QAbstractSocket::ConnectedState)
                dataConnectionBroke(data, done, total);
            if (data.bytesToWrite() > 0) {
                data.abort();
                Abort();
                fail(QStringLiteral("The transfer to %1 made no progress for %2").arg(m_host, duration(m_limits.stallMs)));
            }
            done += read;
            emit workProgressed(done);
        }
        // Everything has been handed to the system, which sends it before the end of the connection.
        data.disconnectFromHost();
    } catch (...) {
        emit workEnded();
        throw;
    }
    emit workEnded();
}

void TFtpClient::dataConnectionBroke(QTcpSocket &data, qint64 done, qint64 total)
{
    const QString why = data.errorString();
    data.abort();
    throwIfStopped();
    // The server's own account of it, when it gives one at once, tells the technician more than ours.
    if (m_control->state() == QAbstractSocket::ConnectedState
        && (m_control->bytesAvailable() > 0
            || SocketWait::waitForReadyRead(*m_control, std::min(BrokenTransferReplyMs, m_limits.replyMs),
                                            stopCheckOf(m_stop)))) {
        m_parser.feed(m_control->readAll());
        if (m_parser.hasReply()) {
            const Ftp::Reply reply = *m_parser.takeReply();
            m_lastReply = reply;
            Abort();
            refuse(reply);
        }
    }
    throwIfStopped();
    Abort();
    fail(QStringLiteral("The data connection to %1 broke after %2 of %3 bytes: %4").arg(m_host).arg(done).arg(total).arg(why));
}

void TFtpClient::readFinalReply()
{
    const Ftp::Reply reply = readReply();
    if (reply.code == 225 || reply.code == 226 || reply.code == 250)
        return;
    if (reply.code != 426)
        refuse(reply);
    // Some servers report the closing of the data connection as 426 and the transfer itself as 226.
    try {
        const Ftp::Reply next = readReply();
        if (next.code != 226)
            refuse(next);
    } catch (const FtpStopped &) {
        throw;
    } catch (const FtpError &error) {
        if (error.replyCode() != 0)
            throw;
        throw FtpError(QStringLiteral("%1\n%2").arg(reply.text(), error.message()), reply.code);
    }
}

void TFtpClient::Quit()
{
    if (m_busy)
        return;
    if (m_control->state() == QAbstractSocket::ConnectedState) {
        qCDebug(lcFtp).noquote() << m_host << "<- Quit";
        m_control->write("Quit\r\n");
        try {
            writeOut(*m_control, m_limits.replyMs, false);
        } catch (const FtpError &) {
            // The server has gone: nothing is left to end.
        }
        m_control->disconnectFromHost();
    }
    Abort();
}
