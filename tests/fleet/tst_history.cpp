// The history as a record of device work: which operations it keeps, what it finds when it is read
// whole however long it grew, and the modes of the files and folders it and the snapshots make.
#include "fleet/configuration/configsnapshot.h"
#include "fleet/history/configurationstore.h"
#include "fleet/history/latestbydevice.h"
#include "fleet/history/operationjournal.h"
#include "fleet/history/operationrecord.h"
#include "fleet/history/privatefiles.h"
#include "fleet/history/unfinishedoperations.h"
#include "fleet/networkcheck.h"
#include "operations/commandoperations.h"
#include "operations/controlleroperations.h"
#include "operations/rangesweep.h"
#include "protocol/devicerecord.h"
#include "protocol/sha256text.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <functional>
#include <memory>

namespace {
const QDateTime Noon(QDate(2026, 12, 8), QTime(12, 0));
const QString Upgrade = QStringLiteral("Controller upgrade");

using OperationMaker = std::function<std::unique_ptr<TDeviceOperation>()>;

TJournalEntry historyLine(const QString &ip, const QString &operation, const QString &outcome, int minute,
                          const QString &id = {}, const QString &mac = {})
{
    TJournalEntry entry;
    entry.when = Noon.addSecs(60 * minute);
    entry.ip = ip;
    entry.mac = mac;
    entry.operation = operation;
    entry.outcome = outcome;
    entry.id = id;
    return entry;
}

// A line as the history holds it, for filling a file fast without a write per line.
QByteArray lineBytes(const TJournalEntry &entry)
{
    QJsonObject object{{u"when"_qs, entry.when.toString(Qt::ISODateWithMs)}, {u"ip"_qs, entry.ip},
                       {u"mac"_qs, entry.mac},  {u"operation"_qs, entry.operation},
                       {u"outcome"_qs, entry.outcome}, {u"detail"_qs, QString(200, u'x')}};
    if (!entry.id.isEmpty())
        object.insert(u"id"_qs, entry.id);
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

// Appends lines of routine operations until the file has grown by at least bytes.
void appendFiller(const QString &path, qint64 bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    const QByteArray line = lineBytes(historyLine(u"198.18.1.200"_qs, u"Reset"_qs, u"succeeded"_qs, 30));
    QByteArray block;
    while (block.size() < 1024 * 1024)
        block += line;
    for (qint64 written = 0; written < bytes; written += block.size())
        QCOMPARE(file.write(block), block.size());
}

int modeOf(const QString &path)
{
    struct stat status{};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return -1;
    return int(status.st_mode & 07777);
}

// Sets the process's umask for the scope of a test.
class UmaskScope
{
public:
    explicit UmaskScope(mode_t mask) : m_previous(::umask(mask)) {}
    ~UmaskScope() { ::umask(m_previous); }
    UmaskScope(const UmaskScope &) = delete;
    UmaskScope &operator=(const UmaskScope &) = delete;

private:
    mode_t m_previous;
};
} // namespace

class TestHistory : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_root;
    int m_case = 0;

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_root = m_dir.filePath(QStringLiteral("case%1").arg(++m_case));
    }

    // Only an operation that works on a device leaves lines: a sweep or a network check has no
    // address, and its line would read as a device that is not there.
    void recordedOperations_data()
    {
        QTest::addColumn<OperationMaker>("make");
        QTest::addColumn<int>("lines");
        const TDeviceTarget device{u"198.18.1.5"_qs, TransportUdp};
        QTest::newRow("sweep") << OperationMaker([] {
            return std::make_unique<TRangeSweep>(nullptr, TRangeSweep::Options{});
        }) << 0;
        QTest::newRow("network check") << OperationMaker([] { return std::make_unique<TNetworkCheck>(nullptr); }) << 0;
        QTest::newRow("scan") << OperationMaker([] { return std::make_unique<TScanDevices>(nullptr); }) << 0;
        QTest::newRow("search") << OperationMaker([] { return std::make_unique<TSearchDevice>(nullptr, u"198.18.1.5"_qs); }) << 0;
        QTest::newRow("configuration read") << OperationMaker([device] {
            return std::make_unique<TReadControllerText>(nullptr, device, TReadControllerText::Kind::Configuration);
        }) << 2;
        QTest::newRow("reset") << OperationMaker([device] { return std::make_unique<TControllerReset>(nullptr, device); }) << 2;
    }
    void recordedOperations()
    {
        QFETCH(OperationMaker, make);
        QFETCH(int, lines);
        const TOperationJournal journal(m_root + u"/history.jsonl"_qs);
        QStringList failures;
        TOperationRecorder recorder(journal, {}, [&](const QString &error) { failures << error; });
        const std::unique_ptr<TDeviceOperation> operation = make();
        recorder.started(*operation);
        recorder.finished(*operation);
        QCOMPARE(failures, QStringList());
        const QList<TJournalEntry> read = journal.read();
        QCOMPARE(read.size(), lines);
        for (const TJournalEntry &entry : read)
            QCOMPARE(entry.ip, u"198.18.1.5"_qs);
    }

    // An operation that never ended is found however far back it started, past any tail.
    void unfinishedFoundInTheWholeHistory_data()
    {
        QTest::addColumn<qint64>("fillerBytes"); // after the start
        QTest::addColumn<bool>("ended");         // its end comes after the filler
        QTest::newRow("a short history") << qint64(0) << false;
        QTest::newRow("started 6 MiB back") << qint64(6) * 1024 * 1024 << false;
        QTest::newRow("started and ended 6 MiB apart") << qint64(6) * 1024 * 1024 << true;
    }
    void unfinishedFoundInTheWholeHistory()
    {
        QFETCH(qint64, fillerBytes);
        QFETCH(bool, ended);
        const TOperationJournal journal(m_root + u"/history.jsonl"_qs);
        QVERIFY(journal.append(historyLine(u"198.18.1.5"_qs, Upgrade, UnfinishedOperations::Started, 0, u"old"_qs)));
        QVERIFY(journal.append(historyLine(u"198.18.1.6"_qs, Upgrade, UnfinishedOperations::Started, 1, u"done"_qs)));
        QVERIFY(journal.append(historyLine(u"198.18.1.6"_qs, Upgrade, u"succeeded"_qs, 2, u"done"_qs)));
        appendFiller(journal.path(), fillerBytes);
        if (ended)
            QVERIFY(journal.append(historyLine(u"198.18.1.5"_qs, Upgrade, u"failed"_qs, 90, u"old"_qs)));
        QVERIFY(journal.append(historyLine(u"198.18.1.7"_qs, Upgrade, UnfinishedOperations::Started, 91, u"new"_qs)));

        int skipped = -1;
        QStringList ids;
        for (const TJournalEntry &entry : UnfinishedOperations::read(journal, &skipped))
            ids << entry.id;
        QCOMPARE(skipped, 0);
        QCOMPARE(ids, (ended ? QStringList{u"new"_qs} : QStringList{u"old"_qs, u"new"_qs}));
        // The same as pairing every line in memory.
        QStringList paired;
        for (const TJournalEntry &entry : UnfinishedOperations::find(journal.read()))
            paired << entry.id;
        QCOMPARE(ids, paired);
    }

    // What the history knows of each device's last controller image: the whole history, the
    // device by its MAC address in any spelling, else its address.
    void lastSucceededByDevice_data()
    {
        QTest::addColumn<QList<TJournalEntry>>("before"); // before the filler
        QTest::addColumn<QList<TJournalEntry>>("after");
        QTest::addColumn<QStringList>("expected"); // "ip detail", oldest first
        const QString mac = u"00:50:c2:02:5c:c5"_qs;
        auto upgrade = [](const QString &ip, const QString &outcome, int minute, const QString &sha, const QString &mac = {}) {
            TJournalEntry entry = historyLine(ip, Upgrade, outcome, minute, {}, mac);
            entry.fileSha256 = sha;
            return entry;
        };
        QTest::newRow("past the tail") << QList<TJournalEntry>{upgrade(u"198.18.1.5"_qs, u"succeeded"_qs, 0, u"a1"_qs)}
                                       << QList<TJournalEntry>{} << QStringList{u"198.18.1.5 a1"_qs};
        QTest::newRow("a later success replaces")
            << QList<TJournalEntry>{upgrade(u"198.18.1.5"_qs, u"succeeded"_qs, 0, u"a1"_qs)}
            << QList<TJournalEntry>{upgrade(u"198.18.1.5"_qs, u"succeeded"_qs, 60, u"b2"_qs)} << QStringList{u"198.18.1.5 b2"_qs};
        QTest::newRow("a failure does not")
            << QList<TJournalEntry>{upgrade(u"198.18.1.5"_qs, u"succeeded"_qs, 0, u"a1"_qs)}
            << QList<TJournalEntry>{upgrade(u"198.18.1.5"_qs, u"failed"_qs, 60, u"b2"_qs)} << QStringList{u"198.18.1.5 a1"_qs};
        QTest::newRow("one device by its MAC address, moved and spelt otherwise")
            << QList<TJournalEntry>{upgrade(u"198.18.1.5"_qs, u"succeeded"_qs, 0, u"a1"_qs, mac)}
            << QList<TJournalEntry>{upgrade(u"198.18.1.9"_qs, u"succeeded"_qs, 60, u"b2"_qs, u"00-50-C2-02-5C-C5"_qs)}
            << QStringList{u"198.18.1.9 b2"_qs};
        QTest::newRow("the later time, whatever the line order")
            << QList<TJournalEntry>{upgrade(u"198.18.1.5"_qs, u"succeeded"_qs, 60, u"a1"_qs)}
            << QList<TJournalEntry>{upgrade(u"198.18.1.5"_qs, u"succeeded"_qs, 10, u"b2"_qs)} << QStringList{u"198.18.1.5 a1"_qs};
        TJournalEntry reset = upgrade(u"198.18.1.6"_qs, u"succeeded"_qs, 5, u"c3"_qs);
        reset.operation = u"Reset \"Controller upgrade\""_qs; // holds the name, not as the field's value
        QTest::newRow("two devices, other operations left out")
            << QList<TJournalEntry>{upgrade(u"198.18.1.6"_qs, u"succeeded"_qs, 1, u"a1"_qs), reset}
            << QList<TJournalEntry>{upgrade(u"198.18.1.5"_qs, u"succeeded"_qs, 0, u"b2"_qs)}
            << QStringList{u"198.18.1.5 b2"_qs, u"198.18.1.6 a1"_qs};
    }
    void lastSucceededByDevice()
    {
        QFETCH(QList<TJournalEntry>, before);
        QFETCH(QList<TJournalEntry>, after);
        QFETCH(QStringList, expected);
        const TOperationJournal journal(m_root + u"/history.jsonl"_qs);
        for (const TJournalEntry &entry : before)
            QVERIFY(journal.append(entry));
        appendFiller(journal.path(), qint64(5) * 1024 * 1024);
        for (const TJournalEntry &entry : after)
            QVERIFY(journal.append(entry));
        QStringList got;
        int skipped = -1;
        for (const TJournalEntry &entry : LastSucceededByDevice(journal, Upgrade, &skipped))
            got << entry.ip + u' ' + entry.fileSha256;
        QCOMPARE(got, expected);
        QCOMPARE(skipped, 0);
    }

    // Read whole, a line at a time: a damaged line of any length is passed over and counted, the
    // lines after it are read, and a reader may stop early.
    void readAsAStream_data()
    {
        QTest::addColumn<QByteArray>("damage");
        QTest::addColumn<int>("stopAfter"); // entries; 0: never stops
        QTest::addColumn<int>("seen");
        QTest::addColumn<int>("skipped");
        QTest::newRow("whole") << QByteArray() << 0 << 3 << 0;
        QTest::newRow("a line longer than any entry") << QByteArray(5 * 1024 * 1024, 'z') + '\n' << 0 << 3 << 1;
        QTest::newRow("a long torn last line") << QByteArray("\n") + QByteArray(9 * 1024 * 1024, '{') << 0 << 3 << 1;
        QTest::newRow("stopped after the first") << QByteArray() << 1 << 1 << 0;
    }
    void readAsAStream()
    {
        QFETCH(QByteArray, damage);
        QFETCH(int, stopAfter);
        QFETCH(int, seen);
        QFETCH(int, skipped);
        const TOperationJournal journal(m_root + u"/history.jsonl"_qs);
        QVERIFY(journal.append(historyLine(u"198.18.1.1"_qs, u"Reset"_qs, u"succeeded"_qs, 0)));
        QVERIFY(journal.append(historyLine(u"198.18.1.2"_qs, u"Reset"_qs, u"succeeded"_qs, 1)));
        const bool torn = damage.startsWith('\n');
        if (!torn) {
            QFile file(journal.path());
            QVERIFY(file.open(QIODevice::Append));
            QCOMPARE(file.write(damage), damage.size());
        }
        QVERIFY(journal.append(historyLine(u"198.18.1.3"_qs, u"Reset"_qs, u"succeeded"_qs, 2)));
        if (torn) {
            QFile file(journal.path());
            QVERIFY(file.open(QIODevice::Append));
            QCOMPARE(file.write(damage.mid(1)), damage.size() - 1);
        }
        QStringList ips;
        int skippedLines = -1;
        journal.forEach(
            [&](const TJournalEntry &entry) {
                ips << entry.ip;
                return stopAfter == 0 || ips.size() < stopAfter;
            },
            {}, &skippedLines);
        QCOMPARE(ips, (QStringList{u"198.18.1.1"_qs, u"198.18.1.2"_qs, u"198.18.1.3"_qs}.mid(0, seen)));
        QCOMPARE(skippedLines, skipped);
    }

    // The history, the texts it keeps and the snapshots are their owner's only, whatever the umask.
    void filesMadePrivate_data()
    {
        QTest::addColumn<int>("mask");
        QTest::newRow("umask 000") << 0;
        QTest::newRow("umask 022") << 022;
        QTest::newRow("umask 077") << 077;
        QTest::newRow("umask 277: narrower than of use") << 0277;
    }
    void filesMadePrivate()
    {
        QFETCH(int, mask);
        const QString data = m_root + u"/share/tarvino"_qs;
        const QString historyPath = data + u"/history.jsonl"_qs;
        TSnapshotEntry kept;
        QString error;
        std::optional<TConfigSnapshot> snapshot;
        {
            const UmaskScope scope{mode_t(mask)};
            QVERIFY(TOperationJournal(historyPath).append(historyLine(u"198.18.1.1"_qs, u"Reset"_qs, u"succeeded"_qs, 0), &error));
            QVERIFY2(!TConfigurationStore::besideJournal(historyPath).put("password=secret\n", &error).isEmpty(), qPrintable(error));
            snapshot = TConfigSnapshot::create(data + u"/snapshots"_qs, Noon, &error);
            QVERIFY2(snapshot, qPrintable(error));
            TDeviceRecord device;
            device.Mac = 0x0050C2025CC5;
            device.IpText = u"198.18.1.5"_qs;
            QVERIFY2(snapshot->add(device, "password=secret\n", Noon, &error), qPrintable(error));
            QVERIFY2(snapshot->flush(&error), qPrintable(error));
        }
        const QString store = TConfigurationStore::besideJournal(historyPath).folder();
        const QString text = store + u'/' + Sha256Text("password=secret\n") + u".cfg"_qs;
        const QList<std::pair<QString, int>> expected{
            {m_root + u"/share"_qs, 0700},
            {data, 0700},
            {historyPath, 0600},
            {store, 0700},
            {text, 0600},
            {data + u"/snapshots"_qs, 0700},
            {snapshot->folder(), 0700},
            {snapshot->folder() + u"/index.json"_qs, 0600},
            {snapshot->folder() + u"/00-50-C2-02-5C-C5.cfg"_qs, 0600},
        };
        for (const auto &[path, mode] : expected)
            QVERIFY2(modeOf(path) == mode, qPrintable(u"%1: %2"_qs.arg(path).arg(modeOf(path), 0, 8)));
    }

    // A history and a store made before, readable by others, are read and written as they were.
    void existingFilesKeepWorking()
    {
        const QString historyPath = m_root + u"/history.jsonl"_qs;
        QVERIFY(QDir().mkpath(m_root + u"/configurations"_qs));
        QFile old(historyPath);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(lineBytes(historyLine(u"198.18.1.1"_qs, u"Reset"_qs, u"succeeded"_qs, 0)));
        old.close();
        QVERIFY(::chmod(QFile::encodeName(historyPath).constData(), 0644) == 0);
        QVERIFY(::chmod(QFile::encodeName(m_root + u"/configurations"_qs).constData(), 0755) == 0);

        const TOperationJournal journal(historyPath);
        QVERIFY(journal.append(historyLine(u"198.18.1.2"_qs, u"Reset"_qs, u"succeeded"_qs, 1)));
        QCOMPARE(journal.read().size(), 2);
        QCOMPARE(modeOf(historyPath), 0644);
        const TConfigurationStore store = TConfigurationStore::besideJournal(historyPath);
        const QString sha256 = store.put("a=1\n");
        QVERIFY(!sha256.isEmpty());
        QCOMPARE(store.get(sha256), std::optional<QByteArray>("a=1\n"));
        QCOMPARE(modeOf(m_root + u"/configurations"_qs), 0755);
    }
};

QTEST_GUILESS_MAIN(TestHistory)
#include "tst_history.moc"
