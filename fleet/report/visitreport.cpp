#include "fleet/report/visitreport.h"

#include "fleet/history/configurationstore.h"
#include "fleet/devicefields.h"
#include "fleet/history/unfinishedoperations.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <tuple>

namespace {
// The device a line is about: its MAC address when known (any way it was written), else its IP.
QString canonicalMac(const QString &text)
{
    const std::optional<quint64> mac = ParseMacText(text);
    return mac && *mac ? CanonicalMacText(*mac) : QString();
}

QString deviceKey(const QString &mac, const QString &ip)
{
    return mac.isEmpty() ? QStringLiteral("ip:") + ip : mac;
}

// Lines of an operation that had no device (a sweep or a network check, which older histories
// kept) name neither address: they are no device's operation.
bool namesADevice(const QString &mac, const QString &ip)
{
    return !mac.trimmed().isEmpty() || !ip.trimmed().isEmpty();
}

bool inSpan(const QDateTime &when, const TVisitDetails &details)
{
    return (!details.since.isValid() || when >= details.since) && (!details.until.isValid() || when <= details.until);
}

TVisitOperation operationFrom(const TJournalEntry &first)
{
    TVisitOperation operation;
    operation.started = first.when;
    operation.ip = first.ip;
    operation.mac = canonicalMac(first.mac);
    operation.name = first.name;
    operation.operation = first.operation;
    operation.file = first.file;
    operation.sha256 = first.fileSha256;
    operation.versionBefore = first.firmwareVersion;
    operation.imageVersion = first.imageVersion;
    return operation;
}

void takeEnd(TVisitOperation &operation, const TJournalEntry &end)
{
    operation.ended = end.when;
    operation.outcome = end.outcome;
    operation.message = end.message;
    operation.detail = end.detail;
    operation.deviceState = end.deviceState;
    if (!end.fileSha256.isEmpty())
        operation.sha256 = end.fileSha256;
    if (!end.file.isEmpty())
        operation.file = end.file;
    if (!end.name.isEmpty())
        operation.name = end.name;
    if (operation.mac.isEmpty())
        operation.mac = canonicalMac(end.mac);
    if (operation.versionBefore.isEmpty())
        operation.versionBefore = end.firmwareVersion;
    if (!end.imageVersion.isEmpty())
        operation.imageVersion = end.imageVersion;
}

// Every operation of the history, oldest start first: a "started" line and the end with its id
// become one; an end without a start (older lines, no id) stands alone; acknowledgements only
// mark an operation as seen and are not operations.
QList<TVisitOperation> pairLines(const QList<TJournalEntry> &history)
{
    QList<TVisitOperation> operations;
    QHash<QString, qsizetype> openById;
    for (const TJournalEntry &entry : history) {
        if (entry.outcome == UnfinishedOperations::Acknowledged || !namesADevice(entry.mac, entry.ip))
            continue;
        if (entry.outcome == UnfinishedOperations::Started) {
            TVisitOperation operation = operationFrom(entry);
            operation.outcome = QStringLiteral("never finished");
            if (!entry.id.isEmpty())
                openById.insert(entry.id, operations.size());
            operations.append(operation);
            continue;
        }
        if (const auto open = openById.constFind(entry.id); !entry.id.isEmpty() && open != openById.cend()) {
            takeEnd(operations[*open], entry);
            openById.erase(open);
            continue;
        }
        TVisitOperation operation = operationFrom(entry);
        takeEnd(operation, entry);
        operations.append(operation);
    }
    std::stable_sort(operations.begin(), operations.end(),
                     [](const TVisitOperation &a, const TVisitOperation &b) { return a.started < b.started; });
    // A device named by its address alone (tarvino-cli reaches an IP address without a scan) is
    // the device other lines name at that address with its MAC address and name.
    QHash<QString, const TVisitOperation *> knownAt;
    for (const TVisitOperation &operation : std::as_const(operations))
        if (!operation.mac.isEmpty())
            knownAt.insert(operation.ip, &operation);
    QList<std::pair<QString, QString>> filled; // copied first: knownAt points into the list
    for (const TVisitOperation &operation : std::as_const(operations)) {
        const TVisitOperation *known = operation.mac.isEmpty() ? knownAt.value(operation.ip) : nullptr;
        filled.append(known ? std::pair{known->mac, operation.name.isEmpty() ? known->name : operation.name}
                            : std::pair{operation.mac, operation.name});
    }
    for (qsizetype i = 0; i < operations.size(); ++i)
        std::tie(operations[i].mac, operations[i].name) = filled.at(i);
    return operations;
}

bool isConfigurationText(const TVisitOperation &operation)
{
    return operation.outcome == u"succeeded" && !operation.sha256.isEmpty()
        && (operation.operation == u"Read configuration" || operation.operation == u"Write configuration");
}

// The configuration a device held before its write at index: the text of the last read or write
// of the same device before it whose text the store kept.
std::optional<QByteArray> textBefore(const QList<TVisitOperation> &all, qsizetype index, const TConfigurationStore &store)
{
    const QString key = deviceKey(all.at(index).mac, all.at(index).ip);
    for (qsizetype i = index - 1; i >= 0; --i) {
        const TVisitOperation &earlier = all.at(i);
        if (!isConfigurationText(earlier) || deviceKey(earlier.mac, earlier.ip) != key)
            continue;
        if (std::optional<QByteArray> text = store.get(earlier.sha256))
            return text;
    }
    return std::nullopt;
}

TVisitConfigChange configChange(const QList<TVisitOperation> &all, qsizetype index, const TConfigurationStore &store)
{
    const TVisitOperation &write = all.at(index);
    TVisitConfigChange change;
    change.ip = write.ip;
    change.mac = write.mac;
    change.name = write.name;
    change.when = write.ended.isValid() ? write.ended : write.started;
    change.sha256After = write.sha256;
    const std::optional<QByteArray> before = textBefore(all, index, store);
    const std::optional<QByteArray> after = store.get(write.sha256);
    change.beforeKnown = before.has_value();
    change.afterKnown = after.has_value();
    if (!before || !after)
        return change;
    for (const TDiffRow &row : DiffLines(*before, *after)) {
        if (row.kind == TDiffRow::Same)
            continue;
        ++change.differences;
        if (change.rows.size() < TVisitReport::MaxRows)
            change.rows << row;
    }
    return change;
}

bool matchesSiteDevice(const TSiteDevice &expected, const TVisitDevice &seen)
{
    if (expected.mac && !seen.mac.isEmpty())
        return CanonicalMacText(expected.mac) == seen.mac;
    return !expected.ip.isEmpty() && expected.ip == seen.ip;
}
} // namespace

