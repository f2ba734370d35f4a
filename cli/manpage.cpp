// Writes tarvino-cli's manual page, made from the same table as its --help.
#include "clihelp.h"

#include <cstdio>

int main()
{
    const QByteArray page = ManPage(QLatin1String(TARVINO_VERSION)).toUtf8();
    return std::fwrite(page.constData(), 1, size_t(page.size()), stdout) == size_t(page.size()) ? 0 : 1;
}
