// The visit report: which operations of the history a visit holds and how their lines pair, what
// needs attention, the configuration differences, the site's missing and unexpected devices, the
// times the options take, and the PDF and HTML that come out (read back with pdftotext).
#include "fleet/history/configurationstore.h"
#include "fleet/report/visitreport.h"
#include "fleet/report/visitreportdocument.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QtTest>

namespace {
const QDateTime Nine(QDate(2026, 12, 8), QTime(9, 0));

TJournalEntry line(int minute, const QString &ip, const QString &operation, const QString &outcome, const QString &id,
                   const QString &mac = {})
{
    TJournalEntry entry;
    entry.when = Nine.addSecs(60 * minute);
    entry.ip = ip;
    entry.mac = mac;
    entry.name = QStringLiteral("Device %1").arg(ip.section(u'.', 3));
    entry.operation = operation;
    entry.outcome = outcome;
    entry.id = id;
    return entry;
}

const QByteArray Before = "[net]\nip=198.18.1.5\n[pump]\nspeed=1200\nmode=auto\n";
const QByteArray After = "[net]\nip=198.18.1.5\n[pump]\nspeed=1450\nmode=auto\nalarm=on\n";

QString pdfText(const QString &path)
{
    QProcess process;
    process.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), path, QStringLiteral("-")});
    if (!process.waitForFinished(30000))
        return {};
    return QString::fromUtf8(process.readAllStandardOutput());
}
} // namespace

