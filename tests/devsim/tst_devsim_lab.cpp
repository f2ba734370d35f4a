// The simulator on the wire, from the lab's PC namespace: discovery of many devices,
// commands and their state, the controller bus, the fault modes and the FTP server.

#include "labclient.h"
#include "labsim.h"
#include "devsim/simdevice.h"
#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace LabClient;

namespace {

constexpr quint32 Base = 0xC6120101; // 198.18.1.1
const char *const Password = "morvane40213";

QStringList args(std::initializer_list<const char *> texts)
{
    QStringList out;
    for (const char *text : texts)
        out << QString::fromLatin1(text);
    return out;
}

quint64 be(const QByteArray &bytes)
{
    quint64 value = 0;
    for (char c : bytes)
        value = (value << 8) | quint8(c);
    return value;
}

bool hasFault(const QJsonObject &line, const char *fault)
{
    return line.value(QLatin1String("faults")).toArray().contains(QString::fromLatin1(fault));
}

// A command to a device by UDP, and its first reply (empty when none came in time).
QByteArray command(UdpProbe &probe, quint8 code, int device, int timeoutMs = 2000)
{
    probe.send(request(code, LabSimulator::deviceAddress(device)), LabSimulator::deviceAddress(device), DevicePort);
    const QList<Reply> replies = probe.collect(timeoutMs, 1);
    return replies.isEmpty() ? QByteArray() : replies.first().data;
}

QByteArray busExchange(UdpProbe &probe, int device, const QByteArray &frameWithCrc, int timeoutMs = 1000)
{
    probe.send(frameWithCrc, LabSimulator::deviceAddress(device), BusPort);
    const QList<Reply> replies = probe.collect(timeoutMs, 1);
    return replies.isEmpty() ? QByteArray() : replies.first().data;
}

// A line of an FTP control connection; empty after timeoutMs.
QByteArray ftpLine(QTcpSocket &socket, int timeoutMs = 3000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!socket.canReadLine() && !deadline.hasExpired())
        socket.waitForReadyRead(int(std::min<qint64>(deadline.remainingTime(), 100)));
    return socket.canReadLine() ? socket.readLine().trimmed() : QByteArray();
}

QByteArray ftpCommand(QTcpSocket &socket, const QByteArray &line)
{
    socket.write(line + "\r\n");
    socket.waitForBytesWritten(1000);
    return ftpLine(socket);
}


} // namespace

class DevsimLab : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void thousandDevicesAnswerOneBroadcast();
    void unicastDiscovery_data();
    void unicastDiscovery();
    void directedBroadcast();
    void commands_data();
    void commands();
    void busExampleFrames();
    void configurationRoundTrip();
    void faults_data();
    void faults();
    void curlActiveUpload();
    void programFtpExchange();
    void ftpRefusedUntilStarted();
    void ftpTransferBreaks_data();
    void ftpTransferBreaks();
};

void DevsimLab::initTestCase()
{
    if (!LabSimulator::inLab())
        QSKIP("runs in the lab's PC namespace (a LAB test: ctest brings the lab up)");
}

