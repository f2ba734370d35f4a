// The Config page's operations against simulated controllers in the lab: what the device
// received and in which order (the board's start/stop commands and the bus frames), what the
// editor holds afterwards, which message shows, and a configuration's way from a device
// through the editor and a ".cfg" file back to a device, byte for byte.
//
// Journal lines are written short: "cmd 8" a command to the board, "D2" a bus command,
// "R 0 4" a read of 4 bytes at 0, "W 4 128" a write.

#include "bytetexts.h"
#include "app/upgrade/configtext.h"
#include "upgradefixture.h"

#include "protocol/errors.h"
#include "protocol/resource.h"
#include "testfiles.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolBar>
#include <QtEndian>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// The device the tests talk to; the other one must stay untouched.
constexpr int Devices = 2;
constexpr int Device = 1;
constexpr int Declined = 7;

// The lab is shared: another test's engine or simulator may hold the ports for a while.
constexpr int BindAttempts = 90;
constexpr int BindRetryMs = 2000;

bool portTaken(const QString &error)
{
    return error.startsWith(u"engine not bound"_s) || error.contains(u"already in use"_s);
}

const QString ReadConfigFailed = u"Read Config Failed"_s;
const QString ReadDiagnoseFailed = u"Read Diagnose Failed"_s;
const QString WriteConfigFailed = u"Write Config Failed"_s;

QByteArray pattern(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 37 + seed) & 0xFF);
    return bytes;
}

QByteArray lengthWord(qsizetype size)
{
    QByteArray word(4, '\0');
    qToBigEndian<quint32>(static_cast<quint32>(size), word.data());
    return word;
}

QString brief(const QJsonObject &line)
{
    if (line.value("port"_L1).toInt() == Wire::DevicePort)
        return u"cmd %1"_s.arg(line.value("cmd"_L1).toInt());
    const int function = line.value("fn"_L1).toInt(-1);
    if (function == Wire::Bus::FunctionCommand)
        return QString::number(line.value("sub"_L1).toInt(), 16).rightJustified(2, u'0').toUpper();
    const QString kind = function == Wire::Bus::FunctionReadBlock    ? u"R"_s
                         : function == Wire::Bus::FunctionWriteBlock ? u"W"_s
                                                                     : u"?"_s;
    return u"%1 %2 %3"_s.arg(kind).arg(line.value("addr"_L1).toInteger()).arg(line.value("n"_L1).toInt());
}

// Chunks of a block transfer as the journal shows them.
QStringList chunks(const QString &kind, int address, int count)
{
    QStringList lines;
    for (int done = 0; done < count; done += Wire::Bus::MaxChunk)
        lines << u"%1 %2 %3"_s.arg(kind).arg(address + done).arg(std::min(Wire::Bus::MaxChunk, count - done));
    return lines;
}

QStringList times(int count, const QString &line)
{
    QStringList lines;
    for (int i = 0; i < count; ++i)
        lines << line;
    return lines;
}

const QStringList Open{u"cmd 8"_s, u"cmd 5"_s};  // stop daemon, start updater
const QStringList Close{u"cmd 6"_s, u"cmd 7"_s}; // stop updater, start daemon

QByteArray inverted(QByteArray bytes, qsizetype at)
{
    bytes[at] = static_cast<char>(~bytes.at(at));
    return bytes;
}

// A failure message that names the step the device did not confirm, and what it was left in.
QString failedAt(const QString &failure, const QString &step, const QString &leftWith = {})
{
    QString text = failure + u"\r\nDevice not responding: "_s + step;
    if (!leftWith.isEmpty())
        text += u"\r\nThe device is left with its "_s + leftWith + u'.';
    return text;
}

QStringList faults(const QStringList &list)
{
    QStringList arguments;
    for (const QString &fault : list)
        arguments << u"--fault"_s << u"%1:%2"_s.arg(Device).arg(fault);
    return arguments;
}

} // namespace

class TestUpgradeConfig : public QObject
{
    Q_OBJECT

    UpgradeFixture m_fx;
    QTemporaryDir m_dir;
    // What device 1 holds at the start of each test, unless a test says otherwise.
    QByteArray m_config;      // 300 bytes, every byte value among them
    QByteArray m_diagnostics; // 140 bytes

    QString writeFile(const QString &name, const QByteArray &bytes)
    {
        return WriteTestFileOrDie(QDir(m_dir.path()), name, bytes);
    }

    // A new simulator for this test; the engine and the window stay.
    bool startSimulator(const QStringList &extra)
    {
        const QStringList arguments{u"--config-file"_s, u"%1=%2"_s.arg(Device).arg(m_dir.filePath(u"config.bin"_s)),
                                    u"--diagnostics-file"_s,
                                    u"%1=%2"_s.arg(Device).arg(m_dir.filePath(u"diagnostics.bin"_s))};
        for (int attempt = 1;; ++attempt) {
            m_fx.sim = std::make_unique<LabSimulator>();
            if (m_fx.sim->start(Devices, arguments + extra))
                return true;
            const QString error = m_fx.sim->errorString();
            if (!portTaken(error) || attempt == BindAttempts) {
                qWarning("%s", qPrintable(error));
                return false;
            }
            m_fx.sim.reset();
            QTest::qWait(BindRetryMs);
        }
    }

