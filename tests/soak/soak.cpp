// A fault soak of the whole program in the lab: each operation, run through the real
// windows against the device simulator, under each fault the simulator can show. Every case
// must end either in success with the data intact, or in a failure that the program reports
// in its own words with the device put back; meanwhile the window must keep handling
// events; and operations repeated many times must not make the process grow.
//
//   tarvino_soak [--quick] [--seconds S] [--out FILE] [--journals DIR] [Qt Test options]
//
// --quick (or TARVINO_SOAK_QUICK=1) runs the subset that CI runs; --seconds bounds the
// run (cases past it are listed as not run); --out names the Markdown file of the table
// (default soak-results.md); --journals keeps each case's simulator journal. Runs inside
// the lab's PC namespace only. RESULTS.md beside this file holds a full run.

#include "soakrig.h"
#include "soaktable.h"

#include "app/application.h"
#include "app/upgrade/boardupgradepanel.h"
#include "app/upgrade/configtext.h"
#include "app/upgrade/controllertextpage.h"
#include "app/upgrade/controllerupgradepanel.h"
#include "app/properties/propertiesdialog.h"
#include "app/upgrade/filenameedit.h"
#include "app/mainwindow.h"
#include "app/properties/ipedit.h"
#include "devsim/simdevice.h"
#include "app/stringgrid.h"
#include "testfiles.h"
#include "protocol/devicerecord.h"
#include "protocol/ipv4text.h"
#include "protocol/wire.h"
#include "bus/controllerbus.h"

#include <QAction>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTabWidget>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <cstdio>

using namespace Qt::StringLiterals;
using Soak::CaseRow;
using Soak::MemoryRow;
using Soak::Rig;

