// The site file and the live list in the real window against the simulator: the Site column names
// each state for the right device, the missing device follows as a grey row with its expected
// address and takes no device action, the summary is in the status bar, the list saves as a site
// file and a damaged one is refused; Scan > Watch turns a stopped device grey with its last-seen
// time and marks it when it answers again with another firmware version.
#include "fleet/devicefields.h"
#include "fleet/site/devicewatch.h"
#include "app/mainwindow.h"
#include "labsim.h"
#include "app/sitefeature.h"
#include "fleet/site/sitefile.h"
#include "app/stringgrid.h"
#include "testfiles.h"
#include "app/watchfeature.h"

#include <QLabel>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <memory>

namespace {
constexpr int ScanWaitMs = 10000;
constexpr int WatchWaitMs = 20000;

QString macOf(int index)
{
    return QStringLiteral("00:50:c2:5e:00:%1").arg(index + 1, 2, 10, QLatin1Char('0'));
}

QStringList simulatorArguments(int devices, const QStringList &more = {})
{
    QStringList arguments;
    for (int i = 0; i < devices; ++i)
        arguments << u"--mac"_qs << LabSimulator::deviceIp(i) + QLatin1Char('=') + macOf(i);
    return arguments + more;
}
} // namespace

class TestSiteWatchLab : public QObject
{
    Q_OBJECT
    std::unique_ptr<LabSimulator> m_sim;
    std::unique_ptr<TMainWindow> m_form;
    QTemporaryDir m_dir;
    QStringList m_errors;

    // The grid row of a device, by its MAC address as the list shows it; 0 when none.
    int rowOf(const QString &mac) const
    {
        const QString shown = mac.toUpper().replace(QLatin1Char(':'), QLatin1Char('.'));
        for (int row = 1; row < m_form->StringGrid->RowCount(); ++row)
            if (m_form->StringGrid->Cells(4, row) == shown)
                return row;
        return 0;
    }

    bool scanned(int devices)
    {
        m_form->Scan();
        return QTest::qWaitFor([&] { return !m_form->Timer->isActive() && m_form->devices().size() == devices; }, ScanWaitMs);
    }

    QString writeFile(const QString &name, const QByteArray &contents)
    {
        return WriteTestFileOrDie(QDir(m_dir.path()), name, contents);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(LabSimulator::inLab(), "talks to simulated devices: run it inside the lab (ctest does)");
        QVERIFY(m_dir.isValid());
        m_sim = std::make_unique<LabSimulator>();
        QVERIFY2(m_sim->start(4, simulatorArguments(4, {u"--firmware-version"_qs, LabSimulator::deviceIp(0) + u"=3.0.0"_qs,
                                                        u"--firmware-version"_qs, LabSimulator::deviceIp(1) + u"=9.9.1"_qs})),
                 qPrintable(m_sim->errorString()));
        m_form = std::make_unique<TMainWindow>();
        m_form->showError = [this](const QString &message) { m_errors << message; };
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    }

    void cleanupTestCase()
    {
        m_form.reset();
        m_sim.reset();
    }

    void siteStatesInTheList()
    {
        const QByteArray site = "name,ip,mac,type,firmwareVersion\n"
                                "Zero," + LabSimulator::deviceIp(0).toUtf8() + "," + macOf(0).toUtf8() + ",,3.0.0\n"
                                "One," + LabSimulator::deviceIp(1).toUtf8() + "," + macOf(1).toUtf8() + ",,3.0.0\n"
                                "Two,198.18.1.200," + macOf(2).toUtf8() + ",,\n"
                                "Gone,198.18.1.201,00:50:c2:5e:00:99,Palimor P3,\n";
        const QString path = writeFile(u"site.csv"_qs, site);
        QString error;
        QVERIFY2(m_form->Site->openSite(path, &error), qPrintable(error));
        QVERIFY(scanned(4));
        QTRY_VERIFY(!m_form->Site->comparing()); // made on a worker after the scan
        TStringGrid *grid = m_form->StringGrid;
        QVERIFY(!grid->isColumnHidden(TMainWindow::SiteColumn));
        const QList<std::pair<QString, QString>> expected{{macOf(0), u"found"_qs},
                                                          {macOf(1), u"different firmware"_qs},
                                                          {macOf(2), u"moved"_qs},
                                                          {macOf(3), u"unexpected"_qs}};
        for (const auto &[mac, state] : expected) {
            const int row = rowOf(mac);
            QVERIFY2(row >= 1 && row <= 4, qPrintable(mac));
            QCOMPARE(grid->Cells(TMainWindow::SiteColumn, row), state);
        }
        // The missing device after the devices: grey, with the address the file expects.
        const int missingRow = rowOf(u"00:50:c2:5e:00:99"_qs);
        QCOMPARE(missingRow, 5);
        QVERIFY(!grid->IsRowHidden(missingRow));
        QCOMPARE(grid->Cells(3, missingRow), u"198.18.1.201"_qs);
        QCOMPARE(grid->Cells(0, missingRow), u"Gone"_qs);
        QCOMPARE(grid->Cells(TMainWindow::SiteColumn, missingRow), u"missing"_qs);
        QVERIFY(m_form->Site->isMissingRow(missingRow));
        QCOMPARE(grid->model()->data(grid->model()->index(missingRow - 1, 0), Qt::ForegroundRole).value<QColor>(),
                 QColor(0x80, 0x80, 0x80));
        QCOMPARE(m_form->Site->SummaryLabel->text(),
                 u"3 of 4 expected devices found, 1 missing, 1 unexpected, 1 moved, 1 with different firmware"_qs);

        // A missing row takes no device action; a device's row does.
        grid->SelectRow(missingRow);
        QVERIFY(!m_form->UpgradeButton->isEnabled());
        QVERIFY(!m_form->PropertiesButton->isEnabled());
        QVERIFY(!m_form->DropBearButton->isEnabled());
        grid->SelectRow(rowOf(macOf(0)));
        QVERIFY(m_form->UpgradeButton->isEnabled());
        QVERIFY(m_form->PropertiesButton->isEnabled());
    }

