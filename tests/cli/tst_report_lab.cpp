// tarvino-cli report after a visit in the lab: configurations read from every device (one whose bus
// is silent fails), one written with a change, an SSH toggle; then the report as PDF and HTML holds
// every device, every operation with its outcome, the failure in its box and the changed lines.
#include "labsim.h"
#include "fleet/history/operationjournal.h"
#include "testfiles.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QtTest>

#include <memory>

namespace {
const QByteArray Before = "[net]\nip=198.18.1.1\n[pump]\nspeed=1200\nmode=auto\n";
constexpr int Devices = 4;
constexpr int Silent = 3;
const QByteArray After = "[net]\nip=198.18.1.1\n[pump]\nspeed=1450\nmode=auto\nalarm=on\n";

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run run(const QString &program, const QStringList &arguments, const QString &dataHome)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), dataHome + QStringLiteral("/cache"));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Run result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}
} // namespace

class TestReportLab : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_data;
    std::unique_ptr<LabSimulator> m_sim;

    QDateTime m_since;

    // The visit that every report of this test tells: the configurations read from every device
    // (the silent one fails), one written with a change, an SSH toggle.
    void visit()
    {
        constexpr int Devices = 4;
        m_sim = std::make_unique<LabSimulator>();
        QVERIFY2(m_sim->start(Devices, {u"--seed"_qs, u"5"_qs, u"--fault"_qs, QStringLiteral("%1:silent@52390").arg(Silent),
                                        u"--config-file"_qs, u"0="_qs + WriteTestFileOrDie(m_dir.path(), u"before.cfg"_qs, Before)}),
                 qPrintable(m_sim->errorString()));
        m_since = QDateTime::currentDateTime().addSecs(-1);
        const Run get = cli({u"config"_qs, u"get"_qs, u"--all"_qs, u"--wait"_qs, u"1"_qs, u"--timeout"_qs, u"0.3"_qs,
                             u"-o"_qs, m_dir.filePath(u"backup"_qs)});
        QCOMPARE(get.exitCode, 1); // the silent one
        const Run put = cli({u"config"_qs, u"put"_qs, LabSimulator::deviceIp(0),
                             WriteTestFileOrDie(m_dir.path(), u"after.cfg"_qs, After), u"--yes"_qs});
        QVERIFY2(put.exitCode == 0, qPrintable(put.out + put.err));
        const Run ssh = cli({u"ssh"_qs, LabSimulator::deviceIp(1), u"--yes"_qs});
        QVERIFY2(ssh.exitCode == 0, qPrintable(ssh.out + ssh.err));
        m_sim.reset();
    }

    Run cli(const QStringList &arguments) { return run(QStringLiteral(TARVINO_CLI_PATH), arguments, m_data); }

    // The report's text: the PDF read with pdftotext, the HTML as a browser shows its text.
    QString reportText(const QString &path)
    {
        if (path.endsWith(u".pdf"_qs))
            return run(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), path, QStringLiteral("-")}, m_data).out;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QTextDocument document;
        document.setHtml(QString::fromUtf8(file.readAll()));
        return document.toPlainText();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(LabSimulator::inLab(), "talks to simulated devices: run it inside the lab (ctest does)");
        QVERIFY(m_dir.isValid());
        m_data = m_dir.filePath(QStringLiteral("data"));
        visit();
    }

    void reportOfAVisit_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::newRow("pdf") << u"visit.pdf"_qs;
        QTest::newRow("html") << u"visit.html"_qs;
    }
    void reportOfAVisit()
    {
        QFETCH(QString, fileName);
        const QString path = m_dir.filePath(fileName);
        // The site expects the four and one more, which the visit did not see.
        QByteArray site = "name,ip\n";
        for (int i = 0; i < Devices; ++i)
            site += "Expected-" + QByteArray::number(i) + ',' + LabSimulator::deviceIp(i).toLatin1() + '\n';
        site += "Pump-Far,198.18.1.99\n";
        const Run report = cli({u"report"_qs, u"--since"_qs, m_since.toString(Qt::ISODate), u"--technician"_qs, u"Jo Ölund"_qs,
                                u"--site"_qs, WriteTestFileOrDie(m_dir.path(), u"site.csv"_qs, site), u"-o"_qs, path});
        QVERIFY2(report.exitCode == 0, qPrintable(report.err));
        QVERIFY2(report.out.contains(u"6 operations on 4 devices: 5 succeeded, 1 failed"_qs), qPrintable(report.out));
        const QString text = reportText(path);
        const QStringList lines = text.split(u'\n');

        // Every device and every operation of the history, each with its outcome on its row.
        const QList<TJournalEntry> history = TOperationJournal(m_data + u"/tarvino/history.jsonl"_qs).read();
        QCOMPARE(history.size(), 2 * (Devices + 2)); // started and ended: four reads, a write, a toggle
        for (const TJournalEntry &entry : history) {
            QVERIFY2(text.contains(entry.ip) && text.contains(entry.name), qPrintable(entry.ip + u' ' + entry.name));
            if (entry.outcome == u"started")
                continue;
            const QString started = std::find_if(history.begin(), history.end(), [&](const TJournalEntry &e) {
                                        return e.id == entry.id && e.outcome == u"started";
                                    })->when.toLocalTime().toString(u"yyyy-MM-dd HH:mm:ss"_qs);
            QVERIFY2(std::any_of(lines.begin(), lines.end(), [&](const QString &l) {
                         return l.contains(started) && l.contains(entry.operation) && l.contains(entry.outcome);
                     }) || text.contains(started + u'\n'), // the HTML's cells each on a line
                     qPrintable(started + u' ' + entry.operation + u' ' + entry.outcome));
        }
        QVERIFY(text.contains(u"Read Config Failed"_qs));
        QVERIFY(text.indexOf(u"Needs attention"_qs) < text.indexOf(u"Operations"_qs));
        QVERIFY(text.indexOf(LabSimulator::deviceIp(Silent)) < text.indexOf(u"Devices"_qs)); // in the box
        // The changed configuration's lines, before and after.
        static const QRegularExpression removed(u"-\\s+speed=1200"_qs);
        static const QRegularExpression added(u"\\+\\s+speed=1450"_qs);
        static const QRegularExpression addedLine(u"\\+\\s+alarm=on"_qs);
        QVERIFY2(text.contains(removed) && text.contains(added) && text.contains(addedLine), qPrintable(text));
        QVERIFY(text.contains(u"Jo Ölund"_qs));
        QVERIFY(text.contains(u"Pump-Far"_qs) && text.contains(u"198.18.1.99"_qs));
        QVERIFY(text.contains(u"1 device of the site file not seen"_qs));
    }

    // The output is checked before anything is read; a span that is no time is a usage error.
    void refusedBeforeAnythingIsRead_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("told");
        QTest::newRow("missing folder") << QStringList{u"--since"_qs, u"09:00"_qs, u"-o"_qs, u"/nonexistent-tarvino/v.pdf"_qs}
                                        << 3 << u"does not exist"_qs;
        QTest::newRow("neither pdf nor html") << QStringList{u"--since"_qs, u"09:00"_qs, u"-o"_qs, u"v.txt"_qs} << 2 << u".pdf or .html"_qs;
        QTest::newRow("no --since") << QStringList{u"-o"_qs, u"v.pdf"_qs} << 2 << u"--since"_qs;
        QTest::newRow("not a time") << QStringList{u"--since"_qs, u"noon"_qs, u"-o"_qs, u"v.pdf"_qs} << 2 << u"is not a time"_qs;
        QTest::newRow("until before since") << QStringList{u"--since"_qs, u"2026-12-08"_qs, u"--until"_qs, u"2026-12-07"_qs,
                                                           u"-o"_qs, u"v.pdf"_qs} << 2 << u"before --since"_qs;
    }
    void refusedBeforeAnythingIsRead()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, told);
        const Run report = cli(QStringList{u"report"_qs} + arguments);
        QCOMPARE(report.exitCode, exitCode);
        QVERIFY2(report.err.contains(told), qPrintable(report.err));
    }
};

QTEST_MAIN(TestReportLab)
#include "tst_report_lab.moc"