namespace {

// ---- The run's options -----------------------------------------------------------------

struct RunOptions
{
    bool quick = false;
    int seconds = 0; // 0: no bound
    QString out = u"soak-results.md"_s;
    QString journals; // where each case's simulator journal is kept, when set
    QString command;
};
RunOptions g_options;
QElapsedTimer g_clock;

bool budgetLeft()
{
    return g_options.seconds <= 0 || g_clock.elapsed() < qint64(g_options.seconds) * 1000;
}

// ---- Bounds ------------------------------------------------------------------------------

// The operations run on worker threads while the window keeps handling its events: whatever the
// device's timing, the window is never held longer than this.
constexpr qint64 GapBoundMs = 100;
// Growth per repetition, over the second half of a series. The allocator's bytes in use are
// exact: an operation that kept its bus client, its FTP client or a dialog's picture passes
// the bound at once. The resident size moves in steps of whole arenas as the allocator
// lays out its free space; its bound only catches what grows fast.
constexpr qint64 HeapGrowthBoundKiB = 4;
constexpr qint64 ResidentGrowthBoundKiB = 64;
// Under AddressSanitizer freed memory waits in its quarantine and the allocator is its own, so
// neither figure says anything about leaks there; LeakSanitizer checks them at the end instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool MemoryFiguresMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool MemoryFiguresMeaningful = false;
#else
constexpr bool MemoryFiguresMeaningful = true;
#endif
#else
constexpr bool MemoryFiguresMeaningful = true;
#endif
// No single case runs longer: the slowest ones wait out an engine wait of 10 s a few times.
constexpr int CaseLimitMs = 120000;
constexpr int ScanCycleLimitMs = 15000;

constexpr quint64 Seed = 7;
constexpr int ScanDevices = 12;
constexpr int Device = 0; // the device the maintenance cases talk to

// ---- Helpers ---------------------------------------------------------------------------

QStringList simArguments(const QString &fault)
{
    QStringList args{u"--seed"_s, QString::number(Seed)};
    if (!fault.isEmpty() && fault != u"none"_s)
        args << u"--fault"_s << fault;
    return args;
}

QList<DevSim::SimDevice> model(int devices)
{
    return DevSim::generateDevices(devices, LabSimulator::deviceAddress(0).toIPv4Address(), Seed);
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QByteArray pattern(qsizetype size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator{quint32(seed)};
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(generator.bounded(256));
    return bytes;
}

QStringList faultsOf(const QJsonObject &request)
{
    QStringList faults;
    for (const QJsonValue &value : request.value("faults"_L1).toArray())
        faults << value.toString();
    return faults;
}

// A request the device never acted on (dropped before it was read).
bool dropped(const QJsonObject &request)
{
    const QStringList faults = faultsOf(request);
    return faults.contains(u"loss"_s) || faults.contains(u"silent"_s);
}

// A request whose reply the program can take as the right answer.
bool answeredRight(const QJsonObject &request)
{
    return !dropped(request) && !faultsOf(request).contains(u"wrong-ack"_s);
}

QString boardText(const QJsonObject &state)
{
    auto onOff = [&](const char *key) { return state.value(QLatin1String(key)).toBool() ? u"on"_s : u"off"_s; };
    return u"updater %1, daemon %2, FTP server %3"_s.arg(onOff("updater"), onOff("daemon"), onOff("ftpServer"));
}

bool boardNormal(const QJsonObject &state)
{
    return !state.value("updater"_L1).toBool() && state.value("daemon"_L1).toBool()
        && !state.value("ftpServer"_L1).toBool();
}

QString controllerView(const QJsonObject &state)
{
    return state.value("controller"_L1).toObject().value("view"_L1).toString();
}

// The bus requests of a device, short: "W 0 128", "R 4 96", "C d2"; a request the device
// dropped carries "(dropped)".
QStringList busLines(const Rig &rig, int device)
{
    QStringList lines;
    for (const QJsonObject &r : rig.received(device, Wire::BusPort)) {
        const int fn = r.value("fn"_L1).toInt(-1);
        QString line;
        if (fn == Wire::Bus::FunctionCommand)
            line = u"C %1"_s.arg(r.value("sub"_L1).toInt(), 2, 16, QLatin1Char('0'));
        else if (fn == Wire::Bus::FunctionWriteBlock || fn == Wire::Bus::FunctionReadBlock)
            line = u"%1 %2 %3"_s.arg(QChar(fn == Wire::Bus::FunctionWriteBlock ? u'W' : u'R'))
                       .arg(r.value("addr"_L1).toInteger())
                       .arg(r.value("n"_L1).toInt());
        else
            line = u"? "_s + r.value("error"_L1).toString();
        if (dropped(r))
            line += u" (dropped)"_s;
        lines << line;
    }
    return lines;
}

bool resetSent(const QStringList &bus)
{
    for (const QString &line : bus)
        if (line.startsWith(u"C 00"_s))
            return true;
    return false;
}

QString boxesText(const QStringList &boxes)
{
    return boxes.join(u"; "_s);
}

// Back in normal service after any ending, or a message says what the device is left in.
void judgePutBack(CaseRow &row, const QJsonObject &after, const QStringList &boxes)
{
    if (boardNormal(after)) {
        row.putBack = u"yes: "_s + boardText(after);
    } else if (boxesText(boxes).contains(u"The device is left with"_s)) {
        row.putBack = u"no, and told: "_s + boardText(after);
    } else {
        row.putBack = u"NO: "_s + boardText(after);
        row.violations << u"device left out of normal service without a word"_s;
    }
}

// Log blocks as the editor shows them: one line each, without a final CR LF.
QByteArray logText(const QList<QByteArray> &blocks)
{
    QByteArrayList lines;
    for (const QByteArray &block : blocks)
        lines << (block.endsWith("\r\n") ? block.chopped(2) : block);
    return lines.join("\r\n");
}

// How many whole log lines of the expected text the editor holds, -1 when it holds
// anything else.
int logPrefix(const QByteArray &shown, const QList<QByteArray> &blocks)
{
    if (shown.isEmpty())
        return 0;
    for (int k = 1; k <= blocks.size(); ++k)
        if (shown == logText(blocks.first(k)))
            return k;
    return -1;
}

// The six cells of a device's grid row, from the model.
QStringList expectedRow(const DevSim::SimDevice &device)
{
    QByteArray mac;
    const quint64 value = device.ipv4AddressRecord ? 0 : device.mac;
    for (int shift = 40; shift >= 0; shift -= 8)
        mac.append(char((value >> shift) & 0xFF));
    return {QString::fromLatin1(device.name), QString::fromLatin1(device.typeText),
            QString::fromLatin1(device.hardwareVersion), device.ipText(),
            QString::fromLatin1(mac.toHex('.').toUpper()), QString::fromLatin1(device.bootstrapVersion)};
}

QStringList gridRow(TMainWindow &main, int row)
{
    QStringList cells;
    for (int column = 0; column < TMainWindow::ColumnCount; ++column)
        cells << main.StringGrid->Cells(column, row);
    return cells;
}

int gridRowOf(TMainWindow &main, const QString &ip)
{
    for (int row = 1; row < main.StringGrid->RowCount(); ++row)
        if (main.StringGrid->Cells(3, row) == ip)
            return row;
    return -1;
}

void selectGridRow(TMainWindow &main, int row)
{
    TStringGrid *grid = main.StringGrid;
    const QRect cell = grid->visualRect(grid->model()->index(row - 1, 1));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
}

// What the grid lists against the model: each device at most once with its own cells.
struct Listing
{
    QStringList listed; // addresses, in grid order
    QStringList duplicates;
    QStringList wrongRows;
};

Listing listing(TMainWindow &main, const QList<DevSim::SimDevice> &devices)
{
    Listing result;
    for (int row = 1; row < main.StringGrid->RowCount(); ++row) {
        const QStringList cells = gridRow(main, row);
        if (cells.join(QString()).isEmpty())
            continue;
        const QString ip = cells.at(3);
        if (result.listed.contains(ip))
            result.duplicates << ip;
        result.listed << ip;
        const auto found = std::find_if(devices.cbegin(), devices.cend(),
                                        [&](const DevSim::SimDevice &d) { return d.ipText() == ip; });
        if (found == devices.cend() || cells != expectedRow(*found))
            result.wrongRows << ip;
    }
    return result;
}

// A scan cycle from the scan button to its end.
bool scanToTheEnd(Rig &rig)
{
    rig.main().ScanButton->click();
    return rig.waitUntil([&] { return !rig.main().Timer->isActive(); }, ScanCycleLimitMs);
}

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

    Soak::Results m_results;
    QTemporaryDir m_dir;

    QString writeFile(const QString &relativePath, const QByteArray &bytes)
    {
        return WriteTestFile(QDir(m_dir.path()), relativePath, bytes);
    }

    static void addRow(const QString &operation, const QString &fault, bool quick)
    {
        if (g_options.quick && !quick)
            return;
        QTest::newRow(qPrintable(operation + u" | "_s + fault)) << operation << fault;
    }

    bool skipWhenOutOfTime(const QString &operation, const QString &fault)
    {
        if (budgetLeft())
            return false;
        m_results.notRun(operation, fault, u"time budget spent"_s);
        return true;
    }

    // The table row's checks as Qt Test sees them: the gap bound and no violation.
    void record(CaseRow row, Rig &rig)
    {
        if (!g_options.journals.isEmpty()) {
            QDir().mkpath(g_options.journals);
            QString name = row.operation + u"--"_s + row.fault + u".jsonl"_s;
            name.replace(QRegularExpression(u"[^A-Za-z0-9=.@,_-]+"_s), u"_"_s);
            QFile::copy(rig.sim().journalPath(), QDir(g_options.journals).filePath(name));
        }
        if (row.gapMs > GapBoundMs)
            row.violations << u"window held for %1 ms"_s.arg(row.gapMs);
        m_results.add(row);
        std::printf("soak: %s | %s | %s | gap %lld ms | %lld ms\n", qPrintable(row.operation), qPrintable(row.fault),
                    qPrintable(row.violations.isEmpty() ? row.outcome : row.violations.join(u"; "_s)),
                    row.gapMs, row.timeMs);
        std::fflush(stdout);
        QVERIFY2(row.gapMs >= 0, "the gap meter did not run");
        QVERIFY2(row.gapMs <= GapBoundMs, qPrintable(u"longest GUI gap %1 ms"_s.arg(row.gapMs)));
        QVERIFY2(row.violations.isEmpty(), qPrintable(row.violations.join(u"; "_s)));
    }

    // Runs an operation from the event loop with the gap meter on; its time in ms.
    qint64 measured(Rig &rig, const std::function<void()> &operation, bool *finished)
    {
        QElapsedTimer clock;
        clock.start();
        rig.boxes().clear();
        rig.gaps().start();
        *finished = rig.runFromEventLoop(operation, CaseLimitMs);
        rig.gaps().stop();
        return clock.elapsed();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(LabSimulator::inLab(), "talks to simulated devices: run it inside the lab's PC namespace");
        QVERIFY(m_dir.isValid());
        g_clock.start();
    }

    void cleanupTestCase()
    {
        const QString table = m_results.markdown(g_options.command, GapBoundMs, HeapGrowthBoundKiB, ResidentGrowthBoundKiB);
        std::printf("\n%s\n", qPrintable(table));
        std::fflush(stdout);
        if (!g_options.out.isEmpty()) {
            QFile file(g_options.out);
            QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(file.errorString()));
            file.write(table.toUtf8());
        }
    }

