// The firmware warning: its layout and text, its picture, the result of each way out (keys,
// clicks, the close box), where it opens.
#include "app/upgrade/firmwarewarningdialog.h"

#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QSet>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

using Keys = QList<int>;

// Runs the dialog modally and applies `act` once it is up; a dialog still open afterwards is
// closed with -1, so that no test can hang on it.
int runWith(TFirmwareWarningDialog &dialog, const std::function<void(TFirmwareWarningDialog &)> &act)
{
    QTimer::singleShot(0, &dialog, [&dialog, act] {
        act(dialog);
        if (dialog.isVisible())
            dialog.done(-1);
    });
    return dialog.exec();
}

} // namespace

class TestFormWarning : public QObject
{
    Q_OBJECT
    std::unique_ptr<QWidget> m_main;

private slots:
    void init()
    {
        m_main = std::make_unique<QWidget>();
        m_main->setGeometry(200, 150, 608, 250);
        m_main->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_main.get()));
    }

    void cleanup()
    {
        m_main.reset();
    }

    void layout_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        QTest::newRow("Image1") << u"Image1"_s << QRect(24, 24, 32, 32) << QString();
        QTest::newRow("Label1") << u"Label1"_s << QRect(88, 8, 298, 78) << TFirmwareWarningDialog::WarningText();
        QTest::newRow("Button1") << u"Button1"_s << QRect(228, 105, 75, 25) << u"Upgrade"_s;
        QTest::newRow("Button2") << u"Button2"_s << QRect(308, 105, 75, 25) << u"Return"_s;
    }

    void layout()
    {
        QFETCH(QString, control);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        TFirmwareWarningDialog dialog(m_main.get());
        QCOMPARE(dialog.objectName(), u"FormWarning"_s);
        QCOMPARE(dialog.windowTitle(), u"Warning"_s);
        QCOMPARE(dialog.size(), QSize(394, 135));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize()); // a fixed frame
        const QHash<QString, QWidget *> controls{
            {u"Image1"_s, dialog.Image1}, {u"Label1"_s, dialog.Label1},
            {u"Button1"_s, dialog.Button1}, {u"Button2"_s, dialog.Button2}};
        QWidget *widget = controls.value(control);
        QVERIFY(widget);
        QCOMPARE(widget->parentWidget(), &dialog);
        QCOMPARE(widget->geometry(), geometry);
        if (auto *label = qobject_cast<QLabel *>(widget); label && !text.isEmpty())
            QCOMPARE(label->text(), text);
        if (auto *button = qobject_cast<QPushButton *>(widget))
            QCOMPARE(button->text(), text);
    }

    // Six lines, CR LF between them, the trailing spaces kept; each line centred and, in the
    // dialog's font, within the label's width.
    void text()
    {
        const QStringList lines{u"CAUTION: You selected the function to update the firmware."_s,
                                u"By updating your firmware, your are taking a risk of flash failure."_s,
                                u" "_s,
                                u"If your firmware is working stable, and there are no major bugs "_s,
                                u"that had been fixed by a later revision, we recommend that you "_s,
                                u"DO NOT try to upgrade your current version."_s};
        QCOMPARE(TFirmwareWarningDialog::WarningText(), lines.join(u"\r\n"_s));
        TFirmwareWarningDialog dialog(m_main.get());
        QCOMPARE(dialog.Label1->textFormat(), Qt::PlainText);
        QVERIFY(dialog.Label1->alignment() & Qt::AlignHCenter);
        QVERIFY(!dialog.Label1->wordWrap());
        const QFontMetrics metrics(dialog.Label1->font());
        for (const QString &line : lines)
            QVERIFY2(metrics.horizontalAdvance(line.trimmed()) <= dialog.Label1->width(),
                     qPrintable(u"%1 pixels: %2"_s.arg(metrics.horizontalAdvance(line.trimmed())).arg(line)));
        QVERIFY(metrics.lineSpacing() * lines.size() <= dialog.Label1->height());
    }

    // A 32 x 32 picture with a transparent background around the sign.
    void picture()
    {
        TFirmwareWarningDialog dialog(m_main.get());
        const QPixmap pixmap = dialog.Image1->pixmap();
        QVERIFY(!pixmap.isNull());
        QCOMPARE(pixmap.deviceIndependentSize().toSize(), QSize(32, 32));
        const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
        QVERIFY(image.hasAlphaChannel());
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(image.pixel(image.width() - 1, 0)), 0);
        int opaque = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                opaque += qAlpha(image.pixel(x, y)) == 255;
        QVERIFY2(opaque > image.width() * image.height() / 4, qPrintable(QString::number(opaque)));
    }

    void pictureDrawnOnce_data()
    {
        QTest::addColumn<int>("dialogs");
        QTest::newRow("two dialogs") << 2;
        QTest::newRow("ten dialogs, each shown and closed") << 10;
    }

    // Every dialog shows the same picture, drawn once: the upgrades of a long session would
    // otherwise leave one more rendering in the pixmap cache each.
    void pictureDrawnOnce()
    {
        QFETCH(int, dialogs);
        QSet<qint64> pictures;
        for (int i = 0; i < dialogs; ++i) {
            TFirmwareWarningDialog dialog(m_main.get());
            runWith(dialog, [](TFirmwareWarningDialog &shown) { shown.Button1->click(); });
            pictures.insert(dialog.Image1->pixmap().cacheKey());
        }
        QCOMPARE(pictures.size(), 1);
    }

    // "Return" has the focus first; Return and Escape cancel wherever the focus is; only the
    // "Upgrade" button itself gives 6.
    void keys_data()
    {
        QTest::addColumn<Keys>("keys");
        QTest::addColumn<int>("result");
        QTest::newRow("Return") << Keys{Qt::Key_Return} << TFirmwareWarningDialog::ResultReturn;
        QTest::newRow("Enter") << Keys{Qt::Key_Enter} << TFirmwareWarningDialog::ResultReturn;
        QTest::newRow("Escape") << Keys{Qt::Key_Escape} << TFirmwareWarningDialog::ResultReturn;
        QTest::newRow("Space") << Keys{Qt::Key_Space} << TFirmwareWarningDialog::ResultReturn;
        QTest::newRow("Tab Space") << Keys{Qt::Key_Tab, Qt::Key_Space} << TFirmwareWarningDialog::ResultUpgrade;
        QTest::newRow("Tab Return") << Keys{Qt::Key_Tab, Qt::Key_Return} << TFirmwareWarningDialog::ResultReturn;
        QTest::newRow("Tab Escape") << Keys{Qt::Key_Tab, Qt::Key_Escape} << TFirmwareWarningDialog::ResultReturn;
        QTest::newRow("Tab Tab Space") << Keys{Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Space}
                                       << TFirmwareWarningDialog::ResultReturn;
        QTest::newRow("Backtab Space") << Keys{Qt::Key_Backtab, Qt::Key_Space} << TFirmwareWarningDialog::ResultUpgrade;
        QTest::newRow("other keys do nothing") << Keys{Qt::Key_A, Qt::Key_Y, Qt::Key_N} << -1;
    }

    void keys()
    {
        QFETCH(Keys, keys);
        QFETCH(int, result);
        TFirmwareWarningDialog dialog(m_main.get());
        QWidget *firstFocus = nullptr;
        const int got = runWith(dialog, [&](TFirmwareWarningDialog &d) {
            firstFocus = d.focusWidget();
            for (int key : keys) {
                if (!d.isVisible())
                    break;
                // Each key goes where the focus is, as typing does.
                QWidget *target = d.focusWidget() ? d.focusWidget() : &d;
                const auto modifiers = key == Qt::Key_Backtab ? Qt::ShiftModifier : Qt::NoModifier;
                QTest::keyClick(target, Qt::Key(key), modifiers);
            }
        });
        QCOMPARE(firstFocus, dialog.Button2);
        QCOMPARE(got, result);
    }

    void buttons_data()
    {
        QTest::addColumn<QString>("way");
        QTest::addColumn<int>("result");
        QTest::newRow("click Upgrade") << u"Button1"_s << TFirmwareWarningDialog::ResultUpgrade;
        QTest::newRow("click Return") << u"Button2"_s << TFirmwareWarningDialog::ResultReturn;
        QTest::newRow("close box") << u"close"_s << TFirmwareWarningDialog::ResultClosed;
    }

    void buttons()
    {
        QFETCH(QString, way);
        QFETCH(int, result);
        TFirmwareWarningDialog dialog(m_main.get());
        const int got = runWith(dialog, [&](TFirmwareWarningDialog &d) {
            if (way == u"close"_s)
                d.close(); // what the title bar's close box does
            else
                QTest::mouseClick(way == u"Button1"_s ? d.Button1 : d.Button2, Qt::LeftButton);
        });
        QCOMPARE(got, result);
        QCOMPARE(dialog.result(), result);
    }

    // Centred over the main window, also when its owner (the upgrade window) is elsewhere.
    void centredOverMainWindow()
    {
        QDialog owner(m_main.get());
        owner.setGeometry(700, 500, 300, 200);
        owner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&owner));
        TFirmwareWarningDialog dialog(&owner);
        QPoint centre;
        runWith(dialog, [&](TFirmwareWarningDialog &d) { centre = d.geometry().center(); });
        const QPoint expected = m_main->geometry().center();
        QVERIFY2((centre - expected).manhattanLength() <= 2,
                 qPrintable(u"(%1, %2) instead of (%3, %4)"_s.arg(centre.x()).arg(centre.y()).arg(expected.x()).arg(
                     expected.y())));
    }
};

QTEST_MAIN(TestFormWarning)
#include "tst_formwarning.moc"