    // The requests of a device so far, short. Waits for `expected` of them, then a little for
    // any beyond.
    QStringList journalOf(int device, int expected) const
    {
        const QString ip = LabSimulator::deviceIp(device);
        m_fx.sim->waitForJournal([&](const QList<QJsonObject> &) { return m_fx.sim->requests(ip).size() >= expected; },
                                 5000);
        m_fx.sim->waitForJournal([&](const QList<QJsonObject> &) { return m_fx.sim->requests(ip).size() > expected; },
                                 300);
        QStringList lines;
        for (const QJsonObject &line : m_fx.sim->requests(ip))
            lines << brief(line);
        return lines;
    }

    QList<QJsonObject> writeRequests() const
    {
        QList<QJsonObject> lines;
        for (const QJsonObject &line : m_fx.received(Device, Wire::BusPort)) {
            if (line.value("fn"_L1).toInt() == Wire::Bus::FunctionWriteBlock)
                lines << line;
        }
        return lines;
    }

    QJsonObject controllerState()
    {
        return m_fx.sim->deviceState(Device).value("controller"_L1).toObject();
    }

    QAction *action(const QString &name) const
    {
        TUpgradeDialog &form = *m_fx.form;
        const QHash<QString, QAction *> actions{
            {u"readConfigAction"_s, form.configPage->readConfigAction}, {u"writeConfigAction"_s, form.configPage->writeConfigAction},
            {u"readLogsAction"_s, form.configPage->readLogsAction},     {u"eraseLogsAction"_s, form.configPage->eraseLogsAction},
            {u"diagnoseAction"_s, form.configPage->diagnoseAction},     {u"resetAction"_s, form.configPage->resetAction},
            {u"openAction"_s, form.configPage->openAction},       {u"saveAction"_s, form.configPage->saveAction}};
        return actions.value(name);
    }

    // After every operation: the status line emptied and hidden, the page usable again.
    void verifyPageRestored()
    {
        TUpgradeDialog &form = *m_fx.form;
        QCOMPARE(form.configPage->statusLabel->text(), QString());
        QVERIFY(form.configPage->statusLabel->isHidden());
        QVERIFY(form.configPage->toolBar->isEnabled());
        for (QAction *action : {form.configPage->readConfigAction, form.configPage->writeConfigAction, form.configPage->readLogsAction, form.configPage->eraseLogsAction,
                                form.configPage->diagnoseAction})
            QVERIFY2(action->isEnabled(), qPrintable(action->text()));
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        QVERIFY(!form.IsBusy());
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void reads_data();
    void reads();
    void statusLines_data();
    void statusLines();
    void writes_data();
    void writes();
    void writeTooLongSendsNothing();
    void noSecondOperationMeanwhile();
    void logs_data();
    void logs();
    void eraseLogs_data();
    void eraseLogs();
    void reset_data();
    void reset();
    void stepErrorShowsFailureThenPasses_data();
    void stepErrorShowsFailureThenPasses();
    void roundTrip_data();
    void roundTrip();
};

void TestUpgradeConfig::initTestCase()
{
    if (!LabSimulator::inLab())
        QSKIP("needs the lab (run through ctest, or lab/lab pc env TARVINO_LAB=1 ...)");
    QVERIFY(m_dir.isValid());
    StartupInit(); // as the main window's creation does: the protocol code of every request
    m_config = allByteValues() + allByteValues().first(44);
    m_diagnostics = pattern(140, 3);
    writeFile(u"config.bin"_s, m_config);
    writeFile(u"diagnostics.bin"_s, m_diagnostics);
    writeFile(u"empty.bin"_s, {});

    QString error;
    for (int attempt = 1;; ++attempt) {
        if (m_fx.start(Devices, {}, &error))
            break;
        if (!portTaken(error) || attempt == BindAttempts)
            QFAIL(qPrintable(error));
        m_fx.form.reset();
        m_fx.mainWindow.reset();
        m_fx.serveur.reset();
        m_fx.sim.reset();
        QTest::qWait(BindRetryMs);
    }
}

void TestUpgradeConfig::init()
{
    m_fx.errors.clear();
    m_fx.infos.clear();
    m_fx.warningResult = 6;
    m_fx.warningsShown = 0;
    m_fx.form->configPage->chooseOpenFile = {};
    m_fx.form->configPage->chooseSaveFile = {};
    m_fx.form->configPage->editor->clear();
    m_fx.selectDevice(Device);
}

void TestUpgradeConfig::cleanup()
{
    m_fx.sim.reset();
}

// ---- Reading configuration and diagnostics ---------------------------------------------------

void TestUpgradeConfig::reads_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("journal");
    QTest::addColumn<bool>("filled"); // the editor holds what was read
    QTest::addColumn<QStringList>("errors");

