#pragma once
// plan and apply: each device brought to the library's newest image of its type, or told why it
// is left alone. plan prints the steps and sends nothing but the scan; apply asks once, then runs
// the upgrades through the operation pool, the controllers first, the boards after (a board's
// upgrade ends with the device restarting).

#include "cli/clitargets.h"

#include <QList>

class TCliRunner;

class TCliFirmwareRun
{
public:
    explicit TCliFirmwareRun(TCliRunner &runner) : m_runner(runner) {}
    // The exit status.
    int run(const QList<TCliDevice> &devices);

private:
    TCliRunner &m_runner;
};
