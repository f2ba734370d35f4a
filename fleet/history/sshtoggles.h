#pragma once
// How often this PC toggled each device's SSH server (DropBear), from the operation history. The
// device does not report whether its SSH server is on, so the history is all there is to tell:
// read once for a whole list of devices, never once per device.

#include "fleet/history/operationjournal.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

// The history's name of the toggle: the title of the DropBear command operation.
inline const QString SshToggleOperation = QStringLiteral("SetDropBear");

class TSshToggleHistory
{
public:
    struct Count
    {
        int toggles = 0;
        QDateTime since; // the first acknowledged toggle
    };

    // Counts the acknowledged toggles of the entries, by device.
    static TSshToggleHistory fromEntries(const QList<TJournalEntry> &entries);
    static TSshToggleHistory fromJournal(const TOperationJournal &journal) { return fromEntries(journal.read()); }

    // The device's count, by MAC address when it is known (an address can move to another
    // device), by IP address otherwise.
    Count of(quint64 mac, const QString &ip) const;
    // "SSH toggled 3 times since 2026-12-01 by this PC"; empty when it never was.
    static QString text(const Count &count);

private:
    QHash<QString, Count> m_byKey;
};
