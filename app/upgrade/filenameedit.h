#pragma once
// A file-name edit with a browse button: the name can be typed, or chosen in a file
// dialog that accepts only an existing file in an existing folder.

#include <QString>
#include <QWidget>

#include <functional>

class QLineEdit;
class QToolButton;

class TFileNameEdit : public QWidget
{
    Q_OBJECT
public:
    explicit TFileNameEdit(QWidget *parent = nullptr);

    QString fileName() const;
    void setFileName(const QString &name);

    void setDialogTitle(const QString &title) { m_title = title; }
    void setFilter(const QString &filter) { m_filter = filter; }
    void setDefaultExtension(const QString &extension) { m_defaultExtension = extension; }
    QString dialogTitle() const { return m_title; }
    QString filter() const { return m_filter; }
    QString defaultExtension() const { return m_defaultExtension; }

    QLineEdit *edit() const { return m_edit; }
    QToolButton *browseButton() const { return m_browse; }

    // Asks for a file (title, filter, start name); tests replace it. Empty = cancelled.
    std::function<QString(const QString &title, const QString &filter, const QString &start)> chooseFile;

    void browse();

signals:
    void fileNameChanged(const QString &name);

private:
    QLineEdit *m_edit;
    QToolButton *m_browse;
    QString m_title;
    QString m_filter;
    QString m_defaultExtension;
};
