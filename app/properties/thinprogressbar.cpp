#include "app/properties/thinprogressbar.h"

#include <QPainter>

#include <algorithm>

namespace {
const QColor Fill(0, 0, 128); // navy
const QColor BevelShadow(0x80, 0x80, 0x80);
const QColor BevelLight(0xc0, 0xc0, 0xc0);
} // namespace

TThinProgressBar::TThinProgressBar(QWidget *parent) : QProgressBar(parent)
{
    setFixedHeight(Height);
    setTextVisible(false);
}

QRect TThinProgressBar::chunkRect() const
{
    const QRect inner = rect().adjusted(1, 1, -1, -1);
    const qint64 span = qint64(maximum()) - minimum();
    if (value() < minimum() || span <= 0 || inner.isEmpty())
        return {};
    const qint64 done = std::min<qint64>(qint64(value()) - minimum(), span);
    return QRect(inner.topLeft(), QSize(int(inner.width() * done / span), inner.height()));
}

void TThinProgressBar::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect all = rect();
    painter.fillRect(all, palette().window());
    painter.fillRect(chunkRect(), Fill);
    // Lowered: shadow above and to the left, light below and to the right.
    painter.setPen(BevelShadow);
    painter.drawLine(all.topLeft(), all.topRight());
    painter.drawLine(all.topLeft(), all.bottomLeft());
    painter.setPen(BevelLight);
    painter.drawLine(all.bottomLeft() + QPoint(1, 0), all.bottomRight());
    painter.drawLine(all.topRight() + QPoint(0, 1), all.bottomRight());
}
