// Writes tarvino-cli's manual page, made from the same table as its --help.
#include "clihelp.h"
#include "tools.h"

#include <cstdio>

int main()
{
    return WriteText(stdout, ManPage(QLatin1String(TARVINO_VERSION))) ? 0 : 1;
}
