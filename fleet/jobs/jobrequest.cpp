#include "fleet/jobs/jobrequest.h"

QString JobActionTitle(TJobAction action)
{
    switch (action) {
    case TJobAction::ControllerUpgrade: return QStringLiteral("Controller upgrade");
    case TJobAction::BoardUpgrade: return QStringLiteral("Communication board upgrade");
    case TJobAction::ReadConfiguration: return QStringLiteral("Read configuration");
    case TJobAction::ReadDiagnostics: return QStringLiteral("Read diagnostics");
    case TJobAction::WriteConfiguration: return QStringLiteral("Write configuration");
    case TJobAction::ReadLogs: return QStringLiteral("Read logs");
    case TJobAction::EraseAndReadLogs: return QStringLiteral("Erase logs");
    case TJobAction::Reset: return QStringLiteral("Controller reset");
    case TJobAction::ResetWithUpdater: return QStringLiteral("Controller reset with updater");
    case TJobAction::ToggleSsh: return QStringLiteral("SSH toggle");
    case TJobAction::BoardCommand: return QStringLiteral("Board command");
    case TJobAction::BackUpConfiguration: return QStringLiteral("Configuration back-up");
    }
    return {};
}

bool JobActionChangesDevice(TJobAction action)
{
    switch (action) {
    case TJobAction::ReadConfiguration:
    case TJobAction::ReadDiagnostics:
    case TJobAction::ReadLogs:
    case TJobAction::BackUpConfiguration: return false;
    case TJobAction::ControllerUpgrade:
    case TJobAction::BoardUpgrade:
    case TJobAction::WriteConfiguration:
    case TJobAction::EraseAndReadLogs:
    case TJobAction::Reset:
    case TJobAction::ResetWithUpdater:
    case TJobAction::ToggleSsh:
    case TJobAction::BoardCommand: return true;
    }
    return true;
}

bool JobActionSendsImage(TJobAction action)
{
    return action == TJobAction::ControllerUpgrade || action == TJobAction::BoardUpgrade;
}

TJobRequest TJobRequest::forDevices(TJobAction action, const QList<TJobDevice> &devices, const QString &file,
                                    const TJobOptions &options)
{
    TJobRequest request;
    request.options = options;
    for (const TJobDevice &device : devices)
        request.items.append({device, action, file, std::nullopt, {}});
    return request;
}
