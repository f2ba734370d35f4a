#pragma once
// The upgrade window's guard for images of the firmware library: an image file that the library
// (the folder the window remembers) lists goes only to a device of one of its types. The file is
// recognised by its place or, copied elsewhere, by its SHA-256.

#include <QString>

class TFirmwareLibrary;
struct TDeviceRecord;

// Why the image must not go to the device (as the device list has it; null for a device not
// listed); empty when it may (it is not the library's, or it is for the device's type).
QString LibraryImageRefusal(const QString &fileName, const TDeviceRecord *device);
QString LibraryImageRefusal(const QString &fileName, const TDeviceRecord *device, const TFirmwareLibrary &library);
