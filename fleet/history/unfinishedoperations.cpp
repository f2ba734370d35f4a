#include "fleet/history/unfinishedoperations.h"

#include <QHash>
#include <QSet>

#include <map>

namespace UnfinishedOperations {

QList<TJournalEntry> find(const QList<TJournalEntry> &entries)
{
    // One pass from the newest: an id seen with any later line is settled.
    QSet<QString> settled;
    QList<TJournalEntry> unfinished;
    for (auto it = entries.crbegin(); it != entries.crend(); ++it) {
        if (it->id.isEmpty())
            continue;
        if (it->outcome == Started && !settled.contains(it->id))
            unfinished.prepend(*it);
        settled.insert(it->id);
    }
    return unfinished;
}

QList<TJournalEntry> read(const TOperationJournal &journal, int *skippedLines)
{
    // One pass from the oldest keeps only the operations still open: a handful, however long the
    // history. The order of their starts is kept by the number of the line they started on.
    QHash<QString, qint64> openLineOf;
    std::map<qint64, TJournalEntry> openByLine;
    qint64 lineNumber = 0;
    journal.forEach(
        [&](const TJournalEntry &entry) {
            ++lineNumber;
            if (entry.id.isEmpty())
                return true;
            if (const auto earlier = openLineOf.constFind(entry.id); earlier != openLineOf.cend())
                openByLine.erase(*earlier);
            openLineOf.remove(entry.id);
            if (entry.outcome == Started) {
                openLineOf.insert(entry.id, lineNumber);
                openByLine.emplace(lineNumber, entry);
            }
            return true;
        },
        {}, skippedLines);
    QList<TJournalEntry> unfinished;
    unfinished.reserve(qsizetype(openByLine.size()));
    for (const auto &open : openByLine)
        unfinished.append(open.second);
    return unfinished;
}

namespace {
// What an operation cut short may have left on the device, by what it was doing.
QString leftWith(const QString &operation)
{
    if (operation == u"Controller upgrade" || operation == u"Write configuration")
        return QStringLiteral("the device may be left with its updater on");
    if (operation == u"Communication board upgrade")
        return QStringLiteral("the device may be left with its daemon stopped and its FTP server on");
    return QStringLiteral("the device may be left out of normal service");
}
} // namespace

QString describe(const TJournalEntry &started, const QDate &today)
{
    const QDateTime local = started.when.toLocalTime();
    const QString when = local.date() == today ? local.toString(QStringLiteral("HH:mm"))
                                               : local.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    QString device = started.ip;
    if (!started.name.isEmpty())
        device += QStringLiteral(" (%1)").arg(started.name);
    return QStringLiteral("%1: %2 started %3, never finished: %4")
        .arg(device, started.operation, when, leftWith(started.operation));
}

TJournalEntry acknowledgement(const TJournalEntry &started, const QDateTime &when)
{
    TJournalEntry entry;
    entry.when = when;
    entry.mac = started.mac;
    entry.ip = started.ip;
    entry.name = started.name;
    entry.operation = started.operation;
    entry.outcome = Acknowledged;
    entry.detail = QStringLiteral("never finished; seen by the technician");
    entry.id = started.id;
    return entry;
}

bool acknowledge(const TOperationJournal &journal, const QList<TJournalEntry> &unfinished, QString *error)
{
    const QDateTime now = QDateTime::currentDateTime();
    for (const TJournalEntry &started : unfinished)
        if (!journal.append(acknowledgement(started, now), error))
            return false;
    return true;
}

QJsonObject toJson(const TJournalEntry &started)
{
    return {
        {QStringLiteral("format"), 1},
        {QStringLiteral("id"), started.id},
        {QStringLiteral("ip"), started.ip},
        {QStringLiteral("mac"), started.mac.isEmpty() ? QJsonValue() : QJsonValue(started.mac)},
        {QStringLiteral("name"), started.name.isEmpty() ? QJsonValue() : QJsonValue(started.name)},
        {QStringLiteral("operation"), started.operation},
        {QStringLiteral("file"), started.file.isEmpty() ? QJsonValue() : QJsonValue(started.file)},
        {QStringLiteral("sha256"), started.fileSha256.isEmpty() ? QJsonValue() : QJsonValue(started.fileSha256)},
        {QStringLiteral("started"), started.when.toOffsetFromUtc(started.when.offsetFromUtc()).toString(Qt::ISODateWithMs)},
        {QStringLiteral("message"), describe(started)},
    };
}

} // namespace UnfinishedOperations
