#pragma once
// The window of the network check: its findings as they come, a line each, marked by severity.
// The check runs on its own worker thread (TNetworkCheck); the window never waits for it.

#include <QDialog>

class QLabel;
class QListWidget;
class QPushButton;
class TNetworkCheck;
class TDatagramEngine;
struct TNetworkFinding;

class TNetworkCheckDialog : public QDialog
{
    Q_OBJECT
public:
    // listenMs: how long the check's scan listens for replies.
    TNetworkCheckDialog(TDatagramEngine *engine, QWidget *parent = nullptr, int listenMs = 3000);
    ~TNetworkCheckDialog() override;

    // Starts a check (again); the list is emptied first. Nothing happens while one runs.
    void runCheck();
    bool isChecking() const;
    int findingCount() const;

signals:
    // The check ended; problems is the number of findings a technician must act on.
    void checkFinished(int problems);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void addFinding(const TNetworkFinding &finding);
    void checkDone();
    // A check still running is cancelled and left to end (and delete itself) on its own.
    bool m_closeWhenStopped = false;

    TDatagramEngine *m_engine;
    int m_listenMs;
    TNetworkCheck *m_check = nullptr;
    QListWidget *m_list;
    QLabel *m_status;
    QPushButton *m_again;
    QPushButton *m_copy;
    int m_problems = 0;
};

// Opens the network check window for the engine (non-modal, deleted when closed) and starts the
// check at once. The main window's "? > Network check..." and the offer after an empty scan call it.
TNetworkCheckDialog *ShowNetworkCheck(QWidget *parent, TDatagramEngine *engine);
