#pragma once
// What tarvino-cli prints: device lists and each device's outcome, as tables for a person or as
// JSON for a script.

#include "cli/clitargets.h"
#include "fleet/jobs/job.h"
#include "operations/outcome.h"

#include <QJsonObject>
#include <QList>
#include <QString>

struct TCliResult
{
    TCliDevice device;
    QString operation;         // the operation's title, "Controller upgrade"
    TOperationOutcome outcome;
    QString saveError;         // the device answered, but what it sent could not be stored
    QString file;              // the image sent, or where the text received went
    qint64 bytes = -1;         // of that image or text
    QString sha256;
    int attempts = -1;         // command, ssh

    bool succeeded() const { return outcome.succeeded && saveError.isEmpty(); }
    // succeeded, failed, declined, cancelled
    QString resultWord() const;
    // The failure as the window tells it (its message, else the error's text); empty on success.
    QString message() const;
};

// The outcome of a job's item that has ended, as the command line tells it: an upgrade the device
// did not confirm, a board the job left alone or an item never started all count as failed or
// cancelled with the job's words; a warning of a success (the same firmware) becomes a note.
TCliResult JobItemResult(const TJobItemStatus &status, const TCliDevice &device, const QString &operation);

// The version of the JSON that tarvino-cli writes: every object carries it as "schema".
constexpr int CliJsonSchemaVersion = 1;
// One line of --json: the object with its "schema", compact, and a line end.
QString CliJsonLine(QJsonObject object);

QJsonObject ResultJson(const TCliResult &result, const QString &verbName);
// What a changing verb does to a device, as its prompt and --dry-run tell it: "reset",
// "erase the logs of".
QString ActionText(const TCliRequest &request);
// --dry-run: what would be done to one device, and the table of all.
QJsonObject PlanJson(const TCliDevice &device, const QString &verbName, const QString &action, const QString &file);
QString PlanTable(const QList<TCliDevice> &devices, const QString &action);
// A device's text made safe for a terminal: control characters shown as \x1b, a backslash as \\.
QString EscapeControls(const QString &text);
// A whole message for the terminal: its lines kept, any other control character (an escape
// sequence a device put into its name, a carriage return that would overwrite the line) shown as
// \x1b. Texts already escaped stay as they are.
QString TerminalText(const QString &text);
// The failure message the command line shows: the window's, except where the window's names
// another step than the verb's own (a failed `logs erase` is no "Read Config Failed").
QString CliFailureMessage(const QString &operation, const QString &windowMessage);
// One row per device: address, name, result and the message or what was done.
QString ResultTable(const QList<TCliResult> &results);
// The window's list columns, one row per device.
QString DeviceTable(const QList<TDeviceRecord> &devices);
// Every field of one device, a line each.
QString DeviceDetails(const TDeviceRecord &device);
// Columns padded to their widest cell; the last column is not padded.
QString AlignedTable(const QList<QStringList> &rows);
// A byte count as people read it: "1.5 MiB".
QString SizeText(qint64 bytes);
