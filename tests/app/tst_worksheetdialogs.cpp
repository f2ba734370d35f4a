// The worksheet's dialogs, driven as a technician drives them: the compare dialog's marks and its
// keys, the operation history's filter, count and export.
#include "app/batchwarning.h"
#include "app/comparedialog.h"
#include "fleet/devicefields.h"
#include "app/historydialog.h"
#include "app/messagebox.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

namespace {
QByteArray lines(const QStringList &texts)
{
    return texts.join(QLatin1Char('\n')).toUtf8() + '\n';
}

// One letter per row as a pane shows it: its marker ("!", "-", "+") on a coloured row, "=" for an
// unmarked plain row, "_" for the coloured gap beside a line only the other side has, "?" for a
// marker without colour.
QString markers(QTableView *pane)
{
    QString text;
    const QAbstractItemModel *model = pane->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        const QString marker = model->index(row, 1).data().toString();
        const bool coloured = model->index(row, 2).data(Qt::BackgroundRole).isValid();
        if (!marker.isEmpty())
            text += coloured ? marker : QStringLiteral("?");
        else
            text += coloured ? QStringLiteral("_") : QStringLiteral("=");
    }
    return text;
}

// Types a text as keys; characters outside ASCII come as the key events of an input method would.
void typeText(QWidget *widget, const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x80)
            QTest::keyClick(widget, char(c.unicode()));
        else
            QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

const QDateTime Start(QDate(2026, 12, 8), QTime(9, 0));

QList<TJournalEntry> sampleEntries()
{
    auto entry = [](int minute, const char *name, const char *ip, const char *mac, const char *operation,
                    const char *outcome, const char *message) {
        return TJournalEntry{Start.addSecs(60 * minute), QString::fromUtf8(mac), QString::fromUtf8(ip), QString::fromUtf8(name),
                             QString::fromUtf8(operation), QStringLiteral("image.bin"), QString(64, QLatin1Char('c')),
                             QString::fromUtf8(outcome), QString::fromUtf8(message), QString()};
    };
    return {
        entry(0, "Chiller-South-0", "198.18.1.1", "00.50.C2.02.5C.C1", "Read configuration", "succeeded", ""),
        entry(1, "Feeder-South-1", "198.18.1.2", "00.1A.2B.A0.94.3A", "Controller upgrade", "failed", "Write Failed, \"block 3\""),
        entry(2, "Gate-East-5", "198.18.1.6", "00.50.C2.02.5C.C6", "Read configuration", "failed", "Read Config Failed"),
        entry(3, "K\u00fchlhaus-Nord", "198.18.1.7", "00.50.C2.02.5C.C7", "Reset", "succeeded", ""),
        entry(4, "Chiller-South-0", "198.18.1.1", "00.50.C2.02.5C.C1", "Write configuration", "cancelled", ""),
    };
}
} // namespace

