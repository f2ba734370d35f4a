#pragma once
// Ends a start-up benchmark's program once its window has been painted for the first time:
// the start-to-window time then includes the fonts, icons and layout a real first paint
// needs (quitting on the first event-loop turn would end before any paint).
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>

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
            QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};
