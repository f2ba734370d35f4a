#pragma once
// The engine's logging category, shared by its files.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcEngine)
