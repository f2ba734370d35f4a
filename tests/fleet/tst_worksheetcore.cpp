// The worksheet's files and texts: configuration snapshots kept byte for byte, the line diff of
// two configurations, and the operation journal that several writers append to at once.
#include "fleet/configuration/configsnapshot.h"
#include "fleet/devicefields.h"
#include "fleet/configuration/linediff.h"
#include "fleet/history/operationjournal.h"
#include "fleet/jobs/rediscovery.h"
#include "fleet/history/unfinishedoperations.h"
#include "testfiles.h"
#include "protocol/wire.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <memory>
#include <vector>

namespace {
QByteArray allByteValues()
{
    QByteArray bytes;
    for (int value = 0; value < 256; ++value)
        bytes.append(char(value));
    return bytes;
}

TDeviceRecord device(quint64 mac, const QString &name)
{
    TDeviceRecord d;
    d.Mac = mac;
    d.IpText = QStringLiteral("198.18.1.%1").arg(mac & 0xFF);
    d.Params.set(Wire::Param::Name, name.toUtf8());
    d.Params.set(Wire::Param::TypeText, QByteArray("Palimor P4-S"));
    d.Params.set(Wire::Param::HardwareVersion, QByteArray("HW 1.0"));
    d.Params.set(Wire::Param::BootstrapVersion, QByteArray("1.0.4"));
    d.Params.set(Wire::Param::KernelVersion, QByteArray("4.19"));
    d.Params.set(Wire::Param::FirmwareVersion, QByteArray("3.0.5"));
    return d;
}

const QDateTime Noon(QDate(2026, 12, 8), QTime(12, 0, 0, 250));

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A line of the history for the pairing rows: "started", an end ("succeeded", "failed"...) or
// "acknowledged", of the operation with this id.
TJournalEntry historyLine(const QString &id, const QString &outcome, int minute, const QString &ip = u"198.18.1.5"_qs)
{
    TJournalEntry entry;
    entry.when = Noon.addSecs(60 * minute);
    entry.ip = ip;
    entry.operation = u"Controller upgrade"_qs;
    entry.outcome = outcome;
    entry.id = id;
    return entry;
}

// A device as a confirming scan hears it: its address record, its firmware.
TDeviceRecord answering(quint64 mac, const QByteArray &firmware)
{
    TDeviceRecord d = device(mac, u"Pump"_qs);
    d.Address = {0, 1, quint8(mac >> 40), quint8(mac >> 32), quint8(mac >> 24), quint8(mac >> 16), quint8(mac >> 8), quint8(mac)};
    d.Params.set(Wire::Param::FirmwareVersion, firmware);
    return d;
}

// Lines split as the diff splits them (line end kept): for the reference LCS.
QList<QByteArray> rawLines(const QByteArray &text)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    while (start < text.size()) {
        const qsizetype lf = text.indexOf('\n', start);
        const qsizetype end = lf < 0 ? text.size() : lf + 1;
        lines << text.mid(start, end - start);
        start = end;
    }
    return lines;
}

int lcsLength(const QList<QByteArray> &a, const QList<QByteArray> &b)
{
    std::vector<std::vector<int>> table(size_t(a.size() + 1), std::vector<int>(size_t(b.size() + 1), 0));
    for (qsizetype i = a.size() - 1; i >= 0; --i)
        for (qsizetype j = b.size() - 1; j >= 0; --j)
            table[size_t(i)][size_t(j)] = a[i] == b[j] ? table[size_t(i + 1)][size_t(j + 1)] + 1
                                                       : std::max(table[size_t(i + 1)][size_t(j)], table[size_t(i)][size_t(j + 1)]);
    return table[0][0];
}

// One letter per row ('=' same, '!' changed, '-' removed, '+' added).
QString kinds(const QList<TDiffRow> &rows)
{
    QString text;
    for (const TDiffRow &row : rows)
        text += QLatin1Char("=!-+"[row.kind]);
    return text;
}

// Every line of both texts once and in order, and the same rows really equal.
void checkRowsCover(const QList<TDiffRow> &rows, const QByteArray &left, const QByteArray &right)
{
    const QList<QByteArray> leftLines = rawLines(left);
    const QList<QByteArray> rightLines = rawLines(right);
    int nextLeft = 1;
    int nextRight = 1;
    for (const TDiffRow &row : rows) {
        QCOMPARE(row.leftLine != -1, row.kind != TDiffRow::Added);
        QCOMPARE(row.rightLine != -1, row.kind != TDiffRow::Removed);
        if (row.leftLine != -1)
            QCOMPARE(row.leftLine, nextLeft++);
        if (row.rightLine != -1)
            QCOMPARE(row.rightLine, nextRight++);
        if (row.kind == TDiffRow::Same)
            QCOMPARE(leftLines[row.leftLine - 1], rightLines[row.rightLine - 1]);
        if (row.kind == TDiffRow::Changed)
            QVERIFY(leftLines[row.leftLine - 1] != rightLines[row.rightLine - 1]);
    }
    QCOMPARE(nextLeft - 1, int(leftLines.size()));
    QCOMPARE(nextRight - 1, int(rightLines.size()));
}

class Appender : public QThread
{
public:
    Appender(QString path, int writer, int count) : m_path(std::move(path)), m_writer(writer), m_count(count) {}
    int failures = 0;

protected:
    void run() override
    {
        const TOperationJournal journal(m_path);
        for (int i = 0; i < m_count; ++i) {
            TJournalEntry entry;
            entry.when = Noon;
            entry.operation = QStringLiteral("writer %1").arg(m_writer);
            entry.message = QString::number(i);
            // Longer than a pipe's atomic write and than QFile's buffer, so a split would show.
            entry.detail = QString(20000, QChar(u'a' + m_writer));
            if (!journal.append(entry))
                ++failures;
        }
    }

private:
    QString m_path;
    int m_writer;
    int m_count;
};
} // namespace

