// The dialog of Scan address range..., driven by keys: a range that would be refused is told
// before anything is sent and leaves Scan off; the last ranges come back at the next opening.
#include "app/rangescandialog.h"
#include "protocol/ipv4text.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
TSweepContext labPc()
{
    TSweepContext context;
    context.ownAddresses = {TextToIp(u"198.18.0.1"_s)};
    context.knownSubnets = {{TextToIp(u"198.18.0.0"_s), 16}, {TextToIp(u"198.19.0.0"_s), 16}};
    return context;
}

QPushButton *scanButton(const QDialog &dialog)
{
    return dialog.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
}

QLabel *problemLabel(const QDialog &dialog)
{
    // The label that tells why a range cannot be swept is the one left empty while all is well.
    for (QLabel *label : dialog.findChildren<QLabel *>())
        if (label->styleSheet().contains(u"color"_s))
            return label;
    return nullptr;
}
} // namespace

class TestRangeScanDialog : public QObject
{
    Q_OBJECT

    QTemporaryDir m_settings;

private slots:
    void initTestCase()
    {
        QVERIFY(m_settings.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settings.path());
    }

    void typedRanges_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("canScan");
        QTest::addColumn<QString>("told");
        QTest::addColumn<quint64>("addresses");
        QTest::newRow("a network") << u"198.19.0.0/24"_s << true << QString() << quint64(254);
        QTest::newRow("two ranges") << u"198.19.4.10-198.19.4.250, 198.19.7.1"_s << true << QString() << quint64(242);
        QTest::newRow("the routed broadcast") << u"198.19.255.255"_s << false << u"broadcast address"_s << quint64(0);
        QTest::newRow("too large") << u"198.18.0.0/15"_s << false << u"at most 65,536"_s << quint64(0);
        QTest::newRow("this PC") << u"198.18.0.1"_s << false << u"an address of this PC"_s << quint64(0);
        QTest::newRow("half typed") << u"198.19.0."_s << false << u"is not an address range"_s << quint64(0);
        QTest::newRow("nothing") << QString() << false << QString() << quint64(0);
    }
    void typedRanges()
    {
        QFETCH(QString, typed);
        QFETCH(bool, canScan);
        QFETCH(QString, told);
        QFETCH(quint64, addresses);
        TRangeScanDialog dialog(labPc());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto *edit = dialog.findChild<QComboBox *>()->lineEdit();
        edit->clear();
        QTest::keyClicks(edit, typed);
        QCOMPARE(scanButton(dialog)->isEnabled(), canScan);
        QLabel *problem = problemLabel(dialog);
        QVERIFY(problem);
        QCOMPARE(problem->isVisible(), !told.isEmpty());
        QVERIFY2(problem->text().contains(told), qPrintable(problem->text()));
        // Enter sweeps only what can be swept.
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(dialog.result() == QDialog::Accepted, canScan);
        QCOMPARE(AddressCount(MergedRanges(dialog.ranges())), addresses);
    }

    void lastRangesComeBack()
    {
        {
            TRangeScanDialog first(labPc());
            first.restoreSettings();
            auto *edit = first.findChild<QComboBox *>()->lineEdit();
            edit->clear();
            QTest::keyClicks(edit, u"198.19.3.0/24"_s);
            first.saveSettings();
            edit->clear();
            QTest::keyClicks(edit, u"198.19.1.1-20"_s);
            first.saveSettings();
        }
        TRangeScanDialog next(labPc());
        next.restoreSettings();
        QCOMPARE(next.rangeText(), u"198.19.1.1-20"_s);
        auto *combo = next.findChild<QComboBox *>();
        QCOMPARE(combo->count(), 2);
        QCOMPARE(combo->itemText(1), u"198.19.3.0/24"_s);
        QVERIFY(scanButton(next)->isEnabled());
    }
};

QTEST_MAIN(TestRangeScanDialog)
#include "tst_rangescandialog.moc"
