// Program start: one copy at a time, the main window, then the message loop.
#include "app/application.h"
#include "app/batchfeature.h"
#include "app/mainwindow.h"
#include "fleet/history/operationrecord.h"
#include "app/singleinstance.h"
#include "app/sitefeature.h"
#include "app/unfinishednotice.h"
#include "app/upgrade/upgradedialog.h"
#include "app/worksheet.h"

#include <QScreen>
#include <QSettings>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

int main(int argc, char **argv)
{
    // Answered before any window or display is opened, so that it works on a console and in scripts.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tarvino %s\n", TARVINO_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("Usage: tarvino [--version] [--help] [Qt options]\n"
                        "Finds, configures and upgrades networked field devices (see tarvino(1)).\n");
            return 0;
        }
    }
    TApplication app(argc, argv);

    // A second copy raises the first one's window and ends before any network start-up.
    TSingleInstance instance(TSingleInstance::IdentityOf(QCoreApplication::applicationFilePath()));
    if (!instance.Acquire()) {
        instance.RaiseFirstCopy();
        return 0;
    }

    InstallProgramErrorSink();
    TMainWindow form;
    // The maintenance window is made when first asked for (the start does not wait for it), then
    // lives to the end, hidden between uses.
    std::unique_ptr<TUpgradeDialog> upgradeForm;
    form.openUpgradeWindow = [&form, &upgradeForm] {
        if (!upgradeForm)
            upgradeForm = std::make_unique<TUpgradeDialog>(form.Batches->jobService(), &form);
        upgradeForm->OpenForDevice(form.selectedRecord());
    };
    QObject::connect(&instance, &TSingleInstance::raiseRequested, &form, [&form] {
        if (form.isMinimized())
            form.showNormal();
        form.raise();
        form.activateWindow();
        qInfo("tarvino: raised by a second copy");
    });
    // Every operation's outcome goes into the history, the technician's service report.
    const TOperationJournal journal;
    form.Worksheet->setJournal(&journal);
    bool historyFailureTold = false;
    // "Started" before an operation's first request and its end after the last, so that one cut
    // short by a crash is listed at the next start.
    TOperationRecorder recorder(
        journal,
        [&form](const QString &ip) { return form.findDevice(ip); },
        [&](const QString &error) {
            qWarning("tarvino: the operation history cannot be written: %s", qPrintable(error));
            // The technician relies on the history as a service report: told once, when it first fails.
            if (!std::exchange(historyFailureTold, true))
                QTimer::singleShot(0, &form, [&form, error] {
                    form.showError(QStringLiteral("The operation history cannot be written (%1). The operations go on, "
                                                  "but they are not recorded.")
                                       .arg(error));
                });
        });
    recorder.install();

    // The window as it was left: size, place, column widths, sort.
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("tarvino"), QStringLiteral("tarvino"));
    const bool placed = settings.contains(QStringLiteral("MainWindow/geometry"));
    form.Worksheet->restoreSettings(settings);
    form.Site->restoreSettings(settings);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &form, [&] { form.Worksheet->saveSettings(settings); });
    form.show();
    if (const QScreen *screen = form.screen(); screen && !placed) // first run: centred on the screen
        form.move(screen->availableGeometry().center() - form.frameGeometry().center() + form.pos());
    // Operations that never ended, told once the window is up: the history is read meanwhile.
    QTimer::singleShot(0, &form, [&form, &journal] { TUnfinishedNotice::showAfterStart(&form, journal); });
    return app.exec();
}
