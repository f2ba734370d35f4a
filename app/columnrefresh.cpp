#include "app/columnrefresh.h"

#include "app/stringgrid.h"

#include <QElapsedTimer>
#include <QTimer>

TColumnRefresh::TColumnRefresh(TStringGrid *grid, const QList<TDeviceRecord> &devices, int column,
                               std::function<QString(const TDeviceRecord &)> text, QObject *parent)
    : QObject(parent), m_grid(grid), m_devices(devices), m_column(column), m_text(std::move(text))
{
}

void TColumnRefresh::start()
{
    m_next = 0;
    if (!m_scheduled) {
        m_scheduled = true;
        slice();
    }
}

void TColumnRefresh::slice()
{
    // The list may have been cleared or grown since the last slice: each row is checked anew.
    QElapsedTimer clock;
    clock.start();
    for (int done = 0; m_next < m_devices.size(); ++done, ++m_next) {
        if (done % 64 == 63 && clock.elapsed() >= SliceMs)
            break;
        const QString text = m_text(m_devices.at(m_next));
        if (m_grid->Cells(m_column, m_next + 1) != text)
            m_grid->SetCell(m_column, m_next + 1, text);
    }
    if (m_next < m_devices.size()) {
        QTimer::singleShot(0, this, &TColumnRefresh::slice);
        return;
    }
    m_scheduled = false;
}
