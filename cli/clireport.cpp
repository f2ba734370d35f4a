#include "cli/clireport.h"

#include "fleet/devicefields.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>

#include "protocol/wire.h"

namespace {
// A message of the window keeps its line breaks in JSON; a table row gets it on one line.
QString oneLine(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String(" "));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.simplified();
}

// A message in JSON: one line, its lines joined with "; ".
QString jsonMessage(const QString &text)
{
    QStringList lines;
    for (const QString &line : QString(text).replace(QLatin1String("\r\n"), QLatin1String("\n")).split(QLatin1Char('\n')))
        if (!line.trimmed().isEmpty())
            lines << line.trimmed();
    return lines.join(QLatin1String("; ")).remove(QLatin1Char('\r'));
}

QString doneText(const TCliResult &result)
{
    // The DropBear command is a toggle: its acknowledgement tells no state.
    QString text = result.operation == QLatin1String("SetDropBear")
                       ? QStringLiteral("SSH toggled; the device does not report whether it is now on or off")
                       : result.operation;
    if (result.attempts > 1)
        text += QStringLiteral(", acknowledged at attempt %1").arg(result.attempts);
    if (result.bytes >= 0 && !result.file.isEmpty())
        text += QStringLiteral(", %1 (%2)").arg(result.file, SizeText(result.bytes));
    else if (result.bytes >= 0)
        text += QStringLiteral(", %1").arg(SizeText(result.bytes));
    return text;
}
} // namespace

QString SizeText(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeIecFormat);
}

QString TCliResult::resultWord() const
{
    if (succeeded())
        return QStringLiteral("succeeded");
    if (outcome.declined)
        return QStringLiteral("declined");
    if (outcome.cancelled)
        return QStringLiteral("cancelled");
    if (outcome.kind == TOperationError::Busy)
        return QStringLiteral("busy");
    return QStringLiteral("failed");
}

QString TCliResult::message() const
{
    if (succeeded())
        return {};
    if (!saveError.isEmpty())
        return saveError;
    if (!outcome.message.isEmpty())
        return CliFailureMessage(operation, outcome.message);
    if (outcome.error)
        return outcome.errorText();
    if (outcome.declined)
        return QStringLiteral("Declined: nothing was sent.");
    if (outcome.cancelled)
        return QStringLiteral("Cancelled.");
    return QStringLiteral("%1 failed.").arg(outcome.failedStep.isEmpty() ? operation : outcome.failedStep);
}

TCliResult JobItemResult(const TJobItemStatus &status, const TCliDevice &device, const QString &operation)
{
    TCliResult result{device, operation, status.outcome, {}, {}, -1, {}, -1};
    TOperationOutcome &outcome = result.outcome;
    auto failWith = [&](TOperationError kind) {
        outcome.succeeded = false;
        if (outcome.kind == TOperationError::None)
            outcome.kind = kind;
        if (!status.message.isEmpty())
            outcome.message = status.message;
    };
    switch (status.state) {
    case TJobItemStatus::Done:
        outcome.succeeded = true;
        if (status.warning && !status.message.isEmpty() && !outcome.notes.contains(status.message))
            outcome.notes << status.message;
        break;
    case TJobItemStatus::Unconfirmed:
        // The image went through, but the device was not seen to come back: not a success.
        outcome.succeeded = false;
        outcome.kind = TOperationError::NotResponding;
        outcome.message = status.message;
        break;
    case TJobItemStatus::LeftAlone: failWith(TOperationError::Cancelled); break;
    case TJobItemStatus::Busy: failWith(TOperationError::Busy); break;
    case TJobItemStatus::Failed:
        outcome.succeeded = false;
        if (outcome.message.isEmpty())
            outcome.message = status.message;
        break;
    case TJobItemStatus::Queued:
    case TJobItemStatus::Running:
    case TJobItemStatus::Confirming:
    case TJobItemStatus::Cancelled:
        outcome.succeeded = false;
        outcome.cancelled = true;
        if (outcome.kind == TOperationError::None) { // its operation never ran
            outcome.kind = TOperationError::Cancelled;
            outcome.message = QStringLiteral("Not started: interrupted.");
        }
        break;
    }
    if (status.attempts >= 0)
        result.attempts = status.attempts;
    if (!status.sentSha256.isEmpty())
        result.sha256 = status.sentSha256;
    return result;
}

