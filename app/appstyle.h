#pragma once
// The program's style: the platform's own, except for the chevrons of the menu bar's and
// the tool bar's extension buttons (shown when they are too narrow for their items).
// Qt takes those from PNG files, and its image loading asks every image plugin whether
// it can read them — which loads all the plugins and the SVG library at start, for two
// icons that are almost never seen. They are drawn here instead.
#include <QProxyStyle>

class TAppStyle : public QProxyStyle
{
    Q_OBJECT
public:
    TAppStyle();
    QIcon standardIcon(StandardPixmap icon, const QStyleOption *option = nullptr,
                       const QWidget *widget = nullptr) const override;

    // A double chevron ("»", or pointing down when vertical) in the given colour.
    static QIcon ChevronIcon(Qt::Orientation orientation, const QColor &color);
};
