// The controller firmware upgrade against a simulated device in the lab: what the device
// received and in which order, what it holds afterwards, what the user is shown, and how
// the window is left. The verify message's layout is also checked on its own.
#include "protocol/errors.h"
#include "app/upgrade/filenameedit.h"
#include "operations/commandoperations.h"
#include "app/upgrade/firmwarewarningdialog.h"
#include "protocol/resource.h"
#include "upgradefixture.h"
#include "protocol/wire.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonObject>
#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int Device = 0;
// Another developer's test may hold the engine's port for a while: retry, bounded.
constexpr int BindAttempts = 60;
constexpr unsigned long BindRetryMs = 1000;

// Bytes that differ from their neighbours and from the simulator's unwritten 0xFF.
QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 37 + 11) & 0x7F);
    return bytes;
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// "W addr n" / "R addr n" lines for consecutive chunks of the given sizes from address 0.
QStringList chunkLines(QChar kind, const QList<int> &sizes)
{
    QStringList lines;
    qint64 address = 0;
    for (int n : sizes) {
        lines << u"%1 %2 %3"_s.arg(kind).arg(address).arg(n);
        address += n;
    }
    return lines;
}

QStringList repeated(const QString &line, int times)
{
    QStringList lines;
    for (int i = 0; i < times; ++i)
        lines << line;
    return lines;
}

const QList<int> ThousandBytes{128, 128, 128, 128, 128, 128, 128, 104};

QStringList faultArgs(const QStringList &faults)
{
    QStringList args;
    for (const QString &fault : faults)
        args << u"--fault"_s << fault;
    return args;
}

int cursorShape()
{
    const QCursor *cursor = QApplication::overrideCursor();
    return cursor ? int(cursor->shape()) : -1;
}

} // namespace

class TestUpgradeControl : public QObject
{
    Q_OBJECT
    std::unique_ptr<UpgradeFixture> m_fx;
    QTemporaryDir m_dir;

    static TUpgradeDialog::Timing timing()
    {
        TUpgradeDialog::Timing t = UpgradeFixture::shortTiming();
        // The simulator answers within milliseconds; a silent controller costs three of these.
        t.bus.baseTimeoutMs = 300;
        return t;
    }

    // One simulated device with the given faults, the window pointed at it. The lab's ports are
    // shared with other test runs: while another one holds them, wait and retry, bounded.
    bool startLab(const QStringList &faults)
    {
        if (!LabSimulator::inLab()) {
            qWarning("talks to a simulated device: run it inside the lab (ctest does)");
            return false;
        }
        QString error;
        for (int attempt = 0; attempt < BindAttempts; ++attempt) {
            m_fx = std::make_unique<UpgradeFixture>();
            if (m_fx->start(1, faultArgs(faults), &error, timing())) {
                // The other Upgrade button has a file too: both must be off while an upgrade runs.
                m_fx->form->boardPanel->fileEdit->setFileName(writeImage(pattern(16), u"board.bin"_s));
                m_fx->selectDevice(Device);
                return true;
            }
            m_fx.reset();
            if (!error.contains(u"already in use"_s) && !error.startsWith(u"engine not bound"_s))
                break;
            QThread::msleep(BindRetryMs);
        }
        qWarning("%s", qPrintable(error));
        return false;
    }

