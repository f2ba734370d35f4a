// The engine in the lab's PC namespace against the device simulator: discovery of
// every device (checked against the simulator's own model of it), the commands and what
// they changed on the device, how requests are addressed, the devices' fault modes as
// the engine sees them, replies that never end another request's wait, TCP discovery and a
// large segment.
#include "protocol/datagram.h"
#include "protocol/errors.h"
#include "labsim.h"
#include "replybuilder.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "devsim/simdevice.h"
#include "protocol/devicerecord.h"
#include "protocol/devicetypes.h"
#include "protocol/wire.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {
constexpr quint64 Seed = 11;
constexpr int Devices = 26; // every variant of the generated devices, at least twice
constexpr int LargeSegment = 1000;
constexpr int ReplyWaitMs = 15000;
constexpr int LargeSegmentWaitMs = 60000;
// The lab is shared: another test may hold the PC's port 52389 or run its simulator.
constexpr int BusyRetryMs = 120000;
constexpr int BusyPauseMs = 2000;
constexpr int UploadTimeoutMs = 40000;

struct Call
{
    QString peer;
    int port = 0;
    QByteArray data;
    bool viaDatagram = false;
    bool onGuiThread = false;
};

QByteArray ipv4Record(const QHostAddress &address)
{
    QByteArray record(8, '\0');
    WriteIPv4Record(record, 0, address.toIPv4Address(), Wire::DevicePort);
    return record;
}

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

// A command's acknowledgement as the device sends it (bytes 25..26 of its reply).
QByteArray ackBytes(Wire::Command command)
{
    const quint16 code = Wire::commandInfo(command).ackCode;
    QByteArray bytes;
    bytes.append(char(code >> 8)).append(char(code & 0xFF));
    return bytes;
}

qint64 waitMsOf(Wire::Command command)
{
    return qint64(Wire::commandInfo(command).waitCount) * 100;
}

QString variantOf(const DevSim::SimDevice &device)
{
    QStringList traits;
    traits << (device.ipv4AddressRecord ? QStringLiteral("type-2 record") : QStringLiteral("type-1 record"));
    if (!device.builtInType())
        traits << QStringLiteral("unknown type");
    if (DevSim::generatedWithDhcp(device.index))
        traits << QStringLiteral("DHCP");
    if (device.name.isEmpty())
        traits << QStringLiteral("no name");
    else if (std::any_of(device.name.cbegin(), device.name.cend(), [](char c) { return quint8(c) >= 0x80; }))
        traits << QStringLiteral("8-bit name");
    return QStringLiteral("%1 %2").arg(device.ipText(), traits.join(QStringLiteral(", ")));
}

QByteArray textParam(const TDeviceRecord &device, int id)
{
    const QByteArray *text = std::get_if<QByteArray>(&device.Params[id]);
    return text ? *text : QByteArray("<no text>");
}

qint64 numberParam(const TDeviceRecord &device, int id)
{
    const qint64 *number = std::get_if<qint64>(&device.Params[id]);
    return number ? *number : -1;
}

// The decoded record against the simulator's model of the device, field by field.
void compareWithModel(const TDeviceRecord &entry, const DevSim::SimDevice &model, quint8 transport)
{
    using namespace Wire::Param;
    QCOMPARE(entry.IpText, model.ipText());
    QCOMPARE(entry.Transport, transport);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(entry.Address.data()), 8), model.addressRecord());
    QCOMPARE(entry.Mac, model.ipv4AddressRecord ? quint64(0) : model.mac);
    QCOMPARE(textParam(entry, Name), model.name);
    QCOMPARE(textParam(entry, TypeText), model.typeText);
    QCOMPARE(textParam(entry, HardwareVersion), model.hardwareVersion);
    QCOMPARE(textParam(entry, BootstrapVersion), model.bootstrapVersion);
    QCOMPARE(textParam(entry, KernelVersion), model.kernelVersion);
    QCOMPARE(textParam(entry, FirmwareVersion), model.firmwareVersion);
    QCOMPARE(numberParam(entry, IpAddress), qint64(model.ip));
    QCOMPARE(numberParam(entry, SubnetMask), qint64(model.netmask));
    QCOMPARE(numberParam(entry, Gateway), qint64(model.gateway));
    QCOMPARE(numberParam(entry, Dns1), qint64(model.dns1));
    QCOMPARE(numberParam(entry, Dns2), qint64(model.dns2));
    QCOMPARE(numberParam(entry, Word4), qint64(model.word4));
    QCOMPARE(numberParam(entry, NetworkFlags), qint64(model.networkFlags));
    QCOMPARE(bool(numberParam(entry, NetworkFlags) & Wire::DhcpFlag), DevSim::generatedWithDhcp(model.index));
    QCOMPARE(numberParam(entry, TypeCode), qint64(model.typeCode));
    QCOMPARE(TDeviceTypeRegistry::standard().find(numberParam(entry, TypeCode)) != nullptr, model.builtInType());
    // Exactly the fourteen parameters a discovery asks for, nothing else.
    QCOMPARE(entry.Params.count(), int(Wire::DiscoveryIds.size()));
    QVERIFY(!entry.Params.has(HardwareAddress));
}

