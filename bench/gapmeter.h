#pragma once
// The longest time between two ticks of a 10 ms timer of the window's thread: how long the window
// went without handling its events.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>

// The longest time between two ticks of a timer of the window's thread.
class GapMeter
{
public:
    static constexpr int TickMs = 10;

    GapMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 gap = m_clock.restart();
            if (gap > m_longest) {
                m_longest = gap;
                m_longestAt = m_since.elapsed();
            }
        });
    }
    void start()
    {
        m_longest = 0;
        m_longestAt = 0;
        m_since.start();
        m_clock.start();
        m_timer.start(TickMs);
    }
    qint64 stop()
    {
        m_timer.stop();
        return std::max(m_longest, m_clock.elapsed());
    }
    // When the longest gap ended, from the start.
    qint64 longestAtMs() const { return m_longestAt; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    QElapsedTimer m_since;
    qint64 m_longest = 0;
    qint64 m_longestAt = 0;
};
