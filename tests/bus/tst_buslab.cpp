// The bus client against the simulated controller in the lab: what the device received, in order,
// and how the client copes with a device that splits, pads, corrupts, delays or drops its replies.

#include "labsim.h"
#include "protocol/socketwait.h"
#include "uikeepalive.h"
#include "bus/controllerbus.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <memory>

namespace {

// The device the tests talk to; the other one must stay untouched.
constexpr int Device = 1;
constexpr int Devices = 2;
constexpr quint16 StartUpdaterAck = 0xFFFD;

QByteArray pattern(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 37 + seed) & 0xFF);
    return bytes;
}

QStringList withFaults(const QStringList &faults)
{
    QStringList arguments{QStringLiteral("--updater-running")};
    for (const QString &fault : faults)
        arguments << QStringLiteral("--fault") << fault;
    return arguments;
}

int intOf(const QJsonObject &line, const char *key)
{
    return line.value(QLatin1String(key)).toInt(-1);
}

QStringList faultsOf(const QJsonObject &line)
{
    QStringList names;
    for (const QJsonValue &value : line.value(QLatin1String("faults")).toArray())
        names << value.toString();
    return names;
}

} // namespace

class TestBusLab : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<LabSimulator> m_sim;

    bool startSimulator(const QStringList &arguments)
    {
        m_sim = std::make_unique<LabSimulator>();
        if (!m_sim->start(Devices, arguments)) {
            qWarning("%s", qPrintable(m_sim->errorString()));
            return false;
        }
        return true;
    }
    std::unique_ptr<TControllerBus> bus(ControllerBus::Timing timing = {}) const
    {
        return std::make_unique<TControllerBus>(nullptr, LabSimulator::deviceIp(Device), Wire::BusPort, timing);
    }
    // The bus frames the device received, once `count` of them are in the journal.
    QList<QJsonObject> busRequests(int count) const
    {
        m_sim->waitForJournal(
            [&](const QList<QJsonObject> &) {
                return m_sim->requests(LabSimulator::deviceIp(Device), Wire::BusPort).size() >= count;
            },
            3000);
        return m_sim->requests(LabSimulator::deviceIp(Device), Wire::BusPort);
    }

private slots:
    void initTestCase();
    void cleanup();
    void framesAcceptedByDevice();
    void busOpensWithUpdater();
    void splitReplyIsJoined();
    void longerReplyIsCutBeforeCrcTest();
    void silentDeviceCostsThreeTimeouts();
    void badCrcIsRetried_data();
    void badCrcIsRetried();
    void writeBlockChunks();
    void addressBit24IsNotSent();
    void exchangeWhileBusyReturnsEmpty();
    void lostRequestsAreResent();
};

void TestBusLab::initTestCase()
{
    if (!LabSimulator::inLab())
        QSKIP("needs the lab (run through ctest, or lab/lab pc env TARVINO_LAB=1 ...)");
}

void TestBusLab::cleanup()
{
    m_sim.reset();
}

void TestBusLab::framesAcceptedByDevice()
{
    QVERIFY(startSimulator(withFaults({})));
    auto xbus = bus();
    QVERIFY(!xbus->SendCommand(0xFF, Wire::Bus::Reset).isEmpty());
    QVERIFY(!xbus->SendCommand(0xFF, Wire::Bus::GetConfigStart).isEmpty());
    QCOMPARE(xbus->ReadBlock(0xFF, 0, 4).size(), 4);
    // A unit of 0 goes out as 0xFF with the CRC over the replaced byte, or the device would refuse it.
    QVERIFY(!xbus->Exchange(QByteArray::fromHex("0064d3"), ControllerBus::CommandReplyData).isEmpty());

    const QList<QJsonObject> lines = busRequests(4);
    QCOMPARE(lines.size(), 4);
    for (const QJsonObject &line : lines) {
        QVERIFY2(!line.contains(QLatin1String("error")), qPrintable(line.value(QLatin1String("error")).toString()));
        QCOMPARE(intOf(line, "unit"), 0xFF);
    }
    QCOMPARE(intOf(lines.at(0), "sub"), int(Wire::Bus::Reset));
    QCOMPARE(intOf(lines.at(1), "sub"), int(Wire::Bus::GetConfigStart));
    QCOMPARE(intOf(lines.at(2), "fn"), int(Wire::Bus::FunctionReadBlock));
    QCOMPARE(intOf(lines.at(2), "addr"), 0);
    QCOMPARE(intOf(lines.at(2), "n"), 4);
    QCOMPARE(intOf(lines.at(3), "sub"), int(Wire::Bus::GetConfigStop));
    QVERIFY(m_sim->requests(LabSimulator::deviceIp(0)).isEmpty());
}

