// The program's start as the real one does it, ending once its window has been painted.
// Used by bench_startup; not a tool of its own.
#include "app/application.h"
#include "app/batchfeature.h"
#include "app/mainwindow.h"
#include "app/singleinstance.h"
#include "app/upgrade/upgradedialog.h"

#include "firstpaint.h"

#include <memory>

int main(int argc, char **argv)
{
    TApplication app(argc, argv);
    QuitAfterFirstPaint quitAfterFirstPaint;
    TSingleInstance instance(QStringLiteral("TARVINO-STARTUP-BENCH"));
    if (!instance.Acquire())
        return 2;
    InstallProgramErrorSink();
    TMainWindow form;
    std::unique_ptr<TUpgradeDialog> upgradeForm; // made when first asked for
    form.openUpgradeWindow = [&form, &upgradeForm] {
        if (!upgradeForm)
            upgradeForm = std::make_unique<TUpgradeDialog>(form.Batches->jobService(), &form);
        upgradeForm->OpenForDevice(form.selectedRecord());
    };
    form.show();
    return app.exec();
}
