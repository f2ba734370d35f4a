// The sweep of a /16 behind the lab's router: every device listed, the time of the sweep against
// addresses / rate, memory per listed device; then the replies lost by one pass over the devices'
// own addresses at rising rates, up to the highest the lab sustains. Headless: the engine and the
// sweep operation, as tarvino-cli scan --range runs them.
//
//   lab/lab up --routed --devices 1000
//   lab/lab pc build/bench/bench_sweep [DEVICES [RATE]]      (defaults 1000 and 2000)
#include "protocol/addressrange.h"
#include "benchlab.h"
#include "labsim.h"
#include "operations/rangesweep.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "protocol/devicerecord.h"
#include "protocol/ipv4text.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

namespace {
const QString FirstDevice = QStringLiteral("198.19.1.1");
const QString RoutedNetwork = QStringLiteral("198.19.0.0/16");
constexpr int ListenMs = 1000;

TAddressRange rangeOf(const QString &text)
{
    const auto parsed = ParseAddressRange(text, CurrentSweepContext());
    if (const QString *why = std::get_if<QString>(&parsed)) {
        std::fprintf(stderr, "%s\n", qPrintable(*why));
        std::exit(2);
    }
    return std::get<TAddressRange>(parsed);
}

struct SweepRun
{
    qint64 totalMs = 0;
    qint64 firstPassMs = 0;
    qint64 allListedMs = -1;
    int listedAfterFirstPass = 0;
    int listed = 0;
    long residentKiB = 0;
    qsizetype recordBytes = 0;
    quint64 requests = 0;
};

SweepRun sweep(TDatagramEngine &engine, const TAddressRange &range, int rate, int passes, int devices)
{
    TRangeSweep::Options options;
    options.ranges = {range};
    options.rate = rate;
    options.passes = passes;
    options.listenMs = ListenMs;
    const long before = BenchLab::residentKiB();
    TRangeSweep operation(&engine, options);
    SweepRun run;
    QElapsedTimer clock;
    int replies = 0;
    QObject::connect(&operation, &TRangeSweep::deviceReplied, &operation, [&](int index) {
        replies = std::max(replies, index + 1);
        if (replies >= devices && run.allListedMs < 0)
            run.allListedMs = clock.elapsed();
    });
    QObject::connect(&operation, &TRangeSweep::swept, &operation, [&](qint64 done, qint64 total, int pass) {
        if (pass == 1 && done == total)
            run.firstPassMs = clock.elapsed();
        if (pass == 2 && run.listedAfterFirstPass == 0)
            run.listedAfterFirstPass = int(operation.devices().size());
    });
    clock.start();
    const TOperationOutcome outcome = operation.exec();
    run.totalMs = clock.elapsed();
    if (!outcome.succeeded)
        std::fprintf(stderr, "the sweep failed: %s\n", qPrintable(outcome.detail));
    const QList<TDeviceRecord> listed = operation.devices();
    run.listed = int(listed.size());
    if (run.listedAfterFirstPass == 0)
        run.listedAfterFirstPass = run.listed;
    for (const TDeviceRecord &device : listed)
        run.recordBytes += qsizetype(sizeof(TDeviceRecord)) + device.Params.heapBytes();
    run.residentKiB = BenchLab::residentKiB() - before;
    run.requests = operation.requestsSent();
    return run;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    if (!QFileInfo::exists(QStringLiteral("/run/netns/tarvino-router"))) {
        out << "run me in a routed lab: lab/lab up --routed --devices 1000; lab/lab pc " << argv[0] << "\n";
        return 2;
    }
    StartupInit(); // the device types that replies are read with
    const int devices = argc > 1 ? atoi(argv[1]) : 1000;
    const int rate = argc > 2 ? atoi(argv[2]) : TRangeSweep::DefaultRate;
    LabSimulator sim;
    sim.setDeviceNamespace(QStringLiteral("tarvino-dev"));
    if (!sim.start(devices, {QStringLiteral("--base"), FirstDevice, QStringLiteral("--broadcast-prefix"), QStringLiteral("16"),
                             QStringLiteral("--seed"), QStringLiteral("7")})) {
        out << "simulator did not start: " << sim.errorString() << "\n";
        return 1;
    }
    TDatagramEngine engine;
    if (engine.boundAddresses().isEmpty()) {
        out << "the engine's port is held elsewhere: " << engine.bindError() << "\n";
        return 1;
    }

    // The /16 at the rate: both passes, as scan --range runs it.
    const TAddressRange network = rangeOf(RoutedNetwork);
    const SweepRun whole = sweep(engine, network, rate, 2, devices);
    const double planMs = double(network.count()) * 1000.0 / rate;
    out << QStringLiteral("%1 (%2 addresses) at %3 requests/s, %4 devices: listed %5 (%6 after the first pass), "
                          "first pass %7 ms = %8x addresses/rate, all listed after %9 ms, whole sweep %10 ms "
                          "(%11 requests, both passes and %12 ms of listening), resident +%13 KiB (%14 B per "
                          "listed device), records %15 B per device\n")
               .arg(RoutedNetwork).arg(network.count()).arg(rate).arg(devices).arg(whole.listed)
               .arg(whole.listedAfterFirstPass).arg(whole.firstPassMs)
               .arg(QString::number(whole.firstPassMs / planMs, 'f', 3))
               .arg(whole.allListedMs).arg(whole.totalMs).arg(whole.requests).arg(ListenMs)
               .arg(whole.residentKiB).arg(whole.listed ? whole.residentKiB * 1024 / whole.listed : 0)
               .arg(whole.listed ? whole.recordBytes / whole.listed : 0);
    out.flush();

    // One pass over the devices' own addresses: every reply lost shows, none is asked again.
    const TAddressRange own = rangeOf(QStringLiteral("%1-%2").arg(FirstDevice, IpToText(TextToIp(FirstDevice) + quint32(devices) - 1)));
    int highestWithoutLoss = 0;
    for (const int step : {2000, 5000, 10000, 20000, 50000, 100000}) {
        const SweepRun pass = sweep(engine, own, step, 1, devices);
        out << QStringLiteral("one pass over %1 devices at %2 requests/s: %3 listed, %4 lost, %5 ms\n")
                   .arg(devices).arg(step).arg(pass.listed).arg(devices - pass.listed).arg(pass.totalMs - ListenMs);
        out.flush();
        if (pass.listed == devices)
            highestWithoutLoss = step;
    }
    out << QStringLiteral("highest rate without a lost reply: %1 requests/s\n").arg(highestWithoutLoss);
    return whole.listed == devices ? 0 : 1;
}