void DevsimLab::thousandDevicesAnswerOneBroadcast()
{
    constexpr int Devices = 1000;
    LabSimulator sim;
    QElapsedTimer started;
    started.start();
    QVERIFY2(sim.start(Devices, args({"--seed", "42"})), qPrintable(sim.errorString()));
    qInfo("simulator with %d devices ready in %lld ms", Devices, started.elapsed());

    UdpProbe probe;
    const int on = 1;
    QVERIFY(::setsockopt(int(probe.socket().socketDescriptor()), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0);
    QVERIFY(probe.send(discover(), QHostAddress::Broadcast, DevicePort));
    QList<Reply> replies = probe.collect(5000, Devices);
    replies += probe.collect(500); // a duplicate or a stray reply would show here
    qInfo("%lld replies to one broadcast; the last after %lld ms", qint64(replies.size()),
          replies.isEmpty() ? 0 : replies.last().atMs);

    const QList<DevSim::SimDevice> model = DevSim::generateDevices(Devices, Base, 42);
    QSet<quint32> senders;
    for (const Reply &reply : replies) {
        const quint32 ip = reply.from.toIPv4Address();
        QVERIFY2(!senders.contains(ip), qPrintable(reply.from.toString() + QStringLiteral(" answered twice")));
        senders.insert(ip);
        QCOMPARE(reply.port, DevicePort);
        const int index = int(ip - Base);
        QVERIFY(index >= 0 && index < Devices);
        const DevSim::SimDevice &d = model.at(index);
        bool wellFormed = false;
        const QMap<quint16, QByteArray> p = parameters(reply.data, &wellFormed);
        QVERIFY(wellFormed);
        QCOMPARE(reply.data.mid(8, 8), d.addressRecord());
        QCOMPARE(reply.data.mid(16, 9), hex("0001" "1156" "00000000" "01"));
        QCOMPARE(p.keys(), (QList<quint16>{1, 2, 3, 4, 5, 6, 7, 12, 13, 14, 15, 16, 17, 18}));
        QCOMPARE(be(p.value(2)), quint64(ip)); // its own address, from its own address
        QCOMPARE(p.value(7), d.name);
        QCOMPARE(p.value(5), d.typeText);
        QCOMPARE(be(p.value(13)), quint64(d.typeCode));
        QCOMPARE(p.value(18), d.firmwareVersion);
        QCOMPARE(p.value(6).size(), 1);
        QCOMPARE(bool(p.value(6).at(0) & 0x10), DevSim::generatedWithDhcp(index));
    }
    QCOMPARE(int(senders.size()), Devices);
    // Every device journaled the one broadcast it answered.
    const QList<QJsonObject> lines = sim.requests({}, DevicePort);
    QCOMPARE(lines.size(), Devices);
    QCOMPARE(lines.first().value(QLatin1String("dest")).toString(), QStringLiteral("0001ffffffffffff"));
}

void DevsimLab::unicastDiscovery_data()
{
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<int>("device");
    QTest::newRow("udp-type-1") << false << 3;
    QTest::newRow("udp-type-2") << false << 7;
    QTest::newRow("tcp-type-1") << true << 4;
    QTest::newRow("tcp-type-2") << true << 7;
}

void DevsimLab::unicastDiscovery()
{
    QFETCH(bool, tcp);
    QFETCH(int, device);
    LabSimulator sim;
    QVERIFY2(sim.start(12), qPrintable(sim.errorString()));
    const QHostAddress address = LabSimulator::deviceAddress(device);
    QByteArray reply;
    UdpProbe probe;
    if (tcp) {
        reply = tcpExchange(address, discover(address), 3000, -1);
    } else {
        QVERIFY(probe.send(discover(address), address, DevicePort));
        QList<Reply> replies = probe.collect(1500, 1);
        replies += probe.collect(300);
        QCOMPARE(replies.size(), 1); // only the device addressed
        QCOMPARE(replies.first().from, address);
        reply = replies.first().data;
    }
    bool wellFormed = false;
    const QMap<quint16, QByteArray> p = parameters(reply, &wellFormed);
    QVERIFY2(wellFormed, reply.toHex().constData());
    QCOMPARE(be(p.value(2)), quint64(address.toIPv4Address()));
    const QByteArray record = reply.mid(8, 8);
    if (device == 7)
        QCOMPARE(record, hex("0002") + ipBytes(address) + hex("cca5"));
    else
        QCOMPARE(record.left(2), hex("0001"));
    const QList<QJsonObject> lines = sim.requests(address.toString(), DevicePort);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines.first().value(QLatin1String("transport")).toString(), tcp ? QStringLiteral("tcp") : QStringLiteral("udp"));
    QCOMPARE(lines.first().value(QLatin1String("cmd")).toInt(), 1);
    QCOMPARE(lines.first().value(QLatin1String("ids")).toArray().size(), 14);
}

