#include "fleet/history/operationjournal.h"

#include "fleet/devicefields.h"
#include "fleet/history/privatefiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <algorithm>
#include <utility>

// One line per entry:
//   {"when":"2026-12-08T10:15:30.120+01:00","mac":"00:50:c2:02:5c:c1","ip":"198.18.1.1","name":...,
//    "operation":"Controller upgrade","file":...,"fileSha256":...,"outcome":"succeeded","message":...,"detail":...}
// Compact JSON escapes line ends inside texts, so an entry is always one line. Lines of an
// operation that works on its device carry "id" too: its "started" line (outcome "started", written
// before the first change), its end and, once the technician saw an operation that never ended,
// an "acknowledged" line. "firmwareVersion" (the device's, when known) and "deviceState" (what a
// failure left the device in) are there only when not empty; the CSV leaves them out.

namespace {
struct Field
{
    const char *key;
    const char *header;
    QString TJournalEntry::*member;
};

// Every text field, in the order of the CSV's columns (after the time).
const Field Fields[] = {
    {"mac", "MAC Address", &TJournalEntry::mac},
    {"ip", "IP Address", &TJournalEntry::ip},
    {"name", "Name", &TJournalEntry::name},
    {"operation", "Operation", &TJournalEntry::operation},
    {"file", "File", &TJournalEntry::file},
    {"fileSha256", "SHA-256", &TJournalEntry::fileSha256},
    {"outcome", "Outcome", &TJournalEntry::outcome},
    {"message", "Message", &TJournalEntry::message},
    {"detail", "Detail", &TJournalEntry::detail},
};

QString whenText(const QDateTime &when)
{
    return when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

// No entry comes near this; a longer line is damage, never read into memory whole.
constexpr qsizetype MaxLineBytes = 4 * 1024 * 1024;

// The lines of a file a block at a time, without their ends, so that a history of any length is
// read in the memory of its longest line.
class LineReader
{
public:
    explicit LineReader(QIODevice &device) : m_device(device) {}

    // The next line; nullopt at the end. A line longer than MaxLineBytes is passed over: it comes
    // back empty with tooLong set.
    std::optional<QByteArray> next(bool *tooLong)
    {
        *tooLong = false;
        bool passingOver = false;
        for (;;) {
            if (const qsizetype end = m_buffer.indexOf('\n', m_start); end >= 0) {
                QByteArray line = passingOver ? QByteArray() : m_buffer.mid(m_start, end - m_start);
                m_start = end + 1;
                *tooLong = passingOver;
                return line;
            }
            m_buffer.remove(0, m_start);
            m_start = 0;
            if (m_buffer.size() > MaxLineBytes) {
                passingOver = true;
                m_buffer.clear();
            }
            if (m_atEnd) {
                // The last line, when it has no line end (torn by a crash).
                if (m_buffer.isEmpty() && !passingOver)
                    return std::nullopt;
                *tooLong = passingOver;
                return std::exchange(m_buffer, QByteArray());
            }
            const QByteArray block = m_device.read(BlockBytes);
            if (block.isEmpty())
                m_atEnd = true; // the end, or an error: what was read stands
            m_buffer += block;
        }
    }

private:
    static constexpr qint64 BlockBytes = 64 * 1024;
    QIODevice &m_device;
    QByteArray m_buffer;
    qsizetype m_start = 0;
    bool m_atEnd = false;
};

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

// Only hexadecimal digits, with or without the separators a MAC address is written with.
QString hexDigitsOnly(const QString &text)
{
    QString digits;
    for (const QChar c : text) {
        if (c == QLatin1Char(':') || c == QLatin1Char('-') || c == QLatin1Char('.'))
            continue;
        if (!c.isDigit() && !(c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f')))
            return {};
        digits += c;
    }
    return digits;
}
} // namespace

TOperationJournal::TOperationJournal(QString path) : m_path(std::move(path)) {}

QString TOperationJournal::defaultPath()
{
    // One history for the window and the command line, whatever the program calls itself.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/tarvino/history.jsonl");
}

bool TOperationJournal::append(const TJournalEntry &entry, QString *error) const
{
    QJsonObject object{{QStringLiteral("when"), whenText(entry.when)}};
    for (const Field &field : Fields)
        object.insert(QLatin1String(field.key), entry.*field.member);
    if (!entry.id.isEmpty())
        object.insert(QStringLiteral("id"), entry.id);
    if (!entry.firmwareVersion.isEmpty())
        object.insert(QStringLiteral("firmwareVersion"), entry.firmwareVersion);
    if (!entry.deviceState.isEmpty())
        object.insert(QStringLiteral("deviceState"), entry.deviceState);
    if (!entry.imageVersion.isEmpty())
        object.insert(QStringLiteral("imageVersion"), entry.imageVersion);
    QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';

    if (!PrivateFiles::makeFolder(QFileInfo(m_path).absolutePath())) {
        setError(error, QStringLiteral("Cannot make the folder of %1").arg(QDir::toNativeSeparators(m_path)));
        return false;
    }
    // A line torn by a crash (no line end) would swallow this one: it starts on a line of its own.
    if (QFile last(m_path); last.open(QIODevice::ReadOnly) && last.size() > 0 && last.seek(last.size() - 1)
                            && last.read(1) != "\n")
        line.prepend('\n');
    // Append mode is O_APPEND and unbuffered gives one write(2) of the whole line: writers in
    // other threads or programs never split it. A history made now is its owner's only (open(2) is
    // asked for the mode, then it is set again as the umask may have narrowed it past use); one
    // that exists keeps its mode.
    QFile file(m_path);
    const bool made = !file.exists();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered, PrivateFiles::FileMode)) {
        setError(error, QStringLiteral("Cannot open %1: %2").arg(QDir::toNativeSeparators(m_path), file.errorString()));
        return false;
    }
    if (made)
        PrivateFiles::restrict(file);
    if (file.write(line) != line.size()) {
        setError(error, QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(m_path), file.errorString()));
        return false;
    }
    return true;
}

