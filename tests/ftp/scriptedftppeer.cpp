#include "scriptedftppeer.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

constexpr int PollMs = 10;
// What a stalled data connection lets Qt buffer before the system's window closes.
constexpr qint64 StalledReadBuffer = 4096;

QByteArray verbOf(const QByteArray &line)
{
    const qsizetype space = line.indexOf(' ');
    return (space < 0 ? line : line.left(space)).toUpper();
}

QByteArray argumentOf(const QByteArray &line)
{
    const qsizetype space = line.indexOf(' ');
    return space < 0 ? QByteArray() : line.mid(space + 1);
}

} // namespace

ScriptedFtpPeer::ScriptedFtpPeer(Script script) : m_script(std::move(script))
{
    moveToThread(&m_thread);
    m_thread.start();
    QMetaObject::invokeMethod(this, [this] { open(); }, Qt::BlockingQueuedConnection);
}

ScriptedFtpPeer::~ScriptedFtpPeer()
{
    QMetaObject::invokeMethod(this, [this] { close(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

QList<QByteArray> ScriptedFtpPeer::defaultReplies(const QByteArray &verb)
{
    static const QHash<QByteArray, QByteArray> defaults{
        {"USER", "331 Please specify the password."},
        {"PASS", "230 Login successful."},
        {"TYPE", "200 Switching to Binary mode."},
        {"SYST", "215 UNIX Type: L8"},
        {"DELE", "250 Delete operation successful."},
        {"PORT", "200 PORT command successful."},
        {"STOR", "150 Ok to send data."},
        {"QUIT", "221 Goodbye."},
    };
    return {defaults.value(verb, "502 Command not implemented.")};
}

void ScriptedFtpPeer::open()
{
    m_server = new QTcpServer(this);
    if (!m_server->listen(address(), 0))
        return;
    m_port = m_server->serverPort();
    connect(m_server, &QTcpServer::newConnection, this, &ScriptedFtpPeer::acceptControl);
}

void ScriptedFtpPeer::close()
{
    delete m_data;
    m_data = nullptr;
    delete m_control;
    m_control = nullptr;
    delete m_server;
    m_server = nullptr;
}

void ScriptedFtpPeer::acceptControl()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        {
            QMutexLocker lock(&m_mutex);
            ++m_controlConnections;
        }
        if (m_control) { // one client at a time
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_control = socket;
        connect(socket, &QTcpSocket::readyRead, this, &ScriptedFtpPeer::readControl);
        send(m_script.greeting);
    }
}

void ScriptedFtpPeer::readControl()
{
    const QByteArray bytes = m_control->readAll();
    {
        QMutexLocker lock(&m_mutex);
        m_raw += bytes;
    }
    m_buffer += bytes;
    qsizetype end;
    while ((end = m_buffer.indexOf('\n')) >= 0) {
        QByteArray line = m_buffer.left(end);
        m_buffer.remove(0, end + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        {
            QMutexLocker lock(&m_mutex);
            m_lines << line;
        }
        handle(line);
    }
}

void ScriptedFtpPeer::send(const QList<QByteArray> &lines)
{
    if (!m_control)
        return;
    for (const QByteArray &line : lines) {
        if (line == "!close") {
            m_control->disconnectFromHost();
            return;
        }
        m_control->write(line + m_script.lineEnd);
    }
}

void ScriptedFtpPeer::sendAfter(const QByteArray &verb, const QList<QByteArray> &lines)
{
    const int delay = m_script.delaysMs.value(verb, 0);
    if (delay == 0)
        send(lines);
    else
        QTimer::singleShot(delay, this, [this, lines] { send(lines); });
}

void ScriptedFtpPeer::handle(const QByteArray &line)
{
    const QByteArray verb = verbOf(line);
    const QList<QByteArray> replies = m_script.replies.value(verb, defaultReplies(verb));
    if (verb == "PORT") {
        const QList<QByteArray> numbers = argumentOf(line).split(',');
        if (numbers.size() == 6) {
            QMutexLocker lock(&m_mutex);
            m_dataHost = numbers.mid(0, 4).join('.');
            m_dataPort = static_cast<quint16>(numbers.at(4).toUInt() * 256 + numbers.at(5).toUInt());
            m_dataAddress = QHostAddress(QString::fromLatin1(m_dataHost));
        }
    }
    if (verb == "STOR" && !replies.isEmpty() && replies.first().startsWith('1')) {
        {
            QMutexLocker lock(&m_mutex);
            m_storedName = argumentOf(line);
        }
        startData(replies);
        return;
    }
    sendAfter(verb, replies);
}

void ScriptedFtpPeer::startData(const QList<QByteArray> &storReplies)
{
    if (m_script.data == DataMode::Never) {
        sendAfter("STOR", storReplies);
        return;
    }
    if (m_script.connectBeforeReply) {
        connectData();
        connect(m_data, &QTcpSocket::connected, this, [this, storReplies] { sendAfter("STOR", storReplies); });
    } else {
        sendAfter("STOR", storReplies);
        QTimer::singleShot(m_script.dataDelayMs, this, [this] { connectData(); });
    }
}

void ScriptedFtpPeer::connectData()
{
    m_data = new QTcpSocket(this);
    if (m_script.data == DataMode::FromOtherAddress || m_script.data == DataMode::FromOtherAddressThenFinal)
        m_data->bind(QHostAddress(QStringLiteral("127.0.0.2")), 0);
    const DataMode mode = m_script.data;
    if (mode == DataMode::Stall || mode == DataMode::PauseThenReceive)
        m_data->setReadBufferSize(StalledReadBuffer);
    if (mode == DataMode::Slow) {
        m_data->setReadBufferSize(SlowReadBytes);
        auto *pace = new QTimer(m_data);
        connect(pace, &QTimer::timeout, this, [this, socket = m_data] {
            if (m_data != socket)
                return;
            // More than the buffer holds: the socket then goes on reading from the system.
            const QByteArray bytes = socket->read(2 * SlowReadBytes);
            QMutexLocker lock(&m_mutex);
            m_stored += bytes;
        });
        pace->start(SlowReadIntervalMs);
    }
    auto receive = [this] {
        if (!m_data || m_resetDone)
            return;
        if (m_data->readBufferSize() != 0)
            return; // holding back: nothing is read, so the system's window closes
        const QByteArray bytes = m_data->readAll();
        QMutexLocker lock(&m_mutex);
        m_stored += bytes;
        if (m_script.data == DataMode::ResetAfter && m_stored.size() >= m_script.resetAfter) {
            m_resetDone = true;
            lock.unlock();
            m_data->abort();
            sendAfter("FINAL", m_script.finalReplies);
        }
    };
    connect(m_data, &QTcpSocket::readyRead, this, receive);
    connect(m_data, &QTcpSocket::connected, this, [this, mode, receive] {
        if (mode == DataMode::PauseThenReceive)
            QTimer::singleShot(m_script.dataDelayMs, this, [this, receive] {
                if (!m_data)
                    return;
                m_data->setReadBufferSize(0);
                receive();
            });
    });
    connect(m_data, &QTcpSocket::disconnected, this, [this, receive] {
        if (m_resetDone)
            return;
        if (m_data->readBufferSize() == 0)
            receive();
        dataEnded();
    });
    m_data->connectToHost(m_dataAddress, m_dataPort);
}

void ScriptedFtpPeer::dataEnded()
{
    {
        QMutexLocker lock(&m_mutex);
        m_transferEnded = true;
    }
    m_data->deleteLater();
    m_data = nullptr;
    // A connection from elsewhere stands for a stranger, not for this server: it has nothing to report.
    if (m_script.data != DataMode::FromOtherAddress)
        sendAfter("FINAL", m_script.finalReplies);
}

QList<QByteArray> ScriptedFtpPeer::lines() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

QByteArray ScriptedFtpPeer::rawCommands() const
{
    QMutexLocker lock(&m_mutex);
    return m_raw;
}

QByteArray ScriptedFtpPeer::stored() const
{
    QMutexLocker lock(&m_mutex);
    return m_stored;
}

QByteArray ScriptedFtpPeer::storedName() const
{
    QMutexLocker lock(&m_mutex);
    return m_storedName;
}

bool ScriptedFtpPeer::transferEnded() const
{
    QMutexLocker lock(&m_mutex);
    return m_transferEnded;
}

quint16 ScriptedFtpPeer::dataPort() const
{
    QMutexLocker lock(&m_mutex);
    return m_dataPort;
}

QByteArray ScriptedFtpPeer::dataHost() const
{
    QMutexLocker lock(&m_mutex);
    return m_dataHost;
}

int ScriptedFtpPeer::controlConnections() const
{
    QMutexLocker lock(&m_mutex);
    return m_controlConnections;
}

bool ScriptedFtpPeer::waitFor(const std::function<bool(const ScriptedFtpPeer &)> &condition, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (condition(*this))
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(PollMs);
    }
}
