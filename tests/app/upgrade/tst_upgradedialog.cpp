// The upgrade window itself: opening, buttons, centring, the start/stop commands, and
// closing while an operation waits for the device.
#include "app/upgrade/filenameedit.h"
#include "app/upgrade/firmwarewarningdialog.h"
#include "app/properties/ipedit.h"
#include "upgradefixture.h"

#include "operations/commandoperations.h"
#include "protocol/errors.h"

#include <QAction>
#include <QLineEdit>
#include <QProgressBar>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolBar>
#include <QtTest>

using namespace Qt::StringLiterals;

class TestUpgradeForm : public QObject
{
    Q_OBJECT
    UpgradeFixture m_fx;
    QTemporaryDir m_dir;
    QString m_file;

private slots:
    void initTestCase()
    {
        QVERIFY2(LabSimulator::inLab(), "talks to simulated devices: run it inside the lab (ctest does)");
        QString error;
        // Device 1 confirms with a wrong code, device 2 never answers its commands.
        QVERIFY2(m_fx.start(4, {u"--fault"_s, u"1:wrong-ack"_s, u"--fault"_s, u"2:silent@52389"_s}, &error),
                 qPrintable(error));
        m_file = m_dir.filePath(u"image.bin"_s);
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(1000, 'x'));
    }

    void layout()
    {
        TUpgradeDialog &form = *m_fx.form;
        QCOMPARE(form.windowTitle(), u"Upgrade"_s);
        QCOMPARE(form.pages->count(), 2);
        QCOMPARE(form.pages->tabText(0), u"Upgrade"_s);
        QCOMPARE(form.pages->tabText(1), u"Config"_s);
        QCOMPARE(form.minimumSize(), QSize(439, 400));
        QVERIFY(form.ipEdit->isReadOnly());
        QCOMPARE(form.boardPanel->fileEdit->dialogTitle(), u"Choose the upgrade file"_s);
        QCOMPARE(form.boardPanel->fileEdit->defaultExtension(), u"bin"_s);
        QCOMPARE(form.controllerPanel->fileEdit->dialogTitle(), u"Choose the upgrade file"_s);
        QVERIFY(form.boardPanel->progressBar->isHidden());
        QCOMPARE(form.boardPanel->progressBar->height(), 4);
        // As shown: the mnemonics' ampersands are no part of the captions.
        const QStringList toolBar{form.configPage->readConfigAction->iconText(), form.configPage->writeConfigAction->iconText(),
                                  form.configPage->readLogsAction->iconText(), form.configPage->eraseLogsAction->iconText(),
                                  form.configPage->resetAction->iconText(), form.configPage->diagnoseAction->iconText()};
        QCOMPARE(toolBar, (QStringList{u"Read Config"_s, u"Write Config"_s, u"Read Logs"_s, u"Erase Logs"_s,
                                       u"Reset"_s, u"Diagnose"_s}));
        QCOMPARE(form.configPage->statusLabel->width(), 149);
        QVERIFY(form.configPage->editor->font().family() == u"Courier New"_s || form.configPage->editor->font().styleHint() == QFont::Monospace);
    }

    void openForEmptyListShowsNothing()
    {
        m_fx.form->OpenForDevice(nullptr); // would block in its modal loop if it showed the window
        QVERIFY(!m_fx.form->isVisible());
    }

    void openForDevice()
    {
        TDeviceRecord device;
        device.IpText = LabSimulator::deviceIp(0);
        device.Transport = TransportUdp;
        m_fx.form->configPage->editor->setPlainText(u"left over"_s);
        m_fx.form->pages->setCurrentIndex(1);
        QString shownIp;
        int shownPage = -1;
        QString memo = u"unread"_s;
        QTimer::singleShot(0, m_fx.form.get(), [&] {
            shownIp = m_fx.form->ipEdit->text();
            shownPage = m_fx.form->pages->currentIndex();
            memo = m_fx.form->configPage->editor->toPlainText();
            m_fx.form->cancelButton->click();
        });
        m_fx.form->OpenForDevice(&device);
        QCOMPARE(shownIp, device.IpText);
        QCOMPARE(shownPage, 0);
        QVERIFY(memo.isEmpty());
        QCOMPARE(m_fx.form->DeviceIP, device.IpText);
        QVERIFY(!m_fx.form->isVisible());
    }

    void firstOpeningBuildsTheControls()
    {
        // As the program creates it at start: no controls until it is first shown.
        TUpgradeDialog form(m_fx.jobs.get(), m_fx.mainWindow.get());
        QVERIFY(!form.pages);
        TDeviceRecord device;
        device.IpText = LabSimulator::deviceIp(0);
        device.Transport = TransportUdp;
        QString shownIp;
        bool controlsShown = false;
        QTimer::singleShot(0, &form, [&] {
            shownIp = form.ipEdit->text();
            controlsShown = form.boardPanel->upgradeButton->isVisible() && form.cancelButton->isVisible();
            form.cancelButton->click();
        });
        form.OpenForDevice(&device);
        QCOMPARE(shownIp, device.IpText);
        QVERIFY(controlsShown);
    }

    void centredOverTheMainWindow_data()
    {
        QTest::addColumn<QSize>("mainSize");
        QTest::newRow("main window smaller") << QSize(608, 250);
        QTest::newRow("main window larger") << QSize(1400, 900);
    }
    void centredOverTheMainWindow()
    {
        QFETCH(QSize, mainSize);
        m_fx.mainWindow->setGeometry(QRect(QPoint(300, 200), mainSize));
        m_fx.form->show(); // the window centres itself each time it is shown
        QVERIFY(QTest::qWaitForWindowExposed(m_fx.form.get()));
        m_fx.form->centreOverMainWindow();
        m_fx.form->hide();
        const QRect main = m_fx.mainWindow->frameGeometry();
        const QRect own = m_fx.form->frameGeometry();
        QCOMPARE(own.left(), main.left() + (main.width() - own.width()) / 2);
        QCOMPARE(own.top(), main.top() + (main.height() - own.height()) / 2);
    }

    void buttonsFollowFileAndDevice_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<bool>("existingFile");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("device and file") << LabSimulator::deviceIp(0) << true << true;
        QTest::newRow("missing file") << LabSimulator::deviceIp(0) << false << false;
        QTest::newRow("no device") << QString() << true << false;
    }
    void buttonsFollowFileAndDevice()
    {
        QFETCH(QString, device);
        QFETCH(bool, existingFile);
        QFETCH(bool, enabled);
        TUpgradeDialog &form = *m_fx.form;
        form.DeviceIP = device;
        const QString name = existingFile ? m_file : m_dir.filePath(u"missing.bin"_s);
        // Typed into the edit: the buttons follow at every change.
        form.boardPanel->fileEdit->setFileName(QString());
        form.controllerPanel->fileEdit->setFileName(QString());
        QTest::keyClicks(form.boardPanel->fileEdit->edit(), name);
        QTest::keyClicks(form.controllerPanel->fileEdit->edit(), name);
        QCOMPARE(form.boardPanel->upgradeButton->isEnabled(), enabled);
        QCOMPARE(form.controllerPanel->upgradeButton->isEnabled(), enabled);
        // One more character makes the name wrong; removing it makes it right again.
        QTest::keyClick(form.boardPanel->fileEdit->edit(), Qt::Key_X);
        QVERIFY(!form.boardPanel->upgradeButton->isEnabled());
        QTest::keyClick(form.boardPanel->fileEdit->edit(), Qt::Key_Backspace);
        QCOMPARE(form.boardPanel->upgradeButton->isEnabled(), enabled);
    }

    // The board's start/stop commands that the window's operations send, as one command each:
    // what the device received and how its answer is judged.
    void commands_data()
    {
        QTest::addColumn<int>("device");
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("result");
        const struct { int command; const char *name; } commands[] = {
            {5, "StartUpdater"}, {6, "StopUpdater"}, {7, "StartDaemon"}, {8, "StopDaemon"},
            {3, "StartFtpServer"}, {4, "StopFtpServer"}, {11, "SystemUpgrade"}};
        for (const auto &command : commands) {
            const QByteArray name = command.name;
            QTest::newRow(name + ", acknowledged") << 0 << command.command << int(ResultAcknowledged);
            QTest::newRow(name + ", wrong code") << 1 << command.command << int(ResultOtherReply);
        }
        // Silence costs the command's whole wait: one short and one long command.
        QTest::newRow("StartFtpServer, silent") << 2 << 3 << int(ResultNoReply);
        QTest::newRow("StopDaemon, silent") << 2 << 8 << int(ResultNoReply);
    }
    void commands()
    {
        QFETCH(int, device);
        QFETCH(int, command);
        QFETCH(int, result);
        m_fx.selectDevice(device);
        TUpgradeDialog &form = *m_fx.form;
        const int before = m_fx.received(device, 52389).size();
        TDeviceCommand step(form.engine(), form.deviceTarget(), Wire::Command(command), {}, form.timing());
        step.exec();
        QCOMPARE(int(step.result()), result);
        const QList<QJsonObject> received = m_fx.received(device, 52389).mid(before);
        QCOMPARE(received.size(), 1);
        QCOMPARE(received[0].value(u"cmd"_s).toInt(), command);
    }

    void loadFileData()
    {
        QCOMPARE(LoadFileData(m_file), QByteArray(1000, 'x'));
        bool raised = false;
        try {
            LoadFileData(m_dir.filePath(u"missing.bin"_s));
        } catch (const TarvinoError &e) {
            raised = e.message().contains(u"missing.bin"_s);
        }
        QVERIFY(raised);
    }

    void configControls()
    {
        TUpgradeDialog &form = *m_fx.form;
        form.configPage->statusLabel->setText(u"Reading Config"_s);
        form.configPage->statusLabel->show();
        form.configPage->disableControls();
        QVERIFY(!form.configPage->toolBar->isEnabled());
        QVERIFY(!form.configPage->readConfigAction->isEnabled() && !form.configPage->diagnoseAction->isEnabled());
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        form.configPage->enableControls();
        QVERIFY(form.configPage->toolBar->isEnabled() && form.configPage->resetAction->isEnabled() && form.configPage->readConfigAction->isEnabled());
        QVERIFY(form.configPage->statusLabel->text().isEmpty() && form.configPage->statusLabel->isHidden());
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    void closingWhileAStepWaits()
    {
        // The close box during a step that waits for a silent device: the window stays
        // until the step has ended, then closes by itself; nothing is cut short.
        m_fx.selectDevice(2);
        TUpgradeDialog &form = *m_fx.form;
        form.boardPanel->fileEdit->setFileName(m_file);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        bool closeIgnored = false;
        QTimer::singleShot(300, &form, [&] {
            form.close();
            closeIgnored = form.isVisible();
        });
        bool confirmed = true;
        {
            struct Operation : TUpgradeDialog
            {
                using TUpgradeDialog::BusyScope;
            };
            Operation::BusyScope busy(form);
            QVERIFY(!form.boardPanel->upgradeButton->isEnabled()); // no second operation meanwhile
            TDeviceCommand step(form.engine(), form.deviceTarget(), Wire::Command::StartFtpServer, {}, form.timing());
            step.exec();
            confirmed = step.result() == ResultAcknowledged;
        }
        QVERIFY(closeIgnored);
        QVERIFY(!confirmed);
        QVERIFY(form.CloseRequested());
        QTRY_VERIFY(!form.isVisible());
        QVERIFY(!form.CloseRequested());
    }
};

QTEST_MAIN(TestUpgradeForm)
#include "tst_upgradedialog.moc"
