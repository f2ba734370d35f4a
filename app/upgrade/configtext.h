#pragma once
// The Config page's editor holds 8-bit text that must come back byte for byte: a
// configuration read from a controller, saved, loaded and written back reaches the
// controller as it was read.
//
// Each byte is shown as the character of the same Latin-1 code, except 0x00, which a
// text document cannot hold and which is shown as U+2400 (SYMBOL FOR NULL). The text is
// shown as lines whatever its line breaks (CR LF, LF, lone CR); each text block keeps its
// own break in its user state, so a text that mixes them comes back unchanged. Blocks the
// user adds take the break the text uses most (CR LF when it has none), and so does a
// line separator (Shift+Return). Characters outside Latin-1 typed or pasted by the user
// become '?'.
//
// A ".cfg" file holds exactly the text's bytes: no byte-order mark, no re-encoding.

#include <QByteArray>
#include <QByteArrayView>
#include <QChar>
#include <QList>
#include <QString>

class QPlainTextEdit;
class QTextDocument;

namespace ConfigText {

// How a line ends. The values are the user states of the editor's blocks; a block the
// user added has QTextBlock's default state, -1.
enum class LineBreak : int { None = 0, CrLf = 1, Lf = 2, Cr = 3 };

struct Line
{
    QByteArray bytes;
    LineBreak end = LineBreak::None;
    bool operator==(const Line &) const = default;
};

// The lines of a text: split at CR LF, LF and lone CR. The last line is what follows the
// last break (possibly nothing) and has none, so a text with n breaks has n + 1 lines and
// joining them gives the text back.
QList<Line> splitLines(QByteArrayView text);
QByteArray joinLines(const QList<Line> &lines);
QByteArrayView breakBytes(LineBreak lineBreak);

// Shown for 0x00, and read back as 0x00.
inline constexpr char16_t NulSymbol = u'\u2400';
QChar charOf(char byte);
// '?' for a character outside Latin-1.
char byteOf(QChar ch);

// The break used for blocks without one of their own: the most frequent among the
// document's blocks (CR LF before LF before CR on a tie), CR LF when there is none.
LineBreak dominantBreak(const QTextDocument *document);

} // namespace ConfigText

// Replaces the editor's text with these bytes.
void SetEditorBytes(QPlainTextEdit *editor, QByteArrayView text);
// The editor's text as bytes; for an unedited text exactly those given to SetEditorBytes.
QByteArray EditorBytes(const QPlainTextEdit *editor);
// Why the editor's text cannot become the device's 8-bit text: the first character it cannot
// hold (typed or pasted: a curly quote, a dash, an emoji), with its line; empty when every
// character fits. `refused` says what is not done ("Nothing was sent.").
QString UnencodableTextProblem(const QPlainTextEdit *editor, const QString &refused);
// Adds the bytes after the editor's text, starting on a line of their own (joined by the
// text's own line break), even when the editor is empty.
void AppendEditorLine(QPlainTextEdit *editor, QByteArrayView line);

// The whole content of a ".cfg" file, byte for byte. Throws TarvinoError naming the file
// when it cannot be read.
QByteArray LoadConfigFile(const QString &fileName);
// Writes exactly these bytes to the file, replacing it only once all of them are written.
// Throws TarvinoError naming the file when it cannot be written.
void SaveConfigFile(const QString &fileName, QByteArrayView text);
