// Controller firmware upgrades of a fleet: N simulated devices upgraded by one job of the job
// service, a few at a time, against a job of one device in the same run (each job also waits for its
// devices to answer a scan again, as every front end's does). With the device's own waits
// (the settle after update mode, the pause after each command) the work of one upgrade is mostly
// waiting, so running `jobs` of them at once should take about as long as running one:
//
//   ratio = TN / (max(N / jobs, 1) × T1)
//
// where T1 is one upgrade alone and TN the whole fleet's. A ratio near 1 means the engine, the
// workers and the bus clients do not get in each other's way; N / jobs is not rounded up, so an
// uneven last batch shows in the ratio too. The same against the whole rounds the pool needs,
//
//   rounds ratio = TN / (ceil(N / jobs) × T1),
//
// says how much the fleet costs beyond those rounds (goal 1.1). The image is read once for the run,
// as the window's batches and the command line read it.
//
// Run in the lab's PC namespace; it starts the simulator in the device namespace itself:
//   lab/lab pc build/bench/bench_fleetupgrade [--devices N] [--bytes N] [--jobs N] [--settle-ms MS] [--gate]
// Exits 1 when an upgrade fails or a device is not left upgraded with its daemon running, 3 with
// --gate when the ratio is over its goal. Only one process of the lab's PC may hold the engine's
// port: run it while no other lab test runs.

#include "benchlab.h"
#include "fleet/history/operationjournal.h"
#include "fleet/jobs/jobservice.h"
#include "labsim.h"
#include "operations/commandoperations.h"
#include "pingpong.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "protocol/tools.h"
#include "protocol/wire.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QMutex>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace {

using PingPong::msSince;

constexpr double Goal = 1.5;
constexpr double RoundsGoal = 1.1;
constexpr int MaxDevices = 1000;
constexpr int MaxJobs = 64;
// Exit status when --gate is given and the ratio is over its goal.
constexpr int GateFailed = 3;
// A run that takes longer than this is cancelled (its devices are still put back) and fails.
constexpr int DefaultLimitS = 300;

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// The steps and phases of one operation as they began, for the breakdown of the single upgrade.
// The labels are emitted on the operation's worker thread and read once it has ended.
struct Milestones
{
    QElapsedTimer clock;
    QMutex mutex;
    QList<QPair<qint64, QString>> marks;

    void watch(TJob &job)
    {
        const auto mark = [this](int, const QString &label) {
            const QMutexLocker lock(&mutex);
            marks.append({clock.nsecsElapsed(), label});
        };
        QObject::connect(&job, &TJob::stepStarted, &job, mark);
        QObject::connect(&job, &TJob::phaseChanged, &job, mark);
    }

    // "ARP flush 12.3, Stopping daemon 101.2, ..." in ms, each mark to the next, the last to the end.
    QString text(double totalMs)
    {
        const QMutexLocker lock(&mutex);
        QStringList parts;
        double previous = 0;
        QString label = QStringLiteral("ARP flush");
        for (const auto &[ns, next] : std::as_const(marks)) {
            const double at = double(ns) / 1e6;
            parts << QStringLiteral("%1 %2").arg(label).arg(at - previous, 0, 'f', 1);
            previous = at;
            label = next;
        }
        parts << QStringLiteral("%1 %2").arg(label).arg(totalMs - previous, 0, 'f', 1);
        return parts.join(QStringLiteral(", "));
    }
};

QString failureText(const TJobItemStatus &status)
{
    const TOperationOutcome &outcome = status.outcome;
    QStringList parts{status.message.simplified()};
    if (outcome.cancelled)
        parts << QStringLiteral("cancelled");
    if (!outcome.failedStep.isEmpty())
        parts << QStringLiteral("at \"%1\"").arg(outcome.failedStep);
    if (!outcome.message.isEmpty())
        parts << outcome.message.simplified();
    if (!outcome.detail.isEmpty())
        parts << outcome.detail;
    if (const QString error = outcome.errorText(); !error.isEmpty())
        parts << error;
    if (const QString device = outcome.device.text(); !device.isEmpty())
        parts << QStringLiteral("left with %1").arg(device);
    return parts.isEmpty() ? QStringLiteral("no reason given") : parts.join(QStringLiteral("; "));
}

