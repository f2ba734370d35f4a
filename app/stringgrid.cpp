#include "app/stringgrid.h"

#include <QContextMenuEvent>
#include <QHeaderView>

TStringGridModel::TStringGridModel(int columns, QObject *parent)
    : QAbstractTableModel(parent), m_header(columns), m_columns(columns)
{
    m_cells.append(QStringList(columns));
}

int TStringGridModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_cells.size());
}

int TStringGridModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_columns;
}

QVariant TStringGridModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    if (role == Qt::ForegroundRole && foreground) {
        const QColor colour = foreground(index.column(), index.row() + 1);
        return colour.isValid() ? QVariant(colour) : QVariant();
    }
    if (role != Qt::DisplayRole)
        return {};
    return m_cells[index.row()][index.column()];
}

QVariant TStringGridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= m_columns)
        return {};
    if (role == Qt::DisplayRole)
        return m_header[section];
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return {};
}

void TStringGridModel::setGridRowCount(int rows)
{
    const int wanted = std::max(rows - 1, 1); // the header and at least one row below it
    const int current = static_cast<int>(m_cells.size());
    if (wanted > current) {
        beginInsertRows({}, current, wanted - 1);
        while (m_cells.size() < wanted)
            m_cells.append(QStringList(m_columns));
        endInsertRows();
    } else if (wanted < current) {
        beginRemoveRows({}, wanted, current - 1);
        m_cells.resize(wanted);
        endRemoveRows();
    }
}

QString TStringGridModel::cell(int column, int row) const
{
    if (column < 0 || column >= m_columns || row < 0 || row >= gridRowCount())
        return QString();
    return row == 0 ? m_header[column] : m_cells[row - 1][column];
}

void TStringGridModel::setCell(int column, int row, const QString &text)
{
    if (column < 0 || column >= m_columns || row < 0 || row >= gridRowCount())
        return;
    if (row == 0) {
        m_header[column] = text;
        emit headerDataChanged(Qt::Horizontal, column, column);
        return;
    }
    m_cells[row - 1][column] = text;
    const QModelIndex at = index(row - 1, column);
    emit dataChanged(at, at, {Qt::DisplayRole});
}

void TStringGridModel::setRow(int row, const QStringList &texts)
{
    if (row < 1 || row >= gridRowCount())
        return;
    QStringList &cells = m_cells[row - 1];
    for (int column = 0; column < m_columns && column < texts.size(); ++column)
        cells[column] = texts[column];
    emit dataChanged(index(row - 1, 0), index(row - 1, m_columns - 1), {Qt::DisplayRole});
}

TStringGridHeader::TStringGridHeader(QWidget *parent) : QHeaderView(Qt::Horizontal, parent) {}

void TStringGridHeader::setRowHeight(int height)
{
    m_rowHeight = height;
    updateGeometry();
}

QSize TStringGridHeader::sizeHint() const
{
    return m_rowHeight > 0 ? QSize(length(), m_rowHeight) : QHeaderView::sizeHint();
}

TStringGrid::TStringGrid(int columns, QWidget *parent)
    : QTableView(parent), m_model(new TStringGridModel(columns, this)), m_header(new TStringGridHeader(this))
{
    setHorizontalHeader(m_header);
    m_header->setRowHeight(verticalHeader()->defaultSectionSize());
    // Hidden before the model comes: a shown row header measures its labels in a bold font.
    verticalHeader()->hide();
    setModel(m_model);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    // Several devices at once for the batch operations (Ctrl/Shift-click, Ctrl+A); the current row
    // stays the one device of the single-device actions.
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    // Tab leaves the list for the next control instead of walking its cells.
    setTabKeyNavigation(false);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setMinimumSectionSize(0);
    horizontalHeader()->setSectionsClickable(false);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerItem);
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex &current) {
                if (current.isValid())
                    emit cellSelected(current.column(), current.row() + 1);
            });
    SelectRow(1);
}

void TStringGrid::SetRowCount(int rows)
{
    const int before = RowCount();
    m_model->setGridRowCount(rows);
    if (RowCount() < before)
        SelectRow(1);
}

int TStringGrid::ColWidth(int column) const
{
    return horizontalHeader()->sectionSize(column);
}

void TStringGrid::SetColWidth(int column, int width)
{
    horizontalHeader()->resizeSection(column, width);
}

int TStringGrid::LeftCol() const
{
    const int column = horizontalHeader()->logicalIndexAt(0);
    return column < 0 ? 0 : column;
}

int TStringGrid::Row() const
{
    const QModelIndex current = currentIndex();
    return current.isValid() ? current.row() + 1 : 1;
}

void TStringGrid::SelectRow(int row)
{
    if (row < 1 || row >= RowCount())
        return;
    const int column = std::max(currentIndex().column(), 0);
    const QModelIndex at = m_model->index(row - 1, column);
    if (currentIndex() == at)
        emit cellSelected(column, row); // the grid reports its selection again, as when it moves
    setCurrentIndex(at);
}

QPoint TStringGrid::CellAt(const QPoint &viewportPoint) const
{
    const int column = columnAt(viewportPoint.x());
    if (column < 0)
        return {-1, -1};
    if (viewportPoint.y() < 0)
        return {column, 0};
    const int row = rowAt(viewportPoint.y());
    return row < 0 ? QPoint(-1, -1) : QPoint(column, row + 1);
}

void TStringGrid::SetDefaultRowHeight(int height)
{
    verticalHeader()->setMinimumSectionSize(height);
    verticalHeader()->setDefaultSectionSize(height);
    m_header->setRowHeight(height);
    updateGeometries(); // the header's height is the view's top margin
}

QList<int> TStringGrid::SelectedRows() const
{
    QList<int> rows;
    for (const QModelIndex &index : selectionModel()->selectedRows())
        if (!isRowHidden(index.row()))
            rows << index.row() + 1;
    std::sort(rows.begin(), rows.end());
    return rows;
}

void TStringGrid::SetRowHidden(int row, bool hidden)
{
    if (row < 1 || row >= RowCount())
        return;
    setRowHidden(row - 1, hidden);
    if (hidden)
        selectionModel()->select(m_model->index(row - 1, 0),
                                 QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
}

bool TStringGrid::IsRowHidden(int row) const
{
    return row >= 1 && row < RowCount() && isRowHidden(row - 1);
}

void TStringGrid::paintEvent(QPaintEvent *event)
{
    if (onDrawCell)
        onDrawCell();
    QTableView::paintEvent(event);
}

void TStringGrid::contextMenuEvent(QContextMenuEvent *event)
{
    emit contextPopup(event->pos(), event->reason() == QContextMenuEvent::Mouse);
    event->accept();
}
