// Writes tarvino-cli's manual page, made from the same table as its --help.
#include "cli/clihelp.h"
#include "protocol/fileio.h"

#include <cstdio>

int main()
{
    return WriteText(stdout, ManPage(QLatin1String(TARVINO_VERSION))) ? 0 : 1;
}
