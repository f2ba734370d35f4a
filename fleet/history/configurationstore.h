#pragma once
// TConfigurationStore: the configuration texts that the history's operations read from devices or
// wrote to them, one file per text named by its SHA-256, beside the history. A history line names
// a text by that SHA-256, so a visit report can show what a write changed (the text the device
// held before against the one written) long after the technician's own files are gone. The same
// text read from many devices is kept once.

#include <QByteArray>
#include <QString>

#include <optional>

class TConfigurationStore
{
public:
    explicit TConfigurationStore(QString folder);
    // The store of a history: the folder "configurations" beside its file.
    static TConfigurationStore besideJournal(const QString &journalPath);
    QString folder() const { return m_folder; }

    // Keeps the text (atomically; nothing is written when it is already there) and returns its
    // SHA-256; empty with the reason when it cannot be written.
    QString put(const QByteArray &text, QString *error = nullptr) const;
    // The text of a SHA-256; nullopt when it is not kept or its bytes no longer have that SHA-256.
    std::optional<QByteArray> get(const QString &sha256) const;

private:
    QString pathOf(const QString &sha256) const;
    QString m_folder;
};
