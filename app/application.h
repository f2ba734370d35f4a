#pragma once
// The application object: its title, and the general handler for errors that an
// event handler lets escape (they must never cross the event loop).

#include <QApplication>
#include <QIcon>

#include <exception>

class TApplication : public QApplication
{
    Q_OBJECT
public:
    TApplication(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;

    // The text of the general error box: a full stop is added when the last
    // character sorts after it (a letter, a digit).
    static QString ErrorBoxText(const QString &message);
    // Shows an escaped error: a box titled with the application title, error icon, one OK button.
    static void ShowException(const QString &message);
    static QString ExceptionMessage(const std::exception_ptr &error);
};

// One of the program's icons: ":/icons/NAME.rgba" (32 x 32) and its @2x variant, raw pixels.
// Qt's own image loading asks every image plugin whether it can read a file, which would
// load them all (and the SVG library) at start.
QIcon AppIcon(const QString &name);

// The program's own error boxes (the "Erreur" box with one "OK" button).
void ShowProgramError(const QString &message);
void InstallProgramErrorSink();
