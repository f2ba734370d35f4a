// Discovery and commands through two adapters, and the network check, in a lab with two
// segments (lab up --segments 2): segment 1 on the PC's lab0, segment 2 on lab1 with a device set
// up for another subnet (stray) and one given the address of another (twin). The PC's second
// adapter is down when the engine starts and raised by the first test.
#include "operations/commandoperations.h"
#include "operations/controlleroperations.h"
#include "labsim.h"
#include "labtiming.h"
#include "fleet/networkcheck.h"
#include "app/networkcheckdialog.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "protocol/ipv4text.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <QListWidget>
#include <QPointer>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

using namespace Qt::StringLiterals;

namespace {
constexpr int Segment1Devices = 4;
constexpr int Segment2Devices = 4;
constexpr int ListenMs = 1500;
const QString Segment2Base = u"198.19.1.1"_s;
const QString StrayIp = u"198.19.200.10"_s;
const QString TwinIp = Segment2Base;

struct Adapter
{
    QString name;
    QString address;
};
const Adapter Lab0{u"lab0"_s, u"198.18.0.1"_s};
const Adapter Lab1{u"lab1"_s, u"198.19.0.1"_s};

QString segment2Ip(int index)
{
    return IpToText(TextToIp(Segment2Base) + quint32(index));
}

// The source record a request from this adapter carries, as the journal writes it.
QString sourceRecordHex(const QString &address)
{
    QByteArray record(16, '\0');
    WriteIPv4Record(record, Wire::SourceOffset, TextToIp(address));
    return QString::fromLatin1(record.mid(Wire::SourceOffset, 8).toHex());
}

bool setLink(const QString &name, bool up)
{
    return QProcess::execute(u"ip"_s, {u"link"_s, u"set"_s, name, up ? u"up"_s : u"down"_s}) == 0;
}

// A link set up carries traffic only once the kernel has seen its carrier (the RUNNING flag):
// until then it drops what is sent, as a cable just plugged in does.
bool waitUntilRunning(const QString &name)
{
    QDeadlineTimer deadline(5000);
    while (!(QNetworkInterface::interfaceFromName(name).flags() & QNetworkInterface::IsRunning)) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
}

} // namespace

class TestAdaptersLab : public QObject
{
    Q_OBJECT

    LabSimulator m_segment1, m_segment2, m_stray, m_twin;
    std::unique_ptr<TDatagramEngine> m_engine;

    // One pulse where the lab is settled; two, as the window sends them, where a datagram may be
    // lost (the first scan through a link just raised).
    QList<TDeviceRecord> scan(int pulses = 1)
    {
        TScanDevices scan(m_engine.get(), {pulses, ListenMs / 3, ListenMs});
        const TOperationOutcome outcome = scan.exec();
        [&] { QVERIFY2(outcome.succeeded, qPrintable(outcome.detail)); }();
        return scan.devices();
    }

    static bool startIn(LabSimulator &sim, const QString &ns, int devices, const QStringList &arguments)
    {
        sim.setDeviceNamespace(ns);
        if (!sim.start(devices, arguments)) {
            qWarning("%s: %s", qPrintable(ns), qPrintable(sim.errorString()));
            return false;
        }
        return true;
    }

private slots:
    void initTestCase()
    {
        if (!LabSimulator::inLab() || QNetworkInterface::interfaceFromName(u"lab1"_s).index() == 0)
            QSKIP("runs in the PC namespace of a lab with two segments (lab up --segments 2)");
        StartupInit();
        QVERIFY(startIn(m_segment1, u"tarvino-dev"_s, Segment1Devices, {u"--broadcast-prefix"_s, u"16"_s}));
        QVERIFY(startIn(m_segment2, u"tarvino-dev2"_s, Segment2Devices,
                        {u"--base"_s, Segment2Base, u"--seed"_s, u"5"_s, u"--broadcast-prefix"_s, u"17"_s}));
        QVERIFY(startIn(m_stray, u"tarvino-stray"_s, 1, {u"--base"_s, StrayIp, u"--seed"_s, u"6"_s}));
        QVERIFY(startIn(m_twin, u"tarvino-twin"_s, 1,
                        {u"--base"_s, TwinIp, u"--seed"_s, u"7"_s, u"--broadcast-prefix"_s, u"17"_s}));
        // The second adapter is down when the program starts.
        QVERIFY(setLink(Lab1.name, false));
        m_engine = std::make_unique<TDatagramEngine>();
        QCOMPARE(m_engine->boundAddresses(), QList<QHostAddress>{QHostAddress(Lab0.address)});
    }

    void cleanupTestCase()
    {
        m_engine.reset();
        // The next test of the lab finds the adapter as it found it.
        if (setLink(Lab1.name, true))
            waitUntilRunning(Lab1.name);
    }