    // ---- Scan: two broadcasts a second apart, every device listed once ----

    void scan_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("fault");
        const QString scan = u"Scan, %1 devices"_s.arg(ScanDevices);
        addRow(scan, u"none"_s, true);
        addRow(scan, u"all:loss=0.3@52389"_s, true);
        addRow(scan, u"all:delay=300"_s, false);
        addRow(scan, u"all:duplicate"_s, true);
        addRow(scan, u"3:wrong-ack"_s, true);
        addRow(scan, u"5:silent"_s, true);
    }

    void scan()
    {
        QFETCH(QString, operation);
        QFETCH(QString, fault);
        if (skipWhenOutOfTime(operation, fault))
            QSKIP("time budget spent");
        Rig rig;
        QString error;
        QVERIFY2(rig.start(ScanDevices, simArguments(fault), &error), qPrintable(error));
        const QList<DevSim::SimDevice> devices = model(ScanDevices);

        CaseRow row;
        row.operation = operation;
        row.fault = fault;
        bool finished = false;
        row.timeMs = measured(rig, [&] { rig.main().ScanButton->click(); }, &finished);
        row.gapMs = rig.gaps().longestMs();
        // The cycle goes on after the click: its end is part of the operation.
        rig.gaps().start();
        QElapsedTimer cycle;
        cycle.start();
        const bool ended = rig.waitUntil([&] { return !rig.main().Timer->isActive(); }, ScanCycleLimitMs);
        rig.gaps().stop();
        row.timeMs += cycle.elapsed();
        row.gapMs = std::max(row.gapMs, rig.gaps().longestMs());
        QVERIFY(finished && ended);

        // A device must be listed exactly when one of its discovery requests was answered right.
        QStringList expected;
        for (const DevSim::SimDevice &device : devices) {
            const QList<QJsonObject> requests = rig.sim().requests(device.ipText(), Wire::DevicePort);
            if (std::any_of(requests.cbegin(), requests.cend(), answeredRight))
                expected << device.ipText();
        }
        const Listing found = listing(rig.main(), devices);
        QStringList missing, extra;
        for (const QString &ip : expected)
            if (!found.listed.contains(ip))
                missing << ip;
        for (const QString &ip : found.listed)
            if (!expected.contains(ip))
                extra << ip;
        row.outcome = u"listed %1 of %2"_s.arg(found.listed.size()).arg(ScanDevices);
        if (expected.size() < ScanDevices)
            row.outcome += u" (%1 not answering right: not listed, as they must not be)"_s.arg(ScanDevices - expected.size());
        row.data = found.wrongRows.isEmpty() && found.duplicates.isEmpty() ? u"every row equals the device's"_s
                                                                           : u"rows differ: "_s + found.wrongRows.join(u", "_s);
        row.putBack = u"n/a (discovery changes nothing)"_s;
        if (!missing.isEmpty())
            row.violations << u"answering devices missing: "_s + missing.join(u", "_s);
        if (!extra.isEmpty())
            row.violations << u"listed without a right answer: "_s + extra.join(u", "_s);
        if (!found.duplicates.isEmpty())
            row.violations << u"listed twice: "_s + found.duplicates.join(u", "_s);
        if (!found.wrongRows.isEmpty())
            row.violations << u"wrong cells: "_s + found.wrongRows.join(u", "_s);
        if (!rig.boxes().seen().isEmpty())
            row.violations << u"boxes shown: "_s + boxesText(rig.boxes().seen());
        record(row, rig);
    }

    // ---- Commands of the main window ----

    void commands_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("fault");
        const QString dropBear = u"DropBear"_s;
        addRow(dropBear, u"none"_s, true);
        addRow(dropBear, u"1:loss=0.5@cmd=9"_s, false);
        addRow(dropBear, u"1:delay=1000@cmd=9"_s, false);
        addRow(dropBear, u"1:duplicate@cmd=9"_s, false);
        addRow(dropBear, u"1:wrong-ack=9"_s, true);
        const QString properties = u"Properties, OK"_s;
        addRow(properties, u"none"_s, true);
        addRow(properties, u"all:duplicate"_s, false);
        const QString search = u"Search IP Address (TCP)"_s;
        addRow(search, u"none"_s, false);
        addRow(search, u"1:split@tcp"_s, true);
        addRow(search, u"1:refuse@tcp"_s, true);
        addRow(search, u"1:delay=1500@tcp"_s, false);
    }

    void commands()
    {
        QFETCH(QString, operation);
        QFETCH(QString, fault);
        if (skipWhenOutOfTime(operation, fault))
            QSKIP("time budget spent");
        constexpr int Devices = 4;
        constexpr int Target = 1;
        const QList<DevSim::SimDevice> devices = model(Devices);
        const DevSim::SimDevice &device = devices.at(Target);
        Rig rig;
        QString error;
        QVERIFY2(rig.start(Devices, simArguments(fault), &error), qPrintable(error));
        CaseRow row;
        row.operation = operation;
        row.fault = fault;
        TMainWindow &main = rig.main();
        bool finished = false;

        if (operation == u"DropBear"_s) {
            QVERIFY(scanToTheEnd(rig));
            const int gridRow = gridRowOf(main, device.ipText());
            QVERIFY(gridRow > 0);
            selectGridRow(main, gridRow);
            QCOMPARE(main.selectedDevice(), gridRow - 1);
            const int before = int(rig.received(Target, Wire::DevicePort).size());
            row.timeMs = measured(rig, [&] { main.DropBearButton->click(); }, &finished);
            row.gapMs = rig.gaps().longestMs();
            QVERIFY(finished);
            const QList<QJsonObject> requests = rig.received(Target, Wire::DevicePort).mid(before);
            // Up to five requests, until the first one acknowledged; each one that arrived toggles.
            int arrived = 0;
            int expectedRequests = 0;
            for (const QJsonObject &r : requests) {
                if (r.value("cmd"_L1).toInt() != int(Wire::Command::SetDropBear))
                    continue;
                ++expectedRequests;
                arrived += dropped(r) ? 0 : 1;
                if (answeredRight(r))
                    break;
            }
            const int sent = int(std::count_if(requests.cbegin(), requests.cend(), [](const QJsonObject &r) {
                return r.value("cmd"_L1).toInt() == int(Wire::Command::SetDropBear);
            }));
            const bool acknowledged =
                std::any_of(requests.cbegin(), requests.cend(), [](const QJsonObject &r) { return answeredRight(r); });
            if (!acknowledged)
                expectedRequests = 5;
            const bool on = rig.sim().deviceState(Target).value("dropBear"_L1).toBool();
            const QString status = main.StatusBar->currentMessage();
            row.outcome = (acknowledged ? u"acknowledged after %1 request(s)"_s : u"not acknowledged after %1 requests"_s)
                              .arg(sent)
                          + u"; status bar: "_s + status;
            const bool told = acknowledged ? status.endsWith(u" toggled its SSH server; the device does not report whether it is now on or off"_s)
                                           : status.contains(u" the SSH toggle"_s);
            if (!told)
                row.violations << u"the status bar does not tell the outcome"_s;
            row.data = u"DropBear %1 (toggled by each of the %2 request(s) that arrived)"_s.arg(on ? u"on"_s : u"off"_s)
                           .arg(arrived);
            row.putBack = u"n/a (a switch, no maintenance mode)"_s;
            if (sent != expectedRequests)
                row.violations << u"%1 requests sent, %2 due"_s.arg(sent).arg(expectedRequests);
            if (on != (arrived % 2 == 1))
                row.violations << u"device state does not follow the requests"_s;
            if (!rig.boxes().seen().isEmpty())
                row.violations << u"boxes shown: "_s + boxesText(rig.boxes().seen());
            if (!main.DropBearButton->isEnabled() || QApplication::overrideCursor())
                row.violations << u"button or cursor not restored"_s;
        } else if (operation == u"Properties, OK"_s) {
            QVERIFY(scanToTheEnd(rig));
            const int gridRow = gridRowOf(main, device.ipText());
            QVERIFY(gridRow > 0);
            selectGridRow(main, gridRow);
            QStringList shown;
            rig.boxes().onProperties = [&](TPropertiesDialog *dialog) {
                for (const char *name : {"ipaddress", "submask", "gateway", "DNS1", "DNS2"})
                    if (auto *edit = dialog->findChild<TIPEdit *>(QLatin1String(name)))
                        shown << edit->text();
                for (const char *name : {"HardwareEdit", "BootstrapEdit", "KernelEdit", "FirmwareEdit"})
                    if (auto *edit = dialog->findChild<QLineEdit *>(QLatin1String(name)))
                        shown << edit->text();
                if (auto *dhcp = dialog->findChild<QCheckBox *>(u"DHCP"_s))
                    shown << (dhcp->isChecked() ? u"DHCP"_s : u"static"_s);
                QTest::mouseClick(dialog->findChild<QPushButton *>(u"OKBtn"_s), Qt::LeftButton);
            };
            row.timeMs = measured(rig, [&] { main.PropertiesButton->click(); }, &finished);
            row.gapMs = rig.gaps().longestMs();
            QVERIFY(finished);
            // OK starts a new scan: its whole cycle belongs to the operation.
            rig.gaps().start();
            QElapsedTimer cycle;
            cycle.start();
            const bool rescanned = main.Timer->isActive();
            const bool ended = rig.waitUntil([&] { return !main.Timer->isActive(); }, ScanCycleLimitMs);
            rig.gaps().stop();
            row.timeMs += cycle.elapsed();
            row.gapMs = std::max(row.gapMs, rig.gaps().longestMs());
            QVERIFY(ended);
            const QStringList expected{IpToText(device.ip),      IpToText(device.netmask),
                                       IpToText(device.gateway), IpToText(device.dns1),
                                       IpToText(device.dns2),    QString::fromLatin1(device.hardwareVersion),
                                       QString::fromLatin1(device.bootstrapVersion),
                                       QString::fromLatin1(device.kernelVersion),
                                       QString::fromLatin1(device.firmwareVersion),
                                       device.networkFlags & Wire::DhcpFlag ? u"DHCP"_s : u"static"_s};
            const Listing found = listing(main, devices);
            row.outcome = rescanned ? u"dialog closed with OK, new scan listed %1 of %2"_s.arg(found.listed.size()).arg(Devices)
                                    : u"no new scan after OK"_s;
            row.data = shown == expected ? u"dialog shows the device's settings and versions"_s
                                         : u"dialog shows: "_s + shown.join(u", "_s);
            row.putBack = u"n/a (the dialog sends nothing)"_s;
            if (shown != expected)
                row.violations << u"dialog values differ"_s;
            if (!rescanned)
                row.violations << u"OK did not scan again"_s;
            if (found.listed.size() != Devices || !found.duplicates.isEmpty() || !found.wrongRows.isEmpty())
                row.violations << u"rescan: %1 listed, twice: %2, wrong: %3"_s.arg(found.listed.size())
                                      .arg(found.duplicates.join(u","_s), found.wrongRows.join(u","_s));
            if (!rig.boxes().seen().isEmpty())
                row.violations << u"boxes shown: "_s + boxesText(rig.boxes().seen());
        } else {
            main.askAddress = [&](QString *text) {
                *text = device.ipText();
                return true;
            };
            row.timeMs = measured(rig, [&] { main.tutu1->trigger(); }, &finished);
            row.gapMs = rig.gaps().longestMs();
            QVERIFY(finished);
            const QStringList boxes = rig.boxes().seen();
            const QList<QJsonObject> requests = rig.received(Target, Wire::DevicePort);
            const bool refused = std::any_of(requests.cbegin(), requests.cend(),
                               [](const QJsonObject &r) { return r.value("connection"_L1).toString() == u"refused"_s; });
            const bool split = std::any_of(requests.cbegin(), requests.cend(),
                                           [](const QJsonObject &r) { return faultsOf(r).contains(u"split"_s); });
            if (main.devices().size() == 1 && boxes.isEmpty()) {
                const QStringList cells = gridRow(main, 1);
                const bool right = cells == expectedRow(device);
                row.outcome = u"listed over TCP (transport %1)"_s.arg(main.devices().first().Transport);
                if (right) {
                    row.data = u"row equals the device's"_s;
                } else {
                    row.data = u"row: "_s + cells.join(u", "_s) + (split ? u" (the reply came in two writes)"_s : QString());
                    row.violations << u"row differs from the device's"_s;
                }
                if (main.devices().first().Transport != TransportTcp)
                    row.violations << u"not listed with transport TCP"_s;
            } else if (!boxes.isEmpty()) {
                row.outcome = u"failed: "_s + boxesText(boxes);
                row.data = main.devices().isEmpty() ? u"list emptied, nothing listed"_s : u"list not empty"_s;
                if (!refused)
                    row.violations << u"an error without a refused connection"_s;
                if (!main.devices().isEmpty())
                    row.violations << u"a device listed after the error"_s;
            } else {
                row.outcome = u"nothing listed, no message"_s;
                row.data = u"list empty"_s;
                row.violations << u"the device answered and is not listed, silently"_s;
            }
            row.putBack = u"n/a (discovery changes nothing)"_s;
        }
        record(row, rig);
    }

    // ---- The Config page: configuration, diagnostics and logs over the bus ----

    void config_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("fault");
        struct Fault
        {
            QString text;
            QStringList quickFor; // the operations the quick run takes it for
        };
        const QString read = u"Read Config"_s, write = u"Write Config"_s, diagnose = u"Diagnose"_s, logs = u"Read Logs"_s;
        const QList<Fault> faults{
            {u"none"_s, {read}},
            {u"0:loss=0.3@52390"_s, {read, write, logs}},
            {u"0:bad-crc@52390@from=3@count=2"_s, {read, logs}},
            {u"0:bad-crc@52390"_s, {}},
            {u"0:delay=150@52390"_s, {diagnose}},
            {u"0:delay=400@52390"_s, {}},
            {u"0:duplicate@52390"_s, {read, write}},
            {u"0:wrong-ack=8"_s, {}},
            {u"0:silent@52390@from=4"_s, {read, write}},
        };
        for (const QString &operation : {read, write, diagnose, logs})
            for (const Fault &fault : faults)
                addRow(operation, fault.text, fault.quickFor.contains(operation));
        // The reply to "next log block" lost once: the command is sent again.
        addRow(logs, u"0:bad-crc@52390@sub=0xD6@count=1"_s, false);
    }

    void config()
    {
        QFETCH(QString, operation);
        QFETCH(QString, fault);
        if (skipWhenOutOfTime(operation, fault))
            QSKIP("time budget spent");
        constexpr int Devices = 2;
        const DevSim::SimDevice device = model(Devices).at(Device);
        Rig rig;
        QString error;
        QVERIFY2(rig.start(Devices, simArguments(fault), &error), qPrintable(error));
        rig.openUpgradeWindow(Device, TransportUdp);
        TUpgradeDialog &form = rig.upgrade();
        form.pages->setCurrentIndex(1);

        // A text of several chunks, with 8-bit bytes, a NUL and CR LF lines.
        QByteArray text = "[device]\r\nname=soak \xE9t\xE9\r\nkey="_ba + QByteArray("\0\x01\xFF", 3) + "end\r\n"_ba;
        for (int i = 0; text.size() < 300; ++i)
            text += "channel" + QByteArray::number(i) + "=" + QByteArray::number(i * 7919) + "\r\n";
        const QJsonObject before = rig.sim().deviceState(Device);
        const QByteArray configBefore =
            QByteArray::fromHex(before.value("controller"_L1).toObject().value("configurationHex"_L1).toString().toLatin1());

        QAction *button = nullptr;
        QString failure = u"Read Config Failed"_s;
        QByteArray expected;
        int stopSub = 0;
        if (operation == u"Read Config"_s) {
            button = form.configPage->readConfigAction;
            expected = configBefore;
            stopSub = Wire::Bus::GetConfigStop;
        } else if (operation == u"Diagnose"_s) {
            button = form.configPage->diagnoseAction;
            failure = u"Read Diagnose Failed"_s;
            expected = device.controller.diagnostics();
            stopSub = Wire::Bus::GetDiagnoseStop;
        } else if (operation == u"Read Logs"_s) {
            button = form.configPage->readLogsAction;
            expected = logText(device.controller.logBlocks());
            stopSub = Wire::Bus::GetLogsStop;
        } else {
            button = form.configPage->writeConfigAction;
            failure = u"Write Config Failed"_s;
            expected = text;
            stopSub = Wire::Bus::SetConfigStop;
            SetEditorBytes(form.configPage->editor, text);
        }

        CaseRow row;
        row.operation = operation;
        row.fault = fault;
        bool finished = false;
        row.timeMs = measured(rig, [&] { button->trigger(); }, &finished);
        row.gapMs = rig.gaps().longestMs();
        QVERIFY(finished);
        const QStringList boxes = rig.boxes().seen();
        const QJsonObject after = rig.sim().deviceState(Device);
        const QJsonObject controller = after.value("controller"_L1).toObject();
        const QByteArray configAfter = QByteArray::fromHex(controller.value("configurationHex"_L1).toString().toLatin1());
        const QByteArray shown = EditorBytes(form.configPage->editor);
        const QStringList bus = busLines(rig, Device);
        const bool writing = operation == u"Write Config"_s;

        const bool failed = !boxes.isEmpty();
        if (!failed) {
            row.outcome = u"succeeded"_s;
            const bool intact = writing ? configAfter == expected && controller.value("configurationWrites"_L1).toInt() >= 1
                                        : shown == expected;
            row.data = intact ? (writing ? u"stored configuration equals the text (%1 bytes)"_s
                                         : u"editor equals the device's text (%1 bytes)"_s)
                                    .arg(expected.size())
                              : (writing ? u"stored configuration differs (%1 bytes)"_s.arg(configAfter.size())
                                         : u"editor differs: %1 bytes shown, %2 expected"_s.arg(shown.size()).arg(expected.size()));
            if (!intact)
                row.violations << u"success reported with wrong data"_s;
        } else {
            row.outcome = u"failed: "_s + boxesText(boxes);
            // The operation's failure text, then what went wrong and what the device is left in.
            const QString own = u"Erreur: "_s + failure;
            if (boxes.size() != 1 || (boxes.first() != own && !boxes.first().startsWith(own + u"\r\n"_s)))
                row.violations << u"not the operation's own message"_s;
            if (writing) {
                // Committed whole or not at all: never a mix of the old text and the new.
                if (configAfter == configBefore)
                    row.data = u"configuration unchanged"_s;
                else if (configAfter == text)
                    row.data = u"configuration equals the text (stored before a later step failed)"_s;
                else
                    row.violations << u"configuration neither the old text nor the new"_s;
                if (row.data.isEmpty())
                    row.data = u"configuration mixed (%1 bytes)"_s.arg(configAfter.size());
            } else if (operation == u"Read Logs"_s) {
                const int lines = logPrefix(shown, device.controller.logBlocks());
                row.data = lines < 0  ? u"editor holds something else"_s
                         : lines == 0 ? u"editor empty"_s
                                      : u"editor holds the first %1 of %2 blocks, intact"_s.arg(lines).arg(device.controller.logBlocks().size());
                if (lines < 0)
                    row.violations << u"editor holds what the device did not send"_s;
            } else if (shown.isEmpty()) {
                row.data = u"editor empty"_s;
            } else if (shown == expected) {
                // Read whole, then the closing command went unanswered.
                row.data = u"editor holds the device's text, intact (%1 bytes)"_s.arg(shown.size());
            } else {
                row.data = u"editor holds %1 bytes that are not the device's text"_s.arg(shown.size());
                row.violations << u"editor filled with wrong data after a failure"_s;
            }
        }

        // The board back in normal service, or the message says what it is left in; after a failed
        // bus operation the controller reset first.
        const QString stopLine = u"C %1"_s.arg(stopSub, 2, 16, QLatin1Char('0'));
        const bool busDone = bus.contains(stopLine);
        const bool reset = resetSent(bus);
        judgePutBack(row, after, boxes);
        if (failed && !bus.isEmpty() && !busDone) {
            row.putBack += reset ? u"; controller reset sent"_s : u"; no controller reset"_s;
            if (!reset)
                row.violations << u"failed bus operation without a reset"_s;
        }
        const QString view = controllerView(after);
        if (view != u"firmware"_s)
            row.putBack += u"; controller shows its %1 area (%2)"_s.arg(view, reset ? u"its reset went unanswered"_s
                                                                                   : u"no reset"_s);
        if (!failed && !boardNormal(after))
            row.violations << u"success reported with the device out of normal mode"_s;
        record(row, rig);
    }

    // ---- Controller firmware: written, read back, into update mode ----

    void controllerUpgrade_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("fault");
        const QString upgrade = u"Controller upgrade"_s;
        addRow(upgrade, u"none"_s, true);
        addRow(upgrade, u"0:loss=0.2@52390"_s, true);
        addRow(upgrade, u"0:bad-crc@52390@from=5@count=2"_s, true);
        addRow(upgrade, u"0:duplicate@52390"_s, false);
        addRow(upgrade, u"0:corrupt-readback=0x1A2"_s, true);
        addRow(upgrade, u"0:silent@52390@from=6"_s, true);
        addRow(upgrade, u"0:silent@52390@fn=0x6E@from=3"_s, false);
        addRow(upgrade, u"0:delay=150@52390"_s, false);
        addRow(upgrade, u"0:delay=400@52390"_s, false);
        addRow(upgrade, u"0:wrong-ack=5"_s, false);
    }

    void controllerUpgrade()
    {
        QFETCH(QString, operation);
        QFETCH(QString, fault);
        if (skipWhenOutOfTime(operation, fault))
            QSKIP("time budget spent");
        Rig rig;
        QString error;
        QVERIFY2(rig.start(2, simArguments(fault), &error), qPrintable(error));
        rig.openUpgradeWindow(Device, TransportUdp);
        TUpgradeDialog &form = rig.upgrade();
        const QByteArray image = pattern(g_options.quick ? 1000 : 2000, 11);
        form.controllerPanel->fileEdit->setFileName(writeFile(u"controller.bin"_s, image));
        form.UpdateButtons();
        QVERIFY(form.controllerPanel->upgradeButton->isEnabled());

        CaseRow row;
        row.operation = operation;
        row.fault = fault;
        bool finished = false;
        row.timeMs = measured(rig, [&] { form.controllerPanel->upgradeButton->click(); }, &finished);
        row.gapMs = rig.gaps().longestMs();
        QVERIFY(finished);
        const QStringList boxes = rig.boxes().seen();
        const QJsonObject after = rig.sim().deviceState(Device);
        const QJsonObject controller = after.value("controller"_L1).toObject();
        const QStringList bus = busLines(rig, Device);
        const int updateModes = controller.value("updateModeCount"_L1).toInt();
        const QList<QJsonObject> commands = rig.received(Device, Wire::DevicePort);
        const bool bracketClosed = std::any_of(commands.cbegin(), commands.cend(), [](const QJsonObject &r) {
            return r.value("cmd"_L1).toInt() == int(Wire::Command::StartDaemon);
        });

        if (updateModes > 0) {
            const bool intact = controller.value("updateImageSha256"_L1).toString() == sha256(image)
                && controller.value("firmwareSha256"_L1).toString() == sha256(image);
            row.data = intact ? u"firmware area equals the image (%1 bytes), taken into update mode"_s.arg(image.size())
                              : u"update mode with a firmware area that differs from the image"_s;
            if (!intact)
                row.violations << u"update mode entered with wrong data"_s;
        } else {
            const bool whole = controller.value("firmwareSha256"_L1).toString() == sha256(image);
            const bool none = controller.value("firmwareSize"_L1).toInt() == 0;
            row.data = u"no update mode (firmware area %1)"_s.arg(whole ? u"holds the image"_s
                                                                  : none ? u"not written"_s
                                                                         : u"partly written"_s);
        }
        if (boxes.isEmpty() && updateModes > 0 && bracketClosed) {
            row.outcome = u"succeeded"_s;
        } else if (!boxes.isEmpty()) {
            row.outcome = u"failed: "_s + boxesText(boxes);
            if (!boxes.first().startsWith(u"Erreur: Verify Error"_s)
                && !boxes.first().startsWith(u"Erreur: Device not responding: "_s))
                row.violations << u"not the operation's own message"_s;
            if (updateModes > 0 && !boxes.first().contains(u"Device not responding: Stopping updater"_s)
                && !boxes.first().contains(u"Device not responding: Starting daemon"_s))
                row.violations << u"update mode entered although a failure was reported"_s;
        } else {
            row.outcome = u"ended without update mode and without a message"_s;
            row.violations << u"failure without a message"_s;
        }

        if (!bus.isEmpty() && updateModes == 0 && !resetSent(bus))
            row.violations << u"failed transfer without a controller reset"_s;
        judgePutBack(row, after, boxes);
        record(row, rig);
    }

    // ---- The communication board: the image over FTP, then the board upgrades itself ----

    void boardUpgrade_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("fault");
        const QString upgrade = u"Board upgrade (FTP)"_s;
        addRow(upgrade, u"none"_s, true);
        addRow(upgrade, u"0:ftp-426"_s, true);
        addRow(upgrade, u"0:ftp-silent"_s, true);
        addRow(upgrade, u"0:refuse@21"_s, true);
        addRow(upgrade, u"0:delay=1000@52389"_s, false);
        addRow(upgrade, u"0:loss=0.4@52389"_s, false);
        addRow(upgrade, u"0:duplicate@52389"_s, false);
        addRow(upgrade, u"0:wrong-ack=4"_s, false);
    }

    void boardUpgrade()
    {
        QFETCH(QString, operation);
        QFETCH(QString, fault);
        if (skipWhenOutOfTime(operation, fault))
            QSKIP("time budget spent");
        Rig rig;
        QString error;
        QVERIFY2(rig.start(2, simArguments(fault), &error), qPrintable(error));
        rig.openUpgradeWindow(Device, TransportUdp);
        TUpgradeDialog &form = rig.upgrade();
        const QString name = u"board fw-3.1.bin"_s;
        const QByteArray image = pattern(g_options.quick ? 200 * 1024 + 3 : 1024 * 1024 + 3, 12);
        form.boardPanel->fileEdit->setFileName(writeFile(u"images/"_s + name, image));
        form.UpdateButtons();
        QVERIFY(form.boardPanel->upgradeButton->isEnabled());

        CaseRow row;
        row.operation = operation;
        row.fault = fault;
        bool finished = false;
        row.timeMs = measured(rig, [&] { form.boardPanel->upgradeButton->click(); }, &finished);
        row.gapMs = rig.gaps().longestMs();
        QVERIFY(finished);
        const QStringList boxes = rig.boxes().seen();
        const QJsonObject after = rig.sim().deviceState(Device);
        const QByteArray stored = rig.sim().storedFile(Device, name);
        const int installs = after.value("installCount"_L1).toInt();
        const bool storedWhole = stored == image;

        row.data = stored.isEmpty() ? u"no file stored"_s
                 : storedWhole      ? u"stored file equals the image (%1 bytes)"_s.arg(image.size())
                                    : u"stored file differs (%1 of %2 bytes)"_s.arg(stored.size()).arg(image.size());
        if (installs > 0) {
            row.data += u", installed"_s;
            if (!storedWhole || after.value("installedImage"_L1).toString() != name)
                row.violations << u"the board upgraded from a file that is not the image"_s;
        }
        if (boxes.isEmpty() && installs > 0) {
            row.outcome = u"succeeded"_s;
        } else if (!boxes.isEmpty()) {
            row.outcome = u"failed: "_s + boxesText(boxes);
            // An FTP error reaches the general handler; a board step names itself.
            if (!boxes.first().startsWith(u"Tarvino: "_s) && !boxes.first().startsWith(u"Erreur: Device not responding: "_s))
                row.violations << u"neither the general handler's box nor the step's message"_s;
            if (installs > 0)
                row.violations << u"upgraded although a failure was reported"_s;
        } else {
            row.outcome = u"ended without upgrade and without a message"_s;
            row.violations << u"failure without a message"_s;
        }
        judgePutBack(row, after, boxes);
        if (form.IsBusy() || QApplication::overrideCursor() || !form.boardPanel->upgradeButton->isEnabled())
            row.violations << u"window not restored"_s;
        record(row, rig);
    }

    // ---- Memory: the same operation many times, the process must not grow ----

    void memory_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("repetitions");
        const bool quick = g_options.quick;
        QTest::newRow("Read Config") << u"Read Config"_s << (quick ? 12 : 60);
        QTest::newRow("Controller upgrade") << u"Controller upgrade"_s << (quick ? 10 : 50);
        QTest::newRow("Board upgrade (FTP)") << u"Board upgrade (FTP)"_s << (quick ? 10 : 50);
        QTest::newRow("DropBear") << u"DropBear"_s << (quick ? 12 : 60);
        QTest::newRow("Scan") << u"Scan"_s << (quick ? 4 : 16);
    }

    void memory()
    {
        QFETCH(QString, operation);
        QFETCH(int, repetitions);
        if (!budgetLeft()) {
            m_results.notRun(operation + u" (memory)"_s, u"none"_s, u"time budget spent"_s);
            QSKIP("time budget spent");
        }
        constexpr int WarmUp = 2;
        const int devices = operation == u"Scan"_s ? ScanDevices : 2;
        Rig rig;
        QString error;
        QVERIFY2(rig.start(devices, simArguments(QString()), &error), qPrintable(error));
        TUpgradeDialog &form = rig.upgrade();
        TMainWindow &main = rig.main();
        std::function<void()> once;
        std::function<bool()> succeeded;
        if (operation == u"Read Config"_s) {
            rig.openUpgradeWindow(Device, TransportUdp);
            form.pages->setCurrentIndex(1);
            const QByteArray config = QByteArray::fromHex(
                rig.sim().deviceState(Device).value("controller"_L1).toObject().value("configurationHex"_L1).toString().toLatin1());
            once = [&] { form.configPage->readConfigAction->trigger(); };
            succeeded = [&, config] { return EditorBytes(form.configPage->editor) == config; };
        } else if (operation == u"Controller upgrade"_s) {
            rig.openUpgradeWindow(Device, TransportUdp);
            form.controllerPanel->fileEdit->setFileName(writeFile(u"memory-controller.bin"_s, pattern(1000, 21)));
            form.UpdateButtons();
            once = [&] { form.controllerPanel->upgradeButton->click(); };
            succeeded = [&] { return !form.controllerPanel->progressBar->isHidden() && form.controllerPanel->progressBar->value() == 1000; };
        } else if (operation == u"Board upgrade (FTP)"_s) {
            rig.openUpgradeWindow(Device, TransportUdp);
            form.boardPanel->fileEdit->setFileName(writeFile(u"memory-board.bin"_s, pattern(64 * 1024, 22)));
            form.UpdateButtons();
            once = [&] { form.boardPanel->upgradeButton->click(); };
            succeeded = [&] { return form.boardPanel->upgradeButton->isEnabled(); };
        } else if (operation == u"DropBear"_s) {
            QVERIFY(scanToTheEnd(rig));
            selectGridRow(main, gridRowOf(main, LabSimulator::deviceIp(Device)));
            once = [&] { main.DropBearButton->click(); };
            succeeded = [&] { return main.DropBearButton->isEnabled(); };
        } else {
            once = [&] { main.ScanButton->click(); };
            succeeded = [&] {
                return rig.waitUntil([&] { return !main.Timer->isActive(); }, ScanCycleLimitMs)
                    && main.devices().size() == ScanDevices;
            };
        }

        MemoryRow row;
        row.operation = operation;
        row.repetitions = repetitions;
        QList<qint64> resident;
        QList<qint64> heap;
        row.beforeKiB = Soak::residentKiB();
        QElapsedTimer clock;
        clock.start();
        qint64 longestGap = 0;
        int failures = 0;
        for (int i = 0; i < WarmUp + repetitions; ++i) {
            rig.boxes().clear();
            rig.gaps().start();
            const bool finished = rig.runFromEventLoop(once, CaseLimitMs);
            const bool ok = finished && succeeded() && rig.boxes().seen().isEmpty();
            rig.gaps().stop();
            longestGap = std::max(longestGap, rig.gaps().longestMs());
            failures += ok ? 0 : 1;
            // What the operation left for later deletion belongs to it.
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QCoreApplication::processEvents();
            if (i >= WarmUp) {
                resident << Soak::residentKiB();
                heap << Soak::heapInUseKiB();
            }
        }
        row.timeMs = clock.elapsed();
        row.gapMs = longestGap;
        // Every repetition reached the device.
        const int total = WarmUp + repetitions;
        if (operation == u"Controller upgrade"_s || operation == u"Board upgrade (FTP)"_s) {
            const QJsonObject state = rig.sim().deviceState(Device);
            const int done = operation == u"Controller upgrade"_s
                ? state.value("controller"_L1).toObject().value("updateModeCount"_L1).toInt()
                : state.value("installCount"_L1).toInt();
            if (done != total)
                row.violations << u"the device took %1 of %2 upgrades"_s.arg(done).arg(total);
        }
        row.firstKiB = resident.first();
        row.lastKiB = resident.last();
        row.growthKiBPerRepetition = Soak::slope(resident.mid(resident.size() / 2));
        row.heapFirstKiB = heap.first();
        row.heapLastKiB = heap.last();
        row.heapGrowthKiBPerRepetition = Soak::slope(heap.mid(heap.size() / 2));
        if (failures > 0)
            row.violations << u"%1 of %2 repetitions failed"_s.arg(failures).arg(WarmUp + repetitions);
        if (MemoryFiguresMeaningful && row.growthKiBPerRepetition > double(ResidentGrowthBoundKiB))
            row.violations << u"resident size grows %1 KiB per repetition"_s.arg(row.growthKiBPerRepetition, 0, 'f', 1);
        if (MemoryFiguresMeaningful && row.heapGrowthKiBPerRepetition > double(HeapGrowthBoundKiB))
            row.violations << u"heap grows %1 KiB per repetition"_s.arg(row.heapGrowthKiBPerRepetition, 0, 'f', 2);
        if (row.gapMs > GapBoundMs)
            row.violations << u"window held for %1 ms"_s.arg(row.gapMs);
        m_results.add(row);
        std::printf("soak: memory %s x%d: RSS %lld -> %lld KiB (%.1f per repetition), heap %lld -> %lld KiB "
                    "(%.2f per repetition), gap %lld ms\n",
                    qPrintable(operation), repetitions, row.firstKiB, row.lastKiB, row.growthKiBPerRepetition,
                    row.heapFirstKiB, row.heapLastKiB, row.heapGrowthKiBPerRepetition, row.gapMs);
        std::fflush(stdout);
        QVERIFY2(row.firstKiB > 0, "VmRSS not readable");
        QCOMPARE(failures, 0);
        QVERIFY2(row.gapMs <= GapBoundMs, qPrintable(u"longest GUI gap %1 ms"_s.arg(row.gapMs)));
        if (!MemoryFiguresMeaningful)
            return;
        QVERIFY2(row.growthKiBPerRepetition <= double(ResidentGrowthBoundKiB),
                 qPrintable(u"resident size: %1 KiB per repetition"_s.arg(row.growthKiBPerRepetition)));
        QVERIFY2(row.heapFirstKiB >= 0, "the allocator's figures are not readable");
        QVERIFY2(row.heapGrowthKiBPerRepetition <= double(HeapGrowthBoundKiB),
                 qPrintable(u"heap: %1 KiB per repetition"_s.arg(row.heapGrowthKiBPerRepetition)));
    }
};