void TestBusLab::busOpensWithUpdater()
{
    QVERIFY(startSimulator({}));
    // Without its updater the board drops bus frames.
    auto xbus = bus({100, ControllerBus::CommandPauseMs});
    QVERIFY(xbus->SendCommand(0xFF, Wire::Bus::Reset).isEmpty());
    QCOMPARE(busRequests(ControllerBus::Attempts).size(), ControllerBus::Attempts);

    // StartUpdater (command 5) to the board, with a zero source record.
    QByteArray request = QByteArray::fromHex("0002") + QByteArray(4, '\0') + QByteArray::fromHex("cca5")
                         + QByteArray(8, '\0') + QByteArray::fromHex("0001115600000000") + QByteArray(1, '\x05')
                         + QByteArray::fromHex("ffff");
    const quint32 ip = LabSimulator::deviceAddress(Device).toIPv4Address();
    for (int i = 0; i < 4; ++i)
        request[2 + i] = static_cast<char>(ip >> (24 - 8 * i));
    QCOMPARE(request.size(), Wire::EmptyRequestSize);
    QUdpSocket board;
    QVERIFY(board.bind(QHostAddress::AnyIPv4, 0));
    QCOMPARE(board.writeDatagram(request, LabSimulator::deviceAddress(Device), Wire::DevicePort), request.size());
    QVERIFY(SocketWait::waitForReadyRead(board, 5000));
    QByteArray ack(Wire::CommandReplyMinSize, '\0');
    QCOMPARE(board.readDatagram(ack.data(), ack.size()), qint64(Wire::CommandReplyMinSize));
    QCOMPARE(static_cast<quint8>(ack.at(Wire::CommandOffset)), quint8(Wire::Command::StartUpdater));
    QCOMPARE((static_cast<quint8>(ack.at(25)) << 8) | static_cast<quint8>(ack.at(26)), int(StartUpdaterAck));

    QVERIFY(!xbus->SendCommand(0xFF, Wire::Bus::Reset).isEmpty());
    QCOMPARE(busRequests(ControllerBus::Attempts + 1).size(), ControllerBus::Attempts + 1);
}

void TestBusLab::splitReplyIsJoined()
{
    QVERIFY(startSimulator(withFaults({QStringLiteral("all:split@52390")})));
    auto xbus = bus();
    const QByteArray data = pattern(200, 1);
    QVERIFY(!xbus->SendCommand(0xFF, Wire::Bus::GetConfigStop).isEmpty());
    QVERIFY(xbus->WriteBlock(0xFF, 0x2000, data));
    QCOMPARE(xbus->ReadBlock(0xFF, 0x2000, 200).toHex(), data.toHex());
    // One frame per exchange: every split reply was joined at the first attempt.
    const QList<QJsonObject> lines = busRequests(5);
    QCOMPARE(lines.size(), 5);
    for (const QJsonObject &line : lines)
        QCOMPARE(faultsOf(line), QStringList{QStringLiteral("split")});
}