void DevsimLab::directedBroadcast()
{
    LabSimulator sim;
    QVERIFY2(sim.start(12), qPrintable(sim.errorString()));
    UdpProbe probe;
    const int on = 1;
    QVERIFY(::setsockopt(int(probe.socket().socketDescriptor()), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0);
    QVERIFY(probe.send(discover(), QHostAddress(QStringLiteral("198.19.255.255")), DevicePort));
    QSet<QString> senders;
    for (const Reply &reply : probe.collect(2000, 12) + probe.collect(300))
        senders.insert(reply.from.toString());
    QCOMPARE(senders.size(), 12);
}

void DevsimLab::commands_data()
{
    QTest::addColumn<bool>("tcp");
    QTest::newRow("udp") << false;
    QTest::newRow("tcp") << true;
}

void DevsimLab::commands()
{
    QFETCH(bool, tcp);
    LabSimulator sim;
    QVERIFY2(sim.start(4), qPrintable(sim.errorString()));
    const int device = 2;
    const QHostAddress address = LabSimulator::deviceAddress(device);
    UdpProbe probe;
    struct Step
    {
        quint8 command;
        QByteArray ack;
        const char *field;
        bool value;
    };
    const QList<Step> steps{
        {3, hex("fffe"), "ftpServer", true}, {4, hex("fffe"), "ftpServer", false}, {8, hex("fffa"), "daemon", false},
        {5, hex("fffd"), "updater", true},   {6, hex("fffc"), "updater", false},   {7, hex("fffb"), "daemon", true},
        {9, hex("fff9"), "dropBear", true},  {9, hex("fff9"), "dropBear", false},  {11, hex("fff7"), "installCount", false},
    };
    for (const Step &step : steps) {
        const QByteArray reply = tcp ? tcpExchange(address, request(step.command, address), 3000, 27)
                                     : command(probe, step.command, device);
        QCOMPARE(reply.size(), 27);
        QCOMPARE(quint8(reply[23]), quint8(0));
        QCOMPARE(quint8(reply[24]), step.command);
        QCOMPARE(reply.mid(25, 2), step.ack);
        const QList<QJsonObject> changes = sim.stateChanges(address.toString());
        QVERIFY(!changes.isEmpty());
        if (QByteArray(step.field) != "installCount")
            QCOMPARE(changes.last().value(QLatin1String(step.field)).toBool(), step.value);
    }
    // The commands arrived in order, and the state dump agrees with the journal.
    QList<int> received;
    for (const QJsonObject &line : sim.requests(address.toString(), DevicePort))
        received << line.value(QLatin1String("cmd")).toInt();
    QCOMPARE(received, (QList<int>{3, 4, 8, 5, 6, 7, 9, 9, 11}));
    const QJsonObject state = sim.deviceState(device);
    QCOMPARE(state.value(QLatin1String("daemon")).toBool(), true);
    QCOMPARE(state.value(QLatin1String("updater")).toBool(), false);
    QCOMPARE(state.value(QLatin1String("dropBear")).toBool(), false);
    QCOMPARE(state.value(QLatin1String("installCount")).toInt(), 0);
    QCOMPARE(sim.deviceState(1).value(QLatin1String("daemon")).toBool(), true); // others untouched
}

void DevsimLab::busExampleFrames()
{
    LabSimulator sim;
    QVERIFY2(sim.start(4), qPrintable(sim.errorString()));
    UdpProbe probe;
    // Refused while the updater is stopped, as on a real device.
    QVERIFY(busExchange(probe, 1, hex("ff64006b30"), 600).isEmpty());
    QVERIFY(sim.requests(LabSimulator::deviceIp(1), BusPort).first().contains(QLatin1String("refused")));
    QCOMPARE(command(probe, 5, 1).mid(25, 2), hex("fffd"));

    QCOMPARE(busExchange(probe, 1, hex("ff64006b30")), frame(hex("ff6400")));
    QCOMPARE(busExchange(probe, 1, hex("ff64d2eb6d")), frame(hex("ff64d2")));
    const QByteArray length = busExchange(probe, 1, hex("ff6e06000000049542"));
    QCOMPARE(length.size(), 13);
    QCOMPARE(length.left(7), hex("ff6e0600000004"));
    QCOMPARE(crc(length), quint16(0));
    const quint32 n = quint32(be(length.mid(7, 4)));
    QVERIFY(n > 0);
    // A bad CRC gets no answer at all.
    QVERIFY(busExchange(probe, 1, hex("ff64006b31"), 600).isEmpty());
    // The replies go to the request's own source port.
    QUdpSocket other;
    QVERIFY(other.bind(LabSimulator::pcAddress(), 0));
    other.writeDatagram(frame(hex("ff64d3")), LabSimulator::deviceAddress(1), BusPort);
    QVERIFY(other.waitForReadyRead(1000));
    QCOMPARE(int(other.pendingDatagramSize()), 5);
}

void DevsimLab::configurationRoundTrip()
{
    LabSimulator sim;
    QVERIFY2(sim.start(4, args({"--updater-running"})), qPrintable(sim.errorString()));
    UdpProbe probe;
    QByteArray text;
    for (int i = 0; text.size() < 300; ++i)
        text += "key" + QByteArray::number(i) + "=" + QByteArray("\x00\xE9", 2) + "\r\n";
    text.truncate(300);
    auto write = [&](quint32 address, const QByteArray &data) {
        for (qsizetype at = 0; at < data.size(); at += 128) {
            const QByteArray chunk = data.mid(at, 128);
            const QByteArray reply = busExchange(probe, 3, frame(hex("ff6f06") + address24(address + quint32(at)) + char(chunk.size()) + chunk));
            if (reply != frame(hex("ff6f06") + address24(address + quint32(at)) + char(chunk.size())))
                return false;
        }
        return true;
    };
    auto read = [&](quint32 address, int count) {
        QByteArray out;
        for (int at = 0; at < count; at += 128) {
            const int n = std::min(128, count - at);
            const QByteArray reply = busExchange(probe, 3, frame(hex("ff6e06") + address24(address + quint32(at)) + char(n)));
            if (reply.size() != n + 9 || crc(reply) != 0)
                return QByteArray();
            out += reply.mid(7, n);
        }
        return out;
    };
    QCOMPARE(busExchange(probe, 3, frame(hex("ff64d0"))), frame(hex("ff64d0")));
    QVERIFY(write(0, hex("0000012c")));
    QVERIFY(write(4, text));
    QCOMPARE(busExchange(probe, 3, frame(hex("ff64d1"))), frame(hex("ff64d1")));
    QCOMPARE(busExchange(probe, 3, frame(hex("ff64d2"))), frame(hex("ff64d2")));
    QCOMPARE(read(0, 4), hex("0000012c"));
    QCOMPARE(read(4, 300), text);
    // The writes arrived as 128, 128 and 44 bytes at 4, 132 and 260.
    QList<int> addresses, sizes;
    for (const QJsonObject &line : sim.requests(LabSimulator::deviceIp(3), BusPort)) {
        if (line.value(QLatin1String("fn")).toInt() == 0x6F && line.value(QLatin1String("addr")).toInt() >= 4) {
            addresses << line.value(QLatin1String("addr")).toInt();
            sizes << line.value(QLatin1String("n")).toInt();
        }
    }
    QCOMPARE(addresses, (QList<int>{4, 132, 260}));
    QCOMPARE(sizes, (QList<int>{128, 128, 44}));
    QCOMPARE(sim.deviceState(3).value(QLatin1String("controller")).toObject().value(QLatin1String("configurationHex")).toString(),
             QString::fromLatin1(text.toHex()));
}

void DevsimLab::faults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("probe");
    QTest::newRow("silent") << "198.18.1.2:silent" << "no-reply";
    QTest::newRow("delay") << "198.18.1.2:delay=600" << "late-reply";
    QTest::newRow("wrong-ack-5") << "198.18.1.2:wrong-ack=5" << "wrong-ack-5";
    QTest::newRow("bad-crc") << "198.18.1.2:bad-crc" << "bad-crc";
    QTest::newRow("split") << "198.18.1.2:split@52390" << "split";
    QTest::newRow("duplicate") << "198.18.1.2:duplicate" << "duplicate";
    QTest::newRow("loss") << "198.18.1.2:loss=0.5" << "loss";
    QTest::newRow("corrupt-readback") << "198.18.1.2:corrupt-readback=0x10" << "corrupt";
    QTest::newRow("bus-silent") << "198.18.1.2:silent@52390" << "bus-silent";
    QTest::newRow("ftp-silent") << "198.18.1.2:ftp-silent" << "ftp-silent";
    QTest::newRow("refuse") << "198.18.1.2:refuse@52389" << "refuse";
    QTest::newRow("act-silent") << "198.18.1.2:act-silent@cmd=5" << "act-silent";
    QTest::newRow("swap") << "198.18.1.2:swap@52389@count=1" << "swap";
}

