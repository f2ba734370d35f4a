// The real main window in the lab's PC namespace, scanning the device simulator: the
// rows against the simulator's own model of each device, Search IP Address, DropBear
// with its address-resolution flush, Properties, and the one-instance rule of the
// built program.
#include "app/application.h"
#include "app/properties/propertiesdialog.h"
#include "fleet/history/operationjournal.h"
#include "fleet/history/sshtoggles.h"
#include "app/worksheet.h"
#include "app/mainwindow.h"
#include "protocol/resource.h"
#include "labsim.h"
#include "devsim/simdevice.h"
#include "app/singleinstance.h"
#include "app/stringgrid.h"
#include "protocol/devicerecord.h"
#include "protocol/wire.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QProgressBar>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QStatusBar>
#include <QTimer>
#include <QUdpSocket>
#include <QToolButton>
#include <QtTest>

#include <memory>

namespace {
constexpr quint64 Seed = 23;
constexpr int Devices = 12; // every variant of the generated devices
constexpr int ReplyWaitMs = 15000;
constexpr int CycleWaitMs = 10000;
// The lab is shared: another test may hold the PC's port 52389 or run its simulator.
constexpr int BusyRetryMs = 120000;
constexpr int BusyPauseMs = 2000;
// The one-instance rule: how long the program may take to come up, and a second copy to end.
constexpr int ProgramUpMs = 20000;
constexpr int SecondCopyMs = 10000;
constexpr int DropBearAttempts = 5;

// The hardware address as the grid shows it, from the model's 48-bit number.
QString macText(quint64 mac)
{
    QByteArray bytes;
    for (int shift = 40; shift >= 0; shift -= 8)
        bytes.append(char((mac >> shift) & 0xFF));
    return QString::fromLatin1(bytes.toHex('.').toUpper());
}

// The six cells of a device's row, from the model.
QStringList expectedRow(const DevSim::SimDevice &device)
{
    return {QString::fromLatin1(device.name),
            QString::fromLatin1(device.typeText),
            QString::fromLatin1(device.hardwareVersion),
            device.ipText(),
            macText(device.ipv4AddressRecord ? 0 : device.mac),
            QString::fromLatin1(device.bootstrapVersion)};
}

bool startSimulator(LabSimulator &sim, const QStringList &arguments)
{
    const QDeadlineTimer deadline(BusyRetryMs);
    QStringList args{QStringLiteral("--seed"), QString::number(Seed)};
    args += arguments;
    while (!sim.start(Devices, args)) {
        if (deadline.hasExpired() || !sim.errorString().contains(QLatin1String("cannot bind")))
            return false;
        qWarning("lab busy (%s), trying again", qPrintable(sim.errorString()));
        QThread::msleep(BusyPauseMs);
    }
    return true;
}

// Reads and closes every message box that opens while it lives.
class MessageBoxWatch : public QObject
{
public:
    MessageBoxWatch()
    {
        connect(&m_poll, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                m_seen << box->windowTitle() + QStringLiteral(": ") + box->text();
                box->done(QMessageBox::Ok);
            }
        });
        m_poll.start(50);
    }
    QStringList seen() const { return m_seen; }

private:
    QTimer m_poll;
    QStringList m_seen;
};

QString variantOf(const DevSim::SimDevice &device)
{
    QString text = device.ipText();
    if (device.ipv4AddressRecord)
        text += QStringLiteral(" type-2 record");
    if (!device.builtInType())
        text += QStringLiteral(" unknown type");
    if (device.name.isEmpty())
        text += QStringLiteral(" no name");
    return text;
}
} // namespace

class TestFormMainLab : public QObject
{
    Q_OBJECT

    QList<DevSim::SimDevice> m_model;
    LabSimulator m_sim;
    std::unique_ptr<TMainWindow> m_form;
    QTemporaryDir m_fakeIpDir;
    QHash<QString, QStringList> m_scannedRows; // by IP address, from the scan test

    QStringList row(int gridRow) const
    {
        QStringList cells;
        for (int column = 0; column < TMainWindow::ColumnCount; ++column)
            cells << m_form->StringGrid->Cells(column, gridRow);
        return cells;
    }

