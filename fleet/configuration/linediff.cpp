#include "fleet/configuration/linediff.h"

#include "protocol/devicerecord.h"

#include <QHash>

#include <algorithm>
#include <vector>

namespace {

struct Line
{
    QByteArrayView text; // without its end
    TDiffRow::LineEnd end;
};

QList<Line> splitLines(const QByteArray &bytes)
{
    QList<Line> lines;
    const QByteArrayView all(bytes);
    qsizetype start = 0;
    while (start < all.size()) {
        const qsizetype lf = all.indexOf('\n', start);
        if (lf < 0) {
            lines.append({all.sliced(start), TDiffRow::NoEnd});
            break;
        }
        const bool cr = lf > start && all[lf - 1] == '\r';
        lines.append({all.sliced(start, lf - start - (cr ? 1 : 0)), cr ? TDiffRow::CrLf : TDiffRow::Lf});
        start = lf + 1;
    }
    return lines;
}

// Myers' O(ND) difference in linear space: the middle snake of each range splits it in two
// ranges of half the edit distance, until a range is only deletions or only insertions. The
// result is which elements of a are deleted and which of b are inserted; the others match in
// order.
class EditScript
{
public:
    EditScript(const std::vector<int> &a, const std::vector<int> &b)
        : m_a(a), m_b(b), deleted(a.size(), false), inserted(b.size(), false)
    {
    }

    void run() { diff(0, int(m_a.size()), 0, int(m_b.size())); }

private:
    const std::vector<int> &m_a;
    const std::vector<int> &m_b;

public:
    std::vector<bool> deleted;
    std::vector<bool> inserted;

private:
    std::vector<int> m_forward;
    std::vector<int> m_backward;

    void diff(int a0, int a1, int b0, int b1)
    {
        while (a0 < a1 && b0 < b1 && m_a[a0] == m_b[b0]) {
            ++a0;
            ++b0;
        }
        while (a0 < a1 && b0 < b1 && m_a[a1 - 1] == m_b[b1 - 1]) {
            --a1;
            --b1;
        }
        if (a0 == a1 || b0 == b1) {
            std::fill(deleted.begin() + a0, deleted.begin() + a1, true);
            std::fill(inserted.begin() + b0, inserted.begin() + b1, true);
            return;
        }

        const int n = a1 - a0;
        const int m = b1 - b0;
        const int total = n + m;
        const int size = 2 * std::min(n, m) + 2;
        const int delta = n - m;
        m_forward.assign(size_t(size), 0);
        m_backward.assign(size_t(size), 0);
        auto at = [size](std::vector<int> &v, int k) -> int & { return v[size_t(((k % size) + size) % size)]; };
        // Element i of the range, read forwards (forward = true) or from its end.
        auto aAt = [&](bool forward, int i) { return forward ? m_a[a0 + i] : m_a[a1 - 1 - i]; };
        auto bAt = [&](bool forward, int i) { return forward ? m_b[b0 + i] : m_b[b1 - 1 - i]; };

        for (int h = 0; h <= total / 2 + total % 2; ++h) {
            for (int pass = 0; pass < 2; ++pass) {
                const bool forward = pass == 0;
                std::vector<int> &c = forward ? m_forward : m_backward;
                std::vector<int> &other = forward ? m_backward : m_forward;
                const int kLow = -(h - 2 * std::max(0, h - m));
                const int kHigh = h - 2 * std::max(0, h - n);
                for (int k = kLow; k <= kHigh; k += 2) {
                    int x = (k == -h || (k != h && at(c, k - 1) < at(c, k + 1))) ? at(c, k + 1) : at(c, k - 1) + 1;
                    int y = x - k;
                    const int startX = x;
                    const int startY = y;
                    while (x < n && y < m && aAt(forward, x) == bAt(forward, y)) {
                        ++x;
                        ++y;
                    }
                    at(c, k) = x;
                    const int z = -(k - delta);
                    const int odd = forward ? 1 : 0;
                    if (total % 2 == odd && z >= -(h - odd) && z <= h - odd && at(c, k) + at(other, z) >= n) {
                        const int d = forward ? 2 * h - 1 : 2 * h;
                        const int sx = forward ? startX : n - x;
                        const int sy = forward ? startY : m - y;
                        const int ex = forward ? x : n - startX;
                        const int ey = forward ? y : m - startY;
                        if (d > 1 || (sx != ex && sy != ey)) {
                            diff(a0, a0 + sx, b0, b0 + sy);
                            diff(a0 + ex, a1, b0 + ey, b1);
                        } else if (m > n) {
                            // One insertion: the shorter range is the longer one's head.
                            std::fill(inserted.begin() + b0 + n, inserted.begin() + b1, true);
                        } else if (m < n) {
                            std::fill(deleted.begin() + a0 + m, deleted.begin() + a1, true);
                        }
                        return;
                    }
                }
            }
        }
    }
};

} // namespace

