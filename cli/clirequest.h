#pragma once
// What a tarvino-cli command line asks for, read and checked before anything is sent: a usage
// error (exit status 2) never reaches a device.

#include "cli/clihelp.h"
#include "cli/clilibrary.h"
#include "cli/clisweep.h"
#include "protocol/devicerecord.h"
#include "protocol/wire.h"
#include "cli/clisite.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <variant>

// One device as a command line names it.
struct TNamedTarget
{
    enum class Kind { Ip, Mac, Name };
    Kind kind = Kind::Ip;
    QString text;           // as given (the IP address normalised)
    quint64 mac = 0;        // Kind::Mac
    std::optional<quint8> transport; // from a scan's file; otherwise the command line decides

    bool operator==(const TNamedTarget &) const = default;
};

// IP address, MAC address or device name; an error text for something that looks like an
// address and is not one ("198.18.1.300", "00:1a:2b").
std::variant<TNamedTarget, QString> ParseTargetText(const QString &text);

// The targets of a --from file: one per line, or the CSV or JSON that `scan` writes.
std::variant<QList<TNamedTarget>, QString> ParseTargetFile(const QByteArray &contents);

struct TSelection
{
    bool all = false;
    QString type; // wildcard, case ignored
    QString name; // wildcard
    bool any() const { return all || !type.isEmpty() || !name.isEmpty(); }
    bool matches(const TDeviceRecord &device) const;
};

struct TCliRequest
{
    const TVerbInfo *verb = nullptr;
    QList<TNamedTarget> targets;
    TSelection selection;
    QString file;               // upgrade-board, upgrade-controller, config put
    Wire::Command command{};    // command
    QString output;             // -o
    int jobs = 4;
    int waitMs = 3000;
    bool json = false;
    bool csv = false;
    bool yes = false;
    bool tcp = false;
    bool unfinished = false;    // history
    bool withUpdater = false;   // reset
    bool dryRun = false;        // resolve and check, print the plan, send nothing else
    int expect = 0;             // scan: fewer devices than this is exit status 4
    int replyTimeoutMs = 0;     // --timeout: the reply waits of an operation; 0 keeps the default
    TCliSiteOptions site;       // --site and watch's bounds
    TCliSweep sweep;            // --range, --rate: swept instead of the broadcast
    TCliLibraryRequest library; // the firmware library verbs, plan and apply

    // Whether the targets can be reached without a scan first.
    bool needsScan() const;
};

// What a command line comes to: a request to run, a text to print (help, version) or a usage error.
struct TParsedCommandLine
{
    std::optional<TCliRequest> request;
    QString output;   // --help or --version: print it, exit 0
    QString error;    // usage error: print it, exit with errorStatus
    int errorStatus = 2; // 3 when the environment is at fault (a file that cannot be read)
};

struct TCliEnvironment
{
    bool canAsk = false; // standard input and standard error are terminals
    // What `--from -` reads: standard input, unless a test gives its own.
    std::function<QByteArray()> readStandardInput;
};

// arguments without the program's name.
TParsedCommandLine ParseCommandLine(const QStringList &arguments, const TCliEnvironment &environment);

// Whether the arguments ask for the program's own log lines (-v, --verbose), before anything is
// parsed: the filter of the log categories is set first.
bool VerboseRequested(const QStringList &arguments);

// Why the request's -o cannot be written, checked before anything is sent (the scan included):
// a file whose folder is missing or read-only, a folder (several devices, or PATH/) that cannot be
// made or written in. Empty when it can be written or when there is no -o.
QString OutputProblem(const TCliRequest &request);

// The board command a name stands for ("StartFtpServer", "start-ftp-server", "3").
std::optional<Wire::Command> ParseCommandName(const QString &name);

// Limits of the files that the command line reads.
constexpr qint64 MaxTargetFileSize = 16 * 1024 * 1024;