    bool deviceActionsEnabled(bool enabled) const
    {
        return m_form->PropertiesMenu->isEnabled() == enabled && m_form->PropertiesButton->isEnabled() == enabled
            && m_form->UpgradeButton->isEnabled() == enabled && m_form->DropBearButton->isEnabled() == enabled;
    }

    // The simulator (with its faults) and the window on it; the window binds the PC's port.
    void openWindow(const QStringList &simulatorArguments = {})
    {
        QVERIFY2(startSimulator(m_sim, simulatorArguments), qPrintable(m_sim.errorString()));
        const QDeadlineTimer deadline(BusyRetryMs);
        for (;;) {
            m_form = std::make_unique<TMainWindow>();
            if (m_form->engine()->bindError().isEmpty())
                break;
            QVERIFY2(!deadline.hasExpired(), qPrintable(m_form->engine()->bindError()));
            m_form.reset();
            QThread::msleep(BusyPauseMs);
        }
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    }

    // A whole scan cycle, from the scan button to the hidden progress bar.
    void scanToTheEnd()
    {
        m_form->ScanButton->click();
        QTRY_COMPARE_WITH_TIMEOUT(m_form->devices().size(), Devices, ReplyWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->Timer->isActive(), CycleWaitMs);
    }

    int gridRowOf(const QString &ip) const
    {
        for (int gridRow = 1; gridRow < m_form->StringGrid->RowCount(); ++gridRow)
            if (m_form->StringGrid->Cells(3, gridRow) == ip)
                return gridRow;
        return -1;
    }

    void selectGridRow(int gridRow)
    {
        TStringGrid *grid = m_form->StringGrid;
        const QRect cell = grid->visualRect(grid->model()->index(gridRow - 1, 1));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
        QCOMPARE(m_form->selectedDevice(), gridRow - 1);
    }

