// A scan of many simulated devices: time to a complete grid, replies lost, memory per
// listed device, and how long the window went without answering meanwhile. The scan goes through
// the engine's broadcast on every adapter (one here); the arrival of the last reply at the engine
// is measured in the same run, and the grid must be complete within 1.5 times that.
//
//   lab/lab up --devices 10000
//   lab/lab pc build/bench/bench_scan 1000 10000
//   lab/lab pc build/bench/bench_scan --site-watch 65536   (a site file of every device and two
//                                    missing ones open, Scan > Watch on: its first two scans)
#include "app/application.h"
#include "benchlab.h"
#include "app/mainwindow.h"
#include "labsim.h"
#include "protocol/datagramengine.h"
#include "app/sitefeature.h"
#include "app/stringgrid.h"
#include "app/watchfeature.h"
#include "protocol/devicerecord.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <atomic>

namespace {
constexpr qint64 LateRepliesMs = 10000;

// The kernel's count of packets dropped for a full input backlog, every processor (the second
// column of /proc/net/softnet_stat, in hexadecimal): the lab's virtual links drop a burst there.
long softnetDrops()
{
    QFile stat(QStringLiteral("/proc/net/softnet_stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    long drops = 0;
    for (const QByteArray &line : stat.readAll().split('\n'))
        drops += line.simplified().split(' ').value(1).toLong(nullptr, 16);
    return drops;
}
// The system's count of datagrams dropped for full receive buffers (this network namespace).
long udpReceiveBufferErrors()
{
    QFile snmp(QStringLiteral("/proc/net/snmp"));
    if (!snmp.open(QIODevice::ReadOnly))
        return 0;
    QList<QByteArray> header;
    for (const QByteArray &line : snmp.readAll().split('\n')) {
        if (!line.startsWith("Udp: "))
            continue;
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (header.isEmpty()) {
            header = fields;
            continue;
        }
        const qsizetype at = header.indexOf("RcvbufErrors");
        return at > 0 && at < fields.size() ? fields.at(at).toLong() : 0;
    }
    return 0;
}

QString adapterNames(const QList<TNetworkAdapter> &adapters)
{
    QStringList names;
    for (const TNetworkAdapter &adapter : adapters)
        names << AdapterText(adapter);
    return names.join(QStringLiteral(", "));
}

// A site file that lists every simulated device by its address, and two that never answer.
QString writeSiteFile(const QTemporaryDir &folder, int devices)
{
    QFile file(folder.filePath(QStringLiteral("site.csv")));
    if (!file.open(QIODevice::WriteOnly))
        return {};
    QByteArray csv = "name,ip\n";
    for (int i = 0; i < devices; ++i)
        csv += "D" + QByteArray::number(i) + "," + LabSimulator::deviceIp(i).toUtf8() + "\n";
    csv += "Gone-1,198.19.255.1\nGone-2,198.19.255.2\n";
    return file.write(csv) == csv.size() ? file.fileName() : QString();
}

void runOnce(int devices, QTextStream &out, bool siteAndWatch)
{
    LabSimulator sim;
    if (!sim.start(devices, {QStringLiteral("--seed"), QStringLiteral("7")})) {
        out << "simulator did not start: " << sim.errorString() << "\n";
        return;
    }
    TMainWindow form;
    form.show();
    QCoreApplication::processEvents();
    QTemporaryDir folder;
    if (siteAndWatch) {
        QString error;
        if (!form.Site->openSite(writeSiteFile(folder, devices), &error)) {
            out << "site file: " << error << "\n";
            return;
        }
    }
    form.devices().clear();
    const long before = BenchLab::residentKiB();

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
    // Every reply's arrival at the engine (its listener thread): the first reply of the last
    // device heard bounds the scan (the second broadcast's replies only repeat the first's).
    std::atomic<qint64> lastReplyMs{-1};
    std::atomic<int> replies{0};
    QSet<QString> heard;
    heard.reserve(devices);
    const long droppedBefore = udpReceiveBufferErrors();
    const long backlogBefore = softnetDrops();
    const int listener = form.engine()->addDiscoveryListener([&](const TDeviceDatagram &datagram) {
        ++replies;
        if (heard.size() < devices && !heard.contains(datagram.sender)) { // only this thread touches the set
            heard.insert(datagram.sender);
            lastReplyMs = clock.elapsed();
        }
    });
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &form, [&] {
        if (completeMs < 0 && form.devices().size() >= devices && form.StringGrid->RowCount() >= devices + 1)
            completeMs = clock.elapsed();
    });
    if (siteAndWatch)
        form.Watch->setWatching(true); // its first scan, then one that keeps the list
    else
        form.Scan();
    clock.start();
    sinceTick.start();
    probe.start(5);
    watch.start(1);
    // The whole cycle and a little more; a large segment's replies may take longer to come.
    while (form.Timer->isActive() || clock.elapsed() < 2500
           || (completeMs < 0 && clock.elapsed() < LateRepliesMs)
           || (siteAndWatch && form.Watch->watch().scans() < 2 && clock.elapsed() < 3 * LateRepliesMs))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    form.Watch->setWatching(false);
    probe.stop();
    watch.stop();
    form.engine()->removeDiscoveryListener(listener);
    const long dropped = udpReceiveBufferErrors() - droppedBefore;
    const long backlogDropped = softnetDrops() - backlogBefore;
    const long after = BenchLab::residentKiB();

    qsizetype recordBytes = 0;
    for (const TDeviceRecord &device : form.devices())
        recordBytes += qsizetype(sizeof(TDeviceRecord)) + device.Params.heapBytes();
    const int listed = static_cast<int>(form.devices().size());
    out << QStringLiteral("%1 devices: listed %2, lost %3, grid complete after %4 ms (from Scan), "
                          "longest gap between 5 ms ticks %5 ms, resident +%6 KiB (%7 B per device), "
                          "records %8 B per device; last device's first reply at the engine after %9 ms (%10 "
                          "replies, %13 devices heard, %14 datagrams dropped by the PC's full receive buffers, %15 packets by the system's "
                          "full input backlog), grid "
                          "complete at %11x that; adapters %12\n")
               .arg(devices)
               .arg(listed)
               .arg(devices - listed)
               .arg(completeMs)
               .arg(longestGapMs)
               .arg(after - before)
               .arg(listed ? (after - before) * 1024 / listed : 0)
               .arg(listed ? recordBytes / listed : 0)
               .arg(lastReplyMs.load())
               .arg(replies.load())
               .arg(lastReplyMs > 0 && completeMs >= 0 ? QString::number(double(completeMs) / double(lastReplyMs), 'f', 2)
                                                        : QStringLiteral("-"))
               .arg(adapterNames(form.engine()->boundAdapters()))
               .arg(heard.size())
               .arg(dropped)
               .arg(backlogDropped);
    if (siteAndWatch)
        out << QStringLiteral("  with the site file open and Scan > Watch on (%1 watch scans): %2\n")
                   .arg(form.Watch->watch().scans())
                   .arg(form.Site->summary());
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
    bool siteAndWatch = false;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--site-watch")
            siteAndWatch = true;
        else
            counts.append(atoi(argv[i]));
    }
    if (counts.isEmpty())
        counts = {1000};
    for (int devices : counts)
        runOnce(devices, out, siteAndWatch);
    return 0;
}
