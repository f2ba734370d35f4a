#pragma once
// What the whole history knows of each device's last success at one operation ("Controller
// upgrade": which image its controller holds), read as a stream in the memory of one line per
// device, however long the history: a history of years of visits runs to hundreds of MB.

#include "fleet/history/operationjournal.h"

// The last successful entry of the operation for each device, oldest first. A device is its MAC
// address when the line has one (any spelling), else its IP address; of two lines of one device
// the later time wins, the later line on a tie. The lines of other operations are not parsed.
QList<TJournalEntry> LastSucceededByDevice(const TOperationJournal &journal, const QString &operation,
                                           int *skippedLines = nullptr);
