#pragma once
// A line diff of two configuration texts, for showing them side by side: the lines of both in
// order, each pair marked as the same, changed, only on the left (removed) or only on the right
// (added). Lines end at LF; a CR before it belongs to the line end, not to the text shown.
//
// Lines are compared as bytes, line end included: a configuration is written back exactly as
// stored, so a text saved with CR LF differs on every line from the same text with LF (the rows
// then show the same text with different ends), and no differing rows means identical bytes.

#include <QByteArray>
#include <QList>
#include <QString>

struct TDiffRow
{
    enum Kind { Same, Changed, Removed, Added };
    // How a line ended: the last line of a text may have no end.
    enum LineEnd { NoEnd, Lf, CrLf };
    Kind kind = Same;
    int leftLine = -1;  // 1-based line number on the left; -1 when the row has none there
    int rightLine = -1;
    QString left;       // the line as the device's text decodes (DeviceText)
    QString right;
    LineEnd leftEnd = NoEnd;
    LineEnd rightEnd = NoEnd;

    bool operator==(const TDiffRow &) const = default;
};

// A shortest edit script between the two texts' lines (a removed line followed by an added one is
// shown as one changed row). Texts of many thousand lines stay fast: the common head and tail are
// taken off first.
QList<TDiffRow> DiffLines(const QByteArray &left, const QByteArray &right);
// The rows that are not Same.
int DifferenceCount(const QList<TDiffRow> &rows);