int main(int argc, char **argv)
{
    // The soak's own options go; the rest is Qt Test's.
    QStringList all;
    for (int i = 0; i < argc; ++i)
        all << QString::fromLocal8Bit(argv[i]);
    g_options.quick = qEnvironmentVariable("TARVINO_SOAK_QUICK") == u"1"_s;
    QList<char *> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const QString arg = all.at(i);
        if (arg == u"--quick"_s) {
            g_options.quick = true;
        } else if (arg == u"--full"_s) {
            g_options.quick = false;
        } else if (arg == u"--seconds"_s && i + 1 < argc) {
            g_options.seconds = all.at(++i).toInt();
        } else if (arg == u"--journals"_s && i + 1 < argc) {
            g_options.journals = all.at(++i);
        } else if (arg == u"--out"_s && i + 1 < argc) {
            g_options.out = all.at(++i);
        } else {
            rest << argv[i];
        }
    }
    g_options.command = all.join(u' ');
    if (g_options.quick && g_options.command.indexOf(u"--quick"_s) < 0)
        g_options.command += u" (TARVINO_SOAK_QUICK=1)"_s;

    TApplication app(argc, argv);
    InstallProgramErrorSink(); // the engine's "Connection Error" boxes, as at the program's start
    TestSoak soak;
    int count = int(rest.size());
    return QTest::qExec(&soak, count, rest.data());
}

#include "soak.moc"
