// Takes a picture of the compare dialog, for review: two sample configurations of one device
// that differ in one line. It needs no device and no network:
//
//   scripts/screenshot-compare.sh [build-dir]       (Xvfb)
//   tarvino-compare-screenshot OUTPUT.png
#include "app/application.h"
#include "app/comparedialog.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

namespace {
QByteArray sampleConfiguration(const QByteArray &mask)
{
    return "# Chiller-South-0, controller configuration\r\n"
           "[network]\r\n"
           "dhcp=off\r\n"
           "ip=198.18.1.1\r\n"
           "mask=" + mask + "\r\n"
           "gateway=198.18.0.1\r\n"
           "\r\n"
           "[bus]\r\n"
           "address=1\r\n"
           "rate=19200\r\n"
           "parity=even\r\n"
           "\r\n"
           "[control]\r\n"
           "setpoint=4.5\r\n"
           "hysteresis=0.8\r\n"
           "defrost.interval=6h\r\n"
           "defrost.duration=25m\r\n"
           "alarm.high=9.0\r\n"
           "alarm.low=0.5\r\n"
           "fan.delay=120\r\n";
}
} // namespace

int main(int argc, char **argv)
{
    TApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);

    TCompareDialog dialog(QStringLiteral("Snapshot 2026-12-08_10-15-30"), sampleConfiguration("255.254.0.0"),
                          QStringLiteral("Chiller-South-0 now (198.18.1.1)"), sampleConfiguration("255.255.0.0"), nullptr);
    dialog.resize(880, 520);
    dialog.show();
    if (const QScreen *screen = dialog.screen())
        dialog.move(screen->availableGeometry().center() - dialog.frameGeometry().center() + dialog.pos());
    QCoreApplication::processEvents(); // laid out and painted

    if (!QDir().mkpath(QFileInfo(output).absolutePath()) || !dialog.grab().save(output)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(output));
        return 1;
    }
    std::printf("%s: %s\n", qPrintable(output), qPrintable(dialog.summaryLabel()->text()));
    return 0;
}
