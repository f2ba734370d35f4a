#pragma once
// TColumnRefresh: fills one of the list's feature columns (Site, Last seen) again after a scan, a
// slice of rows per turn of the event loop and only the cells whose text changed, so that a list
// of tens of thousands of devices never holds the window for long. A slice ends after a time, not
// a number of rows: the rows' cost depends on the machine and on how many cells change, and the
// slices of two columns may follow each other in one turn.

#include "protocol/devicerecord.h"

#include <QList>

#include <QObject>
#include <QString>

#include <functional>

class TStringGrid;

class TColumnRefresh : public QObject
{
    Q_OBJECT
public:
    static constexpr int SliceMs = 15;

    // Fills the column of grid for the listed devices (grid row index + 1 shows devices[index]).
    TColumnRefresh(TStringGrid *grid, const QList<TDeviceRecord> &devices, int column,
                   std::function<QString(const TDeviceRecord &device)> text, QObject *parent);

    // From the first row again; the rows already done by a refresh under way are done again.
    void start();
    bool running() const { return m_scheduled; }

private:
    void slice();

    TStringGrid *m_grid;
    const QList<TDeviceRecord> &m_devices;
    int m_column;
    std::function<QString(const TDeviceRecord &device)> m_text;
    int m_next = 0;
    bool m_scheduled = false;
};