    void siteFileSavedAndDamagedRefused()
    {
        const QString saved = m_dir.filePath(u"saved.json"_qs);
        QString error;
        QVERIFY2(m_form->Site->saveSite(saved, &error), qPrintable(error));
        const TSiteFileResult read = SiteFile::read(saved);
        QVERIFY(std::holds_alternative<QList<TSiteDevice>>(read));
        const QList<TSiteDevice> devices = std::get<QList<TSiteDevice>>(read);
        QCOMPARE(devices.size(), 4);
        for (const TSiteDevice &device : devices)
            QVERIFY2(CanonicalMacText(device.mac).startsWith(u"00:50:c2:5e:00:0"_qs), qPrintable(device.ip));
        // The saved list, opened as the site, finds every device.
        QVERIFY2(m_form->Site->openSite(saved, &error), qPrintable(error));
        QTRY_COMPARE(m_form->Site->summary(), u"4 of 4 expected devices found, 0 missing, 0 unexpected"_qs);
        // A damaged file is refused with its line; the site open before stays.
        const QString damaged = writeFile(u"damaged.csv"_qs, "ip,mac\n198.18.1.1,00:50:c2\n");
        QVERIFY(!m_form->Site->openSite(damaged, &error));
        QVERIFY2(error.contains(u"line 2: mac:"_qs), qPrintable(error));
        QCOMPARE(m_form->Site->sitePath(), saved);
        m_form->Site->closeSite();
        QVERIFY(m_form->StringGrid->isColumnHidden(TMainWindow::SiteColumn));
        QCOMPARE(m_form->StringGrid->RowCount(), 5); // the header and the four devices

        // A site closed while its comparison is under way: the late result adds no missing row.
        const QString withMissing = writeFile(u"missing.csv"_qs, "ip\n198.18.1.201\n");
        QVERIFY2(m_form->Site->openSite(withMissing, &error), qPrintable(error));
        QVERIFY(m_form->Site->comparing());
        m_form->Site->closeSite();
        QVERIFY(!m_form->Site->comparing());
        QTest::qWait(300); // the worker's result, had it been taken, would be shown by now
        QCOMPARE(m_form->StringGrid->RowCount(), 5);
        QVERIFY(m_form->Site->summary().isEmpty());
    }

    void watchTurnsGoneGreyAndMarksChange()
    {
        TWatchFeature *watch = m_form->Watch;
        watch->intervalMs = 1000;
        watch->WatchAction->trigger();
        QVERIFY(watch->watching());
        QVERIFY(QTest::qWaitFor([&] { return watch->watch().scans() >= 1 && m_form->devices().size() == 4; }, WatchWaitMs));
        QVERIFY(!m_form->StringGrid->isColumnHidden(TMainWindow::LastSeenColumn));
        const int row = rowOf(macOf(0));
        QVERIFY(!m_form->StringGrid->Cells(TMainWindow::LastSeenColumn, row).isEmpty());
        QVERIFY(!watch->isMarked(m_form->devices().at(row - 1))); // seen by the first scan: not new

        m_sim->stop();
        QVERIFY(QTest::qWaitFor([&] {
            return std::all_of(m_form->devices().cbegin(), m_form->devices().cend(), [&](const TDeviceRecord &d) { return watch->isGone(d); });
        }, WatchWaitMs));
        // The rows stay, grey.
        QCOMPARE(m_form->devices().size(), 4);
        const QColor grey = m_form->StringGrid->model()
                                ->data(m_form->StringGrid->model()->index(row - 1, 0), Qt::ForegroundRole)
                                .value<QColor>();
        QCOMPARE(grey, QColor(0x80, 0x80, 0x80));

        m_sim = std::make_unique<LabSimulator>();
        QVERIFY2(m_sim->start(4, simulatorArguments(4, {u"--firmware-version"_qs, LabSimulator::deviceIp(0) + u"=4.2.0"_qs})),
                 qPrintable(m_sim->errorString()));
        QVERIFY(QTest::qWaitFor([&] {
            return std::none_of(m_form->devices().cbegin(), m_form->devices().cend(), [&](const TDeviceRecord &d) { return watch->isGone(d); });
        }, WatchWaitMs));
        const int back = rowOf(macOf(0));
        QVERIFY(watch->isMarked(m_form->devices().at(back - 1)));
        QCOMPARE(m_form->devices().at(back - 1).Params.text(18), u"4.2.0"_qs);
        QVERIFY(m_form->StatusBar->currentMessage().startsWith(u"Watch, "_qs));

        watch->WatchAction->trigger();
        QVERIFY(!watch->watching());
        QVERIFY(m_errors.isEmpty());
    }
};

QTEST_MAIN(TestSiteWatchLab)
#include "tst_sitewatch_lab.moc"