    int knownDevice() const
    {
        for (const DevSim::SimDevice &device : m_model)
            if (device.builtInType())
                return device.index;
        return -1;
    }
    int unknownDevice() const
    {
        for (const DevSim::SimDevice &device : m_model)
            if (!device.builtInType())
                return device.index;
        return -1;
    }

private slots:
    void initTestCase()
    {
        if (!LabSimulator::inLab())
            QSKIP("scans: runs in the lab's PC namespace (ctest -L lab)");
        m_model = DevSim::generateDevices(Devices, LabSimulator::deviceAddress(0).toIPv4Address(), Seed);
        QVERIFY(knownDevice() >= 0 && unknownDevice() >= 0);

        // The address-resolution flush goes through a stand-in for ip(8), first on PATH.
        QVERIFY(m_fakeIpDir.isValid());
        const QString fakeIp = m_fakeIpDir.filePath(QStringLiteral("ip"));
        QVERIFY(QFile::copy(QStringLiteral(TARVINO_SOURCE_DIR "/tests/app/fake-ip/ip"), fakeIp));
        QVERIFY(QFile::setPermissions(fakeIp, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("PATH", (m_fakeIpDir.path() + u':' + qEnvironmentVariable("PATH")).toLocal8Bit());
    }

    void cleanup()
    {
        m_form.reset();
        m_sim.stop();
        qunsetenv("TARVINO_FAKE_IP_LOG");
        qunsetenv("TARVINO_FAKE_IP_JOURNAL");
        QVERIFY(QApplication::activeModalWidget() == nullptr);
    }

    void scanCycle()
    {
        openWindow();
        QVERIFY(deviceActionsEnabled(false));
        m_form->ScanButton->click();
        // The first broadcast's answers: every device once, the device actions enabled.
        QTRY_COMPARE_WITH_TIMEOUT(m_form->devices().size(), Devices, ReplyWaitMs);
        QTRY_COMPARE(m_form->StringGrid->RowCount(), Devices + 1);
        QVERIFY(deviceActionsEnabled(true));
        QHash<QString, int> rowAfterFirst;
        for (const DevSim::SimDevice &device : std::as_const(m_model))
            rowAfterFirst.insert(device.ipText(), gridRowOf(device.ipText()));

        // Each device answers the second broadcast too, and keeps its row.
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->Timer->isActive(), CycleWaitMs);
        QVERIFY(m_form->ProgressBar->isHidden());
        QCOMPARE(m_form->devices().size(), Devices);
        QCOMPARE(m_form->StringGrid->RowCount(), Devices + 1);
        for (const DevSim::SimDevice &device : std::as_const(m_model)) {
            const QList<QJsonObject> requests = m_sim.requests(device.ipText(), Wire::DevicePort);
            QCOMPARE(requests.size(), 2);
            for (const QJsonObject &request : requests)
                QCOMPARE(request.value(QLatin1String("cmd")).toInt(), int(Wire::Command::Discover));
            QVERIFY(rowAfterFirst.value(device.ipText()) > 0);
            QCOMPARE(gridRowOf(device.ipText()), rowAfterFirst.value(device.ipText()));
            m_scannedRows.insert(device.ipText(), row(gridRowOf(device.ipText())));
        }
        QVERIFY(deviceActionsEnabled(true));
    }

    void scannedRow_data()
    {
        QTest::addColumn<int>("index");
        for (const DevSim::SimDevice &device : std::as_const(m_model))
            QTest::newRow(qPrintable(variantOf(device))) << device.index;
    }
    void scannedRow()
    {
        QFETCH(int, index);
        if (m_scannedRows.isEmpty())
            QSKIP("needs the rows of scanCycle");
        const DevSim::SimDevice &device = m_model[index];
        QCOMPARE(m_scannedRows.value(device.ipText()), expectedRow(device));
    }

    void searchIpAddress()
    {
        openWindow();
        scanToTheEnd();
        const DevSim::SimDevice &device = m_model[knownDevice()];
        int asked = 0;
        m_form->askAddress = [&](QString *text) {
            ++asked;
            *text = device.ipText();
            return true;
        };
        m_form->tutu1->trigger();
        QCOMPARE(asked, 1);
        // The scan's list gave way to the one device, which answered over TCP.
        QCOMPARE(m_form->devices().size(), 1);
        QCOMPARE(m_form->devices()[0].Transport, TransportTcp);
        QCOMPARE(m_form->devices()[0].IpText, device.ipText());
        QCOMPARE(m_form->StringGrid->RowCount(), 2);
        QCOMPARE(row(1), expectedRow(device));
        QVERIFY(deviceActionsEnabled(true));
        const QList<QJsonObject> requests = m_sim.requests(device.ipText(), Wire::DevicePort);
        QVERIFY(!requests.isEmpty());
        QCOMPARE(requests.last().value(QLatin1String("transport")).toString(), QStringLiteral("tcp"));
        QCOMPARE(requests.last().value(QLatin1String("cmd")).toInt(), int(Wire::Command::Discover));
        QVERIFY(!m_form->Timer->isActive()); // a search starts no scan cycle
    }

    void searchAsTyped_data()
    {
        QTest::addColumn<QString>("typed");  // %1: the device's address
        QTest::addColumn<QString>("fault");  // of the device
        QTest::addColumn<bool>("found");
        QTest::newRow("spaces around") << QStringLiteral("  %1 ") << QString() << true;
        QTest::newRow("reply in two segments") << QStringLiteral("%1") << QStringLiteral("split@tcp") << true;
        QTest::newRow("three octets") << QStringLiteral("198.18.1") << QString() << false;
        QTest::newRow("a name") << QStringLiteral("pump-3") << QString() << false;
    }

    // The typed text is the address without its spaces, or it is refused as typed; a reply that
    // comes in two segments is read whole.
    void searchAsTyped()
    {
        QFETCH(QString, typed);
        QFETCH(QString, fault);
        QFETCH(bool, found);
        const DevSim::SimDevice &device = m_model[knownDevice()];
        openWindow(fault.isEmpty() ? QStringList() : QStringList{QStringLiteral("--fault"), device.ipText() + u':' + fault});
        scanToTheEnd();
        QStringList errors;
        m_form->showError = [&](const QString &message) { errors << message; };
        const QString text = typed.contains(u"%1") ? typed.arg(device.ipText()) : typed;
        m_form->askAddress = [&](QString *answer) {
            *answer = text;
            return true;
        };
        const qsizetype before = m_sim.requests().size();
        m_form->tutu1->trigger();
        if (!found) {
            QCOMPARE(errors, QStringList{u'"' + text + QStringLiteral("\" is not an IP address.")});
            QCOMPARE(m_sim.requests().size(), before); // nothing sent
            QCOMPARE(m_form->devices().size(), Devices);      // the list as the scan left it
            return;
        }
        QCOMPARE(errors, QStringList());
        QCOMPARE(m_form->devices().size(), 1);
        QCOMPARE(m_form->devices()[0].IpText, device.ipText());
        QCOMPARE(row(1), expectedRow(device));
    }

    // Another program holds the engine's port: the start says which, once; a scan then sends
    // nothing and says why in the status bar instead of a box at every broadcast.
    void portTakenIsToldOnce()
    {
        m_form.reset();
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::AnyIPv4, Wire::DevicePort, QAbstractSocket::DontShareAddress));
        QFile comm(QStringLiteral("/proc/self/comm"));
        QVERIFY(comm.open(QIODevice::ReadOnly));
        const QString taken = QStringLiteral("Port %1 is in use by %2 (process %3)")
                                  .arg(Wire::DevicePort)
                                  .arg(QString::fromLocal8Bit(comm.readAll()).trimmed())
                                  .arg(QCoreApplication::applicationPid());
        QStringList boxes;
        const TErrorMessageSink previous = SetErrorMessageSink([&boxes](const QString &m) { boxes << m; });
        const auto restore = qScopeGuard([&] { SetErrorMessageSink(previous); });
        TMainWindow form;
        form.showError = [&boxes](const QString &message) { boxes << message; };
        QTRY_COMPARE(boxes, QStringList{taken});
        for (int scan = 0; scan < 2; ++scan) {
            form.Scan();
            QTRY_VERIFY_WITH_TIMEOUT(!form.Timer->isActive(), CycleWaitMs);
        }
        QCOMPARE(boxes, QStringList{taken});
        QCOMPARE(form.StatusBar->currentMessage(), taken + QStringLiteral(": no scan was sent."));
    }

    void searchCancelled()
    {
        openWindow();
        scanToTheEnd();
        m_form->askAddress = [](QString *) { return false; };
        m_form->tutu1->trigger();
        QCOMPARE(m_form->devices().size(), Devices);
        QCOMPARE(m_form->StringGrid->RowCount(), Devices + 1);
    }

    void dropBear_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("requests"); // command 9 requests the device gets
        QTest::addColumn<QString>("status"); // what the status bar tells, after the device's address
        QTest::newRow("acknowledged at once")
            << QString() << 1
            << QStringLiteral("toggled its SSH server; the device does not report whether it is now on or off");
        QTest::newRow("answered with a wrong code") << QStringLiteral("wrong-ack@cmd=%1").arg(int(Wire::Command::SetDropBear))
                                                     << DropBearAttempts
                                                     << QStringLiteral("answered the SSH toggle with another code; "
                                                                       "whether its SSH server changed is not known");
        // The device after it acknowledges each request first, from its own address: never taken
        // for the device's answer, which carries another code.
        QTest::newRow("another device acknowledges in between")
            << QStringLiteral("stray@cmd=%1 wrong-ack@cmd=%1").arg(int(Wire::Command::SetDropBear)) << DropBearAttempts
            << QStringLiteral("answered the SSH toggle with another code; whether its SSH server changed is not known");
    }
    void dropBear()
    {
        QFETCH(QString, fault);
        QFETCH(int, requests);
        QFETCH(QString, status);
        const DevSim::SimDevice &device = m_model[knownDevice()];
        QStringList faults;
        for (const QString &one : fault.split(u' ', Qt::SkipEmptyParts))
            faults << QStringLiteral("--fault") << device.ipText() + u':' + one;
        openWindow(faults);
        scanToTheEnd();
        selectGridRow(gridRowOf(device.ipText()));

        const QString row = QString::fromUtf8(QTest::currentDataTag()).replace(u' ', u'-');
        const QString flushLog = m_fakeIpDir.filePath(QStringLiteral("flush-%1.log").arg(row));
        qputenv("TARVINO_FAKE_IP_LOG", flushLog.toLocal8Bit());
        qputenv("TARVINO_FAKE_IP_JOURNAL", m_sim.journalPath().toLocal8Bit());
        MessageBoxWatch boxes;
        m_form->DropBearButton->click();

        auto isDropBear = [](const QJsonObject &request) {
            return request.value(QLatin1String("cmd")).toInt() == int(Wire::Command::SetDropBear);
        };
        const QList<QJsonObject> received = m_sim.requests(device.ipText(), Wire::DevicePort);
        QCOMPARE(std::count_if(received.cbegin(), received.cend(), isDropBear), qsizetype(requests));
        const QList<QJsonObject> all = m_sim.requests();
        QCOMPARE(std::count_if(all.cbegin(), all.cend(), isDropBear), qsizetype(requests)); // no other device
        // Command 9 toggles; a wrong acknowledgement does not stop the device from obeying.
        QCOMPARE(m_sim.deviceState(device.index).value(QLatin1String("dropBear")).toBool(), requests % 2 == 1);

        // One flush of the device's entry, before the first request reached it.
        QFile log(flushLog);
        QVERIFY2(log.open(QIODevice::ReadOnly), "ip(8) was not run");
        const QList<QByteArray> lines = log.readAll().trimmed().split('\n');
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines[0], "-4 neigh flush to " + device.ipText().toLatin1() + "\t0");

        QCOMPARE(boxes.seen(), QStringList());
        QCOMPARE(m_form->StatusBar->currentMessage(), device.ipText() + u' ' + status);
        QVERIFY(m_form->DropBearButton->isEnabled());
        QVERIFY(m_form->DropBearButton->isChecked()); // the pressed look flips with each click
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    void properties_data()
    {
        QTest::addColumn<bool>("knownType");
        QTest::addColumn<QString>("button"); // the dialog's button that closes it
        QTest::addColumn<bool>("scans");
        QTest::addColumn<QStringList>("historyOutcomes"); // this PC's SSH toggles of the device
        QTest::addColumn<QString>("sshText");
        QTest::newRow("Cancel: no new scan, toggled twice (a failed toggle is not counted)")
            << true << QStringLiteral("CancelBtn") << false
            << QStringList{u"succeeded"_qs, u"failed"_qs, u"succeeded"_qs} << u"SSH toggled 2 times since 2026-11-03 by this PC"_qs;
        QTest::newRow("OK: a new scan, never toggled") << true << QStringLiteral("OKBtn") << true << QStringList() << QString();
        QTest::newRow("unknown type: nothing opens") << false << QString() << false << QStringList() << QString();
    }
    void properties()
    {
        QFETCH(bool, knownType);
        QFETCH(QString, button);
        QFETCH(bool, scans);
        QFETCH(QStringList, historyOutcomes);
        QFETCH(QString, sshText);
        openWindow();
        scanToTheEnd();
        const DevSim::SimDevice &device = m_model[knownType ? knownDevice() : unknownDevice()];
        selectGridRow(gridRowOf(device.ipText()));
        QTemporaryDir historyDir;
        const TOperationJournal journal(historyDir.filePath(u"history.jsonl"_qs));
        QDateTime when(QDate(2026, 11, 3), QTime(10, 0));
        for (const QString &outcome : historyOutcomes) {
            TJournalEntry entry;
            entry.when = when;
            entry.mac = TMainWindow::MacToText(u":"_qs, device.mac);
            entry.ip = device.ipText();
            entry.operation = SshToggleOperation;
            entry.outcome = outcome;
            QVERIFY(journal.append(entry));
            when = when.addDays(1);
        }
        m_form->Worksheet->setJournal(&journal);

        QString shownIp;
        QString shownSsh;
        bool opened = false;
        int waits = 0;
        QTimer closer;
        connect(&closer, &QTimer::timeout, this, [&] {
            auto *dialog = qobject_cast<TPropertiesDialog *>(QApplication::activeModalWidget());
            if (!dialog || opened)
                return;
            // The history is read on a worker: the text arrives after the dialog shows.
            if (!sshText.isEmpty() && dialog->sshToggleText().isEmpty() && ++waits < 100)
                return;
            opened = true;
            shownIp = dialog->local_eps().IpText;
            shownSsh = dialog->sshToggleText();
            if (auto *close = dialog->findChild<QPushButton *>(button))
                QTest::mouseClick(close, Qt::LeftButton);
            else
                dialog->reject();
        });
        closer.start(50);
        m_form->PropertiesButton->click();
        closer.stop();

        QCOMPARE(opened, knownType);
        if (knownType) {
            QCOMPARE(shownIp, device.ipText());
            QCOMPARE(shownSsh, sshText);
        }
        QCOMPARE(m_form->Timer->isActive(), scans);
        m_form->Worksheet->setJournal(nullptr);
        QVERIFY(m_form->findChildren<TPropertiesDialog *>().isEmpty()); // released after use
    }

    // The lock itself, in this process: one holder at a time, freed with its holder, and the
    // holder told when a later copy asks for its window.
    void lockIsExclusive()
    {
        const QString identity = QStringLiteral("TST-ONE-COPY-%1").arg(QCoreApplication::applicationPid());
        auto first = std::make_unique<TSingleInstance>(identity);
        QVERIFY(first->Acquire());
        QSignalSpy raised(first.get(), &TSingleInstance::raiseRequested);
        {
            TSingleInstance second(identity);
            QVERIFY(!second.Acquire());
            QVERIFY(second.RaiseFirstCopy(2000));
        }
        QTRY_COMPARE(raised.count(), 1);
        first.reset();
        TSingleInstance third(identity);
        QVERIFY(third.Acquire());
        QVERIFY(!TSingleInstance(identity + QStringLiteral("-OTHER")).RaiseFirstCopy(200));
    }

    void secondCopyRaisesTheFirst()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        QProcess first;
        QVERIFY(startProgram(first, home.path()));
        const auto endFirst = qScopeGuard([&] { endProgram(first); });
        QVERIFY2(waitUntilListening(first, home.path()), first.readAllStandardError().constData());

        QProcess second;
        second.setProcessEnvironment(programEnvironment(home.path()));
        QElapsedTimer clock;
        clock.start();
        second.start(QStringLiteral(TARVINO_EXECUTABLE), {});
        QVERIFY(second.waitForFinished(SecondCopyMs));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY2(clock.elapsed() < SecondCopyMs / 2, qPrintable(QString::number(clock.elapsed())));
        // It said nothing and showed nothing.
        QCOMPARE(second.readAllStandardError(), QByteArray());
        QCOMPARE(second.readAllStandardOutput(), QByteArray());

        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += first.readAllStandardError()).contains("tarvino: raised by a second copy"),
                                 SecondCopyMs);
        QCOMPARE(said.count("tarvino: raised by a second copy"), 1);
        QCOMPARE(first.state(), QProcess::Running); // the first copy goes on
    }

    // A copy that was killed, with no chance to clean up, does not keep the next one out.
    void killedCopyLeavesNoLock()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        QProcess killed;
        QVERIFY(startProgram(killed, home.path()));
        QVERIFY2(waitUntilListening(killed, home.path()), killed.readAllStandardError().constData());
        killed.kill();
        QVERIFY(killed.waitForFinished(5000));

        QProcess next;
        QVERIFY(startProgram(next, home.path()));
        const auto endNext = qScopeGuard([&] { endProgram(next); });
        QVERIFY2(waitUntilListening(next, home.path()), next.readAllStandardError().constData());
        QCOMPARE(next.state(), QProcess::Running);
    }

