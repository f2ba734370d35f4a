#include "application.h"

#include "errors.h"
#include "resource.h"

#include <QIcon>
#include <QMessageBox>
#include <QPushButton>

TApplication::TApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Tarvino"));
    setApplicationDisplayName(QStringLiteral("Tarvino"));
    setApplicationVersion(QStringLiteral(TARVINO_VERSION));
    Q_INIT_RESOURCE(tarvino);
    setWindowIcon(QIcon(QStringLiteral(":/icons/scan.svg")));
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
    try {
        std::rethrow_exception(error);
    } catch (const TarvinoError &e) {
        return e.message();
    } catch (const std::exception &e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
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
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, QApplication::activeWindow());
    box.button(QMessageBox::Ok)->setText(QStringLiteral("OK"));
    box.exec();
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
