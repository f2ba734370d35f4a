#include "app/upgrade/firmwareupgradepanel.h"

#include "app/properties/thinprogressbar.h"
#include "app/upgrade/filenameedit.h"
#include "app/upgrade/upgradedialog.h"
#include "protocol/errors.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TFirmwareUpgradePanel::TFirmwareUpgradePanel(const QString &caption, TUpgradeDialog &dialog, QWidget *parent)
    : QGroupBox(caption, parent), m_dialog(dialog)
{
    auto *grid = new QVBoxLayout(this);
    auto *row = new QHBoxLayout;
    fileLabel = new QLabel(QStringLiteral("Upgrade Filename"), this);
    fileEdit = new TFileNameEdit(this);
    fileEdit->setDialogTitle(QStringLiteral("Choose the upgrade file"));
    fileEdit->setDefaultExtension(QStringLiteral("bin"));
    upgradeButton = new QPushButton(QStringLiteral("Upgrade"), this);
    upgradeButton->setAutoDefault(false);
    row->addWidget(fileLabel);
    row->addWidget(fileEdit, 1);
    row->addWidget(upgradeButton);
    grid->addLayout(row);
    statusLine = new QLabel(this);
    statusLine->setAlignment(Qt::AlignCenter);
    statusLine->hide();
    grid->addWidget(statusLine);
    progressBar = new TThinProgressBar(this);
    progressBar->hide();
    grid->addWidget(progressBar);
    fileLabel->setBuddy(fileEdit->edit());

    connect(fileEdit, &TFileNameEdit::fileNameChanged, this, &TFirmwareUpgradePanel::fileChanged);
    connect(upgradeButton, &QPushButton::clicked, this, Guarded([this] { upgrade(); }));
}

void TFirmwareUpgradePanel::updateButton(bool idle)
{
    upgradeButton->setEnabled(idle && !m_dialog.DeviceIP.isEmpty() && QFileInfo(fileEdit->fileName()).isFile());
}

QString TFirmwareUpgradePanel::chosenImage() const
{
    const QString fileName = fileEdit->fileName();
    if (m_dialog.DeviceIP.isEmpty() || !QFileInfo(fileName).isFile())
        return {};
    return fileName;
}
