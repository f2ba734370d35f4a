#include "fleet/firmware/firmwarecomponent.h"

QString ComponentKey(TFirmwareComponent component)
{
    return component == TFirmwareComponent::Board ? QStringLiteral("board") : QStringLiteral("controller");
}

std::optional<TFirmwareComponent> ParseComponent(QStringView text)
{
    if (text.compare(u"board", Qt::CaseInsensitive) == 0)
        return TFirmwareComponent::Board;
    if (text.compare(u"controller", Qt::CaseInsensitive) == 0)
        return TFirmwareComponent::Controller;
    return std::nullopt;
}
