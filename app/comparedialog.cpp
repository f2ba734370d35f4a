#include "app/comparedialog.h"
#include "app/messagebox.h"

#include <QAbstractTableModel>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVBoxLayout>

namespace {
constexpr int NumberColumn = 0;
constexpr int MarkerColumn = 1;
constexpr int TextColumn = 2;

// Light enough that the text keeps its contrast; the marker says the same for those who cannot
// tell them apart.
const QColor ChangedColour(0xff, 0xf0, 0xa8);
const QColor RemovedColour(0xff, 0xd6, 0xd3);
const QColor AddedColour(0xcf, 0xf2, 0xcf);
const QColor MissingColour(0xe8, 0xe8, 0xe8);

// Control characters of a configuration line as their visible pictures (U+2400...), so that a
// tab, an escape or a lone CR is seen rather than swallowed.
QString visible(const QString &text)
{
    QString shown = text;
    for (QChar &c : shown) {
        if (c.unicode() < 0x20)
            c = QChar(0x2400 + c.unicode());
        else if (c.unicode() == 0x7f)
            c = QChar(0x2421);
    }
    return shown;
}

QString endMark(TDiffRow::LineEnd end)
{
    switch (end) {
    case TDiffRow::CrLf: return QStringLiteral("  \u240D\u240A");
    case TDiffRow::Lf: return QStringLiteral("  \u240A");
    case TDiffRow::NoEnd: return QStringLiteral("  (no line end)");
    }
    return {};
}
} // namespace

// One side of the diff as a table: line number, marker, text.
class TDiffModel : public QAbstractTableModel
{
public:
    TDiffModel(const QList<TDiffRow> &rows, bool left, QObject *parent)
        : QAbstractTableModel(parent), m_rows(rows), m_left(left)
    {
    }

    int rowCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : int(m_rows.size()); }
    int columnCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : 3; }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid())
            return {};
        const TDiffRow &row = m_rows[index.row()];
        const int line = m_left ? row.leftLine : row.rightLine;
        const bool present = line != -1;
        switch (role) {
        case Qt::DisplayRole:
            if (!present)
                return {};
            if (index.column() == NumberColumn)
                return line;
            if (index.column() == MarkerColumn)
                return marker(row.kind);
            return shownText(row);
        case Qt::ToolTipRole:
        case Qt::AccessibleTextRole:
            if (!present)
                return role == Qt::AccessibleTextRole ? QStringLiteral("no line") : QVariant();
            if (index.column() == MarkerColumn)
                return kindName(row.kind);
            if (index.column() != TextColumn)
                return QString::number(line);
            return role == Qt::ToolTipRole ? PlainTextToolTip(shownText(row)) : shownText(row);
        case Qt::BackgroundRole:
            return background(row, present);
        case Qt::TextAlignmentRole:
            return index.column() == TextColumn ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
                                                : QVariant(Qt::AlignRight | Qt::AlignVCenter);
        case Qt::ForegroundRole:
            return index.column() == NumberColumn ? QVariant(QColor(0x60, 0x60, 0x60)) : QVariant();
        default:
            return {};
        }
    }

private:
    static QString marker(TDiffRow::Kind kind)
    {
        switch (kind) {
        case TDiffRow::Changed: return QStringLiteral("!");
        case TDiffRow::Removed: return QStringLiteral("-");
        case TDiffRow::Added: return QStringLiteral("+");
        case TDiffRow::Same: break;
        }
        return {};
    }

    static QString kindName(TDiffRow::Kind kind)
    {
        switch (kind) {
        case TDiffRow::Changed: return QStringLiteral("changed");
        case TDiffRow::Removed: return QStringLiteral("only on the left");
        case TDiffRow::Added: return QStringLiteral("only on the right");
        case TDiffRow::Same: break;
        }
        return QStringLiteral("same");
    }

    QString shownText(const TDiffRow &row) const
    {
        QString text = visible(m_left ? row.left : row.right);
        // Lines that differ only in how they end show their ends.
        if (row.kind == TDiffRow::Changed && row.leftEnd != row.rightEnd)
            text += endMark(m_left ? row.leftEnd : row.rightEnd);
        return text;
    }

    QVariant background(const TDiffRow &row, bool present) const
    {
        switch (row.kind) {
        case TDiffRow::Same: return {};
        case TDiffRow::Changed: return ChangedColour;
        case TDiffRow::Removed: return present ? RemovedColour : MissingColour;
        case TDiffRow::Added: return present ? AddedColour : MissingColour;
        }
        return {};
    }

    const QList<TDiffRow> m_rows; // shared with the dialog's, not copied
    bool m_left;
};

