// Qt's own "hello world" for widgets: one window showing one text. The second yardstick
// of bench_startup: unlike the empty main window it loads the fonts, as any real window must.
#include <QApplication>
#include <QPushButton>

#include "firstpaint.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QuitAfterFirstPaint quitAfterFirstPaint;
    QPushButton button(QStringLiteral("Hello world!"));
    button.resize(600, 216);
    button.show();
    return app.exec();
}
