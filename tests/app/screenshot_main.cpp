// Takes a picture of the main window as it looks after a scan, for review. It scans
// for real, so it runs in the lab's PC namespace with the simulator running:
//
//   scripts/screenshot-main.sh [build-dir]          (Xvfb, the lab and the simulator)
//   tarvino-main-screenshot OUTPUT.png DEVICES      (waits until DEVICES are listed)
//   tarvino-main-screenshot OUTPUT.png DEVICES worksheet
//                                                   (the list filtered, a batch controller upgrade
//                                                   of the shown devices half way)
//   tarvino-main-screenshot OUTPUT.png DEVICES site
//                                                   (a site file of the devices with one moved, one
//                                                   with another firmware, one left out and two that
//                                                   are nowhere: the Site column and the missing rows)
//   tarvino-main-screenshot OUTPUT.png DEVICES watch
//                                                   (Scan > Watch for a while, the simulator making
//                                                   one device stop and another appear late)
//   tarvino-main-screenshot OUTPUT.png DEVICES adapters
//                                                   (a lab of two segments: the list with its Adapter
//                                                   column, and the network check's window beside it,
//                                                   OUTPUT-check.png)
#include "app/application.h"
#include "app/batchfeature.h"
#include "app/mainwindow.h"
#include "app/networkcheckdialog.h"
#include "app/sitefeature.h"
#include "fleet/site/sitefile.h"
#include "app/stringgrid.h"
#include "app/watchfeature.h"
#include "app/worksheet.h"

#include <QDeadlineTimer>
#include <QAction>
#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QFileInfo>
#include <QPixmap>
#include <QProgressBar>
#include <QScreen>
#include <QTimer>

#include <cstdio>

namespace {
constexpr int ScanWaitMs = 20000;
}

int main(int argc, char **argv)
{
    TApplication app(argc, argv);
    const bool worksheet = argc == 4 && QByteArray(argv[3]) == "worksheet";
    const bool adapters = argc == 4 && QByteArray(argv[3]) == "adapters";
    const bool site = argc == 4 && QByteArray(argv[3]) == "site";
    const bool watch = argc == 4 && QByteArray(argv[3]) == "watch";
    if ((argc != 3 && !worksheet && !adapters && !site && !watch) || QByteArray(argv[2]).toInt() <= 0) {
        std::fprintf(stderr, "usage: %s OUTPUT.png DEVICES [worksheet|adapters]\n", argv[0]);
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);
    const int devices = QByteArray(argv[2]).toInt();
    InstallProgramErrorSink();

    TMainWindow form;
    if (!form.engine()->bindError().isEmpty()) {
        std::fprintf(stderr, "cannot bind: %s\n", qPrintable(form.engine()->bindError()));
        return 1;
    }
    form.show();
    if (const QScreen *screen = form.screen())
        form.move(screen->availableGeometry().center() - form.frameGeometry().center() + form.pos());

    // The whole cycle: both broadcasts answered, the progress bar gone again. A watch keeps
    // scanning: a few rounds, the late device listed by then.
    if (watch) {
        form.Watch->intervalMs = 2000;
        form.Watch->setWatching(true);
    } else {
        form.Scan();
    }
    const QDeadlineTimer deadline(watch ? 4 * ScanWaitMs : ScanWaitMs);
    while ((form.Timer->isActive() || form.devices().size() < devices || (watch && form.Watch->watch().scans() < 7))
           && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (form.devices().size() < devices) {
        std::fprintf(stderr, "only %d of %d devices listed\n", int(form.devices().size()), devices);
        return 1;
    }
    QCoreApplication::processEvents(); // the last rows painted
    QTemporaryDir work;
    if (worksheet) {
        // The devices of one type, all selected, half way through a controller upgrade.
        form.resize(1180, 420);
        form.Worksheet->FilterEdit->show();
        form.Worksheet->FilterEdit->setText(QStringLiteral("Palimor P4"));
        form.StringGrid->selectAll();
        QFile image(work.filePath(QStringLiteral("controller.bin")));
        if (!image.open(QIODevice::WriteOnly) || image.write(QByteArray(256 * 1024, '\x5a')) != 256 * 1024)
            return 1;
        image.close();
        form.Batches->chooseOpenFile = [&](const QString &, const QString &) { return image.fileName(); };
        form.Batches->confirmBatch = [](const QString &, const QString &, const QStringList &, const QString &) {
            return true;
        };
        form.Batches->batchOptions.jobs = 2;
        form.Batches->UpgradeControllerAction->trigger();
        const QDeadlineTimer halfWay(60000);
        while (form.Batches->batch()->count(TJobItemStatus::Done) < 2 && !halfWay.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        QDeadlineTimer moment(1500); // the next ones under way
        while (!moment.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }

    if (site) {
        // The list as a site file, then changed as a site changes between two visits.
        QList<TSiteDevice> expected;
        for (int i = 0; i + 1 < form.devices().size(); ++i) {
            TSiteDevice device = SiteFile::fromDevice(form.devices().at(i));
            device.bootstrapVersion.clear();
            device.kernelVersion.clear();
            device.firmwareVersion = i == 4 ? QStringLiteral("3.5.0") : QString();
            if (i == 2)
                device.ip = QStringLiteral("198.18.1.40");
            expected << device;
        }
        expected << TSiteDevice{QStringLiteral("Boiler-North-12"), QStringLiteral("198.18.1.13"), 0x0050C2025CD0,
                                QStringLiteral("Palimor P4-S"), {}, {}, {}, 0}
                 << TSiteDevice{QStringLiteral("Valve-West-13"), QStringLiteral("198.18.1.14"), 0x001A2BA094F1,
                                QStringLiteral("Palimor P3"), {}, {}, {}, 0};
        const QString file = work.filePath(QStringLiteral("site.csv"));
        QString error;
        if (!SiteFile::write(file, expected).isEmpty() || !form.Site->openSite(file, &error)) {
            std::fprintf(stderr, "site file: %s\n", qPrintable(error));
            return 1;
        }
        const QDeadlineTimer compared(10000); // on a worker
        while (form.Site->comparing() && !compared.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        form.resize(1180, 420);
        QCoreApplication::processEvents();
    }
    if (watch) {
        form.resize(1100, 400);
        QCoreApplication::processEvents();
    }
    if (adapters) {
        form.resize(1100, 400);
        QCoreApplication::processEvents();
        TNetworkCheckDialog *check = ShowNetworkCheck(&form, form.engine());
        bool done = false;
        QObject::connect(check, &TNetworkCheckDialog::checkFinished, check, [&done] { done = true; });
        const QDeadlineTimer checked(30000);
        while (!done && !checked.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        check->resize(1000, 420);
        QCoreApplication::processEvents();
        const QString checkOutput = QString(output).replace(QLatin1String(".png"), QLatin1String("-check.png"));
        if (!check->grab().save(checkOutput)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(checkOutput));
            return 1;
        }
        check->close();
    }
    if (!QDir().mkpath(QFileInfo(output).absolutePath()) || !form.grab().save(output)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(output));
        return 1;
    }
    std::printf("%s: %d devices listed\n", qPrintable(output), int(form.devices().size()));
    return 0;
}
