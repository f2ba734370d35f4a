// Controller firmware upgrade speed: the upgrade window's UpgradeControlBtnClick on an image
// (1 MiB by default) against a simulated device, its write and verify phases timed against the
// floor of the path measured in the same run: a bare stop-and-wait exchange of the same frames
// from a plain socket. The protocol's fixed waits (the settle after update mode, the pause after a
// command, the start/stop steps) are reported apart; they are not part of the ratio.
//
// Run in the lab's PC namespace; it starts the simulator in the device namespace itself:
//   lab/lab pc build/bench/bench_controlupgrade [--bytes N] [--rounds N] [--gate]
// Exits non-zero when an upgrade fails, and with 3 under --gate when the ratio is over its goal.
// Only one process of the lab's PC may hold the engine's port: run it while no other lab test runs.

#include "app/upgrade/boardupgradepanel.h"
#include "app/upgrade/controllertextpage.h"
#include "app/upgrade/controllerupgradepanel.h"
#include "fleet/jobs/jobservice.h"
#include "benchlab.h"
#include "app/upgrade/filenameedit.h"
#include "labsim.h"
#include "pingpong.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "protocol/devicerecord.h"
#include "app/upgrade/upgradedialog.h"
#include "protocol/wire.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QLabel>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

using PingPong::msSince;

constexpr int Device = 0;
constexpr int MaxRounds = 20;

// One change of the progress bar: when, to what, and under which phase label.
struct ProgressEvent
{
    qint64 ns;
    int value;
    QString phase;
};

struct Round
{
    double beforeMs = 0; // click to the start of the bus sequence: ARP flush, stop daemon, start updater
    double writeMs = 0;
    double verifyMs = 0;
    double afterMs = 0; // end of the read-back to the return: update mode, settle, stop updater, start daemon
    double totalMs = 0;
    double floorWriteMs = 0;
    double floorReadMs = 0;
    double ratio() const { return (writeMs + verifyMs) / (floorWriteMs + floorReadMs); }
};

