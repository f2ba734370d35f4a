// Controller bus throughput: writes and reads back a block through TXBus, and in the same run measures
// the floor of the path, a bare stop-and-wait exchange of the same frames from a plain socket.
//
// Run in the lab's PC namespace; with --lab it starts the simulator in the device namespace itself:
//   lab/lab up --devices 1 && lab/lab pc build/bench/bench_bus --lab
// or against a device that is already answering: lab/lab pc build/bench/bench_bus --host 198.18.1.1
// Prints the times of both and their ratio; exits non-zero when a transfer or the read-back fails.
// It refuses any destination but loopback and the lab's device addresses seen from the lab's PC.

#include "labsim.h"
#include "socketwait.h"
#include "wire.h"
#include "xbus.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int FloorReceiveTimeoutMs = 1000;
constexpr int FloorAttempts = 3;
constexpr int UpdaterAttempts = 3;
constexpr int UpdaterWaitMs = 2000;
constexpr quint16 StartUpdaterAck = 0xFFFD;
constexpr int SegmentBytes = 64 * 1024;

// The 27-byte StartUpdater request to the device's own port, with a zero source record.
QByteArray startUpdaterRequest(quint32 ip)
{
    QByteArray request(Wire::EmptyRequestSize, '\0');
    request[0] = 0x00;
    request[1] = 0x02;
    for (int i = 0; i < 4; ++i)
        request[2 + i] = static_cast<char>(ip >> (24 - 8 * i));
    request[6] = static_cast<char>(Wire::DevicePort >> 8);
    request[7] = static_cast<char>(Wire::DevicePort & 0xFF);
    request[Wire::VersionOffset + 1] = static_cast<char>(Wire::FormatVersion);
    request[Wire::ProtocolCodeOffset] = static_cast<char>(Wire::DefaultProtocolCode >> 8);
    request[Wire::ProtocolCodeOffset + 1] = static_cast<char>(Wire::DefaultProtocolCode & 0xFF);
    request[Wire::CommandOffset] = static_cast<char>(Wire::Command::StartUpdater);
    request[25] = '\xff';
    request[26] = '\xff';
    return request;
}

bool startUpdater(const QHostAddress &host)
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress::AnyIPv4, 0))
        return false;
    const QByteArray request = startUpdaterRequest(host.toIPv4Address());
    for (int attempt = 0; attempt < UpdaterAttempts; ++attempt) {
        socket.writeDatagram(request, host, Wire::DevicePort);
        while (SocketWait::waitForReadyRead(socket, UpdaterWaitMs)) {
            const QByteArray reply = socket.receiveDatagram().data();
            if (reply.size() >= Wire::CommandReplyMinSize
                && static_cast<quint8>(reply.at(Wire::CommandOffset)) == quint8(Wire::Command::StartUpdater)
                && static_cast<quint8>(reply.at(25)) == (StartUpdaterAck >> 8)
                && static_cast<quint8>(reply.at(26)) == (StartUpdaterAck & 0xFF))
                return true;
        }
    }
    return false;
}

// A plain blocking datagram socket: the least any client can do per exchange.
class FloorClient
{
public:
    FloorClient(const QHostAddress &host, quint16 port)
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        m_peer.sin_family = AF_INET;
        m_peer.sin_addr.s_addr = htonl(host.toIPv4Address());
        m_peer.sin_port = htons(port);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~FloorClient()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FloorClient(const FloorClient &) = delete;
    FloorClient &operator=(const FloorClient &) = delete;

    bool isOpen() const { return m_fd >= 0; }

    // Sends the frame and collects datagrams until expected bytes came; resends on a time-out.
    bool exchange(const QByteArray &frame, int expected)
    {
        for (int attempt = 0; attempt < FloorAttempts; ++attempt) {
            ::sendto(m_fd, frame.constData(), static_cast<size_t>(frame.size()), 0,
                     reinterpret_cast<const sockaddr *>(&m_peer), sizeof m_peer);
            int got = 0;
            while (got < expected) {
                pollfd pfd{m_fd, POLLIN, 0};
                if (::poll(&pfd, 1, FloorReceiveTimeoutMs) <= 0)
                    break;
                const ssize_t size = ::recv(m_fd, m_buffer, sizeof m_buffer, 0);
                if (size <= 0)
                    break;
                got += static_cast<int>(size);
            }
            if (got >= expected)
                return true;
            ++m_retries;
        }
        return false;
    }
    int retries() const { return m_retries; }

private:
    int m_fd = -1;
    sockaddr_in m_peer{};
    char m_buffer[XBus::ReceiveBufferSize];
    int m_retries = 0;
};