class TestWorksheetCore : public QObject
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

    // ---- Snapshots -------------------------------------------------------------------------

    void snapshotRoundTrip_data()
    {
        QTest::addColumn<QByteArray>("configuration");
        QTest::newRow("256 values ascending") << allByteValues();
        QByteArray descending = allByteValues();
        std::reverse(descending.begin(), descending.end());
        QTest::newRow("256 values descending") << descending;
        QTest::newRow("random 64 KiB") << RandomBytes(65536, 7);
        QTest::newRow("CR LF and NUL only") << QByteArray("\r\n\0\r\0\n", 6);
        QTest::newRow("empty") << QByteArray();
    }
    void snapshotRoundTrip()
    {
        QFETCH(QByteArray, configuration);
        QString error;
        std::optional<TConfigSnapshot> snapshot = TConfigSnapshot::create(m_root, Noon, &error);
        QVERIFY2(snapshot, qPrintable(error));
        // Several devices, each with its own bytes: the configuration turned by a few places.
        const QList<quint64> macs{0x0050C2025CC1ULL, 0x001A2BA0943AULL, 0xFFFFFFFFFFFFULL};
        auto bytesOf = [&](int k) { return configuration.isEmpty() ? configuration : configuration.mid(k) + configuration.left(k); };
        for (int k = 0; k < macs.size(); ++k)
            QVERIFY2(snapshot->add(device(macs[k], QStringLiteral("Dev-%1").arg(k)), bytesOf(k), Noon.addSecs(k), &error),
                     qPrintable(error));
        QVERIFY2(snapshot->flush(&error), qPrintable(error));

        std::optional<TConfigSnapshot> reopened = TConfigSnapshot::open(snapshot->folder(), &error);
        QVERIFY2(reopened, qPrintable(error));
        QCOMPARE(reopened->entries(), snapshot->entries());
        QCOMPARE(reopened->entries().size(), macs.size());
        for (int k = 0; k < macs.size(); ++k) {
            const std::optional<TSnapshotEntry> entry = reopened->entryFor(macs[k]);
            QVERIFY(entry);
            QCOMPARE(entry->file, TConfigSnapshot::fileNameFor(macs[k]));
            QCOMPARE(entry->name, QStringLiteral("Dev-%1").arg(k));
            QCOMPARE(entry->takenAt, Noon.addSecs(k));
            const std::optional<QByteArray> bytes = reopened->configuration(*entry, &error);
            QVERIFY2(bytes, qPrintable(error));
            QCOMPARE(*bytes, bytesOf(k));
            QFile file(QDir(reopened->folder()).filePath(entry->file));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), bytesOf(k)); // the file itself, as the device holds it
        }
    }

    void snapshotReplacesADevice()
    {
        QString error;
        std::optional<TConfigSnapshot> snapshot = TConfigSnapshot::create(m_root, Noon, &error);
        QVERIFY(snapshot);
        QVERIFY(snapshot->add(device(0x0050C2025CC1ULL, QStringLiteral("Old")), allByteValues(), Noon, &error));
        QVERIFY(snapshot->add(device(0x001A2BA0943AULL, QStringLiteral("Other")), "x", Noon, &error));
        QVERIFY(snapshot->add(device(0x0050C2025CC1ULL, QStringLiteral("New")), "second", Noon.addSecs(5), &error));
        QVERIFY2(snapshot->flush(&error), qPrintable(error));
        std::optional<TConfigSnapshot> reopened = TConfigSnapshot::open(snapshot->folder(), &error);
        QVERIFY(reopened);
        QCOMPARE(reopened->entries().size(), 2);
        const TSnapshotEntry entry = *reopened->entryFor(0x0050C2025CC1ULL);
        QCOMPARE(entry.name, QStringLiteral("New"));
        QCOMPARE(entry.takenAt, Noon.addSecs(5));
        QCOMPARE(*reopened->configuration(entry, &error), QByteArray("second"));
        QCOMPARE(QDir(reopened->folder()).entryList(QDir::Files).size(), 3); // two files and the index
    }

    // A device whose address record holds no hardware address is kept by its IP address; one known
    // by no IP address either cannot be told from another and is refused.
    void snapshotOfADeviceWithoutMac_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("file"); // empty: refused
        QTest::newRow("by its address") << u"198.18.1.9"_qs << u"ip-198.18.1.9.cfg"_qs;
        QTest::newRow("a host name") << u"gate.example"_qs << QString();
    }

    void snapshotOfADeviceWithoutMac()
    {
        QFETCH(QString, ip);
        QFETCH(QString, file);
        QString error;
        std::optional<TConfigSnapshot> snapshot = TConfigSnapshot::create(m_root, Noon, &error);
        QVERIFY(snapshot);
        TDeviceRecord searched = device(0, QStringLiteral("Searched"));
        searched.IpText = ip;
        QCOMPARE(snapshot->add(searched, "x", Noon, &error), !file.isEmpty());
        if (file.isEmpty()) {
            QVERIFY(!error.isEmpty());
            QVERIFY(snapshot->entries().isEmpty());
            return;
        }
        QVERIFY2(snapshot->flush(&error), qPrintable(error));
        const std::optional<TConfigSnapshot> reopened = TConfigSnapshot::open(snapshot->folder(), &error);
        QVERIFY2(reopened, qPrintable(error));
        const std::optional<TSnapshotEntry> entry = reopened->entryFor(searched);
        QVERIFY(entry);
        QCOMPARE(entry->file, file);
        QCOMPARE(reopened->entryFor(quint64(0)), entry); // asked by a MAC address of 0, as before the index by file
        QCOMPARE(*reopened->configuration(*entry, &error), QByteArray("x"));
    }

    // The index is written by flush(), once for many devices: until then a reader sees the index
    // of the last flush, whole (never half written), and a flush with nothing new writes nothing.
    void snapshotIndexWrittenByFlush_data()
    {
        QTest::addColumn<int>("devices");
        QTest::addColumn<QList<int>>("flushAfter"); // flush after adding this many devices
        QTest::addColumn<QList<int>>("seenAfter");  // what a reader of the index sees after each add
        QTest::newRow("one flush at the end") << 4 << QList<int>{4} << QList<int>{0, 0, 0, 4};
        QTest::newRow("a flush midway") << 5 << QList<int>{2, 5} << QList<int>{0, 2, 2, 2, 5};
        QTest::newRow("a flush after each") << 3 << QList<int>{1, 2, 3} << QList<int>{1, 2, 3};
        QTest::newRow("never flushed") << 3 << QList<int>{} << QList<int>{0, 0, 0};
    }
    void snapshotIndexWrittenByFlush()
    {
        QFETCH(int, devices);
        QFETCH(QList<int>, flushAfter);
        QFETCH(QList<int>, seenAfter);
        QString error;
        std::optional<TConfigSnapshot> snapshot = TConfigSnapshot::create(m_root, Noon, &error);
        QVERIFY2(snapshot, qPrintable(error));
        QVERIFY(snapshot->isFlushed());
        const QString indexPath = QDir(snapshot->folder()).filePath(u"index.json"_qs);
        auto seen = [&] {
            const std::optional<TConfigSnapshot> reader = TConfigSnapshot::open(snapshot->folder(), &error);
            return reader ? int(reader->entries().size()) : -1;
        };
        for (int k = 1; k <= devices; ++k) {
            QVERIFY(snapshot->add(device(0x0050C2000000ULL + quint64(k), QStringLiteral("Dev-%1").arg(k)), "cfg", Noon, &error));
            QVERIFY(!snapshot->isFlushed());
            if (flushAfter.contains(k)) {
                QVERIFY2(snapshot->flush(&error), qPrintable(error));
                QVERIFY(snapshot->isFlushed());
            }
            QCOMPARE(seen(), seenAfter.at(k - 1));
            QCOMPARE(snapshot->entries().size(), qsizetype(k)); // the entries are there before the index
        }
        // Nothing new: the index is left as it is (same file, same bytes).
        QVERIFY(snapshot->flush(&error));
        const QFileInfo before(indexPath);
        const QByteArray bytesBefore = fileBytes(indexPath);
        QVERIFY(snapshot->flush(&error));
        QCOMPARE(QFileInfo(indexPath).lastModified(), before.lastModified());
        QCOMPARE(fileBytes(indexPath), bytesBefore);
        // The index holds every device and each by its own MAC address.
        const std::optional<TConfigSnapshot> reopened = TConfigSnapshot::open(snapshot->folder(), &error);
        QVERIFY2(reopened, qPrintable(error));
        QCOMPARE(reopened->entries(), snapshot->entries());
        for (int k = 1; k <= devices; ++k)
            QCOMPARE(reopened->entryFor(0x0050C2000000ULL + quint64(k))->name, QStringLiteral("Dev-%1").arg(k));
        // No leftover of the atomic writes: the index and one file per device.
        QCOMPARE(QDir(snapshot->folder()).entryList(QDir::Files).size(), devices + 1);
    }

    void damagedFileDetected_data()
    {
        QTest::addColumn<int>("damage");
        QTest::newRow("one byte changed") << 0;
        QTest::newRow("cut short") << 1;
        QTest::newRow("byte added") << 2;
        QTest::newRow("file removed") << 3;
    }
    void damagedFileDetected()
    {
        QFETCH(int, damage);
        QString error;
        std::optional<TConfigSnapshot> snapshot = TConfigSnapshot::create(m_root, Noon, &error);
        QVERIFY(snapshot);
        QVERIFY(snapshot->add(device(0x0050C2025CC1ULL, QStringLiteral("A")), allByteValues(), Noon, &error));
        const TSnapshotEntry entry = snapshot->entries().first();
        const QString path = QDir(snapshot->folder()).filePath(entry.file);
        QByteArray bytes = allByteValues();
        switch (damage) {
        case 0: bytes[100] = char(bytes[100] ^ 0x01); break;
        case 1: bytes.chop(1); break;
        case 2: bytes.append('\n'); break;
        }
        if (damage == 3)
            QVERIFY(QFile::remove(path));
        else
            WriteTestFileOrDie(QDir(snapshot->folder()), entry.file, bytes);
        error.clear();
        QVERIFY(!snapshot->configuration(entry, &error));
        QVERIFY(error.contains(entry.file));
    }

    void damagedIndexRefused_data()
    {
        QTest::addColumn<QByteArray>("index");
        QTest::newRow("not JSON") << QByteArray("{\"format\": 1, \"entries\": [");
        QTest::newRow("other format") << QByteArray("{\"format\": 2, \"entries\": []}");
        QTest::newRow("bad MAC") << QByteArray(R"({"format":1,"entries":[{"mac":"00-50-C2","file":"00-50-C2.cfg","bytes":1,"sha256":""}]})");
        QTest::newRow("file outside") << QByteArray(
            R"({"format":1,"entries":[{"mac":"00-50-C2-02-5C-C1","file":"../x.cfg","bytes":1,)"
            R"("sha256":"ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb"}]})");
    }
    void damagedIndexRefused()
    {
        QFETCH(QByteArray, index);
        QString error;
        std::optional<TConfigSnapshot> snapshot = TConfigSnapshot::create(m_root, Noon, &error);
        QVERIFY(snapshot);
        QVERIFY(TConfigSnapshot::open(snapshot->folder(), &error));
        WriteTestFileOrDie(QDir(snapshot->folder()), QStringLiteral("index.json"), index);
        error.clear();
        QVERIFY(!TConfigSnapshot::open(snapshot->folder(), &error));
        QVERIFY(!error.isEmpty());
    }

    void snapshotsInOneSecondAndNewestFirst()
    {
        QString error;
        QStringList made; // oldest first
        made << TConfigSnapshot::create(m_root, Noon.addSecs(-3600), &error)->folder();
        for (int i = 0; i < 11; ++i) { // past "-10", which must not sort before "-2"
            std::optional<TConfigSnapshot> snapshot = TConfigSnapshot::create(m_root, Noon, &error);
            QVERIFY2(snapshot, qPrintable(error));
            QVERIFY(!made.contains(snapshot->folder()));
            made << snapshot->folder();
        }
        QCOMPARE(QFileInfo(made[1]).fileName(), Noon.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss")));
        QCOMPARE(QFileInfo(made[2]).fileName(), Noon.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss")) + QStringLiteral("-2"));
        QVERIFY(QDir(m_root).mkdir(QStringLiteral("not a snapshot")));
        std::reverse(made.begin(), made.end());
        QCOMPARE(TConfigSnapshot::list(m_root), made);
    }

    // ---- Line diff ---------------------------------------------------------------------------

    void diffRows_data()
    {
        QTest::addColumn<QByteArray>("left");
        QTest::addColumn<QByteArray>("right");
        QTest::addColumn<QString>("expectedKinds");
        QTest::newRow("identical") << QByteArray("a\nb\nc\n") << QByteArray("a\nb\nc\n") << QStringLiteral("===");
        QTest::newRow("both empty") << QByteArray() << QByteArray() << QString();
        QTest::newRow("empty left") << QByteArray() << QByteArray("a\nb\n") << QStringLiteral("++");
        QTest::newRow("empty right") << QByteArray("a\nb") << QByteArray() << QStringLiteral("--");
        QTest::newRow("one edit") << QByteArray("a\nb\nc\n") << QByteArray("a\nB\nc\n") << QStringLiteral("=!=");
        QTest::newRow("insert at head") << QByteArray("b\nc\n") << QByteArray("a\nb\nc\n") << QStringLiteral("+==");
        QTest::newRow("delete at tail") << QByteArray("a\nb\nc\n") << QByteArray("a\nb\n") << QStringLiteral("==-");
        QTest::newRow("two out, one in") << QByteArray("a\nx\ny\nb\n") << QByteArray("a\nz\nb\n") << QStringLiteral("=!-=");
        QTest::newRow("one out, two in") << QByteArray("a\nx\nb\n") << QByteArray("a\ny\nz\nb\n") << QStringLiteral("=!+=");
        QTest::newRow("CRLF against LF") << QByteArray("a\r\nb\r\n") << QByteArray("a\nb\n") << QStringLiteral("!!");
        QTest::newRow("last line end missing") << QByteArray("a\nb\n") << QByteArray("a\nb") << QStringLiteral("=!");
        QTest::newRow("repeated lines") << QByteArray("}\n}\n}\n") << QByteArray("}\nx\n}\n") << QStringLiteral("=!=");
        QTest::newRow("moved line") << QByteArray("a\nb\nc\n") << QByteArray("b\nc\na\n") << QStringLiteral("-==+");
        QTest::newRow("bytes 0x80-0xFF") << QByteArray("k=\xE9\n\xFF\n") << QByteArray("k=\xE9\n\xFE\n") << QStringLiteral("=!");
    }
    void diffRows()
    {
        QFETCH(QByteArray, left);
        QFETCH(QByteArray, right);
        QFETCH(QString, expectedKinds);
        const QList<TDiffRow> rows = DiffLines(left, right);
        QCOMPARE(kinds(rows), expectedKinds);
        QCOMPARE(DifferenceCount(rows), int(expectedKinds.size() - expectedKinds.count(QLatin1Char('='))));
        QCOMPARE(DifferenceCount(rows) == 0, left == right);
        checkRowsCover(rows, left, right);
    }

    void diffShowsTextWithoutLineEnd()
    {
        const QList<TDiffRow> rows = DiffLines("k=\xE9\r\n", "k=\xC3\xA9\n");
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].left, QStringLiteral("k=\u00E9"));  // not UTF-8: one character per byte
        QCOMPARE(rows[0].right, QStringLiteral("k=\u00E9")); // UTF-8
        QCOMPARE(rows[0].leftEnd, TDiffRow::CrLf);
        QCOMPARE(rows[0].rightEnd, TDiffRow::Lf);
    }

    void diffIsShortest_data()
    {
        QTest::addColumn<quint32>("seed");
        for (quint32 seed = 1; seed <= 40; ++seed)
            QTest::addRow("seed %u", seed) << seed;
    }
    void diffIsShortest()
    {
        // Lines from a few values, so that lines repeat and many scripts are possible; the
        // same lines as a table's LCS means no shorter script exists.
        QFETCH(quint32, seed);
        QRandomGenerator random(seed);
        auto text = [&random] {
            QByteArray bytes;
            const int lines = random.bounded(0, 30);
            for (int i = 0; i < lines; ++i) {
                bytes += QByteArray::number(random.bounded(6));
                bytes += random.bounded(8) == 0 ? "\r\n" : "\n";
            }
            if (random.bounded(4) == 0)
                bytes += char(random.bounded(256));
            return bytes;
        };
        const QByteArray left = text();
        const QByteArray right = text();
        const QList<TDiffRow> rows = DiffLines(left, right);
        checkRowsCover(rows, left, right);
        const int same = int(std::count_if(rows.begin(), rows.end(), [](const TDiffRow &r) { return r.kind == TDiffRow::Same; }));
        QCOMPARE(same, lcsLength(rawLines(left), rawLines(right)));
    }

    void diffOfLargeTexts_data()
    {
        QTest::addColumn<int>("shape");
        QTest::newRow("five edits") << 0;
        QTest::newRow("lines reversed") << 1;
        QTest::newRow("nothing in common") << 2;
    }
    void diffOfLargeTexts()
    {
        QFETCH(int, shape);
        constexpr int Lines = 10000;
        QList<QByteArray> leftLines;
        for (int i = 0; i < Lines; ++i)
            leftLines << "parameter." + QByteArray::number(i) + "=" + QByteArray::number(i * 7 % 101) + "\n";
        QList<QByteArray> rightLines = leftLines;
        int expectedSame = 0;
        if (shape == 0) {
            for (int i : {0, 2500, 5000, 7500, Lines - 1})
                rightLines[i] = "edited\n";
            expectedSame = Lines - 5;
        } else if (shape == 1) {
            std::reverse(rightLines.begin(), rightLines.end());
            expectedSame = 1;
        } else {
            for (QByteArray &line : rightLines)
                line.prepend('#');
        }
        const QByteArray left = leftLines.join();
        const QByteArray right = rightLines.join();
        const QList<TDiffRow> rows = DiffLines(left, right);
        checkRowsCover(rows, left, right);
        QCOMPARE(int(std::count_if(rows.begin(), rows.end(), [](const TDiffRow &r) { return r.kind == TDiffRow::Same; })),
                 expectedSame);
    }

    // ---- Journal -----------------------------------------------------------------------------

    void journalRoundTrip_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("plain") << QStringLiteral("Read configuration");
        QTest::newRow("commas and quotes") << QStringLiteral("a, \"b\", 'c'");
        QTest::newRow("line ends") << QStringLiteral("one\ntwo\r\nthree\r");
        QTest::newRow("non-ASCII") << QStringLiteral("K\u00FChlhaus S\u00FCd \u2013 \u51B7\u5374 \U0001F9CA");
        QTest::newRow("control characters") << QString::fromUtf16(u"nul\u0000tab\tesc\u001B", 12);
        QTest::newRow("JSON look-alike") << QStringLiteral("\"}\n{\"when\":\"x\"}\\");
        QTest::newRow("empty") << QString();
    }
    void journalRoundTrip()
    {
        QFETCH(QString, text);
        const TOperationJournal journal(m_root + QStringLiteral("/sub/history.jsonl")); // the folder is made
        TJournalEntry entry{Noon, QStringLiteral("00.50.C2.02.5C.C1"), QStringLiteral("198.18.1.1"), text,
                            QStringLiteral("Write configuration"), text + QStringLiteral(".cfg"),
                            QString(64, QLatin1Char('a')), QStringLiteral("failed"), text, text};
        const TJournalEntry other{Noon.toUTC().addMSecs(1), {}, {}, {}, QStringLiteral("Scan"), {}, {},
                                  QStringLiteral("succeeded"), {}, {}};
        QString error;
        QVERIFY2(journal.append(entry, &error), qPrintable(error));
        QVERIFY2(journal.append(other, &error), qPrintable(error));
        int skipped = -1;
        const QList<TJournalEntry> read = journal.read(&skipped);
        QCOMPARE(skipped, 0);
        QCOMPARE(read, (QList<TJournalEntry>{entry, other}));
        QFile file(journal.path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().count('\n'), 2); // one line each
    }

    void journalSkipsDamagedLines()
    {
        const TOperationJournal journal(m_root + QStringLiteral("/history.jsonl"));
        const TJournalEntry entry{Noon, {}, {}, {}, QStringLiteral("Reset"), {}, {}, QStringLiteral("succeeded"), {}, {}};
        QVERIFY(journal.append(entry));
        const QByteArray good = QJsonDocument(QJsonObject{{QStringLiteral("when"), Noon.toString(Qt::ISODateWithMs)},
                                                          {QStringLiteral("operation"), QStringLiteral("Scan")}})
                                    .toJson(QJsonDocument::Compact);
        QFile file(journal.path());
        QVERIFY(file.open(QIODevice::Append));
        file.write("not json\n");
        file.write("[1,2]\n");
        file.write("{\"when\":\"yesterday\",\"operation\":\"Scan\"}\n");
        file.write("\n");
        file.write(good.left(good.size() / 2) + "\n");
        file.write(good + "\n");
        file.write("\xFF\xFE{\n");
        file.close();
        QVERIFY(journal.append(entry));
        int skipped = 0;
        const QList<TJournalEntry> read = journal.read(&skipped);
        QCOMPARE(skipped, 5);
        QCOMPARE(read.size(), 3);
        QCOMPARE(read[1].operation, QStringLiteral("Scan"));
        QCOMPARE(read[2], entry);
    }

    // An operation's "started" line pairs with its end, or with an acknowledgement, by its id;
    // the ones left are the operations that never ended.
    void unfinishedPairing_data()
    {
        QTest::addColumn<QList<TJournalEntry>>("lines");
        QTest::addColumn<QByteArray>("torn"); // bytes appended after the lines, without a line end
        QTest::addColumn<QStringList>("unfinished");
        QTest::addColumn<int>("skipped");
        const QString s = UnfinishedOperations::Started;
        const QString a = UnfinishedOperations::Acknowledged;
        QTest::newRow("ended") << QList<TJournalEntry>{historyLine(u"a"_qs, s, 0), historyLine(u"a"_qs, u"succeeded"_qs, 2)}
                               << QByteArray() << QStringList{} << 0;
        QTest::newRow("ended by a failure") << QList<TJournalEntry>{historyLine(u"a"_qs, s, 0), historyLine(u"a"_qs, u"failed"_qs, 2)}
                                            << QByteArray() << QStringList{} << 0;
        QTest::newRow("never ended") << QList<TJournalEntry>{historyLine(u"a"_qs, s, 0)} << QByteArray()
                                     << QStringList{u"a"_qs} << 0;
        QTest::newRow("acknowledged") << QList<TJournalEntry>{historyLine(u"a"_qs, s, 0), historyLine(u"a"_qs, a, 9)}
                                      << QByteArray() << QStringList{} << 0;
        QTest::newRow("interleaved, one left")
            << QList<TJournalEntry>{historyLine(u"a"_qs, s, 0), historyLine(u"b"_qs, s, 1, u"198.18.1.6"_qs),
                                    historyLine(u"c"_qs, s, 1, u"198.18.1.7"_qs), historyLine(u"b"_qs, u"cancelled"_qs, 3),
                                    historyLine(u"a"_qs, u"succeeded"_qs, 4)}
            << QByteArray() << QStringList{u"c"_qs} << 0;
        QTest::newRow("oldest first") << QList<TJournalEntry>{historyLine(u"x"_qs, s, 0), historyLine(u"y"_qs, s, 5)}
                                      << QByteArray() << QStringList{u"x"_qs, u"y"_qs} << 0;
        const QByteArray whole = QJsonDocument(QJsonObject{{u"when"_qs, Noon.toString(Qt::ISODateWithMs)},
                                                           {u"outcome"_qs, u"succeeded"_qs},
                                                           {u"id"_qs, u"a"_qs}})
                                     .toJson(QJsonDocument::Compact);
        QTest::newRow("torn last line: its end never made it")
            << QList<TJournalEntry>{historyLine(u"a"_qs, s, 0)} << whole.left(whole.size() - 3) << QStringList{u"a"_qs} << 1;
        QTest::newRow("torn last line after the end") << QList<TJournalEntry>{historyLine(u"a"_qs, s, 0), historyLine(u"a"_qs, u"succeeded"_qs, 1)}
                                                      << QByteArray("{\"when\":\"2026-12-08T12:0") << QStringList{} << 1;
        QTest::newRow("lines without an id (older history)")
            << QList<TJournalEntry>{historyLine(QString(), s, 0), historyLine(QString(), u"succeeded"_qs, 1)} << QByteArray()
            << QStringList{} << 0;
    }
    void unfinishedPairing()
    {
        QFETCH(QList<TJournalEntry>, lines);
        QFETCH(QByteArray, torn);
        QFETCH(QStringList, unfinished);
        QFETCH(int, skipped);
        const TOperationJournal journal(m_root + u"/history.jsonl"_qs);
        for (const TJournalEntry &line : lines)
            QVERIFY(journal.append(line));
        if (!torn.isEmpty()) {
            QFile file(journal.path());
            QVERIFY(file.open(QIODevice::Append));
            QCOMPARE(file.write(torn), torn.size());
        }
        int skippedLines = -1;
        const QList<TJournalEntry> found = UnfinishedOperations::read(journal, &skippedLines);
        QStringList ids;
        for (const TJournalEntry &entry : found) {
            ids << entry.id;
            QCOMPARE(entry.outcome, UnfinishedOperations::Started);
        }
        QCOMPARE(ids, unfinished);
        QCOMPARE(skippedLines, skipped);

        // Acknowledged once, listed no more; what was ended stays as it was.
        QVERIFY(UnfinishedOperations::acknowledge(journal, found));
        QVERIFY(UnfinishedOperations::read(journal).isEmpty());
    }

    void unfinishedDescription()
    {
        TJournalEntry started = historyLine(u"a"_qs, UnfinishedOperations::Started, 0);
        started.when = QDateTime(QDate(2026, 12, 8), QTime(14, 2, 31));
        QCOMPARE(UnfinishedOperations::describe(started, QDate(2026, 12, 8)),
                 u"198.18.1.5: Controller upgrade started 14:02, never finished: the device may be left with its updater on"_qs);
        QCOMPARE(UnfinishedOperations::describe(started, QDate(2026, 12, 9)),
                 u"198.18.1.5: Controller upgrade started 2026-12-08 14:02, never finished: the device may be left with its updater on"_qs);
        started.operation = u"Communication board upgrade"_qs;
        started.name = u"Pump-3"_qs;
        QVERIFY(UnfinishedOperations::describe(started, QDate(2026, 12, 8))
                    .startsWith(u"198.18.1.5 (Pump-3): Communication board upgrade started 14:02, never finished: "_qs));
    }

    // A start reads the history's tail only: the entries of the last bytes, the line the limit
    // cuts left out whole.
    void journalTail_data()
    {
        QTest::addColumn<int>("entries");
        QTest::addColumn<int>("tailLines"); // the limit, in whole lines (plus a part of one more)
        QTest::newRow("smaller than the tail") << 5 << 10;
        QTest::newRow("the tail of many") << 200 << 7;
        QTest::newRow("one line") << 50 << 1;
    }
    void journalTail()
    {
        QFETCH(int, entries);
        QFETCH(int, tailLines);
        const TOperationJournal journal(m_root + u"/history.jsonl"_qs);
        for (int i = 0; i < entries; ++i)
            QVERIFY(journal.append(historyLine(QStringLiteral("%1").arg(i, 4, 10, QLatin1Char('0')), u"succeeded"_qs, i)));
        const QByteArray all = fileBytes(journal.path());
        const qint64 lineSize = all.indexOf('\n') + 1; // every line is as long as the first here
        QCOMPARE(all.size(), lineSize * entries);
        int skipped = -1;
        const QList<TJournalEntry> tail = journal.readTail(lineSize * tailLines + lineSize / 2, &skipped);
        QCOMPARE(skipped, 0);
        QCOMPARE(tail.size(), qsizetype(std::min(entries, tailLines)));
        const QList<TJournalEntry> every = journal.read();
        QCOMPARE(tail, every.mid(every.size() - tail.size()));
    }

    void journalConcurrentAppends()
    {
        const QString path = m_root + QStringLiteral("/history.jsonl");
        constexpr int Writers = 6;
        constexpr int Each = 150;
        std::vector<std::unique_ptr<Appender>> writers;
        for (int w = 0; w < Writers; ++w)
            writers.push_back(std::make_unique<Appender>(path, w, Each));
        for (auto &writer : writers)
            writer->start();
        for (auto &writer : writers) {
            QVERIFY(writer->wait(QDeadlineTimer(50000)));
            QCOMPARE(writer->failures, 0);
        }
        int skipped = -1;
        const QList<TJournalEntry> read = TOperationJournal(path).read(&skipped);
        QCOMPARE(skipped, 0);
        QCOMPARE(read.size(), Writers * Each);
        QList<QList<int>> seen(Writers);
        for (const TJournalEntry &entry : read) {
            const int writer = entry.operation.section(QLatin1Char(' '), 1).toInt();
            QCOMPARE(entry.detail, QString(20000, QChar(u'a' + writer)));
            seen[writer] << entry.message.toInt();
        }
        for (const QList<int> &numbers : seen) { // each writer's lines in its own order
            QCOMPARE(numbers.size(), Each);
            for (int i = 0; i < Each; ++i)
                QCOMPARE(numbers[i], i);
        }
    }

    void journalCsv()
    {
        const QList<TJournalEntry> entries{
            {Noon, QStringLiteral("00.50.C2.02.5C.C1"), QStringLiteral("198.18.1.1"), QStringLiteral("Cold, \"north\""),
             QStringLiteral("Controller upgrade"), QStringLiteral("image.bin"), QString(64, QLatin1Char('f')),
             QStringLiteral("failed"), QStringLiteral("line one\r\nline two"), QStringLiteral("K\u00FChlhaus")},
            {Noon.addSecs(60), {}, {}, {}, QStringLiteral("Scan"), {}, {}, QStringLiteral("succeeded"), {}, {}},
        };
        const QString csv = TOperationJournal::toCsv(entries);
        QVERIFY(csv.endsWith(QStringLiteral("\r\n")));
        const QList<QStringList> rows = ParseCsv(csv);
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0].first(), QStringLiteral("When"));
        for (int r = 0; r < entries.size(); ++r) {
            const TJournalEntry &e = entries[r];
            QCOMPARE(rows[r + 1], (QStringList{e.when.toOffsetFromUtc(e.when.offsetFromUtc()).toString(Qt::ISODateWithMs),
                                               e.mac, e.ip, e.name, e.operation, e.file, e.fileSha256, e.outcome,
                                               e.message, e.detail}));
            QCOMPARE(rows[r + 1].size(), rows[0].size());
        }
        QVERIFY(csv.contains(QStringLiteral("\"Cold, \"\"north\"\"\"")));
    }

    // A text a device reports is data, never a formula, in every CSV the program writes: the cell is
    // guarded with a leading ', numbers stay numbers, and the program's own reader gives back the text.
    void csvCellsAreNeverFormulas_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("written"); // the cell as a spreadsheet sees it
        QTest::newRow("a formula") << u"=HYPERLINK(\"http://x\",\"open\")"_qs << u"'=HYPERLINK(\"http://x\",\"open\")"_qs;
        QTest::newRow("plus") << u"+cmd"_qs << u"'+cmd"_qs;
        QTest::newRow("minus, not a number") << u"-2+3"_qs << u"'-2+3"_qs;
        QTest::newRow("at") << u"@SUM(A1)"_qs << u"'@SUM(A1)"_qs;
        QTest::newRow("tab") << u"\t=1"_qs << u"'\t=1"_qs;
        QTest::newRow("carriage return") << u"\r=1"_qs << u"'\r=1"_qs;
        QTest::newRow("a negative number") << u"-1"_qs << u"-1"_qs;
        QTest::newRow("a signed decimal") << u"+2.5"_qs << u"+2.5"_qs;
        QTest::newRow("a quote before a formula") << u"'=1"_qs << u"''=1"_qs;
        QTest::newRow("a plain quote") << u"'quoted"_qs << u"'quoted"_qs;
        QTest::newRow("a plain name") << u"Chiller-South-0"_qs << u"Chiller-South-0"_qs;
        QTest::newRow("empty") << QString() << QString();
    }

    void csvCellsAreNeverFormulas()
    {
        QFETCH(QString, text);
        QFETCH(QString, written);
        QCOMPARE(CsvSafeCell(text), written);
        const QList<QStringList> rows = ParseCsv(CsvLine({u"a"_qs, text, u"b"_qs}) + u"\r\n"_qs);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.first(), (QStringList{u"a"_qs, text, u"b"_qs}));
        // The device list's CSV, as scan --csv and the list's export write it.
        TDeviceRecord device;
        device.IpText = u"198.18.1.1"_qs;
        device.Params.set(Wire::Param::Name, text.toUtf8());
        const QString line = DeviceCsvLine(device);
        if (written != text && !text.startsWith(QLatin1Char('\''))) { // no cell of the line begins like a formula
            QVERIFY2(!line.contains(u","_qs + text.left(1)), qPrintable(line));
            QVERIFY2(!line.contains(u",\""_qs + text.left(1)), qPrintable(line));
        }
        const QList<QStringList> listed = ParseCsv(DeviceCsvHeader() + u"\r\n"_qs + line + u"\r\n"_qs);
        QCOMPARE(listed.value(1).value(listed.value(0).indexOf(u"name"_qs)), text);
    }

    // What the confirming scans after an upgrade prove: a board upgrade wants the device gone for
    // a round, then back; the same firmware is a warning; a controller upgrade wants an answer.
    void rediscovery_data()
    {
        QTest::addColumn<bool>("board");
        QTest::addColumn<bool>("expired"); // the deadline passed: the first round's end settles
        QTest::addColumn<QStringList>("events"); // "reply FIRMWARE", "round", "other" (another device), "stop"
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("message");
        using V = TRediscovery::Verdict;
        QTest::newRow("board restarted with new firmware")
            << true << false << QStringList{u"reply 3.0.5"_qs, u"round"_qs, u"round"_qs, u"reply 3.1.10"_qs} << int(V::Confirmed)
            << u"Upgraded; restarted and found again with firmware 3.1.10, kernel 4.19 (before: firmware 3.0.5, kernel 4.19)"_qs;
        QTest::newRow("board restarted, same firmware")
            << true << false << QStringList{u"round"_qs, u"reply 3.0.5"_qs} << int(V::SameFirmware)
            << u"Warning: restarted, but answered with the same firmware 3.0.5 (firmware 3.0.5, kernel 4.19)"_qs;
        QTest::newRow("board never went away")
            << true << true << QStringList{u"reply 3.0.5"_qs, u"round"_qs} << int(V::DidNotRestart)
            << u"Upgraded, but the device did not restart: it answered every scan for 120 s (with firmware 3.0.5, kernel 4.19)"_qs;
        QTest::newRow("board answering every round is not taken for a restart")
            << true << false << QStringList{u"reply 3.0.5"_qs, u"round"_qs, u"reply 3.1.10"_qs, u"stop"_qs} << int(V::Stopped)
            << u"Stopped while waiting for the device to answer again; the upgrade itself was done"_qs;
        QTest::newRow("board went away, never back")
            << true << true << QStringList{u"round"_qs} << int(V::NoAnswer)
            << u"Upgraded; the device went away but did not answer a scan again within 120 s"_qs;
        QTest::newRow("controller: the board answers")
            << false << false << QStringList{u"other"_qs, u"reply 3.0.5"_qs} << int(V::Confirmed)
            << u"Upgraded; found again with firmware 3.0.5, kernel 4.19: image written and read back equal; the board answered again"_qs;
        QTest::newRow("controller: no answer")
            << false << true << QStringList{u"other"_qs, u"round"_qs} << int(V::NoAnswer)
            << u"Upgraded, but the device did not answer a scan within 120 s"_qs;
        QTest::newRow("stopped while waiting") << false << false << QStringList{u"round"_qs, u"stop"_qs} << int(V::Stopped)
                                               << u"Stopped while waiting for the device to answer again; the upgrade itself was done"_qs;
    }
    void rediscovery()
    {
        QFETCH(bool, board);
        QFETCH(bool, expired);
        QFETCH(QStringList, events);
        QFETCH(int, kind);
        QFETCH(QString, message);
        constexpr quint64 Mac = 0x0050C2025CC1ULL;
        TRediscovery watch;
        watch.watch(3, answering(Mac, "3.0.5"), board ? TRediscovery::Rule::RestartThenAnswer : TRediscovery::Rule::AnswerAgain,
                    expired ? QDeadlineTimer(0) : QDeadlineTimer(QDeadlineTimer::Forever), 120);
        QList<TRediscovery::Verdict> verdicts;
        for (const QString &event : events) {
            if (event.startsWith(u"reply "_qs)) {
                if (const auto verdict = watch.replied(answering(Mac, event.mid(6).toLatin1())))
                    verdicts << *verdict;
            } else if (event == u"other") {
                QVERIFY(!watch.replied(answering(Mac + 1, "3.0.5")));
            } else if (event == u"round") {
                verdicts << watch.roundEnded();
            } else if (event == u"stop") {
                verdicts << watch.stopAll();
            }
            QCOMPARE(watch.isEmpty(), !verdicts.isEmpty());
        }
        QCOMPARE(verdicts.size(), 1);
        QCOMPARE(verdicts.first().index, 3);
        QCOMPARE(int(verdicts.first().kind), kind);
        QCOMPARE(verdicts.first().message, message);
        QCOMPARE(verdicts.first().warning(), kind == int(TRediscovery::Verdict::SameFirmware));
    }

    void journalMatches_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("matches");
        QTest::newRow("empty") << QString() << true;
        QTest::newRow("name, other case") << QStringLiteral("kühlHAUS") << true;
        QTest::newRow("ip") << QStringLiteral("18.1.1") << true;
        QTest::newRow("mac as listed") << QStringLiteral("02.5C.C1") << true;
        QTest::newRow("mac with colons") << QStringLiteral("02:5c:c1") << true;
        QTest::newRow("mac without separators") << QStringLiteral("025cc1") << true;
        QTest::newRow("date") << QStringLiteral("2026-12-08") << true;
        QTest::newRow("outcome") << QStringLiteral("FAILED") << true;
        QTest::newRow("hash") << QStringLiteral("abc123") << true;
        QTest::newRow("hex word") << QStringLiteral("cafe") << false;
        QTest::newRow("other mac") << QStringLiteral("02:5c:c2") << false;
        QTest::newRow("absent") << QStringLiteral("Gate-East") << false;
    }
    void journalMatches()
    {
        QFETCH(QString, text);
        QFETCH(bool, matches);
        const TJournalEntry entry{Noon, QStringLiteral("00.50.C2.02.5C.C1"), QStringLiteral("198.18.1.1"),
                                  QStringLiteral("K\u00FChlhaus"), QStringLiteral("Read configuration"),
                                  QStringLiteral("a.cfg"), QStringLiteral("abc123"), QStringLiteral("failed"), {}, {}};
        QCOMPARE(TOperationJournal::matches(entry, text), matches);
    }
};

QTEST_GUILESS_MAIN(TestWorksheetCore)
#include "tst_worksheetcore.moc"
