// The simulator's behaviour in-process: fault plans, commands and state, the journal, the
// FTP command side, the command line and the generated devices.

#include "devsim/crc16.h"
#include "devsim/faults.h"
#include "devsim/ftpsession.h"
#include "devsim/journal.h"
#include "devsim/options.h"
#include "devsim/simulator.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

using namespace DevSim;

namespace {

constexpr quint32 Base = 0xC6120101; // 198.18.1.1

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

// A request as the program builds it: type 2 destination of the device, zero source.
QByteArray deviceRequest(quint8 command, int deviceIndex = 0, const QList<quint16> &ids = {})
{
    QByteArray r = hex("0002");
    const quint32 ip = Base + quint32(deviceIndex);
    r += char(ip >> 24);
    r += char(ip >> 16);
    r += char(ip >> 8);
    r += char(ip);
    r += hex("cca5" "0000000000000000" "0001" "1156" "00000000");
    r += char(command);
    for (quint16 id : ids)
        r += char(id >> 8) + QByteArray(1, char(id & 0xFF)) + '\0';
    return r + hex("ffff");
}

QByteArray broadcastDiscover()
{
    return hex("0001ffffffffffff" "0000000000000000" "0001" "1156" "00000000" "01" "000100" "000700" "ffff");
}

QStringList strings(std::initializer_list<const char *> texts)
{
    QStringList out;
    for (const char *text : texts)
        out << QString::fromLatin1(text);
    return out;
}

QList<Fault> faults(const QStringList &definitions)
{
    QList<Fault> out;
    for (const QString &definition : definitions) {
        QString error;
        const auto fault = parseFault(definition, &error);
        if (!fault)
            qFatal("%s", qPrintable(error));
        out << *fault;
    }
    return out;
}

QList<QJsonObject> readJournal(const QString &path)
{
    QList<QJsonObject> lines;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    for (const QByteArray &line : file.readAll().split('\n'))
        if (!line.isEmpty())
            lines << QJsonDocument::fromJson(line).object();
    return lines;
}

} // namespace

class DevsimCore : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void parseFaults_data();
    void parseFaults();
    void faultWindow_data();
    void faultWindow();
    void lossFollowsTheSeed();

    void commands_data();
    void commands();
    void commandOverTcp();
    void unknownCommandUnanswered();
    void busNeedsTheUpdater();
    void replyFaults_data();
    void replyFaults();
    void actSilentCarriesOut_data();
    void actSilentCarriesOut();
    void swapReversesTwoReplies_data();
    void swapReversesTwoReplies();
    void blackoutSilencesEveryService();
    void powerCutHalfWritesTheFirmware_data();
    void powerCutHalfWritesTheFirmware();
    void ftpTransferFaultsPerConnection();
    void broadcastAddressing_data();
    void broadcastAddressing();
    void journalOrder();
    void uploadAndInstall();
    void installRestartsTheBoard_data();
    void installRestartsTheBoard();
    void installedImageGivesItsVersion_data();
    void installedImageGivesItsVersion();

    void ftpExchange_data();
    void ftpExchange();
    void ftpTransferEnd_data();
    void ftpTransferEnd();

    void commandLine_data();
    void commandLine();
    void filesReplaceTexts();
    void typesGiven();

    void generatedDevices();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void DevsimCore::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void DevsimCore::parseFaults_data()
{
    QTest::addColumn<QString>("definition");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("value"); // delay, address, the command of wrong-ack, ms or bytes (-1 none)
    QTest::newRow("silent-ip") << "198.18.1.5:silent" << true << "silent" << -1;
    QTest::newRow("delay") << "198.18.1.6:delay=1000" << true << "delay" << 1000;
    QTest::newRow("loss-all") << "all:loss=0.2" << true << "loss" << -1;
    QTest::newRow("wrong-ack-5") << "3:wrong-ack=5" << true << "wrong-ack" << 5;
    QTest::newRow("wrong-ack") << "#3:wrong-ack" << true << "wrong-ack" << -1;
    QTest::newRow("corrupt-hex") << "198.18.1.1-198.18.1.9:corrupt-readback=0x1F0" << true << "corrupt-readback" << 0x1F0;
    QTest::newRow("ftp-silent") << "all:ftp-silent" << true << "silent" << -1;
    QTest::newRow("ftp-slow") << "0:ftp-slow=100000" << true << "ftp-slow" << 100000;
    QTest::newRow("scoped") << "2:silent@52390@fn=0x6E@from=12@count=3" << true << "silent" << -1;
    QTest::newRow("split-tcp") << "2:split@tcp" << true << "split" << -1;
    QTest::newRow("no-target") << "silent" << false << "" << -1;
    QTest::newRow("bad-ip") << "198.18.1:silent" << false << "" << -1;
    QTest::newRow("backwards-range") << "198.18.1.9-198.18.1.1:silent" << false << "" << -1;
    QTest::newRow("unknown-kind") << "all:flaky" << false << "" << -1;
    QTest::newRow("delay-no-value") << "all:delay" << false << "" << -1;
    QTest::newRow("loss-above-1") << "all:loss=1.5" << false << "" << -1;
    QTest::newRow("corrupt-25-bits") << "all:corrupt-readback=0x1000000" << false << "" << -1;
    QTest::newRow("silent-with-value") << "all:silent=3" << false << "" << -1;
    QTest::newRow("bad-scope") << "all:silent@52391" << false << "" << -1;
    QTest::newRow("from-0") << "all:silent@from=0" << false << "" << -1;
    QTest::newRow("ftp-slow-no-rate") << "all:ftp-slow" << false << "" << -1;
    QTest::newRow("ftp-slow-0") << "all:ftp-slow=0" << false << "" << -1;
    QTest::newRow("act-silent") << "0:act-silent@cmd=6@count=1" << true << "act-silent" << -1;
    QTest::newRow("swap-bus") << "0:swap@52390" << true << "swap" << -1;
    QTest::newRow("blackout") << "0:blackout=1500@cmd=8" << true << "blackout" << 1500;
    QTest::newRow("ftp-reset") << "0:ftp-reset=2048" << true << "ftp-reset" << 2048;
    QTest::newRow("ftp-stall-hex") << "0:ftp-stall=0x400" << true << "ftp-stall" << 1024;
    QTest::newRow("power-cut") << "0:power-cut=4096@from=2" << true << "power-cut" << 4096;
    QTest::newRow("blackout-no-value") << "0:blackout" << false << "" << -1;
    QTest::newRow("blackout-zero") << "0:blackout=0" << false << "" << -1;
    QTest::newRow("act-silent-with-value") << "0:act-silent=2" << false << "" << -1;
    QTest::newRow("swap-with-value") << "0:swap=2" << false << "" << -1;
    QTest::newRow("ftp-reset-no-bytes") << "0:ftp-reset" << false << "" << -1;
    QTest::newRow("power-cut-text") << "0:power-cut=half" << false << "" << -1;
}

