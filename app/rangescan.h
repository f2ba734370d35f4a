#pragma once
// Scan address range... in the main window: asks for the ranges (TRangeScanDialog), then runs the
// sweep (TRangeSweep) while the list fills as a broadcast scan fills it: the window's discovery
// handler takes the replies. Progress goes to the window's progress bar, the end to its status bar.

#include "operations/rangesweep.h"

#include <QObject>
#include <QPointer>

#include <functional>

class QProgressBar;
class QStatusBar;
class QWidget;
class TDatagramEngine;

class TRangeScan : public QObject
{
    Q_OBJECT
public:
    // What the window lends the sweep.
    struct Window
    {
        QWidget *parent = nullptr;
        std::function<bool()> canStart;  // no broadcast scan under way
        std::function<void()> resetList; // clears the list and installs the discovery handler
        std::function<void()> scanEnded; // sorts, tells the worksheet
        QProgressBar *progress = nullptr;
        QStatusBar *status = nullptr;
    };
    TRangeScan(TDatagramEngine *engine, Window window, QObject *parent = nullptr);
    ~TRangeScan() override;

    bool isRunning() const { return m_sweep; }
    // The dialog, then the sweep when it was accepted.
    void ask();
    // The sweep of ranges checked already; text names them in the status bar.
    void start(const TRangeSweep::Options &options, const QString &text);
    void cancel();

private:
    void finish();

    TDatagramEngine *m_engine;
    Window m_window;
    QPointer<TRangeSweep> m_sweep;
};
