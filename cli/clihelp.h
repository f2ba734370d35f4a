#pragma once
// The verbs of tarvino-cli and every text that describes them: the tool's --help, each verb's
// --help and the manual page are made from this one table.

#include <QList>
#include <QString>

enum class Verb {
    Scan,
    Search,
    Info,
    Ssh,
    Command,
    UpgradeBoard,
    UpgradeController,
    ConfigGet,
    ConfigPut,
    Diag,
    LogsGet,
    LogsErase,
    Reset,
    Check, // the site file: clisite.h
    Watch,
    Doctor,
    History,
    Report, // its own parser and application: clivisitreport.h
    LibraryList, // the firmware library, on a parser of its own: clilibrary.h
    LibraryCheck,
    LibraryAdd,
    LibraryRemove,
    Plan, // plan and apply: clifirmwarerun.h
    Apply,
};

// Which options a verb takes, beyond --help.
enum VerbOption : unsigned {
    OptSite = 1u << 24,  // --site FILE: the site's expected devices (clisite.h)
    OptWatch = 1u << 25, // --interval, --count, --for: watch's scans
    OptTargets = 1 << 0, // device arguments and the selection options
    OptJson = 1 << 1,
    OptCsv = 1 << 2,
    OptJobs = 1 << 3,
    OptYes = 1 << 4,
    OptOutput = 1 << 5,
    OptWait = 1 << 6,
    OptTcp = 1 << 7,
    OptUnfinished = 1 << 8,
    OptDryRun = 1 << 9,
    OptTimeout = 1 << 10,
    OptExpect = 1 << 11,
    OptWithUpdater = 1 << 12, // reset: inside the updater bracket
    OptRange = 1 << 20,       // --range, --rate: a sweep of address ranges instead of the broadcast
    OptLibrary = 1u << 27,    // --library DIR: the firmware library (clilibrary.h)
    OptComponents = 1u << 28, // plan, apply: --components board,controller
    OptImage = 1u << 29,      // library add: --component, --type, --version, --note of the image
    OptAllowDowngrade = 1u << 30, // plan, apply: a device newer than the library goes back to it
};

struct TVerbInfo
{
    Verb verb;
    const char *name;      // "config get"
    const char *arguments; // "TARGET... FILE"
    const char *summary;   // one line for the verb list
    const char *description;
    unsigned options;
    const char *trailing = nullptr; // the argument after the targets: "FILE", "NAME"; none when null
    bool changesDevice = false;     // asks before it sends: --yes, or a prompt on a terminal
};

const QList<TVerbInfo> &Verbs();
const TVerbInfo &VerbInfo(Verb verb);

QString ToolHelpText();
QString VerbHelpText(const TVerbInfo &verb);
// The manual page, in roff.
QString ManPage(const QString &version);

// The board commands that `command` sends, by the names it takes.
QString CommandNamesText();

// The exit status of tarvino-cli, one value per kind of end, as --help and the manual page list it.
namespace ExitStatus {
constexpr int Success = 0;
constexpr int DeviceFailed = 1;
constexpr int Usage = 2;       // nothing was sent
constexpr int Environment = 3; // port taken, no adapter, output not writable, file unreadable
constexpr int NoMatch = 4;     // the selection matched no device: nothing was sent
constexpr int SignalBase = 128; // + the signal: 130 SIGINT, 143 SIGTERM, 129 SIGHUP
} // namespace ExitStatus
