#include "devsim/journal.h"

#include <QJsonDocument>

namespace DevSim {

Journal::Journal()
{
    m_clock.start();
}

bool Journal::open(const QString &path, QString *error)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (error)
            *error = QStringLiteral("cannot write the journal %1: %2").arg(path, m_file.errorString());
        return false;
    }
    return true;
}

void Journal::write(QJsonObject entry)
{
    if (!m_file.isOpen())
        return;
    entry.insert(QStringLiteral("t"), double(m_clock.nsecsElapsed()) / 1e9);
    m_file.write(QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n');
    if (m_batch == 0)
        m_file.flush();
}

void Journal::endBatch()
{
    if (m_batch > 0 && --m_batch == 0)
        m_file.flush();
}

} // namespace DevSim