    const QStringList configReads = QStringList{u"R 0 4"_s} + chunks(u"R"_s, 4, 300);
    const QStringList diagnosticsReads = QStringList{u"R 0 4"_s} + chunks(u"R"_s, 4, 140);
    const QString D2 = u"D2"_s, D3 = u"D3"_s, reset = u"00"_s;

    QTest::newRow("read-config") << u"readConfigAction"_s << QStringList()
                                 << Open + QStringList{D2} + configReads + QStringList{D3} + Close << true << QStringList();
    QTest::newRow("diagnose") << u"diagnoseAction"_s << QStringList()
                              << Open + QStringList{u"D8"_s} + diagnosticsReads + QStringList{u"D9"_s} + Close << true
                              << QStringList();
    QTest::newRow("length-zero") << u"readConfigAction"_s
                                 << QStringList{u"--config-file"_s, u"%1=%2"_s.arg(Device).arg(m_dir.filePath(u"empty.bin"_s))}
                                 << Open + QStringList{D2, u"R 0 4"_s, reset} + Close << false << QStringList{ReadConfigFailed};
    // A step the device does not confirm ends the work; the steps that restore service still go.
    QTest::newRow("stop-daemon-unconfirmed") << u"readConfigAction"_s << faults({u"wrong-ack=8"_s})
                                             << QStringList{u"cmd 8"_s, u"cmd 7"_s} << false
                                             << QStringList{failedAt(ReadConfigFailed, u"Stopping daemon"_s)};
    QTest::newRow("start-updater-unconfirmed") << u"readConfigAction"_s << faults({u"wrong-ack=5"_s}) << Open + Close
                                               << false
                                               << QStringList{failedAt(ReadConfigFailed, u"Starting updater"_s)};
    QTest::newRow("start-unanswered") << u"readConfigAction"_s << faults({u"silent@sub=0xD2"_s})
                                      << Open + times(ControllerBus::Attempts, D2) + QStringList{reset} + Close << false
                                      << QStringList{ReadConfigFailed};
    // The length word's first byte inverted: far more than the area holds. Nothing more is read.
    QTest::newRow("length-impossible") << u"readConfigAction"_s << faults({u"corrupt-readback=0"_s})
                                       << Open + QStringList{D2, u"R 0 4"_s, reset} + Close << false
                                       << QStringList{ReadConfigFailed};
    QTest::newRow("text-chunk-unanswered")
        << u"readConfigAction"_s << faults({u"silent@fn=0x6E@from=3"_s})
        << Open + QStringList{D2, u"R 0 4"_s, u"R 4 128"_s} + times(ControllerBus::Attempts, u"R 132 128"_s) + QStringList{reset}
               + Close
        << false << QStringList{ReadConfigFailed};
    // The text came in whole before the end command failed: it stays.
    QTest::newRow("stop-unanswered") << u"readConfigAction"_s << faults({u"silent@sub=0xD3"_s})
                                     << Open + QStringList{D2} + configReads + times(ControllerBus::Attempts, D3)
                                            + QStringList{reset} + Close
                                     << true << QStringList{ReadConfigFailed};
    QTest::newRow("stop-updater-unconfirmed")
        << u"readConfigAction"_s << faults({u"wrong-ack=6"_s}) << Open + QStringList{D2} + configReads + QStringList{D3} + Close
        << true
        << QStringList{failedAt(ReadConfigFailed, u"Stopping updater"_s, u"updater in an unknown state, daemon on"_s)};
    QTest::newRow("start-daemon-unconfirmed")
        << u"readConfigAction"_s << faults({u"wrong-ack=7"_s}) << Open + QStringList{D2} + configReads + QStringList{D3} + Close
        << true
        << QStringList{failedAt(ReadConfigFailed, u"Starting daemon"_s, u"updater off, daemon in an unknown state"_s)};
    QTest::newRow("diagnose-start-unanswered") << u"diagnoseAction"_s << faults({u"silent@sub=0xD8"_s})
                                               << Open + times(ControllerBus::Attempts, u"D8"_s) + QStringList{reset} + Close
                                               << false << QStringList{ReadDiagnoseFailed};
}

void TestUpgradeConfig::reads()
{
    QFETCH(QString, button);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, journal);
    QFETCH(bool, filled);
    QFETCH(QStringList, errors);
    QVERIFY(startSimulator(arguments));
    SetEditorBytes(m_fx.form->configPage->editor, "cleared before reading\r\n"_ba);

    action(button)->trigger();

    QCOMPARE(journalOf(Device, int(journal.size())), journal);
    QCOMPARE(m_fx.errors, errors);
    const QByteArray expected = !filled ? QByteArray() : button == u"diagnoseAction"_s ? m_diagnostics : m_config;
    QCOMPARE(EditorBytes(m_fx.form->configPage->editor).toHex(), expected.toHex());
    QCOMPARE(m_fx.warningsShown, 0);
    verifyPageRestored();
    QCOMPARE(journalOf(0, 0), QStringList());
}

