#include "operationrecord.h"

#include "boardupgrade.h"
#include "commandoperations.h"
#include "controlleroperations.h"
#include "devicefields.h"

bool IsJournaled(const TDeviceOperation &operation)
{
    return !qobject_cast<const TScanDevices *>(&operation) && !qobject_cast<const TSearchDevice *>(&operation);
}

TJournalEntry JournalEntryFor(const TDeviceOperation &operation, const TEPS *device)
{
    const TOperationOutcome &outcome = operation.outcome();
    TJournalEntry entry;
    entry.when = QDateTime::currentDateTime();
    entry.ip = operation.target().ip;
    if (device) {
        entry.mac = MacText(device->Mac);
        entry.name = device->Params.text(Wire::Param::Name);
    }
    entry.operation = operation.title();
    if (const auto *upgrade = qobject_cast<const TControllerUpgrade *>(&operation))
        entry.file = upgrade->fileName();
    else if (const auto *board = qobject_cast<const TBoardUpgrade *>(&operation))
        entry.file = board->fileName();
    entry.fileSha256 = outcome.sentSha256;
    entry.outcome = outcome.succeeded ? QStringLiteral("succeeded")
                  : outcome.declined  ? QStringLiteral("declined")
                  : outcome.cancelled ? QStringLiteral("cancelled")
                                      : QStringLiteral("failed");
    entry.message = outcome.succeeded ? QString() : outcome.message.isEmpty() ? outcome.errorText() : outcome.message;
    QStringList detail;
    if (!outcome.failedStep.isEmpty())
        detail << QStringLiteral("at %1").arg(outcome.failedStep);
    if (!outcome.detail.isEmpty())
        detail << outcome.detail;
    detail << outcome.notes;
    entry.detail = detail.join(QStringLiteral("; "));
    return entry;
}