void DevsimLab::faults()
{
    QFETCH(QString, fault);
    QFETCH(QString, probe);
    LabSimulator sim;
    QVERIFY2(sim.start(3, QStringList{QStringLiteral("--seed"), QStringLiteral("3"), QStringLiteral("--fault"), fault}),
             qPrintable(sim.errorString()));
    const int device = 1; // 198.18.1.2
    const QHostAddress address = LabSimulator::deviceAddress(device);
    const QString ip = address.toString();
    UdpProbe udp;
    // A neighbour without faults answers throughout.
    QCOMPARE(command(udp, 7, 0).mid(25, 2), hex("fffb"));

    if (probe == QLatin1String("no-reply")) {
        udp.send(discover(address), address, DevicePort);
        QVERIFY(udp.collect(800).isEmpty());
        QVERIFY(command(udp, 5, device, 600).isEmpty());
        QVERIFY(hasFault(sim.requests(ip).first(), "silent"));
        QCOMPARE(sim.deviceState(device).value(QLatin1String("updater")).toBool(), false); // not carried out
    } else if (probe == QLatin1String("late-reply")) {
        udp.send(request(7, address), address, DevicePort);
        QVERIFY(udp.collect(250).isEmpty());
        const QList<Reply> replies = udp.collect(3000, 1);
        QCOMPARE(replies.size(), 1);
        QVERIFY(replies.first().atMs >= 500);
        QCOMPARE(replies.first().data.mid(24), hex("07fffb"));
    } else if (probe == QLatin1String("wrong-ack-5")) {
        QCOMPARE(command(udp, 5, device).mid(24), hex("05fffc"));
        QCOMPARE(command(udp, 7, device).mid(24), hex("07fffb"));
        QCOMPARE(command(udp, 3, device).mid(24), hex("03fffe"));
    } else if (probe == QLatin1String("bad-crc") || probe == QLatin1String("split") || probe == QLatin1String("corrupt")
               || probe == QLatin1String("bus-silent")) {
        QCOMPARE(command(udp, 5, device).mid(25, 2), hex("fffd"));
        if (probe == QLatin1String("bus-silent")) {
            QVERIFY(busExchange(udp, device, hex("ff64006b30"), 800).isEmpty());
            QVERIFY(hasFault(sim.requests(ip, BusPort).last(), "silent"));
        } else if (probe == QLatin1String("bad-crc")) {
            const QByteArray reply = busExchange(udp, device, hex("ff64006b30"));
            QCOMPARE(reply.size(), 5);
            QCOMPARE(reply.left(3), hex("ff6400"));
            QVERIFY(crc(reply) != 0);
        } else if (probe == QLatin1String("split")) {
            udp.send(hex("ff6e06000000049542"), address, BusPort);
            const QList<Reply> parts = udp.collect(1500, 2);
            QCOMPARE(parts.size(), 2);
            const QByteArray joined = parts.at(0).data + parts.at(1).data;
            QCOMPARE(joined.size(), 13);
            QCOMPARE(crc(joined), quint16(0));
        } else {
            const QByteArray image = RandomBytes(32, 77);
            QCOMPARE(busExchange(udp, device, frame(hex("ff6f06000000") + char(32) + image)).size(), 9);
            const QByteArray reply = busExchange(udp, device, frame(hex("ff6e0600000020")));
            QCOMPARE(reply.size(), 41);
            QCOMPARE(crc(reply), quint16(0));
            QByteArray expected = image;
            expected[16] = char(~quint8(expected[16]));
            QCOMPARE(reply.mid(7, 32), expected);
        }
    } else if (probe == QLatin1String("duplicate")) {
        udp.send(request(3, address), address, DevicePort);
        const QList<Reply> replies = udp.collect(1000, 3);
        QCOMPARE(replies.size(), 2);
        QCOMPARE(replies.at(0).data, replies.at(1).data);
        QCOMPARE(replies.at(0).data.mid(24), hex("03fffe"));
    } else if (probe == QLatin1String("loss")) {
        constexpr int Requests = 40;
        for (int i = 0; i < Requests; ++i) {
            udp.send(request(7, address), address, DevicePort);
            QTest::qWait(2);
        }
        const int answered = int(udp.collect(1500, Requests + 1).size());
        QVERIFY(sim.waitForJournal([&](const QList<QJsonObject> &) { return sim.requests(ip).size() == Requests; }));
        int kept = 0;
        for (const QJsonObject &line : sim.requests(ip))
            kept += hasFault(line, "loss") ? 0 : 1;
        QCOMPARE(answered, kept);
        QVERIFY2(answered > 5 && answered < 35, qPrintable(QString::number(answered)));
    } else if (probe == QLatin1String("ftp-silent")) {
        QCOMPARE(command(udp, 3, device).mid(25, 2), hex("fffe"));
        QTcpSocket ftp;
        ftp.connectToHost(address, 21);
        QVERIFY(ftp.waitForConnected(2000));
        QVERIFY(!ftp.waitForReadyRead(800)); // no greeting
        ftp.write("USER ftp\r\n");
        QVERIFY(!ftp.waitForReadyRead(300));
        QVERIFY(sim.waitForJournal([&](const QList<QJsonObject> &) {
            const auto lines = sim.requests(ip, 21);
            return !lines.isEmpty() && lines.last().value(QLatin1String("ftp")).toString() == QLatin1String("USER ftp");
        }));
    } else if (probe == QLatin1String("refuse")) {
        QString error;
        const QByteArray reply = tcpExchange(address, request(7, address), 1000, 27, &error);
        QVERIFY(reply.isEmpty());
        QCOMPARE(command(udp, 7, device).mid(24), hex("07fffb")); // UDP still answers
        QVERIFY(sim.requests(ip, DevicePort).first().value(QLatin1String("connection")).toString() == QLatin1String("refused"));
    } else if (probe == QLatin1String("act-silent")) {
        QVERIFY(command(udp, 5, device, 600).isEmpty());
        QCOMPARE(sim.deviceState(device).value(QLatin1String("updater")).toBool(), true); // carried out
        QCOMPARE(command(udp, 6, device).mid(24), hex("06fffc"));
    } else if (probe == QLatin1String("swap")) {
        // The first answer waits for the next request (from another port), then follows its answer.
        udp.send(request(7, address), address, DevicePort);
        QVERIFY(udp.collect(400).isEmpty());
        UdpProbe other;
        other.send(request(8, address), address, DevicePort);
        const QList<Reply> second = other.collect(1500, 1);
        QCOMPARE(second.size(), 1);
        QCOMPARE(second.first().data.mid(24), hex("08fffa"));
        const QList<Reply> first = udp.collect(1500, 1);
        QCOMPARE(first.size(), 1);
        QCOMPARE(first.first().data.mid(24), hex("07fffb"));
    } else {
        QFAIL("unknown probe");
    }
}

