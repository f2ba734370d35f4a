#include "app/firmwarelibrarydialog.h"
#include "app/messagebox.h"

#include "app/background.h"
#include "fleet/firmware/firmwarelibrary.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QThread>
#include <QVBoxLayout>

namespace {
enum Column { FileColumn, ComponentColumn, TypesColumn, VersionColumn, Sha256Column, NoteColumn, ColumnCount };
} // namespace

TFirmwareLibraryDialog::TFirmwareLibraryDialog(TFirmwareLibrary *library, QWidget *parent)
    : QDialog(parent), m_library(library)
{
    setWindowTitle(QStringLiteral("Firmware library"));
    resize(820, 380);
    FolderLabel = new QLabel(this);
    FolderLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    FolderButton = new QPushButton(QStringLiteral("&Folder..."), this);
    auto *folderRow = new QHBoxLayout;
    folderRow->addWidget(FolderLabel, 1);
    folderRow->addWidget(FolderButton);

    ImageTable = new QTableWidget(0, ColumnCount, this);
    ImageTable->setHorizontalHeaderLabels({QStringLiteral("File"), QStringLiteral("Component"), QStringLiteral("Types"),
                                           QStringLiteral("Version"), QStringLiteral("SHA-256"), QStringLiteral("Note")});
    ImageTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    ImageTable->setSelectionMode(QAbstractItemView::SingleSelection);
    ImageTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ImageTable->horizontalHeader()->setStretchLastSection(true);
    ImageTable->verticalHeader()->hide();

    AddButton = new QPushButton(QStringLiteral("&Add image..."), this);
    RemoveButton = new QPushButton(QStringLiteral("&Remove"), this);
    CheckButton = new QPushButton(QStringLiteral("&Check files"), this);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->addButton(AddButton, QDialogButtonBox::ActionRole);
    buttons->addButton(RemoveButton, QDialogButtonBox::ActionRole);
    buttons->addButton(CheckButton, QDialogButtonBox::ActionRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(folderRow);
    layout->addWidget(ImageTable, 1);
    layout->addWidget(buttons);

    chooseFolder = [this] {
        return QFileDialog::getExistingDirectory(this, QStringLiteral("Firmware library folder"), m_library->folder());
    };
    tell = [this](const QString &text) {
        ShowMessageBox(this, QMessageBox::Information, QStringLiteral("Firmware library"), text);
    };
    connect(FolderButton, &QPushButton::clicked, this, [this] {
        if (const QString folder = chooseFolder(); !folder.isEmpty())
            openFolder(folder);
    });
    connect(AddButton, &QPushButton::clicked, this, &TFirmwareLibraryDialog::addImage);
    connect(RemoveButton, &QPushButton::clicked, this, &TFirmwareLibraryDialog::removeImage);
    connect(CheckButton, &QPushButton::clicked, this, &TFirmwareLibraryDialog::checkImages);
    connect(ImageTable, &QTableWidget::itemSelectionChanged, this,
            [this] { RemoveButton->setEnabled(!ImageTable->selectedItems().isEmpty()); });
    showImages();
}

void TFirmwareLibraryDialog::showImages()
{
    const bool open = !m_library->folder().isEmpty();
    FolderLabel->setText(open ? QDir::toNativeSeparators(m_library->folder())
                              : QStringLiteral("No library folder: choose one with Folder..."));
    AddButton->setEnabled(open);
    CheckButton->setEnabled(open && !m_library->images().isEmpty());
    ImageTable->setRowCount(int(m_library->images().size()));
    for (int row = 0; row < m_library->images().size(); ++row) {
        const TLibraryImage &image = m_library->images().at(row);
        const QStringList cells{image.file, ComponentKey(image.component), image.types.join(QStringLiteral(", ")),
                                image.version, image.sha256.left(16) + QStringLiteral("…"), image.note};
        for (int column = 0; column < ColumnCount; ++column) {
            auto *item = new QTableWidgetItem(cells.at(column));
            if (column == Sha256Column)
                item->setToolTip(image.sha256); // whole, where the cell shortens it
            ImageTable->setItem(row, column, item);
        }
    }
    ImageTable->resizeColumnsToContents();
    RemoveButton->setEnabled(!ImageTable->selectedItems().isEmpty());
}

void TFirmwareLibraryDialog::openFolder(const QString &folder)
{
    TFirmwareLibrary opened(folder);
    QString error;
    if (!opened.load(&error)) {
        tell(QStringLiteral("The library in %1 was refused: %2").arg(QDir::toNativeSeparators(folder), error));
        return;
    }
    *m_library = opened;
    TFirmwareLibrary::rememberFolder(folder);
    showImages();
    emit changed();
}

void TFirmwareLibraryDialog::addImage()
{
    TAddImageDialog ask(QString(), this);
    if (ask.exec() != QDialog::Accepted)
        return;
    const std::optional<TFirmwareComponent> component = ParseComponent(ask.ComponentBox->currentText());
    if (!component)
        return;
    // The copy and its SHA-256 take a while for a large image: on a worker, on a copy of the
    // library that replaces the window's once it is written.
    runOnWorker([library = *m_library, file = ask.FileEdit->text(), component = *component, types = ask.types(),
                 version = ask.VersionEdit->text().trimmed(), note = ask.NoteEdit->text().trimmed()]() mutable {
        QString error;
        const bool added = library.add(file, component, types, version, note, &error).has_value();
        return Result{std::move(library), added ? QString() : QStringLiteral("The image was not added: %1").arg(error)};
    });
}

void TFirmwareLibraryDialog::runOnWorker(std::function<Result()> work)
{
    for (QPushButton *button : {FolderButton, AddButton, RemoveButton, CheckButton})
        button->setEnabled(false);
    m_working = true;
    RunInBackground(this, std::move(work), [this](const Result &result) { workDone(result); });
}

void TFirmwareLibraryDialog::workDone(const Result &result)
{
    m_working = false;
    FolderButton->setEnabled(true);
    if (result.library) {
        *m_library = *result.library;
        emit changed();
    }
    showImages();
    if (!result.text.isEmpty())
        tell(result.text);
    emit workFinished();
}

void TFirmwareLibraryDialog::reject()
{
    if (!m_working) // the worker's result goes into the library first
        QDialog::reject();
}

void TFirmwareLibraryDialog::removeImage()
{
    const int row = ImageTable->currentRow();
    if (row < 0 || row >= m_library->images().size())
        return;
    const QString file = m_library->images().at(row).file;
    const auto answer = ShowMessageBox(this, QMessageBox::Question, QStringLiteral("Firmware library"),
                                       QStringLiteral("Remove %1 from the library? Its file is deleted too.").arg(file),
                                       QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    QString error;
    if (!m_library->remove(file, true, &error))
        tell(QStringLiteral("%1 was not removed: %2").arg(file, error));
    showImages();
    emit changed();
}

void TFirmwareLibraryDialog::checkImages()
{
    // Every image read and hashed: on a worker.
    runOnWorker([library = *m_library] {
        QStringList problems;
        const QList<TImageCheck> checks = library.check();
        for (const TImageCheck &check : checks)
            if (!check.ok)
                problems << check.problem;
        return Result{std::nullopt, problems.isEmpty() ? QStringLiteral("All %1 images match their SHA-256.").arg(checks.size())
                                                       : problems.join(QLatin1Char('\n'))};
    });
}

TAddImageDialog::TAddImageDialog(const QString &suggestedTypes, QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Add an image"));
    FileEdit = new QLineEdit(this);
    auto *browse = new QPushButton(QStringLiteral("&Browse..."), this);
    auto *fileRow = new QHBoxLayout;
    fileRow->addWidget(FileEdit);
    fileRow->addWidget(browse);
    ComponentBox = new QComboBox(this);
    ComponentBox->addItems({ComponentKey(TFirmwareComponent::Board), ComponentKey(TFirmwareComponent::Controller)});
    TypesEdit = new QLineEdit(suggestedTypes, this);
    TypesEdit->setPlaceholderText(QStringLiteral("Palimor P3, 0x000C2001"));
    VersionEdit = new QLineEdit(this);
    VersionEdit->setPlaceholderText(QStringLiteral("3.3.1"));
    NoteEdit = new QLineEdit(this);
    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("&File:"), fileRow);
    form->addRow(QStringLiteral("&Component:"), ComponentBox);
    form->addRow(QStringLiteral("&Types:"), TypesEdit);
    form->addRow(QStringLiteral("&Version:"), VersionEdit);
    form->addRow(QStringLiteral("&Note:"), NoteEdit);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("Firmware image"), FileEdit->text());
        if (!file.isEmpty())
            FileEdit->setText(file);
    });
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

QStringList TAddImageDialog::types() const
{
    QStringList types;
    for (const QString &type : TypesEdit->text().split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (!type.trimmed().isEmpty())
            types << type.trimmed();
    return types;
}
