// tarvino-cli: the maintenance operations of the window, from a terminal or a script.
#include "cli/clihistory.h"
#include "cli/clilibrary.h"
#include "cli/clirequest.h"
#include "cli/clirunner.h"
#include "cli/clivisitreport.h"
#include "fleet/history/operationrecord.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "protocol/fileio.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <iostream>
#include <string>

#include <signal.h>
#include <unistd.h>

namespace {
// The first stopping signal (SIGINT, SIGTERM or SIGHUP) decides the exit status; how many came.
std::atomic<int> firstSignal{0};
std::atomic<int> signalCount{0};

extern "C" void onStopSignal(int signal)
{
    int none = 0;
    firstSignal.compare_exchange_strong(none, signal);
    ++signalCount;
}

// A second signal does not abandon devices half-way: the program still puts them back, but waits
// for them at most this long before it ends anyway.
constexpr int PutBackBoundMs = 60000;

QByteArray readStandardInput()
{
    QByteArray contents;
    char buffer[65536];
    while (contents.size() <= MaxTargetFileSize) {
        const size_t read = std::fread(buffer, 1, sizeof buffer, stdin);
        if (read == 0)
            break;
        contents.append(buffer, qsizetype(read));
    }
    return contents;
}
} // namespace

int main(int argc, char **argv)
{
    // A reader that goes away (`tarvino-cli ... | head -1`) must not end the program with devices
    // half done: the write fails instead (exit status 3), and the devices are finished or put back.
    std::signal(SIGPIPE, SIG_IGN);
    // The report is the one verb on Qt Gui (fonts for its PDF): it makes its own application.
    if (IsReportCommandLine(argc, argv))
        return RunReportCommand(argc, argv);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvino-cli"));
    // The program's own log lines (tarvino.ftp, tarvino.protocol...) are for whoever debugs it:
    // silent on the terminal unless --verbose. A refused ARP flush is told with the device's
    // outcome in any case, not also as a log line.
    QLoggingCategory::setFilterRules(VerboseRequested(QCoreApplication::arguments().mid(1))
                                         ? QStringLiteral("tarvino.protocol.arp.warning=false")
                                         : QStringLiteral("tarvino.*=false\ntarvino.protocol.arp.warning=false"));

    const bool canAsk = isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
    const TParsedCommandLine parsed = ParseCommandLine(QCoreApplication::arguments().mid(1), {canAsk, readStandardInput});
    if (!parsed.error.isEmpty()) {
        WriteText(stderr, QStringLiteral("tarvino-cli: %1\n").arg(parsed.error));
        return parsed.errorStatus;
    }
    if (!parsed.request) {
        // --help >/dev/full is a failure, as for any output that cannot be written.
        if (!WriteText(stdout, parsed.output) || std::fflush(stdout) != 0) {
            WriteText(stderr, QStringLiteral("tarvino-cli: cannot write standard output: %1\n")
                                  .arg(QString::fromLocal8Bit(std::strerror(errno))));
            return ExitStatus::Environment;
        }
        return ExitStatus::Success;
    }

    // The firmware library is a folder: no device, no port.
    if (IsLibraryVerb(parsed.request->verb->verb))
        return RunLibraryVerb(*parsed.request, stdout, stderr);
    // The history is a file: no device, no port.
    if (parsed.request->verb->verb == Verb::History) {
        const int status = RunHistory(*parsed.request, TOperationJournal(), stdout, stderr);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            WriteText(stderr, QStringLiteral("tarvino-cli: cannot write standard output\n"));
            return ExitStatus::Environment;
        }
        return status;
    }

    StartupInit();
    TDatagramEngine engine;
    // The doctor goes on: it names the program that holds the port.
    if (engine.boundAddresses().isEmpty() && parsed.request->verb->verb != Verb::Doctor) {
        const QString held = engine.portInUse();
        WriteText(stderr, QStringLiteral("tarvino-cli: cannot listen for devices: %1\n")
                              .arg(held.isEmpty() ? engine.bindError() : held));
        return ExitStatus::Environment;
    }

    TCliConsole console;
    console.errIsTerminal = isatty(STDERR_FILENO);
    console.readAnswer = [] {
        std::string line;
        std::getline(std::cin, line);
        return QString::fromStdString(line);
    };
    TCliRunner runner(*parsed.request, &engine, console);
    // The same history as the window's: "started" before an operation's first request, then its
    // outcome, so that one cut short (the program killed) is listed by history --unfinished.
    const TOperationJournal journal;
    TOperationRecorder recorder(
        journal, [&runner](const QString &ip) { return runner.recordFor(ip); },
        [&journal](const QString &) {
            qWarning("tarvino-cli: the operation history %s cannot be written", qPrintable(journal.path()));
        });
    recorder.install();

    // Without SA_RESTART: a signal at the "[y/N]" prompt ends the read, which counts as no.
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    QTimer interruptWatch;
    int signalsSeen = 0;
    QObject::connect(&interruptWatch, &QTimer::timeout, &runner, [&runner, &signalsSeen] {
        const int count = signalCount.load();
        if (count == signalsSeen)
            return;
        if (signalsSeen == 0) {
            runner.interrupt();
        } else if (signalsSeen == 1) {
            WriteText(stderr, QStringLiteral("tarvino-cli: still putting the devices back; the program ends once they "
                                             "are, or in %1 s at the latest.\n")
                                  .arg(PutBackBoundMs / 1000));
            QTimer::singleShot(PutBackBoundMs, [] {
                std::fflush(stdout);
                std::_Exit(ExitStatus::SignalBase + firstSignal.load());
            });
        }
        signalsSeen = count;
    });
    interruptWatch.start(100);
    const int status = runner.run();
    if (const int signal = firstSignal.load())
        return ExitStatus::SignalBase + signal;
    return status;
}
