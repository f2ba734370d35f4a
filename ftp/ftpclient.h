#pragma once
// The FTP client that uploads a communication board's firmware image: one control connection, active
// mode only (the board connects back to a port we listen on), binary transfers.
//
// Every call blocks the calling (GUI) thread until the server has answered or a time limit has passed;
// waits for the server keep the window alive through SocketWait. Writing file data processes no events
// unless the server stops taking data for a whole keep-alive slice.

#include "protocol/errors.h"
#include "protocol/wire.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <optional>

class QFile;
class QHostAddress;
class QTcpServer;
class QTcpSocket;

namespace Ftp {

// Time limits of the exchange. The board's own server answers well within each of them; they only
// bound how long a server that has stopped answering can keep the technician waiting.
constexpr int ConnectTimeoutMs = 10000;     // the control connection
constexpr int ReplyTimeoutMs = 30000;       // each reply, from the command to its last line
constexpr int DataConnectTimeoutMs = 30000; // the server's data connection, after it agreed to STOR
constexpr int StallTimeoutMs = 60000;       // a transfer in which no byte leaves

// File data goes out in chunks of this size; one progress event follows each.
constexpr qint64 ChunkSize = 64 * 1024;

struct Limits
{
    int connectMs = ConnectTimeoutMs;
    int replyMs = ReplyTimeoutMs;
    int dataConnectMs = DataConnectTimeoutMs;
    int stallMs = StallTimeoutMs;
};

// One server reply as RFC 959 shapes it: "ddd text", or "ddd-text" ... "ddd text" over several lines.
struct Reply
{
    int code = 0;            // 100..599; 0 when the reply was unreadable
    QList<QByteArray> lines; // as received, CR LF removed

    bool isMalformed() const { return code == 0; }
    // The lines joined by newlines, decoded as UTF-8: what a technician reads in the error box.
    QString text() const;
};

// Splits the bytes of a control connection into replies. Pure: it sees only bytes, so it can be fed
// anything (split lines, a CR LF cut between two reads, garbage); it holds no line or reply beyond the
// limits below.
class ReplyParser
{
public:
    // A line longer than this, or a reply of more lines, is unreadable; servers send a few dozen bytes.
    static constexpr qsizetype MaxLineLength = 4096;
    static constexpr qsizetype MaxLines = 256;

    void feed(QByteArrayView bytes);
    bool hasReply() const { return !m_replies.isEmpty(); }
    // The oldest complete reply, removed from the parser.
    std::optional<Reply> takeReply();
    // Bytes held that do not yet form a complete reply.
    bool hasPartialReply() const { return !m_line.isEmpty() || !m_current.lines.isEmpty(); }
    void clear();

private:
    void addLine(QByteArray line);
    void finishMalformed(QByteArray line);

    QByteArray m_line;   // the line being received, without its end
    bool m_skipping = false; // the rest of an over-long line is being dropped
    Reply m_current;     // a multi-line reply under way (lines not empty)
    QList<Reply> m_replies;
};

// The three digits at the start of a reply line, or nothing when the line does not start with a code.
std::optional<int> replyCode(QByteArrayView line);

// The "h1,h2,h3,h4,p1,p2" argument of PORT for an IPv4 address (first octet most significant).
QByteArray portArgument(quint32 ipv4, quint16 port);

// The name under which a local file is stored on the server: the path without its folders.
QString bareFileName(const QString &path);

} // namespace Ftp

// An FTP exchange that could not go on: a reply the exchange does not accept (the message is the
// server's reply, e.g. "530 Login incorrect."), a time limit, a refused or lost connection, or a local
// file that cannot be read.
class FtpError : public TarvinoError
{
public:
    explicit FtpError(const QString &message, int replyCode = 0) : TarvinoError(message), m_replyCode(replyCode) {}
    // The code of the server's reply, 0 when the error is not a reply.
    int replyCode() const { return m_replyCode; }

private:
    int m_replyCode;
};

// The exchange was stopped by its caller (the stop flag turned true): not a fault of the server.
class FtpStopped : public FtpError
{
public:
    using FtpError::FtpError;
};

