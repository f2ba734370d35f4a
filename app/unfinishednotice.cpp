#include "app/unfinishednotice.h"

#include "app/background.h"
#include "app/mainwindow.h"
#include "fleet/history/unfinishedoperations.h"
#include "app/worksheet.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

TUnfinishedNotice::TUnfinishedNotice(const QList<TJournalEntry> &unfinished, const TOperationJournal &journal,
                                     TMainWindow *form)
    : QDialog(form), m_unfinished(unfinished), m_journal(journal), m_form(form)
{
    setObjectName(QStringLiteral("UnfinishedNotice"));
    setWindowTitle(QStringLiteral("Operations that never finished"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(QStringLiteral("These operations started and never ended: the program was ended or the "
                                            "PC went down while they worked on the device."),
                             this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    List = new QListWidget(this);
    List->setAccessibleName(QStringLiteral("Operations that never finished"));
    for (const TJournalEntry &entry : unfinished)
        List->addItem(UnfinishedOperations::describe(entry));
    layout->addWidget(List);

    auto *buttons = new QDialogButtonBox(this);
    CheckButton = buttons->addButton(QStringLiteral("&Check these devices"), QDialogButtonBox::ActionRole);
    CheckButton->setToolTip(QStringLiteral("Scan, then select the devices that answer: a batch over the selection "
                                           "runs the operation again"));
    AcknowledgeButton = buttons->addButton(QStringLiteral("&Acknowledge"), QDialogButtonBox::AcceptRole);
    AcknowledgeButton->setToolTip(QStringLiteral("Seen: not listed at the next start"));
    LaterButton = buttons->addButton(QStringLiteral("&Later"), QDialogButtonBox::RejectRole);
    LaterButton->setToolTip(QStringLiteral("Listed again at the next start"));
    layout->addWidget(buttons);
    connect(CheckButton, &QPushButton::clicked, this, &TUnfinishedNotice::checkDevices);
    connect(AcknowledgeButton, &QPushButton::clicked, this, &TUnfinishedNotice::acknowledge);
    connect(LaterButton, &QPushButton::clicked, this, &QDialog::reject);
    resize(640, 240);
}

void TUnfinishedNotice::showAfterStart(TMainWindow *form, const TOperationJournal &journal)
{
    RunInBackground(
        form, [journal] { return UnfinishedOperations::read(journal); },
        [form, journal](const QList<TJournalEntry> &unfinished) {
            if (unfinished.isEmpty())
                return;
            auto *notice = new TUnfinishedNotice(unfinished, journal, form);
            notice->setModal(false);
            notice->show();
        });
}

void TUnfinishedNotice::checkDevices()
{
    QStringList ips;
    for (const TJournalEntry &entry : std::as_const(m_unfinished))
        if (!ips.contains(entry.ip))
            ips << entry.ip;
    m_form->Worksheet->selectAfterScan(ips);
    m_form->Scan();
    CheckButton->setEnabled(false);
}

void TUnfinishedNotice::acknowledge()
{
    QString error;
    if (!UnfinishedOperations::acknowledge(m_journal, m_unfinished, &error))
        m_form->showError(QStringLiteral("The operations could not be marked as seen (%1): they are listed again at the "
                                         "next start.").arg(error));
    accept();
}
