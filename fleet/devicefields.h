#pragma once
// The fields of a discovered device as lists, exports and scripts show them: the grid's six
// columns first, then every other value of its discovery reply. Each field has a stable key
// (JSON member and CSV column) and a header for tables.

#include "protocol/tools.h"

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
    QString (*text)(const TDeviceRecord &device);
    QJsonValue (*json)(const TDeviceRecord &device);
};

const QList<TDeviceField> &DeviceFields();

// "eth1 (192.168.5.10)": the PC's adapter a device was found through; empty when not known.
QString AdapterText(const TDeviceRecord &device);

// The hardware address as the grid shows it: six upper-case hexadecimal pairs joined by separator.
QString MacText(quint64 mac, const QString &separator = QStringLiteral("."));
// The hardware address as files and scripts get it (JSON, CSV, the history, the network check):
// lower-case pairs joined by colons, "00:50:c2:02:5c:c1".
QString CanonicalMacText(quint64 mac);
// Six hexadecimal pairs, separated by ':', '-' or '.' (or not at all); nullopt for anything else.
std::optional<quint64> ParseMacText(QStringView text);

QJsonObject DeviceJson(const TDeviceRecord &device);
// A list as a file: a JSON array of DeviceJson, or CSV (a header line of the keys, CR LF ends).
QByteArray DeviceListJson(const QList<TDeviceRecord> &devices);
QByteArray DeviceListCsv(const QList<TDeviceRecord> &devices);
// Whether the list's filter shows a device: the text in any of the list's columns or the adapter
// (case ignored), or a MAC address typed with other separators; an empty filter shows all.
bool DeviceMatchesFilter(const TDeviceRecord &device, const QString &filter);
// One CSV line (RFC 4180 quoting), without its line end. A cell that a spreadsheet would take for a
// formula (one that begins with =, +, -, @, a tab or a CR, such as a device named
// =HYPERLINK(...)) is written with a ' in front, as spreadsheets expect; numbers (-1, +2.5) stay
// numbers. ParseCsv takes the ' off again.
QString CsvLine(const QStringList &cells);
// The guard of one cell and its removal: "=1+2" <-> "'=1+2"; a cell that already begins with ' and
// then one of those characters gets one more, so that every text reads back as it was.
QString CsvSafeCell(const QString &cell);
QString CsvCellText(const QString &cell);
QString DeviceCsvHeader();
QString DeviceCsvLine(const TDeviceRecord &device);
// Splits CSV text into rows of cells (quoted cells may hold commas, quotes and line ends).
QList<QStringList> ParseCsv(QStringView text);
