// The Config page's text: bytes into the editor and back unchanged, lines shown whatever their
// breaks, what typing adds, ".cfg" files byte for byte, and the page's Open and Save.

#include "bytetexts.h"
#include "app/upgrade/configtext.h"
#include "protocol/errors.h"
#include "app/upgrade/boardupgradepanel.h"
#include "app/upgrade/controllertextpage.h"
#include "app/upgrade/controllerupgradepanel.h"
#include "app/upgrade/upgradedialog.h"

#include "app/upgrade/filenameedit.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QToolBar>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;
using ConfigText::Line;
using ConfigText::LineBreak;

Q_DECLARE_METATYPE(QList<Line>)

namespace {

QByteArray withoutBreaks(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        char byte = static_cast<char>((i * 131 + seed) & 0xFF);
        if (byte == '\r' || byte == '\n')
            byte = '\0';
        bytes[i] = byte;
    }
    return bytes;
}

QByteArray reversed(const QByteArray &bytes)
{
    QByteArray out;
    for (auto it = bytes.rbegin(); it != bytes.rend(); ++it)
        out.append(*it);
    return out;
}

// Lines as "hex/break" so that a failure shows where the texts differ.
QStringList describe(const QList<Line> &lines)
{
    QStringList out;
    for (const Line &line : lines)
        out << QString::fromLatin1(line.bytes.toHex()) + u'/' + QString::number(int(line.end));
    return out;
}

// A key with modifiers, or text typed key by key.
struct Step
{
    Step(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) : key(key), modifiers(modifiers) {}
    Step(const QString &text) : text(text) {}
    Qt::Key key = Qt::Key_unknown;
    Qt::KeyboardModifiers modifiers;
    QString text;
};

QTestEventList keys(std::initializer_list<Step> steps)
{
    QTestEventList events;
    for (const Step &step : steps) {
        if (step.text.isEmpty())
            events.addKeyClick(step.key, step.modifiers);
        else
            events.addKeyClicks(step.text);
    }
    return events;
}

QByteArray configLines(int count, QByteArrayView lineBreak)
{
    QByteArray text;
    for (int i = 0; i < count; ++i) {
        text += "channel" + QByteArray::number(i) + '=' + QByteArray::number(i * 7919 % 100000);
        text += lineBreak;
    }
    return text;
}

// Texts that must survive the editor and the files unchanged.
void addTextRows()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("crlf") << "[device]\r\nname=pump 4\r\nip=10.0.0.7\r\n"_ba;
    QTest::newRow("crlf-no-final-break") << "[device]\r\nname=pump 4"_ba;
    QTest::newRow("lf") << "a=1\nb=2\n"_ba;
    QTest::newRow("lf-no-final-break") << "a=1\nb=2"_ba;
    QTest::newRow("cr") << "a=1\rb=2\r"_ba;
    QTest::newRow("cr-no-final-break") << "a=1\rb=2"_ba;
    QTest::newRow("mixed") << "a\r\nb\nc\rd\r\ne"_ba;
    QTest::newRow("cr-then-crlf") << "a\r\r\nb"_ba;
    QTest::newRow("lf-then-cr") << "a\n\rb\n\r"_ba;
    QTest::newRow("breaks-only") << "\r\n\n\r\r\n\r\r\n\n"_ba;
    QTest::newRow("tabs") << "\tkey\t=\tvalue\t\r\n\t\t\r\n\t"_ba;
    QTest::newRow("nul-only") << QByteArray(1, '\0');
    QTest::newRow("nul-in-lines") << "key=\0\x01\xFF" "end\r\n\0\r\n\0"_ba;
    QTest::newRow("nbsp-and-soft-hyphen") << "a\xA0=\xA0" "b\xAD\r\n\xA0"_ba;
    QTest::newRow("separator-lookalikes") << "\x0B\x0C\x1C\x1D\x1E\x1F\x85\x7F\r\n\x0B"_ba;
    QTest::newRow("high-bytes") << allByteValues().sliced(0x80) + "\r\n"_ba + allByteValues().sliced(0x80);
    QTest::newRow("all-256") << allByteValues();
    QTest::newRow("all-256-reversed") << reversed(allByteValues());
    QTest::newRow("all-256-each-break")
        << allByteValues() + "\r\n"_ba + allByteValues() + '\n' + allByteValues() + '\r' + allByteValues();
    QTest::newRow("long-line") << withoutBreaks(300000, 5);
    QTest::newRow("long-line-crlf") << withoutBreaks(200000, 9) + "\r\n"_ba + withoutBreaks(70000, 3);
    QTest::newRow("many-lines") << configLines(20000, "\r\n");
}

} // namespace

