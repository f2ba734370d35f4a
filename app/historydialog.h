#pragma once
// THistoryDialog: the operation journal as a table, newest first, filtered by a text, and
// exported as CSV for the service report.

#include "fleet/history/operationjournal.h"

#include <QDialog>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;
class THistoryModel;

class THistoryDialog : public QDialog
{
    Q_OBJECT

public:
    THistoryDialog(const TOperationJournal &journal, QWidget *parent = nullptr);

    // Asks where to save the CSV; an empty path saves nothing. A save-file dialog unless
    // replaced (tests answer without one).
    std::function<QString()> chooseSaveFile;

    // The entries the table shows, in its order.
    QList<TJournalEntry> shownEntries() const;
    // Writes the shown entries as CSV; false with the reason (also shown in the dialog).
    bool exportTo(const QString &path, QString *error = nullptr);

    QLineEdit *filterEdit() const { return m_filter; }
    QTableView *table() const { return m_table; }
    QLabel *countLabel() const { return m_count; }
    QLabel *statusLabel() const { return m_status; }
    QPushButton *exportButton() const { return m_export; }

private:
    void applyFilter();
    void exportChosen();

    int m_skippedLines = 0; // before m_model: the journal's reading sets it
    THistoryModel *m_model = nullptr;
    QLineEdit *m_filter = nullptr;
    QTableView *m_table = nullptr;
    QLabel *m_count = nullptr;
    QLabel *m_status = nullptr;
    QPushButton *m_export = nullptr;
};
