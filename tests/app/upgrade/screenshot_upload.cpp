// Takes a picture of the upgrade window while it uploads a communication board's firmware to
// a simulated device, the progress bar part-way, for review. It uploads for real, so it runs in
// the lab's PC namespace and starts the simulator itself:
//
//   scripts/screenshot-upload.sh [build-dir]     (Xvfb and the lab)
//   tarvino-upload-screenshot OUTPUT.png
#include "protocol/errors.h"
#include "app/upgrade/filenameedit.h"
#include "labsim.h"
#include "protocol/resource.h"
#include "protocol/datagramengine.h"
#include "protocol/devicerecord.h"
#include "app/upgrade/boardupgradepanel.h"
#include "app/upgrade/controllertextpage.h"
#include "app/upgrade/controllerupgradepanel.h"
#include "app/upgrade/upgradedialog.h"
#include "fleet/history/operationjournal.h"
#include "fleet/jobs/jobservice.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPixmap>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace {
constexpr int Device = 0;
constexpr qsizetype ImageSize = 6 * 1024 * 1024 + 123;
// Another test may hold the simulator's or the engine's ports for a while.
constexpr int StartAttempts = 30;
constexpr unsigned long StartRetryMs = 1000;
constexpr int GiveUpMs = 60000;
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);
    if (!LabSimulator::inLab()) {
        std::fprintf(stderr, "run it in the lab's PC namespace (scripts/screenshot-upload.sh does)\n");
        return 1;
    }

    // The image, chosen as a technician would: a full path with folders.
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("firmware/release 2.4"));
    const QString image = folder + QStringLiteral("/board-fw-2.4.bin");
    QFile file(image);
    if (!dir.isValid() || !QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot write the image under %s\n", qPrintable(dir.path()));
        return 1;
    }
    QByteArray bytes(ImageSize, Qt::Uninitialized);
    QRandomGenerator generator(24);
    for (char &byte : bytes)
        byte = static_cast<char>(generator.bounded(256));
    file.write(bytes);
    file.close();

    StartupInit(); // as the main window's creation does: the protocol code of every request
    LabSimulator sim;
    std::unique_ptr<TDatagramEngine> serveur;
    for (int attempt = 0; attempt < StartAttempts; ++attempt) {
        if (sim.start(1)) {
            serveur = std::make_unique<TDatagramEngine>();
            if (!serveur->boundAddresses().isEmpty())
                break;
            serveur.reset();
            sim.stop();
        }
        QThread::msleep(StartRetryMs);
    }
    if (!serveur) {
        std::fprintf(stderr, "no simulator or engine: %s\n", qPrintable(sim.errorString()));
        return 1;
    }

    QWidget mainWindow;
    mainWindow.setWindowTitle(QStringLiteral("Tarvino"));
    mainWindow.resize(1100, 500);
    if (const QScreen *screen = mainWindow.screen())
        mainWindow.move(screen->availableGeometry().center() - mainWindow.rect().center());
    mainWindow.show();

    TUpgradeDialog::Timing timing;
    timing.ftp = Ftp::Limits{5000, 5000, 5000, 5000};
    // The confirmation of the board's return goes to a history of the picture's own.
    const TOperationJournal journal(dir.filePath(QStringLiteral("history.jsonl")));
    TJobService jobs(serveur.get(), &journal);
    TUpgradeDialog form(&jobs, &mainWindow, timing);
    form.CreateControls();
    form.runWarning = [] { return 6; };
    TDeviceRecord device;
    device.IpText = LabSimulator::deviceIp(Device);
    device.Transport = TransportUdp;
    form.boardPanel->fileEdit->setFileName(image);

    // Grabbed from inside the transfer, when the bar has passed half-way. The window sets the
    // bar's value with its updates off (it paints at its own pace): they are on for the picture.
    bool saved = false;
    QProgressBar *bar = form.boardPanel->progressBar;
    QObject::connect(bar, &QProgressBar::valueChanged, &form, [&](int value) {
        if (saved || bar->isHidden() || value < bar->maximum() / 2)
            return;
        const bool updates = bar->updatesEnabled();
        bar->setUpdatesEnabled(true);
        saved = QDir().mkpath(QFileInfo(output).absolutePath()) && form.grab().save(output);
        bar->setUpdatesEnabled(updates);
    });
    QString error;
    QTimer::singleShot(0, &form, [&] {
        try {
            form.boardPanel->upgrade();
        } catch (const TarvinoError &e) {
            error = e.message();
            form.reject();
        }
    });
    QTimer::singleShot(GiveUpMs, &form, [&] {
        error = QStringLiteral("no upload within %1 s").arg(GiveUpMs / 1000);
        form.done(QDialog::Rejected);
    });
    form.OpenForDevice(&device);

    if (!error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    if (!saved) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(output));
        return 1;
    }
    std::printf("%s: the upload of %s half-way\n", qPrintable(output), qPrintable(QFileInfo(image).fileName()));
    return 0;
}
