#pragma once
// The two parts of a device that take a firmware image, and their names in the manifest and on
// the command line.

#include <QString>
#include <QStringView>

#include <optional>

enum class TFirmwareComponent { Board, Controller };
// "board", "controller": the manifest's and the command line's words.
QString ComponentKey(TFirmwareComponent component);
std::optional<TFirmwareComponent> ParseComponent(QStringView text);
