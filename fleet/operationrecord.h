#pragma once
// An operation's line in the history: who, what, with which file, and how it ended.

#include "operationjournal.h"
#include "tools.h"

class TDeviceOperation;

// Whether an operation belongs in the history: those that act on a device do, a scan or a search
// does not.
bool IsJournaled(const TDeviceOperation &operation);
// The entry of a finished operation; device, when known, gives the MAC address and the name.
TJournalEntry JournalEntryFor(const TDeviceOperation &operation, const TEPS *device);
