// FTP upload throughput on loopback: the client's Store against a scripted server, beside the floor of
// the path (the same bytes written by a plain socket to a sink that discards them), and the cost of the
// progress events when each one repaints the window, with and without a repaint throttle.
//
//   build-ftp/bench/bench_ftp [--size MB] [--repaint-ms MS] [--throttle-ms MS] [--runs N]
//
// Prints the best time of N runs for each case, its rate and its ratio to the floor. Talks to
// 127.0.0.1 only; exits non-zero when an upload fails or the server's copy differs.

#include "ftp/ftpclient.h"
#include "scriptedftppeer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <limits>

namespace {

constexpr int WaitMs = 60000;

// Receives one connection on 127.0.0.1 and counts what comes, on a thread of its own.
class Sink : public QObject
{
public:
    Sink()
    {
        moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(this, [this] {
            m_server = new QTcpServer(this);
            m_server->listen(QHostAddress::LocalHost, 0);
            m_port = m_server->serverPort();
            connect(m_server, &QTcpServer::newConnection, this, [this] {
                QTcpSocket *socket = m_server->nextPendingConnection();
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { m_received += socket->readAll().size(); });
                connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                    m_received += socket->readAll().size();
                    m_done = true;
                    socket->deleteLater();
                });
            });
        }, Qt::BlockingQueuedConnection);
    }
    ~Sink() override
    {
        QMetaObject::invokeMethod(this, [this] { delete m_server; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    quint16 port() const { return m_port; }
    bool waitDone(qint64 expected) const
    {
        QElapsedTimer timer;
        timer.start();
        while (!(m_done && m_received == expected) && timer.elapsed() < WaitMs)
            QThread::usleep(200);
        return m_done && m_received == expected;
    }

private:
    QThread m_thread;
    QTcpServer *m_server = nullptr;
    quint16 m_port = 0;
    std::atomic<qint64> m_received{0};
    std::atomic<bool> m_done{false};
};

// The floor: the whole file through one plain socket, as fast as the system takes it.
qint64 floorRun(const QByteArray &contents)
{
    Sink sink;
    QElapsedTimer timer;
    timer.start();
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, sink.port());
    if (!socket.waitForConnected(WaitMs))
        return -1;
    socket.write(contents);
    while (socket.bytesToWrite() > 0)
        if (!socket.waitForBytesWritten(WaitMs))
            return -1;
    socket.disconnectFromHost();
    if (!sink.waitDone(contents.size()))
        return -1;
    return timer.nsecsElapsed();
}

// One upload; onProgress runs for every progress event.
qint64 uploadRun(const QString &path, const QByteArray &contents, const std::function<void(qint64)> &onProgress)
{
    ScriptedFtpPeer peer(ScriptedFtpPeer::Script{});
    TFtpClient ftp;
    if (onProgress)
        QObject::connect(&ftp, &TFtpClient::workProgressed, &ftp, onProgress);
    QElapsedTimer timer;
    timer.start();
    try {
        ftp.ConnectAndLogin(QStringLiteral("127.0.0.1"), peer.port(), QString::fromLatin1(Wire::FtpUser),
                            QString::fromLatin1(Wire::FtpPassword));
        ftp.Delete(Ftp::bareFileName(path));
        ftp.Store(path);
        ftp.Quit();
    } catch (const FtpError &error) {
        std::fprintf(stderr, "upload failed: %s\n", qPrintable(error.message()));
        return -1;
    }
    const qint64 elapsed = timer.nsecsElapsed();
    if (!peer.waitFor([](const ScriptedFtpPeer &p) { return p.transferEnded(); }, WaitMs) || peer.stored() != contents) {
        std::fprintf(stderr, "the server's copy differs\n");
        return -1;
    }
    return elapsed;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("tarvino.ftp.info=false"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("FTP upload throughput on loopback."));
    parser.addHelpOption();
    const QCommandLineOption sizeOption(QStringLiteral("size"), QStringLiteral("File size in MiB (default 64)."), QStringLiteral("MB"), QStringLiteral("64"));
    const QCommandLineOption repaintOption(QStringLiteral("repaint-ms"), QStringLiteral("Cost of one repaint (default 2)."), QStringLiteral("MS"), QStringLiteral("2"));
    const QCommandLineOption throttleOption(QStringLiteral("throttle-ms"), QStringLiteral("Least time between two repaints when throttled (default 50)."), QStringLiteral("MS"), QStringLiteral("50"));
    const QCommandLineOption runsOption(QStringLiteral("runs"), QStringLiteral("Runs per case; the best counts (default 3)."), QStringLiteral("N"), QStringLiteral("3"));
    parser.addOptions({sizeOption, repaintOption, throttleOption, runsOption});
    parser.process(app);
    const int sizeMb = std::clamp(parser.value(sizeOption).toInt(), 1, 1024);
    const int repaintMs = std::clamp(parser.value(repaintOption).toInt(), 0, 1000);
    const int throttleMs = std::clamp(parser.value(throttleOption).toInt(), 1, 10000);
    const int runs = std::clamp(parser.value(runsOption).toInt(), 1, 20);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("firmware.bin"));
    QByteArray contents(qsizetype(sizeMb) * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32 *>(contents.data()), contents.size() / 4);
    QFile file(path);
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        return 2;
    file.close();

    auto repaint = [repaintMs] { QThread::usleep(static_cast<unsigned long>(repaintMs) * 1000); };
    QElapsedTimer throttle;
    const struct
    {
        const char *name;
        std::function<void(qint64)> onProgress;
    } cases[] = {
        {"Store, no progress handler", {}},
        {"Store, repaint every event", [&](qint64) { repaint(); }},
        {"Store, repaint throttled", [&](qint64) {
             if (!throttle.isValid() || throttle.elapsed() >= throttleMs) {
                 repaint();
                 throttle.start();
             }
         }},
    };

    auto best = [&](const std::function<qint64()> &run) {
        qint64 result = std::numeric_limits<qint64>::max();
        for (int i = 0; i < runs; ++i) {
            const qint64 ns = run();
            if (ns < 0)
                return qint64(-1);
            result = std::min(result, ns);
        }
        return result;
    };

    std::printf("%d MiB, %lld progress events per upload, repaint %d ms, throttle %d ms, best of %d\n", sizeMb,
                (contents.size() + Ftp::ChunkSize - 1) / Ftp::ChunkSize, repaintMs, throttleMs, runs);
    const qint64 floor = best([&] { return floorRun(contents); });
    if (floor < 0)
        return 1;
    auto report = [&](const char *name, qint64 ns) {
        std::printf("  %-30s %8.1f ms %8.1f MiB/s  x%.2f\n", name, ns / 1e6, sizeMb / (ns / 1e9), double(ns) / double(floor));
    };
    report("plain socket (floor)", floor);
    for (const auto &c : cases) {
        const qint64 ns = best([&] {
            throttle.invalidate();
            return uploadRun(path, contents, c.onProgress);
        });
        if (ns < 0)
            return 1;
        report(c.name, ns);
    }
    return 0;
}
