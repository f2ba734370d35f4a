#pragma once
// tarvino-cli's firmware library verbs: library list, check and add (the folder and its manifest,
// no device), and the options that plan and apply take (--library, --components).

#include "cli/clihelp.h"
#include "fleet/firmware/firmwarecomponent.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdio>

struct TCliRequest;
struct TParsedCommandLine;

struct TCliLibraryRequest
{
    QString folder;                       // --library; empty: TARVINO_LIBRARY, then the window's
    QList<TFirmwareComponent> components; // --components; empty: those the library has images of
    bool allowDowngrade = false;          // --allow-downgrade
    // library add
    TFirmwareComponent component = TFirmwareComponent::Board;
    QStringList types;
    QString version;
    QString note;
};

bool IsLibraryVerb(Verb verb);
bool IsFirmwareVerb(Verb verb); // plan, apply

// Whether the command line's verb is "library": it is read by a parser of its own, in which
// --type and --version are the image's.
bool IsLibraryCommandLine(const QStringList &arguments);
TParsedCommandLine ParseLibraryCommandLine(const QStringList &arguments);

// plan and apply: --library and --components, the library's manifest read before anything is sent;
// no device named means every device that answers. Empty when fine, else the error; *status is
// the exit status for it (2, or 3 for a library that cannot be read).
QString ReadFirmwareOptions(TCliRequest &request, const QString &folder, const QStringList &components, int *status);

// library list, check, add: the exit status.
int RunLibraryVerb(const TCliRequest &request, std::FILE *out, std::FILE *err);
