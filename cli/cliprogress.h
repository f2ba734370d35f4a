#pragma once
// TCliProgress: a line per running device on a terminal's standard error (its phase and bytes),
// redrawn at most ten times a second under a line of totals. Nothing is drawn when standard
// error is not a terminal.

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdio>

class TDeviceOperation;
class TOperationPool;

class TCliProgress : public QObject
{
    Q_OBJECT
public:
    TCliProgress(std::FILE *terminal, const QString &title, QObject *parent = nullptr);
    ~TCliProgress() override;

    void watch(TOperationPool &pool, const QHash<TDeviceOperation *, QString> &labels);
    // Clears the lines drawn, before the report is printed.
    void clear();

    // The line of one device: "198.18.1.7  Writing Code  [#####-----]  52%  532 KiB / 1.0 MiB".
    static QString deviceLine(const QString &label, const QString &phase, qint64 done, qint64 total, int width);

private:
    struct Device
    {
        QString label;
        QString phase;
        qint64 done = -1;
        qint64 total = -1;
    };
    void draw();
    int terminalWidth() const;

    std::FILE *m_terminal;
    QString m_title;
    QTimer m_timer;
    QHash<TDeviceOperation *, Device> m_running;
    QList<TDeviceOperation *> m_order;
    int m_total = 0;
    int m_finished = 0;
    int m_failed = 0;
    int m_linesDrawn = 0;
};
