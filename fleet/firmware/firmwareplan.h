#pragma once
// What "bring up to date" does to each device: for each component chosen, the library's newest
// image of the device's type, or why the device is left alone. The command line's plan and apply
// and the window's "Bring selected up to date" make the same plan; an upgrade is made only from a
// step that says Upgrade, and the image goes with the device's type so that the operation itself
// refuses a library image of another type.

#include "fleet/firmware/firmwarecomponent.h"
#include "fleet/firmware/librarymanifest.h"
#include "fleet/firmware/firmwarelibrary.h"
#include "protocol/devicerecord.h"

#include <QList>
#include <QString>

#include <optional>

class TControllerHistory;
class TDatagramEngine;
class TDeviceOperation;
class TFirmwareImage;
class TFirmwareLibrary;
struct TDeviceTarget;
struct TOperationTiming;

struct TFirmwareStep
{
    enum class Action { Upgrade, Unchanged, Skipped };

    TDeviceRecord device;
    TFirmwareComponent component = TFirmwareComponent::Board;
    Action action = Action::Skipped;
    QString current;                    // the version the device has, as far as known
    QString target;                     // the library's newest for its type; empty without one
    std::optional<TLibraryImage> image; // that image
    QString reason;                     // "up to date", "no image for this type", "newer than library (3.5.0)",
                                        // "cannot compare (R5.0)"

    // "upgrade", "unchanged", "skipped": the words of the command line's JSON.
    QString actionKey() const;
};

// The components a library has images of, board first.
QList<TFirmwareComponent> LibraryComponents(const TFirmwareLibrary &library);

// One step per device and component, devices in the order given, each device's controller before
// its board (the board's upgrade ends with the device restarting).
// A device newer than the library is left as it is, unless allowDowngrade: then it is brought
// back to the library's image (tarvino-cli apply --allow-downgrade).
QList<TFirmwareStep> PlanFirmware(const TFirmwareLibrary &library, const QList<TDeviceRecord> &devices,
                                  const QList<TFirmwareComponent> &components, const TControllerHistory &history,
                                  bool allowDowngrade = false);

