// The address control driven as a user drives it: keys and clicks in, fields and focus out.
#include "protocol/ipaddrutils.h"
#include "app/properties/ipedit.h"

#include <QClipboard>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {
// Key events sent to no widget in particular go to the focus widget, as a user's do.
QWidget *const focusWidget = nullptr;

const QString rangeMessageTail =
    QStringLiteral(" is not a valid entry. Please specify a value between 0 and 255 for this field.");

QTestEventList keys(const QString &typed)
{
    QTestEventList list;
    list.addKeyClicks(typed);
    return list;
}

QTestEventList key(Qt::Key k, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QTestEventList list;
    list.addKeyClick(k, modifiers);
    return list;
}

QTestEventList operator+(QTestEventList a, const QTestEventList &b)
{
    for (const QTestEvent *event : b)
        a.append(event->clone()); // the list owns its events
    return a;
}
} // namespace

class TestIPEdit : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QWidget> m_window;
    QLineEdit *m_before = nullptr;
    TIPEdit *m_edit = nullptr;
    QLineEdit *m_after = nullptr;
    QStringList m_messages;

    QStringList fieldTexts() const
    {
        QStringList texts;
        for (int i = 0; i < TIPEdit::FieldCount; ++i)
            texts << m_edit->octetField(i)->text();
        return texts;
    }

    void setFields(const QStringList &texts)
    {
        for (int i = 0; i < TIPEdit::FieldCount; ++i)
            m_edit->octetField(i)->setText(texts.value(i));
    }

    // Index of the octet field that has the focus, -1 for none.
    int focusedField() const
    {
        for (int i = 0; i < TIPEdit::FieldCount; ++i)
            if (m_edit->octetField(i)->hasFocus())
                return i;
        return -1;
    }