namespace {
// The error kind of a failed result: a file that could not be stored is the PC's file, whatever the
// device did.
QString errorKey(const TCliResult &result)
{
    if (!result.saveError.isEmpty())
        return ErrorKindKey(TOperationError::FileError);
    if (result.outcome.kind != TOperationError::None)
        return ErrorKindKey(result.outcome.kind);
    return ErrorKindKey(result.outcome.cancelled ? TOperationError::Cancelled : TOperationError::NotResponding);
}
} // namespace

QString CliJsonLine(QJsonObject object)
{
    object.insert(QStringLiteral("schema"), CliJsonSchemaVersion);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
}

QString CliFailureMessage(const QString &operation, const QString &windowMessage)
{
    // The window's log operations share the configuration read's message.
    if (windowMessage == u"Read Config Failed") {
        if (operation == u"Erase logs")
            return QStringLiteral("Erase Logs Failed");
        if (operation == u"Read logs")
            return QStringLiteral("Read Logs Failed");
    }
    return windowMessage;
}

QString EscapeControls(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\\'))
            escaped += QLatin1String("\\\\");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7F || (c.unicode() >= 0x80 && c.unicode() < 0xA0))
            escaped += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    return escaped;
}

QString TerminalText(const QString &text)
{
    QString safe;
    safe.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u != u'\n' && (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0)))
            safe += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            safe += c;
    }
    return safe;
}

QString ActionText(const TCliRequest &request)
{
    switch (request.verb->verb) {
    case Verb::Ssh: return QStringLiteral("switch the SSH server over on");
    case Verb::Command: {
        for (const Wire::CommandInfo &info : Wire::Commands)
            if (info.command == request.command)
                return QStringLiteral("send %1 to").arg(QLatin1String(info.name));
        return QStringLiteral("send the command to");
    }
    case Verb::UpgradeBoard: return QStringLiteral("upgrade the communication board of");
    case Verb::UpgradeController: return QStringLiteral("upgrade the controller of");
    case Verb::ConfigPut: return QStringLiteral("write the configuration of");
    case Verb::LogsErase: return QStringLiteral("erase the logs of");
    case Verb::Reset: return QStringLiteral("reset");
    default: return QStringLiteral("%1 on").arg(QLatin1String(request.verb->name));
    }
}

QJsonObject PlanJson(const TCliDevice &device, const QString &verbName, const QString &action, const QString &file)
{
    QJsonObject object{
        {QStringLiteral("ip"), device.target.ip},
        {QStringLiteral("mac"), device.record ? QJsonValue(CanonicalMacText(device.record->Mac)) : QJsonValue()},
        {QStringLiteral("name"), device.record ? QJsonValue(device.record->Params.text(Wire::Param::Name)) : QJsonValue()},
        {QStringLiteral("verb"), verbName},
        {QStringLiteral("action"), action},
        {QStringLiteral("dryRun"), true},
    };
    if (!file.isEmpty())
        object.insert(QStringLiteral("file"), file);
    return object;
}

QString PlanTable(const QList<TCliDevice> &devices, const QString &action)
{
    QList<QStringList> rows{{QStringLiteral("DEVICE"), QStringLiteral("NAME"), QStringLiteral("WOULD")}};
    for (const TCliDevice &device : devices) {
        const QString name = device.record ? device.record->Params.text(Wire::Param::Name) : QString();
        rows << QStringList{device.target.ip, name.isEmpty() ? QStringLiteral("-") : EscapeControls(name), action};
    }
    return AlignedTable(rows)
         + QStringLiteral("%1 device%2; nothing was sent (--dry-run).\n")
               .arg(devices.size())
               .arg(devices.size() == 1 ? QString() : QStringLiteral("s"));
}

