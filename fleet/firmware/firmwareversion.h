#pragma once
// Firmware version texts and their order.

#include <QString>

#include <optional>

// Versions. A version is dotted numbers ("3.3.1"), compared part by part as numbers, missing parts
// counting as 0 (3.3 = 3.3.0 < 3.3.1 < 3.10). An odd text compares by its leading dotted numbers
// ("3.3.1-rc2" by 3.3.1), the one without a tail being the newer of two equal ones ("3.3.1" after
// "3.3.1-rc2"), two tails as texts; a text that does not start with a digit ("", "beta") is no
// version and compares with nothing (nullopt).
bool IsPlainVersion(const QString &text);
std::optional<int> CompareVersions(const QString &a, const QString &b);
