#pragma once
// The program's message boxes. Their texts are shown as they are, never as markup: a device's
// name, an FTP server's reply or a file name can hold "<", "&" or a whole HTML fragment, which
// Qt's boxes would otherwise render (a link to click, text hidden in a tag).

#include <QMessageBox>

// A tool tip that shows the text as it is: Qt takes a tip that looks like markup for markup.
QString PlainTextToolTip(const QString &text);

// Shows a modal box and returns the button chosen. An OK button reads "OK".
QMessageBox::StandardButton ShowMessageBox(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                                           const QString &text,
                                           QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                           QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
