// The communication board's firmware upgrade against a simulated device in the lab: the
// commands and FTP lines the device received, in order; the file its server stored, byte for
// byte under its bare name; what the window shows during the upload and how it is left; the
// paced repaints of the progress bar.
#include "protocol/errors.h"
#include "app/upgrade/filenameedit.h"
#include "app/upgrade/firmwarewarningdialog.h"
#include "ftp/ftpclient.h"
#include "protocol/resource.h"
#include "testfiles.h"
#include "upgradefixture.h"
#include "protocol/wire.h"

#include <QApplication>
#include <QDir>
#include <QGroupBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <cmath>
#include <csignal>
#include <limits>
#include <memory>
#include <sys/types.h>

using namespace Qt::StringLiterals;

namespace {

// The device the tests talk to; the other one must stay untouched.
constexpr int Device = 0;
constexpr int Devices = 2;
// Another developer's test may hold the simulator's or the engine's ports for a while: retry, bounded.
constexpr int BindAttempts = 60;
constexpr unsigned long BindRetryMs = 1000;
// Short enough for a test, long enough for a loaded machine; whole seconds name them in messages.
constexpr Ftp::Limits Limits{3000, 3000, 3000, 2000};

constexpr int StartFtp = int(Wire::Command::StartFtpServer);
constexpr int StopFtp = int(Wire::Command::StopFtpServer);
constexpr int Upgrade = int(Wire::Command::SystemUpgrade);

const QString Folder = u"images/release 2"_s;
const QString FileName = u"board fw-2.4.bin"_s;

int cursorShape()
{
    const QCursor *cursor = QApplication::overrideCursor();
    return cursor ? int(cursor->shape()) : -1;
}

// What the window showed at each value of the progress bar.
struct Seen
{
    QList<int> values;
    QStringList labels;
    bool labelShown = true;
    bool barShown = true;
    bool buttonsDisabled = true;
    bool hourglass = true;
};

// Counts the paints of a widget and the bar value each showed.
class PaintRecorder : public QObject
{
public:
    explicit PaintRecorder(QProgressBar *bar) : m_bar(bar) { bar->installEventFilter(this); }
    QList<int> painted;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_bar && event->type() == QEvent::Paint)
            painted << m_bar->value();
        return false;
    }

private:
    QProgressBar *m_bar;
};

} // namespace

class TestUpgradeCom : public QObject
{
    Q_OBJECT
    std::unique_ptr<UpgradeFixture> m_fx;
    QTemporaryDir m_dir;
    // The engine ends its wait for a reply on a coarse timer, which may fire a little before the
    // wait is over; with no other event to come it then waits until one comes. Until the engine
    // ends its waits on its own, this heartbeat keeps an unanswered step from hanging the test.
    QTimer m_heartbeat;

    static TUpgradeDialog::Timing timing()
    {
        TUpgradeDialog::Timing t = UpgradeFixture::shortTiming();
        t.ftp = Limits;
        return t;
    }

    // Two simulated devices with the given faults and options, the window pointed at the first.
    bool startLab(const QStringList &simArguments)
    {
        QString error;
        for (int attempt = 0; attempt < BindAttempts; ++attempt) {
            m_fx = std::make_unique<UpgradeFixture>();
            if (m_fx->start(Devices, simArguments, &error, timing())) {
                // A controller image too, so that both Upgrade buttons are due back afterwards.
                m_fx->form->controllerPanel->fileEdit->setFileName(writeFile(u"controller.bin"_s, "image"));
                m_fx->selectDevice(Device);
                return true;
            }
            m_fx.reset();
            // Only one simulator and one engine fit the lab at a time.
            if (!error.startsWith(u"engine not bound"_s) && !error.contains(u"already in use"_s))
                break;
            QThread::msleep(BindRetryMs);
        }
        qWarning("%s", qPrintable(error));
        return false;
    }

    static QStringList faultArgs(const QStringList &faults)
    {
        QStringList args;
        for (const QString &fault : faults)
            args << u"--fault"_s << fault;
        return args;
    }

    QString writeFile(const QString &relativePath, const QByteArray &bytes)
    {
        return WriteTestFile(QDir(m_dir.path()), relativePath, bytes);
    }

    // The file as the technician picks it: a full path with folders.
    QString writeImage(const QByteArray &bytes)
    {
        return writeFile(Folder + u'/' + FileName, bytes);
    }

