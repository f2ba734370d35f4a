// The upgrade window itself: opening, buttons, centring, the start/stop steps, and
// closing while an operation waits for the device.
#include "filenameedit.h"
#include "formwarning.h"
#include "ipedit.h"
#include "upgradefixture.h"

#include "errors.h"

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

#include <array>

using namespace Qt::StringLiterals;

class TestUpgradeForm : public QObject
{
    Q_OBJECT
    UpgradeFixture m_fx;
    QTemporaryDir m_dir;
    QString m_file;

    using Step = bool (TUpgradeForm::*)();

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
        TUpgradeForm &form = *m_fx.form;
        QCOMPARE(form.windowTitle(), u"Upgrade"_s);
        QCOMPARE(form.PageControl->count(), 2);
        QCOMPARE(form.PageControl->tabText(0), u"Upgrade"_s);
        QCOMPARE(form.PageControl->tabText(1), u"Config"_s);
        QCOMPARE(form.minimumSize(), QSize(439, 400));
        QVERIFY(form.UpgradeIP->isReadOnly());
        QCOMPARE(form.UpgradeComFile->dialogTitle(), u"Choose the upgrade file"_s);
        QCOMPARE(form.UpgradeComFile->defaultExtension(), u"bin"_s);
        QCOMPARE(form.UpgradeControlFile->dialogTitle(), u"Choose the upgrade file"_s);
        QVERIFY(form.UpgradeComProgressBar->isHidden());
        QCOMPARE(form.UpgradeComProgressBar->height(), 4);
        // As shown: the mnemonics' ampersands are no part of the captions.
        const QStringList toolBar{form.ReadConfigBtn->iconText(), form.WriteConfigBtn->iconText(),
                                  form.ReadLogsBtn->iconText(), form.EraseLogsBtn->iconText(),
                                  form.ResetBtn->iconText(), form.DiagnoseBtn->iconText()};
        QCOMPARE(toolBar, (QStringList{u"Read Config"_s, u"Write Config"_s, u"Read Logs"_s, u"Erase Logs"_s,
                                       u"Reset"_s, u"Diagnose"_s}));
        QCOMPARE(form.ReadConfigLabel->width(), 149);
        QVERIFY(form.Memo->font().family() == u"Courier New"_s || form.Memo->font().styleHint() == QFont::Monospace);
    }

    void openForEmptyListShowsNothing()
    {
        DeviceList.clear();
        m_fx.form->OpenForDevice(); // would block in its modal loop if it showed the window
        QVERIFY(!m_fx.form->isVisible());
    }

    void openForDevice()
    {
        TEPS device;
        device.IpText = LabSimulator::deviceIp(0);
        device.Transport = TransportUdp;
        DeviceList = {TEPS(), device};
        SelectedDevice = 1;
        m_fx.form->Memo->setPlainText(u"left over"_s);
        m_fx.form->PageControl->setCurrentIndex(1);
        QString shownIp;
        int shownPage = -1;
        QString memo = u"unread"_s;
        QTimer::singleShot(0, m_fx.form.get(), [&] {
            shownIp = m_fx.form->UpgradeIP->text();
            shownPage = m_fx.form->PageControl->currentIndex();
            memo = m_fx.form->Memo->toPlainText();
            m_fx.form->CancelBtn->click();
        });
        m_fx.form->OpenForDevice();
        QCOMPARE(shownIp, device.IpText);
        QCOMPARE(shownPage, 0);
        QVERIFY(memo.isEmpty());
        QCOMPARE(m_fx.form->DeviceIP, device.IpText);
        QVERIFY(!m_fx.form->isVisible());
    }

    void firstOpeningBuildsTheControls()
    {
        // As the program creates it at start: no controls until it is first shown.
        TUpgradeForm form(m_fx.serveur.get(), m_fx.mainWindow.get());
        QVERIFY(!form.PageControl);
        TEPS device;
        device.IpText = LabSimulator::deviceIp(0);
        device.Transport = TransportUdp;
        DeviceList = {device};
        SelectedDevice = 0;
        QString shownIp;
        bool controlsShown = false;
        QTimer::singleShot(0, &form, [&] {
            shownIp = form.UpgradeIP->text();
            controlsShown = form.UpgradeComBtn->isVisible() && form.CancelBtn->isVisible();
            form.CancelBtn->click();
        });
        form.OpenForDevice();
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
        m_fx.form->FormShow();
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
        TUpgradeForm &form = *m_fx.form;
        form.DeviceIP = device;
        const QString name = existingFile ? m_file : m_dir.filePath(u"missing.bin"_s);
        // Typed into the edit: the buttons follow at every change.
        form.UpgradeComFile->setFileName(QString());
        form.UpgradeControlFile->setFileName(QString());
        QTest::keyClicks(form.UpgradeComFile->edit(), name);
        QTest::keyClicks(form.UpgradeControlFile->edit(), name);
        QCOMPARE(form.UpgradeComBtn->isEnabled(), enabled);
        QCOMPARE(form.UpgradeControlBtn->isEnabled(), enabled);
        // One more character makes the name wrong; removing it makes it right again.
        QTest::keyClick(form.UpgradeComFile->edit(), Qt::Key_X);
        QVERIFY(!form.UpgradeComBtn->isEnabled());
        QTest::keyClick(form.UpgradeComFile->edit(), Qt::Key_Backspace);
        QCOMPARE(form.UpgradeComBtn->isEnabled(), enabled);
    }

    void steps_data()
    {
        QTest::addColumn<int>("device");
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("command");
        QTest::addColumn<bool>("confirmed");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("label");
        const struct { int command; const char *label; } steps[] = {
            {5, "Starting updater"}, {6, "Stopping updater"}, {7, "Starting daemon"}, {8, "Stopping daemon"},
            {3, "Starting FTP server"}, {4, "Stopping FTP server"}, {11, "System Upgrading"}};
        for (int i = 0; i < 7; ++i) {
            const QByteArray name = steps[i].label;
            QTest::newRow(name + ", acknowledged") << 0 << i << steps[i].command << true << 1 << QString::fromLatin1(steps[i].label);
            QTest::newRow(name + ", wrong code") << 1 << i << steps[i].command << false << 2 << QString::fromLatin1(steps[i].label);
        }
        // Silence costs the command's whole wait: one short and one long command.
        QTest::newRow("Starting FTP server, silent") << 2 << 4 << 3 << false << 0 << u"Starting FTP server"_s;
        QTest::newRow("Stopping daemon, silent") << 2 << 3 << 8 << false << 0 << u"Stopping daemon"_s;
    }
    void steps()
    {
        QFETCH(int, device);
        QFETCH(int, step);
        QFETCH(int, command);
        QFETCH(bool, confirmed);
        QFETCH(int, result);
        QFETCH(QString, label);
        static constexpr std::array<Step, 7> steps = {
            &TUpgradeForm::StartUpdaterStep,   &TUpgradeForm::StopUpdaterStep,   &TUpgradeForm::StartDaemonStep,
            &TUpgradeForm::StopDaemonStep,     &TUpgradeForm::StartFtpServerStep, &TUpgradeForm::StopFtpServerStep,
            &TUpgradeForm::SystemUpgradeStep};
        m_fx.selectDevice(device);
        TUpgradeForm &form = *m_fx.form;
        for (QLabel *line : {form.UpgradeControlLabel, form.ReadConfigLabel, form.UpgradeComLabel})
            line->clear();
        const int before = m_fx.received(device, 52389).size();
        QCOMPARE((form.*steps.at(step))(), confirmed);
        QCOMPARE(int(form.StepResult), result);
        const QList<QJsonObject> commands = m_fx.received(device, 52389).mid(before);
        QCOMPARE(commands.size(), 1);
        QCOMPARE(commands[0].value(u"cmd"_s).toInt(), command);
        const bool controllerStep = step < 4;
        QCOMPARE(form.UpgradeControlLabel->text(), controllerStep ? label : QString());
        QCOMPARE(form.ReadConfigLabel->text(), controllerStep ? label : QString());
        QCOMPARE(form.UpgradeComLabel->text(), controllerStep ? QString() : label);
    }

    void loadFileData()
    {
        QCOMPARE(m_fx.form->LoadFileData(m_file), QByteArray(1000, 'x'));
        bool raised = false;
        try {
            m_fx.form->LoadFileData(m_dir.filePath(u"missing.bin"_s));
        } catch (const TarvinoError &e) {
            raised = e.message().contains(u"missing.bin"_s);
        }
        QVERIFY(raised);
    }

    void configControls()
    {
        TUpgradeForm &form = *m_fx.form;
        form.ReadConfigLabel->setText(u"Reading Config"_s);
        form.ReadConfigLabel->show();
        form.DisableConfigControls();
        QVERIFY(!form.ToolBar->isEnabled());
        QVERIFY(!form.ReadConfigBtn->isEnabled() && !form.DiagnoseBtn->isEnabled());
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        form.EnableConfigControls();
        QVERIFY(form.ToolBar->isEnabled() && form.ResetBtn->isEnabled() && form.ReadConfigBtn->isEnabled());
        QVERIFY(form.ReadConfigLabel->text().isEmpty() && form.ReadConfigLabel->isHidden());
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    void closingWhileAStepWaits()
    {
        // The close box during a step that waits for a silent device: the window stays
        // until the step has ended, then closes by itself; nothing is cut short.
        m_fx.selectDevice(2);
        TUpgradeForm &form = *m_fx.form;
        form.UpgradeComFile->setFileName(m_file);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        bool closeIgnored = false;
        QTimer::singleShot(300, &form, [&] {
            form.close();
            closeIgnored = form.isVisible();
        });
        bool confirmed = true;
        {
            struct Operation : TUpgradeForm
            {
                using TUpgradeForm::BusyScope;
            };
            Operation::BusyScope busy(form);
            QVERIFY(!form.UpgradeComBtn->isEnabled()); // no second operation meanwhile
            confirmed = form.StartFtpServerStep();
        }
        QVERIFY(closeIgnored);
        QVERIFY(!confirmed);
        QVERIFY(form.CloseRequested());
        QTRY_VERIFY(!form.isVisible());
        QVERIFY(!form.CloseRequested());
    }
};

QTEST_MAIN(TestUpgradeForm)
#include "tst_upgradeform.moc"
