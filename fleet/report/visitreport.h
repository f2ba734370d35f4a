#pragma once
// The visit report: what a technician did on a site between two times, from the operation history,
// for the customer. TVisitReport is the data (collected from the history's lines, their texts kept
// by TConfigurationStore and, when given, the site file); visitreportdocument.h makes it HTML and
// PDF.

#include "fleet/configuration/linediff.h"
#include "fleet/history/operationjournal.h"
#include "fleet/site/sitefile.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

class TConfigurationStore;

// Who made the visit, where, and its span: given by the caller (the window asks once and keeps
// them; the command line has options).
struct TVisitDetails
{
    QString site;
    QString technician;
    QString pc;
    QDateTime since;
    QDateTime until; // invalid: up to now
};

// A device the history shows in the span.
struct TVisitDevice
{
    QString ip;
    QString mac; // canonical, lower-case pairs joined by ':'; empty when not known
    QString name;
    QString firmwareVersion; // the last one the history saw
    int operations = 0;
    int failures = 0;
};

// One operation: its "started" line paired with its end by their id (a line without an id stands
// alone).
struct TVisitOperation
{
    QDateTime started;
    QDateTime ended;   // invalid when the operation never ended
    QString ip;
    QString mac;
    QString name;
    QString operation; // "Controller upgrade"
    QString file;
    QString sha256;    // of the image or configuration sent (or read)
    QString outcome;   // succeeded, failed, declined, cancelled, or "never finished"
    QString message;
    QString detail;
    QString deviceState;    // what a failure left the device in
    QString imageVersion;   // the firmware library's version of the image, when the history has it
    QString versionBefore;  // the board firmware the device reported at the start
    QString versionAfter;   // the one it reported at a later operation, when there was one

    bool isUpgrade() const;
    bool unfinished() const { return !ended.isValid(); }
    bool failed() const { return outcome == u"failed"; }
    // Failed, never finished, or ended with the device out of normal service.
    bool needsAttention() const { return failed() || unfinished() || !deviceState.isEmpty(); }
    // What may be wrong with the device now, in a few words; empty when nothing.
    QString attentionText() const;
};

// The configuration of one device before and after a write (or a restore) in the span.
struct TVisitConfigChange
{
    QString ip;
    QString mac;
    QString name;
    QDateTime when;
    QString sha256After;
    bool beforeKnown = false; // the history kept a text the device held before the write
    bool afterKnown = false;
    QList<TDiffRow> rows;     // the differing rows only, at most MaxRows
    int differences = 0;      // every differing row, shown or not
};

struct TVisitReport
{
    // A longer diff is cut: the report is for reading, the files hold all of it.
    static constexpr int MaxRows = 40;

    TVisitDetails details;
    QList<TVisitDevice> devices;         // in the order the history first names them, then the scan's others
    QList<TVisitOperation> operations;   // oldest first
    QList<TVisitConfigChange> configChanges;
    bool siteCompared = false;
    QList<TSiteDevice> missing;          // of the site file, not seen in the span
    QList<TVisitDevice> unexpected;      // seen, not in the site file
    int skippedLines = 0;                // history lines that could not be read

    QList<TVisitOperation> needingAttention() const;
    // "12 operations on 6 devices: 10 succeeded, 1 failed, 1 never finished"
    QString summary() const;
};

// The visit from every line of a history: the operations that started (or, for lines without a
// start, ended) within the span; versions after an operation may come from lines after the span.
// scanned: the devices a scan found (the window's list), listed too when no operation touched them.
TVisitReport CollectVisit(const QList<TJournalEntry> &history, const TVisitDetails &details,
                          const TConfigurationStore &store,
                          const std::optional<QList<TSiteDevice>> &site = std::nullopt,
                          const QList<TVisitDevice> &scanned = {});

// A time as the report's options take it: "2026-12-08T09:30", "2026-12-08 09:30", a date alone
// (its midnight), "09:30" (today), or ISO 8601 with an offset. Invalid when it is none of them.
QDateTime ParseVisitTime(const QString &text, const QDateTime &now = QDateTime::currentDateTime());