void DevsimLab::curlActiveUpload()
{
    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    if (curl.isEmpty())
        QSKIP("curl is missing (scripts/deps.sh installs it)");
    LabSimulator sim;
    QVERIFY2(sim.start(4), qPrintable(sim.errorString()));
    UdpProbe udp;
    QCOMPARE(command(udp, 3, 1).mid(25, 2), hex("fffe")); // StartFtpServer

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("board.image.bin"));
    const QByteArray image = RandomBytes(300 * 1024 + 17, 4242) + QByteArray("\r\n\x00\r", 4);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image) == image.size());
    file.close();
    QProcess process;
    process.start(curl, {QStringLiteral("-sS"), QStringLiteral("--max-time"), QStringLiteral("30"), QStringLiteral("-T"), path,
                         QStringLiteral("--ftp-port"), QStringLiteral("-"),
                         QStringLiteral("ftp://ftp:%1@%2/").arg(QString::fromLatin1(Password), LabSimulator::deviceIp(1))});
    QVERIFY(process.waitForFinished(40000));
    QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());

    QVERIFY(sim.waitForJournal([](const QList<QJsonObject> &lines) {
        for (const QJsonObject &line : lines)
            if (line.value(QLatin1String("event")).toString() == QLatin1String("stored"))
                return true;
        return false;
    }));
    QCOMPARE(sim.storedFile(1, QStringLiteral("board.image.bin")), image);
    QStringList verbs;
    for (const QJsonObject &line : sim.requests(LabSimulator::deviceIp(1), 21))
        verbs << line.value(QLatin1String("ftp")).toString().section(QLatin1Char(' '), 0, 0).toUpper();
    QVERIFY2(verbs.contains(QLatin1String("PORT")) && verbs.contains(QLatin1String("STOR")), qPrintable(verbs.join(QLatin1Char(','))));
    QVERIFY(!verbs.contains(QLatin1String("PASV")) && !verbs.contains(QLatin1String("EPSV")));

    // SystemUpgrade installs what was uploaded.
    QCOMPARE(command(udp, 11, 1).mid(25, 2), hex("fff7"));
    const QJsonObject state = sim.deviceState(1);
    QCOMPARE(state.value(QLatin1String("installedImage")).toString(), QStringLiteral("board.image.bin"));
    QCOMPARE(state.value(QLatin1String("installCount")).toInt(), 1);
}