QJsonObject ResultJson(const TCliResult &result, const QString &verbName)
{
    QJsonObject object{
        {QStringLiteral("ip"), result.device.target.ip},
        {QStringLiteral("mac"), result.device.record ? QJsonValue(CanonicalMacText(result.device.record->Mac)) : QJsonValue()},
        {QStringLiteral("name"), result.device.record ? QJsonValue(result.device.record->Params.text(Wire::Param::Name))
                                                      : QJsonValue()},
        {QStringLiteral("verb"), verbName},
        {QStringLiteral("operation"), result.operation},
        {QStringLiteral("result"), result.resultWord()},
        {QStringLiteral("failedStep"), result.outcome.failedStep},
        {QStringLiteral("message"), jsonMessage(result.message())},
        {QStringLiteral("detail"), jsonMessage(result.outcome.detail)},
        {QStringLiteral("deviceState"), result.outcome.device.normal() ? QString() : result.outcome.device.text()},
        // The kind of failure, for scripts that branch on it; null on success.
        {QStringLiteral("error"), result.succeeded() ? QJsonValue() : QJsonValue(errorKey(result))},
    };
    // The error's own text, when the message the window shows is another one.
    if (result.outcome.error && !result.outcome.message.isEmpty()) {
        const QString error = result.outcome.errorText();
        object.insert(QStringLiteral("detail"), jsonMessage(result.outcome.detail.isEmpty() ? error
                                                                                : result.outcome.detail + QStringLiteral("; ") + error));
    }
    if (!result.file.isEmpty())
        object.insert(QStringLiteral("file"), result.file);
    if (result.bytes >= 0)
        object.insert(QStringLiteral("bytes"), result.bytes);
    if (!result.sha256.isEmpty())
        object.insert(QStringLiteral("sha256"), result.sha256);
    if (result.attempts >= 0)
        object.insert(QStringLiteral("attempts"), result.attempts);
    if (!result.outcome.notes.isEmpty())
        object.insert(QStringLiteral("notes"), QJsonArray::fromStringList(result.outcome.notes));
    return object;
}

QString AlignedTable(const QList<QStringList> &rows)
{
    QList<qsizetype> widths;
    for (const QStringList &row : rows)
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (widths.size() <= i)
                widths << 0;
            widths[i] = std::max(widths[i], row.at(i).size());
        }
    QString text;
    for (const QStringList &row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row.at(i).leftJustified(widths.at(i) + 2) : row.at(i);
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        text += line + QLatin1Char('\n');
    }
    return text;
}

QString ResultTable(const QList<TCliResult> &results)
{
    QList<QStringList> rows{{QStringLiteral("DEVICE"), QStringLiteral("NAME"), QStringLiteral("RESULT"), QString()}};
    qsizetype failed = 0, cancelled = 0, declined = 0;
    for (const TCliResult &result : results) {
        const QString name = result.device.record ? result.device.record->Params.text(Wire::Param::Name) : QString();
        QString what = result.succeeded() ? doneText(result) : oneLine(result.message());
        // The window's message names the operation; the step tells where it stopped.
        if (!result.succeeded() && !result.outcome.failedStep.isEmpty() && !what.contains(result.outcome.failedStep))
            what += QStringLiteral(" (at %1)").arg(result.outcome.failedStep);
        if (!result.succeeded() && !result.outcome.device.normal())
            what += QStringLiteral(" [%1]").arg(result.outcome.device.text());
        rows << QStringList{result.device.target.ip, name.isEmpty() ? QStringLiteral("-") : EscapeControls(name),
                            result.succeeded() ? QStringLiteral("ok") : result.resultWord().toUpper(), EscapeControls(what)};
        // A cancel and a refusal at the prompt are no device's failure: counted apart.
        if (result.outcome.declined)
            ++declined;
        else if (result.outcome.cancelled)
            ++cancelled;
        else if (!result.succeeded())
            ++failed;
    }
    QString text = AlignedTable(rows);
    text += QStringLiteral("%1 device%2: %3 succeeded, %4 failed")
                .arg(results.size())
                .arg(results.size() == 1 ? QString() : QStringLiteral("s"))
                .arg(results.size() - failed - cancelled - declined)
                .arg(failed);
    if (cancelled > 0)
        text += QStringLiteral(", %1 cancelled").arg(cancelled);
    if (declined > 0)
        text += QStringLiteral(", %1 declined").arg(declined);
    return text + QLatin1Char('\n');
}

QString DeviceTable(const QList<TDeviceRecord> &devices)
{
    QList<QStringList> rows;
    QStringList header;
    for (const TDeviceField &field : DeviceFields())
        if (field.inGrid)
            header << QLatin1String(field.header);
    rows << header;
    for (const TDeviceRecord &device : devices) {
        QStringList row;
        for (const TDeviceField &field : DeviceFields())
            if (field.inGrid)
                row << EscapeControls(field.text(device));
        rows << row;
    }
    return AlignedTable(rows);
}

QString DeviceDetails(const TDeviceRecord &device)
{
    QList<QStringList> rows;
    for (const TDeviceField &field : DeviceFields())
        rows << QStringList{QLatin1String(field.header) + QLatin1Char(':'), EscapeControls(field.text(device))};
    return AlignedTable(rows);
}
