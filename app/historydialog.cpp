#include "app/historydialog.h"
#include "app/messagebox.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QShortcut>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace {
enum Column { WhenColumn, DeviceColumn, OperationColumn, FileColumn, ShaColumn, OutcomeColumn, MessageColumn, ColumnCount };
constexpr int ShortShaLength = 12;
} // namespace

// The journal's entries, newest first, of which those matching the filter are rows.
class THistoryModel : public QAbstractTableModel
{
public:
    THistoryModel(QList<TJournalEntry> entries, QObject *parent) : QAbstractTableModel(parent), m_entries(std::move(entries))
    {
        std::reverse(m_entries.begin(), m_entries.end());
        setFilter({});
    }

    int total() const { return int(m_entries.size()); }
    const TJournalEntry &shown(int row) const { return m_entries[m_shown[row]]; }

    void setFilter(const QString &text)
    {
        beginResetModel();
        m_shown.clear();
        for (int i = 0; i < m_entries.size(); ++i) {
            if (TOperationJournal::matches(m_entries[i], text))
                m_shown.append(i);
        }
        endResetModel();
    }

    int rowCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : int(m_shown.size()); }
    int columnCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : ColumnCount; }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
            return {};
        static const char *const headers[ColumnCount] = {"When", "Device", "Operation", "File", "SHA-256", "Outcome", "Message"};
        return QCoreApplication::translate("THistoryDialog", headers[section]);
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid())
            return {};
        const TJournalEntry &entry = shown(index.row());
        if (role == Qt::DisplayRole) {
            switch (index.column()) {
            case WhenColumn: return entry.when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            case DeviceColumn: return deviceText(entry);
            case OperationColumn: return entry.operation;
            case FileColumn: return entry.file;
            case ShaColumn:
                return entry.fileSha256.size() > ShortShaLength ? entry.fileSha256.left(ShortShaLength) + QChar(0x2026)
                                                                : entry.fileSha256;
            case OutcomeColumn: return entry.outcome;
            case MessageColumn: return entry.message;
            }
        } else if (role == Qt::ToolTipRole) {
            switch (index.column()) {
            case WhenColumn: return entry.when.toString(Qt::ISODateWithMs);
            case ShaColumn: return entry.fileSha256.isEmpty() ? QVariant() : QVariant(entry.fileSha256);
            case MessageColumn:
                return PlainTextToolTip(entry.detail.isEmpty() ? entry.message : entry.message + QLatin1Char('\n') + entry.detail);
            default: return PlainTextToolTip(data(index, Qt::DisplayRole).toString());
            }
        } else if (role == Qt::ForegroundRole && index.column() == OutcomeColumn && entry.outcome == QLatin1String("failed")) {
            return QColor(0xb0, 0x00, 0x20);
        }
        return {};
    }

private:
    static QString deviceText(const TJournalEntry &entry)
    {
        QStringList parts;
        for (const QString &part : {entry.name, entry.ip, entry.mac}) {
            if (!part.isEmpty())
                parts << part;
        }
        return parts.join(QStringLiteral(", "));
    }

    QList<TJournalEntry> m_entries; // newest first
    QList<int> m_shown;
};

THistoryDialog::THistoryDialog(const TOperationJournal &journal, QWidget *parent)
    : QDialog(parent), m_model(new THistoryModel(journal.read(&m_skippedLines), this))
{
    setWindowTitle(tr("Operation history"));

    chooseSaveFile = [this] {
        return QFileDialog::getSaveFileName(this, tr("Export operation history"),
                                            QDir::home().filePath(QStringLiteral("operation-history.csv")),
                                            tr("CSV files (*.csv);;All files (*)"));
    };

    m_filter = new QLineEdit(this);
    m_filter->setPlaceholderText(tr("Name, address, operation, outcome..."));
    m_filter->setClearButtonEnabled(true);
    m_filter->setAccessibleName(tr("Filter"));
    auto *filterLabel = new QLabel(tr("&Filter:"), this);
    filterLabel->setBuddy(m_filter);
    auto *findKey = new QShortcut(QKeySequence::Find, this);
    connect(findKey, &QShortcut::activated, this, [this] {
        m_filter->setFocus(Qt::ShortcutFocusReason);
        m_filter->selectAll();
    });
    connect(m_filter, &QLineEdit::textChanged, this, &THistoryDialog::applyFilter);

    m_table = new QTableView(this);
    m_table->setModel(m_model);
    m_table->setAccessibleName(tr("Operations"));
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setTabKeyNavigation(false);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->horizontalHeader()->setStretchLastSection(true);
    const QFontMetrics metrics(m_table->font());
    const int widths[ColumnCount - 1] = {20, 40, 20, 16, 14, 10};
    for (int column = 0; column < ColumnCount - 1; ++column)
        m_table->setColumnWidth(column, metrics.averageCharWidth() * widths[column]);

    m_count = new QLabel(this);
    m_status = new QLabel(this);
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);

    m_export = new QPushButton(tr("&Export..."), this);
    m_export->setAutoDefault(false);
    connect(m_export, &QPushButton::clicked, this, &THistoryDialog::exportChosen);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->addButton(m_export, QDialogButtonBox::ActionRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *filterRow = new QHBoxLayout;
    filterRow->addWidget(filterLabel);
    filterRow->addWidget(m_filter, 1);
    filterRow->addWidget(m_count);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(filterRow);
    layout->addWidget(m_table, 1);
    layout->addWidget(m_status);
    layout->addWidget(buttons);

    setTabOrder(m_filter, m_table);
    setTabOrder(m_table, buttons);
    m_filter->setFocus();
    resize(1000, 520);
    applyFilter();
}

QList<TJournalEntry> THistoryDialog::shownEntries() const
{
    QList<TJournalEntry> entries;
    for (int row = 0; row < m_model->rowCount(); ++row)
        entries << m_model->shown(row);
    return entries;
}

void THistoryDialog::applyFilter()
{
    m_model->setFilter(m_filter->text());
    QString count = tr("%1 of %2 operations").arg(m_model->rowCount()).arg(m_model->total());
    if (m_skippedLines == 1)
        count += tr(" (1 line of the journal could not be read)");
    else if (m_skippedLines > 1)
        count += tr(" (%1 lines of the journal could not be read)").arg(m_skippedLines);
    m_count->setText(count);
    m_export->setEnabled(m_model->rowCount() > 0);
}

bool THistoryDialog::exportTo(const QString &path, QString *error)
{
    const QList<TJournalEntry> entries = shownEntries();
    const QByteArray csv = TOperationJournal::toCsv(entries).toUtf8();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(csv) != csv.size() || !file.commit()) {
        const QString reason = tr("Cannot save %1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        m_status->setText(reason);
        if (error)
            *error = reason;
        return false;
    }
    const QString where = QDir::toNativeSeparators(path);
    m_status->setText(entries.size() == 1 ? tr("Saved 1 operation to %1").arg(where)
                                          : tr("Saved %1 operations to %2").arg(entries.size()).arg(where));
    return true;
}

void THistoryDialog::exportChosen()
{
    const QString path = chooseSaveFile ? chooseSaveFile() : QString();
    if (!path.isEmpty())
        exportTo(path);
}