void DevsimCore::parseFaults()
{
    QFETCH(QString, definition);
    QFETCH(bool, valid);
    QString error;
    const std::optional<Fault> fault = parseFault(definition, &error);
    QCOMPARE(fault.has_value(), valid);
    if (!valid) {
        QVERIFY(error.contains(definition));
        return;
    }
    QFETCH(QString, kind);
    QFETCH(int, value);
    QCOMPARE(fault->kindName(), kind);
    if (kind == QLatin1String("delay"))
        QCOMPARE(fault->delayMs, value);
    else if (kind == QLatin1String("corrupt-readback"))
        QCOMPARE(int(fault->address), value);
    else if (kind == QLatin1String("wrong-ack"))
        QCOMPARE(fault->scope.command.value_or(-1), value);
    else if (kind == QLatin1String("ftp-slow"))
        QCOMPARE(fault->bytesPerSecond, value);
    else if (value >= 0)
        QCOMPARE(fault->amount, qint64(value));
}

void DevsimCore::faultWindow_data()
{
    QTest::addColumn<QString>("definition");
    QTest::addColumn<QString>("pattern"); // per request of command 7: a = answered, - = silent
    QTest::newRow("always") << "0:silent" << "-----";
    QTest::newRow("from-3") << "0:silent@from=3" << "aa---";
    QTest::newRow("from-2-count-2") << "0:silent@from=2@count=2" << "a--aa";
    QTest::newRow("count-1") << "0:silent@count=1" << "-aaaa";
    QTest::newRow("other-command") << "0:silent@cmd=5" << "aaaaa";
    QTest::newRow("bus-only") << "0:silent@52390" << "aaaaa";
    QTest::newRow("tcp-only") << "0:silent@tcp" << "aaaaa";
    QTest::newRow("other-device") << "1:silent" << "aaaaa";
}

void DevsimCore::faultWindow()
{
    QFETCH(QString, definition);
    QFETCH(QString, pattern);
    DeviceSimulator sim(generateDevices(2, Base, 1), faults({definition}), {});
    QString got;
    for (int i = 0; i < pattern.size(); ++i)
        got += sim.deviceRequest(0, deviceRequest(7), Transport::Udp, QStringLiteral("198.18.0.1:52389")).isEmpty()
            ? QLatin1Char('-')
            : QLatin1Char('a');
    QCOMPARE(got, pattern);
}

void DevsimCore::lossFollowsTheSeed()
{
    auto pattern = [](quint64 seed) {
        SimulatorOptions options;
        options.seed = seed;
        DeviceSimulator sim(generateDevices(3, Base, 1), faults({QStringLiteral("all:loss=0.5")}), options);
        QString out;
        for (int i = 0; i < 200; ++i)
            out += sim.deviceRequest(1, deviceRequest(1, 1), Transport::Udp, {}).isEmpty() ? QLatin1Char('-')
                                                                                            : QLatin1Char('a');
        return out;
    };
    const QString first = pattern(7);
    QCOMPARE(pattern(7), first);
    QVERIFY(pattern(8) != first);
    const qsizetype answered = first.count(QLatin1Char('a'));
    QVERIFY2(answered > 60 && answered < 140, qPrintable(first));

    // Loss is a datagram fault: TCP requests always arrive.
    DeviceSimulator sim(generateDevices(1, Base, 1), faults({QStringLiteral("all:loss=1")}), {});
    QVERIFY(sim.deviceRequest(0, deviceRequest(1), Transport::Udp, {}).isEmpty());
    QCOMPARE(sim.deviceRequest(0, deviceRequest(1), Transport::Tcp, {}).size(), 1);
}

void DevsimCore::commands_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("ack");
    QTest::addColumn<QString>("field"); // the state field the command changes
    QTest::addColumn<bool>("value");
    QTest::newRow("3-start-ftp") << 3 << hex("fffe") << "ftpServer" << true;
    QTest::newRow("4-stop-ftp") << 4 << hex("fffe") << "ftpServer" << false;
    QTest::newRow("5-start-updater") << 5 << hex("fffd") << "updater" << true;
    QTest::newRow("6-stop-updater") << 6 << hex("fffc") << "updater" << false;
    QTest::newRow("7-start-daemon") << 7 << hex("fffb") << "daemon" << true;
    QTest::newRow("8-stop-daemon") << 8 << hex("fffa") << "daemon" << false;
    QTest::newRow("9-dropbear") << 9 << hex("fff9") << "dropBear" << true;
    QTest::newRow("11-upgrade") << 11 << hex("fff7") << "installCount" << false;
}

void DevsimCore::commands()
{
    QFETCH(int, command);
    QFETCH(QByteArray, ack);
    QFETCH(QString, field);
    QFETCH(bool, value);
    // Start from the opposite of what the command sets, so that the change shows.
    DeviceSimulator sim(generateDevices(2, Base, 1), {}, {});
    SimDevice &d = sim.device(1);
    d.ftpServerRunning = command == 4;
    d.updaterRunning = command == 6;
    d.daemonRunning = command == 8;
    const QList<Outgoing> replies = sim.deviceRequest(1, deviceRequest(quint8(command), 1), Transport::Udp, {});
    QCOMPARE(replies.size(), 1);
    const QByteArray reply = replies.first().data;
    QCOMPARE(reply.size(), 27);
    QCOMPARE(reply.mid(8, 8), d.addressRecord());
    QCOMPARE(quint8(reply[23]), quint8(0));
    QCOMPARE(quint8(reply[24]), quint8(command));
    QCOMPARE(reply.mid(25, 2), ack);
    QCOMPARE(replies.first().delayMs, 0);
    const QJsonObject state = sim.deviceState(1);
    if (field == QLatin1String("installCount"))
        QCOMPARE(state.value(field).toInt(), 0); // nothing uploaded, nothing installed
    else
        QCOMPARE(state.value(field).toBool(), value);
    // Device 0 is untouched.
    QCOMPARE(sim.deviceState(0).value(QLatin1String("daemon")).toBool(), true);
    if (command == 9) {
        sim.deviceRequest(1, deviceRequest(9, 1), Transport::Udp, {});
        QCOMPARE(sim.deviceState(1).value(QLatin1String("dropBear")).toBool(), false); // toggled back
    }
}