int indexOfIp(const QList<TDeviceRecord> &list, const QString &ip)
{
    for (int i = 0; i < list.size(); ++i)
        if (list[i].IpText == ip)
            return i;
    return -1;
}

// Starts the simulator; while another test's simulator holds the device ports, waits.
bool startSimulator(LabSimulator &sim, int devices, const QStringList &arguments)
{
    const QDeadlineTimer deadline(BusyRetryMs);
    QStringList args{QStringLiteral("--seed"), QString::number(Seed)};
    args += arguments;
    while (!sim.start(devices, args)) {
        if (deadline.hasExpired() || !sim.errorString().contains(QLatin1String("cannot bind")))
            return false;
        qWarning("lab busy (%s), trying again", qPrintable(sim.errorString()));
        QThread::msleep(BusyPauseMs);
    }
    return true;
}

// The engine on every address of the PC; while another program holds the port, waits.
std::unique_ptr<TDatagramEngine> openServeur(const TDatagramEngine::Options &options = {})
{
    const QDeadlineTimer deadline(BusyRetryMs);
    for (;;) {
        auto serveur = std::make_unique<TDatagramEngine>(options);
        if (serveur->bindError().isEmpty() || deadline.hasExpired())
            return serveur;
        serveur.reset();
        QThread::msleep(BusyPauseMs);
    }
}

// A file uploaded to a device's FTP server, as the board firmware upgrade does it.
bool uploadByFtp(int device, const QString &name, QString *error)
{
    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    if (curl.isEmpty()) {
        *error = QStringLiteral("curl is not installed (scripts/deps.sh)");
        return false;
    }
    QTemporaryDir dir;
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(4096, 'x')) != 4096) {
        *error = file.errorString();
        return false;
    }
    file.close();
    QProcess process;
    process.start(curl, {QStringLiteral("-sS"), QStringLiteral("--max-time"), QString::number(UploadTimeoutMs / 1000),
                         QStringLiteral("-T"), file.fileName(), QStringLiteral("--ftp-port"), QStringLiteral("-"),
                         QStringLiteral("ftp://%1:%2@%3/")
                             .arg(QLatin1String(Wire::FtpUser), QLatin1String(Wire::FtpPassword),
                                  LabSimulator::deviceIp(device))});
    if (!process.waitForFinished(UploadTimeoutMs + 5000) || process.exitCode() != 0) {
        *error = QString::fromLocal8Bit(process.readAllStandardError());
        process.kill();
        return false;
    }
    return true;
}
} // namespace

class TestServeurLab : public QObject
{
    Q_OBJECT

    QList<DevSim::SimDevice> m_model;
    LabSimulator m_sim;
    std::unique_ptr<TDatagramEngine> m_engine;
    QList<Call> m_calls;
    QStringList m_messages;
    TErrorMessageSink m_previousSink;

    // What the discovery of initTestCase found, and how often each device answered.
    QList<TDeviceRecord> m_discovered;
    QHash<QString, int> m_answers;