bool TVisitOperation::isUpgrade() const
{
    return operation == u"Controller upgrade" || operation == u"Communication board upgrade";
}

QString TVisitOperation::attentionText() const
{
    if (unfinished())
        return QStringLiteral("never finished: the device may be left out of normal service");
    if (!deviceState.isEmpty())
        return QStringLiteral("left with %1").arg(deviceState);
    if (failed())
        return QStringLiteral("the device was put back");
    return {};
}

QList<TVisitOperation> TVisitReport::needingAttention() const
{
    QList<TVisitOperation> list;
    std::copy_if(operations.begin(), operations.end(), std::back_inserter(list),
                 [](const TVisitOperation &operation) { return operation.needsAttention(); });
    return list;
}

QString TVisitReport::summary() const
{
    QHash<QString, int> counts;
    for (const TVisitOperation &operation : operations)
        ++counts[operation.outcome];
    QStringList parts;
    for (const QString &outcome : {QStringLiteral("succeeded"), QStringLiteral("failed"), QStringLiteral("never finished"),
                                   QStringLiteral("cancelled"), QStringLiteral("declined")})
        if (counts.value(outcome))
            parts << QStringLiteral("%1 %2").arg(counts.value(outcome)).arg(outcome);
    QString text = QStringLiteral("%1 operation%2 on %3 device%4")
                       .arg(operations.size())
                       .arg(operations.size() == 1 ? QString() : QStringLiteral("s"))
                       .arg(devices.size())
                       .arg(devices.size() == 1 ? QString() : QStringLiteral("s"));
    return parts.isEmpty() ? text : text + QStringLiteral(": ") + parts.join(QStringLiteral(", "));
}