    QString writeImage(const QByteArray &bytes, const QString &name = u"image.bin"_s)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
            return {};
        return path;
    }

    void chooseFile(const QString &path)
    {
        m_fx->form->controllerPanel->fileEdit->setFileName(path);
        m_fx->form->UpdateButtons();
    }

    // The bus frames the device received: "W addr n", "R addr n" or "C sub" (hex).
    QStringList busLines() const
    {
        QStringList lines;
        for (const QJsonObject &r : m_fx->received(Device, Wire::BusPort)) {
            const int fn = r.value(u"fn"_s).toInt(-1);
            if (fn == Wire::Bus::FunctionCommand)
                lines << u"C %1"_s.arg(r.value(u"sub"_s).toInt(), 2, 16, QLatin1Char('0'));
            else if (fn == Wire::Bus::FunctionWriteBlock || fn == Wire::Bus::FunctionReadBlock)
                lines << u"%1 %2 %3"_s.arg(QChar(fn == Wire::Bus::FunctionWriteBlock ? u'W' : u'R'))
                             .arg(r.value(u"addr"_s).toInteger())
                             .arg(r.value(u"n"_s).toInt());
            else
                lines << u"? "_s + r.value(u"error"_s).toString();
        }
        return lines;
    }

    // The command codes the device received on its datagram port, in order, without the scans
    // that look for it again after its upgrade.
    QList<int> commands() const
    {
        QList<int> codes;
        for (const QJsonObject &r : m_fx->received(Device, Wire::DevicePort))
            if (const int code = r.value(u"cmd"_s).toInt(-1); code != int(Wire::Command::Discover))
                codes << code;
        return codes;
    }

    // What every ending leaves: no label, both buttons back, the normal cursor.
    void verifyWindowRestored()
    {
        TUpgradeDialog &form = *m_fx->form;
        QVERIFY(form.controllerPanel->statusLine->text().isEmpty());
        QVERIFY(form.controllerPanel->statusLine->isHidden());
        QVERIFY(form.controllerPanel->upgradeButton->isEnabled());
        QVERIFY(form.boardPanel->upgradeButton->isEnabled());
        QCOMPARE(cursorShape(), -1);
        QVERIFY(!form.IsBusy());
    }

    static constexpr int StopDaemon = int(Wire::Command::StopDaemon);
    static constexpr int StartUpdater = int(Wire::Command::StartUpdater);
    static constexpr int StopUpdater = int(Wire::Command::StopUpdater);
    static constexpr int StartDaemon = int(Wire::Command::StartDaemon);

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        StartupInit(); // as the main window's creation does: the protocol code of every request
    }

    void cleanup()
    {
        m_fx.reset();
    }

    // ---- The verify message on its own ----

    void verifyErrorText_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QByteArray>("readBack");
        QTest::addColumn<QString>("expected");

        const QByteArray image = pattern(1000);
        auto with = [](QByteArray bytes, qsizetype at, quint8 value) {
            bytes[at] = static_cast<char>(value);
            return bytes;
        };
        QTest::newRow("equal") << image << image << QString();
        QTest::newRow("01A2 written 5A read 00")
            << with(image, 0x1A2, 0x5A) << with(image, 0x1A2, 0x00)
            << u"Verify Error\r\nAddress: 01A2\r\nWrite:   5A\r\nRead:    00"_s;
        QTest::newRow("first of several") << image << with(with(image, 0x20, 0xEE), 0x3E0, 0xEE)
                                          << u"Verify Error\r\nAddress: 0020\r\nWrite:   2B\r\nRead:    EE"_s;
        QTest::newRow("last byte") << image << with(image, 999, 0xFF)
                                   << u"Verify Error\r\nAddress: 03E7\r\nWrite:   6E\r\nRead:    FF"_s;
        QTest::newRow("first byte") << image << with(image, 0, 0xAB)
                                    << u"Verify Error\r\nAddress: 0000\r\nWrite:   0B\r\nRead:    AB"_s;
        const QByteArray large = pattern(0x12346);
        QTest::newRow("address past four digits")
            << with(large, 0x12345, 0xCD) << with(large, 0x12345, 0xAB)
            << u"Verify Error\r\nAddress: 12345\r\nWrite:   CD\r\nRead:    AB"_s;
        QTest::newRow("nothing read back") << image << QByteArray() << u"Verify Error"_s;
        QTest::newRow("read back short, same start") << image << image.first(500) << u"Verify Error"_s;
        QTest::newRow("read back short, differing first")
            << image << with(image.first(500), 0x100, 0x00)
            << u"Verify Error\r\nAddress: 0100\r\nWrite:   0B\r\nRead:    00"_s;
    }

    void verifyErrorText()
    {
        QFETCH(QByteArray, image);
        QFETCH(QByteArray, readBack);
        QFETCH(QString, expected);
        QCOMPARE(TControllerUpgradePanel::verifyErrorText(image, readBack), expected);
    }

    // ---- Against the simulated controller ----

    void successfulUpgrade_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QList<int>>("chunks");
        QTest::newRow("1000 bytes") << 1000 << ThousandBytes;
        QTest::newRow("one full chunk") << 128 << QList<int>{128};
        QTest::newRow("one byte over a chunk") << 129 << QList<int>{128, 1};
        QTest::newRow("one byte") << 1 << QList<int>{1};
    }

    void successfulUpgrade()
    {
        QFETCH(int, size);
        QFETCH(QList<int>, chunks);
        QVERIFY(startLab({}));
        const QByteArray image = pattern(size);
        chooseFile(writeImage(image));
        TUpgradeDialog &form = *m_fx->form;

        QList<int> values;
        QStringList phases;
        connect(form.controllerPanel->progressBar, &QProgressBar::valueChanged, this, [&](int value) {
            values << value;
            phases << form.controllerPanel->statusLine->text();
        });
        QVERIFY(form.controllerPanel->upgradeButton->isEnabled());
        form.controllerPanel->upgradeButton->click();

        QCOMPARE(m_fx->warningsShown, 1);
        QCOMPARE(m_fx->errors, QStringList());
        // Written from 0 in chunks, read back in the same chunks, then update mode; no reset.
        QCOMPARE(busLines(), chunkLines(u'W', chunks) + chunkLines(u'R', chunks) + QStringList{u"C fe"_s});
        QCOMPARE(commands(), (QList<int>{StopDaemon, StartUpdater, StopUpdater, StartDaemon}));
        qsizetype offset = 0;
        for (const QJsonObject &r : m_fx->received(Device, Wire::BusPort)) {
            if (r.value(u"fn"_s).toInt() != Wire::Bus::FunctionWriteBlock)
                continue;
            const int n = r.value(u"n"_s).toInt();
            QCOMPARE(r.value(u"data"_s).toString(), QString::fromLatin1(image.sliced(offset, n).toHex()));
            offset += n;
        }
        QCOMPARE(offset, qsizetype(size));

        // The firmware area holds the file byte for byte, and that is what went into update mode.
        const QJsonObject state = m_fx->sim->deviceState(Device);
        const QJsonObject controller = state.value(u"controller"_s).toObject();
        QCOMPARE(controller.value(u"firmwareSize"_s).toInt(), size);
        QCOMPARE(controller.value(u"firmwareSha256"_s).toString(), sha256(image));
        QCOMPARE(controller.value(u"updateModeCount"_s).toInt(), 1);
        QCOMPARE(controller.value(u"updateImageSha256"_s).toString(), sha256(image));
        QCOMPARE(state.value(u"updater"_s).toBool(), false);
        QCOMPARE(state.value(u"daemon"_s).toBool(), true);

        // The bar rises to the size while writing, starts again at 0 and rises while verifying.
        QList<int> expected{0};
        int done = 0;
        for (int n : chunks)
            expected << (done += n);
        expected += expected;
        QCOMPARE(values, expected);
        for (qsizetype i = 1; i <= chunks.size(); ++i) {
            QCOMPARE(phases.at(i), u"Writing Code"_s);
            QCOMPARE(phases.at(i + chunks.size() + 1), u"Verifying Code"_s);
        }
        QCOMPARE(form.controllerPanel->progressBar->maximum(), size);
        QCOMPARE(form.controllerPanel->progressBar->value(), size);
        QVERIFY(!form.controllerPanel->progressBar->isHidden());
        verifyWindowRestored();
    }

    void busFailure_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<int>("patchAt");
        QTest::addColumn<int>("patchValue");
        QTest::addColumn<QStringList>("expectedErrors");
        QTest::addColumn<QStringList>("expectedBus");

        const QStringList written = chunkLines(u'W', ThousandBytes);
        const QStringList readBack = chunkLines(u'R', ThousandBytes);
        const QString reset = u"C 00"_s;
        // The simulator corrupts a read-back byte by inverting it.
        QTest::newRow("read-back differs at 01A2, 5A")
            << QStringList{u"0:corrupt-readback=0x1A2"_s} << 0x1A2 << 0x5A
            << QStringList{u"Verify Error\r\nAddress: 01A2\r\nWrite:   5A\r\nRead:    A5"_s}
            << written + readBack + QStringList{reset};
        QTest::newRow("read-back differs at 01A2, FF read as 00")
            << QStringList{u"0:corrupt-readback=0x1A2"_s} << 0x1A2 << 0xFF
            << QStringList{u"Verify Error\r\nAddress: 01A2\r\nWrite:   FF\r\nRead:    00"_s}
            << written + readBack + QStringList{reset};
        QTest::newRow("read-back differs in the last byte")
            << QStringList{u"0:corrupt-readback=999"_s} << 999 << 0x3C
            << QStringList{u"Verify Error\r\nAddress: 03E7\r\nWrite:   3C\r\nRead:    C3"_s}
            << written + readBack + QStringList{reset};
        QTest::newRow("controller silent during read-back")
            << QStringList{u"0:silent@fn=0x6E@from=4"_s} << -1 << 0 << QStringList{u"Verify Error"_s}
            << written + readBack.first(3) + repeated(readBack.at(3), ControllerBus::Attempts) + QStringList{reset};
        QTest::newRow("write chunk unanswered")
            << QStringList{u"0:silent@fn=0x6F@from=3"_s} << -1 << 0
            << QStringList{u"Device not responding: Writing Code"_s}
            << written.first(2) + repeated(written.at(2), ControllerBus::Attempts) + QStringList{reset};
        QTest::newRow("update mode unanswered")
            << QStringList{u"0:silent@fn=0x64@sub=0xFE"_s} << -1 << 0
            << QStringList{u"Device not responding: Entring Update Mode"_s}
            << written + readBack + repeated(u"C fe"_s, ControllerBus::Attempts) + QStringList{reset};
    }

    // Every bus failure is told, resets the controller and puts the device back in service:
    // updater stopped, daemon started.
    void busFailure()
    {
        QFETCH(QStringList, faults);
        QFETCH(int, patchAt);
        QFETCH(int, patchValue);
        QFETCH(QStringList, expectedErrors);
        QFETCH(QStringList, expectedBus);
        QVERIFY(startLab(faults));
        QByteArray image = pattern(1000);
        if (patchAt >= 0)
            image[patchAt] = static_cast<char>(patchValue);
        chooseFile(writeImage(image));
        TUpgradeDialog &form = *m_fx->form;

        // While the message is up the operation still holds its buttons and cursor.
        QList<bool> enabledDuringMessage;
        QList<int> cursorDuringMessage;
        const auto record = form.showError;
        form.showError = [&, record](const QString &message) {
            enabledDuringMessage << form.controllerPanel->upgradeButton->isEnabled() << form.boardPanel->upgradeButton->isEnabled();
            cursorDuringMessage << cursorShape();
            record(message);
        };
        form.controllerPanel->upgradeButton->click();

        QCOMPARE(m_fx->errors, expectedErrors);
        QCOMPARE(enabledDuringMessage, (QList<bool>{false, false}));
        QCOMPARE(cursorDuringMessage, QList<int>{int(Qt::WaitCursor)});
        QCOMPARE(busLines(), expectedBus);
        QCOMPARE(commands(), (QList<int>{StopDaemon, StartUpdater, StopUpdater, StartDaemon}));
        const QJsonObject state = m_fx->sim->deviceState(Device);
        QCOMPARE(state.value(u"controller"_s).toObject().value(u"updateModeCount"_s).toInt(), 0);
        QCOMPARE(state.value(u"updater"_s).toBool(), false);
        QCOMPARE(state.value(u"daemon"_s).toBool(), true);
        QVERIFY(!form.controllerPanel->progressBar->isHidden());
        verifyWindowRestored();
    }

    void stepUnconfirmed_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QList<int>>("expectedCommands");
        QTest::addColumn<QStringList>("expectedBus");
        QTest::addColumn<QString>("message");

        const QStringList none;
        QTest::newRow("stop daemon, wrong code") << u"0:wrong-ack=8"_s << QList<int>{StopDaemon, StartDaemon} << none
                                                 << u"Device not responding: Stopping daemon"_s;
        QTest::newRow("start updater, wrong code")
            << u"0:wrong-ack=5"_s << QList<int>{StopDaemon, StartUpdater, StopUpdater, StartDaemon} << none
            << u"Device not responding: Starting updater"_s;
        // After the update-mode command the image is in: no reset; the daemon is started all the same.
        QTest::newRow("stop updater, wrong code")
            << u"0:wrong-ack=6"_s << QList<int>{StopDaemon, StartUpdater, StopUpdater, StartDaemon}
            << chunkLines(u'W', ThousandBytes) + chunkLines(u'R', ThousandBytes) + QStringList{u"C fe"_s}
            << u"Device not responding: Stopping updater\r\n"
               u"The device is left with its updater in an unknown state, daemon on."_s;
    }

    // A step the device does not confirm is told by its label; the steps that put the device
    // back still go out, and what could not be put back is told too.
    void stepUnconfirmed()
    {
        QFETCH(QString, fault);
        QFETCH(QList<int>, expectedCommands);
        QFETCH(QStringList, expectedBus);
        QFETCH(QString, message);
        QVERIFY(startLab({fault}));
        chooseFile(writeImage(pattern(1000)));
        m_fx->form->controllerPanel->upgradeButton->click();

        QCOMPARE(m_fx->errors, QStringList{message});
        QCOMPARE(commands(), expectedCommands);
        QCOMPARE(busLines(), expectedBus);
        // The bar appears only once the bus sequence starts.
        QCOMPARE(m_fx->form->controllerPanel->progressBar->isHidden(), expectedBus.isEmpty());
        verifyWindowRestored();
    }

    void warningDeclined_data()
    {
        QTest::addColumn<int>("result");
        QTest::newRow("Return") << int(TFirmwareWarningDialog::ResultReturn);
        QTest::newRow("close box") << int(TFirmwareWarningDialog::ResultClosed);
    }

    void warningDeclined()
    {
        QFETCH(int, result);
        QVERIFY(startLab({}));
        chooseFile(writeImage(pattern(1000)));
        m_fx->warningResult = result;
        m_fx->form->controllerPanel->upgradeButton->click();

        QCOMPARE(m_fx->warningsShown, 1);
        QCOMPARE(m_fx->errors, QStringList());
        QCOMPARE(m_fx->sim->requests(), QList<QJsonObject>());
        QVERIFY(m_fx->form->controllerPanel->progressBar->isHidden());
        verifyWindowRestored();
    }

    void imageGuards_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("refused");
        const qint64 space = Wire::Bus::AddressSpace;
        QTest::newRow("empty") << qint64(0) << true;
        QTest::newRow("one byte") << qint64(1) << false;
        QTest::newRow("whole address space") << space << false;
        QTest::newRow("one byte past the address space") << space + 1 << true;
    }

    // Images that cannot be sent are refused with a message before the warning; the
    // others reach the warning, which declines here so that nothing is sent either way.
    void imageGuards()
    {
        QFETCH(qint64, size);
        QFETCH(bool, refused);
        QVERIFY(startLab({}));
        const QString path = m_dir.filePath(u"guard.bin"_s);
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QVERIFY(file.resize(size));
        }
        chooseFile(path);
        m_fx->warningResult = TFirmwareWarningDialog::ResultReturn;
        m_fx->form->controllerPanel->upgradeButton->click();

        QCOMPARE(m_fx->warningsShown, refused ? 0 : 1);
        QCOMPARE(m_fx->errors.size(), refused ? 1 : 0);
        if (refused)
            QVERIFY2(m_fx->errors.first().contains(u"guard.bin"_s), qPrintable(m_fx->errors.first()));
        QCOMPARE(m_fx->sim->requests(), QList<QJsonObject>());
        verifyWindowRestored();
        QFile::remove(path);
    }

    // A read error of the file is told, and the device is not touched: the job reads the image
    // whole before the first request, and asks nothing.
    void readErrorSendsNothingAndIsTold()
    {
        // A sysfs attribute says 4096 bytes and holds fewer: reading it comes up short.
        const QString path = u"/sys/class/net/lo/address"_s;
        QFile probe(path);
        if (!probe.open(QIODevice::ReadOnly) || probe.size() <= probe.readAll().size())
            QSKIP("no file that reads shorter than its size here");
        QVERIFY(startLab({}));
        chooseFile(path);
        QVERIFY(m_fx->form->controllerPanel->upgradeButton->isEnabled());
        m_fx->form->controllerPanel->upgrade();

        QCOMPARE(m_fx->errors.size(), 1);
        QVERIFY2(m_fx->errors.first().contains(u"address"_s), qPrintable(m_fx->errors.first()));
        QCOMPARE(m_fx->warningsShown, 0);
        QCOMPARE(busLines(), QStringList());
        QCOMPARE(commands(), QList<int>());
        verifyWindowRestored();
    }

    // The page tells the upgrade's outcome when its operation ends; whether the device answered a
    // scan again follows, in the main window's status bar.
    void comeBackToldInTheMainWindow_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("told"); // how the message goes on after the device's address
        QTest::newRow("found again") << QString() << u"Upgraded; found again with "_s;
        // The test's own scan is the device's first discovery request; it answers no other.
        QTest::newRow("never answered again") << u"0:silent@52389@cmd=1@from=2"_s
                                              << u"Upgraded, but the device did not answer a scan within"_s;
    }
    void comeBackToldInTheMainWindow()
    {
        QFETCH(QString, fault);
        QFETCH(QString, told);
        QVERIFY(startLab(fault.isEmpty() ? QStringList() : QStringList{fault}));
        // The device as a scan lists it: the job knows it again by its record.
        TScanDevices scan(m_fx->serveur.get(), {1, 0, 500});
        QVERIFY(scan.exec().succeeded);
        QCOMPARE(scan.devices().size(), 1);
        m_fx->form->deviceRecord = scan.devices().first();
        chooseFile(writeImage(pattern(1000)));
        QStatusBar *statusBar = m_fx->mainWindow->statusBar();

        m_fx->form->controllerPanel->upgrade();
        QCOMPARE(m_fx->errors, QStringList());
        verifyWindowRestored();
        const QString expected = LabSimulator::deviceIp(Device) + u": "_s + told;
        QTRY_VERIFY2_WITH_TIMEOUT(statusBar->currentMessage().startsWith(expected), qPrintable(statusBar->currentMessage()),
                                  10000);
    }

    void nothingWithoutDeviceOrFile_data()
    {
        QTest::addColumn<bool>("withDevice");
        QTest::addColumn<bool>("withFile");
        QTest::newRow("no device") << false << true;
        QTest::newRow("no such file") << true << false;
    }

    void nothingWithoutDeviceOrFile()
    {
        QFETCH(bool, withDevice);
        QFETCH(bool, withFile);
        QVERIFY(startLab({}));
        chooseFile(withFile ? writeImage(pattern(10)) : m_dir.filePath(u"missing.bin"_s));
        if (!withDevice)
            m_fx->form->DeviceIP.clear();
        m_fx->form->controllerPanel->upgrade();

        QCOMPARE(m_fx->warningsShown, 0);
        QCOMPARE(m_fx->errors, QStringList());
        QCOMPARE(m_fx->sim->requests(), QList<QJsonObject>());
        QCOMPARE(cursorShape(), -1);
    }
};

QTEST_MAIN(TestUpgradeControl)
#include "tst_upgradecontrol.moc"
