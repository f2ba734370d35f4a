#pragma once
// What the soak found, case by case, as Markdown tables.

#include <QList>
#include <QString>
#include <QStringList>

namespace Soak {

struct CaseRow
{
    QString operation;
    QString fault;
    QString outcome;  // succeeded, or failed with the message shown / silently by design
    QString data;     // what the device or the window holds against what it should
    QString putBack;  // the device's services and controller after the operation
    qint64 gapMs = -1;
    qint64 timeMs = -1;
    QStringList violations; // empty when the case behaved
};

struct MemoryRow
{
    QString operation;
    int repetitions = 0;
    qint64 beforeKiB = -1; // before the warm-up repetitions
    qint64 firstKiB = -1;
    qint64 lastKiB = -1;
    double growthKiBPerRepetition = 0; // least squares over the second half of the repetitions
    qint64 heapFirstKiB = -1;
    qint64 heapLastKiB = -1;
    double heapGrowthKiBPerRepetition = 0;
    qint64 gapMs = -1;
    qint64 timeMs = -1;
    QStringList violations;
};

class Results
{
public:
    void add(const CaseRow &row) { m_cases << row; }
    void add(const MemoryRow &row) { m_memory << row; }
    void notRun(const QString &operation, const QString &fault, const QString &why);

    QString markdown(const QString &command, qint64 boundMs, qint64 heapBoundKiB, qint64 residentBoundKiB) const;
    qint64 longestGapMs() const;

private:
    QList<CaseRow> m_cases;
    QList<MemoryRow> m_memory;
};

// Least-squares slope of the values against their index (0 for fewer than two).
double slope(const QList<qint64> &values);

} // namespace Soak
