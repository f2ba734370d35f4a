#pragma once
// Ends a start-up benchmark's program once its window has been painted for the first time:
// the start-to-window time then includes the fonts, icons and layout a real first paint
// needs (quitting on the first event-loop turn would end before any paint).
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

// Names the file descriptor on which the program writes one byte once its first window has
// been painted (set by bench_startup, which times the program's start to that byte).
inline constexpr char PaintedFdVariable[] = "TARVINO_BENCH_PAINTED_FD";

class QuitAfterFirstPaint : public QObject
{
public:
    QuitAfterFirstPaint() { QCoreApplication::instance()->installEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            // Queued: the paint in progress, and the rest of this frame, finish first.
            QTimer::singleShot(0, QCoreApplication::instance(), [] {
                tellPainted();
                QCoreApplication::quit();
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    static void tellPainted()
    {
        if (const char *fd = std::getenv(PaintedFdVariable)) {
            const char word = 1;
            if (write(std::atoi(fd), &word, 1) != 1)
                perror("tell painted");
        }
    }

    bool m_seen = false;
};
