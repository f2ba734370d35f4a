// The program's start as the real one does it, ending once its window has been painted.
// Used by bench_startup; not a tool of its own.
#include "application.h"
#include "formmain.h"
#include "singleinstance.h"
#include "upgradeform.h"

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
    TFormMain form;
    std::unique_ptr<TUpgradeForm> upgradeForm; // made when first asked for
    form.openUpgradeWindow = [&form, &upgradeForm] {
        if (!upgradeForm)
            upgradeForm = std::make_unique<TUpgradeForm>(form.Serveur(), &form);
        upgradeForm->OpenForDevice();
    };
    form.show();
    return app.exec();
}
