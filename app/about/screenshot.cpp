// Saves a picture of the about box as the program shows it.
//   tarvino-about-screenshot <file.png>
#include "app/about/about.h"

#include <QApplication>
#include <QDialog>
#include <QTextStream>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvino"));
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() != 2) {
        QTextStream(stderr) << "usage: tarvino-about-screenshot <file.png>\n";
        return 2;
    }

    bool saved = false;
    TFormAbout about;
    about.setShowHook([&](QDialog &dialog) {
        // Runs once the dialog is on screen and its event loop turns.
        QMetaObject::invokeMethod(
            &dialog,
            [&] {
                saved = dialog.grab().save(arguments.at(1));
                dialog.accept();
            },
            Qt::QueuedConnection);
    });
    about.ShowAbout();
    return saved ? 0 : 1;
}
