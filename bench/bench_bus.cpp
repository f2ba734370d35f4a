// Controller bus throughput: writes and reads back a block through TControllerBus, and in the same run measures
// the floor of the path, a bare stop-and-wait exchange of the same frames from a plain socket.
//
// Run in the lab's PC namespace; with --lab it starts the simulator in the device namespace itself:
//   lab/lab up --devices 1 && lab/lab pc build/bench/bench_bus --lab
// or against a device that is already answering: lab/lab pc build/bench/bench_bus --host 198.18.1.1
// Prints the times of both and their ratio; exits non-zero when a transfer or the read-back fails,
// and with 3 under --gate when the ratio is over its goal.
// It refuses any destination but loopback and the lab's device addresses seen from the lab's PC.

#include "labsim.h"
#include "pingpong.h"
#include "protocol/socketwait.h"
#include "uikeepalive.h"
#include "protocol/wire.h"
#include "bus/controllerbus.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>

namespace {

using PingPong::destinationAllowed;
using PingPong::FloorClient;
using PingPong::msSince;

constexpr int SegmentBytes = 64 * 1024;

struct Round
{
    double writeMs = 0;
    double readMs = 0;
    double floorWriteMs = 0;
    double floorReadMs = 0;
    double ratio() const { return (writeMs + readMs) / (floorWriteMs + floorReadMs); }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Controller bus throughput against a device"));
    parser.addHelpOption();
    const QCommandLineOption hostOption(QStringLiteral("host"), QStringLiteral("Device address."),
                                        QStringLiteral("address"), QStringLiteral("198.18.1.1"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Bus port."), QStringLiteral("port"),
                                        QString::number(Wire::BusPort));
    const QCommandLineOption bytesOption(QStringLiteral("bytes"), QStringLiteral("Block size."),
                                         QStringLiteral("n"), QString::number(1 << 20));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"), QStringLiteral("Measured rounds."),
                                          QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption updaterOption(QStringLiteral("start-updater"),
                                           QStringLiteral("Ask the device to start its updater first."));
    const QCommandLineOption labOption(QStringLiteral("lab"),
                                       QStringLiteral("Start a simulated device in the lab and use it."));
    const QCommandLineOption gateOption(QStringLiteral("gate"),
                                        QStringLiteral("Exit with 3 when the ratio is over its goal."));
    parser.addOptions({hostOption, portOption, bytesOption, roundsOption, updaterOption, labOption, gateOption});
    parser.process(app);

    LabSimulator simulator;
    // No journal: its writes would lengthen every round trip and hide the client's own cost.
    if (parser.isSet(labOption)
        && !simulator.start(1, {QStringLiteral("--updater-running"), QStringLiteral("--journal"), QStringLiteral("/dev/null")})) {
        std::fprintf(stderr, "cannot start the simulator: %s\n", qPrintable(simulator.errorString()));
        return 1;
    }
    const QString hostText = parser.isSet(labOption) ? LabSimulator::deviceIp(0) : parser.value(hostOption);
    const QHostAddress host(hostText);
    const quint16 port = static_cast<quint16>(parser.value(portOption).toUInt());
    const int bytes = std::max(1, parser.value(bytesOption).toInt());
    const int rounds = std::clamp(parser.value(roundsOption).toInt(), 1, 20);
    if (host.protocol() != QAbstractSocket::IPv4Protocol || !destinationAllowed(host)) {
        std::fprintf(stderr, "%s: not loopback, nor a lab device seen from the lab's PC (run it with lab/lab pc)\n",
                     qPrintable(hostText));
        return 2;
    }
    if (parser.isSet(updaterOption) && !PingPong::startUpdater(host)) {
        std::fprintf(stderr, "the device did not acknowledge StartUpdater\n");
        return 1;
    }

    QByteArray image(bytes, Qt::Uninitialized);
    QRandomGenerator random(0xb05);
    for (char &c : image)
        c = static_cast<char>(random.bounded(256));

    // The same frames the bus sends, built before the clock starts.
    const PingPong::BlockFrames frames = PingPong::blockFrames(image);
    const QList<QByteArray> &writeFrames = frames.write;
    const QList<QByteArray> &readFrames = frames.read;

    TUiKeepAlive keepAlive; // as a window's thread would: waits process events, prompt replies never do
    TControllerBus bus(nullptr, hostText, port);
    FloorClient floor(host, port);
    if (!bus.isOpen() || !floor.isOpen()) {
        std::fprintf(stderr, "cannot open a socket\n");
        return 1;
    }
    // Warm-up: routes, neighbour entries and the device's first frame out of the way.
    if (bus.ReadBlock(0xFF, 0, Wire::Bus::MaxChunk).isEmpty()) {
        std::fprintf(stderr, "no answer from %s port %u\n", qPrintable(hostText), port);
        return 1;
    }

    std::printf("bus benchmark: %d bytes, %lld frames each way, %s port %u\n", bytes,
                static_cast<long long>(writeFrames.size()), qPrintable(hostText), port);
    std::printf("%-6s %12s %12s %12s %12s %8s\n", "round", "write ms", "read ms", "floor wr ms", "floor rd ms",
                "ratio");
    QList<Round> results;
    const int framesPerSegment = SegmentBytes / Wire::Bus::MaxChunk;
    for (int r = 1; r <= rounds; ++r) {
        Round round;
        qint64 progress = 0;
        const TBlockProgressEvent onProgress = [&progress](int n) { progress += n; };
        bool written = true;
        QByteArray readBack;
        readBack.reserve(bytes);
        QElapsedTimer clock;
        // Bus and floor take turns segment by segment, so that both see the same load on the machine.
        for (int offset = 0, frame = 0; offset < bytes; offset += SegmentBytes, frame += framesPerSegment) {
            const int size = std::min(SegmentBytes, bytes - offset);
            const qsizetype count = std::min<qsizetype>(framesPerSegment, writeFrames.size() - frame);
            clock.start();
            written = written && bus.WriteBlock(0xFF, quint32(offset), QByteArrayView(image).sliced(offset, size),
                                                onProgress);
            round.writeMs += msSince(clock);
            clock.start();
            if (!floor.exchangeAll(writeFrames, frame, count))
                return 1;
            round.floorWriteMs += msSince(clock);
        }
        for (int offset = 0, frame = 0; offset < bytes; offset += SegmentBytes, frame += framesPerSegment) {
            const int size = std::min(SegmentBytes, bytes - offset);
            const qsizetype count = std::min<qsizetype>(framesPerSegment, readFrames.size() - frame);
            clock.start();
            readBack += bus.ReadBlock(0xFF, quint32(offset), size, onProgress);
            round.readMs += msSince(clock);
            clock.start();
            if (!floor.exchangeAll(readFrames, frame, count))
                return 1;
            round.floorReadMs += msSince(clock);
        }
        if (!written || readBack != image || progress != 2 * qint64(bytes)) {
            std::fprintf(stderr, "round %d: write %s, read-back %s\n", r, written ? "ok" : "failed",
                         readBack == image ? "equal" : "different");
            return 1;
        }
        std::printf("%-6d %12.1f %12.1f %12.1f %12.1f %8.3f\n", r, round.writeMs, round.readMs, round.floorWriteMs,
                    round.floorReadMs, round.ratio());
        results.append(round);
    }

    // Medians of each figure over the rounds.
    const auto median = [&results](auto figure) { return PingPong::medianOf(results, figure); };
    const double writeMs = median([](const Round &x) { return x.writeMs; });
    const double readMs = median([](const Round &x) { return x.readMs; });
    const double floorWriteMs = median([](const Round &x) { return x.floorWriteMs; });
    const double floorReadMs = median([](const Round &x) { return x.floorReadMs; });
    const double ratio = median([](const Round &x) { return x.ratio(); });
    const double exchanges = double(writeFrames.size() + readFrames.size());
    std::printf("median: write %.1f ms, read %.1f ms, floor %.1f + %.1f ms; %.1f us vs %.1f us per exchange\n",
                writeMs, readMs, floorWriteMs, floorReadMs, (writeMs + readMs) * 1000.0 / exchanges,
                (floorWriteMs + floorReadMs) * 1000.0 / exchanges);
    std::printf("ratio bus/floor: %.3f (median of %d rounds; goal <= 1.5); floor resends: %d\n", ratio, rounds,
                floor.retries());
    // The goal printed beside the ratio; a gate run fails with its own status when it is missed.
    constexpr double RatioGoal = 1.5;
    constexpr int GateFailed = 3;
    return parser.isSet(gateOption) && ratio > RatioGoal ? GateFailed : 0;
}