    TDeviceReplyEvent recorder()
    {
        return [this](const QString &peer, int port, const char *data, int length, bool refresh, bool viaDatagram) {
            QVERIFY(refresh);
            m_calls.append({peer, port, QByteArray(data, length), viaDatagram,
                            QThread::currentThread() == qApp->thread()});
        };
    }

    static double timed(const std::function<void()> &operation)
    {
        QElapsedTimer timer;
        timer.start();
        operation();
        return timer.elapsed() / 1000.0;
    }

    // The first device of the program's own type: every command applies to it.
    int knownDevice() const
    {
        for (const DevSim::SimDevice &device : m_model)
            if (device.builtInType() && !device.ipv4AddressRecord)
                return device.index;
        return 0;
    }

    bool openEngine(const TDatagramEngine::Options &options = {})
    {
        m_engine.reset();
        m_engine = openServeur(options);
        if (!m_engine->bindError().isEmpty())
            qWarning("UDP port still taken: %s", qPrintable(m_engine->bindError()));
        return m_engine->bindError().isEmpty();
    }

private slots:
    void initTestCase()
    {
        if (!LabSimulator::inLab())
            QSKIP("runs in the lab's PC namespace (ctest -L lab)");
        StartupInit();
        m_previousSink = SetErrorMessageSink([this](const QString &message) { m_messages.append(message); });
        m_model = DevSim::generateDevices(Devices, LabSimulator::deviceAddress(0).toIPv4Address(), Seed);

        // One discovery of the whole segment, shared by the per-device checks.
        QVERIFY2(startSimulator(m_sim, Devices, {}), qPrintable(m_sim.errorString()));
        QVERIFY(openEngine());
        QCOMPARE(m_engine->boundAddresses(), QList<QHostAddress>{LabSimulator::pcAddress()});
        QCOMPARE(m_engine->Discover(QString(),
                                     [this](const QString &peer, int, const char *data, int length, bool, bool viaDatagram) {
                                         ++m_answers[peer];
                                         MergeDiscoveryReply(m_discovered, peer, QByteArrayView(data, length), viaDatagram);
                                     }),
                 QString());
        QTRY_COMPARE_WITH_TIMEOUT(m_discovered.size(), Devices, ReplyWaitMs);
        QTest::qWait(500); // a device answering twice would show now
        m_engine.reset();
        m_sim.stop();
    }

    void cleanupTestCase()
    {
        SetErrorMessageSink(m_previousSink);
    }

    void init()
    {
        m_calls.clear();
        m_messages.clear();
        QVERIFY(openEngine());
    }