    void chooseFile(const QString &path)
    {
        m_fx->form->boardPanel->fileEdit->setFileName(path);
        m_fx->form->UpdateButtons();
    }

    // Runs the click as a button would, but catches what would reach the general handler.
    QString click()
    {
        try {
            m_fx->form->boardPanel->upgrade();
        } catch (const FtpError &error) {
            return error.message();
        }
        return {};
    }

    void recordProgress(Seen &seen)
    {
        TUpgradeDialog &form = *m_fx->form;
        connect(form.boardPanel->progressBar, &QProgressBar::valueChanged, this, [&form, &seen](int value) {
            seen.values << value;
            seen.labels << form.boardPanel->statusLine->text();
            seen.labelShown = seen.labelShown && !form.boardPanel->statusLine->isHidden();
            // Reset to 0 first, then shown: shown while the data goes out.
            seen.barShown = seen.barShown && (value == 0 || !form.boardPanel->progressBar->isHidden());
            seen.buttonsDisabled =
                seen.buttonsDisabled && !form.boardPanel->upgradeButton->isEnabled() && !form.controllerPanel->upgradeButton->isEnabled();
            seen.hourglass = seen.hourglass && cursorShape() == int(Qt::WaitCursor);
        });
    }

    // The command codes the device received on its datagram port, in order.
    // What a device received on its command port, without the scans that look for an upgraded
    // board again after its upgrade (every device hears a broadcast).
    QList<QJsonObject> commandRequests(int device) const
    {
        QList<QJsonObject> requests = m_fx->received(device, Wire::DevicePort);
        requests.removeIf([](const QJsonObject &r) { return r.value(u"cmd"_s).toInt(-1) == int(Wire::Command::Discover); });
        return requests;
    }
    QList<int> commands() const
    {
        QList<int> codes;
        for (const QJsonObject &r : commandRequests(Device))
            codes << r.value(u"cmd"_s).toInt(-1);
        return codes;
    }

    // The FTP lines a device's server journalled, per control connection: "connect", then each
    // command line as received; PORT with the lab PC's address and any port reads "PORT".
    QList<QStringList> ftpSessions(int device) const
    {
        QStringList peers;
        QList<QStringList> sessions;
        for (const QJsonObject &request : m_fx->received(device, Wire::FtpPort)) {
            const QString from = request.value(u"from"_s).toString();
            if (!peers.contains(from)) {
                peers << from;
                sessions << QStringList{};
            }
            QString line = request.value(u"ftp"_s).toString();
            if (line.startsWith(u"PORT 198,18,0,1,"_s) && line.mid(5).split(u',').size() == 6)
                line = u"PORT"_s;
            sessions[peers.indexOf(from)] << line;
        }
        return sessions;
    }

    static QStringList exchange(bool password)
    {
        QStringList lines{u"connect"_s, u"user ftp"_s};
        if (password)
            lines << u"pass "_s + QString::fromLatin1(Wire::FtpPassword);
        return lines << u"type I"_s << u"syst"_s << u"DELE "_s + FileName << u"PORT"_s << u"STOR "_s + FileName
                     << u"Quit"_s;
    }

    // What every ending leaves: no status line, both buttons back, the normal cursor.
    void verifyWindowRestored() { verifyWindowRestored(*m_fx->form); }
    void verifyWindowRestored(TUpgradeDialog &form)
    {
        QVERIFY(form.boardPanel->statusLine->text().isEmpty());
        QVERIFY(form.boardPanel->statusLine->isHidden());
        QVERIFY(form.boardPanel->upgradeButton->isEnabled());
        QVERIFY(form.controllerPanel->upgradeButton->isEnabled());
        QCOMPARE(cursorShape(), -1);
        QVERIFY(!form.IsBusy());
        QCOMPARE(m_fx->errors, QStringList());
    }

    // Whether the window closed once the operation had ended.
    bool windowClosed(QSignalSpy &rejected)
    {
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        return rejected.count() == 1 && !m_fx->form->CloseRequested();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(LabSimulator::inLab(), "talks to simulated devices: run it inside the lab (ctest does)");
        QVERIFY(m_dir.isValid());
        StartupInit(); // as the main window's creation does: the protocol code of every request
        m_heartbeat.start(100);
    }

    void cleanup()
    {
        m_fx.reset();
    }

    // ---- Nothing to do ----