struct Round
{
    double writeMs = 0;
    double readMs = 0;
    double floorWriteMs = 0;
    double floorReadMs = 0;
    double ratio() const { return (writeMs + readMs) / (floorWriteMs + floorReadMs); }
};

// Loopback, or a device address of the lab when this process runs in the lab's PC namespace.
bool destinationAllowed(const QHostAddress &host)
{
    if (host.isLoopback())
        return true;
    const QHostAddress pc = LabSimulator::pcAddress();
    const bool inPcNamespace = QNetworkInterface::allAddresses().contains(pc);
    return inPcNamespace && host.isInSubnet(pc, LabSimulator::LabPrefixLength) && host != pc;
}

double msSince(const QElapsedTimer &clock)
{
    return static_cast<double>(clock.nsecsElapsed()) / 1e6;
}

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
    parser.addOptions({hostOption, portOption, bytesOption, roundsOption, updaterOption, labOption});
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
    if (parser.isSet(updaterOption) && !startUpdater(host)) {
        std::fprintf(stderr, "the device did not acknowledge StartUpdater\n");
        return 1;
    }

    QByteArray image(bytes, Qt::Uninitialized);
    QRandomGenerator random(0xb05);
    for (char &c : image)
        c = static_cast<char>(random.bounded(256));

    // The same frames the bus sends, built before the clock starts.
    QList<QByteArray> writeFrames;
    QList<QByteArray> readFrames;
    for (int offset = 0; offset < bytes; offset += Wire::Bus::MaxChunk) {
        const int n = std::min(Wire::Bus::MaxChunk, bytes - offset);
        writeFrames.append(XBus::seal(XBus::writeRequest(0xFF, quint32(offset), QByteArrayView(image).sliced(offset, n))));
        readFrames.append(XBus::seal(XBus::readRequest(0xFF, quint32(offset), n)));
    }

    TUiKeepAlive keepAlive; // as in the program: waits would process events, prompt replies never do
    TXBus bus(nullptr, hostText, port);
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
            const qsizetype frames = std::min<qsizetype>(framesPerSegment, writeFrames.size() - frame);
            clock.start();
            written = written && bus.WriteBlock(0xFF, quint32(offset), QByteArrayView(image).sliced(offset, size),
                                                onProgress);
            round.writeMs += msSince(clock);
            clock.start();
            for (qsizetype i = frame; i < frame + frames; ++i)
                if (!floor.exchange(writeFrames.at(i), XBus::WriteReplyData + XBus::CrcSize))
                    return 1;
            round.floorWriteMs += msSince(clock);
        }
        for (int offset = 0, frame = 0; offset < bytes; offset += SegmentBytes, frame += framesPerSegment) {
            const int size = std::min(SegmentBytes, bytes - offset);
            const qsizetype frames = std::min<qsizetype>(framesPerSegment, readFrames.size() - frame);
            clock.start();
            readBack += bus.ReadBlock(0xFF, quint32(offset), size, onProgress);
            round.readMs += msSince(clock);
            clock.start();
            for (qsizetype i = frame; i < frame + frames; ++i) {
                const int n = static_cast<quint8>(readFrames.at(i).at(6));
                if (!floor.exchange(readFrames.at(i), XBus::ReadReplyHeader + n + XBus::CrcSize))
                    return 1;
            }
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
    const auto median = [&results](auto figure) {
        QList<double> values;
        for (const Round &round : results)
            values.append(figure(round));
        std::sort(values.begin(), values.end());
        return values.at(values.size() / 2);
    };
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
    return 0;
}