    void cleanup()
    {
        m_engine.reset();
        m_sim.stop();
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.join(u'\n')));
    }

    void discoveryListsEveryDeviceOnce()
    {
        QCOMPARE(m_discovered.size(), m_model.size());
        QCOMPARE(m_answers.size(), m_model.size());
        for (const DevSim::SimDevice &device : m_model)
            QVERIFY2(m_answers.value(device.ipText()) == 1,
                     qPrintable(QStringLiteral("%1 answered %2 times").arg(device.ipText()).arg(m_answers.value(device.ipText()))));
    }

    void discoveredDevice_data()
    {
        QTest::addColumn<int>("index");
        for (const DevSim::SimDevice &device : m_model)
            QTest::newRow(qPrintable(variantOf(device))) << device.index;
    }
    void discoveredDevice()
    {
        QFETCH(int, index);
        const DevSim::SimDevice &model = m_model[index];
        const int found = indexOfIp(m_discovered, model.ipText());
        QVERIFY2(found >= 0, "the device was not listed");
        compareWithModel(m_discovered[found], model, TransportUdp);
    }

    void broadcastDoesNotWait_data()
    {
        QTest::addColumn<int>("delayMs");
        QTest::newRow("devices answering at once") << 0;
        QTest::newRow("devices answering 0.5 s late") << 500;
    }
    void broadcastDoesNotWait()
    {
        QFETCH(int, delayMs);
        QStringList faults;
        if (delayMs > 0)
            faults << QStringLiteral("--fault") << QStringLiteral("all:delay=%1").arg(delayMs);
        QVERIFY2(startSimulator(m_sim, Devices, faults), qPrintable(m_sim.errorString()));

        QElapsedTimer sinceSend;
        qint64 firstReplyMs = -1;
        sinceSend.start();
        const double took = timed([&] {
            m_engine->Discover(QString(), [&, record = recorder()](const QString &peer, int port, const char *data,
                                                                   int length, bool refresh, bool viaDatagram) {
                if (firstReplyMs < 0)
                    firstReplyMs = sinceSend.elapsed();
                record(peer, port, data, length, refresh, viaDatagram);
            });
        });
        // A discovery waits for no reply; the shortest command wait is five seconds.
        QVERIFY2(took < 1.0, qPrintable(QString::number(took)));
        if (delayMs > 0)
            QVERIFY(m_calls.isEmpty()); // the late replies all come after the return

        QTRY_COMPARE_WITH_TIMEOUT(m_calls.size(), Devices, ReplyWaitMs);
        if (delayMs > 0)
            QVERIFY2(firstReplyMs >= delayMs * 0.8, qPrintable(QString::number(firstReplyMs)));
        QSet<QString> peers;
        for (const Call &call : std::as_const(m_calls)) {
            QVERIFY(call.onGuiThread);
            QVERIFY(call.viaDatagram);
            QCOMPARE(call.port, int(Wire::DevicePort));
            QVERIFY(IsValidDiscoveryReply(call.data));
            peers.insert(call.peer);
        }
        QCOMPARE(peers.size(), Devices);
    }

    void commands_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<quint8>("transport");
        QTest::addColumn<QList<int>>("before"); // commands that set the device up; 0: an FTP upload
        QTest::addColumn<QString>("field");    // of the device's state
        QTest::addColumn<QJsonValue>("expected");
        struct Row
        {
            Wire::Command command;
            QList<int> before;
            const char *field;
            QJsonValue expected;
        };
        using C = Wire::Command;
        const QList<Row> rows{
            {C::StartFtpServer, {}, "ftpServer", true},
            {C::StopFtpServer, {int(C::StartFtpServer)}, "ftpServer", false},
            {C::StartUpdater, {}, "updater", true},
            {C::StopUpdater, {int(C::StartUpdater)}, "updater", false},
            {C::StartDaemon, {int(C::StopDaemon)}, "daemon", true},
            {C::StopDaemon, {}, "daemon", false},
            {C::SetDropBear, {}, "dropBear", true},
            {C::SystemUpgrade, {int(C::StartFtpServer), 0}, "installCount", 1},
        };
        for (quint8 transport : {TransportUdp, TransportTcp})
            for (const Row &row : rows)
                QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(QLatin1String(Wire::commandInfo(row.command).name),
                                                                       transport == TransportUdp ? u"udp" : u"tcp")))
                    << int(row.command) << transport << row.before << QString::fromLatin1(row.field) << row.expected;
    }
    void commands()
    {
        QFETCH(int, command);
        QFETCH(quint8, transport);
        QFETCH(QList<int>, before);
        QFETCH(QString, field);
        QFETCH(QJsonValue, expected);
        const auto code = static_cast<Wire::Command>(command);
        const int device = knownDevice();
        const QString ip = LabSimulator::deviceIp(device);
        const QString image = QStringLiteral("board.image.bin");
        QVERIFY2(startSimulator(m_sim, Devices, {}), qPrintable(m_sim.errorString()));

        for (int step : before) {
            if (step == 0) {
                QString error;
                QVERIFY2(uploadByFtp(device, image, &error), qPrintable(error));
                continue;
            }
            QCOMPARE(m_engine->Command(static_cast<Wire::Command>(step), ip, transport).result, ResultAcknowledged);
        }
        QVERIFY(m_sim.deviceState(device).value(field) != expected); // the command is what changes it

        const TCommandReply reply = m_engine->Command(code, ip, transport);
        QCOMPARE(reply.result, ResultAcknowledged);
        QCOMPARE(reply.data.mid(25, 2), ackBytes(code));
        QCOMPARE(reply.error, QString());

        // What the device got, and what it did.
        const QList<QJsonObject> requests = m_sim.requests(ip);
        QVERIFY(!requests.isEmpty());
        QCOMPARE(requests.last().value(QLatin1String("cmd")).toInt(), command);
        QCOMPARE(requests.last().value(QLatin1String("transport")).toString(),
                 transport == TransportUdp ? QStringLiteral("udp") : QStringLiteral("tcp"));
        QCOMPARE(requests.last().value(QLatin1String("ack")).toString(), hexText(ackBytes(code)));
        const QJsonObject state = m_sim.deviceState(device);
        QCOMPARE(state.value(field), expected);
        QCOMPARE(m_sim.stateChanges(ip).last().value(field), expected);
        if (code == Wire::Command::SystemUpgrade)
            QCOMPARE(state.value(QLatin1String("installedImage")).toString(), image);
        // The other devices were not touched.
        const int other = device + 1;
        QVERIFY(m_sim.requests(LabSimulator::deviceIp(other)).isEmpty());
    }

    void requestAddressing_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<quint8>("transport");
        QTest::addColumn<bool>("broadcast");
        QTest::addColumn<bool>("sourceIsThePc");
        using C = Wire::Command;
        QTest::newRow("command by udp: the PC's own record") << int(C::SetDropBear) << TransportUdp << false << true;
        QTest::newRow("command by tcp: zero source") << int(C::SetDropBear) << TransportTcp << false << false;
        QTest::newRow("discovery broadcast: zero source") << int(C::Discover) << TransportUdp << true << false;
        QTest::newRow("discovery by tcp: zero source") << int(C::Discover) << TransportTcp << false << false;
    }
    void requestAddressing()
    {
        QFETCH(int, command);
        QFETCH(quint8, transport);
        QFETCH(bool, broadcast);
        QFETCH(bool, sourceIsThePc);
        const auto code = static_cast<Wire::Command>(command);
        QVERIFY2(startSimulator(m_sim, Devices, {}), qPrintable(m_sim.errorString()));
        const int device = knownDevice();
        const QString ip = broadcast ? QString() : LabSimulator::deviceIp(device);
        if (code != Wire::Command::Discover)
            QCOMPARE(m_engine->Command(code, ip, transport).result, ResultAcknowledged);
        else if (transport == TransportTcp)
            QVERIFY(IsValidDiscoveryReply(m_engine->DiscoverOverTcp(ip)));
        else
            QCOMPARE(m_engine->Discover(ip, recorder()), QString());
        if (broadcast)
            QTRY_COMPARE_WITH_TIMEOUT(m_calls.size(), Devices, ReplyWaitMs);

        const QByteArray source = sourceIsThePc ? ipv4Record(LabSimulator::pcAddress()) : QByteArray(8, '\0');
        const QByteArray destination = broadcast ? BuildRequest(quint8(command)).left(8)
                                                 : ipv4Record(LabSimulator::deviceAddress(device));
        const QList<QJsonObject> requests = m_sim.requests();
        QCOMPARE(requests.size(), broadcast ? Devices : 1);
        for (const QJsonObject &request : requests) {
            QCOMPARE(request.value(QLatin1String("cmd")).toInt(), command);
            QCOMPARE(request.value(QLatin1String("source")).toString(), hexText(source));
            QCOMPARE(request.value(QLatin1String("dest")).toString(), hexText(destination));
            QCOMPARE(request.value(QLatin1String("transport")).toString(),
                     transport == TransportUdp ? QStringLiteral("udp") : QStringLiteral("tcp"));
            const QString from = request.value(QLatin1String("from")).toString();
            QCOMPARE(from.section(u':', 0, 0), LabSimulator::pcAddress().toString());
            if (transport == TransportUdp)
                QCOMPARE(from.section(u':', 1).toInt(), int(Wire::DevicePort)); // sent from the bound port
            if (code == Wire::Command::Discover) {
                QList<int> ids;
                for (const QJsonValue &id : request.value(QLatin1String("ids")).toArray())
                    ids << id.toInt();
                QCOMPARE(ids, QList<int>(Wire::DiscoveryIds.cbegin(), Wire::DiscoveryIds.cend()));
            }
        }
    }

    void faultModes_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("result");   // the command's verdict
        QTest::addColumn<double>("least"); // seconds the operation takes at least
        QTest::addColumn<double>("most");  // and well under this
        using C = Wire::Command;
        const double ftpWait = waitMsOf(C::StartFtpServer) / 1000.0;
        const double daemonWait = waitMsOf(C::StartDaemon) / 1000.0;
        QTest::newRow("silent: the whole wait of 50") << "silent" << int(C::StartFtpServer) << int(ResultNoReply)
                                                      << ftpWait << ftpWait + 2.5;
        QTest::newRow("silent: the whole wait of 100") << "silent" << int(C::StartDaemon) << int(ResultNoReply)
                                                       << daemonWait << daemonWait + 2.5;
        QTest::newRow("wrong-ack: another reply") << "wrong-ack" << int(C::StartUpdater) << int(ResultOtherReply)
                                                  << 0.0 << 2.5;
        QTest::newRow("delay=1000: about a second") << "delay=1000" << int(C::StartUpdater) << int(ResultAcknowledged)
                                                    << 0.9 << 2.5;
    }
    void faultModes()
    {
        QFETCH(QString, fault);
        QFETCH(int, command);
        QFETCH(int, result);
        QFETCH(double, least);
        QFETCH(double, most);
        const auto code = static_cast<Wire::Command>(command);
        const int device = knownDevice();
        const QString ip = LabSimulator::deviceIp(device);
        QVERIFY2(startSimulator(m_sim, Devices, {QStringLiteral("--fault"), QStringLiteral("%1:%2").arg(ip, fault)}),
                 qPrintable(m_sim.errorString()));

        TCommandReply reply;
        const double took = timed([&] { reply = m_engine->Command(code, ip, TransportUdp); });
        QVERIFY2(took >= least * 0.98 && took < most, qPrintable(QString::number(took)));
        QCOMPARE(int(reply.result), result);
        QCOMPARE(reply.data.isEmpty(), result == ResultNoReply);
        if (!reply.data.isEmpty())
            QCOMPARE(int(JudgeCommandReply(reply.data, code)), result);

        const QList<QJsonObject> requests = m_sim.requests(ip);
        QCOMPARE(requests.size(), 1);
        const QString kind = fault.section(u'=', 0, 0);
        QVERIFY2(requests[0].value(QLatin1String("faults")).toArray().contains(kind),
                 QJsonDocument(requests[0]).toJson(QJsonDocument::Compact).constData());
        // A silent device dropped the request unseen: no state change either.
        QCOMPARE(m_sim.stateChanges(ip).isEmpty(), result == ResultNoReply);
    }

    void duplicateAcknowledgement()
    {
        // Both copies of the acknowledgement leave the device together. The first ends the
        // wait; the copy that comes after it neither ends nor judges the next command's wait.
        const int device = knownDevice();
        const QString ip = LabSimulator::deviceIp(device);
        const auto first = Wire::Command::StartUpdater;
        const auto next = Wire::Command::StopUpdater;
        QVERIFY2(startSimulator(m_sim, Devices,
                                {QStringLiteral("--fault"), QStringLiteral("%1:duplicate@cmd=%2").arg(ip).arg(int(first))}),
                 qPrintable(m_sim.errorString()));
        TCommandReply firstReply;
        const double took = timed([&] { firstReply = m_engine->Command(first, ip, TransportUdp); });
        QVERIFY2(took < waitMsOf(first) / 2000.0, qPrintable(QString::number(took)));
        QCOMPARE(firstReply.result, ResultAcknowledged);
        const TCommandReply nextReply = m_engine->Command(next, ip, TransportUdp);
        QCOMPARE(nextReply.result, ResultAcknowledged); // the next command's own answer
        QCOMPARE(nextReply.data.mid(25, 2), ackBytes(next));
        QCOMPARE(m_sim.requests(ip).size(), 2);
    }

    void discoveryRepliesLeaveACommandsWait()
    {
        // Discovery replies still coming in while a command waits go to the discovery handler:
        // they neither end the command's wait nor become its reply.
        constexpr int lateMs = 800;
        const int device = knownDevice();
        const QString ip = LabSimulator::deviceIp(device);
        const auto command = Wire::Command::StartFtpServer;
        QVERIFY2(startSimulator(m_sim, Devices,
                                {QStringLiteral("--fault"), QStringLiteral("all:delay=%1@cmd=1").arg(lateMs),
                                 QStringLiteral("--fault"), QStringLiteral("%1:silent@cmd=%2").arg(ip).arg(int(command))}),
                 qPrintable(m_sim.errorString()));
        int discoveries = 0;
        QCOMPARE(m_engine->Discover(QString(), [&](const QString &, int, const char *, int, bool, bool) { ++discoveries; }),
                 QString());
        TCommandReply reply;
        const double took = timed([&] { reply = m_engine->Command(command, ip, TransportUdp); });
        const double wait = waitMsOf(command) / 1000.0;
        QVERIFY2(took >= wait * 0.98 && took < wait + 2.5, qPrintable(QString::number(took)));
        QCOMPARE(reply.result, ResultNoReply);
        QVERIFY(reply.data.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(discoveries, Devices, ReplyWaitMs);
    }

    void silentWaitEndsOnTime()
    {
        // Nothing but the wait runs in this process: no timer of the test, no window, no
        // reply. The wait must still end by itself, about on time, round after round.
        constexpr int unitMs = 10; // waits of half a second keep the rounds short
        constexpr int rounds = 16;
        constexpr int lateAfterMs = 768;
        const auto code = Wire::Command::StartFtpServer;
        const int device = knownDevice();
        const QString ip = LabSimulator::deviceIp(device);
        QVERIFY2(startSimulator(m_sim, Devices, {QStringLiteral("--fault"), ip + QStringLiteral(":silent")}),
                 qPrintable(m_sim.errorString()));
        TDatagramEngine::Options options;
        options.waitUnitMs = unitMs;
        QVERIFY(openEngine(options));
        const qint64 waitMs = qint64(Wire::commandInfo(code).waitCount) * unitMs;

        QStringList late;
        for (int round = 0; round < rounds; ++round) {
            // Each wait starts at another point of the clock's millisecond phase.
            QThread::msleep(QRandomGenerator::global()->bounded(25));
            QElapsedTimer clock;
            clock.start();
            const TCommandReply reply = m_engine->Command(code, ip, TransportUdp);
            const qint64 took = clock.elapsed();
            QCOMPARE(reply.result, ResultNoReply);
            QVERIFY(took >= waitMs);
            if (took > waitMs + lateAfterMs)
                late << QString::number(took);
        }
        if (!late.isEmpty())
            qInfo("%lld of %d waits of %lld ms ran late (ms): %s", qlonglong(late.size()), rounds, qlonglong(waitMs),
                  qPrintable(late.join(u' ')));
        QVERIFY2(late.isEmpty(), qPrintable(QStringLiteral("%1 of %2 waits of %3 ms ran late (ms): %4")
                                                .arg(late.size()).arg(rounds).arg(waitMs).arg(late.join(u' '))));
    }

    void strayDatagram_data()
    {
        // Neither is the device the command went to: the wait goes on to its end.
        QTest::addColumn<QString>("from");
        QTest::newRow("from the PC's own address") << LabSimulator::pcAddress().toString();
        QTest::newRow("from loopback") << QStringLiteral("127.0.0.1");
    }
    void strayDatagram()
    {
        QFETCH(QString, from);
        const auto code = Wire::Command::StartFtpServer;
        const int device = knownDevice();
        const QString ip = LabSimulator::deviceIp(device);
        QVERIFY2(startSimulator(m_sim, Devices, {QStringLiteral("--fault"), ip + QStringLiteral(":silent")}),
                 qPrintable(m_sim.errorString()));

        // A perfect acknowledgement of the waiting command, but not from the device.
        const QByteArray stray = ReplyBuilder(quint8(code), m_model[device].addressRecord()).raw(ackBytes(code));
        // Sent from another thread, 300 ms into the wait that blocks this one.
        const QHostAddress engine = m_engine->boundAddresses().first();
        std::atomic<bool> sent{false};
        std::unique_ptr<QThread> sender(QThread::create([&] {
            QUdpSocket socket;
            if (!socket.bind(QHostAddress(from), 0))
                return;
            QThread::msleep(300);
            sent = socket.writeDatagram(stray, engine, Wire::DevicePort) == stray.size();
        }));
        sender->start();
        TCommandReply reply;
        const double took = timed([&] { reply = m_engine->Command(code, ip, TransportUdp); });
        QVERIFY(sender->wait(5000));
        QVERIFY(sent.load());
        const double wait = waitMsOf(code) / 1000.0;
        QVERIFY2(took >= wait * 0.98 && took < wait + 2.5, qPrintable(QString::number(took)));
        QCOMPARE(reply.result, ResultNoReply);
        QVERIFY(reply.data.isEmpty());
    }

    void tcpDiscovery_data()
    {
        QTest::addColumn<int>("index");
        for (const DevSim::SimDevice &device : m_model.mid(0, 12)) // one of each variant
            if (device.ipv4AddressRecord || !device.builtInType() || device.index == knownDevice())
                QTest::newRow(qPrintable(variantOf(device))) << device.index;
    }
    void tcpDiscovery()
    {
        QFETCH(int, index);
        QVERIFY2(startSimulator(m_sim, Devices, {}), qPrintable(m_sim.errorString()));
        const QString ip = LabSimulator::deviceIp(index);
        const QByteArray reply = m_engine->DiscoverOverTcp(ip);
        QList<TDeviceRecord> list;
        QCOMPARE(MergeDiscoveryReply(list, ip, reply, false), 0);
        compareWithModel(list[0], m_model[index], TransportTcp);
    }

    void tcpFailureRaises_data()
    {
        QTest::addColumn<QString>("fault"); // empty: no simulator at all
        QTest::newRow("nothing listens") << QString();
        // The device takes the connection and resets it at once.
        QTest::newRow("connection reset by the device") << QStringLiteral("refuse");
    }
    void tcpFailureRaises()
    {
        QFETCH(QString, fault);
        const QString ip = LabSimulator::deviceIp(0);
        if (!fault.isEmpty())
            QVERIFY2(startSimulator(m_sim, Devices, {QStringLiteral("--fault"), QStringLiteral("%1:%2").arg(ip, fault)}),
                     qPrintable(m_sim.errorString()));
        QString message;
        QByteArray reply;
        try {
            reply = m_engine->DiscoverOverTcp(ip);
        } catch (const ConnectionError &e) {
            message = e.message();
        }
        QVERIFY2(message.contains(ip), qPrintable(QStringLiteral("error \"%1\", reply %2").arg(message, QString::fromLatin1(reply.toHex()))));
    }

    void largeSegment()
    {
        // The lab fixture gives 1024 device addresses.
        QVERIFY2(startSimulator(m_sim, LargeSegment, {}), qPrintable(m_sim.errorString()));
        QList<TDeviceRecord> list;
        QHash<QString, int> answers;
        QCOMPARE(m_engine->Discover(QString(),
                                     [&](const QString &peer, int, const char *data, int length, bool, bool viaDatagram) {
                                         ++answers[peer];
                                         MergeDiscoveryReply(list, peer, QByteArrayView(data, length), viaDatagram);
                                     }),
                 QString());
        QTRY_COMPARE_WITH_TIMEOUT(list.size(), LargeSegment, LargeSegmentWaitMs);
        QTest::qWait(500);
        QCOMPARE(list.size(), LargeSegment);
        const QList<DevSim::SimDevice> model =
            DevSim::generateDevices(LargeSegment, LabSimulator::deviceAddress(0).toIPv4Address(), Seed);
        for (const DevSim::SimDevice &device : model) {
            QCOMPARE(answers.value(device.ipText()), 1);
            const int found = indexOfIp(list, device.ipText());
            QVERIFY(found >= 0);
            QCOMPARE(textParam(list[found], Wire::Param::Name), device.name);
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(list[found].Address.data()), 8), device.addressRecord());
        }
    }
};

QTEST_GUILESS_MAIN(TestServeurLab)
#include "tst_datagramengine_lab.moc"
