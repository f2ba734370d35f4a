#include "fleet/history/operationrecord.h"

#include "operations/boardupgrade.h"
#include "operations/controlleroperations.h"
#include "fleet/history/configurationstore.h"
#include "fleet/devicefields.h"
#include "protocol/sha256text.h"

#include <QUuid>

bool IsJournaled(const TDeviceOperation &operation)
{
    // A scan, a search, a sweep or a network check has no device of its own: a line of it would
    // name no address and read as a device that is not there.
    return operation.worksOnDevice();
}

const QByteArray *ConfigurationTextOf(const TDeviceOperation &operation)
{
    if (!operation.outcome().succeeded)
        return nullptr;
    if (const auto *write = qobject_cast<const TWriteConfig *>(&operation))
        return &write->text();
    const auto *read = qobject_cast<const TReadControllerText *>(&operation);
    if (read && read->kind() == TReadControllerText::Kind::Configuration)
        return &read->text();
    return nullptr;
}

namespace {
// What the start and the end of an operation both say: now, the device, the operation, its file.
TJournalEntry entryAbout(const TDeviceOperation &operation, const TDeviceRecord *device)
{
    TJournalEntry entry;
    entry.when = QDateTime::currentDateTime();
    entry.ip = operation.target().ip;
    if (device) {
        entry.mac = CanonicalMacText(device->Mac);
        entry.name = device->Params.text(Wire::Param::Name);
        entry.firmwareVersion = device->Params.text(Wire::Param::FirmwareVersion);
    }
    entry.operation = operation.title();
    if (const auto *upgrade = qobject_cast<const TControllerUpgrade *>(&operation)) {
        entry.file = upgrade->fileName();
        entry.imageVersion = upgrade->image().libraryVersion();
    } else if (const auto *board = qobject_cast<const TBoardUpgrade *>(&operation)) {
        entry.file = board->fileName();
        entry.imageVersion = board->image().libraryVersion();
    }
    return entry;
}
} // namespace

TJournalEntry JournalEntryFor(const TDeviceOperation &operation, const TDeviceRecord *device)
{
    const TOperationOutcome &outcome = operation.outcome();
    TJournalEntry entry = entryAbout(operation, device);
    entry.fileSha256 = outcome.sentSha256;
    // A configuration read is named by its text's SHA-256, as a write is: the store keeps both.
    if (const QByteArray *text = ConfigurationTextOf(operation); text && entry.fileSha256.isEmpty())
        entry.fileSha256 = Sha256Text(*text);
    if (!outcome.succeeded && !outcome.device.normal())
        entry.deviceState = outcome.device.text();
    entry.outcome = outcome.succeeded ? QStringLiteral("succeeded")
                  : outcome.declined  ? QStringLiteral("declined")
                  : outcome.cancelled ? QStringLiteral("cancelled")
                                      : QStringLiteral("failed");
    entry.message = outcome.succeeded ? QString() : outcome.failureText();
    QStringList detail;
    if (!outcome.failedStep.isEmpty())
        detail << QStringLiteral("at %1").arg(outcome.failedStep);
    if (!outcome.detail.isEmpty())
        detail << outcome.detail;
    detail << outcome.notes;
    entry.detail = detail.join(QStringLiteral("; "));
    return entry;
}

TJournalEntry StartedEntryFor(const TDeviceOperation &operation, const TDeviceRecord *device, const QString &id)
{
    TJournalEntry entry = entryAbout(operation, device);
    entry.fileSha256 = operation.payloadSha256();
    entry.outcome = QStringLiteral("started");
    entry.id = id;
    return entry;
}

TOperationRecorder::TOperationRecorder(const TOperationJournal &journal, DeviceLookup lookup, FailureSink failed)
    : m_journal(journal), m_lookup(std::move(lookup)), m_failed(std::move(failed))
{
}

TOperationRecorder::~TOperationRecorder()
{
    if (!m_installed)
        return;
    SetOperationStartObserver({});
    SetOperationObserver({});
}

void TOperationRecorder::install()
{
    m_installed = true;
    SetOperationStartObserver([this](const TDeviceOperation &operation) { started(operation); });
    SetOperationObserver([this](const TDeviceOperation &operation) { finished(operation); });
}

void TOperationRecorder::started(const TDeviceOperation &operation)
{
    if (!IsJournaled(operation))
        return;
    // Unique across the programs that share the history.
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_ids.insert(&operation, id);
    append(StartedEntryFor(operation, m_lookup ? m_lookup(operation.target().ip) : nullptr, id));
}

void TOperationRecorder::finished(const TDeviceOperation &operation)
{
    if (!IsJournaled(operation))
        return;
    TJournalEntry entry = JournalEntryFor(operation, m_lookup ? m_lookup(operation.target().ip) : nullptr);
    entry.id = m_ids.take(&operation);
    // The text before its line: a report that reads the line finds the text.
    if (const QByteArray *text = ConfigurationTextOf(operation)) {
        QString error;
        if (TConfigurationStore::besideJournal(m_journal.path()).put(*text, &error).isEmpty() && m_failed)
            m_failed(error);
    }
    append(entry);
}

void TOperationRecorder::append(const TJournalEntry &entry)
{
    QString error;
    if (!m_journal.append(entry, &error) && m_failed)
        m_failed(error);
}
