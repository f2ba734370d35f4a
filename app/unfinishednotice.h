#pragma once
// TUnfinishedNotice: at start, the operations that started on a device and never ended (the
// program was killed or the PC went down meanwhile), each with what it may have left on the
// device. Not modal: the window works meanwhile. "Check these devices" scans and selects the
// ones that answer, ready for a batch (retry) or the upgrade window; "Acknowledge" marks them as
// seen, so that the next start does not list them again; "Later" lists them again next time.

#include "fleet/history/operationjournal.h"

#include <QDialog>

class QListWidget;
class QPushButton;
class TMainWindow;

class TUnfinishedNotice : public QDialog
{
    Q_OBJECT
public:
    TUnfinishedNotice(const QList<TJournalEntry> &unfinished, const TOperationJournal &journal, TMainWindow *form);

    // Reads the history's tail on a worker thread once the event loop runs, so that the window's
    // first paint never waits for it, and shows the notice when there is anything to tell.
    static void showAfterStart(TMainWindow *form, const TOperationJournal &journal);

    QListWidget *List = nullptr;
    QPushButton *CheckButton = nullptr;
    QPushButton *AcknowledgeButton = nullptr;
    QPushButton *LaterButton = nullptr;

    void checkDevices();
    void acknowledge();

private:
    QList<TJournalEntry> m_unfinished;
    TOperationJournal m_journal;
    TMainWindow *m_form;
};
