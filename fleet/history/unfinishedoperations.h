#pragma once
// Operations that started on a device and never ended: the program was killed, the PC lost power
// or the program crashed while it worked on a device, which may then be left with its updater on
// or its daemon stopped. They are the history's "started" lines that neither an end nor an
// acknowledgement with the same id follows; a start of the window lists them once.

#include "fleet/history/operationjournal.h"

#include <QJsonObject>

namespace UnfinishedOperations {

// The outcome of an operation's first line, and of the line that marks it as seen.
inline const QString Started = QStringLiteral("started");
inline const QString Acknowledged = QStringLiteral("acknowledged");

// The recent part of a history, for a reader that looks at its last lines only (several thousand
// operations). read() is not one: it looks through the whole history.
constexpr qint64 TailBytes = 4 * 1024 * 1024;

// The "started" entries of entries that no later entry with the same id follows, oldest first.
QList<TJournalEntry> find(const QList<TJournalEntry> &entries);
// The same, from the whole history read as a stream: an operation that never ended years ago is
// found too, in the memory of the operations still open.
QList<TJournalEntry> read(const TOperationJournal &journal, int *skippedLines = nullptr);

// "198.18.1.5: Controller upgrade started 14:02, never finished: the device may be left with its
// updater on" (the date too when it is not today's).
QString describe(const TJournalEntry &started, const QDate &today = QDate::currentDate());
// The line that marks an unfinished operation as seen by the technician.
TJournalEntry acknowledgement(const TJournalEntry &started, const QDateTime &when);
// Appends an acknowledgement of each; false with the reason at the first that cannot be written.
bool acknowledge(const TOperationJournal &journal, const QList<TJournalEntry> &unfinished, QString *error = nullptr);

// tarvino-cli history --unfinished --json: one object per operation.
QJsonObject toJson(const TJournalEntry &started);

} // namespace UnfinishedOperations