void DevsimCore::commandOverTcp()
{
    DeviceSimulator sim(generateDevices(1, Base, 1), {}, {});
    const QList<Outgoing> replies = sim.deviceRequest(0, deviceRequest(5), Transport::Tcp, {});
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.first().data.mid(24), hex("05fffd"));
    QVERIFY(sim.device(0).updaterRunning);
}

void DevsimCore::unknownCommandUnanswered()
{
    const QString path = m_dir->filePath(QStringLiteral("j.jsonl"));
    Journal journal;
    QVERIFY(journal.open(path, nullptr));
    DeviceSimulator sim(generateDevices(1, Base, 1), {}, {});
    sim.setJournal(&journal);
    for (quint8 code : {quint8(0), quint8(2), quint8(10), quint8(12)})
        QVERIFY(sim.deviceRequest(0, deviceRequest(code), Transport::Udp, {}).isEmpty());
    QVERIFY(sim.deviceRequest(0, hex("00010203"), Transport::Udp, {}).isEmpty());
    const QList<QJsonObject> lines = readJournal(path);
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.at(0).value(QLatin1String("ignored")).toString(), QStringLiteral("unknown command"));
    QCOMPARE(lines.at(4).value(QLatin1String("bytes")).toString(), QStringLiteral("00010203"));
}

void DevsimCore::busNeedsTheUpdater()
{
    DeviceSimulator sim(generateDevices(1, Base, 1), {}, {});
    const QByteArray reset = hex("ff64006b30");
    QVERIFY(sim.busRequest(0, reset, {}).isEmpty());
    sim.deviceRequest(0, deviceRequest(5), Transport::Udp, {});
    const QList<Outgoing> replies = sim.busRequest(0, reset, {});
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.first().data, withCrc(hex("ff6400")));
    sim.deviceRequest(0, deviceRequest(6), Transport::Udp, {});
    QVERIFY(sim.busRequest(0, reset, {}).isEmpty());
    // --updater-running opens the bus from the start.
    SimulatorOptions options;
    options.updaterRunning = true;
    DeviceSimulator open(generateDevices(1, Base, 1), {}, options);
    QCOMPARE(open.busRequest(0, reset, {}).size(), 1);
}

void DevsimCore::replyFaults_data()
{
    QTest::addColumn<QString>("definition");
    QTest::addColumn<QString>("service"); // "cmd5", "cmd7", "discover", "bus-read"
    QTest::addColumn<int>("replies");
    QTest::addColumn<int>("delayMs");     // of the first reply
    QTest::addColumn<QString>("check");   // what to check in the bytes
    QTest::newRow("none-cmd5") << "1:silent" << "cmd5" << 1 << 0 << "ack-ok";
    QTest::newRow("silent") << "0:silent" << "cmd5" << 0 << 0 << "";
    QTest::newRow("delay") << "0:delay=700" << "cmd5" << 1 << 700 << "ack-ok";
    QTest::newRow("wrong-ack") << "0:wrong-ack" << "cmd5" << 1 << 0 << "ack-wrong";
    QTest::newRow("wrong-ack-5-on-5") << "0:wrong-ack=5" << "cmd5" << 1 << 0 << "ack-wrong";
    QTest::newRow("wrong-ack-5-on-7") << "0:wrong-ack=5" << "cmd7" << 1 << 0 << "ack-ok";
    QTest::newRow("wrong-ack-discover") << "0:wrong-ack" << "discover" << 1 << 0 << "discover-byte-2";
    QTest::newRow("duplicate") << "0:duplicate" << "cmd5" << 2 << 0 << "same";
    QTest::newRow("stray") << "0:stray" << "cmd5" << 2 << 0 << "stray-first";
    QTest::newRow("stray-silent") << "0:stray,0:silent" << "cmd5" << 1 << 0 << "stray-first";
    QTest::newRow("split-cmd") << "0:split" << "cmd5" << 2 << 0 << "joined-ack";
    QTest::newRow("bad-crc") << "0:bad-crc" << "bus-read" << 1 << 0 << "crc-bad";
    QTest::newRow("bad-crc-not-on-commands") << "0:bad-crc" << "cmd5" << 1 << 0 << "ack-ok";
    QTest::newRow("split-bus") << "0:split" << "bus-read" << 2 << 0 << "joined-crc-ok";
    QTest::newRow("silent-bus-only-bus") << "0:silent@52390" << "bus-read" << 0 << 0 << "";
    QTest::newRow("silent-bus-only-cmd") << "0:silent@52390" << "cmd5" << 1 << 0 << "ack-ok";
    QTest::newRow("delay-on-read-only") << "0:delay=50@fn=0x6E" << "bus-read" << 1 << 50 << "crc-ok";
}

