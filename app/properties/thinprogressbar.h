#pragma once
// The 4-pixel progress bar of the main window and the upgrade window: a lowered one-pixel
// bevel around the window's background, filled with navy from the left as the value grows.
// Drawn here rather than by a style sheet, which would put a style-sheet style in front of
// the program's style and parse its rules while the main window opens.
#include <QProgressBar>

class TThinProgressBar : public QProgressBar
{
    Q_OBJECT
public:
    static constexpr int Height = 4;
    explicit TThinProgressBar(QWidget *parent = nullptr);

    // The filled part of the inner rectangle for the current value (empty before any value).
    QRect chunkRect() const;

protected:
    void paintEvent(QPaintEvent *event) override;
};
