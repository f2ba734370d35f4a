// The main window driven offscreen: layout, the scan cycle, the device table, the error handler.
// It scans, so it runs only inside the lab.
#include "app/application.h"
#include "protocol/errors.h"
#include "app/batchfeature.h"
#include "app/mainwindow.h"
#include "replybuilder.h"
#include "app/stringgrid.h"
#include "protocol/devicerecord.h"
#include "protocol/ipv4text.h"
#include "app/worksheet.h"

#include <QAbstractButton>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QMenuBar>
#include <QToolButton>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {
struct MessageBoxSeen
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
};

// Reads and closes the next message box that opens.
void catchNextMessageBox(MessageBoxSeen *seen)
{
    QTimer::singleShot(50, qApp, [seen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            catchNextMessageBox(seen);
            return;
        }
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        for (QAbstractButton *button : box->buttons())
            seen->buttons.append(button->text());
        box->accept();
    });
}
} // namespace

class TestFormMain : public QObject
{
    Q_OBJECT
    std::unique_ptr<TMainWindow> m_form;

    QStringList deviceActionsState() const
    {
        QStringList state;
        state << QString::number(m_form->PropertiesMenu->isEnabled()) << QString::number(m_form->PropertiesButton->isEnabled())
              << QString::number(m_form->UpgradeButton->isEnabled()) << QString::number(m_form->DropBearButton->isEnabled());
        return state;
    }
    bool deviceActionsEnabled() const { return deviceActionsState() == QStringList(4, QStringLiteral("1")); }
    bool deviceActionsDisabled() const { return deviceActionsState() == QStringList(4, QStringLiteral("0")); }

    void feed(const QString &peer, const QByteArray &reply)
    {
        m_form->DecodeDiscoveryReply(peer, 52389, reply.constData(), static_cast<int>(reply.size()), true, true);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(qEnvironmentVariable("TARVINO_LAB") == QLatin1String("1"),
                 "this test scans: run it inside the lab (ctest does)");
    }

    void init()
    {
        m_form = std::make_unique<TMainWindow>();
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    }
    void cleanup() { m_form.reset(); }

    void startState()
    {
        TStringGrid *grid = m_form->StringGrid;
        const QStringList headers{u"Name"_s, u"Type"_s, u"Version "_s, u"IP Address"_s, u"MAC Address"_s, u" Bootstrap "_s};
        for (int column = 0; column < 6; ++column)
            QCOMPARE(grid->Cells(column, 0), headers[column]);
        QCOMPARE(m_form->windowTitle(), QStringLiteral("Tarvino"));
        const QList<int> widths{130, 90, 90, 90, 100};
        for (int column = 0; column < 5; ++column)
            QCOMPARE(grid->ColWidth(column), widths[column]);
        QCOMPARE(grid->ColWidth(5), m_form->width() - 508);
        QCOMPARE(grid->RowCount(), 2);
        // No highlighted blank line before the first scan, even with the focus on the grid.
        grid->setFocus();
        QVERIFY(grid->IsRowHidden(1));
        QVERIFY(grid->SelectedRows().isEmpty());
        QVERIFY(deviceActionsDisabled());
        QVERIFY(m_form->ProgressBar->isHidden());
        QVERIFY(!m_form->Timer->isActive());
        QVERIFY(m_form->propertiesDialogs().has(Wire::BuiltInTypeCode));

        // The File menu: Scan (Ctrl+S) first, then the scans' and the list's items, Properties before
        // them, a visible separator, Exit last.
        const QList<QAction *> items = m_form->FileMenu->actions();
        QStringList texts;
        for (const QAction *item : items)
            texts << item->text();
        QCOMPARE(items[0]->text(), QStringLiteral("&Scan"));
        QCOMPARE(items[0]->shortcut(), QKeySequence(QStringLiteral("Ctrl+S")));
        QVERIFY(texts.indexOf(QStringLiteral("&Properties")) < texts.indexOf(QStringLiteral("&Export list...")));
        for (const QString &text : {QStringLiteral("&Watch"), QStringLiteral("Open s&ite..."), QStringLiteral("Sa&ve site...")})
            QVERIFY2(texts.contains(text), qPrintable(text));
        QVERIFY(items[items.size() - 2]->isSeparator());
        QVERIFY(items[items.size() - 2]->isVisible());
        QCOMPARE(items.last()->text(), QStringLiteral("E&xit"));
        QCOMPARE(m_form->HelpMenu->title(), QStringLiteral("?"));
        QCOMPARE(m_form->AboutMenu->text(), QStringLiteral("&About..."));
        QCOMPARE(m_form->ScanPopupmenuItem->text(), QStringLiteral("Search on Local Network Segment"));
        QCOMPARE(m_form->tutu1->text(), QStringLiteral("Search IP Address"));
        QCOMPARE(m_form->ScanButton->toolTip(), QStringLiteral("Scan"));
        QCOMPARE(m_form->UpgradeButton->toolTip(), QStringLiteral("Upgrade / Config"));
        QVERIFY(!m_form->ScanButton->icon().pixmap(32, 32).isNull());
    }

