#pragma once
// The journal: one JSON object per line for everything a device received (and each
// change of a device's state), flushed as it is written so a test can read it live.

#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>

namespace DevSim {

class Journal
{
public:
    Journal();
    bool open(const QString &path, QString *error);
    bool isOpen() const { return m_file.isOpen(); }

    // Adds "t", the seconds since the journal was created, and writes the line.
    void write(QJsonObject entry);

    // Lines written between begin and end are flushed once, at the end (a broadcast
    // reaches every device at once).
    void beginBatch() { ++m_batch; }
    void endBatch();

private:
    QFile m_file;
    QElapsedTimer m_clock;
    int m_batch = 0;
};

} // namespace DevSim
