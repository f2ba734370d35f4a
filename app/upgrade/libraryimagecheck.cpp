#include "app/upgrade/libraryimagecheck.h"

#include "protocol/errors.h"
#include "fleet/firmware/firmwarelibrary.h"
#include "protocol/devicerecord.h"

QString LibraryImageRefusal(const QString &fileName, const TDeviceRecord *device)
{
    TFirmwareLibrary library(TFirmwareLibrary::folderFor({}));
    QString error;
    if (library.folder().isEmpty() || !library.load(&error))
        return {};
    return LibraryImageRefusal(fileName, device, library);
}

QString LibraryImageRefusal(const QString &fileName, const TDeviceRecord *device, const TFirmwareLibrary &library)
{
    if (library.images().isEmpty())
        return {};
    TFirmwareImage image;
    try {
        image = TFirmwareImage::read(fileName);
    } catch (const TarvinoError &) {
        return {}; // the upgrade itself tells a file that cannot be read
    }
    const TLibraryImage *entry = library.findSha256(image.sha256());
    if (const TLibraryImage *placed = entry ? nullptr : library.findFile(fileName)) {
        // In the library's folder, but not the bytes its manifest names: refused, with its words.
        QString error;
        library.readImage(*placed, &error);
        return error;
    }
    if (!entry)
        return {};
    image.setLibraryInfo(entry->version, entry->types);
    return image.refusalFor(device ? TDeviceTypeId::of(*device) : TDeviceTypeId{});
}
