#include "soaktable.h"

#include <algorithm>

namespace Soak {

namespace {
// A cell must not break the table: no pipes, no line breaks.
QString cell(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String(" / "));
    text.replace(QLatin1Char('\n'), QLatin1String(" / "));
    text.replace(QLatin1Char('\r'), QLatin1String(" / "));
    text.replace(QLatin1Char('|'), QLatin1String("\\|"));
    return text;
}

QString number(qint64 value)
{
    return value < 0 ? QStringLiteral("-") : QString::number(value);
}
} // namespace

double slope(const QList<qint64> &values)
{
    const qsizetype n = values.size();
    if (n < 2)
        return 0;
    double meanX = 0;
    double meanY = 0;
    for (qsizetype i = 0; i < n; ++i) {
        meanX += double(i);
        meanY += double(values.at(i));
    }
    meanX /= double(n);
    meanY /= double(n);
    double covariance = 0;
    double variance = 0;
    for (qsizetype i = 0; i < n; ++i) {
        covariance += (double(i) - meanX) * (double(values.at(i)) - meanY);
        variance += (double(i) - meanX) * (double(i) - meanX);
    }
    return covariance / variance;
}

void Results::notRun(const QString &operation, const QString &fault, const QString &why)
{
    CaseRow row;
    row.operation = operation;
    row.fault = fault;
    row.outcome = QStringLiteral("not run: ") + why;
    m_cases << row;
}

qint64 Results::longestGapMs() const
{
    qint64 longest = -1;
    for (const CaseRow &row : m_cases)
        longest = std::max(longest, row.gapMs);
    for (const MemoryRow &row : m_memory)
        longest = std::max(longest, row.gapMs);
    return longest;
}

QString Results::markdown(const QString &command, qint64 boundMs, qint64 heapBoundKiB, qint64 residentBoundKiB) const
{
    QStringList out;
    out << QStringLiteral("Command: `%1`").arg(command) << QString();
    out << QStringLiteral("| operation | fault | outcome | data | device put back | longest GUI gap (ms) | time (ms) |")
        << QStringLiteral("|---|---|---|---|---|---:|---:|");
    int violations = 0;
    for (const CaseRow &row : m_cases) {
        QString outcome = row.outcome;
        if (!row.violations.isEmpty()) {
            outcome = QStringLiteral("**VIOLATION** (%1); %2").arg(row.violations.join(QStringLiteral("; ")), outcome);
            ++violations;
        }
        out << QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 |")
                   .arg(cell(row.operation), cell(row.fault), cell(outcome), cell(row.data), cell(row.putBack),
                        number(row.gapMs), number(row.timeMs));
    }
    out << QString();
    out << QStringLiteral("Memory: the process's resident size (VmRSS) before two warm-up repetitions, then "
                          "after each repetition, and the allocator's bytes in use (mallinfo2) after each "
                          "repetition. Growth is the least-squares slope over the second half of the "
                          "repetitions; bounds: %1 KiB per repetition for the heap, %2 KiB for the resident "
                          "size, which moves in steps of whole pages:")
               .arg(heapBoundKiB)
               .arg(residentBoundKiB)
        << QString();
    out << QStringLiteral("| operation | repetitions | RSS before warm-up (KiB) | RSS first (KiB) | RSS last (KiB) | RSS growth per repetition (KiB) | heap in use first (KiB) | heap in use last (KiB) | heap growth per repetition (KiB) | longest GUI gap (ms) | time (ms) |")
        << QStringLiteral("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|");
    for (const MemoryRow &row : m_memory) {
        QString name = row.operation;
        if (!row.violations.isEmpty()) {
            name = QStringLiteral("**VIOLATION** (%1); %2").arg(row.violations.join(QStringLiteral("; ")), name);
            ++violations;
        }
        out << QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 | %8 | %9 | %10 | %11 |")
                   .arg(cell(name))
                   .arg(row.repetitions)
                   .arg(number(row.beforeKiB), number(row.firstKiB), number(row.lastKiB))
                   .arg(row.growthKiBPerRepetition, 0, 'f', 1)
                   .arg(number(row.heapFirstKiB), number(row.heapLastKiB))
                   .arg(row.heapGrowthKiBPerRepetition, 0, 'f', 2)
                   .arg(number(row.gapMs), number(row.timeMs));
    }
    out << QString();
    out << QStringLiteral("Longest GUI gap of the whole run: %1 ms (bound: %2 ms). Violations: %3.")
               .arg(number(longestGapMs()))
               .arg(boundMs)
               .arg(violations);
    return out.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

} // namespace Soak
