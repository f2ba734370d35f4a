#include "fleet/jobs/jobfiles.h"

#include "fleet/firmware/firmwarelibrary.h"
#include "operations/controlleroperations.h"
#include "protocol/errors.h"

#include <QFileInfo>

namespace {
QString componentName(TFirmwareComponent component)
{
    return component == TFirmwareComponent::Board ? QStringLiteral("communication board") : QStringLiteral("controller");
}

TFirmwareComponent componentOf(TJobAction action)
{
    return action == TJobAction::BoardUpgrade ? TFirmwareComponent::Board : TFirmwareComponent::Controller;
}
} // namespace

TJobFiles::TJobFiles(const TFirmwareLibrary *library, QString libraryProblem)
    : m_library(library), m_libraryProblem(std::move(libraryProblem))
{
}

QString TJobFiles::readOnce(const QString &file, bool libraryChecked)
{
    if (m_images.contains(file))
        return {};
    if (const auto known = m_unreadable.constFind(file); known != m_unreadable.constEnd())
        return *known;
    try {
        TFirmwareImage image = TFirmwareImage::read(file);
        if (libraryChecked && m_library) {
            if (const TLibraryImage *entry = m_library->findSha256(image.sha256())) {
                image.setLibraryInfo(entry->version, entry->types);
            } else if (const TLibraryImage *placed = m_library->findFile(file)) {
                // A library file whose bytes changed is no library image any more, and no image to send.
                QString problem;
                m_library->readImage(*placed, &problem);
                m_unreadable.insert(file, problem);
                return problem;
            }
        }
        m_images.insert(file, image);
        return {};
    } catch (const TarvinoError &error) {
        m_unreadable.insert(file, error.message());
        return error.message();
    }
}

QString TJobFiles::prepare(const TJobItem &item)
{
    const bool sendsImage = JobActionSendsImage(item.action);
    if (item.action == TJobAction::WriteConfiguration && item.text)
        return {};
    if (!sendsImage && item.action != TJobAction::WriteConfiguration)
        return {};
    if (item.file.isEmpty())
        return QStringLiteral("No file was given.");
    if (sendsImage && !m_libraryProblem.isEmpty())
        return QStringLiteral("%1 The image is not sent, as it cannot be checked against the library.").arg(m_libraryProblem);
    if (const QString problem = readOnce(item.file, sendsImage); !problem.isEmpty())
        return problem;
    if (!sendsImage)
        return {};

    const TFirmwareImage &image = m_images.find(item.file).value();
    if (item.action == TJobAction::ControllerUpgrade)
        if (const QString problem = FirmwareImageProblem(item.file, image.bytes().size()); !problem.isEmpty())
            return problem;
    if (!image.isLibraryImage())
        return {};
    const TLibraryImage *entry = m_library->findSha256(image.sha256());
    const TFirmwareComponent wanted = componentOf(item.action);
    if (entry && entry->component != wanted)
        return QStringLiteral("The library image %1 is for the %2, not for the %3: it is not sent")
            .arg(entry->file, componentName(entry->component), componentName(wanted));
    const TDeviceTypeId type = item.device.record ? TDeviceTypeId::of(*item.device.record) : TDeviceTypeId{};
    return image.refusalFor(type);
}
