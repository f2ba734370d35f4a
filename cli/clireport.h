#pragma once
// What tarvino-cli prints: device lists and each device's outcome, as tables for a person or as
// JSON for a script.

#include "clitargets.h"
#include "outcome.h"

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

QJsonObject ResultJson(const TCliResult &result, const QString &verbName);
// One row per device: address, name, result and the message or what was done.
QString ResultTable(const QList<TCliResult> &results);
// The window's list columns, one row per device.
QString DeviceTable(const QList<TEPS> &devices);
// Every field of one device, a line each.
QString DeviceDetails(const TEPS &device);
// Columns padded to their widest cell; the last column is not padded.
QString AlignedTable(const QList<QStringList> &rows);
// A byte count as people read it: "1.5 MiB".
QString SizeText(qint64 bytes);
