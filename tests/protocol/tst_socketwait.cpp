// The sliced socket waits: how a time-out is sliced, and a connection that takes
// longer than one slice.
#include "protocol/socketwait.h"
#include "uikeepalive.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUdpSocket>
#include <QScopeGuard>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

class TestSocketWait : public QObject
{
    Q_OBJECT
private slots:
    void slices_data()
    {
        QTest::addColumn<int>("timeout");
        QTest::addColumn<QList<int>>("slices");
        QTest::newRow("1010") << 1010 << QList<int>{10, 250, 250, 250, 250};
        QTest::newRow("1000") << 1000 << QList<int>{250, 250, 250, 250};
        QTest::newRow("1146") << 1146 << QList<int>{146, 250, 250, 250, 250};
        QTest::newRow("251") << 251 << QList<int>{1, 250};
        QTest::newRow("100") << 100 << QList<int>{100};
        QTest::newRow("0") << 0 << QList<int>{};
    }
    void slices()
    {
        QFETCH(int, timeout);
        QFETCH(QList<int>, slices);
        QCOMPARE(SocketWait::slices(timeout), slices);
    }

    void idleHookRunsOnItsThreadOnly_data()
    {
        QTest::addColumn<bool>("otherThread"); // the wait runs on another thread than the hook's
        QTest::addColumn<bool>("nested");      // a second hook was set over the first and has gone
        QTest::addColumn<int>("calls");        // of the first hook, after a wait of 600 ms: 100, 250, 250
        QTest::newRow("this thread") << false << false << 3;
        QTest::newRow("this thread, after a hook set over it went") << false << true << 3;
        QTest::newRow("another thread") << true << false << 0;
    }
    void idleHookRunsOnItsThreadOnly()
    {
        QFETCH(bool, otherThread);
        QFETCH(bool, nested);
        QFETCH(int, calls);
        int hookCalls = 0;
        int nestedCalls = 0;
        const SocketWait::IdleHook hook([&] { ++hookCalls; });
        if (nested)
            SocketWait::IdleHook([&] { ++nestedCalls; });
        const auto silentWait = [] {
            QUdpSocket socket; // nothing is sent to it
            if (socket.bind(QHostAddress::LocalHost, 0))
                SocketWait::waitForReadyRead(socket, 600);
        };
        if (otherThread) {
            std::unique_ptr<QThread> thread(QThread::create(silentWait));
            thread->start();
            QVERIFY(thread->wait(5000));
        } else {
            silentWait();
        }
        QCOMPARE(hookCalls, calls);
        QCOMPARE(nestedCalls, 0);
    }

    void stopEndsTheWait_data()
    {
        QTest::addColumn<QString>("wait");
        QTest::newRow("read") << QStringLiteral("read");
        QTest::newRow("connect") << QStringLiteral("connect");
    }
    void stopEndsTheWait()
    {
        // Waits of 20 s on a silent socket and on a listener whose full queue drops the connection
        // requests; the stop check turns true after a few of its polls.
        QFETCH(QString, wait);
        constexpr int LongWaitMs = 20000;
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(listener >= 0);
        const auto closeListener = qScopeGuard([listener] { ::close(listener); });
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        QVERIFY(::listen(listener, 0) == 0);
        socklen_t length = sizeof address;
        QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
        const quint16 port = ntohs(address.sin_port);
        QTcpSocket filler;
        filler.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(filler.waitForConnected(1000));

        int looks = 0;
        const SocketWait::StopCheck stop = [&] { return ++looks > 5; };
        QElapsedTimer elapsed;
        elapsed.start();
        if (wait == QLatin1String("read")) {
            QVERIFY(!SocketWait::waitForReadyRead(filler, LongWaitMs, stop));
            QCOMPARE(filler.state(), QAbstractSocket::ConnectedState);
        } else {
            QTcpSocket socket;
            QString reason;
            QCOMPARE(SocketWait::connectTo(socket, QHostAddress(QHostAddress::LocalHost), port, LongWaitMs, &reason, stop),
                     SocketWait::ConnectResult::TimedOut);
            QCOMPARE(reason, QStringLiteral("Stopped"));
        }
        QVERIFY2(elapsed.elapsed() < LongWaitMs / 2, qPrintable(QString::number(elapsed.elapsed())));
        QVERIFY(looks > 5);
    }