class TestConfigText : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<QPlainTextEdit> m_editor;

    // The lines as seen: a line separator inside a block shows as a break.
    static QStringList visibleLines(const QPlainTextEdit &editor)
    {
        QStringList lines;
        for (QTextBlock block = editor.document()->firstBlock(); block.isValid(); block = block.next())
            lines += block.text().split(QChar::LineSeparator);
        return lines;
    }

    QStringList blockTexts() const
    {
        QStringList texts;
        for (QTextBlock block = m_editor->document()->firstBlock(); block.isValid(); block = block.next())
            texts << block.text();
        return texts;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void init()
    {
        m_editor = std::make_unique<QPlainTextEdit>();
        m_editor->setLineWrapMode(QPlainTextEdit::NoWrap);
    }
    void cleanup() { m_editor.reset(); }

    void splitLines_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QList<Line>>("lines");
        QTest::newRow("empty") << QByteArray() << QList<Line>{{"", LineBreak::None}};
        QTest::newRow("one-line") << "abc"_ba << QList<Line>{{"abc", LineBreak::None}};
        QTest::newRow("crlf-final") << "a\r\nb\r\n"_ba
                                    << QList<Line>{{"a", LineBreak::CrLf}, {"b", LineBreak::CrLf}, {"", LineBreak::None}};
        QTest::newRow("lf") << "a\nb"_ba << QList<Line>{{"a", LineBreak::Lf}, {"b", LineBreak::None}};
        QTest::newRow("cr") << "a\rb"_ba << QList<Line>{{"a", LineBreak::Cr}, {"b", LineBreak::None}};
        QTest::newRow("cr-then-crlf") << "a\r\r\n"_ba
                                      << QList<Line>{{"a", LineBreak::Cr}, {"", LineBreak::CrLf}, {"", LineBreak::None}};
        QTest::newRow("lf-then-cr") << "\n\r"_ba
                                    << QList<Line>{{"", LineBreak::Lf}, {"", LineBreak::Cr}, {"", LineBreak::None}};
        QTest::newRow("final-cr") << "a\r"_ba << QList<Line>{{"a", LineBreak::Cr}, {"", LineBreak::None}};
        QTest::newRow("nul-is-data") << QByteArray("\0\r\n\0", 4)
                                     << QList<Line>{{QByteArray(1, '\0'), LineBreak::CrLf}, {QByteArray(1, '\0'), LineBreak::None}};
    }

    void splitLines()
    {
        QFETCH(QByteArray, text);
        QFETCH(QList<Line>, lines);
        QCOMPARE(describe(ConfigText::splitLines(text)), describe(lines));
        QCOMPARE(ConfigText::joinLines(lines), text);
    }

    void editorRoundTrip_data() { addTextRows(); }

    void editorRoundTrip()
    {
        QFETCH(QByteArray, text);
        SetEditorBytes(m_editor.get(), text);
        // Shown as lines whatever the breaks: one block per line.
        QCOMPARE(m_editor->document()->blockCount(), ConfigText::splitLines(text).size());
        QCOMPARE(EditorBytes(m_editor.get()).toHex(), text.toHex());
        // Once more over what came back, as a second read into the same editor would.
        SetEditorBytes(m_editor.get(), EditorBytes(m_editor.get()));
        QCOMPARE(EditorBytes(m_editor.get()).toHex(), text.toHex());
    }

    // Each byte value alone, inside a line, at a line's end and before each break.
    void everyByteValue_data()
    {
        QTest::addColumn<QByteArray>("text");
        for (int value = 0; value < 256; ++value) {
            const char byte = static_cast<char>(value);
            QByteArray text;
            text += byte;
            text += "\r\na" + QByteArray(1, byte) + "b" + QByteArray(1, byte) + "\n" + QByteArray(1, byte) + "\r"
                    + QByteArray(1, byte);
            QTest::newRow(QByteArray::number(value, 16).rightJustified(2, '0').constData()) << text;
        }
    }

    void everyByteValue()
    {
        QFETCH(QByteArray, text);
        SetEditorBytes(m_editor.get(), text);
        QCOMPARE(EditorBytes(m_editor.get()).toHex(), text.toHex());
    }

    void linesShown_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("crlf") << "a\r\nb"_ba << QStringList{u"a"_s, u"b"_s};
        QTest::newRow("lf") << "a\nb"_ba << QStringList{u"a"_s, u"b"_s};
        QTest::newRow("cr") << "a\rb"_ba << QStringList{u"a"_s, u"b"_s};
        QTest::newRow("mixed") << "a\r\nb\nc\rd"_ba << QStringList{u"a"_s, u"b"_s, u"c"_s, u"d"_s};
        QTest::newRow("final-break") << "a\r\n"_ba << QStringList{u"a"_s, QString()};
        QTest::newRow("nul-symbol") << QByteArray("x\0y", 3) << QStringList{u"x\u2400y"_s};
        QTest::newRow("latin-1") << "\xE9t\xE9\xA0\xFF"_ba << QStringList{u"\u00E9t\u00E9\u00A0\u00FF"_s};
        QTest::newRow("tab") << "\tk"_ba << QStringList{u"\tk"_s};
    }

    void linesShown()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, lines);
        SetEditorBytes(m_editor.get(), text);
        QCOMPARE(blockTexts(), lines);
    }

    // Keys in, bytes out: edits keep each line's own break, and new lines take the text's.
    void typing_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QTestEventList>("events");
        QTest::addColumn<QByteArray>("expected");

        const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
        QTest::newRow("crlf-line-added-after-first")
            << "a\r\nb\r\n"_ba << keys({{Qt::Key_Home, ctrl}, Qt::Key_End, Qt::Key_Return, u"x"_s}) << "a\r\nx\r\nb\r\n"_ba;
        QTest::newRow("lf-line-added-at-end") << "a\nb"_ba << keys({{Qt::Key_End, ctrl}, Qt::Key_Return, u"c"_s})
                                             << "a\nb\nc"_ba;
        QTest::newRow("cr-lines-added-after-final-break")
            << "a\rb\r"_ba << keys({{Qt::Key_End, ctrl}, u"c"_s, Qt::Key_Return, u"d"_s}) << "a\rb\rc\rd"_ba;
        QTest::newRow("no-break-takes-crlf") << "abc"_ba << keys({Qt::Key_End, Qt::Key_Return, u"d"_s}) << "abc\r\nd"_ba;
        QTest::newRow("empty-editor-takes-crlf") << QByteArray() << keys({u"a"_s, Qt::Key_Return, u"b"_s}) << "a\r\nb"_ba;
        QTest::newRow("mixed-takes-most-frequent")
            << "a\nb\nc\r\nd"_ba << keys({{Qt::Key_End, ctrl}, Qt::Key_Return, u"e"_s}) << "a\nb\nc\r\nd\ne"_ba;
        QTest::newRow("tie-takes-crlf") << "a\r\nb\nc"_ba << keys({{Qt::Key_End, ctrl}, Qt::Key_Return, u"d"_s})
                                       << "a\r\nb\nc\r\nd"_ba;
        QTest::newRow("line-separator-is-a-break")
            << "a\nb"_ba << keys({{Qt::Key_End, ctrl}, {Qt::Key_Return, Qt::ShiftModifier}, u"c"_s}) << "a\nb\nc"_ba;
        QTest::newRow("edit-inside-line-keeps-breaks")
            << "k=1\r\nv=2\nw=3\r"_ba << keys({{Qt::Key_Home, ctrl}, Qt::Key_End, Qt::Key_Backspace, u"9"_s})
            << "k=9\r\nv=2\nw=3\r"_ba;
        QTest::newRow("joined-line-keeps-its-break")
            << "a\nb\r\nc"_ba << keys({{Qt::Key_Home, ctrl}, Qt::Key_Down, Qt::Key_Home, Qt::Key_Backspace})
            << "ab\r\nc"_ba;
        // Without care the LF would follow the CR at once and read back as one CR LF break.
        QTest::newRow("empty-line-after-lone-cr-kept")
            << "a\rb\nc"_ba << keys({{Qt::Key_Home, ctrl}, Qt::Key_Down, Qt::Key_End, Qt::Key_Backspace})
            << "a\r\r\nc"_ba;
        QTest::newRow("final-break-deleted") << "a\r\n"_ba << keys({{Qt::Key_End, ctrl}, Qt::Key_Backspace}) << "a"_ba;
        QTest::newRow("typed-after-nul") << "a\0b\r\n"_ba << keys({{Qt::Key_Home, ctrl}, Qt::Key_End, u"c"_s})
                                         << "a\0bc\r\n"_ba;
    }

    void typing()
    {
        QFETCH(QByteArray, text);
        QFETCH(QTestEventList, events);
        QFETCH(QByteArray, expected);
        SetEditorBytes(m_editor.get(), text);
        m_editor->show();
        m_editor->setFocus();
        events.simulate(m_editor.get());
        QCOMPARE(EditorBytes(m_editor.get()).toHex(), expected.toHex());

        // The bytes hold the lines the editor showed.
        QPlainTextEdit reread;
        SetEditorBytes(&reread, EditorBytes(m_editor.get()));
        QCOMPARE(visibleLines(reread), visibleLines(*m_editor));
    }

    // Characters typed one key at a time (QTest's key clicks take ASCII only) or pasted.
    void typedCharacters_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("paste");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("latin-1") << QByteArray() << u"\u00E9\u00FF\u00A0\u00AD"_s << false << "\xE9\xFF\xA0\xAD"_ba;
        QTest::newRow("euro") << "a\r\n"_ba << u"\u20AC"_s << false << "a\r\n?"_ba;
        QTest::newRow("cyrillic") << "a"_ba << u"\u0436"_s << false << "a?"_ba;
        QTest::newRow("emoji-is-one-character") << QByteArray() << u"\U0001F600"_s << false << "?"_ba;
        QTest::newRow("symbol-for-null-is-nul") << "a"_ba << u"\u2400"_s << false << QByteArray("a\0", 2);
        QTest::newRow("pasted-lines-take-text-break")
            << "a\nb"_ba << u"\r\nc\u20AC\nd"_s << true << "a\nb\nc?\nd"_ba;
        QTest::newRow("pasted-latin-1") << "a\r\n"_ba << u"\u00E9\t\u00FF"_s << true << "a\r\n\xE9\t\xFF"_ba;
    }

    void typedCharacters()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, typed);
        QFETCH(bool, paste);
        QFETCH(QByteArray, expected);
        SetEditorBytes(m_editor.get(), text);
        m_editor->show();
        m_editor->setFocus();
        m_editor->moveCursor(QTextCursor::End);
        if (paste) {
            m_editor->insertPlainText(typed);
        } else if (typed.size() == 2 && typed.at(0).isHighSurrogate()) {
            QTest::sendKeyEvent(QTest::Click, m_editor.get(), Qt::Key_unknown, typed, Qt::NoModifier);
        } else {
            for (QChar ch : typed)
                QTest::sendKeyEvent(QTest::Click, m_editor.get(), Qt::Key_unknown, QString(ch), Qt::NoModifier);
        }
        QCOMPARE(EditorBytes(m_editor.get()).toHex(), expected.toHex());
    }

    void appendLine_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArrayList>("appended");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("empty-editor") << QByteArray() << QByteArrayList{"A"} << "\r\nA"_ba << QStringList{QString(), u"A"_s};
        QTest::newRow("after-crlf-text") << "a\r\nb"_ba << QByteArrayList{"c"} << "a\r\nb\r\nc"_ba
                                         << QStringList{u"a"_s, u"b"_s, u"c"_s};
        QTest::newRow("after-lf-text") << "a\nb"_ba << QByteArrayList{"c", "d"} << "a\nb\nc\nd"_ba
                                       << QStringList{u"a"_s, u"b"_s, u"c"_s, u"d"_s};
        QTest::newRow("own-breaks-kept") << "x\r\ny"_ba << QByteArrayList{"l1\nl2\rl3"} << "x\r\ny\r\nl1\nl2\rl3"_ba
                                         << QStringList{u"x"_s, u"y"_s, u"l1"_s, u"l2"_s, u"l3"_s};
        // The only breaks are the block's own: they are the text's convention.
        QTest::newRow("block-breaks-set-convention") << "x"_ba << QByteArrayList{"l1\nl2"} << "x\nl1\nl2"_ba
                                                     << QStringList{u"x"_s, u"l1"_s, u"l2"_s};
        QTest::newRow("after-final-break") << "a\r\n"_ba << QByteArrayList{"b"} << "a\r\n\r\nb"_ba
                                           << QStringList{u"a"_s, QString(), u"b"_s};
        QTest::newRow("empty-lines") << "a"_ba << QByteArrayList{"", ""} << "a\r\n\r\n"_ba
                                     << QStringList{u"a"_s, QString(), QString()};
        QTest::newRow("after-lone-cr-and-empty-line") << "p\nx\r"_ba << QByteArrayList{"y"} << "p\nx\r\r\ny"_ba
                                                      << QStringList{u"p"_s, u"x"_s, QString(), u"y"_s};
        QTest::newRow("nul-and-high") << QByteArray(1, '\0') << QByteArrayList{QByteArray("\xFF\0", 2)}
                                      << QByteArray("\0\r\n\xFF\0", 5) << QStringList{u"\u2400"_s, u"\u00FF\u2400"_s};
    }

    void appendLine()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArrayList, appended);
        QFETCH(QByteArray, expected);
        QFETCH(QStringList, lines);
        SetEditorBytes(m_editor.get(), text);
        for (const QByteArray &line : appended)
            AppendEditorLine(m_editor.get(), line);
        QCOMPARE(EditorBytes(m_editor.get()).toHex(), expected.toHex());
        QCOMPARE(blockTexts(), lines);
    }

    // The file holds the text's bytes exactly; loading gives them back, through the editor too.
    void fileRoundTrip_data() { addTextRows(); }

    void fileRoundTrip()
    {
        QFETCH(QByteArray, text);
        const QString path = m_dir.filePath(u"round trip.cfg"_s);
        SetEditorBytes(m_editor.get(), text);
        SaveConfigFile(path, EditorBytes(m_editor.get()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().toHex(), text.toHex());
        file.close();

        QPlainTextEdit other;
        SetEditorBytes(&other, LoadConfigFile(path));
        QCOMPARE(EditorBytes(&other).toHex(), text.toHex());
    }

    void saveReplacesLongerFile()
    {
        const QString path = m_dir.filePath(u"shorter.cfg"_s);
        SaveConfigFile(path, configLines(500, "\r\n"));
        SaveConfigFile(path, "a\r\n"_ba);
        QCOMPARE(LoadConfigFile(path).toHex(), "a\r\n"_ba.toHex());
    }

    void fileErrors_data()
    {
        QTest::addColumn<bool>("save");
        QTest::addColumn<QString>("path");
        QTest::newRow("open-missing-file") << false << u"missing.cfg"_s;
        QTest::newRow("open-folder") << false << u"folder"_s;
        QTest::newRow("save-into-missing-folder") << true << u"no such folder/x.cfg"_s;
        QTest::newRow("save-onto-folder") << true << u"folder"_s;
    }

    void fileErrors()
    {
        QFETCH(bool, save);
        QFETCH(QString, path);
        QVERIFY(QDir(m_dir.path()).mkpath(u"folder"_s));
        const QString full = m_dir.filePath(path);
        try {
            if (save)
                SaveConfigFile(full, "a=1\r\n"_ba);
            else
                LoadConfigFile(full);
            QFAIL("no error raised");
        } catch (const TarvinoError &error) {
            QVERIFY2(error.message().contains(QDir::toNativeSeparators(full)), qPrintable(error.message()));
        }
        QVERIFY(QFileInfo(m_dir.filePath(u"folder"_s)).isDir());
    }
};