void DevsimCore::replyFaults()
{
    QFETCH(QString, definition);
    QFETCH(QString, service);
    QFETCH(int, replies);
    QFETCH(int, delayMs);
    QFETCH(QString, check);
    SimulatorOptions options;
    options.updaterRunning = true;
    DeviceSimulator sim(generateDevices(2, Base, 1), faults(definition.split(QLatin1Char(','))), options);
    // The bus needs the updater; the commands must show whether they were carried out.
    if (service.startsWith(QLatin1String("cmd")))
        sim.device(0).updaterRunning = false;
    QList<Outgoing> out;
    if (service == QLatin1String("cmd5"))
        out = sim.deviceRequest(0, deviceRequest(5), Transport::Udp, {});
    else if (service == QLatin1String("cmd7"))
        out = sim.deviceRequest(0, deviceRequest(7), Transport::Udp, {});
    else if (service == QLatin1String("discover"))
        out = sim.deviceRequest(0, deviceRequest(1, 0, {7}), Transport::Udp, {});
    else
        out = sim.busRequest(0, hex("ff6e06000000049542"), {});
    QCOMPARE(out.size(), replies);
    if (replies == 0) {
        QVERIFY(!sim.device(0).updaterRunning || service != QLatin1String("cmd5")); // dropped unseen
        return;
    }
    QCOMPARE(out.first().delayMs, delayMs);
    QByteArray joined;
    for (const Outgoing &o : out)
        joined += o.data;
    if (check == QLatin1String("ack-ok"))
        QCOMPARE(out.first().data.mid(24), service == QLatin1String("cmd7") ? hex("07fffb") : hex("05fffd"));
    else if (check == QLatin1String("ack-wrong"))
        QCOMPARE(out.first().data.mid(24), hex("05fffc"));
    else if (check == QLatin1String("discover-byte-2"))
        QCOMPARE(quint8(out.first().data[24]), quint8(2));
    else if (check == QLatin1String("same"))
        QCOMPARE(out.at(0).data, out.at(1).data);
    else if (check == QLatin1String("stray-first")) {
        // The next device's own acknowledgement, ahead of the device's (when it answers at all).
        QCOMPARE(out.first().fromDevice, 1);
        QCOMPARE(out.first().data.mid(8, 8), sim.device(1).addressRecord());
        QCOMPARE(out.first().data.mid(24), hex("05fffd"));
        if (out.size() > 1)
            QVERIFY(out.at(1).fromDevice == -1 && out.at(1).delayMs > out.first().delayMs);
    }
    else if (check == QLatin1String("joined-ack")) {
        QVERIFY(out.at(1).delayMs > out.at(0).delayMs);
        QCOMPARE(joined.mid(24), hex("05fffd"));
    } else if (check == QLatin1String("crc-bad")) {
        QCOMPARE(out.first().data.size(), 13);
        QVERIFY(!crcIntact(out.first().data));
    } else if (check == QLatin1String("joined-crc-ok")) {
        QVERIFY(out.at(0).data.size() < 13);
        QCOMPARE(joined.size(), 13);
        QVERIFY(crcIntact(joined));
    } else if (check == QLatin1String("crc-ok")) {
        QVERIFY(crcIntact(out.first().data));
    }
    // Whatever the reply looked like, the command was carried out, unless the device dropped it.
    if (service == QLatin1String("cmd5"))
        QCOMPARE(sim.device(0).updaterRunning, !definition.split(QLatin1Char(',')).contains(QLatin1String("0:silent")));
}

namespace {

// A bus frame with its CRC: write `data` at `address` (function 0x6F), or read `count` (0x6E).
QByteArray busWrite(quint32 address, const QByteArray &data)
{
    QByteArray frame = hex("ff6f06");
    frame += char(address >> 16);
    frame += char(address >> 8);
    frame += char(address);
    frame += char(data.size());
    return withCrc(frame + data);
}

QByteArray busRead(quint32 address, int count)
{
    QByteArray frame = hex("ff6e06");
    frame += char(address >> 16);
    frame += char(address >> 8);
    frame += char(address);
    frame += char(count);
    return withCrc(frame);
}

} // namespace

void DevsimCore::actSilentCarriesOut_data()
{
    QTest::addColumn<QString>("definition");
    QTest::addColumn<bool>("bus");
    QTest::newRow("command") << "0:act-silent@cmd=5" << false;
    QTest::newRow("bus-write") << "0:act-silent@52390@fn=0x6F" << true;
}

// The request takes effect although its answer never comes: the device's state shows it.
void DevsimCore::actSilentCarriesOut()
{
    QFETCH(QString, definition);
    QFETCH(bool, bus);
    SimulatorOptions options;
    options.updaterRunning = bus;
    DeviceSimulator sim(generateDevices(1, Base, 1), faults({definition}), options);
    if (!bus) {
        QVERIFY(sim.deviceRequest(0, deviceRequest(5), Transport::Udp, {}).isEmpty());
        QVERIFY(sim.device(0).updaterRunning);
        QCOMPARE(sim.deviceRequest(0, deviceRequest(6), Transport::Udp, {}).size(), 1); // another command answers
        return;
    }
    QVERIFY(sim.busRequest(0, busWrite(0, hex("a1b2c3")), {}).isEmpty());
    QCOMPARE(sim.device(0).controller.firmware(), hex("a1b2c3"));
    const QList<Outgoing> read = sim.busRequest(0, busRead(0, 3), {});
    QCOMPARE(read.size(), 1);
    QCOMPARE(read.first().data.mid(7, 3), hex("a1b2c3"));
}

void DevsimCore::swapReversesTwoReplies_data()
{
    QTest::addColumn<QString>("definition");
    QTest::addColumn<bool>("bus");
    QTest::newRow("commands") << "0:swap@count=1" << false;
    QTest::newRow("bus") << "0:swap@52390@count=1" << true;
}

// The first reply is held back and leaves right after the second, to its own requester.
void DevsimCore::swapReversesTwoReplies()
{
    QFETCH(QString, definition);
    QFETCH(bool, bus);
    SimulatorOptions options;
    options.updaterRunning = true;
    DeviceSimulator sim(generateDevices(1, Base, 1), faults({definition}), options);
    const QString first = QStringLiteral("198.18.0.1:40001"), second = QStringLiteral("198.18.0.1:40002");
    auto request = [&](int n, const QString &peer) {
        return bus ? sim.busRequest(0, busRead(quint32(n), 1), peer)
                   : sim.deviceRequest(0, deviceRequest(n == 0 ? 7 : 8), Transport::Udp, peer);
    };
    QVERIFY(request(0, first).isEmpty());
    const QList<Outgoing> out = request(1, second);
    QCOMPARE(out.size(), 2);
    // The second request's answer first, to the requester of the moment (0: the current one).
    QCOMPARE(out.at(0).toAddress, 0u);
    QCOMPARE(out.at(1).toAddress, 0xC6120001u);
    QCOMPARE(out.at(1).toPort, quint16(40001));
    if (bus) {
        QCOMPARE(out.at(0).data.mid(3, 3), hex("000001"));
        QCOMPARE(out.at(1).data.mid(3, 3), hex("000000"));
    } else {
        QCOMPARE(out.at(0).data.mid(24), hex("08fffa"));
        QCOMPARE(out.at(1).data.mid(24), hex("07fffb"));
    }
    QVERIFY(out.at(1).delayMs >= out.at(0).delayMs);
    QCOMPARE(request(2, first).size(), 1); // one pair only
}

