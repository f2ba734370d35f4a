#pragma once
// TDeviceWatch: the live list. It is given the devices of each scan of a watch and tells what
// changed since the one before: a device that appeared (for the first time or back after it was
// gone), one whose address, name or versions changed (old and new values), one gone after it
// missed a number of scans in a row. It keeps when each device was last seen. Devices are told
// apart by their MAC address (by their address when they report none). It sends nothing: whoever
// scans (the command line, the window) feeds it.

#include "protocol/devicerecord.h"

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

struct TWatchChange
{
    QString field; // "ip", "name", "version", "firmwareVersion", "bootstrap", "kernelVersion"
    QString before;
    QString after;
    bool operator==(const TWatchChange &) const = default;
};

struct TWatchEvent
{
    enum class Kind { Appeared, Changed, Gone };
    Kind kind = Kind::Appeared;
    TDeviceRecord device;        // as last seen (for Gone: as it was when it last answered)
    bool again = false; // Appeared: it was gone and answers again
    QList<TWatchChange> changes; // Changed
    QDateTime lastSeen;
    int scan = 0; // the number of the scan that brought the event, from 1

    // "appeared", "changed", "gone": JSON values, never changed.
    static QString kindKey(Kind kind);
    // {"event": "changed", "ip", "mac", "name", "type", "changes": [{"field","old","new"}], ...}
    QJsonObject toJson() const;
    // One line for a terminal: "12:04:05 changed 198.18.1.3 Pump-3: firmwareVersion 1.0 -> 1.1".
    QString line() const;
};

class TDeviceWatch
{
public:
    static constexpr int DefaultMissedScans = 3;
    explicit TDeviceWatch(int missedScansForGone = DefaultMissedScans);

    // One scan's devices, at a time; the events it brings, in the scan's order, gone ones last.
    // With answered, only the devices it holds for count (the window passes its whole list, which
    // keeps the devices that did not answer, and the keys of those that did).
    QList<TWatchEvent> addScan(const QList<TDeviceRecord> &devices, const QDateTime &at, const QSet<quint64> *answered = nullptr);

    struct Entry
    {
        TDeviceRecord device;
        QDateTime firstSeen;
        QDateTime lastSeen;
        int missed = 0;   // scans in a row without it
        bool gone = false;
        QDateTime changedAt; // last appearance or change: the window marks it for a while
    };
    // Every device seen since the watch started, gone ones included, by key.
    const Entry *entryFor(const TDeviceRecord &device) const;
    QList<Entry> entries() const;
    int scans() const { return m_scans; }
    // Whether events carry the device's record (the command line prints it; the window only counts
    // them, and a first scan of a long list would copy every record once more).
    void setEventRecords(bool on) { m_eventRecords = on; }
    // How the watch tells devices apart: the MAC address, else the address (a number with the top
    // bit set).
    static quint64 keyOf(const TDeviceRecord &device);

private:
    int m_missedForGone;
    int m_scans = 0;
    bool m_eventRecords = true;
    QHash<quint64, Entry> m_entries;
    QList<quint64> m_order; // keys in order of first sight
};

// The fields a watch compares: the address, the name and the versions.
QList<TWatchChange> WatchChanges(const TDeviceRecord &before, const TDeviceRecord &after);