private slots:
    void init()
    {
        m_window = std::make_unique<QWidget>();
        auto *layout = new QHBoxLayout(m_window.get());
        m_before = new QLineEdit(m_window.get());
        m_edit = new TIPEdit(m_window.get());
        m_after = new QLineEdit(m_window.get());
        layout->addWidget(m_before);
        layout->addWidget(m_edit);
        layout->addWidget(m_after);
        m_messages.clear();
        m_edit->setMessageHandler([this](const QString &message) { m_messages << message; });
        m_window->show();
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    }

    void cleanup() { m_window.reset(); }

    void layout()
    {
        QCOMPARE(m_edit->sizeHint(), QSize(100, 21));
        QCOMPARE(m_edit->minimumSizeHint().width(), 100);
        // Field 0, dot 0, field 1, dot 1, field 2, dot 2, field 3, left to right.
        int right = -1;
        for (int i = 0; i < TIPEdit::FieldCount; ++i) {
            QLineEdit *field = m_edit->octetField(i);
            QCOMPARE(field->width(), 21);
            QCOMPARE(field->maxLength(), 3);
            QCOMPARE(field->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
            QVERIFY(!field->hasFrame());
            QCOMPARE(field->parentWidget(), m_edit->framePanel());
            QVERIFY(field->x() > right);
            right = field->geometry().right();
            QCOMPARE(field->focusPolicy() == Qt::StrongFocus, i == 0); // only field 0 is a tab stop
            if (i < TIPEdit::DotCount) {
                QLabel *dot = m_edit->dotLabel(i);
                QCOMPARE(dot->text(), QStringLiteral("."));
                QCOMPARE(dot->width(), 3);
                QCOMPARE(dot->x(), right + 1);
                right = dot->geometry().right();
            }
        }
    }

    // Keys in, fields and focus out. Keys go to whichever widget has the focus, as
    // they do for a user.
    void typing_data()
    {
        QTest::addColumn<QStringList>("initial");
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<int>("startField");
        QTest::addColumn<int>("startCursor"); // -1: the whole text selected
        QTest::addColumn<QTestEventList>("events");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<int>("focus");
        QTest::addColumn<int>("cursor");       // -1: not checked
        QTest::addColumn<QString>("selection"); // of the focused field
        QTest::addColumn<QStringList>("messages");

        const QStringList empty{QString(), QString(), QString(), QString()};
        const QStringList full{QStringLiteral("192"), QStringLiteral("168"), QStringLiteral("1"), QStringLiteral("20")};
        const QStringList tens{QStringLiteral("10"), QStringLiteral("20"), QStringLiteral("30"), QStringLiteral("40")};
        const auto f = [](const char *a, const char *b, const char *c, const char *d) {
            return QStringList{QString::fromLatin1(a), QString::fromLatin1(b), QString::fromLatin1(c),
                               QString::fromLatin1(d)};
        };
        const auto outOfRange = [](const char *typed) { return QStringList{QString::fromLatin1(typed) + rangeMessageTail}; };

        // Automatic advance after the third digit.
        QTest::newRow("192 moves to field 1") << empty << false << 0 << 0 << keys(QStringLiteral("192"))
                                              << f("192", "", "", "") << 1 << 0 << QString() << QStringList();
        QTest::newRow("192168 fills two octets") << empty << false << 0 << 0 << keys(QStringLiteral("192168"))
                                                 << f("192", "168", "", "") << 2 << 0 << QString() << QStringList();
        QTest::newRow("no advance from field 3") << empty << false << 0 << 0 << keys(QStringLiteral("192168001020"))
                                                 << f("192", "168", "001", "020") << 3 << 3 << QString()
                                                 << QStringList();
        QTest::newRow("field 3 holds three digits") << f("", "", "", "192") << false << 3 << 3
                                                    << keys(QStringLiteral("4")) << f("", "", "", "192") << 3 << 3
                                                    << QString() << QStringList();
        QTest::newRow("third digit in the middle stays") << f("12", "", "", "") << false << 0 << 1
                                                         << keys(QStringLiteral("3")) << f("132", "", "", "") << 0 << 2
                                                         << QString() << QStringList();

        // Period, keypad decimal point and space move on when the field has digits before the caret.
        QTest::newRow("1 then period") << tens << false << 0 << -1 << keys(QStringLiteral("1")) + key(Qt::Key_Period)
                                       << f("1", "20", "30", "40") << 1 << -1 << QStringLiteral("20") << QStringList();
        QTest::newRow("1 then keypad point")
            << tens << false << 0 << -1 << keys(QStringLiteral("1")) + key(Qt::Key_Period, Qt::KeypadModifier)
            << f("1", "20", "30", "40") << 1 << -1 << QStringLiteral("20") << QStringList();
        QTest::newRow("1 then keypad comma")
            << tens << false << 0 << -1 << keys(QStringLiteral("1")) + key(Qt::Key_Comma, Qt::KeypadModifier)
            << f("1", "20", "30", "40") << 1 << -1 << QStringLiteral("20") << QStringList();
        QTest::newRow("1 then space") << tens << false << 0 << -1 << keys(QStringLiteral("1")) + key(Qt::Key_Space)
                                      << f("1", "20", "30", "40") << 1 << -1 << QStringLiteral("20") << QStringList();
        QTest::newRow("typing a whole address") << empty << false << 0 << 0 << keys(QStringLiteral("10.1.2.3"))
                                                << f("10", "1", "2", "3") << 3 << 1 << QString() << QStringList();
        QTest::newRow("period in an empty field") << empty << false << 0 << 0 << key(Qt::Key_Period) << empty << 0 << 0
                                                  << QString() << QStringList();
        QTest::newRow("period at position 0") << tens << false << 1 << 0 << key(Qt::Key_Period) << tens << 1 << 0
                                              << QString() << QStringList();
        QTest::newRow("period in field 3") << tens << false << 3 << 2 << key(Qt::Key_Period) << tens << 3 << 2
                                           << QString() << QStringList();
        QTest::newRow("main comma is no separator") << empty << false << 0 << 0 << keys(QStringLiteral("1,"))
                                                    << f("1", "", "", "") << 0 << 1 << QString() << QStringList();

        // The character filter.
        QTest::newRow("letters and signs refused") << empty << false << 0 << 0 << keys(QStringLiteral("1a-+/2"))
                                                   << f("12", "", "", "") << 0 << 2 << QString() << QStringList();
        QTest::newRow("backspace reaches the field") << f("12", "", "", "") << false << 0 << 2 << key(Qt::Key_Backspace)
                                                     << f("1", "", "", "") << 0 << 1 << QString() << QStringList();

        // Backspace at the start of a field erases the end of the field before.
        QTest::newRow("backspace at 0 of field 2") << full << false << 2 << 0 << key(Qt::Key_Backspace)
                                                   << f("192", "16", "1", "20") << 1 << 2 << QString()
                                                   << QStringList();
        QTest::newRow("backspace into an empty field") << f("1", "", "5", "") << false << 2 << 0
                                                       << key(Qt::Key_Backspace) << f("1", "", "5", "") << 1 << 0
                                                       << QString() << QStringList();
        QTest::newRow("backspace at 0 of field 0") << full << false << 0 << 0 << key(Qt::Key_Backspace) << full << 0
                                                   << 0 << QString() << QStringList();
        QTest::newRow("backspace inside field 3") << full << false << 3 << 1 << key(Qt::Key_Backspace)
                                                  << f("192", "168", "1", "0") << 3 << 0 << QString() << QStringList();

        // Arrows, Home and End.
        QTest::newRow("left at 0 of field 1") << full << false << 1 << 0 << key(Qt::Key_Left) << full << 0 << 3
                                              << QString() << QStringList();
        QTest::newRow("left inside field 1") << full << false << 1 << 1 << key(Qt::Key_Left) << full << 1 << 0
                                             << QString() << QStringList();
        QTest::newRow("left at 0 of field 0") << full << false << 0 << 0 << key(Qt::Key_Left) << full << 0 << 0
                                              << QString() << QStringList();
        QTest::newRow("right at the end of field 1") << full << false << 1 << 3 << key(Qt::Key_Right) << full << 2
                                                     << 0 << QString() << QStringList();
        QTest::newRow("right inside field 1") << full << false << 1 << 1 << key(Qt::Key_Right) << full << 1 << 2
                                              << QString() << QStringList();
        QTest::newRow("right at the end of field 3") << full << false << 3 << 2 << key(Qt::Key_Right) << full << 3
                                                     << 2 << QString() << QStringList();
        QTest::newRow("arrows across fields") << full << false << 0 << 3
                                              << key(Qt::Key_Right) + key(Qt::Key_Right) + key(Qt::Key_Right)
                                                     + key(Qt::Key_Right) + key(Qt::Key_Right)
                                              << full << 2 << 0 << QString() << QStringList();
        QTest::newRow("home from field 2") << full << false << 2 << 1 << key(Qt::Key_Home) << full << 0 << 0
                                           << QString() << QStringList();
        QTest::newRow("end from field 1") << full << false << 1 << 0 << key(Qt::Key_End) << full << 3 << 2
                                          << QString() << QStringList();

        // Values above 255 become 255, selected, with a message that quotes what was typed.
        QTest::newRow("300 becomes 255") << empty << false << 0 << 0 << keys(QStringLiteral("300"))
                                         << f("255", "", "", "") << 0 << -1 << QStringLiteral("255")
                                         << outOfRange("300");
        QTest::newRow("256 in field 3") << empty << false << 3 << 0 << keys(QStringLiteral("256"))
                                        << f("", "", "", "255") << 3 << -1 << QStringLiteral("255")
                                        << outOfRange("256");
        QTest::newRow("255 is accepted") << empty << false << 1 << 0 << keys(QStringLiteral("255"))
                                         << f("", "255", "", "") << 2 << 0 << QString() << QStringList();
        QTest::newRow("typing over the correction") << empty << false << 0 << 0 << keys(QStringLiteral("9994"))
                                                    << f("4", "", "", "") << 0 << 1 << QString() << outOfRange("999");

        // Read-only: no navigation and no editing.
        QTest::newRow("read-only digits") << full << true << 2 << 1 << keys(QStringLiteral("5")) << full << 2 << 1
                                          << QString() << QStringList();
        QTest::newRow("read-only home") << full << true << 2 << 1 << key(Qt::Key_Home) << full << 2 << 0 << QString()
                                        << QStringList();
        QTest::newRow("read-only end") << full << true << 1 << 0 << key(Qt::Key_End) << full << 1 << 3 << QString()
                                       << QStringList();
        QTest::newRow("read-only backspace at 0") << full << true << 2 << 0 << key(Qt::Key_Backspace) << full << 2
                                                  << 0 << QString() << QStringList();
        QTest::newRow("read-only left at 0") << full << true << 2 << 0 << key(Qt::Key_Left) << full << 2 << 0
                                             << QString() << QStringList();
        QTest::newRow("read-only period") << full << true << 0 << 2 << key(Qt::Key_Period) << full << 0 << 2
                                          << QString() << QStringList();
    }

    void typing()
    {
        QFETCH(QStringList, initial);
        QFETCH(bool, readOnly);
        QFETCH(int, startField);
        QFETCH(int, startCursor);
        QFETCH(QTestEventList, events);
        QFETCH(QStringList, fields);
        QFETCH(int, focus);
        QFETCH(int, cursor);
        QFETCH(QString, selection);
        QFETCH(QStringList, messages);

        setFields(initial);
        m_edit->setReadOnly(readOnly);
        QLineEdit *start = m_edit->octetField(startField);
        start->setFocus(Qt::MouseFocusReason);
        if (startCursor < 0)
            start->selectAll();
        else
            start->setCursorPosition(startCursor);
        QCOMPARE(focusedField(), startField);

        events.simulate(focusWidget);

        QCOMPARE(fieldTexts(), fields);
        QCOMPARE(focusedField(), focus);
        QLineEdit *focused = m_edit->octetField(focus);
        if (cursor >= 0)
            QCOMPARE(focused->cursorPosition(), cursor);
        QCOMPARE(focused->selectedText(), selection);
        QCOMPARE(m_messages, messages);
    }

    // Every change of a field fires the control's change signal, with the control as sender.
    void changeSignal()
    {
        QSignalSpy spy(m_edit, &TIPEdit::changed);
        m_edit->octetField(0)->setFocus();
        QTest::keyClicks(focusWidget, QStringLiteral("12"));
        QCOMPARE(spy.count(), 2);
        QTest::keyClicks(focusWidget, QStringLiteral("9")); // 129: a change, then the advance
        QCOMPARE(spy.count(), 3);
        QTest::keyClicks(focusWidget, QStringLiteral("999")); // 999 -> 255: the correction is a change too
        QCOMPARE(spy.count(), 7);
        QCOMPARE(m_messages.size(), 1);
        QTest::keyClick(focusWidget, Qt::Key_Left); // no change of text, no signal
        QCOMPARE(spy.count(), 7);
    }

    void readText_data()
    {
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<bool>("acceptOctal");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("fieldsAfter");
        QTest::addColumn<int>("changes");

        const QStringList empty{QString(), QString(), QString(), QString()};
        const auto f = [](const char *a, const char *b, const char *c, const char *d) {
            return QStringList{QString::fromLatin1(a), QString::fromLatin1(b), QString::fromLatin1(c),
                               QString::fromLatin1(d)};
        };
        QTest::newRow("all empty") << empty << false << QString() << empty << 0;
        QTest::newRow("all empty, octal") << empty << true << QString() << empty << 0;
        QTest::newRow("10, empty, 007, 1") << f("10", "", "007", "1") << false << QStringLiteral("10.0.7.1")
                                           << f("10", "0", "7", "1") << 2;
        QTest::newRow("10, empty, 007, 1, octal") << f("10", "", "007", "1") << true << QStringLiteral("10.0.007.1")
                                                  << f("10", "0", "007", "1") << 1;
        QTest::newRow("only the last") << f("", "", "", "5") << false << QStringLiteral("0.0.0.5")
                                       << f("0", "0", "0", "5") << 3;
        QTest::newRow("zeros collapse") << f("000", "01", "255", "") << false << QStringLiteral("0.1.255.0")
                                        << f("0", "1", "255", "0") << 3;
        QTest::newRow("already clean") << f("192", "168", "1", "20") << false << QStringLiteral("192.168.1.20")
                                       << f("192", "168", "1", "20") << 0;
    }

    void readText()
    {
        QFETCH(QStringList, fields);
        QFETCH(bool, acceptOctal);
        QFETCH(QString, text);
        QFETCH(QStringList, fieldsAfter);
        QFETCH(int, changes);

        m_edit->setAcceptOctal(acceptOctal);
        setFields(fields);
        QSignalSpy spy(m_edit, &TIPEdit::changed);
        QCOMPARE(m_edit->text(), text);
        QCOMPARE(fieldTexts(), fieldsAfter);
        QCOMPARE(spy.count(), changes);
        QCOMPARE(m_edit->property("Text").toString(), text);
    }

    void writeText_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QStringList>("fields"); // empty list: the write is refused

        const auto f = [](const char *a, const char *b, const char *c, const char *d) {
            return QStringList{QString::fromLatin1(a), QString::fromLatin1(b), QString::fromLatin1(c),
                               QString::fromLatin1(d)};
        };
        QTest::newRow("0.0.0.0") << QStringLiteral("0.0.0.0") << f("0", "0", "0", "0");
        QTest::newRow("192.168.1.20") << QStringLiteral("192.168.1.20") << f("192", "168", "1", "20");
        QTest::newRow("255.255.255.255") << QStringLiteral("255.255.255.255") << f("255", "255", "255", "255");
        QTest::newRow("empty clears") << QString() << f("", "", "", "");
        QTest::newRow("leading zero") << QStringLiteral("192.168.01.1") << QStringList();
        QTest::newRow("two dots") << QStringLiteral("1.2.3") << QStringList();
        QTest::newRow("four dots") << QStringLiteral("1.2.3.4.5") << QStringList();
        QTest::newRow("out of range") << QStringLiteral("256.1.1.1") << QStringList();
        QTest::newRow("illegal symbol") << QStringLiteral("1.2.x.4") << QStringList();
        QTest::newRow("too long") << QStringLiteral("1234.1234.1234.1") << QStringList();
        QTest::newRow("empty piece") << QStringLiteral("1..2.3") << QStringList();
    }

    void writeText()
    {
        QFETCH(QString, value);
        QFETCH(QStringList, fields);

        const QStringList before{QStringLiteral("10"), QStringLiteral("20"), QStringLiteral("30"), QStringLiteral("40")};
        setFields(before);
        m_edit->octetField(0)->setFocus();
        QSignalSpy spy(m_edit, &TIPEdit::changed);

        if (fields.isEmpty()) {
            QString message;
            try {
                m_edit->setText(value);
            } catch (const EAssertionFailed &e) {
                message = e.message();
            }
            QCOMPARE(message, QStringLiteral("Bad IP address string given to component"));
            QCOMPARE(fieldTexts(), before);
            QCOMPARE(spy.count(), 0);
            return;
        }

        m_edit->setText(value);
        QCOMPARE(fieldTexts(), fields);
        // Written octets of three digits do not move the focus on.
        QCOMPARE(focusedField(), 0);
        if (!value.isEmpty())
            QCOMPARE(m_edit->octetField(0)->selectedText(), fields.first());
        int changedFields = 0;
        for (int i = 0; i < TIPEdit::FieldCount; ++i)
            changedFields += fields[i] != before[i] ? 1 : 0;
        QCOMPARE(spy.count(), changedFields);
    }

    void readOnlyStillTakesText()
    {
        m_edit->setReadOnly(true);
        for (int i = 0; i < TIPEdit::FieldCount; ++i)
            QVERIFY(m_edit->octetField(i)->isReadOnly());
        m_edit->setText(QStringLiteral("10.0.0.1"));
        QCOMPARE(m_edit->text(), QStringLiteral("10.0.0.1"));
        m_edit->setReadOnly(false);
        for (int i = 0; i < TIPEdit::FieldCount; ++i)
            QVERIFY(!m_edit->octetField(i)->isReadOnly());
        m_edit->octetField(3)->setFocus();
        m_edit->octetField(3)->setCursorPosition(1);
        QTest::keyClicks(focusWidget, QStringLiteral("2"));
        QCOMPARE(m_edit->text(), QStringLiteral("10.0.0.12"));
    }

    void enabled()
    {
        m_edit->setText(QStringLiteral("192.168.1.20"));
        m_before->setFocus();
        m_edit->setEnabled(false);
        for (int i = 0; i < TIPEdit::FieldCount; ++i)
            QVERIFY(!m_edit->octetField(i)->isEnabled());
        for (int i = 0; i < TIPEdit::DotCount; ++i)
            QVERIFY(!m_edit->dotLabel(i)->isEnabled());
        QTest::mouseClick(m_edit->dotLabel(1), Qt::LeftButton);
        QTest::mouseClick(m_edit->octetField(2), Qt::LeftButton);
        QVERIFY(m_before->hasFocus());

        m_edit->setEnabled(true);
        for (int i = 0; i < TIPEdit::FieldCount; ++i)
            QVERIFY(m_edit->octetField(i)->isEnabled());
        for (int i = 0; i < TIPEdit::DotCount; ++i)
            QVERIFY(m_edit->dotLabel(i)->isEnabled());
        QTest::mouseClick(m_edit->dotLabel(1), Qt::LeftButton);
        QCOMPARE(focusedField(), 1);
    }

    // A click on a dot edits the octet to its left; a click on the bare frame edits the last octet.
    void mouse_data()
    {
        QTest::addColumn<QString>("target"); // object name inside the control
        QTest::addColumn<QPoint>("position"); // null: the centre
        QTest::addColumn<int>("focus");
        QTest::addColumn<int>("cursor");

        QTest::newRow("dot 0") << QStringLiteral("DotLabel0") << QPoint() << 0 << 3;
        QTest::newRow("dot 1") << QStringLiteral("DotLabel1") << QPoint() << 1 << 3;
        QTest::newRow("dot 2") << QStringLiteral("DotLabel2") << QPoint() << 2 << 1;
        QTest::newRow("frame after field 3") << QStringLiteral("FramePanel") << QPoint(96, 10) << 3 << 2;
        QTest::newRow("frame border") << QStringLiteral("FramePanel") << QPoint(0, 0) << 3 << 2;
        QTest::newRow("field 1 itself") << QStringLiteral("OctetField1") << QPoint(1, 5) << 1 << 0;
    }

    void mouse()
    {
        QFETCH(QString, target);
        QFETCH(QPoint, position);
        QFETCH(int, focus);
        QFETCH(int, cursor);

        m_edit->setText(QStringLiteral("192.168.1.20"));
        m_before->setFocus();
        auto *widget = m_edit->findChild<QWidget *>(target);
        QVERIFY(widget);
        QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, position);
        QCOMPARE(focusedField(), focus);
        QCOMPARE(m_edit->octetField(focus)->cursorPosition(), cursor);
        QCOMPARE(m_edit->octetField(focus)->selectedText(), QString());
    }

    // Entering the control selects the first octet; leaving it selects the first octet again.
    void focus()
    {
        m_edit->setText(QStringLiteral("192.168.1.20"));
        m_before->setFocus();
        m_edit->octetField(0)->deselect();

        QTest::keyClick(focusWidget, Qt::Key_Tab);
        QCOMPARE(focusedField(), 0);
        QCOMPARE(m_edit->octetField(0)->selectedText(), QStringLiteral("192"));

        // Fields 1 to 3 are no tab stops: Tab leaves the control.
        QTest::keyClick(focusWidget, Qt::Key_Tab);
        QVERIFY(m_after->hasFocus());
        QTest::keyClick(focusWidget, Qt::Key_Backtab);
        QCOMPARE(focusedField(), 0);

        // Focus given to the control itself goes to field 0 with its text selected.
        m_before->setFocus();
        m_edit->octetField(0)->deselect();
        m_edit->setFocus();
        QCOMPARE(focusedField(), 0);
        QCOMPARE(m_edit->octetField(0)->selectedText(), QStringLiteral("192"));

        // Moving inside the control leaves field 0 alone; leaving it selects field 0.
        QTest::mouseClick(m_edit->dotLabel(2), Qt::LeftButton);
        QCOMPARE(focusedField(), 2);
        QTest::keyClick(focusWidget, Qt::Key_Home);
        QCOMPARE(focusedField(), 0);
        QCOMPARE(m_edit->octetField(0)->selectedText(), QString());
        QTest::mouseClick(m_edit->dotLabel(2), Qt::LeftButton);
        QTest::keyClick(focusWidget, Qt::Key_Tab);
        QVERIFY(m_after->hasFocus());
        QCOMPARE(m_edit->octetField(0)->selectedText(), QStringLiteral("192"));

        // The selection of an octet without the focus is kept but not shown.
        QLineEdit *field0 = m_edit->octetField(0);
        QCOMPARE(field0->palette().color(QPalette::Highlight), field0->palette().color(QPalette::Base));
        QCOMPARE(field0->palette().color(QPalette::HighlightedText), field0->palette().color(QPalette::Text));
        QTest::keyClick(focusWidget, Qt::Key_Backtab);
        QCOMPARE(focusedField(), 0);
        QCOMPARE(field0->selectedText(), QStringLiteral("192"));
        QCOMPARE(field0->palette().color(QPalette::Highlight), m_window->palette().color(QPalette::Highlight));
        QVERIFY(field0->palette().color(QPalette::Highlight) != field0->palette().color(QPalette::Base));
    }

    // Three digits fit an octet field whatever the control's font.
    void fieldFont_data()
    {
        QTest::addColumn<QFont>("font");
        QTest::addColumn<bool>("narrowed");

        QFont small = QApplication::font();
        small.setPointSizeF(6);
        QTest::newRow("6 pt, kept") << small << false;
        QFont normal = QApplication::font();
        normal.setPointSizeF(9);
        QTest::newRow("9 pt") << normal << true;
        QFont large = QApplication::font();
        large.setPointSizeF(20);
        QTest::newRow("20 pt") << large << true;
        QFont pixels = QApplication::font();
        pixels.setPixelSize(30);
        QTest::newRow("30 px") << pixels << true;
    }

    void fieldFont()
    {
        QFETCH(QFont, font);
        QFETCH(bool, narrowed);
        m_edit->setFont(font);
        m_edit->setText(QStringLiteral("188.188.188.188"));
        for (int i = 0; i < TIPEdit::FieldCount; ++i) {
            QLineEdit *field = m_edit->octetField(i);
            QVERIFY(QFontMetrics(field->font()).horizontalAdvance(QStringLiteral("888")) < field->width());
            QCOMPARE(field->font() != font, narrowed);
            QCOMPARE(field->font().family(), font.family());
        }
    }

    // Pasted text passes no key filter: it is taken whole when it is all digits and refused whole otherwise.
    void paste_data()
    {
        QTest::addColumn<QString>("fieldText");
        QTest::addColumn<bool>("selectAll");
        QTest::addColumn<QString>("clipboard");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("selection"); // a refused paste leaves the selection as it was
        QTest::addColumn<int>("changes");
        QTest::addColumn<QStringList>("messages");

        QTest::newRow("12a into empty") << QString() << false << QStringLiteral("12a") << QString() << QString() << 0
                                        << QStringList();
        QTest::newRow("12a over a selection") << QStringLiteral("45") << true << QStringLiteral("12a")
                                              << QStringLiteral("45") << QStringLiteral("45") << 0 << QStringList();
        QTest::newRow("a dotted address") << QString() << false << QStringLiteral("1.2") << QString() << QString() << 0
                                          << QStringList();
        QTest::newRow("leading space") << QString() << false << QStringLiteral(" 12") << QString() << QString() << 0
                                       << QStringList();
        QTest::newRow("non-latin digit") << QString() << false << QStringLiteral("1\u0663") << QString() << QString()
                                         << 0 << QStringList();
        QTest::newRow("digits are taken") << QString() << false << QStringLiteral("77") << QStringLiteral("77")
                                          << QString() << 1 << QStringList();
        QTest::newRow("digits over a selection") << QStringLiteral("45") << true << QStringLiteral("6")
                                                 << QStringLiteral("6") << QString() << 1 << QStringList();
        QTest::newRow("too many digits are cut") << QStringLiteral("1") << false << QStringLiteral("2345")
                                                 << QStringLiteral("123") << QString() << 1 << QStringList();
        QTest::newRow("out of range is corrected") << QString() << false << QStringLiteral("300")
                                                   << QStringLiteral("255") << QStringLiteral("255") << 2
                                                   << QStringList{QStringLiteral("300") + rangeMessageTail};
    }

    void paste()
    {
        QFETCH(QString, fieldText);
        QFETCH(bool, selectAll);
        QFETCH(QString, clipboard);
        QFETCH(QString, result);
        QFETCH(QString, selection);
        QFETCH(int, changes);
        QFETCH(QStringList, messages);

        QLineEdit *field = m_edit->octetField(3);
        field->setText(fieldText);
        field->setFocus();
        if (selectAll)
            field->selectAll();
        QGuiApplication::clipboard()->setText(clipboard);
        QCOMPARE(QGuiApplication::clipboard()->text(), clipboard);

        QSignalSpy spy(m_edit, &TIPEdit::changed);
        QTest::keyClick(focusWidget, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(field->text(), result);
        QCOMPARE(field->selectedText(), selection);
        QCOMPARE(spy.count(), changes);
        QCOMPARE(m_messages, messages);
    }

    // A program that writes a field directly, past the control, cannot leave a non-digit in it either.
    void directWriteRefused()
    {
        m_edit->setText(QStringLiteral("1.2.3.4"));
        QSignalSpy spy(m_edit, &TIPEdit::changed);
        m_edit->octetField(2)->setText(QStringLiteral("1a"));
        QCOMPARE(m_edit->octetField(2)->text(), QStringLiteral("3"));
        QCOMPARE(spy.count(), 0);
        QCOMPARE(m_edit->text(), QStringLiteral("1.2.3.4"));
    }

    // Without a handler the out-of-range message is the program's error box.
    void outOfRangeErrorBox()
    {
        m_edit->setMessageHandler({});
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        int polls = 0;
        std::function<void()> closeBox = [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box) {
                if (++polls < 100)
                    QTimer::singleShot(0, m_window.get(), closeBox);
                return;
            }
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = box->standardButtons();
            QTest::keyClick(box, Qt::Key_Return);
            if (box->isVisible())
                box->close(); // never leave the test waiting on the box
        };
        m_edit->octetField(1)->setFocus();
        QTest::keyClicks(focusWidget, QStringLiteral("30"));
        QTimer::singleShot(0, m_window.get(), closeBox);
        QTest::keyClicks(focusWidget, QStringLiteral("0"));

        QCOMPARE(title, QStringLiteral("Erreur"));
        QCOMPARE(text, QStringLiteral("300") + rangeMessageTail);
        QCOMPARE(icon, QMessageBox::Critical);
        QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(m_edit->octetField(1)->text(), QStringLiteral("255"));
    }
};

QTEST_MAIN(TestIPEdit)
#include "tst_ipedit.moc"