// From the matching request on, nothing is heard on any service until the time has passed.
void DevsimCore::blackoutSilencesEveryService()
{
    qint64 now = 1000;
    SimulatorOptions options;
    options.updaterRunning = true;
    options.ftpAlwaysOn = true;
    DeviceSimulator sim(generateDevices(2, Base, 1), faults({QStringLiteral("0:blackout=1500@cmd=8")}), options);
    sim.setClock([&now] { return now; });
    QCOMPARE(sim.deviceRequest(0, deviceRequest(7), Transport::Udp, {}).size(), 1);
    QVERIFY(sim.deviceRequest(0, deviceRequest(8), Transport::Udp, {}).isEmpty());
    QVERIFY(sim.device(0).daemonRunning); // the blackout's own request is not carried out
    now += 1499;
    QVERIFY(sim.silentNow(0));
    QVERIFY(sim.deviceRequest(0, deviceRequest(7), Transport::Tcp, {}).isEmpty());
    QVERIFY(sim.busRequest(0, busRead(0, 1), {}).isEmpty());
    QCOMPARE(sim.ftpConnect(0, {}).admission, DeviceSimulator::FtpAdmission::Silent);
    QCOMPARE(sim.deviceRequest(1, deviceRequest(7, 1), Transport::Udp, {}).size(), 1); // the others answer
    now += 1;
    QVERIFY(!sim.silentNow(0));
    QCOMPARE(sim.busRequest(0, busRead(0, 1), {}).size(), 1);
    QCOMPARE(sim.ftpConnect(0, {}).admission, DeviceSimulator::FtpAdmission::Accept);
    QVERIFY(sim.deviceRequest(0, deviceRequest(8), Transport::Udp, {}).isEmpty()); // each match starts one
}

void DevsimCore::powerCutHalfWritesTheFirmware_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("landed"); // bytes of the firmware area written when the power went
    QTest::newRow("in-a-chunk") << 200 << 200;
    QTest::newRow("at-a-chunk-end") << 128 << 128;
    QTest::newRow("before-any") << 0 << 0;
}

void DevsimCore::powerCutHalfWritesTheFirmware()
{
    QFETCH(int, limit);
    QFETCH(int, landed);
    qint64 now = 0;
    DeviceSimulator sim(generateDevices(1, Base, 1), faults({QStringLiteral("0:power-cut=%1").arg(limit)}), {});
    sim.setClock([&now] { return now; });
    sim.deviceRequest(0, deviceRequest(8), Transport::Udp, {}); // daemon off
    sim.deviceRequest(0, deviceRequest(5), Transport::Udp, {}); // updater on
    const QByteArray image = QByteArray(128, 'a') + QByteArray(128, 'b') + QByteArray(128, 'c');
    int answered = 0;
    for (int at = 0; at < image.size(); at += 128)
        answered += int(sim.busRequest(0, busWrite(quint32(at), image.mid(at, 128)), {}).size());
    QCOMPARE(answered, limit / 128);
    QCOMPARE(sim.device(0).controller.firmware(), image.left(landed));
    QVERIFY(sim.silentNow(0));
    now += DeviceSimulator::PowerCutOutageMs;
    QVERIFY(!sim.silentNow(0));
    // Back in its updater, the daemon not running, the bus answering; the cut strikes once.
    QVERIFY(sim.device(0).updaterRunning);
    QVERIFY(!sim.device(0).daemonRunning);
    QVERIFY(!sim.device(0).ftpServerRunning);
    QCOMPARE(sim.busRequest(0, busWrite(0, image.left(128)), {}).size(), 1);
    QCOMPARE(sim.deviceState(0).value(QLatin1String("controller")).toObject().value(QLatin1String("view")).toString(),
             QStringLiteral("firmware"));
}

// The FTP transfer faults are the connection's: its window counts connections.
void DevsimCore::ftpTransferFaultsPerConnection()
{
    SimulatorOptions options;
    options.ftpAlwaysOn = true;
    DeviceSimulator sim(generateDevices(1, Base, 1),
                        faults({QStringLiteral("0:ftp-reset=100@count=1"), QStringLiteral("0:ftp-stall=50@from=2")}), options);
    const DeviceSimulator::FtpConnection first = sim.ftpConnect(0, {});
    QCOMPARE(first.resetAfterBytes, qint64(100));
    QCOMPARE(first.stallAfterBytes, qint64(-1));
    const DeviceSimulator::FtpConnection second = sim.ftpConnect(0, {});
    QCOMPARE(second.resetAfterBytes, qint64(-1));
    QCOMPARE(second.stallAfterBytes, qint64(50));
    QCOMPARE(second.admission, DeviceSimulator::FtpAdmission::Accept);
}

void DevsimCore::broadcastAddressing_data()
{
    QTest::addColumn<QByteArray>("destination");
    QTest::addColumn<QList<int>>("answering");
    QTest::newRow("broadcast-record") << hex("0001ffffffffffff") << QList<int>{0, 1, 2, 3};
    QTest::newRow("type-2-device-2") << hex("0002c6120103cca5") << QList<int>{2};
    QTest::newRow("type-2-no-device") << hex("0002c6120201cca5") << QList<int>{};
}

void DevsimCore::broadcastAddressing()
{
    QFETCH(QByteArray, destination);
    QFETCH(QList<int>, answering);
    DeviceSimulator sim(generateDevices(4, Base, 1), faults({QStringLiteral("3:silent")}), {});
    QByteArray request = broadcastDiscover();
    request.replace(0, 8, destination);
    QList<int> got;
    for (const AddressedOutgoing &reply : sim.broadcastRequest(request, {})) {
        got << reply.device;
        QCOMPARE(reply.out.data.mid(8, 8), sim.device(reply.device).addressRecord());
    }
    answering.removeAll(3); // silent
    QCOMPARE(got, answering);
}

