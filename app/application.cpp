#include "app/application.h"
#include "app/messagebox.h"

#include "app/appstyle.h"

#include "protocol/errors.h"
#include "protocol/resource.h"

#include <QImage>
#include <QPixmap>
#include <QResource>
#include <QMessageBox>
#include <QPushButton>

TApplication::TApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    // The application's title. Not set as its display name too: Qt would add that to the caption
    // of every window (" — Tarvino"), whose captions are the program's own; the display name
    // still reads "Tarvino", taken from the application name.
    setApplicationName(QStringLiteral("Tarvino"));
    setApplicationVersion(QStringLiteral(TARVINO_VERSION));
    setStyle(new TAppStyle); // the application owns it
    // Errors that a handler lets escape are caught where it is connected and shown here.
    SetErrorHandler([](std::exception_ptr error) { ShowException(ExceptionMessage(error)); });
    setWindowIcon(AppIcon(QStringLiteral("scan")));
}

QIcon AppIcon(const QString &name)
{
    Q_INIT_RESOURCE(tarvino);
    QIcon icon;
    for (const int scale : {1, 2}) {
        const int side = 32 * scale;
        const QResource pixels(QStringLiteral(":/icons/") + name + (scale == 2 ? QStringLiteral("@2x.rgba") : QStringLiteral(".rgba")));
        const QByteArray bytes = pixels.uncompressedData();
        if (bytes.size() != side * side * 4)
            continue;
        QImage image(reinterpret_cast<const uchar *>(bytes.constData()), side, side, QImage::Format_RGBA8888_Premultiplied);
        image.setDevicePixelRatio(scale);
        icon.addPixmap(QPixmap::fromImage(image)); // a copy: the bytes are the resource's
    }
    return icon;
}

bool TApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowException(ExceptionMessage(std::current_exception()));
    }
    return false;
}

QString TApplication::ExceptionMessage(const std::exception_ptr &error)
{
    return ErrorText(error);
}

QString TApplication::ErrorBoxText(const QString &message)
{
    if (!message.isEmpty() && message.back() > u'.')
        return message + u'.';
    return message;
}

namespace {
void showBox(const QString &title, const QString &text)
{
    ShowMessageBox(QApplication::activeWindow(), QMessageBox::Critical, title, text);
}
} // namespace

void TApplication::ShowException(const QString &message)
{
    showBox(QApplication::applicationDisplayName(), ErrorBoxText(message));
}

void ShowProgramError(const QString &message)
{
    showBox(QStringLiteral("Erreur"), message);
}

void InstallProgramErrorSink()
{
    SetErrorMessageSink(ShowProgramError);
}
