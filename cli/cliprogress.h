#pragma once
// TCliProgress: a line per running device on a terminal's standard error (its phase and bytes),
// redrawn at most ten times a second under a line of totals, as a job tells its items. Nothing is
// drawn when standard error is not a terminal.

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdio>

class TJob;

class TCliProgress : public QObject
{
    Q_OBJECT
public:
    TCliProgress(std::FILE *terminal, const QString &title, QObject *parent = nullptr);
    ~TCliProgress() override;

    // labels: one per item of the job, in its order.
    void watch(TJob &job, const QStringList &labels);
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
    void itemChanged(const TJob &job, int index);
    void setPhase(int index, const QString &phase);
    void draw();
    int terminalWidth() const;

    std::FILE *m_terminal;
    QString m_title;
    QTimer m_timer;
    QStringList m_labels;
    QHash<int, Device> m_running; // by item index
    QList<int> m_order;
    QSet<int> m_ended;
    int m_total = 0;
    int m_finished = 0;
    int m_failed = 0;
    int m_linesDrawn = 0;
};
