// A batch controller upgrade through the real window: one device alone (T1), then N devices
// `jobs` at a time (TN), each found again by a scan after its upgrade, with the device's own waits.
//
//   ratio = TN / (max(N / jobs, 1) × T1)   (goal <= 1.5)
//
// and the window's longest event gap during the N-device batch (goal <= 100 ms); with
// --network-check the network check runs in its window during the batch, again and again.
// Run in the lab's PC namespace; it starts the simulator itself:
//   lab/lab pc env TARVINO_LAB=1 QT_QPA_PLATFORM=offscreen build/bench/bench_worksheet [--devices 40] [--jobs 4] [--bytes N] [--network-check]
// Exits 1 when a device is not upgraded.

#include "benchlab.h"
#include "app/batchfeature.h"
#include "app/mainwindow.h"
#include "gapmeter.h"
#include "labsim.h"
#include "app/networkcheckdialog.h"
#include "app/stringgrid.h"
#include "app/worksheet.h"

#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>

#include <cstdio>

namespace {
constexpr double Goal = 1.5;
constexpr qint64 GapGoalMs = 100;
constexpr int BatchLimitMs = 900000;

// Selects the first `count` rows, runs the controller upgrade over them and waits for its end.
double runBatch(TMainWindow &form, int count)
{
    form.StringGrid->clearSelection();
    for (int row = 1; row <= count; ++row)
        form.StringGrid->selectionModel()->select(form.StringGrid->model()->index(row - 1, 0),
                                                  QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QElapsedTimer clock;
    clock.start();
    form.Batches->UpgradeControllerAction->trigger();
    if (!QTest::qWaitFor([&] { return !form.Batches->batchRunning(); }, BatchLimitMs))
        std::fprintf(stderr, "the batch did not end within %d s\n", BatchLimitMs / 1000);
    return double(clock.nsecsElapsed()) / 1e6;
}
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption devicesOption(QStringLiteral("devices"), QStringLiteral("Devices."), QStringLiteral("N"), QStringLiteral("40"));
    const QCommandLineOption jobsOption(QStringLiteral("jobs"), QStringLiteral("At once."), QStringLiteral("N"), QStringLiteral("4"));
    const QCommandLineOption bytesOption(QStringLiteral("bytes"), QStringLiteral("Image size."), QStringLiteral("N"), QStringLiteral("262144"));
    const QCommandLineOption checkOption(QStringLiteral("network-check"),
                                         QStringLiteral("Run the network check in its window during the batch."));
    parser.addOptions({devicesOption, jobsOption, bytesOption, checkOption});
    parser.process(app);
    const int devices = parser.value(devicesOption).toInt();
    const int jobs = parser.value(jobsOption).toInt();
    if (!LabSimulator::inLab()) {
        std::fprintf(stderr, "run it in the lab: lab/lab pc env TARVINO_LAB=1 QT_QPA_PLATFORM=offscreen %s\n", argv[0]);
        return 1;
    }
    LabSimulator simulator;
    TMainWindow form;
    if (!BenchLab::start(simulator, devices, {QStringLiteral("--seed"), QStringLiteral("3")}, *form.engine()))
        return 1;
    QTemporaryDir dir;
    const QByteArray image = BenchLab::randomImage(parser.value(bytesOption).toLongLong(), 5);
    const QString imagePath = dir.filePath(QStringLiteral("image.bin"));
    QFile file(imagePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return 1;
    file.close();
    form.Batches->chooseOpenFile = [&](const QString &, const QString &) { return imagePath; };
    form.Batches->confirmBatch = [](const QString &, const QString &, const QStringList &, const QString &) { return true; };
    form.Batches->batchOptions.jobs = jobs;
    form.show();
    form.Scan();
    if (!QTest::qWaitFor([&] { return form.devices().size() >= devices && !form.Timer->isActive(); }, 20000)
        || form.devices().size() < devices) {
        std::fprintf(stderr, "the scan listed %lld of %d devices\n", qint64(form.devices().size()), devices);
        return 1;
    }

    const double one = runBatch(form, 1);
    GapMeter meter;
    meter.start();
    int checks = 0;
    if (parser.isSet(checkOption)) {
        // The check's own scan and its findings reach the window while the batch's progress does.
        TNetworkCheckDialog *dialog = ShowNetworkCheck(&form, form.engine());
        QObject::connect(dialog, &TNetworkCheckDialog::checkFinished, dialog, [dialog, &checks] {
            ++checks;
            QTimer::singleShot(0, dialog, &TNetworkCheckDialog::runCheck);
        });
    }
    const double all = runBatch(form, devices);
    const qint64 gap = meter.stop();
    if (parser.isSet(checkOption))
        std::printf("network checks run during the batch: %d\n", checks);
    const int upgraded = form.Batches->batch()->count(TJobItemStatus::Done);
    const double ratio = all / (std::max(double(devices) / jobs, 1.0) * one);
    std::printf("batch controller upgrade of %lld KiB: one device %.0f ms; %d devices %d at a time %.0f ms, %d upgraded "
                "and found again\n",
                qint64(image.size() / 1024), one, devices, jobs, all, upgraded);
    std::printf("ratio batch/(N/jobs x one): %.2f (goal <= %.1f)\n", ratio, Goal);
    std::printf("longest window gap during the batch: %lld ms (goal <= %lld ms)\n", qint64(gap), qint64(GapGoalMs));
    return upgraded == devices ? 0 : 1;
}
