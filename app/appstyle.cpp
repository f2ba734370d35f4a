#include "app/appstyle.h"

#include <QApplication>
#include <QIconEngine>
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

namespace {
// Draws the chevrons at the size asked for, when asked: the menu bar and every tool bar make their
// extension button at start, but it is shown only when they are too narrow, which is rare.
class TChevronIconEngine : public QIconEngine
{
public:
    TChevronIconEngine(Qt::Orientation orientation, const QColor &color) : m_orientation(orientation), m_color(color) {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode, QIcon::State) override
    {
        painter->drawPixmap(rect, pixmap(rect.size(), QIcon::Normal, QIcon::Off));
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        const int side = std::min(size.width(), size.height());
        if (side <= 0)
            return {};
        QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(m_color, std::max(1.0, side / 8.0)));
        if (m_orientation == Qt::Vertical) { // pointing down: the horizontal drawing turned a quarter
            painter.translate(side, 0);
            painter.rotate(90);
        }
        const double unit = side / 8.0;
        for (const double left : {1.5 * unit, 4.5 * unit}) {
            const QPointF points[] = {{left, 1.5 * unit}, {left + 2 * unit, 4 * unit}, {left, 6.5 * unit}};
            painter.drawPolyline(points, 3);
        }
        painter.end();
        return QPixmap::fromImage(image);
    }

    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        const int side = std::min(size.width(), size.height());
        return {side, side};
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return {{8, 8}, {16, 16}, {32, 32}}; }

    QIconEngine *clone() const override { return new TChevronIconEngine(m_orientation, m_color); }

private:
    Qt::Orientation m_orientation;
    QColor m_color;
};
} // namespace

QIcon TAppStyle::ChevronIcon(Qt::Orientation orientation, const QColor &color)
{
    return QIcon(new TChevronIconEngine(orientation, color));
}