void TestBusLab::longerReplyIsCutBeforeCrcTest()
{
    QVERIFY(startSimulator(withFaults({})));
    auto xbus = bus();
    const QByteArray data = pattern(8, 2);
    QVERIFY(xbus->WriteBlock(0xFF, 0x40, data));

    // The device answers a read of 8 with 17 bytes; an exchange awaiting 13 keeps the first 13.
    // The CRC test runs over the cut bytes, so the device's valid 17-byte reply fails it, at once,
    // on every attempt.
    QElapsedTimer clock;
    clock.start();
    QVERIFY(xbus->Exchange(ControllerBus::readRequest(0xFF, 0x40, 8), ControllerBus::ReadReplyHeader + 4).isEmpty());
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(xbus->ReplyBuffer().size(), 13);
    QCOMPARE(xbus->ReplyBuffer().sliced(ControllerBus::ReadReplyHeader).toHex(), data.first(6).toHex());
    QVERIFY(!xbus->Busy());
    QCOMPARE(busRequests(1 + ControllerBus::Attempts).size(), 1 + ControllerBus::Attempts);
}

void TestBusLab::silentDeviceCostsThreeTimeouts()
{
    QVERIFY(startSimulator(withFaults({QStringLiteral("all:silent@52390")})));
    auto xbus = bus();
    QElapsedTimer clock;
    clock.start();
    QVERIFY(xbus->Exchange(ControllerBus::commandRequest(0xFF, Wire::Bus::GetDiagnoseStart), 3).isEmpty());
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= 3 * 1010 * 9 / 10, qPrintable(QString::number(elapsed)));
    QVERIFY2(elapsed < 3 * 1010 + 3000, qPrintable(QString::number(elapsed)));
    const QList<QJsonObject> lines = busRequests(ControllerBus::Attempts);
    QCOMPARE(lines.size(), ControllerBus::Attempts);
    for (const QJsonObject &line : lines) {
        QCOMPARE(intOf(line, "sub"), int(Wire::Bus::GetDiagnoseStart));
        QCOMPARE(faultsOf(line), QStringList{QStringLiteral("silent")});
    }
}

void TestBusLab::badCrcIsRetried_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<int>("frames");
    QTest::newRow("1 bad") << QStringLiteral("all:bad-crc@52390@count=1") << true << 2;
    QTest::newRow("2 bad") << QStringLiteral("all:bad-crc@52390@count=2") << true << 3;
    QTest::newRow("all bad") << QStringLiteral("all:bad-crc@52390") << false << 3;
}

void TestBusLab::badCrcIsRetried()
{
    QFETCH(QString, fault);
    QFETCH(bool, succeeds);
    QFETCH(int, frames);
    QVERIFY(startSimulator(withFaults({fault})));
    auto xbus = bus();
    QCOMPARE(xbus->ReadBlock(0xFF, 0x100, 16).size(), succeeds ? 16 : 0);
    const QList<QJsonObject> lines = busRequests(frames);
    QCOMPARE(lines.size(), frames);
    for (const QJsonObject &line : lines) {
        QCOMPARE(intOf(line, "addr"), 0x100);
        QCOMPARE(intOf(line, "n"), 16);
    }
}