void DevsimCore::journalOrder()
{
    const QString path = m_dir->filePath(QStringLiteral("j.jsonl"));
    Journal journal;
    QVERIFY(journal.open(path, nullptr));
    DeviceSimulator sim(generateDevices(3, Base, 1), faults({QStringLiteral("1:silent@52390")}), {});
    sim.setJournal(&journal);
    sim.deviceRequest(1, deviceRequest(5, 1), Transport::Udp, QStringLiteral("198.18.0.1:40000"));
    sim.busRequest(1, hex("ff64d2eb6d"), QStringLiteral("198.18.0.1:40001"));
    sim.busRequest(2, withCrc(hex("ff6f0600000402abcd")), QStringLiteral("198.18.0.1:40002"));
    sim.busRequest(2, hex("ff64006b31"), {});
    const QList<QJsonObject> lines = readJournal(path);
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.at(0).value(QLatin1String("device")).toString(), QStringLiteral("198.18.1.2"));
    QCOMPARE(lines.at(0).value(QLatin1String("cmd")).toInt(), 5);
    QCOMPARE(lines.at(0).value(QLatin1String("name")).toString(), QStringLiteral("StartUpdater"));
    QCOMPARE(lines.at(0).value(QLatin1String("transport")).toString(), QStringLiteral("udp"));
    QCOMPARE(lines.at(0).value(QLatin1String("from")).toString(), QStringLiteral("198.18.0.1:40000"));
    QCOMPARE(lines.at(0).value(QLatin1String("port")).toInt(), 52389);
    QCOMPARE(lines.at(1).value(QLatin1String("event")).toString(), QStringLiteral("state"));
    QCOMPARE(lines.at(1).value(QLatin1String("updater")).toBool(), true);
    QCOMPARE(lines.at(2).value(QLatin1String("port")).toInt(), 52390);
    QCOMPARE(lines.at(2).value(QLatin1String("fn")).toInt(), 100);
    QCOMPARE(lines.at(2).value(QLatin1String("sub")).toInt(), 0xD2);
    QCOMPARE(lines.at(2).value(QLatin1String("faults")).toArray(), QJsonArray{QStringLiteral("silent")});
    QCOMPARE(lines.at(3).value(QLatin1String("refused")).toString(), QStringLiteral("updater stopped"));
    QCOMPARE(lines.at(3).value(QLatin1String("fn")).toInt(), 111);
    QCOMPARE(lines.at(3).value(QLatin1String("addr")).toInt(), 4);
    QCOMPARE(lines.at(3).value(QLatin1String("n")).toInt(), 2);
    QCOMPARE(lines.at(3).value(QLatin1String("data")).toString(), QStringLiteral("abcd"));
    QCOMPARE(lines.at(4).value(QLatin1String("error")).toString(), QStringLiteral("bad crc"));
    double previous = 0;
    for (const QJsonObject &line : lines) {
        QVERIFY(line.value(QLatin1String("t")).toDouble() >= previous);
        previous = line.value(QLatin1String("t")).toDouble();
    }
}

void DevsimCore::uploadAndInstall()
{
    SimulatorOptions options;
    options.ftpRoot = m_dir->filePath(QStringLiteral("ftp"));
    DeviceSimulator sim(generateDevices(2, Base, 1), {}, options);
    // Before StartFtpServer the FTP server refuses; after it, it accepts.
    QCOMPARE(sim.ftpConnect(1, {}).admission, DeviceSimulator::FtpAdmission::Refuse);
    sim.deviceRequest(1, deviceRequest(3, 1), Transport::Udp, {});
    QCOMPARE(sim.ftpConnect(1, {}).admission, DeviceSimulator::FtpAdmission::Accept);
    const QByteArray image = QByteArray("\x00\r\n\xFF", 4).repeated(1000);
    sim.ftpStored(1, {}, "board.image.bin", image);
    QFile file(options.ftpRoot + QStringLiteral("/198.18.1.2/board.image.bin"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), image);
    sim.deviceRequest(1, deviceRequest(11, 1), Transport::Udp, {});
    const QJsonObject state = sim.deviceState(1);
    QCOMPARE(state.value(QLatin1String("installedImage")).toString(), QStringLiteral("board.image.bin"));
    QCOMPARE(state.value(QLatin1String("installCount")).toInt(), 1);
    QCOMPARE(state.value(QLatin1String("files")).toObject().value(QLatin1String("board.image.bin")).toObject().value(QLatin1String("size")).toInt(), 4000);
    QVERIFY(sim.ftpDelete(1, "board.image.bin"));
    QVERIFY(!file.exists());
    QVERIFY(!sim.ftpDelete(1, "board.image.bin"));
}

// With --restart-ms the board restarts after installing: its acknowledgement leaves, then it is
// silent on every service for that long and comes back in normal service; without, it never goes.
void DevsimCore::installRestartsTheBoard_data()
{
    QTest::addColumn<int>("restartMs");
    QTest::addColumn<bool>("installed"); // an image was uploaded before command 11
    QTest::addColumn<bool>("silentAfter");
    QTest::newRow("restart") << 3000 << true << true;
    QTest::newRow("no restart by default") << 0 << true << false;
    QTest::newRow("nothing installed, nothing restarted") << 3000 << false << false;
}

void DevsimCore::installRestartsTheBoard()
{
    QFETCH(int, restartMs);
    QFETCH(bool, installed);
    QFETCH(bool, silentAfter);
    qint64 now = 0;
    SimulatorOptions options;
    options.restartMs = restartMs;
    DeviceSimulator sim(generateDevices(1, Base, 1), {}, options);
    sim.setClock([&now] { return now; });
    sim.deviceRequest(0, deviceRequest(3), Transport::Udp, {}); // FTP server on
    if (installed)
        sim.ftpStored(0, {}, "p3-board-3.5.bin", QByteArray(64, 'x'));
    QCOMPARE(sim.deviceRequest(0, deviceRequest(11), Transport::Udp, {}).size(), 1); // acknowledged either way
    QCOMPARE(sim.silentNow(0), silentAfter);
    QCOMPARE(sim.deviceRequest(0, deviceRequest(1), Transport::Udp, {}).isEmpty(), silentAfter);
    now += restartMs;
    QVERIFY(!sim.silentNow(0));
    QCOMPARE(sim.deviceRequest(0, deviceRequest(1), Transport::Udp, {}).size(), 1);
    if (silentAfter) {
        QVERIFY(!sim.device(0).ftpServerRunning);
        QVERIFY(sim.device(0).daemonRunning);
    }
}

void DevsimCore::installedImageGivesItsVersion_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("version"); // empty: the version the device had
    QTest::newRow("library-name") << QByteArray("p3-board-3.4.1.bin") << QByteArray("3.4.1");
    QTest::newRow("last-of-two") << QByteArray("p3-2.0-board-4.1.bin") << QByteArray("4.1");
    QTest::newRow("four-parts") << QByteArray("fw_10.2.0.7") << QByteArray("10.2.0.7");
    QTest::newRow("no-dotted-number") << QByteArray("board7.bin") << QByteArray();
    QTest::newRow("plain") << QByteArray("fw.image.bin") << QByteArray();
}

