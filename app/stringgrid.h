#pragma once
// A text grid with a fixed header row, addressed the way the main window thinks
// of it: row 0 is the header, device rows start at 1. Whole rows are selected,
// cells are not editable, column borders can be dragged.

#include <QAbstractTableModel>
#include <QColor>
#include <QHeaderView>
#include <QStringList>
#include <QTableView>

#include <functional>

class TStringGridModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    TStringGridModel(int columns, QObject *parent);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Grid rows, the header row included.
    int gridRowCount() const { return static_cast<int>(m_cells.size()) + 1; }
    void setGridRowCount(int rows);
    QString cell(int column, int row) const;
    void setCell(int column, int row, const QString &text);
    // The text colour of a cell of grid row >= 1, asked as it is painted; none when unset or invalid.
    std::function<QColor(int column, int row)> foreground;
    void setRow(int row, const QStringList &texts);

private:
    QStringList m_header;
    QList<QStringList> m_cells; // grid rows 1.. as model rows 0..
    int m_columns;
};

// The grid's fixed row 0: as tall as every other row, so that its height never needs the
// header texts measured (which Qt does for each section whenever a text changes).
class TStringGridHeader : public QHeaderView
{
    Q_OBJECT
public:
    explicit TStringGridHeader(QWidget *parent);
    void setRowHeight(int height);
    QSize sizeHint() const override;

private:
    int m_rowHeight = 0;
};

class TStringGrid : public QTableView
{
    Q_OBJECT
public:
    TStringGrid(int columns, QWidget *parent = nullptr);

    int RowCount() const { return m_model->gridRowCount(); }
    // Shrinking the grid moves the selection to row 1, and reports it.
    void SetRowCount(int rows);
    QString Cells(int column, int row) const { return m_model->cell(column, row); }
    void SetCell(int column, int row, const QString &text) { m_model->setCell(column, row, text); }
    void SetRow(int row, const QStringList &texts) { m_model->setRow(row, texts); }
    // The text colour of a cell (grid row >= 1), asked for as it is painted.
    void SetForeground(std::function<QColor(int column, int row)> foreground) { m_model->foreground = std::move(foreground); }
    // The colour rule set so far, for a feature that puts its own in front of it.
    std::function<QColor(int column, int row)> Foreground() const { return m_model->foreground; }
    int ColWidth(int column) const;
    void SetColWidth(int column, int width);
    // The leftmost column scrolled into view.
    int LeftCol() const;
    int Row() const; // the selected grid row
    void SelectRow(int row);
    // The grid cell at a point of the viewport: {column, row}, row 0 for the header;
    // {-1, -1} where there is no cell.
    QPoint CellAt(const QPoint &viewportPoint) const;
    void SetDefaultRowHeight(int height);
    // The selected device rows (grid rows 1..), in order; rows hidden by a filter are never among them.
    QList<int> SelectedRows() const;
    void SetRowHidden(int row, bool hidden);
    bool IsRowHidden(int row) const;

    // Called before every paint of the cells.
    std::function<void()> onDrawCell;

signals:
    // A grid row (1..) became the selected one, by the user or by the grid itself.
    void cellSelected(int column, int row);
    // A context menu was asked for over the cells: by the mouse at a viewport point,
    // or by the keyboard (which points at no cell).
    void contextPopup(const QPoint &viewportPoint, bool byMouse);

protected:
    void paintEvent(QPaintEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    TStringGridModel *m_model;
    TStringGridHeader *m_header;
};