// The client of one upload. Typical use by the upgrade window:
//
//   TFtpClient ftp(this);
//   connect(&ftp, &TFtpClient::workBegan, this, &TBoardUpgradePanel::uploadStarted); // and the other two
//   ftp.ConnectAndLogin(ip, Wire::FtpPort, QString::fromLatin1(Wire::FtpUser), QString::fromLatin1(Wire::FtpPassword));
//   const QString name = Ftp::bareFileName(path);
//   ftp.Delete(name);          // false when the server has no such file: not an error
//   ftp.Store(path, name);
//   ftp.Quit();
//
// Failures throw FtpError. After a time-out or a lost connection the control connection is closed, so a
// late reply can never be taken for the answer to a later command; later calls fail at once.
//
// Another thread stops an exchange through the stop flag: every wait (the connection, each reply, the
// data connection, every write) looks at it at least every SocketWait::StopPollMs; once it is true the
// data connection is aborted, the control connection closed and the call throws FtpStopped.
class TFtpClient : public QObject
{
    Q_OBJECT

public:
    explicit TFtpClient(QObject *owner = nullptr, Ftp::Limits limits = {});
    ~TFtpClient() override;

    TFtpClient(const TFtpClient &) = delete;
    TFtpClient &operator=(const TFtpClient &) = delete;

    // Opens the control connection to an IPv4 address and reads the greeting (220).
    void Connect(const QString &host, quint16 port = Wire::FtpPort);
    // "user": 230 ends the login; 331 asks for the password, then 230.
    void Login(const QString &user, const QString &password);
    // "type I": binary transfers (200).
    void SetBinary();
    // "syst": 200, 215 or 500; the text is not used.
    void Syst();
    // Connect, Login, SetBinary and Syst: the automatic login of the upload.
    void ConnectAndLogin(const QString &host, quint16 port, const QString &user, const QString &password);
    // "DELE": true on 250. Any other reply is returned as false (the caller goes on); a time-out or a
    // lost connection still throws, as the exchange cannot go on after it.
    bool Delete(const QString &remoteName);
    // PORT on the control connection's local address and a free port, STOR, the whole file over the data
    // connection the server makes, then the final reply (225, 226, 250; or 426 followed by 226).
    void Store(const QString &localPath, const QString &remoteName);
    void Store(const QString &localPath) { Store(localPath, Ftp::bareFileName(localPath)); }
    // The same from bytes already read (sourceName names them in messages).
    void Store(const QByteArray &bytes, const QString &sourceName, const QString &remoteName);
    // "Quit", then the control connection is closed without waiting for the reply. Never throws.
    void Quit();
    // Closes the control connection at once; a call under way fails at its next step.
    void Abort();
    // The flag (may be null) that stops the exchange once it turns true; it must outlive the calls.
    void setStopFlag(const std::atomic<bool> *flag) { m_stop = flag; }
    bool isStopped() const { return m_stop && m_stop->load(); }

    bool isConnected() const;
    QString host() const { return m_host; }
    const Ftp::Limits &limits() const { return m_limits; }
    // The last reply read, for callers that want its text (Syst, Delete).
    const Ftp::Reply &lastReply() const { return m_lastReply; }

signals:
    // The data transfer of Store: total bytes (the file size), bytes sent so far, and its end, which
    // comes whether the transfer completed or failed. Emitted on the calling thread, between chunks.
    void workBegan(qint64 total);
    void workProgressed(qint64 done);
    void workEnded();

private:
    class BusyGuard;

    void ensureConnected();
    void sendCommand(const QByteArray &line);
    Ftp::Reply readReply();
    Ftp::Reply command(const QByteArray &line);
    [[noreturn]] void refuse(const Ftp::Reply &reply);
    [[noreturn]] void fail(const QString &message, int replyCode = 0);
    [[noreturn]] void connectionLost();
    // Throws FtpStopped, the connection closed, when the stop flag is true.
    void throwIfStopped();
    // The wait of at most ms that still lets the stop flag be seen in time.
    int stopSlice(int ms) const;
    QByteArray encodedName(const QString &remoteName);
    void openControl(const QHostAddress &address, quint16 port);
    // Pushes what the socket holds to the system; returns early when the connection ends.
    void writeOut(QTcpSocket &socket, int stallMs, bool dataConnection);

    QTcpSocket *waitForDataConnection(QTcpServer &listener);
    void store(QIODevice &source, const QString &sourceName, const QString &remoteName);
    void sendFile(QTcpSocket &data, QIODevice &file, const QString &localPath);
    [[noreturn]] void dataConnectionBroke(QTcpSocket &data, qint64 done, qint64 total);
    void readFinalReply();

    Ftp::Limits m_limits;
    QString m_host;
    QTcpSocket *m_control;
    Ftp::ReplyParser m_parser;
    Ftp::Reply m_lastReply;
    bool m_busy = false;
    bool m_aborted = false; // closed by us after an error, not by the server
    const std::atomic<bool> *m_stop = nullptr;
};
