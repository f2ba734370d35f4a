#pragma once
// An operation's line in the history: who, what, with which file, and how it ended.

#include "fleet/history/operationjournal.h"
#include "protocol/devicerecord.h"

#include <QHash>

#include <functional>

class TDeviceOperation;

// Whether an operation belongs in the history: those that work on a device do; those that only ask
// and listen (a scan, a search, a sweep, a network check) do not.
bool IsJournaled(const TDeviceOperation &operation);
// The configuration text a finished operation read from its device or wrote to it; null when it
// did neither or failed.
const QByteArray *ConfigurationTextOf(const TDeviceOperation &operation);
// The entry of a finished operation; device, when known, gives the MAC address and the name.
TJournalEntry JournalEntryFor(const TDeviceOperation &operation, const TDeviceRecord *device);
// The "started" entry of an operation about to send its first request: the image's SHA-256 when
// the operation tells it, and the id its end will carry.
TJournalEntry StartedEntryFor(const TDeviceOperation &operation, const TDeviceRecord *device, const QString &id);

// TOperationRecorder: the history of a program's operations, "started" before the first request
// of an operation that works on its device and the end after its last, paired by one id, so that
// an operation cut short by a crash is found at the next start. install() makes it the process's
// operation observers; its destructor removes them.
class TOperationRecorder
{
public:
    // The device record of an address, when the program knows it (for the MAC address and name).
    using DeviceLookup = std::function<const TDeviceRecord *(const QString &ip)>;
    // Told of each line that cannot be written, with the reason.
    using FailureSink = std::function<void(const QString &error)>;

    TOperationRecorder(const TOperationJournal &journal, DeviceLookup lookup, FailureSink failed);
    ~TOperationRecorder();
    TOperationRecorder(const TOperationRecorder &) = delete;
    TOperationRecorder &operator=(const TOperationRecorder &) = delete;

    void install();
    void started(const TDeviceOperation &operation);
    void finished(const TDeviceOperation &operation);

private:
    void append(const TJournalEntry &entry);

    const TOperationJournal &m_journal;
    DeviceLookup m_lookup;
    FailureSink m_failed;
    QHash<const TDeviceOperation *, QString> m_ids; // the operations started and not yet ended
    bool m_installed = false;
};
