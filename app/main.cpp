// Program start: one copy at a time, the main window, then the message loop.
#include "application.h"
#include "formmain.h"
#include "singleinstance.h"
#include "upgradeform.h"

#include <QScreen>

int main(int argc, char **argv)
{
    TApplication app(argc, argv);

    // A second copy raises the first one's window and ends before any network start-up.
    TSingleInstance instance(TSingleInstance::IdentityOf(QCoreApplication::applicationFilePath()));
    if (!instance.Acquire()) {
        instance.RaiseFirstCopy();
        return 0;
    }

    InstallProgramErrorSink();
    TFormMain form;
    // The maintenance window lives from start to end, hidden until asked for.
    TUpgradeForm upgradeForm(form.Serveur(), &form);
    form.openUpgradeWindow = [&upgradeForm] { upgradeForm.OpenForDevice(); };
    QObject::connect(&instance, &TSingleInstance::raiseRequested, &form, [&form] {
        if (form.isMinimized())
            form.showNormal();
        form.raise();
        form.activateWindow();
        qInfo("tarvino: raised by a second copy");
    });
    // Opened centred on the screen.
    form.show();
    if (const QScreen *screen = form.screen())
        form.move(screen->availableGeometry().center() - form.frameGeometry().center() + form.pos());
    return app.exec();
}