    void nothingToDo_data()
    {
        QTest::addColumn<bool>("device");
        QTest::addColumn<QString>("file"); // relative to the test's folder; empty: the image
        QTest::newRow("no device") << false << QString();
        QTest::newRow("no such file") << true << u"missing.bin"_s;
        QTest::newRow("a folder") << true << Folder;
        QTest::newRow("no file name") << true << u"-"_s;
    }

    void nothingToDo()
    {
        QFETCH(bool, device);
        QFETCH(QString, file);
        QVERIFY(startLab({}));
        const QString image = writeImage(RandomBytes(1000, 1));
        chooseFile(file.isEmpty() ? image : file == u"-"_s ? QString() : m_dir.filePath(file));
        if (!device) {
            m_fx->form->DeviceIP.clear();
            m_fx->form->UpdateButtons();
        }
        QVERIFY(!m_fx->form->boardPanel->upgradeButton->isEnabled());
        QCOMPARE(click(), QString());

        QCOMPARE(m_fx->warningsShown, 0);
        QCOMPARE(cursorShape(), -1);
        QVERIFY(m_fx->form->boardPanel->statusLine->isHidden());
        QCOMPARE(commands(), QList<int>());
        QCOMPARE(ftpSessions(Device), QList<QStringList>());
    }

    // ---- The warning ----

    void warningDeclined_data()
    {
        QTest::addColumn<int>("result");
        QTest::newRow("Return") << TFirmwareWarningDialog::ResultReturn;
        QTest::newRow("close box") << TFirmwareWarningDialog::ResultClosed;
        QTest::newRow("any other result") << 1;
    }

    void warningDeclined()
    {
        QFETCH(int, result);
        QVERIFY(startLab({u"--ftp-always-on"_s}));
        chooseFile(writeImage(RandomBytes(1000, 2)));
        m_fx->warningResult = result;
        QSignalSpy rejected(m_fx->form.get(), &QDialog::rejected);
        QCOMPARE(click(), QString());

        QCOMPARE(m_fx->warningsShown, 1);
        QCOMPARE(commands(), QList<int>());
        QCOMPARE(ftpSessions(Device), QList<QStringList>());
        QVERIFY(!windowClosed(rejected));
        verifyWindowRestored();
    }

    void warningKeys_data()
    {
        QTest::addColumn<int>("key");
        QTest::newRow("Escape") << int(Qt::Key_Escape);
        QTest::newRow("Return") << int(Qt::Key_Return);
    }

    // The real warning dialog, answered from the keyboard: nothing reaches the device.
    void warningKeys()
    {
        QFETCH(int, key);
        QVERIFY(startLab({u"--ftp-always-on"_s}));
        // A window of its own: the fixture's answers the warning itself.
        TUpgradeDialog form(m_fx->jobs.get(), m_fx->mainWindow.get(), timing());
        form.CreateControls();
        form.showError = [this](const QString &message) { m_fx->errors << message; };
        form.controllerPanel->fileEdit->setFileName(m_fx->form->controllerPanel->fileEdit->fileName());
        form.boardPanel->fileEdit->setFileName(writeImage(RandomBytes(1000, 6)));
        form.DeviceIP = LabSimulator::deviceIp(Device);
        form.DeviceTransport = TransportUdp;
        form.UpdateButtons();

        QString shownText;
        int result = -1;
        int ticks = 0;
        QTimer answer;
        connect(&answer, &QTimer::timeout, this, [&] {
            auto *warning = qobject_cast<TFirmwareWarningDialog *>(QApplication::activeModalWidget());
            if (!warning) {
                if (++ticks > 250) // no dialog after a while: give up
                    answer.stop();
                return;
            }
            answer.stop();
            shownText = warning->Label1->text();
            QTest::keyClick(warning->focusWidget() ? warning->focusWidget() : warning, Qt::Key(key));
            if (warning->isVisible()) // the key did nothing: end it so that the test goes on
                warning->done(-1);
            else
                result = warning->result();
        });
        answer.start(20);
        try {
            form.boardPanel->upgrade();
        } catch (const FtpError &error) {
            QFAIL(qPrintable(error.message()));
        }

        QCOMPARE(shownText, TFirmwareWarningDialog::WarningText());
        QCOMPARE(result, TFirmwareWarningDialog::ResultReturn);
        QCOMPARE(commands(), QList<int>());
        QCOMPARE(ftpSessions(Device), QList<QStringList>());
        verifyWindowRestored(form);
    }

