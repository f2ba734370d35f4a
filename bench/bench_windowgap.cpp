// How long the upgrade window goes without handling its events while an operation runs: the
// longest gap between two ticks of a 10 ms timer, through the real window, against a simulated
// device that answers at once. Three operations: a controller upgrade (1 MiB by default), a
// communication-board upload (64 MiB by default) and Read Logs (200 blocks by default). Each gap
// is shown beside its goal (100 ms); --gate makes an exceedance the exit status (3).
//
// Run in the lab's PC namespace; it starts the simulator itself:
//   lab/lab pc build/bench/bench_windowgap [--controller-bytes N] [--board-bytes N] [--log-blocks N] [--gate]

#include "app/upgrade/boardupgradepanel.h"
#include "app/upgrade/controllertextpage.h"
#include "app/upgrade/controllerupgradepanel.h"
#include "fleet/jobs/jobservice.h"
#include "benchlab.h"
#include "app/upgrade/filenameedit.h"
#include "gapmeter.h"
#include "labsim.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "protocol/devicerecord.h"
#include "app/upgrade/upgradedialog.h"

#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

constexpr qint64 GoalMs = 100;

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The upgrade window's longest event gap during operations"));
    parser.addHelpOption();
    const QCommandLineOption controllerOption(QStringLiteral("controller-bytes"), QStringLiteral("Controller image."),
                                              QStringLiteral("n"), QString::number(1 << 20));
    const QCommandLineOption boardOption(QStringLiteral("board-bytes"), QStringLiteral("Board image."),
                                         QStringLiteral("n"), QString::number(64 << 20));
    const QCommandLineOption logsOption(QStringLiteral("log-blocks"), QStringLiteral("Log blocks."), QStringLiteral("n"),
                                        QStringLiteral("200"));
    const QCommandLineOption gateOption(QStringLiteral("gate"), QStringLiteral("Exit 3 when a gap is over its goal."));
    parser.addOptions({controllerOption, boardOption, logsOption, gateOption});
    parser.process(app);
    const int logBlocks = std::clamp(parser.value(logsOption).toInt(), 1, 2000);

    StartupInit();
    QTemporaryDir dir;
    QStringList logArguments;
    for (int i = 0; i < logBlocks; ++i) {
        const QString path = dir.filePath(QStringLiteral("log%1.txt").arg(i));
        writeFile(path, QByteArrayLiteral("2026-12-08 05:00:00 event ") + QByteArray::number(i) + "\r\n");
        logArguments << QStringLiteral("--log-file") << QStringLiteral("0=") + path;
    }
    LabSimulator simulator;
    TDatagramEngine serveur;
    if (!BenchLab::start(simulator, 1, QStringList{QStringLiteral("--journal"), QStringLiteral("/dev/null")} + logArguments,
                         serveur))
        return 1;

    const QString controllerPath = dir.filePath(QStringLiteral("controller.bin"));
    const QString boardPath = dir.filePath(QStringLiteral("board.bin"));
    if (!writeFile(controllerPath, BenchLab::randomImage(parser.value(controllerOption).toLongLong(), 1))
        || !writeFile(boardPath, BenchLab::randomImage(parser.value(boardOption).toLongLong(), 2))) {
        std::fprintf(stderr, "cannot write the images\n");
        return 1;
    }

    QWidget mainWindow;
    TJobService jobs(&serveur);
    TUpgradeDialog form(&jobs, &mainWindow);
    form.CreateControls();
    QStringList errors;
    form.runWarning = [] { return 6; };
    form.showError = [&errors](const QString &message) { errors << message; };
    form.DeviceIP = LabSimulator::deviceIp(0);
    form.DeviceTransport = TransportUdp;
    form.controllerPanel->fileEdit->setFileName(controllerPath);
    form.boardPanel->fileEdit->setFileName(boardPath);
    form.show();
    form.UpdateButtons();

    struct Case
    {
        const char *name;
        std::function<void()> run;
        std::function<bool()> succeeded;
    };
    const QList<Case> cases{
        {"controller upgrade", [&] { form.controllerPanel->upgrade(); },
         [&] { return form.controllerPanel->progressBar->value() == form.controllerPanel->progressBar->maximum(); }},
        {"board upload", [&] { form.boardPanel->upgrade(); },
         [&] { return form.boardPanel->progressBar->value() == form.boardPanel->progressBar->maximum(); }},
        {"read logs", [&] { form.configPage->readLogs(); },
         [&] { return form.configPage->editor->document()->blockCount() == logBlocks; }},
    };
    GapMeter meter;
    qint64 longest = 0;
    std::printf("%-20s %10s %12s %8s %12s\n", "operation", "time ms", "longest gap", "goal", "ended at ms");
    for (const Case &c : cases) {
        errors.clear();
        QElapsedTimer clock;
        clock.start();
        meter.start();
        c.run();
        const qint64 gap = meter.stop();
        if (!errors.isEmpty() || !c.succeeded()) {
            std::fprintf(stderr, "%s failed: %s\n", c.name, qPrintable(errors.join(QStringLiteral(" / "))));
            return 1;
        }
        longest = std::max(longest, gap);
        std::printf("%-20s %10lld %9lld ms %5lld ms %12lld\n", c.name, static_cast<long long>(clock.elapsed()),
                    static_cast<long long>(gap), static_cast<long long>(GoalMs),
                    static_cast<long long>(meter.longestAtMs()));
    }
    std::printf("ratio longest gap/%lld ms: %.2f (longest of %lld operations; goal <= 1.0)\n",
                static_cast<long long>(GoalMs), double(longest) / double(GoalMs), static_cast<long long>(cases.size()));
    return longest > GoalMs && parser.isSet(gateOption) ? 3 : 0;
}
