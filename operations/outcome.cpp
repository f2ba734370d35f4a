#include "operations/outcome.h"

#include "protocol/errors.h"

#include <QStringList>

QString TDeviceState::text() const
{
    QStringList parts;
    const auto add = [&parts](const char *name, Service service) {
        switch (service) {
        case Unknown: break;
        case On: parts << QStringLiteral("%1 on").arg(QLatin1String(name)); break;
        case Off: parts << QStringLiteral("%1 off").arg(QLatin1String(name)); break;
        case Unconfirmed: parts << QStringLiteral("%1 in an unknown state").arg(QLatin1String(name)); break;
        }
    };
    add("updater", updater);
    add("daemon", daemon);
    add("FTP server", ftpServer);
    return parts.join(QStringLiteral(", "));
}

bool TDeviceState::normal() const
{
    const auto settled = [](Service service) { return service != Unconfirmed; };
    return updater != On && daemon != Off && ftpServer != On && settled(updater) && settled(daemon)
        && settled(ftpServer);
}

QString TOperationOutcome::errorText() const
{
    return error ? ErrorText(error) : QString();
}

QString ErrorKindKey(TOperationError kind)
{
    switch (kind) {
    case TOperationError::None: return {};
    case TOperationError::NotResponding: return QStringLiteral("notResponding");
    case TOperationError::VerifyFailed: return QStringLiteral("verifyFailed");
    case TOperationError::RefusedByDevice: return QStringLiteral("refusedByDevice");
    case TOperationError::Busy: return QStringLiteral("busy");
    case TOperationError::Cancelled: return QStringLiteral("cancelled");
    case TOperationError::Declined: return QStringLiteral("declined");
    case TOperationError::FileError: return QStringLiteral("fileError");
    case TOperationError::TransferFailed: return QStringLiteral("transferFailed");
    case TOperationError::Environment: return QStringLiteral("environment");
    }
    return {};
}