    // While the warning is up, the operation already holds the buttons and the hourglass.
    void warningShownDuringOperation()
    {
        QVERIFY(startLab({}));
        chooseFile(writeImage(RandomBytes(10, 3)));
        TUpgradeDialog &form = *m_fx->form;
        QList<bool> enabled;
        int cursor = 0;
        form.runWarning = [&] {
            enabled << form.boardPanel->upgradeButton->isEnabled() << form.controllerPanel->upgradeButton->isEnabled();
            cursor = cursorShape();
            return int(TFirmwareWarningDialog::ResultReturn);
        };
        QCOMPARE(click(), QString());
        QCOMPARE(enabled, (QList<bool>{false, false}));
        QCOMPARE(cursor, int(Qt::WaitCursor));
        verifyWindowRestored();
    }

    // ---- Uploads ----

    void upload_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<bool>("password");
        QTest::addColumn<QList<int>>("sizes"); // one upgrade per size, in turn
        QTest::newRow("331 then 230, several chunks") << QStringList() << true << QList<int>{3 * 1024 * 1024 + 5};
        QTest::newRow("230 at user: no password line")
            << QStringList{u"0:ftp-user-230"_s} << false << QList<int>{int(Ftp::ChunkSize) + 1};
        QTest::newRow("426 then 226") << QStringList{u"0:ftp-426"_s} << true << QList<int>{200000};
        // The first upload finds no remote file (DELE fails), the second replaces the first.
        QTest::newRow("missing, then present remote file") << QStringList() << true << QList<int>{150001, 70000};
        QTest::newRow("one chunk exactly") << QStringList() << true << QList<int>{int(Ftp::ChunkSize)};
        QTest::newRow("one byte") << QStringList() << true << QList<int>{1};
    }

    void upload()
    {
        QFETCH(QStringList, faults);
        QFETCH(bool, password);
        QFETCH(QList<int>, sizes);
        QVERIFY(startLab(faultArgs(faults)));
        TUpgradeDialog &form = *m_fx->form;
        // Shown, so that the paints of the bar can be counted during the real transfer.
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));

        QList<QStringList> expectedSessions;
        QByteArray content;
        for (int round = 0; round < sizes.size(); ++round) {
            const int size = sizes.at(round);
            content = RandomBytes(size, quint32(round + 10));
            chooseFile(writeImage(content));
            if (!form.isVisible()) {
                form.show();
                QVERIFY(QTest::qWaitForWindowExposed(&form));
            }
            QCoreApplication::processEvents();

            Seen seen;
            recordProgress(seen);
            PaintRecorder paints(form.boardPanel->progressBar);
            QSignalSpy rejected(&form, &QDialog::rejected);
            QVERIFY(form.boardPanel->upgradeButton->isEnabled());
            form.boardPanel->upgradeButton->click(); // also shows the button is wired to the operation
            disconnect(form.boardPanel->progressBar, &QProgressBar::valueChanged, this, nullptr);

            QCOMPARE(m_fx->warningsShown, round + 1);
            QCOMPARE(commands().mid(3 * round), (QList<int>{StartFtp, StopFtp, Upgrade}));

            // Under its bare name, with the folders dropped, shown as such during the upload.
            expectedSessions << exchange(password);
            QVERIFY(m_fx->sim->waitForJournal(
                [&](const QList<QJsonObject> &) { return lineCount(ftpSessions(Device)) >= lineCount(expectedSessions); }));
            QCOMPARE(ftpSessions(Device), expectedSessions);
            QVERIFY2(m_fx->sim->storedFile(Device, FileName) == content, "the device's copy differs");
            QCOMPARE(QDir(m_fx->sim->ftpRoot() + u'/' + LabSimulator::deviceIp(Device)).entryList(QDir::Files),
                     QStringList{FileName});

            // The board installed the file just uploaded.
            const QJsonObject state = m_fx->sim->deviceState(Device);
            QCOMPARE(state.value(u"installCount"_s).toInt(), round + 1);
            QCOMPARE(state.value(u"installedImage"_s).toString(), FileName);
            QCOMPARE(state.value(u"ftpServer"_s).toBool(), false);

            // The bar starts at 0, follows each chunk and ends full, with the status line and
            // the operation's hold on the window in place all along.
            QList<int> expectedValues{0};
            for (qint64 done = Ftp::ChunkSize; done < size; done += Ftp::ChunkSize)
                expectedValues << int(done);
            expectedValues << size;
            QCOMPARE(seen.values, expectedValues);
            QCOMPARE(seen.labels, QStringList(expectedValues.size(), u"Downloading "_s + FileName));
            QVERIFY(seen.labelShown);
            QVERIFY(seen.barShown);
            QVERIFY(seen.buttonsDisabled);
            QVERIFY(seen.hourglass);
            QCOMPARE(form.boardPanel->progressBar->maximum(), size);
            // Painted with no events handled during the transfer: at its start and full at its end.
            QVERIFY2(paints.painted.size() >= 2, qPrintable(QString::number(paints.painted.size())));
            QCOMPARE(paints.painted.constFirst(), 0);
            QCOMPARE(paints.painted.constLast(), size);

            QVERIFY(form.boardPanel->progressBar->isHidden());
            QVERIFY(windowClosed(rejected));
            verifyWindowRestored();
        }
        QCOMPARE(ftpSessions(Device + 1), QList<QStringList>());
        QCOMPARE(commandRequests(Device + 1), QList<QJsonObject>());
    }

    // ---- Steps the device does not confirm ----

    void stepUnconfirmed_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QList<int>>("expectedCommands");
        QTest::addColumn<bool>("uploaded");
        QTest::addColumn<QString>("message");

        // The command may still have been carried out: the server is stopped again, unused.
        const QString notStarted = u"Device not responding: Starting FTP server"_s;
        QTest::newRow("FTP server start, wrong code")
            << u"0:wrong-ack=3"_s << QList<int>{StartFtp, StopFtp} << false << notStarted;
        QTest::newRow("FTP server start, no reply")
            << u"0:silent@cmd=3"_s << QList<int>{StartFtp, StopFtp} << false << notStarted;
        QTest::newRow("FTP server stop, wrong code")
            << u"0:wrong-ack=4"_s << QList<int>{StartFtp, StopFtp} << true
            << u"Device not responding: Stopping FTP server\r\nThe device is left with its FTP server in an unknown state."_s;
        QTest::newRow("system upgrade, wrong code") << u"0:wrong-ack=11"_s << QList<int>{StartFtp, StopFtp, Upgrade}
                                                    << true << u"Device not responding: System Upgrading"_s;
        QTest::newRow("system upgrade, no reply") << u"0:silent@cmd=11"_s << QList<int>{StartFtp, StopFtp, Upgrade}
                                                  << true << u"Device not responding: System Upgrading"_s;
    }

    void stepUnconfirmed()
    {
        QFETCH(QString, fault);
        QFETCH(QList<int>, expectedCommands);
        QFETCH(bool, uploaded);
        QFETCH(QString, message);
        QVERIFY(startLab(faultArgs({fault})));
        const QByteArray content = RandomBytes(100000, 4);
        chooseFile(writeImage(content));
        QSignalSpy rejected(m_fx->form.get(), &QDialog::rejected);
        QCOMPARE(click(), QString());

        QCOMPARE(m_fx->errors, QStringList{message});
        m_fx->errors.clear();
        QCOMPARE(commands(), expectedCommands);
        if (uploaded) {
            QVERIFY(m_fx->sim->waitForJournal(
                [&](const QList<QJsonObject> &) { return lineCount(ftpSessions(Device)) >= exchange(true).size(); }));
            QCOMPARE(ftpSessions(Device), QList<QStringList>{exchange(true)});
            QVERIFY2(m_fx->sim->storedFile(Device, FileName) == content, "the device's copy differs");
        } else {
            QCOMPARE(ftpSessions(Device), QList<QStringList>());
            QVERIFY(m_fx->sim->storedFile(Device, FileName).isEmpty());
        }
        // The window stays open on the message, even after a transfer.
        QCOMPARE(windowClosed(rejected), false);
        QVERIFY(m_fx->form->boardPanel->progressBar->isHidden()); // hidden after a transfer, or never shown
        verifyWindowRestored();
    }

    // ---- FTP errors: the window is restored and the FTP server stopped, then the error escapes ----

    void ftpError_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<bool>("stopMidTransfer");
        QTest::addColumn<QStringList>("messages"); // any of them
        QTest::addColumn<QStringList>("lines");    // what the server received
        QTest::addColumn<QStringList>("boxes");    // the window's own messages before the error

        const QString ip = LabSimulator::deviceIp(Device);
        QTest::newRow("server never answers")
            << QStringList{u"0:ftp-silent"_s} << false << QStringList{u"No reply from %1 within 3 s"_s.arg(ip)}
            << QStringList{u"connect"_s} << QStringList();
        // The simulator turns a connection away by accepting and resetting it, so the reset can
        // reach the client during the connect or at its first read.
        QTest::newRow("connection turned away")
            << QStringList{u"0:refuse@21"_s} << false
            << QStringList{u"Cannot connect to %1 port 21: Connection reset by peer"_s.arg(ip),
                           u"Connection to %1 closed by the server"_s.arg(ip),
                           u"Connection to %1 lost: Connection reset by peer"_s.arg(ip)}
            << QStringList{u"connect"_s} << QStringList();
        // Depending on how much the systems' buffers take before the server stops, the client
        // notices a data connection that takes nothing or a final reply that never comes.
        QStringList stopped = exchange(true);
        stopped.removeLast();
        QTest::newRow("server stops answering mid-transfer")
            << QStringList() << true
            << QStringList{u"The transfer to %1 made no progress for 2 s"_s.arg(ip),
                           u"No reply from %1 within 3 s"_s.arg(ip)}
            << stopped
            // The board is still stopped when it is asked to stop its FTP server: that is told too.
            << QStringList{u"Device not responding: Stopping FTP server\r\n"
                           u"The device is left with its FTP server in an unknown state."_s};
    }

    void ftpError()
    {
        QFETCH(QStringList, faults);
        QFETCH(bool, stopMidTransfer);
        QFETCH(QStringList, messages);
        QFETCH(QStringList, lines);
        QFETCH(QStringList, boxes);
        QVERIFY(startLab(faultArgs(faults)));
        TUpgradeDialog &form = *m_fx->form;
        // Larger than what the socket buffers of both sides can hold.
        const QByteArray content = RandomBytes(stopMidTransfer ? 48 * 1024 * 1024 : 1000, 5);
        chooseFile(writeImage(content));
        QSignalSpy rejected(&form, &QDialog::rejected);

        const auto pid = pid_t(m_fx->sim->processId());
        QVERIFY(pid > 0);
        bool stopped = false;
        // The whole simulator stops (the other device too) and resumes before it is ended.
        const auto resume = qScopeGuard([&] {
            if (stopped)
                ::kill(pid, SIGCONT);
        });
        if (stopMidTransfer) {
            connect(form.boardPanel->progressBar, &QProgressBar::valueChanged, this, [&](int value) {
                if (value > 0 && !stopped)
                    stopped = ::kill(pid, SIGSTOP) == 0;
            });
        }
        const QString message = click();
        disconnect(form.boardPanel->progressBar, &QProgressBar::valueChanged, this, nullptr);
        if (stopped) {
            ::kill(pid, SIGCONT);
            stopped = false;
        }
        QCOMPARE(stopped, false);

        QVERIFY2(messages.contains(message), qPrintable(message));
        QCOMPARE(m_fx->errors, boxes);
        m_fx->errors.clear();
        // The board's FTP server is stopped again (a board that was stopped meanwhile takes the
        // request once it runs again); no upgrade request, the bar as the transfer left it.
        QVERIFY(m_fx->sim->waitForJournal([&](const QList<QJsonObject> &) { return commands().size() >= 2; }));
        QCOMPARE(commands(), (QList<int>{StartFtp, StopFtp}));
        QVERIFY(m_fx->sim->waitForJournal(
            [&](const QList<QJsonObject> &) { return lineCount(ftpSessions(Device)) >= lines.size(); }));
        QCOMPARE(ftpSessions(Device), QList<QStringList>{lines});
        QCOMPARE(form.boardPanel->progressBar->isHidden(), !stopMidTransfer);
        if (stopMidTransfer) {
            QVERIFY(form.boardPanel->progressBar->value() > 0);
            QVERIFY(form.boardPanel->progressBar->value() < form.boardPanel->progressBar->maximum());
        }
        // The window stays open, also when the transfer had begun.
        QCOMPARE(windowClosed(rejected), false);
        verifyWindowRestored();
    }

    // ---- The progress bar's paints ----

    void progressRepaints_data()
    {
        QTest::addColumn<qint64>("total");
        QTest::addColumn<qint64>("chunk");
        QTest::newRow("empty file") << qint64(0) << qint64(1);
        QTest::newRow("one chunk") << qint64(1000) << Ftp::ChunkSize;
        QTest::newRow("100 MB in chunks") << qint64(100) * 1024 * 1024 << Ftp::ChunkSize;
        QTest::newRow("6 GB, beyond an int") << qint64(6) * 1024 * 1024 * 1024 << qint64(4) * 1024 * 1024;
        QTest::newRow("tiny chunks") << qint64(200000) << qint64(7);
    }

    // The events of a transfer as fast as the client can make them: each sets the bar's value,
    // but the bar is painted at most once per interval, and always full at the end.
    void progressRepaints()
    {
        QFETCH(qint64, total);
        QFETCH(qint64, chunk);
        QVERIFY(startLab({}));
        TUpgradeDialog &form = *m_fx->form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCoreApplication::processEvents();
        QProgressBar &bar = *form.boardPanel->progressBar;
        // Left over from an earlier upload of another size.
        bar.setRange(0, 7);
        bar.setValue(5);
        PaintRecorder paints(&bar);
        // As the exchange shows it just before the transfer, with no events handled since.
        QLabel &label = *form.boardPanel->statusLine;
        label.setText(u"Downloading "_s + FileName);
        label.show();

        QElapsedTimer clock;
        clock.start();
        form.boardPanel->uploadStarted(total);
        QVERIFY(!bar.isHidden());
        // Laid out before the first paint: the status line and the bar each in full, one below
        // the other, within their group.
        const QRect group = form.boardPanel->contentsRect();
        QCOMPARE(bar.height(), 4);
        QVERIFY(bar.width() > group.width() / 2);
        QVERIFY(label.height() >= label.sizeHint().height());
        QVERIFY(label.geometry().bottom() < bar.geometry().top());
        QVERIFY2(group.contains(bar.geometry()), qPrintable(u"bar at y %1, group %2 high"_s.arg(bar.y()).arg(group.height())));
        QCOMPARE(paints.painted, QList<int>{0});
        const int maximum = bar.maximum();
        QVERIFY(maximum >= 1);
        if (total > 0 && total <= std::numeric_limits<int>::max())
            QCOMPARE(qint64(maximum), total);
        QVERIFY(qint64(maximum) * 2 > std::min<qint64>(total, std::numeric_limits<int>::max()));

        // The value follows the bytes sent: exactly while they fit an int, to the bar's unit beyond.
        bool accurate = true;
        qint64 calls = 0;
        for (qint64 done = 0; done < total;) {
            done = std::min(total, done + chunk);
            form.boardPanel->uploadProgressed(done);
            ++calls;
            if (total <= std::numeric_limits<int>::max())
                accurate = accurate && bar.value() == done;
            else
                accurate = accurate
                           && std::abs(double(bar.value()) / maximum - double(done) / double(total)) <= 1.0 / maximum;
        }
        const qint64 elapsedMs = clock.elapsed();
        if (total > 0) {
            QVERIFY(accurate);
            QCOMPARE(bar.value(), maximum);
            QCOMPARE(paints.painted.constLast(), maximum);
        }
        // The start, one per interval passed, and the last.
        const qint64 allowed = std::min<qint64>(calls + 1, 3 + elapsedMs / 40);
        QVERIFY2(paints.painted.size() <= allowed,
                 qPrintable(u"%1 paints in %2 ms for %3 events"_s.arg(paints.painted.size()).arg(elapsedMs).arg(calls)));
        for (qsizetype i = 1; i < paints.painted.size(); ++i)
            QVERIFY(paints.painted.at(i) >= paints.painted.at(i - 1));

        // The end of the transfer asks the window to close; it stays open while an operation runs.
        QSignalSpy rejected(&form, &QDialog::rejected);
        form.boardPanel->uploadEnded();
        QCOMPARE(rejected.count(), 1);
        QVERIFY(!form.isVisible());
    }

private:
    static qsizetype lineCount(const QList<QStringList> &sessions)
    {
        qsizetype count = 0;
        for (const QStringList &session : sessions)
            count += session.size();
        return count;
    }
};

QTEST_MAIN(TestUpgradeCom)
#include "tst_upgradecom.moc"