void DevsimLab::programFtpExchange()
{
    LabSimulator sim;
    QVERIFY2(sim.start(4), qPrintable(sim.errorString()));
    UdpProbe udp;
    QCOMPARE(command(udp, 3, 2).mid(25, 2), hex("fffe"));
    const QHostAddress device = LabSimulator::deviceAddress(2);

    for (const char *expectedDele : {"550", "250"}) {
        const QByteArray image = RandomBytes(5000, quint32(expectedDele[0]));
        QTcpSocket control;
        control.connectToHost(device, 21);
        QVERIFY(control.waitForConnected(2000));
        QVERIFY(ftpLine(control).startsWith("220"));
        QVERIFY(ftpCommand(control, "user ftp").startsWith("331"));
        QVERIFY(ftpCommand(control, "pass " + QByteArray(Password)).startsWith("230"));
        QVERIFY(ftpCommand(control, "type I").startsWith("200"));
        QVERIFY(ftpCommand(control, "syst").startsWith("215"));
        QVERIFY(ftpCommand(control, "DELE fw.image.bin").startsWith(expectedDele));
        QTcpServer listener;
        QVERIFY(listener.listen(control.localAddress(), 0));
        const quint32 local = control.localAddress().toIPv4Address();
        const QByteArray port = QByteArray::number(local >> 24) + ',' + QByteArray::number((local >> 16) & 255) + ','
            + QByteArray::number((local >> 8) & 255) + ',' + QByteArray::number(local & 255) + ','
            + QByteArray::number(listener.serverPort() >> 8) + ',' + QByteArray::number(listener.serverPort() & 255);
        QVERIFY(ftpCommand(control, "PORT " + port).startsWith("200"));
        control.write("STOR fw.image.bin\r\n");
        QVERIFY(ftpLine(control).startsWith("150"));
        QVERIFY(listener.waitForNewConnection(5000));
        QTcpSocket *data = listener.nextPendingConnection();
        QCOMPARE(data->peerAddress(), device); // active mode, from the device's own address
        data->write(image);
        QVERIFY(data->waitForBytesWritten(5000) || data->bytesToWrite() == 0);
        data->disconnectFromHost();
        if (data->state() != QAbstractSocket::UnconnectedState)
            data->waitForDisconnected(2000);
        QVERIFY(ftpLine(control).startsWith("226"));
        QVERIFY(ftpCommand(control, "Quit").startsWith("221"));
        QCOMPARE(sim.storedFile(2, QStringLiteral("fw.image.bin")), image);
    }
    // The server got the program's lines, in order.
    QStringList lines;
    for (const QJsonObject &line : sim.requests(device.toString(), 21))
        if (line.contains(QLatin1String("ftp")))
            lines << line.value(QLatin1String("ftp")).toString().section(QLatin1Char(' '), 0, 0);
    QCOMPARE(lines.mid(0, 10), args({"connect", "user", "pass", "type", "syst", "DELE", "PORT", "STOR", "Quit", "connect"}));

    // A wrong password is refused.
    QTcpSocket control;
    control.connectToHost(device, 21);
    QVERIFY(control.waitForConnected(2000));
    QVERIFY(ftpLine(control).startsWith("220"));
    QVERIFY(ftpCommand(control, "user ftp").startsWith("331"));
    QVERIFY(ftpCommand(control, "pass wrong").startsWith("530"));
}

