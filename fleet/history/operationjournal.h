#pragma once
// TOperationJournal: the history of every operation run on a device, the service report a
// technician hands over. One JSON object per line in a file of the user's data folder, appended
// with one write each, so that several windows and command lines can add to it at once and a
// line is never half there.

#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

struct TJournalEntry
{
    QDateTime when;
    QString mac;        // as the device list shows it; empty when not known
    QString ip;
    QString name;
    QString operation;  // the operation's title, "Controller upgrade"
    QString file;       // the image or configuration file, when one was sent or written
    QString fileSha256;
    QString outcome;    // succeeded, failed, declined, cancelled
    QString message;    // the window's message on failure
    QString detail;
    // Pairs an operation's "started" line with its end and with its acknowledgement; empty on
    // lines that stand alone.
    QString id = {};
    // The board firmware version the device reported when the line was written (from the scan
    // that found it); empty when not known. A visit report tells versions before and after by it.
    QString firmwareVersion = {};
    // What a failed or cut short operation left the device in ("updater on"); empty when normal.
    QString deviceState = {};
    // The firmware library's version of the image sent, when it came from the library.
    QString imageVersion = {};

    bool operator==(const TJournalEntry &) const = default;
};

class TOperationJournal
{
public:
    explicit TOperationJournal(QString path = defaultPath());
    // tarvino/history.jsonl in the user's data folder (~/.local/share), for every program.
    static QString defaultPath();
    QString path() const { return m_path; }

    // Appends one entry (making the folder when needed); false with the reason when it cannot.
    bool append(const TJournalEntry &entry, QString *error = nullptr) const;
    // Every entry, oldest first; lines that cannot be read are skipped and counted.
    QList<TJournalEntry> read(int *skippedLines = nullptr) const;
    // The entries of the file's last maxBytes (all of a smaller file), oldest first: what a start
    // looks at, without reading years of history. The line cut by the limit is left out.
    QList<TJournalEntry> readTail(qint64 maxBytes, int *skippedLines = nullptr) const;

    // Told of each entry, oldest first; returns false to stop.
    using EntryVisitor = std::function<bool(const TJournalEntry &entry)>;
    // Every entry of the whole file, read a line at a time: memory stays that of one line, however
    // long the history grew, for a reader that keeps only what it needs of each entry. With a
    // marker, only the lines holding those bytes are parsed: a cheap test that lets a reader of
    // one kind of line skip the rest of a history of hundreds of MB (lineMarker() makes one).
    // skippedLines counts the damaged lines among those parsed.
    void forEach(const EntryVisitor &visit, QByteArrayView marker = {}, int *skippedLines = nullptr) const;
    // The bytes every line of a field with that value holds: "\"operation\":\"Controller upgrade\"".
    static QByteArray lineMarker(const char *key, const QString &value);

    // Whether any field of the entry contains the text (case ignored); an empty text matches all.
    static bool matches(const TJournalEntry &entry, const QString &text);
    // A header line and one line per entry, RFC 4180 quoting.
    static QString toCsv(const QList<TJournalEntry> &entries);

private:
    static QList<TJournalEntry> parse(const QByteArray &lines, int *skippedLines);
    static std::optional<TJournalEntry> parseLine(const QByteArray &line);
    QString m_path;
};
