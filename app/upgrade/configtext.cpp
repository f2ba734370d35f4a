#include "app/upgrade/configtext.h"

#include "protocol/errors.h"

#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <array>

namespace ConfigText {

namespace {

// Calls onLine(bytes, break) for each line of the text, the last one (without a break) included.
template <typename OnLine>
void forEachLine(QByteArrayView text, OnLine onLine)
{
    const char *const data = text.data();
    const qsizetype size = text.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            onLine(text.sliced(start, i - start), LineBreak::Lf);
            start = i + 1;
        } else if (data[i] == '\r') {
            if (i + 1 < size && data[i + 1] == '\n') {
                onLine(text.sliced(start, i - start), LineBreak::CrLf);
                ++i;
            } else {
                onLine(text.sliced(start, i - start), LineBreak::Cr);
            }
            start = i + 1;
        }
    }
    onLine(text.sliced(start), LineBreak::None);
}

bool isBreakState(int state)
{
    return state >= int(LineBreak::CrLf) && state <= int(LineBreak::Cr);
}

void appendShown(QString &out, QByteArrayView bytes)
{
    for (char byte : bytes)
        out.append(charOf(byte));
}

// A block's text never holds CR or LF, so bytes ending with CR end with a lone-CR break. An
// LF right after it would read back as one CR LF break and an empty line would vanish: that
// LF goes out as CR LF. An unedited text never comes here (its CR was not followed by LF).
void appendBreak(QByteArray &out, QByteArrayView lineBreak)
{
    if (lineBreak == QByteArrayView("\n") && out.endsWith('\r'))
        out.append("\r\n");
    else
        out.append(lineBreak);
}

// The bytes of one block's text; a line separator inside a block is a line break too.
void appendBlockBytes(QByteArray &out, const QString &text, QByteArrayView separator)
{
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const QChar ch = text.at(i);
        if (ch == QChar::LineSeparator) {
            appendBreak(out, separator);
        } else if (ch.isHighSurrogate() && i + 1 < size && text.at(i + 1).isLowSurrogate()) {
            out.append('?'); // one character, one replacement
            ++i;
        } else {
            out.append(byteOf(ch));
        }
    }
}

// Gives each block from `block` on the break of the matching line.
void setBreaks(QTextBlock block, const QList<LineBreak> &breaks)
{
    for (LineBreak lineBreak : breaks) {
        Q_ASSERT(block.isValid());
        if (!block.isValid())
            return;
        block.setUserState(int(lineBreak));
        block = block.next();
    }
}

} // namespace

QList<Line> splitLines(QByteArrayView text)
{
    QList<Line> lines;
    forEachLine(text, [&lines](QByteArrayView bytes, LineBreak end) { lines.append({bytes.toByteArray(), end}); });
    return lines;
}

QByteArray joinLines(const QList<Line> &lines)
{
    QByteArray text;
    for (const Line &line : lines) {
        text.append(line.bytes);
        text.append(breakBytes(line.end));
    }
    return text;
}

QByteArrayView breakBytes(LineBreak lineBreak)
{
    switch (lineBreak) {
    case LineBreak::CrLf: return "\r\n";
    case LineBreak::Lf: return "\n";
    case LineBreak::Cr: return "\r";
    case LineBreak::None: break;
    }
    return {};
}

QChar charOf(char byte)
{
    const auto code = static_cast<quint8>(byte);
    return code == 0 ? QChar(NulSymbol) : QChar(char16_t(code));
}

char byteOf(QChar ch)
{
    if (ch == QChar(NulSymbol))
        return '\0';
    return ch.unicode() <= 0xFF ? static_cast<char>(ch.unicode()) : '?';
}

LineBreak dominantBreak(const QTextDocument *document)
{
    std::array<qsizetype, 4> counts{};
    for (QTextBlock block = document->firstBlock(); block.isValid(); block = block.next()) {
        if (isBreakState(block.userState()))
            ++counts[std::size_t(block.userState())];
    }
    LineBreak best = LineBreak::CrLf;
    for (LineBreak candidate : {LineBreak::Lf, LineBreak::Cr}) {
        if (counts[std::size_t(candidate)] > counts[std::size_t(best)])
            best = candidate;
    }
    return best;
}

} // namespace ConfigText

