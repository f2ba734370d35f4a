// The about box: its layout at several screen resolutions, the lines it leaves out, the
// machine figures, and ShowAbout on this test's own executable, whose version record the
// build wrote.
#include "app/about/about.h"
#include "app/about/versioninfo.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

#include <memory>

namespace {

TAboutFacts sampleFacts()
{
    TAboutFacts facts;
    facts.title = QStringLiteral("Tarvino");
    facts.fileVersion = QStringLiteral("1.0.0.0");
    facts.fileDescription = QStringLiteral("Device maintenance tool");
    facts.legalCopyright = QStringLiteral("Copyright © The developers");
    facts.machine = {quint64(8) << 30, 2, ProcessorIntelPentium};
    return facts;
}

std::unique_ptr<QDialog> build(const TAboutFacts &facts, qreal ppi)
{
    auto dialog = std::make_unique<QDialog>();
    BuildAboutDialog(*dialog, facts, ppi);
    return dialog;
}

template <typename Widget = QLabel>
Widget *part(const QDialog &dialog, const char *name)
{
    return dialog.findChild<Widget *>(QString::fromLatin1(name));
}

int bottom(const QWidget *w)
{
    return w->y() + w->height();
}

QString recordValue(const QString &key)
{
    QFile file(QDir(QStringLiteral(TARVINO_RECORD_VALUES)).filePath(key));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class TestAboutDialog : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QApplication::setApplicationDisplayName(QStringLiteral("Tarvino Test"));
        QPixmap icon(32, 32);
        icon.fill(Qt::darkCyan);
        QApplication::setWindowIcon(QIcon(icon));
    }

    // Widths grow with the screen's pixels per inch; at 96 the box is 410 pixels wide
    // and each figure column 150.
    void widths_data()
    {
        QTest::addColumn<qreal>("ppi");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("figuresWidth");
        QTest::addColumn<int>("valueWidth");
        QTest::newRow("96") << 96.0 << 410 << 150 << 150;
        QTest::newRow("120") << 120.0 << 520 << 188 << 188;
        QTest::newRow("144") << 144.0 << 630 << 225 << 225;
        QTest::newRow("192") << 192.0 << 850 << 300 << 300;
        // So narrow that the value column would pass the right edge: it takes the
        // client width less 6 instead.
        QTest::newRow("48") << 48.0 << 190 << 75 << 184;
    }
    void widths()
    {
        QFETCH(qreal, ppi);
        QFETCH(int, width);
        QFETCH(int, figuresWidth);
        QFETCH(int, valueWidth);
        const auto dialog = build(sampleFacts(), ppi);
        QCOMPARE(dialog->width(), width);
        QCOMPARE(dialog->minimumSize(), dialog->maximumSize());

        const int column = width - 70;
        for (const char *name : {"TitleLabel", "VersionLabel", "DescriptionLabel", "CopyrightLabel"}) {
            QCOMPARE(part(*dialog, name)->geometry().left(), 60);
            QCOMPARE(part(*dialog, name)->width(), column);
        }
        QCOMPARE(part<QFrame>(*dialog, "Bevel")->geometry(), QRect(60, part<QFrame>(*dialog, "Bevel")->y(), column, 2));

        QLabel *captions = part(*dialog, "CaptionColumn");
        QLabel *values = part(*dialog, "ValueColumn");
        QCOMPARE(captions->x(), 60);
        QCOMPARE(captions->width(), figuresWidth);
        QCOMPARE(values->x(), 60 + figuresWidth);
        QCOMPARE(values->width(), valueWidth);

        QPushButton *ok = part<QPushButton>(*dialog, "OkButton");
        QCOMPARE(ok->geometry().right() + 1, width - 6);
        QCOMPARE(dialog->height(), bottom(ok) + 6);
        QCOMPARE(part(*dialog, "IconLabel")->pos(), QPoint(13, 7));
    }