QList<TJournalEntry> TOperationJournal::read(int *skippedLines) const
{
    QFile file(m_path);
    const QByteArray all = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    return parse(all, skippedLines);
}

QList<TJournalEntry> TOperationJournal::readTail(qint64 maxBytes, int *skippedLines) const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return parse({}, skippedLines);
    const qint64 size = file.size();
    if (size <= maxBytes)
        return parse(file.readAll(), skippedLines);
    // One byte before the tail tells whether the tail starts on a line of its own.
    if (!file.seek(size - maxBytes - 1))
        return parse({}, skippedLines);
    QByteArray tail = file.read(maxBytes + 1);
    const qsizetype lineEnd = tail.indexOf('\n');
    tail.remove(0, lineEnd < 0 ? tail.size() : lineEnd + 1);
    return parse(tail, skippedLines);
}

QList<TJournalEntry> TOperationJournal::parse(const QByteArray &all, int *skippedLines)
{
    QList<TJournalEntry> entries;
    int skipped = 0;
    for (const QByteArray &line : all.split('\n')) {
        if (line.trimmed().isEmpty())
            continue;
        if (std::optional<TJournalEntry> entry = parseLine(line))
            entries.append(*entry);
        else
            ++skipped;
    }
    if (skippedLines)
        *skippedLines = skipped;
    return entries;
}

std::optional<TJournalEntry> TOperationJournal::parseLine(const QByteArray &line)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
    const QJsonObject object = document.object();
    TJournalEntry entry;
    entry.when = QDateTime::fromString(object.value(QStringLiteral("when")).toString(), Qt::ISODateWithMs);
    if (parseError.error != QJsonParseError::NoError || !document.isObject() || !entry.when.isValid())
        return std::nullopt;
    for (const Field &field : Fields)
        entry.*field.member = object.value(QLatin1String(field.key)).toString();
    entry.id = object.value(QStringLiteral("id")).toString();
    entry.firmwareVersion = object.value(QStringLiteral("firmwareVersion")).toString();
    entry.deviceState = object.value(QStringLiteral("deviceState")).toString();
    entry.imageVersion = object.value(QStringLiteral("imageVersion")).toString();
    return entry;
}

void TOperationJournal::forEach(const EntryVisitor &visit, QByteArrayView marker, int *skippedLines) const
{
    int skipped = 0;
    QFile file(m_path);
    if (file.open(QIODevice::ReadOnly)) {
        LineReader lines(file);
        bool tooLong = false;
        while (const std::optional<QByteArray> line = lines.next(&tooLong)) {
            if (tooLong) {
                ++skipped;
                continue;
            }
            if (line->trimmed().isEmpty() || (!marker.isEmpty() && !line->contains(marker)))
                continue;
            const std::optional<TJournalEntry> entry = parseLine(*line);
            if (!entry)
                ++skipped;
            else if (!visit(*entry))
                break;
        }
    }
    if (skippedLines)
        *skippedLines = skipped;
}

QByteArray TOperationJournal::lineMarker(const char *key, const QString &value)
{
    // Written as append() writes the field: compact JSON, its escapes included.
    const QByteArray object = QJsonDocument(QJsonObject{{QLatin1String(key), value}}).toJson(QJsonDocument::Compact);
    return object.mid(1, object.size() - 2);
}

bool TOperationJournal::matches(const TJournalEntry &entry, const QString &text)
{
    const QString wanted = text.trimmed();
    if (wanted.isEmpty())
        return true;
    if (whenText(entry.when).contains(wanted, Qt::CaseInsensitive))
        return true;
    for (const Field &field : Fields) {
        if ((entry.*field.member).contains(wanted, Qt::CaseInsensitive))
            return true;
    }
    // A MAC address typed with other separators than the list's ("00:50:c2" for "00.50.C2"); a
    // word of the letters a to f alone ("bad") is not taken for one.
    const QString digits = hexDigitsOnly(wanted);
    const bool looksLikeMac = digits.size() >= 2
                              && std::any_of(wanted.begin(), wanted.end(), [](QChar c) {
                                     return c.isDigit() || c == QLatin1Char(':') || c == QLatin1Char('-') || c == QLatin1Char('.');
                                 });
    return looksLikeMac && hexDigitsOnly(entry.mac).contains(digits, Qt::CaseInsensitive);
}

QString TOperationJournal::toCsv(const QList<TJournalEntry> &entries)
{
    QStringList headers{QStringLiteral("When")};
    for (const Field &field : Fields)
        headers << QLatin1String(field.header);
    QString csv = CsvLine(headers) + QStringLiteral("\r\n");
    for (const TJournalEntry &entry : entries) {
        QStringList cells{whenText(entry.when)};
        for (const Field &field : Fields)
            cells << entry.*field.member;
        csv += CsvLine(cells) + QStringLiteral("\r\n");
    }
    return csv;
}