class TestVisitReport : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    // A store of each test function's own.
    TConfigurationStore store() const
    {
        return TConfigurationStore(m_dir.filePath(QStringLiteral("store-") + QLatin1String(QTest::currentTestFunction())));
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // Which lines become which operations of the span, and which of them need attention.
    void operationsOfTheSpan_data()
    {
        QTest::addColumn<QList<TJournalEntry>>("history");
        QTest::addColumn<QStringList>("outcomes");  // of the span's operations, oldest first
        QTest::addColumn<QList<bool>>("attention"); // each one's needsAttention()

        const QString ip = QStringLiteral("198.18.1.5");
        QTest::newRow("start and end are one operation")
            << QList<TJournalEntry>{line(1, ip, u"Reset"_qs, u"started"_qs, u"a"_qs), line(2, ip, u"Reset"_qs, u"succeeded"_qs, u"a"_qs)}
            << QStringList{u"succeeded"_qs} << QList<bool>{false};
        QTest::newRow("a start alone never finished")
            << QList<TJournalEntry>{line(1, ip, u"Controller upgrade"_qs, u"started"_qs, u"a"_qs)}
            << QStringList{u"never finished"_qs} << QList<bool>{true};
        QTest::newRow("acknowledged, still never finished")
            << QList<TJournalEntry>{line(1, ip, u"Controller upgrade"_qs, u"started"_qs, u"a"_qs),
                                    line(3, ip, u"Controller upgrade"_qs, u"acknowledged"_qs, u"a"_qs)}
            << QStringList{u"never finished"_qs} << QList<bool>{true};
        QTest::newRow("an end without a start stands alone")
            << QList<TJournalEntry>{line(1, ip, u"SetDropBear"_qs, u"succeeded"_qs, {})}
            << QStringList{u"succeeded"_qs} << QList<bool>{false};
        TJournalEntry leftOn = line(2, ip, u"Reset"_qs, u"cancelled"_qs, u"a"_qs);
        leftOn.deviceState = u"updater on"_qs;
        QTest::newRow("cancelled with the updater left on")
            << QList<TJournalEntry>{line(1, ip, u"Reset"_qs, u"started"_qs, u"a"_qs), leftOn}
            << QStringList{u"cancelled"_qs} << QList<bool>{true};
        QTest::newRow("failed; declined is no failure")
            << QList<TJournalEntry>{line(1, ip, u"Reset"_qs, u"started"_qs, u"a"_qs), line(2, ip, u"Reset"_qs, u"failed"_qs, u"a"_qs),
                                    line(3, ip, u"Reset"_qs, u"declined"_qs, {})}
            << QStringList{u"failed"_qs, u"declined"_qs} << QList<bool>{true, false};
        QTest::newRow("before and after the span left out")
            << QList<TJournalEntry>{line(-30, ip, u"Reset"_qs, u"succeeded"_qs, {}), line(5, ip, u"Reset"_qs, u"failed"_qs, {}),
                                    line(200, ip, u"Reset"_qs, u"succeeded"_qs, {})}
            << QStringList{u"failed"_qs} << QList<bool>{true};
        QTest::newRow("oldest start first, whatever order the ends came in")
            << QList<TJournalEntry>{line(1, ip, u"Reset"_qs, u"started"_qs, u"a"_qs), line(2, u"198.18.1.6"_qs, u"Reset"_qs, u"started"_qs, u"b"_qs),
                                    line(3, u"198.18.1.6"_qs, u"Reset"_qs, u"failed"_qs, u"b"_qs), line(4, ip, u"Reset"_qs, u"succeeded"_qs, u"a"_qs)}
            << QStringList{u"succeeded"_qs, u"failed"_qs} << QList<bool>{false, true};
    }
    void operationsOfTheSpan()
    {
        QFETCH(QList<TJournalEntry>, history);
        QFETCH(QStringList, outcomes);
        QFETCH(QList<bool>, attention);
        const TVisitReport report = CollectVisit(history, {{}, {}, {}, Nine, Nine.addSecs(3600)}, store());
        QStringList got;
        QList<bool> gotAttention;
        for (const TVisitOperation &operation : report.operations) {
            got << operation.outcome;
            gotAttention << operation.needsAttention();
        }
        QCOMPARE(got, outcomes);
        QCOMPARE(gotAttention, attention);
        QCOMPARE(report.needingAttention().size(), attention.count(true));
    }

    // A line without a MAC address is the device that other lines name at its address.
    void devicesByMacAddressElseAddress()
    {
        const QString mac = QStringLiteral("00:50:c2:02:5c:c5");
        const QList<TJournalEntry> history{
            line(1, u"198.18.1.5"_qs, u"Reset"_qs, u"succeeded"_qs, {}, u"00.50.C2.02.5C.C5"_qs), // the list's way
            line(2, u"198.18.1.5"_qs, u"Reset"_qs, u"failed"_qs, {}),
            line(3, u"198.18.1.6"_qs, u"Reset"_qs, u"succeeded"_qs, {}),
        };
        const TVisitReport report = CollectVisit(history, {{}, {}, {}, Nine, {}}, store());
        QCOMPARE(report.devices.size(), 2);
        QCOMPARE(report.devices.at(0).mac, mac);
        QCOMPARE(report.devices.at(0).operations, 2);
        QCOMPARE(report.devices.at(0).failures, 1);
        QCOMPARE(report.devices.at(1).mac, QString());
        QCOMPARE(report.summary(), u"3 operations on 2 devices: 2 succeeded, 1 failed"_qs);

        // A scan's devices are found too; those the history knows are not listed twice.
        const QList<TVisitDevice> scanned{{u"198.18.1.5"_qs, mac, u"Pump"_qs, {}, 0, 0},
                                          {u"198.18.1.6"_qs, u"00:50:c2:02:5c:c6"_qs, u"Gate"_qs, {}, 0, 0},
                                          {u"198.18.1.8"_qs, {}, u"Idle"_qs, u"3.1"_qs, 0, 0}};
        const TVisitReport withScan = CollectVisit(history, {{}, {}, {}, Nine, {}}, store(), std::nullopt, scanned);
        QCOMPARE(withScan.devices.size(), 3);
        QCOMPARE(withScan.devices.at(2).name, u"Idle"_qs);
        QCOMPARE(withScan.devices.at(2).operations, 0);
    }

    // Lines of operations that had no device (older histories kept sweeps and network checks, with
    // no address) are neither a device nor an operation of the visit.
    void linesWithoutAnAddressAreNoDevice_data()
    {
        QTest::addColumn<QList<TJournalEntry>>("history");
        QTest::addColumn<QList<TVisitDevice>>("scanned");
        const QString ip = QStringLiteral("198.18.1.5");
        const TJournalEntry reset = line(5, ip, u"Reset"_qs, u"succeeded"_qs, {});
        QTest::newRow("a sweep") << QList<TJournalEntry>{line(1, {}, u"Sweep"_qs, u"succeeded"_qs, {}), reset}
                                 << QList<TVisitDevice>{};
        QTest::newRow("a failed network check")
            << QList<TJournalEntry>{reset, line(7, {}, u"Network check"_qs, u"failed"_qs, {})} << QList<TVisitDevice>{};
        QTest::newRow("a start and end without an address")
            << QList<TJournalEntry>{line(1, {}, u"Sweep"_qs, u"started"_qs, u"s"_qs), reset, line(9, {}, u"Sweep"_qs, u"failed"_qs, u"s"_qs)}
            << QList<TVisitDevice>{};
        QTest::newRow("an address of blanks") << QList<TJournalEntry>{line(1, u" "_qs, u"Scan"_qs, u"succeeded"_qs, {}), reset}
                                              << QList<TVisitDevice>{};
        QTest::newRow("a scanned row without an address")
            << QList<TJournalEntry>{reset} << QList<TVisitDevice>{{{}, {}, u"Ghost"_qs, {}, 0, 0}};
    }
    void linesWithoutAnAddressAreNoDevice()
    {
        QFETCH(QList<TJournalEntry>, history);
        QFETCH(QList<TVisitDevice>, scanned);
        const TVisitReport report = CollectVisit(history, {{}, {}, {}, Nine, Nine.addSecs(3600)}, store(),
                                                 QList<TSiteDevice>{}, scanned);
        QCOMPARE(report.devices.size(), 1);
        QCOMPARE(report.devices.first().ip, u"198.18.1.5"_qs);
        QCOMPARE(report.operations.size(), 1);
        QCOMPARE(report.operations.first().operation, u"Reset"_qs);
        QVERIFY(report.needingAttention().isEmpty());
        QCOMPARE(report.unexpected.size(), 1); // the real device only: the site file is empty
        QCOMPARE(report.summary(), u"1 operation on 1 device: 1 succeeded"_qs);
    }

    // The board firmware before an upgrade (its start) and after it (the device's next line, even
    // after the span), and the library's version of the image.
    void versionsBeforeAndAfter()
    {
        const QString mac = QStringLiteral("00:50:c2:02:5c:c5");
        TJournalEntry start = line(1, u"198.18.1.5"_qs, u"Communication board upgrade"_qs, u"started"_qs, u"a"_qs, mac);
        start.firmwareVersion = u"3.2.0"_qs;
        start.imageVersion = u"3.3.1"_qs;
        TJournalEntry end = line(3, u"198.18.1.5"_qs, u"Communication board upgrade"_qs, u"succeeded"_qs, u"a"_qs, mac);
        end.firmwareVersion = u"3.2.0"_qs; // the scan before the upgrade
        TJournalEntry later = line(90, u"198.18.1.5"_qs, u"Reset"_qs, u"succeeded"_qs, {}, mac);
        later.firmwareVersion = u"3.3.1"_qs;
        const TVisitReport report = CollectVisit({start, end, later}, {{}, {}, {}, Nine, Nine.addSecs(1800)}, store());
        QCOMPARE(report.operations.size(), 1);
        QCOMPARE(report.operations.first().versionBefore, u"3.2.0"_qs);
        QCOMPARE(report.operations.first().versionAfter, u"3.3.1"_qs);
        QCOMPARE(report.operations.first().imageVersion, u"3.3.1"_qs);
        QCOMPARE(report.devices.first().firmwareVersion, u"3.3.1"_qs);
    }

    // A write's difference is against the last text of the same device the history kept before it.
    void configurationDifference_data()
    {
        QTest::addColumn<bool>("readFirst");
        QTest::addColumn<bool>("otherDeviceRead");
        QTest::addColumn<bool>("beforeKnown");
        QTest::addColumn<int>("differences");
        QTest::newRow("read, then written") << true << false << true << 2;
        QTest::newRow("written without a read") << false << false << false << 0;
        QTest::newRow("only another device read") << false << true << false << 0;
    }
    void configurationDifference()
    {
        QFETCH(bool, readFirst);
        QFETCH(bool, otherDeviceRead);
        QFETCH(bool, beforeKnown);
        QFETCH(int, differences);
        const QString before = store().put(Before);
        const QString after = store().put(After);
        QVERIFY(!before.isEmpty() && !after.isEmpty());
        QList<TJournalEntry> history;
        if (readFirst || otherDeviceRead) {
            TJournalEntry read = line(1, otherDeviceRead ? u"198.18.1.6"_qs : u"198.18.1.5"_qs, u"Read configuration"_qs,
                                      u"succeeded"_qs, {});
            read.fileSha256 = before;
            history << read;
        }
        TJournalEntry write = line(5, u"198.18.1.5"_qs, u"Write configuration"_qs, u"succeeded"_qs, {});
        write.fileSha256 = after;
        history << write;
        const TVisitReport report = CollectVisit(history, {{}, {}, {}, Nine, {}}, store());
        QCOMPARE(report.configChanges.size(), 1);
        const TVisitConfigChange &change = report.configChanges.first();
        QVERIFY(change.afterKnown);
        QCOMPARE(change.beforeKnown, beforeKnown);
        QCOMPARE(change.differences, differences);
        if (!beforeKnown)
            return;
        QCOMPARE(change.rows.at(0).kind, TDiffRow::Changed);
        QCOMPARE(change.rows.at(0).left, u"speed=1200"_qs);
        QCOMPARE(change.rows.at(0).right, u"speed=1450"_qs);
        QCOMPARE(change.rows.at(1).kind, TDiffRow::Added);
        QCOMPARE(change.rows.at(1).right, u"alarm=on"_qs);
    }

    // The store refuses a text whose bytes changed under it.
    void storeRefusesAChangedText()
    {
        const QString sha = store().put(Before);
        QCOMPARE(store().get(sha), std::optional<QByteArray>(Before));
        QFile file(store().folder() + u'/' + sha + u".cfg"_qs);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(After);
        file.close();
        QVERIFY(!store().get(sha));
        QVERIFY(!store().get(u"../history"_qs));
        // Kept again, the text is whole again.
        QCOMPARE(store().put(Before), sha);
        QCOMPARE(store().get(sha), std::optional<QByteArray>(Before));
    }

    void siteMissingAndUnexpected()
    {
        const QList<TJournalEntry> history{
            line(1, u"198.18.1.5"_qs, u"Reset"_qs, u"succeeded"_qs, {}, u"00:50:c2:02:5c:c5"_qs),
            line(2, u"198.18.1.9"_qs, u"Reset"_qs, u"succeeded"_qs, {}),
        };
        QList<TSiteDevice> site(2);
        site[0].name = u"Pump-5"_qs;
        site[0].ip = u"198.18.1.50"_qs; // moved: found by its MAC address
        site[0].mac = 0x0050C2025CC5;
        site[1].name = u"Gate-7"_qs;
        site[1].ip = u"198.18.1.7"_qs;
        const TVisitReport report = CollectVisit(history, {{}, {}, {}, Nine, {}}, store(), site);
        QVERIFY(report.siteCompared);
        QCOMPARE(report.missing.size(), 1);
        QCOMPARE(report.missing.first().name, u"Gate-7"_qs);
        QCOMPARE(report.unexpected.size(), 1);
        QCOMPARE(report.unexpected.first().ip, u"198.18.1.9"_qs);
    }

    void visitTimes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("expected"); // invalid: refused
        const QDateTime now(QDate(2026, 12, 8), QTime(15, 0));
        QTest::newRow("date and time") << u"2026-12-08T09:30"_qs << QDateTime(QDate(2026, 12, 8), QTime(9, 30));
        QTest::newRow("with a space and seconds") << u"2026-12-08 09:30:15"_qs << QDateTime(QDate(2026, 12, 8), QTime(9, 30, 15));
        QTest::newRow("a date: its midnight") << u"2026-12-07"_qs << QDateTime(QDate(2026, 12, 7), QTime(0, 0));
        QTest::newRow("a time: today") << u"09:30"_qs << QDateTime(now.date(), QTime(9, 30));
        QTest::newRow("with an offset") << u"2026-12-08T09:30:00+01:00"_qs
                                        << QDateTime(QDate(2026, 12, 8), QTime(8, 30), Qt::UTC);
        QTest::newRow("no time") << u"yesterday"_qs << QDateTime();
        QTest::newRow("no hour 25") << u"25:00"_qs << QDateTime();
        QTest::newRow("empty") << QString() << QDateTime();
    }
    void visitTimes()
    {
        QFETCH(QString, text);
        QFETCH(QDateTime, expected);
        const QDateTime parsed = ParseVisitTime(text, QDateTime(QDate(2026, 12, 8), QTime(15, 0)));
        QCOMPARE(parsed.isValid(), expected.isValid());
        if (expected.isValid())
            QCOMPARE(parsed.toMSecsSinceEpoch(), expected.toMSecsSinceEpoch());
    }

    // What the customer reads: every device (names in other scripts too), every operation with its
    // outcome, the attention box first, the difference's lines, a header and page numbers; the PDF's
    // text read back with pdftotext.
    void documents_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::newRow("pdf") << u"visit.pdf"_qs;
        QTest::newRow("html") << u"visit.html"_qs;
    }
    void documents()
    {
        QFETCH(QString, fileName);
        const QStringList names{u"Pumpe-Süd-Ø"_qs, u"Насос-6"_qs, u"Αντλία-7"_qs};
        QList<TJournalEntry> history;
        for (int i = 0; i < names.size(); ++i) {
            const QString ip = QStringLiteral("198.18.1.%1").arg(5 + i);
            TJournalEntry entry = line(10 * i, ip, i == 1 ? u"Controller upgrade"_qs : u"Reset"_qs,
                                       i == 1 ? u"failed"_qs : u"succeeded"_qs, {});
            entry.name = names.at(i);
            if (i == 1) {
                entry.fileSha256 = QString(64, u'e');
                entry.message = u"Upgrade Failed"_qs;
            }
            history << entry;
        }
        TJournalEntry read = line(40, u"198.18.1.5"_qs, u"Read configuration"_qs, u"succeeded"_qs, {});
        read.fileSha256 = store().put(Before);
        TJournalEntry write = line(41, u"198.18.1.5"_qs, u"Write configuration"_qs, u"succeeded"_qs, {});
        write.fileSha256 = store().put(After);
        history << read << write;
        // Enough operations for more than one page.
        for (int i = 0; i < 30; ++i)
            history << line(50 + i, u"198.18.1.5"_qs, u"SetDropBear"_qs, u"succeeded"_qs, {});
        const TVisitReport report =
            CollectVisit(history, {u"Site Nord"_qs, u"Jo Ölund"_qs, u"PC-7"_qs, Nine, Nine.addSecs(7200)}, store());
        const QString path = m_dir.filePath(fileName);
        QString error;
        QVERIFY2(WriteVisitReport(report, path, &error), qPrintable(error));

        QString text;
        if (fileName.endsWith(u".pdf"_qs)) {
            text = pdfText(path);
            QVERIFY2(text.contains(u"Page 1 of 2"_qs) || text.contains(u"Page 1 of 3"_qs), qPrintable(text.left(2000)));
            // A header on every page.
            QVERIFY2(text.count(u"Visit report · Site Nord · 2026-12-08"_qs) == text.count(u"Page "_qs), qPrintable(text));
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QTextDocument document;
            document.setHtml(QString::fromUtf8(file.readAll()));
            text = document.toPlainText();
        }
        for (const QString &name : names)
            QVERIFY2(text.contains(name), qPrintable(name));
        for (const QString &expected : {u"Jo Ölund"_qs, u"PC-7"_qs, u"Controller upgrade"_qs, u"Upgrade Failed"_qs,
                                        QString(64, u'e'), u"speed=1200"_qs, u"speed=1450"_qs, u"alarm=on"_qs})
            QVERIFY2(text.contains(expected), qPrintable(expected));
        QCOMPARE(text.count(u"SetDropBear"_qs), 30);
        // The box comes before the lists.
        QVERIFY(text.indexOf(u"Needs attention"_qs) >= 0);
        QVERIFY(text.indexOf(u"Needs attention"_qs) < text.indexOf(u"Devices"_qs));
    }
};

QTEST_MAIN(TestVisitReport)
#include "tst_visitreport.moc"
