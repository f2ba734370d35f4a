#pragma once
// The compliance of a device with the firmware library, as the list's Firmware column shows it:
// for each component, the version the device has against the library's newest for its type.

#include "fleet/firmware/firmwarecomponent.h"

#include <QDateTime>
#include <QString>

class TControllerHistory;
class TFirmwareLibrary;
struct TDeviceRecord;
struct TLibraryImage;

enum class TFirmwareState {
    UpToDate,         // "up to date"
    UpdateAvailable,  // "update available 3.3.1"
    NewerThanLibrary, // "newer than library"
    NoImage,          // "no image for this type"
    Unknown,          // the version is not known (the controller without history)
    CannotCompare,    // "cannot compare (R5.0)": the version is not dotted numbers, so no order is guessed
};

struct TComponentCompliance
{
    TFirmwareComponent component = TFirmwareComponent::Board;
    TFirmwareState state = TFirmwareState::Unknown;
    QString current;         // the device's version as known; empty when not
    QString target;          // the library's newest for its type; empty without one
    const TLibraryImage *image = nullptr; // that image
    QDateTime written;       // controller: when the history saw the current image written
    QString text() const;    // the words of the column
};

struct TDeviceCompliance
{
    TComponentCompliance board;
    TComponentCompliance controller;
    bool outdated() const;   // either component has an update available
    // "update available 3.3.1; controller image 2.4 written 2026-12-01"
    QString text() const;
};

// Board: the device's reported firmware version against the library's newest board image of its
// type. Controller: what the history knows against the newest controller image.
TComponentCompliance BoardCompliance(const TFirmwareLibrary &library, const TDeviceRecord &device);
TComponentCompliance ControllerCompliance(const TFirmwareLibrary &library, const TDeviceRecord &device,
                                          const TControllerHistory &history);
TDeviceCompliance DeviceCompliance(const TFirmwareLibrary &library, const TDeviceRecord &device,
                                   const TControllerHistory &history);
