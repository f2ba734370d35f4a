#pragma once
// The program's string table: texts the windows load by their resource id.

#include <QString>

namespace StringId {
constexpr int HardwareCaption = 65186;
constexpr int VersionCaption = 65187;
constexpr int BootstrapCaption = 65188;
constexpr int KernelCaption = 65189;
constexpr int FirmwareCaption = 65190;
} // namespace StringId

// The text of a string resource; empty for an id the table does not hold.
QString LoadResString(int id);
