#include "operations/firmwareimage.h"

#include "operations/controlleroperations.h"
#include "operations/deviceoperation.h"
#include "operations/devicesession.h"
#include "protocol/wire.h"
#include "protocol/sha256text.h"

#include <QFileInfo>

#include <algorithm>

TDeviceTypeId TDeviceTypeId::of(const TDeviceRecord &device)
{
    TDeviceTypeId type;
    type.name = device.Params.text(Wire::Param::TypeText).trimmed();
    type.code = device.Params.has(Wire::Param::TypeCode) ? device.Params.number(Wire::Param::TypeCode, -1) : -1;
    return type;
}

QString TDeviceTypeId::text() const
{
    const QString codeText = QStringLiteral("0x") + QString::number(quint32(code), 16).toUpper().rightJustified(8, QLatin1Char('0'));
    if (!name.isEmpty())
        return code >= 0 ? QStringLiteral("%1 (%2)").arg(name, codeText) : name;
    return code >= 0 ? codeText : QStringLiteral("unknown type");
}

bool ParseTypeCode(const QString &text, qint64 *code)
{
    const QString trimmed = text.trimmed();
    bool ok = false;
    qint64 value = -1;
    if (trimmed.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        const QString digits = trimmed.mid(2);
        if (digits.isEmpty() || digits.size() > 8)
            return false;
        value = digits.toLongLong(&ok, 16);
    } else if (!trimmed.isEmpty() && trimmed.size() <= 10
               && std::all_of(trimmed.begin(), trimmed.end(), [](QChar c) { return c >= u'0' && c <= u'9'; })) {
        value = trimmed.toLongLong(&ok, 10);
        ok = ok && value <= 0xFFFFFFFFll;
    }
    if (!ok)
        return false;
    if (code)
        *code = value;
    return true;
}

bool DeviceTypeMatches(const QString &libraryType, const TDeviceTypeId &device)
{
    qint64 code = -1;
    if (ParseTypeCode(libraryType, &code))
        return device.code >= 0 && device.code == code;
    const QString name = libraryType.trimmed();
    return !name.isEmpty() && name.compare(device.name, Qt::CaseInsensitive) == 0;
}

TFirmwareImage TFirmwareImage::read(const QString &fileName)
{
    TFirmwareImage image;
    image.m_bytes = LoadFileData(fileName);
    image.m_sha256 = Sha256Text(image.m_bytes);
    image.m_fileName = fileName;
    return image;
}

void TFirmwareImage::setLibraryInfo(const QString &version, const QStringList &deviceTypes)
{
    m_libraryVersion = version;
    m_deviceTypes = deviceTypes;
}

QString TFirmwareImage::refusalFor(const TDeviceTypeId &type) const
{
    if (!isLibraryImage())
        return {};
    const QString name = QFileInfo(m_fileName).fileName();
    if (!type.isKnown())
        return QStringLiteral("The device did not report its type: the library image %1 (for %2) is not sent to it")
            .arg(name, m_deviceTypes.join(QStringLiteral(", ")));
    for (const QString &wanted : m_deviceTypes)
        if (DeviceTypeMatches(wanted, type))
            return {};
    return QStringLiteral("The library image %1 is for %2, not for %3: it is not sent")
        .arg(name, m_deviceTypes.join(QStringLiteral(", ")), type.text());
}

bool RefusedForDeviceType(TDeviceSession &session, const TFirmwareImage &image,
                          const std::optional<TDeviceTypeId> &deviceType)
{
    if (!image.isLibraryImage())
        return false;
    const QString refusal = image.refusalFor(deviceType.value_or(TDeviceTypeId{}));
    if (refusal.isEmpty())
        return false;
    session.mark(QStringLiteral("Image check"));
    session.fail(refusal, {}, TOperationError::FileError);
    return true;
}