using namespace ConfigText;

void SetEditorBytes(QPlainTextEdit *editor, QByteArrayView text)
{
    // One document change for the whole text, then the breaks: block by block insertion is
    // far slower on long texts. No line holds CR or LF, and no Latin-1 character other than
    // those two splits a block, so the blocks match the lines one for one.
    QString shown;
    shown.reserve(text.size());
    QList<LineBreak> breaks;
    forEachLine(text, [&](QByteArrayView bytes, LineBreak end) {
        if (!breaks.isEmpty())
            shown.append(QLatin1Char('\n'));
        appendShown(shown, bytes);
        breaks.append(end);
    });
    editor->setPlainText(shown);
    Q_ASSERT(editor->document()->blockCount() == breaks.size());
    setBreaks(editor->document()->firstBlock(), breaks);
}

QByteArray EditorBytes(const QPlainTextEdit *editor)
{
    const QTextDocument *document = editor->document();
    const QByteArrayView dominant = breakBytes(dominantBreak(document));
    QByteArray bytes;
    bytes.reserve(document->characterCount());
    for (QTextBlock block = document->firstBlock(); block.isValid(); block = block.next()) {
        // Block text, not toPlainText(), which turns U+00A0 into a space.
        appendBlockBytes(bytes, block.text(), dominant);
        // The last block is what follows the last break: it never ends with one. A block
        // that is no longer last (the user added lines after it) takes the text's own break.
        if (block.next().isValid()) {
            const int state = block.userState();
            appendBreak(bytes, isBreakState(state) ? breakBytes(LineBreak(state)) : dominant);
        }
    }
    return bytes;
}

QString UnencodableTextProblem(const QPlainTextEdit *editor, const QString &refused)
{
    int line = 1;
    for (QTextBlock block = editor->document()->firstBlock(); block.isValid(); block = block.next(), ++line) {
        const QString text = block.text();
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar ch = text.at(i);
            if (ch.unicode() <= 0xFF || ch.unicode() == ConfigText::NulSymbol)
                continue;
            // A character beyond the first plane is two units of the text: name it whole.
            const bool pair = ch.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
            const char32_t code = pair ? QChar::surrogateToUcs4(ch, text.at(i + 1)) : ch.unicode();
            const QString hex = QString::number(uint(code), 16).toUpper().rightJustified(4, QLatin1Char('0'));
            return QStringLiteral("The character \"%1\" (U+%2) on line %3 is not one of the device's 8-bit "
                                  "characters. %4")
                .arg(text.mid(i, pair ? 2 : 1), hex)
                .arg(line)
                .arg(refused);
        }
    }
    return {};
}

void AppendEditorLine(QPlainTextEdit *editor, QByteArrayView line)
{
    QTextDocument *document = editor->document();
    QString shown;
    shown.reserve(line.size() + 1);
    QList<LineBreak> breaks;
    forEachLine(line, [&](QByteArrayView bytes, LineBreak end) {
        shown.append(QLatin1Char('\n'));
        appendShown(shown, bytes);
        breaks.append(end);
    });
    QTextBlock last = document->lastBlock();
    const int firstNew = last.blockNumber() + 1;
    // The block that was last now ends with a break: the text's own.
    last.setUserState(-1);
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(shown);
    setBreaks(document->findBlockByNumber(firstNew), breaks);
}

QByteArray LoadConfigFile(const QString &fileName)
{
    const QString shown = QDir::toNativeSeparators(fileName);
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw TarvinoError(QStringLiteral("Cannot open %1: %2").arg(shown, file.errorString()));
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw TarvinoError(QStringLiteral("Cannot read %1: %2").arg(shown, file.errorString()));
    return bytes;
}

void SaveConfigFile(const QString &fileName, QByteArrayView text)
{
    // Through a temporary file renamed over the old one: a failed save leaves the file that
    // was there whole.
    const QString shown = QDir::toNativeSeparators(fileName);
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        throw TarvinoError(QStringLiteral("Cannot create %1: %2").arg(shown, file.errorString()));
    if (file.write(text.data(), text.size()) != text.size() || !file.commit())
        throw TarvinoError(QStringLiteral("Cannot write %1: %2").arg(shown, file.errorString()));
}