void DevsimLab::ftpRefusedUntilStarted()
{
    LabSimulator sim;
    QVERIFY2(sim.start(3, args({"--fault", "2:ftp-user-230"})), qPrintable(sim.errorString()));
    UdpProbe udp;
    for (int device : {1, 2}) {
        QTcpSocket refused;
        refused.connectToHost(LabSimulator::deviceAddress(device), 21);
        // Refused: reset at once (the handshake may complete first), without a greeting.
        if (refused.waitForConnected(2000) && refused.state() != QAbstractSocket::UnconnectedState)
            QVERIFY(refused.waitForDisconnected(2000));
        QVERIFY(!refused.canReadLine());
        QCOMPARE(command(udp, 3, device).mid(25, 2), hex("fffe"));
        QTcpSocket control;
        control.connectToHost(LabSimulator::deviceAddress(device), 21);
        QVERIFY(control.waitForConnected(2000));
        QVERIFY(ftpLine(control).startsWith("220"));
        // Device 2 logs in at USER (the variant the program accepts), device 1 asks a password.
        QVERIFY(ftpCommand(control, "user ftp").startsWith(device == 2 ? "230" : "331"));
        QCOMPARE(command(udp, 4, device).mid(25, 2), hex("fffe"));
    }
}

void DevsimLab::ftpTransferBreaks_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("event"); // the journal's word for it
    QTest::newRow("reset") << "2:ftp-reset=4096" << "data connection reset after 4096 bytes";
    QTest::newRow("stall") << "2:ftp-stall=4096" << "transfer stalled after 4096 bytes";
}