    void adapterRaisedAfterStartIsUsedByTheNextScan()
    {
        QList<TDeviceRecord> devices = scan();
        QVERIFY(std::all_of(devices.cbegin(), devices.cend(), [](const TDeviceRecord &d) { return d.AdapterName == Lab0.name; }));
        QCOMPARE(devices.size(), Segment1Devices);

        QVERIFY(setLink(Lab1.name, true));
        QVERIFY(waitUntilRunning(Lab1.name));
        devices = scan(2);
        QCOMPARE(devices.size(), Segment1Devices + Segment2Devices + 2); // the stray and the twin too
        QVERIFY(m_engine->boundAddresses().contains(QHostAddress(Lab1.address)));
    }

    void scanListsEveryDeviceOnceWithItsAdapter()
    {
        const QList<TDeviceRecord> devices = scan();
        QCOMPARE(devices.size(), Segment1Devices + Segment2Devices + 2);
        QSet<QByteArray> records;
        for (const TDeviceRecord &device : devices) {
            records.insert(QByteArray(reinterpret_cast<const char *>(device.Address.data()), 8));
            const Adapter expected = device.IpText.startsWith(u"198.18."_s) ? Lab0 : Lab1;
            QCOMPARE(device.AdapterName, expected.name);
            QCOMPARE(IpToText(device.AdapterAddress), expected.address);
        }
        QCOMPARE(records.size(), devices.size());
    }

    void commandsLeaveThroughTheDevicesAdapter_data()
    {
        QTest::addColumn<int>("segment");
        QTest::addColumn<bool>("configuration"); // a configuration read, else the DropBear switch
        QTest::newRow("segment 1, DropBear") << 1 << false;
        QTest::newRow("segment 2, DropBear") << 2 << false;
        QTest::newRow("segment 1, configuration") << 1 << true;
        QTest::newRow("segment 2, configuration") << 2 << true;
    }

    void commandsLeaveThroughTheDevicesAdapter()
    {
        QFETCH(int, segment);
        QFETCH(bool, configuration);
        scan(); // the engine learns which adapter hears each device
        LabSimulator &sim = segment == 1 ? m_segment1 : m_segment2;
        const Adapter adapter = segment == 1 ? Lab0 : Lab1;
        // Device 1: the twin shares device 0's address on segment 2.
        const QString ip = segment == 1 ? LabSimulator::deviceIp(1) : segment2Ip(1);
        const qsizetype before = sim.requests(ip).size();

        std::unique_ptr<TDeviceOperation> operation;
        if (configuration)
            operation = std::make_unique<TReadControllerText>(m_engine.get(), TDeviceTarget{ip}, TReadControllerText::Kind::Configuration, ShortLabTiming());
        else
            operation = std::make_unique<TDeviceCommand>(m_engine.get(), TDeviceTarget{ip}, Wire::Command::SetDropBear, TDeviceCommand::dropBear(), ShortLabTiming());
        const TOperationOutcome outcome = operation->exec();
        QVERIFY2(outcome.succeeded, qPrintable(outcome.errorText() + u" "_s + outcome.detail));

        const QList<QJsonObject> requests = sim.requests(ip).mid(before);
        QVERIFY(!requests.isEmpty());
        for (const QJsonObject &request : requests) {
            QVERIFY2(request.value(u"from"_s).toString().startsWith(adapter.address + u':'),
                     QJsonDocument(request).toJson(QJsonDocument::Compact).constData());
            if (request.value(u"port"_s).toInt() == Wire::DevicePort)
                QCOMPARE(request.value(u"source"_s).toString(), sourceRecordHex(adapter.address));
        }
        if (configuration)
            QVERIFY(std::any_of(requests.cbegin(), requests.cend(), [](const QJsonObject &r) { return r.value(u"port"_s).toInt() == Wire::BusPort; }));
    }