// The status line of the bus operations, in order. The device answers reads and writes late, so
// the window handles events while each label shows.
void TestUpgradeConfig::statusLines_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("labels");
    QTest::newRow("read-config") << u"readConfigAction"_s
                                 << QStringList{u"Get Config Start"_s, u"Reading Config"_s, u"Get Config Stop"_s};
    QTest::newRow("diagnose") << u"diagnoseAction"_s
                              << QStringList{u"Get Diagnose Start"_s, u"Reading Diagnose"_s, u"Get Diagnose Stop"_s};
    QTest::newRow("write-config") << u"writeConfigAction"_s
                                  << QStringList{u"Set Config Start"_s, u"Reading Config"_s, u"Set Config Stop"_s,
                                                 u"Get Config Start"_s, u"Reading Config"_s, u"Get Config Stop"_s};
    QTest::newRow("read-logs") << u"readLogsAction"_s << QStringList{u"Get Logs"_s, u"Reading Logs"_s, u"Get Logs Stop"_s};
    // Erasing leaves no block to read: the read that follows finds an empty log and ends it.
    QTest::newRow("erase-logs") << u"eraseLogsAction"_s << QStringList{u"Erase Logs"_s, u"Get Logs"_s, u"Get Logs Stop"_s};
}

void TestUpgradeConfig::statusLines()
{
    QFETCH(QString, button);
    QFETCH(QStringList, labels);
    const QStringList logFiles{u"--log-file"_s, u"%1=%2"_s.arg(Device).arg(writeFile(u"a.log"_s, "a\r\n"_ba)),
                               u"--log-file"_s, u"%1=%2"_s.arg(Device).arg(writeFile(u"b.log"_s, "b\r\n"_ba))};
    QVERIFY(startSimulator(logFiles + faults({u"delay=300@fn=0x6E"_s, u"delay=300@fn=0x6F"_s})));
    SetEditorBytes(m_fx.form->configPage->editor, "k=v\r\n"_ba);

    const QStringList busLabels{u"Get Config Start"_s, u"Reading Config"_s, u"Get Config Stop"_s,
                                u"Get Diagnose Start"_s, u"Reading Diagnose"_s, u"Get Diagnose Stop"_s,
                                u"Set Config Start"_s, u"Set Config Stop"_s, u"Get Logs"_s,
                                u"Reading Logs"_s, u"Get Logs Stop"_s, u"Erase Logs"_s};
    QLabel *line = m_fx.form->configPage->statusLabel;
    QStringList seen;
    QTimer sampler;
    sampler.setInterval(0);
    connect(&sampler, &QTimer::timeout, this, [&] {
        const QString text = line->isHidden() ? QString() : line->text();
        if (busLabels.contains(text) && (seen.isEmpty() || seen.last() != text))
            seen << text;
    });
    sampler.start();
    action(button)->trigger();
    sampler.stop();

    QCOMPARE(seen, labels);
    verifyPageRestored();
}

// ---- Writing the configuration -------------------------------------------------------------

void TestUpgradeConfig::writes_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("warning");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("journal");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<bool>("stored"); // the device keeps the text written, else what it held

    const QByteArray text300 = pattern(300, 11);
    const QStringList write300 = QStringList{u"W 0 4"_s} + chunks(u"W"_s, 4, 300);
    const QString D0 = u"D0"_s, D1 = u"D1"_s, reset = u"00"_s;
    // What was stored is read back as Read Config reads it, then compared.
    const QStringList readBack300 = QStringList{u"D2"_s, u"R 0 4"_s} + chunks(u"R"_s, 4, 300) + QStringList{u"D3"_s};

    QTest::newRow("300-bytes") << text300 << 6 << QStringList()
                               << Open + QStringList{D0} + write300 + QStringList{D1} + readBack300 + Close
                               << QStringList() << true;
    QTest::newRow("empty-text") << QByteArray() << 6 << QStringList()
                                << Open + QStringList{D0, u"W 0 4"_s, D1, u"D2"_s, u"R 0 4"_s, u"D3"_s} + Close
                                << QStringList() << true;
    QTest::newRow("warning-declined") << text300 << Declined << QStringList() << QStringList()
                                      << QStringList{WriteConfigFailed} << false;
    QTest::newRow("warning-closed") << text300 << 2 << QStringList() << QStringList() << QStringList{WriteConfigFailed}
                                    << false;
    QTest::newRow("start-unanswered") << text300 << 6 << faults({u"silent@sub=0xD0"_s})
                                      << Open + times(ControllerBus::Attempts, D0) + QStringList{reset} + Close
                                      << QStringList{WriteConfigFailed} << false;
    // The chunks before stay written in the area; without the end command the device keeps its text.
    QTest::newRow("chunk-unanswered") << text300 << 6 << faults({u"silent@fn=0x6F@from=3"_s})
                                      << Open + QStringList{D0, u"W 0 4"_s, u"W 4 128"_s} + times(ControllerBus::Attempts, u"W 132 128"_s)
                                             + QStringList{reset} + Close
                                      << QStringList{failedAt(WriteConfigFailed, u"writing the configuration"_s)}
                                      << false;
    QTest::newRow("stop-unanswered") << text300 << 6 << faults({u"silent@sub=0xD1"_s})
                                     << Open + QStringList{D0} + write300 + times(ControllerBus::Attempts, D1) + QStringList{reset}
                                            + Close
                                     << QStringList{WriteConfigFailed} << false;
    QTest::newRow("stop-daemon-unconfirmed") << text300 << 6 << faults({u"wrong-ack=8"_s})
                                             << QStringList{u"cmd 8"_s, u"cmd 7"_s}
                                             << QStringList{failedAt(WriteConfigFailed, u"Stopping daemon"_s)} << false;
    // The device stores something else than it was sent: the read-back tells, at the first difference.
    QTest::newRow("read-back-differs")
        << text300 << 6 << faults({u"corrupt-readback=0x20"_s})
        << Open + QStringList{D0} + write300 + QStringList{D1} + readBack300 + QStringList{reset} + Close
        << QStringList{WriteConfigFailed + u"\r\n"_s + ConfigDifference(text300, inverted(text300, 28))} << true;
}

