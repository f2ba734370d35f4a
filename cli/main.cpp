// tarvino-cli: the maintenance operations of the window, from a terminal or a script.
#include "clihistory.h"
#include "clirequest.h"
#include "clirunner.h"
#include "operationrecord.h"
#include "resource.h"
#include "serveur.h"
#include "tools.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include <unistd.h>

namespace {
std::atomic<bool> interruptRequested{false};

extern "C" void onInterrupt(int)
{
    interruptRequested = true;
    std::signal(SIGINT, SIG_DFL); // a second Ctrl+C ends the program at once
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvino-cli"));
    // A refused ARP flush is told with the device's outcome, not also as a log line.
    QLoggingCategory::setFilterRules(QStringLiteral("tarvino.protocol.arp.warning=false"));

    const bool canAsk = isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
    const TParsedCommandLine parsed = ParseCommandLine(QCoreApplication::arguments().mid(1), {canAsk});
    if (!parsed.error.isEmpty()) {
        WriteText(stderr, QStringLiteral("tarvino-cli: %1\n").arg(parsed.error));
        return 2;
    }
    if (!parsed.request) {
        WriteText(stdout, parsed.output);
        return 0;
    }

    // The history is a file: no device, no port.
    if (parsed.request->verb->verb == Verb::History)
        return RunHistory(*parsed.request, TOperationJournal(), stdout, stderr);

    StartupInit();
    TServeur engine;
    // The doctor goes on: it names the program that holds the port.
    if (engine.boundAddresses().isEmpty() && parsed.request->verb->verb != Verb::Doctor) {
        const QString held = engine.portInUse();
        WriteText(stderr, QStringLiteral("tarvino-cli: cannot listen for devices: %1\n")
                              .arg(held.isEmpty() ? engine.bindError() : held));
        return 1;
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

    std::signal(SIGINT, onInterrupt);
    QTimer interruptWatch;
    QObject::connect(&interruptWatch, &QTimer::timeout, &runner, [&runner] {
        if (interruptRequested.exchange(false))
            runner.interrupt();
    });
    interruptWatch.start(100);
    return runner.run();
}
