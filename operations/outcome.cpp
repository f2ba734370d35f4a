#include "outcome.h"

#include "errors.h"

#include <QStringList>

QString TDeviceState::text() const
{
    QStringList parts;
    const auto add = [&parts](const char *name, Service service) {
        if (service != Unknown)
            parts << QStringLiteral("%1 %2").arg(QLatin1String(name), service == On ? QStringLiteral("on")
                                                                                      : QStringLiteral("off"));
    };
    add("updater", updater);
    add("daemon", daemon);
    add("FTP server", ftpServer);
    return parts.join(QStringLiteral(", "));
}

bool TDeviceState::normal() const
{
    return updater != On && daemon != Off && ftpServer != On;
}

QString TOperationOutcome::errorText() const
{
    if (!error)
        return {};
    try {
        std::rethrow_exception(error);
    } catch (const TarvinoError &e) {
        return e.message();
    } catch (const std::exception &e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}