private:
    // The built program, with a temporary folder of its own (where the lock lives when it is a file).
    static QProcessEnvironment programEnvironment(const QString &home)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), home);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("default.info=true"));
        return environment;
    }

    static bool startProgram(QProcess &process, const QString &home)
    {
        process.setProcessEnvironment(programEnvironment(home));
        process.start(QStringLiteral(TARVINO_EXECUTABLE), {});
        return process.waitForStarted(5000);
    }

    static void endProgram(QProcess &process)
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate(); // by its process id
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(2000);
        }
    }

    // Up once it holds the lock and listens for later copies.
    static bool waitUntilListening(const QProcess &process, const QString &home)
    {
        const QString identity = TSingleInstance::IdentityOf(QStringLiteral(TARVINO_EXECUTABLE));
        const QString channel = TSingleInstance::ChannelIsAbstract()
                                    ? TSingleInstance::ChannelName(identity)
                                    : QDir(home).filePath(TSingleInstance::ChannelName(identity));
        const QDeadlineTimer up(ProgramUpMs);
        while (!up.hasExpired() && process.state() == QProcess::Running) {
            QLocalSocket probe;
            if (TSingleInstance::ChannelIsAbstract())
                probe.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
            probe.connectToServer(channel);
            if (probe.waitForConnected(200))
                return true;
            QThread::msleep(100);
        }
        return false;
    }
};

int main(int argc, char **argv)
{
    TApplication app(argc, argv);
    TestFormMainLab test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow_lab.moc"
