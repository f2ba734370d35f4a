// The program's start as the real one does it, ending as soon as its window is shown.
// Used by bench_startup; not a tool of its own.
#include "application.h"
#include "formmain.h"
#include "singleinstance.h"
#include "upgradeform.h"

#include <QTimer>

int main(int argc, char **argv)
{
    TApplication app(argc, argv);
    TSingleInstance instance(QStringLiteral("TARVINO-STARTUP-BENCH"));
    if (!instance.Acquire())
        return 2;
    InstallProgramErrorSink();
    TFormMain form;
    TUpgradeForm upgradeForm(form.Serveur(), &form);
    form.openUpgradeWindow = [&upgradeForm] { upgradeForm.OpenForDevice(); };
    form.show();
    QTimer::singleShot(0, &app, &QCoreApplication::quit); // after the first paint has been queued
    return app.exec();
}