// The current row is tinted and framed, not covered: its colour still tells how it differs.
class TDiffDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem plain(option);
        plain.state &= ~QStyle::State_Selected;
        plain.state &= ~QStyle::State_HasFocus;
        QStyledItemDelegate::paint(painter, plain, index);
        if (!(option.state & QStyle::State_Selected))
            return;
        const QColor highlight = option.palette.color(QPalette::Highlight);
        QColor tint = highlight;
        tint.setAlpha(45);
        painter->fillRect(option.rect, tint);
        painter->fillRect(QRect(option.rect.left(), option.rect.top(), option.rect.width(), 2), highlight);
        painter->fillRect(QRect(option.rect.left(), option.rect.bottom() - 1, option.rect.width(), 2), highlight);
    }
};

TCompareDialog::TCompareDialog(const QString &leftTitle, const QByteArray &left, const QString &rightTitle,
                               const QByteArray &right, QWidget *parent)
    : QDialog(parent), m_rows(DiffLines(left, right))
{
    setWindowTitle(tr("Compare configurations"));

    m_left = makePane(new TDiffModel(m_rows, true, this), tr("Left configuration: %1").arg(leftTitle));
    m_right = makePane(new TDiffModel(m_rows, false, this), tr("Right configuration: %1").arg(rightTitle));

    auto *leftLabel = new QLabel(leftTitle, this);
    auto *rightLabel = new QLabel(rightTitle, this);
    for (QLabel *label : {leftLabel, rightLabel}) {
        label->setTextFormat(Qt::PlainText);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }

    const int differences = DifferenceCount(m_rows);
    m_summary = new QLabel(differences == 0 ? tr("The configurations are the same")
                           : differences == 1 ? tr("1 line differs")
                                              : tr("%1 lines differ").arg(differences),
                           this);

    m_previous = new QPushButton(tr("&Previous difference"), this);
    m_previous->setToolTip(tr("Previous difference (Shift+F7)"));
    m_next = new QPushButton(tr("&Next difference"), this);
    m_next->setToolTip(tr("Next difference (F7)"));
    for (QPushButton *button : {m_previous, m_next})
        button->setAutoDefault(false);
    connect(m_previous, &QPushButton::clicked, this, &TCompareDialog::previousDifference);
    connect(m_next, &QPushButton::clicked, this, &TCompareDialog::nextDifference);
    auto *nextKey = new QShortcut(QKeySequence(Qt::Key_F7), this);
    connect(nextKey, &QShortcut::activated, this, &TCompareDialog::nextDifference);
    auto *previousKey = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F7), this);
    connect(previousKey, &QShortcut::activated, this, &TCompareDialog::previousDifference);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    // Both panes show the same rows: they scroll together and share the current row.
    connect(m_left->verticalScrollBar(), &QScrollBar::valueChanged, m_right->verticalScrollBar(), &QScrollBar::setValue);
    connect(m_right->verticalScrollBar(), &QScrollBar::valueChanged, m_left->verticalScrollBar(), &QScrollBar::setValue);
    for (QTableView *pane : {m_left, m_right}) {
        connect(pane->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
                [this](const QModelIndex &current) {
                    if (!m_syncing && current.isValid())
                        goToRow(current.row());
                });
    }

    auto *panes = new QGridLayout;
    panes->addWidget(leftLabel, 0, 0);
    panes->addWidget(rightLabel, 0, 1);
    panes->addWidget(m_left, 1, 0);
    panes->addWidget(m_right, 1, 1);

    auto *navigation = new QHBoxLayout;
    navigation->addWidget(m_summary, 1);
    navigation->addWidget(m_previous);
    navigation->addWidget(m_next);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(panes, 1);
    layout->addLayout(navigation);
    layout->addWidget(buttons);

    setTabOrder(m_left, m_right);
    setTabOrder(m_right, m_previous);
    setTabOrder(m_previous, m_next);
    setTabOrder(m_next, buttons);
    m_left->setFocus();
    resize(960, 600);

    const int first = nextDifferenceFrom(-1);
    goToRow(first != -1 ? first : (m_rows.isEmpty() ? -1 : 0));
}

