// A scan of many simulated devices: time to a complete grid, replies lost, memory per
// listed device, and how long the window went without answering meanwhile.
//
//   lab/lab up --devices 10000
//   lab/lab pc build/bench/bench_scan 1000 10000
#include "application.h"
#include "formmain.h"
#include "labsim.h"
#include "stringgrid.h"
#include "tools.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>
#include <QTimer>

namespace {
long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

void runOnce(int devices, QTextStream &out)
{
    LabSimulator sim;
    if (!sim.start(devices, {QStringLiteral("--seed"), QStringLiteral("7")})) {
        out << "simulator did not start: " << sim.errorString() << "\n";
        return;
    }
    TFormMain form;
    form.show();
    QCoreApplication::processEvents();
    DeviceList.clear();
    const long before = residentKiB();

    // The window's responsiveness: the longest gap between ticks of a 5 ms timer.
    QElapsedTimer sinceTick;
    qint64 longestGapMs = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, &form, [&] {
        longestGapMs = std::max(longestGapMs, sinceTick.elapsed());
        sinceTick.restart();
    });

    QElapsedTimer clock;
    qint64 completeMs = -1;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &form, [&] {
        if (completeMs < 0 && DeviceList.size() >= devices && form.StringGrid->RowCount() >= devices + 1)
            completeMs = clock.elapsed();
    });
    form.Scan();
    clock.start();
    sinceTick.start();
    probe.start(5);
    watch.start(1);
    while (form.Timer->isActive() || clock.elapsed() < 2500) // the whole cycle, and a little more
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    probe.stop();
    watch.stop();
    const long after = residentKiB();

    qsizetype recordBytes = 0;
    for (const TEPS &device : DeviceList)
        recordBytes += qsizetype(sizeof(TEPS)) + device.Params.heapBytes();
    const int listed = static_cast<int>(DeviceList.size());
    out << QStringLiteral("%1 devices: listed %2, lost %3, grid complete after %4 ms (from Scan), "
                          "longest gap between 5 ms ticks %5 ms, resident +%6 KiB (%7 B per device), "
                          "records %8 B per device\n")
               .arg(devices)
               .arg(listed)
               .arg(devices - listed)
               .arg(completeMs)
               .arg(longestGapMs)
               .arg(after - before)
               .arg(listed ? (after - before) * 1024 / listed : 0)
               .arg(listed ? recordBytes / listed : 0);
    out.flush();
}
} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TApplication app(argc, argv);
    QTextStream out(stdout);
    if (!LabSimulator::inLab()) {
        out << "run me inside the lab: lab/lab pc " << argv[0] << " 1000 10000\n";
        return 2;
    }
    QList<int> counts;
    for (int i = 1; i < argc; ++i)
        counts.append(atoi(argv[i]));
    if (counts.isEmpty())
        counts = {1000};
    for (int devices : counts)
        runOnce(devices, out);
    return 0;
}