// The page's Open and Save buttons, and what its device buttons do without a device. The window
// talks to no device here.
class TestConfigPage : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<TUpgradeDialog> m_form;
    QString m_chosen;
    int m_dialogs = 0;
    QStringList m_errors;
    int m_warnings = 0;

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_form = std::make_unique<TUpgradeDialog>(nullptr, nullptr);
        m_form->CreateControls();
        m_form->configPage->chooseOpenFile = [this] {
            ++m_dialogs;
            return m_chosen;
        };
        m_form->configPage->chooseSaveFile = [this] {
            ++m_dialogs;
            return m_chosen;
        };
        m_form->showError = [this](const QString &message) { m_errors << message; };
        m_form->runWarning = [this] {
            ++m_warnings;
            return 6;
        };
        m_errors.clear();
        m_warnings = 0;
        m_dialogs = 0;
    }
    void cleanup() { m_form.reset(); }

    void openAndSaveCarryBytes_data() { addTextRows(); }

    void openAndSaveCarryBytes()
    {
        QFETCH(QByteArray, text);
        const QString source = m_dir.filePath(u"source.cfg"_s);
        const QString copy = m_dir.filePath(u"copy.cfg"_s);
        {
            QFile file(source);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(text), qint64(text.size()));
        }
        SetEditorBytes(m_form->configPage->editor, "old text\r\n"_ba);
        m_chosen = source;
        m_form->configPage->openAction->trigger();
        QCOMPARE(EditorBytes(m_form->configPage->editor).toHex(), text.toHex());

        m_chosen = copy;
        m_form->configPage->saveAction->trigger();
        QFile file(copy);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().toHex(), text.toHex());
        QVERIFY(m_errors.isEmpty());
    }

    void cancelledDialogChangesNothing()
    {
        const QByteArray text = "kept\r\n"_ba;
        SetEditorBytes(m_form->configPage->editor, text);
        m_chosen.clear();
        m_form->configPage->openAction->trigger();
        m_form->configPage->saveAction->trigger();
        QCOMPARE(m_dialogs, 2);
        QCOMPARE(EditorBytes(m_form->configPage->editor), text);
        QVERIFY(m_errors.isEmpty());
    }

    // The errors go on to the program's general handler; the editor keeps its text.
    void openAndSaveErrors_data()
    {
        QTest::addColumn<bool>("save");
        QTest::addColumn<QString>("path");
        QTest::newRow("open-missing-file") << false << u"missing.cfg"_s;
        QTest::newRow("save-into-missing-folder") << true << u"no folder/x.cfg"_s;
    }

    void openAndSaveErrors()
    {
        QFETCH(bool, save);
        QFETCH(QString, path);
        const QByteArray text = QByteArray("kept\0\xFF\r\n", 8);
        SetEditorBytes(m_form->configPage->editor, text);
        m_chosen = m_dir.filePath(path);
        try {
            if (save)
                m_form->configPage->saveFile();
            else
                m_form->configPage->openFile();
            QFAIL("no error raised");
        } catch (const TarvinoError &error) {
            QVERIFY2(error.message().contains(QDir::toNativeSeparators(m_chosen)), qPrintable(error.message()));
        }
        QCOMPARE(EditorBytes(m_form->configPage->editor).toHex(), text.toHex());
        QVERIFY(!QFileInfo::exists(m_chosen));
        QVERIFY(m_errors.isEmpty());
    }

    void unencodableTextIsRefused_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("problem"); // empty: the text is the device's own
        const auto refused = [](const QString &shown, const QString &code, int line) {
            return u"The character \"%1\" (U+%2) on line %3 is not one of the device's 8-bit characters."_s
                .arg(shown, code)
                .arg(line);
        };
        QTest::newRow("curly quote pasted") << u"a=1\nname=\u2019x\n"_s << refused(u"\u2019"_s, u"2019"_s, 2);
        QTest::newRow("dash, after Latin-1") << u"caf\u00e9 \u2013 1"_s << refused(u"\u2013"_s, u"2013"_s, 1);
        QTest::newRow("beyond the first plane") << u"x\n\n\U0001F600"_s << refused(u"\U0001F600"_s, u"1F600"_s, 3);
        QTest::newRow("Latin-1 and the shown NUL") << u"caf\u00e9\u2400\u00ff"_s << QString();
    }

    // A character the device's 8-bit text cannot hold is never turned into '?' on the way out:
    // Save and Write Config refuse the text, naming it; no file is written, nothing is sent.
    void unencodableTextIsRefused()
    {
        QFETCH(QString, typed);
        QFETCH(QString, problem);
        m_form->configPage->editor->setPlainText(typed);
        m_chosen = m_dir.filePath(u"typed.cfg"_s);
        QFile::remove(m_chosen);
        m_form->configPage->saveAction->trigger();
        QCOMPARE(QFile::exists(m_chosen), problem.isEmpty());
        if (problem.isEmpty()) {
            QCOMPARE(m_errors, QStringList());
            return;
        }
        QCOMPARE(m_dialogs, 0);
        // The window has no engine here: anything sent would fail loudly.
        m_form->DeviceIP = u"198.18.1.1"_s;
        m_form->configPage->writeConfigAction->trigger();
        QCOMPARE(m_errors, (QStringList{problem + u" Nothing was saved."_s,
                                        u"Write Config Failed\r\n"_s + problem + u" Nothing was sent."_s}));
        QCOMPARE(m_warnings, 0);
    }

    // Files without an extension (firmware images often have none) are listed by every chooser.
    void fileChoosersShowEveryFile()
    {
        for (const QString &filter :
             {m_form->boardPanel->fileEdit->filter(), m_form->controllerPanel->fileEdit->filter(), TControllerTextPage::configFilter()}) {
            const QString all = filter.split(u";;"_s).constLast();
            const QString pattern = all.section(u'(', 1).chopped(1);
            const QRegularExpression glob(QRegularExpression::wildcardToRegularExpression(pattern));
            for (const QString &name : {u"firmware"_s, u"image.bin"_s, u"site.cfg"_s})
                QVERIFY2(glob.match(name).hasMatch(), qPrintable(filter + u" hides "_s + name));
        }
    }

    // Without a device address the device buttons do nothing: no message, the editor untouched.
    void deviceButtonsWithoutDevice_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("read-config") << u"readConfigAction"_s;
        QTest::newRow("write-config") << u"writeConfigAction"_s;
        QTest::newRow("read-logs") << u"readLogsAction"_s;
        QTest::newRow("erase-logs") << u"eraseLogsAction"_s;
        QTest::newRow("diagnose") << u"diagnoseAction"_s;
        QTest::newRow("reset") << u"resetAction"_s;
    }

    void deviceButtonsWithoutDevice()
    {
        QFETCH(QString, button);
        const QHash<QString, QAction *> actions{
            {u"readConfigAction"_s, m_form->configPage->readConfigAction}, {u"writeConfigAction"_s, m_form->configPage->writeConfigAction},
            {u"readLogsAction"_s, m_form->configPage->readLogsAction},     {u"eraseLogsAction"_s, m_form->configPage->eraseLogsAction},
            {u"diagnoseAction"_s, m_form->configPage->diagnoseAction},     {u"resetAction"_s, m_form->configPage->resetAction}};
        QVERIFY(m_form->DeviceIP.isEmpty());
        const QByteArray text = "a=1\r\n"_ba;
        SetEditorBytes(m_form->configPage->editor, text);
        actions.value(button)->trigger();
        QCOMPARE(EditorBytes(m_form->configPage->editor), text);
        QCOMPARE(m_errors, QStringList());
        QCOMPARE(m_warnings, 0);
        QVERIFY(m_form->configPage->toolBar->isEnabled());
        QVERIFY(!m_form->IsBusy());
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    int status = 0;
    {
        TestConfigText test;
        status |= QTest::qExec(&test, argc, argv);
    }
    {
        TestConfigPage test;
        status |= QTest::qExec(&test, argc, argv);
    }
    return status;
}

#include "tst_configtext.moc"
