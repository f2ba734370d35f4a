#include "fleet/firmware/compliance.h"

#include "fleet/firmware/controllerhistory.h"
#include "fleet/firmware/firmwarelibrary.h"
#include "fleet/firmware/firmwareversion.h"
#include "protocol/devicerecord.h"
#include "protocol/wire.h"

namespace {
TFirmwareState stateOf(const QString &current, const TLibraryImage *image)
{
    if (!image)
        return TFirmwareState::NoImage;
    const auto order = CompareVersions(current, image->version);
    // The library's versions always compare: only the device's text can be one that does not
    // start with a digit ("R5.0"), and it is never taken for older than the library's.
    if (!order)
        return current.isEmpty() ? TFirmwareState::Unknown : TFirmwareState::CannotCompare;
    return *order == 0 ? TFirmwareState::UpToDate : *order < 0 ? TFirmwareState::UpdateAvailable : TFirmwareState::NewerThanLibrary;
}
} // namespace

QString TComponentCompliance::text() const
{
    QString state;
    switch (this->state) {
    case TFirmwareState::UpToDate: state = QStringLiteral("up to date"); break;
    case TFirmwareState::UpdateAvailable: state = QStringLiteral("update available %1").arg(target); break;
    case TFirmwareState::NewerThanLibrary: state = QStringLiteral("newer than library"); break;
    case TFirmwareState::NoImage: state = QStringLiteral("no image for this type"); break;
    case TFirmwareState::Unknown: state = QStringLiteral("unknown"); break;
    case TFirmwareState::CannotCompare: state = QStringLiteral("cannot compare (%1)").arg(current); break;
    }
    if (component == TFirmwareComponent::Board)
        return state;
    // The device does not report its controller's version: what the history knows, or nothing.
    if (current.isEmpty() && !written.isValid())
        return QStringLiteral("controller unknown");
    const QString known = QStringLiteral("controller image %1 written %2")
                              .arg(current.isEmpty() ? QStringLiteral("?") : current, written.date().toString(Qt::ISODate));
    return this->state == TFirmwareState::UpdateAvailable ? QStringLiteral("%1, %2").arg(known, state) : known;
}

bool TDeviceCompliance::outdated() const
{
    return board.state == TFirmwareState::UpdateAvailable || controller.state == TFirmwareState::UpdateAvailable;
}

QString TDeviceCompliance::text() const
{
    return QStringLiteral("%1; %2").arg(board.text(), controller.text());
}

TComponentCompliance BoardCompliance(const TFirmwareLibrary &library, const TDeviceRecord &device)
{
    TComponentCompliance compliance;
    compliance.component = TFirmwareComponent::Board;
    compliance.current = device.Params.text(Wire::Param::FirmwareVersion).trimmed();
    compliance.image = library.newest(TFirmwareComponent::Board, TDeviceTypeId::of(device));
    compliance.target = compliance.image ? compliance.image->version : QString();
    compliance.state = stateOf(compliance.current, compliance.image);
    if (compliance.state == TFirmwareState::Unknown)
        compliance.state = TFirmwareState::UpdateAvailable; // a device that reports no version gets the library's
    return compliance;
}

TComponentCompliance ControllerCompliance(const TFirmwareLibrary &library, const TDeviceRecord &device,
                                          const TControllerHistory &history)
{
    TComponentCompliance compliance;
    compliance.component = TFirmwareComponent::Controller;
    compliance.image = library.newest(TFirmwareComponent::Controller, TDeviceTypeId::of(device));
    compliance.target = compliance.image ? compliance.image->version : QString();
    if (const auto written = history.lastWritten(device)) {
        compliance.current = written->version;
        compliance.written = written->when;
    }
    compliance.state = stateOf(compliance.current, compliance.image);
    return compliance;
}

TDeviceCompliance DeviceCompliance(const TFirmwareLibrary &library, const TDeviceRecord &device, const TControllerHistory &history)
{
    return {BoardCompliance(library, device), ControllerCompliance(library, device, history)};
}