void TestUpgradeConfig::writes()
{
    QFETCH(QByteArray, text);
    QFETCH(int, warning);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, journal);
    QFETCH(QStringList, errors);
    QFETCH(bool, stored);
    QVERIFY(startSimulator(arguments));
    SetEditorBytes(m_fx.form->configPage->editor, text);
    m_fx.warningResult = warning;

    m_fx.form->configPage->writeConfigAction->trigger();

    QCOMPARE(journalOf(Device, int(journal.size())), journal);
    QCOMPARE(m_fx.errors, errors);
    QCOMPARE(m_fx.warningsShown, 1);
    // The editor is not cleared by a write.
    QCOMPARE(EditorBytes(m_fx.form->configPage->editor).toHex(), text.toHex());
    verifyPageRestored();

    // The length word first, then the text from address 4, chunk after chunk.
    const QList<QJsonObject> written = writeRequests();
    if (!written.isEmpty()) {
        QCOMPARE(written.first().value("data"_L1).toString(), QString::fromLatin1(lengthWord(text.size()).toHex()));
        QString chunksWritten;
        for (const QJsonObject &line : written.sliced(1)) {
            if (!line.contains("faults"_L1)) // dropped unseen by the device
                chunksWritten += line.value("data"_L1).toString();
        }
        QVERIFY(QString::fromLatin1(text.toHex()).startsWith(chunksWritten));
    }
    const QJsonObject controller = controllerState();
    QCOMPARE(controller.value("configurationHex"_L1).toString(), QString::fromLatin1((stored ? text : m_config).toHex()));
    QCOMPARE(controller.value("configurationWrites"_L1).toInt(), stored ? 1 : 0);
    QCOMPARE(journalOf(0, 0), QStringList());
}

void TestUpgradeConfig::writeTooLongSendsNothing()
{
    QVERIFY(startSimulator({}));
    // One byte more than the area holds after its length word, as lines.
    const qsizetype size = qsizetype(TControllerTextPage::MaxConfigTextSize) + 1;
    const QByteArray line = "channel=0123456789abcdef0123456789abcdef0123456789abcdef\r\n"_ba;
    QByteArray text = line.repeated(size / line.size() + 1);
    text.truncate(size);
    SetEditorBytes(m_fx.form->configPage->editor, text);

    m_fx.form->configPage->writeConfigAction->trigger();

    QCOMPARE(m_fx.warningsShown, 0);
    QCOMPARE(m_fx.errors.size(), 2);
    QVERIFY2(m_fx.errors.first().contains(QString::number(size)), qPrintable(m_fx.errors.first()));
    QVERIFY2(m_fx.errors.first().contains(QString::number(TControllerTextPage::MaxConfigTextSize)), qPrintable(m_fx.errors.first()));
    QCOMPARE(m_fx.errors.last(), WriteConfigFailed);
    QCOMPARE(journalOf(Device, 0), QStringList());
    QCOMPARE(EditorBytes(m_fx.form->configPage->editor).size(), size);
    verifyPageRestored();
}

