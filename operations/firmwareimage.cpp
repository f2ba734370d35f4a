#include "firmwareimage.h"

#include "controlleroperations.h"
#include "deviceoperation.h"

TFirmwareImage TFirmwareImage::read(const QString &fileName)
{
    TFirmwareImage image;
    image.m_bytes = LoadFileData(fileName);
    image.m_sha256 = Sha256Text(image.m_bytes);
    image.m_fileName = fileName;
    return image;
}