    void connectionLongerThanASlice()
    {
        // A listener whose queue is full drops new connection requests; the client's
        // retry, about a second later, gets through once the queue has room again.
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(listener >= 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        QVERIFY(::listen(listener, 0) == 0);
        socklen_t length = sizeof address;
        QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
        const quint16 port = ntohs(address.sin_port);

        QTcpSocket filler;
        filler.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(filler.waitForConnected(1000));

        QThread *drainer = QThread::create([listener] {
            QThread::msleep(600);
            const int accepted = ::accept(listener, nullptr, nullptr);
            QThread::msleep(3000);
            if (accepted >= 0)
                ::close(accepted);
        });
        drainer->start();

        TUiKeepAlive keepAlive;
        QTcpSocket socket;
        QElapsedTimer elapsed;
        elapsed.start();
        QString reason;
        const bool connected = SocketWait::connectTo(socket, QHostAddress(QHostAddress::LocalHost), port, 5000, &reason) ==
                               SocketWait::ConnectResult::Connected;
        const qint64 took = elapsed.elapsed();
        drainer->wait();
        delete drainer;
        ::close(listener);
        QVERIFY2(connected, qPrintable(reason));
        QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
        QVERIFY2(took >= 250, qPrintable(QString::number(took))); // it did take more than one slice
    }

    void refusedConnectionEndsAtOnce()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 port = probe.serverPort();
        probe.close();
        QTcpSocket socket;
        QElapsedTimer elapsed;
        elapsed.start();
        QString reason;
        QCOMPARE(SocketWait::connectTo(socket, QHostAddress(QHostAddress::LocalHost), port, 5000, &reason),
                 SocketWait::ConnectResult::Refused);
        QVERIFY(elapsed.elapsed() < 2000);
        QVERIFY(!reason.isEmpty());
    }

    void endWatch_data()
    {
        QTest::addColumn<QString>("peer"); // what the peer does once connected
        QTest::addColumn<bool>("reset");
        QTest::newRow("stays connected") << QStringLiteral("stays") << false;
        QTest::newRow("closes") << QStringLiteral("closes") << false;
        // Bytes that reach a closed peer are answered with a reset: the peer still closed first.
        QTest::newRow("closes, then resets what follows") << QStringLiteral("closes first") << false;
        QTest::newRow("resets") << QStringLiteral("resets") << true;
    }
    // Qt ends the socket alike for a close and a reset; the watch tells them apart.
    void endWatch()
    {
        QFETCH(QString, peer);
        QFETCH(bool, reset);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(socket.waitForConnected(2000));
        QVERIFY(server.waitForNewConnection(2000));
        QTcpSocket *accepted = server.nextPendingConnection();
        QVERIFY(accepted);
        const SocketWait::EndWatch watch(socket);

        if (peer == QLatin1String("closes")) {
            accepted->disconnectFromHost();
        } else if (peer == QLatin1String("closes first")) {
            accepted->disconnectFromHost();
            QCOMPARE(accepted->state(), QAbstractSocket::UnconnectedState);
            QThread::msleep(50); // the close reaches this side before the bytes leave
            const int descriptor = int(socket.socketDescriptor());
            QCOMPARE(::send(descriptor, "late", 4, MSG_NOSIGNAL), ssize_t(4));
            QThread::msleep(50); // and the reset comes back: the connection is closed now
            tcp_info info{};
            socklen_t length = sizeof info;
            QCOMPARE(::getsockopt(descriptor, IPPROTO_TCP, TCP_INFO, &info, &length), 0);
            QCOMPARE(int(info.tcpi_state), int(TCP_CLOSE));
        } else if (peer == QLatin1String("resets")) {
            const linger hard{1, 0};
            QCOMPARE(::setsockopt(int(accepted->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
            accepted->abort();
        }
        QVERIFY(!socket.waitForReadyRead(500));
        QCOMPARE(socket.state() == QAbstractSocket::ConnectedState, peer == QLatin1String("stays"));
        QString reason;
        QCOMPARE(watch.peerReset(&reason), reset);
        QCOMPARE(reason.isEmpty(), !reset);
    }
};

QTEST_GUILESS_MAIN(TestSocketWait)
#include "tst_socketwait.moc"