    void lastColumnFillsTheWindow_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("lastColumn");
        QTest::newRow("design width") << 600 << 92;
        QTest::newRow("wider") << 900 << 392;
        QTest::newRow("exactly full") << 508 << 0;
        QTest::newRow("narrower than the five columns") << 400 << 0;
    }
    void lastColumnFillsTheWindow()
    {
        QFETCH(int, width);
        QFETCH(int, lastColumn);
        m_form->resize(width, m_form->height());
        QTRY_COMPARE(m_form->width(), width);
        QCOMPARE(m_form->StringGrid->ColWidth(5), lastColumn);
        m_form->resize(600, m_form->height());
        QTRY_COMPARE(m_form->StringGrid->ColWidth(5), 92);
    }

    void lastColumnFollowsDraggedBorder()
    {
        m_form->StringGrid->SetColWidth(0, 200);
        QCOMPARE(m_form->StringGrid->ColWidth(5), m_form->width() - 578);
    }

    void scanStarters_data()
    {
        QTest::addColumn<int>("starter");
        QTest::newRow("Ctrl+S") << 0;
        QTest::newRow("scan button") << 1;
        QTest::newRow("Search on Local Network Segment") << 2;
    }
    void scanStarters()
    {
        QFETCH(int, starter);
        auto start = [&] {
            switch (starter) {
            case 0: QTest::keyClick(m_form.get(), Qt::Key_S, Qt::ControlModifier); break;
            case 1: m_form->ScanButton->click(); break;
            default: m_form->ScanPopupmenuItem->trigger(); break;
            }
        };
        start();
        QVERIFY(m_form->Timer->isActive());
        QVERIFY(m_form->ProgressBar->isVisible());
        QCOMPARE(m_form->ProgressBar->value(), 0);
        QTRY_COMPARE(m_form->TimerTag(), 1);
        // A second start while the cycle runs changes nothing.
        start();
        QCOMPARE(m_form->TimerTag(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->Timer->isActive(), 5000);
    }

    void progressOfACycle()
    {
        QList<int> values;
        QTimer sampler;
        connect(&sampler, &QTimer::timeout, this, [&] {
            const int value = m_form->ProgressBar->isVisible() ? m_form->ProgressBar->value() : -1;
            if (values.isEmpty() || values.last() != value)
                values.append(value);
        });
        sampler.start(20);
        m_form->Scan();
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->Timer->isActive(), 5000);
        QTest::qWait(50);
        QCOMPARE(values, (QList<int>{0, 50, -1}));
        QCOMPARE(m_form->TimerTag(), 2);
    }

    void scanEndsAfterItsLateReplies_data()
    {
        QTest::addColumn<int>("replies"); // one every 20 ms from 1.8 s into the 2 s cycle
        QTest::newRow("past the cycle") << 40; // until about 2.6 s: every one of them in the scan
        QTest::newRow("without end") << 1000;  // for 20 s: the scan ends all the same
    }

    void scanEndsAfterItsLateReplies()
    {
        // A large segment answers for longer than the scan's waits: what follows the scan's end
        // (sorting, the site's comparison, the watch) must see every device that answered.
        QFETCH(int, replies);
        int listedAtEnd = -1;
        connect(m_form.get(), &TMainWindow::scanEnded, this, [&] { listedAtEnd = int(m_form->devices().size()); });
        int fed = 0;
        QTimer late;
        connect(&late, &QTimer::timeout, this, [&] {
            QByteArray address = QByteArray::fromHex("0001" "0050c2100000");
            address[6] = char(fed >> 8);
            address[7] = char(fed);
            feed(u"198.18.%1.%2"_s.arg(2 + fed / 250).arg(1 + fed % 250), ReplyBuilder(1, address).terminate());
            if (++fed == replies)
                late.stop();
        });
        m_form->Scan();
        QTimer::singleShot(1800, &late, [&] { late.start(20); });
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->Timer->isActive(), 15000);
        const bool stillComing = late.isActive();
        late.stop();
        if (replies == 40) {
            QVERIFY(!stillComing);
            QCOMPARE(listedAtEnd, 40);
        } else {
            QVERIFY(stillComing); // ended while replies came in: its wait for them is bounded
            QVERIFY(listedAtEnd > 40 && listedAtEnd < replies);
        }
    }

    void networkCheckOfferedAfterAnEmptyScan()
    {
        // Nothing answers in this lab: the scan ends on the offer, which the next scan takes back.
        TWorksheet &sheet = *m_form->Worksheet;
        QVERIFY(!sheet.NetworkCheckOffer || sheet.NetworkCheckOffer->isHidden());
        m_form->Scan();
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->Timer->isActive(), 5000);
        QVERIFY(sheet.NetworkCheckOffer && sheet.NetworkCheckOffer->isVisible());
        QCOMPARE(sheet.NetworkCheckOffer->text(), u"Network check... (F9)"_s);
        m_form->Scan();
        QVERIFY(sheet.NetworkCheckOffer->isHidden());
        QTRY_VERIFY_WITH_TIMEOUT(!m_form->Timer->isActive(), 5000);
        QVERIFY(sheet.NetworkCheckOffer->isVisible());
        QCOMPARE(m_form->StatusBar->findChildren<QPushButton *>(u"NetworkCheckOffer"_s).size(), 1); // made once
    }

    // The chevrons of a too narrow menu bar or tool bar, drawn by the program's style at the size
    // asked for: the ink in the middle, the corners clear, each orientation its own drawing.
    void chevronIcons_data()
    {
        QTest::addColumn<int>("side");
        QTest::newRow("8") << 8;
        QTest::newRow("16") << 16;
        QTest::newRow("24") << 24;
        QTest::newRow("32") << 32;
    }
    void chevronIcons()
    {
        QFETCH(int, side);
        QImage images[2];
        const QStyle::StandardPixmap kinds[2] = {QStyle::SP_ToolBarHorizontalExtensionButton,
                                                 QStyle::SP_ToolBarVerticalExtensionButton};
        for (int i = 0; i < 2; ++i) {
            const QIcon icon = m_form->style()->standardIcon(kinds[i], nullptr, m_form->ToolBar1);
            images[i] = icon.pixmap(QSize(side, side)).toImage();
            QCOMPARE(images[i].size(), QSize(side, side));
            QCOMPARE(qAlpha(images[i].pixel(0, 0)), 0);
            QCOMPARE(qAlpha(images[i].pixel(side - 1, side - 1)), 0);
            int inked = 0;
            for (int y = 0; y < side; ++y)
                for (int x = 0; x < side; ++x)
                    inked += qAlpha(images[i].pixel(x, y)) > 0 ? 1 : 0;
            QVERIFY2(inked > side, qPrintable(QString::number(inked)));
        }
        QVERIFY(images[0] != images[1]);
    }

    // The thin bar as painted: a lowered bevel, and navy from the left over the share done.
    void progressBarLook_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<double>("filled");
        QTest::newRow("start") << 0 << 0.0;
        QTest::newRow("half") << 50 << 0.5;
        QTest::newRow("done") << 100 << 1.0;
    }

    void progressBarLook()
    {
        QFETCH(int, value);
        QFETCH(double, filled);
        QProgressBar *bar = m_form->ProgressBar;
        bar->setValue(value);
        bar->show();
        QTRY_VERIFY(bar->width() > 100);
        const QImage picture = bar->grab().toImage();
        QCOMPARE(picture.height(), 4);
        const int inner = picture.width() - 2;
        int navy = 0;
        for (int x = 1; x <= inner; ++x)
            navy += picture.pixelColor(x, 2) == QColor(0, 0, 128);
        QCOMPARE(navy, int(inner * filled));
        QVERIFY(picture.pixelColor(0, 0).value() < picture.pixelColor(picture.width() - 1, 3).value());
        QCOMPARE(picture.pixelColor(picture.width() - 1, 2), picture.pixelColor(2, 3));
    }

    void deviceRows()
    {
        const QByteArray first = ReplyBuilder(1, QByteArray::fromHex("0001" "0050c21a2b3c"))
                                     .text(7, "beta").text(5, "Palimor").text(12, "2.1").text(16, "B 1.0").terminate();
        const QByteArray second = ReplyBuilder(1, QByteArray::fromHex("0002" "c6120105cca5")).text(7, "alpha").terminate();
        QVERIFY(m_form->StringGrid->IsRowHidden(1));
        feed(QStringLiteral("198.18.1.1"), first);
        QVERIFY(deviceActionsEnabled());
        QCOMPARE(m_form->StringGrid->RowCount(), 2);
        QVERIFY(!m_form->StringGrid->IsRowHidden(1)); // the first device fills the row and shows it
        feed(QStringLiteral("198.18.1.5"), second);
        QCOMPARE(m_form->StringGrid->RowCount(), 3);
        feed(QStringLiteral("198.18.1.9"), first); // the same device, from another address
        QCOMPARE(m_form->StringGrid->RowCount(), 3);
        const QStringList row1{u"beta"_s, u"Palimor"_s, u"2.1"_s, u"198.18.1.9"_s, u"00.50.C2.1A.2B.3C"_s, u"B 1.0"_s};
        const QStringList row2{u"alpha"_s, {}, {}, u"198.18.1.5"_s, u"00.00.00.00.00.00"_s, {}};
        for (int column = 0; column < 6; ++column) {
            QCOMPARE(m_form->StringGrid->Cells(column, 1), row1[column]);
            QCOMPARE(m_form->StringGrid->Cells(column, 2), row2[column]);
        }
    }

    void rejectedRepliesChangeNothing_data()
    {
        QTest::addColumn<QByteArray>("reply");
        const QByteArray source = QByteArray::fromHex("0001" "0050c21a2b3d");
        QTest::newRow("nonzero status") << ReplyBuilder(1, source).setByte(22, 1).terminate().bytes();
        QTest::newRow("command byte 2") << ReplyBuilder(2, source).terminate().bytes();
        QTest::newRow("wrong protocol code") << ReplyBuilder(1, source).setByte(18, 0x12).terminate().bytes();
        QTest::newRow("address all ff") << ReplyBuilder(1, QByteArray::fromHex("0001ffffffffffff")).terminate().bytes();
        QTest::newRow("address all 00") << ReplyBuilder(1, QByteArray::fromHex("0001000000000000")).terminate().bytes();
        QTest::newRow("short") << QByteArray::fromHex("0001ffffffffffff00010050c21a2b3d0001");
    }
    void rejectedRepliesChangeNothing()
    {
        QFETCH(QByteArray, reply);
        feed(QStringLiteral("198.18.1.1"), ReplyBuilder().text(7, "kept").terminate());
        feed(QStringLiteral("198.18.1.2"), reply);
        QCOMPARE(m_form->devices().size(), 1);
        QCOMPARE(m_form->StringGrid->RowCount(), 2);
        QCOMPARE(m_form->StringGrid->Cells(0, 1), QStringLiteral("kept"));
        QCOMPARE(m_form->StringGrid->Cells(3, 1), QStringLiteral("198.18.1.1"));
    }

    void selectionFollowsRows()
    {
        for (int i = 0; i < 4; ++i)
            feed(QStringLiteral("198.18.1.%1").arg(i + 1),
                 ReplyBuilder(1, QByteArray::fromHex(QByteArray("00010050c21a2b0") + QByteArray::number(i))).terminate());
        QCOMPARE(m_form->StringGrid->RowCount(), 5);
        const QRect row3 = m_form->StringGrid->visualRect(m_form->StringGrid->model()->index(2, 1));
        QTest::mouseClick(m_form->StringGrid->viewport(), Qt::LeftButton, {}, row3.center());
        QCOMPARE(m_form->selectedDevice(), 2);
        m_form->ResetGrid();
        QCOMPARE(m_form->selectedDevice(), 0);
        QCOMPARE(m_form->StringGrid->RowCount(), 2);
        QVERIFY(deviceActionsDisabled());
        QCOMPARE(m_form->StringGrid->Cells(0, 1), QString());
    }

    // What the device actions and the upgrade window take: the selected device only while the
    // selection names a listed one (a site's missing row past the list names none).
    void selectedRecord_data()
    {
        QTest::addColumn<int>("selected");
        QTest::addColumn<QString>("ip"); // empty: no device
        QTest::newRow("first") << 0 << u"198.18.1.1"_s;
        QTest::newRow("last") << 2 << u"198.18.1.3"_s;
        QTest::newRow("before the list") << -1 << QString();
        QTest::newRow("past the list") << 3 << QString();
    }
    void selectedRecord()
    {
        QFETCH(int, selected);
        QFETCH(QString, ip);
        for (int i = 0; i < 3; ++i)
            feed(QStringLiteral("198.18.1.%1").arg(i + 1),
                 ReplyBuilder(1, QByteArray::fromHex(QByteArray("00010050c21a2b0") + QByteArray::number(i))).terminate());
        m_form->setSelectedDevice(selected);
        const TDeviceRecord *device = m_form->selectedRecord();
        QCOMPARE(device ? device->IpText : QString(), ip);
        if (device)
            QCOMPARE(m_form->findDevice(ip), device);
        QVERIFY(!m_form->findDevice(u"198.18.1.9"_s));
    }

    void namesAsSent_data()
    {
        QTest::addColumn<QByteArrayList>("sent"); // names, in the order the devices answer
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QStringList>("sorted");  // after a double-click on "Name"
        QTest::newRow("UTF-8, by letter whatever the case")
            << QByteArrayList{"\xc3\x96" "B", "\xc3\xb6" "A", "Oz"} << QStringList{u"\u00d6B"_s, u"\u00f6" "A"_s, u"Oz"_s}
            << QStringList{u"Oz"_s, u"\u00f6" "A"_s, u"\u00d6B"_s};
        QTest::newRow("not UTF-8: one character per byte")
            << QByteArrayList{"\xd6l", "pump\xff"} << QStringList{u"\u00d6l"_s, u"pump\u00ff"_s}
            << QStringList{u"pump\u00ff"_s, u"\u00d6l"_s};
        QTest::newRow("a byte-order mark is part of the name")
            << QByteArrayList{"\xef\xbb\xbfpump"} << QStringList{u"\ufeffpump"_s} << QStringList{u"\ufeffpump"_s};
        QTest::newRow("equal but for case keep their order")
            << QByteArrayList{"\xc3\xa9t\xc3\xa9", "\xc3\x89T\xc3\x89"} << QStringList{u"\u00e9t\u00e9"_s, u"\u00c9T\u00c9"_s}
            << QStringList{u"\u00e9t\u00e9"_s, u"\u00c9T\u00c9"_s};
    }

    // Names are shown and sorted as the device wrote them.
    void namesAsSent()
    {
        QFETCH(QByteArrayList, sent);
        QFETCH(QStringList, shown);
        QFETCH(QStringList, sorted);
        for (qsizetype i = 0; i < sent.size(); ++i)
            feed(u"198.18.1.%1"_s.arg(i + 1),
                 ReplyBuilder(1, QByteArray::fromHex("00010050c21a2b0" + QByteArray::number(i))).text(7, sent[i]).terminate());
        const auto names = [this] {
            QStringList list;
            for (int row = 1; row < m_form->StringGrid->RowCount(); ++row)
                list.append(m_form->StringGrid->Cells(0, row));
            return list;
        };
        QCOMPARE(names(), shown);
        m_form->StringGridDblClick(0, 0);
        QCOMPARE(names(), sorted);
    }

    void sortByHeader_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<QStringList>("order"); // names, top to bottom
        QTest::newRow("Name folds case") << 0 << QStringList{u"Alpha"_s, u"alpha2"_s, u"beta"_s, u"~x"_s};
        QTest::newRow("Type, equal keys keep their order") << 1 << QStringList{u"beta"_s, u"~x"_s, u"Alpha"_s, u"alpha2"_s};
        QTest::newRow("IP Address as text") << 3 << QStringList{u"beta"_s, u"Alpha"_s, u"alpha2"_s, u"~x"_s};
        QTest::newRow("MAC Address as a number") << 4 << QStringList{u"alpha2"_s, u"~x"_s, u"beta"_s, u"Alpha"_s};
        QTest::newRow("Bootstrap keeps the order") << 5 << QStringList{u"beta"_s, u"Alpha"_s, u"alpha2"_s, u"~x"_s};
    }
    void sortByHeader()
    {
        QFETCH(int, column);
        QFETCH(QStringList, order);
        struct Device { const char *name, *type, *ip, *mac; };
        const Device devices[] = {{"beta", "b", "10.0.0.10", "000000000300"},
                                  {"Alpha", "c", "10.0.0.11", "000000000400"},
                                  {"alpha2", "c", "10.0.0.9", "000000000001"},
                                  {"~x", "B", "10.0.1.0", "000000000002"}};
        for (const Device &d : devices)
            feed(QString::fromLatin1(d.ip),
                 ReplyBuilder(1, QByteArray::fromHex(QByteArray("0001") + d.mac)).text(7, d.name).text(5, d.type).terminate());
        m_form->setSelectedDevice(1);
        QHeaderView *header = m_form->StringGrid->horizontalHeader();
        const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2, header->height() / 2);
        for (int twice = 0; twice < 2; ++twice) { // the order is always ascending
            QTest::mouseDClick(header->viewport(), Qt::LeftButton, {}, at);
            QStringList names;
            for (int row = 1; row < m_form->StringGrid->RowCount(); ++row)
                names.append(m_form->StringGrid->Cells(0, row));
            QCOMPARE(names, order);
        }
        QCOMPARE(m_form->selectedDevice(), 1); // the selected row stays where it was

        // A double-click on a device row changes nothing.
        const QStringList before{m_form->StringGrid->Cells(0, 1), m_form->StringGrid->Cells(0, 2)};
        QTest::mouseDClick(m_form->StringGrid->viewport(), Qt::LeftButton, {},
                           m_form->StringGrid->visualRect(m_form->StringGrid->model()->index(1, 0)).center());
        QCOMPARE((QStringList{m_form->StringGrid->Cells(0, 1), m_form->StringGrid->Cells(0, 2)}), before);
    }

    void contextMenu()
    {
        TStringGrid *grid = m_form->StringGrid;
        auto rightClick = [&](QWidget *target, const QPoint &at, QContextMenuEvent::Reason reason) {
            QContextMenuEvent event(reason, at, target->mapToGlobal(at));
            QApplication::sendEvent(target, &event);
            const bool shown = m_form->PopupMenu->isVisible();
            m_form->PopupMenu->hide();
            return shown;
        };
        const QPoint firstRow = grid->visualRect(grid->model()->index(0, 1)).center();
        QVERIFY(!rightClick(grid->viewport(), firstRow, QContextMenuEvent::Mouse)); // the list is empty

        for (int i = 0; i < 3; ++i)
            feed(QStringLiteral("198.18.1.%1").arg(i + 1),
                 ReplyBuilder(1, QByteArray::fromHex(QByteArray("00010050c21a2b0") + QByteArray::number(i))).terminate());
        const QPoint thirdRow = grid->visualRect(grid->model()->index(2, 1)).center();
        QVERIFY(rightClick(grid->viewport(), thirdRow, QContextMenuEvent::Mouse));
        QCOMPARE(m_form->selectedDevice(), 2);
        QCOMPARE(grid->Row(), 3);
        QVERIFY(!rightClick(grid->viewport(), QPoint(5, grid->viewport()->height() - 2), QContextMenuEvent::Mouse));
        QVERIFY(!rightClick(grid->viewport(), firstRow, QContextMenuEvent::Keyboard));
        QVERIFY(!rightClick(grid->horizontalHeader()->viewport(), QPoint(5, 5), QContextMenuEvent::Mouse));
        QCOMPARE(m_form->selectedDevice(), 2);
        const QStringList items{m_form->PopupMenu->actions()[0]->text(), m_form->PopupMenu->actions()[1]->text()};
        QCOMPARE(items, (QStringList{u"Properties"_s, u"Upgrade"_s}));
    }

    void noMenuHidesTheToolBar_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("reason");
        QTest::newRow("tool bar, right button") << u"ToolBar1"_s << int(QContextMenuEvent::Mouse);
        QTest::newRow("menu bar, right button") << u"menuBar"_s << int(QContextMenuEvent::Mouse);
        QTest::newRow("Scan button, menu key") << u"ScanButton"_s << int(QContextMenuEvent::Keyboard);
    }

    // Qt's main window offers a menu there whose one item hides the tool bar, and DropBear and
    // Search IP Address with it; this window has none.
    void noMenuHidesTheToolBar()
    {
        QFETCH(QString, target);
        QFETCH(int, reason);
        m_form->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        QWidget *widget = target == u"ToolBar1"_s ? static_cast<QWidget *>(m_form->ToolBar1)
                          : target == u"menuBar"_s ? static_cast<QWidget *>(m_form->menuBar())
                                                   : static_cast<QWidget *>(m_form->ScanButton);
        const QPoint at(widget->width() - 3, widget->height() / 2);
        QContextMenuEvent event(QContextMenuEvent::Reason(reason), at, widget->mapToGlobal(at));
        QApplication::sendEvent(widget, &event);
        QWidget *popup = QApplication::activePopupWidget();
        if (popup)
            popup->close();
        QCOMPARE(popup, nullptr);
        QVERIFY(m_form->ToolBar1->isVisible());
    }

    // The worksheet's list: a filter that hides rows and the count that follows it, a MAC address
    // typed with colons found in the dotted column, the Adapter column shown only once devices
    // were heard through two adapters, and a column wide enough for each MAC address.
    void worksheetList_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<int>("adapters");
        QTest::addColumn<int>("shown");
        QTest::addColumn<bool>("adapterColumn");
        QTest::newRow("no filter, one adapter") << QString() << 1 << 3 << false;
        QTest::newRow("by type, case ignored") << u"palimor p3"_s << 1 << 2 << false;
        QTest::newRow("MAC with colons") << u"00:1a:2b:00:00:02"_s << 1 << 1 << false;
        QTest::newRow("by address") << u"198.18.1.3"_s << 2 << 1 << true;
        QTest::newRow("nothing") << u"nobody"_s << 2 << 0 << true;
    }

    void worksheetList()
    {
        QFETCH(QString, filter);
        QFETCH(int, adapters);
        QFETCH(int, shown);
        QFETCH(bool, adapterColumn);
        for (int i = 1; i <= 3; ++i) {
            TDeviceRecord device;
            device.IpText = QStringLiteral("198.18.1.%1").arg(i);
            device.Mac = 0x001A2B000000ull + quint64(i);
            device.Address = {0, 1, 0x00, 0x1A, 0x2B, 0, 0, quint8(i)};
            device.Params.set(Wire::Param::Name, QByteArray("Device ") + QByteArray::number(i));
            device.Params.set(Wire::Param::TypeText, i == 1 ? QByteArray("XR-200") : QByteArray("Palimor P3"));
            device.AdapterName = i <= adapters ? QStringLiteral("lab%1").arg(i) : QStringLiteral("lab1");
            device.AdapterAddress = TextToIp(QStringLiteral("198.18.0.%1").arg(i <= adapters ? i : 1));
            m_form->devices() << device;
            m_form->ShowDeviceRow(i - 1);
        }
        TWorksheet &sheet = *m_form->Worksheet;
        QTest::keyClick(m_form.get(), Qt::Key_F, Qt::ControlModifier);
        QVERIFY(sheet.FilterEdit->isVisible() && sheet.FilterEdit->hasFocus());
        QVERIFY(sheet.FilterEdit->isClearButtonEnabled());
        QTest::keyClicks(sheet.FilterEdit, filter);
        int visible = 0;
        for (int row = 1; row <= 3; ++row)
            visible += m_form->StringGrid->IsRowHidden(row) ? 0 : 1;
        QCOMPARE(visible, shown);
        // (The count follows a burst of replies once it pauses.)
        QTRY_VERIFY2(sheet.CountLabel->text().startsWith(shown == 3 ? u"3 devices"_s : QStringLiteral("%1 of 3").arg(shown)),
                     qPrintable(sheet.CountLabel->text()));
        QCOMPARE(!m_form->StringGrid->isColumnHidden(TMainWindow::AdapterColumn), adapterColumn);
        const int macWidth = m_form->StringGrid->fontMetrics().horizontalAdvance(m_form->StringGrid->Cells(4, 1));
        QVERIFY(m_form->StringGrid->ColWidth(4) > macWidth);
        // Escape clears the filter: every row again.
        QTest::keyClick(sheet.FilterEdit, Qt::Key_Escape);
        QVERIFY(!sheet.FilterEdit->isVisible());
        for (int row = 1; row <= 3; ++row)
            QVERIFY(!m_form->StringGrid->IsRowHidden(row));
        // Ctrl+A selects every row; a batch's actions then wait for nothing but a choice.
        m_form->StringGrid->setFocus();
        QTest::keyClick(m_form->StringGrid, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(m_form->StringGrid->SelectedRows(), (QList<int>{1, 2, 3}));
        QVERIFY(m_form->Batches->UpgradeControllerAction->isEnabled());
    }

    void macToText_data()
    {
        QTest::addColumn<quint64>("value");
        QTest::addColumn<QString>("separator");
        QTest::addColumn<QString>("text");
        QTest::newRow("0050c21a2b3c") << quint64(0x0050C21A2B3C) << "." << "00.50.C2.1A.2B.3C";
        QTest::newRow("zero") << quint64(0) << "." << "00.00.00.00.00.00";
        QTest::newRow("all ones, colon") << quint64(0xFFFFFFFFFFFF) << ":" << "FF:FF:FF:FF:FF:FF";
        QTest::newRow("bits above 48 ignored") << quint64(0xAB0000000000000A) << "-" << "00-00-00-00-00-0A";
    }
    void macToText()
    {
        QFETCH(quint64, value);
        QFETCH(QString, separator);
        QFETCH(QString, text);
        QCOMPARE(TMainWindow::MacToText(separator, value), text);
    }

    void errorBoxText_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("letter") << "Connection refused" << "Connection refused.";
        QTest::newRow("digit") << "Error 42" << "Error 42.";
        QTest::newRow("full stop") << "Done." << "Done.";
        QTest::newRow("exclamation") << "File x not found!" << "File x not found!";
        QTest::newRow("closing bracket") << "Bad value (3)" << "Bad value (3)";
        QTest::newRow("empty") << "" << "";
    }
    void errorBoxText()
    {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(TApplication::ErrorBoxText(message), shown);
    }

    void aboutBox()
    {
        // The box is modal: it is read and closed from a timer while its own loop runs.
        QString title;
        std::function<void()> closeWhenShown = [&] {
            QWidget *box = QApplication::activeModalWidget();
            if (!box) {
                QTimer::singleShot(20, this, closeWhenShown);
                return;
            }
            title = box->windowTitle();
            QTest::keyClick(box, Qt::Key_Escape);
        };
        QTimer::singleShot(20, this, closeWhenShown);
        m_form->AboutMenu->trigger();
        QCOMPARE(title, QStringLiteral("About Tarvino ..."));
        QVERIFY(QApplication::activeModalWidget() == nullptr);
    }

    // An error that an action's handler lets escape stops where the handler is connected: it never
    // unwinds through Qt's signal emission, and the general handler gets it.
    void errorsStopWhereTheHandlerIsConnected()
    {
        m_form->askAddress = [](QString *text) {
            *text = QStringLiteral("127.0.0.1");
            return true;
        };
        QStringList handled;
        const TErrorHandler previous =
            SetErrorHandler([&handled](std::exception_ptr error) { handled << TApplication::ExceptionMessage(error); });
        bool escaped = false;
        try {
            m_form->tutu1->trigger();
        } catch (...) {
            escaped = true;
        }
        SetErrorHandler(previous);
        QVERIFY(!escaped);
        QCOMPARE(handled.size(), 1);
        QVERIFY2(handled.first().contains(QStringLiteral("127.0.0.1")), qPrintable(handled.first()));
    }

    void escapedErrorShowsTheGeneralBox()
    {
        // A search of an address where nothing listens fails in the engine; the error escapes the
        // handler.
        m_form->askAddress = [](QString *text) {
            *text = QStringLiteral("127.0.0.1");
            return true;
        };
        MessageBoxSeen seen;
        catchNextMessageBox(&seen);
        QTimer::singleShot(0, m_form->tutu1, &QAction::trigger);
        QTRY_VERIFY_WITH_TIMEOUT(!seen.title.isEmpty(), 10000);
        QCOMPARE(seen.title, QStringLiteral("Tarvino"));
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QCOMPARE(seen.buttons, QStringList{QStringLiteral("OK")});
        QVERIFY2(seen.text.contains(QStringLiteral("127.0.0.1")) && seen.text.endsWith(u'.'), qPrintable(seen.text));
        // The window is still usable.
        QVERIFY(m_form->isVisible());
        m_form->ScanButton->click();
        QVERIFY(m_form->Timer->isActive());
    }
};

int main(int argc, char **argv)
{
    TApplication app(argc, argv);
    TestFormMain test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