// Whether the simulator holds the image as this device's verified and installed firmware, with
// the device back in service. Empty when it does, else what is wrong.
QString deviceProblem(const QJsonObject &device, const QString &imageSha, int updateModes)
{
    if (device.isEmpty())
        return QStringLiteral("no state from the simulator");
    const QJsonObject controller = device.value(QStringLiteral("controller")).toObject();
    QStringList problems;
    if (controller.value(QStringLiteral("firmwareSha256")).toString() != imageSha)
        problems << QStringLiteral("firmware differs from the image");
    if (controller.value(QStringLiteral("updateImageSha256")).toString() != imageSha)
        problems << QStringLiteral("update image differs from the image");
    if (const int count = controller.value(QStringLiteral("updateModeCount")).toInt(); count != updateModes)
        problems << QStringLiteral("update mode entered %1 times, expected %2").arg(count).arg(updateModes);
    if (!device.value(QStringLiteral("daemon")).toBool())
        problems << QStringLiteral("daemon stopped");
    if (device.value(QStringLiteral("updater")).toBool())
        problems << QStringLiteral("updater still running");
    return problems.join(QStringLiteral(", "));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Controller firmware upgrades of many simulated devices at once, against one alone"));
    parser.addHelpOption();
    const QCommandLineOption devicesOption(QStringLiteral("devices"), QStringLiteral("Devices upgraded together."),
                                           QStringLiteral("n"), QStringLiteral("50"));
    const QCommandLineOption bytesOption(QStringLiteral("bytes"), QStringLiteral("Image size."), QStringLiteral("n"),
                                         QString::number(256 * 1024));
    const QCommandLineOption jobsOption(QStringLiteral("jobs"), QStringLiteral("Upgrades running at once."),
                                        QStringLiteral("n"), QStringLiteral("8"));
    const QCommandLineOption settleOption(QStringLiteral("settle-ms"),
                                          QStringLiteral("Settle after update mode (default: the device's own)."),
                                          QStringLiteral("ms"));
    const QCommandLineOption limitOption(QStringLiteral("limit-s"),
                                         QStringLiteral("Cancel and fail a run that takes longer."),
                                         QStringLiteral("s"), QString::number(DefaultLimitS));
    const QCommandLineOption gateOption(QStringLiteral("gate"),
                                        QStringLiteral("Exit with 3 when the ratio is over its goal."));
    parser.addOptions({devicesOption, bytesOption, jobsOption, settleOption, limitOption, gateOption});
    parser.process(app);

    bool ok = true;
    const auto number = [&](const QCommandLineOption &option, int low, int high) {
        bool valid = false;
        const int value = parser.value(option).toInt(&valid);
        if (!valid || value < low || value > high) {
            std::fprintf(stderr, "--%s takes %d..%d\n", qPrintable(option.names().constFirst()), low, high);
            ok = false;
        }
        return value;
    };
    const int devices = number(devicesOption, 1, MaxDevices);
    const int bytes = number(bytesOption, 1, int(Wire::Bus::AddressSpace));
    const int jobs = number(jobsOption, 1, MaxJobs);
    const int limitMs = number(limitOption, 1, 3600) * 1000;
    TOperationTiming timing;
    if (parser.isSet(settleOption))
        timing.settleMs = number(settleOption, 0, 60000);
    if (!ok)
        return 2;

    for (int i : {0, devices - 1}) {
        if (!PingPong::destinationAllowed(LabSimulator::deviceAddress(i))) {
            std::fprintf(stderr, "%s: not a lab device seen from the lab's PC (run it with lab/lab pc)\n",
                         qPrintable(LabSimulator::deviceIp(i)));
            return 2;
        }
    }
    StartupInit(); // as the main window's creation does: the protocol code of every request
    LabSimulator simulator;
    TDatagramEngine engine;
    // No journal: its writes would lengthen every exchange and hide the client's own cost. The
    // simulator refuses to start when the lab has fewer device addresses than devices.
    if (!BenchLab::start(simulator, devices, {QStringLiteral("--journal"), QStringLiteral("/dev/null")}, engine))
        return 1;
    const QByteArray image = BenchLab::randomImage(bytes, 0xf1ee7);
    const QString imageSha = sha256(image);
    QTemporaryDir dir;
    // The confirmations of the upgrades are recorded as the window's and the command line's are.
    const TOperationJournal journal(dir.filePath(QStringLiteral("history.jsonl")));
    const QString path = dir.filePath(QStringLiteral("controller.bin"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }

    std::printf("fleet upgrade benchmark: %d devices (%s to %s), %d bytes, %d at a time; settle %d ms, "
                "pause after a command %d ms\n",
                devices, qPrintable(LabSimulator::deviceIp(0)), qPrintable(LabSimulator::deviceIp(devices - 1)),
                bytes, jobs, timing.settleMs, timing.bus.commandPauseMs);

    // The devices' discovery records: the job recognises each upgraded device by its record when it
    // answers again.
    QList<TJobDevice> listed;
    {
        TScanDevices scan(&engine, {1, 0, 1000});
        scan.exec();
        for (int i = 0; i < devices; ++i)
            for (const TDeviceRecord &device : scan.devices())
                if (device.IpText == LabSimulator::deviceIp(i))
                    listed << TJobDevice::of(device);
        if (listed.size() != devices) {
            std::fprintf(stderr, "%lld of %d devices answered the scan\n", qint64(listed.size()), devices);
            return 1;
        }
    }
    TJobService service(&engine, &journal);
    TJobOptions options;
    options.timing = timing;
    options.confirmed = true;
    options.jobs = jobs;
    options.comeBackListenMs = 500;
    // An empty library of its own: whatever library the settings name is not this run's.
    QDir(dir.path()).mkpath(QStringLiteral("library"));
    options.libraryFolder = dir.filePath(QStringLiteral("library"));

    // One device alone, as a window runs it.
    double oneMs = 0;
    {
        Milestones milestones;
        TJob *job = service.create(TJobRequest::forDevices(TJobAction::ControllerUpgrade, {listed.first()}, path, options));
        milestones.watch(*job);
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, job, [job] { job->cancel(); });
        limit.start(limitMs);
        QElapsedTimer clock;
        clock.start();
        milestones.clock.start();
        job->exec();
        oneMs = msSince(clock);
        const TJobItemStatus &status = job->item(0);
        if (!status.succeeded()) {
            std::fprintf(stderr, "one device: the upgrade of %s failed: %s\n", qPrintable(LabSimulator::deviceIp(0)),
                         qPrintable(failureText(status)));
            return 1;
        }
        const QString problem = deviceProblem(simulator.deviceState(0), imageSha, 1);
        if (!problem.isEmpty()) {
            std::fprintf(stderr, "one device: %s after its upgrade: %s\n", qPrintable(LabSimulator::deviceIp(0)),
                         qPrintable(problem));
            return 1;
        }
        std::printf("one device:  T1 %9.1f ms  (%s)\n", oneMs, qPrintable(milestones.text(oneMs)));
    }

    // The whole fleet through one job.
    TJob *job = service.create(TJobRequest::forDevices(TJobAction::ControllerUpgrade, listed, path, options));
    QElapsedTimer clock;
    QHash<int, qint64> startedNs;
    QList<double> durationsMs;
    QObject::connect(job, &TJob::itemChanged, job, [&](int index) {
        if (job->item(index).state == TJobItemStatus::Running && !startedNs.contains(index))
            startedNs.insert(index, clock.nsecsElapsed());
    });
    QObject::connect(job, &TJob::operationEnded, job, [&](int index) {
        durationsMs.append(double(clock.nsecsElapsed() - startedNs.value(index)) / 1e6);
    });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, job, [job] { job->cancel(); });
    limit.start(limitMs);
    clock.start();
    job->exec();
    const double fleetMs = msSince(clock);
    limit.stop();

    // One dump of every device's state; device 0 was upgraded twice.
    const QJsonArray states = simulator.state().value(QStringLiteral("devices")).toArray();
    int failed = 0;
    for (int i = 0; i < devices; ++i) {
        const TJobItemStatus &status = job->item(i);
        const QString problem = deviceProblem(i < states.size() ? states.at(i).toObject() : QJsonObject(), imageSha,
                                              i == 0 ? 2 : 1);
        if (!status.succeeded())
            std::fprintf(stderr, "%s: the upgrade failed: %s\n", qPrintable(LabSimulator::deviceIp(i)),
                         qPrintable(failureText(status)));
        if (!problem.isEmpty())
            std::fprintf(stderr, "%s after its upgrade: %s\n", qPrintable(LabSimulator::deviceIp(i)),
                         qPrintable(problem));
        if (!status.succeeded() || !problem.isEmpty())
            ++failed;
    }

    std::sort(durationsMs.begin(), durationsMs.end());
    const auto at = [&durationsMs](double share) {
        return durationsMs.isEmpty() ? 0.0 : durationsMs.at(qsizetype(share * double(durationsMs.size() - 1)));
    };
    std::printf("all devices: TN %9.1f ms  (each upgrade: min %.1f, median %.1f, max %.1f ms)\n", fleetMs, at(0),
                at(0.5), at(1));
    const double batches = std::max(1.0, double(devices) / double(jobs));
    const double ratio = fleetMs / (batches * oneMs);
    std::printf("ratio fleet/(N/jobs x one): %.3f (TN %.1f ms / (%.2f x T1 %.1f ms); goal <= %.1f)\n", ratio,
                fleetMs, batches, oneMs, Goal);
    const double rounds = std::ceil(double(devices) / double(jobs));
    const double roundsRatio = fleetMs / (rounds * oneMs);
    std::printf("ratio fleet/(rounds x one): %.3f (TN %.1f ms / (%.0f x T1 %.1f ms); goal <= %.1f)\n", roundsRatio,
                fleetMs, rounds, oneMs, RoundsGoal);
    if (failed > 0) {
        std::fprintf(stderr, "%d of %d devices failed\n", failed, devices);
        return 1;
    }
    if (parser.isSet(gateOption) && ratio > Goal) {
        std::fprintf(stderr, "the ratio %.3f is over its goal %.1f\n", ratio, Goal);
        return GateFailed;
    }
    return 0;
}
