// tarvino-devsim: many simulated field devices in one process (see --help).

#include "devsim/journal.h"
#include "devsim/options.h"
#include "devsim/simserver.h"
#include "devsim/simulator.h"
#include "protocol/fileio.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstring>
#include <cstdio>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <unordered_set>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const char byte = char(number);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

void raiseFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::unordered_set<quint32> localAddresses()
{
    std::unordered_set<quint32> addresses;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return addresses;
    for (ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
            sockaddr_in address{};
            std::memcpy(&address, entry->ifa_addr, sizeof address);
            addresses.insert(ntohl(address.sin_addr.s_addr));
        }
    }
    freeifaddrs(list);
    return addresses;
}

bool writeState(const DevSim::DeviceSimulator &simulator, const QString &path, int serial)
{
    QJsonObject state = simulator.state();
    state.insert(QStringLiteral("serial"), serial);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(state).toJson(QJsonDocument::Indented));
    return file.commit();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvino-devsim"));

    const DevSim::ParseResult parsed = DevSim::parseCommandLine(QCoreApplication::arguments());
    if (!parsed.helpText.isEmpty()) {
        WriteText(stdout, parsed.helpText);
        return 0;
    }
    if (!parsed.config) {
        std::fprintf(stderr, "tarvino-devsim: %s (see --help)\n", qPrintable(parsed.error));
        return 2;
    }
    const DevSim::SimulatorConfig &config = *parsed.config;
    if (config.exitWithParent) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() == 1)
            return 0; // the parent is already gone
    }
    raiseFileLimit();

    QList<DevSim::SimDevice> devices;
    QString error;
    if (!DevSim::buildDevices(config, devices, &error)) {
        std::fprintf(stderr, "tarvino-devsim: %s\n", qPrintable(error));
        return 2;
    }
    if (config.list) {
        for (const DevSim::SimDevice &d : devices)
            std::printf("%s\t%s\t%s\t%s\n", qPrintable(d.ipText()), d.name.constData(), d.typeText.constData(),
                        d.addressRecord().toHex().constData());
        return 0;
    }
    if (config.addressCheck && config.bind == QHostAddress(QHostAddress::AnyIPv4)) {
        const std::unordered_set<quint32> local = localAddresses();
        int missing = 0;
        for (const DevSim::SimDevice &d : devices)
            missing += local.count(d.ip) ? 0 : 1;
        if (missing > 0) {
            std::fprintf(stderr,
                         "tarvino-devsim: %d of %d device addresses (from %s) are not local; run it in the lab "
                         "(lab sim ...) or pass --no-address-check\n",
                         missing, int(devices.size()), qPrintable(devices.first().ipText()));
            return 2;
        }
    }

    DevSim::DeviceSimulator simulator(devices, config.faults, config.options);
    DevSim::Journal journal;
    if (!config.journalPath.isEmpty()) {
        if (!journal.open(config.journalPath, &error)) {
            std::fprintf(stderr, "tarvino-devsim: %s\n", qPrintable(error));
            return 2;
        }
        simulator.setJournal(&journal);
    }

    DevSim::SimServer server(simulator);
    if (config.broadcastPrefix > 0 && config.broadcastPrefix < 32) {
        const quint32 hostMask = (1u << (32 - config.broadcastPrefix)) - 1u;
        server.addBroadcastAddress(config.base | hostMask);
    }
    if (!server.start(config.bind, &error)) {
        std::fprintf(stderr, "tarvino-devsim: %s\n", qPrintable(error));
        return 2;
    }

    if (::pipe(signalPipe) != 0) {
        std::perror("tarvino-devsim: pipe");
        return 2;
    }
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    int serial = 0;
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        char number = 0;
        if (::read(signalPipe[0], &number, 1) != 1)
            return;
        if (number == SIGUSR1) {
            if (!config.statePath.isEmpty() && !writeState(simulator, config.statePath, ++serial))
                std::fprintf(stderr, "tarvino-devsim: cannot write %s\n", qPrintable(config.statePath));
            return;
        }
        if (number == SIGUSR2) {
            simulator.clearFaults(); // the devices are mended: a retry meets healthy devices
            std::printf("faults cleared\n");
            std::fflush(stdout);
            return;
        }
        QCoreApplication::quit();
    });
    struct sigaction action{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGUSR1, &action, nullptr);
    sigaction(SIGUSR2, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    std::printf("ready\n");
    std::fflush(stdout);
    const int code = app.exec();
    if (!config.statePath.isEmpty())
        writeState(simulator, config.statePath, ++serial);
    return code;
}
