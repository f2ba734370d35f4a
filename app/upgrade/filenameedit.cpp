#include "app/upgrade/filenameedit.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QToolButton>

TFileNameEdit::TFileNameEdit(QWidget *parent)
    : QWidget(parent), m_edit(new QLineEdit(this)), m_browse(new QToolButton(this))
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(m_edit, 1);
    m_browse->setText(QStringLiteral("..."));
    m_browse->setToolTip(QStringLiteral("Browse"));
    layout->addWidget(m_browse);
    setFocusProxy(m_edit);

    connect(m_edit, &QLineEdit::textChanged, this, &TFileNameEdit::fileNameChanged);
    connect(m_browse, &QToolButton::clicked, this, &TFileNameEdit::browse);

    chooseFile = [this](const QString &title, const QString &filter, const QString &start) {
        // Qt's filter form: "Name (*.ext);;Other (*)" ("*.*" would hide files without an extension).
        QFileDialog dialog(this, title, QFileInfo(start).path(), filter);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        if (!m_defaultExtension.isEmpty())
            dialog.setDefaultSuffix(m_defaultExtension);
        if (!start.isEmpty())
            dialog.selectFile(start);
        return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
    };
}

QString TFileNameEdit::fileName() const
{
    return m_edit->text();
}

void TFileNameEdit::setFileName(const QString &name)
{
    m_edit->setText(name);
}

void TFileNameEdit::browse()
{
    const QString chosen = chooseFile ? chooseFile(m_title, m_filter, fileName()) : QString();
    if (!chosen.isEmpty() && QFileInfo(chosen).isFile())
        setFileName(QDir::toNativeSeparators(chosen));
}
