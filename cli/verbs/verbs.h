#pragma once
// The verbs of tarvino-cli, a file each (or a family a file), as TCliRunner hands them over: the
// request checked, and for the verbs on devices, the devices resolved. Each returns its exit
// status; the runner puts a failed standard output above it.

#include "cli/clitargets.h"

#include <QList>

class TCliRunner;

int RunScanVerb(TCliRunner &runner);                                     // scan.cpp
int RunSearchVerb(TCliRunner &runner);                                   // search.cpp
int RunDoctorVerb(TCliRunner &runner);                                   // doctor.cpp
int RunCheckVerb(TCliRunner &runner);                                    // site.cpp
int RunWatchVerb(TCliRunner &runner);                                    // site.cpp
// scan --site: the site's missing devices on standard error; the exit status of the comparison.
int ReportSiteAfterScan(TCliRunner &runner, const QList<TDeviceRecord> &devices); // site.cpp
int RunInfoVerb(TCliRunner &runner, const QList<TCliDevice> &devices);   // info.cpp
// ssh, command, reset, upgrade-board, upgrade-controller, config get/put, diag, logs get/erase.
int RunDeviceVerb(TCliRunner &runner, const QList<TCliDevice> &devices); // deviceverbs.cpp
// plan and apply.
int RunFirmwareVerb(TCliRunner &runner, const QList<TCliDevice> &devices); // firmware.cpp