// While the warning is up the page is disabled and no other operation, Reset included, starts.
void TestUpgradeConfig::noSecondOperationMeanwhile()
{
    QVERIFY(startSimulator({u"--updater-running"_s}));
    TUpgradeDialog &form = *m_fx.form;
    bool checked = false;
    form.runWarning = [&] {
        ++m_fx.warningsShown;
        checked = !form.configPage->toolBar->isEnabled() && !form.configPage->readConfigAction->isEnabled() && form.IsBusy()
                  && QApplication::overrideCursor() != nullptr;
        form.configPage->readConfiguration();
        form.configPage->reset();
        form.configPage->eraseLogs();
        return Declined;
    };
    SetEditorBytes(form.configPage->editor, "a=1\r\n"_ba);
    form.configPage->writeConfigAction->trigger();
    form.runWarning = [this] {
        ++m_fx.warningsShown;
        return m_fx.warningResult;
    };

    QVERIFY(checked);
    QCOMPARE(m_fx.warningsShown, 1);
    QCOMPARE(m_fx.errors, QStringList{WriteConfigFailed});
    QCOMPARE(EditorBytes(form.configPage->editor), "a=1\r\n"_ba);
    QCOMPARE(journalOf(Device, 0), QStringList());
    verifyPageRestored();
}

// ---- Logs -------------------------------------------------------------------------------------

void TestUpgradeConfig::logs_data()
{
    QTest::addColumn<QByteArrayList>("blocks");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("journal");
    QTest::addColumn<QByteArray>("editor");
    QTest::addColumn<QStringList>("errors");

    auto blockReads = [](const QByteArrayList &blocks) {
        QStringList lines{u"D4"_s};
        for (qsizetype i = 0; i < blocks.size(); ++i) {
            if (i > 0)
                lines << u"D6"_s;
            lines << u"R 0 4"_s << chunks(u"R"_s, 4, int(blocks.at(i).size()));
        }
        return lines;
    };
    const QStringList end{u"D6"_s, u"R 0 4"_s, u"D5"_s};

    const QByteArrayList three{"12:00 start\r\n", "12:01 pump on\r\n", "12:02 pump off\r\n"};
    QTest::newRow("three-blocks") << three << QStringList() << Open + blockReads(three) + end + Close
                                  << "12:00 start\r\n12:01 pump on\r\n12:02 pump off"_ba << QStringList();
    // A final CR LF is dropped; a block that ends otherwise is appended whole.
    const QByteArrayList endings{"one\r\n", "two\n", "three\r\n\r\n", "four"};
    QTest::newRow("endings") << endings << QStringList() << Open + blockReads(endings) + end + Close
                             << "one\r\ntwo\n\r\nthree\r\n\r\nfour"_ba << QStringList();
    const QByteArray noBreaks = pattern(200, 7).replace('\r', 'r').replace('\n', 'n');
    const QByteArrayList binary{QByteArray("\0\xFF\r\n", 4), noBreaks};
    QTest::newRow("binary-blocks") << binary << QStringList() << Open + blockReads(binary) + end + Close
                                   << QByteArray("\0\xFF\r\n", 4) + noBreaks << QStringList();
    // No logs at all: an empty log, read to its end.
    QTest::newRow("no-first-block") << QByteArrayList{QByteArray()} << QStringList()
                                    << Open + QStringList{u"D4"_s, u"R 0 4"_s, u"D5"_s} + Close << QByteArray()
                                    << QStringList();
    // The blocks read before the failure stay.
    QTest::newRow("next-unanswered") << three << faults({u"silent@sub=0xD6@from=2"_s})
                                     << Open + blockReads(three.first(2)) + times(ControllerBus::Attempts, u"D6"_s)
                                            + QStringList{u"00"_s} + Close
                                     << "12:00 start\r\n12:01 pump on"_ba << QStringList{ReadConfigFailed};
    // "Next block" sent again: the first copy may have moved the controller on (its reply lost,
    // here), or never reached it; either way a block could be missing, so the read fails.
    const QStringList nextSentTwice = Open + blockReads(three.first(1)) + times(2, u"D6"_s) + QStringList{u"00"_s} + Close;
    QTest::newRow("next-reply-lost") << three << faults({u"bad-crc@sub=0xD6@count=1"_s}) << nextSentTwice
                                     << "12:00 start"_ba << QStringList{ReadConfigFailed};
    QTest::newRow("next-request-lost") << three << faults({u"silent@sub=0xD6@count=1"_s}) << nextSentTwice
                                       << "12:00 start"_ba << QStringList{ReadConfigFailed};
}

void TestUpgradeConfig::logs()
{
    QFETCH(QByteArrayList, blocks);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, journal);
    QFETCH(QByteArray, editor);
    QFETCH(QStringList, errors);
    QStringList logFiles;
    for (qsizetype i = 0; i < blocks.size(); ++i) {
        logFiles << u"--log-file"_s
                 << u"%1=%2"_s.arg(Device).arg(writeFile(u"log%1.bin"_s.arg(i), blocks.at(i)));
    }
    QVERIFY(startSimulator(logFiles + arguments));

    m_fx.form->configPage->readLogsAction->trigger();

    QCOMPARE(journalOf(Device, int(journal.size())), journal);
    QCOMPARE(m_fx.errors, errors);
    // A device without logs says so.
    const bool none = errors.isEmpty() && editor.isEmpty();
    QCOMPARE(m_fx.infos, none ? QStringList{u"The device has no logs."_s} : QStringList());
    QCOMPARE(EditorBytes(m_fx.form->configPage->editor).toHex(), editor.toHex());
    verifyPageRestored();
}

