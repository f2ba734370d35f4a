// The smallest Qt Widgets program that shows a main window: the yardstick of bench_startup.
#include <QApplication>
#include <QMainWindow>

#include "firstpaint.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QuitAfterFirstPaint quitAfterFirstPaint;
    QMainWindow window;
    window.resize(600, 216);
    window.show();
    return app.exec();
}
