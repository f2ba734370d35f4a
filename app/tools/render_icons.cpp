// Renders the tool-bar icons from their SVG drawings into the pixel files the program
// embeds: NAME.rgba (32 x 32) and NAME@2x.rgba (64 x 64, for high-density screens), each
// the raw premultiplied RGBA bytes, row by row. The program wraps them in images without
// any decoding, so its start loads no image plugin. Run by scripts/render-icons.sh after a
// drawing changes.
//
//   tarvino-render-icons SOURCE_DIR OUTPUT_DIR NAME...
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QTextStream>

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    QTextStream err(stderr);
    if (arguments.size() < 4) {
        err << "usage: tarvino-render-icons SOURCE_DIR OUTPUT_DIR NAME...\n";
        return 2;
    }
    const QString sourceDir = arguments[1];
    const QString outputDir = arguments[2];
    for (const QString &name : arguments.mid(3)) {
        for (const int scale : {1, 2}) {
            QImageReader reader(sourceDir + u'/' + name + QStringLiteral(".svg"));
            reader.setScaledSize(QSize(32 * scale, 32 * scale));
            QImage image = reader.read();
            if (image.isNull()) {
                err << name << ".svg: " << reader.errorString() << " (is the Qt SVG plugin installed?)\n";
                return 1;
            }
            image.convertTo(QImage::Format_RGBA8888_Premultiplied);
            const QString target = outputDir + u'/' + name + (scale == 2 ? QStringLiteral("@2x.rgba") : QStringLiteral(".rgba"));
            QFile file(target);
            const qsizetype rowBytes = image.width() * 4;
            bool written = file.open(QIODevice::WriteOnly);
            for (int y = 0; written && y < image.height(); ++y)
                written = file.write(reinterpret_cast<const char *>(image.constScanLine(y)), rowBytes) == rowBytes;
            if (!written || !file.flush()) {
                err << target << ": cannot be written\n";
                return 1;
            }
        }
    }
    return 0;
}