    void checkReportsAdaptersCountsAndTheDevicesToFix()
    {
        // Another program holds the controller bus's port.
        QProcess holder;
        holder.start(LabSimulator::devsimPath(),
                     {u"--no-address-check"_s, u"--bind"_s, u"127.0.0.1"_s, u"--devices"_s, u"1"_s, u"--bus-port"_s,
                      QString::number(Wire::BusPort), u"--device-port"_s, u"52391"_s, u"--ftp-port"_s, u"52392"_s,
                      u"--exit-with-parent"_s});
        QVERIFY(holder.waitForStarted());
        QVERIFY(holder.waitForReadyRead(LabSimulator::StartTimeoutMs));
        const auto stopHolder = qScopeGuard([&] {
            holder.terminate();
            holder.waitForFinished(5000);
        });

        TNetworkCheck check(m_engine.get(), {ListenMs, true, {Wire::DevicePort, Wire::BusPort}});
        QList<TNetworkFinding> told;
        connect(&check, &TNetworkCheck::findingReported, this, [&](const TNetworkFinding &f) { told << f; });
        QVERIFY(check.exec().succeeded);
        QCOMPARE(told, check.findings());
        QVERIFY(check.problemFound());
        const auto of = [&](TNetworkFinding::Kind kind) {
            QList<TNetworkFinding> found;
            for (const TNetworkFinding &f : told)
                if (f.kind == kind)
                    found << f;
            return found;
        };

        QStringList adapters;
        for (const TNetworkFinding &f : of(TNetworkFinding::Kind::Adapter))
            adapters << f.adapter;
        QVERIFY(adapters.contains(Lab0.name) && adapters.contains(Lab1.name));

        for (const TNetworkFinding &f : of(TNetworkFinding::Kind::Scan)) {
            if (f.adapter == Lab0.name)
                QVERIFY2(f.text.contains(u"%1 devices answered"_s.arg(Segment1Devices)), qPrintable(f.text));
            else if (f.adapter == Lab1.name)
                QVERIFY2(f.text.contains(u"%1 devices answered"_s.arg(Segment2Devices + 2)), qPrintable(f.text));
        }

        const QList<TNetworkFinding> subnet = of(TNetworkFinding::Kind::Subnet);
        QCOMPARE(subnet.size(), 1);
        QCOMPARE(subnet.first().ip, StrayIp);
        QCOMPARE(subnet.first().adapter, Lab1.name);
        QVERIFY2(subnet.first().text.contains(u"198.19.0.0/17"_s) && subnet.first().text.contains(u"dev lab1"_s),
                 qPrintable(subnet.first().text));

        const QList<TNetworkFinding> duplicates = of(TNetworkFinding::Kind::DuplicateAddress);
        QCOMPARE(duplicates.size(), 1);
        QCOMPARE(duplicates.first().ip, TwinIp);
        QCOMPARE(duplicates.first().macs.size(), 2);

        const QString holderName = u"tarvino-devsim (process %1)"_s.arg(holder.processId());
        const bool busPortNamed = std::any_of(told.cbegin(), told.cend(), [&](const TNetworkFinding &f) {
            return f.kind == TNetworkFinding::Kind::Port && f.isProblem() && f.text.contains(holderName);
        });
        QVERIFY2(busPortNamed, qPrintable(holderName));
    }

    void windowShowsTheFindingsAsTheyCome()
    {
        TNetworkCheckDialog *dialog = ShowNetworkCheck(nullptr, m_engine.get());
        const QPointer<TNetworkCheckDialog> guard(dialog);
        QSignalSpy finished(dialog, &TNetworkCheckDialog::checkFinished);
        QVERIFY(dialog->isChecking());
        QVERIFY(finished.wait(30000));
        QVERIFY(!dialog->isChecking());
        const auto *list = dialog->findChild<QListWidget *>(u"Findings"_s);
        QVERIFY(list);
        QStringList texts;
        for (int i = 0; i < list->count(); ++i)
            texts << list->item(i)->text();
        QVERIFY(std::any_of(texts.cbegin(), texts.cend(), [](const QString &t) { return t.contains(StrayIp); }));
        QVERIFY(finished.first().first().toInt() > 0); // the stray and the twin at least
        // Closed while a second check runs: the window goes at once, the check ends on its own.
        dialog->runCheck();
        dialog->close();
        QTRY_VERIFY(guard.isNull());
    }

    void doctorNamesTheProgramHoldingThePort()
    {
        // This test's engine holds UDP 52389: the command line's doctor must name this program.
        QProcess doctor;
        doctor.start(QStringLiteral(TARVINO_CLI_PATH), {u"doctor"_s, u"--json"_s, u"--wait"_s, u"0.5"_s});
        QVERIFY(doctor.waitForFinished(30000));
        QCOMPARE(doctor.exitCode(), 1);
        const QString name = QCoreApplication::applicationFilePath().section(u'/', -1).left(15); // as /proc names it
        const QString holder = u"%1 (process %2)"_s.arg(name).arg(QCoreApplication::applicationPid());
        bool named = false;
        for (const QByteArray &line : doctor.readAllStandardOutput().split('\n')) {
            if (line.isEmpty())
                continue;
            const QJsonObject finding = QJsonDocument::fromJson(line).object();
            QVERIFY2(!finding.isEmpty(), line.constData());
            named = named || (finding.value(u"kind"_s) == u"port"_s && finding.value(u"severity"_s) == u"problem"_s
                              && finding.value(u"text"_s).toString().contains(holder));
        }
        QVERIFY2(named, qPrintable(holder));
    }
};

QTEST_MAIN(TestAdaptersLab)
#include "tst_adapters_lab.moc"
