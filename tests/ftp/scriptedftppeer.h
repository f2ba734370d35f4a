#pragma once
// An FTP server that follows a script, on 127.0.0.1 and a free port, on a thread of its own so that it
// answers while the client blocks the test's thread. It misbehaves on request (other reply codes,
// silence, late replies, a data connection that never comes, stalls or breaks) and records every line
// it receives, the bytes as they came, and the file it stored.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QThread>

#include <functional>

class QTcpServer;
class QTcpSocket;

class ScriptedFtpPeer : public QObject
{
public:
    enum class DataMode {
        Receive,          // connect to the PORT endpoint, store everything until the client closes
        Never,            // agree to STOR but never connect
        FromOtherAddress, // connect from 127.0.0.2: not the server the client talks to
        FromOtherAddressThenFinal, // the same, then the final replies as if the file had gone
        Stall,            // connect, then take no data at all
        PauseThenReceive, // connect, take nothing for dataDelayMs, then receive everything
        ResetAfter,       // receive resetAfter bytes, then reset the connection
        Slow,             // receive SlowReadBytes every SlowReadIntervalMs (never finishes a large file soon)
    };
    static constexpr qint64 SlowReadBytes = 4096;
    static constexpr int SlowReadIntervalMs = 20;

    // A reply line "!close" closes the control connection instead of being sent.
    struct Script
    {
        QList<QByteArray> greeting{"220 Scripted FTP peer ready."}; // empty: no greeting at all
        QHash<QByteArray, QList<QByteArray>> replies; // by upper-case verb, in place of the defaults; empty: silent
        QHash<QByteArray, int> delaysMs;              // by verb ("FINAL" for the final replies)
        QList<QByteArray> finalReplies{"226 Transfer complete."}; // after the data connection ends
        DataMode data = DataMode::Receive;
        bool connectBeforeReply = true; // connect, then the STOR reply (as vsftpd does); else the reverse
        int dataDelayMs = 0;            // before connecting (after the reply), or the pause of PauseThenReceive
        qint64 resetAfter = 0;
        QByteArray lineEnd = "\r\n";
    };

    explicit ScriptedFtpPeer(Script script);
    ~ScriptedFtpPeer() override;

    bool isListening() const { return m_port != 0; }
    quint16 port() const { return m_port; }
    static QHostAddress address() { return QHostAddress(QHostAddress::LocalHost); }

    QList<QByteArray> lines() const;
    QByteArray rawCommands() const;       // every byte of the control connection, as received
    QByteArray stored() const;            // the bytes of the data connection
    QByteArray storedName() const;        // the argument of STOR
    bool transferEnded() const;           // the data connection was closed by the client
    quint16 dataPort() const;             // the port that PORT named
    QByteArray dataHost() const;          // the address that PORT named, dotted
    int controlConnections() const;

    // Polls (without processing the test thread's events) until the condition holds; false on time-out.
    bool waitFor(const std::function<bool(const ScriptedFtpPeer &)> &condition, int timeoutMs = 5000) const;

    static QList<QByteArray> defaultReplies(const QByteArray &verb);

private:
    void open();
    void close();
    void acceptControl();
    void readControl();
    void handle(const QByteArray &line);
    void send(const QList<QByteArray> &lines);
    void sendAfter(const QByteArray &verb, const QList<QByteArray> &lines);
    void startData(const QList<QByteArray> &storReplies);
    void connectData();
    void dataEnded();

    Script m_script;
    QThread m_thread;
    quint16 m_port = 0;

    // Owned by the peer's thread.
    QTcpServer *m_server = nullptr;
    QTcpSocket *m_control = nullptr;
    QTcpSocket *m_data = nullptr;
    QByteArray m_buffer;
    QHostAddress m_dataAddress;
    bool m_resetDone = false;

    mutable QMutex m_mutex;
    QList<QByteArray> m_lines;
    QByteArray m_raw;
    QByteArray m_stored;
    QByteArray m_storedName;
    bool m_transferEnded = false;
    quint16 m_dataPort = 0;
    QByteArray m_dataHost;
    int m_controlConnections = 0;
};