QTableView *TCompareDialog::makePane(TDiffModel *model, const QString &accessibleName)
{
    auto *pane = new QTableView(this);
    pane->setModel(model);
    pane->setAccessibleName(accessibleName);
    pane->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    pane->setSelectionBehavior(QAbstractItemView::SelectRows);
    pane->setSelectionMode(QAbstractItemView::SingleSelection);
    pane->setEditTriggers(QAbstractItemView::NoEditTriggers);
    pane->setShowGrid(false);
    pane->setWordWrap(false);
    pane->setTabKeyNavigation(false);
    pane->horizontalHeader()->hide();
    pane->verticalHeader()->hide();
    // Rows of one height: long texts lay out at once, and both panes' rows stay level.
    const QFontMetrics metrics(pane->font());
    pane->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    pane->verticalHeader()->setDefaultSectionSize(metrics.height() + 4);
    const int digits = int(QString::number(m_rows.size()).size());
    pane->horizontalHeader()->setMinimumSectionSize(1);
    pane->setColumnWidth(NumberColumn, metrics.horizontalAdvance(QString(std::max(digits, 2), QLatin1Char('9'))) + 12);
    pane->setColumnWidth(MarkerColumn, metrics.horizontalAdvance(QLatin1Char('+')) + 12);
    pane->horizontalHeader()->setStretchLastSection(true);
    pane->setItemDelegate(new TDiffDelegate(pane));
    return pane;
}

int TCompareDialog::currentRow() const
{
    const QModelIndex current = m_left->selectionModel()->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void TCompareDialog::goToRow(int row)
{
    if (row < 0 || row >= m_rows.size())
        return;
    m_syncing = true;
    for (QTableView *pane : {m_left, m_right}) {
        const QModelIndex index = pane->model()->index(row, TextColumn);
        pane->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        pane->scrollTo(index, QAbstractItemView::EnsureVisible);
    }
    m_syncing = false;
    updateButtons();
}

void TCompareDialog::updateButtons()
{
    const int row = currentRow();
    m_next->setEnabled(nextDifferenceFrom(row) != -1);
    m_previous->setEnabled(previousDifferenceFrom(row) != -1);
}

bool TCompareDialog::nextDifference()
{
    const int row = nextDifferenceFrom(currentRow());
    goToRow(row);
    return row != -1;
}

bool TCompareDialog::previousDifference()
{
    const int row = previousDifferenceFrom(currentRow());
    goToRow(row);
    return row != -1;
}

int TCompareDialog::nextDifferenceFrom(int row) const
{
    const int count = int(m_rows.size());
    auto differs = [this](int i) { return m_rows[i].kind != TDiffRow::Same; };
    int i = row + 1;
    if (row >= 0 && row < count && differs(row)) { // past the run the current row is in
        while (i < count && differs(i))
            ++i;
    }
    while (i < count && !differs(i))
        ++i;
    return i < count ? i : -1;
}

int TCompareDialog::previousDifferenceFrom(int row) const
{
    auto differs = [this](int i) { return m_rows[i].kind != TDiffRow::Same; };
    if (row < 0 || row >= m_rows.size())
        return -1;
    int i = row - 1;
    if (differs(row)) { // before the run the current row is in
        while (i >= 0 && differs(i))
            --i;
    }
    while (i >= 0 && !differs(i))
        --i;
    if (i < 0)
        return -1;
    while (i > 0 && differs(i - 1)) // to the run's first row
        --i;
    return i;
}
