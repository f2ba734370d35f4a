#include "appstyle.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QWidget>

#include <algorithm>

TAppStyle::TAppStyle() = default;

QIcon TAppStyle::standardIcon(StandardPixmap icon, const QStyleOption *option, const QWidget *widget) const
{
    if (icon == SP_ToolBarHorizontalExtensionButton || icon == SP_ToolBarVerticalExtensionButton) {
        const QPalette palette = widget ? widget->palette() : QApplication::palette();
        return ChevronIcon(icon == SP_ToolBarHorizontalExtensionButton ? Qt::Horizontal : Qt::Vertical,
                           palette.color(QPalette::WindowText));
    }
    return QProxyStyle::standardIcon(icon, option, widget);
}

QIcon TAppStyle::ChevronIcon(Qt::Orientation orientation, const QColor &color)
{
    QIcon icon;
    for (const int side : {8, 16, 32}) {
        QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(color, std::max(1.0, side / 8.0)));
        if (orientation == Qt::Vertical) { // pointing down: the horizontal drawing turned a quarter
            painter.translate(side, 0);
            painter.rotate(90);
        }
        const double unit = side / 8.0;
        for (const double left : {1.5 * unit, 4.5 * unit}) {
            const QPointF points[] = {{left, 1.5 * unit}, {left + 2 * unit, 4 * unit}, {left, 6.5 * unit}};
            painter.drawPolyline(points, 3);
        }
        painter.end();
        icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}
