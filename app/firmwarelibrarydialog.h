#pragma once
// File > Firmware library...: the library's folder (chosen, remembered), its images with their
// component, types, version and SHA-256; an image added (copied into the folder, its SHA-256
// computed) or removed, the manifest written atomically each time; every file checked against
// its SHA-256.

#include "fleet/firmware/firmwarelibrary.h"

#include <QDialog>

#include <functional>
#include <optional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

class TFirmwareLibraryDialog : public QDialog
{
    Q_OBJECT
public:
    // library: the window's library, changed in place; changed() tells each change.
    TFirmwareLibraryDialog(TFirmwareLibrary *library, QWidget *parent = nullptr);

    QLabel *FolderLabel = nullptr;
    QTableWidget *ImageTable = nullptr;
    QPushButton *FolderButton = nullptr;
    QPushButton *AddButton = nullptr;
    QPushButton *RemoveButton = nullptr;
    QPushButton *CheckButton = nullptr;

    // Dialog hooks; tests replace them.
    std::function<QString()> chooseFolder;
    std::function<void(const QString &text)> tell;

    void showImages();
    void addImage();
    void removeImage();
    void checkImages();
    void openFolder(const QString &folder);

signals:
    void changed();
    // A worker's add or check has ended and been told.
    void workFinished();

protected:
    void reject() override;

private:
    struct Result
    {
        std::optional<TFirmwareLibrary> library; // the library after the work, when it changed it
        QString text;                            // what to tell; empty for nothing
    };
    void runOnWorker(std::function<Result()> work);
    void workDone(const Result &result);

    TFirmwareLibrary *m_library;
    bool m_working = false;
};

// The image to add: its file, component, types, version and note.
class TAddImageDialog : public QDialog
{
    Q_OBJECT
public:
    // suggestedTypes: the types of the selected devices, offered first.
    explicit TAddImageDialog(const QString &suggestedTypes = {}, QWidget *parent = nullptr);
    QLineEdit *FileEdit = nullptr;
    QComboBox *ComponentBox = nullptr;
    QLineEdit *TypesEdit = nullptr;   // type names or codes, separated by commas
    QLineEdit *VersionEdit = nullptr;
    QLineEdit *NoteEdit = nullptr;

    QStringList types() const;
};
