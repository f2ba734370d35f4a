#pragma once
// What the history knows of the controller images written to devices: the last successful
// controller upgrade of each device (by MAC address, else by IP address). Devices do not report
// their controller's version, so this is all the compliance column has for it.

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

class TFirmwareLibrary;
struct TDeviceRecord;
struct TJournalEntry;

class TControllerHistory
{
public:
    struct Written
    {
        QString version; // the library's version recorded with it, else the library's entry of its SHA-256
        QString sha256;
        QDateTime when;
    };
    TControllerHistory() = default;
    TControllerHistory(const QList<TJournalEntry> &entries, const TFirmwareLibrary *library = nullptr);
    std::optional<Written> lastWritten(const TDeviceRecord &device) const;

private:
    QHash<QString, Written> m_byKey;
};
