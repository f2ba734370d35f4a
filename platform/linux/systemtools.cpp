#include "platform/linux/systemtools.h"

#include <QStandardPaths>

const QStringList &SystemToolFolders()
{
    static const QStringList folders{QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"), QStringLiteral("/usr/bin"),
                                     QStringLiteral("/bin")};
    return folders;
}

QString FindSystemTool(const QString &name)
{
    return QStandardPaths::findExecutable(name, SystemToolFolders());
}