TVisitReport CollectVisit(const QList<TJournalEntry> &history, const TVisitDetails &details,
                          const TConfigurationStore &store, const std::optional<QList<TSiteDevice>> &site,
                          const QList<TVisitDevice> &scanned)
{
    TVisitReport report;
    report.details = details;
    const QList<TVisitOperation> all = pairLines(history);

    QHash<QString, qsizetype> deviceIndex;
    for (qsizetype i = 0; i < all.size(); ++i) {
        TVisitOperation operation = all.at(i);
        if (!inSpan(operation.started, details))
            continue;
        const QString key = deviceKey(operation.mac, operation.ip);
        // The version after: what the device reported at its next operation, in the span or later.
        for (qsizetype j = i + 1; j < all.size(); ++j)
            if (deviceKey(all.at(j).mac, all.at(j).ip) == key && !all.at(j).versionBefore.isEmpty()) {
                operation.versionAfter = all.at(j).versionBefore;
                break;
            }
        if (!deviceIndex.contains(key)) {
            deviceIndex.insert(key, report.devices.size());
            report.devices.append({operation.ip, operation.mac, operation.name, {}, 0, 0});
        }
        TVisitDevice &device = report.devices[deviceIndex.value(key)];
        device.ip = operation.ip;
        if (!operation.name.isEmpty())
            device.name = operation.name;
        if (!operation.versionBefore.isEmpty())
            device.firmwareVersion = operation.versionBefore;
        if (!operation.versionAfter.isEmpty())
            device.firmwareVersion = operation.versionAfter;
        ++device.operations;
        if (operation.needsAttention())
            ++device.failures;
        if (operation.operation == u"Write configuration" && operation.outcome == u"succeeded")
            report.configChanges << configChange(all, i, store);
        report.operations << operation;
    }

    // The scan's devices that no operation touched (one the history names by its address alone is
    // the same device).
    for (const TVisitDevice &found : scanned) {
        const QString key = deviceKey(found.mac, found.ip);
        if (!namesADevice(found.mac, found.ip) || deviceIndex.contains(key) || deviceIndex.contains(deviceKey({}, found.ip)))
            continue;
        deviceIndex.insert(key, report.devices.size());
        report.devices.append(found);
    }

    if (site) {
        report.siteCompared = true;
        for (const TSiteDevice &expected : *site)
            if (std::none_of(report.devices.begin(), report.devices.end(),
                             [&](const TVisitDevice &seen) { return matchesSiteDevice(expected, seen); }))
                report.missing << expected;
        for (const TVisitDevice &seen : std::as_const(report.devices))
            if (std::none_of(site->begin(), site->end(),
                             [&](const TSiteDevice &expected) { return matchesSiteDevice(expected, seen); }))
                report.unexpected << seen;
    }
    return report;
}

QDateTime ParseVisitTime(const QString &given, const QDateTime &now)
{
    const QString text = given.trimmed();
    if (text.isEmpty())
        return {};
    if (QDateTime withOffset = QDateTime::fromString(text, Qt::ISODateWithMs);
        withOffset.isValid() && (text.endsWith(QLatin1Char('Z')) || text.contains(QLatin1Char('+')) || text.lastIndexOf(QLatin1Char('-')) > 9))
        return withOffset;
    for (const QString &format : {QStringLiteral("yyyy-MM-ddTHH:mm:ss"), QStringLiteral("yyyy-MM-ddTHH:mm"),
                                  QStringLiteral("yyyy-MM-dd HH:mm:ss"), QStringLiteral("yyyy-MM-dd HH:mm")}) {
        const QDateTime local = QDateTime::fromString(text, format);
        if (local.isValid())
            return local;
    }
    if (const QDate date = QDate::fromString(text, QStringLiteral("yyyy-MM-dd")); date.isValid())
        return date.startOfDay();
    for (const QString &format : {QStringLiteral("HH:mm:ss"), QStringLiteral("HH:mm")})
        if (const QTime time = QTime::fromString(text, format); time.isValid())
            return QDateTime(now.date(), time);
    return {};
}