    // Each line below the previous one by its height and its gap.
    void lines_data()
    {
        QTest::addColumn<QString>("title");
        QTest::newRow("short title") << QStringLiteral("Tarvino");
        QTest::newRow("empty title") << QString();
    }
    void lines()
    {
        QFETCH(QString, title);
        TAboutFacts facts = sampleFacts();
        facts.title = title;
        const auto dialog = build(facts, 96);
        QLabel *titleLabel = part(*dialog, "TitleLabel");
        QLabel *version = part(*dialog, "VersionLabel");
        QLabel *description = part(*dialog, "DescriptionLabel");
        QLabel *copyright = part(*dialog, "CopyrightLabel");
        QFrame *bevel = part<QFrame>(*dialog, "Bevel");
        QLabel *captions = part(*dialog, "CaptionColumn");
        QLabel *values = part(*dialog, "ValueColumn");
        QPushButton *ok = part<QPushButton>(*dialog, "OkButton");

        QCOMPARE(titleLabel->isHidden(), title.isEmpty());
        // The lines start under the title, and never above the icon's bottom line.
        const int firstLine = title.isEmpty() ? 66 : std::max(66, bottom(titleLabel) + 10);
        if (!title.isEmpty()) {
            QCOMPARE(titleLabel->y(), 12);
            QCOMPARE(titleLabel->text(), title);
        }
        QCOMPARE(version->y(), firstLine);
        QCOMPARE(description->y(), bottom(version) + 4);
        QCOMPARE(copyright->y(), bottom(description) + 24);
        QCOMPARE(bevel->y(), bottom(copyright) + 6);
        QCOMPARE(captions->y(), bevel->y() + 9);
        QCOMPARE(values->y(), captions->y());
        QCOMPARE(ok->y(), captions->y() + std::max(captions->height(), values->height()) + 24);
        for (QLabel *label : {version, description, copyright, captions, values})
            QVERIFY(label->height() >= label->fontMetrics().height());
        QVERIFY(part(*dialog, "LinkLabel1")->isHidden());
        QVERIFY(part(*dialog, "LinkLabel2")->isHidden());
    }

    void texts()
    {
        const TAboutFacts facts = sampleFacts();
        const auto dialog = build(facts, 96);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("About Tarvino ..."));
        QCOMPARE(part(*dialog, "VersionLabel")->text(), QStringLiteral("Version 1.0.0.0"));
        QVERIFY(part(*dialog, "VersionLabel")->font().bold());
        QCOMPARE(part(*dialog, "DescriptionLabel")->text(), facts.fileDescription);
        QCOMPARE(part(*dialog, "CopyrightLabel")->text(), facts.legalCopyright);
        QCOMPARE(part(*dialog, "CaptionColumn")->text(), QStringLiteral("Available Memory:\nPlatform, CPU:"));
        QCOMPARE(part(*dialog, "ValueColumn")->text(), MachineFiguresText(facts.machine));
        QCOMPARE(part(*dialog, "ValueColumn")->text().section(u'\n', 1), QStringLiteral("2x Intel Pentium or compatible"));

        const QFont title = part(*dialog, "TitleLabel")->font();
        QCOMPARE(title.family(), QStringLiteral("Arial"));
        QCOMPARE(title.pointSize(), 22);
        QVERIFY(title.bold());

