#include "cli/clihelp.h"

#include "fleet/devicefields.h"
#include "protocol/wire.h"

#include <QDate>
#include <QStringList>

#include <utility>

namespace {
struct OptionHelp
{
    unsigned option;
    const char *synopsis;
    const char *text;
};

const OptionHelp OptionHelps[] = {
    {OptTargets, "--all", "every device that answers the scan"},
    {OptTargets, "--type PATTERN",
     "the devices whose type matches PATTERN (the list's Type column; case is ignored; * any text, ? one character)"},
    {OptTargets, "--name GLOB", "the devices whose name matches GLOB (case is ignored, * and ? as in a shell)"},
    {OptTargets, "--from FILE",
     "the devices of FILE (- for standard input): one target per line (# starts a comment), or what scan --csv or "
     "scan --json wrote"},
    {OptWait, "--wait SECONDS", "how long a scan listens for replies (default 3; a sweep: after its last request)"},
    {OptRange, "--range RANGE",
     "sweep the addresses of RANGE instead of broadcasting: the way to devices behind a router or a VPN, which a "
     "broadcast does not reach. A network (198.19.0.0/24: its addresses but the network and broadcast ones), two "
     "addresses (198.19.4.10-198.19.4.250, or 198.19.4.10-250) or one address; at most a /16 (65,536 addresses) "
     "per range. Repeat it, or separate ranges with commas, for several. Each address is asked twice by UDP (the "
     "second time a second or more after the first, and only when it did not answer it), and the devices are listed "
     "as a broadcast lists them. "
     "A range holding a broadcast, network or multicast address, or an address of this PC, is refused before "
     "anything is sent"},
    {OptLibrary, "--library DIR",
     "the firmware library's folder (its manifest library.json and the images); without it TARVINO_LIBRARY, else "
     "the folder the window was last given (File > Firmware library...)"},
    {OptComponents, "--components LIST",
     "board, controller or board,controller: the firmware brought up to date (default: each component the library "
     "has images of)"},
    {OptAllowDowngrade, "--allow-downgrade",
     "a device whose firmware is newer than the library's is brought back to the library's image (without it, "
     "it is left as it is)"},
    {OptImage, "--component COMPONENT", "library add: board or controller, the firmware the image is"},
    {OptImage, "--type TYPE",
     "library add: a device type the image is for, as the device reports it (the list's Type column, case ignored) "
     "or its type code (0x000B1156); repeat it for several types"},
    {OptImage, "--version V", "library add: the image's version, dotted numbers (3.4.1)"},
    {OptImage, "--note TEXT", "library add: a note kept with the image"},
    {OptRange, "--rate N", "the sweep's requests per second (default 2000): what a site network tolerates"},
    {OptTcp, "--tcp",
     "reach the addresses given as targets over TCP, as Search IP Address does (default UDP); with --range, the "
     "addresses that did not answer by UDP are then asked over TCP, 32 at once, each given 2 s to accept the "
     "connection and 2 s more to answer"},
    {OptExpect, "--expect N", "exit status 4 when fewer than N devices answer (default: finding none is no failure)"},
    {OptTimeout, "--timeout SECONDS",
     "how long each reply on the controller bus is waited for before the request is sent again or given up "
     "(default 1); the board's commands keep the device's own waits"},
    {OptSite, "--site FILE",
     "the site file (CSV or JSON: name, ip, mac, type and optionally firmwareVersion, bootstrap, kernelVersion) "
     "that the devices found are compared with: found (by MAC address, else by IP address), missing, unexpected, "
     "moved, different firmware. A damaged file is refused with its line and the reason, before anything is sent"},
    {OptWatch, "--interval SECONDS", "the time from the start of one scan to the start of the next (default 5)"},
    {OptWatch, "--count N", "end after N scans"},
    {OptWatch, "--for SECONDS", "end after SECONDS (the scan under way is finished first)"},
    {OptJobs, "-j, --jobs N", "how many devices are worked on at once (default 4, at most 64)"},
    {OptYes, "-y, --yes", "go on without asking: the verb's question (see its --help) is taken as answered yes"},
    {OptDryRun, "--dry-run",
     "resolve the devices (a scan when needed), check the files and print what would be done to which device "
     "(a table, or --json); nothing else is sent"},
    {OptOutput, "-o, --output PATH",
     "write the text into PATH instead of standard output; with several devices PATH is a folder that "
     "gets one file per device, named by its MAC address (or its IP address)"},
    {OptUnfinished, "--unfinished",
     "only the operations that started on a device and never ended (the program was killed or the PC went down "
     "meanwhile) and that the window has not had acknowledged"},
    {OptWithUpdater, "--with-updater",
     "reset inside the maintenance bracket: stop the daemon, start the updater, reset, stop the updater, start "
     "the daemon (the device put back whatever step fails); without it only the reset is sent, which a "
     "controller answers only while its updater already runs"},
    {OptJson, "--json", "one JSON object per line instead of a table (the fields are listed in tarvino-cli --help)"},
    {OptCsv, "--csv", "comma-separated values with a header line of the JSON field names"},
};

const char *const TargetText =
    "TARGET is an IPv4 address (the device is reached at once), a MAC address (six hexadecimal pairs "
    "separated by ':', '-' or '.', or not at all: twelve hexadecimal digits are always a MAC address) or a "
    "device name (case is ignored, as for --type); names and MAC addresses are looked up by a scan first, and "
    "nothing but the scan is sent when one matches no device (the closest names are offered) or several (each "
    "is named, exit status 2). Several targets, and the selection options, may be combined; each device is "
    "worked on once.";

// The exit status, a row per value: --help and the manual page show it as a table.
const std::pair<const char *, const char *> ExitStatuses[] = {
    {"0", "every device succeeded (a scan that finds nothing too, unless --expect N)"},
    {"1", "at least one device failed"},
    {"2", "usage error: nothing was sent (also a changing verb without a terminal to ask on and without --yes)"},
    {"3", "the environment: the program's port is held by another program, no network adapter, an output that "
          "cannot be written (standard output included) or a file that cannot be read"},
    {"4", "nothing matched the selection (nothing was sent); scan --expect N with fewer devices"},
    {"130, 143, 129", "stopped by SIGINT (Ctrl+C), SIGTERM or SIGHUP, once the running devices were put back"},
};

const char *const JsonContractText =
    "With --json every line is one JSON object, written as soon as its device is done (a script may read them as "
    "they come), and each carries \"schema\": 1, raised only when a field changes meaning or goes. A message is one "
    "line (its lines joined with \"; \"); MAC addresses are lower-case pairs joined by colons "
    "(00:50:c2:02:5c:c1), as in CSV, the history and the doctor. The JSON Schema of the device and outcome "
    "objects is installed as share/tarvino/tarvino-cli.schema.json.";

const char *const CompletionText =
    "Bash and zsh complete the verbs, the options and the names and addresses of the devices that the last scan "
    "listed (kept in ~/.cache/tarvino/devices.txt by scan).";

const char *const OutcomeFieldsText =
    "ip, mac, name (the device; mac and name when known), verb, operation, result (succeeded, failed, "
    "busy, declined or cancelled), failedStep (the step or phase that failed), message (the program's message "
    "for the failure, as its window shows it), error (the kind of failure for scripts: notResponding, "
    "verifyFailed, refusedByDevice, busy, cancelled, declined, fileError, transferFailed or environment; "
    "null on success), detail (more on the cause), deviceState (what the device "
    "was left in when not in normal service, e.g. \"updater on\"), and where they apply: file, bytes and "
    "sha256 (the image sent or the text received), attempts (command, ssh), notes (what the operation went on "
    "without, such as an ARP flush the system refused).";

QString deviceFieldsText()
{
    QStringList keys;
    for (const TDeviceField &field : DeviceFields())
        keys << QLatin1String(field.key);
    return QStringLiteral("Device fields (scan, search, info; the CSV columns in this order): ") + keys.join(u", ")
         + QStringLiteral(". The first six are the window's list columns; a value the device did not report is "
                          "null (empty in CSV).");
}

// Words folded into lines of at most width characters, each line indented.
QString wrap(const QString &text, int indent, int width = 79)
{
    QStringList lines;
    QString line;
    const QString margin(indent, QLatin1Char(' '));
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && margin.size() + line.size() + 1 + word.size() > width) {
            lines << margin + line;
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    if (!line.isEmpty())
        lines << margin + line;
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString optionLines(unsigned options)
{
    QString text;
    for (const OptionHelp &help : OptionHelps) {
        if (!(options & help.option))
            continue;
        text += QStringLiteral("  %1\n").arg(QLatin1String(help.synopsis));
        text += wrap(QLatin1String(help.text), 6);
    }
    text += QStringLiteral("  -h, --help\n      this help\n");
    return text;
}

// The fields of the verb's --json objects.
QString jsonFieldsText(Verb verb)
{
    switch (verb) {
    case Verb::Scan:
    case Verb::Search:
    case Verb::Info: return deviceFieldsText();
    case Verb::Doctor:
        return QStringLiteral("JSON fields, one object per finding: schema, kind, severity (info, warning or problem), "
                              "text, and where they apply: adapter, ip, macs.");
    case Verb::History:
    case Verb::Plan: return {}; // their descriptions list them
    case Verb::LibraryList:
    case Verb::LibraryAdd:
    case Verb::LibraryRemove:
        return QStringLiteral("JSON fields, one object per image: schema, verb, file, component (board or controller), "
                              "types, version, sha256, note (when it has one).");
    case Verb::LibraryCheck:
        return QStringLiteral("JSON fields, one object per image: schema, verb, file, result (ok or failed), message "
                              "(why it failed).");
    case Verb::Check:
        return QStringLiteral("JSON fields, one object per device: schema, state (found, missing, unexpected, moved or "
                              "differentFirmware), name, ip (null when missing), expectedIp, mac, type, moved, "
                              "differences (field, expected, found), line (in the site file); then one object with "
                              "schema, summary, expected, found, missing, unexpected, moved, differentFirmware.");
    case Verb::Watch:
        return QStringLiteral("JSON fields, one object per change: schema, event (appeared, changed or gone), ip, mac, "
                              "name, type, firmwareVersion, again (appeared: it was gone), changes (field, old, new), "
                              "lastSeen (UTC), scan (its number, from 1).");
    default: return QStringLiteral("JSON fields, one object per device: schema, ") + QLatin1String(OutcomeFieldsText);
    }
}

// What a changing verb asks before it sends, as its prompt asks it.
QString promptText(Verb verb)
{
    switch (verb) {
    case Verb::UpgradeBoard:
    case Verb::UpgradeController:
    case Verb::Apply:
        return QStringLiteral("it shows the firmware warning and the devices, and asks to type 'upgrade'");
    case Verb::ConfigPut: return QStringLiteral("it lists the devices and asks to type 'write'");
    default: return QStringLiteral("it lists the devices and asks y or N");
    }
}

QString usageLine(const TVerbInfo &verb)
{
    return QStringLiteral("tarvino-cli %1%2%3 [OPTIONS]")
        .arg(QLatin1String(verb.name), *verb.arguments ? QStringLiteral(" ") : QString(), QLatin1String(verb.arguments));
}

QString roff(QString text)
{
    text.replace(QLatin1Char('\\'), QLatin1String("\\e"));
    text.replace(QLatin1Char('-'), QLatin1String("\\-"));
    if (text.startsWith(QLatin1Char('.')) || text.startsWith(QLatin1Char('\'')))
        text.prepend(QLatin1String("\\&"));
    return text;
}
} // namespace

const QList<TVerbInfo> &Verbs()
{
    constexpr unsigned DeviceVerb = OptTargets | OptJson | OptJobs | OptWait | OptTcp | OptTimeout | OptRange;
    static const QList<TVerbInfo> verbs{
        {Verb::Scan, "scan", "", "list the devices that answer the discovery broadcast",
         "Sends the discovery broadcast twice, a second apart, and lists every device that answers within the "
         "wait, once each, in the order of their first replies. With --range it sweeps the ranges instead, address "
         "by address at --rate requests per second, and lists the devices that answer there the same way (the same "
         "fields; adapter is the one the route to them leaves through).",
         OptJson | OptCsv | OptWait | OptExpect | OptRange | OptTcp | OptSite},
        {Verb::Search, "search", "IP", "ask one device by its address over TCP",
         "Asks the device at IP for its discovery record over a TCP connection, as Search IP Address does: "
         "the way to a device behind a router, which a broadcast does not reach.",
         OptJson},
        {Verb::Info, "info", "TARGET...", "show everything a device reports about itself",
         "Shows every field of the device's discovery record: what the properties window shows and more. A "
         "device given by its IPv4 address is asked over TCP, as Search IP Address does.",
         OptTargets | OptJson | OptWait | OptRange},
        {Verb::Ssh, "ssh", "TARGET...", "toggle the device's SSH server (DropBear)",
         "Sends the DropBear toggle, up to five times after clearing the PC's ARP entry of the device, until "
         "the device acknowledges it. Each toggle turns the SSH server over, from on to off or from off to on: "
         "the device does not report whether it is now on or off, so 'on' and 'off' cannot be asked for. The "
         "history records each toggle, and info tells how often this PC toggled the device's SSH server.",
         DeviceVerb | OptYes | OptDryRun, nullptr, true},
        {Verb::Command, "command", "TARGET... NAME", "send one raw command of the communication board",
         "Sends one start or stop command of the communication board and waits for its acknowledgement.",
         DeviceVerb | OptYes | OptDryRun, "NAME", true},
        {Verb::UpgradeBoard, "upgrade-board", "TARGET... FILE", "upgrade the communication board's firmware",
         "Uploads FILE to the board's own FTP server under its bare name, then has the board upgrade itself "
         "from it; the board's services are put back as they were on every failure. An image of the firmware "
         "library (found by its SHA-256, whatever its name) goes only to the component and the device types the "
         "library gives it. The device must then restart and answer a scan again.",
         DeviceVerb | OptYes | OptDryRun | OptLibrary, "FILE", true},
        {Verb::UpgradeController, "upgrade-controller", "TARGET... FILE", "upgrade the controller's firmware",
         "Writes FILE into the controller's firmware area over its bus, reads it back and compares every "
         "byte, and only then takes the controller into update mode. An image of the firmware library (found by "
         "its SHA-256, whatever its name) goes only to the component and the device types the library gives it. "
         "The device must then answer a scan again.",
         DeviceVerb | OptYes | OptDryRun | OptLibrary, "FILE", true},
        {Verb::ConfigGet, "config get", "TARGET...", "read the controller's configuration",
         "Reads the controller's configuration, bytes exactly as the device holds them, to standard output or "
         "into -o PATH.",
         DeviceVerb | OptOutput},
        {Verb::ConfigPut, "config put", "TARGET... FILE", "write a configuration file to the controller",
         "Writes FILE, bytes as they are, as the controller's configuration, then reads it back and compares.",
         DeviceVerb | OptYes | OptDryRun, "FILE", true},
        {Verb::Diag, "diag", "TARGET...", "read the controller's diagnostics",
         "Reads the controller's diagnostics text to standard output or into -o PATH.", DeviceVerb | OptOutput},
        {Verb::LogsGet, "logs get", "TARGET...", "read the controller's logs",
         "Reads the controller's log, one block a line, to standard output or into -o PATH.",
         DeviceVerb | OptOutput},
        {Verb::LogsErase, "logs erase", "TARGET...", "erase the controller's logs",
         "Erases the controller's log, then reads what is left (normally nothing).",
         DeviceVerb | OptYes | OptDryRun, nullptr, true},
        {Verb::Reset, "reset", "TARGET...", "reset the controller",
         "Sends the controller's reset command, as the window's Reset does. A controller answers its bus only while "
         "its updater runs: a controller in normal service does not answer, and the reset fails. With "
         "--with-updater the reset is sent inside the maintenance bracket (stop the daemon, start the updater, "
         "reset, stop the updater, start the daemon), which is what a controller in normal service needs.",
         DeviceVerb | OptYes | OptDryRun | OptWithUpdater, nullptr, true},
        {Verb::Check, "check", "--site FILE", "compare the devices found with the site file",
         "Scans and compares the devices that answer with the site file: each expected device found (matched by its "
         "MAC address, else by its IP address), moved (same MAC address, another IP address), with different "
         "firmware (when the file names versions) or missing (with its expected IP address), and each device the "
         "file does not list as unexpected; then the summary (\"38 of 40 expected devices found, 2 missing, 1 "
         "unexpected\"). Exit status 1 when an expected device is missing. scan --site FILE lists the scan as "
         "usual and tells the missing devices and the summary on standard error.",
         OptSite | OptJson | OptWait | OptRange},
        {Verb::Watch, "watch", "", "scan again and again and tell what changes",
         "Scans every --interval seconds and prints each change as it is seen: a device that appeared (at the first "
         "scan, every device; later a new one, or one back after it was gone), one whose address, name or versions "
         "changed (old and new values), and one gone after 3 scans in a row without it. Runs until Ctrl+C, SIGTERM, "
         "--count or --for, and ends with exit status 0 (128 + the signal after a signal).",
         OptJson | OptWait | OptWatch | OptRange},
        {Verb::Doctor, "doctor", "", "tell why devices are not found",
         "Lists the PC's network adapters, checks that UDP 52389 and 52390 are free for the program (naming the "
         "program that holds one), sends one discovery broadcast through every adapter and tells how many devices "
         "answered through each, then names devices outside every adapter's subnet (with the fix), two devices "
         "answering from one address, devices without a usable address, firewall rules that drop the ports (read "
         "only) and whether the ARP flush is permitted. One line per finding, or one JSON object per finding with "
         "--json; exit status 1 when a problem was found.",
         OptJson | OptWait},
        {Verb::History, "history", "", "show the operation history",
         "Prints the history of the operations run on devices by the window and by tarvino-cli, oldest first: "
         "when, the device, the operation and its outcome. With --unfinished only the operations that started "
         "and never ended, with what they may have left on the device; with --json one object per line (format, "
         "id, ip, mac, name, operation, file, sha256, started, message). Sends nothing to any device.",
         OptJson | OptUnfinished},
        {Verb::Report, "report", "--since TIME -o FILE", "write the visit report (PDF or HTML) from the history",
         "Writes the report of a visit from the operation history into FILE, a PDF (A4, a header and page numbers on "
         "every page) or HTML by its ending: site, technician, PC and time span; the devices worked on; every "
         "operation with its outcome (for an upgrade the image's version and SHA-256, the board firmware before and "
         "after where known); a short difference of each configuration written; failures and devices left in an "
         "uncertain state first, in a box. Sends nothing to any device. Options: --since TIME (required) and "
         "--until TIME (default now) as 2026-12-08T09:30, 2026-12-08 (its midnight) or 09:30 (today); --site FILE "
         "(a site file: the devices it lists that the visit did not see, and those seen that it does not list); "
         "--site-name NAME (default the site file's name), --technician NAME, --pc NAME (default this PC's host "
         "name); -o FILE (.pdf or .html, checked before anything is read).",
         0},
        {Verb::LibraryList, "library list", "", "list the firmware library's images",
         "Lists the images of the firmware library: file, component (board or controller), version, the device "
         "types each is for, its SHA-256 and note. A manifest (library.json) that cannot be read entirely is "
         "refused with its line and the reason (exit status 3). Sends nothing to any device.",
         OptJson | OptLibrary},
        {Verb::LibraryCheck, "library check", "", "check every library image against its SHA-256",
         "Reads every image of the firmware library and compares its SHA-256 with the manifest's; a file missing or "
         "changed is named with the reason (exit status 1). plan and apply make the same check and never send an "
         "image that fails it. Sends nothing to any device.",
         OptJson | OptLibrary},
        {Verb::LibraryAdd, "library add", "FILE", "add an image to the firmware library",
         "Copies FILE into the library's folder under its own name, computes its SHA-256 and adds it to the "
         "manifest, which is written whole or not at all: --component board|controller, --type TYPE (one or more) "
         "and --version V are required. A name already in the library is refused. Sends nothing to any device.",
         OptJson | OptLibrary | OptImage},
        {Verb::LibraryRemove, "library remove", "FILE", "remove an image from the firmware library",
         "Takes the image named FILE (its name in the library, as library list shows it) out of the manifest, which "
         "is written whole or not at all, then deletes its file from the library's folder, as the window's Remove "
         "does. A name the library does not hold is exit status 1, the library unchanged. Sends nothing to any "
         "device.",
         OptJson | OptLibrary},
        {Verb::Plan, "plan", "[TARGET...]", "show what apply would do; nothing is sent but the scan",
         "Scans, then tells for each device (every device that answers when none is named) and each component "
         "the library has images of (or --components): its version, the library's newest image of its type and "
         "whether apply would upgrade it, leave it unchanged (up to date, or newer than the library) or skip it "
         "(no image for its type). The board's version is the one the device reports; the controller's is what the "
         "history knows of the images written to it (unknown: upgraded). Sends nothing but the scan. JSON fields, "
         "one object per device and component: schema, ip, mac, name, verb, type, component, action (upgrade, "
         "unchanged or skipped), current, target, file, sha256, reason.",
         (DeviceVerb & ~OptRange) | OptLibrary | OptComponents | OptAllowDowngrade},
        {Verb::Apply, "apply", "[TARGET...]", "bring devices up to date from the firmware library",
         "Does what plan shows: each device's controller, then its board, upgraded with the library's newest image "
         "of its type, a few devices at a time; devices already current are 'unchanged' and those without an image "
         "for their type 'skipped', neither a failure, so that running apply twice changes nothing the second time. "
         "An image is sent only to a device of one of its types, and only when its SHA-256 still matches the "
         "library's; a device named that does not answer the scan, or an image missing or changed, makes the exit "
         "status 1. The history records each image's library version and SHA-256. JSON: the outcome fields "
         "(verb apply; result also unchanged or skipped) with component, previousVersion and version. "
         "apply --dry-run is plan.",
         (DeviceVerb & ~OptRange) | OptLibrary | OptComponents | OptAllowDowngrade | OptYes | OptDryRun, nullptr, true},
    };
    return verbs;
}

const TVerbInfo &VerbInfo(Verb verb)
{
    for (const TVerbInfo &info : Verbs())
        if (info.verb == verb)
            return info;
    Q_UNREACHABLE();
}

QString CommandNamesText()
{
    QStringList names;
    for (const Wire::CommandInfo &info : Wire::Commands)
        if (info.command != Wire::Command::Discover)
            names << QLatin1String(info.name);
    return names.join(u", ");
}

QString ToolHelpText()
{
    QString text = QStringLiteral("Usage: tarvino-cli VERB [TARGET...] [OPTIONS]\n"
                                  "The maintenance operations of Tarvino's window, from a terminal or a script.\n\n"
                                  "Verbs:\n");
    for (const TVerbInfo &verb : Verbs())
        text += QStringLiteral("  %1%2\n").arg(QString::fromLatin1(verb.name).leftJustified(20), QLatin1String(verb.summary));
    text += QStringLiteral("\nTargets:\n") + wrap(QLatin1String(TargetText), 2);
    text += QStringLiteral("\nOptions (each verb's --help tells which it takes):\n");
    text += optionLines(~0u & ~OptCsv & ~OptImage);
    text += QStringLiteral("  --version\n      the program's version\n");
    text += QStringLiteral("  -v, --verbose\n      the program's own log lines (tarvino.protocol, tarvino.ftp...) on standard "
                           "error; without it they are silent\n");
    text += QStringLiteral("\nOutput:\n")
          + wrap(QStringLiteral("A table on standard output; progress on standard error when it is a terminal. "
                                "With --json one object per line: for scan, search and info one per device, for "
                                "the other verbs one per device and outcome."),
                 2);
    text += wrap(deviceFieldsText(), 2);
    text += wrap(QStringLiteral("Outcome fields: ") + QLatin1String(OutcomeFieldsText), 2);
    text += wrap(QLatin1String(JsonContractText), 2);
    text += QStringLiteral("\nExit status:\n");
    for (const auto &[status, meaning] : ExitStatuses)
        text += QStringLiteral("  %1\n").arg(QLatin1String(status)) + wrap(QLatin1String(meaning), 6);
    text += QStringLiteral("\nCompletion:\n") + wrap(QLatin1String(CompletionText), 2);
    text += QStringLiteral("\nExamples:\n"
                           "  tarvino-cli scan --json > devices.json\n"
                           "  tarvino-cli config get 198.18.1.7 -o site-7.cfg\n"
                           "  tarvino-cli upgrade-controller --type 'Palimor P4' --jobs 8 --yes controller.bin\n"
                           "  tarvino-cli config get --from devices.json -o backups/\n");
    return text;
}

QString VerbHelpText(const TVerbInfo &verb)
{
    QString text = QStringLiteral("Usage: ") + usageLine(verb) + QStringLiteral("\n") + wrap(QLatin1String(verb.description), 0);
    if (verb.verb == Verb::Command)
        text += wrap(QStringLiteral("NAME is one of: ") + CommandNamesText() + QStringLiteral(" (case is ignored)."), 0);
    if (verb.changesDevice)
        text += wrap(QStringLiteral("It changes the device: %1 when standard input is a terminal, and any other answer "
                                    "sends nothing (exit status 1); elsewhere it needs --yes (exit status 2, nothing "
                                    "sent, without it). --dry-run shows what it would do and sends nothing.")
                         .arg(promptText(verb.verb)),
                     0);
    if (verb.options & OptTargets)
        text += QStringLiteral("\n") + wrap(QLatin1String(TargetText), 0);
    if (const QString fields = jsonFieldsText(verb.verb); (verb.options & OptJson) && !fields.isEmpty())
        text += QStringLiteral("\n") + wrap(fields, 0);
    text += QStringLiteral("\nOptions:\n") + optionLines(verb.options);
    return text;
}

QString ManPage(const QString &version)
{
    QString page;
    auto paragraph = [&page](const QString &text) { page += QStringLiteral(".PP\n") + roff(text) + QLatin1Char('\n'); };
    page += QStringLiteral(".TH TARVINO-CLI 1 \"\" \"tarvino %1\" \"User Commands\"\n").arg(version);
    page += QStringLiteral(".SH NAME\ntarvino\\-cli \\- maintain Tarvino's field devices from a terminal\n");
    page += QStringLiteral(".SH SYNOPSIS\n.B tarvino\\-cli\n.I VERB\n[\\fITARGET\\fR...] [\\fIOPTIONS\\fR]\n");
    page += QStringLiteral(".SH DESCRIPTION\n");
    paragraph(QStringLiteral("tarvino-cli runs the maintenance operations of Tarvino's window on one device or "
                             "many at once: the same requests, the same checks and the same messages."));
    paragraph(QLatin1String(TargetText));
    page += QStringLiteral(".SH VERBS\n");
    for (const TVerbInfo &verb : Verbs()) {
        page += QStringLiteral(".TP\n.B %1\n").arg(roff(usageLine(verb).mid(12)));
        page += roff(QLatin1String(verb.description)) + QLatin1Char('\n');
        if (verb.verb == Verb::Command)
            page += roff(QStringLiteral(" NAME is one of: ") + CommandNamesText() + QStringLiteral(".")) + QLatin1Char('\n');
    }
    page += QStringLiteral(".SH OPTIONS\n");
    for (const OptionHelp &help : OptionHelps)
        page += QStringLiteral(".TP\n.B %1\n%2\n").arg(roff(QLatin1String(help.synopsis)), roff(QLatin1String(help.text)));
    page += QStringLiteral(".TP\n.B \\-h, \\-\\-help\nthe tool's help, or the verb's after a verb\n");
    page += QStringLiteral(".SH OUTPUT\n");
    paragraph(QStringLiteral("A table on standard output; progress on standard error when it is a terminal. With "
                             "--json one object per line."));
    paragraph(deviceFieldsText());
    paragraph(QStringLiteral("Outcome fields: ") + QLatin1String(OutcomeFieldsText));
    paragraph(QLatin1String(JsonContractText));
    page += QStringLiteral(".SH EXIT STATUS\n");
    for (const auto &[status, meaning] : ExitStatuses)
        page += QStringLiteral(".TP\n.B %1\n%2\n").arg(roff(QLatin1String(status)), roff(QLatin1String(meaning)));
    page += QStringLiteral(".SH COMPLETION\n") + roff(QLatin1String(CompletionText)) + QLatin1Char('\n');
    page += QStringLiteral(".SH EXAMPLES\n.nf\n"
                           "tarvino\\-cli scan \\-\\-json > devices.json\n"
                           "tarvino\\-cli config get 198.18.1.7 \\-o site\\-7.cfg\n"
                           "tarvino\\-cli upgrade\\-controller \\-\\-all \\-\\-jobs 8 \\-\\-yes controller.bin\n"
                           ".fi\n");
    page += QStringLiteral(".SH SEE ALSO\n.BR tarvino (1),\n.BR tarvino\\-devsim (1)\n");
    return page;
}