class TestWorksheetDialogs : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    // ---- Compare dialog ----------------------------------------------------------------------

    // A device's name or an FTP reply in a message box is shown as it is, never rendered.
    void messageBoxesShowTextAsItIs_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("a link") << u"Device <a href=\"http://x\">open</a> failed"_qs;
        QTest::newRow("bold and an entity") << u"<b>Chiller</b> &amp; pump"_qs;
        QTest::newRow("a whole page") << u"<html><body><h1>hidden</h1></body></html>"_qs;
    }

    void messageBoxesShowTextAsItIs()
    {
        QFETCH(QString, text);
        Qt::TextFormat format = Qt::RichText;
        QString shown;
        QTimer::singleShot(0, qApp, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            format = box->textFormat();
            shown = box->text();
            box->button(QMessageBox::Ok)->click();
        });
        const QMessageBox::StandardButton chosen = ShowMessageBox(nullptr, QMessageBox::Critical, u"Erreur"_qs, text);
        QCOMPARE(format, Qt::PlainText);
        QCOMPARE(shown, text);
        QCOMPARE(chosen, QMessageBox::Ok);
        // A tool tip with the same text reads back as that text.
        QTextDocument tip;
        tip.setHtml(PlainTextToolTip(text));
        QCOMPARE(tip.toPlainText(), text);
    }

    void compareMarks_data()
    {
        QTest::addColumn<QByteArray>("left");
        QTest::addColumn<QByteArray>("right");
        QTest::addColumn<QString>("leftMarkers");
        QTest::addColumn<QString>("rightMarkers");
        QTest::addColumn<QString>("summary");
        const QStringList base{QStringLiteral("[network]"), QStringLiteral("ip=198.18.1.1"), QStringLiteral("mask=255.254.0.0"),
                               QStringLiteral("[bus]"), QStringLiteral("rate=19200")};
        QStringList changed = base;
        changed[2] = QStringLiteral("mask=255.255.0.0");
        QStringList removed = base;
        removed.removeAt(3);
        QStringList added = base;
        added.insert(1, QStringLiteral("dhcp=on"));
        QTest::newRow("one changed line") << lines(base) << lines(changed) << QStringLiteral("==!==") << QStringLiteral("==!==")
                                          << QStringLiteral("1 line differs");
        QTest::newRow("same") << lines(base) << lines(base) << QStringLiteral("=====") << QStringLiteral("=====")
                              << QStringLiteral("The configurations are the same");
        QTest::newRow("line only on the left") << lines(base) << lines(removed) << QStringLiteral("===-=")
                                               << QStringLiteral("===_=") << QStringLiteral("1 line differs");
        QTest::newRow("line only on the right") << lines(base) << lines(added) << QStringLiteral("=_====")
                                                << QStringLiteral("=+====") << QStringLiteral("1 line differs");
        QTest::newRow("line ends") << QByteArray("a\r\nb\n") << QByteArray("a\nb\n") << QStringLiteral("!=")
                                   << QStringLiteral("!=") << QStringLiteral("1 line differs");
        QTest::newRow("both empty") << QByteArray() << QByteArray() << QString() << QString()
                                    << QStringLiteral("The configurations are the same");
    }
    void compareMarks()
    {
        QFETCH(QByteArray, left);
        QFETCH(QByteArray, right);
        QFETCH(QString, leftMarkers);
        QFETCH(QString, rightMarkers);
        QFETCH(QString, summary);
        TCompareDialog dialog(QStringLiteral("Snapshot 10:15"), left, QStringLiteral("Device now"), right, nullptr);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Compare configurations"));
        QCOMPARE(markers(dialog.leftPane()), leftMarkers);
        QCOMPARE(markers(dialog.rightPane()), rightMarkers);
        QCOMPARE(dialog.summaryLabel()->text(), summary);
        QVERIFY(dialog.leftPane()->accessibleName().contains(QStringLiteral("Snapshot 10:15")));
        QVERIFY(dialog.rightPane()->accessibleName().contains(QStringLiteral("Device now")));
        // Opened on the first difference, when there is one.
        const int first = leftMarkers.indexOf(QRegularExpression(QStringLiteral("[^=]")));
        QCOMPARE(dialog.currentRow(), first == -1 ? (leftMarkers.isEmpty() ? -1 : 0) : first);
    }

    void compareTextShownAsStored()
    {
        TCompareDialog dialog(QStringLiteral("L"), "name=K\xfchl\tA\r\n", QStringLiteral("R"), "name=K\xc3\xbchl\tB\n", nullptr);
        const QString left = dialog.leftPane()->model()->index(0, 2).data().toString();
        const QString right = dialog.rightPane()->model()->index(0, 2).data().toString();
        QCOMPARE(left, QStringLiteral("name=K\u00fchl\u2409A  \u240d\u240a"));
        QCOMPARE(right, QStringLiteral("name=K\u00fchl\u2409B  \u240a"));
    }

    void compareKeys_data()
    {
        // Differences at rows 1, 4-5 and 8 of ten rows.
        QTest::addColumn<QTestEventList>("events");
        QTest::addColumn<int>("expectedRow");
        QTestEventList none;
        QTest::newRow("opens on the first") << none << 1;
        QTestEventList f7;
        f7.addKeyClick(Qt::Key_F7);
        QTest::newRow("F7") << f7 << 4;
        QTestEventList f7f7 = f7;
        f7f7.addKeyClick(Qt::Key_F7);
        QTest::newRow("F7 twice skips the rest of a run") << f7f7 << 8;
        QTestEventList past = f7f7;
        past.addKeyClick(Qt::Key_F7);
        QTest::newRow("F7 past the last stays") << past << 8;
        QTestEventList back = f7f7;
        back.addKeyClick(Qt::Key_F7, Qt::ShiftModifier);
        QTest::newRow("Shift+F7 goes back to a run's first row") << back << 4;
        QTestEventList down;
        down.addKeyClick(Qt::Key_Down);
        down.addKeyClick(Qt::Key_Down);
        QTest::newRow("arrow keys") << down << 3;
        QTestEventList fromSame = down;
        fromSame.addKeyClick(Qt::Key_F7);
        QTest::newRow("F7 from a same row") << fromSame << 4;
        QTestEventList insideRun = down;
        insideRun.addKeyClick(Qt::Key_Down);
        insideRun.addKeyClick(Qt::Key_Down);
        insideRun.addKeyClick(Qt::Key_F7, Qt::ShiftModifier);
        QTest::newRow("Shift+F7 from inside a run") << insideRun << 1; // row 5, run 4-5, back to 1
    }
    void compareKeys()
    {
        QFETCH(QTestEventList, events);
        QFETCH(int, expectedRow);
        QStringList left;
        for (int i = 0; i < 10; ++i)
            left << QStringLiteral("line %1").arg(i);
        QStringList right = left;
        for (int i : {1, 4, 5, 8})
            right[i] += QStringLiteral(" edited");
        TCompareDialog dialog(QStringLiteral("L"), lines(left), QStringLiteral("R"), lines(right), nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QCOMPARE(QApplication::focusWidget(), dialog.leftPane());
        events.simulate(QApplication::focusWidget());
        QCOMPARE(dialog.currentRow(), expectedRow);
        QCOMPARE(dialog.rightPane()->selectionModel()->currentIndex().row(), expectedRow);
        QCOMPARE(dialog.nextButton()->isEnabled(), expectedRow != 8);
        QCOMPARE(dialog.previousButton()->isEnabled(), expectedRow != 1);
    }

    void compareMnemonics()
    {
        TCompareDialog dialog(QStringLiteral("L"), "a\nb\nc\nd\ne\n", QStringLiteral("R"), "A\nb\nC\nd\nE\n", nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QCOMPARE(dialog.currentRow(), 0);
        // A mnemonic presses its button as a click would, shown briefly pressed: the row follows
        // once the button is released.
        const QList<std::pair<Qt::Key, int>> steps{{Qt::Key_N, 2}, {Qt::Key_N, 4}, {Qt::Key_P, 2}, {Qt::Key_P, 0}};
        for (const auto &[key, row] : steps) {
            QTest::keyClick(QApplication::focusWidget(), key, Qt::AltModifier);
            QTRY_COMPARE(dialog.currentRow(), row);
        }
        QVERIFY(!dialog.previousButton()->isEnabled()); // at the first difference
    }

    // The batch warning's two buttons never share an Alt key, whatever the action's word.
    void batchWarningMnemonics_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("button");
        QTest::newRow("Upgrade") << u"Upgrade"_qs << u"&Upgrade"_qs;
        QTest::newRow("Reset") << u"Reset"_qs << u"R&eset"_qs;
        QTest::newRow("Restore") << u"Restore"_qs << u"R&estore"_qs;
    }

    void batchWarningMnemonics()
    {
        QFETCH(QString, action);
        QFETCH(QString, button);
        TBatchWarning warning(u"text"_qs, QString(), {u"198.18.1.1"_qs}, action, nullptr);
        auto *go = warning.findChild<QPushButton *>(u"Confirm"_qs);
        auto *back = warning.findChild<QPushButton *>(u"Return"_qs);
        QVERIFY(go && back);
        QCOMPARE(go->text(), button);
        QVERIFY(QKeySequence::mnemonic(go->text()) != QKeySequence::mnemonic(back->text()));
        // Alt with the action's key presses the action, not Return.
        warning.show();
        QVERIFY(QTest::qWaitForWindowActive(&warning));
        const QKeySequence key = QKeySequence::mnemonic(go->text());
        QTest::keyClick(&warning, Qt::Key(key[0].key()), Qt::AltModifier);
        QTRY_COMPARE(warning.result(), int(QDialog::Accepted));
    }

    void compareClickFollowsInBothPanes()
    {
        TCompareDialog dialog(QStringLiteral("L"), "a\nb\nc\nd\n", QStringLiteral("R"), "a\nB\nc\nd\n", nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QTableView *right = dialog.rightPane();
        const QRect cell = right->visualRect(right->model()->index(3, 2));
        QTest::mouseClick(right->viewport(), Qt::LeftButton, {}, cell.center());
        QCOMPARE(dialog.currentRow(), 3);
        QTest::mouseClick(dialog.previousButton(), Qt::LeftButton);
        QCOMPARE(dialog.currentRow(), 1);
        QCOMPARE(right->selectionModel()->currentIndex().row(), 1);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
    }

    // ---- History dialog ----------------------------------------------------------------------

    void historyFilter_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("nothing") << QString();
        QTest::newRow("name") << QStringLiteral("chiller");
        QTest::newRow("outcome") << QStringLiteral("failed");
        QTest::newRow("ip") << QStringLiteral("198.18.1.6");
        QTest::newRow("mac with colons") << QStringLiteral("02:5c:c7");
        QTest::newRow("non-ASCII") << QStringLiteral("K\u00fchl");
        QTest::newRow("quote in message") << QStringLiteral("\"block");
        QTest::newRow("no match") << QStringLiteral("Tower-9");
    }
    void historyFilter()
    {
        QFETCH(QString, typed);
        const QList<TJournalEntry> entries = sampleEntries();
        const TOperationJournal journal(m_dir.filePath(QStringLiteral("%1.jsonl").arg(QLatin1String(QTest::currentDataTag()))));
        for (const TJournalEntry &entry : entries)
            QVERIFY(journal.append(entry));
        QList<TJournalEntry> expected; // newest first
        for (auto it = entries.crbegin(); it != entries.crend(); ++it) {
            if (TOperationJournal::matches(*it, typed))
                expected << *it;
        }

        THistoryDialog dialog(journal, nullptr);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Operation history"));
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        dialog.table()->setFocus();
        QTest::keyClick(dialog.table(), Qt::Key_F, Qt::ControlModifier);
        QCOMPARE(QApplication::focusWidget(), dialog.filterEdit());
        typeText(dialog.filterEdit(), typed);

        QCOMPARE(dialog.countLabel()->text(), QStringLiteral("%1 of %2 operations").arg(expected.size()).arg(entries.size()));
        QCOMPARE(dialog.shownEntries(), expected);
        const QAbstractItemModel *model = dialog.table()->model();
        QCOMPARE(model->rowCount(), expected.size());
        for (int row = 0; row < expected.size(); ++row) {
            QVERIFY(model->index(row, 1).data().toString().contains(expected[row].ip));
            QCOMPARE(model->index(row, 2).data().toString(), expected[row].operation);
            QCOMPARE(model->index(row, 5).data().toString(), expected[row].outcome);
        }
        QCOMPARE(dialog.exportButton()->isEnabled(), !expected.isEmpty());
    }

    void historyExportsShownRows()
    {
        const QList<TJournalEntry> entries = sampleEntries();
        const TOperationJournal journal(m_dir.filePath(QStringLiteral("export.jsonl")));
        for (const TJournalEntry &entry : entries)
            QVERIFY(journal.append(entry));
        QFile damage(journal.path());
        QVERIFY(damage.open(QIODevice::Append));
        damage.write("{\"when\": broken\n");
        damage.close();

        THistoryDialog dialog(journal, nullptr);
        QVERIFY(dialog.countLabel()->text().contains(QStringLiteral("1 line of the journal could not be read")));
        const QString path = m_dir.filePath(QStringLiteral("history.csv"));
        QString answer; // the hook's answer: first none (nothing saved), then the path
        dialog.chooseSaveFile = [&answer] { return answer; };
        typeText(dialog.filterEdit(), QStringLiteral("configuration"));
        QTest::mouseClick(dialog.exportButton(), Qt::LeftButton);
        QVERIFY(!QFile::exists(path));
        answer = path;
        QTest::mouseClick(dialog.exportButton(), Qt::LeftButton);

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QStringList> rows = ParseCsv(QString::fromUtf8(file.readAll()));
        QList<TJournalEntry> expected;
        for (auto it = entries.crbegin(); it != entries.crend(); ++it) {
            if (it->operation.contains(QStringLiteral("configuration")))
                expected << *it;
        }
        QCOMPARE(rows.size(), expected.size() + 1);
        const int nameColumn = int(rows[0].indexOf(QStringLiteral("Name")));
        const int operationColumn = int(rows[0].indexOf(QStringLiteral("Operation")));
        const int shaColumn = int(rows[0].indexOf(QStringLiteral("SHA-256")));
        QVERIFY(nameColumn > 0 && operationColumn > 0 && shaColumn > 0);
        for (int i = 0; i < expected.size(); ++i) {
            QCOMPARE(rows[i + 1][nameColumn], expected[i].name);
            QCOMPARE(rows[i + 1][operationColumn], expected[i].operation);
            QCOMPARE(rows[i + 1][shaColumn], expected[i].fileSha256); // whole, not as the table shortens it
        }
        QVERIFY(dialog.statusLabel()->text().contains(QStringLiteral("Saved 3 operations")));

        answer = m_dir.filePath(QStringLiteral("no such folder/history.csv"));
        QTest::mouseClick(dialog.exportButton(), Qt::LeftButton);
        QVERIFY(dialog.statusLabel()->text().startsWith(QStringLiteral("Cannot save")));
    }
};

QTEST_MAIN(TestWorksheetDialogs)
#include "tst_worksheetdialogs.moc"