QList<TDiffRow> DiffLines(const QByteArray &left, const QByteArray &right)
{
    const QList<Line> leftLines = splitLines(left);
    const QList<Line> rightLines = splitLines(right);
    const int n = int(leftLines.size());
    const int m = int(rightLines.size());

    // Lines become numbers (equal bytes and end, equal number), so that comparing is cheap.
    QHash<QByteArray, int> numbers;
    auto number = [&numbers](const Line &line) {
        QByteArray key = line.text.toByteArray();
        key.append(char(line.end));
        auto found = numbers.constFind(key);
        if (found == numbers.cend())
            found = numbers.insert(key, int(numbers.size()));
        return found.value();
    };
    std::vector<int> a(static_cast<size_t>(n));
    std::vector<int> b(static_cast<size_t>(m));
    for (int i = 0; i < n; ++i)
        a[size_t(i)] = number(leftLines[i]);
    for (int j = 0; j < m; ++j)
        b[size_t(j)] = number(rightLines[j]);

    std::vector<bool> deleted(size_t(n), false);
    std::vector<bool> inserted(size_t(m), false);
    int head = 0;
    while (head < n && head < m && a[size_t(head)] == b[size_t(head)])
        ++head;
    int tail = 0;
    while (tail < n - head && tail < m - head && a[size_t(n - 1 - tail)] == b[size_t(m - 1 - tail)])
        ++tail;

    // A line of the middle that the other side does not have at all cannot match: it is taken out
    // before the search (two texts with nothing in common cost nothing), which keeps the result
    // a shortest script.
    QHash<int, int> onLeft;
    QHash<int, int> onRight;
    for (int i = head; i < n - tail; ++i)
        ++onLeft[a[size_t(i)]];
    for (int j = head; j < m - tail; ++j)
        ++onRight[b[size_t(j)]];
    std::vector<int> keptA, keptB, keptAIndex, keptBIndex;
    for (int i = head; i < n - tail; ++i) {
        if (onRight.contains(a[size_t(i)])) {
            keptA.push_back(a[size_t(i)]);
            keptAIndex.push_back(i);
        } else {
            deleted[size_t(i)] = true;
        }
    }
    for (int j = head; j < m - tail; ++j) {
        if (onLeft.contains(b[size_t(j)])) {
            keptB.push_back(b[size_t(j)]);
            keptBIndex.push_back(j);
        } else {
            inserted[size_t(j)] = true;
        }
    }
    EditScript script(keptA, keptB);
    script.run();
    for (size_t i = 0; i < keptA.size(); ++i)
        deleted[size_t(keptAIndex[i])] = script.deleted[i];
    for (size_t j = 0; j < keptB.size(); ++j)
        inserted[size_t(keptBIndex[j])] = script.inserted[j];

    auto leftRow = [&](TDiffRow &row, int i) {
        row.leftLine = i + 1;
        row.left = DeviceText(leftLines[i].text);
        row.leftEnd = leftLines[i].end;
    };
    auto rightRow = [&](TDiffRow &row, int j) {
        row.rightLine = j + 1;
        row.right = DeviceText(rightLines[j].text);
        row.rightEnd = rightLines[j].end;
    };

    QList<TDiffRow> rows;
    rows.reserve(std::max(n, m));
    int i = 0;
    int j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && !deleted[size_t(i)] && !inserted[size_t(j)]) {
            TDiffRow row;
            leftRow(row, i++);
            rightRow(row, j++);
            rows.append(row);
            continue;
        }
        // The edits up to the next matching pair: removed and added lines side by side as
        // changed rows, the longer run's rest alone.
        const int removedFrom = i;
        while (i < n && deleted[size_t(i)])
            ++i;
        const int addedFrom = j;
        while (j < m && inserted[size_t(j)])
            ++j;
        const int removed = i - removedFrom;
        const int added = j - addedFrom;
        Q_ASSERT(removed + added > 0); // the matched lines are as many on both sides
        if (removed + added == 0)
            break;
        for (int k = 0; k < std::max(removed, added); ++k) {
            TDiffRow row;
            if (k < removed)
                leftRow(row, removedFrom + k);
            if (k < added)
                rightRow(row, addedFrom + k);
            row.kind = k < removed && k < added ? TDiffRow::Changed : k < removed ? TDiffRow::Removed : TDiffRow::Added;
            rows.append(row);
        }
    }
    return rows;
}

int DifferenceCount(const QList<TDiffRow> &rows)
{
    return int(std::count_if(rows.begin(), rows.end(), [](const TDiffRow &row) { return row.kind != TDiffRow::Same; }));
}