void TestBusLab::writeBlockChunks()
{
    QVERIFY(startSimulator(withFaults({})));
    auto xbus = bus();
    constexpr quint32 A = 0x013F00;
    const QByteArray data = pattern(300, 3);
    QList<int> progress;
    QVERIFY(xbus->WriteBlock(0xFF, A, data, [&](int n) { progress.append(n); }));
    QCOMPARE(progress, (QList<int>{128, 128, 44}));
    progress.clear();
    QCOMPARE(xbus->ReadBlock(0xFF, A, 300, [&](int n) { progress.append(n); }).toHex(), data.toHex());
    QCOMPARE(progress, (QList<int>{128, 128, 44}));

    const QList<QJsonObject> lines = busRequests(6);
    QCOMPARE(lines.size(), 6);
    const QList<int> offsets{0, 128, 256};
    const QList<int> counts{128, 128, 44};
    for (int i = 0; i < 3; ++i) {
        const QJsonObject &write = lines.at(i);
        const QJsonObject &read = lines.at(3 + i);
        QCOMPARE(intOf(write, "fn"), int(Wire::Bus::FunctionWriteBlock));
        QCOMPARE(intOf(write, "addr"), int(A) + offsets.at(i));
        QCOMPARE(intOf(write, "n"), counts.at(i));
        QCOMPARE(write.value(QLatin1String("data")).toString().remove(QLatin1Char(' ')),
                 QString::fromLatin1(data.sliced(offsets.at(i), counts.at(i)).toHex()));
        QCOMPARE(intOf(read, "fn"), int(Wire::Bus::FunctionReadBlock));
        QCOMPARE(intOf(read, "addr"), int(A) + offsets.at(i));
        QCOMPARE(intOf(read, "n"), counts.at(i));
    }
}

void TestBusLab::addressBit24IsNotSent()
{
    QVERIFY(startSimulator(withFaults({})));
    auto xbus = bus();
    const QByteArray data = QByteArray::fromHex("a1b2c3d4");
    QVERIFY(xbus->WriteBlock(0xFF, (1u << 24) + 4, data));
    QCOMPARE(xbus->ReadBlock(0xFF, 4, 4).toHex(), data.toHex());
    QCOMPARE(xbus->ReadBlock(0xFF, 0xFF000004u, 4).toHex(), data.toHex());
    const QList<QJsonObject> lines = busRequests(3);
    QCOMPARE(lines.size(), 3);
    for (const QJsonObject &line : lines)
        QCOMPARE(intOf(line, "addr"), 4);
}

void TestBusLab::exchangeWhileBusyReturnsEmpty()
{
    QVERIFY(startSimulator(withFaults({QStringLiteral("all:delay=600@52390")})));
    TUiKeepAlive keepAlive;
    auto xbus = bus();
    bool nestedRan = false;
    QByteArray nestedReply("unset");
    qint64 nestedMs = -1;
    QTimer::singleShot(0, this, [&] {
        nestedRan = true;
        QElapsedTimer clock;
        clock.start();
        nestedReply = xbus->Exchange(ControllerBus::commandRequest(0xFF, Wire::Bus::Reset), 3);
        nestedMs = clock.elapsed();
    });
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!xbus->SendCommand(0xFF, Wire::Bus::GetLogs).isEmpty());
    QVERIFY2(clock.elapsed() >= 600, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(nestedRan);
    QVERIFY(nestedReply.isEmpty());
    QVERIFY2(nestedMs >= 0 && nestedMs < 500, qPrintable(QString::number(nestedMs)));
    const QList<QJsonObject> lines = busRequests(1);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(intOf(lines.at(0), "sub"), int(Wire::Bus::GetLogs));
}

void TestBusLab::lostRequestsAreResent()
{
    // Loss is drawn from the seed per device, so the same requests are lost on every run.
    QVERIFY(startSimulator(withFaults({QStringLiteral("all:loss=0.25@52390")}) << QStringLiteral("--seed")
                                                                                << QStringLiteral("7")));
    auto xbus = bus({500, ControllerBus::CommandPauseMs});
    const QByteArray data = pattern(1024, 4);
    QVERIFY(xbus->WriteBlock(0xFF, 0x8000, data));
    QCOMPARE(xbus->ReadBlock(0xFF, 0x8000, 1024).toHex(), data.toHex());
    const QList<QJsonObject> lines = busRequests(16);
    int lost = 0;
    for (const QJsonObject &line : lines)
        lost += faultsOf(line).contains(QStringLiteral("loss")) ? 1 : 0;
    QVERIFY2(lost > 0, "no request was lost: the fault did not apply");
    QCOMPARE(lines.size(), 16 + lost);
}

QTEST_GUILESS_MAIN(TestBusLab)
#include "tst_buslab.moc"