void DevsimCore::installedImageGivesItsVersion()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, version);
    DeviceSimulator sim(generateDevices(1, Base, 1), {}, {});
    const QByteArray before = sim.device(0).firmwareVersion;
    sim.ftpStored(0, {}, name, QByteArray(64, 'i'));
    // Uploaded, not yet installed: the device still reports what it runs.
    QCOMPARE(sim.device(0).firmwareVersion, before);
    sim.deviceRequest(0, deviceRequest(11, 1), Transport::Udp, {});
    QCOMPARE(sim.device(0).firmwareVersion, version.isEmpty() ? before : version);
    QCOMPARE(sim.device(0).parameterValue(18 /* firmware version */).value_or(QByteArray()), sim.device(0).firmwareVersion);
}

void DevsimCore::ftpExchange_data()
{
    QTest::addColumn<bool>("logInAtUser");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("codes"); // the reply codes, one group per line
    // The program's exchange, as the device's server sees it.
    QTest::newRow("program-exchange")
        << false
        << strings({"user ftp", "pass morvane40213", "type I", "syst", "DELE fw.image.bin", "PORT 198,18,0,1,195,80",
                       "STOR fw.image.bin"})
        << "331 230 200 215 550 200 150";
    QTest::newRow("user-230-variant") << true << strings({"user ftp", "type I"}) << "230 200";
    QTest::newRow("wrong-password") << false << strings({"USER ftp", "PASS nope", "TYPE I"}) << "331 530 530";
    QTest::newRow("other-user") << false << strings({"USER root", "PASS morvane40213"}) << "331 530";
    QTest::newRow("pass-first") << false << strings({"PASS morvane40213"}) << "503";
    QTest::newRow("before-login") << false << strings({"STOR x", "DELE x", "PORT 1,2,3,4,5,6", "SYST"}) << "530 530 530 215";
    QTest::newRow("stor-without-port") << true << strings({"USER ftp", "STOR x"}) << "230 425";
    QTest::newRow("passive-refused") << true << strings({"USER ftp", "PASV", "EPSV", "EPRT |1|198.18.0.1|5000|"}) << "230 502 502 502";
    QTest::newRow("bad-port") << true << strings({"USER ftp", "PORT 1,2,3,4,5", "PORT 1,2,3,4,256,1", "PORT 1,2,3,4,0,0"}) << "230 501 501 501";
    QTest::newRow("path-in-name") << true << strings({"USER ftp", "PORT 198,18,0,1,4,1", "STOR /tmp/../x/fw.rom.bin"}) << "230 200 150";
    QTest::newRow("quit") << false << strings({"Quit"}) << "221";
}

void DevsimCore::ftpExchange()
{
    QFETCH(bool, logInAtUser);
    QFETCH(QStringList, lines);
    QFETCH(QString, codes);
    FtpSession session("ftp", "morvane40213", logInAtUser, false);
    QSet<QByteArray> stored{"other.bin"};
    session.deleteFile = [&](const QByteArray &name) { return stored.remove(name); };
    QVERIFY(session.greeting().startsWith("220 "));
    QStringList got;
    for (const QString &line : lines) {
        const FtpSession::Outcome outcome = session.command(line.toLatin1());
        QCOMPARE(outcome.replies.size(), 1);
        got << QString::fromLatin1(outcome.replies.first().left(3));
        if (outcome.store) {
            if (line.contains(QLatin1String("fw.image.bin"))) {
                QCOMPARE(outcome.store->host, 0xC6120001u);
                QCOMPARE(outcome.store->port, quint16(195 * 256 + 80));
            }
            QVERIFY(!outcome.store->name.contains('/'));
            QVERIFY(outcome.store->name.endsWith(".bin"));
        }
        QCOMPARE(outcome.close, line == QLatin1String("Quit"));
    }
    QCOMPARE(got.join(QLatin1Char(' ')), codes);
}

void DevsimCore::ftpTransferEnd_data()
{
    QTest::addColumn<bool>("end426");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QString>("codes");
    QTest::newRow("complete") << false << true << "226";
    QTest::newRow("broken") << false << false << "426";
    QTest::newRow("426-variant") << true << true << "426 226";
}

void DevsimCore::ftpTransferEnd()
{
    QFETCH(bool, end426);
    QFETCH(bool, complete);
    QFETCH(QString, codes);
    FtpSession session("ftp", "pw", true, end426);
    session.command("USER ftp");
    session.command("PORT 127,0,0,1,4,1");
    QVERIFY(session.command("STOR a").store);
    QVERIFY(session.transferring());
    QCOMPARE(session.command("TYPE I").replies.first().left(3), QByteArray("450"));
    QStringList got;
    for (const QByteArray &reply : session.transferEnded(complete))
        got << QString::fromLatin1(reply.left(3));
    QCOMPARE(got.join(QLatin1Char(' ')), codes);
    QVERIFY(!session.transferring());
    QCOMPARE(session.command("STOR b").replies.first().left(3), QByteArray("425")); // PORT is used once
}

void DevsimCore::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("valid");
    QTest::newRow("defaults") << QStringList{} << true;
    QTest::newRow("thousand") << strings({"--devices", "1000", "--base", "198.18.1.1", "--seed", "42"}) << true;
    QTest::newRow("faults") << strings({"--fault", "198.18.1.5:silent", "--fault", "all:loss=0.2"}) << true;
    QTest::newRow("zero-devices") << strings({"--devices", "0"}) << false;
    QTest::newRow("bad-base") << strings({"--base", "198.18.1"}) << false;
    QTest::newRow("base-overflow") << strings({"--base", "255.255.255.250", "--devices", "12"}) << false;
    QTest::newRow("bad-fault") << strings({"--fault", "all:sometimes"}) << false;
    QTest::newRow("bad-file-target") << strings({"--config-file", "nobody"}) << false;
    QTest::newRow("unknown-option") << strings({"--colour"}) << false;
    QTest::newRow("positional") << strings({"extra"}) << false;
    QTest::newRow("bad-port") << strings({"--bus-port", "70000"}) << false;
    QTest::newRow("type") << strings({"--type", "198.18.1.1-198.18.1.4=Palimor P3", "--type", "#5=Orvane X1@0x000C3001"}) << true;
    QTest::newRow("type-bad-code") << strings({"--type", "all=Orvane X1@0xZZ"}) << false;
    QTest::newRow("type-no-target") << strings({"--type", "Orvane X1"}) << false;
}

