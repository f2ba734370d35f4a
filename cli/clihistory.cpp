#include "cli/clihistory.h"

#include "cli/clireport.h"
#include "fleet/history/unfinishedoperations.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {
QString jsonLine(const QJsonObject &object)
{
    return CliJsonLine(object); // with its "schema", as every line of --json
}

QString timeText(const QDateTime &when)
{
    return when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// Columns as wide as their widest cell, two spaces apart.
QString table(const QStringList &headers, const QList<QStringList> &rows)
{
    QList<qsizetype> widths;
    for (const QString &header : headers)
        widths << header.size();
    for (const QStringList &row : rows)
        for (qsizetype column = 0; column < row.size() && column < widths.size(); ++column)
            widths[column] = std::max(widths[column], row.at(column).size());
    auto line = [&widths](const QStringList &cells) {
        QString text;
        for (qsizetype column = 0; column < cells.size(); ++column)
            text += column + 1 == cells.size() ? cells.at(column) : cells.at(column).leftJustified(widths.at(column) + 2);
        while (text.endsWith(QLatin1Char(' '))) // an empty last cell leaves no trailing spaces
            text.chop(1);
        return text + QLatin1Char('\n');
    };
    QString text = line(headers);
    for (const QStringList &row : rows)
        text += line(row);
    return text;
}

QJsonObject entryJson(const TJournalEntry &entry)
{
    QJsonObject object{{QStringLiteral("format"), 1},
                       {QStringLiteral("when"), entry.when.toOffsetFromUtc(entry.when.offsetFromUtc()).toString(Qt::ISODateWithMs)}};
    const std::pair<const char *, const QString *> fields[] = {
        {"ip", &entry.ip},           {"mac", &entry.mac},         {"name", &entry.name},
        {"operation", &entry.operation}, {"file", &entry.file}, {"sha256", &entry.fileSha256},
        {"outcome", &entry.outcome}, {"message", &entry.message}, {"detail", &entry.detail},
        {"id", &entry.id}};
    for (const auto &[key, value] : fields)
        object.insert(QLatin1String(key), value->isEmpty() ? QJsonValue() : QJsonValue(*value));
    return object;
}
} // namespace

QString HistoryText(const TCliRequest &request, const TOperationJournal &journal)
{
    QString text;
    QList<QStringList> rows;
    if (request.unfinished) {
        const QList<TJournalEntry> unfinished = UnfinishedOperations::read(journal);
        for (const TJournalEntry &entry : unfinished) {
            if (request.json)
                text += jsonLine(UnfinishedOperations::toJson(entry));
            else
                rows << QStringList{timeText(entry.when), entry.ip, entry.mac, entry.operation, entry.file,
                                    UnfinishedOperations::describe(entry).section(QStringLiteral(": "), -1)};
        }
        if (request.json)
            return text;
        if (rows.isEmpty())
            return QStringLiteral("No operation was left unfinished.\n");
        return table({QStringLiteral("Started"), QStringLiteral("IP"), QStringLiteral("MAC"), QStringLiteral("Operation"),
                      QStringLiteral("File"), QStringLiteral("Note")},
                     rows);
    }
    for (const TJournalEntry &entry : journal.read()) {
        if (request.json)
            text += jsonLine(entryJson(entry));
        else
            rows << QStringList{timeText(entry.when), entry.ip, entry.mac, entry.operation, entry.outcome,
                                entry.message.section(QStringLiteral("\r\n"), 0, 0)};
    }
    if (request.json || rows.isEmpty())
        return text;
    return table({QStringLiteral("When"), QStringLiteral("IP"), QStringLiteral("MAC"), QStringLiteral("Operation"),
                  QStringLiteral("Outcome"), QStringLiteral("Message")},
                 rows);
}

int RunHistory(const TCliRequest &request, const TOperationJournal &journal, std::FILE *out, std::FILE *err)
{
    const QByteArray bytes = HistoryText(request, journal).toUtf8();
    // A script reading a full disk or a closed pipe learns it from the exit status.
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out) != size_t(bytes.size()) || std::fflush(out) != 0) {
        std::fputs("tarvino-cli: the history cannot be written to standard output\n", err);
        return ExitStatus::Environment;
    }
    return 0;
}