        // Every text is shown as it is: "&" is no accelerator, "<...>" no markup.
        for (QLabel *label : dialog->findChildren<QLabel *>(Qt::FindDirectChildrenOnly)) {
            if (label->objectName() != QStringLiteral("IconLabel"))
                QCOMPARE(label->textFormat(), Qt::PlainText);
        }
    }

    // A line with an empty text is left out, and everything below it moves up by the
    // line's height and gap.
    void emptyLines_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("gap");
        QTest::newRow("copyright") << QStringLiteral("CopyrightLabel") << 6;
        QTest::newRow("description") << QStringLiteral("DescriptionLabel") << 24;
    }
    void emptyLines()
    {
        QFETCH(QString, line);
        QFETCH(int, gap);
        const TAboutFacts full = sampleFacts();
        TAboutFacts without = full;
        if (line == QStringLiteral("CopyrightLabel"))
            without.legalCopyright.clear();
        else
            without.fileDescription.clear();

        const auto a = build(full, 96);
        const auto b = build(without, 96);
        const QLabel *present = a->findChild<QLabel *>(line);
        const QLabel *absent = b->findChild<QLabel *>(line);
        QVERIFY(!present->isHidden());
        QVERIFY(absent->isHidden());
        const int shift = present->height() + gap;
        QVERIFY(shift > gap);
        for (const char *below : {"Bevel", "CaptionColumn", "ValueColumn", "OkButton"})
            QCOMPARE(part<QWidget>(*b, below)->y(), part<QWidget>(*a, below)->y() - shift);
        QCOMPARE(b->height(), a->height() - shift);
        QCOMPARE(part(*b, "VersionLabel")->y(), part(*a, "VersionLabel")->y());
    }

    // The two link lines are empty in this program; given texts, they are placed
    // under the copyright, blue and underlined.
    void linkLines()
    {
        TAboutFacts facts = sampleFacts();
        facts.linkTexts = {QStringLiteral("https://example.invalid/one"), QStringLiteral("https://example.invalid/two")};
        const auto dialog = build(facts, 96);
        QLabel *copyright = part(*dialog, "CopyrightLabel");
        QLabel *first = part(*dialog, "LinkLabel1");
        QLabel *second = part(*dialog, "LinkLabel2");
        QVERIFY(!first->isHidden());
        QVERIFY(!second->isHidden());
        QCOMPARE(first->text(), facts.linkTexts[0]);
        QCOMPARE(first->y(), bottom(copyright) + 6);
        QCOMPARE(second->y(), bottom(first) + 1);
        QCOMPARE(part<QFrame>(*dialog, "Bevel")->y(), bottom(second) + 6);
        for (QLabel *link : {first, second}) {
            QVERIFY(link->font().underline());
            QCOMPARE(link->palette().color(QPalette::WindowText), QColor(Qt::blue));
            QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
        }
    }

    void figures_data()
    {
        QTest::addColumn<quint64>("memory");
        QTest::addColumn<quint32>("count");
        QTest::addColumn<quint32>("type");
        QTest::addColumn<QString>("text");
        QTest::newRow("8 GiB, 2x 586") << (quint64(8) << 30) << 2u << ProcessorIntelPentium
                                       << QStringLiteral("8388608 KB\n2x Intel Pentium or compatible");
        QTest::newRow("rounds down") << quint64(1024 + 511) << 1u << ProcessorIntel486
                                     << QStringLiteral("1 KB\n1x Intel 486 or compatible");
        QTest::newRow("rounds up") << quint64(1024 + 512) << 1u << ProcessorIntel386
                                   << QStringLiteral("2 KB\n1x Intel 386 or compatible");
        QTest::newRow("count keeps its low 8 bits") << quint64(4096) << 258u << ProcessorMipsR4000
                                                    << QStringLiteral("4 KB\n2x Mips R4000 or compatible");
        QTest::newRow("unnamed type") << (quint64(1) << 40) << 64u << 8664u
                                      << QStringLiteral("1073741824 KB\n64x 8664 or compatible");
        QTest::newRow("nothing known") << quint64(0) << 0u << ProcessorUnknown
                                       << QStringLiteral("0 KB\n0x 0 or compatible");
    }
    void figures()
    {
        QFETCH(quint64, memory);
        QFETCH(quint32, count);
        QFETCH(quint32, type);
        QFETCH(QString, text);
        QCOMPARE(MachineFiguresText({memory, count, type}), text);
    }

    // A program without a version record says so on each of its three lines.
    void programWithoutRecord()
    {
        TVersionInfo info;
        info.GetInfo(QStringLiteral("/bin/true"));
        const auto dialog = build(ProgramAboutFacts(info), 96);
        QCOMPARE(part(*dialog, "VersionLabel")->text(), QStringLiteral("Version ") + InfoNotAvailable);
        QCOMPARE(part(*dialog, "DescriptionLabel")->text(), InfoNotAvailable);
        QCOMPARE(part(*dialog, "CopyrightLabel")->text(), InfoNotAvailable);
    }

    // The real thing: the box of this program, shown modally, closed with its button.
    // What the box looked like is noted while it is open and checked once it is closed,
    // so that a failure cannot leave it open.
    void showAbout()
    {
        struct Seen
        {
            bool hiddenBeforeShow = false;
            bool visible = false;
            bool modal = false;
            bool owned = true;
            bool okHasFocus = false;
            bool okIsDefault = false;
            QString okText;
            QRect geometry;
            QRect screen;
        } seen;
        QPointer<QDialog> shown;
        int result = -1;
        TFormAbout about;
        about.setShowHook([&](QDialog &dialog) {
            shown = &dialog;
            seen.hiddenBeforeShow = !dialog.isVisible();
            QObject::connect(&dialog, &QDialog::finished, &dialog, [&](int r) { result = r; });
            // Runs once exec() has shown the box and turns its event loop.
            QMetaObject::invokeMethod(
                &dialog,
                [&] {
                    auto *ok = part<QPushButton>(dialog, "OkButton");
                    seen.visible = dialog.isVisible();
                    seen.modal = dialog.isModal();
                    seen.owned = dialog.parentWidget() != nullptr;
                    seen.okHasFocus = ok && dialog.focusWidget() == ok;
                    seen.okIsDefault = ok && ok->isDefault();
                    seen.okText = ok ? ok->text() : QString();
                    seen.geometry = dialog.frameGeometry();
                    seen.screen = dialog.screen()->geometry();
                    if (ok)
                        QTest::mouseClick(ok, Qt::LeftButton);
                    if (dialog.isVisible())
                        dialog.done(-2);
                },
                Qt::QueuedConnection);
        });
        QVERIFY(about.ShowAbout());
        QCOMPARE(result, int(QDialog::Accepted));
        QVERIFY(shown.isNull()); // destroyed with everything on it
        QVERIFY(seen.hiddenBeforeShow);
        QVERIFY(seen.visible);
        QVERIFY(seen.modal);
        QVERIFY(!seen.owned);
        QVERIFY(seen.okHasFocus);
        QVERIFY(seen.okIsDefault);
        QCOMPARE(seen.okText, QStringLiteral("OK"));
        // Centred: as much room on the left as on the right, above as below.
        QVERIFY(qAbs((seen.geometry.left() - seen.screen.left()) - (seen.screen.right() - seen.geometry.right())) <= 1);
        QVERIFY(qAbs((seen.geometry.top() - seen.screen.top()) - (seen.screen.bottom() - seen.geometry.bottom())) <= 1);
    }

    // The box shows what the build wrote into this executable's record.
    void showAboutTexts()
    {
        QString version, description, copyright, caption;
        QStringList parts;
        int width = 0;
        TFormAbout about;
        about.setShowHook([&](QDialog &dialog) {
            QMetaObject::invokeMethod(&dialog, &QDialog::reject, Qt::QueuedConnection);
            caption = dialog.windowTitle();
            width = dialog.width();
            version = part(dialog, "VersionLabel")->text();
            description = part(dialog, "DescriptionLabel")->text();
            copyright = part(dialog, "CopyrightLabel")->text();
            if (const auto *info = dialog.findChild<TVersionInfo *>())
                parts = QStringList{info->MajorVersion(), info->MinorVersion(), info->Release(), info->Build()};
        });
        about.ShowAbout();

        const QString fileVersion = recordValue(QStringLiteral("FileVersion"));
        QVERIFY(!fileVersion.isEmpty());
        QCOMPARE(caption, QStringLiteral("About Tarvino Test ..."));
        QCOMPARE(version, QStringLiteral("Version ") + fileVersion);
        QCOMPARE(parts, fileVersion.split(u'.'));
        QCOMPARE(description, recordValue(QStringLiteral("FileDescription")));
        QCOMPARE(copyright, recordValue(QStringLiteral("LegalCopyright")));
        const qreal ppi = QGuiApplication::primaryScreen()->logicalDotsPerInch();
        QCOMPARE(width, qRound(ppi / 96 * 440) - 30);
    }

    // Escape presses the button, so the box still closes with OK.
    void escapeClosesWithOk()
    {
        int result = -1;
        TFormAbout about;
        about.setShowHook([&](QDialog &dialog) {
            QObject::connect(&dialog, &QDialog::finished, &dialog, [&](int r) { result = r; });
            QMetaObject::invokeMethod(
                &dialog,
                [&] {
                    QTest::keyClick(&dialog, Qt::Key_Escape);
                    if (dialog.isVisible())
                        dialog.done(-2);
                },
                Qt::QueuedConnection);
        });
        QVERIFY(about.ShowAbout());
        QCOMPARE(result, int(QDialog::Accepted));
    }

    void icon()
    {
        const auto dialog = build(ProgramAboutFacts(TVersionInfo()), 96);
        const QLabel *icon = part(*dialog, "IconLabel");
        QCOMPARE(icon->geometry(), QRect(13, 7, 32, 32));
        const QImage shown = icon->pixmap().toImage();
        QVERIFY(!shown.isNull());
        QCOMPARE(shown.pixelColor(16, 16), QColor(Qt::darkCyan));
    }
};

QTEST_MAIN(TestAboutDialog)
#include "tst_about_dialog.moc"
