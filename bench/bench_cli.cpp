// tarvino-cli as a script runs it, timed from outside (wall time of the whole program, start-up and
// port binding included):
//   - `scan --json` of N simulated devices: wall time and how many devices it listed (none may be
//     lost); the scan listens for --wait seconds, so the wall time less the wait is the program's own;
//   - `upgrade-controller` of one device alone (T1), then of the whole fleet `--jobs J` from a
//     list (TN): ratio = TN / (max(N / J, 1) × T1), goal <= 1.5, every firmware area checked.
//
// Run in the lab's PC namespace (`lab/lab up --devices 10000` first for the large scan):
//   lab/lab pc env TARVINO_LAB=1 build/bench/bench_cli [--scan 1000,10000] [--wait S] [--devices 50] [--jobs 8] [--bytes N]
// Exits 1 when a device is lost or an upgrade fails.

#include "benchlab.h"
#include "labsim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

#include <cstdio>

namespace {
constexpr double Goal = 1.5;

struct Timed
{
    int exitCode = -1;
    double ms = 0;
    QByteArray out;
};

Timed runCli(const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), QDir::tempPath() + QStringLiteral("/tarvino-bench-data"));
    process.setProcessEnvironment(environment); // the runs stay out of the user's operation history
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral(TARVINO_CLI_PATH), arguments);
    process.closeWriteChannel();
    Timed timed;
    if (!process.waitForFinished(600000)) {
        process.kill();
        process.waitForFinished();
        return timed;
    }
    timed.ms = double(clock.nsecsElapsed()) / 1e6;
    timed.exitCode = process.exitCode();
    timed.out = process.readAllStandardOutput();
    return timed;
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

bool benchScan(int devices, double waitS)
{
    LabSimulator simulator;
    if (!simulator.start(devices, {QStringLiteral("--seed"), QStringLiteral("7")})) {
        std::fprintf(stderr, "cannot start the simulator: %s\n", qPrintable(simulator.errorString()));
        return false;
    }
    const Timed scan = runCli({QStringLiteral("scan"), QStringLiteral("--json"), QStringLiteral("--wait"),
                               QString::number(waitS)});
    QSet<QString> listed;
    for (const QByteArray &line : scan.out.split('\n'))
        if (!line.isEmpty())
            listed.insert(QJsonDocument::fromJson(line).object().value(QLatin1String("ip")).toString());
    std::printf("scan of %d devices: listed %lld, lost %lld, wall %.0f ms (listening %.1f s, the program's own %.0f ms), "
                "exit %d\n",
                devices, qint64(listed.size()), qint64(devices - listed.size()), scan.ms, waitS,
                scan.ms - waitS * 1000, scan.exitCode);
    return scan.exitCode == 0 && listed.size() == devices;
}

bool benchUpgrade(int devices, int jobs, qsizetype bytes, const QTemporaryDir &dir)
{
    LabSimulator simulator;
    if (!simulator.start(devices, {QStringLiteral("--seed"), QStringLiteral("7")})) {
        std::fprintf(stderr, "cannot start the simulator: %s\n", qPrintable(simulator.errorString()));
        return false;
    }
    const QByteArray image = BenchLab::randomImage(bytes, 11);
    const QString imagePath = dir.filePath(QStringLiteral("image.bin"));
    const QString listPath = dir.filePath(QStringLiteral("devices.txt"));
    QFile imageFile(imagePath), listFile(listPath);
    if (!imageFile.open(QIODevice::WriteOnly) || imageFile.write(image) != image.size() || !listFile.open(QIODevice::WriteOnly))
        return false;
    imageFile.close();
    for (int i = 0; i < devices; ++i)
        listFile.write(LabSimulator::deviceIp(i).toLatin1() + '\n');
    listFile.close();

    // An upgrade scans first (the devices' records) and waits for them to answer again: both runs
    // pay that once, with the scan kept short.
    const Timed one = runCli({QStringLiteral("upgrade-controller"), LabSimulator::deviceIp(0), imagePath, QStringLiteral("--yes"),
                              QStringLiteral("--wait"), QStringLiteral("1")});
    const Timed fleet = runCli({QStringLiteral("upgrade-controller"), QStringLiteral("--from"), listPath, QStringLiteral("--jobs"),
                                QString::number(jobs), QStringLiteral("--yes"), QStringLiteral("--wait"), QStringLiteral("1"),
                                imagePath});
    int upgraded = 0;
    for (int i = 0; i < devices; ++i) {
        const QJsonObject controller = simulator.deviceState(i).value(QLatin1String("controller")).toObject();
        upgraded += controller.value(QLatin1String("updateImageSha256")).toString() == sha256(image) ? 1 : 0;
    }
    const double ratio = fleet.ms / (std::max(double(devices) / jobs, 1.0) * one.ms);
    std::printf("upgrade-controller of %lld KiB: one device %.0f ms; %d devices --jobs %d %.0f ms, %d with their image; "
                "ratio fleet/(N/jobs x one): %.2f (goal <= %.1f)\n",
                qint64(bytes / 1024), one.ms, devices, jobs, fleet.ms, upgraded, ratio, Goal);
    return one.exitCode == 0 && fleet.exitCode == 0 && upgraded == devices;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption scan(QStringLiteral("scan"), QStringLiteral("Device counts to scan."), QStringLiteral("N,N"),
                                  QStringLiteral("1000,10000"));
    const QCommandLineOption wait(QStringLiteral("wait"), QStringLiteral("Seconds the scan listens."), QStringLiteral("S"),
                                  QStringLiteral("3"));
    const QCommandLineOption devices(QStringLiteral("devices"), QStringLiteral("Devices to upgrade (0: none)."),
                                     QStringLiteral("N"), QStringLiteral("50"));
    const QCommandLineOption jobs(QStringLiteral("jobs"), QStringLiteral("Upgrades at once."), QStringLiteral("N"),
                                  QStringLiteral("8"));
    const QCommandLineOption bytes(QStringLiteral("bytes"), QStringLiteral("Image size."), QStringLiteral("N"),
                                   QStringLiteral("262144"));
    parser.addOptions({scan, wait, devices, jobs, bytes});
    parser.process(app);
    if (!LabSimulator::inLab()) {
        std::fprintf(stderr, "run it in the lab: lab/lab pc env TARVINO_LAB=1 %s\n", argv[0]);
        return 1;
    }
    QTemporaryDir dir;
    bool ok = true;
    for (const QString &count : parser.value(scan).split(QLatin1Char(','), Qt::SkipEmptyParts))
        ok = benchScan(count.toInt(), parser.value(wait).toDouble()) && ok;
    if (parser.value(devices).toInt() > 0)
        ok = benchUpgrade(parser.value(devices).toInt(), parser.value(jobs).toInt(), parser.value(bytes).toLongLong(), dir) && ok;
    return ok ? 0 : 1;
}
