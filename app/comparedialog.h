#pragma once
// TCompareDialog: two configurations side by side, line by line, with their differences marked
// by colour and by a marker character ('!' changed, '-' only on the left, '+' only on the right),
// so that they read the same without colour.

#include "fleet/configuration/linediff.h"

#include <QDialog>

class QLabel;
class QPushButton;
class QTableView;
class TDiffModel;

class TCompareDialog : public QDialog
{
    Q_OBJECT

public:
    TCompareDialog(const QString &leftTitle, const QByteArray &left, const QString &rightTitle, const QByteArray &right,
                   QWidget *parent = nullptr);

    const QList<TDiffRow> &rows() const { return m_rows; }
    // The row of the diff that is current in both panes; -1 when there is none.
    int currentRow() const;

    // The first row of the next (previous) run of differing rows; false when there is none.
    bool nextDifference();
    bool previousDifference();

    QTableView *leftPane() const { return m_left; }
    QTableView *rightPane() const { return m_right; }
    QLabel *summaryLabel() const { return m_summary; }
    QPushButton *nextButton() const { return m_next; }
    QPushButton *previousButton() const { return m_previous; }

private:
    QTableView *makePane(TDiffModel *model, const QString &accessibleName);
    void goToRow(int row);
    void updateButtons();
    int nextDifferenceFrom(int row) const;
    int previousDifferenceFrom(int row) const;

    QList<TDiffRow> m_rows;
    QTableView *m_left = nullptr;
    QTableView *m_right = nullptr;
    QLabel *m_summary = nullptr;
    QPushButton *m_next = nullptr;
    QPushButton *m_previous = nullptr;
    bool m_syncing = false;
};
