#include "libraryimagecheck.h"

#include "errors.h"
#include "firmwarelibrary.h"
#include "tools.h"

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
    const TLibraryImage *entry = library.findFile(fileName);
    if (!entry)
        entry = library.findSha256(image.sha256());
    if (!entry)
        return {};
    image.setLibraryInfo(entry->version, entry->types);
    const auto device = std::find_if(DeviceList.cbegin(), DeviceList.cend(), [&](const TEPS &d) { return d.IpText == ip; });
    return image.refusalFor(device == DeviceList.cend() ? TDeviceTypeId{} : TDeviceTypeId::of(*device));
}
