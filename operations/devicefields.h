#pragma once
// The fields of a discovered device as lists, exports and scripts show them: the grid's six
// columns first, then every other value of its discovery reply. Each field has a stable key
// (JSON member and CSV column) and a header for tables.

#include "tools.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

struct TDeviceField
{
    const char *key;    // "ip", "mac", "firmwareVersion": never changes, scripts read it
    const char *header; // "IP Address"
    bool inGrid;        // one of the window grid's columns
    QString (*text)(const TEPS &device);
    QJsonValue (*json)(const TEPS &device);
};

const QList<TDeviceField> &DeviceFields();

// The hardware address as the grid shows it: six upper-case hexadecimal pairs joined by separator.
QString MacText(quint64 mac, const QString &separator = QStringLiteral("."));
// Six hexadecimal pairs, separated by ':', '-' or '.' (or not at all); nullopt for anything else.
std::optional<quint64> ParseMacText(QStringView text);

QJsonObject DeviceJson(const TEPS &device);
// One CSV line (RFC 4180 quoting), without its line end.
QString CsvLine(const QStringList &cells);
QString DeviceCsvHeader();
QString DeviceCsvLine(const TEPS &device);
// Splits CSV text into rows of cells (quoted cells may hold commas, quotes and line ends).
QList<QStringList> ParseCsv(QStringView text);
