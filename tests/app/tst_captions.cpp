// The captions of the program's windows as the window system shows them (the X11 _NET_WM_NAME
// property, read by xprop under Xvfb), not as Qt holds them: Qt adds the application's display
// name to every caption when one is set.
#include "app/about/about.h"
#include "app/application.h"
#include "app/upgrade/upgradedialog.h"

#include <QDialog>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>

namespace {
// The caption of a top-level window as the window manager reads it; empty when it cannot.
QString shownCaption(QWidget *window)
{
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(window->winId()),
                                          QStringLiteral("_NET_WM_NAME")});
    if (!xprop.waitForFinished(5000))
        return {};
    const QString line = QString::fromUtf8(xprop.readAllStandardOutput()).trimmed();
    const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("= \"(.*)\"$")).match(line);
    return match.hasMatch() ? match.captured(1) : line;
}

// The caption of the modal box that opens next, read while it is up, then the box is closed.
void captureNextModal(QString *caption)
{
    QTimer::singleShot(50, qApp, [caption] {
        QWidget *box = QApplication::activeModalWidget();
        if (!box) {
            captureNextModal(caption);
            return;
        }
        if (QTest::qWaitForWindowExposed(box))
            *caption = shownCaption(box);
        box->close();
    });
}
} // namespace

class TestCaptions : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("reads X11 window properties: run under Xvfb with QT_QPA_PLATFORM=xcb (ctest does)");
    }

    void captions_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("caption");
        QTest::newRow("upgrade window") << "upgrade" << "Upgrade";
        QTest::newRow("error box") << "error" << "Erreur";
        QTest::newRow("about box") << "about" << "About Tarvino ...";
        QTest::newRow("general error box") << "exception" << "Tarvino";
    }

    void captions()
    {
        QFETCH(QString, window);
        QFETCH(QString, caption);
        QString shown;
        if (window == QLatin1String("upgrade")) {
            TUpgradeDialog form(nullptr, nullptr);
            form.show();
            QVERIFY(QTest::qWaitForWindowExposed(&form));
            shown = shownCaption(&form);
        } else if (window == QLatin1String("error")) {
            captureNextModal(&shown);
            ShowProgramError(QStringLiteral("Read Config Failed"));
        } else if (window == QLatin1String("exception")) {
            captureNextModal(&shown);
            TApplication::ShowException(QStringLiteral("Something failed"));
        } else {
            TFormAbout about;
            about.setShowHook([&shown](QDialog &dialog) {
                QTimer::singleShot(0, &dialog, [&shown, &dialog] {
                    if (QTest::qWaitForWindowExposed(&dialog))
                        shown = shownCaption(&dialog);
                    dialog.close();
                });
            });
            about.ShowAbout();
        }
        QCOMPARE(shown, caption);
    }
};

int main(int argc, char **argv)
{
    TApplication app(argc, argv);
    TestCaptions test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_captions.moc"