// A STOR larger than the fault's bytes: reset, the data connection breaks and the server says
// 426; stalled, the server stops reading (the client's bytes stay unsent) and says nothing more.
void DevsimLab::ftpTransferBreaks()
{
    QFETCH(QString, fault);
    QFETCH(QString, event);
    const bool reset = fault.contains(QLatin1String("reset"));
    LabSimulator sim;
    QVERIFY2(sim.start(4, {QStringLiteral("--fault"), fault}), qPrintable(sim.errorString()));
    UdpProbe udp;
    QCOMPARE(command(udp, 3, 2).mid(25, 2), hex("fffe"));
    QTcpSocket control;
    control.connectToHost(LabSimulator::deviceAddress(2), 21);
    QVERIFY(control.waitForConnected(2000));
    QVERIFY(ftpLine(control).startsWith("220"));
    QVERIFY(ftpCommand(control, "user ftp").startsWith("331"));
    QVERIFY(ftpCommand(control, "pass " + QByteArray(Password)).startsWith("230"));
    QTcpServer listener;
    QVERIFY(listener.listen(control.localAddress(), 0));
    const quint32 local = control.localAddress().toIPv4Address();
    const QByteArray port = QByteArray::number(local >> 24) + ',' + QByteArray::number((local >> 16) & 255) + ','
        + QByteArray::number((local >> 8) & 255) + ',' + QByteArray::number(local & 255) + ','
        + QByteArray::number(listener.serverPort() >> 8) + ',' + QByteArray::number(listener.serverPort() & 255);
    QVERIFY(ftpCommand(control, "PORT " + port).startsWith("200"));
    control.write("STOR fw.image.bin\r\n");
    QVERIFY(ftpLine(control).startsWith("150"));
    QVERIFY(listener.waitForNewConnection(5000));
    QTcpSocket *data = listener.nextPendingConnection();
    // More than the kernel's buffers on both sides hold: a server that stops reading holds it up.
    const QByteArray image = RandomBytes(16 * 1024 * 1024, 77);
    data->write(image);

    // The bytes leave only while the socket is waited on.
    const auto happened = [&] {
        for (const QJsonObject &line : sim.journal())
            if (line.value(QLatin1String("event")).toString() == event)
                return true;
        return false;
    };
    const QDeadlineTimer deadline(10000);
    while (!happened() && !deadline.hasExpired())
        if (!data->waitForBytesWritten(100))
            QThread::msleep(20);
    QVERIFY2(happened(), qPrintable(event));
    if (reset) {
        QVERIFY(ftpLine(control).startsWith("426"));
        QVERIFY(data->state() == QAbstractSocket::UnconnectedState || data->waitForDisconnected(5000));
        QCOMPARE(data->error(), QAbstractSocket::RemoteHostClosedError);
    } else {
        data->waitForBytesWritten(500); // whatever the buffers still take
        QVERIFY2(data->bytesToWrite() > 0, "every byte left: the server kept reading");
        QVERIFY(data->state() == QAbstractSocket::ConnectedState);
        control.write("NOOP\r\n");
        QVERIFY(!control.waitForReadyRead(1000)); // a stalled server answers nothing more
    }
    QVERIFY(sim.storedFile(2, QStringLiteral("fw.image.bin")).isEmpty());
    for (const QJsonObject &line : sim.journal())
        QVERIFY(line.value(QLatin1String("event")).toString() != QLatin1String("stored"));
}

QTEST_GUILESS_MAIN(DevsimLab)
#include "tst_devsim_lab.moc"
