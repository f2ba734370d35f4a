#include "app/upgrade/libraryimagecheck.h"

#include "protocol/errors.h"
#include "fleet/firmware/firmwarelibrary.h"
#include "protocol/tools.h"

QString LibraryImageRefusal(const QString &fileName, const QString &ip)
{
    TFirmwareLibrary library(TFirmwareLibrary::folderFor({}));
    QString error;
    if (library.folder().isEmpty() || !library.load(&error))
        return {};
    return LibraryImageRefusal(fileName, ip, library);
}

QString LibraryImageRefusal(const QString &fileName, const QString &ip, const TFirmwareLibrary &library)
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
    const auto device = std::find_if(DeviceList.cbegin(), DeviceList.cend(), [&](const TDeviceRecord &d) { return d.IpText == ip; });
    return image.refusalFor(device == DeviceList.cend() ? TDeviceTypeId{} : TDeviceTypeId::of(*device));
}