void TestUpgradeConfig::eraseLogs_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("journal");
    QTest::addColumn<int>("blocksLeft");
    QTest::addColumn<QByteArray>("editor");
    QTest::addColumn<QStringList>("errors");

    // Each operation on a bus client of its own: the erase, then the read.
    QTest::newRow("erase-unanswered") << faults({u"silent@sub=0xD7"_s})
                                      << Open + times(ControllerBus::Attempts, u"D7"_s) + QStringList{u"00"_s} + Close << 2
                                      << QByteArray() << QStringList{ReadConfigFailed};
    // An emptied store has no first block: the read that follows shows an empty log.
    QTest::newRow("erased") << QStringList() << Open + QStringList{u"D7"_s, u"D4"_s, u"R 0 4"_s, u"D5"_s} + Close << 0
                            << QByteArray() << QStringList();
}

void TestUpgradeConfig::eraseLogs()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, journal);
    QFETCH(int, blocksLeft);
    QFETCH(QByteArray, editor);
    QFETCH(QStringList, errors);
    const QStringList logFiles{u"--log-file"_s, u"%1=%2"_s.arg(Device).arg(writeFile(u"a.log"_s, "a\r\n"_ba)),
                               u"--log-file"_s, u"%1=%2"_s.arg(Device).arg(writeFile(u"b.log"_s, "b\r\n"_ba))};
    QVERIFY(startSimulator(logFiles + arguments));
    SetEditorBytes(m_fx.form->configPage->editor, "cleared first"_ba);

    m_fx.form->configPage->eraseLogsAction->trigger();

    QCOMPARE(journalOf(Device, int(journal.size())), journal);
    QCOMPARE(m_fx.errors, errors);
    QCOMPARE(EditorBytes(m_fx.form->configPage->editor).toHex(), editor.toHex());
    QCOMPARE(controllerState().value("logBlocks"_L1).toInt(), blocksLeft);
    QCOMPARE(m_fx.infos, QStringList()); // an erase that emptied the log is not news
    verifyPageRestored();
}

// ---- Reset ------------------------------------------------------------------------------------

void TestUpgradeConfig::reset_data()
{
    QTest::addColumn<int>("device");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("accept");     // the answer to the offer of the reset with the updater
    QTest::addColumn<QStringList>("journal");
    QTest::addColumn<int>("offers");
    QTest::addColumn<QStringList>("infos");
    QTest::addColumn<int>("errors");
    const QStringList answered{u"The controller answered the reset."_s};
    // The plain reset first: one command, no start/stop steps.
    QTest::newRow("answering") << Device << QStringList{u"--updater-running"_s} << false << QStringList{u"00"_s} << 0
                               << answered << 0;
    QTest::newRow("updater-stopped, declined") << Device << QStringList() << false << times(ControllerBus::Attempts, u"00"_s)
                                               << 1 << QStringList() << 0;
    // Accepted: the same reset inside the bracket, the device put back.
    QTest::newRow("updater-stopped, accepted")
        << Device << QStringList() << true << times(ControllerBus::Attempts, u"00"_s) + Open + QStringList{u"00"_s} + Close << 1
        << QStringList{u"The controller answered the reset; the daemon runs again."_s} << 0;
    // A failed step of the bracket shows its failure; the device is put back all the same.
    QTest::newRow("updater does not start, accepted")
        << Device << QStringList{u"--fault"_s, u"%1:silent@cmd=5"_s.arg(Device)} << true
        << times(ControllerBus::Attempts, u"00"_s) + Open + Close << 1 << QStringList() << 1;
    QTest::newRow("no-device") << Devices + 3 << QStringList() << false << QStringList() << 1 << QStringList() << 0;
}

void TestUpgradeConfig::reset()
{
    QFETCH(int, device);
    QFETCH(QStringList, arguments);
    QFETCH(bool, accept);
    QFETCH(QStringList, journal);
    QFETCH(int, offers);
    QFETCH(QStringList, infos);
    QFETCH(int, errors);
    QVERIFY(startSimulator(arguments));
    m_fx.selectDevice(device);
    QStringList questions;
    m_fx.form->offerResetWithUpdater = [&](const QString &question) {
        questions << question;
        return accept;
    };
    const QByteArray text = "kept\r\n"_ba;
    SetEditorBytes(m_fx.form->configPage->editor, text);

    m_fx.form->configPage->resetAction->trigger();

    QCOMPARE(questions.size(), offers);
    for (const QString &question : std::as_const(questions))
        QVERIFY(question.startsWith(TControllerReset::UnansweredText));
    QCOMPARE(m_fx.infos, infos);
    QCOMPARE(m_fx.errors.size(), errors);
    QCOMPARE(journalOf(device, int(journal.size())), journal);
    QCOMPARE(m_fx.sim->requests().size(), journal.size());
    QCOMPARE(EditorBytes(m_fx.form->configPage->editor), text);
    verifyPageRestored();
}

