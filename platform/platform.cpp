// What every folder's implementation shares.
#include "platform/platform.h"

namespace Platform {

QString notAvailable()
{
    return QStringLiteral("not available on this system");
}

} // namespace Platform
