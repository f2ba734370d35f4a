#include "fleet/firmware/firmwareplan.h"

#include "fleet/firmware/compliance.h"
#include "fleet/firmware/firmwarelibrary.h"

QString TFirmwareStep::actionKey() const
{
    switch (action) {
    case Action::Upgrade: return QStringLiteral("upgrade");
    case Action::Unchanged: return QStringLiteral("unchanged");
    case Action::Skipped: return QStringLiteral("skipped");
    }
    return {};
}

QList<TFirmwareComponent> LibraryComponents(const TFirmwareLibrary &library)
{
    QList<TFirmwareComponent> components;
    for (const TFirmwareComponent component : {TFirmwareComponent::Board, TFirmwareComponent::Controller})
        if (std::any_of(library.images().begin(), library.images().end(),
                        [component](const TLibraryImage &image) { return image.component == component; }))
            components << component;
    return components;
}

namespace {
TFirmwareStep stepFor(const TDeviceRecord &device, const TComponentCompliance &compliance, bool allowDowngrade)
{
    TFirmwareStep step;
    step.device = device;
    step.component = compliance.component;
    step.current = compliance.current;
    step.target = compliance.target;
    if (compliance.image)
        step.image = *compliance.image;
    switch (compliance.state) {
    case TFirmwareState::UpToDate:
        step.action = TFirmwareStep::Action::Unchanged;
        step.reason = QStringLiteral("up to date");
        break;
    case TFirmwareState::NewerThanLibrary:
        // A device ahead of the library was brought there on purpose: it goes back only when asked.
        if (allowDowngrade && compliance.image) {
            step.action = TFirmwareStep::Action::Upgrade;
            step.reason = QStringLiteral("downgrade from %1 (asked for)").arg(compliance.current);
            break;
        }
        step.action = TFirmwareStep::Action::Unchanged;
        step.reason = QStringLiteral("newer than library (%1)").arg(compliance.target);
        break;
    case TFirmwareState::NoImage:
        step.action = TFirmwareStep::Action::Skipped;
        step.reason = QStringLiteral("no %1 image for this type (%2)")
                          .arg(ComponentKey(compliance.component), TDeviceTypeId::of(device).text());
        break;
    case TFirmwareState::CannotCompare:
        step.action = TFirmwareStep::Action::Skipped;
        step.reason = QStringLiteral("cannot compare (%1)").arg(compliance.current);
        break;
    case TFirmwareState::UpdateAvailable:
    case TFirmwareState::Unknown:
        step.action = TFirmwareStep::Action::Upgrade;
        step.reason = compliance.current.isEmpty() ? QStringLiteral("version not known") : QString();
        break;
    }
    return step;
}
} // namespace

QList<TFirmwareStep> PlanFirmware(const TFirmwareLibrary &library, const QList<TDeviceRecord> &devices,
                                  const QList<TFirmwareComponent> &components, const TControllerHistory &history,
                                  bool allowDowngrade)
{
    QList<TFirmwareStep> steps;
    for (const TDeviceRecord &device : devices) {
        if (components.contains(TFirmwareComponent::Controller))
            steps << stepFor(device, ControllerCompliance(library, device, history), allowDowngrade);
        if (components.contains(TFirmwareComponent::Board))
            steps << stepFor(device, BoardCompliance(library, device), allowDowngrade);
    }
    return steps;
}