// Splits one upgrade's progress events into its phases. The bar is set to 0 at the start of
// writing and again at the start of verifying; each phase ends with the last chunk's event.
bool phases(const QList<ProgressEvent> &events, int size, double totalMs, Round &round)
{
    QList<qsizetype> zeros;
    qsizetype writeEnd = -1;
    qsizetype verifyEnd = -1;
    for (qsizetype i = 0; i < events.size(); ++i) {
        const ProgressEvent &e = events.at(i);
        if (e.value == 0)
            zeros << i;
        else if (e.value == size && e.phase == QLatin1String("Writing Code"))
            writeEnd = i;
        else if (e.value == size && e.phase == QLatin1String("Verifying Code"))
            verifyEnd = i;
    }
    if (zeros.size() != 2 || writeEnd < zeros.at(0) || writeEnd > zeros.at(1) || verifyEnd < zeros.at(1))
        return false;
    const auto ms = [&events](qsizetype i) { return double(events.at(i).ns) / 1e6; };
    round.beforeMs = ms(zeros.at(0));
    round.writeMs = ms(writeEnd) - ms(zeros.at(0));
    round.verifyMs = ms(verifyEnd) - ms(zeros.at(1));
    round.afterMs = totalMs - ms(verifyEnd);
    round.totalMs = totalMs;
    return true;
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

int main(int argc, char *argv[])
{
    // The lab's PC has no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Controller firmware upgrade against a simulated device"));
    parser.addHelpOption();
    const QCommandLineOption bytesOption(QStringLiteral("bytes"), QStringLiteral("Image size."), QStringLiteral("n"),
                                         QString::number(1 << 20));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"), QStringLiteral("Measured rounds."),
                                          QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption gateOption(QStringLiteral("gate"),
                                        QStringLiteral("Exit with 3 when the ratio is over its goal."));
    parser.addOptions({bytesOption, roundsOption, gateOption});
    parser.process(app);
    const int bytes = std::clamp(parser.value(bytesOption).toInt(), 1, int(Wire::Bus::AddressSpace));
    const int rounds = std::clamp(parser.value(roundsOption).toInt(), 1, MaxRounds);

    const QString hostText = LabSimulator::deviceIp(Device);
    const QHostAddress host(hostText);
    if (!PingPong::destinationAllowed(host)) {
        std::fprintf(stderr, "%s: not a lab device seen from the lab's PC (run it with lab/lab pc)\n",
                     qPrintable(hostText));
        return 2;
    }
    StartupInit(); // as the main window's creation does: the protocol code of every request
    LabSimulator simulator;
    TDatagramEngine serveur;
    // No journal: its writes would lengthen every round trip and hide the client's own cost.
    // The updater runs from the start so that the first floor can use the bus.
    if (!BenchLab::start(simulator, 1,
                         {QStringLiteral("--updater-running"), QStringLiteral("--journal"), QStringLiteral("/dev/null")},
                         serveur))
        return 1;
    const QByteArray image = BenchLab::randomImage(bytes, 0xc0de);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("controller.bin"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    const PingPong::BlockFrames frames = PingPong::blockFrames(image);
    PingPong::FloorClient floor(host, Wire::BusPort);
    if (!floor.isOpen()) {
        std::fprintf(stderr, "cannot open a socket\n");
        return 1;
    }

    // The window as the program runs it (its own waits), shown off screen so that the bar paints.
    QWidget mainWindow;
    TJobService jobs(&serveur);
    TUpgradeDialog form(&jobs, &mainWindow);
    form.CreateControls();
    QStringList errors;
    form.runWarning = [] { return 6; };
    form.showError = [&errors](const QString &message) { errors << message; };
    form.DeviceIP = hostText;
    form.DeviceTransport = TransportUdp;
    form.controllerPanel->fileEdit->setFileName(path);
    form.show();
    form.UpdateButtons();

    QElapsedTimer clock;
    QList<ProgressEvent> events;
    events.reserve(2 * (frames.write.size() + 1));
    QObject::connect(form.controllerPanel->progressBar, &QProgressBar::valueChanged, &form, [&](int value) {
        events.append({clock.nsecsElapsed(), value, form.controllerPanel->statusLine->text()});
    });

    // Warm-up: routes and neighbour entries out of the way.
    if (!floor.exchangeAll(frames.read, 0, 1)) {
        std::fprintf(stderr, "no answer from %s\n", qPrintable(hostText));
        return 1;
    }

    std::printf("controller upgrade benchmark: %d bytes, %lld frames each way, %s\n", bytes,
                static_cast<long long>(frames.write.size()), qPrintable(hostText));
    std::printf("%-6s %10s %10s %12s %12s %8s %10s %10s %10s\n", "round", "write ms", "verify ms", "floor wr ms",
                "floor rd ms", "ratio", "before ms", "after ms", "total ms");
    QList<Round> results;
    for (int r = 1; r <= rounds; ++r) {
        Round round;
        // The floor first, on the same frames; an upgrade leaves the updater stopped.
        if (r > 1 && !PingPong::startUpdater(host)) {
            std::fprintf(stderr, "round %d: the device did not acknowledge StartUpdater\n", r);
            return 1;
        }
        clock.start();
        if (!floor.exchangeAll(frames.write))
            return 1;
        round.floorWriteMs = msSince(clock);
        clock.start();
        if (!floor.exchangeAll(frames.read))
            return 1;
        round.floorReadMs = msSince(clock);

        events.clear();
        form.controllerPanel->progressBar->reset();
        clock.start();
        form.controllerPanel->upgrade();
        const double totalMs = msSince(clock);

        const QJsonObject state = simulator.deviceState(Device);
        const QJsonObject controller = state.value(QStringLiteral("controller")).toObject();
        const bool upgraded = errors.isEmpty()
            && controller.value(QStringLiteral("updateImageSha256")).toString() == sha256(image)
            && controller.value(QStringLiteral("updateModeCount")).toInt() == r
            && state.value(QStringLiteral("daemon")).toBool();
        if (!upgraded || !phases(events, bytes, totalMs, round)) {
            std::fprintf(stderr, "round %d: the upgrade failed (%s)\n", r,
                         errors.isEmpty() ? "no message" : qPrintable(errors.join(QStringLiteral(" / "))));
            return 1;
        }
        std::printf("%-6d %10.1f %10.1f %12.1f %12.1f %8.3f %10.1f %10.1f %10.1f\n", r, round.writeMs,
                    round.verifyMs, round.floorWriteMs, round.floorReadMs, round.ratio(), round.beforeMs,
                    round.afterMs, round.totalMs);
        results.append(round);
    }

    const auto median = [&results](auto figure) { return PingPong::medianOf(results, figure); };
    const double writeMs = median([](const Round &x) { return x.writeMs; });
    const double verifyMs = median([](const Round &x) { return x.verifyMs; });
    const double floorWriteMs = median([](const Round &x) { return x.floorWriteMs; });
    const double floorReadMs = median([](const Round &x) { return x.floorReadMs; });
    const double exchanges = double(frames.write.size() + frames.read.size());
    std::printf("median: write %.1f ms, verify %.1f ms, floor %.1f + %.1f ms; %.1f us vs %.1f us per exchange\n",
                writeMs, verifyMs, floorWriteMs, floorReadMs, (writeMs + verifyMs) * 1000.0 / exchanges,
                (floorWriteMs + floorReadMs) * 1000.0 / exchanges);
    std::printf("ratio upgrade/floor (write + verify): %.3f (median of %d rounds; goal <= 1.5); floor resends: %d\n",
                median([](const Round &x) { return x.ratio(); }), rounds, floor.retries());
    std::printf("fixed waits, apart: settle after update mode %d ms, pause after a command %d ms; "
                "before the bus (ARP flush, stop daemon, start updater) %.1f ms; "
                "after the read-back (update mode, settle, stop updater, start daemon) %.1f ms\n",
                form.timing().settleMs, form.timing().bus.commandPauseMs,
                median([](const Round &x) { return x.beforeMs; }), median([](const Round &x) { return x.afterMs; }));
    // The goal printed beside the ratio; a gate run fails with its own status when it is missed.
    constexpr double RatioGoal = 1.5;
    constexpr int GateFailed = 3;
    const bool overGoal = median([](const Round &x) { return x.ratio(); }) > RatioGoal;
    return parser.isSet(gateOption) && overGoal ? GateFailed : 0;
}