// An error of a start/stop step shows the failure message, puts the page back and goes on to the
// general handler. Here the stream connection fails at once: the host text names no device.
void TestUpgradeConfig::stepErrorShowsFailureThenPasses_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("message");
    QTest::newRow("read-config") << u"readConfigAction"_s << ReadConfigFailed;
    QTest::newRow("diagnose") << u"diagnoseAction"_s << ReadDiagnoseFailed;
    QTest::newRow("write-config") << u"writeConfigAction"_s << WriteConfigFailed;
    QTest::newRow("read-logs") << u"readLogsAction"_s << ReadConfigFailed;
    QTest::newRow("erase-logs") << u"eraseLogsAction"_s << ReadConfigFailed;
}

void TestUpgradeConfig::stepErrorShowsFailureThenPasses()
{
    QFETCH(QString, button);
    QFETCH(QString, message);
    QVERIFY(startSimulator({}));
    TUpgradeDialog &form = *m_fx.form;
    form.DeviceIP = u"no-such-device"_s;
    form.DeviceTransport = TransportTcp;
    const QHash<QString, std::function<void()>> handlers{
        {u"readConfigAction"_s, [&] { form.configPage->readConfiguration(); }},
        {u"diagnoseAction"_s, [&] { form.configPage->readDiagnostics(); }},
        {u"writeConfigAction"_s, [&] { form.configPage->writeConfiguration(); }},
        {u"readLogsAction"_s, [&] { form.configPage->readLogs(); }},
        {u"eraseLogsAction"_s, [&] { form.configPage->eraseLogs(); }}};

    QVERIFY_THROWS_EXCEPTION(ConnectionError, handlers.value(button)());

    QCOMPARE(m_fx.errors, QStringList{message});
    verifyPageRestored();
    QVERIFY(m_fx.sim->requests().isEmpty());
}

// ---- Device, editor, file, editor, device ---------------------------------------------------

void TestUpgradeConfig::roundTrip_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("all-256") << allByteValues();
    QTest::newRow("all-256-each-break")
        << allByteValues() + "\r\n"_ba + allByteValues() + '\n' + allByteValues() + '\r' + allByteValues();
    QTest::newRow("crlf") << "[device]\r\nname=pump 4\r\nip=10.0.0.7\r\n"_ba;
    QTest::newRow("crlf-no-final-break") << "[device]\r\nname=pump 4"_ba;
    QTest::newRow("lf") << "a=1\nb=2\n"_ba;
    QTest::newRow("lf-no-final-break") << "a=1\nb=2"_ba;
    QTest::newRow("cr") << "a=1\rb=2\r"_ba;
    QTest::newRow("cr-no-final-break") << "a=1\rb=2"_ba;
    QTest::newRow("mixed") << "a\r\nb\nc\rd\r\r\ne\n\r"_ba;
    QTest::newRow("tabs") << "\tkey\t=\tvalue\t\r\n\t"_ba;
    QTest::newRow("high-bytes") << allByteValues().sliced(0x80) + "\r\n"_ba + allByteValues().sliced(0x80);
    QTest::newRow("nul") << "\0"_ba;
    QTest::newRow("nul-lines") << "key=\0\x01\xFF" "end\r\n\0\r\n\0"_ba;
    QTest::newRow("long-line") << pattern(20000, 1).replace('\r', 'r').replace('\n', 'n');
}

void TestUpgradeConfig::roundTrip()
{
    QFETCH(QByteArray, text);
    QVERIFY(startSimulator({u"--config-file"_s, u"%1=%2"_s.arg(Device).arg(writeFile(u"device.cfg"_s, text))}));
    TUpgradeDialog &form = *m_fx.form;

    form.configPage->readConfigAction->trigger();
    QCOMPARE(m_fx.errors, QStringList());
    QCOMPARE(EditorBytes(form.configPage->editor).toHex(), text.toHex());

    const QString file = m_dir.filePath(u"saved.cfg"_s);
    form.configPage->chooseSaveFile = [&] { return file; };
    form.configPage->saveAction->trigger();
    QFile saved(file);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll().toHex(), text.toHex());

    SetEditorBytes(form.configPage->editor, "something else\r\n"_ba);
    form.configPage->chooseOpenFile = [&] { return file; };
    form.configPage->openAction->trigger();
    QCOMPARE(EditorBytes(form.configPage->editor).toHex(), text.toHex());

    form.configPage->writeConfigAction->trigger();
    QCOMPARE(m_fx.errors, QStringList());
    const QJsonObject controller = controllerState();
    QCOMPARE(controller.value("configurationHex"_L1).toString(), QString::fromLatin1(text.toHex()));
    QCOMPARE(controller.value("configurationWrites"_L1).toInt(), 1);
    verifyPageRestored();
}

QTEST_MAIN(TestUpgradeConfig)

#include "tst_upgradeconfig.moc"
