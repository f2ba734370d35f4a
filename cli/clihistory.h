#pragma once
// tarvino-cli history: the operation history that the window and the command line keep, as a
// table or JSON lines; --unfinished keeps the operations that started and never ended.

#include "cli/clirequest.h"
#include "fleet/history/operationjournal.h"

#include <cstdio>

// The text that `history` prints for these entries: the whole history, or with
// request.unfinished only the operations that never ended.
QString HistoryText(const TCliRequest &request, const TOperationJournal &journal);
// Prints it; 0, or 1 when standard output cannot be written.
int RunHistory(const TCliRequest &request, const TOperationJournal &journal, std::FILE *out, std::FILE *err);