void DevsimCore::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, valid);
    const ParseResult result = parseCommandLine(QStringList{QStringLiteral("tarvino-devsim")} + arguments);
    QCOMPARE(result.config.has_value(), valid);
    QCOMPARE(result.error.isEmpty(), valid);
    if (valid && arguments.contains(QLatin1String("1000"))) {
        QCOMPARE(result.config->devices, 1000);
        QCOMPARE(result.config->options.seed, quint64(42));
    }
    if (valid && arguments.contains(QLatin1String("--fault")))
        QCOMPARE(result.config->faults.size(), 2);

    const ParseResult help = parseCommandLine({QStringLiteral("tarvino-devsim"), QStringLiteral("--help")});
    for (const char *word : {"--devices", "--base", "--seed", "--fault", "--journal", "--state", "--ftp-root",
                             "corrupt-readback", "ftp-silent", "loss=P", "52390", "act-silent", "swap",
                             "blackout=MS", "ftp-reset=BYTES", "ftp-stall=BYTES", "power-cut=BYTES"})
        QVERIFY2(help.helpText.contains(QLatin1String(word)), word);
}

void DevsimCore::filesReplaceTexts()
{
    const QByteArray config("a=1\r\n\x00z", 7);
    QFile c(m_dir->filePath(QStringLiteral("c.cfg")));
    QVERIFY(c.open(QIODevice::WriteOnly) && c.write(config) == config.size());
    c.close();
    QFile l(m_dir->filePath(QStringLiteral("l.txt")));
    QVERIFY(l.open(QIODevice::WriteOnly) && l.write("log\r\n") == 5);
    l.close();
    const ParseResult parsed = parseCommandLine({QStringLiteral("x"), QStringLiteral("--devices"), QStringLiteral("4"),
                                                 QStringLiteral("--config-file"), QStringLiteral("198.18.1.2=") + c.fileName(),
                                                 QStringLiteral("--log-file"), QStringLiteral("all=") + l.fileName(),
                                                 QStringLiteral("--log-file"), QStringLiteral("#3=") + l.fileName()});
    QVERIFY2(parsed.config, qPrintable(parsed.error));
    QList<SimDevice> devices;
    QString error;
    QVERIFY(buildDevices(*parsed.config, devices, &error));
    QCOMPARE(devices.at(1).controller.configuration(), config);
    QVERIFY(devices.at(0).controller.configuration() != config);
    QCOMPARE(devices.at(0).controller.logBlocks(), QList<QByteArray>{"log\r\n"});
    QCOMPARE(devices.at(3).controller.logBlocks(), (QList<QByteArray>{"log\r\n", "log\r\n"}));

    const ParseResult missing = parseCommandLine({QStringLiteral("x"), QStringLiteral("--config-file"),
                                                  QStringLiteral("all=") + m_dir->filePath(QStringLiteral("none"))});
    QVERIFY(missing.config);
    QVERIFY(!buildDevices(*missing.config, devices, &error));
    QVERIFY(error.contains(QLatin1String("none")));
}

void DevsimCore::typesGiven()
{
    const ParseResult parsed = parseCommandLine({QStringLiteral("x"), QStringLiteral("--devices"), QStringLiteral("6"),
                                                 QStringLiteral("--type"), QStringLiteral("198.18.1.1-198.18.1.3=Palimor P3"),
                                                 QStringLiteral("--type"), QStringLiteral("#4=Orvane X1@0x000C3001")});
    QVERIFY2(parsed.config, qPrintable(parsed.error));
    QList<SimDevice> devices;
    QString error;
    QVERIFY(buildDevices(*parsed.config, devices, &error));
    const QList<SimDevice> generated = generateDevices(6, Base, 1);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(devices.at(i).typeText, QByteArray("Palimor P3"));
        QCOMPARE(devices.at(i).typeCode, generated.at(i).typeCode); // no code given: as generated
    }
    QCOMPARE(devices.at(4).typeText, QByteArray("Orvane X1"));
    QCOMPARE(devices.at(4).typeCode, 0x000C3001u);
    QCOMPARE(devices.at(5).typeText, generated.at(5).typeText);
}

void DevsimCore::generatedDevices()
{
    const QList<SimDevice> small = generateDevices(12, Base, 9);
    const QList<SimDevice> large = generateDevices(5000, Base, 9);
    QSet<QByteArray> records;
    QSet<quint64> macs;
    for (const SimDevice &d : large) {
        QCOMPARE(d.ip, Base + quint32(d.index));
        const QByteArray address = d.addressRecord().mid(2);
        QVERIFY(address != QByteArray(6, '\0') && address != QByteArray(6, char(0xFF)));
        records.insert(d.addressRecord());
        macs.insert(d.mac);
    }
    QCOMPARE(records.size(), large.size()); // every device a distinct identity
    QCOMPARE(macs.size(), large.size());
    // A device looks the same whatever the number of devices.
    for (int i = 0; i < small.size(); ++i) {
        QCOMPARE(small.at(i).name, large.at(i).name);
        QCOMPARE(small.at(i).mac, large.at(i).mac);
        QCOMPARE(small.at(i).controller.configuration(), large.at(i).controller.configuration());
    }
    // A dozen devices show every variant.
    int ipv4Records = 0, unknown = 0, dhcp = 0, emptyNames = 0, nulConfigs = 0, logDevices = 0;
    for (const SimDevice &d : small) {
        ipv4Records += d.ipv4AddressRecord;
        unknown += !d.builtInType();
        dhcp += (d.networkFlags & 0x10) != 0;
        emptyNames += d.name.isEmpty();
        nulConfigs += d.controller.configuration().contains('\0');
        logDevices += !d.controller.logBlocks().isEmpty();
        QVERIFY(d.controller.configuration().endsWith("\r\n"));
    }
    QVERIFY(ipv4Records >= 1 && ipv4Records <= 2);
    QVERIFY(unknown >= 1 && unknown <= 2);
    QVERIFY(dhcp >= 3 && dhcp <= 6);
    QCOMPARE(emptyNames, 1);
    QVERIFY(nulConfigs >= 1);
    QVERIFY(logDevices >= 6);
    QCOMPARE(small.first().controller.logBlocks().size(), 3);
    // Another seed gives other devices.
    QVERIFY(generateDevices(1, Base, 10).first().name != small.first().name
            || generateDevices(1, Base, 10).first().mac != small.first().mac);
}

QTEST_GUILESS_MAIN(DevsimCore)
#include "tst_devsim_core.moc"
